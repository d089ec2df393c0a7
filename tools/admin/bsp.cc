// bsp.cc: ambercrypt-admin verify-bsp, a BSP module's digest against the one
// registered for it (see command.h).
#include <cctype>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "tools/admin/command.h"
#include "tools/admin/files.h"

namespace ambercrypt::admin {

namespace {

bool ParseUuid(const std::string &text, BioAPI_UUID *uuid) {
  std::string hex;
  for (char c : text) {
    if (c == '{' || c == '}' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    hex += c;
  }
  if (hex.size() != 32) return false;
  for (int i = 0; i < 16; ++i) (*uuid)[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return true;
}

// The digest text the library compares: Base64 of the module's SHA-1.
bool DigestText(const FileBytes &data, std::string *text) {
  CCrypt crypt;
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  if (data.empty() ||
      crypt.Hash(data.data(), static_cast<uint32_t>(data.size()), digest, &length) != ERROR_SUCCESS) {
    return false;
  }
  char encoded[40] = {};
  uint64_t written = 0;
  Base64Encode(digest, sizeof digest, encoded, &written);
  *text = std::string(encoded, written > 0 ? written - 1 : 0);  // without the line feed
  return text->size() == 28;
}

}  // namespace

int VerifyBsp(const Options &options) {
  if (options.args.size() != 2) return UsageOf("verify-bsp");
  BioAPI_UUID uuid{};
  if (!ParseUuid(options.args[0], &uuid)) return Fail(options.args[0] + ": not a UUID");
  std::string digest = options.args[1];
  FileBytes module;
  std::string error;
  bool missing = false;
  if (ReadFileBytes(options.args[1], &module, &error, &missing)) {
    if (!DigestText(module, &digest)) return Fail(options.args[1] + ": cannot be digested (empty?)");
  } else if (!missing) {
    return Fail(error);  // a file that is there but cannot be used is no digest text
  }
  ExportCall call;
  if (!call.Prepare(options, false)) return kExitFailure;
  return Report(KoBioSPI_VerifyBSP(&uuid, digest.c_str()),
                "BSP " + options.args[0] + ": module digest " + digest + " matches");
}

}  // namespace ambercrypt::admin
