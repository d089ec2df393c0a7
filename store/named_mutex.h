// named_mutex.h: ScopedNamedMutex, a machine-wide named mutex held for a scope
// (CreateMutexA; on Linux a lock file under the state root, whose waiters take
// turns and sleep until a release: platform/posix/lock_queue.h). It waits a
// bounded time: a holder that never lets go must not stall the caller for
// ever. Movable, so a lock can be taken in one branch and held beyond it.
#ifndef AMBERCRYPT_STORE_NAMED_MUTEX_H_
#define AMBERCRYPT_STORE_NAMED_MUTEX_H_

#include "platform/win32_api.h"

namespace ambercrypt {

class ScopedNamedMutex {
 public:
  ScopedNamedMutex() = default;  // holds nothing
  ScopedNamedMutex(const char *name, DWORD timeoutMilliseconds);
  ~ScopedNamedMutex();
  ScopedNamedMutex(ScopedNamedMutex &&other) noexcept;
  ScopedNamedMutex &operator=(ScopedNamedMutex &&other) noexcept;
  ScopedNamedMutex(const ScopedNamedMutex &) = delete;
  ScopedNamedMutex &operator=(const ScopedNamedMutex &) = delete;

  // The mutex is held (also when its last holder died holding it).
  bool owned() const { return owned_; }
  // Another holder kept it for the whole wait.
  bool timed_out() const { return timedOut_; }

 private:
  void Release();

  HANDLE handle_ = nullptr;
  bool owned_ = false;
  bool timedOut_ = false;
};

}  // namespace ambercrypt

#endif  // AMBERCRYPT_STORE_NAMED_MUTEX_H_
