// mutex.cc: named mutexes for processes of one machine. A name maps to the
// lock file locks/<name>.lock under the state root (/ and \ become _), locked
// with flock (which, unlike the POSIX record locks SQLite uses, is tied to the
// open file, so it never disturbs the database's own locks); a timed wait
// queues and sleeps until a release (lock_queue.h says how, and why it is safe
// against other accounts). Unnamed mutexes are not offered.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/handles.h"
#include "platform/posix/lock_queue.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/process_id.h"
#include "platform/posix/state_root.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {
namespace {

using Clock = std::chrono::steady_clock;

// The bytes of the lock file that say who waits (one each, read-locked) and
// who watches; far past the end of the file, which stays empty.
constexpr off_t kSlotSpan = off_t{1} << 32;
constexpr off_t kWaiterBase = off_t{1} << 32;
constexpr off_t kWatcherBase = kWaiterBase + kSlotSpan;
// The waiters an arrival remembers to queue behind (more are phantoms).
constexpr size_t kMostAhead = 64;
// The longest an arrival stays behind waiters that take no lock. A waiter
// woken by a release takes the lock as soon as it runs; only a phantom
// (another account's read lock), a stopped process or one the scheduler
// starves this long keeps the next in line waiting.
std::atomic<int64_t> g_queueLimitMs{500};
// The longest sleep between two looks at the lock: no wake-up is lost in
// honest use, so this only bounds what a lost one (or another account's
// meddling) costs.
constexpr auto kLongestSleep = std::chrono::milliseconds(50);
// A waiter without inotify looks again this often.
constexpr auto kNap = std::chrono::milliseconds(1);

struct flock Range(short type, off_t start, off_t length) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;
  return range;
}

enum class Look { kFree, kHeld, kUnknown };

// Does a lock of another open file lie on [start, start + length)? Asking
// for a write lock finds locks of either kind; *found then says which.
// kUnknown when the kernel cannot tell (no open file description locks).
Look LookAt(int fd, off_t start, off_t length, struct flock *found = nullptr) {
  struct flock query = Range(F_WRLCK, start, length);
  if (fcntl(fd, F_OFD_GETLK, &query) != 0) return Look::kUnknown;
  if (found != nullptr) *found = query;
  return query.l_type == F_UNLCK ? Look::kFree : Look::kHeld;
}

// The ranges of the waiters' bytes others hold, at most kMostAhead of them.
std::vector<std::pair<off_t, off_t>> WaitersAhead(int fd) {
  std::vector<std::pair<off_t, off_t>> ahead;
  std::vector<std::pair<off_t, off_t>> unsearched = {{kWaiterBase, kWaiterBase + kSlotSpan}};
  while (!unsearched.empty() && ahead.size() < kMostAhead) {
    auto [from, to] = unsearched.back();
    unsearched.pop_back();
    struct flock found;
    if (from >= to || LookAt(fd, from, to - from, &found) != Look::kHeld) continue;
    off_t start = std::max(found.l_start, from);
    off_t end = found.l_len == 0 ? to : std::min(found.l_start + found.l_len, to);
    if (end <= start) continue;
    ahead.emplace_back(start, end);
    unsearched.emplace_back(from, start);
    unsearched.emplace_back(end, to);
  }
  return ahead;
}

// A byte of this thread's choosing in a range of slots.
off_t RandomSlot(off_t base) {
  thread_local uint64_t state = [] {
    uint64_t seed = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
    seed ^= static_cast<uint64_t>(CurrentProcessId()) << 32;
    seed ^= reinterpret_cast<uintptr_t>(&state);
    return seed | 1;
  }();
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return base + static_cast<off_t>(state % static_cast<uint64_t>(kSlotSpan));
}

// Read-locks a free byte of the range for this open file: others then see it
// waiting (or watching). false when it could not (others may then not wake it;
// its sleeps are capped).
bool Mark(int fd, off_t base, off_t *slot) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    off_t candidate = RandomSlot(base);
    if (LookAt(fd, candidate, 1) == Look::kHeld) continue;
    struct flock mark = Range(F_RDLCK, candidate, 1);
    if (fcntl(fd, F_OFD_SETLK, &mark) == 0) {
      *slot = candidate;
      return true;
    }
  }
  return false;
}

void Unmark(int fd, off_t slot) {
  struct flock unmark = Range(F_UNLCK, slot, 1);
  fcntl(fd, F_OFD_SETLK, &unmark);
}

std::string SelfPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// How often in a row this process released each lock while others waited
// for it. It may take such a lock straight back once (a lockout check, then
// its update: one turn, one hand-over); the next time it looks for waiters
// first and queues behind them, so it never keeps a lock from the waiters it
// woke for longer than that. Every other arrival tries the lock at once (one
// system call, as before the queue). Kept in static storage by the lock's key
// (two names of one hash only make an arrival look for waiters once more):
// nothing is allocated, so nothing is left behind when the library is
// unloaded.
constexpr int kRetakes = 1;
struct OwedTurns {
  struct Entry {
    uint64_t name;  // 0: free
    int releasesWhileWaited;
  };
  std::mutex mu;
  Entry entries[64];
};
OwedTurns g_owed;

// The entry of a lock's name; with make, a free (or else the least owed)
// entry becomes its. Called with g_owed.mu held.
OwedTurns::Entry *OwedEntry(uint64_t name, bool make) {
  OwedTurns::Entry *spare = nullptr;
  for (OwedTurns::Entry &e : g_owed.entries) {
    if (e.name == name) return &e;
    if (spare == nullptr || (spare->name != 0 && (e.name == 0 || e.releasesWhileWaited < spare->releasesWhileWaited))) {
      spare = &e;
    }
  }
  if (!make) return nullptr;
  *spare = {name, 0};
  return spare;
}

// Is anyone waiting for or watching the lock file of fd (or can the kernel
// not tell)?
bool Attended(int fd) { return LookAt(fd, kWaiterBase, 2 * kSlotSpan) != Look::kFree; }

// Wakes those waiting for or watching the lock file of fd: an open and a
// close of its inode, which their inotify watches report.
void Ring(int fd) {
  int again = open(SelfPath(fd).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (again >= 0) close(again);
}

// Sleeps until a file watched by the inotify instance is closed by anyone,
// or for at most `most` (at most kLongestSleep; kNap without an instance).
void SleepOn(int inotify, Clock::duration most) {
  most = std::min<Clock::duration>(most, inotify >= 0 ? Clock::duration(kLongestSleep) : Clock::duration(kNap));
  if (most <= Clock::duration::zero()) return;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(most).count();
  struct timespec timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  if (inotify < 0) {
    nanosleep(&timeout, nullptr);
    return;
  }
  struct pollfd p = {inotify, POLLIN, 0};
  if (ppoll(&p, 1, &timeout, nullptr) > 0) {
    alignas(struct inotify_event) char events[4096];
    while (read(inotify, events, sizeof events) > 0) {
    }
  }
}

// Adds a watch for closes of the lock file of lockFd (its very inode); false
// when the instance cannot have one.
bool WatchCloses(int inotify, int lockFd) {
  return inotify >= 0 && inotify_add_watch(inotify, SelfPath(lockFd).c_str(), IN_CLOSE) >= 0;
}

}  // namespace

uint64_t LockKey(const std::string &fileName) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : fileName) h = (h ^ c) * 1099511628211ull;
  return h != 0 ? h : 1;
}

LockResult TakeQueuedLock(int fd, uint64_t key, const std::optional<Clock::time_point> &deadline) {
  bool owed = false;
  {
    std::lock_guard<std::mutex> guard(g_owed.mu);
    OwedTurns::Entry *entry = OwedEntry(key, false);
    if (entry != nullptr && entry->releasesWhileWaited > kRetakes) {
      owed = true;
      *entry = {0, 0};
    }
  }
  // The common case: the lock is free, and this process is not keeping it
  // from waiters it woke.
  const bool behindOthers = owed && LookAt(fd, kWaiterBase, kSlotSpan) == Look::kHeld;
  if (!behindOthers) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::kTaken;
    if (errno != EWOULDBLOCK && errno != EINTR) return LockResult::kFailed;
  }
  // In line: behind the waiters found, seen by releasers from here on, woken
  // by their rings. The watch comes before the first look at the lock, so no
  // release after it goes unseen.
  std::vector<std::pair<off_t, off_t>> ahead = WaitersAhead(fd);
  off_t slot = 0;
  const bool marked = Mark(fd, kWaiterBase, &slot);
  UniqueFd wakeups(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!WatchCloses(wakeups.get(), fd)) wakeups = UniqueFd();
  const auto arrived = Clock::now();
  const auto queueLimit = std::chrono::milliseconds(g_queueLimitMs.load(std::memory_order_relaxed));
  LockResult result;
  for (;;) {
    const auto now = Clock::now();
    if (!ahead.empty()) {
      if (now - arrived >= queueLimit) {
        ahead.clear();
      } else {
        ahead.erase(
            std::remove_if(ahead.begin(), ahead.end(),
                           [&](const auto &r) { return LookAt(fd, r.first, r.second - r.first) != Look::kHeld; }),
            ahead.end());
      }
    }
    const bool expired = deadline.has_value() && now >= *deadline;
    // A wait that runs out still takes a free lock, whoever seems to queue.
    if (ahead.empty() || expired) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        result = LockResult::kTaken;
        break;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        result = LockResult::kFailed;
        break;
      }
    }
    if (expired) {
      result = LockResult::kTimedOut;
      break;
    }
    Clock::duration most = deadline.has_value() ? *deadline - now : Clock::duration(kLongestSleep);
    if (!ahead.empty()) most = std::min<Clock::duration>(most, arrived + queueLimit - now);
    SleepOn(wakeups.get(), most);
  }
  const int saved = errno;
  if (marked) {
    Unmark(fd, slot);
    // Those queued behind a waiter that leaves without the lock look again;
    // behind one that took it, they are woken when it releases.
    if (result != LockResult::kTaken && Attended(fd)) Ring(fd);
  }
  errno = saved;
  return result;
}

void ReleaseQueuedLock(int fd, uint64_t key) {
  flock(fd, LOCK_UN);
  const bool attended = Attended(fd);
  {
    std::lock_guard<std::mutex> guard(g_owed.mu);
    OwedTurns::Entry *entry = OwedEntry(key, attended);
    if (entry != nullptr && attended) ++entry->releasesWhileWaited;
    if (entry != nullptr && !attended) *entry = {0, 0};
  }
  if (attended) Ring(fd);
}

ReleaseWatch::~ReleaseWatch() {
  for (const auto &mark : marks_) Unmark(mark.first, mark.second);
  if (inotify_ >= 0) close(inotify_);
}

void ReleaseWatch::Add(int fd) {
  off_t slot = 0;
  if (Mark(fd, kWatcherBase, &slot)) marks_.emplace_back(fd, slot);
  if (inotify_ < 0) inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  WatchCloses(inotify_, fd);
}

void ReleaseWatch::Sleep(std::chrono::nanoseconds most) { SleepOn(inotify_, most); }

void SetQueueLimitForTesting(std::chrono::milliseconds limit) {
  g_queueLimitMs.store(limit.count(), std::memory_order_relaxed);
}

// The lock file under locks/, a directory every account may make lock files
// in (sticky, like /tmp). flock works on a descriptor opened for reading, so
// nobody ever needs another account's lock file writable. The directory is
// checked once per process and state root, as the registry's connection is:
// lockout checks take a lock on every call.
LSTATUS OpenLockFile(const std::string &name, UniqueFd *fd) {
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

}  // namespace ambercrypt::posix

namespace {

struct NamedMutex {
  int fd = -1;
  int held = 0;      // recursion count, as a Windows mutex owner may wait again
  uint64_t key = 0;  // of its lock file (LockKey)
  ambercrypt::posix::HandleRegistration registration{this, ambercrypt::posix::HandleKind::kMutex};
};

NamedMutex *AsMutex(HANDLE h) {
  return ambercrypt::posix::FindHandle<NamedMutex>(h, ambercrypt::posix::HandleKind::kMutex);
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
  LSTATUS status = ambercrypt::posix::OpenLockFile(name, &fd);
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
  mutex->key = ambercrypt::posix::LockKey(name);
  if (bInitialOwner) WaitForSingleObject(mutex, INFINITE);
  SetLastError(ERROR_SUCCESS);
  return mutex;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  using ambercrypt::posix::LockResult;
  NamedMutex *mutex = AsMutex(hHandle);
  if (mutex == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (mutex->held > 0) {
    ++mutex->held;
    return WAIT_OBJECT_0;
  }
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (dwMilliseconds != INFINITE) {
    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  }
  LockResult result = ambercrypt::posix::TakeQueuedLock(mutex->fd, mutex->key, deadline);
  if (result == LockResult::kTimedOut) return WAIT_TIMEOUT;
  if (result == LockResult::kFailed) {
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
  if (--mutex->held == 0) ambercrypt::posix::ReleaseQueuedLock(mutex->fd, mutex->key);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  NamedMutex *mutex = AsMutex(hObject);
  if (mutex == nullptr) {
    if (ambercrypt::posix::CloseFileHandle(hObject)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  close(mutex->fd);  // drops the lock if still held; the close wakes the waiters
  delete mutex;
  return TRUE;
}

}  // extern "C"
