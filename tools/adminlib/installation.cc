// installation.cc: the installation as a whole, and the library attached as
// the tool's own host (see admin_layer.h).
#include <cstring>

#include "core/admin_password.h"
#include "core/context.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "frame/entry.h"
#include "platform/win32_api.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "tools/adminlib/admin_layer.h"
#include "tools/adminlib/keys.h"

namespace ambercrypt::adminlib {

namespace {

// The library's administration context while it is attached, or null. The
// one place the tool reaches the library's state other than through its
// exports: its two uses below (InstallationKeyMaterial, SelectApplication).
SpiContext *AdministrationService() { return AttachedSpiContext(); }

// InstallationKeyMaterial: whether the attached library built the
// installation's key material (it did not when the number cannot be read).
bool InstallationKeyMaterial() {
  const SpiContext *service = AdministrationService();
  return service != nullptr && service->store().keyMaterial() != nullptr;
}

// The SHA-1 digest of the new password, stored where the library checks it.
bool StorePasswordDigest(const char *password) {
  CCrypt crypt;
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(password), static_cast<uint32_t>(std::strlen(password)), digest,
                 &length) != ERROR_SUCCESS) {
    return false;
  }
  bool written;
  {
    CRegCtrl reg;
    written = reg.Open(kBaseKeyPath, 1, KEY_ALL_ACCESS) &&
              reg.SetBinary(settings::kAdminPasswordDigest.name, digest, sizeof digest) == ERROR_SUCCESS;
  }
  WipeMemory(digest, sizeof digest);
  return written;
}

// What the base key of an open store holds, into *found.
void ReadBaseKey(Installation *found) {
  CRegCtrl reg;
  if (!reg.Open(kBaseKeyPath, 0, KEY_READ)) return;
  uint8_t digest[64];
  uint32_t length = sizeof digest;
  found->passwordDigest = reg.QueryBinary(settings::kAdminPasswordDigest.name, digest, &length) == ERROR_SUCCESS;
  DWORD number = 0;
  found->hasNumber = reg.QueryDword(settings::kInstallationNumber.name, &number) == ERROR_SUCCESS;
  found->number = number;
  Subkeys(BaseKeyName(), &found->applications);
}

}  // namespace

Installation ReadInstallation() {
  Installation found;
  found.store = tools::OpenStore(false);
  if (!found.store.missing) ReadBaseKey(&found);
  return found;
}

std::string StoreRefusalText(const tools::StoreOpening &store) {
  return store.refusal.empty() ? std::string() : "the store is refused: " + store.refusal;
}

std::string WhyNoInstallation(const Installation &here) {
  if (!here.store.refusal.empty()) return StoreRefusalText(here.store);
  if (here.store.missing) return "no installation here: there is no store at " + here.store.location;
  return "no installation here: run 'ambercrypt-admin install' first";
}

bool AcceptableNewPassword(const char *password) {
  // No export stores the administrator password (an installer does): the
  // library's own rules for administration texts decide, before the digest
  // is written.
  return !IsEmptyOrTooLong(password) && CheckPasswordRules(password);
}

bool Install(const char *password, bool replace, std::string *error) {
  // The store is made only now, with a password to store.
  const tools::StoreOpening opened = tools::OpenStore(true);
  if (replace) {
    DeleteTree(BaseKeyName());
    DeleteTree(NameIndexPath());
    Installation left;
    ReadBaseKey(&left);
    if (left.passwordDigest) {
      *error = "the existing installation cannot be removed";
      return false;
    }
  }
  if (!StorePasswordDigest(password)) {
    const std::string refusal = StoreRefusalText(opened);
    *error = "the password digest cannot be stored" + (refusal.empty() ? std::string() : ": " + refusal);
    return false;
  }
  // Attaching makes the library create the installation number.
  ProcessAttach(nullptr);
  const bool keyed = InstallationKeyMaterial();
  ProcessDetach();
  Installation made;
  ReadBaseKey(&made);
  if (!keyed || !made.hasNumber) {
    *error = "the library did not create the installation number";
    return false;
  }
  return true;
}

AttachedLibrary::~AttachedLibrary() {
  if (attached_) ProcessDetach();
}

bool AttachedLibrary::Attach(std::string *error) {
  const Installation here = ReadInstallation();
  if (!here.passwordDigest) {
    *error = WhyNoInstallation(here);
    return false;
  }
  ProcessAttach(nullptr);
  attached_ = true;
  if (!InstallationKeyMaterial()) {
    *error = "the installation number cannot be read";
    return false;
  }
  return true;
}

bool SelectApplication(const std::string &name) {
  SpiContext *service = AdministrationService();
  return service != nullptr && service->SetApplication(name.c_str());
}

uint32_t AdmitAdministrator(const char *password) {
  // The library's two checks of an administrator password, in the order its
  // administration calls make them (their gate, which also takes the
  // application, is the service's own).
  if (IsEmptyOrTooLong(password) || !VerifyAdminPassword(password)) {
    return AMBER_ERROR_FLAG | AMBER_E_BAD_ADMIN_PASSWORD;
  }
  return AMBER_OK;
}

}  // namespace ambercrypt::adminlib
