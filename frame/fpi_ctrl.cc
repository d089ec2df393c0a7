#include "frame/fpi_ctrl.h"

#include "admin/admin.h"
#include "bir/bir.h"
#include "policy/policy.h"

namespace ambercrypt {

uint32_t CFPICtrl::CheckMode(uint32_t functionMask) { return ambercrypt::CheckMode(context_, functionMask); }

uint32_t CFPICtrl::DecryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output) {
  return ambercrypt::DecryptBIR(context_, input, output);
}

uint32_t CFPICtrl::EncryptBIR(const BioAPI_BIR *input, BioAPI_BIR *output) {
  return ambercrypt::EncryptBIR(context_, input, output);
}

uint32_t CFPICtrl::IdentifySecurityStatas(const void *reserved, int32_t requestedFmr, int32_t *allowedFmr,
                                          uint8_t *policyFlagOut) {
  return ambercrypt::IdentifySecurityStatas(context_, reserved, requestedFmr, allowedFmr, policyFlagOut);
}

uint32_t CFPICtrl::UpdateIdentifyStatus(uint32_t *numberOfResults, BioAPI_CANDIDATE **candidates, uint8_t level) {
  return ambercrypt::UpdateIdentifyStatus(context_, numberOfResults, candidates, level);
}

uint32_t CFPICtrl::UpdateVerifyStatus(bool result, const BioAPI_BIR *bir, int32_t achievedFmr, uint8_t level) {
  return ambercrypt::UpdateVerifyStatus(context_, result, bir, achievedFmr, level);
}

uint32_t CFPICtrl::VerifySecurityStatas(const BioAPI_BIR *bir, int32_t requestedFmr, int32_t *allowedFmr,
                                        uint8_t *policyFlagOut) {
  return ambercrypt::VerifySecurityStatas(context_, bir, requestedFmr, allowedFmr, policyFlagOut);
}

}  // namespace ambercrypt
