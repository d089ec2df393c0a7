// ccrypt.h: CCrypt, the library's only gateway to CryptoAPI and the certificate
// and message functions. One instance owns one provider context, at most one
// derived key, one hash and one certificate with its store; the destructor
// releases them. Results are Windows error codes: 0, 87 for a missing argument,
// 6 for a missing context or key, NTE_BAD_LEN for a short output buffer,
// ERROR_ARITHMETIC_OVERFLOW for an output whose length 32 bits cannot hold, or
// the thread's last error after the failing platform call. Not thread-safe.
#ifndef AMBERCRYPT_CRYPTO_CCRYPT_H_
#define AMBERCRYPT_CRYPTO_CCRYPT_H_

#include <cstdint>

#include "crypto/secure_buffer.h"
#include "platform/win32_api.h"

namespace ambercrypt {

class CCrypt {
 public:
  CCrypt();
  virtual ~CCrypt();
  CCrypt(const CCrypt &) = delete;
  CCrypt &operator=(const CCrypt &) = delete;

  // Chooses the key algorithm and reacquires the context: PROV_RSA_AES for the
  // AES identifiers, PROV_RSA_FULL for everything else.
  uint32_t SetAlgorithm(ALG_ID algorithm);
  // Derives derivedKey from the SHA-1 of material with the key algorithm.
  virtual uint32_t DeriveKey(const uint8_t *material, uint32_t materialLength);
  // Derives the key and sets its IV from the first block-length bytes of iv,
  // zero-filled when iv is shorter. The key derived last is kept for the same
  // material and algorithm (an application enciphers every BIR with one key);
  // setting its IV anew restarts its chaining as a fresh key would.
  uint32_t SetKeyParameters(const uint8_t *material, uint32_t materialLength, const uint8_t *iv,
                            uint32_t ivLength);
  // Encrypts *dataLength bytes of buffer in place as one final CBC block run
  // with PKCS#5 padding. A null buffer asks for the ciphertext size. Data whose
  // ciphertext would pass 0xFFFFFFFF bytes is refused with
  // ERROR_ARITHMETIC_OVERFLOW, whatever size the platform would answer.
  uint32_t Encrypt(uint8_t *buffer, uint32_t *dataLength, uint32_t bufferSize, const uint8_t *material,
                   uint32_t materialLength, const uint8_t *iv, uint32_t ivLength);
  // Decrypts *dataLength bytes of buffer in place; the buffer is untouched on
  // failure. A length that is no whole number of blocks fails with NTE_BAD_DATA
  // before anything is copied.
  uint32_t Decrypt(uint8_t *buffer, uint32_t *dataLength, const uint8_t *material, uint32_t materialLength,
                   const uint8_t *iv, uint32_t ivLength);
  // SHA-1 of data; *digestLength is the capacity on entry and the length on return.
  uint32_t Hash(const uint8_t *data, uint32_t length, uint8_t *digest, uint32_t *digestLength);
  // The same SHA-1 taken in pieces, for input that is never whole in memory:
  // BeginHash, HashMore for each piece (empty pieces allowed), then EndHash.
  uint32_t BeginHash();
  uint32_t HashMore(const uint8_t *data, uint32_t length);
  uint32_t EndHash(uint8_t *digest, uint32_t *digestLength);
  // HMAC-SHA-1 of data keyed with the key derived from material.
  uint32_t Hmac(const uint8_t *data, uint32_t length, uint8_t *mac, uint32_t *macLength,
                const uint8_t *material, uint32_t materialLength);
  // Finds the certificate with this issuer and serial number in "ROOT".
  uint32_t FindCertificate(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial);
  // PKCS#7 signed data over data with the certificate; null output asks the
  // size. Data so long that the message might pass 0xFFFFFFFF bytes (within
  // four certificates' length and 512 bytes of it) is refused with
  // ERROR_ARITHMETIC_OVERFLOW before the platform reads any of it.
  uint32_t SignMessage(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial, const uint8_t *data, uint32_t length,
                       uint8_t *output, uint32_t *outputLength);
  // Verifies a message signed by the named certificate of "ROOT" and yields
  // its content; null output asks the content size. A message signed by any
  // other certificate fails with CRYPT_E_SIGNER_NOT_FOUND.
  uint32_t VerifyMessage(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial, const uint8_t *signedMessage,
                         uint32_t messageLength, uint8_t *output, uint32_t *outputLength);
  uint32_t Release();

  ALG_ID key_algorithm() const { return keyAlgorithm; }
  // The block length in bytes of the key algorithm's cipher: 8 for 3DES, 16
  // for AES, 0 for an algorithm this class does not know (the platform decides).
  uint32_t CipherBlockBytes() const;

 private:
  uint32_t AcquireProvider(DWORD providerType);
  // The argument checks of SignMessage and VerifyMessage, then FindCertificate.
  uint32_t FindCertificateFor(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial, const uint8_t *input,
                              uint32_t inputLength, const uint32_t *outputLength);
  void DestroyHash();
  void DestroyDerivedKey();
  // 0 when signer (freed here) is byte for byte the certificate found last.
  uint32_t RequireNamedSigner(PCCERT_CONTEXT signer) const;

  HCRYPTPROV provider;
  HCRYPTKEY derivedKey;
  HCRYPTHASH hash;
  ALG_ID keyAlgorithm;
  ALG_ID hashAlgorithm;
  HCERTSTORE certStore;
  PCCERT_CONTEXT certificate;
  // What derivedKey was derived from by SetKeyParameters (empty: nothing to
  // keep), in the secret pages, and its block length in bytes.
  CSecureBuffer keptMaterial;
  ALG_ID keptAlgorithm = 0;
  uint32_t keptBlockBytes = 0;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_CRYPTO_CCRYPT_H_
