// crypt_message.cc: PKCS#7 signed messages on OpenSSL 3, encoded here byte
// for byte as CryptSignMessage encodes them: SignedData version 1, the hash
// OID as given with NULL parameters, no attributes, rsaEncryption, PKCS#1 v1.5
// over SHA-1. Verification also takes messages with signed attributes.
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/cert_context.h"
#include "platform/posix/openssl_error.h"
#include "platform/win32_api.h"
#include "platform/wiping_allocator.h"

namespace ambercrypt::posix {
namespace {

const char kSha1RsaOid[] = szOID_RSA_SHA1RSA;
const char kSha1Oid[] = szOID_OIWSEC_sha1;

// ---- DER encoding ---------------------------------------------------------

// What a message is built in: the signed content passes through every part
// that encloses it, so each buffer is wiped before it is given back.
using Der = std::vector<uint8_t, WipingAllocator<uint8_t>>;

void AppendLength(Der &out, size_t n) {
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
    return;
  }
  uint8_t digits[8];
  int count = 0;
  for (size_t v = n; v != 0; v >>= 8) digits[count++] = static_cast<uint8_t>(v);
  out.push_back(static_cast<uint8_t>(0x80 | count));
  while (count > 0) out.push_back(digits[--count]);
}

Der Tlv(uint8_t tag, const Der &content) {
  Der out{tag};
  AppendLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Der Concat(std::initializer_list<Der> parts) {
  Der out;
  for (const Der &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool EncodeOid(const char *text, Der &out) {
  ASN1_OBJECT *obj = OBJ_txt2obj(text, 1);
  if (obj == nullptr) return false;
  int n = i2d_ASN1_OBJECT(obj, nullptr);
  bool ok = n > 0;
  if (ok) {
    out.resize(static_cast<size_t>(n));
    uint8_t *p = out.data();
    ok = i2d_ASN1_OBJECT(obj, &p) == n;
  }
  ASN1_OBJECT_free(obj);
  return ok;
}

// AlgorithmIdentifier with the given parameters, or NULL when there are none.
bool EncodeAlgorithm(const char *oid, const CRYPT_OBJID_BLOB &params, Der &out) {
  Der encodedOid;
  if (!EncodeOid(oid, encodedOid)) return false;
  Der p = params.cbData != 0 ? Der(params.pbData, params.pbData + params.cbData) : Der{0x05, 0x00};
  out = Tlv(0x30, Concat({encodedOid, p}));
  return true;
}

// The DER of IssuerAndSerialNumber taken from the certificate itself.
bool IssuerAndSerial(const CertContextImpl &c, Der &out) {
  const uint8_t *p = c.der.data();
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(c.der.size())));
  Bytes serial;
  if (!cert || !ToDer(const_cast<ASN1_INTEGER *>(X509_get0_serialNumber(cert.get())), i2d_ASN1_INTEGER, serial)) {
    return false;
  }
  out = Tlv(0x30, Concat({Der(c.issuer.begin(), c.issuer.end()), Der(serial.begin(), serial.end())}));
  return true;
}

bool IsSha1Oid(const char *oid) { return strcmp(oid, kSha1RsaOid) == 0 || strcmp(oid, kSha1Oid) == 0; }

// The signer's private key, from its file beside the certificate.
EvpPkeyPtr ReadSigningKey(const std::string &keyPath) {
  BioPtr bio(OpenStoreFile(keyPath));
  if (!bio) return nullptr;
  return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

// The length of an RSA PKCS#1 v1.5 signature by key: its modulus's, 0 when
// the key is no RSA key.
size_t RsaSignatureLength(EVP_PKEY *key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return 0;
  const int size = EVP_PKEY_get_size(key);
  return size > 0 ? static_cast<size_t>(size) : 0;
}

bool RsaSha1Sign(EVP_PKEY *key, const uint8_t digest[20], Bytes &signature) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t size = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &size, digest, 20) != 1) {
    return false;
  }
  signature.resize(size);
  if (EVP_PKEY_sign(ctx.get(), signature.data(), &size, digest, 20) != 1) return false;
  signature.resize(size);
  return true;
}

// ---- Lengths, reckoned in 64 bits ----------------------------------------

// The DER length of an element whose content is n bytes: tag, length octets, content.
uint64_t TlvLength(uint64_t n) {
  uint64_t octets = 1;
  if (n >= 0x80) {
    for (uint64_t v = n; v != 0; v >>= 8) ++octets;
  }
  return 1 + octets + n;
}

// The parts of a signed message other than the content, as Tlv and Concat
// put them together in CryptSignMessage.
struct MessageParts {
  uint64_t digestAlgorithm, rsaAlgorithm, dataOid, signedDataOid, signerId, certificates, signature;
  bool detached, withCertificates;
};

// The length of the message CryptSignMessage builds around contentLength
// bytes, known before the content is read.
uint64_t SignedMessageLength(const MessageParts &p, uint64_t contentLength) {
  const uint64_t version = 3;
  const uint64_t contentInfo =
      p.detached ? TlvLength(p.dataOid) : TlvLength(p.dataOid + TlvLength(TlvLength(contentLength)));
  const uint64_t signerInfo =
      TlvLength(version + p.signerId + p.digestAlgorithm + p.rsaAlgorithm + TlvLength(p.signature));
  uint64_t signedData = version + TlvLength(p.digestAlgorithm) + contentInfo;
  if (p.withCertificates) signedData += TlvLength(p.certificates);
  signedData += TlvLength(signerInfo);
  return TlvLength(p.signedDataOid + TlvLength(TlvLength(signedData)));
}

// Whether the message encoding type names PKCS #7 alone in its high word, as
// CryptoAPI requires of a message's encoding.
bool IsPkcs7Encoding(DWORD encoding) { return (encoding & 0xFFFF0000u) == PKCS_7_ASN_ENCODING; }

// What CryptoAPI's decoder says of a message's outermost header before it
// reads further: ERROR_SUCCESS when the header and the length it states are
// all there (an indefinite length is left to the parser).
long OuterHeaderError(const uint8_t *p, DWORD n) {
  if (n == 0) return CRYPT_E_ASN1_EOD;
  if (p[0] != 0x30) return CRYPT_E_ASN1_BADTAG;
  if (n < 2) return CRYPT_E_ASN1_CORRUPT;
  if (p[1] < 0x80) return uint64_t{p[1]} + 2 > n ? CRYPT_E_ASN1_EOD : ERROR_SUCCESS;
  if (p[1] == 0x80) return ERROR_SUCCESS;
  const DWORD octets = p[1] & 0x7fu;
  if (octets > 4) return CRYPT_E_ASN1_LARGE;
  // The length octets and at least one byte after them, or the header is
  // corrupt rather than cut short.
  if (uint64_t{octets} + 3 > n) return CRYPT_E_ASN1_CORRUPT;
  uint64_t length = 0;
  for (DWORD i = 0; i < octets; ++i) length = length << 8 | p[2 + i];
  return length + 2 + octets > n ? CRYPT_E_ASN1_EOD : ERROR_SUCCESS;
}

bool RsaSha1Verify(X509 *cert, const uint8_t digest[20], const uint8_t *sig, size_t sigLength) {
  EVP_PKEY *key = X509_get0_pubkey(cert);
  if (key == nullptr) return false;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha1()) == 1 &&
         EVP_PKEY_verify(ctx.get(), sig, sigLength, digest, 20) == 1;
}

}  // namespace
}  // namespace ambercrypt::posix

using namespace ambercrypt::posix;

extern "C" {

BOOL WINAPI CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature, DWORD cToBeSigned,
                             const BYTE *rgpbToBeSigned[], DWORD rgcbToBeSigned[], BYTE *pbSignedBlob,
                             DWORD *pcbSignedBlob) {
  if (pcbSignedBlob == nullptr) return FailWith(E_INVALIDARG);
  // Parameters of the wrong size or encoding: the size is 0, as CryptoAPI
  // answers them.
  if (pSignPara == nullptr || pSignPara->cbSize != sizeof(CRYPT_SIGN_MESSAGE_PARA) ||
      !IsPkcs7Encoding(pSignPara->dwMsgEncodingType)) {
    *pcbSignedBlob = 0;
    return FailWith(E_INVALIDARG);
  }
  // Attached content of no block, which Windows signs as empty, is refused.
  if ((cToBeSigned != 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr)) ||
      (!fDetachedSignature && cToBeSigned == 0)) {
    return FailWith(E_INVALIDARG);
  }
  // Attached content is one block: CryptoAPI's message takes no more.
  if (!fDetachedSignature && cToBeSigned > 1) return FailWith(CRYPT_E_MSG_ERROR);
  if (pSignPara->cMsgCrl != 0 || pSignPara->cAuthAttr != 0 || pSignPara->cUnauthAttr != 0 ||
      pSignPara->dwInnerContentType != 0 || pSignPara->pvHashAuxInfo != nullptr) {
    return FailWith(E_NOTIMPL);
  }
  if (pSignPara->HashAlgorithm.pszObjId == nullptr || !IsSha1Oid(pSignPara->HashAlgorithm.pszObjId)) {
    return FailWith(CRYPT_E_UNKNOWN_ALGO);
  }
  CertContextImpl *signer = AsContext(pSignPara->pSigningCert);
  if (signer == nullptr) return FailWith(E_INVALIDARG);
  if (signer->keyPath.empty()) return FailWith(CRYPT_E_NO_KEY_PROPERTY);
  EvpPkeyPtr key = ReadSigningKey(signer->keyPath);
  const size_t signatureLength = key ? RsaSignatureLength(key.get()) : 0;
  if (signatureLength == 0) return FailWith(NTE_BAD_KEY);

  // Everything but the content first: the message's length is then known
  // before any byte of the content is read, and one that its DWORD cannot
  // state is refused rather than cut.
  Der digestAlgorithm, rsaAlgorithm, dataOid, signedDataOid, signerId;
  CRYPT_OBJID_BLOB none{0, nullptr};
  if (!EncodeAlgorithm(pSignPara->HashAlgorithm.pszObjId, pSignPara->HashAlgorithm.Parameters, digestAlgorithm) ||
      !EncodeAlgorithm(szOID_RSA_RSA, none, rsaAlgorithm) || !EncodeOid(szOID_RSA_data, dataOid) ||
      !EncodeOid(szOID_RSA_signedData, signedDataOid) || !IssuerAndSerial(*signer, signerId)) {
    return FailWith(NTE_FAIL);
  }
  Der certificates;
  for (DWORD i = 0; i < pSignPara->cMsgCert; ++i) {
    CertContextImpl *c = AsContext(pSignPara->rgpMsgCert[i]);
    if (c == nullptr) return FailWith(E_INVALIDARG);
    certificates.insert(certificates.end(), c->der.begin(), c->der.end());
  }
  uint64_t contentLength = 0;
  for (DWORD i = 0; i < cToBeSigned; ++i) contentLength += rgcbToBeSigned[i];
  const MessageParts parts{digestAlgorithm.size(), rsaAlgorithm.size(), dataOid.size(),  signedDataOid.size(),
                           signerId.size(),        certificates.size(), signatureLength, fDetachedSignature != FALSE,
                           pSignPara->cMsgCert != 0};
  const uint64_t messageLength = SignedMessageLength(parts, contentLength);
  if (messageLength > 0xFFFFFFFFu) return FailWith(NTE_BAD_LEN);

  Der content;
  for (DWORD i = 0; i < cToBeSigned; ++i) {
    if (rgcbToBeSigned[i] != 0) {
      content.insert(content.end(), rgpbToBeSigned[i], rgpbToBeSigned[i] + rgcbToBeSigned[i]);
    }
  }
  uint8_t digest[20];
  unsigned int digestSize = 0;
  if (EVP_Digest(content.data(), content.size(), digest, &digestSize, EVP_sha1(), nullptr) != 1) {
    return FailWith(NTE_FAIL);
  }
  Bytes signature;
  if (!RsaSha1Sign(key.get(), digest, signature)) return FailWith(NTE_BAD_KEY);

  const Der version{0x02, 0x01, 0x01};
  Der contentInfo = fDetachedSignature ? Tlv(0x30, dataOid)
                                       : Tlv(0x30, Concat({dataOid, Tlv(0xa0, Tlv(0x04, content))}));
  const Der encryptedDigest = Tlv(0x04, Der(signature.begin(), signature.end()));
  Der signerInfo = Tlv(0x30, Concat({version, signerId, digestAlgorithm, rsaAlgorithm, encryptedDigest}));
  Der signedData = Concat({version, Tlv(0x31, digestAlgorithm), contentInfo});
  if (pSignPara->cMsgCert != 0) signedData = Concat({signedData, Tlv(0xa0, certificates)});
  signedData = Concat({signedData, Tlv(0x31, signerInfo)});
  Der message = Tlv(0x30, Concat({signedDataOid, Tlv(0xa0, Tlv(0x30, signedData))}));
  // The length reckoned before the content was read is the one built.
  if (message.size() != messageLength) return FailWith(NTE_FAIL);
  return CopyOut(message.data(), static_cast<DWORD>(message.size()), pbSignedBlob, pcbSignedBlob);
}

BOOL WINAPI CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                        const BYTE *pbSignedBlob, DWORD cbSignedBlob, BYTE *pbDecoded,
                                        DWORD *pcbDecoded, PCCERT_CONTEXT *ppSignerCert) {
  if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
  // Every failure leaves a content size of 0, as in CryptoAPI.
  struct SizeOnFailure {
    DWORD *size;
    bool verified;
    ~SizeOnFailure() {
      if (!verified && size != nullptr) *size = 0;
    }
  } sizeOnFailure{pcbDecoded, false};
  if (pVerifyPara == nullptr || pVerifyPara->cbSize != sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
      !IsPkcs7Encoding(pVerifyPara->dwMsgAndCertEncodingType) || (pbSignedBlob == nullptr && cbSignedBlob != 0)) {
    return FailWith(E_INVALIDARG);
  }
  if (pVerifyPara->pfnGetSignerCertificate != nullptr) return FailWith(E_NOTIMPL);
  const long headerError = OuterHeaderError(pbSignedBlob, cbSignedBlob);
  if (headerError != ERROR_SUCCESS) return FailWith(headerError);
  const uint8_t *p = pbSignedBlob;
  Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(cbSignedBlob)));
  if (!p7) return FailWith(CRYPT_E_ASN1_BADTAG);
  if (!PKCS7_type_is_signed(p7.get())) return FailWith(CRYPT_E_UNEXPECTED_MSG_TYPE);
  PKCS7_SIGNED *sd = p7->d.sign;
  if (sd == nullptr || sd->contents == nullptr || !PKCS7_type_is_data(sd->contents) ||
      sd->contents->d.data == nullptr) {
    return FailWith(CRYPT_E_UNEXPECTED_MSG_TYPE);
  }
  // The content may be a plaintext record: wiped before the parsed message
  // is freed, whichever way this returns.
  struct ContentWipe {
    ASN1_OCTET_STRING *content;
    ~ContentWipe() {
      if (content->data != nullptr) OPENSSL_cleanse(content->data, static_cast<size_t>(content->length));
    }
  } contentWipe{sd->contents->d.data};
  // The content goes out once the message decodes, before its signer is
  // looked for, as CryptoAPI hands it out; a failure after that still fails
  // the call, and its size is 0.
  const ASN1_OCTET_STRING *data = sd->contents->d.data;
  if (pcbDecoded != nullptr && !CopyOut(data->data, static_cast<DWORD>(data->length), pbDecoded, pcbDecoded)) {
    return FALSE;
  }
  STACK_OF(PKCS7_SIGNER_INFO) *signers = PKCS7_get_signer_info(p7.get());
  if (signers == nullptr || dwSignerIndex >= static_cast<DWORD>(sk_PKCS7_SIGNER_INFO_num(signers))) {
    return FailWith(CRYPT_E_UNEXPECTED_MSG_TYPE);
  }
  PKCS7_SIGNER_INFO *si = sk_PKCS7_SIGNER_INFO_value(signers, static_cast<int>(dwSignerIndex));
  X509 *signerCert = nullptr;
  for (int i = 0; sd->cert != nullptr && i < sk_X509_num(sd->cert); ++i) {
    X509 *c = sk_X509_value(sd->cert, i);
    if (X509_NAME_cmp(X509_get_issuer_name(c), si->issuer_and_serial->issuer) == 0 &&
        ASN1_INTEGER_cmp(X509_get0_serialNumber(c), si->issuer_and_serial->serial) == 0) {
      signerCert = c;
      break;
    }
  }
  if (signerCert == nullptr) return FailWith(CRYPT_E_NOT_FOUND);
  const ASN1_OBJECT *digestObj = nullptr;
  X509_ALGOR_get0(&digestObj, nullptr, nullptr, si->digest_alg);
  if (!IsSha1Oid(OidText(digestObj).c_str())) return FailWith(NTE_BAD_ALGID);

  uint8_t digest[20];
  unsigned int digestSize = 0;
  if (EVP_Digest(data->data, static_cast<size_t>(data->length), digest, &digestSize, EVP_sha1(), nullptr) != 1) {
    return FailWith(NTE_FAIL);
  }
  if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    // With authenticated attributes the signature covers them, and they hold
    // the content's digest.
    ASN1_TYPE *md = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
    if (md == nullptr || md->type != V_ASN1_OCTET_STRING || md->value.octet_string->length != 20 ||
        CRYPTO_memcmp(md->value.octet_string->data, digest, 20) != 0) {
      return FailWith(CRYPT_E_HASH_VALUE);
    }
    unsigned char *attrs = nullptr;
    int attrsLength =
        ASN1_item_i2d(reinterpret_cast<ASN1_VALUE *>(si->auth_attr), &attrs, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (attrsLength <= 0) return FailWith(NTE_FAIL);
    bool ok = EVP_Digest(attrs, static_cast<size_t>(attrsLength), digest, &digestSize, EVP_sha1(), nullptr) == 1;
    OPENSSL_free(attrs);
    if (!ok) return FailWith(NTE_FAIL);
  }
  if (!RsaSha1Verify(signerCert, digest, si->enc_digest->data, static_cast<size_t>(si->enc_digest->length))) {
    return FailWith(NTE_BAD_SIGNATURE);
  }
  // The signer goes out only with a successful verification, size queries
  // included, as CryptoAPI hands it out: callers judge who signed by it.
  if (ppSignerCert != nullptr) {
    Bytes der;
    std::unique_ptr<CertContextImpl> impl;
    if (ToDer(signerCert, i2d_X509, der)) impl = MakeContext(der, std::string(), nullptr, 0);
    if (!impl) return FailWith(NTE_NO_MEMORY);
    *ppSignerCert = &impl.release()->context;
  }
  sizeOnFailure.verified = true;
  return TRUE;
}

}  // extern "C"

