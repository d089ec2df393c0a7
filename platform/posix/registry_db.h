// registry_db.h: the SQLite store under the Linux registry. One connection
// per process (a new one after fork()), synchronous=FULL, one transaction per
// registry call; keys and values in registry.db (rollback journal, so readers
// need nothing but read access), values of null-DACL keys in
// shared/open_keys.db, the database of world-writable keys (a rollback
// journal too, through a VFS of its own, in a sticky directory every account
// writes in, so its content is another account's: used only while it is
// small and its schema is ours, see AttachShared). The registry functions
// (registry.cc) run their work through Registry::Run, or answer from the
// answers kept from registry.db (Registry::Peek).
// Internal to platform/posix.
#ifndef AMBERCRYPT_PLATFORM_POSIX_REGISTRY_DB_H_
#define AMBERCRYPT_PLATFORM_POSIX_REGISTRY_DB_H_

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/function_ref.h"
#include "platform/posix/lock_queue.h"
#include "platform/posix/state_root.h"
#include "platform/win32_api.h"
#include "platform/wiping_allocator.h"

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

// A statement run on the connection (PreparedStatement), ready for its next
// use when it goes.
class Statement {
 public:
  Statement(sqlite3 *db, const char *sql);
  ~Statement();
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  int prepare_error() const { return rc_; }
  // Lengths go to SQLite whole, in 64 bits (its int lengths would turn 2 GiB
  // and more negative, which it reads as "up to a terminator"). A parameter
  // that could not be bound (SQLITE_TOOBIG past SQLite's length limit) is the
  // statement's result: Step answers it without running anything.
  Statement &Bind(int i, int64_t v);
  Statement &Bind(int i, const std::string &v);
  Statement &BindBlob(int i, const void *data, size_t n);
  int Step();
  int64_t Int(int col);
  std::string Text(int col);
  bool Null(int col);
  std::vector<uint8_t> Blob(int col);
  // A blob column's bytes, *n of them, valid until the statement steps again
  // or goes.
  const uint8_t *BlobBytes(int col, size_t *n);

 private:
  Statement &Bound(int rc);

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
struct KeptKey {
  int64_t id;
  bool nullDacl;
};
using WipedBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;
struct KeptValue {
  bool found = false;
  DWORD type = 0;
  WipedBytes data;  // settings are mostly ciphertext; wiped all the same
  // Does it hold these bytes, as this type? (A write of them changes nothing.)
  bool Holds(DWORD t, const void *bytes, size_t n) const;
};
struct KeptAnswers {
  bool valid = false;
  uint32_t counter = 0;
  std::unordered_map<std::string, KeptKey> keys;      // KeyPathId(base, subKey)
  std::unordered_map<std::string, KeptValue> values;  // ValueId(key, name)
  // Are these the answers of registry.db with this change counter?
  bool Of(uint32_t counterNow) const { return valid && counter == counterNow; }
  void Clear();
};
std::string KeyPathId(int64_t base, const char *subKey);
std::string ValueId(int64_t key, const std::string &name);

class Registry;

// One transaction on the process's connection (see Registry::Run).
class Tx {
 public:
  sqlite3 *db() const { return db_; }
  bool writer() const { return writer_; }
  bool shared() const { return shared_; }

  // Whether key id exists (else ERROR_KEY_DELETED) and has a null DACL.
  LSTATUS KeyHasNullDacl(int64_t id, bool *nullDacl);
  // The id of the key called name below parent (ERROR_FILE_NOT_FOUND: there
  // is none); CreateChild makes it.
  LSTATUS Child(int64_t parent, const std::string &name, int64_t *id);
  LSTATUS CreateChild(int64_t parent, const std::string &name, int64_t *id);

  // Which database holds the values of a key.
  const char *ValueTable(bool nullDacl) const { return nullDacl ? "shared.vals" : "main.vals"; }

  // The change counter of registry.db as this transaction read it, when
  // what it read from registry.db may be kept: a transaction that only reads,
  // in which the counter read now (under the lock it holds on registry.db)
  // equals the one read before it began. Otherwise a writer came between, or
  // a crashed writer's journal was rolled back: nothing is kept.
  std::optional<uint32_t> StableCounter();

  // The kept answers, those of registry.db at StableCounter(), for what this
  // transaction read to be added to; nullptr when nothing may be kept.
  KeptAnswers *Keep();

  // Is registry.db, through the same connection, still as it was when its
  // change counter was counter? Asked in a transaction that writes only the
  // shared database, the answer holds until it ends: a writer of registry.db
  // through this library write-locks the shared database too (BEGIN
  // IMMEDIATE), for all of its transaction.
  bool MainUnchangedSince(uint64_t connection, uint32_t counter) const;

 private:
  friend class Registry;
  Tx(Registry *registry, KeptAnswers *kept, std::optional<uint32_t> counterBefore);

  Registry *registry_;
  sqlite3 *db_;
  bool writer_;
  bool shared_;
  KeptAnswers *kept_ = nullptr;  // only in transactions that read
  std::optional<uint32_t> counterBefore_, counterNow_;
};

// The process's connection to the store, its statements and kept answers,
// behind one mutex: every registry call runs in Run (or answers from Peek).
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
  bool Unchanged(uint64_t connection, uint32_t counter);

  // Names the current connection; a new one (another state root, a child of
  // fork()) gets a new number. Called with the registry's mutex held.
  uint64_t connection() const { return connection_; }

  // Calls look(kept, writer, shared) when the kept answers are still those
  // of registry.db as it is, and returns what look returns (true: answered
  // from the kept answers). false sends the caller to a transaction. Written
  // here, so that look is inlined: a kept answer costs a few microseconds,
  // and a call through a FunctionRef (as Run takes fn) added 1.5% to them.
  template <typename F>
  bool Peek(F look) {
    std::lock_guard<std::mutex> lock(mu_);
    const KeptAnswers *kept = KeptNow();
    return kept != nullptr && look(*kept, writer_, shared_);
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

  // Runs fn in one transaction, committed when it answers ERROR_SUCCESS and
  // rolled back otherwise; returns fn's answer, or why the transaction could
  // not begin or commit.
  LSTATUS Run(Writes writes, FunctionRef<LSTATUS(Tx &)> fn);
  LSTATUS Run(bool write, FunctionRef<LSTATUS(Tx &)> fn) {
    return Run(write ? Writes::kAnything : Writes::kNothing, fn);
  }

 private:
  friend class Tx;
  Registry() = default;
  // Connects the process to the store of the current state root, once (again
  // after a fork or a change of root); says why in *refusal, when given, if
  // the state root, registry.db or the shared database is refused.
  LSTATUS Connect(std::string *refusal = nullptr);
  // The kept answers while they are those of registry.db as it is; nullptr
  // (and none kept) once it changed. Called with the mutex held.
  const KeptAnswers *KeptNow();
  // Unchanged, with the mutex held and the connection made.
  bool UnchangedSince(uint64_t connection, uint32_t counter) const;

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
  int Exec(const char *sql);
  bool Harden(sqlite3 *db);
  // sqlite3_exec with a statement's budget of work.
  int ExecOnce(sqlite3 *db, const char *sql);
  bool AttachShared(sqlite3 *db, const StateDirectory &root, bool writer, std::string *refusal);
  int RefoldNames(bool *current);
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
  bool refolded_ = false;  // this connection found or made the store's folds current
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
  KeptAnswers kept_;
  uint64_t connection_ = 0;
  std::optional<uint32_t> ReadCounter() const;
};

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_REGISTRY_DB_H_
