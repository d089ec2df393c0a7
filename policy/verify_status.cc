// verify_status.cc: the verify security status check and update. Not yet
// built: both answer that the setting is unavailable.
#include "frame/fpi_ctrl.h"

namespace ambercrypt {

uint32_t CFPICtrl::VerifySecurityStatas(const BioAPI_BIR *, int32_t, int32_t *, uint8_t *) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

uint32_t CFPICtrl::UpdateVerifyStatus(bool, const BioAPI_BIR *, int32_t, uint8_t) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

}  // namespace ambercrypt
