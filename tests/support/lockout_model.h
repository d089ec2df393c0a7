// lockout_model.h: what an application's lockout record must hold after a
// number of status checks that each count a failure (the last reported
// outcome a failure with the same BIR), with 0 lock minutes. The record's
// lock serialises the checks, so the answer is the same however processes
// and threads interleave them: with maxFailures N, each run of N + 1 checks
// counts 1 to N - 1 (answer 0), locks at N (answer 2073, count back to 0)
// and finds the lock already run out at N + 1 (answer 0, count 0).
#ifndef AMBERCRYPT_TESTS_SUPPORT_LOCKOUT_MODEL_H_
#define AMBERCRYPT_TESTS_SUPPORT_LOCKOUT_MODEL_H_

#include <cstdint>

namespace ambercrypt::test {

struct LockoutAfterChecks {
  int64_t locks;   // checks that answered 2073
  int32_t count;   // the stored failure count
  bool locked;     // a release time stored (the last check locked)
};

inline LockoutAfterChecks ExpectedLockout(int64_t checks, int32_t maxFailures) {
  const int64_t period = int64_t{maxFailures} + 1;
  const int64_t position = checks % period;
  const bool lockedLast = position == maxFailures;
  return {(checks + 1) / period, position == 0 || lockedLast ? 0 : static_cast<int32_t>(position), lockedLast};
}

}  // namespace ambercrypt::test

#endif  // AMBERCRYPT_TESTS_SUPPORT_LOCKOUT_MODEL_H_
