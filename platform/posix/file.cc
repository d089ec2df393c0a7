// file.cc: CreateFileA, GetFileType, ReadFile and GetEnvironmentVariableA on
// Linux, the little the library needs to digest a file it finds by name. A
// file is opened non-blocking, so a FIFO planted where a file is expected
// answers at once (and GetFileType tells it apart) instead of waiting for a
// writer that never comes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/posix/handles.h"
#include "platform/posix/posix_error.h"
#include "platform/win32_api.h"

namespace {

struct OpenFile {
  int fd = -1;
  DWORD type = FILE_TYPE_UNKNOWN;
  ambercrypt::posix::HandleRegistration registration{this, ambercrypt::posix::HandleKind::kFile};
};

OpenFile *AsFile(HANDLE h) {
  return ambercrypt::posix::FindHandle<OpenFile>(h, ambercrypt::posix::HandleKind::kFile);
}

DWORD TypeOf(mode_t mode) {
  if (S_ISREG(mode)) return FILE_TYPE_DISK;
  if (S_ISCHR(mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(mode) || S_ISSOCK(mode)) return FILE_TYPE_PIPE;
  return FILE_TYPE_UNKNOWN;
}

}  // namespace

namespace ambercrypt::posix {

bool CloseFileHandle(void *h) {
  OpenFile *file = AsFile(h);
  if (file == nullptr) return false;
  close(file->fd);
  delete file;
  return true;
}

}  // namespace ambercrypt::posix

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE hTemplateFile) {
  if (lpFileName == nullptr || dwDesiredAccess != static_cast<DWORD>(GENERIC_READ) ||
      dwCreationDisposition != OPEN_EXISTING || hTemplateFile != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int fd = open(lpFileName, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    SetLastError(static_cast<DWORD>(ambercrypt::posix::ErrorFromErrno(errno)));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  int error = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error != 0) {
    close(fd);
    SetLastError(static_cast<DWORD>(ambercrypt::posix::ErrorFromErrno(error)));
    return INVALID_HANDLE_VALUE;
  }
  // A regular file reads as it would blocking; anything else stays
  // non-blocking, so reading it cannot hang either.
  if (S_ISREG(st.st_mode)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  OpenFile *file = new (std::nothrow) OpenFile;
  if (file == nullptr || !ambercrypt::posix::IsLiveHandle(file, ambercrypt::posix::HandleKind::kFile)) {
    delete file;
    close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  file->fd = fd;
  file->type = TypeOf(st.st_mode);
  return file;
}

DWORD WINAPI GetFileType(HANDLE hFile) {
  OpenFile *file = AsFile(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(NO_ERROR);
  return file->type;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  OpenFile *file = AsFile(hFile);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpNumberOfBytesRead == nullptr || lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpNumberOfBytesRead = 0;
  ssize_t n;
  do {
    n = read(file->fd, lpBuffer, nNumberOfBytesToRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    // An I/O error is not the end of the file.
    SetLastError(errno == EIO ? ERROR_READ_FAULT : static_cast<DWORD>(ambercrypt::posix::ErrorFromErrno(errno)));
    return FALSE;
  }
  *lpNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char *value = secure_getenv(lpName);
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  size_t length = strlen(value);
  if (length >= 0xFFFFFFFFu) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  // Too small a buffer is answered with the size needed, terminator included.
  if (lpBuffer == nullptr || nSize <= length) return static_cast<DWORD>(length + 1);
  memcpy(lpBuffer, value, length + 1);
  SetLastError(NO_ERROR);
  return static_cast<DWORD>(length);
}

}  // extern "C"
