// end_user.cc: the end-user certificate and the deletion of an application's
// settings. Not yet built: both answer that the setting is unavailable.
#include "frame/spi_ctrl.h"

namespace ambercrypt {

uint32_t CSPICtrl::SetEndUserParameter(const char *, const IssuerSerial *) { return AMBER_E_SETTING_UNAVAILABLE; }

uint32_t CSPICtrl::DeleteParameter(const char *) { return AMBER_E_SETTING_UNAVAILABLE; }

}  // namespace ambercrypt
