// identity.h: what both service objects share without a common base: turning
// an application name into its AppKey text, building the installation key
// material, and replacing either field with the old value wiped first.
#ifndef AMBERCRYPT_FRAME_IDENTITY_H_
#define AMBERCRYPT_FRAME_IDENTITY_H_

#include <cstdint>

#include "platform/win32_api.h"

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
// that processes attaching together all build from the one number stored. It
// lives in the Global namespace so that services and desktop applications,
// which run in different sessions, share it.
inline constexpr char kInstallationMutexName[] = "Global\\AmbercryptInstallationNumber";

// How long an attach waits for another process that holds the installation
// lock. A holder that never lets go (hung, or stopped in a debugger) must not
// stall every load of the library: after this wait the attach goes on without
// key material, as for an unreadable installation number. Each of the two
// service objects may wait once per load.
inline constexpr DWORD kInstallationLockWaitMs = 3000;

// Test seams of the installation lock: the wait actually used, and a hook run
// with its context when the number was found absent, right before waiting for
// the lock. Set them before attaching; nothing guards them. Plain data, so it
// is initialised before any library entry can run.
struct InstallationLockSeams {
  DWORD waitMilliseconds = kInstallationLockWaitMs;
  void (*beforeWait)(void *context) = nullptr;
  void *context = nullptr;
};
extern InstallationLockSeams g_installationLockSeams;

// Wipes and frees an owned text or buffer and nulls the pointer.
void WipeAndFree(char **text);
void WipeAndFree(uint8_t **buffer, uint32_t *length);

// Key material for an installation number: MixKeyMaterial over the decimal
// text followed by KeyBaseConstant. Exposed for tests and tools.
int BuildKeyMaterial(int32_t installationNumber, uint8_t **keyMaterial, uint32_t *keyMaterialLength);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_FRAME_IDENTITY_H_
