// family.h: the verify and identify policies and their lockout. The two
// families differ only in the values and caches they use and in a few steps
// of the check and the update; each is described once here, and
// policy_parameters.cc, lockout.cc and the status files serve both.
#ifndef AMBERCRYPT_POLICY_FAMILY_H_
#define AMBERCRYPT_POLICY_FAMILY_H_

#include <cstdint>

#include "store/caches.h"
#include "store/settings.h"

namespace ambercrypt {

enum class PolicyKind { kVerify, kIdentify };

struct PolicyFamily {
  PolicyKind kind;
  const char *lockName;  // the family's cross-process lock, completed by the AppKey
  // The policy, in the application's key (KoBioSPI_Init*Parameter).
  const Setting &maxFmr;
  const Setting &maxFailures;
  const Setting &lockMinutes;
  const Setting &policyFlag;
  const Setting &responseMethod;
  const Setting &keyText;
  const Setting &keyTextLength;
  // The lockout record, in the application's UserInfo key.
  const Setting &lastResult;
  const Setting &releaseTime;
  const Setting &failureCount;
  // What a status update answers when the store cannot say whether lockout
  // is tracked, or the lockout record will not open.
  uint32_t updateRefusal;
  // The caches that mirror maxFmr, maxFailures and policyFlag.
  SettingCache<int32_t> SettingCaches::*maxFmrCache;
  SettingCache<int32_t> SettingCaches::*maxFailuresCache;
  SettingCache<int32_t> SettingCaches::*policyFlagCache;

  SettingCache<int32_t> &MaxFmrCache(SettingCaches &c) const { return c.*maxFmrCache; }
  SettingCache<int32_t> &MaxFailuresCache(SettingCaches &c) const { return c.*maxFailuresCache; }
  SettingCache<int32_t> &PolicyFlagCache(SettingCaches &c) const { return c.*policyFlagCache; }
};

extern const PolicyFamily kVerifyPolicy;
extern const PolicyFamily kIdentifyPolicy;

// 100-nanosecond ticks in one minute.
inline constexpr uint64_t kTicksPerMinute = 600000000ull;
// The highest level an update may report.
inline constexpr uint8_t kMaxLevel = 100;

}  // namespace ambercrypt

#endif  // AMBERCRYPT_POLICY_FAMILY_H_
