// Every operation that writes the store, run with its k-th write, sync or
// lock failing (k = 1, 2, ... until a run meets no fault), with SQLite
// I/O errors and with a full disk, and on a read-only store. After each run:
// the store passes SQLite's integrity check, each value holds its bytes from
// before the run or those a run without faults leaves (a success means all
// of the latter), the registry's kept answers and the setting caches agree
// with what was committed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "fault/fault_vfs.h"
#include "fault/store_probe.h"
#include "frame/entry.h"
#include "policy/clock.h"
#include "store/caches.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

using test::Bytes;
using test::ResponseMethod;
using test::FaultError;
using test::FaultPoint;
using test::StoreEntry;
using test::StoreSnapshot;

// The library's connection must open through the fault VFS.
const bool kVfsInstalled = (test::InstallFaultVfs(), true);

constexpr uint32_t F = AMBER_ERROR_FLAG;
const char kPassword[] = "Admin123";
const char kHost[] = "C:\\Apps\\Scanner.EXE";
constexpr uint64_t kNow = 133500000000000000ull;
uint64_t FixedClock() { return kNow; }
uint64_t LaterClock() { return kNow + 10 * 600000000ull; }  // past any lock of 5 or 7 minutes

struct Bir {
  explicit Bir(const std::string &text) : data(text.begin(), text.end()) {
    memset(&bir, 0, sizeof bir);
    bir.BiometricData.Length = static_cast<uint32_t>(data.size());
    bir.BiometricData.Data = data.data();
  }
  Bytes data;
  BioAPI_BIR bir;
};
Bir g_birA("person A's biometric data");
Bir g_birB("person B's biometric data");

uint32_t VerifyCheck() {
  int32_t allowed = 0;
  uint8_t flag = 0;
  return KoBioFPI_VerifySecurityStatas(&g_birA.bir, 10, &allowed, &flag);
}
uint32_t IdentifyCheck() {
  int32_t allowed = 0;
  uint8_t flag = 0;
  return KoBioFPI_IdentifySecurityStatas(nullptr, 10, &allowed, &flag);
}
BioAPI_CANDIDATE *g_candidates = nullptr;
uint32_t IdentifyUpdate(uint32_t found) { return KoBioFPI_UpdateIdentifyStatus(&found, &g_candidates, 60); }

struct Identity {
  Bytes issuer, serial;
  IssuerSerial get() {
    IssuerSerial id;
    id.Issuer = {static_cast<uint32_t>(issuer.size()), issuer.data()};
    id.SerialNumber = {static_cast<uint32_t>(serial.size()), serial.data()};
    return id;
  }
};
Identity IdentityOf(const std::string &pemPath) {
  Identity id;
  test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(pemPath)), &id.issuer, &id.serial);
  return id;
}

// An operation that writes, from a store provisioned by the fixture.
struct Operation {
  const char *name;
  std::function<void()> prepare;  // on the run's copy of the store, before the snapshot
  std::function<uint32_t()> run;
  uint32_t expected;           // its result on a store that meets no fault
  bool cachesOutliveKey = false;  // the deletion: the caches keep what they hold
};

std::vector<Operation> WritingOperations() {
  static Identity signer = IdentityOf(test::TestDataPath("signer.cert.pem"));
  static Identity other = IdentityOf(test::FixturePath("long_issuer.cert.pem"));
  return {
      {"InitSecretKey", nullptr,
       [] { return KoBioSPI_InitSecretKey("Scanner", AMBER_CALG_3DES, "Other345", kPassword); }, 0},
      {"InitCerfificate", nullptr,
       [] {
         IssuerSerial id = other.get();
         return KoBioSPI_InitCerfificate("Scanner", &id, kPassword);
       },
       0},
      {"InitVerifyParameter", nullptr,
       [] {
         return KoBioSPI_InitVerifyParameter("Scanner", 200, 4, 7, 0, ResponseMethod(AMBER_RESPONSE_HMAC, "KeyText2"),
                                             kPassword);
       },
       0},
      {"InitIdentifyParameter", nullptr,
       [] {
         return KoBioSPI_InitIdentifyParameter("Scanner", 200, 4, 7, 0, ResponseMethod(AMBER_RESPONSE_HMAC, "IdKey2"),
                                               kPassword);
       },
       0},
      {"InitVerifyParameterFirstLockout",
       [] {
         ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Kiosk", 4, 0, kPassword));
       },
       [] {
         return KoBioSPI_InitVerifyParameter("Kiosk", 100, 3, 5, 1, ResponseMethod(AMBER_RESPONSE_SIGNATURE),
                                             kPassword);
       },
       0},
      {"SetEndUserParameter", nullptr,
       [] {
         IssuerSerial id = other.get();
         return KoBioSPI_SetEndUserParameter("Scanner", &id);
       },
       0},
      {"RestrictBSPFunction", nullptr, [] { return KoBioSPI_RestrictBSPFunction("Scanner", 5, 0x1DDC, kPassword); },
       0},
      {"DeleteParameter", nullptr, [] { return KoBioSPI_DeleteParameter("Scanner"); }, 0, true},
      {"VerifyCheckCounts", nullptr, VerifyCheck, 0},
      {"VerifyCheckLocks", [] { ASSERT_EQ(0u, VerifyCheck()); }, VerifyCheck, AMBER_E_LOCKED_NOW | F},
      {"VerifyCheckReleases",
       [] {
         ASSERT_EQ(0u, VerifyCheck());
         ASSERT_EQ(AMBER_E_LOCKED_NOW | F, VerifyCheck());
         SetClockForTesting(&LaterClock);
       },
       VerifyCheck, 0},
      {"VerifyUpdate", nullptr, [] { return KoBioFPI_UpdateVerifyStatus(1, &g_birB.bir, 7, 90); }, 0},
      {"IdentifyCheckCounts", nullptr, IdentifyCheck, 0},
      {"IdentifyCheckLocks", [] { ASSERT_EQ(0u, IdentifyCheck()); }, IdentifyCheck, AMBER_E_LOCKED_NOW | F},
      {"IdentifyUpdate", nullptr, [] { return IdentifyUpdate(2); }, 0},
  };
}

std::string Hex(const std::optional<Bytes> &b) { return b ? test::ToHex(*b) : "(absent)"; }

std::optional<Bytes> Find(const StoreSnapshot &s, const StoreEntry &e) {
  auto it = s.find(e);
  if (it == s.end()) return std::nullopt;
  return it->second;
}

class FaultInjectionTest : public test::StoreTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kVfsInstalled);
    StoreTest::SetUp();
    SetClockForTesting(&FixedClock);
    test::ProvisionAdminPassword(kPassword);
  }
  void TearDown() override {
    test::DisarmFault();
    test::SetReadOnlyOpen(false);
    SetClockForTesting(nullptr);
    for (const std::string &dir : runs_) test::RemoveTree(dir);
    setenv("AMBERCRYPT_ROOT", root().c_str(), 1);
    StoreTest::TearDown();
  }

  // The store every operation starts from: an application with every
  // setting, one failed verification and one failed identification counted.
  void Provision() {
    test::SetInstallationNumber(4321);
    test::InstallTestCertificates();
    test::AttachAs(kHost);
    Identity signer = IdentityOf(test::TestDataPath("signer.cert.pem"));
    IssuerSerial id = signer.get();
    ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitSecretKey("Scanner", AMBER_CALG_AES_256, "Secret12", kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitVerifyParameter("Scanner", 100, 3, 5, 1, ResponseMethod(AMBER_RESPONSE_HMAC, "KeyText1"),
                                               kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitIdentifyParameter("Scanner", 100, 3, 5, 1, ResponseMethod(AMBER_RESPONSE_SIGNATURE),
                                                 kPassword));
    ASSERT_EQ(0u, KoBioSPI_InitCerfificate("Scanner", &id, kPassword));
    ASSERT_EQ(0u, KoBioSPI_SetEndUserParameter("Scanner", &id));
    test::AttachAs(kHost);
    ASSERT_EQ(0u, KoBioFPI_UpdateVerifyStatus(0, &g_birA.bir, 5, 40));
    ASSERT_EQ(0u, VerifyCheck());
    ASSERT_EQ(0u, IdentifyUpdate(0));
    ASSERT_EQ(0u, IdentifyCheck());
  }

  // A fresh copy of the provisioned store as the state root (the library
  // opens a new connection for a new root), attached as the host.
  // (In memory where there is some: these runs sync after every write.)
  std::string FreshRun(const std::function<void()> &prepare, bool attach = true) {
    char pattern[] = "/dev/shm/ambercrypt-fault-XXXXXX";
    const char *made = access("/dev/shm", W_OK) == 0 ? mkdtemp(pattern) : nullptr;
    std::string dir = made != nullptr ? std::string(made) : test::TempDirectory();
    runs_.push_back(dir);
    test::CopyStore(root(), dir);
    setenv("AMBERCRYPT_ROOT", dir.c_str(), 1);
    SetClockForTesting(&FixedClock);
    if (!attach) return dir;
    test::AttachAs(kHost);
    if (prepare) prepare();
    return dir;
  }
  void EndRun() {
    test::Detach();
    test::RemoveTree(runs_.back());
    runs_.pop_back();
  }

  StoreSnapshot Snapshot(const std::string &dir) {
    StoreSnapshot s;
    std::string error;
    EXPECT_TRUE(test::SnapshotStore(dir, &s, &error)) << error;
    return s;
  }

  // What the library answers for each value now equals what is in the file
  // (no kept answer of a write that was never committed).
  void ExpectKeptAnswersMatch(const StoreSnapshot &after, const std::vector<StoreEntry> &entries,
                              const std::string &where) {
    for (const StoreEntry &e : entries) {
      if (e.key) continue;
      Bytes data;
      DWORD type = 0;
      LSTATUS status = test::ReadRawValue(e.path.c_str(), e.name.c_str(), &data, &type);
      std::optional<Bytes> read;
      if (status == ERROR_SUCCESS) {
        read = Bytes{static_cast<uint8_t>(type)};
        read->insert(read->end(), data.begin(), data.end());
      } else {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, status) << where << ": " << test::Describe(e);
      }
      EXPECT_EQ(Hex(Find(after, e)), Hex(read)) << where << ": the library reads " << test::Describe(e);
    }
  }

  // Each setting cache that holds a value of the host holds what its
  // registry value holds.
  void ExpectCachesMatch(const std::string &where) {
    const FpiContext *fpi = AttachedFpiContext();
    ASSERT_NE(nullptr, fpi);
    ASSERT_NE(nullptr, fpi->appKey());
    SettingCaches &c = Caches();
    std::string appKey = fpi->appKey();
    const SettingStore &store = fpi->store();
    auto stored = [&](const Setting &s) -> std::optional<int32_t> {
      CRegCtrl reg;
      if (!reg.Open(ApplicationKeyPath(appKey.c_str()).c_str(), 0, KEY_READ)) return std::nullopt;
      int32_t v = 0;
      if (reg.QueryEncryptedInt(s.name, &v, store.keyMaterial(), store.keyMaterialLength()) != ERROR_SUCCESS) {
        return std::nullopt;
      }
      return v;
    };
    auto check = [&](const char *cache, const auto &value, const Setting &s) {
      if (!value) return;
      std::optional<int32_t> v = stored(s);
      EXPECT_TRUE(v.has_value()) << where << ": " << cache << " keeps a value " << s.name << " does not hold";
      if (v) {
        EXPECT_EQ(*v, static_cast<int32_t>(*value)) << where << ": " << cache << " vs " << s.name;
      }
    };
    check("ModeCache", c.ModeCache.Find(appKey), settings::kRestrictionMode);
    check("CustomMaskCache", c.CustomMaskCache.Find(appKey), settings::kCustomMask);
    check("SecretKeyStateCache", c.SecretKeyStateCache.Find(appKey), settings::kSecretKeyState);
    check("CipherAlgorithmCache", c.CipherAlgorithmCache.Find(appKey), settings::kCipherAlgorithm);
    check("VerifySetting17Cache", c.VerifySetting17Cache.Find(appKey), settings::kVerifyMaxFailures);
    check("VerifySetting19Cache", c.VerifySetting19Cache.Find(appKey), settings::kVerifyMaxFmr);
    check("VerifySetting23Cache", c.VerifySetting23Cache.Find(appKey), settings::kVerifyPolicyFlag);
    check("IdentifySetting18Cache", c.IdentifySetting18Cache.Find(appKey), settings::kIdentifyMaxFailures);
    check("IdentifySetting20Cache", c.IdentifySetting20Cache.Find(appKey), settings::kIdentifyMaxFmr);
    check("IdentifySetting24Cache", c.IdentifySetting24Cache.Find(appKey), settings::kIdentifyPolicyFlag);
    if (CacheLookup<CSecureBuffer> key = c.SecretKeyCache.Find(appKey)) {
      CRegCtrl reg;
      uint8_t block[64];
      uint32_t length = sizeof block;
      bool read = reg.Open(ApplicationKeyPath(appKey.c_str()).c_str(), 0, KEY_READ) &&
                  reg.QueryEncryptedBinary(settings::kSecretKeyBlock.name, block, &length, store.keyMaterial(),
                                           store.keyMaterialLength()) == ERROR_SUCCESS;
      EXPECT_TRUE(read && length == key->size() && memcmp(block, key->data(), length) == 0)
          << where << ": SecretKeyCache differs from " << settings::kSecretKeyBlock.name;
    }
  }

  // Checks one run: before is the store before it, complete the store a run
  // without faults leaves.
  void CheckRun(const Operation &op, const std::string &dir, const StoreSnapshot &before,
                const StoreSnapshot &complete, uint32_t code, const std::string &where) {
    EXPECT_EQ("ok", test::IntegrityCheck(dir)) << where;
    StoreSnapshot after = Snapshot(dir);
    std::vector<StoreEntry> entries;
    for (const StoreSnapshot *s : std::initializer_list<const StoreSnapshot *>{&before, &complete, &after}) {
      for (const auto &e : *s) {
        if (std::find_if(entries.begin(), entries.end(), [&](const StoreEntry &x) {
              return !(x < e.first) && !(e.first < x);
            }) == entries.end()) {
          entries.push_back(e.first);
        }
      }
    }
    for (const StoreEntry &e : entries) {
      std::optional<Bytes> now = Find(after, e), old = Find(before, e), fresh = Find(complete, e);
      // A key is made and then opened to every account in two calls, on
      // Windows as here: a call that failed between them may leave the key
      // with its default security (a retry opens it).
      bool madeNotOpened = e.key && code != op.expected && !old && now == Bytes{0};
      EXPECT_TRUE(now == old || now == fresh || madeNotOpened)
          << where << ": " << test::Describe(e) << " holds " << Hex(now) << ", neither " << Hex(old) << " nor "
          << Hex(fresh);
    }
    if (code == op.expected) {
      std::vector<std::string> missing = test::Differences(complete, after);
      EXPECT_TRUE(missing.empty()) << where << ": answered " << code << " with " << missing.size()
                                   << " values unwritten, the first " << (missing.empty() ? "" : missing[0]);
    } else {
      EXPECT_NE(0u, code) << where;
      EXPECT_NE(0u, code & F) << where << ": " << code << " is no code of the library";
    }
    ExpectKeptAnswersMatch(after, entries, where);
    if (!op.cachesOutliveKey) ExpectCachesMatch(where);
  }

  // Runs op with the k-th call of point failing, k = 1, 2, ... until a run
  // meets no fault; returns the number of faults injected.
  int RunWithFaults(const Operation &op, FaultPoint point, FaultError error) {
    std::string dir = FreshRun(op.prepare);
    StoreSnapshot before = Snapshot(dir);
    uint32_t code = op.run();
    EXPECT_EQ(op.expected, code) << op.name << " without faults";
    StoreSnapshot complete = Snapshot(dir);
    EXPECT_NE(0u, test::Differences(before, complete).size()) << op.name << " writes nothing";
    EndRun();
    int injected = 0;
    for (int k = 1; k < 1000; ++k) {
      std::string where = std::string(op.name) + ", " + test::Name(error) + " at " + test::Name(point) + " " +
                          std::to_string(k);
      dir = FreshRun(op.prepare);
      if (testing::Test::HasFatalFailure()) return injected;
      before = Snapshot(dir);
      test::ArmFault(point, error, k);
      code = op.run();
      bool fired = test::DisarmFault();
      CheckRun(op, dir, before, complete, code, where);
      EndRun();
      if (!fired) {
        EXPECT_EQ(op.expected, code) << where << ": met no fault";
        break;
      }
      ++injected;
      if (testing::Test::HasFailure()) break;  // one run's failures tell the story
    }
    return injected;
  }

  std::vector<std::string> runs_;
};

struct FaultCase {
  FaultPoint point;
  FaultError error;
};
const FaultCase kFaultCases[] = {
    {FaultPoint::kWrite, FaultError::kIoError}, {FaultPoint::kSync, FaultError::kIoError},
    {FaultPoint::kLock, FaultError::kIoError},  {FaultPoint::kWrite, FaultError::kDiskFull},
    {FaultPoint::kSync, FaultError::kDiskFull}, {FaultPoint::kLock, FaultError::kDiskFull},
};

class WritingOperationTest : public FaultInjectionTest, public testing::WithParamInterface<size_t> {};

TEST_P(WritingOperationTest, SurvivesEveryFault) {
  Provision();
  const Operation op = WritingOperations().at(GetParam());
  int total = 0;
  for (const FaultCase &c : kFaultCases) {
    int n = RunWithFaults(op, c.point, c.error);
    EXPECT_GT(n, 0) << op.name << " met no " << test::Name(c.point) << " at all";
    total += n;
    printf("  %-32s %-13s at %-5s: %d fault points\n", op.name, test::Name(c.error), test::Name(c.point), n);
    if (HasFailure()) return;
  }
  printf("fault points injected: %d\n", total);
}

INSTANTIATE_TEST_SUITE_P(Store, WritingOperationTest, testing::Range<size_t>(0, WritingOperations().size()),
                         [](const testing::TestParamInfo<size_t> &info) {
                           return std::string(WritingOperations().at(info.param).name);
                         });

// Attach in a new installation writes the installation number: a process
// that built key material from a number must find that number stored.
TEST_F(FaultInjectionTest, AttachWithANewInstallationNeverKeepsAnUnstoredNumber) {
  int total = 0;
  for (const FaultCase &c : kFaultCases) {
    int injected = 0;
    for (int k = 1; k < 1000; ++k) {
      std::string where = std::string("attach, ") + test::Name(c.error) + " at " + test::Name(c.point) + " " +
                          std::to_string(k);
      std::string dir = FreshRun(nullptr, false);
      test::Detach();
      StoreSnapshot before = Snapshot(dir);
      test::ArmFault(c.point, c.error, k);
      test::AttachAs(kHost);
      bool fired = test::DisarmFault();
      EXPECT_EQ("ok", test::IntegrityCheck(dir)) << where;
      StoreSnapshot after = Snapshot(dir);
      StoreEntry number{std::string(kBaseKeyPath).substr(0, strlen(kBaseKeyPath) - 1),
                        settings::kInstallationNumber.name, false};
      std::optional<Bytes> stored = Find(after, number);
      ASSERT_FALSE(Find(before, number).has_value());
      ExpectKeptAnswersMatch(after, {number}, where);
      after.erase(number);
      EXPECT_TRUE(test::Differences(before, after).empty()) << where << ": attach wrote more than the number";
      for (const SettingStore *store : {&AttachedFpiContext()->store(), &AttachedSpiContext()->store()}) {
        if (store->keyMaterial() == nullptr) continue;
        ASSERT_TRUE(stored.has_value()) << where << ": key material built from a number never stored";
        ASSERT_EQ(5u, stored->size());
        DWORD n = 0;
        memcpy(&n, stored->data() + 1, 4);
        CSecureBuffer expected = BuildKeyMaterial(static_cast<int32_t>(n));
        EXPECT_TRUE(expected.size() == store->keyMaterialLength() &&
                    memcmp(expected.data(), store->keyMaterial(), expected.size()) == 0)
            << where << ": key material of another number than the stored " << n;
      }
      EXPECT_TRUE(fired || AttachedFpiContext()->store().keyMaterial() != nullptr) << where << ": no key material without a fault";
      EndRun();
      if (!fired || HasFailure()) break;
      ++injected;
    }
    EXPECT_GT(injected, 0);
    total += injected;
  }
  printf("fault points injected: %d\n", total);
}

// A store SQLite opens read-only (a read-only mount): every writing operation
// answers a failure and changes nothing.
TEST_F(FaultInjectionTest, AReadOnlyStoreRefusesEveryWrite) {
  Provision();
  for (const Operation &op : WritingOperations()) {
    std::string dir = FreshRun(op.prepare);
    StoreSnapshot before = Snapshot(dir);
    test::Detach();
    // The library's connection follows the state root: it leaves the run's
    // store, and comes back to it through files opened read-only.
    setenv("AMBERCRYPT_ROOT", root().c_str(), 1);
    ASSERT_TRUE(test::KeyExists(kBaseKeyPath));
    test::SetReadOnlyOpen(true);
    setenv("AMBERCRYPT_ROOT", dir.c_str(), 1);
    test::AttachAs(kHost);
    uint32_t code = op.run();
    test::SetReadOnlyOpen(false);
    EXPECT_NE(op.expected, code) << op.name << " on a read-only store";
    EXPECT_NE(0u, code & F) << op.name;
    EXPECT_TRUE(test::Differences(before, Snapshot(dir)).empty()) << op.name;
    EXPECT_EQ("ok", test::IntegrityCheck(dir)) << op.name;
    EndRun();
  }
}

// The same with the files and directories made read-only, for an account
// that is not their owner's (root writes whatever the modes say, so a root
// test runs the operations in a child as nobody).
TEST_F(FaultInjectionTest, AStoreOfReadOnlyFilesRefusesEveryWrite) {
  Provision();
  for (const Operation &op : WritingOperations()) {
    std::string dir = FreshRun(op.prepare);
    test::Detach();
    std::string command = "chmod -R a-w,a+rX '" + dir + "'";
    ASSERT_EQ(0, system(command.c_str()));
    StoreSnapshot before = Snapshot(dir);
    int pipeFd[2];
    ASSERT_EQ(0, pipe(pipeFd));
    pid_t pid = fork();
    if (pid == 0) {
      close(pipeFd[0]);
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
      test::AttachAs(kHost);
      uint32_t code = op.run();
      (void)!write(pipeFd[1], &code, sizeof code);
      _exit(0);
    }
    close(pipeFd[1]);
    uint32_t code = 0;
    ssize_t n = read(pipeFd[0], &code, sizeof code);
    close(pipeFd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == sizeof code) << op.name;
    EXPECT_NE(op.expected, code) << op.name << " on read-only files";
    EXPECT_NE(0u, code & F) << op.name;
    command = "chmod -R u+w '" + dir + "'";
    ASSERT_EQ(0, system(command.c_str()));
    EXPECT_TRUE(test::Differences(before, Snapshot(dir)).empty()) << op.name;
    EXPECT_EQ("ok", test::IntegrityCheck(dir)) << op.name;
    EndRun();
  }
}

}  // namespace
}  // namespace ambercrypt
