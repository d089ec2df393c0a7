// keys.h: the registry keys the administration layer walks itself, beside
// the settings the library's store code reads: the base key's subkeys (one
// per application) and the tool's index of names. Internal to adminlib/.
#ifndef AMBERCRYPT_TOOLS_ADMINLIB_KEYS_H_
#define AMBERCRYPT_TOOLS_ADMINLIB_KEYS_H_

#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace ambercrypt::adminlib {

// The base key's path below HKEY_LOCAL_MACHINE, without its trailing separator.
std::string BaseKeyName();
// The names of the subkeys of HKEY_LOCAL_MACHINE\path.
LSTATUS Subkeys(const std::string &path, std::vector<std::string> *names);
// Removes HKEY_LOCAL_MACHINE\path with everything below it.
LSTATUS DeleteTree(const std::string &path);

}  // namespace ambercrypt::adminlib

#endif  // AMBERCRYPT_TOOLS_ADMINLIB_KEYS_H_
