// The Linux registry under the conditions Windows' registry takes care of on
// its own: many processes at once, a process killed mid-write, an ordinary
// user beside the administrator, fork(), and a damaged database file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "frame/entry.h"
#include "platform/posix/registry_tool.h"
#include "platform/posix/shared_vfs.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/settings.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace ambercrypt {
namespace {

const char kKey[] = "SOFTWARE\\Dravelo\\Tests";

class RegistryPosixTest : public test::StoreTest {
 protected:
  std::string IntegrityCheck() {
    sqlite3 *db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2((root() + "/registry.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt *stmt = nullptr;
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
      if (sqlite3_step(stmt) == SQLITE_ROW) result = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
      sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
  }
};

TEST_F(RegistryPosixTest, ManyProcessesWriteAndReadAtOnce) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "shared", REG_DWORD, test::Bytes(4, 0)));
  const int kChildren = 6, kRounds = 60;
  auto codes = test::RunChildren(kChildren, [&](int child) {
    for (int round = 0; round < kRounds; ++round) {
      std::string path = std::string(kKey) + "\\Child" + std::to_string(child);
      DWORD value = static_cast<DWORD>(child * 1000 + round);
      test::Bytes bytes(reinterpret_cast<uint8_t *>(&value), reinterpret_cast<uint8_t *>(&value) + 4);
      if (test::WriteRawValue(path.c_str(), "n", REG_DWORD, bytes) != ERROR_SUCCESS) return 1;
      if (test::WriteRawValue(kKey, "shared", REG_DWORD, bytes) != ERROR_SUCCESS) return 2;
      test::Bytes read;
      if (test::ReadRawValue(path.c_str(), "n", &read) != ERROR_SUCCESS || read != bytes) return 3;
      if (test::ReadRawValue(kKey, "shared", &read) != ERROR_SUCCESS || read.size() != 4) return 4;
    }
    return 0;
  });
  for (int code : codes) EXPECT_EQ(0, code);
  for (int child = 0; child < kChildren; ++child) {
    test::Bytes read;
    std::string path = std::string(kKey) + "\\Child" + std::to_string(child);
    ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(path.c_str(), "n", &read));
    DWORD value = 0;
    memcpy(&value, read.data(), 4);
    EXPECT_EQ(static_cast<DWORD>(child * 1000 + kRounds - 1), value);
  }
  EXPECT_EQ("ok", IntegrityCheck());
}

TEST_F(RegistryPosixTest, ProcessesAttachingTogetherAgreeOnOneInstallationNumber) {
  test::ProvisionAdminPassword("Admin123");  // the base key, without an installation number
  int results[2];
  ASSERT_EQ(0, pipe(results));
  const int kChildren = 8;
  auto codes = test::RunChildren(kChildren, [&](int) {
    CSecureBuffer material;
    if (!LoadInstallationKey(&material)) return 1;
    std::string line = test::ToHex(material.data(), material.size()) + "\n";
    (void)!write(results[1], line.data(), line.size());
    return 0;
  });
  close(results[1]);
  std::string all;
  char buffer[4096];
  ssize_t n;
  while ((n = read(results[0], buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
  close(results[0]);
  for (int code : codes) EXPECT_EQ(0, code);
  std::set<std::string> materials;
  size_t start = 0, end;
  while ((end = all.find('\n', start)) != std::string::npos) {
    materials.insert(all.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(1u, materials.size()) << all;
  // And it is the material of the number that is stored.
  test::Bytes stored;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kBaseKeyPath, settings::kInstallationNumber.name, &stored));
  DWORD number = 0;
  memcpy(&number, stored.data(), 4);
  CSecureBuffer material = BuildKeyMaterial(static_cast<int32_t>(number));
  EXPECT_EQ(test::ToHex(material.data(), material.size()), *materials.begin());
}

TEST_F(RegistryPosixTest, AKilledWriterLosesNothingAcknowledged) {
  int progress[2];
  ASSERT_EQ(0, pipe(progress));
  pid_t pid = fork();
  if (pid == 0) {
    close(progress[0]);
    for (DWORD i = 1;; ++i) {
      test::Bytes bytes(reinterpret_cast<uint8_t *>(&i), reinterpret_cast<uint8_t *>(&i) + 4);
      test::Bytes blob(300, static_cast<uint8_t>(i));
      if (test::WriteRawValue(kKey, "blob", REG_BINARY, blob) != ERROR_SUCCESS) _exit(1);
      if (test::WriteRawValue(kKey, "counter", REG_DWORD, bytes) != ERROR_SUCCESS) _exit(1);
      (void)!write(progress[1], &i, sizeof i);
    }
  }
  close(progress[1]);
  DWORD acknowledged = 0, i;
  while (acknowledged < 200 && read(progress[0], &i, sizeof i) == sizeof i) acknowledged = i;
  kill(pid, SIGKILL);
  while (read(progress[0], &i, sizeof i) == sizeof i) acknowledged = i;
  close(progress[0]);
  waitpid(pid, nullptr, 0);
  test::Bytes counter, blob;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "counter", &counter));
  DWORD stored = 0;
  memcpy(&stored, counter.data(), 4);
  EXPECT_GE(stored, acknowledged);
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "blob", &blob));
  ASSERT_EQ(300u, blob.size());
  EXPECT_EQ(test::Bytes(300, blob[0]), blob);  // never torn
  EXPECT_EQ("ok", IntegrityCheck());
}

TEST_F(RegistryPosixTest, OrdinaryUserReadsSettingsAndWritesOnlyNullDaclKeys) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another account";
  chmod(root().c_str(), 0755);
  // The administrator's side: a setting, and a UserInfo key with a null DACL.
  test::ProvisionInstallation("Admin123", 12);
  test::AttachAs("/apps/Admin");
  ASSERT_EQ(0u, KoBioSPI_RestrictBSPFunction("Scanner", 4, 0, "Admin123"));
  ASSERT_TRUE(AttachedSpiContext()->SetApplication("Scanner"));
  AttachedSpiContext()->CreateUserInfoKey();
  const std::string app = ApplicationKeyPath(AttachedSpiContext()->appKey());
  const std::string userInfo = UserInfoKeyPath(AttachedSpiContext()->appKey());
  test::Detach();

  auto codes = test::RunChildren(1, [&](int) {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
    HKEY key = nullptr;
    // Reading is open to everyone.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, app.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 11;
    RegCloseKey(key);
    test::AttachAs("/apps/Scanner");
    if (AttachedFpiContext()->store().keyMaterial() == nullptr) return 12;
    if (KoBioFPI_CheckMode(0x1) != 0) return 13;
    // Settings cannot be changed.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, app.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_ACCESS_DENIED) return 14;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, (app + "\\New").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_ACCESS_DENIED) {
      return 15;
    }
    CRegCtrl reg;
    if (reg.Open(app.c_str(), 0, KEY_ALL_ACCESS)) return 16;
    if (KoBioSPI_RestrictBSPFunction("Scanner", 0, 0, "Admin123") != (AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG)) {
      return 17;
    }
    // Lockout state below the null-DACL key can be written and read back.
    if (!reg.Open(userInfo.c_str(), 0, KEY_ALL_ACCESS)) return 18;
    if (reg.SetEncryptedInt(settings::kVerifyFailureCount.name, 3, AttachedFpiContext()->store().keyMaterial(),
                            AttachedFpiContext()->store().keyMaterialLength()) != 0) {
      return 19;
    }
    int32_t count = 0;
    if (reg.QueryEncryptedInt(settings::kVerifyFailureCount.name, &count, AttachedFpiContext()->store().keyMaterial(),
                              AttachedFpiContext()->store().keyMaterialLength()) != 0 ||
        count != 3) {
      return 20;
    }
    return 0;
  });
  EXPECT_EQ(0, codes[0]);
  // The administrator sees what the user wrote, and the mode is unchanged.
  test::Bytes data;
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(userInfo.c_str(), settings::kVerifyFailureCount.name, &data));
  test::AttachAs("/apps/Scanner");
  EXPECT_EQ(0u, KoBioFPI_CheckMode(0x1));
}

// SQLite's file change counter (bytes 24-27 of the header) counts commits
// that changed the file.
uint32_t ChangeCounter(const std::string &db) {
  FILE *f = fopen(db.c_str(), "rb");
  uint8_t header[28] = {};
  if (f != nullptr) {
    (void)!fread(header, 1, sizeof header, f);
    fclose(f);
  }
  return (uint32_t{header[24]} << 24) | (uint32_t{header[25]} << 16) | (uint32_t{header[26]} << 8) | header[27];
}

TEST_F(RegistryPosixTest, RewritingTheStoredBytesWritesNothing) {
  const std::string db = root() + "/registry.db";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_BINARY, test::Bytes{1, 2, 3}));
  uint32_t before = ChangeCounter(db);
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_BINARY, test::Bytes{1, 2, 3}));
  EXPECT_EQ(before, ChangeCounter(db));
  // Other bytes, or the same bytes as another type, are written.
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_BINARY, test::Bytes{1, 2, 4}));
  EXPECT_NE(before, ChangeCounter(db));
  before = ChangeCounter(db);
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_NONE, test::Bytes{1, 2, 4}));
  EXPECT_NE(before, ChangeCounter(db));
  DWORD type = 0;
  test::Bytes read;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "v", &read, &type));
  EXPECT_EQ(static_cast<DWORD>(REG_NONE), type);
  EXPECT_EQ((test::Bytes{1, 2, 4}), read);
}

// Value lengths reach SQLite whole, in 64 bits: data of 1 GiB or more (past
// SQLite's length limit, and past its int lengths from 2 GiB on, which it
// would take for "read up to a terminator") is refused before a byte of it
// is read, in either database, and what the value held stays.
TEST_F(RegistryPosixTest, ValuesPastSqlitesLengthLimitAreRefusedUnread) {
  const auto *wild = static_cast<const BYTE *>(test::InaccessibleAddress());
  ASSERT_NE(nullptr, wild);
  const std::string open = std::string(kKey) + "\\Open";
  HKEY keys[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, i == 0 ? kKey : open.c_str(), 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &keys[i], nullptr));
  }
  alignas(8) uint8_t descriptor[256] = {};
  ASSERT_TRUE(InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, TRUE));
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(keys[1], DACL_SECURITY_INFORMATION, descriptor));
  const BYTE before[3] = {7, 8, 9};
  for (HKEY key : keys) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "v", 0, REG_BINARY, before, sizeof before));
    for (DWORD length : {0x40000000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(length);
      // A string's last byte is not read either (to see whether it is a NUL).
      EXPECT_NE(ERROR_SUCCESS, RegSetValueExA(key, "v", 0, REG_BINARY, wild, length));
      EXPECT_NE(ERROR_SUCCESS, RegSetValueExA(key, "v", 0, REG_SZ, wild, length));
      EXPECT_NE(ERROR_SUCCESS, RegSetValueExA(key, "new", 0, REG_BINARY, wild, length));
      BYTE read[8] = {};
      DWORD size = sizeof read;
      EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "v", nullptr, nullptr, read, &size));
      EXPECT_EQ(test::Bytes(before, before + 3), test::Bytes(read, read + size));
      EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "new", nullptr, nullptr, nullptr, nullptr));
    }
    RegCloseKey(key);
  }
  EXPECT_EQ("ok", IntegrityCheck());
}

// A string whose length leaves out its NUL gets one added without a read past
// the length: Windows looks at the byte after the data, which may not exist.
TEST_F(RegistryPosixTest, AStringGetsItsNulWithoutAReadPastItsLength) {
  const long page = sysconf(_SC_PAGESIZE);
  void *pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, pages);
  ASSERT_EQ(0, mprotect(static_cast<char *>(pages) + page, page, PROT_NONE));
  char *text = static_cast<char *>(pages) + page - 3;
  memcpy(text, "abc", 3);
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_BINARY, test::Bytes(1, 0)));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key));
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), 3));
  RegCloseKey(key);
  munmap(pages, 2 * page);
  test::Bytes read;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "v", &read));
  EXPECT_EQ((test::Bytes{'a', 'b', 'c', 0}), read);
}

// A store from before names folded beyond ASCII holds their folds in ASCII
// only. The store's writer folds them again in its first write: after that
// the names are found in any case; of two names that now fold alike, the one
// already holding that fold is found.
TEST_F(RegistryPosixTest, AStoreOfAsciiFoldsIsFoldedAgain) {
  const std::string base = std::string(kKey) + "\\";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue((base + "\xC3\x84rzte").c_str(), "gr\xC3\xB6\xC3\x9F" "e", REG_DWORD,
                                               test::Bytes(4, 1)));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue((base + "m\xC3\xBCller").c_str(), "v", REG_DWORD, test::Bytes(4, 2)));
  ASSERT_EQ(0, test::RunChild([&] {
    sqlite3 *db = nullptr;
    // As the earlier build folded: only ASCII capitals made small. And a
    // second key that fold kept apart from the first.
    const char *sql =
        "UPDATE keys SET fold = 'm\xC3\xBCller' WHERE name = 'm\xC3\xBCller';"
        "UPDATE vals SET fold = 'gr\xC3\xB6\xC3\x9F" "e' WHERE name = 'gr\xC3\xB6\xC3\x9F" "e';"
        "INSERT INTO keys(parent, name, fold) SELECT parent, '\xC3\xA4rzte', '\xC3\xA4rzte' FROM keys"
        " WHERE name = '\xC3\x84rzte';"
        "PRAGMA user_version = 0;";
    bool ok = sqlite3_open((root() + "/registry.db").c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok ? 0 : 1;
  }));
  // A process of its own opens the store anew, and writes.
  EXPECT_EQ(0, test::RunChild([&] {
    test::Bytes read;
    if (test::WriteRawValue(kKey, "w", REG_DWORD, test::Bytes(4, 3)) != ERROR_SUCCESS) return 4;
    if (!test::KeyExists((base + "M\xC3\x9CLLER").c_str())) return 1;
    if (test::ReadRawValue((base + "\xC3\xA4RZTE").c_str(), "GR\xC3\x96\xC3\x9F" "E", &read) != ERROR_SUCCESS) return 2;
    return read == test::Bytes(4, 1) ? 0 : 3;
  }));
  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2((root() + "/registry.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
  sqlite3_stmt *version = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &version, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(version));
  EXPECT_EQ(1, sqlite3_column_int(version, 0));
  sqlite3_finalize(version);
  sqlite3_close(db);
  EXPECT_EQ("ok", IntegrityCheck());
}

// A process that holds a database of the store (registry.db unless said) in
// a transaction of the sqlite3 library's own (an administrator's sqlite3
// shell, another process mid-call), begun with begin, until the object goes.
class HeldDatabase {
 public:
  HeldDatabase(const std::string &file, const char *begin, const char *query = "SELECT count(*) FROM keys") {
    int held[2], release[2];
    if (pipe(held) != 0 || pipe(release) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(held[0]);
      close(release[1]);
      sqlite3 *db = nullptr;
      char ok = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                        sqlite3_exec(db, begin, nullptr, nullptr, nullptr) == SQLITE_OK &&
                        sqlite3_exec(db, query, nullptr, nullptr, nullptr) == SQLITE_OK
                    ? 1
                    : 0;
      (void)!write(held[1], &ok, 1);
      char c;
      (void)!read(release[0], &c, 1);
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      _exit(0);
    }
    close(held[1]);
    close(release[0]);
    release_ = release[1];
    char ok = 0;
    held_ = read(held[0], &ok, 1) == 1 && ok == 1;
    close(held[0]);
  }
  ~HeldDatabase() {
    if (release_ >= 0) close(release_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  int release_ = -1;
  bool held_ = false;
};

// Lockout state (the values of a null-DACL key) is written by a transaction
// on the shared database alone, so a process that may write the store (a
// host run by the store's owner) commits it while another holds registry.db,
// reading or about to write it; and its commit never locks registry.db's
// readers out. SQLite locks every database of a write transaction
// exclusively at commit: had registry.db been part of it, the write would
// wait for the holder (and readers would wait for each such commit's sync).
TEST_F(RegistryPosixTest, NullDaclValuesAreWrittenWhileOthersHoldRegistryDb) {
  const std::string path = std::string(kKey) + "\\UserInfo";
  HKEY created = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &created, nullptr));
  uint8_t nullDacl[256];
  ASSERT_TRUE(InitializeSecurityDescriptor(nullDacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(nullDacl, TRUE, nullptr, FALSE));
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(created, DACL_SECURITY_INFORMATION, nullDacl));
  RegCloseKey(created);
  HKEY record = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &record));
  struct Case {
    const char *holder;
    const char *begin;
  };
  const Case cases[] = {{"a reader", "BEGIN"}, {"a writer", "BEGIN IMMEDIATE"}};
  DWORD count = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.holder);
    HeldDatabase holder(root() + "/registry.db", c.begin);
    ASSERT_TRUE(holder.held());
    ++count;
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(record, "count", 0, REG_DWORD, reinterpret_cast<BYTE *>(&count), 4));
    DWORD read = 0, size = sizeof read;
    EXPECT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(record, "count", nullptr, nullptr, reinterpret_cast<BYTE *>(&read), &size));
    EXPECT_EQ(count, read);
  }
  RegCloseKey(record);
  EXPECT_EQ("ok", IntegrityCheck());
}

// Opening a key that exists for creation (as a verify check opens its
// lockout record after every administration call) reads: it takes no write
// lock, so it neither waits for another writer nor locks readers out.
TEST_F(RegistryPosixTest, CreatingAKeyThatExistsOpensItWithoutTheWriteLock) {
  const std::string path = std::string(kKey) + "\\Existing";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(path.c_str(), "v", REG_DWORD, test::Bytes(4, 1)));
  // registry.db changes after this process last read it: nothing it kept answers.
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "changed", REG_DWORD, test::Bytes(4, 2)));
  HeldDatabase holder(root() + "/registry.db", "BEGIN IMMEDIATE");
  ASSERT_TRUE(holder.held());
  HKEY key = nullptr;
  DWORD disposition = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
  if (key != nullptr) RegCloseKey(key);
}

// Writing back the bytes a value holds (a lockout check does on its common
// path, to its record in the shared database) is found without the database's
// write lock: the write goes on while another connection holds that lock,
// and commits nothing. A setting is then known while registry.db is
// unchanged: written back again, it reads nothing from the database, and
// goes on while another connection holds registry.db exclusively.
TEST_F(RegistryPosixTest, RewritingTheStoredBytesTakesNoWriteLock) {
  struct Case {
    const char *what;
    const char *subKey;
    bool nullDacl;
    const char *database;
    const char *query;  // what the holder reads
  };
  const Case cases[] = {
      {"a setting", "Setting", false, "/registry.db", "SELECT count(*) FROM keys"},
      {"a null-DACL key's value", "UserInfo", true, "/shared/open_keys.db", "SELECT count(*) FROM vals"},
  };
  uint8_t nullDacl[256];
  ASSERT_TRUE(InitializeSecurityDescriptor(nullDacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(nullDacl, TRUE, nullptr, FALSE));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = std::string(kKey) + "\\" + c.subKey, database = root() + c.database;
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (c.nullDacl) {
      ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullDacl));
    }
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key));
    DWORD count = 1;
    const auto *bytes = reinterpret_cast<const BYTE *>(&count);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "count", 0, REG_DWORD, bytes, sizeof count));
    const uint32_t before = ChangeCounter(database);
    {
      HeldDatabase holder(database, "BEGIN IMMEDIATE", c.query);
      ASSERT_TRUE(holder.held());
      EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "count", 0, REG_DWORD, bytes, sizeof count));
    }
    if (!c.nullDacl) {  // the values of null-DACL keys are never kept
      HeldDatabase holder(database, "BEGIN EXCLUSIVE", c.query);
      ASSERT_TRUE(holder.held());
      EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "count", 0, REG_DWORD, bytes, sizeof count));
    }
    EXPECT_EQ(before, ChangeCounter(database));
    count = 2;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "count", 0, REG_DWORD, bytes, sizeof count));
    EXPECT_NE(before, ChangeCounter(database));
    RegCloseKey(key);
  }
}

// Reads through a handle to a null-DACL key go to the shared database alone
// while registry.db is unchanged. The shared database is writable by every
// account: values planted there for a key whose DACL was set again, or that
// was deleted, must never be read through a handle opened before.
TEST_F(RegistryPosixTest, PlantedSharedValuesAreNeverReadForAClosedKey) {
  const std::string path = std::string(kKey) + "\\Open";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr));
  uint8_t nullDacl[256], realDacl[256];
  uint8_t acl[64] = {};
  ASSERT_TRUE(InitializeSecurityDescriptor(nullDacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(nullDacl, TRUE, nullptr, TRUE));
  ASSERT_TRUE(InitializeSecurityDescriptor(realDacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(realDacl, TRUE, reinterpret_cast<PACL>(acl), FALSE));
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullDacl));
  DWORD one = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4));
  HKEY reader = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &reader));
  auto read = [](HKEY handle, DWORD *value) {
    DWORD size = sizeof *value;
    return RegQueryValueExA(handle, "v", nullptr, nullptr, reinterpret_cast<BYTE *>(value), &size);
  };
  DWORD value = 0;
  ASSERT_EQ(ERROR_SUCCESS, read(reader, &value));
  EXPECT_EQ(1u, value);
  // The administrator sets a real DACL: the value moves to registry.db.
  // Another account then plants a value for the key in the shared database.
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, realDacl));
  sqlite3 *shared = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((root() + "/shared/open_keys.db").c_str(), &shared));
  sqlite3 *main = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2((root() + "/registry.db").c_str(), &main, SQLITE_OPEN_READONLY, nullptr));
  sqlite3_stmt *stmt = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(main, "SELECT id FROM keys WHERE fold = 'open'", -1, &stmt, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
  const std::string id = std::to_string(sqlite3_column_int64(stmt, 0));
  sqlite3_finalize(stmt);
  sqlite3_close(main);
  const std::string planted =
      "INSERT OR REPLACE INTO vals(key, name, fold, type, data) VALUES(" + id + ", 'v', 'v', 4, x'09090909')";
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(shared, planted.c_str(), nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, read(reader, &value));
  EXPECT_EQ(1u, value);
  // Deleted, with a value planted again: gone for the handle still open on it.
  RegCloseKey(key);
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(shared, planted.c_str(), nullptr, nullptr, nullptr));
  sqlite3_close(shared);
  EXPECT_EQ(ERROR_KEY_DELETED, read(reader, &value));
  RegCloseKey(reader);
}

// A key given a null DACL, with one value, and its id in registry.db.
class OpenKeyTest : public RegistryPosixTest {
 protected:
  void SetUp() override {
    RegistryPosixTest::SetUp();
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &key_, nullptr));
    uint8_t nullDacl[256];
    ASSERT_TRUE(InitializeSecurityDescriptor(nullDacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(nullDacl, TRUE, nullptr, TRUE));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullDacl));
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&one), 4));
    sqlite3 *main = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2((root() + "/registry.db").c_str(), &main, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(main, "SELECT id FROM keys WHERE fold = 'open'", -1, &stmt, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
    id_ = std::to_string(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(main);
  }
  void TearDown() override {
    if (key_ != nullptr) RegCloseKey(key_);
    RegistryPosixTest::TearDown();
  }
  LSTATUS Read(HKEY handle, DWORD *value) {
    DWORD size = sizeof *value;
    return RegQueryValueExA(handle, "v", nullptr, nullptr, reinterpret_cast<BYTE *>(value), &size);
  }

  const std::string path_ = std::string(kKey) + "\\Open";
  HKEY key_ = nullptr;
  std::string id_;
};

// Every account may write the shared database, rows included: a key given
// rows without number there is listed only as far as a statement's bound of
// work goes, and the listing fails as the store does, at once. Reading one of
// its values is untouched.
TEST_F(OpenKeyTest, AStatementStopsAtItsBoundOfWork) {
  sqlite3 *shared = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((root() + "/shared/open_keys.db").c_str(), &shared));
  const std::string planted =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n LIMIT 200000)"
      " INSERT INTO vals(key, name, fold, type, data) SELECT " +
      id_ + ", 'n' || i, 'n' || i, 4, x'00' FROM n";
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(shared, planted.c_str(), nullptr, nullptr, nullptr));
  sqlite3_close(shared);
  std::vector<posix::RegistryValue> values;
  EXPECT_EQ(ERROR_REGISTRY_IO_FAILED, posix::RegEnumValues(key_, &values));
  DWORD value = 0;
  EXPECT_EQ(ERROR_SUCCESS, Read(key_, &value));
  EXPECT_EQ(1u, value);
}

// Another tool may change the shared database's schema cookie and leave the
// schema as it was (VACUUM does): the next call finds the change, checks the
// schema and goes on, without a failure. A change for the worse after that is
// refused all the same.
TEST_F(OpenKeyTest, ASoundSchemaChangeIsUsedAndAWorseOneRefused) {
  DWORD value = 0;
  ASSERT_EQ(ERROR_SUCCESS, Read(key_, &value));  // the read is compiled by now
  sqlite3 *shared = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((root() + "/shared/open_keys.db").c_str(), &shared));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(shared, "VACUUM", nullptr, nullptr, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, Read(key_, &value));
  EXPECT_EQ(1u, value);
  DWORD two = 2;
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&two), 4));
  EXPECT_EQ(ERROR_SUCCESS, Read(key_, &value));
  EXPECT_EQ(2u, value);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(shared, "CREATE INDEX vals_by_data ON vals(data)", nullptr, nullptr, nullptr));
  sqlite3_close(shared);
  EXPECT_EQ(ERROR_ACCESS_DENIED, Read(key_, &value));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key_, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&two), 4));
}

// Another account spoils the shared database's journal while a process has
// the database attached (grows it past any store's, or links it elsewhere
// and writes in it): the journal is then never opened, and the values of a
// null-DACL key fail as the store does, never read as absent, until the
// store's writer next attaches the database.
TEST_F(OpenKeyTest, AJournalSpoiledWhileAttachedFailsAsTheStore) {
  const std::string journal = root() + "/shared/open_keys.db-journal";
  const std::string link = root() + "/shared/elsewhere";
  const struct {
    const char *how;
    std::function<bool()> spoil;
  } cases[] = {
      {"grown past 64 MiB", [&] { return truncate(journal.c_str(), (int64_t{64} << 20) + 4096) == 0; }},
      {"linked elsewhere and written",
       [&] {
         int fd = ::link(journal.c_str(), link.c_str()) == 0 ? open(link.c_str(), O_WRONLY | O_CLOEXEC) : -1;
         bool written = fd >= 0 && pwrite(fd, "hot", 3, 0) == 3;
         if (fd >= 0) close(fd);
         return written;
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.how);
    DWORD value = 0;
    ASSERT_EQ(ERROR_SUCCESS, Read(key_, &value));  // attached, journal checked
    ASSERT_TRUE(c.spoil());
    EXPECT_EQ(ERROR_ACCESS_DENIED, Read(key_, &value));
    DWORD two = 2;
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegSetValueExA(key_, "v", 0, REG_DWORD, reinterpret_cast<BYTE *>(&two), 4));
    // The store's writer puts a journal of its own in its place as it
    // attaches the database, and every process reads and writes again.
    auto codes = test::RunChildren(1, [&](int) {
      DWORD read = 0;
      return Read(key_, &read) == ERROR_SUCCESS && read == 1 ? 0 : 1;
    });
    EXPECT_EQ(0, codes[0]);
    EXPECT_EQ(ERROR_SUCCESS, Read(key_, &value));
    EXPECT_EQ(1u, value);
    unlink(link.c_str());
  }
}

// A shared database an earlier build kept in WAL mode, whose -wal and -shm
// another account's host made, and whose last host was killed before its
// checkpoint (a commit left in the -wal): the store's writer leaves it alone
// while any process has it open or locked, then brings it back to a rollback
// journal with that commit. A -wal linked elsewhere is never read.
TEST_F(OpenKeyTest, AnEarlierBuildsWalIsTakenOverWithItsCommits) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another account";
  const std::string shared = root() + "/shared/open_keys.db";
  ASSERT_EQ(0, chmod(root().c_str(), 0755));  // the other account reaches shared/
  // The earlier build's state, its -wal holding a commit of value to the key.
  auto plant = [&](int value) {
    return test::RunChild([&] {
      sqlite3 *db = nullptr;
      int off = 0;
      char data[9];
      snprintf(data, sizeof data, "%02x000000", value);
      const std::string update = "UPDATE vals SET data = x'" + std::string(data) + "' WHERE key = " + id_;
      bool ok = sqlite3_open(shared.c_str(), &db) == SQLITE_OK &&
                sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr) == SQLITE_OK &&
                sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &off) == SQLITE_OK &&
                sqlite3_exec(db, update.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(db);
      struct stat wal;
      return ok && stat((shared + "-wal").c_str(), &wal) == 0 && wal.st_size > 0 &&
                     chown((shared + "-wal").c_str(), 65534, 65534) == 0 &&
                     chown((shared + "-shm").c_str(), 65534, 65534) == 0
                 ? 0
                 : 1;
    });
  };
  // The store's writer, attaching anew: the value read plus 100, or the error.
  auto writerReads = [&] {
    return test::RunChild([&] {
      DWORD read = 0;
      LSTATUS status = Read(key_, &read);
      return status == ERROR_SUCCESS ? static_cast<int>(read) + 100 : static_cast<int>(status);
    });
  };
  auto walOwner = [&] {
    struct stat wal;
    return stat((shared + "-wal").c_str(), &wal) == 0 ? wal.st_uid : static_cast<uid_t>(-1);
  };

  // Processes of the other account that have the database open (say so on
  // the pipe), killed before any checkpoint (as root, SQLite would make the
  // -wal root's).
  const struct {
    const char *how;
    std::function<bool()> hold;
  } holders[] = {
      {"a host of the earlier build",
       [&] {
         sqlite3 *db = nullptr;
         return sqlite3_open(shared.c_str(), &db) == SQLITE_OK &&
                sqlite3_exec(db, "SELECT count(*) FROM vals", nullptr, nullptr, nullptr) == SQLITE_OK;
       }},
      {"a process holding a shared lock alone",
       [&] {
         int fd = open(shared.c_str(), O_RDONLY);
         struct flock lock {};
         lock.l_type = F_RDLCK;
         lock.l_whence = SEEK_SET;
         lock.l_start = 0x40000002;
         lock.l_len = 510;
         return fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0;
       }},
  };
  int value = 7;
  for (const auto &h : holders) {
    SCOPED_TRACE(h.how);
    ASSERT_EQ(0, plant(++value));
    {
      int opened[2];
      ASSERT_EQ(0, pipe(opened));
      pid_t holder = fork();
      ASSERT_GE(holder, 0);
      if (holder == 0) {
        close(opened[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0 || !h.hold()) _exit(1);
        (void)!write(opened[1], "o", 1);
        pause();
        _exit(0);
      }
      struct Reaper {
        pid_t pid;
        ~Reaper() {
          kill(pid, SIGKILL);
          waitpid(pid, nullptr, 0);
        }
      } reaper{holder};
      close(opened[1]);
      char byte = 0;
      ASSERT_EQ(1, read(opened[0], &byte, 1)) << "the holder never had the database";
      close(opened[0]);
      EXPECT_EQ(static_cast<int>(ERROR_ACCESS_DENIED), writerReads()) << "refused while in WAL";
      EXPECT_EQ(65534u, walOwner()) << "the -wal in use was replaced";
    }  // the holder is killed here
    EXPECT_EQ(100 + value, writerReads()) << "the commit in the -wal is kept";
    EXPECT_EQ(1, test::ReadFile(shared).at(18)) << "back in rollback-journal mode";
  }

  // A -wal with a second link (here to the planted one, with its commit) is
  // replaced without being read: it might be any file.
  ASSERT_EQ(0, plant(value + 1));
  ASSERT_EQ(0, link((shared + "-wal").c_str(), (root() + "/shared/elsewhere").c_str()));
  EXPECT_EQ(100 + value, writerReads()) << "the linked -wal's commit is not taken";
  EXPECT_EQ(1, test::ReadFile(shared).at(18));
  unlink((root() + "/shared/elsewhere").c_str());
}

// A process that cannot attach the shared database (another account made a
// directory, with a file in it, where SQLite keeps its journal) cannot read
// the values of a null-DACL key: that is the store failing, never a value
// absent or a key without values, which would read as a lockout record
// without a lock.
TEST_F(OpenKeyTest, WithoutTheSharedDatabaseItsValuesAreUnreadable) {
  const std::string journal = root() + "/shared/open_keys.db-journal";
  unlink(journal.c_str());
  ASSERT_EQ(0, mkdir(journal.c_str(), 0755));
  ASSERT_EQ(0, close(open((journal + "/kept").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)));
  auto codes = test::RunChildren(1, [&](int) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return 1;
    DWORD value = 0;
    if (Read(key, &value) != ERROR_ACCESS_DENIED) return 2;
    std::vector<posix::RegistryValue> values;
    if (posix::RegEnumValues(key, &values) != ERROR_ACCESS_DENIED) return 3;
    // Settings in registry.db are read as ever.
    test::Bytes bytes;
    return test::WriteRawValue(kKey, "closed", REG_DWORD, test::Bytes(4, 2)) == ERROR_SUCCESS &&
                   test::ReadRawValue(kKey, "closed", &bytes) == ERROR_SUCCESS
               ? 0
               : 4;
  });
  EXPECT_EQ(0, codes[0]);
}

// The shared database's files are opened without shared memory, through
// either of its VFSes: SQLite can then map no -shm, which another account
// could truncate under every process that has the database open (SIGBUS).
TEST_F(RegistryPosixTest, TheSharedDatabaseIsOpenedWithoutSharedMemory) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_DWORD, test::Bytes(4, 1)));  // attached by now
  for (posix::SharedVfs vfs : {posix::SharedVfs::kJournal, posix::SharedVfs::kLeaveWal}) {
    SCOPED_TRACE(static_cast<int>(vfs));
    const std::string uri = posix::SharedDatabaseUri(root() + "/shared/open_keys.db", vfs);
    sqlite3 *db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI, nullptr));
    sqlite3_file *file = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file));
    ASSERT_NE(nullptr, file);
    ASSERT_NE(nullptr, file->pMethods);
    EXPECT_TRUE(file->pMethods->iVersion < 2 || file->pMethods->xShmMap == nullptr);
    // Nor can a connection through it switch the database to WAL.
    sqlite3_stmt *mode = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &mode, nullptr));
    ASSERT_EQ(SQLITE_ROW, sqlite3_step(mode));
    EXPECT_STRNE("wal", reinterpret_cast<const char *>(sqlite3_column_text(mode, 0)));
    sqlite3_finalize(mode);
    sqlite3_close(db);
  }
}

// Which files the shared database's VFS opens, and how: a rollback of its
// journal (which another account may have written) reaches the super-journal
// beside registry.db and, read-only, the journals that one lists; nothing
// else by name. A missing journal is made by the VFS itself, as the store's.
TEST_F(RegistryPosixTest, TheSharedVfsOpensOnlyTheFilesOfTheSharedDatabase) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_DWORD, test::Bytes(4, 1)));  // attached by now
  sqlite3_vfs *vfs = sqlite3_vfs_find(posix::SharedVfsName(posix::SharedVfs::kJournal));
  ASSERT_NE(nullptr, vfs);
  const std::string shared = root() + "/shared/open_keys.db";
  for (const char *name : {"/registry.db-journal", "/registry.db-mj0123ABCD"}) {
    ASSERT_EQ(0, close(open((root() + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600)));
  }
  std::vector<char> buffer(static_cast<size_t>(vfs->szOsFile));
  auto open_with = [&](const std::string &path, int flags) {
    auto *file = reinterpret_cast<sqlite3_file *>(buffer.data());
    int out = 0;
    int rc = vfs->xOpen(vfs, path.c_str(), file, flags, &out);
    if (rc == SQLITE_OK) file->pMethods->xClose(file);
    return rc;
  };
  const int kRead = SQLITE_OPEN_READONLY, kWrite = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  const struct {
    std::string path;
    int flags;
    int rc;
  } cases[] = {
      {root() + "/registry.db-mj0123ABCD", kRead | SQLITE_OPEN_SUPER_JOURNAL, SQLITE_OK},
      {root() + "/registry.db-journal", kRead | SQLITE_OPEN_SUPER_JOURNAL, SQLITE_OK},
      {shared + "-journal", kRead | SQLITE_OPEN_SUPER_JOURNAL, SQLITE_OK},
      {shared + "-journal", kWrite | SQLITE_OPEN_MAIN_JOURNAL, SQLITE_OK},
      {root() + "/registry.db-journal", kWrite | SQLITE_OPEN_SUPER_JOURNAL, SQLITE_CANTOPEN},
      {root() + "/registry.db-journal", kWrite | SQLITE_OPEN_MAIN_JOURNAL, SQLITE_CANTOPEN},
      {root() + "/registry.db", kRead | SQLITE_OPEN_SUPER_JOURNAL, SQLITE_CANTOPEN},
      {root() + "/identity", kRead | SQLITE_OPEN_SUPER_JOURNAL, SQLITE_CANTOPEN},
      {root() + "/shared/registry.db-mj0123ABCD", kRead | SQLITE_OPEN_SUPER_JOURNAL, SQLITE_CANTOPEN},
      {shared + "-wal", kWrite | SQLITE_OPEN_WAL, SQLITE_CANTOPEN},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.rc, open_with(c.path, c.flags)) << c.path << " opened with " << std::hex << c.flags;
  }

  // A missing journal made by the VFS: a regular file with the database's
  // group and mode; in place of one, another file's link is not followed.
  const std::string journal = shared + "-journal";
  struct stat db, made;
  ASSERT_EQ(0, lstat(shared.c_str(), &db));
  ASSERT_EQ(0, unlink(journal.c_str()));
  ASSERT_EQ(SQLITE_OK, open_with(journal, kWrite | SQLITE_OPEN_MAIN_JOURNAL));
  ASSERT_EQ(0, lstat(journal.c_str(), &made));
  EXPECT_TRUE(S_ISREG(made.st_mode));
  EXPECT_EQ(db.st_mode & 0777, made.st_mode & 0777);
  EXPECT_EQ(db.st_gid, made.st_gid);
  const std::string target = root() + "/elsewhere";
  ASSERT_EQ(0, unlink(journal.c_str()));
  ASSERT_EQ(0, symlink(target.c_str(), journal.c_str()));
  EXPECT_EQ(SQLITE_CANTOPEN, open_with(journal, kWrite | SQLITE_OPEN_MAIN_JOURNAL));
  EXPECT_NE(0, access(target.c_str(), F_OK));
  ASSERT_EQ(0, unlink(journal.c_str()));
}

// Keys and settings read before are answered from memory while registry.db is
// unchanged; any change to the file, by another process or by another tool,
// is seen by the next call.
TEST_F(RegistryPosixTest, KeptAnswersFollowEveryChangeToTheFile) {
  const std::string child = std::string(kKey) + "\\Child";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(child.c_str(), "v", REG_DWORD, test::Bytes(4, 1)));
  auto read = [&](test::Bytes *data) { return test::ReadRawValue(child.c_str(), "v", data); };
  test::Bytes data;
  ASSERT_EQ(ERROR_SUCCESS, read(&data));
  ASSERT_EQ(ERROR_SUCCESS, read(&data));  // now from memory
  EXPECT_EQ(test::Bytes(4, 1), data);
  // Another process of the library.
  auto codes = test::RunChildren(1, [&](int) {
    return test::WriteRawValue(child.c_str(), "v", REG_DWORD, test::Bytes(4, 2)) == ERROR_SUCCESS ? 0 : 1;
  });
  ASSERT_EQ(0, codes[0]);
  ASSERT_EQ(ERROR_SUCCESS, read(&data));
  EXPECT_EQ(test::Bytes(4, 2), data);
  // Another tool on the file: a value changed, then the key removed.
  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((root() + "/registry.db").c_str(), &db));
  ASSERT_EQ(SQLITE_OK,
            sqlite3_exec(db, "UPDATE vals SET data = x'03030303' WHERE fold = 'v'", nullptr, nullptr, nullptr));
  ASSERT_EQ(ERROR_SUCCESS, read(&data));
  EXPECT_EQ(test::Bytes(4, 3), data);
  EXPECT_TRUE(test::KeyExists(child.c_str()));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "DELETE FROM vals WHERE fold = 'v'; DELETE FROM keys WHERE fold = 'child'",
                                    nullptr, nullptr, nullptr));
  sqlite3_close(db);
  EXPECT_FALSE(test::KeyExists(child.c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, read(&data));
}

// A store another tool switched to WAL commits to the -wal file and leaves
// the main file's change counter alone: nothing read from it is kept.
TEST_F(RegistryPosixTest, AStoreInWalModeIsReadAnewEachTime) {
  const std::string child = std::string(kKey) + "\\Child", gone = std::string(kKey) + "\\Gone";
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(child.c_str(), "v", REG_DWORD, test::Bytes(4, 1)));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(gone.c_str(), "v", REG_DWORD, test::Bytes(4, 1)));
  test::Bytes data;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(child.c_str(), "v", &data));
  sqlite3 *db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((root() + "/registry.db").c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr));
  EXPECT_TRUE(test::KeyExists(gone.c_str()));
  EXPECT_TRUE(test::KeyExists(gone.c_str()));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(child.c_str(), "v", REG_DWORD, test::Bytes(4, 2)));
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(child.c_str(), "v", &data));
  EXPECT_EQ(test::Bytes(4, 2), data);
  auto codes = test::RunChildren(1, [&](int) {
    return test::WriteRawValue(child.c_str(), "v", REG_DWORD, test::Bytes(4, 3)) == ERROR_SUCCESS &&
                   posix::RegDeleteTreeA(HKEY_LOCAL_MACHINE, gone.c_str()) == ERROR_SUCCESS
               ? 0
               : 1;
  });
  ASSERT_EQ(0, codes[0]);
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(child.c_str(), "v", &data));
  EXPECT_EQ(test::Bytes(4, 3), data);
  EXPECT_FALSE(test::KeyExists(gone.c_str()));
  sqlite3_close(db);
}

// Two stores that went through the same commits have equal counters: what
// was read from one must not answer for the other.
TEST_F(RegistryPosixTest, AnotherStateRootIsReadAnew) {
  const std::string first = root(), second = root() + "/second";
  ASSERT_EQ(0, mkdir(second.c_str(), 0700));
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_DWORD, test::Bytes(4, 1)));
  setenv("AMBERCRYPT_ROOT", second.c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "v", REG_DWORD, test::Bytes(4, 2)));
  test::Bytes data;
  ASSERT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "v", &data));
  setenv("AMBERCRYPT_ROOT", first.c_str(), 1);
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "v", &data));
  EXPECT_EQ(test::Bytes(4, 1), data);
  EXPECT_EQ(ChangeCounter(first + "/registry.db"), ChangeCounter(second + "/registry.db"));
}

TEST_F(RegistryPosixTest, ForkedChildUsesItsOwnConnection) {
  ASSERT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "before", REG_DWORD, test::Bytes(4, 1)));
  auto codes = test::RunChildren(2, [&](int child) {
    test::Bytes read;
    if (test::ReadRawValue(kKey, "before", &read) != ERROR_SUCCESS) return 1;
    std::string name = "child" + std::to_string(child);
    return test::WriteRawValue(kKey, name.c_str(), REG_DWORD, test::Bytes(4, 2)) == ERROR_SUCCESS ? 0 : 2;
  });
  for (int code : codes) EXPECT_EQ(0, code);
  test::Bytes read;
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "child0", &read));
  EXPECT_EQ(ERROR_SUCCESS, test::ReadRawValue(kKey, "child1", &read));
  EXPECT_EQ(ERROR_SUCCESS, test::WriteRawValue(kKey, "after", REG_DWORD, test::Bytes(4, 3)));
  EXPECT_EQ("ok", IntegrityCheck());
}

TEST_F(RegistryPosixTest, DamagedOrMissingDatabaseGivesCodesNotCrashes) {
  test::ProvisionAdminPassword("Admin123");
  test::Detach();
  // A store that is not a database: in a child, which opens it afresh.
  auto codes = test::RunChildren(1, [&](int) {
    FILE *f = fopen((root() + "/registry.db").c_str(), "wb");
    for (int i = 0; i < 4096; ++i) fputc(i * 7, f);
    fclose(f);
    unlink((root() + "/registry.db-wal").c_str());
    unlink((root() + "/registry.db-shm").c_str());
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBaseKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) return 1;
    test::AttachAs("/apps/Scanner");
    if (AttachedFpiContext() == nullptr || AttachedFpiContext()->store().keyMaterial() != nullptr) return 2;
    if (KoBioFPI_CheckMode(1) != (AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG)) return 3;
    if (KoBioSPI_RestrictBSPFunction("Scanner", 1, 0, "Admin123") != (AMBER_E_BAD_ADMIN_PASSWORD | AMBER_ERROR_FLAG)) {
      return 4;
    }
    return 0;
  });
  EXPECT_EQ(0, codes[0]);
}

TEST_F(RegistryPosixTest, UnreadableRootIsAMissingStore) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another account";
  chmod(root().c_str(), 0700);  // another account cannot even look inside
  auto codes = test::RunChildren(1, [&](int) {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBaseKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) return 1;
    test::AttachAs("/apps/Scanner");
    if (KoBioFPI_CheckMode(1) != (AMBER_E_SETTING_UNAVAILABLE | AMBER_ERROR_FLAG)) return 2;
    return 0;
  });
  EXPECT_EQ(0, codes[0]);
}

}  // namespace
}  // namespace ambercrypt
