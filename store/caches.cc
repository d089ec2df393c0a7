#include "store/caches.h"

namespace ambercrypt {

SettingCaches &Caches() {
  static SettingCaches caches;
  return caches;
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
}

}  // namespace ambercrypt
