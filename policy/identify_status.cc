// identify_status.cc: KoBioFPI_IdentifySecurityStatas and
// KoBioFPI_UpdateIdentifyStatus. The check is the one both families share
// (lockout.cc); the update records the number of candidates, then leaves the
// outcome pending for the identify challenge.
#include <mutex>

#include "frame/fpi_ctrl.h"
#include "policy/policy.h"
#include "store/named_mutex.h"
#include "store/setting_store.h"

namespace ambercrypt {

uint32_t CFPICtrl::IdentifySecurityStatas(const void *reserved, int32_t requestedFmr, int32_t *allowedFmr,
                                          uint8_t *policyFlagOut) {
  (void)reserved;  // never examined
  if (allowedFmr == nullptr || policyFlagOut == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  return CheckSecurityStatus(kIdentifyPolicy, nullptr, requestedFmr, allowedFmr, policyFlagOut);
}

uint32_t CFPICtrl::UpdateIdentifyStatus(uint32_t *numberOfResults, BioAPI_CANDIDATE **candidates, uint8_t level) {
  if (numberOfResults == nullptr || candidates == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  if (level > kMaxLevel) return AMBER_E_STATUS_UPDATE;
  if (IsBadReadPtr(numberOfResults, sizeof *numberOfResults)) return AMBER_E_SETTING_UNAVAILABLE;
  if (appKey == nullptr) return AMBER_E_SETTING_UNAVAILABLE;  // a host without an application
  uint32_t count = *numberOfResults;
  bool unanswered = false;
  bool tracking = QueryIdentifySetting(&unanswered) != 0;
  // An outcome is never dropped because the store failed to say whether it counts.
  if (unanswered) return AMBER_E_STATUS_UPDATE;
  SettingStore::Key record = tracking ? store.Open(SettingKey::kUserInfo, KEY_ALL_ACCESS) : store.Unopened();
  if (tracking && !record.ok()) return AMBER_E_STATUS_UPDATE;
  // The cross-process lock before the pending outcome's mutex, which
  // challenges wait on: that mutex is never held across a wait for another
  // process.
  ScopedNamedMutex lock;
  if (tracking) lock = LockLockout(kIdentifyPolicy);
  SettingCaches &caches = Caches();
  // The record's last result and the pending outcome are this update's
  // before another thread's update or challenge sees them.
  std::lock_guard<std::mutex> pending(caches.IdentifyPendingMutex);
  if (tracking && (!lock.owned() ||
                   record.WriteInt(settings::kIdentifyLastResult, static_cast<int32_t>(count)) != ERROR_SUCCESS)) {
    return AMBER_E_STATUS_UPDATE;
  }
  caches.IdentifyPendingCountCache.Erase(appKey);
  caches.IdentifyPendingLevelCache.Erase(appKey);
  caches.IdentifyPendingRefCache.Erase(appKey);
  caches.IdentifyPendingLevelCache.Insert(appKey, level);
  caches.IdentifyPendingCountCache.Insert(appKey, count);
  // The caller's pointer itself, as passed: the challenge reads through it.
  if (count != 0) caches.IdentifyPendingRefCache.Insert(appKey, reinterpret_cast<uint64_t>(candidates));
  return AMBER_OK;
}

}  // namespace ambercrypt
