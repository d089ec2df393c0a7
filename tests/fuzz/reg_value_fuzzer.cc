// Registry values of any type and length written under the names the library
// reads (every KoSettingInfo value in the base, application and UserInfo
// keys, the BSP's "path"), plainly or as valid ciphertexts of any plaintext,
// then read through every CRegCtrl query with buffers of exactly the sizes
// they claim, and through the library itself: the host attaching (which
// loads its settings) and the exports that read them. The registry is
// rebuilt after each input that changed it.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "frame/entry.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_store.h"
#include "fuzz/fuzz_target.h"
#include "platform/win32_api.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace {

using namespace ambercrypt;
using fuzz::FuzzInput;

struct Written {
  std::string path, name;
};

std::string PathOf(uint8_t which, const char *appKey) {
  switch (which % 4) {
    case 0:
      return kBaseKeyPath;
    case 1:
      return ApplicationKeyPath(appKey);
    case 2:
      return UserInfoKeyPath(appKey);
    default:
      return std::string(kBspKeyPath) + "{00112233-4455-6677-8899-aabbccddeeff}";
  }
}

const DWORD kTypes[] = {REG_NONE, REG_SZ, REG_BINARY, REG_DWORD, 2, 7, 11};

void ReadEveryWay(const Written &w, FuzzInput &in, const uint8_t *material, uint32_t materialLength) {
  CRegCtrl reg;
  if (!reg.Open(w.path.c_str(), 0, KEY_READ)) return;
  const char *name = w.name.c_str();
  DWORD dword = 0;
  reg.QueryDword(name, &dword);
  uint32_t capacity = in.Below(600);
  std::vector<uint8_t> binary(capacity);
  uint32_t length = capacity;
  reg.QueryBinary(name, binary.empty() ? nullptr : binary.data(), &length);
  std::vector<char> text(255);  // what QueryString's callers hold
  reg.QueryString(name, text.data());
  int32_t number = 0;
  int64_t wide = 0;
  reg.QueryEncryptedInt(name, &number, material, materialLength);
  reg.QueryEncryptedInt64(name, &wide, material, materialLength);
  capacity = in.Below(600);
  std::vector<uint8_t> plain(capacity);
  length = capacity;
  reg.QueryEncryptedBinary(name, plain.empty() ? nullptr : plain.data(), &length, material, materialLength);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::SetUpStore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::SetUpStore();
  fuzz::ResetHostState();
  FuzzInput in(data, size);
  const std::string appKey = AttachedFpiContext()->appKey();
  std::vector<uint8_t> material(AttachedFpiContext()->store().keyMaterial(),
                                AttachedFpiContext()->store().keyMaterial() + AttachedFpiContext()->store().keyMaterialLength());
  std::vector<Written> written;
  for (int i = 0; i < 8 && !in.empty(); ++i) {
    uint8_t selector = in.Byte();
    Written w;
    w.path = PathOf(selector, appKey.c_str());
    uint32_t pick = in.Below(40);
    if (pick < 36) {
      w.name = kAllSettings[pick]->name;
    } else if (pick < 39) {
      w.name = "path";
    } else {
      w.name = in.Text(300);
    }
    CRegCtrl reg;
    if (!reg.Open(w.path.c_str(), 1, KEY_ALL_ACCESS)) continue;
    std::vector<uint8_t> bytes = in.Blob(600);
    if (selector & 0x10) {
      // A valid ciphertext of any plaintext: numbers that are no numbers,
      // blocks of the wrong length.
      reg.SetEncryptedBinary(w.name.c_str(), bytes.empty() ? nullptr : bytes.data(),
                             static_cast<uint32_t>(bytes.size()), material.data(),
                             static_cast<uint32_t>(material.size()));
    } else {
      HKEY key = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, w.path.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        DWORD type = (selector & 0x20) ? in.Int<uint32_t>() : kTypes[in.Below(7)];
        RegSetValueExA(key, w.name.c_str(), 0, type, bytes.empty() ? nullptr : bytes.data(),
                       static_cast<DWORD>(bytes.size()));
        RegCloseKey(key);
      }
    }
    written.push_back(w);
  }
  for (const Written &w : written) ReadEveryWay(w, in, material.data(), static_cast<uint32_t>(material.size()));

  // The library over the same values: a host starting, then its calls.
  ProcessAttach(nullptr, "/opt/fuzz/FuzzHost");
  for (int which : {1, 3, 7, 6, 4, 5, 18, 10, 9, 19, 17, 13}) {
    fuzz::CheckCode(which, fuzz::CallExport(which, in));
  }
  fuzz::RestoreInstallation();
  return 0;
}
