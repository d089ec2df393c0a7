#include "core/admission.h"

#include "ambercrypt/ambercrypt.h"
#include "core/admin_password.h"
#include "store/settings.h"

namespace ambercrypt {

uint32_t Admission::Admit(SpiContext &spi) const {
  struct Text {
    bool taken;
    const char *text;
    uint32_t refusal;
  };
  const Text texts[] = {{true, applicationName_, AMBER_E_BAD_APPLICATION_NAME},
                        {takesSecretKey_, secretKey_, AMBER_E_BAD_SECRET_KEY},
                        {true, adminPassword_, AMBER_E_BAD_ADMIN_PASSWORD}};
  for (const Text &t : texts) {
    if (t.taken && t.text == nullptr) return t.refusal;
  }
  for (const Text &t : texts) {
    if (t.taken && IsEmptyOrTooLong(t.text)) return t.refusal;
  }
  if (takesCertificate_ && certificate_ == nullptr) return AMBER_E_CERTIFICATE;
  if (!spi.SetApplication(applicationName_)) return AMBER_E_SETTING_UNAVAILABLE;
  if (!VerifyAdminPassword(adminPassword_)) return AMBER_E_BAD_ADMIN_PASSWORD;
  if (administrableMode_ && spi.ReadFunctionMode() != kAdministrableMode) return AMBER_E_NOT_PERMITTED;
  return AMBER_OK;
}

}  // namespace ambercrypt
