// install.cc: ambercrypt-admin install, a new installation (see command.h).
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/constant_time.h"
#include "crypto/secure_buffer.h"
#include "tools/admin/command.h"
#include "tools/admin/console.h"
#include "tools/adminlib/admin_layer.h"
#include "tools/tool_platform.h"
#include "tools/tool_store.h"

namespace ambercrypt::admin {

int Install(const Options &options) {
  if (!options.args.empty()) return UsageOf("install");
  const adminlib::Installation here = adminlib::ReadInstallation();
  if (here.passwordDigest || here.hasNumber || !here.applications.empty()) {
    std::string what = "an installation exists";
    if (here.hasNumber) what += " (installation number " + std::to_string(here.number) + ")";
    what += " with " + std::to_string(here.applications.size()) + " application(s)";
    if (!options.force) {
      return Fail(what +
                  ". Overwriting it (install --force) destroys the administrator password, the installation number "
                  "and every application's settings: secret keys, restriction modes, policies, key texts, "
                  "certificates and lockout state. They are encrypted with key material built from the "
                  "installation number, so nothing stored before could be read again, nor BIRs encrypted with "
                  "those secret keys be decrypted.");
    }
    std::fprintf(stderr, "ambercrypt-admin: %s: replacing it (--force)\n", what.c_str());
  }
  CSecureBuffer password, again;
  std::string error;
  if (!ReadSecret("new administrator password", options.get("--password-file"), &password, &error)) {
    return Fail("no password: " + error);
  }
  // At a terminal a new password is asked twice.
  if (options.get("--password-file").empty() && tools::InteractiveInput()) {
    if (!ReadSecret("again", "", &again, &error)) return Fail("no password: " + error);
    size_t a = std::strlen(Text(password)), b = std::strlen(Text(again));
    if (a != b || !ConstantTimeEqual(password.data(), again.data(), a)) {
      return Fail("the two passwords differ; nothing installed");
    }
  }
  if (!adminlib::AcceptableNewPassword(Text(password))) {
    return Fail(
        "password refused: it needs at least 6 characters (at most 255) with an upper-case letter, a lower-case "
        "letter and a digit; nothing installed");
  }
  if (!adminlib::Install(Text(password), options.force, &error)) return Fail(error);
  // The number is not printed: the key material is built from it, and logs
  // outlive the store's file modes.
  std::printf("installed: administrator password set, installation number created\n");
  // Whoever can read the store can recover every application's secret key.
  const std::string readable = tools::StoreReadableByEveryone();
  if (!readable.empty()) {
    std::fprintf(stderr,
                 "ambercrypt-admin: warning: %s is readable by every account, and with it every application's "
                 "secret key: give the store to the accounts that run hosts only (the Debian package's layout, "
                 "README \"Installing and packaging\")\n",
                 readable.c_str());
  }
  return 0;
}

}  // namespace ambercrypt::admin
