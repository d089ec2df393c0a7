#include "crypto/ccrypt.h"

#include <algorithm>
#include <cstring>

#include "crypto/secure_buffer.h"

namespace ambercrypt {
namespace {

constexpr uint32_t kOk = ERROR_SUCCESS;
constexpr uint32_t kMissingArgument = ERROR_INVALID_PARAMETER;  // 87
constexpr uint32_t kNoHandle = ERROR_INVALID_HANDLE;            // 6
constexpr uint32_t kTooLong = ERROR_ARITHMETIC_OVERFLOW;         // 534
constexpr uint64_t kLargestLength = 0xFFFFFFFFu;
// What a signed message adds to its content besides the certificate's bytes
// (carried once, and bounding the issuer, serial and signature of the signer
// info): algorithm identifiers, object identifiers and headers.
constexpr uint64_t kMessageFraming = 512;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
char kSignatureOid[] = szOID_RSA_SHA1RSA;

uint32_t LastError() { return static_cast<uint32_t>(GetLastError()); }

// The wiped buffer a message function writes into before the bytes are
// copied to output: none for a size query; else the caller's capacity, and
// never a null buffer, which the platform would take for a size query and
// then report bytes that were never written.
CSecureBuffer OutputWork(const uint8_t *output, const uint32_t *outputLength) {
  if (output == nullptr) return CSecureBuffer();
  return CSecureBuffer(std::max<uint32_t>(*outputLength, 1));
}

bool IsAes(ALG_ID algorithm) {
  return algorithm == CALG_AES_128 || algorithm == CALG_AES_192 || algorithm == CALG_AES_256;
}

}  // namespace

CCrypt::CCrypt()
    : provider(0),
      derivedKey(0),
      hash(0),
      keyAlgorithm(CALG_3DES),
      hashAlgorithm(CALG_SHA1),
      certStore(nullptr),
      certificate(nullptr) {
  AcquireProvider(PROV_RSA_FULL);  // a failure shows as 6 from every later call
}

CCrypt::~CCrypt() { Release(); }

uint32_t CCrypt::AcquireProvider(DWORD providerType) {
  HCRYPTPROV acquired = 0;
  if (!CryptAcquireContextA(&acquired, nullptr, nullptr, providerType, CRYPT_VERIFYCONTEXT)) {
    provider = 0;
    return LastError();
  }
  provider = acquired;
  return kOk;
}

uint32_t CCrypt::SetAlgorithm(ALG_ID algorithm) {
  keyAlgorithm = algorithm;
  DWORD type = IsAes(algorithm) ? PROV_RSA_AES : PROV_RSA_FULL;
  if (provider != 0) Release();
  return AcquireProvider(type);
}

void CCrypt::DestroyHash() {
  if (hash != 0) CryptDestroyHash(hash);
  hash = 0;
}

void CCrypt::DestroyDerivedKey() {
  if (derivedKey != 0) CryptDestroyKey(derivedKey);
  derivedKey = 0;
  keptMaterial = CSecureBuffer();
}

uint32_t CCrypt::DeriveKey(const uint8_t *material, uint32_t materialLength) {
  if (material == nullptr || materialLength == 0) return kMissingArgument;
  if (provider == 0) return kNoHandle;
  DestroyHash();
  DestroyDerivedKey();
  uint32_t result = kOk;
  if (!CryptCreateHash(provider, hashAlgorithm, 0, 0, &hash)) {
    hash = 0;
    return LastError();
  }
  if (!CryptHashData(hash, material, materialLength, 0) ||
      !CryptDeriveKey(provider, keyAlgorithm, hash, CRYPT_EXPORTABLE | CRYPT_CREATE_SALT, &derivedKey)) {
    result = LastError();
    derivedKey = 0;
  }
  DestroyHash();
  return result;
}

uint32_t CCrypt::SetKeyParameters(const uint8_t *material, uint32_t materialLength, const uint8_t *iv,
                                  uint32_t ivLength) {
  const bool keep = derivedKey != 0 && material != nullptr && keptMaterial.size() == materialLength &&
                    materialLength != 0 && keptAlgorithm == keyAlgorithm &&
                    ConstantTimeEqual(keptMaterial.data(), material, materialLength);
  if (!keep) {
    uint32_t result = DeriveKey(material, materialLength);
    if (result != kOk) return result;
  }
  if (iv == nullptr || ivLength == 0) return kMissingArgument;
  if (derivedKey == 0) return kNoHandle;
  if (!keep) {
    DWORD blockBits = 0;
    DWORD size = sizeof blockBits;
    if (!CryptGetKeyParam(derivedKey, KP_BLOCKLEN, reinterpret_cast<BYTE *>(&blockBits), &size, 0)) {
      return LastError();
    }
    keptBlockBytes = std::max<uint32_t>(blockBits / 8, 1);
  }
  CSecureBuffer block(keptBlockBytes);
  memcpy(block.data(), iv, std::min(ivLength, keptBlockBytes));
  if (!CryptSetKeyParam(derivedKey, KP_IV, block.data(), 0)) return LastError();
  if (!keep) {
    keptMaterial = CSecureBuffer::Kept(material, materialLength);
    keptAlgorithm = keyAlgorithm;
  }
  return kOk;
}

uint32_t CCrypt::Encrypt(uint8_t *buffer, uint32_t *dataLength, uint32_t bufferSize, const uint8_t *material,
                         uint32_t materialLength, const uint8_t *iv, uint32_t ivLength) {
  if (dataLength == nullptr || *dataLength == 0) return kMissingArgument;
  if (material == nullptr || materialLength == 0) return kMissingArgument;
  if (iv == nullptr) return kMissingArgument;
  if (buffer != nullptr && bufferSize == 0) return kMissingArgument;
  uint32_t result = SetKeyParameters(material, materialLength, iv, ivLength);
  if (result != kOk) return result;

  // The ciphertext length in 64 bits, before the platform is asked: CryptEncrypt
  // reckons in a DWORD, and near 4 GiB Windows' answer wraps to a few bytes.
  const uint64_t expected = (uint64_t{*dataLength / keptBlockBytes} + 1) * keptBlockBytes;
  if (expected > kLargestLength) return kTooLong;
  DWORD cipherSize = *dataLength;
  if (!CryptEncrypt(derivedKey, 0, TRUE, 0, nullptr, &cipherSize, 0)) return LastError();
  if (cipherSize != expected) return ERROR_INVALID_DATA;  // never a size the data does not fit
  if (buffer == nullptr) {
    *dataLength = cipherSize;
    return kOk;
  }
  if (bufferSize < cipherSize) {
    *dataLength = cipherSize;
    return static_cast<uint32_t>(NTE_BAD_LEN);
  }
  CSecureBuffer work(buffer, cipherSize);
  DWORD length = *dataLength;
  if (!CryptEncrypt(derivedKey, 0, TRUE, 0, work.data(), &length, cipherSize)) return LastError();
  memcpy(buffer, work.data(), length);
  *dataLength = length;
  return kOk;
}

uint32_t CCrypt::Decrypt(uint8_t *buffer, uint32_t *dataLength, const uint8_t *material, uint32_t materialLength,
                         const uint8_t *iv, uint32_t ivLength) {
  if (buffer == nullptr || dataLength == nullptr || *dataLength == 0) return kMissingArgument;
  if (material == nullptr || materialLength == 0 || iv == nullptr) return kMissingArgument;
  uint32_t result = SetKeyParameters(material, materialLength, iv, ivLength);
  if (result != kOk) return result;
  // The platform's own verdict on such a length, given before the copy.
  if (*dataLength % keptBlockBytes != 0) return static_cast<uint32_t>(NTE_BAD_DATA);
  CSecureBuffer work(buffer, *dataLength);
  DWORD length = *dataLength;
  if (!CryptDecrypt(derivedKey, 0, TRUE, 0, work.data(), &length)) return LastError();
  memcpy(buffer, work.data(), length);
  *dataLength = length;
  return kOk;
}

uint32_t CCrypt::CipherBlockBytes() const {
  if (IsAes(keyAlgorithm)) return 16;
  return keyAlgorithm == CALG_3DES ? 8 : 0;
}

uint32_t CCrypt::Hash(const uint8_t *data, uint32_t length, uint8_t *digest, uint32_t *digestLength) {
  if (data == nullptr || length == 0 || digest == nullptr || digestLength == nullptr) return kMissingArgument;
  uint32_t result = BeginHash();
  if (result == kOk) result = HashMore(data, length);
  if (result == kOk) result = EndHash(digest, digestLength);
  return result;
}

uint32_t CCrypt::BeginHash() {
  if (provider == 0) return kNoHandle;
  DestroyHash();
  if (!CryptCreateHash(provider, hashAlgorithm, 0, 0, &hash)) {
    hash = 0;
    return LastError();
  }
  return kOk;
}

uint32_t CCrypt::HashMore(const uint8_t *data, uint32_t length) {
  if (data == nullptr && length != 0) return kMissingArgument;
  if (hash == 0) return kNoHandle;
  if (length != 0 && !CryptHashData(hash, data, length, 0)) return LastError();
  return kOk;
}

uint32_t CCrypt::EndHash(uint8_t *digest, uint32_t *digestLength) {
  if (digest == nullptr || digestLength == nullptr) return kMissingArgument;
  if (hash == 0) return kNoHandle;
  DWORD size = *digestLength;
  uint32_t result = kOk;
  if (!CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
    result = LastError();
  } else {
    *digestLength = size;
  }
  DestroyHash();
  return result;
}

uint32_t CCrypt::Hmac(const uint8_t *data, uint32_t length, uint8_t *mac, uint32_t *macLength,
                      const uint8_t *material, uint32_t materialLength) {
  if (data == nullptr || length == 0 || mac == nullptr || macLength == nullptr || *macLength == 0 ||
      material == nullptr) {
    return kMissingArgument;
  }
  if (provider == 0) return kNoHandle;
  uint32_t result = DeriveKey(material, materialLength);
  if (result != kOk) return result;
  HCRYPTHASH hmac = 0;
  if (!CryptCreateHash(provider, CALG_HMAC, derivedKey, 0, &hmac)) return LastError();
  HMAC_INFO info;
  memset(&info, 0, sizeof info);
  info.HashAlgid = CALG_SHA1;
  DWORD size = *macLength;
  if (!CryptSetHashParam(hmac, HP_HMAC_INFO, reinterpret_cast<const BYTE *>(&info), 0) ||
      !CryptHashData(hmac, data, length, 0) || !CryptGetHashParam(hmac, HP_HASHVAL, mac, &size, 0)) {
    result = LastError();
  } else {
    *macLength = size;
  }
  CryptDestroyHash(hmac);
  return result;
}

uint32_t CCrypt::FindCertificate(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial) {
  if (issuerSerial == nullptr) return kMissingArgument;
  if (provider == 0) return kNoHandle;
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  certificate = nullptr;
  if (certStore != nullptr) CertCloseStore(certStore, CERT_CLOSE_STORE_CHECK_FLAG);
  certStore = CertOpenSystemStoreA(provider, "ROOT");
  if (certStore == nullptr) return LastError();
  CERT_ID id;
  memset(&id, 0, sizeof id);
  id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id.IssuerSerialNumber = *issuerSerial;
  certificate = CertFindCertificateInStore(certStore, kEncoding, 0, CERT_FIND_CERT_ID, &id, nullptr);
  if (certificate == nullptr) return LastError();
  return kOk;
}

uint32_t CCrypt::FindCertificateFor(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial, const uint8_t *input,
                                    uint32_t inputLength, const uint32_t *outputLength) {
  if (issuerSerial == nullptr || input == nullptr || inputLength == 0 || outputLength == nullptr) {
    return kMissingArgument;
  }
  return FindCertificate(issuerSerial);
}

uint32_t CCrypt::SignMessage(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial, const uint8_t *data, uint32_t length,
                             uint8_t *output, uint32_t *outputLength) {
  uint32_t result = FindCertificateFor(issuerSerial, data, length, outputLength);
  if (result != kOk) return result;
  // The message's length must fit its DWORD: content near 4 GiB is refused
  // here, before CryptSignMessage would read it all to answer a size it
  // cannot state.
  if (uint64_t{length} + 4 * uint64_t{certificate->cbCertEncoded} + kMessageFraming > kLargestLength) {
    return kTooLong;
  }

  CRYPT_SIGN_MESSAGE_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.dwMsgEncodingType = kEncoding;
  para.pSigningCert = certificate;
  para.HashAlgorithm.pszObjId = kSignatureOid;
  para.cMsgCert = 1;
  para.rgpMsgCert = &certificate;
  const BYTE *blocks[1] = {data};
  DWORD sizes[1] = {length};

  // A null output asks the size only; otherwise the message is made in a
  // wiped buffer of the caller's capacity and copied out.
  CSecureBuffer work = OutputWork(output, outputLength);
  DWORD size = output != nullptr ? *outputLength : 0;
  if (!CryptSignMessage(&para, FALSE, 1, blocks, sizes, work.data(), &size)) {
    return LastError();
  }
  if (output != nullptr) memcpy(output, work.data(), size);
  *outputLength = size;
  return kOk;
}

uint32_t CCrypt::VerifyMessage(const CERT_ISSUER_SERIAL_NUMBER *issuerSerial, const uint8_t *signedMessage,
                               uint32_t messageLength, uint8_t *output, uint32_t *outputLength) {
  uint32_t result = FindCertificateFor(issuerSerial, signedMessage, messageLength, outputLength);
  if (result != kOk) return result;

  CRYPT_VERIFY_MESSAGE_PARA para;
  memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = kEncoding;

  // A null output asks the content size only; otherwise the content comes
  // out in a wiped buffer of the caller's capacity.
  PCCERT_CONTEXT signer = nullptr;
  CSecureBuffer work = OutputWork(output, outputLength);
  DWORD size = output != nullptr ? *outputLength : 0;
  if (!CryptVerifyMessageSignature(&para, 0, signedMessage, messageLength, work.data(), &size, &signer)) {
    return LastError();
  }
  result = RequireNamedSigner(signer);
  if (result != kOk) return result;
  if (output != nullptr) memcpy(output, work.data(), size);
  *outputLength = size;
  return kOk;
}

uint32_t CCrypt::RequireNamedSigner(PCCERT_CONTEXT signer) const {
  // CryptVerifyMessageSignature checks the signature against whichever
  // certificate the message carries under the signer's issuer and serial
  // number, and anyone can mint such a certificate for a key of their own. Only
  // the very certificate found in "ROOT" may have signed.
  bool same = signer != nullptr && certificate != nullptr && signer->cbCertEncoded == certificate->cbCertEncoded &&
              memcmp(signer->pbCertEncoded, certificate->pbCertEncoded, certificate->cbCertEncoded) == 0;
  if (signer != nullptr) CertFreeCertificateContext(signer);
  return same ? kOk : static_cast<uint32_t>(CRYPT_E_SIGNER_NOT_FOUND);
}

uint32_t CCrypt::Release() {
  DestroyDerivedKey();
  DestroyHash();
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  certificate = nullptr;
  if (certStore != nullptr) CertCloseStore(certStore, CERT_CLOSE_STORE_CHECK_FLAG);
  certStore = nullptr;
  if (provider != 0) CryptReleaseContext(provider, 0);
  provider = 0;
  return kOk;
}

}  // namespace ambercrypt
