// policy.cc: ambercrypt-admin verify-policy and identify-policy, an
// application's policies (see command.h). The library checks every value;
// the tool only reads them, and the key text the HMAC method needs.
#include <cstring>
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "crypto/secure_buffer.h"
#include "tools/admin/command.h"
#include "tools/admin/console.h"

namespace ambercrypt::admin {

namespace {

using PolicyExport = uint32_t (*)(const char *, int32_t, int32_t, int32_t, uint8_t, ResponseMethodRecord,
                                  const char *);

int SetPolicy(const Options &options, const char *command, const char *family, PolicyExport setPolicy) {
  if (options.args.size() != 1) return UsageOf(command);
  const std::string &app = options.args[0];
  int32_t maxFmr = 0, maxFailures = 0, lockMinutes = 0, flag = 0, method = 0;
  // The flag is a switch: the export takes any byte for it and stores 0 or 1.
  if (!ParseInt(options.get("--max-fmr"), &maxFmr) || !ParseInt(options.get("--max-failures"), &maxFailures) ||
      !ParseInt(options.get("--lock-minutes"), &lockMinutes) || !ParseInt(options.get("--method"), &method) ||
      (options.has("--flag") && (!ParseInt(options.get("--flag"), &flag) || (flag != 0 && flag != 1)))) {
    std::fprintf(stderr, "ambercrypt-admin: --max-fmr, --max-failures, --lock-minutes and --method take whole numbers, "
                         "--flag 0 or 1\n");
    return UsageOf(command);
  }
  ExportCall call;
  if (!call.Prepare(options, true)) return kExitFailure;
  ResponseMethodRecord record{};
  record.method = static_cast<uint32_t>(method);
  if (method == AMBER_RESPONSE_HMAC) {
    // Only the HMAC method has a key text to read, after the password.
    CSecureBuffer keyText;
    std::string error;
    if (!ReadSecret("key text", options.get("--key-file"), &keyText, &error)) return Fail("no key text: " + error);
    // The record holds what fits before its last byte; a text that long is
    // already past the library's limit, which refuses it.
    std::memcpy(record.keyText, keyText.data(), strnlen(Text(keyText), sizeof record.keyText - 1));
  }
  const uint32_t code = setPolicy(app.c_str(), maxFmr, maxFailures, lockMinutes, static_cast<uint8_t>(flag), record,
                                  call.password());
  WipeMemory(&record, sizeof record);
  return call.Finish(app, code,
                     app + ": " + family + " policy set (max FMR " + std::to_string(maxFmr) + ", " +
                         std::to_string(maxFailures) + " failures, " + std::to_string(lockMinutes) + " minutes, flag " +
                         std::to_string(flag) + ", method " + std::to_string(method) + ")");
}

}  // namespace

int VerifyPolicy(const Options &options) {
  return SetPolicy(options, "verify-policy", "verify", KoBioSPI_InitVerifyParameter);
}

int IdentifyPolicy(const Options &options) {
  return SetPolicy(options, "identify-policy", "identify", KoBioSPI_InitIdentifyParameter);
}

}  // namespace ambercrypt::admin
