#include "admin/admin_password.h"

#include <cstring>

#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "frame/spi_ctrl.h"
#include "platform/win32_api.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

constexpr size_t kMinimumLength = 6;

// Length of text up to limit + 1, so that over-long texts are not scanned to
// their end.
size_t BoundedLength(const char *text, size_t limit) {
  size_t n = 0;
  while (n <= limit && text[n] != '\0') ++n;
  return n;
}

}  // namespace

bool IsEmptyOrTooLong(const char *text) {
  constexpr size_t kMaxText = 255;
  size_t n = BoundedLength(text, kMaxText);
  return n == 0 || n > kMaxText;
}

int CheckPasswordRules(const char *text) {
  if (text == nullptr) return 0;
  if (BoundedLength(text, kMinimumLength) < kMinimumLength) return 0;
  bool upper = false, lower = false, digit = false;
  for (const char *p = text; *p != '\0'; ++p) {
    // Each byte is taken as a signed character value, as the runtime sees it.
    int c = *p;
    if (_ismbblead(static_cast<unsigned int>(c))) break;
    if (!upper) upper = _ismbcupper(static_cast<unsigned int>(c)) != 0;
    if (!lower) lower = _ismbclower(static_cast<unsigned int>(c)) != 0;
    if (!digit) digit = _ismbcdigit(static_cast<unsigned int>(c)) != 0;
    if (upper && lower && digit) return 1;
  }
  return upper && lower && digit ? 1 : 0;
}

int VerifyAdminPassword(const char *password) {
  if (password == nullptr) return 0;
  CRegCtrl reg;
  if (!reg.Open(kBaseKeyPath, 1, KEY_ALL_ACCESS)) return 0;
  uint8_t stored[kDigestSize];
  memset(stored, 0, sizeof stored);
  uint32_t storedLength = sizeof stored;
  if (reg.QueryBinary(settings::kAdminPasswordDigest.name, stored, &storedLength) != ERROR_SUCCESS) return 0;
  uint8_t digest[kDigestSize];
  uint32_t digestLength = sizeof digest;
  CCrypt crypt;
  int result = 0;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(password), static_cast<uint32_t>(strlen(password)), digest,
                 &digestLength) == ERROR_SUCCESS) {
    result = storedLength == kDigestSize && digestLength == kDigestSize &&
                     ConstantTimeEqual(stored, digest, kDigestSize)
                 ? 1
                 : 0;
  }
  WipeMemory(digest, sizeof digest);
  WipeMemory(stored, sizeof stored);
  return result;
}

uint32_t CSPICtrl::AdmitAdministration(const char *applicationName, const char *adminPassword) {
  if (applicationName == nullptr) return AMBER_E_BAD_APPLICATION_NAME;
  if (adminPassword == nullptr) return AMBER_E_BAD_ADMIN_PASSWORD;
  if (IsEmptyOrTooLong(applicationName)) return AMBER_E_BAD_APPLICATION_NAME;
  if (IsEmptyOrTooLong(adminPassword)) return AMBER_E_BAD_ADMIN_PASSWORD;
  if (!SetApplication(applicationName)) return AMBER_E_SETTING_UNAVAILABLE;
  if (!VerifyAdminPassword(adminPassword)) return AMBER_E_BAD_ADMIN_PASSWORD;
  return AMBER_OK;
}

}  // namespace ambercrypt
