#include "frame/spi_ctrl.h"

#include <vector>

#include "frame/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace ambercrypt {

CSPICtrl::CSPICtrl(HMODULE module) : hModule(module), appKey(nullptr), keyMaterial(nullptr), keyMaterialLength(0) {}

CSPICtrl::~CSPICtrl() {
  WipeAndFree(&appKey);
  WipeAndFree(&keyMaterial, &keyMaterialLength);
}

int CSPICtrl::Attach(const char *fileName) {
  if (!SetApplication(fileName)) return 0;
  return LoadInstallationKey();
}

int CSPICtrl::SetApplication(const char *name) { return DeriveAppKey(name, &appKey); }

int CSPICtrl::LoadInstallationKey() { return ambercrypt::LoadInstallationKey(&keyMaterial, &keyMaterialLength); }

uint32_t CSPICtrl::ReadFunctionMode() {
  if (appKey == nullptr) return 0xFFFFFFFFu;
  CRegCtrl reg;
  if (!reg.Open(ApplicationKeyPath(appKey).c_str(), 1, KEY_READ)) return 0xFFFFFFFFu;
  int32_t mode = 0;
  if (reg.QueryEncryptedInt(settings::kRestrictionMode.name, &mode, keyMaterial, keyMaterialLength) !=
      ERROR_SUCCESS) {
    return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(mode);
}

void CSPICtrl::CreateUserInfoKey() {
  if (appKey == nullptr) return;
  std::string path = UserInfoKeyPath(appKey);
  // Room for any absolute security descriptor.
  std::vector<uint8_t> descriptor(9000, 0);
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return;
  }
  // A null DACL: every account may write the lockout state below this key.
  InitializeSecurityDescriptor(descriptor.data(), SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(descriptor.data(), TRUE, nullptr, TRUE);
  RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data());
  RegCloseKey(key);
}

}  // namespace ambercrypt
