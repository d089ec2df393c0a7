// challenge.cc: challenge and response over the last recorded outcome. Not yet
// built: both answer that the setting is unavailable.
#include "frame/spi_ctrl.h"

namespace ambercrypt {

uint32_t CSPICtrl::VerifyChallenge(const char *, VerifyChallengeRecord *) { return AMBER_E_SETTING_UNAVAILABLE; }

uint32_t CSPICtrl::IdentifyChallenge(const char *, IdentifyChallengeRecord *) {
  return AMBER_E_SETTING_UNAVAILABLE;
}

}  // namespace ambercrypt
