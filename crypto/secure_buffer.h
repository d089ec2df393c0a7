// secure_buffer.h: CSecureBuffer, a fixed-size byte buffer that is zeroed
// before its memory is given back, and WipeMemory, the one way this library
// zeroes a secret anywhere else. Used wherever key material, plaintext or
// digests pass through memory. Its bytes are on the heap, or for a secret
// kept for long (Kept) in the secret pages (secret_arena.h). Copies are deep
// and on the heap; a move hands the bytes over, wherever they are, without
// copying them. Not thread-safe.
#ifndef AMBERCRYPT_CRYPTO_SECURE_BUFFER_H_
#define AMBERCRYPT_CRYPTO_SECURE_BUFFER_H_

#include <cstddef>
#include <cstdint>

#include "crypto/constant_time.h"  // ConstantTimeEqual

namespace ambercrypt {

class CSecureBuffer {
 public:
  CSecureBuffer() = default;
  // n zero bytes; n == 0 gives an empty buffer (three null pointers).
  explicit CSecureBuffer(uint32_t n);
  // n zero bytes, then n bytes copied from source when it is non-null.
  CSecureBuffer(const void *source, uint32_t n);
  // The same for a secret held for long (key material, a cached key): in the
  // secret pages while they have room, else on the heap.
  static CSecureBuffer Kept(const void *source, uint32_t n);
  CSecureBuffer(const CSecureBuffer &other);
  CSecureBuffer &operator=(const CSecureBuffer &other);
  CSecureBuffer(CSecureBuffer &&other) noexcept;
  CSecureBuffer &operator=(CSecureBuffer &&other) noexcept;
  ~CSecureBuffer();

  uint8_t *data() { return begin_; }
  const uint8_t *data() const { return begin_; }
  uint32_t size() const { return static_cast<uint32_t>(end_ - begin_); }
  bool empty() const { return begin_ == end_; }
  // Zeroes and frees the bytes; the buffer is then empty.
  void Clear();

 private:
  void Allocate(uint32_t n);

  uint8_t *begin_ = nullptr;
  uint8_t *end_ = nullptr;
  bool kept_ = false;  // the bytes are in the secret pages
};

// Zeroes n bytes in a way the optimiser cannot remove.
void WipeMemory(void *p, size_t n);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_SECURE_BUFFER_H_
