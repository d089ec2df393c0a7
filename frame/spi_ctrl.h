// spi_ctrl.h: CSPICtrl, the service object behind the KoBioSPI_ exports. It
// owns the process's SPI context (core/context.h: the application currently
// addressed, changed by every administration call that names one, and the
// installation key material) and hands each call to the feature that serves
// it; it holds no logic of its own. One instance per process, created at
// attach. The export frame runs its calls one at a time under callMutex
// (export_frame.h).
//
// Which feature serves each method (spi_ctrl.cc dispatches):
//   Attach, LoadInstallationKey                   core/context.h (SpiContext)
//   RestrictBSPFunction, InitSecretKey,
//   SetEndUserParameter, DeleteParameter          admin/admin.h
//   InitVerifyParameter, InitIdentifyParameter    policy/policy.h
//   InitCerfificate, DigitalSignBIR, VerifyReferenceBIR,
//   VerifyChallenge, IdentifyChallenge, VerifyBSP trust/trust.h
#ifndef AMBERCRYPT_FRAME_SPI_CTRL_H_
#define AMBERCRYPT_FRAME_SPI_CTRL_H_

#include <cstdint>
#include <mutex>

#include "ambercrypt/ambercrypt.h"
#include "core/context.h"
#include "platform/win32_api.h"

namespace ambercrypt {

class CSPICtrl {
 public:
  explicit CSPICtrl(HMODULE module) : module_(module) {}
  CSPICtrl(const CSPICtrl &) = delete;
  CSPICtrl &operator=(const CSPICtrl &) = delete;

  // Attach and LoadInstallationKey: see SpiContext.
  bool Attach(const char *fileName) { return context_.Attach(fileName); }
  bool LoadInstallationKey() { return context_.LoadInstallationKey(); }

  // The KoBioSPI_ operations; each returns 0 or an internal code.
  uint32_t DeleteParameter(const char *applicationName);
  uint32_t DigitalSignBIR(const BioAPI_BIR *inputBir, BioAPI_BIR *outputBir);
  uint32_t IdentifyChallenge(const char *challenge, IdentifyChallengeRecord *record);
  uint32_t InitCerfificate(const char *applicationName, const IssuerSerial *issuerSerial, const char *adminPassword);
  uint32_t InitIdentifyParameter(const char *applicationName, int32_t maxFmr, int32_t maxFailures, int32_t lockMinutes,
                                 bool policyFlag, ResponseMethodRecord &responseMethod, const char *adminPassword);
  uint32_t InitSecretKey(const char *applicationName, uint32_t algorithm, const char *secretKey,
                         const char *adminPassword);
  uint32_t InitVerifyParameter(const char *applicationName, int32_t maxFmr, int32_t maxFailures, int32_t lockMinutes,
                               bool policyFlag, ResponseMethodRecord &responseMethod, const char *adminPassword);
  uint32_t RestrictBSPFunction(const char *applicationName, uint32_t mode, uint32_t customMask,
                               const char *adminPassword);
  uint32_t SetEndUserParameter(const char *applicationName, const IssuerSerial *issuerSerial);
  uint32_t VerifyBSP(const BioAPI_UUID *bspUuid, const char *expectedDigest);
  uint32_t VerifyChallenge(const char *challenge, VerifyChallengeRecord *record);
  uint32_t VerifyReferenceBIR(const BioAPI_BIR *bir);

  HMODULE module() const { return module_; }
  SpiContext &context() { return context_; }
  // Held by the export frame for the whole of each call.
  std::mutex callMutex;

 private:
  const HMODULE module_;
  SpiContext context_;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_SPI_CTRL_H_
