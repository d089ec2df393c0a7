// verify_status.cc: KoBioFPI_VerifySecurityStatas and KoBioFPI_UpdateVerifyStatus.
// The check is the one both families share (lockout.cc); the update records
// the outcome and leaves it pending for the verify challenge.
#include <mutex>

#include "frame/fpi_ctrl.h"
#include "policy/policy.h"
#include "store/named_mutex.h"
#include "store/setting_store.h"

namespace ambercrypt {

uint32_t CFPICtrl::VerifySecurityStatas(const BioAPI_BIR *bir, int32_t requestedFmr, int32_t *allowedFmr,
                                        uint8_t *policyFlagOut) {
  if (bir == nullptr || allowedFmr == nullptr || policyFlagOut == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  // A record at an address that cannot be read is answered, never followed.
  if (IsBadReadPtr(bir, sizeof *bir)) return AMBER_E_SETTING_UNAVAILABLE;
  return CheckSecurityStatus(kVerifyPolicy, bir, requestedFmr, allowedFmr, policyFlagOut);
}

uint32_t CFPICtrl::UpdateVerifyStatus(bool result, const BioAPI_BIR *bir, int32_t achievedFmr, uint8_t level) {
  if (bir == nullptr || level > kMaxLevel || IsBadReadPtr(bir, sizeof *bir)) return AMBER_E_STATUS_UPDATE;
  if (appKey == nullptr) return AMBER_E_SETTING_UNAVAILABLE;  // a host without an application
  bool unanswered = false;
  bool tracking = QueryVerifySetting(&unanswered) != 0;
  // An outcome is never dropped because the store failed to say whether it counts.
  if (unanswered) return AMBER_E_SETTING_UNAVAILABLE;
  // The lockout record is touched only while tracking is on.
  SettingStore::Key record = tracking ? store.Open(SettingKey::kUserInfo, KEY_ALL_ACCESS) : store.Unopened();
  if (tracking && !record.ok()) return AMBER_E_SETTING_UNAVAILABLE;

  // The digest first, then the cross-process lock, then the pending outcome:
  // the pending outcome's mutex, which challenges wait on, is never held
  // across a wait for another process or for the cipher.
  CSecureBuffer digest;
  bool digested;
  {
    std::lock_guard<std::mutex> cipher(cryptMutex_);
    digested = DigestOfBiometricData(bir, crypt, &digest);
  }
  ScopedNamedMutex lock;
  if (tracking) lock = LockLockout(kVerifyPolicy);

  SettingCaches &caches = Caches();
  // The whole outcome, in the caches and in the record, is this update's
  // before another thread's update or challenge sees it.
  std::lock_guard<std::mutex> pending(caches.VerifyPendingMutex);
  caches.VerifyPendingResultCache.Erase(appKey);
  caches.VerifyPendingValueCache.Erase(appKey);
  caches.VerifyPendingLevelCache.Erase(appKey);
  caches.VerifyPendingDigestCache.Erase(appKey);
  caches.VerifyPendingResultCache.Insert(appKey, result ? 1u : 0u);
  caches.VerifyPendingValueCache.Insert(appKey, achievedFmr);
  caches.VerifyPendingLevelCache.Insert(appKey, level);
  if (tracking &&
      (!lock.owned() || record.WriteInt(settings::kVerifyLastResult, result ? 1 : 0) != ERROR_SUCCESS)) {
    return AMBER_E_STATUS_UPDATE;
  }
  if (!digested) return AMBER_E_STATUS_UPDATE;
  caches.VerifyPendingDigestCache.Insert(appKey, digest);
  if (tracking && record.WriteBytes(settings::kVerifyLastDigest, digest.data(), digest.size()) != ERROR_SUCCESS) {
    return AMBER_E_STATUS_UPDATE;
  }
  return AMBER_OK;
}

}  // namespace ambercrypt
