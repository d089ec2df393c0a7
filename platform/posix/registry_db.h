// registry_db.h: the SQLite store under the Linux registry. One connection
// per process (a new one after fork()), synchronous=FULL, one transaction per
// registry call; keys and values in registry.db (rollback journal, so readers
// need nothing but read access), values of null-DACL keys in
// shared/open_keys.db, the database of world-writable keys (WAL, in a sticky
// directory every account writes in, so its content is another account's:
// used only while it is small and its schema is ours, see AttachShared). The
// registry functions (registry.cc) run their work through Registry::Run.
// Internal to platform/posix.
#ifndef AMBERCRYPT_PLATFORM_POSIX_REGISTRY_DB_H_
#define AMBERCRYPT_PLATFORM_POSIX_REGISTRY_DB_H_

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/lock_queue.h"
#include "platform/posix/state_root.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {

// The largest value the registry keeps, in bytes.
constexpr uint32_t kMaxValueBytes = 1 << 20;

// The one place SQLite results become registry errors.
LSTATUS RegistryError(int rc);

// Names compare without regard to case, as Windows compares them: by their
// upper case in Unicode (UTF-8 here), beyond ASCII too. Fold gives the form
// stored and compared; NameLength a name's length as Windows counts it, in
// UTF-16 units.
std::string Fold(const std::string &s);
size_t NameLength(const std::string &s);

// A prepared statement of the process's connection, taken from its cache (the
// registry runs a handful of statements on every call: parsing them once
// matters) and reset for the next use when it goes.
sqlite3_stmt *PreparedStatement(sqlite3 *db, const char *sql, int *rc, bool *cached);

// A step that answered SQLITE_AUTH: when SQLite was refused to compile the
// statement again against a shared database schema that changed, the schema
// is checked and, if it is ours, the step runs again.
int StepAfterRefusal(sqlite3_stmt *stmt);

class Statement {
 public:
  Statement(sqlite3 *db, const char *sql) : stmt_(PreparedStatement(db, sql, &rc_, &cached_)) {}
  ~Statement() {
    if (cached_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    } else {
      sqlite3_finalize(stmt_);
    }
  }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  int prepare_error() const { return rc_; }
  // Lengths go to SQLite whole, in 64 bits (its int lengths would turn 2 GiB
  // and more negative, which it reads as "up to a terminator"). A parameter
  // that could not be bound (SQLITE_TOOBIG past SQLite's length limit) is the
  // statement's result: Step answers it without running anything.
  Statement &Bind(int i, int64_t v) { return Bound(sqlite3_bind_int64(stmt_, i, v)); }
  Statement &Bind(int i, const std::string &v) {
    return Bound(sqlite3_bind_text64(stmt_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  }
  Statement &BindBlob(int i, const void *data, size_t n) {
    return Bound(sqlite3_bind_blob64(stmt_, i, n ? data : "", n, SQLITE_TRANSIENT));
  }
  int Step() {
    if (bindError_ != SQLITE_OK) return bindError_;
    int rc = sqlite3_step(stmt_);
    return rc == SQLITE_AUTH ? StepAfterRefusal(stmt_) : rc;
  }
  int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) {
    const unsigned char *t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  bool Null(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::vector<uint8_t> Blob(int col) {
    const uint8_t *b = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, col));
    int n = sqlite3_column_bytes(stmt_, col);
    return b ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
  }

 private:
  Statement &Bound(int rc) {
    if (bindError_ == SQLITE_OK) bindError_ = rc;
    return *this;
  }

  int rc_ = SQLITE_OK;
  int bindError_ = SQLITE_OK;
  bool cached_ = false;
  sqlite3_stmt *stmt_;
};

// Answers read from registry.db, kept while its change counter (bytes 24-27
// of the file, which SQLite advances with every commit that changes the file,
// whoever makes it) stays what it was when they were read. A key opened or a
// setting read again then costs one pread instead of a transaction's locks.
// Values of null-DACL keys live in the shared database and are never kept.
struct CachedKey {
  int64_t id;
  bool open;
};
struct CachedValue {
  bool found = false;
  DWORD type = 0;
  std::vector<uint8_t> data;  // settings are mostly ciphertext; wiped all the same
  CachedValue() = default;
  CachedValue(bool f, DWORD t, std::vector<uint8_t> d) : found(f), type(t), data(std::move(d)) {}
  CachedValue(const CachedValue &) = default;
  CachedValue &operator=(const CachedValue &other) {
    if (this != &other) {
      Wipe();
      found = other.found;
      type = other.type;
      data = other.data;
    }
    return *this;
  }
  ~CachedValue() { Wipe(); }
  void Wipe() {
    if (!data.empty()) SecureZeroMemory(data.data(), data.size());
  }
};
struct MainCache {
  bool valid = false;
  uint32_t counter = 0;
  std::unordered_map<std::string, CachedKey> keys;      // KeyPathId(base, subKey)
  std::unordered_map<std::string, CachedValue> values;  // ValueId(key, name)
  void Clear() {
    keys.clear();
    values.clear();
    valid = false;
  }
};
std::string KeyPathId(int64_t base, const char *subKey);
std::string ValueId(int64_t key, const std::string &name);

class Registry;

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

  // The change counter of registry.db as this transaction read it, when
  // what it read from registry.db may be kept: a transaction that only reads,
  // in which the counter read now (under the lock it holds on registry.db)
  // equals the one read before it began. Otherwise a writer came between, or
  // a crashed writer's journal was rolled back: nothing is kept.
  std::optional<uint32_t> StableCounter() {
    if (cache_ == nullptr || !counterBefore_.has_value()) return std::nullopt;
    if (!counterNow_.has_value()) counterNow_ = readCounter_();
    if (!counterNow_.has_value() || *counterNow_ != *counterBefore_) return std::nullopt;
    return counterNow_;
  }

  // Is registry.db, through the same connection, still as it was when its
  // change counter was counter? Asked in a transaction that writes only the
  // shared database, the answer holds until it ends: a writer of registry.db
  // through this library write-locks the shared database too (BEGIN
  // IMMEDIATE), for all of its transaction.
  bool MainUnchangedSince(uint64_t connection, uint32_t counter);

  // Runs remember(cache) when StableCounter() has a value.
  template <typename F>
  void Remember(F remember) {
    std::optional<uint32_t> counter = StableCounter();
    if (!counter.has_value()) return;
    if (!cache_->valid || cache_->counter != *counter) {
      cache_->Clear();
      cache_->counter = *counter;
      cache_->valid = true;
    }
    remember(*cache_);
  }

 private:
  friend class Registry;
  sqlite3 *db_;
  bool writer_;
  bool shared_;
  MainCache *cache_ = nullptr;  // only in transactions that read
  std::optional<uint32_t> counterBefore_, counterNow_;
  std::function<std::optional<uint32_t>()> readCounter_;
  Registry *registry_ = nullptr;
};

class Registry {
 public:
  static Registry &Instance();

  ~Registry();

  // Open: connects as a registry call would (see OpenRegistryStore).
  LSTATUS Open(std::string *refusal) {
    std::lock_guard<std::mutex> lock(mu_);
    return Connect(refusal);
  }

  // Is registry.db, through the same connection, still as it was when its
  // change counter was counter?
  bool Unchanged(uint64_t connection, uint32_t counter) {
    std::lock_guard<std::mutex> lock(mu_);
    if (Connect() != ERROR_SUCCESS || connection != connection_) return false;
    std::optional<uint32_t> now = ReadCounter();
    return now.has_value() && *now == counter;
  }

  // Names the current connection; a new one (another state root, a child of
  // fork()) gets a new number. Called with the registry's mutex held.
  uint64_t connection() const { return connection_; }

  // Calls look(cache, writer, shared) when the kept answers are still those
  // of registry.db as it is, and returns what look returns (true: answered
  // from the cache). false sends the caller to a transaction.
  template <typename F>
  bool Peek(F look) {
    std::lock_guard<std::mutex> lock(mu_);
    if (Connect() != ERROR_SUCCESS) return false;
    std::optional<uint32_t> counter = ReadCounter();
    if (!counter.has_value()) return false;
    if (!cache_.valid || cache_.counter != *counter) {
      cache_.Clear();
      return false;
    }
    return look(static_cast<const MainCache &>(cache_), writer_, shared_);
  }

  // SQLite's busy handler, called with the mutex held while SQLite keeps the
  // connection waiting for another's lock: false once the wait's bound has
  // passed; else sleeps until a writer of the store ends its transaction, or
  // a short while.
  bool WaitForOtherConnection(int attempts);

  // What a transaction may change: nothing; the values of null-DACL keys
  // alone (it then takes the write lock of the shared database only, so
  // registry.db's readers never wait for its commit); or anything.
  enum class Writes { kNothing, kSharedValues, kAnything };

  template <typename F>
  LSTATUS Run(bool write, F fn) {
    return Run(write ? Writes::kAnything : Writes::kNothing, fn);
  }

  template <typename F>
  LSTATUS Run(Writes writes, F fn) {
    std::lock_guard<std::mutex> lock(mu_);
    LSTATUS status = Connect();
    if (status != ERROR_SUCCESS) return status;
    const bool write = writes != Writes::kNothing;
    if (write && !writer_) {
      // A process that may not write the store can still write values of
      // null-DACL keys, which live in the shared database.
      if (!shared_) return ERROR_ACCESS_DENIED;
    }
    std::optional<uint32_t> counterBefore;
    if (!write) counterBefore = ReadCounter();
    // The shared database's schema is checked in this transaction before
    // anything is compiled against it (see Authorize).
    sharedCheck_ = shared_ ? SharedCheck::kUnchecked : SharedCheck::kNone;
    compileRefused_ = false;
    CallScope scope(this);  // the writers' turns, kept until the transaction has ended
    status = Begin(writes, &scope);
    if (status != ERROR_SUCCESS) return status;
    Tx tx(db_, writer_, shared_);
    tx.registry_ = this;
    if (!write) {
      tx.cache_ = &cache_;
      tx.counterBefore_ = counterBefore;
      tx.readCounter_ = [this] { return ReadCounter(); };
    }
    status = fn(tx);
    sharedCheck_ = SharedCheck::kNone;
    if (status == ERROR_SUCCESS) {
      int rc;
      for (int attempt = 0; (rc = Exec("COMMIT")) != SQLITE_OK; ++attempt) {
        if ((rc & 0xff) != SQLITE_BUSY || attempt >= 3) break;
      }
      if (rc != SQLITE_OK) {
        Exec("ROLLBACK");
        return RegistryError(rc);
      }
    } else {
      Exec("ROLLBACK");
    }
    return status;
  }

 private:
  friend class Tx;
  Registry() = default;
  // Connects the process to the store of the current state root, once (again
  // after a fork or a change of root); says why in *refusal, when given, if
  // the state root, registry.db or the shared database is refused.
  LSTATUS Connect(std::string *refusal = nullptr);

  // A registry call from its transaction's start to its end: the places in
  // the writers' queues it holds (see Begin), given up in the opposite order
  // once it has committed or rolled back, and its bound on waiting.
  class CallScope {
   public:
    explicit CallScope(Registry *registry) : registry_(registry) {}
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;
    void Hold(int fd, uint64_t key) { held_.emplace_back(fd, key); }

   private:
    Registry *registry_;
    std::vector<std::pair<int, uint64_t>> held_;  // lock file descriptor, its key
  };
  // Starts the transaction: writers first queue for each database they may
  // write (registry.db, then the shared database), then BEGIN takes SQLite's
  // write locks up front. Starts the call's bound on waiting (kBusyTimeout).
  LSTATUS Begin(Writes writes, CallScope *scope);
  // The lock files of the writers' queues, opened once per connection (a
  // child of fork() opens its own); closed when one cannot be had.
  void OpenWriterQueues();

  // Runs one statement without results through the statement cache (every
  // call begins and ends a transaction: parsing those each time shows).
  int Exec(const char *sql) {
    Statement s(db_, sql);
    if (!s.ok()) return s.prepare_error();
    int rc = s.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
  }
  bool Harden(sqlite3 *db);
  // sqlite3_exec with a statement's budget of work.
  int ExecOnce(sqlite3 *db, const char *sql);
  bool AttachShared(sqlite3 *db, const StateDirectory &root, bool writer, std::string *refusal);
  int RefoldNames(sqlite3 *db);
  void LeaveWal(const StateDirectory &dir, const std::string &path, const struct stat &database);
  // Checks, once per transaction, that the shared database's schema as this
  // transaction reads it is ours: SQLITE_OK, SQLITE_AUTH (it is not), or the
  // error that kept it from being read.
  int CheckShared();
  static int Authorize(void *registry, int action, const char *, const char *, const char *database, const char *);
  friend sqlite3_stmt *PreparedStatement(sqlite3 *db, const char *sql, int *rc, bool *cached);
  friend int StepAfterRefusal(sqlite3_stmt *stmt);

  std::mutex mu_;
  sqlite3 *db_ = nullptr;
  // When the current call's transaction began: its waits for other
  // connections' locks, however many, end kBusyTimeout after; outside a call
  // (connecting), when the current wait began (the busy handler's, under mu_
  // like every use of db_).
  std::chrono::steady_clock::time_point busySince_;
  bool inCall_ = false;
  // The writers' queues: registry.db's and the shared database's lock files.
  UniqueFd writerQueues_[2];
  uint64_t writerQueueKeys_[2] = {};
  uint64_t writerQueuesConnection_ = 0;
  // What the busy handler watches in the current wait.
  std::unique_ptr<ReleaseWatch> busyWatch_;
  pid_t pid_ = 0;
  std::string root_;
  bool writer_ = false;
  bool shared_ = false;
  // How far the running transaction got in checking the shared database's
  // schema (kNone: no transaction, or no shared database), what the check
  // answered, and whether a compile against that schema was refused.
  enum class SharedCheck { kNone, kUnchecked, kRunning, kPassed, kFailed } sharedCheck_ = SharedCheck::kNone;
  int sharedCheckResult_ = SQLITE_OK;
  bool compileRefused_ = false;
  // Compiles of this code's own that may read any schema (attaching, checking).
  bool allowCompile_ = false;
  std::string sharedPath_;
  // Calls of the progress handler left to the running statement.
  int progressLeft_ = 0;
  std::unordered_map<std::string, sqlite3_stmt *> statements_;  // of db_
  MainCache cache_;
  uint64_t connection_ = 0;
  std::optional<uint32_t> ReadCounter() const;
};

inline bool Tx::MainUnchangedSince(uint64_t connection, uint32_t counter) {
  if (registry_ == nullptr || registry_->connection_ != connection) return false;
  std::optional<uint32_t> now = registry_->ReadCounter();
  return now.has_value() && *now == counter;
}

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_REGISTRY_DB_H_
