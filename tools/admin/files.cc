// files.cc: whole files for ambercrypt-admin (see files.h).
#include "tools/admin/files.h"

#include "crypto/secure_buffer.h"
#include "tools/tool_platform.h"

namespace ambercrypt::admin {

bool ReadFileBytes(const std::string &path, FileBytes *data, std::string *error, bool *missing) {
  tools::NamedFile in;
  const bool opened = in.OpenForReading(path, error);
  if (missing != nullptr) *missing = in.missing();
  if (!opened) return false;
  data->clear();
  uint8_t chunk[4096];
  long n;
  while ((n = in.Read(chunk, sizeof chunk)) > 0) data->insert(data->end(), chunk, chunk + n);
  WipeMemory(chunk, sizeof chunk);
  if (n < 0) *error = path + ": cannot be read";
  return n == 0;
}

bool WriteFileBytes(const std::string &path, const FileBytes &data, std::string *error) {
  tools::NamedFile out;
  if (!out.CreateForWriting(path, error)) return false;
  if (!out.Write(data.data(), data.size()) || !out.Close()) {
    *error = path + ": cannot be written";
    return false;
  }
  return true;
}

}  // namespace ambercrypt::admin
