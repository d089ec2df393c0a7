#include "policy/family.h"

#include "ambercrypt/ambercrypt.h"

namespace ambercrypt {

using namespace settings;

const PolicyFamily kVerifyPolicy{PolicyKind::kVerify,
                                 "Global\\AmbercryptLockout.Verify.",
                                 kVerifyMaxFmr,
                                 kVerifyMaxFailures,
                                 kVerifyLockMinutes,
                                 kVerifyPolicyFlag,
                                 kVerifyResponseMethod,
                                 kVerifyKeyText,
                                 kVerifyKeyTextLength,
                                 kVerifyLastResult,
                                 kVerifyReleaseTime,
                                 kVerifyFailureCount,
                                 AMBER_E_SETTING_UNAVAILABLE,
                                 &SettingCaches::VerifySetting19Cache,
                                 &SettingCaches::VerifySetting17Cache,
                                 &SettingCaches::VerifySetting23Cache};

const PolicyFamily kIdentifyPolicy{PolicyKind::kIdentify,
                                   "Global\\AmbercryptLockout.Identify.",
                                   kIdentifyMaxFmr,
                                   kIdentifyMaxFailures,
                                   kIdentifyLockMinutes,
                                   kIdentifyPolicyFlag,
                                   kIdentifyResponseMethod,
                                   kIdentifyKeyText,
                                   kIdentifyKeyTextLength,
                                   kIdentifyLastResult,
                                   kIdentifyReleaseTime,
                                   kIdentifyFailureCount,
                                   AMBER_E_STATUS_UPDATE,
                                   &SettingCaches::IdentifySetting20Cache,
                                   &SettingCaches::IdentifySetting18Cache,
                                   &SettingCaches::IdentifySetting24Cache};

}  // namespace ambercrypt
