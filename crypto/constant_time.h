// constant_time.h: ConstantTimeEqual, the one comparison of secrets, digests,
// MACs and responses, header-only so that the response verifier (a library
// of its own, without the core) compares with the very same code.
#ifndef AMBERCRYPT_CRYPTO_CONSTANT_TIME_H_
#define AMBERCRYPT_CRYPTO_CONSTANT_TIME_H_

#include <cstddef>
#include <cstdint>

namespace ambercrypt {

// Compares n bytes in time independent of where they differ; true when equal.
// Every byte is read through a volatile pointer and the differences are
// gathered before the one test, so the compiler can neither stop early nor
// turn the loop back into memcmp.
inline bool ConstantTimeEqual(const void *a, const void *b, size_t n) {
  const volatile uint8_t *x = static_cast<const volatile uint8_t *>(a);
  const volatile uint8_t *y = static_cast<const volatile uint8_t *>(b);
  uint8_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff = static_cast<uint8_t>(diff | (x[i] ^ y[i]));
  return diff == 0;
}

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_CONSTANT_TIME_H_
