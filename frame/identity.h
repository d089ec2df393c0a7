// identity.h: what both service objects share without a common base: turning
// an application name into its AppKey text, building the installation key
// material, and replacing either field with the old value wiped first.
#ifndef AMBERCRYPT_FRAME_IDENTITY_H_
#define AMBERCRYPT_FRAME_IDENTITY_H_

#include <cstdint>

namespace ambercrypt {

// Derives the AppKey text of name (Base64 of its SHA-1, 28 characters, a line
// feed) into *appKey, wiping and freeing the previous text first. Returns 1, or
// 0 with *appKey null when the name cannot be hashed (an empty name).
int DeriveAppKey(const char *name, char **appKey);

// Builds the installation key material from KoSettingInfo2 (creating it when
// absent) into *keyMaterial/*keyMaterialLength, wiping the previous material.
// Returns 1 when set, 0 when nothing changed.
int LoadInstallationKey(uint8_t **keyMaterial, uint32_t *keyMaterialLength);

// The named mutex under which a missing installation number is created, so
// that processes attaching together all build from the one number stored.
inline constexpr char kInstallationMutexName[] = "AmbercryptInstallationNumber";

// Wipes and frees an owned text or buffer and nulls the pointer.
void WipeAndFree(char **text);
void WipeAndFree(uint8_t **buffer, uint32_t *length);

// Key material for an installation number: MixKeyMaterial over the decimal
// text followed by KeyBaseConstant. Exposed for tests and tools.
int BuildKeyMaterial(int32_t installationNumber, uint8_t **keyMaterial, uint32_t *keyMaterialLength);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_IDENTITY_H_
