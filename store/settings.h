// settings.h: the catalogue of every stored value. Each KoSettingInfo value is
// defined once here with the key it lives in and its encoding; code uses the
// names below, never a literal. Also the registry paths of the three keys.
#ifndef AMBERCRYPT_STORE_SETTINGS_H_
#define AMBERCRYPT_STORE_SETTINGS_H_

#include <cstdint>
#include <string>

namespace ambercrypt {

// HKEY_LOCAL_MACHINE paths. The application key is kBaseKeyPath followed by the
// application's AppKey (28 characters); UserInfo follows it.
inline constexpr char kBaseKeyPath[] = "SOFTWARE\\Dravelo\\BioAPI\\Ambervault\\WinCrypto\\";
inline constexpr char kUserInfoSuffix[] = "\\UserInfo";
inline constexpr char kBspKeyPath[] = "SOFTWARE\\Dravelo\\BioAPI\\BSP\\";

enum class SettingKey { kBase, kApplication, kUserInfo };
enum class SettingEncoding { kDword, kBinary, kEncryptedInt, kEncryptedInt64, kEncryptedBinary };

struct Setting {
  const char *name;
  SettingKey key;
  SettingEncoding encoding;
};

namespace settings {
using K = SettingKey;
using E = SettingEncoding;
inline constexpr Setting kAdminPasswordDigest{"KoSettingInfo1", K::kBase, E::kBinary};     // 20 bytes
inline constexpr Setting kInstallationNumber{"KoSettingInfo2", K::kBase, E::kDword};      // 0..9999
inline constexpr Setting kSecretKeyBlock{"KoSettingInfo3", K::kApplication, E::kEncryptedBinary};  // 64 bytes
inline constexpr Setting kSecretKeyState{"KoSettingInfo4", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kCipherAlgorithm{"KoSettingInfo5", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kRestrictionMode{"KoSettingInfo6", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kCustomMask{"KoSettingInfo7", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kSigningIssuerLength{"KoSettingInfo8", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kSigningIssuer{"KoSettingInfo9", K::kApplication, E::kBinary};
inline constexpr Setting kSigningSerialLength{"KoSettingInfo10", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kSigningSerial{"KoSettingInfo11", K::kApplication, E::kBinary};
inline constexpr Setting kVerifyLastResult{"KoSettingInfo12", K::kUserInfo, E::kEncryptedInt};
inline constexpr Setting kIdentifyLastResult{"KoSettingInfo13", K::kUserInfo, E::kEncryptedInt};
inline constexpr Setting kVerifyResponseMethod{"KoSettingInfo15", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kIdentifyResponseMethod{"KoSettingInfo16", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kVerifyMaxFailures{"KoSettingInfo17", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kIdentifyMaxFailures{"KoSettingInfo18", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kVerifyMaxFmr{"KoSettingInfo19", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kIdentifyMaxFmr{"KoSettingInfo20", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kVerifyLockMinutes{"KoSettingInfo21", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kIdentifyLockMinutes{"KoSettingInfo22", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kVerifyPolicyFlag{"KoSettingInfo23", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kIdentifyPolicyFlag{"KoSettingInfo24", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kVerifyKeyText{"KoSettingInfo25", K::kApplication, E::kEncryptedBinary};
inline constexpr Setting kIdentifyKeyText{"KoSettingInfo26", K::kApplication, E::kEncryptedBinary};
inline constexpr Setting kVerifyKeyTextLength{"KoSettingInfo27", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kIdentifyKeyTextLength{"KoSettingInfo28", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kVerifyLastDigest{"KoSettingInfo33", K::kUserInfo, E::kEncryptedBinary};  // 20 bytes
inline constexpr Setting kVerifyReleaseTime{"KoSettingInfo35", K::kUserInfo, E::kEncryptedInt64};
inline constexpr Setting kIdentifyReleaseTime{"KoSettingInfo36", K::kUserInfo, E::kEncryptedInt64};
inline constexpr Setting kVerifyFailureCount{"KoSettingInfo37", K::kUserInfo, E::kEncryptedInt};
inline constexpr Setting kIdentifyFailureCount{"KoSettingInfo38", K::kUserInfo, E::kEncryptedInt};
inline constexpr Setting kEndUserIssuerLength{"KoSettingInfo39", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kEndUserIssuer{"KoSettingInfo40", K::kApplication, E::kBinary};
inline constexpr Setting kEndUserSerialLength{"KoSettingInfo41", K::kApplication, E::kEncryptedInt};
inline constexpr Setting kEndUserSerial{"KoSettingInfo42", K::kApplication, E::kBinary};
}  // namespace settings

// Restriction modes (kRestrictionMode): 4 is the mode in which an
// application's secret key, policies and certificates may be set; in mode 5
// the forbidden functions are the application's own mask (kCustomMask).
inline constexpr uint32_t kAdministrableMode = 4;
inline constexpr uint32_t kCustomMaskMode = 5;
// What ReadFunctionMode answers when the mode cannot be read.
inline constexpr uint32_t kModeUnreadable = 0xFFFFFFFFu;
// Sizes of stored binary values.
inline constexpr uint32_t kSecretKeyBlockSize = 64;  // kSecretKeyBlock
inline constexpr uint32_t kDigestSize = 20;          // kAdminPasswordDigest, kVerifyLastDigest

// Every value, in number order (36 of them: 14, 29-32 and 34 are unused).
extern const Setting *const kAllSettings[36];

// Path of the application key for an AppKey text (its trailing line feed, if
// present, is dropped) and of its UserInfo subkey.
std::string ApplicationKeyPath(const char *appKey);
std::string UserInfoKeyPath(const char *appKey);

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_SETTINGS_H_
