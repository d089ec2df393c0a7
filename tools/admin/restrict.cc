// restrict.cc: ambercrypt-admin restrict, an application's restriction mode
// (see command.h).
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "tools/admin/command.h"

namespace ambercrypt::admin {

namespace {

struct ModeNaming {
  uint32_t mode;
  const char *name;
};

// Named after what each mode lets an application use: none (0) nothing,
// minimal (1) every function outside 0x1DDC (bits 2-4, 6-8, 10-12), limited
// (2) outside 0x0E00 (bits 9-11), standard (3) outside 0x09DC (bits 2-4, 6-8,
// 11), full (4) outside 0x0800 (bit 11), the mode administration needs;
// custom (5) outside the application's own mask.
const ModeNaming kModes[] = {{0, "none"}, {1, "minimal"}, {2, "limited"}, {3, "standard"}, {4, "full"}, {5, "custom"}};
constexpr uint32_t kCustom = 5;

// A mode's name or number. A number the library has no mode for is left
// for the library to refuse.
bool ParseMode(const std::string &text, uint32_t *mode) {
  for (const ModeNaming &m : kModes) {
    if (text == m.name) {
      *mode = m.mode;
      return true;
    }
  }
  int32_t number = 0;
  if (!ParseInt(text, &number) || number < 0) return false;
  *mode = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

const char *ModeName(int64_t mode) {
  for (const ModeNaming &m : kModes) {
    if (m.mode == mode) return m.name;
  }
  return "invalid";
}

int Restrict(const Options &options) {
  if (options.args.size() != 2) return UsageOf("restrict");
  const std::string &app = options.args[0], &modeText = options.args[1];
  uint32_t mode = 0;
  if (!ParseMode(modeText, &mode)) {
    return Fail("mode " + modeText + ": use none, minimal, limited, standard, full, custom or 0-5");
  }
  uint32_t mask = 0;
  if (mode == kCustom) {
    if (!options.has("--mask") || !ParseHex32(options.get("--mask"), &mask)) {
      return Fail("mode custom needs --mask HEX (the forbidden function bits, up to 8 hex digits)");
    }
  } else if (options.has("--mask")) {
    return Fail("--mask goes with mode custom (5) only");
  }
  ExportCall call;
  if (!call.Prepare(options, true)) return kExitFailure;
  const uint32_t code = KoBioSPI_RestrictBSPFunction(app.c_str(), mode, mask, call.password());
  std::string done = app + ": restriction mode " + std::to_string(mode) + " (" + ModeName(mode) + ")";
  if (mode == kCustom) done += ", forbidden mask " + Hex32(mask);
  return call.Finish(app, code, done);
}

}  // namespace ambercrypt::admin
