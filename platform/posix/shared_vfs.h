// SQLite file access for the shared database (shared/open_keys.db), which
// every account may write, together with the files SQLite keeps beside it.
//
// The default VFS trusts those files in two ways that another account turns
// against every process that opens the database:
// - WAL mode maps the -shm file into each process's memory; truncating it
//   kills them all with SIGBUS at their next read.
// - A hot rollback journal may name a super-journal, any path at all, which
//   the process that rolls the journal back opens, reads and then deletes: a
//   root process would delete whatever file the journal names.
// The VFS registered here wraps the default one for the shared database
// alone: its files have no shared-memory methods (SQLite then refuses a WAL
// database with SQLITE_CANTOPEN and keeps a rollback journal, mapping
// nothing), a -wal file beside the database does not exist for it (but for
// the VFS that leaves WAL mode), it opens or deletes no file but the
// database's own journal (which it empties rather than deletes), the
// super-journals SQLite writes beside registry.db and, read-only, the
// journals such a super-journal lists; it opens a journal or -wal only as a
// regular file of the database's owner, makes a missing one itself
// (exclusively, never through a link), and fails any of these files grown
// past kSharedFileMaxBytes.
#ifndef AMBERCRYPT_PLATFORM_POSIX_SHARED_VFS_H_
#define AMBERCRYPT_PLATFORM_POSIX_SHARED_VFS_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace ambercrypt::posix {

// The shared database's records take 6.4 MiB for 10,000 applications; no
// installation comes near ten times that, so the database, its journal or a
// -wal that is larger is refused rather than read.
constexpr int64_t kSharedFileMaxBytes = int64_t{64} << 20;

enum class SharedVfs {
  kJournal,   // the only one the registry reads and writes through
  kLeaveWal,  // for bringing a WAL database back, in exclusive locking mode
              // (which keeps the WAL's index in the process's heap): the -wal
              // exists for it, as a file of the database's owner
};

// The VFS's name for an SQLite URI ("vfs=" parameter), registered on first
// use; nullptr when SQLite could not register it.
const char *SharedVfsName(SharedVfs vfs);

// Takes the VFSes out of SQLite's list once the registry's connection is
// closed: SQLite outlives a library that is unloaded, and would otherwise keep
// pointers into it.
void UnregisterSharedVfs();

// Makes name (relative to dirFd, or a path with AT_FDCWD) as a file of the
// store's own beside the shared database: exclusively, never through a link,
// with database's group and mode. The open descriptor, or -1 with errno
// (EEXIST: something is there already).
int MakeLikeDatabase(int dirFd, const char *name, const struct stat &database);

// path as an SQLite URI ("file:" with path's reserved bytes percent-encoded)
// opened through vfs.
std::string SharedDatabaseUri(const std::string &path, SharedVfs vfs);

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_SHARED_VFS_H_
