// process_id.cc: the id is kept in a page the kernel clears in every child of
// fork() or clone() (MADV_WIPEONFORK), so a copy of the parent's id can never
// be read in a child, whether or not it went through fork()'s atfork hooks.
// Where that page cannot be had, every call asks the kernel.
#include "platform/posix/process_id.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace ambercrypt::posix {
namespace {

std::atomic<pid_t> *WipedOnFork() {
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return nullptr;
  void *p = mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (madvise(p, static_cast<size_t>(page), MADV_WIPEONFORK) != 0) {
    munmap(p, static_cast<size_t>(page));
    return nullptr;
  }
  return new (p) std::atomic<pid_t>(0);
}

}  // namespace

pid_t CurrentProcessId() {
  static std::atomic<pid_t> *const slot = WipedOnFork();
  if (slot == nullptr) return getpid();
  pid_t pid = slot->load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = getpid();
    slot->store(pid, std::memory_order_relaxed);
  }
  return pid;
}

}  // namespace ambercrypt::posix
