// spi_ctrl.h: CSPICtrl, the service object behind the KoBioSPI_ exports. Its
// store holds the application currently addressed (changed by every
// administration call that names one) and the installation key material. One
// instance per process, created at attach. The export frame runs its calls
// one at a time under callMutex (export_frame.h).
//
// Where each method lives:
//   frame/spi_ctrl.cc            Attach, SetApplication, LoadInstallationKey,
//                                ReadFunctionMode, CreateUserInfoKey
//   admin/admin_password.cc      AdmitAdministration
//   admin/secret_key.cc          InitSecretKey
//   admin/restriction.cc         RestrictBSPFunction
//   admin/end_user.cc            SetEndUserParameter, DeleteParameter
//   policy/policy_parameters.cc  InitVerifyParameter, InitIdentifyParameter
//   trust/bir_signature.cc       InitCerfificate, DigitalSignBIR, VerifyReferenceBIR
//   trust/challenge.cc           VerifyChallenge, IdentifyChallenge
//   trust/bsp_verify.cc          VerifyBSP
#ifndef AMBERCRYPT_FRAME_SPI_CTRL_H_
#define AMBERCRYPT_FRAME_SPI_CTRL_H_

#include <cstdint>
#include <mutex>

#include "ambercrypt/ambercrypt.h"
#include "platform/win32_api.h"
#include "store/setting_store.h"

namespace ambercrypt {

struct PolicyFamily;

class CSPICtrl {
 public:
  explicit CSPICtrl(HMODULE module);
  CSPICtrl(const CSPICtrl &) = delete;
  CSPICtrl &operator=(const CSPICtrl &) = delete;

  // Identity and attach.
  int Attach(const char *fileName);
  int SetApplication(const char *name);
  int LoadInstallationKey();
  // The current application's restriction mode, or kModeUnreadable.
  uint32_t ReadFunctionMode();
  // Makes the UserInfo key of the current application and gives it a null
  // DACL; false when the store could do neither.
  bool CreateUserInfoKey();

  // The KoBioSPI_ operations; each returns 0 or an internal code.
  uint32_t DeleteParameter(const char *applicationName);
  uint32_t DigitalSignBIR(const BioAPI_BIR *inputBir, BioAPI_BIR *outputBir);
  uint32_t IdentifyChallenge(const char *challenge, IdentifyChallengeRecord *record);
  uint32_t InitCerfificate(const char *applicationName, const IssuerSerial *issuerSerial, const char *adminPassword);
  uint32_t InitIdentifyParameter(const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                                 int32_t lockMinutes, bool policyFlag, ResponseMethodRecord responseMethod,
                                 const char *adminPassword);
  uint32_t InitSecretKey(const char *applicationName, uint32_t algorithm, const char *secretKey,
                         const char *adminPassword);
  uint32_t InitVerifyParameter(const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                               int32_t lockMinutes, bool policyFlag, ResponseMethodRecord responseMethod,
                               const char *adminPassword);
  uint32_t RestrictBSPFunction(const char *applicationName, uint32_t mode, uint32_t customMask,
                               const char *adminPassword);
  uint32_t SetEndUserParameter(const char *applicationName, const IssuerSerial *issuerSerial);
  uint32_t VerifyBSP(const BioAPI_UUID *bspUuid, const char *expectedDigest);
  uint32_t VerifyChallenge(const char *challenge, VerifyChallengeRecord *record);
  uint32_t VerifyReferenceBIR(const BioAPI_BIR *bir);

  HMODULE hModule;
  // Owns the current application's AppKey and the key material (wiped when
  // replaced and when the object goes); the three fields below read them.
  SettingStore store;
  const char *const &appKey;
  const uint8_t *const &keyMaterial;
  const uint32_t &keyMaterialLength;
  // Held by the export frame for the whole of each call.
  std::mutex callMutex;

 private:
  // The first checks of an administration call that names an application and
  // gives the administrator password, in their order: null name, null
  // password, texts empty or over 255 characters, the application, the
  // password. AMBER_OK, or the first failing check's code.
  uint32_t AdmitAdministration(const char *applicationName, const char *adminPassword);
  // The verify and identify policy administration share one sequence.
  uint32_t InitPolicy(const PolicyFamily &family, const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                      int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                      const char *adminPassword);
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_SPI_CTRL_H_
