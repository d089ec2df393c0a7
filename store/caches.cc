#include "store/caches.h"

#include <new>

namespace ambercrypt {

SettingCaches &Caches() {
  // Never destroyed: at exit the C++ destructors of the library's statics may
  // run before the loader calls the library's unload, whose detach still
  // clears (and wipes) these caches.
  alignas(SettingCaches) static unsigned char storage[sizeof(SettingCaches)];
  static SettingCaches *const caches = new (storage) SettingCaches;
  return *caches;
}

void SettingCaches::PinHost(const std::string &appKey) {
  ModeCache.PinHost(appKey);
  CustomMaskCache.PinHost(appKey);
  SecretKeyStateCache.PinHost(appKey);
  CipherAlgorithmCache.PinHost(appKey);
  SecretKeyCache.PinHost(appKey);
  VerifySetting17Cache.PinHost(appKey);
  VerifySetting19Cache.PinHost(appKey);
  VerifySetting23Cache.PinHost(appKey);
  IdentifySetting18Cache.PinHost(appKey);
  IdentifySetting20Cache.PinHost(appKey);
  IdentifySetting24Cache.PinHost(appKey);
  VerifyPendingResultCache.PinHost(appKey);
  VerifyPendingValueCache.PinHost(appKey);
  VerifyPendingLevelCache.PinHost(appKey);
  VerifyPendingDigestCache.PinHost(appKey);
  IdentifyPendingCountCache.PinHost(appKey);
  IdentifyPendingLevelCache.PinHost(appKey);
  IdentifyPendingRefCache.PinHost(appKey);
}

void SettingCaches::ClearAll() {
  ModeCache.Clear();
  CustomMaskCache.Clear();
  SecretKeyStateCache.Clear();
  CipherAlgorithmCache.Clear();
  SecretKeyCache.Clear();
  VerifySetting17Cache.Clear();
  VerifySetting19Cache.Clear();
  VerifySetting23Cache.Clear();
  IdentifySetting18Cache.Clear();
  IdentifySetting20Cache.Clear();
  IdentifySetting24Cache.Clear();
  VerifyPendingResultCache.Clear();
  VerifyPendingValueCache.Clear();
  VerifyPendingLevelCache.Clear();
  VerifyPendingDigestCache.Clear();
  IdentifyPendingCountCache.Clear();
  IdentifyPendingLevelCache.Clear();
  IdentifyPendingRefCache.Clear();
  PinHost(std::string());
}

}  // namespace ambercrypt
