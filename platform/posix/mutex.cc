// mutex.cc: named mutexes for processes of one machine. A name maps to the
// lock file locks/<name>.lock under the state root (/ and \ become _), locked
// with flock (which, unlike the POSIX record locks SQLite uses, is tied to the
// open file, so it never disturbs the database's own locks). Unnamed mutexes
// are not offered.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <string>

#include "platform/posix/handles.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/process_id.h"
#include "platform/posix/state_root.h"
#include "platform/win32_api.h"

namespace {

struct NamedMutex {
  int fd = -1;
  int held = 0;  // recursion count, as a Windows mutex owner may wait again
  ambercrypt::posix::HandleRegistration registration{this, ambercrypt::posix::HandleKind::kMutex};
};

NamedMutex *AsMutex(HANDLE h) {
  return ambercrypt::posix::FindHandle<NamedMutex>(h, ambercrypt::posix::HandleKind::kMutex);
}

// The lock file under locks/, a directory every account may make lock files
// in (sticky, like /tmp). flock works on a descriptor opened for reading, so
// nobody ever needs another account's lock file writable. The directory is
// checked once per process and state root, as the registry's connection is:
// lockout checks take a lock on every call.
LSTATUS OpenLockFile(const std::string &name, ambercrypt::posix::UniqueFd *fd) {
  using namespace ambercrypt::posix;
  static struct {
    std::mutex mu;
    StateDirectory locks;
    pid_t pid = 0;
    std::string root;
  } checked;
  std::lock_guard<std::mutex> guard(checked.mu);
  std::string root = StateRoot();
  // A directory checked earlier may since have been removed (and made anew):
  // a failure through it is tried once more through a fresh check.
  for (int attempt = 0;; ++attempt) {
    bool fresh = !checked.locks.fd || checked.pid != CurrentProcessId() || checked.root != root || attempt > 0;
    if (fresh) {
      StateDirectory checkedRoot, checkedLocks;
      LSTATUS status = OpenStateRoot(false, &checkedRoot);
      if (status != ERROR_SUCCESS) return status;
      bool create = faccessat(checkedRoot.fd.get(), ".", W_OK, AT_EACCESS) == 0;
      status = OpenStateDirectory(checkedRoot, "locks", 01777, create, &checkedLocks);
      if (status != ERROR_SUCCESS) return status;
      checked.locks = std::move(checkedLocks);
      checked.pid = CurrentProcessId();
      checked.root = root;
    }
    LSTATUS status = OpenStateFile(checked.locks, name.c_str(), O_RDONLY, 0644, true, FileOwner::kAnyone, fd);
    if (status == ERROR_SUCCESS || fresh) return status;
  }
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  (void)lpMutexAttributes;
  if (lpName == nullptr || lpName[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string name(lpName);
  for (char &c : name) {
    if (c == '/' || c == '\\') c = '_';
  }
  name += ".lock";
  ambercrypt::posix::UniqueFd fd;
  LSTATUS status = OpenLockFile(name, &fd);
  if (status != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(status));
    return nullptr;
  }
  auto *mutex = new (std::nothrow) NamedMutex;
  if (mutex == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  mutex->fd = fd.release();
  if (bInitialOwner) WaitForSingleObject(mutex, INFINITE);
  SetLastError(ERROR_SUCCESS);
  return mutex;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  NamedMutex *mutex = AsMutex(hHandle);
  if (mutex == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (mutex->held > 0) {
    ++mutex->held;
    return WAIT_OBJECT_0;
  }
  int rc;
  if (dwMilliseconds == INFINITE) {
    do rc = flock(mutex->fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
  } else {
    // Poll (flock has no timed wait), against the clock rather than a count
    // of naps, each of which may last longer than asked. The naps are short:
    // a holder that takes the lock again a moment after releasing it (the
    // lockout check, then the update) leaves gaps of well under a millisecond,
    // and waiters that slept through them one millisecond at a time starved
    // behind it until their wait ran out, under load.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    while ((rc = flock(mutex->fd, LOCK_EX | LOCK_NB)) != 0 && errno == EWOULDBLOCK &&
           std::chrono::steady_clock::now() < deadline) {
      usleep(100);
    }
    if (rc != 0 && errno == EWOULDBLOCK) return WAIT_TIMEOUT;
  }
  if (rc != 0) {
    SetLastError(static_cast<DWORD>(ambercrypt::posix::ErrorFromErrno(errno)));
    return WAIT_FAILED;
  }
  mutex->held = 1;
  return WAIT_OBJECT_0;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  NamedMutex *mutex = AsMutex(hMutex);
  if (mutex == nullptr || mutex->held == 0) {
    SetLastError(mutex == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_OWNER);
    return FALSE;
  }
  if (--mutex->held == 0) flock(mutex->fd, LOCK_UN);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  NamedMutex *mutex = AsMutex(hObject);
  if (mutex == nullptr) {
    if (ambercrypt::posix::CloseFileHandle(hObject)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  close(mutex->fd);  // drops the lock if still held
  delete mutex;
  return TRUE;
}

}  // extern "C"
