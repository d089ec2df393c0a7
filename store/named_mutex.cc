#include "store/named_mutex.h"

namespace ambercrypt {

ScopedNamedMutex::ScopedNamedMutex(const char *name, DWORD timeoutMilliseconds)
    : handle_(CreateMutexA(nullptr, FALSE, name)) {
  if (handle_ == nullptr) return;
  DWORD wait = WaitForSingleObject(handle_, timeoutMilliseconds);
  owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
  timedOut_ = wait == WAIT_TIMEOUT;
}

ScopedNamedMutex::~ScopedNamedMutex() { Release(); }

ScopedNamedMutex::ScopedNamedMutex(ScopedNamedMutex &&other) noexcept
    : handle_(other.handle_), owned_(other.owned_), timedOut_(other.timedOut_) {
  other.handle_ = nullptr;
  other.owned_ = false;
}

ScopedNamedMutex &ScopedNamedMutex::operator=(ScopedNamedMutex &&other) noexcept {
  if (this != &other) {
    Release();
    handle_ = other.handle_;
    owned_ = other.owned_;
    timedOut_ = other.timedOut_;
    other.handle_ = nullptr;
    other.owned_ = false;
  }
  return *this;
}

void ScopedNamedMutex::Release() {
  if (owned_) ReleaseMutex(handle_);
  if (handle_ != nullptr) CloseHandle(handle_);
  handle_ = nullptr;
  owned_ = false;
}

}  // namespace ambercrypt
