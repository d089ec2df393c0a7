#include "frame/spi_ctrl.h"

#include "admin/admin.h"
#include "policy/policy.h"
#include "trust/trust.h"

namespace ambercrypt {

uint32_t CSPICtrl::DeleteParameter(const char *applicationName) {
  return ambercrypt::DeleteParameter(context_, applicationName);
}

uint32_t CSPICtrl::DigitalSignBIR(const BioAPI_BIR *inputBir, BioAPI_BIR *outputBir) {
  return ambercrypt::DigitalSignBIR(context_, inputBir, outputBir);
}

uint32_t CSPICtrl::IdentifyChallenge(const char *challenge, IdentifyChallengeRecord *record) {
  return ambercrypt::IdentifyChallenge(context_, challenge, record);
}

uint32_t CSPICtrl::InitCerfificate(const char *applicationName, const IssuerSerial *issuerSerial,
                                   const char *adminPassword) {
  return ambercrypt::InitCerfificate(context_, applicationName, issuerSerial, adminPassword);
}

uint32_t CSPICtrl::InitIdentifyParameter(const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                                         int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                                         const char *adminPassword) {
  return ambercrypt::InitIdentifyParameter(context_, applicationName, maxFmr, maxFailures, lockMinutes, policyFlag,
                                           responseMethod, adminPassword);
}

uint32_t CSPICtrl::InitSecretKey(const char *applicationName, uint32_t algorithm, const char *secretKey,
                                 const char *adminPassword) {
  return ambercrypt::InitSecretKey(context_, applicationName, algorithm, secretKey, adminPassword);
}

uint32_t CSPICtrl::InitVerifyParameter(const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                                       int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                                       const char *adminPassword) {
  return ambercrypt::InitVerifyParameter(context_, applicationName, maxFmr, maxFailures, lockMinutes, policyFlag,
                                         responseMethod, adminPassword);
}

uint32_t CSPICtrl::RestrictBSPFunction(const char *applicationName, uint32_t mode, uint32_t customMask,
                                       const char *adminPassword) {
  return ambercrypt::RestrictBSPFunction(context_, applicationName, mode, customMask, adminPassword);
}

uint32_t CSPICtrl::SetEndUserParameter(const char *applicationName, const IssuerSerial *issuerSerial) {
  return ambercrypt::SetEndUserParameter(context_, applicationName, issuerSerial);
}

uint32_t CSPICtrl::VerifyBSP(const BioAPI_UUID *bspUuid, const char *expectedDigest) {
  return ambercrypt::VerifyBSP(bspUuid, expectedDigest);
}

uint32_t CSPICtrl::VerifyChallenge(const char *challenge, VerifyChallengeRecord *record) {
  return ambercrypt::VerifyChallenge(context_, challenge, record);
}

uint32_t CSPICtrl::VerifyReferenceBIR(const BioAPI_BIR *bir) { return ambercrypt::VerifyReferenceBIR(context_, bir); }

}  // namespace ambercrypt
