// certificate_id.h: a certificate's identification (issuer name and serial
// number) as an application's settings hold it: for each blob an encrypted
// byte count followed by the plain bytes. The BIR-signing certificate and the
// end-user certificate are stored alike. Blobs of any length the registry
// holds are read back whole. StoredCertificateId owns the bytes it read (in
// wiped buffers) and the CERT_ISSUER_SERIAL_NUMBER that points into them; one
// thread at a time. An encoding of stored values, so in store/: the signing
// certificate (trust/) and the end-user certificate (admin/) both use it.
#ifndef AMBERCRYPT_STORE_CERTIFICATE_ID_H_
#define AMBERCRYPT_STORE_CERTIFICATE_ID_H_

#include <cstdint>

#include "ambercrypt/ambercrypt.h"
#include "crypto/secure_buffer.h"
#include "platform/win32_api.h"
#include "store/setting_store.h"
#include "store/settings.h"

namespace ambercrypt {

// The four values that name one certificate, in the order they are written.
struct CertificateIdSettings {
  const Setting &issuerLength;
  const Setting &issuer;
  const Setting &serialLength;
  const Setting &serial;
};
inline constexpr CertificateIdSettings kSigningCertificate{settings::kSigningIssuerLength, settings::kSigningIssuer,
                                                           settings::kSigningSerialLength, settings::kSigningSerial};
inline constexpr CertificateIdSettings kEndUserCertificate{settings::kEndUserIssuerLength, settings::kEndUserIssuer,
                                                           settings::kEndUserSerialLength, settings::kEndUserSerial};

// The caller's IssuerSerial as the certificate functions take it (the same
// two blobs; the bytes stay the caller's).
CERT_ISSUER_SERIAL_NUMBER ToCertificateId(const IssuerSerial &issuerSerial);

// BlobsHaveTheirBytes: false when a blob has a count but no bytes (it names
// no certificate).
bool BlobsHaveTheirBytes(const IssuerSerial &issuerSerial);

// Writes issuer count, issuer bytes, serial count, serial bytes, stopping at
// the first failure, whose code it returns (values written before it stay).
// An empty blob fails its write.
uint32_t WriteCertificateId(SettingStore::Key &key, const CertificateIdSettings &names,
                            const CERT_ISSUER_SERIAL_NUMBER &id);

class StoredCertificateId {
 public:
  StoredCertificateId() = default;
  StoredCertificateId(const StoredCertificateId &) = delete;
  StoredCertificateId &operator=(const StoredCertificateId &) = delete;

  // Reads the four values from key. ERROR_SUCCESS, or the first failing
  // read's code; a count that is not positive or disagrees with the bytes
  // stored is ERROR_INVALID_DATA. On failure id() names nothing.
  uint32_t Read(SettingStore::Key &key, const CertificateIdSettings &names);
  // The identification read; its blobs point into this object.
  const CERT_ISSUER_SERIAL_NUMBER &id() const { return id_; }

 private:
  CSecureBuffer issuer_;
  CSecureBuffer serial_;
  CERT_ISSUER_SERIAL_NUMBER id_{};
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_CERTIFICATE_ID_H_
