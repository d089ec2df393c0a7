#include "store/certificate_id.h"

#include <utility>

namespace ambercrypt {
namespace {

uint32_t WriteBlob(SettingStore::Key &key, const Setting &length, const Setting &bytes, const CRYPT_INTEGER_BLOB &blob) {
  uint32_t status = key.WriteInt(length, static_cast<int32_t>(blob.cbData));
  if (status != ERROR_SUCCESS) return status;
  return key.WriteBytes(bytes, blob.pbData, blob.cbData);
}

// One blob: its count, then exactly that many stored bytes.
uint32_t ReadBlob(SettingStore::Key &key, const Setting &length, const Setting &bytes, CSecureBuffer *out) {
  int32_t count = 0;
  uint32_t status = key.ReadInt(length, &count);
  if (status != ERROR_SUCCESS) return status;
  if (count <= 0) return ERROR_INVALID_DATA;
  // The stored size before anything is allocated: a count that disagrees with
  // it (however large) is refused without a buffer of that many bytes.
  uint8_t probe = 0;
  uint32_t stored = 1;
  status = key.ReadBytes(bytes, &probe, &stored);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return status;
  if (stored != static_cast<uint32_t>(count)) return ERROR_INVALID_DATA;
  CSecureBuffer blob(static_cast<uint32_t>(count));
  uint32_t read = blob.size();
  status = key.ReadBytes(bytes, blob.data(), &read);
  if (status != ERROR_SUCCESS) return status;
  if (read != blob.size()) return ERROR_INVALID_DATA;
  *out = std::move(blob);
  return ERROR_SUCCESS;
}

CRYPT_INTEGER_BLOB BlobOf(CSecureBuffer &buffer) { return {buffer.size(), buffer.data()}; }

}  // namespace

CERT_ISSUER_SERIAL_NUMBER ToCertificateId(const IssuerSerial &issuerSerial) {
  CERT_ISSUER_SERIAL_NUMBER id;
  id.Issuer = {issuerSerial.Issuer.cbData, issuerSerial.Issuer.pbData};
  id.SerialNumber = {issuerSerial.SerialNumber.cbData, issuerSerial.SerialNumber.pbData};
  return id;
}

bool BlobsHaveTheirBytes(const IssuerSerial &issuerSerial) {
  return (issuerSerial.Issuer.cbData == 0 || issuerSerial.Issuer.pbData != nullptr) &&
         (issuerSerial.SerialNumber.cbData == 0 || issuerSerial.SerialNumber.pbData != nullptr);
}

uint32_t WriteCertificateId(SettingStore::Key &key, const CertificateIdSettings &names,
                            const CERT_ISSUER_SERIAL_NUMBER &id) {
  uint32_t status = WriteBlob(key, names.issuerLength, names.issuer, id.Issuer);
  if (status != ERROR_SUCCESS) return status;
  return WriteBlob(key, names.serialLength, names.serial, id.SerialNumber);
}

uint32_t StoredCertificateId::Read(SettingStore::Key &key, const CertificateIdSettings &names) {
  id_ = CERT_ISSUER_SERIAL_NUMBER{};
  issuer_.Clear();
  serial_.Clear();
  uint32_t status = ReadBlob(key, names.issuerLength, names.issuer, &issuer_);
  if (status == ERROR_SUCCESS) status = ReadBlob(key, names.serialLength, names.serial, &serial_);
  if (status != ERROR_SUCCESS) {
    issuer_.Clear();
    return status;
  }
  id_.Issuer = BlobOf(issuer_);
  id_.SerialNumber = BlobOf(serial_);
  return ERROR_SUCCESS;
}

}  // namespace ambercrypt
