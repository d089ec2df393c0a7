// caches.h: the eighteen process-wide setting caches, each an ordered map from
// AppKey text (line feed included) to one value. Writers erase and then insert;
// Insert does nothing when the key is present. Caches of CSecureBuffer keep
// their values in the secret pages (secret_arena.h), wiped when dropped.
//
// Every cache may be used from any number of threads at once. A look-up hands
// back a copy of the value, never a pointer into the cache. The host
// application's entry of a cache of 32-bit (or smaller) values sits in one
// atomic word that readers load without a lock, so KoBioFPI_CheckMode, asked
// before every BSP call, costs no more than a map look-up did; every other
// entry lives in the map under the cache's mutex, held only for the map
// operation itself.
#ifndef AMBERCRYPT_STORE_CACHES_H_
#define AMBERCRYPT_STORE_CACHES_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "crypto/secure_buffer.h"
#include "store/settings.h"

namespace ambercrypt {

// The answer of a cache look-up: a copy of the value, used like a pointer
// (null when absent). Never a reference into the cache.
template <typename V>
class CacheLookup {
 public:
  CacheLookup() = default;
  explicit CacheLookup(const V &value) : value_(value) {}
  explicit operator bool() const { return value_.has_value(); }
  const V &operator*() const { return *value_; }
  const V *operator->() const { return &*value_; }
  friend bool operator==(const CacheLookup &v, std::nullptr_t) { return !v.value_.has_value(); }
  friend bool operator==(std::nullptr_t, const CacheLookup &v) { return !v.value_.has_value(); }
  friend bool operator!=(const CacheLookup &v, std::nullptr_t) { return v.value_.has_value(); }
  friend bool operator!=(std::nullptr_t, const CacheLookup &v) { return v.value_.has_value(); }

 private:
  std::optional<V> value_;
};

// What a cache holds of a value it is given: a secret buffer goes to the
// secret pages (CSecureBuffer::Kept), anything else as it is.
template <typename V>
const V &KeptCopy(const V &value) {
  return value;
}
inline CSecureBuffer KeptCopy(const CSecureBuffer &value) { return CSecureBuffer::Kept(value.data(), value.size()); }

template <typename V>
class SettingCache {
  // Values that fit one word beside a presence bit.
  static constexpr bool kWord = std::is_trivially_copyable<V>::value && sizeof(V) <= sizeof(uint32_t);
  static constexpr uint64_t kPresent = uint64_t{1} << 32;

 public:
  // The value cached for key, or null.
  CacheLookup<V> Find(const std::string &key) const { return Find(key.data(), key.size()); }
  CacheLookup<V> Find(const char *key) const { return Find(key, strlen(key)); }

  void Insert(const std::string &key, const V &value) {
    if (IsHost(key)) {
      uint64_t expected = 0;
      hostWord_.compare_exchange_strong(expected, Encode(value), std::memory_order_acq_rel);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    map_.emplace(key, KeptCopy(value));
  }
  void Erase(const std::string &key) {
    if (IsHost(key)) {
      hostWord_.store(0, std::memory_order_release);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    map_.erase(key);
  }
  // Erase, then insert, as one step: no reader finds the entry missing between.
  void Replace(const std::string &key, const V &value) {
    if (IsHost(key)) {
      hostWord_.store(Encode(value), std::memory_order_release);
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    map_.erase(key);
    map_.emplace(key, KeptCopy(value));
  }
  // Forgets every entry and the host: called at detach, where no other call
  // runs. The host's key goes with its buffer, which nothing else would free
  // once the library is unloaded.
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    map_.clear();
    hostWord_.store(0, std::memory_order_release);
    std::string().swap(host_);
  }
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return map_.size() + ((hostWord_.load(std::memory_order_acquire) & kPresent) != 0 ? 1 : 0);
  }

  // Makes key (empty: none) the host application's, whose entry moves to the
  // word. The key itself is read without the lock: called only where no
  // other call can run, at attach and detach.
  void PinHost(const std::string &key) {
    if constexpr (kWord) {
      std::lock_guard<std::mutex> lock(mutex_);
      uint64_t word = hostWord_.exchange(0, std::memory_order_acq_rel);
      if (!host_.empty() && (word & kPresent) != 0) map_.insert({host_, Decode(word)});
      host_ = key;
      auto it = host_.empty() ? map_.end() : map_.find(host_);
      if (it != map_.end()) {
        hostWord_.store(Encode(it->second), std::memory_order_release);
        map_.erase(it);
      }
    } else {
      (void)key;
    }
  }

 private:
  CacheLookup<V> Find(const char *key, size_t length) const {
    if (IsHost(key, length)) {
      uint64_t word = hostWord_.load(std::memory_order_acquire);
      return (word & kPresent) != 0 ? CacheLookup<V>(Decode(word)) : CacheLookup<V>();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(std::string(key, length));
    return it == map_.end() ? CacheLookup<V>() : CacheLookup<V>(it->second);
  }
  bool IsHost(const std::string &key) const { return IsHost(key.data(), key.size()); }
  bool IsHost(const char *key, size_t length) const {
    return kWord && !host_.empty() && length == host_.size() && memcmp(key, host_.data(), length) == 0;
  }
  static uint64_t Encode(const V &value) {
    uint32_t bits = 0;
    if constexpr (kWord) memcpy(&bits, &value, sizeof value);
    return kPresent | bits;
  }
  static V Decode(uint64_t word) {
    V value{};
    if constexpr (kWord) {
      uint32_t bits = static_cast<uint32_t>(word);
      memcpy(&value, &bits, sizeof value);
    }
    return value;
  }

  mutable std::mutex mutex_;
  std::map<std::string, V> map_;
  std::string host_;
  std::atomic<uint64_t> hostWord_{0};  // kPresent | the value's bits; 0: no entry
};

// The restriction mode and custom mask of each application, kept as pairs:
// KoBioSPI_RestrictBSPFunction publishes mode 5 and its mask as one step, so
// KoBioFPI_CheckMode on another thread finds the old pair or the new one,
// never the new mode with the old mask. The host application's pair is one
// atomic word that Find loads without a lock (a tag and the mode, or in mode
// 5 the mask: the mask matters in no other mode); its mask in every mode
// sits in a second word beside it, for the mask half and for the next pair.
// Every other pair lives in the map under the mutex, which every writer
// holds. ModeCache and CustomMaskCache are the two halves, each with a
// SettingCache's operations.
class RestrictionCache {
  struct Entry {
    std::optional<uint32_t> mode, mask;
  };

 public:
  struct Pair {
    CacheLookup<uint32_t> mode;
    CacheLookup<uint32_t> mask;  // found in mode 5 only
  };

  // The pair cached for key, read as one.
  Pair Find(const std::string &key) const { return Find(key.data(), key.size()); }
  Pair Find(const char *key) const { return Find(key, strlen(key)); }
  // Sets the mode and, when one is given, the mask, as one step (erase and
  // insert of each half at once).
  void Replace(const std::string &key, uint32_t mode, std::optional<uint32_t> mask) {
    Change(key, [&](Entry &entry) {
      entry.mode = mode;
      if (mask.has_value()) entry.mask = mask;
    });
  }
  // As SettingCache::PinHost and SettingCache::Clear.
  void PinHost(const std::string &key);
  void Clear();

  // One half, mode or mask, with the operations of a SettingCache.
  class Half {
   public:
    CacheLookup<uint32_t> Find(const std::string &key) const { return Find(key.data(), key.size()); }
    CacheLookup<uint32_t> Find(const char *key) const { return Find(key, strlen(key)); }
    void Insert(const std::string &key, uint32_t value) {
      pairs_.Change(key, [&](Entry &entry) {
        if (!(entry.*half_).has_value()) entry.*half_ = value;
      });
    }
    void Erase(const std::string &key) {
      pairs_.Change(key, [&](Entry &entry) { (entry.*half_).reset(); });
    }
    void Replace(const std::string &key, uint32_t value) {
      pairs_.Change(key, [&](Entry &entry) { entry.*half_ = value; });
    }
    size_t size() const { return pairs_.Count(half_); }

   private:
    friend class RestrictionCache;
    using Member = std::optional<uint32_t> RestrictionCache::Entry::*;
    Half(RestrictionCache &pairs, Member half) : pairs_(pairs), half_(half) {}
    CacheLookup<uint32_t> Find(const char *key, size_t length) const {
      const std::optional<uint32_t> value = pairs_.Load(key, length).*half_;
      return value.has_value() ? CacheLookup<uint32_t>(*value) : CacheLookup<uint32_t>();
    }
    RestrictionCache &pairs_;
    const Member half_;
  };
  Half modes{*this, &Entry::mode};
  Half masks{*this, &Entry::mask};

 private:
  // The host's pair word: kNoMode (0), or a tag with the mode (any mode but
  // 5), or with mode 5 and no mask, or with mode 5 and the mask.
  static constexpr uint64_t kOtherMode = uint64_t{1} << 62;
  static constexpr uint64_t kBareCustomMode = uint64_t{2} << 62;
  static constexpr uint64_t kMaskedCustomMode = uint64_t{3} << 62;
  static constexpr uint64_t kTags = uint64_t{3} << 62;
  static constexpr uint64_t kPresent = uint64_t{1} << 32;  // in the mask word

  Pair Find(const char *key, size_t length) const;
  // The whole entry (the host's from both words), for the halves.
  Entry Load(const char *key, size_t length) const;
  // Runs change on key's entry and stores the result, under the mutex.
  template <typename F>
  void Change(const std::string &key, F change) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (IsHost(key.data(), key.size())) {
      Entry entry = HostEntry();
      change(entry);
      StoreHost(entry);
      return;
    }
    Entry &entry = map_[key];
    change(entry);
    if (!entry.mode.has_value() && !entry.mask.has_value()) map_.erase(key);
  }
  size_t Count(std::optional<uint32_t> Entry::*half) const;
  bool IsHost(const char *key, size_t length) const {
    return !host_.empty() && length == host_.size() && memcmp(key, host_.data(), length) == 0;
  }
  Entry HostEntry() const;
  // The mask word first, then the pair word that readers take.
  void StoreHost(const Entry &entry);

  mutable std::mutex mutex_;
  std::map<std::string, Entry> map_;
  std::string host_;
  std::atomic<uint64_t> hostPair_{0};
  std::atomic<uint64_t> hostMask_{0};  // kPresent | the mask; 0: none
};

struct SettingCaches {
  // Mirrors of the application's registry values. The mode and the custom
  // mask are the two halves of one cache of pairs.
  RestrictionCache Restriction;
  RestrictionCache::Half &ModeCache = Restriction.modes;
  RestrictionCache::Half &CustomMaskCache = Restriction.masks;
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

  // A family's pending outcome is several entries: a status update holds its
  // family's mutex while it replaces them, a challenge from its look-up to its
  // consumption. So a challenge answers one whole outcome, never the result
  // of one update with the digest of another, and each outcome at most once,
  // however threads report and ask.
  std::mutex VerifyPendingMutex;
  std::mutex IdentifyPendingMutex;
  // The secret key and its cipher are written (and their entries dropped) by
  // the administration side and read through (and kept) by the BIR cipher:
  // each does so whole under this mutex, so a cipher that read the key just
  // replaced can never keep it after the replacement dropped its entry.
  std::mutex SecretKeyMutex;

  // Gives the host application's entries their lock-free word (see above);
  // only at attach, before any call can run.
  void PinHost(const std::string &appKey);
  // Empties every cache and forgets the host: at detach.
  void ClearAll();
};

// The caches, built on first use so that they exist before the library's
// entry point runs, and destroyed at unload.
SettingCaches &Caches();

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_CACHES_H_
