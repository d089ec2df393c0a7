// secret_key.cc: KoBioSPI_InitSecretKey, which stores an application's 64-byte
// secret-key block and BIR cipher. Every check runs before anything is written.
#include <cstring>
#include <mutex>

#include "admin/admin_password.h"
#include "crypto/secure_buffer.h"
#include "store/caches.h"
#include "frame/spi_ctrl.h"
#include "store/constants.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

constexpr size_t kMaxSecretKey = 32;
constexpr size_t kPaddedKeyLength = 31;

}  // namespace

uint32_t CSPICtrl::InitSecretKey(const char *applicationName, uint32_t algorithm, const char *secretKey,
                                 const char *adminPassword) {
  if (applicationName == nullptr) return AMBER_E_BAD_APPLICATION_NAME;
  if (secretKey == nullptr) return AMBER_E_BAD_SECRET_KEY;
  if (adminPassword == nullptr) return AMBER_E_BAD_ADMIN_PASSWORD;
  if (IsEmptyOrTooLong(applicationName)) return AMBER_E_BAD_APPLICATION_NAME;
  if (IsEmptyOrTooLong(secretKey)) return AMBER_E_BAD_SECRET_KEY;
  if (IsEmptyOrTooLong(adminPassword)) return AMBER_E_BAD_ADMIN_PASSWORD;
  if (!SetApplication(applicationName)) return AMBER_E_SETTING_UNAVAILABLE;
  if (!VerifyAdminPassword(adminPassword)) return AMBER_E_BAD_ADMIN_PASSWORD;
  if (ReadFunctionMode() != kAdministrableMode) return AMBER_E_NOT_PERMITTED;
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

  SettingStore::Key app = store.Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
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
