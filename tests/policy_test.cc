// Verify and identify policies and their lockout, through the exports: the
// administration checks, the state tables of both families as sequences of
// events, the outputs, and the edge cases. Time comes from the clock seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "frame/entry.h"
#include "policy/clock.h"
#include "store/caches.h"
#include "store/reg_ctrl.h"
#include "store/setting_store.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <unistd.h>

#include "support/child_process.h"
#endif

namespace ambercrypt {
namespace {

using test::Bytes;
using test::ResponseMethod;

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin123";
const char kHost[] = "C:\\Apps\\Scanner.EXE";
constexpr uint64_t kMinute = 600000000ull;
constexpr uint64_t kStart = 133500000000000000ull;  // a local time in 2024

uint64_t g_now = kStart;
uint64_t TestClock() { return g_now; }

// A BIR whose biometric data is the given text.
struct Bir {
  explicit Bir(const std::string &text) : data(text.begin(), text.end()) {
    memset(&bir, 0, sizeof bir);
    bir.BiometricData.Length = static_cast<uint32_t>(data.size());
    bir.BiometricData.Data = data.empty() ? nullptr : data.data();
  }
  Bytes data;
  BioAPI_BIR bir;
};

class PolicyTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    g_now = kStart;
    SetClockForTesting(&TestClock);
    test::ProvisionInstallation(kPassword, 4321);
    test::WatchSecret("KeyText1");
    test::WatchDerivedKey("KeyText1", 8, CALG_3DES);
    test::AttachAs("C:\\Apps\\Admin.EXE");
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword));
  }
  void TearDown() override {
    SetClockForTesting(nullptr);
    StoreTest::TearDown();
  }
  // Sets both policies as an administrator, then runs as the host, whose
  // caches come from the registry.
  void Provision(int32_t maxFailures, int32_t lockMinutes, int32_t maxFmr = 1000, bool flag = true) {
    test::AttachAs("C:\\Apps\\Admin.EXE");
    ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", maxFmr, maxFailures, lockMinutes, flag ? 1 : 0,
                                               ResponseMethod(AMBER_RESPONSE_HMAC, "KeyText1"), kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitIdentifyParameter("Scanner", maxFmr, maxFailures, lockMinutes, flag ? 1 : 0,
                                                 ResponseMethod(AMBER_RESPONSE_SIGNATURE), kPassword));
    test::AttachAs(kHost);
  }
  uint32_t Check(const Bir &b, int32_t requested = 10) {
    int32_t allowed = -99;
    uint8_t flag = 99;
    return KoBioFPI_VerifySecurityStatas(&b.bir, requested, &allowed, &flag);
  }
  uint32_t CheckIdentify(int32_t requested = 10) {
    int32_t allowed = -99;
    uint8_t flag = 99;
    return KoBioFPI_IdentifySecurityStatas(nullptr, requested, &allowed, &flag);
  }
  uint32_t Update(bool success, const Bir &b, uint8_t level = 50) {
    return KoBioFPI_UpdateVerifyStatus(success ? 1 : 0, &b.bir, 7, level);
  }
  uint32_t UpdateIdentify(uint32_t count, uint8_t level = 50) {
    return KoBioFPI_UpdateIdentifyStatus(&count, &candidates_, level);
  }
  // The host's lockout record, as the library reads it: -1 when absent.
  int64_t Stored(const Setting &setting) {
    SettingStore::Key record = AttachedFpiContext()->store().Open(SettingKey::kUserInfo, KEY_READ);
    int64_t value = -1;
    if (setting.encoding == SettingEncoding::kEncryptedInt64) {
      if (record.ReadInt64(setting, &value) != ERROR_SUCCESS) return -1;
      return value;
    }
    int32_t small = 0;
    return record.ReadInt(setting, &small) == ERROR_SUCCESS ? small : -1;
  }
  std::string PathOf(const char *name) {
    char appKey[30];
    EXPECT_TRUE(HashNameToBase64(name, appKey));
    return ApplicationKeyPath(appKey);
  }
  std::string UserInfoPath() { return PathOf("Scanner") + kUserInfoSuffix; }
  // One row of a state table: an event ("+N" moves the clock N minutes), the
  // code it must give, then the failure count (-2: not checked) and whether
  // a lock is stored.
  struct Step {
    const char *event;
    uint32_t code;
    int64_t count;
    bool locked;
  };
  template <size_t N, typename Run>
  void Walk(const Step (&steps)[N], const Setting &count, const Setting &release, Run run) {
    for (size_t i = 0; i < N; ++i) {
      const Step &s = steps[i];
      SCOPED_TRACE(std::to_string(i) + ": " + s.event);
      std::string e = s.event;
      uint32_t code = 0;
      if (e[0] == '+') {
        g_now += std::stoull(e.substr(1)) * kMinute;
      } else {
        code = run(e);
      }
      EXPECT_EQ(s.code == 0 ? 0 : (s.code | F), code);
      if (s.count != -2) {
        EXPECT_EQ(s.count, Stored(count));
      }
      EXPECT_EQ(s.locked, Stored(release) > 0);
    }
  }
  BioAPI_CANDIDATE candidate_{};
  BioAPI_CANDIDATE *candidates_ = &candidate_;
};

TEST_F(PolicyTest, AdministrationChecksInOrderAndWritesNothingOnFailure) {
  struct Case {
    const char *what;
    const char *name;
    int32_t maxFmr, maxFailures, lockMinutes;
    ResponseMethodRecord method;
    const char *password;
    uint32_t expected;
  };
  const std::string longName(256, 'n');
  const std::string key255(255, 'k'), key256(256, 'k');
  const Case cases[] = {
      {"null name", nullptr, 0, 0, 0, ResponseMethod(30), kPassword, AMBER_E_BAD_APPLICATION_NAME},
      {"null password", "Scanner", 0, 0, 0, ResponseMethod(30), nullptr, AMBER_E_BAD_ADMIN_PASSWORD},
      {"name too long, before the password", longName.c_str(), -5, 0, 0, ResponseMethod(30), "wrong",
       AMBER_E_BAD_APPLICATION_NAME},
      {"empty name", "", 0, 0, 0, ResponseMethod(30), kPassword, AMBER_E_BAD_APPLICATION_NAME},
      {"empty password", "Scanner", 0, 0, 0, ResponseMethod(30), "", AMBER_E_BAD_ADMIN_PASSWORD},
      {"wrong password before bad values", "Scanner", -5, -1, -1, ResponseMethod(35), "Wrong123",
       AMBER_E_BAD_ADMIN_PASSWORD},
      {"not in mode 4", "Other", 0, 0, 0, ResponseMethod(30), kPassword, AMBER_E_NOT_PERMITTED},
      {"maxFmr -2", "Scanner", -2, 0, 0, ResponseMethod(30), kPassword, AMBER_E_BAD_MAX_FMR},
      {"maxFailures -1 before the method", "Scanner", 0, -1, 0, ResponseMethod(35), kPassword,
       AMBER_E_BAD_MAX_FAILURES},
      {"lockMinutes -1", "Scanner", 0, 0, -1, ResponseMethod(30), kPassword, AMBER_E_BAD_LOCK_MINUTES},
      {"method 35", "Scanner", 0, 0, 0, ResponseMethod(35), kPassword, AMBER_E_BAD_RESPONSE_METHOD},
      {"method 40 without key text", "Scanner", 0, 0, 0, ResponseMethod(40), kPassword, AMBER_E_BAD_KEY_TEXT},
      {"method 40 with 256 characters", "Scanner", 0, 0, 0, ResponseMethod(40, key256.c_str()), kPassword,
       AMBER_E_BAD_KEY_TEXT},
  };
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Other", 3, 0, kPassword));
  for (auto init : {&KoBioSPI_InitVerifyParameter, &KoBioSPI_InitIdentifyParameter}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(c.expected | F, init(c.name, c.maxFmr, c.maxFailures, c.lockMinutes, 1, c.method, c.password));
    }
  }
  for (const char *name : {"Scanner", "Other"}) {
    char appKey[30];
    ASSERT_TRUE(HashNameToBase64(name, appKey));
    for (const char *value : {"KoSettingInfo15", "KoSettingInfo16", "KoSettingInfo17", "KoSettingInfo18",
                              "KoSettingInfo19", "KoSettingInfo20", "KoSettingInfo25", "KoSettingInfo26"}) {
      Bytes data;
      EXPECT_NE(ERROR_SUCCESS, test::ReadRawValue(ApplicationKeyPath(appKey).c_str(), value, &data)) << value;
    }
  }
  // The limits themselves are accepted.
  EXPECT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", -1, 0, 0, 2, ResponseMethod(40, key255.c_str()), kPassword));
}

TEST_F(PolicyTest, AdministrationStoresThePolicyAndRefreshesItsCaches) {
  ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", 200, 3, 15, 2, ResponseMethod(40, "KeyText1"), kPassword));
  SettingStore::Key app = AttachedSpiContext()->store().Open(SettingKey::kApplication, KEY_READ);
  struct Expect {
    const Setting &setting;
    int32_t value;
  };
  for (const Expect &e : {Expect{settings::kVerifyMaxFmr, 200}, Expect{settings::kVerifyMaxFailures, 3},
                          Expect{settings::kVerifyLockMinutes, 15}, Expect{settings::kVerifyPolicyFlag, 0},
                          Expect{settings::kVerifyResponseMethod, 40}, Expect{settings::kVerifyKeyTextLength, 8}}) {
    int32_t value = -1;
    EXPECT_EQ(0u, app.ReadInt(e.setting, &value)) << e.setting.name;
    EXPECT_EQ(e.value, value) << e.setting.name;
  }
  uint8_t text[8];
  uint32_t length = sizeof text;
  ASSERT_EQ(0u, app.ReadBytes(settings::kVerifyKeyText, text, &length));
  EXPECT_EQ("KeyText1", std::string(reinterpret_cast<char *>(text), length));
  // The flag byte 2 stores 0; the caches of this process hold the new values.
  const std::string appKey = AttachedSpiContext()->appKey();
  EXPECT_EQ(200, *Caches().VerifySetting19Cache.Find(appKey));
  EXPECT_EQ(3, *Caches().VerifySetting17Cache.Find(appKey));
  EXPECT_EQ(0, *Caches().VerifySetting23Cache.Find(appKey));
  EXPECT_TRUE(test::KeyExists(UserInfoPath().c_str()));
  // Method 30 keeps the earlier key text.
  ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", 200, 3, 15, 1, ResponseMethod(30), kPassword));
  length = sizeof text;
  ASSERT_EQ(0u, app.ReadBytes(settings::kVerifyKeyText, text, &length));
  EXPECT_EQ("KeyText1", std::string(reinterpret_cast<char *>(text), length));
  int32_t method = 0;
  EXPECT_EQ(0u, app.ReadInt(settings::kVerifyResponseMethod, &method));
  EXPECT_EQ(30, method);

  // The identify twin writes its own values, and only those.
  ASSERT_EQ(0u, KoBioSPI_InitIdentifyParameter("Scanner", -1, 7, 45, 1, ResponseMethod(40, "IdKey"), kPassword));
  for (const Expect &e : {Expect{settings::kIdentifyMaxFmr, -1}, Expect{settings::kIdentifyMaxFailures, 7},
                          Expect{settings::kIdentifyLockMinutes, 45}, Expect{settings::kIdentifyPolicyFlag, 1},
                          Expect{settings::kIdentifyResponseMethod, 40}, Expect{settings::kIdentifyKeyTextLength, 5},
                          Expect{settings::kVerifyMaxFmr, 200}, Expect{settings::kVerifyLockMinutes, 15}}) {
    int32_t value = -9;
    EXPECT_EQ(0u, app.ReadInt(e.setting, &value)) << e.setting.name;
    EXPECT_EQ(e.value, value) << e.setting.name;
  }
  length = sizeof text;
  ASSERT_EQ(0u, app.ReadBytes(settings::kIdentifyKeyText, text, &length));
  EXPECT_EQ("IdKey", std::string(reinterpret_cast<char *>(text), length));
  EXPECT_EQ(7, *Caches().IdentifySetting18Cache.Find(appKey));
}

TEST_F(PolicyTest, NoFailureLimitLeavesTheUserInfoKeyAlone) {
  ASSERT_EQ(0u, KoBioSPI_InitIdentifyParameter("Scanner", 0, 0, 0, 1, ResponseMethod(30), kPassword));
  EXPECT_FALSE(test::KeyExists(UserInfoPath().c_str()));
  // Without tracking the record is neither read nor written.
  test::AttachAs(kHost);
  Bir a("person A");
  EXPECT_EQ(0u, CheckIdentify(0));
  EXPECT_EQ(0u, UpdateIdentify(0));
  EXPECT_EQ(0u, KoBioFPI_UpdateVerifyStatus(0, &a.bir, 1, 1));
  EXPECT_FALSE(test::KeyExists(UserInfoPath().c_str()));
}

// The verify state table, as a walk through its rows.
TEST_F(PolicyTest, VerifyStateTable) {
  Provision(3, 10);
  Bir a("person A"), b("person B");
  const Step steps[] = {
      {"check A", 0, 0, false},               // first check: no last result, counts as success
      {"fail A", 0, -2, false},               //
      {"check A", 0, 1, false},               // open, last failed, same BIR: +1
      {"fail A", 0, -2, false},               //
      {"check A", 0, 2, false},               //
      {"fail A", 0, -2, false},               //
      {"check A", AMBER_E_LOCKED_NOW, 0, true},  // reaches 3: locked for 10 minutes
      {"check A", AMBER_E_LOCKED, 0, true},   // locked: nothing changes
      {"+9", 0, -2, true},                    //
      {"check A", AMBER_E_LOCKED, 0, true},   //
      {"+1", 0, -2, true},                    // the release time itself
      {"check A", 0, 0, false},               // released: count 0, no digest comparison
      {"fail A", 0, -2, false},               // the last result kept its failure across the lock
      {"check A", 0, 1, false},               //
      {"check B", 0, 0, false},               // another BIR starts again
      {"fail A", 0, -2, false},               //
      {"check A", 0, 1, false},               //
      {"check A", 0, 2, false},               // two checks without an update count twice
      {"succeed A", 0, -2, false},            //
      {"check A", 0, 0, false},               // a success resets
  };
  Walk(steps, settings::kVerifyFailureCount, settings::kVerifyReleaseTime, [&](const std::string &e) {
    if (e == "check A" || e == "check B") return Check(e == "check A" ? a : b);
    return Update(e[0] == 's', a);
  });
}

TEST_F(PolicyTest, IdentifyStateTable) {
  Provision(2, 5);
  const Step steps[] = {
      {"check", 0, 0, false},                  // no identify values yet: last counts as 1
      {"found 0", 0, -2, false},               //
      {"check", 0, 1, false},                  //
      {"found 0", 0, -2, false},               //
      {"check", AMBER_E_LOCKED_NOW, 0, true},  // reaches 2
      {"check", AMBER_E_LOCKED, 0, true},      //
      {"+5", 0, -2, true},                     //
      {"check", 0, 0, false},                  // released
      {"found 3", 0, -2, false},               //
      {"check", 0, 0, false},                  // candidates found: a success
      {"found 5", 0, -2, false},               //
      {"check", 0, 0, false},                  // any count but 0 is a success
      {"found 0", 0, -2, false},               //
      {"check", 0, 1, false},                  //
      {"check", AMBER_E_LOCKED_NOW, 0, true},  // two checks count twice
  };
  Walk(steps, settings::kIdentifyFailureCount, settings::kIdentifyReleaseTime, [&](const std::string &e) {
    return e == "check" ? CheckIdentify() : UpdateIdentify(static_cast<uint32_t>(std::stoul(e.substr(6))));
  });
}

TEST_F(PolicyTest, RateCeilingAndFlagAreHandedBackOnlyWhenTheySay) {
  Bir a("person A");
  struct Case {
    int32_t maxFmr, requested;
    uint32_t code;
    int32_t allowed;
    uint8_t flag;  // 99: not set
  };
  const Case cases[] = {
      {100, 100, 0, 100, 1},
      {100, 101, AMBER_E_FMR_LOWERED | F, 100, 99},
      {-1, 0, AMBER_E_FMR_LOWERED | F, -1, 99},
      {-1, -1, 0, -1, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.maxFmr) + "/" + std::to_string(c.requested));
    Provision(0, 0, c.maxFmr, true);
    for (bool identify : {false, true}) {
      int32_t allowed = -99;
      uint8_t flag = 99;
      uint32_t code = identify ? KoBioFPI_IdentifySecurityStatas(nullptr, c.requested, &allowed, &flag)
                               : KoBioFPI_VerifySecurityStatas(&a.bir, c.requested, &allowed, &flag);
      EXPECT_EQ(c.code, code);
      EXPECT_EQ(c.allowed, allowed);
      EXPECT_EQ(c.flag, flag);
    }
  }
  // A flag that cannot be read: 2055, and neither output is set.
  Provision(0, 0, 100, true);
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(PathOf("Scanner").c_str(), "KoSettingInfo23", REG_BINARY, Bytes{9}));
  test::AttachAs(kHost);
  int32_t unset = -99;
  uint8_t unsetFlag = 99;
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, KoBioFPI_VerifySecurityStatas(&a.bir, 5, &unset, &unsetFlag));
  EXPECT_EQ(-99, unset);
  EXPECT_EQ(99, unsetFlag);
  // A lock sets neither output.
  Provision(1, 10);
  ASSERT_EQ(0u, Update(false, a));
  int32_t allowed = -99;
  uint8_t flag = 99;
  EXPECT_EQ(AMBER_E_LOCKED_NOW | F, KoBioFPI_VerifySecurityStatas(&a.bir, 5, &allowed, &flag));
  EXPECT_EQ(AMBER_E_LOCKED | F, KoBioFPI_VerifySecurityStatas(&a.bir, 5, &allowed, &flag));
  EXPECT_EQ(-99, allowed);
  EXPECT_EQ(99, flag);
}

TEST_F(PolicyTest, ArgumentsAndRecordsThatCannotBeUsed) {
  Provision(3, 10);
  Bir a("person A"), empty("");
  int32_t allowed = 0;
  uint8_t flag = 0;
  uint32_t count = 0;
  struct Case {
    const char *what;
    uint32_t code, expected;
  };
  const Case cases[] = {
      {"verify check, null BIR", KoBioFPI_VerifySecurityStatas(nullptr, 1, &allowed, &flag), AMBER_E_SETTING_UNAVAILABLE},
      {"verify check, null rate", KoBioFPI_VerifySecurityStatas(&a.bir, 1, nullptr, &flag), AMBER_E_SETTING_UNAVAILABLE},
      {"verify check, null flag", KoBioFPI_VerifySecurityStatas(&a.bir, 1, &allowed, nullptr),
       AMBER_E_SETTING_UNAVAILABLE},
      {"identify check, null rate", KoBioFPI_IdentifySecurityStatas(&a, 1, nullptr, &flag), AMBER_E_SETTING_UNAVAILABLE},
      {"verify update, null BIR", KoBioFPI_UpdateVerifyStatus(1, nullptr, 0, 0), AMBER_E_STATUS_UPDATE},
      {"verify update, level 101", KoBioFPI_UpdateVerifyStatus(1, &a.bir, 0, 101), AMBER_E_STATUS_UPDATE},
      {"identify update, null count", KoBioFPI_UpdateIdentifyStatus(nullptr, &candidates_, 0),
       AMBER_E_SETTING_UNAVAILABLE},
      {"identify update, null candidates with count 0", KoBioFPI_UpdateIdentifyStatus(&count, nullptr, 0),
       AMBER_E_SETTING_UNAVAILABLE},
      {"identify update, level 101", KoBioFPI_UpdateIdentifyStatus(&count, &candidates_, 101), AMBER_E_STATUS_UPDATE},
  };
  for (const Case &c : cases) EXPECT_EQ(c.expected | F, c.code) << c.what;
  EXPECT_EQ(0u, KoBioFPI_UpdateVerifyStatus(1, &a.bir, 0, 100));
  EXPECT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&count, &candidates_, 100));
  // Records at addresses that cannot be read are answered, never followed.
  const auto *wild = static_cast<const BioAPI_BIR *>(test::InaccessibleAddress());
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, KoBioFPI_VerifySecurityStatas(wild, 1, &allowed, &flag));
  EXPECT_EQ(AMBER_E_STATUS_UPDATE | F, KoBioFPI_UpdateVerifyStatus(0, wild, 0, 0));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F,
            KoBioFPI_UpdateIdentifyStatus(static_cast<uint32_t *>(test::InaccessibleAddress()), &candidates_, 0));

  // Empty biometric data cannot be digested: the update has already made the
  // result pending and recorded it, and a check that needs the digest fails.
  const std::string appKey = AttachedFpiContext()->appKey();
  EXPECT_EQ(AMBER_E_STATUS_UPDATE | F, KoBioFPI_UpdateVerifyStatus(2, &empty.bir, 9, 10));  // byte 2: a failure
  EXPECT_EQ(0u, *Caches().VerifyPendingResultCache.Find(appKey));
  EXPECT_EQ(9, *Caches().VerifyPendingValueCache.Find(appKey));
  EXPECT_EQ(nullptr, Caches().VerifyPendingDigestCache.Find(appKey));
  EXPECT_EQ(0, Stored(settings::kVerifyLastResult));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, Check(empty));
  // A last failure without a readable digest fails every check until a
  // successful update.
  ASSERT_EQ(ERROR_SUCCESS, test::DeleteValue(UserInfoPath().c_str(), "KoSettingInfo33"));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, Check(a));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, Check(a));
  ASSERT_EQ(0u, Update(true, a));
  EXPECT_EQ(0u, Check(a));
}

TEST_F(PolicyTest, IdentifyWithoutItsUserInfoKey) {
  Provision(2, 5);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, UserInfoPath().c_str()));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, CheckIdentify());
  EXPECT_EQ(AMBER_E_STATUS_UPDATE | F, UpdateIdentify(0));
  // Verify makes the key at its check, but an update before any check fails.
  Bir a("person A");
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, Update(false, a));
  EXPECT_EQ(0u, Check(a));
  EXPECT_TRUE(test::KeyExists(UserInfoPath().c_str()));
}

TEST_F(PolicyTest, PendingOutcomeIsKeptAsPassed) {
  Provision(2, 5);
  const std::string appKey = AttachedFpiContext()->appKey();
  uint32_t count = 2;
  ASSERT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&count, &candidates_, 77));
  EXPECT_EQ(reinterpret_cast<uint64_t>(&candidates_), *Caches().IdentifyPendingRefCache.Find(appKey));
  EXPECT_EQ(2u, *Caches().IdentifyPendingCountCache.Find(appKey));
  EXPECT_EQ(77, *Caches().IdentifyPendingLevelCache.Find(appKey));
  count = 0;
  ASSERT_EQ(0u, KoBioFPI_UpdateIdentifyStatus(&count, &candidates_, 1));
  EXPECT_EQ(nullptr, Caches().IdentifyPendingRefCache.Find(appKey));
  Bir a("person A");
  ASSERT_EQ(0u, KoBioFPI_UpdateVerifyStatus(1, &a.bir, -3, 100));
  const auto digest = Caches().VerifyPendingDigestCache.Find(appKey);
  ASSERT_NE(nullptr, digest);
  EXPECT_EQ(test::ToHex(test::Sha1("person A")), test::ToHex(digest->data(), digest->size()));
  EXPECT_EQ(-3, *Caches().VerifyPendingValueCache.Find(appKey));
  // Another application's process sees none of it.
  test::AttachAs("C:\\Apps\\Other.EXE");
  EXPECT_EQ(0u, Caches().VerifyPendingDigestCache.size());
}

TEST_F(PolicyTest, TheLongestLockDoesNotOverflow) {
  Provision(1, 2147483647);
  Bir a("person A");
  ASSERT_EQ(0u, Update(false, a));
  ASSERT_EQ(AMBER_E_LOCKED_NOW | F, Check(a));
  EXPECT_EQ(static_cast<int64_t>(kStart + 2147483647ull * kMinute), Stored(settings::kVerifyReleaseTime));
  g_now += 2147483646ull * kMinute;
  EXPECT_EQ(AMBER_E_LOCKED | F, Check(a));
}

TEST_F(PolicyTest, DamagedRecordValuesTakeTheirDefaults) {
  Provision(3, 10);
  Bir a("person A");
  ASSERT_EQ(0u, Check(a));
  // A release time and a last result that cannot be decrypted count as 0 and 1.
  for (const char *name : {"KoSettingInfo35", "KoSettingInfo12"}) {
    ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(UserInfoPath().c_str(), name, REG_BINARY, Bytes{1, 2, 3}));
  }
  EXPECT_EQ(0u, Check(a));
  EXPECT_EQ(0, Stored(settings::kVerifyFailureCount));
  // A failure reported before any check: the count never written counts from 0.
  test::ResetStore();
  SetUp();
  Provision(3, 10);
  ASSERT_EQ(0u, Update(false, a));
  EXPECT_EQ(-1, Stored(settings::kVerifyFailureCount));
  EXPECT_EQ(0u, Check(a));
  EXPECT_EQ(1, Stored(settings::kVerifyFailureCount));
  // A failure count that cannot be read, when it is needed, fails the check.
  ASSERT_EQ(0u, Update(false, a));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(UserInfoPath().c_str(), "KoSettingInfo37", REG_DWORD, Bytes(4, 0)));
  EXPECT_EQ(AMBER_E_SETTING_UNAVAILABLE | F, Check(a));
}

TEST_F(PolicyTest, ACachedPolicyOutlivesAChangeByAnotherProcess) {
  Provision(5, 10, 100);
  Bir a("person A");
  // Another process (here: the registry written directly) lowers maxFmr.
  SettingStore::Key app = AttachedFpiContext()->store().Open(SettingKey::kApplication, KEY_ALL_ACCESS);
  ASSERT_EQ(0u, app.WriteInt(settings::kVerifyMaxFmr, 1));
  EXPECT_EQ(0u, Check(a, 50));  // still 100 in this process
  test::AttachAs(kHost);
  EXPECT_EQ(AMBER_E_FMR_LOWERED | F, Check(a, 50));
}

#if !defined(_WIN32)
// Processes of one application checking and reporting at once share one
// lockout record: no failure is lost, and no more checks pass than a serial
// run would let pass. A child's failure is its exit code.
TEST_F(PolicyTest, ConcurrentProcessesLoseNoFailure) {
  SetClockForTesting(nullptr);  // the children share the machine's clock
  const int kProcesses = 8, kFailures = 25;
  Provision(1000000, 60);
  Bir a("person A");
  ASSERT_EQ(0u, Update(false, a));  // every check from now on counts
  auto codes = test::RunChildren(kProcesses, [&](int) {
    test::AttachAs(kHost);
    for (int i = 0; i < kFailures; ++i) {
      if (Update(false, a) != 0) return 1;
      if (Check(a) != 0) return 2;
    }
    return 0;
  });
  for (int code : codes) EXPECT_EQ(0, code);
  test::AttachAs(kHost);
  EXPECT_EQ(kProcesses * kFailures, Stored(settings::kVerifyFailureCount));
}

TEST_F(PolicyTest, ConcurrentProcessesPassNoMoreChecksThanTheLimit) {
  SetClockForTesting(nullptr);
  const int kProcesses = 8, kRounds = 6;
  Bir a("person A");
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    test::ResetStore();
    SetUp();
    SetClockForTesting(nullptr);
    Provision(3, 60);
    ASSERT_EQ(0u, Update(false, a));
    int results[2];
    ASSERT_EQ(0, pipe(results));
    auto codes = test::RunChildren(kProcesses, [&](int) {
      test::AttachAs(kHost);
      // Verify until refused, reporting each attempt as failed.
      char outcome = 'x';
      for (;;) {
        uint32_t code = Check(a);
        if (code == 0) {
          outcome = 'p';
          if (write(results[1], &outcome, 1) != 1 || Update(false, a) != 0) return 1;
          continue;
        }
        outcome = code == (AMBER_E_LOCKED_NOW | F) ? 'l' : code == (AMBER_E_LOCKED | F) ? 'r' : '?';
        return write(results[1], &outcome, 1) == 1 ? 0 : 1;
      }
    });
    close(results[1]);
    std::string outcomes;
    char c;
    while (read(results[0], &c, 1) == 1) outcomes.push_back(c);
    close(results[0]);
    for (int code : codes) EXPECT_EQ(0, code);
    // Serially: counts 1 and 2 pass, 3 locks. However they interleave, the
    // same two pass, one check locks and every other one finds the lock.
    EXPECT_EQ(2, std::count(outcomes.begin(), outcomes.end(), 'p')) << outcomes;
    EXPECT_EQ(1, std::count(outcomes.begin(), outcomes.end(), 'l')) << outcomes;
    EXPECT_EQ(kProcesses - 1, std::count(outcomes.begin(), outcomes.end(), 'r')) << outcomes;
  }
}
#endif

}  // namespace
}  // namespace ambercrypt
