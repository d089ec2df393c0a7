// posix_error.h: the one place an errno value becomes the Windows error code
// the caller of a platform function sees. Internal to platform/posix.
#ifndef AMBERCRYPT_PLATFORM_POSIX_POSIX_ERROR_H_
#define AMBERCRYPT_PLATFORM_POSIX_POSIX_ERROR_H_

#include <cerrno>

#include "platform/win32_api.h"

namespace ambercrypt::posix {

inline LSTATUS ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
    case ENAMETOOLONG:
      return ERROR_INVALID_PARAMETER;
    default:  // EACCES, EPERM, EROFS, ELOOP and the rest: the caller may not use it
      return ERROR_ACCESS_DENIED;
  }
}

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_POSIX_ERROR_H_
