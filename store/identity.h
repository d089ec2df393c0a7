// identity.h: who the settings belong to and what they are keyed with: an
// application name's AppKey text, and the installation key material built
// from the installation number (created under a machine-wide lock when it is
// absent). Both come back in wiped buffers.
#ifndef AMBERCRYPT_STORE_IDENTITY_H_
#define AMBERCRYPT_STORE_IDENTITY_H_

#include <cstdint>

#include "crypto/secure_buffer.h"
#include "platform/win32_api.h"

namespace ambercrypt {

// The AppKey text of name: Base64 of its SHA-1 (28 characters), a line feed
// and a NUL, in *appKey. False, with *appKey untouched, when the name cannot
// be hashed (null or empty).
bool DeriveAppKey(const char *name, CSecureBuffer *appKey);

// The installation key material for an installation number: MixKeyMaterial
// over its decimal text followed by KeyBaseConstant (64 to 67 bytes).
CSecureBuffer BuildKeyMaterial(int32_t installationNumber);

// Reads the installation number (creating it when absent) and builds its key
// material into *keyMaterial. False, with *keyMaterial untouched, when there
// is none to be had.
bool LoadInstallationKey(CSecureBuffer *keyMaterial);

// The named mutex under which a missing installation number is created, so
// that processes attaching together all build from the one number stored. It
// lives in the Global namespace so that services and desktop applications,
// which run in different sessions, share it.
inline constexpr char kInstallationMutexName[] = "Global\\AmbercryptInstallationNumber";

// How long an attach waits for another process that holds the installation
// lock. A holder that never lets go (hung, or stopped in a debugger) must not
// stall every load of the library: after this wait the attach goes on without
// key material, as for an unreadable installation number. Each of the two
// contexts (FPI and SPI) may wait once per load.
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

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_IDENTITY_H_
