#include "store/identity.h"

#include <cstdlib>
#include <cstring>

#include "crypto/mix_key_material.h"
#include "store/constants.h"
#include "store/named_mutex.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

constexpr uint32_t kAppKeyTextSize = 30;  // 28 characters, a line feed, a NUL
constexpr uint32_t kInstallationNumbers = 10000;
constexpr uint32_t kNumberTextSize = 16;

}  // namespace

InstallationLockSeams g_installationLockSeams;

bool DeriveAppKey(const char *name, CSecureBuffer *appKey) {
  if (name == nullptr) return false;
  CSecureBuffer text(kAppKeyTextSize);
  if (!HashNameToBase64(name, reinterpret_cast<char *>(text.data()))) return false;
  *appKey = std::move(text);
  return true;
}

CSecureBuffer BuildKeyMaterial(int32_t installationNumber) {
  CSecureBuffer number(kNumberTextSize);
  char *digits = reinterpret_cast<char *>(number.data());
  _itoa(installationNumber, digits, 10);
  uint32_t textLength = static_cast<uint32_t>(strlen(digits));
  CSecureBuffer text(textLength + sizeof(KeyBaseConstant));
  memcpy(text.data(), digits, textLength);
  memcpy(text.data() + textLength, KeyBaseConstant, sizeof(KeyBaseConstant));
  uint32_t length = static_cast<uint32_t>(strlen(reinterpret_cast<const char *>(text.data())));
  CSecureBuffer mixed(2 * length);
  memcpy(mixed.data(), text.data(), length + 1);
  int32_t mixLength = static_cast<int32_t>(length);
  MixKeyMaterial(mixed.data(), mixed.size(), &mixLength);
  return CSecureBuffer(mixed.data(), length);
}

bool LoadInstallationKey(CSecureBuffer *keyMaterial) {
  const char *name = settings::kInstallationNumber.name;
  CRegCtrl reader;
  if (!reader.Open(kBaseKeyPath, false, KEY_READ)) return false;
  DWORD number = 0;
  uint32_t status = reader.QueryDword(name, &number);
  if (status != ERROR_SUCCESS) {
    // Only an absent value is created; an unreadable one is never overwritten,
    // since every stored value depends on it.
    if (status != ERROR_FILE_NOT_FOUND) return false;
    if (g_installationLockSeams.beforeWait) g_installationLockSeams.beforeWait(g_installationLockSeams.context);
    ScopedNamedMutex lock(kInstallationMutexName, g_installationLockSeams.waitMilliseconds);
    // Another process is creating the number and has not finished in time:
    // go on without key material rather than hold up this load any longer.
    // (No mutex at all, as for a process that may not make one, goes on
    // unlocked: such a process cannot write the number either.)
    if (lock.timed_out()) return false;
    CRegCtrl writer;
    if (!writer.Open(kBaseKeyPath, false, KEY_ALL_ACCESS)) return false;
    status = writer.QueryDword(name, &number);
    if (status == ERROR_FILE_NOT_FOUND) {
      srand(static_cast<unsigned int>(_time64(nullptr)));
      DWORD drawn = static_cast<DWORD>(rand()) % kInstallationNumbers;
      if (writer.SetDword(name, drawn) != ERROR_SUCCESS) return false;
      // Build from what the registry holds now, not from what was drawn.
      status = writer.QueryDword(name, &number);
    }
    if (status != ERROR_SUCCESS) return false;
  }
  *keyMaterial = BuildKeyMaterial(static_cast<int32_t>(number));
  return true;
}

}  // namespace ambercrypt
