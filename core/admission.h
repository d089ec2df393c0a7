// admission.h: the first checks of every administration call that gives the
// administrator password, written once. Their order is part of each call's
// answer (the first failing check's code is the result):
//   1. each text present: the application name, a secret key when the call
//      takes one, the password;
//   2. each text neither empty nor over 255 characters, in the same order;
//   3. a certificate argument present, when the call takes one;
//   4. the application made the context's current one;
//   5. the administrator password checked;
//   6. for a call that sets what only mode 4 lets be set, the mode.
// Used by the features that administer (admin/, policy/, trust/) on the SPI
// context the export frame serialises.
#ifndef AMBERCRYPT_CORE_ADMISSION_H_
#define AMBERCRYPT_CORE_ADMISSION_H_

#include <cstdint>

#include "core/context.h"

namespace ambercrypt {

class Admission {
 public:
  Admission(const char *applicationName, const char *adminPassword)
      : applicationName_(applicationName), adminPassword_(adminPassword) {}
  // The call also takes a secret key text (AMBER_E_BAD_SECRET_KEY).
  Admission &WithSecretKey(const char *secretKey) {
    takesSecretKey_ = true;
    secretKey_ = secretKey;
    return *this;
  }
  // The call also takes a certificate, which must be given (AMBER_E_CERTIFICATE).
  Admission &WithCertificate(const void *certificate) {
    takesCertificate_ = true;
    certificate_ = certificate;
    return *this;
  }
  // The call sets an application's secret key, policy or certificate.
  Admission &InAdministrableMode() {
    administrableMode_ = true;
    return *this;
  }

  // Admit runs the checks on spi, whose current application becomes the
  // named one at step 4. AMBER_OK, or the first failing check's code.
  uint32_t Admit(SpiContext &spi) const;

 private:
  const char *applicationName_;
  const char *adminPassword_;
  bool takesSecretKey_ = false;
  const char *secretKey_ = nullptr;
  bool takesCertificate_ = false;
  const void *certificate_ = nullptr;
  bool administrableMode_ = false;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CORE_ADMISSION_H_
