#include "core/admin_password.h"

#include <cstring>

#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
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

bool CheckPasswordRules(const char *text) {
  if (text == nullptr) return false;
  if (BoundedLength(text, kMinimumLength) < kMinimumLength) return false;
  bool upper = false, lower = false, digit = false;
  for (const char *p = text; *p != '\0'; ++p) {
    // Each byte is taken as a signed character value, as the runtime sees it.
    int c = *p;
    if (_ismbblead(static_cast<unsigned int>(c))) break;
    if (!upper) upper = _ismbcupper(static_cast<unsigned int>(c)) != 0;
    if (!lower) lower = _ismbclower(static_cast<unsigned int>(c)) != 0;
    if (!digit) digit = _ismbcdigit(static_cast<unsigned int>(c)) != 0;
    if (upper && lower && digit) return true;
  }
  return upper && lower && digit;
}

bool VerifyAdminPassword(const char *password) {
  if (password == nullptr) return false;
  CRegCtrl reg;
  if (!reg.Open(kBaseKeyPath, true, KEY_ALL_ACCESS)) return false;
  uint8_t stored[kDigestSize];
  memset(stored, 0, sizeof stored);
  uint32_t storedLength = sizeof stored;
  if (reg.QueryBinary(settings::kAdminPasswordDigest.name, stored, &storedLength) != ERROR_SUCCESS) return false;
  uint8_t digest[kDigestSize];
  uint32_t digestLength = sizeof digest;
  CCrypt crypt;
  bool result = false;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(password), static_cast<uint32_t>(strlen(password)), digest,
                 &digestLength) == ERROR_SUCCESS) {
    result =
        storedLength == kDigestSize && digestLength == kDigestSize && ConstantTimeEqual(stored, digest, kDigestSize);
  }
  WipeMemory(digest, sizeof digest);
  WipeMemory(stored, sizeof stored);
  return result;
}

}  // namespace ambercrypt
