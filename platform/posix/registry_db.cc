// registry_db.cc: opening the registry's databases (see registry_db.h).
#include "platform/posix/registry_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/posix/lock_queue.h"
#include "platform/posix/process_id.h"
#include "platform/posix/state_root.h"

namespace ambercrypt::posix {
namespace {

constexpr auto kBusyTimeout = std::chrono::seconds(15);
const char kMainFile[] = "registry.db";
constexpr mode_t kMainMode = 0644;  // readable by every account, writable by its owner
const char kSharedDirectory[] = "shared";
constexpr mode_t kSharedDirectoryMode = 01777;
const char kOpenKeysFile[] = "open_keys.db";
const char kLocksDirectory[] = "locks";
constexpr mode_t kLocksDirectoryMode = 01777;
constexpr mode_t kOpenKeysMode = 0666;

const char kMainSchema[] =
    "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL,"
    " fold TEXT NOT NULL, open_dacl INTEGER NOT NULL DEFAULT 0, UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine');";
const char kSharedSchema[] =
    "CREATE TABLE IF NOT EXISTS shared.vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));";

// The writers' queues: every writer of the store through this library takes
// its turn in these (lock_queue.h) before SQLite's write locks, so those
// change hands in the queue's order instead of through SQLite's busy waits,
// where a waiter that slept through the moments a lock was free lost it each
// time to the next process. A writer of registry.db queues for both
// databases (BEGIN IMMEDIATE write-locks both), one of the shared database's
// values for that one alone.
const char *const kWriterQueueNames[] = {"AmbercryptStore.registry.db.lock", "AmbercryptStore.open_keys.db.lock"};
// The busy handler's longest sleep without a release to wake it: a commit
// waiting for readers to finish, or a connection that does not queue (an
// administrator's sqlite3 shell) wakes nobody. Short at first, as a lock is
// mostly held for a moment.
constexpr auto kFirstBusyNaps = std::chrono::microseconds(100);
constexpr int kFirstBusyNapCount = 20;
constexpr auto kBusyNap = std::chrono::microseconds(1000);

// Waits for a lock another connection holds (Registry::WaitForOtherConnection).
// Called with the registry's mutex held.
int WaitWhileBusy(void *, int attempts) { return Registry::Instance().WaitForOtherConnection(attempts) ? 1 : 0; }

}  // namespace

void Registry::OpenWriterQueues() {
  if (writerQueuesConnection_ == connection_) return;
  writerQueuesConnection_ = connection_;
  for (size_t i = 0; i < 2; ++i) {
    writerQueues_[i] = UniqueFd();
    // Without a lock file (locks/ missing or refused) writers go unqueued:
    // SQLite's own locks still keep them apart.
    OpenLockFile(kWriterQueueNames[i], &writerQueues_[i]);
    writerQueueKeys_[i] = LockKey(kWriterQueueNames[i]);
  }
}

LSTATUS Registry::Begin(Writes writes, CallScope *scope) {
  busySince_ = std::chrono::steady_clock::now();
  inCall_ = true;
  if (writes == Writes::kSharedValues && !shared_) writes = Writes::kAnything;
  if (writes != Writes::kNothing) {
    OpenWriterQueues();
    const bool queues[2] = {writes == Writes::kAnything && writer_, shared_};
    for (size_t i = 0; i < 2; ++i) {
      if (!queues[i] || !writerQueues_[i]) continue;
      LockResult taken = TakeQueuedLock(writerQueues_[i].get(), writerQueueKeys_[i], busySince_ + kBusyTimeout);
      if (taken == LockResult::kTimedOut) return RegistryError(SQLITE_BUSY);
      if (taken == LockResult::kTaken) scope->Hold(writerQueues_[i].get(), writerQueueKeys_[i]);
    }
  }
  if (writes == Writes::kSharedValues) {
    // A write transaction on the shared database alone: registry.db stays
    // out of it (or is only read), so its commit, which syncs the shared
    // database, never locks registry.db's readers out. (BEGIN IMMEDIATE would
    // write-lock every attached database, and SQLite locks each one in a
    // write transaction exclusively at commit, changed or not.) The statement
    // changes nothing; it starts the write transaction up front.
    int rc = Exec("BEGIN");
    if (rc == SQLITE_OK) {
      rc = Exec("DELETE FROM shared.vals WHERE 0");
      if (rc != SQLITE_OK) Exec("ROLLBACK");
    }
    return RegistryError(rc);
  }
  // Take the write lock up front: a read that later upgrades can fail at once.
  for (int attempt = 0;; ++attempt) {
    int rc = Exec(writes == Writes::kAnything ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc == SQLITE_OK) return ERROR_SUCCESS;
    if ((rc & 0xff) != SQLITE_BUSY || attempt >= 3) return RegistryError(rc);
  }
}

Registry::CallScope::~CallScope() {
  registry_->busyWatch_.reset();  // no longer watching: releasers need not wake this process
  registry_->inCall_ = false;
  for (auto turn = held_.rbegin(); turn != held_.rend(); ++turn) ReleaseQueuedLock(turn->first, turn->second);
}

// Bounded by the call: kBusyTimeout from the start of its transaction, over
// all of its waits (a BEGIN or COMMIT tried again does not start it afresh).
bool Registry::WaitForOtherConnection(int attempts) {
  const auto now = std::chrono::steady_clock::now();
  if (!inCall_ && attempts == 0) busySince_ = now;
  if (now - busySince_ >= kBusyTimeout) return false;
  if (!busyWatch_) {
    // Woken when a writer of this store ends its transaction: it gives up
    // its places in the queues then.
    busyWatch_ = std::make_unique<ReleaseWatch>();
    OpenWriterQueues();
    for (const UniqueFd &queue : writerQueues_) {
      if (queue) busyWatch_->Add(queue.get());
    }
  }
  const std::chrono::nanoseconds nap = attempts < kFirstBusyNapCount ? kFirstBusyNaps : kBusyNap;
  busyWatch_->Sleep(std::min<std::chrono::nanoseconds>(nap, busySince_ + kBusyTimeout - now));
  return true;
}

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
  if (db_ != nullptr && pid_ == CurrentProcessId()) {
    for (auto &entry : statements_) sqlite3_finalize(entry.second);
    sqlite3_close_v2(db_);
  }
}

std::string KeyPathId(int64_t base, const char *subKey) {
  return std::to_string(base) + '\\' + Fold(subKey != nullptr ? subKey : "");
}

std::string ValueId(int64_t key, const std::string &name) { return std::to_string(key) + '\\' + Fold(name); }

// Read through SQLite's own descriptor of the file: one opened beside it would
// drop SQLite's locks when closed, and could name another file after a rename.
std::optional<uint32_t> Registry::ReadCounter() const {
  sqlite3_file *file = nullptr;
  if (db_ == nullptr || sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr) {
    return std::nullopt;
  }
  // Bytes 18 and 19: the file format versions, 1 for a rollback journal. A
  // store in WAL mode (another tool may switch it) commits to the -wal file
  // and leaves the counter alone, so nothing is kept from it; leaving WAL
  // rewrites the header and moves the counter.
  uint8_t header[10];
  if (file->pMethods->xRead(file, header, sizeof header, 18) != SQLITE_OK || header[0] != 1 || header[1] != 1) {
    return std::nullopt;
  }
  return (uint32_t{header[6]} << 24) | (uint32_t{header[7]} << 16) | (uint32_t{header[8]} << 8) | header[9];
}

sqlite3_stmt *PreparedStatement(sqlite3 *db, const char *sql, int *rc, bool *cached) {
  Registry &registry = Registry::Instance();  // its mutex is held: statements run inside Run
  sqlite3_stmt *stmt = nullptr;
  *cached = db == registry.db_;
  if (*cached) {
    auto it = registry.statements_.find(sql);
    if (it != registry.statements_.end()) {
      *rc = SQLITE_OK;
      return it->second;
    }
  }
  *rc = sqlite3_prepare_v3(db, sql, -1, *cached ? SQLITE_PREPARE_PERSISTENT : 0, &stmt, nullptr);
  if (*rc != SQLITE_OK) {
    *cached = false;
    return stmt;
  }
  if (*cached) {
    try {
      registry.statements_.emplace(sql, stmt);
    } catch (const std::bad_alloc &) {
      *cached = false;  // used once, then finalized
    }
  }
  return stmt;
}

LSTATUS Registry::Connect() {
  std::string root = StateRoot();
  if (db_ != nullptr && pid_ == CurrentProcessId() && root_ == root) return ERROR_SUCCESS;
  // A connection from the parent of a fork() is abandoned, never used or
  // closed (its statements with it).
  if (db_ != nullptr && pid_ == CurrentProcessId()) {
    for (auto &entry : statements_) sqlite3_finalize(entry.second);
    sqlite3_close_v2(db_);
  }
  statements_.clear();
  cache_.Clear();  // answers of the store this connection leaves
  ++connection_;
  db_ = nullptr;
  pid_ = CurrentProcessId();
  root_ = root;

  // Only a process that may write the state root creates anything in it.
  StateDirectory dir;
  LSTATUS status = OpenStateRoot(false, &dir);
  if (status == ERROR_FILE_NOT_FOUND) status = OpenStateRoot(true, &dir);
  if (status != ERROR_SUCCESS) return status;
  bool mayCreate = faccessat(dir.fd.get(), ".", W_OK, AT_EACCESS) == 0;
  UniqueFd file;
  bool created = false;
  status = OpenStateFile(dir, kMainFile, O_RDONLY, kMainMode, mayCreate, FileOwner::kTrusted, &file, &created);
  if (status != ERROR_SUCCESS) return status;
  writer_ = mayCreate && faccessat(dir.fd.get(), kMainFile, R_OK | W_OK, AT_EACCESS) == 0;
  file = UniqueFd();

  // Read-write even for readers: SQLite then opens a write-protected
  // registry.db read-only by itself, while the attached shared database (which
  // inherits these flags) stays writable.
  std::string path = dir.path + "/" + kMainFile;
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return RegistryError(rc);
  }
  sqlite3_busy_handler(db, WaitWhileBusy, &busySince_);
  // The shared database is writable by every account: no view, trigger or
  // schema entry of its making may run functions or reach the schema.
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  if (writer_) {
    // A rollback journal, not WAL: a reader then needs nothing but read access
    // to registry.db, whoever deleted or never made the -wal and -shm files
    // (WAL readers must create -shm, which they cannot in this directory).
    // A store kept in WAL by an earlier build changes over here once no other
    // connection has it open.
    rc = sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_BUSY) rc = SQLITE_OK;
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, kMainSchema, nullptr, nullptr, nullptr);
  } else {
    rc = sqlite3_exec(db, "SELECT count(*) FROM keys", nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return RegistryError(rc);
  }
  shared_ = AttachShared(db, dir, writer_);
  // The directory of named mutexes' lock files, which every account's hosts
  // need (lockout checks take a lock), is made by the store's writer too.
  if (writer_) {
    StateDirectory locks;
    OpenStateDirectory(dir, kLocksDirectory, kLocksDirectoryMode, true, &locks);
  }
  db_ = db;
  return ERROR_SUCCESS;
}

// The database of world-writable keys (those given a null DACL), in shared/:
// a directory every account may write in, with the sticky bit, so each can
// make SQLite's -wal and -shm there but none can replace another's files.
// Only a writer of the store makes the directory and the database, so a
// database another account planted is refused.
bool Registry::AttachShared(sqlite3 *db, const StateDirectory &root, bool writer) {
  StateDirectory dir;
  bool create = writer;
  if (OpenStateDirectory(root, kSharedDirectory, 0700, create, &dir) != ERROR_SUCCESS) return false;
  UniqueFd file;
  if (OpenStateFile(dir, kOpenKeysFile, O_RDONLY, kOpenKeysMode, create, FileOwner::kTrusted, &file) !=
      ERROR_SUCCESS) {
    return false;
  }
  file = UniqueFd();
  // Everyone may write in it only once the database in it is ours.
  if (dir.created && fchmod(dir.fd.get(), kSharedDirectoryMode) != 0) return false;
  for (const char *suffix : {"-wal", "-shm", "-journal"}) {
    if (CheckCompanionFile(dir, std::string(kOpenKeysFile) + suffix) != ERROR_SUCCESS) return false;
  }
  std::string path = dir.path + "/" + kOpenKeysFile;
  Statement attach(db, "ATTACH DATABASE ? AS shared");
  if (!attach.ok() || attach.Bind(1, path).Step() != SQLITE_DONE) return false;
  // Keep -wal and -shm when this connection closes, so whoever made them
  // (with the database's mode, which SQLite gives them) keeps them usable.
  int persist = 1;
  sqlite3_file_control(db, "shared", SQLITE_FCNTL_PERSIST_WAL, &persist);
  if (sqlite3_exec(db, "PRAGMA shared.journal_mode=WAL", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, "PRAGMA shared.synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, kSharedSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_exec(db, "DETACH DATABASE shared", nullptr, nullptr, nullptr);
    return false;
  }
  return true;
}

}  // namespace ambercrypt::posix
