#include "core/context.h"

#include <string>
#include <vector>

#include "store/caches.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

// Room for any absolute security descriptor.
constexpr size_t kSecurityDescriptorSize = 9000;

}  // namespace

bool FpiContext::Attach(const char *fileName) {
  if (fileName == nullptr) return false;
  if (!store_.SetApplication(fileName)) return false;
  Caches().PinHost(appKey());
  if (!store_.LoadInstallationKey()) return false;
  SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_READ);
  if (!app.ok()) return true;  // no settings yet

  // Each value that can be read goes into its cache; one that cannot is skipped.
  SettingCaches &caches = Caches();
  const std::string key = appKey();
  int32_t value = 0;
  auto load = [&](const Setting &setting, SettingCache<int32_t> &cache) {
    if (app.ReadInt(setting, &value) == ERROR_SUCCESS) cache.Insert(key, value);
  };
  if (app.ReadInt(settings::kRestrictionMode, &value) == ERROR_SUCCESS) {
    caches.ModeCache.Insert(key, static_cast<uint32_t>(value));
    int32_t mask = 0;
    if (static_cast<uint32_t>(value) == kCustomMaskMode && app.ReadInt(settings::kCustomMask, &mask) == ERROR_SUCCESS) {
      caches.CustomMaskCache.Insert(key, static_cast<uint32_t>(mask));
    }
  }
  if (app.ReadInt(settings::kSecretKeyState, &value) == ERROR_SUCCESS) {
    caches.SecretKeyStateCache.Insert(key, static_cast<uint32_t>(value));
  }
  int32_t algorithm = 0;
  bool haveAlgorithm = app.ReadInt(settings::kCipherAlgorithm, &algorithm) == ERROR_SUCCESS;
  if (haveAlgorithm) caches.CipherAlgorithmCache.Insert(key, static_cast<uint32_t>(algorithm));
  CSecureBuffer secret(kSecretKeyBlockSize);
  uint32_t secretLength = secret.size();
  if (app.ReadBytes(settings::kSecretKeyBlock, secret.data(), &secretLength) == ERROR_SUCCESS) {
    caches.SecretKeyCache.Insert(key, secret);
  }
  if (haveAlgorithm) crypt_.SetAlgorithm(static_cast<ALG_ID>(algorithm));
  load(settings::kVerifyMaxFmr, caches.VerifySetting19Cache);
  load(settings::kVerifyPolicyFlag, caches.VerifySetting23Cache);
  load(settings::kVerifyMaxFailures, caches.VerifySetting17Cache);
  load(settings::kIdentifyMaxFmr, caches.IdentifySetting20Cache);
  load(settings::kIdentifyPolicyFlag, caches.IdentifySetting24Cache);
  load(settings::kIdentifyMaxFailures, caches.IdentifySetting18Cache);
  return true;
}

bool SpiContext::Attach(const char *fileName) { return SetApplication(fileName) && LoadInstallationKey(); }

bool SpiContext::SetApplication(const char *name) { return store_.SetApplication(name); }

bool SpiContext::LoadInstallationKey() { return store_.LoadInstallationKey(); }

uint32_t SpiContext::ReadFunctionMode() const {
  SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_READ, true);
  int32_t mode = 0;
  if (app.ReadInt(settings::kRestrictionMode, &mode) != ERROR_SUCCESS) return kModeUnreadable;
  return static_cast<uint32_t>(mode);
}

bool SpiContext::CreateUserInfoKey() const {
  if (appKey() == nullptr) return false;
  std::vector<uint8_t> descriptor(kSecurityDescriptorSize, 0);
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SettingKeyPath(SettingKey::kUserInfo, appKey()).c_str(), 0, nullptr,
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
