// openssl_error.h: helpers shared by the CryptoAPI emulation on OpenSSL: the one
// place that turns an OpenSSL failure into a CryptoAPI last error, and the
// owning pointers for OpenSSL objects.
#ifndef AMBERCRYPT_PLATFORM_POSIX_OPENSSL_ERROR_H_
#define AMBERCRYPT_PLATFORM_POSIX_OPENSSL_ERROR_H_

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/win32_api.h"

namespace ambercrypt::posix {

// Sets the thread's last error to `code`, drops OpenSSL's error queue (a
// failure is reported once, in CryptoAPI's terms) and returns FALSE.
// Takes any Windows code: an error number or an HRESULT.
BOOL FailWith(long code);

// Hands size bytes of data to a CryptoAPI-style output: a null out asks the
// size; a short *outLength gets the size and ERROR_MORE_DATA.
BOOL CopyOut(const void *data, DWORD size, BYTE *out, DWORD *outLength);

struct EvpMdCtxFree { void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); } };
struct EvpCipherCtxFree { void operator()(EVP_CIPHER_CTX *p) const { EVP_CIPHER_CTX_free(p); } };
struct EvpPkeyFree { void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); } };
struct EvpPkeyCtxFree { void operator()(EVP_PKEY_CTX *p) const { EVP_PKEY_CTX_free(p); } };
struct X509Free { void operator()(X509 *p) const { X509_free(p); } };
struct BioFree { void operator()(BIO *p) const { BIO_free(p); } };
struct Pkcs7Free { void operator()(PKCS7 *p) const { PKCS7_free(p); } };

using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Free>;

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_OPENSSL_ERROR_H_
