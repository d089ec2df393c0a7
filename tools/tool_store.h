// tool_store.h: the registry's store as the administration tools open and
// walk it, beside what the library does with it: opened first thing, with the
// platform's reason when it refuses it, and the registry operations the
// library never calls. One implementation per target (tool_store_posix.cc:
// the registry on SQLite under the state root; tool_store_win32.cc: the
// system's registry), in the platform layer of the tools that use the store.
#ifndef AMBERCRYPT_TOOLS_TOOL_STORE_H_
#define AMBERCRYPT_TOOLS_TOOL_STORE_H_

#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace ambercrypt::tools {

// What a tool found when it opened the store, first thing, before any other
// registry call.
struct StoreOpening {
  // Nothing there at all (on Linux: no state root). Never true on Windows,
  // whose registry is always there.
  bool missing = false;
  // Where the store is, for messages: the state root on Linux.
  std::string location;
  // Why the platform refused the store or a part of it ("PATH: what is
  // wrong"), or empty. A refused part may leave the rest usable.
  std::string refusal;
};

// OpenStore opens this process's connection to the store. With mayCreate
// false, a store that is not there is reported missing and never made, by
// this call or by any registry call after it, until OpenStore(true) (the one
// command that makes a store calls that once it has something to write).
StoreOpening OpenStore(bool mayCreate);

// The registry operations the library never calls, with Windows' semantics:
// the names of key's subkeys (case-insensitive name order on Linux, the
// registry's order on Windows), and deleting a key with all below it, or a value.
LSTATUS RegistrySubkeys(HKEY key, std::vector<std::string> *names);
LSTATUS DeleteRegistryTree(HKEY root, const std::string &path);
LSTATUS DeleteRegistryValue(HKEY key, const std::string &name);

// The file holding the store when every account may read it (and with it
// every application's secret key), for a warning; else empty. Windows keeps
// the registry's access to itself: always empty.
std::string StoreReadableByEveryone();

}  // namespace ambercrypt::tools

#endif  // AMBERCRYPT_TOOLS_TOOL_STORE_H_
