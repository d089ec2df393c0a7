// files.h: the files ambercrypt-admin reads and writes whole (BIR files, BSP
// modules), through the tools' platform layer (tool_platform.h): a regular
// file only, never a link followed nor a FIFO waited on. A BIR file holds
// plaintext biometric data: its bytes pass through no stream buffer, and
// every buffer that held them is wiped.
#ifndef AMBERCRYPT_TOOLS_ADMIN_FILES_H_
#define AMBERCRYPT_TOOLS_ADMIN_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/wiping_allocator.h"

namespace ambercrypt::admin {

using FileBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

// A regular file's bytes. *missing, when given, tells that nothing has that name.
bool ReadFileBytes(const std::string &path, FileBytes *data, std::string *error, bool *missing = nullptr);
// Writes data to path: a new file of mode 0600, or an existing private one of
// this account replaced in place; never through a link.
bool WriteFileBytes(const std::string &path, const FileBytes &data, std::string *error);

}  // namespace ambercrypt::admin

#endif  // AMBERCRYPT_TOOLS_ADMIN_FILES_H_
