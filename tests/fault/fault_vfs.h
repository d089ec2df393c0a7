// fault_vfs.h (Linux tests only): a SQLite VFS over the default one that
// makes the k-th write, sync or lock fail, and can open every database file
// read-only. Installed as SQLite's default VFS before the library opens its
// connection, so the library's own calls meet the faults; never linked into
// the library.
#ifndef AMBERCRYPT_TESTS_FAULT_FAULT_VFS_H_
#define AMBERCRYPT_TESTS_FAULT_FAULT_VFS_H_

namespace ambercrypt::test {

enum class FaultPoint { kWrite, kSync, kLock };
// kIoError: the one call fails with SQLITE_IOERR_WRITE, _FSYNC or _LOCK.
// kDiskFull: it fails with SQLITE_FULL, and so does every later call of the
// same point until the fault is disarmed (a full disk stays full).
enum class FaultError { kIoError, kDiskFull };

const char *Name(FaultPoint point);
const char *Name(FaultError error);

// Registers the VFS as the default one (once; later calls do nothing). Call
// before the library's first registry call in the process.
void InstallFaultVfs();
// The name of the VFS underneath, for the tests' own connections.
const char *UnderlyingVfsName();

// From now on, counts the calls of point and fails the k-th (k >= 1).
void ArmFault(FaultPoint point, FaultError error, int k);
// Stops failing and counting; returns whether the fault fired.
bool DisarmFault();
// Calls of the armed point counted so far.
int FaultCalls();

// Files opened from now on are opened read-only (as a store on a read-only
// mount would be).
void SetReadOnlyOpen(bool readOnly);

}  // namespace ambercrypt::test

#endif  // AMBERCRYPT_TESTS_FAULT_FAULT_VFS_H_
