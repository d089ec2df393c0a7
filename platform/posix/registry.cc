// registry.cc: HKEY_LOCAL_MACHINE on SQLite, with the Windows registry's
// contract for what ambercrypt relies on.
//
// Keys and values live in registry.db under the state root (tables keys and
// vals), except the values of keys given a null DACL, which live in
// shared/userinfo.db: that file is writable by every account, registry.db only
// by the accounts that may write the store. So an ordinary process can read
// every setting and write lockout state, and the operating system, not this
// code, stops it from changing a setting. Names compare without regard to
// ASCII case and keep the case they were created with. Every call is one
// transaction (writes take the write lock up front); WAL with synchronous=FULL
// makes each acknowledged write survive a crash or a power cut. A connection is
// never carried across fork(): a child opens its own.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/registry_tool.h"
#include "platform/posix/state_root.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {
namespace {

constexpr uint32_t kKeyMagic = 0x524b4559;  // "RKEY"
constexpr int64_t kRootId = 1;
constexpr int kBusyTimeoutMs = 15000;
constexpr size_t kMaxKeyNameLength = 255;
constexpr DWORD kWriteDac = 0x00040000L;
constexpr DWORD kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | kWriteDac | 0x00080000L;

struct RegKey {
  uint32_t magic = kKeyMagic;
  int64_t id = 0;
  REGSAM access = 0;
};

// The one place SQLite results become registry errors.
LSTATUS RegistryError(int rc) {
  switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return ERROR_SUCCESS;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_CANTOPEN:
      return ERROR_FILE_NOT_FOUND;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return ERROR_BADDB;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

std::string Fold(const std::string &s) {
  std::string out = s;
  for (char &c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::vector<std::string> SplitPath(const char *path) {
  std::vector<std::string> parts;
  if (path == nullptr) return parts;
  std::string current;
  for (const char *p = path;; ++p) {
    if (*p == '\\' || *p == '\0') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current.push_back(*p);
    }
  }
  return parts;
}

class Statement {
 public:
  Statement(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  int prepare_error() const { return rc_; }
  Statement &Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement &Bind(int i, const std::string &v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement &BindBlob(int i, const void *data, size_t n) {
    sqlite3_bind_blob(stmt_, i, n ? data : "", static_cast<int>(n), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return sqlite3_step(stmt_); }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) {
    const unsigned char *t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  std::vector<uint8_t> Blob(int col) {
    const uint8_t *b = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return b ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
  }

 private:
  sqlite3_stmt *stmt_ = nullptr;
  int rc_;
};

const char kMainSchema[] =
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,"
    " fold TEXT NOT NULL, open_dacl INTEGER NOT NULL DEFAULT 0, UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine');";
const char kSharedSchema[] =
    "CREATE TABLE IF NOT EXISTS shared.vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));";

// One transaction on the process's connection.
class Tx {
 public:
  Tx(sqlite3 *db, bool writer, bool shared) : db_(db), writer_(writer), shared_(shared) {}
  sqlite3 *db() const { return db_; }
  bool writer() const { return writer_; }
  bool shared() const { return shared_; }

  // Key row: exists, and its null-DACL flag.
  LSTATUS KeyFlag(int64_t id, bool *open) {
    Statement s(db_, "SELECT open_dacl FROM keys WHERE id = ?");
    if (!s.ok()) return RegistryError(s.prepare_error());
    int rc = s.Bind(1, id).Step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return RegistryError(rc);
    *open = s.Int(0) != 0;
    return ERROR_SUCCESS;
  }

  LSTATUS Child(int64_t parent, const std::string &name, int64_t *id) {
    Statement s(db_, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
    if (!s.ok()) return RegistryError(s.prepare_error());
    int rc = s.Bind(1, parent).Bind(2, Fold(name)).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return RegistryError(rc);
    *id = s.Int(0);
    return ERROR_SUCCESS;
  }

  LSTATUS CreateChild(int64_t parent, const std::string &name, int64_t *id) {
    Statement s(db_, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
    if (!s.ok()) return RegistryError(s.prepare_error());
    int rc = s.Bind(1, parent).Bind(2, name).Bind(3, Fold(name)).Step();
    if (rc != SQLITE_DONE) return RegistryError(rc);
    *id = sqlite3_last_insert_rowid(db_);
    return ERROR_SUCCESS;
  }

  // Which database holds the values of a key.
  const char *ValueTable(bool open) const { return open ? "shared.vals" : "main.vals"; }

 private:
  sqlite3 *db_;
  bool writer_;
  bool shared_;
};

class Registry {
 public:
  static Registry &Instance() {
    static Registry registry;  // closed when the program ends or the library is unloaded
    return registry;
  }

  ~Registry() {
    if (db_ != nullptr && pid_ == getpid()) sqlite3_close_v2(db_);
  }

  template <typename F>
  LSTATUS Run(bool write, F fn) {
    std::lock_guard<std::mutex> lock(mu_);
    LSTATUS status = Connect();
    if (status != ERROR_SUCCESS) return status;
    if (write && !writer_) {
      // A process that may not write the store can still write values of
      // null-DACL keys, which live in the shared database.
      if (!shared_) return ERROR_ACCESS_DENIED;
    }
    // Take the write lock up front: a read that later upgrades can fail at once.
    for (int attempt = 0;; ++attempt) {
      int rc = sqlite3_exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) break;
      if ((rc & 0xff) != SQLITE_BUSY || attempt >= 3) return RegistryError(rc);
    }
    Tx tx(db_, writer_, shared_);
    status = fn(tx);
    if (status == ERROR_SUCCESS) {
      int rc;
      for (int attempt = 0; (rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr)) != SQLITE_OK; ++attempt) {
        if ((rc & 0xff) != SQLITE_BUSY || attempt >= 3) break;
      }
      if (rc != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return RegistryError(rc);
      }
    } else {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return status;
  }

 private:
  LSTATUS Connect() {
    std::string root = StateRoot();
    if (db_ != nullptr && pid_ == getpid() && root_ == root) return ERROR_SUCCESS;
    // A connection from the parent of a fork() is abandoned, never used or closed.
    if (db_ != nullptr && pid_ == getpid()) sqlite3_close_v2(db_);
    db_ = nullptr;
    pid_ = getpid();
    root_ = root;
    std::string path = root + "/registry.db";
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (!exists) MakeDirectory(root, 0755);
    writer_ = exists ? access(path.c_str(), R_OK | W_OK) == 0 && access(root.c_str(), W_OK) == 0
                     : access(root.c_str(), W_OK) == 0;
    if (!exists && !writer_) return ERROR_FILE_NOT_FOUND;
    // Read-write even for readers: SQLite then opens a write-protected
    // registry.db read-only by itself, while the attached shared database (which
    // inherits these flags) stays writable.
    int flags = SQLITE_OPEN_READWRITE | (writer_ ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
    if (!exists) {
      // Readable by every account, writable by its owner.
      int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
      if (fd >= 0) {
        fchmod(fd, 0644);
        close(fd);
      }
    }
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close_v2(db);
      return RegistryError(rc);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    if (writer_) {
      rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) rc = sqlite3_exec(db, kMainSchema, nullptr, nullptr, nullptr);
    } else {
      rc = sqlite3_exec(db, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr);
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close_v2(db);
      return RegistryError(rc);
    }
    shared_ = AttachShared(db, root);
    db_ = db;
    return ERROR_SUCCESS;
  }

  static void MakeDirectory(const std::string &path, mode_t mode) {
    for (size_t i = 1; i <= path.size(); ++i) {
      if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), mode);
    }
  }

  // The database of null-DACL values, writable by every account.
  static bool AttachShared(sqlite3 *db, const std::string &root) {
    std::string dir = root + "/shared";
    if (mkdir(dir.c_str(), 0777) == 0) chmod(dir.c_str(), 0777);
    std::string path = dir + "/userinfo.db";
    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_uid == geteuid()) fchmod(fd, 0666);
    close(fd);
    Statement attach(db, "ATTACH DATABASE ? AS shared");
    if (!attach.ok() || attach.Bind(1, path).Step() != SQLITE_DONE) return false;
    int persist = 1;
    sqlite3_file_control(db, "shared", SQLITE_FCNTL_PERSIST_WAL, &persist);
    if (sqlite3_exec(db, "PRAGMA shared.journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA shared.synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, kSharedSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
      sqlite3_exec(db, "DETACH DATABASE shared", nullptr, nullptr, nullptr);
      return false;
    }
    // SQLite makes the WAL files with the database's mode less the umask;
    // every account must be able to write them.
    for (const char *suffix : {"", "-wal", "-shm"}) {
      std::string file = path + suffix;
      if (stat(file.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0666) != 0666) {
        chmod(file.c_str(), 0666);
      }
    }
    return true;
  }

  std::mutex mu_;
  sqlite3 *db_ = nullptr;
  pid_t pid_ = 0;
  std::string root_;
  bool writer_ = false;
  bool shared_ = false;
};

// Resolves a handle to a key id and the access it was opened with.
LSTATUS Resolve(HKEY hKey, int64_t *id, REGSAM *access) {
  if (hKey == HKEY_LOCAL_MACHINE) {
    *id = kRootId;
    *access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  auto *key = reinterpret_cast<RegKey *>(hKey);
  if (key == nullptr || key->magic != kKeyMagic) return ERROR_INVALID_HANDLE;
  *id = key->id;
  *access = key->access;
  return ERROR_SUCCESS;
}

bool WantsWrite(REGSAM sam) { return (sam & kWriteRights) != 0; }

// Walks (and with create, makes) the path below base. *created tells whether
// the last component was made.
LSTATUS Walk(Tx &tx, int64_t base, const char *subKey, bool create, int64_t *id, bool *created) {
  *created = false;
  int64_t current = base;
  for (const std::string &part : SplitPath(subKey)) {
    if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    int64_t next = 0;
    LSTATUS s = tx.Child(current, part, &next);
    if (s == ERROR_FILE_NOT_FOUND && create) {
      if (!tx.writer()) return ERROR_ACCESS_DENIED;
      s = tx.CreateChild(current, part, &next);
      *created = true;
    } else {
      *created = false;
    }
    if (s != ERROR_SUCCESS) return s;
    current = next;
  }
  *id = current;
  return ERROR_SUCCESS;
}

LSTATUS NewHandle(int64_t id, REGSAM access, PHKEY out) {
  auto *key = new (std::nothrow) RegKey;
  if (key == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  key->id = id;
  key->access = access;
  *out = reinterpret_cast<HKEY>(key);
  return ERROR_SUCCESS;
}

// May this process write the values of this key through a handle with access?
LSTATUS CheckValueWrite(Tx &tx, bool open, REGSAM access) {
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (open ? !tx.shared() : !tx.writer()) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

LSTATUS DeleteKeyRow(Tx &tx, int64_t id) {
  Statement children(tx.db(), "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
  if (!children.ok()) return RegistryError(children.prepare_error());
  int rc = children.Bind(1, id).Step();
  if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;  // Windows refuses a key with subkeys
  if (rc != SQLITE_DONE) return RegistryError(rc);
  const char *deletes[] = {"DELETE FROM main.vals WHERE key = ?", "DELETE FROM shared.vals WHERE key = ?",
                           "DELETE FROM keys WHERE id = ?"};
  for (const char *sql : deletes) {
    if (!tx.shared() && strstr(sql, "shared") != nullptr) continue;
    Statement s(tx.db(), sql);
    if (!s.ok()) return RegistryError(s.prepare_error());
    rc = s.Bind(1, id).Step();
    if (rc != SQLITE_DONE) return RegistryError(rc);
  }
  return ERROR_SUCCESS;
}

LSTATUS DeleteTreeRows(Tx &tx, int64_t id) {
  std::vector<int64_t> children;
  {
    Statement s(tx.db(), "SELECT id FROM keys WHERE parent = ?");
    if (!s.ok()) return RegistryError(s.prepare_error());
    s.Bind(1, id);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) children.push_back(s.Int(0));
    if (rc != SQLITE_DONE) return RegistryError(rc);
  }
  for (int64_t child : children) {
    LSTATUS status = DeleteTreeRows(tx, child);
    if (status != ERROR_SUCCESS) return status;
  }
  return DeleteKeyRow(tx, id);
}

}  // namespace

// ---- Extras for the registry tool -----------------------------------------

LSTATUS RegEnumSubkeys(HKEY hKey, std::vector<std::string> *names) {
  if (names == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t id = 0;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &id, &access);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(false, [&](Tx &tx) -> LSTATUS {
    bool open = false;
    LSTATUS s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    Statement q(tx.db(), "SELECT name FROM keys WHERE parent = ? ORDER BY fold");
    if (!q.ok()) return RegistryError(q.prepare_error());
    q.Bind(1, id);
    int rc;
    names->clear();
    while ((rc = q.Step()) == SQLITE_ROW) names->push_back(q.Text(0));
    return rc == SQLITE_DONE ? ERROR_SUCCESS : RegistryError(rc);
  });
}

LSTATUS RegEnumValues(HKEY hKey, std::vector<RegistryValue> *values) {
  if (values == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t id = 0;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &id, &access);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(false, [&](Tx &tx) -> LSTATUS {
    bool open = false;
    LSTATUS s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    values->clear();
    if (open && !tx.shared()) return ERROR_SUCCESS;
    std::string sql = std::string("SELECT name, type, data FROM ") + tx.ValueTable(open) + " WHERE key = ? ORDER BY rowid";
    Statement q(tx.db(), sql.c_str());
    if (!q.ok()) return RegistryError(q.prepare_error());
    q.Bind(1, id);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW) {
      values->push_back({q.Text(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)});
    }
    return rc == SQLITE_DONE ? ERROR_SUCCESS : RegistryError(rc);
  });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  int64_t id = 0;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &id, &access);
  if (status != ERROR_SUCCESS) return status;
  std::string name = lpValueName ? lpValueName : "";
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    bool open = false;
    LSTATUS s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    s = CheckValueWrite(tx, open, access);
    if (s != ERROR_SUCCESS) return s;
    std::string sql = std::string("DELETE FROM ") + tx.ValueTable(open) + " WHERE key = ? AND fold = ?";
    Statement q(tx.db(), sql.c_str());
    if (!q.ok()) return RegistryError(q.prepare_error());
    int rc = q.Bind(1, id).Bind(2, Fold(name)).Step();
    if (rc != SQLITE_DONE) return RegistryError(rc);
    return sqlite3_changes(tx.db()) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
  int64_t base;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &base, &access);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    if (!tx.writer()) return ERROR_ACCESS_DENIED;
    int64_t id = 0;
    bool created = false;
    LSTATUS s = Walk(tx, base, lpSubKey, false, &id, &created);
    if (s != ERROR_SUCCESS) return s;
    if (id == kRootId) return ERROR_ACCESS_DENIED;
    return DeleteTreeRows(tx, id);
  });
}

}  // namespace ambercrypt::posix

using namespace ambercrypt::posix;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  (void)ulOptions;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t base;
  REGSAM baseAccess;
  LSTATUS status = Resolve(hKey, &base, &baseAccess);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(false, [&](Tx &tx) -> LSTATUS {
    bool open = false;
    LSTATUS s = tx.KeyFlag(base, &open);
    if (s != ERROR_SUCCESS) return s;
    int64_t id = 0;
    bool created = false;
    s = Walk(tx, base, lpSubKey, false, &id, &created);
    if (s != ERROR_SUCCESS) return s;
    s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    // Write access is granted to the store's writers, and to everyone on a
    // null-DACL key.
    if (WantsWrite(samDesired) && !tx.writer() && !(open && tx.shared())) return ERROR_ACCESS_DENIED;
    return NewHandle(id, samDesired, phkResult);
  });
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                               PHKEY phkResult, LPDWORD lpdwDisposition) {
  (void)Reserved;
  (void)lpClass;
  (void)lpSecurityAttributes;
  if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (dwOptions != REG_OPTION_NON_VOLATILE) return ERROR_INVALID_PARAMETER;
  int64_t base;
  REGSAM baseAccess;
  LSTATUS status = Resolve(hKey, &base, &baseAccess);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    bool open = false;
    LSTATUS s = tx.KeyFlag(base, &open);
    if (s != ERROR_SUCCESS) return s;
    int64_t id = 0;
    bool created = false;
    s = Walk(tx, base, lpSubKey, true, &id, &created);
    if (s != ERROR_SUCCESS) return s;
    s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    if (WantsWrite(samDesired) && !tx.writer() && !(open && tx.shared())) return ERROR_ACCESS_DENIED;
    if (lpdwDisposition != nullptr) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return NewHandle(id, samDesired, phkResult);
  });
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  (void)lpReserved;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t id = 0;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &id, &access);
  if (status != ERROR_SUCCESS) return status;
  std::string name = lpValueName ? lpValueName : "";
  return Registry::Instance().Run(false, [&](Tx &tx) -> LSTATUS {
    bool open = false;
    LSTATUS s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    if (open && !tx.shared()) return ERROR_FILE_NOT_FOUND;
    std::string sql = std::string("SELECT type, data FROM ") + tx.ValueTable(open) + " WHERE key = ? AND fold = ?";
    Statement q(tx.db(), sql.c_str());
    if (!q.ok()) return RegistryError(q.prepare_error());
    int rc = q.Bind(1, id).Bind(2, Fold(name)).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return RegistryError(rc);
    std::vector<uint8_t> data = q.Blob(1);
    if (lpType != nullptr) *lpType = static_cast<DWORD>(q.Int(0));
    DWORD size = static_cast<DWORD>(data.size());
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    if (lpData == nullptr) {
      *lpcbData = size;
      return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
      *lpcbData = size;  // nothing is copied: never past the caller's buffer
      return ERROR_MORE_DATA;
    }
    if (size != 0) memcpy(lpData, data.data(), size);
    *lpcbData = size;
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
  (void)Reserved;
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  int64_t id = 0;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &id, &access);
  if (status != ERROR_SUCCESS) return status;
  std::string name = lpValueName ? lpValueName : "";
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    bool open = false;
    LSTATUS s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    s = CheckValueWrite(tx, open, access);
    if (s != ERROR_SUCCESS) return s;
    // An update keeps the value's place, as Windows keeps its order.
    std::string sql = std::string("INSERT INTO ") + tx.ValueTable(open) +
                      "(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?)"
                      " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data";
    Statement q(tx.db(), sql.c_str());
    if (!q.ok()) return RegistryError(q.prepare_error());
    int rc = q.Bind(1, id).Bind(2, name).Bind(3, Fold(name)).Bind(4, static_cast<int64_t>(dwType))
                 .BindBlob(5, lpData, cbData)
                 .Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : RegistryError(rc);
  });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t base;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &base, &access);
  if (status != ERROR_SUCCESS) return status;
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    int64_t id = 0;
    bool created = false;
    LSTATUS s = Walk(tx, base, lpSubKey, false, &id, &created);
    if (s != ERROR_SUCCESS) return s;
    if (id == kRootId || !tx.writer()) return ERROR_ACCESS_DENIED;
    return DeleteKeyRow(tx, id);
  });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  auto *key = reinterpret_cast<RegKey *>(hKey);
  if (key == nullptr || key->magic != kKeyMagic) return ERROR_INVALID_HANDLE;
  key->magic = 0;
  delete key;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                                 PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  if (pSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
  int64_t id = 0;
  REGSAM access;
  LSTATUS status = Resolve(hKey, &id, &access);
  if (status != ERROR_SUCCESS) return status;
  if ((SecurityInformation & DACL_SECURITY_INFORMATION) == 0) return ERROR_SUCCESS;
  if ((access & kWriteDac) == 0) return ERROR_ACCESS_DENIED;
  const auto *sd = static_cast<const SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  bool nullDacl = (sd->Control & SE_DACL_PRESENT) != 0 && sd->Dacl == nullptr;
  return Registry::Instance().Run(true, [&](Tx &tx) -> LSTATUS {
    if (!tx.writer()) return ERROR_ACCESS_DENIED;
    bool open = false;
    LSTATUS s = tx.KeyFlag(id, &open);
    if (s != ERROR_SUCCESS) return s;
    if (open == nullDacl) return ERROR_SUCCESS;
    if (!tx.shared()) return ERROR_ACCESS_DENIED;
    // The values follow the key into the database its new rights allow.
    std::string from = tx.ValueTable(open), to = tx.ValueTable(nullDacl);
    std::string copy = "INSERT INTO " + to + "(key, name, fold, type, data) SELECT key, name, fold, type, data FROM " +
                       from + " WHERE key = ?1 ORDER BY rowid"
                       " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data";
    std::string remove = "DELETE FROM " + from + " WHERE key = ?1";
    const std::string flag = "UPDATE keys SET open_dacl = ?2 WHERE id = ?1";
    for (const std::string *sql : std::initializer_list<const std::string *>{&copy, &remove, &flag}) {
      Statement q(tx.db(), sql->c_str());
      if (!q.ok()) return RegistryError(q.prepare_error());
      q.Bind(1, id);
      if (sql == &flag) q.Bind(2, nullDacl ? 1 : 0);
      int rc = q.Step();
      if (rc != SQLITE_DONE) return RegistryError(rc);
    }
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  if (pSecurityDescriptor == nullptr || dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
  if (pSecurityDescriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto *sd = static_cast<SECURITY_DESCRIPTOR *>(pSecurityDescriptor);
  sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (bDaclPresent) {
    sd->Control |= SE_DACL_PRESENT;
    if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = pDacl;
  } else {
    sd->Dacl = nullptr;
  }
  return TRUE;
}

}  // extern "C"
