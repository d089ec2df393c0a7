// fpi_ctrl.h: CFPICtrl, the service object behind the KoBioFPI_ exports. Its
// application is the host executable's, fixed at attach; its embedded CCrypt
// does the BIR cipher work with the application's algorithm. One instance per
// process. Its methods may run on any number of threads at once: its AppKey
// and key material change only at attach, the caches guard themselves, and
// the embedded CCrypt (which keeps the derived key of the last BIR) is used
// under cryptMutex_, so BIR ciphers of one process run one at a time.
//
// Where each method lives:
//   frame/fpi_ctrl.cc          Attach, QueryVerifySetting, QueryIdentifySetting
//   admin/restriction.cc       CheckMode
//   bir/bir_cipher.cc          EncryptBIR, DecryptBIR
//   policy/lockout.cc          the check both families share
//   policy/verify_status.cc    VerifySecurityStatas, UpdateVerifyStatus
//   policy/identify_status.cc  IdentifySecurityStatas, UpdateIdentifyStatus
#ifndef AMBERCRYPT_FRAME_FPI_CTRL_H_
#define AMBERCRYPT_FRAME_FPI_CTRL_H_

#include <cstdint>
#include <mutex>

#include "ambercrypt/ambercrypt.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "platform/win32_api.h"
#include "store/named_mutex.h"
#include "store/setting_store.h"

namespace ambercrypt {

struct PolicyFamily;

class CFPICtrl {
 public:
  explicit CFPICtrl(HMODULE module);
  CFPICtrl(const CFPICtrl &) = delete;
  CFPICtrl &operator=(const CFPICtrl &) = delete;

  // Derives the AppKey, builds the key material and loads the host's settings.
  int Attach(const char *fileName);
  // 1 when the application's maxFailures (identify / verify) is non-zero.
  // With unanswered, also whether the store failed to answer (then 0 says
  // nothing about the policy, and the status operations fail closed).
  int QueryIdentifySetting(bool *unanswered = nullptr);
  int QueryVerifySetting(bool *unanswered = nullptr);

  // The KoBioFPI_ operations; each returns 0 or an internal code.
  uint32_t CheckMode(uint32_t functionMask);
  uint32_t DecryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output);
  uint32_t EncryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output);
  uint32_t IdentifySecurityStatas(const void *reserved, int32_t requestedFmr, int32_t *allowedFmr,
                                  uint8_t *policyFlagOut);
  uint32_t UpdateIdentifyStatus(uint32_t *numberOfResults, BioAPI_CANDIDATE **candidates, uint8_t level);
  uint32_t UpdateVerifyStatus(bool result, const BioAPI_BIR *bir, int32_t achievedFmr, uint8_t level);
  uint32_t VerifySecurityStatas(const BioAPI_BIR *bir, int32_t requestedFmr, int32_t *allowedFmr,
                                uint8_t *policyFlagOut);

  HMODULE hModule;
  // Owns the host application's AppKey and the key material (wiped when the
  // object goes); the three fields below read them.
  SettingStore store;
  const char *const &appKey;
  const uint8_t *const &keyMaterial;
  const uint32_t &keyMaterialLength;
  CCrypt crypt;

 private:
  // Checks, cipher and secret key shared by EncryptBIR and DecryptBIR.
  uint32_t PrepareBirCipher(const BioAPI_BIR *input, BioAPI_BIR *output, CSecureBuffer &secretKey);
  int QueryMaxFailures(SettingCache<int32_t> &cache, const Setting &setting, bool *unanswered);
  // The security status check of either family, and its lockout steps, under
  // the family's cross-process lock of this application.
  uint32_t CheckSecurityStatus(const PolicyFamily &family, const BioAPI_BIR *bir, int32_t requestedFmr,
                               int32_t *allowedFmr, uint8_t *policyFlagOut);
  uint32_t CheckLockout(const PolicyFamily &family, SettingStore::Key &app, const BioAPI_BIR *bir);
  ScopedNamedMutex LockLockout(const PolicyFamily &family) const;

  // Held while crypt is used (BIR ciphers, the update's digest).
  std::mutex cryptMutex_;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_FPI_CTRL_H_
