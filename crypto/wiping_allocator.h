// wiping_allocator.h: SecretString, a std::string that keeps its text only in
// buffers of the one WipingAllocator (platform/wiping_allocator.h, which it
// brings in for the containers of secrets above the platform layer).
#ifndef AMBERCRYPT_CRYPTO_WIPING_ALLOCATOR_H_
#define AMBERCRYPT_CRYPTO_WIPING_ALLOCATOR_H_

#include <cstddef>
#include <string>
#include <utility>

#include "platform/wiping_allocator.h"

namespace ambercrypt {

// A string for secrets. Its text never sits in the string object's own
// small-string buffer, which no allocator frees and so none wipes: every
// constructor puts it in an allocated buffer from the start, and every
// allocated buffer is wiped when it is given back.
class SecretString : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
 public:
  using Base = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
  // More than any small-string buffer holds.
  static constexpr size_t kMinimumCapacity = 32;

  SecretString() { reserve(kMinimumCapacity); }
  template <typename It>
  SecretString(It first, It last) {
    reserve(kMinimumCapacity);
    assign(first, last);
  }
  SecretString(const char *text, size_t length) {
    reserve(kMinimumCapacity > length ? kMinimumCapacity : length);
    assign(text, length);
  }
  SecretString(const char *text) : SecretString(text, std::char_traits<char>::length(text)) {}  // NOLINT
  SecretString(const Base &other) {  // NOLINT: converts like the base does
    reserve(kMinimumCapacity > other.size() ? kMinimumCapacity : other.size());
    assign(other);
  }
  SecretString(const SecretString &other) : SecretString(static_cast<const Base &>(other)) {}
  // Moving takes the other's allocated buffer: its text never passes through
  // a small-string buffer.
  SecretString(SecretString &&other) noexcept : Base(std::move(static_cast<Base &>(other))) {}
  SecretString &operator=(const SecretString &other) {
    assign(other);
    return *this;
  }
  SecretString &operator=(SecretString &&other) noexcept {
    Base::operator=(std::move(static_cast<Base &>(other)));
    return *this;
  }
  using Base::operator=;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_WIPING_ALLOCATOR_H_
