// verify_status.cc: KoBioFPI_VerifySecurityStatas and KoBioFPI_UpdateVerifyStatus.
// The check is the one both families share (lockout.cc); the update records
// the outcome and leaves it pending for the verify challenge.
#include "core/pending_outcome.h"
#include "policy/lockout.h"
#include "policy/policy.h"

namespace ambercrypt {

uint32_t VerifySecurityStatas(const FpiContext &fpi, const BioAPI_BIR *bir, int32_t requestedFmr, int32_t *allowedFmr,
                              uint8_t *policyFlagOut) {
  if (bir == nullptr || allowedFmr == nullptr || policyFlagOut == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  // A record at an address that cannot be read is answered, never followed.
  if (IsBadReadPtr(bir, sizeof *bir)) return AMBER_E_SETTING_UNAVAILABLE;
  return CheckSecurityStatus(fpi, kVerifyPolicy, bir, requestedFmr, allowedFmr, policyFlagOut);
}

uint32_t UpdateVerifyStatus(FpiContext &fpi, bool result, const BioAPI_BIR *bir, int32_t achievedFmr, uint8_t level) {
  if (bir == nullptr || level > kMaxLevel || IsBadReadPtr(bir, sizeof *bir)) return AMBER_E_STATUS_UPDATE;
  StatusUpdate update(fpi, kVerifyPolicy);
  if (update.refusal() != AMBER_OK) return update.refusal();

  // The digest first, then the cross-process lock, then the pending outcome:
  // the pending outcome's mutex, which challenges wait on, is never held
  // across a wait for another process or for the cipher.
  CSecureBuffer digest;
  const bool digested = fpi.WithCipher([&](CCrypt &crypt) { return DigestOfBiometricData(bir, crypt, &digest); });
  update.Lock();

  // The whole outcome, in the caches and in the record, is this update's
  // before another thread's update or challenge sees it.
  PendingVerify pending(fpi.appKey());
  pending.Put(result ? 1u : 0u, achievedFmr, level);
  if (!update.RecordLastResult(result ? 1 : 0)) return AMBER_E_STATUS_UPDATE;
  if (!digested) return AMBER_E_STATUS_UPDATE;
  pending.PutDigest(digest);
  if (!update.RecordDigest(digest)) return AMBER_E_STATUS_UPDATE;
  return AMBER_OK;
}

}  // namespace ambercrypt
