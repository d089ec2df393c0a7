// memory_probe.cc: IsBadReadPtr, IsBadWritePtr and IsBadCodePtr on Linux. As on
// Windows, a probe of memory that is not mapped (or not writable) answers TRUE
// instead of faulting: the kernel copies one byte of each page, and a copy
// from or to a bad address fails with EFAULT where a plain access would kill
// the process. The copy goes through process_vm_readv/writev on this process
// (one call per byte); where those are refused (a seccomp filter), through a
// pipe.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
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

// Copies one byte between this process and itself: 1 copied, 0 the address
// is bad, -1 the calls are not allowed here. Raw system calls, so that no
// sanitizer's interceptor looks at the probed address first.
int CopySelf(uintptr_t p, Access access) {
  char copy;
  iovec local{&copy, 1};
  iovec remote{reinterpret_cast<void *>(p), 1};
  const pid_t self = ambercrypt::posix::CurrentProcessId();
  long n = syscall(SYS_process_vm_readv, self, &local, 1UL, &remote, 1UL, 0UL);
  if (n == 1 && access == Access::kWrite) n = syscall(SYS_process_vm_writev, self, &local, 1UL, &remote, 1UL, 0UL);
  if (n == 1) return 1;
  return errno == EFAULT ? 0 : -1;
}

// Probes one byte; the pipe is made only when the direct copy is refused.
bool ProbeByte(uintptr_t p, Access access, std::optional<Pipe> *pipe) {
  static std::atomic<bool> directRefused{false};  // a seccomp filter does not change its mind
  if (!directRefused.load(std::memory_order_relaxed)) {
    int copied = CopySelf(p, access);
    if (copied >= 0) return copied == 1;
    directRefused.store(true, std::memory_order_relaxed);
  }
  if (!pipe->has_value()) pipe->emplace();
  // A pipe that cannot be made cannot tell: the caller must not touch it.
  return (*pipe)->ok() && (*pipe)->Probe(p, access);
}

// TRUE when some byte of [p, p + size) cannot be accessed.
BOOL IsBad(const void *p, UINT_PTR size, Access access) {
  if (size == 0) return FALSE;
  uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  if (p == nullptr || begin + (size - 1) < begin) return TRUE;
  std::optional<Pipe> pipe;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t last = begin + (size - 1);
  // One byte in every page the range touches: the first, each page start, the last.
  for (uintptr_t at = begin;; at = (at & ~(page - 1)) + page) {
    if (!ProbeByte(at, access, &pipe)) return TRUE;
    if ((at & ~(page - 1)) == (last & ~(page - 1))) break;
  }
  if (last != begin && !ProbeByte(last, access, &pipe)) return TRUE;
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
