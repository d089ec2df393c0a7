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
// nothing), a -wal file beside the database does not exist for it, and it
// opens or deletes no file but the database's own journal and the
// super-journals SQLite writes beside registry.db.
#ifndef AMBERCRYPT_PLATFORM_POSIX_SHARED_VFS_H_
#define AMBERCRYPT_PLATFORM_POSIX_SHARED_VFS_H_

#include <string>

namespace ambercrypt::posix {

enum class SharedVfs {
  kJournal,  // the only one the registry reads and writes through
  kWal,      // with shared memory: for bringing an earlier build's WAL back
};

// The VFS's name for an SQLite URI ("vfs=" parameter), registered on first
// use; nullptr when SQLite could not register it.
const char *SharedVfsName(SharedVfs vfs);

// path as an SQLite URI ("file:" with path's reserved bytes percent-encoded)
// opened through vfs.
std::string SharedDatabaseUri(const std::string &path, SharedVfs vfs);

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_SHARED_VFS_H_
