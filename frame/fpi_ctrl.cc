#include "frame/fpi_ctrl.h"

#include "frame/caches.h"
#include "frame/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

constexpr uint32_t kSecretKeySize = 64;

}  // namespace

CFPICtrl::CFPICtrl(HMODULE module) : hModule(module), appKey(nullptr), keyMaterial(nullptr), keyMaterialLength(0) {}

CFPICtrl::~CFPICtrl() {
  WipeAndFree(&appKey);
  WipeAndFree(&keyMaterial, &keyMaterialLength);
}

int CFPICtrl::Attach(const char *fileName) {
  if (fileName == nullptr) return 0;
  if (!DeriveAppKey(fileName, &appKey)) return 0;
  if (!LoadInstallationKey(&keyMaterial, &keyMaterialLength)) return 0;
  CRegCtrl reg;
  if (!reg.Open(ApplicationKeyPath(appKey).c_str(), 0, KEY_READ)) return 1;  // no settings yet

  SettingCaches &caches = Caches();
  const std::string key = appKey;
  auto readInt = [&](const Setting &setting, int32_t *value) {
    return reg.QueryEncryptedInt(setting.name, value, keyMaterial, keyMaterialLength) == ERROR_SUCCESS;
  };
  int32_t value = 0;
  if (readInt(settings::kRestrictionMode, &value)) {
    caches.ModeCache.Insert(key, static_cast<uint32_t>(value));
    int32_t mask = 0;
    if (value == 5 && readInt(settings::kCustomMask, &mask)) {
      caches.CustomMaskCache.Insert(key, static_cast<uint32_t>(mask));
    }
  }
  if (readInt(settings::kSecretKeyState, &value)) caches.SecretKeyStateCache.Insert(key, static_cast<uint32_t>(value));
  int32_t algorithm = 0;
  bool haveAlgorithm = readInt(settings::kCipherAlgorithm, &algorithm);
  if (haveAlgorithm) caches.CipherAlgorithmCache.Insert(key, static_cast<uint32_t>(algorithm));
  CSecureBuffer secret(kSecretKeySize);
  uint32_t secretLength = secret.size();
  if (reg.QueryEncryptedBinary(settings::kSecretKeyBlock.name, secret.data(), &secretLength, keyMaterial,
                               keyMaterialLength) == ERROR_SUCCESS) {
    caches.SecretKeyCache.Insert(key, secret);
  }
  if (haveAlgorithm) crypt.SetAlgorithm(static_cast<ALG_ID>(algorithm));
  if (readInt(settings::kVerifyMaxFmr, &value)) caches.VerifySetting19Cache.Insert(key, value);
  if (readInt(settings::kVerifyPolicyFlag, &value)) caches.VerifySetting23Cache.Insert(key, value);
  if (readInt(settings::kVerifyMaxFailures, &value)) caches.VerifySetting17Cache.Insert(key, value);
  if (readInt(settings::kIdentifyMaxFmr, &value)) caches.IdentifySetting20Cache.Insert(key, value);
  if (readInt(settings::kIdentifyPolicyFlag, &value)) caches.IdentifySetting24Cache.Insert(key, value);
  if (readInt(settings::kIdentifyMaxFailures, &value)) caches.IdentifySetting18Cache.Insert(key, value);
  return 1;
}

int CFPICtrl::QueryMaxFailures(const char *valueName, bool identify) {
  if (appKey == nullptr) return 0;
  SettingCache<int32_t> &cache = identify ? Caches().IdentifySetting18Cache : Caches().VerifySetting17Cache;
  if (const int32_t *cached = cache.Find(appKey)) return *cached != 0 ? 1 : 0;
  CRegCtrl reg;
  if (!reg.Open(ApplicationKeyPath(appKey).c_str(), 0, KEY_READ)) return 0;
  int32_t value = 0;
  if (reg.QueryEncryptedInt(valueName, &value, keyMaterial, keyMaterialLength) != ERROR_SUCCESS) return 0;
  cache.Insert(appKey, value);
  return value != 0 ? 1 : 0;
}

int CFPICtrl::QueryIdentifySetting() { return QueryMaxFailures(settings::kIdentifyMaxFailures.name, true); }

int CFPICtrl::QueryVerifySetting() { return QueryMaxFailures(settings::kVerifyMaxFailures.name, false); }

}  // namespace ambercrypt
