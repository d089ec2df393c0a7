// The two things the response checks need from a crypto provider: SHA-1, and
// a signed message verified against one given certificate. OpenSSL provides
// them on Linux (backend_openssl.cc), CryptoAPI on Windows
// (backend_cryptoapi.cc).
#ifndef AMBERCRYPT_VERIFIER_BACKEND_H_
#define AMBERCRYPT_VERIFIER_BACKEND_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace ambercrypt::verifier {

// SHA-1 over the concatenation of two byte strings (the second may be empty).
// False when the provider fails.
bool Sha1(const uint8_t *first, size_t firstLength, const uint8_t *second, size_t secondLength, uint8_t digest[20]);

// Checks that message (exactly one DER-encoded PKCS#7 SignedData, content
// attached, one signer, carrying the signer's certificate) was signed by
// certificate (DER or PEM) and no other, and gives its content. A message
// length of 0 is no message: invalid once the certificate is found usable.
// Answers an AMBER_VERIFIER_* code.
int SignedContent(const uint8_t *certificate, size_t certificateLength, const uint8_t *message, size_t messageLength,
                  std::string *content);

// Overwrites n bytes in a way the optimiser keeps.
void Wipe(void *data, size_t n);

}  // namespace ambercrypt::verifier

#endif  // AMBERCRYPT_VERIFIER_BACKEND_H_
