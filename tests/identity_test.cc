// Application identity, the installation key material and what attach loads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "ambercrypt/ambercrypt.h"
#include "store/caches.h"
#include "frame/entry.h"
#include "policy/policy.h"
#include "store/identity.h"
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
    CSecureBuffer material = BuildKeyMaterial(static_cast<int32_t>(number));
    char appKey[30];
    ASSERT_TRUE(HashNameToBase64(name, appKey));
    CRegCtrl reg;
    ASSERT_TRUE(reg.Open(ApplicationKeyPath(appKey).c_str(), 1, KEY_ALL_ACCESS));
    for (const auto &v : values) {
      ASSERT_EQ(0u, reg.SetEncryptedInt(v.first.name, v.second, material.data(), material.size()));
    }
  }
  std::string AppKeyOf(const char *name) {
    char appKey[30];
    EXPECT_TRUE(HashNameToBase64(name, appKey));
    return appKey;
  }
};

TEST_F(IdentityTest, AppKeysAreTwentyEightCharactersAndCaseSensitive) {
  CSecureBuffer buffer;
  for (const std::string &name : {std::string("a"), std::string(255, 'n'), std::string("Scanner")}) {
    ASSERT_TRUE(DeriveAppKey(name.c_str(), &buffer));
    const char *key = reinterpret_cast<const char *>(buffer.data());
    EXPECT_EQ(29u, strlen(key));
    EXPECT_EQ('=', key[27]);
    EXPECT_EQ('\n', key[28]);
    EXPECT_EQ(strlen(kBaseKeyPath) + 28, ApplicationKeyPath(key).size());
  }
  std::string upper = AppKeyOf("Scanner"), lower = AppKeyOf("scanner");
  EXPECT_NE(upper, lower);
  CSecureBuffer none;
  EXPECT_FALSE(DeriveAppKey("", &none));
  EXPECT_FALSE(DeriveAppKey(nullptr, &none));
  EXPECT_TRUE(none.empty());
}

TEST_F(IdentityTest, KeyMaterialLengthFollowsTheNumber) {
  CSecureBuffer zero = BuildKeyMaterial(0);
  EXPECT_EQ(64u, zero.size());
  EXPECT_EQ(67u, BuildKeyMaterial(9999).size());
  CSecureBuffer again = BuildKeyMaterial(0);
  EXPECT_EQ(test::ToHex(zero.data(), zero.size()), test::ToHex(again.data(), again.size()));
}

TEST_F(IdentityTest, AttachCreatesTheInstallationNumberOnce) {
  // Without the base key nothing can be built.
  test::AttachAs("/apps/Tool1");
  EXPECT_EQ(nullptr, AttachedSpiContext()->store().keyMaterial());
  // With it, the number is drawn once and kept.
  test::ProvisionAdminPassword("Admin123");
  test::AttachAs("/apps/Tool1");
  ASSERT_NE(nullptr, AttachedSpiContext()->store().keyMaterial());
  test::Bytes stored;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &stored));
  DWORD number = 0;
  memcpy(&number, stored.data(), 4);
  EXPECT_LT(number, 10000u);
  CSecureBuffer expected = BuildKeyMaterial(static_cast<int32_t>(number));
  ASSERT_EQ(expected.size(), AttachedSpiContext()->store().keyMaterialLength());
  EXPECT_EQ(0, memcmp(expected.data(), AttachedSpiContext()->store().keyMaterial(), expected.size()));
  EXPECT_EQ(0, memcmp(expected.data(), AttachedFpiContext()->store().keyMaterial(), expected.size()));
  test::AttachAs("/apps/Tool2");
  test::Bytes again;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &again));
  EXPECT_EQ(stored, again);
}

// Another holder of the installation lock, as another process would hold it
// while it creates the number, taking it by the name every build shares. It
// holds it on a thread of its own: a Windows mutex belongs to a thread (on
// Linux the lock belongs to the holder's own open file).
class OtherLockHolder {
 public:
  OtherLockHolder() : thread_([this] { Hold(); }) { holding_ = held_.get_future().get(); }
  ~OtherLockHolder() {
    Release();
    thread_.join();
  }
  OtherLockHolder(const OtherLockHolder &) = delete;
  OtherLockHolder &operator=(const OtherLockHolder &) = delete;
  bool holding() const { return holding_; }
  void Release() {
    if (!released_.exchange(true)) release_.set_value();
  }

 private:
  void Hold() {
    HANDLE lock = CreateMutexA(nullptr, FALSE, "Global\\AmbercryptInstallationNumber");
    bool owned = lock != nullptr && WaitForSingleObject(lock, INFINITE) == WAIT_OBJECT_0;
    held_.set_value(owned);
    releaseRequested_.wait();
    if (owned) ReleaseMutex(lock);
    if (lock != nullptr) CloseHandle(lock);
  }

  std::promise<bool> held_;
  std::promise<void> release_;
  std::shared_future<void> releaseRequested_ = release_.get_future().share();
  std::atomic<bool> released_{false};
  bool holding_ = false;
  std::thread thread_;  // last: it starts once everything above exists
};

// Sets the installation lock's seams for one test.
struct ScopedLockSeams {
  ScopedLockSeams(DWORD wait, void (*beforeWait)(void *), void *context) {
    g_installationLockSeams.waitMilliseconds = wait;
    g_installationLockSeams.beforeWait = beforeWait;
    g_installationLockSeams.context = context;
  }
  ~ScopedLockSeams() { g_installationLockSeams = InstallationLockSeams(); }
};

TEST_F(IdentityTest, NumberWrittenByAnotherProcessMeanwhileWins) {
  // Another process holds the creation lock: this one finds no number and,
  // while it waits for the lock, the other stores its number and lets go. This
  // one must then build from the number the other stored.
  test::ProvisionAdminPassword("Admin123");
  OtherLockHolder other;
  ASSERT_TRUE(other.holding());
  struct Meanwhile {
    OtherLockHolder *other;
    int calls;
  } meanwhile{&other, 0};
  ScopedLockSeams seams(kInstallationLockWaitMs, [](void *context) {
    auto *m = static_cast<Meanwhile *>(context);
    ++m->calls;
    test::SetInstallationNumber(4321);
    m->other->Release();
  }, &meanwhile);
  CSecureBuffer material;
  ASSERT_TRUE(LoadInstallationKey(&material));
  EXPECT_EQ(1, meanwhile.calls);
  CSecureBuffer expected = BuildKeyMaterial(4321);
  EXPECT_EQ(test::ToHex(expected.data(), expected.size()), test::ToHex(material.data(), material.size()));
}

TEST_F(IdentityTest, LoadGivesUpOnAnInstallationLockHeldTooLong) {
  test::ProvisionAdminPassword("Admin123");  // no number yet
  auto other = std::make_unique<OtherLockHolder>();
  ASSERT_TRUE(other->holding());
  ScopedLockSeams seams(50, nullptr, nullptr);
  std::promise<void> attached;
  std::future<void> done = attached.get_future();
  std::thread attaching([&] {
    test::AttachAs("/apps/Tool1");
    attached.set_value();
  });
  // Far longer than the two bounded waits of a load; a load that waits for
  // ever is let go below, so the test fails instead of hanging.
  const bool prompt = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  other.reset();
  attaching.join();
  EXPECT_TRUE(prompt);
  ASSERT_NE(nullptr, AttachedFpiContext());
  EXPECT_EQ(nullptr, AttachedSpiContext()->store().keyMaterial());
  EXPECT_EQ(nullptr, AttachedFpiContext()->store().keyMaterial());
  EXPECT_EQ(0x8000807u, KoBioFPI_CheckMode(1));
  test::Bytes stored;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &stored));
  // Once the lock is free, the next load creates the number.
  test::AttachAs("/apps/Tool1");
  EXPECT_NE(nullptr, AttachedFpiContext()->store().keyMaterial());
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &stored));
}

TEST_F(IdentityTest, UnreadableInstallationNumberIsNeverReplaced) {
  test::ProvisionAdminPassword("Admin123");
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kBaseKeyPath, settings::kInstallationNumber.name, REG_BINARY,
                                               test::Bytes(8, 1)));
  test::AttachAs("/apps/Tool1");
  EXPECT_EQ(nullptr, AttachedFpiContext()->store().keyMaterial());
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
  EXPECT_EQ(static_cast<ALG_ID>(CALG_AES_256), AttachedFpiContext()->WithCipher([](CCrypt &crypt) { return crypt.key_algorithm(); }));
  EXPECT_EQ(100, *c.VerifySetting19Cache.Find(key));
  EXPECT_EQ(1, *c.VerifySetting23Cache.Find(key));
  EXPECT_EQ(3, *c.VerifySetting17Cache.Find(key));
  EXPECT_EQ(200, *c.IdentifySetting20Cache.Find(key));
  EXPECT_EQ(0, *c.IdentifySetting24Cache.Find(key));
  EXPECT_EQ(0, *c.IdentifySetting18Cache.Find(key));
  EXPECT_EQ(LockoutTracking::kOn, LockoutTrackingOf(*AttachedFpiContext(), kVerifyPolicy));
  EXPECT_EQ(LockoutTracking::kOff, LockoutTrackingOf(*AttachedFpiContext(), kIdentifyPolicy));
}

TEST_F(IdentityTest, MaskOnlyInModeFiveAndAlgorithmOnlyWhenStored) {
  Provision(42, "Scanner", {{settings::kRestrictionMode, 3}, {settings::kCustomMask, 0x30}});
  test::AttachAs("/x/Scanner");
  const std::string key = AppKeyOf("Scanner");
  EXPECT_EQ(3u, *Caches().ModeCache.Find(key));
  EXPECT_EQ(nullptr, Caches().CustomMaskCache.Find(key));
  EXPECT_EQ(static_cast<ALG_ID>(CALG_3DES), AttachedFpiContext()->WithCipher([](CCrypt &crypt) { return crypt.key_algorithm(); }));
}

TEST_F(IdentityTest, ApplicationWithoutKeyAttachesWithEmptyCaches) {
  test::SetInstallationNumber(1);
  test::AttachAs("/x/Nobody");
  ASSERT_NE(nullptr, AttachedFpiContext()->store().keyMaterial());
  EXPECT_EQ(0u, Caches().ModeCache.size());
  EXPECT_FALSE(test::KeyExists(ApplicationKeyPath(AttachedFpiContext()->appKey()).c_str()));
}

TEST_F(IdentityTest, AttachWithTheNumberPresentWritesNothing) {
  Provision(9999, "Scanner", {{settings::kRestrictionMode, 1}});
  test::Bytes before;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &before));
  test::AttachAs("/x/Scanner");
  EXPECT_EQ(67u, AttachedFpiContext()->store().keyMaterialLength());
  EXPECT_EQ(1u, *Caches().ModeCache.Find(AppKeyOf("Scanner")));
  test::Bytes after;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &after));
  EXPECT_EQ(before, after);
}

TEST_F(IdentityTest, LockoutTrackingReadsThroughOnce) {
  test::SetInstallationNumber(5);
  test::AttachAs("/x/Scanner");  // attached before the policy existed
  EXPECT_EQ(LockoutTracking::kOff, LockoutTrackingOf(*AttachedFpiContext(), kVerifyPolicy));
  Provision(5, "Scanner", {{settings::kVerifyMaxFailures, 5}});
  EXPECT_EQ(LockoutTracking::kOn, LockoutTrackingOf(*AttachedFpiContext(), kVerifyPolicy));
  Provision(5, "Scanner", {{settings::kVerifyMaxFailures, 0}});
  EXPECT_EQ(LockoutTracking::kOn, LockoutTrackingOf(*AttachedFpiContext(), kVerifyPolicy));  // cached
}

TEST_F(IdentityTest, ReadFunctionModeAndUserInfoKey) {
  test::SetInstallationNumber(11);
  test::AttachAs("/x/Host");
  ASSERT_TRUE(AttachedSpiContext()->SetApplication("Tool2"));
  const std::string path = ApplicationKeyPath(AttachedSpiContext()->appKey());
  EXPECT_FALSE(test::KeyExists(path.c_str()));
  EXPECT_EQ(0xFFFFFFFFu, AttachedSpiContext()->ReadFunctionMode());
  EXPECT_TRUE(test::KeyExists(path.c_str()));  // created, empty
  Provision(11, "Tool2", {{settings::kRestrictionMode, 4}});
  EXPECT_EQ(4u, AttachedSpiContext()->ReadFunctionMode());

  AttachedSpiContext()->CreateUserInfoKey();
  const std::string userInfo = UserInfoKeyPath(AttachedSpiContext()->appKey());
  EXPECT_TRUE(test::KeyExists(userInfo.c_str()));
  AttachedSpiContext()->CreateUserInfoKey();  // again: the key stays
  EXPECT_EQ(ERROR_SUCCESS, test::WriteRawValue(userInfo.c_str(), "KoSettingInfo37", REG_BINARY, test::Bytes(8, 1)));
}

}  // namespace
}  // namespace ambercrypt
