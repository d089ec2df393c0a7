#include "store/named_mutex.h"

namespace ambercrypt {

namespace {

// The mutex is shared by every account's processes (a service's and a
// desktop user's): with the creator's default DACL, a process of another
// account could not open it and would go unguarded. A null DACL lets all in.
HANDLE CreateSharedMutex(const char *name) {
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;
  bool open = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  return CreateMutexA(open ? &attributes : nullptr, FALSE, name);
}

}  // namespace

ScopedNamedMutex::ScopedNamedMutex(const char *name, DWORD timeoutMilliseconds) : handle_(CreateSharedMutex(name)) {
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
