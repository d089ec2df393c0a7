// state_root.cc: the state root and its files, opened safely (see state_root.h).
#include "platform/posix/state_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/posix/posix_error.h"
#include "platform/posix/registry_tool.h"

namespace ambercrypt::posix {
namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

// Plain storage, usable before any constructor of the library has run (the
// library's entry may attach first).
std::atomic<bool> g_creationAllowed{true};

LSTATUS Refuse(const std::string &path, const char *why, std::string *refusal) {
  // The reason is for a tool's message: a string it cannot have is no
  // reason to fail the refusal itself.
  try {
    if (refusal != nullptr) *refusal = path + ": " + why;
  } catch (const std::bad_alloc &) {
    refusal->clear();
  }
  return ERROR_ACCESS_DENIED;
}

// A link where a directory or file should be is a refusal worth naming.
LSTATUS FromErrno(int error, const std::string &path, std::string *refusal) {
  if (error == ELOOP || error == ENOTDIR || error == EMLINK) {
    return Refuse(path, "is a symbolic link or not of the expected type", refusal);
  }
  return ErrorFromErrno(error);
}

bool TrustedOwner(uid_t uid) {
  uid_t self = geteuid();
  return uid == 0 || (self != 0 && uid == self);
}

// A directory on the way to the root (or the root itself, which others may
// never write, sticky bit or not).
LSTATUS CheckDirectory(const struct stat &st, const std::string &path, bool isRoot, std::string *refusal) {
  if (!S_ISDIR(st.st_mode)) return Refuse(path, "is not a directory", refusal);
  if (!TrustedOwner(st.st_uid)) return Refuse(path, "belongs to another account", refusal);
  if ((st.st_mode & kWritableByOthers) != 0 && (isRoot || (st.st_mode & S_ISVTX) == 0)) {
    return Refuse(path, "may be written by other accounts", refusal);
  }
  return ERROR_SUCCESS;
}

// The deepest existing ancestor resolved by realpath, and the rest appended.
bool ResolvePath(const std::string &path, std::string *resolved) {
  if (path.empty() || path[0] != '/') return false;
  std::string head = path;
  std::string tail;
  while (true) {
    char buffer[PATH_MAX];
    if (realpath(head.c_str(), buffer) != nullptr) {
      std::string base = buffer;
      if (base == "/") base.clear();
      *resolved = base + tail;
      if (resolved->empty()) *resolved = "/";
      return true;
    }
    if (errno != ENOENT) return false;
    size_t slash = head.find_last_of('/');
    if (slash == std::string::npos || head == "/") return false;
    tail = head.substr(slash) + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
}

std::vector<std::string> Components(const std::string &path) {
  std::vector<std::string> parts;
  size_t start = 1;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Makes name in dirFd with mode (the umask notwithstanding) and opens it.
LSTATUS MakeDirectory(int dirFd, const std::string &name, const std::string &path, mode_t mode, UniqueFd *out,
                      std::string *refusal) {
  if (mkdirat(dirFd, name.c_str(), 0700) != 0) {
    // A store this process may not create is, to it, a missing store.
    return errno == EACCES || errno == EPERM || errno == EROFS ? ERROR_FILE_NOT_FOUND
                                                                : FromErrno(errno, path, refusal);
  }
  UniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) return FromErrno(errno, path, refusal);
  if (fchmod(fd.get(), mode) != 0) return FromErrno(errno, path, refusal);
  *out = std::move(fd);
  return ERROR_SUCCESS;
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

std::string StateRoot() {
  // A setuid or otherwise privileged host must not take its store from the
  // caller's environment.
  const char *root = secure_getenv("AMBERCRYPT_ROOT");
  if (root != nullptr && root[0] != '\0') return root;
  return "/var/lib/ambercrypt";
}

LSTATUS RefuseStateFile(const std::string &path, const char *why, std::string *refusal) {
  return Refuse(path, why, refusal);
}

LSTATUS OpenStateRoot(bool create, StateDirectory *root, std::string *refusal) {
  std::string path;
  if (!ResolvePath(StateRoot(), &path)) {
    return Refuse(StateRoot(), "is not an absolute path that can be resolved", refusal);
  }
  UniqueFd current(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current) return FromErrno(errno, "/", refusal);
  std::vector<std::string> parts = Components(path);
  std::string walked;
  bool created = false;
  for (size_t i = 0; i <= parts.size(); ++i) {
    bool isRoot = i == parts.size();
    struct stat st;
    if (fstat(current.get(), &st) != 0) return FromErrno(errno, walked.empty() ? "/" : walked, refusal);
    // A directory this process made is its own and has the mode it was given.
    if (!(isRoot && created)) {
      LSTATUS status = CheckDirectory(st, walked.empty() ? "/" : walked, isRoot, refusal);
      if (status != ERROR_SUCCESS) return status;
    }
    if (isRoot) break;
    walked += "/" + parts[i];
    UniqueFd next(openat(current.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next && errno == ENOENT && create) {
      LSTATUS status = MakeDirectory(current.get(), parts[i], walked, kDirectoryMode, &next, refusal);
      if (status != ERROR_SUCCESS) return status;
      created = true;
    } else if (!next) {
      return FromErrno(errno, walked, refusal);
    } else {
      created = false;
    }
    current = std::move(next);
  }
  root->fd = std::move(current);
  root->path = path;
  root->created = created;
  return ERROR_SUCCESS;
}

LSTATUS OpenStateDirectory(const StateDirectory &parent, const char *name, mode_t mode, bool create,
                           StateDirectory *out, std::string *refusal) {
  std::string path = parent.path + "/" + name;
  UniqueFd fd(openat(parent.fd.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  bool created = false;
  if (!fd && errno == ENOENT && create) {
    LSTATUS status = MakeDirectory(parent.fd.get(), name, path, mode, &fd, refusal);
    if (status != ERROR_SUCCESS) return status;
    created = true;
  } else if (!fd) {
    return FromErrno(errno, path, refusal);
  }
  if (!created) {
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return FromErrno(errno, path, refusal);
    LSTATUS status = CheckDirectory(st, path, false, refusal);
    if (status != ERROR_SUCCESS) return status;
  }
  out->fd = std::move(fd);
  out->path = path;
  out->created = created;
  return ERROR_SUCCESS;
}

LSTATUS OpenStateFile(const StateDirectory &dir, const char *name, int flags, mode_t mode, bool create,
                      FileOwner owner, UniqueFd *out, bool *created, std::string *refusal) {
  std::string path = dir.path + "/" + name;
  if (created != nullptr) *created = false;
  // O_NONBLOCK: a FIFO planted in place of the file must not hang the open.
  const int common = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  // The file usually exists (a lock file is opened on every lockout check):
  // open it first, and make it only when it is missing.
  UniqueFd fd(openat(dir.fd.get(), name, flags | common));
  if (!fd && errno == ENOENT && create) {
    UniqueFd made(openat(dir.fd.get(), name, O_RDWR | O_CREAT | O_EXCL | common, 0600));
    if (made) {
      if (fchmod(made.get(), mode) != 0) return FromErrno(errno, path, refusal);
      if (created != nullptr) *created = true;
      *out = std::move(made);
      return ERROR_SUCCESS;
    }
    if (errno != EEXIST) return FromErrno(errno, path, refusal);
    fd = UniqueFd(openat(dir.fd.get(), name, flags | common));  // made meanwhile by another process
  }
  if (!fd) return FromErrno(errno, path, refusal);
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return FromErrno(errno, path, refusal);
  if (!S_ISREG(st.st_mode)) return Refuse(path, "is not a regular file", refusal);
  if (st.st_nlink != 1) return Refuse(path, "has more than one link", refusal);
  if (owner == FileOwner::kTrusted) {
    if (!TrustedOwner(st.st_uid)) return Refuse(path, "belongs to another account", refusal);
    if ((st.st_mode & kWritableByOthers & ~mode) != 0) return Refuse(path, "may be written by other accounts", refusal);
  }
  *out = std::move(fd);
  return ERROR_SUCCESS;
}

LSTATUS CheckCompanionFile(const StateDirectory &dir, const std::string &name, std::string *refusal) {
  const std::string path = dir.path + "/" + name;
  struct stat st;
  if (fstatat(dir.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? ERROR_SUCCESS : FromErrno(errno, path, refusal);
  }
  if (!S_ISREG(st.st_mode)) return Refuse(path, "is not a regular file", refusal);
  if (st.st_nlink != 1) return Refuse(path, "has more than one link", refusal);
  return ERROR_SUCCESS;
}

LSTATUS ListStateDirectory(const StateDirectory &dir, std::vector<std::string> *names, std::string *refusal) {
  // The checked directory's descriptor is an O_PATH one: "." below it opens
  // that same directory for reading.
  int fd = openat(dir.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno, dir.path, refusal);
  DIR *d = fdopendir(fd);
  if (d == nullptr) {
    int error = errno;
    close(fd);
    return FromErrno(error, dir.path, refusal);
  }
  names->clear();
  errno = 0;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names->push_back(e->d_name);
  }
  int error = errno;
  closedir(d);
  if (error != 0) return FromErrno(error, dir.path, refusal);
  std::sort(names->begin(), names->end());
  return ERROR_SUCCESS;
}

LSTATUS RemoveStateFile(const StateDirectory &dir, const char *name, const UniqueFd &checked, std::string *refusal) {
  std::string path = dir.path + "/" + name;
  struct stat held, named;
  if (fstat(checked.get(), &held) != 0) return FromErrno(errno, path, refusal);
  if (fstatat(dir.fd.get(), name, &named, AT_SYMLINK_NOFOLLOW) != 0) return FromErrno(errno, path, refusal);
  if (!S_ISREG(held.st_mode) || !S_ISREG(named.st_mode) || held.st_dev != named.st_dev ||
      held.st_ino != named.st_ino) {
    return Refuse(path, "was replaced after it was checked", refusal);
  }
  if (unlinkat(dir.fd.get(), name, 0) != 0) return FromErrno(errno, path, refusal);
  return ERROR_SUCCESS;
}

bool StateRootCreationAllowed() { return g_creationAllowed.load(); }

void AllowStateRootCreation(bool allowed) { g_creationAllowed.store(allowed); }

}  // namespace ambercrypt::posix
