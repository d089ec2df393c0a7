// bir_signature.cc: the BIR-signing certificate, BIR signatures and their
// verification. Not yet built beyond the null-output answer of signing.
#include "frame/spi_ctrl.h"

namespace ambercrypt {

uint32_t CSPICtrl::InitCerfificate(const char *, const IssuerSerial *, const char *) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

uint32_t CSPICtrl::DigitalSignBIR(const BioAPI_BIR *, BioAPI_BIR *outputBir) {
  if (outputBir == nullptr) return AMBER_SIGN_NULL_OUTPUT;
  return AMBER_E_SETTING_UNAVAILABLE;
}

uint32_t CSPICtrl::VerifyReferenceBIR(const BioAPI_BIR *) { return AMBER_E_SETTING_UNAVAILABLE; }

}  // namespace ambercrypt
