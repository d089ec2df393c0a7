// secret_key.cc: KoBioSPI_InitSecretKey, which stores an application's 64-byte
// secret-key block and BIR cipher. Every check runs before anything is written.
#include <cstring>
#include <mutex>

#include "admin/admin.h"
#include "core/admin_password.h"
#include "core/admission.h"
#include "crypto/secure_buffer.h"
#include "store/caches.h"
#include "store/constants.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

constexpr size_t kMaxSecretKey = 32;
constexpr size_t kPaddedKeyLength = 31;

}  // namespace

uint32_t InitSecretKey(SpiContext &spi, const char *applicationName, uint32_t algorithm, const char *secretKey,
                       const char *adminPassword) {
  uint32_t admitted =
      Admission(applicationName, adminPassword).WithSecretKey(secretKey).InAdministrableMode().Admit(spi);
  if (admitted != AMBER_OK) return admitted;
  if (algorithm != AMBER_CALG_3DES && algorithm != AMBER_CALG_AES_256) return AMBER_E_BAD_ALGORITHM;
  if (!CheckPasswordRules(secretKey)) return AMBER_E_BAD_SECRET_KEY;
  size_t keyLength = strlen(secretKey);
  if (keyLength > kMaxSecretKey) return AMBER_E_BAD_SECRET_KEY;

  // The key, '0' up to 31 characters, the suffix, and a NUL when it fits.
  CSecureBuffer block(2 * kSecretKeyBlockSize);
  memcpy(block.data(), secretKey, keyLength);
  size_t position = keyLength;
  while (position < kPaddedKeyLength) block.data()[position++] = '0';
  memcpy(block.data() + position, SecretKeySuffix, sizeof(SecretKeySuffix) - 1);

  const char *appKey = spi.appKey();
  SettingStore::Key app = spi.store().Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
  if (!app.ok()) return AMBER_E_SETTING_UNAVAILABLE;
  SettingCaches &caches = Caches();
  std::lock_guard<std::mutex> keyLock(caches.SecretKeyMutex);
  if (app.WriteBytes(settings::kSecretKeyBlock, block.data(), kSecretKeyBlockSize) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  caches.SecretKeyCache.Erase(appKey);
  if (app.WriteInt(settings::kCipherAlgorithm, static_cast<int32_t>(algorithm)) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  caches.CipherAlgorithmCache.Erase(appKey);
  if (app.WriteInt(settings::kSecretKeyState, 1) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  caches.SecretKeyStateCache.Replace(appKey, 1);
  return AMBER_OK;
}

}  // namespace ambercrypt
