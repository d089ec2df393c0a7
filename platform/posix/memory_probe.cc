// memory_probe.cc: IsBadReadPtr, IsBadWritePtr and IsBadCodePtr on Linux. As on
// Windows, a probe of memory that is not mapped (or not writable) answers TRUE
// instead of faulting: the kernel copies one byte of each page, and a copy
// from or to a bad address fails with EFAULT where a plain access would kill
// the process. The copy goes through a pipe, which every host may use
// (process_vm_readv would be one call fewer per byte, but seccomp filters that
// do not list it kill the process instead of failing the call).
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "platform/posix/process_id.h"
#include "platform/win32_api.h"

namespace {

enum class Access { kRead, kWrite };

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  Pipe(const Pipe &) = delete;
  Pipe &operator=(const Pipe &) = delete;
  bool ok() const { return fds_[0] >= 0; }

  // Reads the byte at p through the kernel, and with kWrite stores it back
  // there the same way (so only the access, never the content, is tested).
  bool Probe(uintptr_t p, Access access) {
    auto *byte = reinterpret_cast<char *>(p);
    ssize_t n;
    do n = syscall(SYS_write, fds_[1], byte, 1);
    while (n < 0 && errno == EINTR);
    if (n != 1) return false;
    char copy;
    if (access == Access::kWrite) {
      do n = syscall(SYS_read, fds_[0], byte, 1);
      while (n < 0 && errno == EINTR);
      if (n == 1) return true;
    }
    // Drain what is left, so the pipe never fills.
    do n = syscall(SYS_read, fds_[0], &copy, 1);
    while (n < 0 && errno == EINTR);
    return access == Access::kRead && n == 1;
  }

 private:
  int fds_[2];
};

// Each thread keeps its pipe (two descriptors, close-on-exec) instead of
// making one per probe: a lockout check probes on every call. A child of
// fork() shares its parent's pipe, so it makes its own; a probe made while the
// thread is already probing (from a signal handler) uses a pipe of its own.
struct ThreadPipe {
  std::optional<Pipe> pipe;  // in a child, closing the inherited copy leaves the parent's alone
  pid_t owner = 0;
  bool busy = false;
};

// Probes one byte through the thread's pipe.
bool ProbeByte(uintptr_t p, Access access, Pipe *pipe) {
  // A pipe that cannot be made cannot tell: the caller must not touch it.
  return pipe->ok() && pipe->Probe(p, access);
}

// TRUE when some byte of [p, p + size) cannot be accessed.
BOOL IsBad(const void *p, UINT_PTR size, Access access) {
  if (size == 0) return FALSE;
  uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  if (p == nullptr || begin + (size - 1) < begin) return TRUE;
  thread_local ThreadPipe kept;
  std::optional<Pipe> own;
  Pipe *pipe;
  if (kept.busy) {
    pipe = &own.emplace();
  } else {
    const pid_t self = ambercrypt::posix::CurrentProcessId();
    if (!kept.pipe.has_value() || kept.owner != self || !kept.pipe->ok()) {
      kept.pipe.emplace();
      kept.owner = self;
    }
    pipe = &*kept.pipe;
  }
  struct Busy {
    bool &flag, was;
    explicit Busy(bool &f) : flag(f), was(f) { flag = true; }
    ~Busy() { flag = was; }
  } busy(kept.busy);
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t last = begin + (size - 1);
  // One byte in every page the range touches: the first, each page start, the last.
  for (uintptr_t at = begin;; at = (at & ~(page - 1)) + page) {
    if (!ProbeByte(at, access, pipe)) return TRUE;
    if ((at & ~(page - 1)) == (last & ~(page - 1))) break;
  }
  if (last != begin && !ProbeByte(last, access, pipe)) return TRUE;
  return FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI IsBadReadPtr(const void *lp, UINT_PTR ucb) { return IsBad(lp, ucb, Access::kRead); }

BOOL WINAPI IsBadWritePtr(LPVOID lp, UINT_PTR ucb) { return IsBad(lp, ucb, Access::kWrite); }

BOOL WINAPI IsBadCodePtr(FARPROC lpfn) {
  return IsBad(reinterpret_cast<const void *>(lpfn), 1, Access::kRead);
}

}  // extern "C"
