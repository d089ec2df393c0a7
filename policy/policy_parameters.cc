// policy_parameters.cc: the verify and identify policy administration. Not yet
// built: both answer that the setting is unavailable.
#include "frame/spi_ctrl.h"

namespace ambercrypt {

uint32_t CSPICtrl::InitVerifyParameter(const char *, int32_t, int32_t, int32_t, bool, ResponseMethodRecord,
                                       const char *) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

uint32_t CSPICtrl::InitIdentifyParameter(const char *, int32_t, int32_t, int32_t, bool, ResponseMethodRecord,
                                         const char *) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

}  // namespace ambercrypt
