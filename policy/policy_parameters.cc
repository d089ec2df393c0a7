// policy_parameters.cc: KoBioSPI_InitVerifyParameter and
// KoBioSPI_InitIdentifyParameter. The two differ only in the values and caches
// they write, which each family names (policy/family.h). Every check runs
// before anything is written; a failed write ends the call with the values
// before it kept.
#include <cstring>

#include "core/admission.h"
#include "crypto/secure_buffer.h"
#include "policy/policy.h"
#include "store/setting_store.h"

namespace ambercrypt {
namespace {

constexpr int32_t kLowestMaxFmr = -1;
constexpr size_t kMaxKeyText = 255;

// Bytes of the key text before its NUL, counting at most one past the limit.
size_t KeyTextLength(const ResponseMethodRecord &record) { return strnlen(record.keyText, kMaxKeyText + 1); }

// The verify and identify policy administration share one sequence.
uint32_t InitPolicy(SpiContext &spi, const PolicyFamily &family, const char *applicationName, int32_t maxFmr,
                    int32_t maxFailures, int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                    const char *adminPassword) {
  // The caller's record, key text and all, is wiped when done.
  struct Wipe {
    ResponseMethodRecord &record;
    ~Wipe() { WipeMemory(&record, sizeof record); }
  } wipe{responseMethod};
  uint32_t admitted = Admission(applicationName, adminPassword).InAdministrableMode().Admit(spi);
  if (admitted != AMBER_OK) return admitted;
  if (maxFmr < kLowestMaxFmr) return AMBER_E_BAD_MAX_FMR;
  if (maxFailures < 0) return AMBER_E_BAD_MAX_FAILURES;
  if (lockMinutes < 0) return AMBER_E_BAD_LOCK_MINUTES;
  uint32_t method = responseMethod.method;
  if (method != AMBER_RESPONSE_SIGNATURE && method != AMBER_RESPONSE_HMAC) return AMBER_E_BAD_RESPONSE_METHOD;
  size_t keyTextLength = KeyTextLength(responseMethod);
  if (method == AMBER_RESPONSE_HMAC && (keyTextLength == 0 || keyTextLength > kMaxKeyText)) {
    return AMBER_E_BAD_KEY_TEXT;
  }

  const char *appKey = spi.appKey();
  SettingStore::Key app = spi.store().Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
  if (!app.ok()) return AMBER_E_SETTING_UNAVAILABLE;
  SettingCaches &caches = Caches();
  if (app.WriteInt(family.maxFmr, maxFmr) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  family.MaxFmrCache(caches).Replace(appKey, maxFmr);
  if (app.WriteInt(family.maxFailures, maxFailures) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  family.MaxFailuresCache(caches).Replace(appKey, maxFailures);
  // A policy with lockout that answers success has its lockout record's key,
  // writable by every account: a key the store could not make is a failure.
  if (maxFailures != 0 && !spi.CreateUserInfoKey()) return AMBER_E_SETTING_UNAVAILABLE;
  if (app.WriteInt(family.lockMinutes, lockMinutes) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  int32_t flag = policyFlag ? 1 : 0;
  if (app.WriteInt(family.policyFlag, flag) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  family.PolicyFlagCache(caches).Replace(appKey, flag);
  if (app.WriteInt(family.responseMethod, static_cast<int32_t>(method)) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  // Method 30 leaves the key text of an earlier method-40 policy as it was.
  if (method == AMBER_RESPONSE_SIGNATURE) return AMBER_OK;
  if (app.WriteBytes(family.keyText, reinterpret_cast<const uint8_t *>(responseMethod.keyText),
                     static_cast<uint32_t>(keyTextLength)) != ERROR_SUCCESS ||
      app.WriteInt(family.keyTextLength, static_cast<int32_t>(keyTextLength)) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  return AMBER_OK;
}

}  // namespace

uint32_t InitVerifyParameter(SpiContext &spi, const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                             int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                             const char *adminPassword) {
  return InitPolicy(spi, kVerifyPolicy, applicationName, maxFmr, maxFailures, lockMinutes, policyFlag, responseMethod,
                    adminPassword);
}

uint32_t InitIdentifyParameter(SpiContext &spi, const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                               int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                               const char *adminPassword) {
  return InitPolicy(spi, kIdentifyPolicy, applicationName, maxFmr, maxFailures, lockMinutes, policyFlag, responseMethod,
                    adminPassword);
}

}  // namespace ambercrypt
