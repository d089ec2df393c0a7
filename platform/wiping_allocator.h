// wiping_allocator.h: WipingAllocator, an allocator that zeroes every buffer
// it gives back, for the standard containers that hold secrets. It wipes with
// SecureZeroMemory, which the optimiser cannot drop (Windows' own; on Linux
// platform/posix's, over explicit_bzero). Header-only over win32_api.h, so
// the platform layer and the library above it share this one allocator.
// Stateless; as thread-safe as the heap.
#ifndef AMBERCRYPT_PLATFORM_WIPING_ALLOCATOR_H_
#define AMBERCRYPT_PLATFORM_WIPING_ALLOCATOR_H_

#include <cstddef>
#include <new>

#include "platform/win32_api.h"

namespace ambercrypt {

template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U> &) noexcept {}
  T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T))); }
  void deallocate(T *p, size_t n) noexcept {
    if (p != nullptr && n != 0) SecureZeroMemory(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U> &) const noexcept {
    return true;
  }
  template <typename U>
  bool operator!=(const WipingAllocator<U> &) const noexcept {
    return false;
  }
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_PLATFORM_WIPING_ALLOCATOR_H_
