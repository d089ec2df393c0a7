#include "fault/fault_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>

namespace ambercrypt::test {
namespace {

constexpr char kVfsName[] = "ambercrypt-fault";

std::atomic<bool> g_armed{false};
std::atomic<bool> g_fired{false};
std::atomic<bool> g_readOnly{false};
std::atomic<int> g_calls{0};
FaultPoint g_point = FaultPoint::kWrite;
FaultError g_error = FaultError::kIoError;
int g_k = 0;

sqlite3_vfs *g_real = nullptr;
sqlite3_vfs g_vfs;

// Our file, followed in the same block by the real VFS's file.
struct FaultFile {
  sqlite3_file base;
  sqlite3_file *real;
};
constexpr size_t kRealOffset = (sizeof(FaultFile) + 7) & ~size_t{7};

sqlite3_file *Real(sqlite3_file *f) { return reinterpret_cast<FaultFile *>(f)->real; }

// SQLITE_OK, or the error the armed fault gives this call of point.
int Inject(FaultPoint point, int ioError) {
  if (!g_armed.load() || point != g_point) return SQLITE_OK;
  int n = ++g_calls;
  bool fails = g_error == FaultError::kDiskFull ? n >= g_k : n == g_k;
  if (!fails) return SQLITE_OK;
  g_fired = true;
  return g_error == FaultError::kDiskFull ? SQLITE_FULL : ioError;
}

int Close(sqlite3_file *f) {
  sqlite3_file *real = Real(f);
  int rc = real->pMethods != nullptr ? real->pMethods->xClose(real) : SQLITE_OK;
  f->pMethods = nullptr;
  return rc;
}
int Read(sqlite3_file *f, void *p, int n, sqlite3_int64 off) { return Real(f)->pMethods->xRead(Real(f), p, n, off); }
int Write(sqlite3_file *f, const void *p, int n, sqlite3_int64 off) {
  int rc = Inject(FaultPoint::kWrite, SQLITE_IOERR_WRITE);
  return rc != SQLITE_OK ? rc : Real(f)->pMethods->xWrite(Real(f), p, n, off);
}
int Truncate(sqlite3_file *f, sqlite3_int64 size) { return Real(f)->pMethods->xTruncate(Real(f), size); }
int Sync(sqlite3_file *f, int flags) {
  int rc = Inject(FaultPoint::kSync, SQLITE_IOERR_FSYNC);
  return rc != SQLITE_OK ? rc : Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file *f, sqlite3_int64 *size) { return Real(f)->pMethods->xFileSize(Real(f), size); }
int Lock(sqlite3_file *f, int level) {
  int rc = Inject(FaultPoint::kLock, SQLITE_IOERR_LOCK);
  return rc != SQLITE_OK ? rc : Real(f)->pMethods->xLock(Real(f), level);
}
int Unlock(sqlite3_file *f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReservedLock(sqlite3_file *f, int *out) { return Real(f)->pMethods->xCheckReservedLock(Real(f), out); }
int FileControl(sqlite3_file *f, int op, void *arg) { return Real(f)->pMethods->xFileControl(Real(f), op, arg); }
int SectorSize(sqlite3_file *f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file *f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file *f, int region, int size, int extend, void volatile **p) {
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, p);
}
// A WAL database takes its write lock here, not in xLock.
int ShmLock(sqlite3_file *f, int offset, int n, int flags) {
  if ((flags & SQLITE_SHM_LOCK) != 0) {
    int rc = Inject(FaultPoint::kLock, SQLITE_IOERR_SHMLOCK);
    if (rc != SQLITE_OK) return rc;
  }
  return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file *f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file *f, int deleteFlag) { return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag); }
int Fetch(sqlite3_file *f, sqlite3_int64 off, int n, void **p) { return Real(f)->pMethods->xFetch(Real(f), off, n, p); }
int Unfetch(sqlite3_file *f, sqlite3_int64 off, void *p) { return Real(f)->pMethods->xUnfetch(Real(f), off, p); }

const sqlite3_io_methods kMethods = {3,         Close,    Read,           Write,        Truncate,
                                     Sync,      FileSize, Lock,           Unlock,       CheckReservedLock,
                                     FileControl, SectorSize, DeviceCharacteristics, ShmMap, ShmLock,
                                     ShmBarrier, ShmUnmap, Fetch,         Unfetch};

int Open(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *outFlags) {
  auto *file = reinterpret_cast<FaultFile *>(f);
  file->base.pMethods = nullptr;
  file->real = reinterpret_cast<sqlite3_file *>(reinterpret_cast<char *>(f) + kRealOffset);
  if (g_readOnly.load() && (flags & SQLITE_OPEN_MAIN_DB) != 0) {
    flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
  }
  int rc = g_real->xOpen(g_real, name, file->real, flags, outFlags);
  if (file->real->pMethods != nullptr) file->base.pMethods = &kMethods;
  return rc;
}
int Delete(sqlite3_vfs *, const char *name, int syncDir) { return g_real->xDelete(g_real, name, syncDir); }
int Access(sqlite3_vfs *, const char *name, int flags, int *out) { return g_real->xAccess(g_real, name, flags, out); }
int FullPathname(sqlite3_vfs *, const char *name, int n, char *out) {
  return g_real->xFullPathname(g_real, name, n, out);
}
void *DlOpen(sqlite3_vfs *, const char *name) { return g_real->xDlOpen(g_real, name); }
void DlError(sqlite3_vfs *, int n, char *out) { g_real->xDlError(g_real, n, out); }
void (*DlSym(sqlite3_vfs *, void *h, const char *sym))(void) { return g_real->xDlSym(g_real, h, sym); }
void DlClose(sqlite3_vfs *, void *h) { g_real->xDlClose(g_real, h); }
int Randomness(sqlite3_vfs *, int n, char *out) { return g_real->xRandomness(g_real, n, out); }
int Sleep(sqlite3_vfs *, int us) { return g_real->xSleep(g_real, us); }
int CurrentTime(sqlite3_vfs *, double *out) { return g_real->xCurrentTime(g_real, out); }
int GetLastError(sqlite3_vfs *, int n, char *out) { return g_real->xGetLastError(g_real, n, out); }
int CurrentTimeInt64(sqlite3_vfs *, sqlite3_int64 *out) { return g_real->xCurrentTimeInt64(g_real, out); }

}  // namespace

const char *Name(FaultPoint point) {
  switch (point) {
    case FaultPoint::kWrite:
      return "write";
    case FaultPoint::kSync:
      return "sync";
    case FaultPoint::kLock:
      return "lock";
  }
  return "?";
}

const char *Name(FaultError error) { return error == FaultError::kIoError ? "SQLITE_IOERR" : "SQLITE_FULL"; }

void InstallFaultVfs() {
  if (sqlite3_vfs_find(kVfsName) != nullptr) return;
  g_real = sqlite3_vfs_find(nullptr);
  if (g_real == nullptr || g_real->iVersion < 2) abort();
  g_vfs = sqlite3_vfs{};
  g_vfs.iVersion = 2;
  g_vfs.szOsFile = static_cast<int>(kRealOffset) + g_real->szOsFile;
  g_vfs.mxPathname = g_real->mxPathname;
  g_vfs.zName = kVfsName;
  g_vfs.xOpen = Open;
  g_vfs.xDelete = Delete;
  g_vfs.xAccess = Access;
  g_vfs.xFullPathname = FullPathname;
  g_vfs.xDlOpen = DlOpen;
  g_vfs.xDlError = DlError;
  g_vfs.xDlSym = DlSym;
  g_vfs.xDlClose = DlClose;
  g_vfs.xRandomness = Randomness;
  g_vfs.xSleep = Sleep;
  g_vfs.xCurrentTime = CurrentTime;
  g_vfs.xGetLastError = GetLastError;
  g_vfs.xCurrentTimeInt64 = CurrentTimeInt64;
  if (sqlite3_vfs_register(&g_vfs, 1) != SQLITE_OK) abort();
}

const char *UnderlyingVfsName() { return g_real != nullptr ? g_real->zName : nullptr; }

void ArmFault(FaultPoint point, FaultError error, int k) {
  g_point = point;
  g_error = error;
  g_k = k;
  g_calls = 0;
  g_fired = false;
  g_armed = true;
}

bool DisarmFault() {
  g_armed = false;
  return g_fired.load();
}

int FaultCalls() { return g_calls.load(); }

void SetReadOnlyOpen(bool readOnly) { g_readOnly = readOnly; }

}  // namespace ambercrypt::test
