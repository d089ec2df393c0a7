// secret_key.cc: ambercrypt-admin secret-key, an application's BIR secret key
// and cipher (see command.h).
#include <string>

#include "ambercrypt/ambercrypt.h"
#include "crypto/secure_buffer.h"
#include "tools/admin/command.h"
#include "tools/admin/console.h"

namespace ambercrypt::admin {

int SecretKey(const Options &options) {
  if (options.args.size() != 2) return UsageOf("secret-key");
  const std::string &app = options.args[0], &cipher = options.args[1];
  // The cipher's name is the tool's word for the library's identifier.
  uint32_t algorithm = 0;
  if (cipher == "aes256") algorithm = AMBER_CALG_AES_256;
  else if (cipher == "3des") algorithm = AMBER_CALG_3DES;
  else return Fail("cipher " + cipher + ": use aes256 or 3des");
  ExportCall call;
  if (!call.Prepare(options, true)) return kExitFailure;
  CSecureBuffer key;
  std::string error;
  if (!ReadSecret("secret key", options.get("--key-file"), &key, &error)) return Fail("no secret key: " + error);
  const uint32_t code = KoBioSPI_InitSecretKey(app.c_str(), algorithm, Text(key), call.password());
  return call.Finish(app, code, app + ": secret key set, cipher " + cipher);
}

}  // namespace ambercrypt::admin
