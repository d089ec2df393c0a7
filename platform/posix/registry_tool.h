// registry_tool.h: registry operations the library never calls but the
// ambercrypt-reg tool needs, with Windows' semantics: enumerate subkeys (in
// case-insensitive name order) and values (in stored order), delete a value,
// delete a key with everything below it.
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

}  // namespace ambercrypt::posix

#endif  // AMBERCRYPT_PLATFORM_POSIX_REGISTRY_TOOL_H_
