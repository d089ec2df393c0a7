// Application identity, the installation key material and what attach loads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <string>

#include "frame/caches.h"
#include "frame/entry.h"
#include "frame/identity.h"
#include "store/constants.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

class IdentityTest : public test::StoreTest {
 protected:
  // An installation with number `number` whose application `name` holds the
  // given encrypted settings.
  void Provision(DWORD number, const char *name, std::initializer_list<std::pair<Setting, int32_t>> values) {
    test::SetInstallationNumber(number);
    uint8_t *material = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(1, BuildKeyMaterial(static_cast<int32_t>(number), &material, &length));
    char appKey[30];
    ASSERT_EQ(1, HashNameToBase64(name, appKey));
    CRegCtrl reg;
    ASSERT_EQ(1, reg.Open(ApplicationKeyPath(appKey).c_str(), 1, KEY_ALL_ACCESS));
    for (const auto &v : values) ASSERT_EQ(0u, reg.SetEncryptedInt(v.first.name, v.second, material, length));
    WipeAndFree(&material, &length);
  }
  std::string AppKeyOf(const char *name) {
    char appKey[30];
    EXPECT_EQ(1, HashNameToBase64(name, appKey));
    return appKey;
  }
};

TEST_F(IdentityTest, AppKeysAreTwentyEightCharactersAndCaseSensitive) {
  char *key = nullptr;
  for (const std::string &name : {std::string("a"), std::string(255, 'n'), std::string("Scanner")}) {
    ASSERT_EQ(1, DeriveAppKey(name.c_str(), &key));
    EXPECT_EQ(29u, strlen(key));
    EXPECT_EQ('=', key[27]);
    EXPECT_EQ('\n', key[28]);
    EXPECT_EQ(strlen(kBaseKeyPath) + 28, ApplicationKeyPath(key).size());
  }
  std::string upper = AppKeyOf("Scanner"), lower = AppKeyOf("scanner");
  EXPECT_NE(upper, lower);
  EXPECT_EQ(0, DeriveAppKey("", &key));
  EXPECT_EQ(nullptr, key);
}

TEST_F(IdentityTest, KeyMaterialLengthFollowsTheNumber) {
  uint8_t *material = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(1, BuildKeyMaterial(0, &material, &length));
  EXPECT_EQ(64u, length);
  test::Bytes zero(material, material + length);
  ASSERT_EQ(1, BuildKeyMaterial(9999, &material, &length));
  EXPECT_EQ(67u, length);
  ASSERT_EQ(1, BuildKeyMaterial(0, &material, &length));
  EXPECT_EQ(zero, test::Bytes(material, material + length));
  WipeAndFree(&material, &length);
}

TEST_F(IdentityTest, AttachCreatesTheInstallationNumberOnce) {
  // Without the base key nothing can be built.
  test::AttachAs("/apps/Tool1");
  EXPECT_EQ(nullptr, g_spiCtrl->keyMaterial);
  // With it, the number is drawn once and kept.
  test::ProvisionAdminPassword("Admin123");
  test::AttachAs("/apps/Tool1");
  ASSERT_NE(nullptr, g_spiCtrl->keyMaterial);
  test::Bytes stored;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &stored));
  DWORD number = 0;
  memcpy(&number, stored.data(), 4);
  EXPECT_LT(number, 10000u);
  uint8_t *expected = nullptr;
  uint32_t expectedLength = 0;
  BuildKeyMaterial(static_cast<int32_t>(number), &expected, &expectedLength);
  ASSERT_EQ(expectedLength, g_spiCtrl->keyMaterialLength);
  EXPECT_EQ(0, memcmp(expected, g_spiCtrl->keyMaterial, expectedLength));
  EXPECT_EQ(0, memcmp(expected, g_fpiCtrl->keyMaterial, expectedLength));
  WipeAndFree(&expected, &expectedLength);
  test::AttachAs("/apps/Tool2");
  test::Bytes again;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &again));
  EXPECT_EQ(stored, again);
}

TEST_F(IdentityTest, NumberWrittenByAnotherProcessMeanwhileWins) {
  // Another process holds the creation lock: this one finds no number, waits,
  // and must then build from the number the other stored.
  test::ProvisionAdminPassword("Admin123");
  HANDLE lock = CreateMutexA(nullptr, FALSE, kInstallationMutexName);
  ASSERT_NE(nullptr, lock);
  ASSERT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(lock, INFINITE));
  std::atomic<int> result{-1};
  uint8_t *material = nullptr;
  uint32_t length = 0;
  std::thread attaching([&] { result = LoadInstallationKey(&material, &length); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it is waiting for the lock now
  test::SetInstallationNumber(4321);
  ReleaseMutex(lock);
  attaching.join();
  CloseHandle(lock);
  ASSERT_EQ(1, result.load());
  uint8_t *expected = nullptr;
  uint32_t expectedLength = 0;
  BuildKeyMaterial(4321, &expected, &expectedLength);
  EXPECT_EQ(test::ToHex(expected, expectedLength), test::ToHex(material, length));
  WipeAndFree(&material, &length);
  WipeAndFree(&expected, &expectedLength);
}

TEST_F(IdentityTest, UnreadableInstallationNumberIsNeverReplaced) {
  test::ProvisionAdminPassword("Admin123");
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kBaseKeyPath, settings::kInstallationNumber.name, REG_BINARY,
                                               test::Bytes(8, 1)));
  test::AttachAs("/apps/Tool1");
  EXPECT_EQ(nullptr, g_fpiCtrl->keyMaterial);
  test::Bytes stored;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &stored));
  EXPECT_EQ(test::Bytes(8, 1), stored);
}

TEST_F(IdentityTest, AttachLoadsTheHostSettings) {
  Provision(7, "Scanner",
            {{settings::kRestrictionMode, 5}, {settings::kCustomMask, 0x30}, {settings::kSecretKeyState, 1},
             {settings::kCipherAlgorithm, 0x6610}, {settings::kVerifyMaxFmr, 100}, {settings::kVerifyPolicyFlag, 1},
             {settings::kVerifyMaxFailures, 3}, {settings::kIdentifyMaxFmr, 200},
             {settings::kIdentifyPolicyFlag, 0}, {settings::kIdentifyMaxFailures, 0}});
  test::AttachAs("C:\\Apps\\Scanner.EXE");
  const std::string key = AppKeyOf("Scanner");
  SettingCaches &c = Caches();
  ASSERT_NE(nullptr, c.ModeCache.Find(key));
  EXPECT_EQ(5u, *c.ModeCache.Find(key));
  ASSERT_NE(nullptr, c.CustomMaskCache.Find(key));
  EXPECT_EQ(0x30u, *c.CustomMaskCache.Find(key));
  EXPECT_EQ(1u, *c.SecretKeyStateCache.Find(key));
  EXPECT_EQ(0x6610u, *c.CipherAlgorithmCache.Find(key));
  EXPECT_EQ(nullptr, c.SecretKeyCache.Find(key));  // not stored
  EXPECT_EQ(static_cast<ALG_ID>(CALG_AES_256), g_fpiCtrl->crypt.key_algorithm());
  EXPECT_EQ(100, *c.VerifySetting19Cache.Find(key));
  EXPECT_EQ(1, *c.VerifySetting23Cache.Find(key));
  EXPECT_EQ(3, *c.VerifySetting17Cache.Find(key));
  EXPECT_EQ(200, *c.IdentifySetting20Cache.Find(key));
  EXPECT_EQ(0, *c.IdentifySetting24Cache.Find(key));
  EXPECT_EQ(0, *c.IdentifySetting18Cache.Find(key));
  EXPECT_EQ(1, g_fpiCtrl->QueryVerifySetting());
  EXPECT_EQ(0, g_fpiCtrl->QueryIdentifySetting());
}

TEST_F(IdentityTest, MaskOnlyInModeFiveAndAlgorithmOnlyWhenStored) {
  Provision(42, "Scanner", {{settings::kRestrictionMode, 3}, {settings::kCustomMask, 0x30}});
  test::AttachAs("/x/Scanner");
  const std::string key = AppKeyOf("Scanner");
  EXPECT_EQ(3u, *Caches().ModeCache.Find(key));
  EXPECT_EQ(nullptr, Caches().CustomMaskCache.Find(key));
  EXPECT_EQ(static_cast<ALG_ID>(CALG_3DES), g_fpiCtrl->crypt.key_algorithm());
}

TEST_F(IdentityTest, ApplicationWithoutKeyAttachesWithEmptyCaches) {
  test::SetInstallationNumber(1);
  test::AttachAs("/x/Nobody");
  ASSERT_NE(nullptr, g_fpiCtrl->keyMaterial);
  EXPECT_EQ(0u, Caches().ModeCache.size());
  EXPECT_FALSE(test::KeyExists(ApplicationKeyPath(g_fpiCtrl->appKey).c_str()));
}

TEST_F(IdentityTest, AttachWithTheNumberPresentWritesNothing) {
  Provision(9999, "Scanner", {{settings::kRestrictionMode, 1}});
  test::Bytes before;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &before));
  test::AttachAs("/x/Scanner");
  EXPECT_EQ(67u, g_fpiCtrl->keyMaterialLength);
  EXPECT_EQ(1u, *Caches().ModeCache.Find(AppKeyOf("Scanner")));
  test::Bytes after;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &after));
  EXPECT_EQ(before, after);
}

TEST_F(IdentityTest, QueryVerifySettingReadsThroughOnce) {
  test::SetInstallationNumber(5);
  test::AttachAs("/x/Scanner");  // attached before the policy existed
  EXPECT_EQ(0, g_fpiCtrl->QueryVerifySetting());
  Provision(5, "Scanner", {{settings::kVerifyMaxFailures, 5}});
  EXPECT_EQ(1, g_fpiCtrl->QueryVerifySetting());
  Provision(5, "Scanner", {{settings::kVerifyMaxFailures, 0}});
  EXPECT_EQ(1, g_fpiCtrl->QueryVerifySetting());  // cached
}

TEST_F(IdentityTest, ReadFunctionModeAndUserInfoKey) {
  test::SetInstallationNumber(11);
  test::AttachAs("/x/Host");
  ASSERT_EQ(1, g_spiCtrl->SetApplication("Tool2"));
  const std::string path = ApplicationKeyPath(g_spiCtrl->appKey);
  EXPECT_FALSE(test::KeyExists(path.c_str()));
  EXPECT_EQ(0xFFFFFFFFu, g_spiCtrl->ReadFunctionMode());
  EXPECT_TRUE(test::KeyExists(path.c_str()));  // created, empty
  Provision(11, "Tool2", {{settings::kRestrictionMode, 4}});
  EXPECT_EQ(4u, g_spiCtrl->ReadFunctionMode());

  g_spiCtrl->CreateUserInfoKey();
  const std::string userInfo = UserInfoKeyPath(g_spiCtrl->appKey);
  EXPECT_TRUE(test::KeyExists(userInfo.c_str()));
  g_spiCtrl->CreateUserInfoKey();  // again: the key stays
  EXPECT_EQ(ERROR_SUCCESS, test::WriteRawValue(userInfo.c_str(), "KoSettingInfo37", REG_BINARY, test::Bytes(8, 1)));
}

}  // namespace
}  // namespace ambercrypt
