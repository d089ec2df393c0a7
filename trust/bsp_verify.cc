// bsp_verify.cc: the digest check of BSP module files. Not yet built.
#include "frame/spi_ctrl.h"

namespace ambercrypt {

uint32_t CSPICtrl::VerifyBSP(const BioAPI_UUID *, const char *) { return AMBER_E_SETTING_UNAVAILABLE; }

}  // namespace ambercrypt
