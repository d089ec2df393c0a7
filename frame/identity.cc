#include "frame/identity.h"

#include <cstdlib>
#include <cstring>

#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "platform/win32_api.h"
#include "store/constants.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

constexpr uint32_t kDigestSize = 20;
constexpr uint32_t kInstallationNumbers = 10000;

// Owns a named mutex for a scope, waiting for it at most a given time. When
// the mutex cannot be had at all (no handle), the caller goes on unlocked.
class ScopedNamedMutex {
 public:
  ScopedNamedMutex(const char *name, DWORD timeout) : handle_(CreateMutexA(nullptr, FALSE, name)) {
    if (handle_ != nullptr) {
      DWORD wait = WaitForSingleObject(handle_, timeout);
      owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
      timedOut_ = wait == WAIT_TIMEOUT;
    }
  }
  ~ScopedNamedMutex() {
    if (owned_) ReleaseMutex(handle_);
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  ScopedNamedMutex(const ScopedNamedMutex &) = delete;
  ScopedNamedMutex &operator=(const ScopedNamedMutex &) = delete;

  bool timed_out() const { return timedOut_; }

 private:
  HANDLE handle_;
  bool owned_ = false;
  bool timedOut_ = false;
};

}  // namespace

InstallationLockSeams g_installationLockSeams;

void WipeAndFree(char **text) {
  if (text == nullptr || *text == nullptr) return;
  WipeMemory(*text, strlen(*text));
  delete[] *text;
  *text = nullptr;
}

void WipeAndFree(uint8_t **buffer, uint32_t *length) {
  if (buffer == nullptr || *buffer == nullptr) return;
  WipeMemory(*buffer, length != nullptr ? *length : 0);
  delete[] *buffer;
  *buffer = nullptr;
  if (length != nullptr) *length = 0;
}

int DeriveAppKey(const char *name, char **appKey) {
  WipeAndFree(appKey);
  if (name == nullptr) return 0;
  uint8_t digest[kDigestSize];
  uint32_t digestLength = sizeof digest;
  CCrypt crypt;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(name), static_cast<uint32_t>(strlen(name)), digest,
                 &digestLength) != ERROR_SUCCESS) {
    return 0;
  }
  char text[40];
  memset(text, 0, sizeof text);
  uint64_t textLength = 0;
  Base64Encode(digest, digestLength, text, &textLength);
  char *key = new char[textLength + 1];
  memset(key, 0, textLength + 1);
  memcpy(key, text, textLength + 1);
  *appKey = key;
  WipeMemory(digest, sizeof digest);
  WipeMemory(text, sizeof text);
  return 1;
}

int BuildKeyMaterial(int32_t installationNumber, uint8_t **keyMaterial, uint32_t *keyMaterialLength) {
  char number[16];
  _itoa(installationNumber, number, 10);
  uint32_t textLength = static_cast<uint32_t>(strlen(number));
  CSecureBuffer text(textLength + sizeof(KeyBaseConstant));
  memcpy(text.data(), number, textLength);
  memcpy(text.data() + textLength, KeyBaseConstant, sizeof(KeyBaseConstant));
  uint32_t length = static_cast<uint32_t>(strlen(reinterpret_cast<const char *>(text.data())));
  CSecureBuffer mixed(2 * length);
  memcpy(mixed.data(), text.data(), length + 1);
  int32_t mixLength = static_cast<int32_t>(length);
  MixKeyMaterial(mixed.data(), mixed.size(), &mixLength);
  WipeAndFree(keyMaterial, keyMaterialLength);
  *keyMaterial = new uint8_t[length];
  memcpy(*keyMaterial, mixed.data(), length);
  *keyMaterialLength = length;
  return 1;
}

int LoadInstallationKey(uint8_t **keyMaterial, uint32_t *keyMaterialLength) {
  const char *name = settings::kInstallationNumber.name;
  CRegCtrl reader;
  if (!reader.Open(kBaseKeyPath, 0, KEY_READ)) return 0;
  DWORD number = 0;
  uint32_t status = reader.QueryDword(name, &number);
  if (status != ERROR_SUCCESS) {
    // Only an absent value is created; an unreadable one is never overwritten,
    // since every stored value depends on it.
    if (status != ERROR_FILE_NOT_FOUND) return 0;
    if (g_installationLockSeams.beforeWait) g_installationLockSeams.beforeWait(g_installationLockSeams.context);
    ScopedNamedMutex lock(kInstallationMutexName, g_installationLockSeams.waitMilliseconds);
    // Another process is creating the number and has not finished in time:
    // go on without key material rather than hold up this load any longer.
    if (lock.timed_out()) return 0;
    CRegCtrl writer;
    if (!writer.Open(kBaseKeyPath, 0, KEY_ALL_ACCESS)) return 0;
    status = writer.QueryDword(name, &number);
    if (status == ERROR_FILE_NOT_FOUND) {
      srand(static_cast<unsigned int>(_time64(nullptr)));
      DWORD drawn = static_cast<DWORD>(rand()) % kInstallationNumbers;
      if (writer.SetDword(name, drawn) != ERROR_SUCCESS) return 0;
      // Build from what the registry holds now, not from what was drawn.
      status = writer.QueryDword(name, &number);
    }
    if (status != ERROR_SUCCESS) return 0;
  }
  return BuildKeyMaterial(static_cast<int32_t>(number), keyMaterial, keyMaterialLength);
}

}  // namespace ambercrypt
