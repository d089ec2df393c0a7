// constants.h: the three constants every stored value depends on.
//
// These are fixed for the life of the product and must never change: every
// encrypted registry value is keyed with material built from KeyBaseConstant,
// encrypted with CipherIvConstant as IV material, and every secret-key block
// ends with SecretKeySuffix. Changing any of them makes all existing settings
// and encrypted BIRs unreadable. Each is stored with its terminating NUL.
#ifndef AMBERCRYPT_STORE_CONSTANTS_H_
#define AMBERCRYPT_STORE_CONSTANTS_H_

#include <cstdint>

namespace ambercrypt {

// 63 printable characters: appended to the installation number to build the
// installation key material.
inline constexpr char KeyBaseConstant[] = "AmbercryptInstallKeyBase:v1:7Qe2/Lz9+Wm4Rt8Xc1Vb6Np3Hs5Jd0Gk2Fy";
// 63 printable characters: IV material of every encrypted registry value and BIR.
inline constexpr char CipherIvConstant[] = "AmbercryptCipherIv:v1:Zq8Tn3Wc6Ym1Pb9Rx4Ls7Kd2Hf5Gv0Jc3Nw8Mq1Bt";
// 32 printable characters: the tail of every 64-byte secret-key block.
inline constexpr char SecretKeySuffix[] = "AmbercryptSecretSuffix:v1:Ke7Rw4";

// CipherIvConstant as every cipher call takes it: all 64 bytes, NUL included.
inline const uint8_t *CipherIv() { return reinterpret_cast<const uint8_t *>(CipherIvConstant); }
inline constexpr uint32_t kCipherIvLength = sizeof(CipherIvConstant);

static_assert(sizeof(KeyBaseConstant) == 64, "KeyBaseConstant is 63 characters and a NUL");
static_assert(sizeof(CipherIvConstant) == 64, "CipherIvConstant is 63 characters and a NUL");
static_assert(sizeof(SecretKeySuffix) == 33, "SecretKeySuffix is 32 characters and a NUL");

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_CONSTANTS_H_
