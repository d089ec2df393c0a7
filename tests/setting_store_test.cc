// SettingStore: each catalogue entry read and written in its own key and
// encoding, with the bytes CRegCtrl would store; mismatched entries refused;
// read-through caching; and the library's state gone after a detach.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "frame/entry.h"
#include "store/caches.h"
#include "store/identity.h"
#include "store/setting_store.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

class SettingStoreTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    test::ProvisionInstallation("Admin123", 1234);
    ASSERT_TRUE(store_.SetApplication("Scanner"));
    ASSERT_TRUE(store_.LoadInstallationKey());
  }
  SettingStore store_;
};

TEST_F(SettingStoreTest, EachEntryGoesToItsKeyInItsEncoding) {
  {
    SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
    ASSERT_TRUE(app.ok());
    EXPECT_EQ(0u, app.WriteInt(settings::kRestrictionMode, 4));
    const uint8_t block[kSecretKeyBlockSize] = {7, 8, 9};
    EXPECT_EQ(0u, app.WriteBytes(settings::kSecretKeyBlock, block, sizeof block));
    const uint8_t issuer[3] = {0x30, 0x01, 0x00};
    EXPECT_EQ(0u, app.WriteBytes(settings::kSigningIssuer, issuer, sizeof issuer));
  }
  {
    SettingStore::Key userInfo = store_.Open(SettingKey::kUserInfo, KEY_ALL_ACCESS, true);
    ASSERT_TRUE(userInfo.ok());
    EXPECT_EQ(0u, userInfo.WriteInt64(settings::kVerifyReleaseTime, 133000000000000000ll));
  }
  // The same bytes CRegCtrl writes with the same key material.
  CSecureBuffer material = BuildKeyMaterial(1234);
  const std::string app = SettingKeyPath(SettingKey::kApplication, store_.appKey());
  const std::string userInfo = SettingKeyPath(SettingKey::kUserInfo, store_.appKey());
  CRegCtrl reg;
  ASSERT_TRUE(reg.Open("SOFTWARE\\Dravelo\\Tests", 1, KEY_ALL_ACCESS));
  struct Check {
    std::string path;
    const Setting &setting;
    std::function<void()> writeDirect;
  };
  const Check checks[] = {
      {app, settings::kRestrictionMode,
       [&] { reg.SetEncryptedInt("x", 4, material.data(), material.size()); }},
      {app, settings::kSecretKeyBlock,
       [&] {
         const uint8_t block[kSecretKeyBlockSize] = {7, 8, 9};
         reg.SetEncryptedBinary("x", block, sizeof block, material.data(), material.size());
       }},
      {app, settings::kSigningIssuer,
       [&] {
         const uint8_t issuer[3] = {0x30, 0x01, 0x00};
         reg.SetBinary("x", issuer, sizeof issuer);
       }},
      {userInfo, settings::kVerifyReleaseTime,
       [&] { reg.SetEncryptedInt64("x", 133000000000000000ll, material.data(), material.size()); }},
  };
  for (const Check &c : checks) {
    SCOPED_TRACE(c.setting.name);
    test::Bytes stored, direct;
    ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(c.path.c_str(), c.setting.name, &stored));
    c.writeDirect();
    ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue("SOFTWARE\\Dravelo\\Tests", "x", &direct));
    EXPECT_EQ(test::ToHex(direct), test::ToHex(stored));
  }
  // And they read back.
  SettingStore::Key readApp = store_.Open(SettingKey::kApplication, KEY_READ);
  int32_t mode = 0;
  EXPECT_EQ(0u, readApp.ReadInt(settings::kRestrictionMode, &mode));
  EXPECT_EQ(4, mode);
  SettingStore::Key readUser = store_.Open(SettingKey::kUserInfo, KEY_READ);
  int64_t release = 0;
  EXPECT_EQ(0u, readUser.ReadInt64(settings::kVerifyReleaseTime, &release));
  EXPECT_EQ(133000000000000000ll, release);
  SettingStore::Key base = store_.Open(SettingKey::kBase, KEY_READ);
  DWORD number = 0;
  EXPECT_EQ(0u, base.ReadDword(settings::kInstallationNumber, &number));
  EXPECT_EQ(1234u, number);
}

TEST_F(SettingStoreTest, EntriesOfAnotherKeyOrEncodingAreRefused) {
  SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
  ASSERT_TRUE(app.ok());
  int32_t i = 0;
  int64_t l = 0;
  uint8_t bytes[20];
  uint32_t length = sizeof bytes;
  // A UserInfo value through the application key, a binary read as a number,
  // a number read as 64 bits: programming errors, answered, never a wrong write.
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), app.WriteInt(settings::kVerifyFailureCount, 1));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), app.ReadInt(settings::kSecretKeyBlock, &i));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), app.ReadInt64(settings::kCipherAlgorithm, &l));
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), app.ReadBytes(settings::kCustomMask, bytes, &length));
  EXPECT_FALSE(test::KeyExists(SettingKeyPath(SettingKey::kUserInfo, store_.appKey()).c_str()));
  // A key that could not be opened answers every access with a bad handle.
  SettingStore::Key missing = store_.Open(SettingKey::kUserInfo, KEY_READ);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), missing.ReadInt(settings::kVerifyFailureCount, &i));
  SettingStore none;
  EXPECT_FALSE(none.Open(SettingKey::kApplication, KEY_ALL_ACCESS, true).ok());
}

TEST_F(SettingStoreTest, ReadThroughFillsTheCacheOnceAndOnlyOnSuccess) {
  SettingCache<int32_t> cache;
  int32_t value = 0;
  EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), store_.ReadThrough(cache, settings::kVerifyMaxFmr, &value));
  EXPECT_EQ(nullptr, cache.Find(store_.appKey()));
  {
    SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_ALL_ACCESS, true);
    ASSERT_EQ(0u, app.WriteInt(settings::kVerifyMaxFmr, 42));
  }
  EXPECT_EQ(0u, store_.ReadThrough(cache, settings::kVerifyMaxFmr, &value));
  EXPECT_EQ(42, value);
  ASSERT_NE(nullptr, cache.Find(store_.appKey()));
  // Later reads come from the cache, whatever the registry holds now.
  {
    SettingStore::Key app = store_.Open(SettingKey::kApplication, KEY_ALL_ACCESS);
    ASSERT_EQ(0u, app.WriteInt(settings::kVerifyMaxFmr, 7));
  }
  EXPECT_EQ(0u, store_.ReadThrough(cache, settings::kVerifyMaxFmr, &value));
  EXPECT_EQ(42, value);
}

TEST_F(SettingStoreTest, ClearForgetsTheApplicationAndTheKeyMaterial) {
  store_.Clear();
  EXPECT_EQ(nullptr, store_.appKey());
  EXPECT_EQ(nullptr, store_.keyMaterial());
  EXPECT_EQ(0u, store_.keyMaterialLength());
  EXPECT_FALSE(store_.SetApplication(""));
  EXPECT_EQ(nullptr, store_.appKey());
}

// A detach empties every cache, so a second attach really starts afresh.
TEST_F(SettingStoreTest, DetachEmptiesTheCaches) {
  test::AttachAs("/apps/Admin");
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 3, 0, "Admin123"));
  test::AttachAs("/apps/Scanner");
  ASSERT_EQ(0u, KoBioFPI_CheckMode(0x1));
  ASSERT_EQ(1u, Caches().ModeCache.size());
  ProcessDetach();
  EXPECT_EQ(0u, Caches().ModeCache.size());
}

}  // namespace
}  // namespace ambercrypt
