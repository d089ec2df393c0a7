// exports.cc: the nineteen exports, each a frame (export_frame.h) around the
// method of the same name on its family's service object.
#include "ambercrypt/ambercrypt.h"
#include "crypto/secure_buffer.h"
#include "frame/entry.h"
#include "frame/export_frame.h"

using ambercrypt::CFPICtrl;
using ambercrypt::CSPICtrl;
using ambercrypt::Frame;
using ambercrypt::SerialFrame;
using ambercrypt::FpiService;
using ambercrypt::SpiService;

namespace {

// The policy exports take their record by value, key text and all: this copy
// is wiped once the call has answered.
uint32_t WipedAfter(ResponseMethodRecord &record, uint32_t result) {
  ambercrypt::WipeMemory(&record, sizeof record);
  return result;
}

}  // namespace

extern "C" {

AMBERCRYPT_API uint32_t KoBioFPI_CheckMode(uint32_t functionMask) {
  return Frame(FpiService(), [&](CFPICtrl &o) { return o.CheckMode(functionMask); });
}

AMBERCRYPT_API uint32_t KoBioFPI_DecryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output) {
  return Frame(FpiService(), [&](CFPICtrl &o) { return o.DecryptBIR(input, output); });
}

AMBERCRYPT_API uint32_t KoBioFPI_EncryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output) {
  return Frame(FpiService(), [&](CFPICtrl &o) { return o.EncryptBIR(input, output); });
}

AMBERCRYPT_API uint32_t KoBioFPI_IdentifySecurityStatas(const void *reserved, int32_t requestedFmr,
                                                        int32_t *allowedFmr, uint8_t *policyFlagOut) {
  return Frame(FpiService(),
               [&](CFPICtrl &o) { return o.IdentifySecurityStatas(reserved, requestedFmr, allowedFmr, policyFlagOut); });
}

AMBERCRYPT_API uint32_t KoBioFPI_UpdateIdentifyStatus(uint32_t *numberOfResults, BioAPI_CANDIDATE **candidates,
                                                      uint8_t level) {
  return Frame(FpiService(), [&](CFPICtrl &o) { return o.UpdateIdentifyStatus(numberOfResults, candidates, level); });
}

AMBERCRYPT_API uint32_t KoBioFPI_UpdateVerifyStatus(uint8_t result, const BioAPI_BIR *bir, int32_t achievedFmr,
                                                    uint8_t level) {
  return Frame(FpiService(), [&](CFPICtrl &o) { return o.UpdateVerifyStatus(ambercrypt::FlagFromByte(result), bir, achievedFmr, level); });
}

AMBERCRYPT_API uint32_t KoBioFPI_VerifySecurityStatas(const BioAPI_BIR *bir, int32_t requestedFmr,
                                                      int32_t *allowedFmr, uint8_t *policyFlagOut) {
  return Frame(FpiService(),
               [&](CFPICtrl &o) { return o.VerifySecurityStatas(bir, requestedFmr, allowedFmr, policyFlagOut); });
}

AMBERCRYPT_API uint32_t KoBioSPI_DeleteParameter(const char *applicationName) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.DeleteParameter(applicationName); });
}

AMBERCRYPT_API uint32_t KoBioSPI_DigitalSignBIR(const BioAPI_BIR *inputBir, BioAPI_BIR *outputBir) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.DigitalSignBIR(inputBir, outputBir); });
}

AMBERCRYPT_API uint32_t KoBioSPI_IdentifyChallenge(const char *challenge, IdentifyChallengeRecord *record) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.IdentifyChallenge(challenge, record); });
}

AMBERCRYPT_API uint32_t KoBioSPI_InitCerfificate(const char *applicationName, const IssuerSerial *issuerSerial,
                                                 const char *adminPassword) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.InitCerfificate(applicationName, issuerSerial, adminPassword); });
}

AMBERCRYPT_API uint32_t KoBioSPI_InitIdentifyParameter(const char *applicationName, int32_t maxFmr,
                                                       int32_t maxFailures, int32_t lockMinutes, uint8_t policyFlag,
                                                       ResponseMethodRecord responseMethod,
                                                       const char *adminPassword) {
  return WipedAfter(responseMethod, SerialFrame(SpiService(), [&](CSPICtrl &o) {
                      return o.InitIdentifyParameter(applicationName, maxFmr, maxFailures, lockMinutes,
                                                     ambercrypt::FlagFromByte(policyFlag), responseMethod, adminPassword);
                    }));
}

AMBERCRYPT_API uint32_t KoBioSPI_InitSecretKey(const char *applicationName, uint32_t algorithm,
                                               const char *secretKey, const char *adminPassword) {
  return SerialFrame(SpiService(),
                     [&](CSPICtrl &o) { return o.InitSecretKey(applicationName, algorithm, secretKey, adminPassword); });
}

AMBERCRYPT_API uint32_t KoBioSPI_InitVerifyParameter(const char *applicationName, int32_t maxFmr,
                                                     int32_t maxFailures, int32_t lockMinutes, uint8_t policyFlag,
                                                     ResponseMethodRecord responseMethod, const char *adminPassword) {
  return WipedAfter(responseMethod, SerialFrame(SpiService(), [&](CSPICtrl &o) {
                      return o.InitVerifyParameter(applicationName, maxFmr, maxFailures, lockMinutes,
                                                   ambercrypt::FlagFromByte(policyFlag), responseMethod, adminPassword);
                    }));
}

AMBERCRYPT_API uint32_t KoBioSPI_RestrictBSPFunction(const char *applicationName, uint32_t mode,
                                                     uint32_t customMask, const char *adminPassword) {
  return SerialFrame(SpiService(),
                     [&](CSPICtrl &o) { return o.RestrictBSPFunction(applicationName, mode, customMask, adminPassword); });
}

AMBERCRYPT_API uint32_t KoBioSPI_SetEndUserParameter(const char *applicationName, const IssuerSerial *issuerSerial) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.SetEndUserParameter(applicationName, issuerSerial); });
}

AMBERCRYPT_API uint32_t KoBioSPI_VerifyBSP(const BioAPI_UUID *bspUuid, const char *expectedDigest) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.VerifyBSP(bspUuid, expectedDigest); });
}

AMBERCRYPT_API uint32_t KoBioSPI_VerifyChallenge(const char *challenge, VerifyChallengeRecord *record) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.VerifyChallenge(challenge, record); });
}

AMBERCRYPT_API uint32_t KoBioSPI_VerifyReferenceBIR(const BioAPI_BIR *bir) {
  return SerialFrame(SpiService(), [&](CSPICtrl &o) { return o.VerifyReferenceBIR(bir); });
}

}  // extern "C"
