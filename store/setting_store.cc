#include "store/setting_store.h"

#include <cstring>

#include "store/identity.h"

namespace ambercrypt {

bool SettingStore::SetApplication(const char *name) {
  appKey_ = nullptr;
  appKeyText_.Clear();  // the previous application's, whatever comes next
  if (!DeriveAppKey(name, &appKeyText_)) return false;
  appKey_ = reinterpret_cast<const char *>(appKeyText_.data());
  return true;
}

bool SettingStore::LoadInstallationKey() {
  CSecureBuffer material;
  if (!ambercrypt::LoadInstallationKey(&material)) return false;
  material_ = CSecureBuffer::Kept(material.data(), material.size());
  keyMaterial_ = material_.data();
  keyMaterialLength_ = material_.size();
  return true;
}

void SettingStore::Clear() {
  appKey_ = nullptr;
  keyMaterial_ = nullptr;
  keyMaterialLength_ = 0;
  appKeyText_.Clear();
  material_.Clear();
}

SettingStore::Key SettingStore::Open(SettingKey which, REGSAM access, bool create) const {
  return Key(*this, appKey_, which, access, create);
}

SettingStore::Key SettingStore::OpenFor(const char *appKey, SettingKey which, REGSAM access, bool create) const {
  return Key(*this, appKey, which, access, create);
}

SettingStore::Key SettingStore::Unopened() const { return Key(*this); }

bool IsStoreFailure(uint32_t status) {
  switch (status) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_BADDB:
    case ERROR_REGISTRY_IO_FAILED:
    case ERROR_KEY_DELETED:
      return true;
    default:
      return false;
  }
}

std::string SettingKeyPath(SettingKey which, const char *appKey) {
  switch (which) {
    case SettingKey::kBase:
      return kBaseKeyPath;
    case SettingKey::kApplication:
      return ApplicationKeyPath(appKey);
    case SettingKey::kUserInfo:
      return UserInfoKeyPath(appKey);
  }
  return std::string();
}

SettingStore::Key::Key(const SettingStore &store) : store_(&store), which_(SettingKey::kBase) {}

SettingStore::Key::Key(const SettingStore &store, const char *appKey, SettingKey which, REGSAM access, bool create)
    : store_(&store), which_(which) {
  // Every key but the base one belongs to an application.
  if (which != SettingKey::kBase && appKey == nullptr) return;
  open_ = reg_.Open(SettingKeyPath(which, appKey).c_str(), create, access);
}

bool SettingStore::Key::Fits(const Setting &setting, SettingEncoding encoding) const {
  return open_ && setting.key == which_ && setting.encoding == encoding;
}

uint32_t SettingStore::Key::Refusal() const { return open_ ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE; }

uint32_t SettingStore::Key::ReadInt(const Setting &setting, int32_t *value) {
  if (value == nullptr) return ERROR_INVALID_PARAMETER;
  if (Fits(setting, SettingEncoding::kDword)) {
    DWORD read = 0;
    uint32_t status = reg_.QueryDword(setting.name, &read);
    if (status == ERROR_SUCCESS) *value = static_cast<int32_t>(read);
    return status;
  }
  if (!Fits(setting, SettingEncoding::kEncryptedInt)) return Refusal();
  return reg_.QueryEncryptedInt(setting.name, value, store_->keyMaterial_, store_->keyMaterialLength_);
}

uint32_t SettingStore::Key::WriteInt(const Setting &setting, int32_t value) {
  if (Fits(setting, SettingEncoding::kDword)) return reg_.SetDword(setting.name, static_cast<DWORD>(value));
  if (!Fits(setting, SettingEncoding::kEncryptedInt)) return Refusal();
  return reg_.SetEncryptedInt(setting.name, value, store_->keyMaterial_, store_->keyMaterialLength_);
}

uint32_t SettingStore::Key::ReadInt64(const Setting &setting, int64_t *value) {
  if (!Fits(setting, SettingEncoding::kEncryptedInt64)) return Refusal();
  return reg_.QueryEncryptedInt64(setting.name, value, store_->keyMaterial_, store_->keyMaterialLength_);
}

uint32_t SettingStore::Key::WriteInt64(const Setting &setting, int64_t value) {
  if (!Fits(setting, SettingEncoding::kEncryptedInt64)) return Refusal();
  return reg_.SetEncryptedInt64(setting.name, value, store_->keyMaterial_, store_->keyMaterialLength_);
}

uint32_t SettingStore::Key::ReadDword(const Setting &setting, DWORD *value) {
  if (!Fits(setting, SettingEncoding::kDword)) return Refusal();
  return reg_.QueryDword(setting.name, value);
}

uint32_t SettingStore::Key::WriteDword(const Setting &setting, DWORD value) {
  if (!Fits(setting, SettingEncoding::kDword)) return Refusal();
  return reg_.SetDword(setting.name, value);
}

uint32_t SettingStore::Key::ReadBytes(const Setting &setting, uint8_t *data, uint32_t *length) {
  if (Fits(setting, SettingEncoding::kBinary)) return reg_.QueryBinary(setting.name, data, length);
  if (!Fits(setting, SettingEncoding::kEncryptedBinary)) return Refusal();
  return reg_.QueryEncryptedBinary(setting.name, data, length, store_->keyMaterial_, store_->keyMaterialLength_);
}

uint32_t SettingStore::Key::WriteBytes(const Setting &setting, const uint8_t *data, uint32_t length) {
  if (Fits(setting, SettingEncoding::kBinary)) return reg_.SetBinary(setting.name, data, length);
  if (!Fits(setting, SettingEncoding::kEncryptedBinary)) return Refusal();
  return reg_.SetEncryptedBinary(setting.name, data, length, store_->keyMaterial_, store_->keyMaterialLength_);
}

}  // namespace ambercrypt
