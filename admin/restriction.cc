// restriction.cc: function restriction. An administrator sets an application's
// mode (0 to 5, and in mode 5 its own mask); the framework asks, before using a
// BSP function, whether the host application may, answered from the caches.
#include <optional>

#include "admin/admin.h"
#include "core/admission.h"
#include "store/caches.h"
#include "store/settings.h"

namespace ambercrypt {
namespace {

// The BSP functions each of modes 1 to 4 forbids (mode 0 forbids everything,
// mode 5 what the application's own mask says).
constexpr uint32_t kForbiddenFunctions[kCustomMaskMode] = {0, 0x1DDC, 0x0E00, 0x09DC, 0x0800};

}  // namespace

uint32_t CheckMode(const FpiContext &fpi, uint32_t functionMask) {
  const char *appKey = fpi.appKey();
  if (appKey == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  // The mode and its mask as one pair (for the host, one atomic load).
  const RestrictionCache::Pair restriction = Caches().Restriction.Find(appKey);
  const auto &mode = restriction.mode;
  if (mode == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
  if (*mode > kCustomMaskMode) return AMBER_E_NOT_PERMITTED;
  if (*mode == 0) return AMBER_E_MODE_ZERO;
  uint32_t forbidden;
  if (*mode == kCustomMaskMode) {
    if (restriction.mask == nullptr) return AMBER_E_SETTING_UNAVAILABLE;
    forbidden = *restriction.mask;
  } else {
    forbidden = kForbiddenFunctions[*mode];
  }
  return (functionMask & forbidden) != 0 ? AMBER_E_NOT_PERMITTED : AMBER_OK;
}

uint32_t RestrictBSPFunction(SpiContext &spi, const char *applicationName, uint32_t mode, uint32_t customMask,
                             const char *adminPassword) {
  uint32_t admitted = Admission(applicationName, adminPassword).Admit(spi);
  if (admitted != AMBER_OK) return admitted;
  if (mode > kCustomMaskMode) return AMBER_E_BAD_MODE;

  const char *appKey = spi.appKey();
  SettingStore::Key app = spi.store().Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
  if (!app.ok()) return AMBER_E_SETTING_UNAVAILABLE;
  if (app.WriteInt(settings::kRestrictionMode, static_cast<int32_t>(mode)) != ERROR_SUCCESS) {
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  RestrictionCache &restriction = Caches().Restriction;
  if (mode != kCustomMaskMode) {
    restriction.Replace(appKey, mode, std::nullopt);
    return AMBER_OK;
  }
  // Mode 5 goes out with its mask, both stored first: a CheckMode on another
  // thread finds the old pair or the new one. A mask that could not be stored
  // leaves the cache as the registry is, mode 5 with the mask it had.
  if (app.WriteInt(settings::kCustomMask, static_cast<int32_t>(customMask)) != ERROR_SUCCESS) {
    restriction.Replace(appKey, mode, std::nullopt);
    return AMBER_E_SETTING_UNAVAILABLE;
  }
  restriction.Replace(appKey, mode, customMask);
  return AMBER_OK;
}

}  // namespace ambercrypt
