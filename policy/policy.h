// policy.h: the policy feature: an application's verify and identify policies
// (the administrator sets them), the security status checks and updates the
// framework makes around each verification and identification, and the
// lockout they keep. Each operation is one KoBioFPI_/KoBioSPI_ call's work on
// its family's context and returns AMBER_OK or the library's code; frame/
// (the service objects) is its only caller. LockoutTrackingOf is also read by
// tests. The FPI operations may run on any number of threads at once: an
// application's lockout record changes under a cross-process lock.
#ifndef AMBERCRYPT_POLICY_POLICY_H_
#define AMBERCRYPT_POLICY_POLICY_H_

#include <cstdint>

#include "ambercrypt/ambercrypt.h"
#include "core/context.h"
#include "policy/family.h"

namespace ambercrypt {

// verify_status.cc
uint32_t VerifySecurityStatas(const FpiContext &fpi, const BioAPI_BIR *bir, int32_t requestedFmr, int32_t *allowedFmr,
                              uint8_t *policyFlagOut);
uint32_t UpdateVerifyStatus(FpiContext &fpi, bool result, const BioAPI_BIR *bir, int32_t achievedFmr, uint8_t level);
// identify_status.cc
uint32_t IdentifySecurityStatas(const FpiContext &fpi, const void *reserved, int32_t requestedFmr, int32_t *allowedFmr,
                                uint8_t *policyFlagOut);
uint32_t UpdateIdentifyStatus(const FpiContext &fpi, uint32_t *numberOfResults, BioAPI_CANDIDATE **candidates,
                              uint8_t level);
// policy_parameters.cc
uint32_t InitVerifyParameter(SpiContext &spi, const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                             int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                             const char *adminPassword);
uint32_t InitIdentifyParameter(SpiContext &spi, const char *applicationName, int32_t maxFmr, int32_t maxFailures,
                               int32_t lockMinutes, bool policyFlag, ResponseMethodRecord &responseMethod,
                               const char *adminPassword);

// Does the host application track lockout for a family (its maxFailures is
// non-zero)? kOff also when it has no policy (no key, no value, a value that
// does not decrypt); kUnknown when the store failed to answer, which says
// nothing about the policy: the checks and updates then fail closed.
enum class LockoutTracking { kOff, kOn, kUnknown };
LockoutTracking LockoutTrackingOf(const FpiContext &fpi, const PolicyFamily &family);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_POLICY_POLICY_H_
