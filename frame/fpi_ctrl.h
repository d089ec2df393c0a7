// fpi_ctrl.h: CFPICtrl, the service object behind the KoBioFPI_ exports. It
// owns the process's FPI context (core/context.h: the host application, fixed
// at attach, and the BIR cipher under its lock) and hands each call to the
// feature that serves it; it holds no logic of its own. One instance per
// process; its methods may run on any number of threads at once.
//
// Which feature serves each method (fpi_ctrl.cc dispatches):
//   Attach                                        core/context.h (FpiContext::Attach)
//   CheckMode                                     admin/admin.h
//   EncryptBIR, DecryptBIR                        bir/bir.h
//   VerifySecurityStatas, UpdateVerifyStatus,
//   IdentifySecurityStatas, UpdateIdentifyStatus  policy/policy.h
#ifndef AMBERCRYPT_FRAME_FPI_CTRL_H_
#define AMBERCRYPT_FRAME_FPI_CTRL_H_

#include <cstdint>

#include "ambercrypt/ambercrypt.h"
#include "core/context.h"
#include "platform/win32_api.h"

namespace ambercrypt {

class CFPICtrl {
 public:
  explicit CFPICtrl(HMODULE module) : module_(module) {}
  CFPICtrl(const CFPICtrl &) = delete;
  CFPICtrl &operator=(const CFPICtrl &) = delete;

  // Attach: the host application, its key material and its settings (see
  // FpiContext::Attach).
  bool Attach(const char *fileName) { return context_.Attach(fileName); }

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

  HMODULE module() const { return module_; }
  FpiContext &context() { return context_; }

 private:
  const HMODULE module_;
  FpiContext context_;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_FPI_CTRL_H_
