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
#include <poll.h>
#include <signal.h>
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

// The terminal's settings from before the prompt, for the handlers below:
// a tool stopped at a prompt (Ctrl-C, kill, a closed terminal) gives the
// terminal back with its echo, as a finished prompt does.
#if defined(_WIN32)
HANDLE g_console = nullptr;
DWORD g_consoleMode = 0;

// Runs on a thread of its own at Ctrl-C, Ctrl-Break or a closed console;
// FALSE passes the event on to the default handler, which ends the process.
BOOL WINAPI RestoreConsole(DWORD) {
  SetConsoleMode(g_console, g_consoleMode);
  return FALSE;
}
#else
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
#endif

// Echo off on the terminal for the life of the object, and back on should
// the tool be stopped meanwhile.
class SilentTerminal {
 public:
  SilentTerminal() {
#if defined(_WIN32)
    g_console = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(g_console, &g_consoleMode)) return;
    SetConsoleCtrlHandler(RestoreConsole, TRUE);
    silenced_ = SetConsoleMode(g_console, g_consoleMode & ~ENABLE_ECHO_INPUT) != FALSE;
    if (!silenced_) SetConsoleCtrlHandler(RestoreConsole, FALSE);
#else
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
#endif
  }
  ~SilentTerminal() {
    if (!silenced_) return;
#if defined(_WIN32)
    SetConsoleMode(g_console, g_consoleMode);
    SetConsoleCtrlHandler(RestoreConsole, FALSE);
#else
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_terminal);
    RestoreHandlers();
#endif
    std::fputc('\n', stderr);
  }
  SilentTerminal(const SilentTerminal &) = delete;
  SilentTerminal &operator=(const SilentTerminal &) = delete;

 private:
#if !defined(_WIN32)
  static void RestoreHandlers() {
    for (size_t i = 0; i < kStopSignalCount; ++i) {
      sigaction(kStopSignals[i], &g_previous[i], nullptr);
    }
  }
#endif
  bool silenced_ = false;
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
    // Silent before the prompt shows: nothing typed after it is echoed.
    SilentTerminal silent;
    std::fprintf(stderr, "%s: ", prompt);
    std::fflush(stderr);
    return ReadLine(0, text, error);
  }
  if (!ReadLine(0, text, error)) {
    *error = std::string(prompt) + ": standard input: " + *error;
    return false;
  }
  return true;
}

}  // namespace ambercrypt::admin
