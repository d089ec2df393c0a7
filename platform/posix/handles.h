// handles.h: the table of live handles of the Linux platform layer. A handle
// given to a caller is the address of its object; every function looks it up
// here before use, so a closed, stale or forged handle is an invalid handle,
// never a read of freed memory. Internal to platform/posix.
#ifndef AMBERCRYPT_PLATFORM_POSIX_HANDLES_H_
#define AMBERCRYPT_PLATFORM_POSIX_HANDLES_H_

namespace ambercrypt::posix {

enum class HandleKind { kProvider, kHash, kKey, kCertStore, kCertificate, kRegistryKey, kMutex, kFile };

// Keeps an object in the table for as long as it lives: make it the last
// member, so the object leaves the table before the rest of it is destroyed.
class HandleRegistration {
 public:
  HandleRegistration(const void *object, HandleKind kind);
  ~HandleRegistration();
  HandleRegistration(const HandleRegistration &) = delete;
  HandleRegistration &operator=(const HandleRegistration &) = delete;

 private:
  const void *object_;
};

bool IsLiveHandle(const void *handle, HandleKind kind);

// The object behind a handle of this kind, or null.
template <typename T>
T *FindHandle(const void *handle, HandleKind kind) {
  return IsLiveHandle(handle, kind) ? static_cast<T *>(const_cast<void *>(handle)) : nullptr;
}

// Closes h when it is a file handle of CreateFileA; false for anything else.
bool CloseFileHandle(void *h);

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_HANDLES_H_
