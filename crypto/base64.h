// base64.h: the line-broken Base64 encoder (72 characters a line, a line feed
// after the last started line). A pure function over caller buffers, safe on
// any thread.
#ifndef AMBERCRYPT_CRYPTO_BASE64_H_
#define AMBERCRYPT_CRYPTO_BASE64_H_

#include <cstdint>

namespace ambercrypt {

// Base64Encode writes the text and a NUL to destination, which the caller sizes
// for 4*ceil(length/3) characters, a line feed per started 72-character line and
// the NUL. Returns 0 when destination is null (nothing written), else 1;
// *outputLength (optional) receives the characters written before the NUL.
int Base64Encode(const uint8_t *source, uint64_t length, char *destination, uint64_t *outputLength);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_BASE64_H_
