// identify_status.cc: the identify security status check and update. Not yet
// built: both answer that the setting is unavailable.
#include "frame/fpi_ctrl.h"

namespace ambercrypt {

uint32_t CFPICtrl::IdentifySecurityStatas(const void *, int32_t, int32_t *, uint8_t *) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

uint32_t CFPICtrl::UpdateIdentifyStatus(uint32_t *, BioAPI_CANDIDATE **, uint8_t) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

}  // namespace ambercrypt
