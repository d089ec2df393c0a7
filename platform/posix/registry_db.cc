// registry_db.cc: opening the registry's databases (see registry_db.h).
#include "platform/posix/registry_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/state_root.h"

namespace ambercrypt::posix {
namespace {

constexpr int kBusyTimeoutMs = 15000;

const char kMainSchema[] =
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,"
    " fold TEXT NOT NULL, open_dacl INTEGER NOT NULL DEFAULT 0, UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine');";
const char kSharedSchema[] =
    "CREATE TABLE IF NOT EXISTS shared.vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));";

}  // namespace

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

Registry &Registry::Instance() {
  static Registry registry;  // closed when the program ends or the library is unloaded
  return registry;
}

Registry::~Registry() {
  if (db_ != nullptr && pid_ == getpid()) sqlite3_close_v2(db_);
}

LSTATUS Registry::Connect() {
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

void Registry::MakeDirectory(const std::string &path, mode_t mode) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), mode);
  }
}

// The database of null-DACL values, writable by every account.
bool Registry::AttachShared(sqlite3 *db, const std::string &root) {
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

}  // namespace ambercrypt::posix
