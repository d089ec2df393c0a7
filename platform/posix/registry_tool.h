// registry_tool.h: registry operations the library never calls but the
// tools need, with Windows' semantics: enumerate subkeys (in case-insensitive
// name order) and values (in stored order), delete a value, delete a key with
// everything below it; and a switch that keeps the registry from creating a
// missing state root.
#ifndef AMBERCRYPT_PLATFORM_POSIX_REGISTRY_TOOL_H_
#define AMBERCRYPT_PLATFORM_POSIX_REGISTRY_TOOL_H_

#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace ambercrypt::posix {

struct RegistryValue {
  std::string name;
  DWORD type;
  std::vector<uint8_t> data;
};

LSTATUS RegEnumSubkeys(HKEY hKey, std::vector<std::string> *names);
LSTATUS RegEnumValues(HKEY hKey, std::vector<RegistryValue> *values);
LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);

// OpenRegistryStore: connects this process to the store, as its first
// registry call would, and answers as that call would. When the state root,
// registry.db or the shared database is refused, *refusal (when given) says
// why ("<path>: <what is wrong>"); a refused shared database still answers
// ERROR_SUCCESS, its keys then failing each call. Only the call that makes
// the connection can say why: a tool calls it first, before any other
// registry call.
LSTATUS OpenRegistryStore(std::string *refusal);

// AllowStateRootCreation(false): from now on this process's registry treats a
// missing state root as a missing store (ERROR_FILE_NOT_FOUND) instead of
// creating it where the process may write the parent. A tool running a
// command that only reads turns it off, so a mistyped AMBERCRYPT_ROOT is
// reported, not made into a new, empty store. On by default.
void AllowStateRootCreation(bool allowed);

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_REGISTRY_TOOL_H_
