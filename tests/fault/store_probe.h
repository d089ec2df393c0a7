// store_probe.h (Linux tests only): the Linux store read beside the library,
// through SQLite on its files: every value and key of both databases, and
// SQLite's own integrity check of each.
#ifndef AMBERCRYPT_TESTS_FAULT_STORE_PROBE_H_
#define AMBERCRYPT_TESTS_FAULT_STORE_PROBE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ambercrypt::test {

// One entry of a snapshot: a value (its type byte, then its data) of the key
// at path, or for a key itself (name empty) whether it has a null DACL.
struct StoreEntry {
  std::string path;  // below HKEY_LOCAL_MACHINE, as RegOpenKeyExA takes it
  std::string name;  // value name; empty for the key's own entry
  bool key = false;
  bool operator<(const StoreEntry &o) const {
    return key != o.key ? key < o.key : path != o.path ? path < o.path : name < o.name;
  }
};
using StoreSnapshot = std::map<StoreEntry, std::vector<uint8_t>>;

// Every key and value of the store under root. A hot journal left by a
// failed commit is rolled back first, as any writer opening the store would.
// False (with *error) when the store cannot be read.
bool SnapshotStore(const std::string &root, StoreSnapshot *snapshot, std::string *error);
// "ok" when PRAGMA integrity_check passes on registry.db and
// shared/open_keys.db, else what it reported.
std::string IntegrityCheck(const std::string &root);
// Copies the state root from to the (new) directory to, modes kept.
void CopyStore(const std::string &from, const std::string &to);
// The entries whose bytes differ between a and b (absence is a value too).
std::vector<std::string> Differences(const StoreSnapshot &a, const StoreSnapshot &b);
std::string Describe(const StoreEntry &entry);

}  // namespace ambercrypt::test

#endif  // AMBERCRYPT_TESTS_FAULT_STORE_PROBE_H_
