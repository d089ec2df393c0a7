// tool_store_posix.cc: the registry's store as the tools open and walk it on
// Linux (see tool_store.h): the registry on SQLite under the state root.
#include <sys/stat.h>

#include "platform/posix/registry_tool.h"
#include "platform/posix/state_root.h"
#include "tools/tool_store.h"

namespace ambercrypt::tools {

StoreOpening OpenStore(bool mayCreate) {
  StoreOpening opening;
  opening.location = posix::StateRoot();
  // Before any registry call: one that found no state root would make it
  // wherever this account may write the parent, and a mistyped
  // AMBERCRYPT_ROOT would become a new, empty store.
  posix::AllowStateRootCreation(mayCreate);
  posix::StateDirectory root;
  const LSTATUS status = posix::OpenStateRoot(false, &root, &opening.refusal);
  if (status == ERROR_FILE_NOT_FOUND && !mayCreate) {
    opening.missing = true;
    return opening;
  }
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return opening;
  posix::OpenRegistryStore(&opening.refusal);
  return opening;
}

LSTATUS RegistrySubkeys(HKEY key, std::vector<std::string> *names) { return posix::RegEnumSubkeys(key, names); }

LSTATUS DeleteRegistryTree(HKEY root, const std::string &path) { return posix::RegDeleteTreeA(root, path.c_str()); }

LSTATUS DeleteRegistryValue(HKEY key, const std::string &name) { return posix::RegDeleteValueA(key, name.c_str()); }

std::string StoreReadableByEveryone() {
  struct stat st;
  const std::string db = posix::StateRoot() + "/registry.db";
  return stat(db.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0 ? db : std::string();
}

}  // namespace ambercrypt::tools
