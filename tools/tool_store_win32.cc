// tool_store_win32.cc: the registry's store as the tools open and walk it on
// Windows (see tool_store.h): the system's registry.
#include <windows.h>

#include "tools/tool_store.h"

namespace ambercrypt::tools {

StoreOpening OpenStore(bool) {
  // The registry is always there, and opening or reading it makes nothing.
  StoreOpening opening;
  opening.location = "HKEY_LOCAL_MACHINE";
  return opening;
}

LSTATUS RegistrySubkeys(HKEY key, std::vector<std::string> *names) {
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD length = sizeof name;
    LSTATUS status = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    names->emplace_back(name, length);
  }
}

LSTATUS DeleteRegistryTree(HKEY root, const std::string &path) { return RegDeleteTreeA(root, path.c_str()); }

LSTATUS DeleteRegistryValue(HKEY key, const std::string &name) { return RegDeleteValueA(key, name.c_str()); }

std::string StoreReadableByEveryone() { return {}; }

}  // namespace ambercrypt::tools
