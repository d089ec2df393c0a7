// The Linux state root against a local account that wants root's processes to
// write where it chooses: planted links, stores it owns or may write, and
// outside tools that close the store behind the library's back.
#include "platform/posix/state_root.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "crypto/ccrypt.h"
#include "frame/entry.h"
#include "platform/posix/registry_tool.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

constexpr uid_t kNobody = 65534;
const char kPassword[] = "Admin123";
const char kHost[] = "/apps/Scanner";

bool BecomeNobody() { return setgid(kNobody) == 0 && setuid(kNobody) == 0; }

// A group number no group of this machine has.
gid_t UnusedGroup() {
  for (gid_t gid = 64999; gid > 60000; --gid) {
    if (getgrgid(gid) == nullptr) return gid;
  }
  return 0;
}

// The lock file of a named mutex, as the platform layer names it.
std::string LockFile(const char *mutexName) {
  std::string name = mutexName;
  for (char &c : name) {
    if (c == '\\' || c == '/') c = '_';
  }
  return "locks/" + name + ".lock";
}

mode_t ModeOf(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A process of the library that does not answer within this many seconds is
// killed (SIGALRM) and fails its test: less than the lockout lock's and the
// busy handler's own waits, so no answer can come from one of them running
// out.
constexpr unsigned kPromptly = 8;

// Statements run on a store's shared database through SQLite, as another
// account's program would run them (keeping the journal, which it could not
// delete in the sticky directory).
bool RunOnSharedDatabase(const std::string &store, const char *statements) {
  sqlite3 *db = nullptr;
  bool done =
      sqlite3_open_v2((store + "/shared/open_keys.db").c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
      sqlite3_exec(db, "PRAGMA journal_mode=TRUNCATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
      sqlite3_exec(db, statements, nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!done) fprintf(stderr, "%s: %s\n", statements, sqlite3_errmsg(db));
  sqlite3_close(db);
  return done;
}

// ambercrypt-admin with args, killed after kPromptly seconds: its exit status
// (128 + the signal when killed) and everything it printed.
int RunAdminTool(const std::vector<std::string> &args, std::string *output) {
  int out[2];
  if (pipe(out) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    close(out[0]);
    close(out[1]);
    std::vector<char *> argv{const_cast<char *>(AMBERCRYPT_ADMIN_TOOL)};
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    alarm(kPromptly);  // kept across exec
    execv(AMBERCRYPT_ADMIN_TOOL, argv.data());
    _exit(127);
  }
  close(out[1]);
  output->clear();
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A BIR of a few bytes and the answers of a host's lockout check, for the
// verify and identify calls a host makes.
struct HostCall {
  uint8_t data[16] = {1, 2, 3};
  BioAPI_BIR bir;
  int32_t allowed = 0;
  uint8_t flag = 0;

  HostCall() {
    memset(&bir, 0, sizeof bir);
    bir.BiometricData.Length = sizeof data;
    bir.BiometricData.Data = data;
  }
  HostCall(const HostCall &) = delete;
  HostCall &operator=(const HostCall &) = delete;

  uint32_t Check() { return KoBioFPI_VerifySecurityStatas(&bir, 10, &allowed, &flag); }
};

class StateRootTest : public test::StoreTest {
 protected:
  void SetUp() override {
    test::StoreTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second account";
    chmod(root().c_str(), 0755);
  }

  // Points the library at a store of its own below the test's directory.
  std::string UseStore(const std::string &name) {
    std::string store = root() + "/" + name;
    setenv("AMBERCRYPT_ROOT", store.c_str(), 1);
    return store;
  }

  // An installation as root makes it, in a process of its own: Scanner in
  // mode 4 with a secret key and a UserInfo key. Returns the UserInfo path.
  std::string Provision(mode_t umaskForInstall = 022) {
    int code = test::RunChild([&] {
      umask(umaskForInstall);
      test::ProvisionInstallation(kPassword, 12);
      test::AttachAs("/apps/Admin");
      if (KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword) != 0) return 1;
      if (KoBioSPI_InitSecretKey("Scanner", 0x6610, "Secret12", kPassword) != 0) return 2;
      if (!AttachedSpiContext()->SetApplication("Scanner")) return 3;
      AttachedSpiContext()->CreateUserInfoKey();
      HANDLE lock = CreateMutexA(nullptr, FALSE, kInstallationMutexName);
      if (lock == nullptr) return 4;
      CloseHandle(lock);
      return 0;
    });
    EXPECT_EQ(0, code);
    char appKey[30];
    EXPECT_TRUE(HashNameToBase64("Scanner", appKey));
    return UserInfoKeyPath(appKey);
  }

  // Provision, then verify and identify parameters for Scanner (limit 3).
  void ProvisionLockout() {
    Provision();
    ASSERT_EQ(0, test::RunChild([&] {
                test::AttachAs("/apps/Admin");
                const ResponseMethodRecord method = test::ResponseMethod(AMBER_RESPONSE_SIGNATURE);
                return KoBioSPI_InitVerifyParameter("Scanner", 100, 3, 5, 1, method, kPassword) == 0 &&
                               KoBioSPI_InitIdentifyParameter("Scanner", 100, 3, 5, 1, method, kPassword) == 0
                           ? 0
                           : 1;
              }));
  }

  // A file of root's that an attacker would like made writable.
  std::string Target() {
    std::string path = root() + "/target";
    FILE *f = fopen(path.c_str(), "w");
    fputs("root:secret\n", f);
    fclose(f);
    chmod(path.c_str(), 0600);
    return path;
  }

  // Writes lockout state below the null-DACL key, as a host does.
  static uint32_t WriteUserInfo(const std::string &userInfo) {
    CRegCtrl reg;
    if (!reg.Open(userInfo.c_str(), 0, KEY_ALL_ACCESS)) return ERROR_ACCESS_DENIED;
    return reg.SetEncryptedInt(settings::kVerifyFailureCount.name, 1, AttachedFpiContext()->store().keyMaterial(),
                               AttachedFpiContext()->store().keyMaterialLength());
  }
};

TEST_F(StateRootTest, PlantedLinksNeverRedirectARootProcess) {
  struct Case {
    const char *victim;  // below the store
    bool lock;           // reached through CreateMutexA rather than the shared database
    uint32_t write;      // what writing the lockout state answers
  };
  const std::string lockFile = LockFile(kInstallationMutexName);
  const Case cases[] = {
      {"shared/open_keys.db", false, ERROR_ACCESS_DENIED},
      // Removed by the store's writer, which makes its own.
      {"shared/open_keys.db-journal", false, ERROR_SUCCESS},
      // Files of WAL mode, which the library neither reads nor makes.
      {"shared/open_keys.db-wal", false, ERROR_SUCCESS},
      {"shared/open_keys.db-shm", false, ERROR_SUCCESS},
      {lockFile.c_str(), true, ERROR_SUCCESS},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.victim);
    std::string store = UseStore("store" + std::to_string(n++));
    std::string userInfo = Provision();
    std::string target = Target();
    std::string victim = store + "/" + c.victim;
    // The files an outside tool or an administrator may have removed.
    unlink(victim.c_str());
    ASSERT_EQ(0,
              test::RunChild([&] { return BecomeNobody() && symlink(target.c_str(), victim.c_str()) == 0 ? 0 : 1; }));

    int code = test::RunChild([&] {
      test::AttachAs(kHost);
      if (c.lock) {
        HANDLE lock = CreateMutexA(nullptr, FALSE, kInstallationMutexName);
        return lock == nullptr && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1;
      }
      // The host still reads its settings; the lockout state it cannot write.
      if (KoBioFPI_CheckMode(0x1) != 0) return 2;
      return WriteUserInfo(userInfo) == c.write ? 0 : 3;
    });
    EXPECT_EQ(0, code);
    EXPECT_EQ(0600u, ModeOf(target));
    EXPECT_EQ("root:secret\n", test::ReadFile(target));
  }
}

// The shared database is every account's to write, in its bytes, its schema
// and the files SQLite keeps beside it. However another account leaves it, a
// host's lockout checks and updates (verify and identify) fail closed with
// their codes instead of answering without lockout or never answering, the
// administrator's settings stay as they were, and ambercrypt-admin show says
// the store cannot be read instead of hanging or showing "locked: no".
TEST_F(StateRootTest, AHostileSharedDatabaseFailsClosed) {
  using Plant = std::function<bool(const std::string &store)>;
  auto statements = [](const char *sql) -> Plant {
    return [sql](const std::string &store) { return RunOnSharedDatabase(store, sql); };
  };
  // Bytes written over the database file from offset from (to its end when
  // length is 0).
  auto overwrite = [](off_t from, size_t length) -> Plant {
    return [=](const std::string &store) {
      int fd = open((store + "/shared/open_keys.db").c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st;
      if (fd < 0 || fstat(fd, &st) != 0) return false;
      std::vector<char> junk(length != 0 ? length : static_cast<size_t>(st.st_size - from), '\xa5');
      bool written = pwrite(fd, junk.data(), junk.size(), from) == static_cast<ssize_t>(junk.size());
      close(fd);
      return written;
    };
  };
  // Rows without end (key i + 0, not i, so that SQLite cannot tell from the
  // WHERE clause alone that none matches).
  const char *recursiveView =
      "ALTER TABLE vals RENAME TO kept;"
      "CREATE VIEW vals AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n)"
      " SELECT i + 0 AS key, 'v' || i AS name, 'v' || i AS fold, 3 AS type, x'00' AS data FROM n;";
  struct Case {
    const char *name;
    Plant plant;
    bool whileAttached;  // planted while the host has the database open
  };
  const Case cases[] = {
      {"a recursive view named vals", statements(recursiveView), false},
      {"triggers deleting every row written",
       statements(
           "CREATE TRIGGER forget_insert AFTER INSERT ON vals BEGIN DELETE FROM vals WHERE rowid = new.rowid; END;"
           "CREATE TRIGGER forget_update AFTER UPDATE ON vals BEGIN DELETE FROM vals WHERE rowid = new.rowid; END;"),
       false},
      {"another table", statements("CREATE TABLE notes(x)"), false},
      {"another index", statements("CREATE INDEX vals_by_data ON vals(data)"), false},
      {"vals defined otherwise (one value a key, the others dropped)",
       statements("CREATE TABLE changed(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
                  " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold), UNIQUE(key) ON CONFLICT IGNORE);"
                  "INSERT INTO changed SELECT * FROM vals; DROP TABLE vals; ALTER TABLE changed RENAME TO vals;"),
       false},
      {"every page after the first damaged", overwrite(4096, 0), false},
      {"not a database", overwrite(0, 100), false},
      {"larger than any store's",
       [](const std::string &store) { return truncate((store + "/shared/open_keys.db").c_str(), off_t{1} << 30) == 0; },
       false},
      {"a recursive view planted after the host attached", statements(recursiveView), true},
  };
  constexpr uint32_t kUnavailable = AMBER_ERROR_FLAG | AMBER_E_SETTING_UNAVAILABLE;
  constexpr uint32_t kNotRecorded = AMBER_ERROR_FLAG | AMBER_E_STATUS_UPDATE;
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string store = UseStore("hostile" + std::to_string(n++));
    ProvisionLockout();
    // What the administrator sees of the store untouched (show also indexes
    // the application's name, once).
    std::string shown;
    ASSERT_EQ(0, RunAdminTool({"show", "Scanner"}, &shown)) << shown;
    ASSERT_NE(std::string::npos, shown.find("locked:")) << shown;
    const std::string settings = test::ReadFile(store + "/registry.db");
    ASSERT_FALSE(settings.empty());
    auto plant = [&] { return test::RunChild([&] { return BecomeNobody() && c.plant(store) ? 0 : 1; }); };
    if (!c.whileAttached) {
      ASSERT_EQ(0, plant());
    }

    int code = test::RunChild([&] {
      alarm(kPromptly);
      test::AttachAs(kHost);
      HostCall call;
      uint32_t count = 0;
      BioAPI_CANDIDATE *candidates = nullptr;
      if (c.whileAttached) {
        if (call.Check() != 0) return 10;
        if (plant() != 0) return 11;
      }
      const uint32_t answers[] = {
          call.Check(),
          KoBioFPI_UpdateVerifyStatus(0, &call.bir, 10, 50),
          KoBioFPI_IdentifySecurityStatas(nullptr, 10, &call.allowed, &call.flag),
          KoBioFPI_UpdateIdentifyStatus(&count, &candidates, 50),
      };
      const uint32_t expected[] = {kUnavailable, kNotRecorded, kUnavailable, kNotRecorded};
      for (int i = 0; i < 4; ++i) {
        if (answers[i] != expected[i]) {
          fprintf(stderr, "call %d answered 0x%X, not 0x%X\n", i, answers[i], expected[i]);
          return 1 + i;
        }
      }
      return 0;
    });
    EXPECT_EQ(0, code) << "(128 + 14: no answer within " << kPromptly << " s)";
    EXPECT_TRUE(test::ReadFile(store + "/registry.db") == settings) << "the host changed the settings";

    int status = RunAdminTool({"show", "Scanner"}, &shown);
    EXPECT_EQ(1, status) << shown;
    EXPECT_NE(std::string::npos, shown.find("the store cannot be read")) << shown;
    EXPECT_EQ(std::string::npos, shown.find("locked:")) << shown;
    EXPECT_TRUE(test::ReadFile(store + "/registry.db") == settings) << "show changed the settings";
  }
}

// A hot journal another account writes, ending with the name of a
// super-journal: SQLite's rollback opens that file, reads it and deletes it.
bool PlantHotJournal(const std::string &store, const std::string &superJournal) {
  const std::string db = test::ReadFile(store + "/shared/open_keys.db");
  if (db.size() < 100) return false;
  const uint32_t pageSize = (uint32_t{static_cast<uint8_t>(db[16])} << 8) | static_cast<uint8_t>(db[17]);
  auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  uint32_t sum = 0;
  for (unsigned char c : superJournal) sum += c;
  const std::string journal = std::string(512, '\1') + be32(0x40000000u / pageSize + 1) + superJournal +
                              be32(static_cast<uint32_t>(superJournal.size())) + be32(sum) +
                              "\xd9\xd5\x05\xf9\x20\xa1\x63\xd7";
  int fd = open((store + "/shared/open_keys.db-journal").c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool written = pwrite(fd, journal.data(), journal.size(), 0) == static_cast<ssize_t>(journal.size());
  return close(fd) == 0 && written;
}

// The files SQLite keeps beside the shared database are another account's to
// write. A hot journal naming any file as its super-journal makes no process
// open or delete that file; a WAL another account switches the database to
// is refused by an ordinary host and brought back by the store's writer; and
// no process maps any of these files (a mapped -shm truncated by another
// account killed every host with SIGBUS).
TEST_F(StateRootTest, JournalsAndWalPlantedBesideTheSharedDatabaseTakeNoHold) {
  constexpr uint32_t kUnavailable = AMBER_ERROR_FLAG | AMBER_E_SETTING_UNAVAILABLE;
  // A host's lockout check and update, then whether its memory maps a file of
  // the shared database: 0 when nothing is mapped and both answered expected.
  auto host = [](bool nobody, uint32_t expected) {
    return test::RunChild([&] {
      alarm(kPromptly);
      if (nobody && !BecomeNobody()) return 10;
      test::AttachAs(kHost);
      HostCall call;
      const uint32_t check = call.Check();
      if (check != expected) {
        fprintf(stderr, "the check answered 0x%X\n", check);
        return 1;
      }
      // A failure once the check failed (which code depends on the account).
      const uint32_t updated = KoBioFPI_UpdateVerifyStatus(0, &call.bir, 10, 50);
      if (expected == 0 ? updated != 0 : (updated & AMBER_ERROR_FLAG) == 0) {
        fprintf(stderr, "the update answered 0x%X\n", updated);
        return 2;
      }
      return test::ReadFile("/proc/self/maps").find("open_keys.db") == std::string::npos ? 0 : 3;
    });
  };
  {
    SCOPED_TRACE("a hot journal naming root's file as its super-journal");
    const std::string store = UseStore("journal");
    ProvisionLockout();
    const std::string victim = Target();
    ASSERT_EQ(0, test::RunChild([&] { return BecomeNobody() && PlantHotJournal(store, victim) ? 0 : 1; }));
    EXPECT_EQ(0, host(false, 0));
    EXPECT_EQ("root:secret\n", test::ReadFile(victim));
  }
  {
    SCOPED_TRACE("the shared database's header switched to WAL");
    const std::string store = UseStore("wal");
    ProvisionLockout();
    ASSERT_EQ(0, test::RunChild([&] {
                if (!BecomeNobody()) return 1;
                int fd = open((store + "/shared/open_keys.db").c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
                const char versions[2] = {2, 2};
                bool written = fd >= 0 && pwrite(fd, versions, 2, 18) == 2;
                if (fd >= 0) close(fd);
                return written ? 0 : 2;
              }));
    EXPECT_EQ(0, host(true, kUnavailable));  // refused, not mapped
    EXPECT_EQ(0, host(false, 0));            // the store's writer brings it back
    EXPECT_EQ(1, test::ReadFile(store + "/shared/open_keys.db").at(18));
    EXPECT_EQ(0, host(true, 0));
  }
  {
    SCOPED_TRACE("a FIFO put in the journal's place while a host runs");
    const std::string store = UseStore("fifo");
    ProvisionLockout();
    const std::string journal = store + "/shared/open_keys.db-journal";
    int code = test::RunChild([&] {
      alarm(kPromptly);
      test::AttachAs(kHost);
      HostCall call;
      if (call.Check() != 0) return 1;
      // The journal gone (an administrator's doing), then another account's
      // FIFO in its place: opening it would wait for a writer for ever.
      if (unlink(journal.c_str()) != 0) return 2;
      if (test::RunChild([&] { return BecomeNobody() && mkfifo(journal.c_str(), 0666) == 0 ? 0 : 1; }) != 0) return 3;
      return call.Check() == kUnavailable ? 0 : 4;
    });
    EXPECT_EQ(0, code) << "(128 + 14: no answer within " << kPromptly << " s)";
    EXPECT_EQ(0, host(false, 0));  // the store's writer puts its own journal back
    struct stat st;
    ASSERT_EQ(0, lstat(journal.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
  }
}

// A certificate store is read only from regular files in it: a FIFO named
// like a certificate does not hang the reader, a link to a certificate
// elsewhere does not make that certificate trusted.
TEST_F(StateRootTest, CertificateStoresReadOnlyTheirOwnRegularFiles) {
  const std::string store = root() + "/certs/ROOT";
  ASSERT_EQ(0, system(("mkdir -p '" + store + "'").c_str()));
  ASSERT_EQ(0, mkfifo((store + "/planted.pem").c_str(), 0644));
  ASSERT_EQ(0, symlink(test::TestDataPath("signer.cert.pem").c_str(), (store + "/linked.pem").c_str()));
  test::Bytes issuer, serial;
  test::IssuerAndSerialOf(test::PemCertificateToDer(test::ReadFile(test::TestDataPath("signer.cert.pem"))), &issuer,
                          &serial);
  CERT_ISSUER_SERIAL_NUMBER id;
  id.Issuer = {static_cast<DWORD>(issuer.size()), issuer.data()};
  id.SerialNumber = {static_cast<DWORD>(serial.size()), serial.data()};
  int code = test::RunChild([&] {
    alarm(20);  // a reader stuck on the FIFO dies here
    CCrypt crypt;
    return crypt.FindCertificate(&id) == static_cast<uint32_t>(CRYPT_E_NOT_FOUND) ? 0 : 1;
  });
  EXPECT_EQ(0, code);
  // The same certificate as a regular file of the store is found.
  ASSERT_EQ(0, system(("cp '" + test::TestDataPath("signer.cert.pem") + "' '" + store + "/copied.pem'").c_str()));
  CCrypt crypt;
  EXPECT_EQ(0u, crypt.FindCertificate(&id));
}

TEST_F(StateRootTest, RootRefusesAStoreAnotherAccountControls) {
  struct Case {
    const char *name;
    std::function<void(const std::string &store)> tamper;
    bool registryRefused;  // else only the shared database is
    const char *refused;   // what opening the store names, below the case's directory
    const char *why;       // and why
  };
  const Case cases[] = {
      {"root owned by another account", [](const std::string &s) { (void)!chown(s.c_str(), kNobody, kNobody); }, true,
       "/store", "belongs to another account"},
      {"root writable by everyone", [](const std::string &s) { chmod(s.c_str(), 0777); }, true, "/store",
       "may be written by other accounts"},
      {"root writable by its group", [](const std::string &s) { chmod(s.c_str(), 0775); }, true, "/store",
       "may be written by other accounts"},
      {"a directory above it writable by everyone",
       [](const std::string &s) { chmod(s.substr(0, s.rfind('/')).c_str(), 0777); }, true, "",
       "may be written by other accounts"},
      {"registry.db owned by another account",
       [](const std::string &s) { (void)!chown((s + "/registry.db").c_str(), kNobody, kNobody); }, true,
       "/store/registry.db", "belongs to another account"},
      {"registry.db writable by everyone", [](const std::string &s) { chmod((s + "/registry.db").c_str(), 0666); },
       true, "/store/registry.db", "may be written by other accounts"},
      {"shared without the sticky bit", [](const std::string &s) { chmod((s + "/shared").c_str(), 0777); }, false,
       "/store/shared", "may be written by other accounts"},
      {"open_keys.db made by another account",
       [](const std::string &s) { (void)!chown((s + "/shared/open_keys.db").c_str(), kNobody, kNobody); }, false,
       "/store/shared/open_keys.db", "belongs to another account"},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::string parent = root() + "/case" + std::to_string(n++);
    mkdir(parent.c_str(), 0755);
    std::string store = UseStore(parent.substr(root().size() + 1) + "/store");
    std::string userInfo = Provision();
    c.tamper(store);
    // The refused directory or file, as the platform names it: resolved.
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath(parent.c_str(), resolved));
    const std::string refused = resolved + std::string(c.refused);
    int code = test::RunChild([&] {
      // The open says what it refused and why.
      std::string refusal;
      LSTATUS connected = posix::OpenRegistryStore(&refusal);
      if (refusal != refused + ": " + c.why) {
        fprintf(stderr, "refusal \"%s\", not \"%s: %s\"\n", refusal.c_str(), refused.c_str(), c.why);
        return 7;
      }
      if (connected != (c.registryRefused ? ERROR_ACCESS_DENIED : ERROR_SUCCESS)) return 8;
      HKEY key = nullptr;
      LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBaseKeyPath, 0, KEY_READ, &key);
      if (opened == ERROR_SUCCESS) RegCloseKey(key);
      test::AttachAs(kHost);
      if (c.registryRefused) {
        if (opened != ERROR_ACCESS_DENIED) return 1;
        if (AttachedFpiContext()->store().keyMaterial() != nullptr) return 3;
        return KoBioFPI_CheckMode(0x1) == (AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG) ? 0 : 4;
      }
      if (opened != ERROR_SUCCESS || KoBioFPI_CheckMode(0x1) != 0) return 5;
      return WriteUserInfo(userInfo) == ERROR_ACCESS_DENIED ? 0 : 6;
    });
    EXPECT_EQ(0, code);
  }
}

TEST_F(StateRootTest, StickyDirectoriesOnTheWayAreAccepted) {
  std::string shared = root() + "/public";
  mkdir(shared.c_str(), 0700);
  chmod(shared.c_str(), 01777);  // like /tmp
  UseStore("public/store");
  std::string userInfo = Provision();
  EXPECT_EQ(0, test::RunChild([&] {
              test::AttachAs(kHost);
              return KoBioFPI_CheckMode(0x1) == 0 && WriteUserInfo(userInfo) == ERROR_SUCCESS ? 0 : 1;
            }));
}

// The store as the Debian package lays it out: root's, readable by one group
// and, in its shared part, writable by it (sticky and setgid), closed to
// every other account.
TEST_F(StateRootTest, AGroupRestrictedStoreServesItsGroupOnly) {
  std::string store = UseStore("store");
  std::string userInfo = Provision();
  gid_t group = UnusedGroup();
  ASSERT_NE(0u, group);
  const std::pair<const char *, mode_t> layout[] = {
      {"", 0750}, {"/registry.db", 0640}, {"/shared", 03770}, {"/shared/open_keys.db", 0660}, {"/locks", 03770}};
  for (const auto &[path, mode] : layout) {
    ASSERT_EQ(0, chown((store + path).c_str(), 0, group)) << path;
    ASSERT_EQ(0, chmod((store + path).c_str(), mode)) << path;
  }
  auto host = [&](bool member) {
    return test::RunChild([&] {
      gid_t groups[] = {group};
      if (setgroups(member ? 1 : 0, groups) != 0 || !BecomeNobody()) return 10;
      bool readable = access((store + "/registry.db").c_str(), R_OK) == 0;
      test::AttachAs(kHost);
      uint32_t mode = KoBioFPI_CheckMode(0x1);
      if (!member) return !readable && mode == (AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG) ? 0 : 1;
      return readable && mode == 0 && WriteUserInfo(userInfo) == ERROR_SUCCESS ? 0 : 2;
    });
  };
  EXPECT_EQ(0, host(true));
  EXPECT_EQ(0, host(false));
}

TEST_F(StateRootTest, ModesHoldUnderAnInstallersUmask) {
  std::string store = UseStore("store");
  Provision(077);
  EXPECT_EQ(0755u, ModeOf(store));
  EXPECT_EQ(0644u, ModeOf(store + "/registry.db"));
  EXPECT_EQ(01777u, ModeOf(store + "/shared"));
  EXPECT_EQ(0666u, ModeOf(store + "/shared/open_keys.db"));
  EXPECT_EQ(01777u, ModeOf(store + "/locks"));
  EXPECT_EQ(0644u, ModeOf(store + "/" + LockFile(kInstallationMutexName)));
}

// A store whose installation number was set by other means (an import, an
// installer): no library writer ever needed a named mutex in it, yet the hosts
// of ordinary accounts take one on every lockout check.
TEST_F(StateRootTest, OrdinaryHostsLockOutOnAStoreTheyDidNotMake) {
  UseStore("store");
  ASSERT_EQ(0, test::RunChild([&] {
              test::ProvisionInstallation(kPassword, 12);
              test::AttachAs("/apps/Admin");
              const ResponseMethodRecord method = test::ResponseMethod(AMBER_RESPONSE_SIGNATURE);
              return KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, kPassword) == 0 &&
                             KoBioSPI_InitVerifyParameter("Scanner", 100, 3, 5, 1, method, kPassword) == 0
                         ? 0
                         : 1;
            }));
  int code = test::RunChild([&] {
    if (!BecomeNobody()) return 10;
    test::AttachAs(kHost);
    HostCall call;
    if (call.Check() != 0) return 1;
    if (KoBioFPI_UpdateVerifyStatus(0, &call.bir, 10, 50) != 0) return 2;
    return call.Check() == 0 ? 0 : 3;
  });
  EXPECT_EQ(0, code);
}

// Lock files live in a directory checked once per process; one removed and
// made anew while a host runs is found again.
TEST_F(StateRootTest, ALockDirectoryMadeAnewIsFoundAgain) {
  std::string store = UseStore("store");
  Provision();
  HANDLE first = CreateMutexA(nullptr, FALSE, "Global\\Renewed");
  ASSERT_NE(nullptr, first);
  CloseHandle(first);
  test::RemoveTree(store + "/locks");
  HANDLE again = CreateMutexA(nullptr, FALSE, "Global\\Renewed");
  EXPECT_NE(nullptr, again);
  if (again != nullptr) CloseHandle(again);
  EXPECT_EQ(01777u, ModeOf(store + "/locks"));
}

// An administrator inspects the store with the sqlite3 shell, whose closing
// connection removes the journal files it finds; ordinary accounts must go on
// reading settings and writing lockout state.
TEST_F(StateRootTest, OrdinaryHostsOutliveTheSqliteShell) {
  if (system("command -v sqlite3 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no sqlite3 shell";
  std::string store = UseStore("store");
  std::string userInfo = Provision(077);
  for (const char *db : {"registry.db", "shared/open_keys.db"}) {
    std::string command = "sqlite3 '" + store + "/" + db + "' 'SELECT count(*) FROM vals;' >/dev/null";
    ASSERT_EQ(0, system(command.c_str())) << command;
  }
  int code = test::RunChild([&] {
    if (!BecomeNobody()) return 10;
    test::AttachAs(kHost);
    BioAPI_BIR input, output;
    memset(&input, 0, sizeof input);
    memset(&output, 0, sizeof output);
    uint8_t plain[32] = {1, 2, 3}, cipher[48];
    input.BiometricData.Data = plain;
    input.BiometricData.Length = sizeof plain;
    output.BiometricData.Data = cipher;
    output.BiometricData.Length = sizeof cipher;
    uint32_t encrypted = KoBioFPI_EncryptBIR(&input, &output);
    if (encrypted != 0) return static_cast<int>(encrypted & 0xff);
    return WriteUserInfo(userInfo) == ERROR_SUCCESS ? 0 : 11;
  });
  EXPECT_EQ(0, code);
}

// What the tools use of the state root, as any account may run them.
class StateRootToolTest : public test::StoreTest {};

// A tool running a command that only reads turns creation off: a missing
// state root (a mistyped AMBERCRYPT_ROOT) is then a missing store to the
// registry, reads and writes alike, and nothing is made until it is allowed.
TEST_F(StateRootToolTest, AMissingStateRootStaysMissingWhileCreationIsOff) {
  const std::string store = root() + "/mistyped/store";
  setenv("AMBERCRYPT_ROOT", store.c_str(), 1);
  int code = test::RunChild([&] {
    posix::AllowStateRootCreation(false);
    HKEY key = nullptr;
    struct stat st;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key) != ERROR_FILE_NOT_FOUND) return 1;
    if (lstat((root() + "/mistyped").c_str(), &st) == 0) return 2;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tool", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_FILE_NOT_FOUND) {
      return 3;
    }
    posix::AllowStateRootCreation(true);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tool", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return 4;
    }
    RegCloseKey(key);
    return lstat((store + "/registry.db").c_str(), &st) == 0 ? 0 : 5;
  });
  EXPECT_EQ(0, code);
}

// A directory is listed through its checked descriptor, and a removal takes
// only the file that was checked: not one renamed into its place since.
TEST_F(StateRootToolTest, ListingAndRemovalStayWithWhatWasChecked) {
  const std::string store = root() + "/store";
  ASSERT_EQ(0, system(("mkdir -p '" + store + "/certs' && cd '" + store +
                       "/certs' && echo a >b.pem && echo a >a.pem && mkfifo c.pem && echo x >other")
                          .c_str()));
  posix::StateDirectory dir, certs;
  setenv("AMBERCRYPT_ROOT", store.c_str(), 1);
  ASSERT_EQ(0u, posix::OpenStateRoot(false, &dir));
  ASSERT_EQ(0u, posix::OpenStateDirectory(dir, "certs", 0755, false, &certs));
  std::vector<std::string> names;
  ASSERT_EQ(0u, posix::ListStateDirectory(certs, &names));
  EXPECT_EQ((std::vector<std::string>{"a.pem", "b.pem", "c.pem", "other"}), names);

  posix::UniqueFd checked;
  ASSERT_EQ(0u, posix::OpenStateFile(certs, "a.pem", O_RDONLY, 0644, false, posix::FileOwner::kAnyone, &checked));
  ASSERT_EQ(0, rename((store + "/certs/other").c_str(), (store + "/certs/a.pem").c_str()));
  EXPECT_EQ(static_cast<LSTATUS>(ERROR_ACCESS_DENIED), posix::RemoveStateFile(certs, "a.pem", checked));
  EXPECT_EQ("x\n", test::ReadFile(store + "/certs/a.pem"));

  ASSERT_EQ(0u, posix::OpenStateFile(certs, "b.pem", O_RDONLY, 0644, false, posix::FileOwner::kAnyone, &checked));
  EXPECT_EQ(0u, posix::RemoveStateFile(certs, "b.pem", checked));
  struct stat st;
  EXPECT_NE(0, lstat((store + "/certs/b.pem").c_str(), &st));
}

// Each call that refuses says why to its own caller: a later refusal leaves
// an earlier one's reason as it was, a call that succeeds writes none, and
// the registry's open of the store says why it refused the state root.
TEST_F(StateRootToolTest, EachRefusalComesWithTheCallThatRefused) {
  const std::string store = root() + "/store";
  ASSERT_EQ(0, system(("mkdir -p '" + store + "/certs' && cd '" + store +
                       "' && ln -s certs linked && echo a >certs/a.pem && ln certs/a.pem certs/twice.pem")
                          .c_str()));
  setenv("AMBERCRYPT_ROOT", store.c_str(), 1);
  char resolved[PATH_MAX];
  ASSERT_NE(nullptr, realpath(store.c_str(), resolved));
  const std::string path = resolved;

  posix::StateDirectory dir, certs, linked;
  std::string rootWhy = "untouched", linkWhy, fileWhy;
  ASSERT_EQ(0u, posix::OpenStateRoot(false, &dir, &rootWhy));
  EXPECT_EQ("untouched", rootWhy);
  EXPECT_EQ(static_cast<LSTATUS>(ERROR_ACCESS_DENIED),
            posix::OpenStateDirectory(dir, "linked", 0755, false, &linked, &linkWhy));
  ASSERT_EQ(0u, posix::OpenStateDirectory(dir, "certs", 0755, false, &certs));
  posix::UniqueFd fd;
  EXPECT_EQ(static_cast<LSTATUS>(ERROR_ACCESS_DENIED),
            posix::OpenStateFile(certs, "twice.pem", O_RDONLY, 0644, false, posix::FileOwner::kAnyone, &fd, nullptr,
                                 &fileWhy));
  EXPECT_EQ(path + "/linked: is a symbolic link or not of the expected type", linkWhy);
  EXPECT_EQ(path + "/certs/twice.pem: has more than one link", fileWhy);

  ASSERT_EQ(0, chmod(store.c_str(), 0777));
  EXPECT_EQ(0, test::RunChild([&] {
              std::string why;
              if (posix::OpenRegistryStore(&why) != ERROR_ACCESS_DENIED) return 1;
              return why == path + ": may be written by other accounts" ? 0 : 2;
            }));
  chmod(store.c_str(), 0755);
}

}  // namespace
}  // namespace ambercrypt
