#include "store/reg_ctrl.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "store/constants.h"

namespace ambercrypt {
namespace {

constexpr uint32_t kMissingArgument = ERROR_INVALID_PARAMETER;
constexpr uint32_t kTextBufferSize = 255;

}  // namespace

CRegCtrl::CRegCtrl() : rootKey(HKEY_LOCAL_MACHINE), openKey(nullptr), isOpen(false) {}

CRegCtrl::~CRegCtrl() { Close(); }

void CRegCtrl::Close() {
  if (isOpen) RegCloseKey(openKey);
  openKey = nullptr;
  isOpen = false;
}

bool CRegCtrl::Open(const char *path, bool create, REGSAM access) {
  if (path == nullptr) return false;
  Close();
  HKEY key = nullptr;
  if (RegOpenKeyExA(rootKey, path, 0, access, &key) == ERROR_SUCCESS) {
    openKey = key;
    isOpen = true;
  }
  if (isOpen || !create) return isOpen;
  DWORD disposition = 0;
  if (RegCreateKeyExA(rootKey, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                      &disposition) == ERROR_SUCCESS) {
    openKey = key;
    isOpen = true;
  }
  return isOpen;
}

uint32_t CRegCtrl::DeleteKey(const char *subKey) {
  if (subKey == nullptr) return kMissingArgument;
  return static_cast<uint32_t>(RegDeleteKeyA(rootKey, subKey));
}

uint32_t CRegCtrl::QueryDword(const char *name, DWORD *value) {
  if (name == nullptr || value == nullptr) return kMissingArgument;
  DWORD type = 0;
  DWORD read = 0;
  DWORD size = sizeof read;
  LSTATUS status = RegQueryValueExA(openKey, name, nullptr, &type, reinterpret_cast<BYTE *>(&read), &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  *value = read;
  return ERROR_SUCCESS;
}

uint32_t CRegCtrl::SetDword(const char *name, DWORD value) {
  if (name == nullptr) return kMissingArgument;
  return static_cast<uint32_t>(
      RegSetValueExA(openKey, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value));
}

uint32_t CRegCtrl::QueryBinary(const char *name, uint8_t *output, uint32_t *length) {
  if (name == nullptr || output == nullptr || length == nullptr) return kMissingArgument;
  // The stored size first: the wiped work buffer is as large as the value
  // (certificate issuer names run past any fixed size), and a value longer
  // than asked is refused before anything is allocated.
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExA(openKey, name, nullptr, &type, nullptr, &size);
  if (status == ERROR_SUCCESS && size > *length) status = ERROR_MORE_DATA;
  if (status != ERROR_SUCCESS) {
    *length = size;
    return static_cast<uint32_t>(status);
  }
  // One byte at least, so that an empty value is read, not merely sized.
  CSecureBuffer work(size != 0 ? size : 1);
  status = RegQueryValueExA(openKey, name, nullptr, &type, work.data(), &size);
  *length = size;
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  memcpy(output, work.data(), size);
  return ERROR_SUCCESS;
}

uint32_t CRegCtrl::SetBinary(const char *name, const uint8_t *data, uint32_t length) {
  if (name == nullptr || data == nullptr || length == 0) return kMissingArgument;
  return static_cast<uint32_t>(RegSetValueExA(openKey, name, 0, REG_BINARY, data, length));
}

uint32_t CRegCtrl::QueryString(const char *name, char *output) {
  if (name == nullptr || output == nullptr) return kMissingArgument;
  char work[kTextBufferSize];
  memset(work, 0, sizeof work);
  DWORD type = 0;
  DWORD size = sizeof work;
  LSTATUS status = RegQueryValueExA(openKey, name, nullptr, &type, reinterpret_cast<BYTE *>(work), &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  // A value stored without its terminator still comes back terminated.
  if (size == sizeof work && work[size - 1] != '\0') return ERROR_MORE_DATA;
  memcpy(output, work, size);
  if (size == 0 || output[size - 1] != '\0') output[size] = '\0';
  return ERROR_SUCCESS;
}

uint32_t CRegCtrl::SetEncryptedText(const char *name, const char *text, const uint8_t *material,
                                    uint32_t materialLength) {
  uint8_t work[kTextBufferSize];
  memset(work, 0, sizeof work);
  uint32_t length = static_cast<uint32_t>(strlen(text));
  memcpy(work, text, length);
  CCrypt crypt;
  uint32_t result = crypt.Encrypt(work, &length, kTextBufferSize, material, materialLength, CipherIv(), kCipherIvLength);
  if (result == ERROR_SUCCESS) {
    result = static_cast<uint32_t>(RegSetValueExA(openKey, name, 0, REG_BINARY, work, length));
  }
  WipeMemory(work, sizeof work);
  return result;
}

uint32_t CRegCtrl::SetEncryptedNumber(const char *name, int64_t value, const uint8_t *material,
                                      uint32_t materialLength) {
  if (name == nullptr || material == nullptr || materialLength == 0) return kMissingArgument;
  char text[24];
  snprintf(text, sizeof text, "%" PRId64, value);
  return SetEncryptedText(name, text, material, materialLength);
}

uint32_t CRegCtrl::SetEncryptedInt(const char *name, int32_t value, const uint8_t *material,
                                   uint32_t materialLength) {
  return SetEncryptedNumber(name, value, material, materialLength);
}

uint32_t CRegCtrl::SetEncryptedInt64(const char *name, int64_t value, const uint8_t *material,
                                     uint32_t materialLength) {
  return SetEncryptedNumber(name, value, material, materialLength);
}

uint32_t CRegCtrl::QueryEncryptedText(const char *name, char *text, const uint8_t *material,
                                      uint32_t materialLength) {
  uint8_t work[kTextBufferSize + 1];
  memset(work, 0, sizeof work);
  DWORD type = 0;
  DWORD size = kTextBufferSize;
  LSTATUS status = RegQueryValueExA(openKey, name, nullptr, &type, work, &size);
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  uint32_t length = size;  // an empty value fails in Decrypt, which reports why
  CCrypt crypt;
  uint32_t result = crypt.Decrypt(work, &length, material, materialLength, CipherIv(), kCipherIvLength);
  if (result == ERROR_SUCCESS) {
    work[length] = '\0';
    memcpy(text, work, length + 1);
  }
  WipeMemory(work, sizeof work);
  return result;
}

template <typename Number, typename Parse>
uint32_t CRegCtrl::QueryEncryptedNumber(const char *name, Number *value, const uint8_t *material,
                                        uint32_t materialLength, Parse parse) {
  if (name == nullptr || value == nullptr || material == nullptr || materialLength == 0) return kMissingArgument;
  char text[kTextBufferSize + 1];
  uint32_t result = QueryEncryptedText(name, text, material, materialLength);
  if (result == ERROR_SUCCESS) *value = parse(text);
  WipeMemory(text, sizeof text);
  return result;
}

uint32_t CRegCtrl::QueryEncryptedInt(const char *name, int32_t *value, const uint8_t *material,
                                     uint32_t materialLength) {
  return QueryEncryptedNumber(name, value, material, materialLength, [](const char *t) { return atoi(t); });
}

uint32_t CRegCtrl::QueryEncryptedInt64(const char *name, int64_t *value, const uint8_t *material,
                                       uint32_t materialLength) {
  return QueryEncryptedNumber(name, value, material, materialLength, [](const char *t) { return _atoi64(t); });
}

uint32_t CRegCtrl::SetEncryptedBinary(const char *name, const uint8_t *data, uint32_t length,
                                      const uint8_t *material, uint32_t materialLength) {
  if (name == nullptr || data == nullptr || length == 0 || material == nullptr || materialLength == 0) {
    return kMissingArgument;
  }
  CCrypt crypt;
  uint32_t cipherSize = length;
  uint32_t result = crypt.Encrypt(nullptr, &cipherSize, 0, material, materialLength, CipherIv(), kCipherIvLength);
  if (result != ERROR_SUCCESS) return result;
  CSecureBuffer work(cipherSize);
  memcpy(work.data(), data, length);
  uint32_t dataLength = length;
  result = crypt.Encrypt(work.data(), &dataLength, work.size(), material, materialLength, CipherIv(), kCipherIvLength);
  if (result != ERROR_SUCCESS) return result;
  return static_cast<uint32_t>(RegSetValueExA(openKey, name, 0, REG_BINARY, work.data(), dataLength));
}

uint32_t CRegCtrl::QueryEncryptedBinary(const char *name, uint8_t *output, uint32_t *length,
                                        const uint8_t *material, uint32_t materialLength) {
  if (name == nullptr || output == nullptr || length == nullptr || *length == 0 || material == nullptr ||
      materialLength == 0) {
    return kMissingArgument;
  }
  if (*length > UINT32_MAX / 2) return kMissingArgument;
  uint32_t capacity = *length;
  CSecureBuffer work(2 * capacity);
  DWORD type = 0;
  DWORD size = work.size();
  *length = work.size();
  LSTATUS status = RegQueryValueExA(openKey, name, nullptr, &type, work.data(), &size);
  if (status != ERROR_SUCCESS) {
    *length = size;
    return static_cast<uint32_t>(status);
  }
  uint32_t plainLength = size;  // an empty value fails in Decrypt, which reports why
  CCrypt crypt;
  uint32_t result = crypt.Decrypt(work.data(), &plainLength, material, materialLength, CipherIv(), kCipherIvLength);
  if (result != ERROR_SUCCESS) return result;
  // Never copy past the caller's buffer, whatever the stored value holds.
  if (plainLength > capacity) return ERROR_MORE_DATA;
  memcpy(output, work.data(), plainLength);
  *length = plainLength;
  return ERROR_SUCCESS;
}

bool HashNameToBase64(const char *name, char *output) {
  if (name == nullptr || output == nullptr) return false;
  uint8_t digest[20];
  uint32_t digestLength = sizeof digest;
  CCrypt crypt;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(name), static_cast<uint32_t>(strlen(name)), digest,
                 &digestLength) != ERROR_SUCCESS) {
    return false;
  }
  char text[40];
  memset(text, 0, sizeof text);
  uint64_t textLength = 0;
  Base64Encode(digest, digestLength, text, &textLength);
  memcpy(output, text, textLength + 1);
  WipeMemory(digest, sizeof digest);
  WipeMemory(text, sizeof text);
  return true;
}

}  // namespace ambercrypt
