#include "frame/spi_ctrl.h"

#include <vector>

#include "store/settings.h"

namespace ambercrypt {
namespace {

// Room for any absolute security descriptor.
constexpr size_t kSecurityDescriptorSize = 9000;

}  // namespace

CSPICtrl::CSPICtrl(HMODULE module)
    : hModule(module),
      appKey(store.appKey()),
      keyMaterial(store.keyMaterial()),
      keyMaterialLength(store.keyMaterialLength()) {}

int CSPICtrl::Attach(const char *fileName) {
  if (!SetApplication(fileName)) return 0;
  return LoadInstallationKey();
}

int CSPICtrl::SetApplication(const char *name) { return store.SetApplication(name) ? 1 : 0; }

int CSPICtrl::LoadInstallationKey() { return store.LoadInstallationKey() ? 1 : 0; }

uint32_t CSPICtrl::ReadFunctionMode() {
  // Opened with the create flag, as an administration call may name an
  // application that has no key yet.
  SettingStore::Key app = store.Open(SettingKey::kApplication, KEY_READ, true);
  int32_t mode = 0;
  if (app.ReadInt(settings::kRestrictionMode, &mode) != ERROR_SUCCESS) return kModeUnreadable;
  return static_cast<uint32_t>(mode);
}

bool CSPICtrl::CreateUserInfoKey() {
  if (appKey == nullptr) return false;
  std::vector<uint8_t> descriptor(kSecurityDescriptorSize, 0);
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingKeyPath(SettingKey::kUserInfo, appKey).c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS) {
    return false;
  }
  // A null DACL: every account may write the lockout state below this key.
  InitializeSecurityDescriptor(descriptor.data(), SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(descriptor.data(), TRUE, nullptr, TRUE);
  LSTATUS status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data());
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace ambercrypt
