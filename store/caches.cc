#include "store/caches.h"

#include <new>

namespace ambercrypt {

SettingCaches &Caches() {
  // Never destroyed: at exit the C++ destructors of the library's statics may
  // run before the loader calls the library's unload, whose detach still
  // clears (and wipes) these caches.
  alignas(SettingCaches) static unsigned char storage[sizeof(SettingCaches)];
  static SettingCaches *const caches = new (storage) SettingCaches;
  return *caches;
}

RestrictionCache::Pair RestrictionCache::Find(const char *key, size_t length) const {
  Pair pair;
  if (IsHost(key, length)) {
    const uint64_t word = hostPair_.load(std::memory_order_acquire);
    const auto low = static_cast<uint32_t>(word);
    switch (word & kTags) {
      case kOtherMode:
        pair.mode = CacheLookup<uint32_t>(low);
        break;
      case kBareCustomMode:
        pair.mode = CacheLookup<uint32_t>(kCustomMaskMode);
        break;
      case kMaskedCustomMode:
        pair.mode = CacheLookup<uint32_t>(kCustomMaskMode);
        pair.mask = CacheLookup<uint32_t>(low);
        break;
      default:
        break;
    }
    return pair;
  }
  const Entry entry = Load(key, length);
  if (entry.mode.has_value()) pair.mode = CacheLookup<uint32_t>(*entry.mode);
  if (entry.mode == kCustomMaskMode && entry.mask.has_value()) pair.mask = CacheLookup<uint32_t>(*entry.mask);
  return pair;
}

RestrictionCache::Entry RestrictionCache::Load(const char *key, size_t length) const {
  if (IsHost(key, length)) return HostEntry();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = map_.find(std::string(key, length));
  return it == map_.end() ? Entry() : it->second;
}

RestrictionCache::Entry RestrictionCache::HostEntry() const {
  Entry entry;
  const uint64_t word = hostPair_.load(std::memory_order_acquire);
  if ((word & kTags) == kOtherMode) entry.mode = static_cast<uint32_t>(word);
  if ((word & kTags) == kBareCustomMode || (word & kTags) == kMaskedCustomMode) entry.mode = kCustomMaskMode;
  const uint64_t mask = hostMask_.load(std::memory_order_acquire);
  if ((mask & kPresent) != 0) entry.mask = static_cast<uint32_t>(mask);
  return entry;
}

void RestrictionCache::StoreHost(const Entry &entry) {
  hostMask_.store(entry.mask.has_value() ? kPresent | *entry.mask : 0, std::memory_order_release);
  uint64_t word = 0;
  if (entry.mode.has_value() && *entry.mode != kCustomMaskMode) {
    word = kOtherMode | *entry.mode;
  } else if (entry.mode.has_value()) {
    word = entry.mask.has_value() ? kMaskedCustomMode | *entry.mask : kBareCustomMode;
  }
  hostPair_.store(word, std::memory_order_release);
}

size_t RestrictionCache::Count(std::optional<uint32_t> Entry::*half) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const auto &item : map_) count += (item.second.*half).has_value() ? 1 : 0;
  if (!host_.empty() && (HostEntry().*half).has_value()) ++count;
  return count;
}

void RestrictionCache::PinHost(const std::string &key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Entry previous = HostEntry();
  StoreHost(Entry());
  if (!host_.empty() && (previous.mode.has_value() || previous.mask.has_value())) map_[host_] = previous;
  host_ = key;
  auto it = host_.empty() ? map_.end() : map_.find(host_);
  if (it != map_.end()) {
    StoreHost(it->second);
    map_.erase(it);
  }
}

void RestrictionCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  map_.clear();
  StoreHost(Entry());
  std::string().swap(host_);
}

void SettingCaches::PinHost(const std::string &appKey) {
  Restriction.PinHost(appKey);
  SecretKeyStateCache.PinHost(appKey);
  CipherAlgorithmCache.PinHost(appKey);
  SecretKeyCache.PinHost(appKey);
  VerifySetting17Cache.PinHost(appKey);
  VerifySetting19Cache.PinHost(appKey);
  VerifySetting23Cache.PinHost(appKey);
  IdentifySetting18Cache.PinHost(appKey);
  IdentifySetting20Cache.PinHost(appKey);
  IdentifySetting24Cache.PinHost(appKey);
  VerifyPendingResultCache.PinHost(appKey);
  VerifyPendingValueCache.PinHost(appKey);
  VerifyPendingLevelCache.PinHost(appKey);
  VerifyPendingDigestCache.PinHost(appKey);
  IdentifyPendingCountCache.PinHost(appKey);
  IdentifyPendingLevelCache.PinHost(appKey);
  IdentifyPendingRefCache.PinHost(appKey);
}

void SettingCaches::ClearAll() {
  Restriction.Clear();
  SecretKeyStateCache.Clear();
  CipherAlgorithmCache.Clear();
  SecretKeyCache.Clear();
  VerifySetting17Cache.Clear();
  VerifySetting19Cache.Clear();
  VerifySetting23Cache.Clear();
  IdentifySetting18Cache.Clear();
  IdentifySetting20Cache.Clear();
  IdentifySetting24Cache.Clear();
  VerifyPendingResultCache.Clear();
  VerifyPendingValueCache.Clear();
  VerifyPendingLevelCache.Clear();
  VerifyPendingDigestCache.Clear();
  IdentifyPendingCountCache.Clear();
  IdentifyPendingLevelCache.Clear();
  IdentifyPendingRefCache.Clear();
  PinHost(std::string());
}

}  // namespace ambercrypt
