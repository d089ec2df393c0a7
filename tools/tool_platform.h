// tool_platform.h: what the administration tools need of the operating system
// beyond the library: keeping their secrets out of core dumps, the files an
// administrator names on the command line, opened so that neither a planted
// link nor a FIFO or device in the file's place is written or waited on,
// secrets typed at a terminal without echo, and the calendar. CMake builds
// one implementation per target (tool_platform_posix.cc,
// tool_platform_win32.cc), so the tools themselves test no platform; the
// registry's store has its own part (tool_store.h).
#ifndef AMBERCRYPT_TOOLS_TOOL_PLATFORM_H_
#define AMBERCRYPT_TOOLS_TOOL_PLATFORM_H_

#include <cstddef>
#include <ctime>
#include <string>

namespace ambercrypt::tools {

// KeepSecretsOutOfCoreDumps makes the process non-dumpable for the rest of
// its life: no core file, and no other process of the same account may read
// its memory. A tool calls it first thing, before it reads a password or key.
void KeepSecretsOutOfCoreDumps();

// A file named by the administrator, open for reading or for writing. One
// object holds one file at a time; the destructor closes it.
class NamedFile {
 public:
  NamedFile() = default;
  ~NamedFile();
  NamedFile(const NamedFile &) = delete;
  NamedFile &operator=(const NamedFile &) = delete;

  // OpenForReading opens path, which must be a regular file; a FIFO or a
  // device is refused without waiting on it. False with *error set (and
  // missing() true when nothing has that name).
  bool OpenForReading(const std::string &path, std::string *error);
  // CreateForWriting opens path for writing from its start, never through a
  // symbolic link. A new file gets mode 0600 (on Windows, the directory's
  // access rules). An existing one is replaced in place only when it is a
  // regular file of this account with one link that no other account may
  // read or write; anything else is refused and left as it is, never
  // truncated or chmod-ed.
  bool CreateForWriting(const std::string &path, std::string *error);

  // Read returns the bytes read (0 at the end of the file, -1 on an error).
  long Read(void *buffer, size_t size);
  // Write writes everything or returns false.
  bool Write(const void *data, size_t size);
  // Close closes the file; false when what was written may not be in it.
  bool Close();
  bool missing() const { return missing_; }

 private:
  int fd_ = -1;
  bool missing_ = false;
};

// ---- Secrets typed or piped in ----------------------------------------------

// InteractiveInput: standard input is a terminal (a console on Windows).
bool InteractiveInput();

// SilentInput: for its life, what is typed at the terminal is not echoed.
// Should the tool be stopped meanwhile (Ctrl-C, kill, a hang-up; on Windows
// Ctrl-C, Ctrl-Break or a closed console), the terminal first gets its echo
// back and drops a half-typed secret; the tool then dies of the signal as it
// would have, so its exit status still tells which. Nothing happens when
// standard input is no terminal.
class SilentInput {
 public:
  SilentInput();
  ~SilentInput();
  SilentInput(const SilentInput &) = delete;
  SilentInput &operator=(const SilentInput &) = delete;

 private:
  bool silenced_ = false;
};

// SecretBytes: standard input, or a file the administrator names (a pipe
// may feed it), read a byte at a time so that no stdio buffer keeps a copy.
class SecretBytes {
 public:
  SecretBytes() = default;  // standard input
  ~SecretBytes();
  SecretBytes(const SecretBytes &) = delete;
  SecretBytes &operator=(const SecretBytes &) = delete;
  // Open reads path instead; false when it cannot be opened.
  bool Open(const std::string &path);
  // Next: 1 with the next byte in *c, 0 at the end, -1 on an error.
  int Next(char *c);

 private:
  int fd_ = 0;
  bool owned_ = false;
};

// UtcCalendar: the calendar fields of seconds since 1970 taken as UTC; false
// when the C library cannot convert them.
bool UtcCalendar(time_t seconds, struct tm *parts);

}  // namespace ambercrypt::tools

#endif  // AMBERCRYPT_TOOLS_TOOL_PLATFORM_H_
