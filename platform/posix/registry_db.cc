// registry_db.cc: the registry's store (see registry_db.h): statements,
// transactions and kept answers; the writers' queues and waits; opening the
// databases, the shared one as another account's file.
#include "platform/posix/registry_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/lock_queue.h"
#include "platform/posix/process_id.h"
#include "platform/posix/registry_tool.h"
#include "platform/posix/shared_vfs.h"
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
// The shared database's one table, as SQLite keeps its definition in
// sqlite_schema (it drops "IF NOT EXISTS" and the schema name).
#define AMBERCRYPT_SHARED_TABLE                                                               \
  "vals(key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL, type INTEGER NOT NULL," \
  " data BLOB NOT NULL, UNIQUE(key, fold))"
const char kSharedSchema[] = "CREATE TABLE IF NOT EXISTS shared." AMBERCRYPT_SHARED_TABLE;
const char kSharedTableSql[] = "CREATE TABLE " AMBERCRYPT_SHARED_TABLE;
#undef AMBERCRYPT_SHARED_TABLE

// The shared database is written by every account: a file of theirs is taken
// as hostile. Its records are seven values of an application's lockout
// record, about 670 bytes with the index (kSharedFileMaxBytes).
constexpr int64_t kSharedMaxBytes = kSharedFileMaxBytes;

// The work one statement may do, in SQLite's virtual machine steps. The
// registry's largest statements list a key's subkeys or values, about 15
// steps a row: 150,000 for the 10,000 values of the name index of 10,000
// applications. What no legitimate statement nears (a view that recurses for
// ever, rows without number under one key) stops within some 50 ms, as a
// store failure (SQLITE_INTERRUPT).
constexpr int kProgressStride = 1000;  // steps between calls of the handler
constexpr int kStatementSteps = 2000000;

int OutOfSteps(void *left) { return --*static_cast<int *>(left) < 0 ? 1 : 0; }

// Limits far above what the registry's own statements and schemas need (its
// longest statement is some 300 bytes with 5 parameters and 5 columns, its
// values at most a few KiB), so that a schema another account wrote cannot
// make SQLite parse or build anything large. Values stop at 1 MiB, Windows'
// own limit for a value in the standard registry format.
const std::pair<int, int> kLimits[] = {
    {SQLITE_LIMIT_LENGTH, kMaxValueBytes},     {SQLITE_LIMIT_SQL_LENGTH, 10000},  {SQLITE_LIMIT_COLUMN, 16},
    {SQLITE_LIMIT_EXPR_DEPTH, 20},      {SQLITE_LIMIT_COMPOUND_SELECT, 3}, {SQLITE_LIMIT_VDBE_OP, 25000},
    {SQLITE_LIMIT_FUNCTION_ARG, 8},     {SQLITE_LIMIT_ATTACHED, 1},        {SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 50},
    {SQLITE_LIMIT_VARIABLE_NUMBER, 10}, {SQLITE_LIMIT_TRIGGER_DEPTH, 1},
};

// Connection settings that keep a schema another account wrote from running
// anything: no view, no trigger, no foreign key action runs; no function that
// is not innocuous runs from the schema; nothing writes the schema directly.
const std::pair<int, int> kConfigs[] = {
    {SQLITE_DBCONFIG_DEFENSIVE, 1},
    {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
    {SQLITE_DBCONFIG_ENABLE_TRIGGER, 0},
    {SQLITE_DBCONFIG_ENABLE_VIEW, 0},
    {SQLITE_DBCONFIG_ENABLE_FKEY, 0},
    {SQLITE_DBCONFIG_WRITABLE_SCHEMA, 0},
    {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0},
};

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

// Lets what is compiled while it lives compile against the shared database
// whatever the state of its schema's check (Registry::Authorize).
class CompileAllowed {
 public:
  explicit CompileAllowed(bool *allow) : allow_(allow) { *allow_ = true; }
  ~CompileAllowed() { *allow_ = false; }
  CompileAllowed(const CompileAllowed &) = delete;
  CompileAllowed &operator=(const CompileAllowed &) = delete;

 private:
  bool *allow_;
};

// Waits for a lock another connection holds (Registry::WaitForOtherConnection).
// Called with the registry's mutex held.
int WaitWhileBusy(void *, int attempts) { return Registry::Instance().WaitForOtherConnection(attempts) ? 1 : 0; }

}  // namespace

// ---- Statements ---------------------------------------------------------

Statement::Statement(sqlite3 *db, const char *sql) : stmt_(PreparedStatement(db, sql, &rc_, &cached_)) {}

Statement::~Statement() {
  if (cached_) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  } else {
    sqlite3_finalize(stmt_);
  }
}

Statement &Statement::Bound(int rc) {
  if (bindError_ == SQLITE_OK) bindError_ = rc;
  return *this;
}

Statement &Statement::Bind(int i, int64_t v) { return Bound(sqlite3_bind_int64(stmt_, i, v)); }

Statement &Statement::Bind(int i, const std::string &v) {
  return Bound(sqlite3_bind_text64(stmt_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}

Statement &Statement::BindBlob(int i, const void *data, size_t n) {
  return Bound(sqlite3_bind_blob64(stmt_, i, n ? data : "", n, SQLITE_TRANSIENT));
}

int Statement::Step() {
  if (bindError_ != SQLITE_OK) return bindError_;
  int rc = sqlite3_step(stmt_);
  return rc == SQLITE_AUTH ? StepAfterRefusal(stmt_) : rc;
}

int64_t Statement::Int(int col) { return sqlite3_column_int64(stmt_, col); }

std::string Statement::Text(int col) {
  const unsigned char *t = sqlite3_column_text(stmt_, col);
  return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
           : std::string();
}

bool Statement::Null(int col) { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

const uint8_t *Statement::BlobBytes(int col, size_t *n) {
  const auto *b = static_cast<const uint8_t *>(sqlite3_column_blob(stmt_, col));
  *n = b != nullptr ? static_cast<size_t>(sqlite3_column_bytes(stmt_, col)) : 0;
  return b;
}

std::vector<uint8_t> Statement::Blob(int col) {
  size_t n = 0;
  const uint8_t *b = BlobBytes(col, &n);
  return b != nullptr ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
}

// ---- Kept answers ---------------------------------------------------------

bool KeptValue::Holds(DWORD t, const void *bytes, size_t n) const {
  return found && type == t && data.size() == n && (n == 0 || memcmp(data.data(), bytes, n) == 0);
}

void KeptAnswers::Clear() {
  keys.clear();
  values.clear();
  valid = false;
}

// ---- Transactions ---------------------------------------------------------

Tx::Tx(Registry *registry, KeptAnswers *kept, std::optional<uint32_t> counterBefore)
    : registry_(registry),
      db_(registry->db_),
      writer_(registry->writer_),
      shared_(registry->shared_),
      kept_(kept),
      counterBefore_(counterBefore) {}

namespace {

// Runs s, a query of one integer in at most one row: *value, or absent when
// there is no row.
LSTATUS OneInteger(Statement &s, LSTATUS absent, int64_t *value) {
  int rc = s.Step();
  if (rc == SQLITE_DONE) return absent;
  if (rc != SQLITE_ROW) return RegistryError(rc);
  *value = s.Int(0);
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS Tx::KeyHasNullDacl(int64_t id, bool *nullDacl) {
  Statement s(db_, "SELECT open_dacl FROM keys WHERE id = ?");
  if (!s.ok()) return RegistryError(s.prepare_error());
  int64_t flag = 0;
  LSTATUS status = OneInteger(s.Bind(1, id), ERROR_KEY_DELETED, &flag);
  if (status == ERROR_SUCCESS) *nullDacl = flag != 0;
  return status;
}

LSTATUS Tx::Child(int64_t parent, const std::string &name, int64_t *id) {
  Statement s(db_, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
  if (!s.ok()) return RegistryError(s.prepare_error());
  return OneInteger(s.Bind(1, parent).Bind(2, Fold(name)), ERROR_FILE_NOT_FOUND, id);
}

LSTATUS Tx::CreateChild(int64_t parent, const std::string &name, int64_t *id) {
  Statement s(db_, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
  if (!s.ok()) return RegistryError(s.prepare_error());
  int rc = s.Bind(1, parent).Bind(2, name).Bind(3, Fold(name)).Step();
  if (rc != SQLITE_DONE) return RegistryError(rc);
  *id = sqlite3_last_insert_rowid(db_);
  return ERROR_SUCCESS;
}

std::optional<uint32_t> Tx::StableCounter() {
  if (kept_ == nullptr || !counterBefore_.has_value()) return std::nullopt;
  if (!counterNow_.has_value()) counterNow_ = registry_->ReadCounter();
  if (!counterNow_.has_value() || *counterNow_ != *counterBefore_) return std::nullopt;
  return counterNow_;
}

KeptAnswers *Tx::Keep() {
  std::optional<uint32_t> counter = StableCounter();
  if (!counter.has_value()) return nullptr;
  if (!kept_->Of(*counter)) {
    kept_->Clear();
    kept_->counter = *counter;
    kept_->valid = true;
  }
  return kept_;
}

bool Tx::MainUnchangedSince(uint64_t connection, uint32_t counter) const {
  return registry_->UnchangedSince(connection, counter);
}

bool Registry::Unchanged(uint64_t connection, uint32_t counter) {
  std::lock_guard<std::mutex> lock(mu_);
  return Connect() == ERROR_SUCCESS && UnchangedSince(connection, counter);
}

bool Registry::UnchangedSince(uint64_t connection, uint32_t counter) const {
  if (connection != connection_) return false;
  std::optional<uint32_t> now = ReadCounter();
  return now.has_value() && *now == counter;
}

const KeptAnswers *Registry::KeptNow() {
  if (Connect() != ERROR_SUCCESS) return nullptr;
  std::optional<uint32_t> counter = ReadCounter();
  if (!counter.has_value()) return nullptr;
  if (!kept_.Of(*counter)) {
    kept_.Clear();
    return nullptr;
  }
  return &kept_;
}

LSTATUS Registry::Run(Writes writes, FunctionRef<LSTATUS(Tx &)> fn) {
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
  // Only a transaction that reads may keep what it read.
  Tx tx(this, write ? nullptr : &kept_, counterBefore);
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

int Registry::Exec(const char *sql) {
  Statement s(db_, sql);
  if (!s.ok()) return s.prepare_error();
  int rc = s.Step();
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
}

// ---- The writers' queues and waits ----------------------------------------

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
      // Compiled before the shared schema is checked, so that the check (the
      // transaction's next statement against it) reads under the write lock;
      // whatever the schema, it changes nothing.
      CompileAllowed allowed(&allowCompile_);
      rc = Exec("DELETE FROM shared.vals WHERE 0");
      if (rc != SQLITE_OK) Exec("ROLLBACK");
    }
    return RegistryError(rc);
  }
  // Take the write lock up front: a read that later upgrades can fail at once.
  for (int attempt = 0;; ++attempt) {
    int rc = Exec(writes == Writes::kAnything ? "BEGIN IMMEDIATE" : "BEGIN");
    if (rc == SQLITE_OK) break;
    if ((rc & 0xff) != SQLITE_BUSY || attempt >= 3) return RegistryError(rc);
  }
  if (writes == Writes::kAnything && writer_ && !refolded_) {
    bool current = false;
    int rc = RefoldNames(&current);
    if (rc != SQLITE_OK) {
      Exec("ROLLBACK");
      return RegistryError(rc);
    }
    refolded_ = current;  // else made current in this transaction, which may yet roll back
  }
  return ERROR_SUCCESS;
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
    // A file the store needs (a journal) cannot be opened: the store failing,
    // never a key or value absent, which a lockout record would read as no lock.
    case SQLITE_CANTOPEN:
      return ERROR_ACCESS_DENIED;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return ERROR_BADDB;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

namespace {

struct UpcaseRun {
  char32_t first, last;
  int32_t offset;  // to the capital
  uint32_t stride;
};
constexpr UpcaseRun kUpcase[] = {
#include "platform/posix/upcase_table.inc"
};

char32_t Upcase(char32_t c) {
  const UpcaseRun *end = kUpcase + sizeof kUpcase / sizeof kUpcase[0];
  const UpcaseRun *run =
      std::lower_bound(kUpcase, end, c, [](const UpcaseRun &r, char32_t value) { return r.last < value; });
  if (run == end || c < run->first || (c - run->first) % run->stride != 0) return c;
  return static_cast<char32_t>(static_cast<int32_t>(c) + run->offset);
}

// The length of the well-formed UTF-8 sequence at s[i] (shortest form, no
// surrogate, at most U+10FFFF) and its code point; 0 for anything else.
size_t DecodeUtf8(const std::string &s, size_t i, char32_t *out) {
  const auto byte = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u; };
  const unsigned lead = byte(0);
  size_t n;
  char32_t c, least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, c = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, c = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, c = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  for (size_t k = 1; k < n; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(k) & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *out = c;
  return n;
}

void AppendUtf8(std::string &out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {  // the BMP only: nothing beyond it folds
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

// Windows compares names by the upper case of each UTF-16 unit. The fold kept
// here is that upper case with ASCII capitals written small (as stores have
// always held ASCII names), in UTF-8, this layer's ANSI code page; a byte that
// is not UTF-8 stays as it is.
std::string Fold(const std::string &s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t c = static_cast<unsigned char>(s[i]);
    size_t n = 1;
    if (c >= 0x80) {
      n = DecodeUtf8(s, i, &c);
      if (n == 0) {
        out.push_back(s[i++]);
        continue;
      }
      if (n == 4) {
        out.append(s, i, 4);
        i += 4;
        continue;
      }
      c = Upcase(c);
    }
    if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
    AppendUtf8(out, c);
    i += n;
  }
  return out;
}

size_t NameLength(const std::string &s) {
  size_t units = 0;
  for (size_t i = 0; i < s.size();) {
    char32_t c;
    size_t n = static_cast<unsigned char>(s[i]) < 0x80 ? 1 : DecodeUtf8(s, i, &c);
    units += n == 4 ? 2 : 1;
    i += n == 0 ? 1 : n;
  }
  return units;
}

Registry &Registry::Instance() {
  static Registry registry;  // closed when the program ends or the library is unloaded
  return registry;
}

LSTATUS OpenRegistryStore(std::string *refusal) { return Registry::Instance().Open(refusal); }

Registry::~Registry() {
  bool closed = true;
  if (db_ != nullptr && pid_ == CurrentProcessId()) {
    for (auto &entry : statements_) sqlite3_finalize(entry.second);
    closed = sqlite3_close(db_) == SQLITE_OK;
  }
  // A connection SQLite could not close still reads through the shared VFS.
  if (closed) UnregisterSharedVfs();
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
  registry.progressLeft_ = kStatementSteps / kProgressStride;  // this statement's
  if (*cached) {
    auto it = registry.statements_.find(sql);
    if (it != registry.statements_.end()) {
      *rc = SQLITE_OK;
      return it->second;
    }
    // A statement compiled for the first time against the shared database is
    // compiled against a schema checked in this transaction.
    using Check = Registry::SharedCheck;
    if (!registry.allowCompile_ && registry.sharedCheck_ != Check::kNone && registry.sharedCheck_ != Check::kRunning &&
        strstr(sql, "shared.") != nullptr) {
      *rc = registry.CheckShared();
      if (*rc != SQLITE_OK) {
        *cached = false;
        return nullptr;
      }
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

LSTATUS Registry::Connect(std::string *refusal) {
  std::string root = StateRoot();
  if (db_ != nullptr && pid_ == CurrentProcessId() && root_ == root) return ERROR_SUCCESS;
  // A connection from the parent of a fork() is abandoned, never used or
  // closed (its statements with it).
  if (db_ != nullptr && pid_ == CurrentProcessId()) {
    for (auto &entry : statements_) sqlite3_finalize(entry.second);
    sqlite3_close_v2(db_);
  }
  statements_.clear();
  kept_.Clear();  // answers of the store this connection leaves
  ++connection_;
  db_ = nullptr;
  pid_ = CurrentProcessId();
  root_ = root;

  // Only a process that may write the state root creates anything in it.
  StateDirectory dir;
  LSTATUS status = OpenStateRoot(false, &dir, refusal);
  if (status == ERROR_FILE_NOT_FOUND && StateRootCreationAllowed()) status = OpenStateRoot(true, &dir, refusal);
  if (status != ERROR_SUCCESS) return status;
  bool mayCreate = faccessat(dir.fd.get(), ".", W_OK, AT_EACCESS) == 0;
  UniqueFd file;
  bool created = false;
  status = OpenStateFile(dir, kMainFile, O_RDONLY, kMainMode, mayCreate, FileOwner::kTrusted, &file, &created, refusal);
  if (status != ERROR_SUCCESS) return status;
  writer_ = mayCreate && faccessat(dir.fd.get(), kMainFile, R_OK | W_OK, AT_EACCESS) == 0;
  refolded_ = false;
  file = UniqueFd();

  // Read-write even for readers: SQLite then opens a write-protected
  // registry.db read-only by itself, while the attached shared database (which
  // inherits these flags) stays writable.
  std::string path = dir.path + "/" + kMainFile;
  sqlite3 *db = nullptr;
  int rc =
      sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_URI, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return RegistryError(rc);
  }
  sqlite3_busy_handler(db, WaitWhileBusy, &busySince_);
  // The shared database is another account's file: the connection is made
  // safe for it before it is attached (see Harden).
  const bool hardened = Harden(db);
  if (writer_) {
    // A rollback journal, not WAL: a reader then needs nothing but read access
    // to registry.db, whoever deleted or never made the -wal and -shm files
    // (WAL readers must create -shm, which they cannot in this directory).
    // A store kept in WAL by an earlier build changes over here once no other
    // connection has it open.
    rc = ExecOnce(db, "PRAGMA journal_mode=DELETE");
    if (rc == SQLITE_BUSY) rc = SQLITE_OK;
    if (rc == SQLITE_OK) rc = ExecOnce(db, kMainSchema);
  } else {
    rc = ExecOnce(db, "SELECT count(*) FROM keys");
  }
  if (rc == SQLITE_OK) rc = ExecOnce(db, "PRAGMA synchronous=FULL");
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    return RegistryError(rc);
  }
  shared_ = hardened && AttachShared(db, dir, writer_, refusal);
  // The directory of named mutexes' lock files, which every account's hosts
  // need (lockout checks take a lock), is made by the store's writer too.
  if (writer_) {
    StateDirectory locks;
    OpenStateDirectory(dir, kLocksDirectory, kLocksDirectoryMode, true, &locks);
  }
  db_ = db;
  return ERROR_SUCCESS;
}

// SQLite's advice for database files from elsewhere, for the whole
// connection: nothing in a schema runs (kConfigs), nothing parsed or built is
// large (kLimits), no statement works for ever (the progress handler), pages
// are checked as they are read (cell_size_check), and no file is mapped into
// memory, where another account truncating it would kill this process with
// SIGBUS instead of giving an error. false: a setting did not hold, and the
// shared database is not attached.
bool Registry::Harden(sqlite3 *db) {
  bool held = true;
  for (const auto &[option, value] : kConfigs) {
    int now = -1;
    held = sqlite3_db_config(db, option, value, &now) == SQLITE_OK && now == value && held;
  }
  for (const auto &[limit, value] : kLimits) sqlite3_limit(db, limit, value);
  sqlite3_progress_handler(db, kProgressStride, OutOfSteps, &progressLeft_);
  held = sqlite3_set_authorizer(db, Authorize, this) == SQLITE_OK && held;
  return held && ExecOnce(db, "PRAGMA cell_size_check=ON") == SQLITE_OK &&
         ExecOnce(db, "PRAGMA mmap_size=0") == SQLITE_OK;
}

// Stores made before names folded beyond ASCII hold such names folded in
// ASCII only. The store's writer folds them again in its first write
// transaction (whose lock it holds anyway, so no reader can stall a process
// that only reads), a batch of rows per statement, and marks the store with
// user_version 1; a write fails rather than run on a store it could not bring
// up to date. A name whose fold another name of its key already holds keeps
// its old fold: Windows could not hold both.
int Registry::RefoldNames(bool *current) {
  *current = false;
  int64_t done = -1;
  {
    Statement version(db_, "PRAGMA main.user_version");
    if (!version.ok()) return version.prepare_error();
    int rc = version.Step();
    if (rc != SQLITE_ROW) return rc;
    done = version.Int(0);
  }
  *current = done >= 1;
  if (*current) return SQLITE_OK;
  constexpr int64_t kBatch = 4096;  // rows a statement reads, far below its bound of work
  for (const char *table : {"keys", "vals"}) {
    const std::string select =
        std::string("SELECT rowid, name FROM main.") + table + " WHERE rowid > ? ORDER BY rowid LIMIT " +
        std::to_string(kBatch);
    const std::string update = std::string("UPDATE OR IGNORE main.") + table + " SET fold = ? WHERE rowid = ?";
    for (int64_t after = 0;;) {
      std::vector<std::pair<int64_t, std::string>> names;
      int64_t rows = 0;
      {
        Statement q(db_, select.c_str());
        if (!q.ok()) return q.prepare_error();
        q.Bind(1, after);
        int rc;
        while ((rc = q.Step()) == SQLITE_ROW) {
          ++rows;
          after = q.Int(0);
          std::string name = q.Text(1);
          // Only names beyond ASCII fold otherwise than they did.
          if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
            names.emplace_back(after, std::move(name));
          }
        }
        if (rc != SQLITE_DONE) return rc;
      }
      for (const auto &[row, name] : names) {
        Statement u(db_, update.c_str());
        if (!u.ok()) return u.prepare_error();
        int rc = u.Bind(1, Fold(name)).Bind(2, row).Step();
        if (rc != SQLITE_DONE) return rc;
      }
      if (rows < kBatch) break;
    }
  }
  return Exec("PRAGMA main.user_version = 1");
}

int Registry::ExecOnce(sqlite3 *db, const char *sql) {
  progressLeft_ = kStatementSteps / kProgressStride;
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

namespace {

// What the shared database holds, read in the transaction the caller holds.
enum class Contents { kOurs, kEmpty, kForeign };

// Reads the shared database's size and schema: ours is exactly the table
// vals as kSharedTableSql makes it, with the index of its UNIQUE constraint
// (whose definition is the table's), and nothing else: another table, index,
// view or trigger, or a column defined otherwise, and the database is not
// used. *why says what is foreign.
int InspectShared(sqlite3 *db, Contents *contents, std::string *why, int64_t *pageSize = nullptr) {
  *contents = Contents::kForeign;
  int64_t size[2] = {0, 0};
  const char *sizes[] = {"PRAGMA shared.page_count", "PRAGMA shared.page_size"};
  for (int i = 0; i < 2; ++i) {
    Statement q(db, sizes[i]);
    if (!q.ok()) return q.prepare_error();
    int rc = q.Step();
    if (rc != SQLITE_ROW) return rc;
    size[i] = q.Int(0);
  }
  if (size[0] < 0 || size[1] <= 0 || size[0] > kSharedMaxBytes / size[1]) {
    *why = "is larger than any store's";
    return SQLITE_OK;
  }
  if (pageSize != nullptr) *pageSize = size[1];
  Statement q(db, "SELECT type, name, tbl_name, sql FROM shared.sqlite_schema");
  if (!q.ok()) return q.prepare_error();
  bool table = false, index = false;
  int objects = 0, rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    ++objects;
    const std::string type = q.Text(0), name = q.Text(1), of = q.Text(2);
    const bool noSql = q.Null(3);
    if (type == "table" && name == "vals" && of == "vals" && !noSql && q.Text(3) == kSharedTableSql) {
      table = true;
    } else if (type == "index" && name == "sqlite_autoindex_vals_1" && of == "vals" && noSql) {
      index = true;
    } else {
      *why = "holds a schema that is not the store's";
    }
  }
  if (rc != SQLITE_DONE) return rc;
  if (objects == 0) {
    *contents = Contents::kEmpty;
  } else if (objects == 2 && table && index) {
    *contents = Contents::kOurs;
  } else if (why->empty()) {
    *why = "holds a schema that is not the store's";
  }
  return SQLITE_OK;
}

}  // namespace

constexpr char kInWal[] =
    "is in WAL mode (an earlier build's, or another account's doing): the store's writer brings it back to a "
    "rollback journal once no process has it open";

// A file SQLite keeps beside the shared database (its journal, or the -wal
// of one in WAL mode) is the store's own: a regular file of one link that
// belongs to the database's owner, which no other account can then replace in
// the sticky directory, with the database's mode and group, as every host
// that writes the database writes through it.
// The writer (a process of the database's owner) removes whatever another
// account put in its place, or grew past any store's, and makes it when it is
// missing; anyone else only checks it (a missing journal leaves the database
// readable; writing it then fails).
bool PrepareCompanion(const StateDirectory &dir, const std::string &name, const struct stat &database, bool writer,
                      std::string *refusal = nullptr) {
  const uid_t owner = database.st_uid;
  const std::string path = dir.path + "/" + name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st;
    if (fstatat(dir.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == owner && st.st_size <= kSharedFileMaxBytes) {
        return true;
      }
      if (!writer) {
        RefuseStateFile(path, "is not a regular file of the store's owner, or is larger than any store's", refusal);
        return false;
      }
      if (unlinkat(dir.fd.get(), name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
        RefuseStateFile(path, "is another account's and cannot be removed", refusal);
        return false;
      }
    } else if (errno != ENOENT) {
      RefuseStateFile(path, "cannot be checked", refusal);
      return false;
    } else if (!writer) {
      return true;
    }
    UniqueFd made(MakeLikeDatabase(dir.fd.get(), name.c_str(), database));
    if (made) {
      UniqueFd directory(openat(dir.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      return directory && fsync(directory.get()) == 0;
    }
    if (errno != EEXIST) break;  // another process made it meanwhile: checked again
  }
  RefuseStateFile(path, "cannot be made", refusal);
  return false;
}

// SQLite's lock bytes in a database file (its unix VFS): the pending byte,
// which a connection takes on its way to a shared lock, and the range of
// shared locks, one of which every connection to a WAL database holds for as
// long as it has it open.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kSharedFirst = kPendingByte + 2;
constexpr off_t kSharedSize = 510;

uint32_t BigEndian32(const uint8_t *bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

// Another account's -wal (a host of the earlier build made it) is taken over
// with its frames, since a host killed before its last checkpoint left
// commits in it: read whole, then written into the file of the store's own
// that takes its place. Read only when it is a WAL of the database's page
// size in a file of one link no larger than any store's (a link to another
// file is never read, let alone copied where every account reads it);
// anything else is replaced without its content.
bool AdoptWal(const StateDirectory &dir, const struct stat &database, uint32_t pageSize) {
  const std::string name = std::string(kOpenKeysFile) + "-wal";
  std::vector<uint8_t> frames;
  struct stat st;
  if (fstatat(dir.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
      st.st_nlink == 1 && st.st_uid != database.st_uid) {
    UniqueFd in(openat(dir.fd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    uint8_t header[32];  // magic number (two, for either byte order of checksums), version, page size, ...
    if (in && fstat(in.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        st.st_size >= static_cast<off_t>(sizeof header) && st.st_size <= kSharedFileMaxBytes &&
        pread(in.get(), header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        (BigEndian32(header) & ~1u) == 0x377f0682u && BigEndian32(header + 8) == pageSize) {
      frames.resize(static_cast<size_t>(st.st_size));
      size_t got = 0;
      while (got < frames.size()) {
        ssize_t n = pread(in.get(), frames.data() + got, frames.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      frames.resize(got);  // a torn last frame fails its checksum and ends the log
    }
  }
  if (!PrepareCompanion(dir, name, database, true)) return false;
  if (frames.empty()) return true;
  UniqueFd out(openat(dir.fd.get(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  size_t put = 0;
  while (out && put < frames.size()) {
    ssize_t n = pwrite(out.get(), frames.data() + put, frames.size() - put, static_cast<off_t>(put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    put += static_cast<size_t>(n);
  }
  return put == frames.size() && fsync(out.get()) == 0;
}

// Takes another account's -wal over while no other connection has the
// database open (none holds a shared lock), holding its pending byte
// meanwhile so that none opens it: one that had the old -wal open would go
// on writing a file no longer there. The lock goes with the descriptor,
// before SQLite opens the database here.
bool TakeOverWal(const StateDirectory &dir, const struct stat &database) {
  UniqueFd db(openat(dir.fd.get(), kOpenKeysFile, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!db || fstat(db.get(), &st) != 0 || st.st_dev != database.st_dev || st.st_ino != database.st_ino) return false;
  struct flock pending {};
  pending.l_type = F_WRLCK;
  pending.l_whence = SEEK_SET;
  pending.l_start = kPendingByte;
  pending.l_len = 1;
  if (fcntl(db.get(), F_SETLK, &pending) != 0) return false;
  struct flock shared {};
  shared.l_type = F_WRLCK;
  shared.l_whence = SEEK_SET;
  shared.l_start = kSharedFirst;
  shared.l_len = kSharedSize;
  if (fcntl(db.get(), F_GETLK, &shared) != 0 || shared.l_type != F_UNLCK) return false;
  uint8_t header[18];
  if (pread(db.get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return false;
  const uint32_t pageSize = header[16] == 0 && header[17] == 1 ? 65536u : (uint32_t{header[16]} << 8) | header[17];
  return AdoptWal(dir, database, pageSize);
}

// An earlier build kept the shared database in WAL mode, whose index every
// process maps from the -shm file (which every account may truncate). The
// store's writer brings it back to a rollback journal once no other
// connection has it open, in exclusive locking mode: SQLite then keeps the
// WAL's index in this process's heap and never opens the -shm, and the
// exclusive lock is what tells that no other connection has the database.
// Until then the database is refused (the journal VFS cannot open a WAL
// database).
void Registry::LeaveWal(const StateDirectory &dir, const std::string &path, const struct stat &database) {
  if (!TakeOverWal(dir, database)) return;
  if (SharedVfsName(SharedVfs::kLeaveWal) == nullptr) return;
  sqlite3 *db = nullptr;
  const std::string uri = SharedDatabaseUri(path, SharedVfs::kLeaveWal);
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_URI, nullptr) ==
          SQLITE_OK &&
      Harden(db) && ExecOnce(db, "PRAGMA locking_mode=EXCLUSIVE") == SQLITE_OK &&
      ExecOnce(db, "PRAGMA journal_mode=TRUNCATE") == SQLITE_OK) {
    unlinkat(dir.fd.get(), (std::string(kOpenKeysFile) + "-shm").c_str(), 0);
  }
  sqlite3_close_v2(db);
}

// The database of world-writable keys (those given a null DACL), in shared/:
// a directory every account may write in, with the sticky bit, so that none
// can replace another's files.
// Only a writer of the store makes the directory and the database, so a
// database another account planted is refused. Every account may write the
// file itself: it is used only while it is no larger than kSharedMaxBytes
// and its schema is exactly ours (checked here, then again before anything is
// compiled against a schema SQLite finds changed: Authorize). It is read and
// written through the shared VFS (shared_vfs.h), in rollback-journal mode:
// nothing of it is mapped into this process, and no journal another account
// wrote makes this process open or delete any other file.
bool Registry::AttachShared(sqlite3 *db, const StateDirectory &root, bool writer, std::string *refusal) {
  // What is compiled here reads the shared schema to check it.
  CompileAllowed allowed(&allowCompile_);
  StateDirectory dir;
  bool create = writer;
  if (OpenStateDirectory(root, kSharedDirectory, 0700, create, &dir, refusal) != ERROR_SUCCESS) return false;
  const std::string path = dir.path + "/" + kOpenKeysFile;
  UniqueFd file;
  if (OpenStateFile(dir, kOpenKeysFile, O_RDONLY, kOpenKeysMode, create, FileOwner::kTrusted, &file, nullptr,
                    refusal) != ERROR_SUCCESS) {
    return false;
  }
  struct stat st;
  if (fstat(file.get(), &st) != 0) return false;
  // Bytes 18 and 19 of the header: 2 for WAL mode.
  uint8_t versions[2] = {0, 0};
  const bool wal =
      pread(file.get(), versions, sizeof versions, 18) == sizeof versions && (versions[0] == 2 || versions[1] == 2);
  file = UniqueFd();
  // The journal and -wal are made by a process of the database's owner only
  // (one of another account that may write the store would make them its
  // own, which the shared VFS refuses for everyone).
  const bool owner = writer && geteuid() == st.st_uid;
  const std::string journal = std::string(kOpenKeysFile) + "-journal";
  const bool prepared = PrepareCompanion(dir, journal, st, owner, refusal);
  // Everyone may write in it once the database and journal in it are ours
  // (and whatever became of the journal: a later attach puts it right, but
  // never opens the directory).
  if (dir.created && fchmod(dir.fd.get(), kSharedDirectoryMode) != 0) return false;
  if (!prepared) return false;
  // A hot journal is read through when the database is opened: one larger
  // than any store's is refused with the database.
  struct stat hot;
  if (st.st_size > kSharedMaxBytes ||
      (fstatat(dir.fd.get(), journal.c_str(), &hot, AT_SYMLINK_NOFOLLOW) == 0 && hot.st_size > kSharedMaxBytes)) {
    RefuseStateFile(path, "is larger than any store's", refusal);
    return false;
  }
  if (wal && owner) LeaveWal(dir, path, st);
  const std::string uri = SharedDatabaseUri(path, SharedVfs::kJournal);
  if (SharedVfsName(SharedVfs::kJournal) == nullptr) return false;
  {
    Statement attach(db, "ATTACH DATABASE ? AS shared");
    int rc = attach.ok() ? attach.Bind(1, uri).Step() : attach.prepare_error();
    if (rc != SQLITE_DONE) {
      RefuseStateFile(
          path, wal && rc == SQLITE_CANTOPEN ? kInWal : (std::string("cannot be used: ") + sqlite3_errstr(rc)).c_str(),
          refusal);
      return false;
    }
  }
  // TRUNCATE, not DELETE: the journal of a transaction stays, emptied, for
  // the next writer of any account (in the sticky directory only its maker
  // could delete it). It takes the database's mode, which SQLite gives it.
  int rc = ExecOnce(db, "PRAGMA shared.journal_mode=TRUNCATE");
  if (rc == SQLITE_OK) rc = ExecOnce(db, "PRAGMA shared.synchronous=FULL");
  // Its size and schema, read in one transaction; a new (empty) database
  // gets ours, as another account could give it anyway.
  Contents contents = Contents::kForeign;
  std::string why;
  int64_t pageSize = 0;
  for (int pass = 0; rc == SQLITE_OK && pass < 2; ++pass) {
    rc = ExecOnce(db, "BEGIN");
    if (rc != SQLITE_OK) break;
    rc = InspectShared(db, &contents, &why, &pageSize);
    ExecOnce(db, "COMMIT");
    if (rc != SQLITE_OK || contents != Contents::kEmpty) break;
    rc = ExecOnce(db, kSharedSchema);
  }
  // Nor does this process make it larger than any store's.
  if (rc == SQLITE_OK && contents == Contents::kOurs) {
    rc = ExecOnce(db, ("PRAGMA shared.max_page_count=" + std::to_string(kSharedMaxBytes / pageSize)).c_str());
  }
  if (rc != SQLITE_OK || contents != Contents::kOurs) {
    ExecOnce(db, "DETACH DATABASE shared");
    if (wal && rc == SQLITE_CANTOPEN) {
      why = kInWal;
    } else if (rc != SQLITE_OK) {
      why = std::string("cannot be used: ") + sqlite3_errstr(rc);
    } else if (why.empty()) {
      why = "holds a schema that is not the store's";
    }
    RefuseStateFile(path, why.c_str(), refusal);
    return false;
  }
  sharedPath_ = path;
  return true;
}

// SQLite compiles a statement again, on its own, when it finds that a schema
// the statement was compiled against has changed: the schema cookie in the
// file differs from the one it holds. For the shared database that is
// another account's change, and compiling against it would take in what
// the check refuses. So whatever is compiled against the shared database is
// compiled only while the code here asked for it (attaching, checking) or
// once the schema, as the running transaction reads it (one snapshot), has
// been checked; anything else is refused, and the step that wanted it
// (StepAfterRefusal) checks the schema and tries again. The refusal costs
// nothing while nothing changes: SQLite calls this only when it compiles.
int Registry::Authorize(void *registry, int, const char *, const char *, const char *database, const char *) {
  auto *self = static_cast<Registry *>(registry);
  if (self->allowCompile_ || self->sharedCheck_ == SharedCheck::kPassed || database == nullptr ||
      strcmp(database, "shared") != 0) {
    return SQLITE_OK;
  }
  self->compileRefused_ = true;
  return SQLITE_DENY;
}

int Registry::CheckShared() {
  if (sharedCheck_ == SharedCheck::kPassed || sharedCheck_ == SharedCheck::kFailed) return sharedCheckResult_;
  if (sharedCheck_ != SharedCheck::kUnchecked) return SQLITE_AUTH;
  sharedCheck_ = SharedCheck::kRunning;
  allowCompile_ = true;
  Contents contents = Contents::kForeign;
  std::string why;
  int rc = InspectShared(db_, &contents, &why);
  allowCompile_ = false;
  // Refused with no reason given: the registry call that checks answers its
  // error, and a tool learns why from its open of the store (the attach runs
  // the same check).
  if (rc == SQLITE_OK && contents != Contents::kOurs) rc = SQLITE_AUTH;
  sharedCheckResult_ = rc;
  sharedCheck_ = rc == SQLITE_OK ? SharedCheck::kPassed : SharedCheck::kFailed;
  return rc;
}

int StepAfterRefusal(sqlite3_stmt *stmt) {
  Registry &registry = Registry::Instance();  // its mutex is held: statements run inside Run
  if (!registry.compileRefused_ || sqlite3_db_handle(stmt) != registry.db_) return SQLITE_AUTH;
  registry.compileRefused_ = false;
  int rc = registry.CheckShared();
  return rc == SQLITE_OK ? sqlite3_step(stmt) : rc;
}

}  // namespace ambercrypt::posix
