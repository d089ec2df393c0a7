// base64.h: the line-broken Base64 encoder (72 characters a line, a line feed
// after the last started line) and the key-material mixer. Both are pure
// functions over caller buffers and safe on any thread.
#ifndef AMBERCRYPT_CRYPTO_BASE64_H_
#define AMBERCRYPT_CRYPTO_BASE64_H_

#include <cstdint>

namespace ambercrypt {

// Base64Encode writes the text and a NUL to destination, which the caller sizes
// for 4*ceil(length/3) characters, a line feed per started 72-character line and
// the NUL. Returns 0 when destination is null (nothing written), else 1;
// *outputLength (optional) receives the characters written before the NUL.
int Base64Encode(const uint8_t *source, uint64_t length, char *destination, uint64_t *outputLength);

// MixKeyMaterial mixes the first *length bytes of buffer in place: a chained
// XOR with 0xA4, a parity mirror swap, a swap of halves, the mirror swap again.
// Does nothing when *length is 0 (or negative) or greater than capacity.
void MixKeyMaterial(uint8_t *buffer, uint32_t capacity, const int32_t *length);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_BASE64_H_
