// The machine-wide named mutex (CreateMutexA, WaitForSingleObject,
// ReleaseMutex, CloseHandle: the kernel's on Windows, lock files and the
// queued wait of platform/posix/lock_queue.h on Linux), as the lockout checks
// use it: one holder at a time across threads and processes, a timed wait that
// runs out on a held lock and is granted a released one, a dead holder's lock
// taken over, a waiter's turn against a holder that takes the lock straight
// back, and another account's meddling with a lock file (phantom waiters,
// forged wake-ups, the file's owner locking the queue) never breaking
// exclusion nor keeping a wait from a free lock or past its timeout. Nothing
// here measures time: every check is an outcome or a count.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32_api.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "platform/posix/lock_queue.h"
#include "support/child_process.h"
#endif

namespace ambercrypt {
namespace {

constexpr DWORD kLongWait = 60000;  // never reached unless the mutex is broken

std::string MutexName(const char *test) { return std::string("Global\\AmbercryptTest.") + test; }

class NamedMutexTest : public test::StoreTest {};

// Threads with handles of their own: never two inside at once, no increment lost.
TEST_F(NamedMutexTest, ThreadsTakeTurns) {
  const std::string name = MutexName("Threads");
  constexpr int kThreads = 4, kIterations = 300;
  std::atomic<int> inside{0}, overlaps{0}, failures{0};
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
      if (h == nullptr) {
        ++failures;
        return;
      }
      for (int i = 0; i < kIterations; ++i) {
        if (WaitForSingleObject(h, kLongWait) != WAIT_OBJECT_0) {
          ++failures;
          continue;
        }
        if (inside.fetch_add(1) != 0) ++overlaps;
        int seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        inside.fetch_sub(1);
        ReleaseMutex(h);
      }
      CloseHandle(h);
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, overlaps.load());
  EXPECT_EQ(kThreads * kIterations, counter);
}

// A timed wait on a lock another thread holds runs out; once that thread
// releases it, a waiting thread is granted it.
TEST_F(NamedMutexTest, TimedWaitRunsOutWhileHeldAndIsGrantedOnRelease) {
  const std::string name = MutexName("TimedWait");
  std::mutex mu;
  std::condition_variable cv;
  int stage = 0;  // 1: held; 2: release it
  auto advance = [&](int to) {
    std::lock_guard<std::mutex> lock(mu);
    stage = to;
    cv.notify_all();
  };
  auto await = [&](int at) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return stage >= at; });
  };
  std::atomic<bool> held{false};
  std::thread holder([&] {
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    held = h != nullptr && WaitForSingleObject(h, kLongWait) == WAIT_OBJECT_0;
    advance(1);
    await(2);
    if (held) ReleaseMutex(h);
    if (h != nullptr) CloseHandle(h);
  });
  await(1);
  HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
  if (!held || h == nullptr) {
    advance(2);
    holder.join();
    FAIL() << "the first thread could not take the lock";
  }
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(h, 0));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(h, 50));
  // Released while this thread waits (or just before it does): granted.
  std::thread releaser([&] { advance(2); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, kLongWait));
  releaser.join();
  holder.join();
  EXPECT_TRUE(ReleaseMutex(h));
  EXPECT_FALSE(ReleaseMutex(h));  // no longer held
  CloseHandle(h);
}

#if !defined(_WIN32)

// Memory the forked children of a test share with it.
template <typename T>
T *SharedPage() {
  void *page = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(MAP_FAILED, page);
  return new (page) T();
}

struct Tally {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  volatile int counter = 0;
};

// Takes the lock `iterations` times and counts under it; 0 when every wait
// was granted.
int CountUnderLock(const std::string &name, Tally *tally, int iterations) {
  HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
  if (h == nullptr) return 20;
  int refused = 0;
  for (int i = 0; i < iterations; ++i) {
    if (WaitForSingleObject(h, kLongWait) != WAIT_OBJECT_0) {
      ++refused;
      continue;
    }
    if (tally->inside.fetch_add(1) != 0) ++tally->overlaps;
    int seen = tally->counter;
    sched_yield();
    tally->counter = seen + 1;
    tally->inside.fetch_sub(1);
    ReleaseMutex(h);
  }
  CloseHandle(h);
  return refused == 0 ? 0 : 21;
}

TEST_F(NamedMutexTest, ProcessesTakeTurns) {
  const std::string name = MutexName("Processes");
  Tally *tally = SharedPage<Tally>();
  constexpr int kProcesses = 4, kIterations = 200;
  std::vector<int> codes = test::RunChildren(kProcesses, [&](int) { return CountUnderLock(name, tally, kIterations); });
  for (int code : codes) EXPECT_EQ(0, code);
  EXPECT_EQ(0, tally->overlaps.load());
  EXPECT_EQ(kProcesses * kIterations, tally->counter);
  munmap(tally, sizeof *tally);
}

// A holder that dies (exits, or is killed) holding the lock leaves it free:
// the kernel drops its flock, and its closing wakes the waiter.
TEST_F(NamedMutexTest, ADeadHoldersLockIsTakenOver) {
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "exited");
    const std::string name = MutexName(killed ? "DeadHolderKilled" : "DeadHolderExited");
    int held[2], die[2];
    ASSERT_EQ(0, pipe(held));
    ASSERT_EQ(0, pipe(die));
    pid_t pid = fork();
    if (pid == 0) {
      HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
      if (h == nullptr || WaitForSingleObject(h, kLongWait) != WAIT_OBJECT_0) _exit(1);
      (void)!write(held[1], "x", 1);
      char c;
      (void)!read(die[0], &c, 1);  // until the parent says so (or kills it)
      _exit(0);                    // holding the lock
    }
    close(held[1]);
    close(die[0]);
    char c = 0;
    ASSERT_EQ(1, read(held[0], &c, 1));
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(h, 0));
    std::thread ender([&] {
      if (killed) {
        kill(pid, SIGKILL);
      } else {
        (void)!write(die[1], "x", 1);
      }
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, kLongWait));
    ender.join();
    ReleaseMutex(h);
    CloseHandle(h);
    int status = 0;
    waitpid(pid, &status, 0);
    close(held[0]);
    close(die[1]);
  }
}

// A holder that releases the lock and takes it straight back, over and over
// (a lockout check, then its update, in a loop), while another process waits:
// the waiter is granted the lock within a bounded number of the holder's
// rounds, whatever the machine's speed. A waiter that only tried the lock now
// and then would find it free only in the instants between two rounds.
TEST_F(NamedMutexTest, AWaiterGetsItsTurnFromAHolderThatTakesTheLockStraightBack) {
  const std::string name = MutexName("Turns");
  struct Shared {
    std::atomic<int> rounds{0};
    std::atomic<int> stop{0};
  };
  Shared *shared = SharedPage<Shared>();
  // No scheduling delay may end a turn early here.
  posix::SetQueueLimitForTesting(std::chrono::milliseconds(600000));
  pid_t holder = fork();
  if (holder == 0) {
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    if (h == nullptr) _exit(1);
    while (shared->stop.load() == 0) {
      if (WaitForSingleObject(h, INFINITE) != WAIT_OBJECT_0) _exit(2);
      shared->rounds.fetch_add(1);
      for (int i = 0; i < 2000; ++i) (void)getppid();  // the work under the lock: system calls, no sleep
      ReleaseMutex(h);
    }
    CloseHandle(h);
    _exit(0);
  }
  while (shared->rounds.load() < 3) sched_yield();
  HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(nullptr, h);
  const int arrived = shared->rounds.load();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, kLongWait));
  const int granted = shared->rounds.load();
  shared->stop.store(1);
  ReleaseMutex(h);
  CloseHandle(h);
  int status = 0;
  waitpid(holder, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The round it came in, one taken straight back, and its turn.
  EXPECT_LE(granted - arrived, 4) << "the holder went round " << granted - arrived << " times first";
  posix::SetQueueLimitForTesting(std::chrono::milliseconds(500));
  munmap(shared, sizeof *shared);
}

// ---- Another account ---------------------------------------------------------

constexpr uid_t kNobody = 65534;
bool BecomeNobody() { return setgid(kNobody) == 0 && setuid(kNobody) == 0; }

constexpr off_t kQueueRange = off_t{1} << 32;  // lock_queue.h: waiters' bytes from 4 GiB, watchers' from 8 GiB

class NamedMutexAccountsTest : public NamedMutexTest {
 protected:
  void SetUp() override {
    NamedMutexTest::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second account";
    int dir = open(root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    ASSERT_EQ(0, fchmod(dir, 0755));  // the account may reach locks/
    close(dir);
    // locks/ (made by the store's owner, sticky and writable by all).
    HANDLE h = CreateMutexA(nullptr, FALSE, MutexName("Setup").c_str());
    ASSERT_NE(nullptr, h);
    CloseHandle(h);
  }
  void TearDown() override {
    StopMeddler();
    posix::SetQueueLimitForTesting(std::chrono::milliseconds(500));
    NamedMutexTest::TearDown();
  }

  std::string LockFile(const std::string &name) {
    std::string file = name;
    for (char &c : file) {
      if (c == '\\' || c == '/') c = '_';
    }
    return root() + "/locks/" + file + ".lock";
  }

  // Runs meddle() as nobody in a child that keeps doing what it returns
  // until StopMeddler kills it; returns once meddle() has set things up.
  template <typename Meddle>
  void StartMeddler(Meddle meddle) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    meddler_ = fork();
    if (meddler_ == 0) {
      close(ready[0]);
      if (!BecomeNobody()) _exit(1);
      std::function<void()> keepDoing = meddle();
      if (!keepDoing) _exit(2);
      (void)!write(ready[1], "x", 1);
      for (;;) keepDoing();
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1)) << "the other account could not meddle";
    close(ready[0]);
  }
  void StopMeddler() {
    if (meddler_ <= 0) return;
    kill(meddler_, SIGKILL);
    int status = 0;
    waitpid(meddler_, &status, 0);
    meddler_ = 0;
  }

  // What the lock must still do: refuse a second holder until its wait runs
  // out, grant a free lock (also to a process whose last release woke
  // "waiters", which then queues behind them), and keep processes' counts exact.
  void ExpectTheLockStillWorks(const std::string &name) {
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, h);
    for (int round = 0; round < 4; ++round) {
      ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, kLongWait)) << "round " << round;
      ASSERT_TRUE(ReleaseMutex(h));
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h, 0));
    EXPECT_EQ(0, test::RunChild([&] {
                HANDLE other = CreateMutexA(nullptr, FALSE, name.c_str());
                if (other == nullptr) return 1;
                DWORD wait = WaitForSingleObject(other, 100);
                CloseHandle(other);
                return wait == WAIT_TIMEOUT ? 0 : 2;
              }));
    ReleaseMutex(h);
    CloseHandle(h);
    Tally *tally = SharedPage<Tally>();
    std::vector<int> codes = test::RunChildren(3, [&](int) { return CountUnderLock(name, tally, 40); });
    for (int code : codes) EXPECT_EQ(0, code);
    EXPECT_EQ(0, tally->overlaps.load());
    EXPECT_EQ(120, tally->counter);
    munmap(tally, sizeof *tally);
  }

  pid_t meddler_ = 0;
};

// Read locks of another account in the waiters' range look like waiters that
// never take their turn: arrivals queue behind them for a while, then take
// the free lock.
TEST_F(NamedMutexAccountsTest, PhantomWaitersNeverKeepAFreeLock) {
  posix::SetQueueLimitForTesting(std::chrono::milliseconds(50));
  struct Case {
    const char *what;
    off_t start, length, step;
  };
  const Case cases[] = {
      {"the whole queue", kQueueRange, 2 * kQueueRange, 0},
      {"more single bytes than an arrival remembers", kQueueRange + 5, 1, 1 << 20},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = MutexName(c.step == 0 ? "PhantomRange" : "PhantomBytes");
    HANDLE made = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(nullptr, made);
    CloseHandle(made);
    const std::string file = LockFile(name);
    StartMeddler([&]() -> std::function<void()> {
      int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return nullptr;
      for (int i = 0; i < (c.step == 0 ? 1 : 100); ++i) {
        struct flock lock = {};
        lock.l_type = F_RDLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = c.start + i * c.step;
        lock.l_len = c.length;
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) return nullptr;
      }
      return [] { pause(); };
    });
    ExpectTheLockStillWorks(name);
    StopMeddler();
  }
}

// Another account opening and closing the lock file without end: every
// waiter wakes again and again, and still waits its turn, and no longer than
// its timeout.
TEST_F(NamedMutexAccountsTest, ForgedWakeupsNeitherBreakExclusionNorOutlastAWait) {
  const std::string name = MutexName("Forged");
  HANDLE made = CreateMutexA(nullptr, FALSE, name.c_str());
  ASSERT_NE(nullptr, made);
  CloseHandle(made);
  const std::string file = LockFile(name);
  StartMeddler([&]() -> std::function<void()> {
    if (access(file.c_str(), R_OK) != 0) return nullptr;
    return [file] {
      int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) close(fd);
    };
  });
  ExpectTheLockStillWorks(name);
}

// The account that made a lock file first owns it: it may open it for
// writing and lock the waiters' and watchers' range, so nobody can show
// itself waiting and every release seems to have waiters. Waits then poll
// (capped sleeps), and still work.
TEST_F(NamedMutexAccountsTest, TheLockFilesOwnerLockingTheQueue) {
  posix::SetQueueLimitForTesting(std::chrono::milliseconds(50));
  const std::string name = MutexName("OwnedQueue");
  const std::string file = LockFile(name);
  StartMeddler([&]() -> std::function<void()> {
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || fchmod(fd, 0644) != 0) return nullptr;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kQueueRange;
    lock.l_len = 2 * kQueueRange;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) return nullptr;
    return [] { pause(); };
  });
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  ASSERT_EQ(kNobody, st.st_uid);
  ExpectTheLockStillWorks(name);
}

#endif  // !_WIN32

}  // namespace
}  // namespace ambercrypt
