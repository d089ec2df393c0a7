// application.cc: everything stored for one application, read with the
// library's own store code and the installation's key material (see
// admin_layer.h).
#include <algorithm>
#include <cstring>

#include "crypto/secure_buffer.h"
#include "policy/clock.h"
#include "policy/policy.h"
#include "store/certificate_id.h"
#include "store/constants.h"
#include "store/setting_store.h"
#include "store/settings.h"
#include "tools/adminlib/admin_layer.h"

namespace ambercrypt::adminlib {

namespace {

// The longest key text the library stores.
constexpr uint32_t kMaxKeyText = 255;

// Reads one key's values, noting any read the store failed to answer.
class Reader {
 public:
  Reader(SettingStore::Key &key, bool *storeFailed) : key_(key), storeFailed_(storeFailed) {}

  Number Int(const Setting &setting) {
    int32_t value = 0;
    return Note(key_.ReadInt(setting, &value)) ? Number(value) : std::nullopt;
  }
  std::optional<int64_t> Int64(const Setting &setting) {
    int64_t value = 0;
    return Note(key_.ReadInt64(setting, &value)) ? std::optional<int64_t>(value) : std::nullopt;
  }
  // Exactly *length bytes into data (*length: what was read).
  bool Bytes(const Setting &setting, uint8_t *data, uint32_t *length) {
    return Note(key_.ReadBytes(setting, data, length));
  }
  // Notes a read made otherwise; true when it succeeded.
  bool Note(uint32_t status) {
    if (IsStoreFailure(status)) *storeFailed_ = true;
    return status == ERROR_SUCCESS;
  }
  SettingStore::Key &key() { return key_; }

 private:
  SettingStore::Key &key_;
  bool *storeFailed_;
};

void ReadSecretKey(Reader &app, bool reveal, ApplicationReadout *out) {
  const Number state = app.Int(settings::kSecretKeyState);
  out->secretKeySet = state == 1;
  out->cipher = app.Int(settings::kCipherAlgorithm);
  CSecureBuffer block(kSecretKeyBlockSize);
  uint32_t length = kSecretKeyBlockSize;
  out->secretKeyPresent = app.Bytes(settings::kSecretKeyBlock, block.data(), &length) && length == kSecretKeyBlockSize;
  if (out->secretKeyPresent && reveal) {
    // The key, then '0' padding up to 31 characters, then the fixed suffix:
    // the characters before the suffix, as they are stored.
    const size_t used = strnlen(reinterpret_cast<const char *>(block.data()), length);
    const size_t suffix = sizeof SecretKeySuffix - 1;
    out->secretKey.assign(reinterpret_cast<const char *>(block.data()), used > suffix ? used - suffix : 0);
  }
}

void ReadPolicy(Reader &app, const PolicyFamily &family, bool reveal, PolicyReadout *out) {
  out->maxFmr = app.Int(family.maxFmr);
  out->maxFailures = app.Int(family.maxFailures);
  out->lockMinutes = app.Int(family.lockMinutes);
  out->flag = app.Int(family.policyFlag);
  out->responseMethod = app.Int(family.responseMethod);
  const Number length = app.Int(family.keyTextLength);
  if (!length || *length <= 0 || static_cast<uint32_t>(*length) > kMaxKeyText) return;
  CSecureBuffer text(kMaxKeyText + 1);
  uint32_t read = kMaxKeyText + 1;
  out->keyTextPresent = app.Bytes(family.keyText, text.data(), &read);
  if (out->keyTextPresent && reveal) {
    out->keyText.assign(reinterpret_cast<const char *>(text.data()), std::min(read, kMaxKeyText + 1));
  }
}

void ReadCertificate(Reader &app, const CertificateIdSettings &names, CertificateReadout *out) {
  StoredCertificateId stored;
  if (!app.Note(stored.Read(app.key(), names))) return;
  const CERT_ISSUER_SERIAL_NUMBER &id = stored.id();
  out->registered = true;
  out->issuer.assign(id.Issuer.pbData, id.Issuer.pbData + id.Issuer.cbData);
  out->serial.assign(id.SerialNumber.pbData, id.SerialNumber.pbData + id.SerialNumber.cbData);
}

void ReadLockout(const SettingStore &store, const PolicyFamily &family, bool *storeFailed, LockoutReadout *out) {
  SettingStore::Key info = store.Open(SettingKey::kUserInfo, KEY_READ);
  out->recorded = info.ok();
  if (!out->recorded) return;
  Reader reader(info, storeFailed);
  out->failures = reader.Int(family.failureCount);
  out->releaseTime = reader.Int64(family.releaseTime);
  out->locked = out->releaseTime && static_cast<uint64_t>(*out->releaseTime) > LocalFileTimeNow();
}

}  // namespace

ReadResult ReadApplication(const std::string &name, bool reveal, ApplicationReadout *out) {
  *out = ApplicationReadout();
  SettingStore store;
  if (!store.SetApplication(name.c_str())) return ReadResult::kNoAppKey;
  if (!store.LoadInstallationKey()) return ReadResult::kNoKeyMaterial;
  out->appKey = AppKeyOf(name);
  SettingStore::Key key = store.Open(SettingKey::kApplication, KEY_READ);
  out->present = key.ok();
  if (!out->present) return ReadResult::kRead;
  Reader app(key, &out->storeFailed);
  out->mode = app.Int(settings::kRestrictionMode);
  out->customMask = app.Int(settings::kCustomMask);
  ReadSecretKey(app, reveal, out);
  ReadPolicy(app, kVerifyPolicy, reveal, &out->verify);
  ReadPolicy(app, kIdentifyPolicy, reveal, &out->identify);
  ReadCertificate(app, kSigningCertificate, &out->signing);
  ReadCertificate(app, kEndUserCertificate, &out->endUser);
  ReadLockout(store, kVerifyPolicy, &out->storeFailed, &out->verifyLockout);
  ReadLockout(store, kIdentifyPolicy, &out->storeFailed, &out->identifyLockout);
  return ReadResult::kRead;
}

}  // namespace ambercrypt::adminlib
