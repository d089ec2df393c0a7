// identify_status.cc: KoBioFPI_IdentifySecurityStatas and
// KoBioFPI_UpdateIdentifyStatus. The check is the one both families share
// (lockout.cc); the update records the number of candidates, then leaves the
// outcome pending for the identify challenge.
#include "core/pending_outcome.h"
#include "policy/lockout.h"
#include "policy/policy.h"

namespace ambercrypt {

uint32_t IdentifySecurityStatas(const FpiContext &fpi, const void *reserved, int32_t requestedFmr, int32_t *allowedFmr,
                                uint8_t *policyFlagOut) {
  (void)reserved;  // never examined
  if (allowedFmr == nullptr || policyFlagOut == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  return CheckSecurityStatus(fpi, kIdentifyPolicy, nullptr, requestedFmr, allowedFmr, policyFlagOut);
}

uint32_t UpdateIdentifyStatus(const FpiContext &fpi, uint32_t *numberOfResults, BioAPI_CANDIDATE **candidates,
                              uint8_t level) {
  if (numberOfResults == nullptr || candidates == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  if (level > kMaxLevel) return AMBER_E_STATUS_UPDATE;
  if (IsBadReadPtr(numberOfResults, sizeof *numberOfResults)) return AMBER_E_SETTING_UNAVAILABLE;
  const uint32_t count = *numberOfResults;
  StatusUpdate update(fpi, kIdentifyPolicy);
  if (update.refusal() != AMBER_OK) return update.refusal();
  // The cross-process lock before the pending outcome's mutex, which
  // challenges wait on: that mutex is never held across a wait for another
  // process.
  update.Lock();

  // The record's last result and the pending outcome are this update's
  // before another thread's update or challenge sees them.
  PendingIdentify pending(fpi.appKey());
  if (!update.RecordLastResult(static_cast<int32_t>(count))) return AMBER_E_STATUS_UPDATE;
  // The caller's pointer itself, as passed: the challenge reads through it.
  pending.Put(IdentifyOutcome{count, level, candidates});
  return AMBER_OK;
}

}  // namespace ambercrypt
