// caches.h: the eighteen process-wide setting caches, each an ordered map from
// AppKey text (line feed included) to one value. Writers erase and then insert;
// Insert does nothing when the key is present. Caches of CSecureBuffer wipe
// their values when destroyed. No lock: callers serialise (see ambercrypt.h).
#ifndef AMBERCRYPT_STORE_CACHES_H_
#define AMBERCRYPT_STORE_CACHES_H_

#include <cstdint>
#include <map>
#include <string>

#include "crypto/secure_buffer.h"

namespace ambercrypt {

template <typename V>
class SettingCache {
 public:
  // The value cached for key, or null.
  const V *Find(const std::string &key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
  }
  void Insert(const std::string &key, const V &value) { map_.insert({key, value}); }
  void Erase(const std::string &key) { map_.erase(key); }
  void Replace(const std::string &key, const V &value) {
    Erase(key);
    Insert(key, value);
  }
  void Clear() { map_.clear(); }
  size_t size() const { return map_.size(); }

 private:
  std::map<std::string, V> map_;
};

struct SettingCaches {
  // Mirrors of the application's registry values.
  SettingCache<uint32_t> ModeCache;
  SettingCache<uint32_t> CustomMaskCache;
  SettingCache<uint32_t> SecretKeyStateCache;
  SettingCache<uint32_t> CipherAlgorithmCache;
  SettingCache<CSecureBuffer> SecretKeyCache;  // 64 bytes
  SettingCache<int32_t> VerifySetting17Cache;
  SettingCache<int32_t> VerifySetting19Cache;
  SettingCache<int32_t> VerifySetting23Cache;
  SettingCache<int32_t> IdentifySetting18Cache;
  SettingCache<int32_t> IdentifySetting20Cache;
  SettingCache<int32_t> IdentifySetting24Cache;
  // The pending outcome of the last verify and identify, for the challenges.
  SettingCache<uint32_t> VerifyPendingResultCache;
  SettingCache<int32_t> VerifyPendingValueCache;
  SettingCache<uint8_t> VerifyPendingLevelCache;
  SettingCache<CSecureBuffer> VerifyPendingDigestCache;  // 20 bytes
  SettingCache<uint32_t> IdentifyPendingCountCache;
  SettingCache<uint8_t> IdentifyPendingLevelCache;
  SettingCache<uint64_t> IdentifyPendingRefCache;

  void ClearAll();
};

// The caches, built on first use so that they exist before the library's
// entry point runs, and destroyed at unload.
SettingCaches &Caches();

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_CACHES_H_
