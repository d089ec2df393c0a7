// admin_console.cc: secrets from a file, a silent prompt or standard input.
#include "tools/admin_console.h"

#include <cerrno>
#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace ambercrypt::admin {

namespace {

#if defined(_WIN32)
int ReadByte(int fd, char *c) { return _read(fd, c, 1); }
int OpenForReading(const std::string &file) { return _open(file.c_str(), _O_RDONLY | _O_BINARY); }
void CloseFile(int fd) { _close(fd); }
#else
int ReadByte(int fd, char *c) {
  for (;;) {
    ssize_t n = read(fd, c, 1);
    if (n >= 0 || errno != EINTR) return static_cast<int>(n);
  }
}
int OpenForReading(const std::string &file) { return open(file.c_str(), O_RDONLY | O_CLOEXEC); }
void CloseFile(int fd) { close(fd); }
#endif

// One line from fd, without its line end. False at end of input before any
// byte, or when the line does not fit.
bool ReadLine(int fd, CSecureBuffer *text, std::string *error) {
  *text = CSecureBuffer(kMaxSecretLine + 1);
  char *out = reinterpret_cast<char *>(text->data());
  unsigned length = 0;
  bool any = false;
  char c = 0;
  while (ReadByte(fd, &c) == 1) {
    any = true;
    if (c == '\n') break;
    if (length == kMaxSecretLine) {
      *error = "the line is longer than " + std::to_string(kMaxSecretLine) + " characters";
      text->Clear();
      return false;
    }
    out[length++] = c;
  }
  c = 0;
  if (length > 0 && out[length - 1] == '\r') out[--length] = '\0';
  if (!any) {
    *error = "nothing to read";
    return false;
  }
  return true;
}

// Echo off on the terminal for the life of the object.
class SilentTerminal {
 public:
  SilentTerminal() {
#if defined(_WIN32)
    handle_ = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(handle_, &mode_)) silenced_ = SetConsoleMode(handle_, mode_ & ~ENABLE_ECHO_INPUT) != FALSE;
#else
    if (tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios quiet = saved_;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      silenced_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
#endif
  }
  ~SilentTerminal() {
    if (!silenced_) return;
#if defined(_WIN32)
    SetConsoleMode(handle_, mode_);
#else
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
#endif
    std::fputc('\n', stderr);
  }
  SilentTerminal(const SilentTerminal &) = delete;
  SilentTerminal &operator=(const SilentTerminal &) = delete;

 private:
  bool silenced_ = false;
#if defined(_WIN32)
  HANDLE handle_ = nullptr;
  DWORD mode_ = 0;
#else
  termios saved_{};
#endif
};

}  // namespace

bool InteractiveInput() {
#if defined(_WIN32)
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(STDIN_FILENO) != 0;
#endif
}

bool ReadSecret(const char *prompt, const std::string &file, CSecureBuffer *text, std::string *error) {
  if (!file.empty()) {
    int fd = OpenForReading(file);
    if (fd < 0) {
      *error = file + ": cannot be opened";
      return false;
    }
    bool ok = ReadLine(fd, text, error);
    CloseFile(fd);
    if (!ok) *error = file + ": " + *error;
    return ok;
  }
  if (InteractiveInput()) {
    std::fprintf(stderr, "%s: ", prompt);
    std::fflush(stderr);
    SilentTerminal silent;
    return ReadLine(0, text, error);
  }
  if (!ReadLine(0, text, error)) {
    *error = std::string(prompt) + ": standard input: " + *error;
    return false;
  }
  return true;
}

}  // namespace ambercrypt::admin
