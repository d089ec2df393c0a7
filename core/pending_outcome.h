// pending_outcome.h: the outcome of an application's last verify and last
// identify, kept until a challenge answers it: put by the status updates
// (policy/), found and taken by the challenges (trust/). Each family's outcome
// is several entries of the process-wide caches (store/caches.h) under one
// mutex of its own; a PendingVerify or PendingIdentify holds that mutex for as
// long as it lives. So an update replaces one whole outcome, and a challenge,
// holding it from its look-up to its consumption, answers one whole outcome,
// never the result of one update with the digest of another, and each at most
// once, however threads report and ask. Callers take it after any
// cross-process lock and never wait for another process while holding it.
#ifndef AMBERCRYPT_CORE_PENDING_OUTCOME_H_
#define AMBERCRYPT_CORE_PENDING_OUTCOME_H_

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "crypto/secure_buffer.h"

namespace ambercrypt {

struct VerifyOutcome {
  uint32_t result;  // 1: the verification succeeded
  int32_t achievedFmr;
  uint8_t level;
  CSecureBuffer digest;  // SHA-1 of the BIR's biometric data
};

class PendingVerify {
 public:
  // Holds the verify outcomes' mutex for appKey's application.
  explicit PendingVerify(const std::string &appKey);
  PendingVerify(const PendingVerify &) = delete;
  PendingVerify &operator=(const PendingVerify &) = delete;

  // Put replaces the outcome with an update's result, rate and level; it is
  // whole once PutDigest has added the digest.
  void Put(uint32_t result, int32_t achievedFmr, uint8_t level);
  void PutDigest(const CSecureBuffer &digest);
  // Find: the whole outcome, or nothing when any part of it is missing.
  std::optional<VerifyOutcome> Find() const;
  // Take consumes the outcome: it has been answered.
  void Take();

 private:
  const std::string appKey_;
  std::lock_guard<std::mutex> lock_;
};

struct IdentifyOutcome {
  uint32_t count;  // of candidates
  uint8_t level;
  BioAPI_CANDIDATE **candidates;  // the caller's pointer as passed; null for no candidates
};

class PendingIdentify {
 public:
  // Holds the identify outcomes' mutex for appKey's application.
  explicit PendingIdentify(const std::string &appKey);
  PendingIdentify(const PendingIdentify &) = delete;
  PendingIdentify &operator=(const PendingIdentify &) = delete;

  // Put replaces the outcome (its candidates kept only when it has a count).
  void Put(const IdentifyOutcome &outcome);
  // Find: the whole outcome, or nothing when any part of it is missing.
  std::optional<IdentifyOutcome> Find() const;
  // Take consumes the outcome: it has been answered.
  void Take();

 private:
  const std::string appKey_;
  std::lock_guard<std::mutex> lock_;
};

// ForgetAllPendingOutcomes drops every application's pending outcomes of both
// families (and their caches' host entries), as a fresh process has none.
void ForgetAllPendingOutcomes();

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CORE_PENDING_OUTCOME_H_
