// tool_platform_win32.cc: the tools' platform needs on Windows (see tool_platform.h).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/tool_platform.h"

namespace ambercrypt::tools {

namespace {

bool Refuse(const std::string &path, const std::string &why, std::string *error) {
  *error = path + ": " + why;
  return false;
}

// A file on a disk: not a console, a device such as NUL, or a named pipe
// (reading one would wait on whoever holds its other end).
bool OnDisk(int fd) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK;
}

}  // namespace

void KeepSecretsOutOfCoreDumps() {
  // Windows has no switch by which a process keeps its own memory out of
  // crash dumps (Windows Error Reporting, or a debugger of the same account):
  // nothing to do here.
}

NamedFile::~NamedFile() { Close(); }

bool NamedFile::OpenForReading(const std::string &path, std::string *error) {
  Close();
  missing_ = false;
  fd_ = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd_ < 0) {
    missing_ = errno == ENOENT;
    return Refuse(path, std::strerror(errno), error);
  }
  if (!OnDisk(fd_)) {
    Close();
    return Refuse(path, "is not a regular file", error);
  }
  return true;
}

bool NamedFile::CreateForWriting(const std::string &path, std::string *error) {
  Close();
  missing_ = false;
  // A new file takes its access rules from its directory (_S_IWRITE only
  // keeps it from being made read-only); Windows has no mode bits for an
  // existing file to be looser than. Making symbolic links takes a privilege
  // ordinary accounts do not have, so none is planted for this open to follow.
  fd_ = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd_ < 0) return Refuse(path, std::strerror(errno), error);
  if (!OnDisk(fd_)) {
    Close();
    return Refuse(path, "is not a regular file", error);
  }
  return true;
}

long NamedFile::Read(void *buffer, size_t size) {
  return _read(fd_, buffer, static_cast<unsigned>(size > 0x40000000u ? 0x40000000u : size));
}

bool NamedFile::Write(const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    unsigned chunk = static_cast<unsigned>(size > 0x40000000u ? 0x40000000u : size);
    int n = _write(fd_, p, chunk);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool NamedFile::Close() {
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  return _close(fd) == 0;
}

bool UtcCalendar(time_t seconds, struct tm *parts) { return gmtime_s(parts, &seconds) == 0; }

namespace {

// The console's mode from before the prompt, for the handler below.
HANDLE g_console = nullptr;
DWORD g_consoleMode = 0;

// Runs on a thread of its own at Ctrl-C, Ctrl-Break or a closed console;
// FALSE passes the event on to the default handler, which ends the process.
BOOL WINAPI RestoreConsole(DWORD) {
  SetConsoleMode(g_console, g_consoleMode);
  return FALSE;
}

}  // namespace

bool InteractiveInput() { return _isatty(_fileno(stdin)) != 0; }

SilentInput::SilentInput() {
  g_console = GetStdHandle(STD_INPUT_HANDLE);
  if (!GetConsoleMode(g_console, &g_consoleMode)) return;
  SetConsoleCtrlHandler(RestoreConsole, TRUE);
  silenced_ = SetConsoleMode(g_console, g_consoleMode & ~ENABLE_ECHO_INPUT) != FALSE;
  if (!silenced_) SetConsoleCtrlHandler(RestoreConsole, FALSE);
}

SilentInput::~SilentInput() {
  if (!silenced_) return;
  SetConsoleMode(g_console, g_consoleMode);
  SetConsoleCtrlHandler(RestoreConsole, FALSE);
  std::fputc('\n', stderr);
}

SecretBytes::~SecretBytes() {
  if (owned_) _close(fd_);
}

bool SecretBytes::Open(const std::string &path) {
  int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return false;
  fd_ = fd;
  owned_ = true;
  return true;
}

int SecretBytes::Next(char *c) { return _read(fd_, c, 1); }

}  // namespace ambercrypt::tools
