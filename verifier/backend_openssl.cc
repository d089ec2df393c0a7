// The verifier's crypto on OpenSSL.
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "ambercrypt/verifier.h"
#include "verifier/backend.h"

namespace ambercrypt::verifier {
namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
  void operator()(T *p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Cms = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using Md = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

void FreeCertList(STACK_OF(X509) *list) { sk_X509_free(list); }
using CertList = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), FreeCertList>>;

// The certificate of a DER or PEM encoding that holds exactly one.
Cert ParseCertificate(const uint8_t *data, size_t n) {
  static const char kPemStart[] = "-----BEGIN";
  if (n >= sizeof kPemStart - 1 && memcmp(data, kPemStart, sizeof kPemStart - 1) == 0) {
    Bio bio(BIO_new_mem_buf(data, static_cast<int>(n)));
    return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  }
  const uint8_t *p = data;
  Cert cert(d2i_X509(nullptr, &p, static_cast<long>(n)));
  if (cert && p != data + n) cert.reset();
  return cert;
}

void FreeCertificates(STACK_OF(X509) *list) { sk_X509_pop_free(list, X509_free); }
using OwnedCertList = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), FreeCertificates>>;

bool CarriesCertificate(CMS_ContentInfo *cms, X509 *certificate) {
  OwnedCertList carried(CMS_get1_certs(cms));
  for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
    if (X509_cmp(sk_X509_value(carried.get(), i), certificate) == 0) return true;
  }
  return false;
}

}  // namespace

bool Sha1(const uint8_t *first, size_t firstLength, const uint8_t *second, size_t secondLength, uint8_t digest[20]) {
  Md md(EVP_MD_CTX_new());
  unsigned int n = 0;
  return md && EVP_DigestInit_ex(md.get(), EVP_sha1(), nullptr) == 1 &&
         EVP_DigestUpdate(md.get(), first, firstLength) == 1 &&
         (secondLength == 0 || EVP_DigestUpdate(md.get(), second, secondLength) == 1) &&
         EVP_DigestFinal_ex(md.get(), digest, &n) == 1 && n == 20;
}

int SignedContent(const uint8_t *certificate, size_t certificateLength, const uint8_t *message, size_t messageLength,
                  std::string *content) {
  if (certificateLength > INT32_MAX || messageLength > INT32_MAX) return AMBER_VERIFIER_BAD_ARGUMENT;
  Cert signer = ParseCertificate(certificate, certificateLength);
  if (!signer) return AMBER_VERIFIER_BAD_ARGUMENT;
  if (messageLength == 0) return AMBER_VERIFIER_INVALID;

  const uint8_t *p = message;
  Cms cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(messageLength)));
  if (!cms || p != message + messageLength) return AMBER_VERIFIER_INVALID;
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
      OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data || CMS_is_detached(cms.get()) ||
      sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) {
    return AMBER_VERIFIER_INVALID;
  }

  // The certificate the message carries for its signer is the given one, byte
  // for byte, as the library signs: a message whose carried certificate was
  // altered is an altered response, though the signature is not checked with it.
  if (!CarriesCertificate(cms.get(), signer.get())) return AMBER_VERIFIER_INVALID;

  // Only the given certificate may have signed: CMS_NOINTERN keeps the
  // certificates the message carries out of the search for the signer, and
  // whether the certificate itself is trusted is the caller's decision.
  CertList signers(sk_X509_new_null());
  if (!signers || sk_X509_push(signers.get(), signer.get()) != 1) return AMBER_VERIFIER_ERROR;
  Bio out(BIO_new(BIO_s_mem()));
  if (!out) return AMBER_VERIFIER_ERROR;
  if (CMS_verify(cms.get(), signers.get(), nullptr, nullptr, out.get(),
                 CMS_NOINTERN | CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
    return AMBER_VERIFIER_INVALID;
  }
  char *data = nullptr;
  const long n = BIO_get_mem_data(out.get(), &data);
  if (n < 0) return AMBER_VERIFIER_ERROR;
  content->assign(data, static_cast<size_t>(n));
  return AMBER_VERIFIER_VALID;
}

void Wipe(void *data, size_t n) { OPENSSL_cleanse(data, n); }

}  // namespace ambercrypt::verifier
