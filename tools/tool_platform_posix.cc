// tool_platform_posix.cc: the tools' platform needs on Linux (see tool_platform.h).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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

std::string OpenError(int error) {
  switch (error) {
    case ELOOP:
      return "is a symbolic link (not followed)";
    case ENXIO:
      return "is not a regular file";  // a FIFO nobody reads
    default:
      return std::strerror(error);
  }
}

// Back to blocking reads and writes once the file is known to be regular.
bool Blocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

void KeepSecretsOutOfCoreDumps() {
  // The tools hold passwords, secret keys, key texts and plaintext BIRs in
  // memory. Not dumpable: no core file is written, whatever the machine's
  // core pattern, and another process of this account cannot attach to this
  // one or read its memory through /proc. The core limit of 0 covers a
  // machine that dumps even non-dumpable processes (fs.suid_dumpable=2).
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

NamedFile::~NamedFile() { Close(); }

bool NamedFile::OpenForReading(const std::string &path, std::string *error) {
  Close();
  missing_ = false;
  // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    missing_ = errno == ENOENT;
    return Refuse(path, OpenError(errno), error);
  }
  fd_ = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) return Refuse(path, std::strerror(errno), error);
  if (!S_ISREG(st.st_mode)) {
    Close();
    return Refuse(path, "is not a regular file", error);
  }
  if (!Blocking(fd)) return Refuse(path, std::strerror(errno), error);
  return true;
}

bool NamedFile::CreateForWriting(const std::string &path, std::string *error) {
  Close();
  missing_ = false;
  // O_NONBLOCK: a FIFO in the file's place fails the open (or is refused
  // below) rather than holding the tool until someone reads it.
  const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  bool created = true;
  int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = open(path.c_str(), flags);
  }
  if (fd < 0) return Refuse(path, OpenError(errno), error);
  fd_ = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    Close();
    return Refuse(path, std::strerror(errno), error);
  }
  // What the tool writes may be plaintext biometric data: an existing file
  // is used only when it is as private as a new one would be. Its mode is
  // never changed: an administrator who wants it replaced removes it.
  std::string why;
  if (!S_ISREG(st.st_mode)) {
    why = "is not a regular file";
  } else if (!created && st.st_uid != geteuid()) {
    why = "exists and belongs to another account; remove it or name a new file";
  } else if (!created && st.st_nlink != 1) {
    why = "exists with more than one link; remove it or name a new file";
  } else if (!created && (st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    why = std::string("exists with mode ") + mode + ", open to other accounts; remove it or name a new file";
  }
  if (!why.empty()) {
    Close();
    return Refuse(path, why, error);
  }
  // 0600 exactly, whatever the umask, on the file just made; an existing one
  // is emptied only now that it has passed.
  if ((created ? fchmod(fd, 0600) : ftruncate(fd, 0)) != 0 || !Blocking(fd)) {
    Close();
    return Refuse(path, std::strerror(errno), error);
  }
  return true;
}

long NamedFile::Read(void *buffer, size_t size) {
  for (;;) {
    ssize_t n = read(fd_, buffer, size);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

bool NamedFile::Write(const void *data, size_t size) {
  const char *p = static_cast<const char *>(data);
  while (size > 0) {
    ssize_t n = write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
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
  return close(fd) == 0;
}

bool UtcCalendar(time_t seconds, struct tm *parts) { return gmtime_r(&seconds, parts) != nullptr; }

namespace {

// The terminal's settings from before the prompt, for the handlers below:
// a tool stopped at a prompt (Ctrl-C, kill, a closed terminal) gives the
// terminal back with its echo, as a finished prompt does.
termios g_terminal;
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr size_t kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];
struct sigaction g_previous[kStopSignalCount];

// Async-signal-safe throughout. The signal's default action follows, so the
// exit status still tells which signal ended the tool.
void RestoreTerminalAndStop(int number) {
  // Drops a half-typed secret. A flush empties only the line discipline's
  // queue: keys typed a moment before the signal may still wait in the
  // terminal's input buffer, which a poll that finds no input there (hence
  // the first flush) moves into it for the second.
  tcflush(STDIN_FILENO, TCIFLUSH);
  pollfd input = {STDIN_FILENO, POLLIN, 0};
  poll(&input, 1, 0);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_terminal);
  (void)!write(STDERR_FILENO, "\n", 1);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  sigaction(number, &standard, nullptr);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, number);
  sigprocmask(SIG_UNBLOCK, &just, nullptr);
  raise(number);
}

void RestoreHandlers() {
  for (size_t i = 0; i < kStopSignalCount; ++i) sigaction(kStopSignals[i], &g_previous[i], nullptr);
}

}  // namespace

bool InteractiveInput() { return isatty(STDIN_FILENO) != 0; }

SilentInput::SilentInput() {
  if (tcgetattr(STDIN_FILENO, &g_terminal) != 0) return;
  // Handlers first: a signal between silencing and them would leave the
  // echo off. A signal the caller ignores (nohup) stays ignored.
  struct sigaction restore {};
  restore.sa_handler = RestoreTerminalAndStop;
  sigemptyset(&restore.sa_mask);
  for (int number : kStopSignals) sigaddset(&restore.sa_mask, number);
  for (size_t i = 0; i < kStopSignalCount; ++i) {
    sigaction(kStopSignals[i], nullptr, &g_previous[i]);
    if (g_previous[i].sa_handler != SIG_IGN) sigaction(kStopSignals[i], &restore, nullptr);
  }
  termios quiet = g_terminal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  silenced_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  if (!silenced_) RestoreHandlers();
}

SilentInput::~SilentInput() {
  if (!silenced_) return;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_terminal);
  RestoreHandlers();
  std::fputc('\n', stderr);
}

SecretBytes::~SecretBytes() {
  if (owned_) close(fd_);
}

bool SecretBytes::Open(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  fd_ = fd;
  owned_ = true;
  return true;
}

int SecretBytes::Next(char *c) {
  for (;;) {
    ssize_t n = read(fd_, c, 1);
    if (n >= 0 || errno != EINTR) return static_cast<int>(n);
  }
}

}  // namespace ambercrypt::tools
