// setting_store.h: SettingStore, the settings of one application read and
// written by their catalogue entries (settings.h). It owns what every setting
// depends on, the application's AppKey text and the installation key
// material, both in wiped buffers (the key material in the secret pages,
// secret_arena.h), and picks for each entry the key it lives
// in (base, application, UserInfo) and its encoding (plain or encrypted).
// CRegCtrl does the registry work underneath. One store per context (core/);
// callers serialise their calls.
#ifndef AMBERCRYPT_STORE_SETTING_STORE_H_
#define AMBERCRYPT_STORE_SETTING_STORE_H_

#include <cstdint>
#include <string>

#include "crypto/secure_buffer.h"
#include "platform/win32_api.h"
#include "store/caches.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace ambercrypt {

class SettingStore {
 public:
  class Key;

  SettingStore() = default;
  SettingStore(const SettingStore &) = delete;
  SettingStore &operator=(const SettingStore &) = delete;

  // Makes name the current application. False, with no current application,
  // when its AppKey cannot be derived (a null or empty name).
  bool SetApplication(const char *name);
  // Builds the installation key material from the installation number,
  // creating the number when it is absent. False, with nothing changed, when
  // there is none to be had.
  bool LoadInstallationKey();
  // Forgets the application and the key material, wiping both.
  void Clear();

  // The current application's AppKey text (line feed included, as the caches
  // key it), or null. The reference stays current across changes.
  const char *const &appKey() const { return appKey_; }
  // The installation key material, or null; and its length.
  const uint8_t *const &keyMaterial() const { return keyMaterial_; }
  const uint32_t &keyMaterialLength() const { return keyMaterialLength_; }

  // Opens the key of the current application that `which` names; with create,
  // makes it when absent (then held with all access). A key that cannot be
  // opened reads and writes nothing: every access answers ERROR_INVALID_HANDLE.
  Key Open(SettingKey which, REGSAM access, bool create = false) const;
  // The same for the application whose AppKey text is appKey, which stays
  // whatever the current application is; its values use this store's key
  // material.
  Key OpenFor(const char *appKey, SettingKey which, REGSAM access, bool create = false) const;
  // A key that stays closed, for a branch that must not touch the registry.
  Key Unopened() const;

  // The cached value of the current application, or on a miss the setting
  // read from its key and then cached. Any failure leaves the cache alone.
  template <typename V>
  uint32_t ReadThrough(SettingCache<V> &cache, const Setting &setting, V *value) const;

 private:
  CSecureBuffer appKeyText_;
  CSecureBuffer material_;
  const char *appKey_ = nullptr;
  const uint8_t *keyMaterial_ = nullptr;
  uint32_t keyMaterialLength_ = 0;
};

// One open key of an application. Each access names a catalogue entry of
// this key and uses the encoding the entry gives; an entry of another key or
// of another encoding is ERROR_INVALID_PARAMETER.
class SettingStore::Key {
 public:
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  bool ok() const { return open_; }

  // kEncryptedInt, or kDword taken as a signed number.
  uint32_t ReadInt(const Setting &setting, int32_t *value);
  uint32_t WriteInt(const Setting &setting, int32_t value);
  // kEncryptedInt64.
  uint32_t ReadInt64(const Setting &setting, int64_t *value);
  uint32_t WriteInt64(const Setting &setting, int64_t value);
  // kDword.
  uint32_t ReadDword(const Setting &setting, DWORD *value);
  uint32_t WriteDword(const Setting &setting, DWORD value);
  // kBinary or kEncryptedBinary. *length: the size expected on entry (data
  // holds it), the length read on return.
  uint32_t ReadBytes(const Setting &setting, uint8_t *data, uint32_t *length);
  uint32_t WriteBytes(const Setting &setting, const uint8_t *data, uint32_t length);

 private:
  friend class SettingStore;
  explicit Key(const SettingStore &store);
  Key(const SettingStore &store, const char *appKey, SettingKey which, REGSAM access, bool create);
  bool Fits(const Setting &setting, SettingEncoding encoding) const;
  // A mismatched entry, or no key open.
  uint32_t Refusal() const;

  const SettingStore *store_;
  SettingKey which_;
  bool open_ = false;
  CRegCtrl reg_;
};

template <typename V>
uint32_t SettingStore::ReadThrough(SettingCache<V> &cache, const Setting &setting, V *value) const {
  static_assert(sizeof(V) == sizeof(int32_t), "a cache of 32-bit settings");
  if (appKey_ == nullptr || value == nullptr) return ERROR_INVALID_PARAMETER;
  if (auto cached = cache.Find(appKey_)) {
    *value = *cached;
    return ERROR_SUCCESS;
  }
  int32_t read = 0;
  uint32_t status = Open(setting.key, KEY_READ).ReadInt(setting, &read);
  if (status != ERROR_SUCCESS) return status;
  *value = static_cast<V>(read);
  cache.Insert(appKey_, *value);
  return ERROR_SUCCESS;
}

// Did the store fail to answer (a registry that could not be read or
// written), rather than find a value absent or holding bytes that do not
// decrypt?
bool IsStoreFailure(uint32_t status);

// The registry path of a key of the application whose AppKey is appKey.
std::string SettingKeyPath(SettingKey which, const char *appKey);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_SETTING_STORE_H_
