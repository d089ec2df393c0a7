#include "platform/posix/shared_vfs.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace ambercrypt::posix {
namespace {

constexpr char kJournalVfsName[] = "ambercrypt-shared";
constexpr char kLeaveWalVfsName[] = "ambercrypt-shared-leave-wal";
// The file SQLite names a multi-database transaction's super-journal after
// (registry.db, the main database, beside which it is written).
constexpr char kSuperJournalPrefix[] = "registry.db-mj";
constexpr char kMainJournal[] = "registry.db-journal";

// The shared database as SQLite last named it opening it (its full path, in
// SQLite's form): the names of the files beside it follow from it.
// Plain storage, set up before any code runs: the library's own static
// initialisers may already reach the registry.
std::mutex g_mutex;
char g_database[4096];

std::string Database() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_database;
}

std::string Directory(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

enum class Companion { kDatabase, kJournal, kWal, kSuperJournal, kMainJournal, kOther };

// What name is to the shared database: itself, one of its files, a
// super-journal beside registry.db (one directory up), registry.db's journal
// (which a super-journal lists with this database's), or anything else.
Companion Classify(const char *name) {
  const std::string database = Database();
  if (name == nullptr || database.empty()) return Companion::kOther;
  const std::string file = name;
  if (file == database) return Companion::kDatabase;
  if (file == database + "-journal") return Companion::kJournal;
  if (file == database + "-wal") return Companion::kWal;
  const std::string store = Directory(Directory(database));
  if (!store.empty() && file == store + "/" + kMainJournal) return Companion::kMainJournal;
  const std::string prefix = store + "/" + kSuperJournalPrefix;
  if (!store.empty() && file.size() > prefix.size() && file.compare(0, prefix.size(), prefix) == 0 &&
      file.find('/', prefix.size()) == std::string::npos) {
    return Companion::kSuperJournal;
  }
  return Companion::kOther;
}

// Non-null pAppData: the VFS that leaves WAL mode, for which the -wal exists.
bool LeavesWal(sqlite3_vfs *vfs) { return vfs->pAppData != nullptr; }

// A journal or -wal is opened only as a regular file of one link that
// belongs to the database's owner (the store's writer makes them so): in the
// sticky directory no other account can then replace it, between this check
// and SQLite's open, with a FIFO (which would block the open for ever), a
// link, or a file of its own. Checked without opening it. A missing one is
// made only by a process of the database's owner: one another account made
// would stop every other account's reads.
enum class CompanionState { kTheStoresOwn, kMissing, kOther };

CompanionState CheckCompanion(const char *name) {
  const std::string database = Database();
  struct stat file, owner;
  if (lstat(database.c_str(), &owner) != 0) return CompanionState::kOther;
  if (lstat(name, &file) != 0)
    return errno == ENOENT && geteuid() == owner.st_uid ? CompanionState::kMissing : CompanionState::kOther;
  return S_ISREG(file.st_mode) && file.st_nlink == 1 && file.st_uid == owner.st_uid &&
                 file.st_size <= kSharedFileMaxBytes
             ? CompanionState::kTheStoresOwn
             : CompanionState::kOther;
}

// Makes a missing journal or -wal here, never through SQLite's own open
// (which would take whatever another account put in its place after the
// check). Whatever is found there instead is checked as ever.
CompanionState MakeCompanion(const char *name) {
  struct stat owner;
  if (lstat(Database().c_str(), &owner) != 0) return CompanionState::kOther;
  int fd = MakeLikeDatabase(AT_FDCWD, name, owner);
  if (fd < 0) return errno == EEXIST ? CheckCompanion(name) : CompanionState::kOther;
  close(fd);
  return CheckCompanion(name);
}

// The VFS every call goes on to: the default one when the call is made (so
// that a VFS a test makes the default still sees the shared database).
sqlite3_vfs *Real() { return sqlite3_vfs_find(nullptr); }

struct GuardedFile {
  sqlite3_file base;
  sqlite3_file *real;  // the real VFS's file, allocated for its size
};
sqlite3_file *RealFile(sqlite3_file *f) { return reinterpret_cast<GuardedFile *>(f)->real; }
const sqlite3_io_methods *RealMethods(sqlite3_file *f) { return RealFile(f)->pMethods; }

int Close(sqlite3_file *f) {
  sqlite3_file *real = RealFile(f);
  int rc = real->pMethods != nullptr ? real->pMethods->xClose(real) : SQLITE_OK;
  sqlite3_free(real);
  f->pMethods = nullptr;
  return rc;
}
int Read(sqlite3_file *f, void *p, int n, sqlite3_int64 off) { return RealMethods(f)->xRead(RealFile(f), p, n, off); }
int Write(sqlite3_file *f, const void *p, int n, sqlite3_int64 off) {
  return RealMethods(f)->xWrite(RealFile(f), p, n, off);
}
int Truncate(sqlite3_file *f, sqlite3_int64 size) { return RealMethods(f)->xTruncate(RealFile(f), size); }
int Sync(sqlite3_file *f, int flags) { return RealMethods(f)->xSync(RealFile(f), flags); }
// Another account may grow any of these files after it was opened: one past
// the bound is a failure rather than a long read or rollback.
int FileSize(sqlite3_file *f, sqlite3_int64 *size) {
  int rc = RealMethods(f)->xFileSize(RealFile(f), size);
  return rc == SQLITE_OK && *size > kSharedFileMaxBytes ? SQLITE_IOERR_FSTAT : rc;
}
int Lock(sqlite3_file *f, int level) { return RealMethods(f)->xLock(RealFile(f), level); }
int Unlock(sqlite3_file *f, int level) { return RealMethods(f)->xUnlock(RealFile(f), level); }
int CheckReservedLock(sqlite3_file *f, int *out) { return RealMethods(f)->xCheckReservedLock(RealFile(f), out); }
int FileControl(sqlite3_file *f, int op, void *arg) { return RealMethods(f)->xFileControl(RealFile(f), op, arg); }
int SectorSize(sqlite3_file *f) { return RealMethods(f)->xSectorSize(RealFile(f)); }
int DeviceCharacteristics(sqlite3_file *f) { return RealMethods(f)->xDeviceCharacteristics(RealFile(f)); }
// Version 1: no shared memory, no memory-mapped reads.
const sqlite3_io_methods kJournalMethods = {1,
                                            Close,
                                            Read,
                                            Write,
                                            Truncate,
                                            Sync,
                                            FileSize,
                                            Lock,
                                            Unlock,
                                            CheckReservedLock,
                                            FileControl,
                                            SectorSize,
                                            DeviceCharacteristics,
                                            nullptr,
                                            nullptr,
                                            nullptr,
                                            nullptr,
                                            nullptr,
                                            nullptr};

int Open(sqlite3_vfs *vfs, sqlite3_filename name, sqlite3_file *file, int flags, int *outFlags) {
  file->pMethods = nullptr;
  const Companion companion = Classify(name);
  // A rollback of the shared database's hot journal (which another account
  // may have written) opens the super-journal it names, then reads each
  // journal that one lists to learn whether it is still needed: only
  // SQLite's own super-journal beside registry.db, and read-only, this
  // database's journal or registry.db's.
  if ((flags & SQLITE_OPEN_SUPER_JOURNAL) != 0) {
    const bool listed = (flags & SQLITE_OPEN_READONLY) != 0 &&
                        (companion == Companion::kJournal || companion == Companion::kMainJournal);
    if (companion != Companion::kSuperJournal && !listed) return SQLITE_CANTOPEN;
  } else if (companion == Companion::kMainJournal) {
    return SQLITE_CANTOPEN;
  }
  // No other named file but the database (which names the rest: SQLite's
  // temporary files come without a name).
  if (companion == Companion::kOther && name != nullptr && (flags & SQLITE_OPEN_MAIN_DB) == 0) {
    return SQLITE_CANTOPEN;
  }
  if ((flags & SQLITE_OPEN_WAL) != 0 && !LeavesWal(vfs)) return SQLITE_CANTOPEN;
  if (companion == Companion::kJournal || companion == Companion::kWal) {
    CompanionState state = CheckCompanion(name);
    if (state == CompanionState::kMissing) {
      state = (flags & SQLITE_OPEN_CREATE) != 0 ? MakeCompanion(name) : CompanionState::kOther;
    }
    if (state != CompanionState::kTheStoresOwn) return SQLITE_CANTOPEN;
  }
  sqlite3_vfs *real = Real();
  auto *realFile = static_cast<sqlite3_file *>(sqlite3_malloc(real->szOsFile));
  if (realFile == nullptr) return SQLITE_NOMEM;
  memset(realFile, 0, real->szOsFile);
  int rc = real->xOpen(real, name, realFile, flags, outFlags);
  if (rc != SQLITE_OK) {
    if (realFile->pMethods != nullptr) realFile->pMethods->xClose(realFile);
    sqlite3_free(realFile);
    return rc;
  }
  if ((flags & SQLITE_OPEN_MAIN_DB) != 0 && name != nullptr) {
    std::lock_guard<std::mutex> lock(g_mutex);
    snprintf(g_database, sizeof g_database, "%s", strlen(name) < sizeof g_database ? name : "");
  }
  reinterpret_cast<GuardedFile *>(file)->real = realFile;
  file->pMethods = &kJournalMethods;
  return SQLITE_OK;
}

int EmptyJournal(const char *name) {
  if (CheckCompanion(name) != CompanionState::kTheStoresOwn) return SQLITE_IOERR_DELETE;
  int fd = open(name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? SQLITE_IOERR_DELETE_NOENT : SQLITE_IOERR_DELETE;
  struct stat st;
  const bool emptied = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) == 0 && fsync(fd) == 0;
  close(fd);
  return emptied ? SQLITE_OK : SQLITE_IOERR_DELETE;
}

int Delete(sqlite3_vfs *vfs, const char *name, int syncDir) {
  switch (Classify(name)) {
    case Companion::kJournal:
      // Emptied, not deleted: the store's owner made it, and in the sticky
      // directory another account could put one of its own in its place.
      return EmptyJournal(name);
    case Companion::kSuperJournal:
      return Real()->xDelete(Real(), name, syncDir);
    case Companion::kWal:
      // A -wal that does not exist for this VFS is never deleted by it.
      return LeavesWal(vfs) ? Real()->xDelete(Real(), name, syncDir) : SQLITE_OK;
    default:
      return SQLITE_IOERR_DELETE;
  }
}

int Access(sqlite3_vfs *vfs, const char *name, int flags, int *out) {
  switch (Classify(name)) {
    case Companion::kDatabase:
    case Companion::kJournal:
    case Companion::kSuperJournal:
    case Companion::kMainJournal:
      return Real()->xAccess(Real(), name, flags, out);
    case Companion::kWal:
      if (LeavesWal(vfs)) return Real()->xAccess(Real(), name, flags, out);
      *out = 0;
      return SQLITE_OK;
    default:
      *out = 0;
      return SQLITE_OK;
  }
}

int FullPathname(sqlite3_vfs *, const char *name, int n, char *out) {
  return Real()->xFullPathname(Real(), name, n, out);
}
void *DlOpen(sqlite3_vfs *, const char *) { return nullptr; }
void DlError(sqlite3_vfs *, int n, char *out) {
  if (n > 0) snprintf(out, static_cast<size_t>(n), "no extensions");
}
void (*DlSym(sqlite3_vfs *, void *, const char *))(void) { return nullptr; }
void DlClose(sqlite3_vfs *, void *) {}
int Randomness(sqlite3_vfs *, int n, char *out) { return Real()->xRandomness(Real(), n, out); }
int Sleep(sqlite3_vfs *, int us) { return Real()->xSleep(Real(), us); }
int CurrentTime(sqlite3_vfs *, double *now) { return Real()->xCurrentTime(Real(), now); }
int GetLastError(sqlite3_vfs *, int n, char *out) {
  return Real()->xGetLastError != nullptr ? Real()->xGetLastError(Real(), n, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs *, sqlite3_int64 *now) {
  sqlite3_vfs *real = Real();
  if (real->iVersion >= 2 && real->xCurrentTimeInt64 != nullptr) return real->xCurrentTimeInt64(real, now);
  double day = 0;
  int rc = real->xCurrentTime(real, &day);
  *now = static_cast<sqlite3_int64>(day * 86400000.0);
  return rc;
}

int g_leavesWal = 1;

sqlite3_vfs MakeVfs(const char *name, void *appData) {
  sqlite3_vfs vfs;
  memset(&vfs, 0, sizeof vfs);
  vfs.iVersion = 2;
  vfs.szOsFile = sizeof(GuardedFile);
  vfs.mxPathname = Real() != nullptr ? Real()->mxPathname : 512;
  vfs.zName = name;
  vfs.pAppData = appData;
  vfs.xOpen = Open;
  vfs.xDelete = Delete;
  vfs.xAccess = Access;
  vfs.xFullPathname = FullPathname;
  vfs.xDlOpen = DlOpen;
  vfs.xDlError = DlError;
  vfs.xDlSym = DlSym;
  vfs.xDlClose = DlClose;
  vfs.xRandomness = Randomness;
  vfs.xSleep = Sleep;
  vfs.xCurrentTime = CurrentTime;
  vfs.xGetLastError = GetLastError;
  vfs.xCurrentTimeInt64 = CurrentTimeInt64;
  return vfs;
}

sqlite3_vfs g_vfs[2];

bool Register() {
  if (sqlite3_initialize() != SQLITE_OK || Real() == nullptr) return false;
  g_vfs[0] = MakeVfs(kJournalVfsName, nullptr);
  g_vfs[1] = MakeVfs(kLeaveWalVfsName, &g_leavesWal);
  return sqlite3_vfs_register(&g_vfs[0], 0) == SQLITE_OK && sqlite3_vfs_register(&g_vfs[1], 0) == SQLITE_OK;
}

}  // namespace

const char *SharedVfsName(SharedVfs vfs) {
  static const bool registered = Register();
  if (!registered) return nullptr;
  return vfs == SharedVfs::kJournal ? kJournalVfsName : kLeaveWalVfsName;
}

void UnregisterSharedVfs() {
  for (sqlite3_vfs &vfs : g_vfs) {
    if (vfs.zName != nullptr) sqlite3_vfs_unregister(&vfs);
  }
}

int MakeLikeDatabase(int dirFd, const char *name, const struct stat &database) {
  int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) == 0 &&
      (st.st_gid == database.st_gid || fchown(fd, static_cast<uid_t>(-1), database.st_gid) == 0) &&
      fchmod(fd, database.st_mode & 0777) == 0) {
    return fd;
  }
  const int error = errno;
  close(fd);
  unlinkat(dirFd, name, 0);
  errno = error;
  return -1;
}

std::string SharedDatabaseUri(const std::string &path, SharedVfs vfs) {
  static const char kHex[] = "0123456789ABCDEF";
  // An absolute path after an empty authority ("file:///..."), so that one
  // starting with "//" is not taken for a host.
  std::string uri = !path.empty() && path[0] == '/' ? "file://" : "file:";
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        (c != 0 && strchr("/-._~", c) != nullptr)) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  const char *name = SharedVfsName(vfs);
  return uri + "?vfs=" + (name != nullptr ? name : "");
}

}  // namespace ambercrypt::posix
