// process_id.h: the calling process's id without a system call each time.
// The registry connection and the lock directory are per process and checked
// against it on every call; a child of fork() must see its own id at once.
// Internal to platform/posix.
#ifndef AMBERCRYPT_PLATFORM_POSIX_PROCESS_ID_H_
#define AMBERCRYPT_PLATFORM_POSIX_PROCESS_ID_H_

#include <sys/types.h>

namespace ambercrypt::posix {

pid_t CurrentProcessId();

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_PROCESS_ID_H_
