// lockout.cc: whether an application tracks lockout, the security status
// check both families share (the lockout steps while tracking is on, then the
// rate ceiling and the policy flag), and the first steps of both status
// updates. The read-modify-write of an application's lockout record runs under
// a cross-process lock of that application and family, so processes checking
// at once never lose a failure or undo each other's lock.
#include "policy/lockout.h"

#include <cstring>
#include <string>

#include "policy/clock.h"
#include "policy/policy.h"

namespace ambercrypt {
namespace {

// Long enough for any holder that is working; a lock held longer than this
// is refused rather than skipped, since skipping it could lose failures.
constexpr DWORD kLockoutLockWaitMs = 10000;

std::string LockName(const PolicyFamily &family, const char *appKey) {
  std::string name = family.lockName;
  size_t n = strlen(appKey);
  if (n > 0 && appKey[n - 1] == '\n') --n;
  return name.append(appKey, n);
}

ScopedNamedMutex LockLockout(const FpiContext &fpi, const PolicyFamily &family) {
  return ScopedNamedMutex(LockName(family, fpi.appKey()).c_str(), kLockoutLockWaitMs);
}

uint32_t CheckLockout(const FpiContext &fpi, const PolicyFamily &family, SettingStore::Key &app,
                      const BioAPI_BIR *bir) {
  const SettingStore &store = fpi.store();
  const bool verify = family.kind == PolicyKind::kVerify;
  // Verify makes the UserInfo key when it is missing; identify does not.
  SettingStore::Key record = store.Open(SettingKey::kUserInfo, KEY_ALL_ACCESS, verify);
  if (!record.ok()) return AMBER_E_SETTING_UNAVAILABLE;
  int64_t stored = 0;
  // A default (absent, or bytes that do not decrypt) is taken only for a
  // value the store could read: taken for a failed read, it would end a
  // running lock or wipe the failure count.
  uint32_t status = record.ReadInt64(family.releaseTime, &stored);
  if (IsStoreFailure(status)) return AMBER_E_SETTING_UNAVAILABLE;
  uint64_t release = status == ERROR_SUCCESS ? static_cast<uint64_t>(stored) : 0;
  uint64_t now = LocalFileTimeNow();
  if (now < release) return AMBER_E_LOCKED;
  bool justReleased = release != 0;
  if (record.WriteInt64(family.releaseTime, 0) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  int32_t last = 1;
  status = record.ReadInt(family.lastResult, &last);
  if (IsStoreFailure(status)) return AMBER_E_SETTING_UNAVAILABLE;
  if (status != ERROR_SUCCESS) last = 1;

  // Does this check count a failure? Verify: the last verification failed
  // and came with this very BIR; identify: the last identification failed.
  bool counts = false;
  if (!justReleased && verify && last != 1) {
    CSecureBuffer digest, lastDigest(kDigestSize);
    CCrypt crypt;
    uint32_t lastLength = lastDigest.size();
    if (!DigestOfBiometricData(bir, crypt, &digest) ||
        record.ReadBytes(settings::kVerifyLastDigest, lastDigest.data(), &lastLength) != ERROR_SUCCESS) {
      return AMBER_E_SETTING_UNAVAILABLE;
    }
    counts = lastLength == kDigestSize && ConstantTimeEqual(digest.data(), lastDigest.data(), kDigestSize);
  } else if (!justReleased && !verify) {
    counts = last == 0;
  }
  int32_t count = 0;
  if (counts) {
    // A count never written (a failure reported before any check) counts from
    // 0: taken as unreadable, it would fail every check until a verification
    // succeeded, which no check would then let happen. A damaged one fails.
    int32_t previous = 0;
    status = record.ReadInt(family.failureCount, &previous);
    if (status == ERROR_FILE_NOT_FOUND) {
      previous = 0;
    } else if (status != ERROR_SUCCESS) {
      return AMBER_E_SETTING_UNAVAILABLE;
    }
    count = static_cast<int32_t>(static_cast<uint32_t>(previous) + 1u);  // wraps, never overflows
  }
  int32_t max = 0;
  if (store.ReadThrough(family.MaxFailuresCache(Caches()), family.maxFailures, &max) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  if (max == 0 || count < max) {
    if (record.WriteInt(family.failureCount, count) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
    return AMBER_OK;
  }
  // The count that reaches the limit is never stored on its own: the record
  // goes from the count before it straight to the lock (release time, then
  // count 0), so a process killed between two writes leaves no count at the
  // limit without a lock, and never a failure count that went back unlocked.
  int32_t lockMinutes = 0;
  if (app.ReadInt(family.lockMinutes, &lockMinutes) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  // Minutes taken unsigned, in 64 bits: even 2^32 - 1 minutes cannot overflow.
  release = now + static_cast<uint64_t>(static_cast<uint32_t>(lockMinutes)) * kTicksPerMinute;
  if (record.WriteInt64(family.releaseTime, static_cast<int64_t>(release)) != ERROR_SUCCESS ||
      record.WriteInt(family.failureCount, 0) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  return AMBER_E_LOCKED_NOW;
}

}  // namespace

LockoutTracking LockoutTrackingOf(const FpiContext &fpi, const PolicyFamily &family) {
  int32_t value = 0;
  uint32_t status = fpi.store().ReadThrough(family.MaxFailuresCache(Caches()), family.maxFailures, &value);
  // No policy (no key, no value, a value that does not decrypt) means no
  // lockout; a store that failed to answer says nothing about the policy.
  // A key that could not be opened is asked again for the reason.
  bool unanswered = IsStoreFailure(status);
  if (status == ERROR_INVALID_HANDLE && fpi.appKey() != nullptr) {
    HKEY key = nullptr;
    LSTATUS open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ApplicationKeyPath(fpi.appKey()).c_str(), 0, KEY_READ, &key);
    if (open == ERROR_SUCCESS) RegCloseKey(key);
    unanswered = open != ERROR_FILE_NOT_FOUND;
  }
  if (unanswered) return LockoutTracking::kUnknown;
  return status == ERROR_SUCCESS && value != 0 ? LockoutTracking::kOn : LockoutTracking::kOff;
}

bool DigestOfBiometricData(const BioAPI_BIR *bir, CCrypt &crypt, CSecureBuffer *digest) {
  const uint8_t *data = bir->BiometricData.Data;
  uint32_t length = bir->BiometricData.Length;
  // Empty data cannot be digested; a wild pointer is refused, not followed.
  if (data == nullptr || length == 0 || IsBadReadPtr(data, length)) return false;
  CSecureBuffer out(kDigestSize);
  uint32_t outLength = out.size();
  if (crypt.Hash(data, length, out.data(), &outLength) != ERROR_SUCCESS || outLength != kDigestSize) return false;
  *digest = std::move(out);
  return true;
}

uint32_t CheckSecurityStatus(const FpiContext &fpi, const PolicyFamily &family, const BioAPI_BIR *bir,
                             int32_t requestedFmr, int32_t *allowedFmr, uint8_t *policyFlagOut) {
  const LockoutTracking tracking = LockoutTrackingOf(fpi, family);
  // Never a check without lockout because the store failed to say whether there is one.
  if (tracking == LockoutTracking::kUnknown) return AMBER_E_SETTING_UNAVAILABLE;
  const SettingStore &store = fpi.store();
  SettingStore::Key app = store.Open(SettingKey::kApplication, KEY_READ);
  if (!app.ok()) return AMBER_E_SETTING_UNAVAILABLE;
  SettingCaches &caches = Caches();
  if (tracking == LockoutTracking::kOn) {
    ScopedNamedMutex lock = LockLockout(fpi, family);
    if (!lock.owned()) return AMBER_E_SETTING_UNAVAILABLE;
    uint32_t result = CheckLockout(fpi, family, app, bir);
    if (result != AMBER_OK) return result;
  }
  int32_t ceiling = 0;
  if (store.ReadThrough(family.MaxFmrCache(caches), family.maxFmr, &ceiling) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  if (ceiling < requestedFmr) {
    *allowedFmr = ceiling;
    return AMBER_E_FMR_LOWERED;
  }
  // Both outputs or neither: the flag is read before the rate is handed back.
  int32_t flag = 0;
  if (store.ReadThrough(family.PolicyFlagCache(caches), family.policyFlag, &flag) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  *allowedFmr = requestedFmr;
  *policyFlagOut = flag != 0 ? 1 : 0;
  return AMBER_OK;
}

StatusUpdate::Start StatusUpdate::Begin(const FpiContext &fpi, const PolicyFamily &family) {
  if (fpi.appKey() == nullptr) return {AMBER_E_SETTING_UNAVAILABLE, false};  // a host without an application
  const LockoutTracking tracking = LockoutTrackingOf(fpi, family);
  if (tracking == LockoutTracking::kUnknown) return {family.updateRefusal, false};
  return {AMBER_OK, tracking == LockoutTracking::kOn};
}

StatusUpdate::StatusUpdate(const FpiContext &fpi, const PolicyFamily &family)
    : fpi_(fpi),
      family_(family),
      start_(Begin(fpi, family)),
      // The lockout record is touched only while tracking is on.
      record_(start_.tracking ? fpi.store().Open(SettingKey::kUserInfo, KEY_ALL_ACCESS) : fpi.store().Unopened()) {
  if (start_.tracking && !record_.ok()) start_.refusal = family.updateRefusal;
}

void StatusUpdate::Lock() {
  if (start_.tracking) lock_ = LockLockout(fpi_, family_);
}

bool StatusUpdate::RecordLastResult(int32_t value) {
  return !start_.tracking || (lock_.owned() && record_.WriteInt(family_.lastResult, value) == ERROR_SUCCESS);
}

bool StatusUpdate::RecordDigest(const CSecureBuffer &digest) {
  return !start_.tracking ||
         record_.WriteBytes(settings::kVerifyLastDigest, digest.data(), digest.size()) == ERROR_SUCCESS;
}

}  // namespace ambercrypt
