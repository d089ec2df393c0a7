#include "frame/fpi_ctrl.h"

#include "store/caches.h"
#include "store/settings.h"

namespace ambercrypt {

CFPICtrl::CFPICtrl(HMODULE module)
    : hModule(module),
      appKey(store.appKey()),
      keyMaterial(store.keyMaterial()),
      keyMaterialLength(store.keyMaterialLength()) {}

int CFPICtrl::Attach(const char *fileName) {
  if (fileName == nullptr) return 0;
  if (!store.SetApplication(fileName)) return 0;
  Caches().PinHost(appKey);
  if (!store.LoadInstallationKey()) return 0;
  SettingStore::Key app = store.Open(SettingKey::kApplication, KEY_READ);
  if (!app.ok()) return 1;  // no settings yet

  // Each value that can be read goes into its cache; one that cannot is skipped.
  SettingCaches &caches = Caches();
  const std::string key = appKey;
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
  if (haveAlgorithm) crypt.SetAlgorithm(static_cast<ALG_ID>(algorithm));
  load(settings::kVerifyMaxFmr, caches.VerifySetting19Cache);
  load(settings::kVerifyPolicyFlag, caches.VerifySetting23Cache);
  load(settings::kVerifyMaxFailures, caches.VerifySetting17Cache);
  load(settings::kIdentifyMaxFmr, caches.IdentifySetting20Cache);
  load(settings::kIdentifyPolicyFlag, caches.IdentifySetting24Cache);
  load(settings::kIdentifyMaxFailures, caches.IdentifySetting18Cache);
  return 1;
}

int CFPICtrl::QueryMaxFailures(SettingCache<int32_t> &cache, const Setting &setting, bool *unanswered) {
  int32_t value = 0;
  uint32_t status = store.ReadThrough(cache, setting, &value);
  if (unanswered != nullptr) {
    // No policy (no key, no value, a value that does not decrypt) means no
    // lockout; a store that failed to answer says nothing about the policy.
    // A key that could not be opened is asked again for the reason.
    *unanswered = IsStoreFailure(status);
    if (status == ERROR_INVALID_HANDLE && appKey != nullptr) {
      HKEY key = nullptr;
      LSTATUS open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ApplicationKeyPath(appKey).c_str(), 0, KEY_READ, &key);
      if (open == ERROR_SUCCESS) RegCloseKey(key);
      *unanswered = open != ERROR_FILE_NOT_FOUND;
    }
  }
  return status == ERROR_SUCCESS && value != 0 ? 1 : 0;
}

int CFPICtrl::QueryIdentifySetting(bool *unanswered) {
  return QueryMaxFailures(Caches().IdentifySetting18Cache, settings::kIdentifyMaxFailures, unanswered);
}

int CFPICtrl::QueryVerifySetting(bool *unanswered) {
  return QueryMaxFailures(Caches().VerifySetting17Cache, settings::kVerifyMaxFailures, unanswered);
}

}  // namespace ambercrypt
