// cert_context.h: certificate contexts of the Linux "ROOT"-style stores,
// shared by the store (cert_store.cc) and the message functions
// (crypt_message.cc). A context owns every buffer its CERT_INFO points into,
// and outlives the store it was found in. Internal to platform/posix.
#ifndef AMBERCRYPT_PLATFORM_POSIX_CERT_CONTEXT_H_
#define AMBERCRYPT_PLATFORM_POSIX_CERT_CONTEXT_H_

#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {

using Bytes = std::vector<uint8_t>;

// A context owns everything its CERT_INFO points into; it outlives its store.
struct CertContextImpl {
  CERT_CONTEXT context;  // first, so the public pointer is the impl's address
  size_t index = 0;      // position in the store it was found in
  std::string keyPath;
  Bytes der, serial, issuer, subject, signatureParams, keyAlgorithmParams, publicKey;
  std::string signatureOid, keyAlgorithmOid;
  std::vector<std::string> extensionOids;
  std::vector<Bytes> extensionValues;
  std::vector<CERT_EXTENSION> extensions;
  CERT_INFO info;
  HandleRegistration registration{this, HandleKind::kCertificate};
};

// The context behind a public pointer, or null when it is not one of ours.
CertContextImpl *AsContext(PCCERT_CONTEXT c);

// A context for a DER certificate; keyPath is its private key's file, if any.
std::unique_ptr<CertContextImpl> MakeContext(const Bytes &der, const std::string &keyPath, HCERTSTORE store,
                                             size_t index);

// An OID in dotted form.
std::string OidText(const ASN1_OBJECT *obj);

// A file of a certificate store, for reading: never through a symbolic link,
// only a regular file (a FIFO planted there would hang the reader). Null when
// it cannot be had.
BIO *OpenStoreFile(const std::string &path);

template <typename T, typename F>
bool ToDer(T *object, F encode, Bytes &out) {
  int n = encode(object, nullptr);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  uint8_t *p = out.data();
  return encode(object, &p) == n;
}

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_CERT_CONTEXT_H_
