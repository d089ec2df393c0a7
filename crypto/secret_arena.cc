#include "crypto/secret_arena.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "crypto/secure_buffer.h"
#include "platform/win32_api.h"

// AddressSanitizer does not know these pages: their free granules are marked
// poisoned for it by hand, so that a read or write past a block still shows.
#if defined(__SANITIZE_ADDRESS__)
#define AMBERCRYPT_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define AMBERCRYPT_ARENA_ASAN 1
#endif
#endif
#if defined(AMBERCRYPT_ARENA_ASAN)
#include <sanitizer/asan_interface.h>
#define ARENA_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define ARENA_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define ARENA_POISON(p, n) ((void)(p), (void)(n))
#define ARENA_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace ambercrypt {
namespace {

// 16 KiB in granules of 16 bytes: a secret of 64 to 67 bytes takes 4 or 5.
// A process keeps a few hundred bytes of them; the rest is room for the key
// material of the CCrypts that run at once on other threads.
constexpr size_t kArenaBytes = 16384;
constexpr size_t kGranule = 16;
constexpr size_t kGranules = kArenaBytes / kGranule;
constexpr size_t kWordBits = 64;
constexpr size_t kLargestBlock = 1024;  // larger secrets are never kept for long

struct Arena {
  std::mutex mutex;
  std::atomic<uint8_t *> base{nullptr};
  uint64_t used[kGranules / kWordBits] = {};
  size_t blocks = 0;
  bool unavailable = false;  // mapping failed: not tried again before the next detach
};

// Never destroyed: blocks may be given back by destructors that run late.
Arena &TheArena() {
  alignas(Arena) static unsigned char storage[sizeof(Arena)];
  static Arena *const arena = new (storage) Arena;
  return *arena;
}

bool IsUsed(const Arena &a, size_t granule) { return (a.used[granule / kWordBits] >> (granule % kWordBits)) & 1; }

void Mark(Arena &a, size_t first, size_t count, bool used) {
  for (size_t g = first; g < first + count; ++g) {
    const uint64_t bit = uint64_t{1} << (g % kWordBits);
    if (used) {
      a.used[g / kWordBits] |= bit;
    } else {
      a.used[g / kWordBits] &= ~bit;
    }
  }
}

// The first run of count free granules, or kGranules when there is none.
size_t FindRun(const Arena &a, size_t count) {
  size_t run = 0;
  for (size_t g = 0; g < kGranules; ++g) {
    run = IsUsed(a, g) ? 0 : run + 1;
    if (run == count) return g + 1 - count;
  }
  return kGranules;
}

// Maps and locks the pages; a failed lock leaves them in use all the same
// (separate from the heap, wiped block by block).
uint8_t *MapPages() {
  auto *pages = static_cast<uint8_t *>(VirtualAlloc(nullptr, kArenaBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (pages == nullptr) return nullptr;
  VirtualLock(pages, kArenaBytes);
  ARENA_POISON(pages, kArenaBytes);
  return pages;
}

size_t Granules(size_t n) { return (n + kGranule - 1) / kGranule; }

}  // namespace

void *AllocateSecret(size_t n) {
  if (n == 0 || n > kLargestBlock) return nullptr;
  Arena &a = TheArena();
  std::lock_guard<std::mutex> lock(a.mutex);
  uint8_t *base = a.base.load(std::memory_order_relaxed);
  if (base == nullptr) {
    if (a.unavailable) return nullptr;
    base = MapPages();
    if (base == nullptr) {
      a.unavailable = true;
      return nullptr;
    }
    a.base.store(base, std::memory_order_release);
  }
  const size_t count = Granules(n);
  const size_t first = FindRun(a, count);
  if (first == kGranules) return nullptr;
  Mark(a, first, count, true);
  ++a.blocks;
  uint8_t *block = base + first * kGranule;
  ARENA_UNPOISON(block, count * kGranule);
  memset(block, 0, count * kGranule);
  return block;
}

bool ReleaseSecret(void *p, size_t n) {
  Arena &a = TheArena();
  // Only a block handed out here lies in the pages, which stay mapped while
  // it is in use: any other pointer is told apart without the lock.
  const uint8_t *base = a.base.load(std::memory_order_acquire);
  auto *block = static_cast<uint8_t *>(p);
  if (base == nullptr || block < base || block >= base + kArenaBytes) return false;
  const size_t count = Granules(n);
  WipeMemory(block, count * kGranule);
  ARENA_POISON(block, count * kGranule);
  std::lock_guard<std::mutex> lock(a.mutex);
  Mark(a, static_cast<size_t>(block - base) / kGranule, count, false);
  --a.blocks;
  return true;
}

void ReleaseSecretPagesIfUnused() {
  Arena &a = TheArena();
  std::lock_guard<std::mutex> lock(a.mutex);
  a.unavailable = false;
  uint8_t *base = a.base.load(std::memory_order_relaxed);
  if (base == nullptr || a.blocks != 0) return;
  a.base.store(nullptr, std::memory_order_release);
  ARENA_UNPOISON(base, kArenaBytes);
  VirtualFree(base, 0, MEM_RELEASE);
}

SecretPages CurrentSecretPages() {
  Arena &a = TheArena();
  std::lock_guard<std::mutex> lock(a.mutex);
  const uint8_t *base = a.base.load(std::memory_order_relaxed);
  return SecretPages{base, base != nullptr ? kArenaBytes : 0, a.blocks};
}

}  // namespace ambercrypt
