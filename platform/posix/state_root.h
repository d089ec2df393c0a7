// state_root.h: where the Linux platform layer keeps its state, and how it is
// opened without letting another account redirect it.
//
// The state root is $AMBERCRYPT_ROOT (ignored by privileged processes, as
// secure_getenv does), else /var/lib/ambercrypt. It holds registry.db,
// shared/ (the database of world-writable keys), locks/ and certs/<STORE>/.
//
// The rules, as sshd's StrictModes and systemd-tmpfiles apply them:
// - the state root and every directory above it belong to root or to this
//   process's user; a root process accepts only root. The root is writable by
//   its owner alone; a directory above it that others may write must carry
//   the sticky bit, so nobody can replace what they do not own;
// - no file is opened through a symbolic link, and nothing is ever chmod-ed by
//   path: a file or directory gets its mode (fchmod) only when this process
//   has just created it; an existing one is checked, and a wrong type, owner,
//   link count or mode is ERROR_ACCESS_DENIED, never repaired.
#ifndef AMBERCRYPT_PLATFORM_POSIX_STATE_ROOT_H_
#define AMBERCRYPT_PLATFORM_POSIX_STATE_ROOT_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace ambercrypt::posix {

// Read on every call, so a process (or a test) may change it between uses.
std::string StateRoot();

// Refusals. A call below that finds the state not as these rules want it
// answers ERROR_ACCESS_DENIED and, when the caller passes a string for it,
// says why there: "<path>: <what is wrong>", for a tool to print. Only the
// call that refuses writes it, so the reason a caller holds is always its own
// call's; the library passes none (its callers get its codes, not prose).

// RefuseStateFile: ERROR_ACCESS_DENIED, with "<path>: <why>" in *refusal when
// refusal is not null; for the registry's own checks of the state's files.
LSTATUS RefuseStateFile(const std::string &path, const char *why, std::string *refusal);

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept;
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A checked directory of the state: its descriptor and its resolved path.
struct StateDirectory {
  UniqueFd fd;
  std::string path;
  bool created = false;  // made by this call
};

// Opens the state root after checking it and every directory above it. With
// create, missing directories are made (mode 0755). A missing root without
// create is ERROR_FILE_NOT_FOUND.
LSTATUS OpenStateRoot(bool create, StateDirectory *root, std::string *refusal = nullptr);

// Opens the directory name below parent. With create, a missing one is made
// with mode (01777 for one every account writes in, with the sticky bit).
// An existing one must belong to a trusted owner, and carry the sticky bit if
// others may write it.
LSTATUS OpenStateDirectory(const StateDirectory &parent, const char *name, mode_t mode, bool create,
                           StateDirectory *out, std::string *refusal = nullptr);

// Who may own an existing file.
enum class FileOwner {
  kTrusted,  // root, or this process's user (root only, for a root process)
  kAnyone,   // a file any account may have made in a sticky directory
};

// Opens the regular file name in dir without following a link, with flags
// O_RDONLY or O_RDWR. With create, a missing file is made exclusively and
// given mode. An existing one must be a regular file with one link, owned as
// owner says, and (for kTrusted) writable by nobody but its owner unless
// mode allows it. *created tells whether this call made it.
LSTATUS OpenStateFile(const StateDirectory &dir, const char *name, int flags, mode_t mode, bool create,
                      FileOwner owner, UniqueFd *out, bool *created = nullptr, std::string *refusal = nullptr);

// Checks, without opening, that name in dir is absent or a regular file with
// one link: the files SQLite makes beside a database.
LSTATUS CheckCompanionFile(const StateDirectory &dir, const std::string &name, std::string *refusal = nullptr);

// The names in dir (without "." and ".."), sorted, read through its
// descriptor: never the directory a path names after the checks.
LSTATUS ListStateDirectory(const StateDirectory &dir, std::vector<std::string> *names,
                           std::string *refusal = nullptr);

// Removes name from dir when it is still the regular file checked (an open
// descriptor of it, from OpenStateFile): a link or another file put in its
// place meanwhile is left alone (ERROR_ACCESS_DENIED).
LSTATUS RemoveStateFile(const StateDirectory &dir, const char *name, const UniqueFd &checked,
                        std::string *refusal = nullptr);

// Whether this process may create a missing state root (true unless a tool
// said otherwise through AllowStateRootCreation in registry_tool.h).
bool StateRootCreationAllowed();

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_STATE_ROOT_H_
