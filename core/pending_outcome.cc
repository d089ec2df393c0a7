#include "core/pending_outcome.h"

#include "store/caches.h"

namespace ambercrypt {

PendingVerify::PendingVerify(const std::string &appKey) : appKey_(appKey), lock_(Caches().VerifyPendingMutex) {}

void PendingVerify::Put(uint32_t result, int32_t achievedFmr, uint8_t level) {
  SettingCaches &caches = Caches();
  Take();
  caches.VerifyPendingResultCache.Insert(appKey_, result);
  caches.VerifyPendingValueCache.Insert(appKey_, achievedFmr);
  caches.VerifyPendingLevelCache.Insert(appKey_, level);
}

void PendingVerify::PutDigest(const CSecureBuffer &digest) {
  Caches().VerifyPendingDigestCache.Insert(appKey_, digest);
}

std::optional<VerifyOutcome> PendingVerify::Find() const {
  const SettingCaches &caches = Caches();
  const auto result = caches.VerifyPendingResultCache.Find(appKey_);
  const auto level = caches.VerifyPendingLevelCache.Find(appKey_);
  const auto achievedFmr = caches.VerifyPendingValueCache.Find(appKey_);
  const auto digest = caches.VerifyPendingDigestCache.Find(appKey_);
  if (result == nullptr || level == nullptr || achievedFmr == nullptr || digest == nullptr) return std::nullopt;
  return VerifyOutcome{*result, *achievedFmr, *level, *digest};
}

void PendingVerify::Take() {
  SettingCaches &caches = Caches();
  caches.VerifyPendingResultCache.Erase(appKey_);
  caches.VerifyPendingValueCache.Erase(appKey_);
  caches.VerifyPendingLevelCache.Erase(appKey_);
  caches.VerifyPendingDigestCache.Erase(appKey_);
}

PendingIdentify::PendingIdentify(const std::string &appKey) : appKey_(appKey), lock_(Caches().IdentifyPendingMutex) {}

void PendingIdentify::Put(const IdentifyOutcome &outcome) {
  SettingCaches &caches = Caches();
  Take();
  caches.IdentifyPendingLevelCache.Insert(appKey_, outcome.level);
  caches.IdentifyPendingCountCache.Insert(appKey_, outcome.count);
  if (outcome.count != 0) {
    caches.IdentifyPendingRefCache.Insert(appKey_, reinterpret_cast<uint64_t>(outcome.candidates));
  }
}

std::optional<IdentifyOutcome> PendingIdentify::Find() const {
  const SettingCaches &caches = Caches();
  const auto count = caches.IdentifyPendingCountCache.Find(appKey_);
  const auto level = caches.IdentifyPendingLevelCache.Find(appKey_);
  const auto reference = caches.IdentifyPendingRefCache.Find(appKey_);
  if (count == nullptr || level == nullptr || (*count != 0 && reference == nullptr)) return std::nullopt;
  BioAPI_CANDIDATE **candidates = *count != 0 ? reinterpret_cast<BioAPI_CANDIDATE **>(*reference) : nullptr;
  return IdentifyOutcome{*count, *level, candidates};
}

void PendingIdentify::Take() {
  SettingCaches &caches = Caches();
  caches.IdentifyPendingCountCache.Erase(appKey_);
  caches.IdentifyPendingLevelCache.Erase(appKey_);
  caches.IdentifyPendingRefCache.Erase(appKey_);
}

void ForgetAllPendingOutcomes() {
  SettingCaches &caches = Caches();
  std::lock_guard<std::mutex> verify(caches.VerifyPendingMutex);
  std::lock_guard<std::mutex> identify(caches.IdentifyPendingMutex);
  caches.VerifyPendingResultCache.Clear();
  caches.VerifyPendingValueCache.Clear();
  caches.VerifyPendingLevelCache.Clear();
  caches.VerifyPendingDigestCache.Clear();
  caches.IdentifyPendingCountCache.Clear();
  caches.IdentifyPendingLevelCache.Clear();
  caches.IdentifyPendingRefCache.Clear();
}

}  // namespace ambercrypt
