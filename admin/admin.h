// admin.h: the administration feature: an application's function restriction
// (set by an administrator, asked by the framework before each BSP call), its
// secret key and BIR cipher, its end-user certificate, and the deletion of its
// settings. Each operation is one KoBioFPI_/KoBioSPI_ call's work on its
// family's context and returns AMBER_OK or the library's code; frame/ (the
// service objects) is its only caller. Any application named becomes the SPI
// context's current one, except for SetEndUserParameter.
#ifndef AMBERCRYPT_ADMIN_ADMIN_H_
#define AMBERCRYPT_ADMIN_ADMIN_H_

#include <cstdint>

#include "ambercrypt/ambercrypt.h"
#include "core/context.h"

namespace ambercrypt {

// restriction.cc
uint32_t CheckMode(const FpiContext &fpi, uint32_t functionMask);
uint32_t RestrictBSPFunction(SpiContext &spi, const char *applicationName, uint32_t mode, uint32_t customMask,
                             const char *adminPassword);
// secret_key.cc
uint32_t InitSecretKey(SpiContext &spi, const char *applicationName, uint32_t algorithm, const char *secretKey,
                       const char *adminPassword);
// end_user.cc
uint32_t SetEndUserParameter(const SpiContext &spi, const char *applicationName, const IssuerSerial *issuerSerial);
uint32_t DeleteParameter(SpiContext &spi, const char *applicationName);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_ADMIN_ADMIN_H_
