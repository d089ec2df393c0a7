// bir_signature.cc: the BIR-signing certificate of an application and the
// signatures over BIRs' biometric data. Only the certificate's issuer and
// serial number are stored; the certificate itself (with its private key, for
// signing) is looked up in "ROOT" on every use. A signed BIR carries in its
// security block a PKCS#7 message that holds the biometric data, and verifies
// only when the application's own certificate signed it.
#include <cstring>

#include "core/admission.h"
#include "core/bir_ctrl.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "store/certificate_id.h"
#include "store/settings.h"
#include "trust/trust.h"

namespace ambercrypt {
namespace {

// The current application's signing certificate as stored; false when it
// cannot be read whole.
bool ReadSigningCertificate(const SettingStore &store, StoredCertificateId *certificate) {
  SettingStore::Key app = store.Open(SettingKey::kApplication, KEY_READ);
  return certificate->Read(app, kSigningCertificate) == ERROR_SUCCESS;
}

}  // namespace

uint32_t InitCerfificate(SpiContext &spi, const char *applicationName, const IssuerSerial *issuerSerial,
                         const char *adminPassword) {
  uint32_t admitted =
      Admission(applicationName, adminPassword).WithCertificate(issuerSerial).InAdministrableMode().Admit(spi);
  if (admitted != AMBER_OK) return admitted;

  const CERT_ISSUER_SERIAL_NUMBER id = ToCertificateId(*issuerSerial);
  CCrypt crypt;
  if (!BlobsHaveTheirBytes(*issuerSerial) || crypt.FindCertificate(&id) != ERROR_SUCCESS) return AMBER_E_CERTIFICATE;
  SettingStore::Key app = spi.store().Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
  if (!app.ok()) return AMBER_E_SETTING_UNAVAILABLE;
  if (WriteCertificateId(app, kSigningCertificate, id) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  return AMBER_OK;
}

uint32_t DigitalSignBIR(const SpiContext &spi, const BioAPI_BIR *inputBir, BioAPI_BIR *outputBir) {
  if (outputBir == nullptr) return AMBER_SIGN_NULL_OUTPUT;
  if (inputBir == nullptr) return AMBER_E_SIGNATURE;
  StoredCertificateId certificate;
  if (!ReadSigningCertificate(spi.store(), &certificate)) return AMBER_E_CERTIFICATE;
  CCrypt crypt;
  const BioAPI_DATA &data = inputBir->BiometricData;
  BioAPI_DATA &block = outputBir->SecurityBlock;

  if (block.Data == nullptr) {
    // A size query changes nothing else of the output.
    uint32_t size = 0;
    if (crypt.SignMessage(&certificate.id(), data.Data, data.Length, nullptr, &size) != ERROR_SUCCESS) {
      return AMBER_E_SIGNATURE;
    }
    block.Length = size;
    return AMBER_OK;
  }
  // The biometric data is copied into the output's own data buffer, which the
  // caller sized for it; without one there is nowhere to put it.
  if (outputBir->BiometricData.Data == nullptr) return AMBER_E_SIGNATURE;
  // A block of no capacity holds no message (and a buffer of none would make
  // the signing a mere size query).
  if (block.Length == 0) return AMBER_E_SIGNATURE;
  CSecureBuffer message(block.Length);
  uint32_t length = message.size();
  if (crypt.SignMessage(&certificate.id(), data.Data, data.Length, message.data(), &length) != ERROR_SUCCESS) {
    return AMBER_E_SIGNATURE;
  }
  CBIRCtrl bir;
  if (!bir.CopyHeaderAndBiometricData(outputBir, inputBir)) return AMBER_E_SIGNATURE;
  block.Length = length;
  memcpy(block.Data, message.data(), length);
  bir.SetSigned(outputBir);
  return AMBER_OK;
}

uint32_t VerifyReferenceBIR(const SpiContext &spi, const BioAPI_BIR *bir) {
  CBIRCtrl birCtrl;
  if (!birCtrl.IsSigned(bir)) return AMBER_E_BIR_NOT_SIGNED;
  StoredCertificateId certificate;
  if (!ReadSigningCertificate(spi.store(), &certificate)) return AMBER_E_CERTIFICATE;
  CCrypt crypt;
  const BioAPI_DATA &message = bir->SecurityBlock;
  const BioAPI_DATA &data = bir->BiometricData;

  // CCrypt accepts only a message signed by the very certificate stored,
  // not by another one that carries its issuer and serial number.
  uint32_t length = 0;
  if (crypt.VerifyMessage(&certificate.id(), message.Data, message.Length, nullptr, &length) != ERROR_SUCCESS ||
      length != data.Length || (data.Data == nullptr && length != 0)) {
    return AMBER_E_SIGNATURE;
  }
  CSecureBuffer content(length);
  if (crypt.VerifyMessage(&certificate.id(), message.Data, message.Length, content.data(), &length) !=
          ERROR_SUCCESS ||
      length != data.Length || !ConstantTimeEqual(content.data(), data.Data, length)) {
    return AMBER_E_SIGNATURE;
  }
  return AMBER_OK;
}

}  // namespace ambercrypt
