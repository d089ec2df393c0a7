// names.cc: application names and the keys the layer walks itself (see
// admin_layer.h and keys.h). The store files an application under its
// AppKey, a hash of its name; the tool keeps its own index of the names it
// administered, "AdminNames" beside the base key (value name: the AppKey,
// REG_SZ data: the name).
#include <cstring>

#include "crypto/secure_buffer.h"
#include "store/identity.h"
#include "store/settings.h"
#include "tools/adminlib/admin_layer.h"
#include "tools/adminlib/keys.h"
#include "tools/tool_store.h"

namespace ambercrypt::adminlib {

namespace {

// An AppKey text without its line feed.
constexpr size_t kAppKeyLength = 28;

}  // namespace

std::string BaseKeyName() {
  std::string path = kBaseKeyPath;
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

LSTATUS Subkeys(const std::string &path, std::vector<std::string> *names) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  status = tools::RegistrySubkeys(key, names);
  RegCloseKey(key);
  return status;
}

LSTATUS DeleteTree(const std::string &path) { return tools::DeleteRegistryTree(HKEY_LOCAL_MACHINE, path); }

std::string NameIndexPath() {
  const std::string base = BaseKeyName();
  return base.substr(0, base.rfind('\\')) + "\\AdminNames";
}

std::string AppKeyOf(const std::string &name) {
  CSecureBuffer text;
  if (!DeriveAppKey(name.c_str(), &text)) return {};
  return std::string(reinterpret_cast<const char *>(text.data()), kAppKeyLength);
}

std::string IndexedName(const std::string &appKey) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameIndexPath().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char name[512] = {};
  DWORD type = 0, length = sizeof name - 1;
  LSTATUS status = RegQueryValueExA(key, appKey.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(name), &length);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  return std::string(name, strnlen(name, sizeof name));
}

namespace {

// Writes (or, with remove, deletes) name's entry in the index.
bool UpdateIndex(const std::string &name, bool remove) {
  const std::string appKey = AppKeyOf(name);
  if (appKey.empty()) return true;  // nothing the store could hold under it
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, NameIndexPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (remove) {
    tools::DeleteRegistryValue(key, appKey);
  } else if (IndexedName(appKey) != name) {
    RegSetValueExA(key, appKey.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(name.c_str()),
                   static_cast<DWORD>(name.size() + 1));
  }
  RegCloseKey(key);
  return true;
}

}  // namespace

bool RememberName(const std::string &name) { return UpdateIndex(name, false); }

bool ForgetName(const std::string &name) { return UpdateIndex(name, true); }

}  // namespace ambercrypt::adminlib
