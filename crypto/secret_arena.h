// secret_arena.h: the pages where this library keeps the secrets it holds for
// long (the installation key material, cached secret keys, the key material a
// CCrypt keeps for its derived key, pending digests), apart from the heap.
// They are a few pages per process, mapped on first use (VirtualAlloc) and
// locked (VirtualLock): Windows keeps locked pages out of its page file, and
// our Linux layer's VirtualLock also keeps them out of core dumps. Blocks
// are zeroed when handed out and wiped when given back; the pages go when
// the library detaches with none in use. A block that does not fit, or pages
// that could not be had, leave the caller on the wiping heap (CSecureBuffer
// falls back by itself). Buffers that live for one call stay on the heap:
// taking them from here would cost a lock each and protect nothing a crash
// dump in mid-call would not show anyway. What the platform keeps of a
// derived key (CryptoAPI's key object; on Linux OpenSSL's cipher context with
// its expanded key) is the platform's to place, out of this library's reach.
// Thread-safe.
#ifndef AMBERCRYPT_CRYPTO_SECRET_ARENA_H_
#define AMBERCRYPT_CRYPTO_SECRET_ARENA_H_

#include <cstddef>
#include <cstdint>

namespace ambercrypt {

// n zero bytes (n > 0) in the secret pages, or null when there is no room.
void *AllocateSecret(size_t n);
// Wipes and gives back a block of AllocateSecret (n as allocated). False,
// with nothing done, when p lies outside the secret pages.
bool ReleaseSecret(void *p, size_t n);
// Unmaps the pages when no block is in use (at detach); they are mapped
// again on the next AllocateSecret.
void ReleaseSecretPagesIfUnused();

// The pages as they are now (base null when none are mapped) and the blocks
// in use: for the tests, which look into them.
struct SecretPages {
  const uint8_t *base;
  size_t size;
  size_t blocksInUse;
};
SecretPages CurrentSecretPages();

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_SECRET_ARENA_H_
