// trust.h: the trust feature: an application's BIR-signing certificate and
// the signatures over BIRs, the authenticated answers to verify and identify
// challenges (the pending outcome the policy's updates left), and the digest
// check of BSP module files. Each operation is one KoBioSPI_ call's work and
// returns AMBER_OK or the library's code; frame/ (CSPICtrl) is its only
// caller, one call at a time.
#ifndef AMBERCRYPT_TRUST_TRUST_H_
#define AMBERCRYPT_TRUST_TRUST_H_

#include <cstdint>

#include "ambercrypt/ambercrypt.h"
#include "core/context.h"

namespace ambercrypt {

// bir_signature.cc
uint32_t InitCerfificate(SpiContext &spi, const char *applicationName, const IssuerSerial *issuerSerial,
                         const char *adminPassword);
uint32_t DigitalSignBIR(const SpiContext &spi, const BioAPI_BIR *inputBir, BioAPI_BIR *outputBir);
uint32_t VerifyReferenceBIR(const SpiContext &spi, const BioAPI_BIR *bir);
// challenge.cc
uint32_t VerifyChallenge(const SpiContext &spi, const char *challenge, VerifyChallengeRecord *record);
uint32_t IdentifyChallenge(const SpiContext &spi, const char *challenge, IdentifyChallengeRecord *record);
// bsp_verify.cc: works on no application.
uint32_t VerifyBSP(const BioAPI_UUID *bspUuid, const char *expectedDigest);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_TRUST_TRUST_H_
