#include "store/settings.h"

#include <cstring>

namespace ambercrypt {

using namespace settings;

const Setting *const kAllSettings[36] = {
    &kAdminPasswordDigest, &kInstallationNumber, &kSecretKeyBlock, &kSecretKeyState, &kCipherAlgorithm,
    &kRestrictionMode, &kCustomMask, &kSigningIssuerLength, &kSigningIssuer, &kSigningSerialLength,
    &kSigningSerial, &kVerifyLastResult, &kIdentifyLastResult, &kVerifyResponseMethod,
    &kIdentifyResponseMethod, &kVerifyMaxFailures, &kIdentifyMaxFailures, &kVerifyMaxFmr, &kIdentifyMaxFmr,
    &kVerifyLockMinutes, &kIdentifyLockMinutes, &kVerifyPolicyFlag, &kIdentifyPolicyFlag, &kVerifyKeyText,
    &kIdentifyKeyText, &kVerifyKeyTextLength, &kIdentifyKeyTextLength, &kVerifyLastDigest, &kVerifyReleaseTime,
    &kIdentifyReleaseTime, &kVerifyFailureCount, &kIdentifyFailureCount, &kEndUserIssuerLength,
    &kEndUserIssuer, &kEndUserSerialLength, &kEndUserSerial,
};

std::string ApplicationKeyPath(const char *appKey) {
  std::string path = kBaseKeyPath;
  if (appKey != nullptr) {
    size_t n = strlen(appKey);
    if (n > 0 && appKey[n - 1] == '\n') --n;
    path.append(appKey, n);
  }
  return path;
}

std::string UserInfoKeyPath(const char *appKey) { return ApplicationKeyPath(appKey) + kUserInfoSuffix; }

}  // namespace ambercrypt
