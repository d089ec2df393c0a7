// wiping_allocator.h: an allocator that zeroes what it gives back, for the
// standard containers that hold secrets (SecretString: a std::string whose
// every buffer, the ones it outgrows included, is wiped before it is freed).
#ifndef AMBERCRYPT_CRYPTO_WIPING_ALLOCATOR_H_
#define AMBERCRYPT_CRYPTO_WIPING_ALLOCATOR_H_

#include <cstddef>
#include <new>
#include <string>

#include "crypto/secure_buffer.h"

namespace ambercrypt {

template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U> &) noexcept {}
  T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T))); }
  void deallocate(T *p, size_t n) noexcept {
    WipeMemory(p, n * sizeof(T));
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

using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_WIPING_ALLOCATOR_H_
