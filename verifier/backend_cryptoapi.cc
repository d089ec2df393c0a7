// The verifier's crypto on CryptoAPI.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "ambercrypt/verifier.h"
#include "verifier/backend.h"

namespace ambercrypt::verifier {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Provider {
  Provider() {
    if (!CryptAcquireContextW(&handle, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) handle = 0;
  }
  ~Provider() {
    if (handle != 0) CryptReleaseContext(handle, 0);
  }
  HCRYPTPROV handle = 0;
};

struct Hash {
  ~Hash() {
    if (handle != 0) CryptDestroyHash(handle);
  }
  HCRYPTHASH handle = 0;
};

struct Certificate {
  ~Certificate() {
    if (context != nullptr) CertFreeCertificateContext(context);
  }
  PCCERT_CONTEXT context = nullptr;
};

// The DER of a certificate given as DER or as PEM.
bool CertificateDer(const uint8_t *data, size_t n, std::vector<uint8_t> *der) {
  static const char kPemStart[] = "-----BEGIN";
  if (n < sizeof kPemStart - 1 || memcmp(data, kPemStart, sizeof kPemStart - 1) != 0) {
    der->assign(data, data + n);
    return true;
  }
  DWORD size = 0;
  const char *text = reinterpret_cast<const char *>(data);
  if (!CryptStringToBinaryA(text, static_cast<DWORD>(n), CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                            nullptr)) {
    return false;
  }
  der->resize(size);
  if (!CryptStringToBinaryA(text, static_cast<DWORD>(n), CRYPT_STRING_BASE64HEADER, der->data(), &size, nullptr,
                            nullptr)) {
    return false;
  }
  der->resize(size);
  return true;
}

}  // namespace

bool Sha1(const uint8_t *first, size_t firstLength, const uint8_t *second, size_t secondLength, uint8_t digest[20]) {
  if (firstLength > MAXDWORD || secondLength > MAXDWORD) return false;
  Provider provider;
  Hash hash;
  DWORD n = 20;
  return provider.handle != 0 && CryptCreateHash(provider.handle, CALG_SHA1, 0, 0, &hash.handle) &&
         CryptHashData(hash.handle, first, static_cast<DWORD>(firstLength), 0) &&
         (secondLength == 0 || CryptHashData(hash.handle, second, static_cast<DWORD>(secondLength), 0)) &&
         CryptGetHashParam(hash.handle, HP_HASHVAL, digest, &n, 0) && n == 20;
}

int SignedContent(const uint8_t *certificate, size_t certificateLength, const uint8_t *message, size_t messageLength,
                  std::string *content) {
  if (certificateLength > MAXDWORD || messageLength > MAXDWORD) return AMBER_VERIFIER_BAD_ARGUMENT;
  std::vector<uint8_t> der;
  Certificate given;
  if (!CertificateDer(certificate, certificateLength, &der) || der.empty()) return AMBER_VERIFIER_BAD_ARGUMENT;
  given.context = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (given.context == nullptr) return AMBER_VERIFIER_BAD_ARGUMENT;
  if (messageLength == 0) return AMBER_VERIFIER_INVALID;

  const DWORD length = static_cast<DWORD>(messageLength);
  if (CryptGetMessageSignerCount(kEncoding, message, length) != 1) return AMBER_VERIFIER_INVALID;
  CRYPT_VERIFY_MESSAGE_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = kEncoding;
  DWORD size = 0;
  if (!CryptVerifyMessageSignature(&para, 0, message, length, nullptr, &size, nullptr)) {
    return AMBER_VERIFIER_INVALID;
  }
  std::vector<uint8_t> data(size + 1);
  Certificate signer;
  if (!CryptVerifyMessageSignature(&para, 0, message, length, data.data(), &size, &signer.context)) {
    return AMBER_VERIFIER_INVALID;
  }
  // CryptoAPI checked the signature with the certificate the message carries
  // under the signer's issuer and serial number, which anyone can mint for a
  // key of their own: it must be the given certificate, byte for byte.
  if (signer.context == nullptr || signer.context->cbCertEncoded != given.context->cbCertEncoded ||
      memcmp(signer.context->pbCertEncoded, given.context->pbCertEncoded, given.context->cbCertEncoded) != 0) {
    return AMBER_VERIFIER_INVALID;
  }
  content->assign(data.begin(), data.begin() + size);
  return AMBER_VERIFIER_VALID;
}

void Wipe(void *data, size_t n) { SecureZeroMemory(data, n); }

}  // namespace ambercrypt::verifier
