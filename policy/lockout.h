// lockout.h: what the policy's status operations share, within policy/: the
// security status check of either family, the first steps of either status
// update, and the digest a verify records. An application's lockout record
// changes only under its family's cross-process lock, taken before the
// pending outcome's mutex, which is never held across a wait for another
// process.
#ifndef AMBERCRYPT_POLICY_LOCKOUT_H_
#define AMBERCRYPT_POLICY_LOCKOUT_H_

#include <cstdint>

#include "ambercrypt/ambercrypt.h"
#include "core/context.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "policy/family.h"
#include "store/named_mutex.h"
#include "store/setting_store.h"

namespace ambercrypt {

// CheckSecurityStatus: the check of either family once its arguments are
// checked: the lockout steps while tracking is on, then the rate ceiling and
// the policy flag. Both outputs are set, or neither.
uint32_t CheckSecurityStatus(const FpiContext &fpi, const PolicyFamily &family, const BioAPI_BIR *bir,
                             int32_t requestedFmr, int32_t *allowedFmr, uint8_t *policyFlagOut);

// The steps both status updates take once their own arguments are checked:
// the application, whether lockout is tracked, and the lockout record opened
// when it is (the constructor); then the family's cross-process lock (Lock);
// then the record's writes under it.
class StatusUpdate {
 public:
  StatusUpdate(const FpiContext &fpi, const PolicyFamily &family);
  StatusUpdate(const StatusUpdate &) = delete;
  StatusUpdate &operator=(const StatusUpdate &) = delete;

  // AMBER_OK, or what the update answers: AMBER_E_SETTING_UNAVAILABLE for a
  // host without an application, the family's updateRefusal when the store
  // cannot say whether lockout is tracked or the record will not open (an
  // outcome is never dropped because the store failed to say whether it
  // counts).
  uint32_t refusal() const { return start_.refusal; }
  // Lock takes the family's cross-process lock of the application while
  // tracking; nothing otherwise.
  void Lock();
  // RecordLastResult writes the family's last result under the lock, and
  // RecordDigest the verified BIR's digest: each true when written, or when
  // nothing is tracked.
  bool RecordLastResult(int32_t value);
  bool RecordDigest(const CSecureBuffer &digest);

 private:
  struct Start {
    uint32_t refusal;
    bool tracking;
  };
  static Start Begin(const FpiContext &fpi, const PolicyFamily &family);

  const FpiContext &fpi_;
  const PolicyFamily &family_;
  Start start_;
  SettingStore::Key record_;  // open only while tracking
  ScopedNamedMutex lock_;
};

// The SHA-1 digest of a BIR's biometric data into *digest. False when there is
// nothing to digest (no data, or data at an address that cannot be read).
bool DigestOfBiometricData(const BioAPI_BIR *bir, CCrypt &crypt, CSecureBuffer *digest);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_POLICY_LOCKOUT_H_
