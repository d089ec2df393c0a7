// end_user.cc: the end-user certificate of an application (the one that signs
// its challenge answers), named by issuer and serial number and required to be
// in "ROOT"; and the deletion of an application's settings. Registering the
// end-user certificate leaves the current application as it is.
#include "admin/admin.h"
#include "core/admin_password.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "store/certificate_id.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"

namespace ambercrypt {

uint32_t SetEndUserParameter(const SpiContext &spi, const char *applicationName, const IssuerSerial *issuerSerial) {
  if (applicationName == nullptr || IsEmptyOrTooLong(applicationName)) return AMBER_E_BAD_APPLICATION_NAME;
  if (issuerSerial == nullptr) return AMBER_E_CERTIFICATE;
  CSecureBuffer named;
  if (!DeriveAppKey(applicationName, &named)) return AMBER_E_BAD_APPLICATION_NAME;
  const CERT_ISSUER_SERIAL_NUMBER id = ToCertificateId(*issuerSerial);
  CCrypt crypt;
  if (!BlobsHaveTheirBytes(*issuerSerial) || crypt.FindCertificate(&id) != ERROR_SUCCESS) return AMBER_E_CERTIFICATE;
  // The application must have its key already; this call makes none.
  SettingStore::Key app =
      spi.store().OpenFor(reinterpret_cast<const char *>(named.data()), SettingKey::kApplication, KEY_ALL_ACCESS);
  if (!app.ok()) return AMBER_E_SETTING_UNAVAILABLE;
  if (WriteCertificateId(app, kEndUserCertificate, id) != ERROR_SUCCESS) return AMBER_E_SETTING_UNAVAILABLE;
  return AMBER_OK;
}

uint32_t DeleteParameter(SpiContext &spi, const char *applicationName) {
  if (applicationName == nullptr || IsEmptyOrTooLong(applicationName)) return AMBER_E_BAD_APPLICATION_NAME;
  if (!spi.SetApplication(applicationName)) return AMBER_E_SETTING_UNAVAILABLE;
  const char *appKey = spi.appKey();
  const std::string path = ApplicationKeyPath(appKey);
  CRegCtrl reg;
  if (!reg.Open(path.c_str(), false, KEY_ALL_ACCESS)) return AMBER_E_DELETE_FAILED;
  // A key with subkeys cannot be deleted, so UserInfo goes first. Its own
  // failure shows in the application key's: that one then has a subkey left.
  // The caches keep what they hold for the application until the process ends.
  reg.DeleteKey(UserInfoKeyPath(appKey).c_str());
  if (reg.DeleteKey(path.c_str()) != ERROR_SUCCESS) return AMBER_E_DELETE_FAILED;
  return AMBER_OK;
}

}  // namespace ambercrypt
