// lock_queue.h: the lock files under locks/ and the queued, timed wait for
// them, behind the named mutexes (mutex.cc) and the registry's queue of
// writers (registry_db.h). Internal to platform/posix.
//
// Who holds a lock is decided by flock on its lock file, as before: the
// kernel drops it when its holder dies, and nothing else is trusted for it.
// Around it, the wait:
//
//  - Sleeping until a release. flock has no timed wait (a blocking flock or
//    F_OFD_SETLKW ends early only through a signal, and the library installs
//    no handlers and starts no threads in its host), and polling loses:
//    under load a waiter's short nap lasts a whole scheduler tick, and a
//    holder that releases and takes the lock again at once (a lockout check,
//    then the update) wins every time. A waiter sleeps in poll() on an
//    inotify instance of its own, watching the lock file's inode (through
//    /proc/self/fd, so the very file it locks), with its remaining timeout;
//    a releaser that finds anyone waiting opens and closes that inode (again
//    through /proc/self/fd), which every watcher sees as one event.
//  - Being seen waiting. A waiter holds an open-file-description read lock
//    (F_OFD_SETLK) on one byte of its own, picked at random in a range far
//    past the end of the (empty) lock file. Such locks need only read
//    access, die with their holder, belong to the open file rather than the
//    process (so threads of one process see each other, and a descriptor
//    closed elsewhere in the process drops nothing), and never meet flock
//    or SQLite's locks. One F_OFD_GETLK tells a releaser or an arrival
//    whether anyone waits.
//  - Taking turns. A process that released a lock while others waited for
//    it may take it straight back once (a lockout check, then its update);
//    the next time, and any arrival that finds the lock held, queue behind
//    the waiters they find: they take the lock only once each of those bytes
//    is free again (its waiter took the lock, gave up or died), even when
//    the lock is free before. So a holder looping on the lock lets the waiter
//    it woke in within two of its rounds, and a waiter is overtaken at most
//    twice by each process that was not yet waiting: an arrival that finds
//    the lock free takes it at once, which keeps the uncontended path one
//    flock call (and one F_OFD_GETLK at the release, to know whom to wake).
//    The price is paid under contention: every taking then waits for a
//    wake-up, where a holder used to keep the lock for many turns while its
//    waiters napped.
//
// Another local account can open any lock file (they are readable by all,
// and it may have made one itself) and so:
//  - hold the lock: denial of service, as before (the lockout checks fail
//    closed with 0x8000807 after their 10 seconds);
//  - open and close the file, or take read locks in the waiters' range:
//    spurious wake-ups, and phantom waiters. A phantom is waited for at most
//    half a second (an arrival then takes a free lock regardless), and a
//    wait that runs out tries the lock once more regardless of the queue, so
//    no wait is refused a free lock and none outlasts its timeout;
//  - (as the file's owner) make it unreadable, or lock the waiters' range
//    for writing: releasers then cannot wake anyone, or waiters cannot show
//    themselves; every sleep is capped (50 ms), so waits go on as slower
//    polling, never past their timeouts.
// It can neither steal a wake-up (each waiter's inotify queue is its own),
// nor forge a hand-over: only flock says who holds the lock. Nothing is
// mapped from a file another account could truncate, and no pointer or
// count is read from one. Without inotify (the account's instance limit,
// no /proc) a waiter naps (1 ms) and still keeps its place in the queue.
//
// Weighed and left:
//  - a futex or a robust pthread mutex in a shared mapping of a file every
//    account may write: another account truncates the file (SIGBUS in every
//    host touching the mapping) or corrupts the robust list's pointers,
//    which the kernel then writes through when the owner exits;
//  - SysV semaphores: key collisions, objects that outlive every process
//    (and that systemd-logind's RemoveIPC deletes), SETVAL by any account
//    with write permission;
//  - a blocking flock or F_OFD_SETLKW: no timeout without a signal handler
//    or a thread in the host;
//  - a FIFO beside the lock file as the wake-up channel: a file in a
//    directory every account writes in, which another account may plant (a
//    regular file, a symlink, a FIFO of its own) or drain (stolen bytes), and
//    whose bytes outlive the moment: a holder coming straight back would
//    find the byte of its own release still there and take the waiter's
//    wake-up. inotify on the lock file needs no second file, and reports only
//    what happens after the watch was set.
#ifndef AMBERCRYPT_PLATFORM_POSIX_LOCK_QUEUE_H_
#define AMBERCRYPT_PLATFORM_POSIX_LOCK_QUEUE_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/state_root.h"
#include "platform/win32_api.h"

namespace ambercrypt::posix {

// Opens locks/<fileName> under the state root for reading (all flock needs),
// making the directory and the file when this process may.
LSTATUS OpenLockFile(const std::string &fileName, UniqueFd *fd);

enum class LockResult { kTaken, kTimedOut, kFailed };

// A lock file's name as the waits know it: the turns a process owes to the
// waiters of a lock are kept by it (a hash, made once per handle).
uint64_t LockKey(const std::string &fileName);

// Takes the flock of fd, the lock file of key, queueing as described above;
// without a deadline it waits for ever. kFailed leaves errno set.
LockResult TakeQueuedLock(int fd, uint64_t key, const std::optional<std::chrono::steady_clock::time_point> &deadline);

// Drops the flock of fd and wakes whoever waits for it or watches it.
void ReleaseQueuedLock(int fd, uint64_t key);

// Waits for releases of lock files without a place in their queues: a
// reader of the registry that SQLite keeps waiting for a writer, who holds
// the writers' queue lock until its transaction ends.
class ReleaseWatch {
 public:
  ReleaseWatch() = default;
  ~ReleaseWatch();
  ReleaseWatch(const ReleaseWatch &) = delete;
  ReleaseWatch &operator=(const ReleaseWatch &) = delete;

  // Watches fd from now on; its releasers will wake this watch.
  void Add(int fd);
  // Sleeps until a watched lock is released, or for at most `most`.
  void Sleep(std::chrono::nanoseconds most);

 private:
  int inotify_ = -1;
  std::vector<std::pair<int, off_t>> marks_;  // watched descriptor, its byte
};

// The longest an arrival stays behind waiters that take no lock (tests of
// the queue raise it, so that no scheduling delay can end a turn early).
void SetQueueLimitForTesting(std::chrono::milliseconds limit);

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_LOCK_QUEUE_H_
