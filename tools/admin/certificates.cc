// certificates.cc: ambercrypt-admin signing-cert, end-user-cert and cert, the
// certificates an application is registered with and the "ROOT" store they
// come from (see command.h and certs.h).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ambercrypt/ambercrypt.h"
#include "tools/admin/certs.h"
#include "tools/admin/command.h"

namespace ambercrypt::admin {

namespace {

// A certificate argument: a file, else a thumbprint of a "ROOT" certificate.
bool Certificate(const std::string &argument, CertificateInfo *info, std::string *error) {
  std::ifstream probe(argument, std::ios::binary);
  if (probe) return ReadCertificateFile(argument, info, error);
  if (IsThumbprint(argument)) return FindRootByThumbprint(argument, info, error);
  *error = argument + ": neither a certificate file nor a SHA-1 thumbprint";
  return false;
}

int Register(const Options &options, const char *command, bool signing) {
  if (options.args.size() != 2) return UsageOf(command);
  const std::string &app = options.args[0];
  CertificateInfo info;
  std::string error;
  if (!Certificate(options.args[1], &info, &error)) return Fail(error);
  // The end-user certificate is the application's own to name: no password.
  ExportCall call;
  if (!call.Prepare(options, signing)) return kExitFailure;
  IssuerSerial id{};
  id.Issuer.cbData = static_cast<uint32_t>(info.issuer.size());
  id.Issuer.pbData = info.issuer.data();
  id.SerialNumber.cbData = static_cast<uint32_t>(info.serial.size());
  id.SerialNumber.pbData = info.serial.data();
  const uint32_t code = signing ? KoBioSPI_InitCerfificate(app.c_str(), &id, call.password())
                                : KoBioSPI_SetEndUserParameter(app.c_str(), &id);
  return call.Finish(app, code,
                     app + ": " + (signing ? "BIR-signing" : "end-user") + " certificate " + info.subject +
                         ", serial " + SerialText(info.serial));
}

int ListRootStore(const Options &options) {
  std::vector<CertificateInfo> all;
  std::vector<std::string> notes;
  std::string message;
  if (!ListRoot(&all, &notes, &message)) return Fail(message);
  for (const std::string &note : notes) Note(note);
  if (options.json) std::printf("[");
  for (size_t i = 0; i < all.size(); ++i) {
    const CertificateInfo &c = all[i];
    if (options.json) {
      std::printf("%s{\"thumbprint\": %s, \"subject\": %s, \"issuer\": %s, \"serial\": %s, \"key\": %s, \"file\": %s}",
                  i ? ", " : "", JsonString(c.thumbprint).c_str(), JsonString(c.subject).c_str(),
                  JsonString(c.issuerText).c_str(), JsonString(SerialText(c.serial)).c_str(),
                  c.hasKey ? "true" : "false", JsonString(c.file).c_str());
    } else {
      std::printf("%s  %s  serial %s%s\n", c.thumbprint.c_str(), c.subject.c_str(), SerialText(c.serial).c_str(),
                  c.hasKey ? "  (with key)" : "");
    }
  }
  if (options.json) std::printf("]\n");
  return 0;
}

// A store change's result: its message on success and on failure alike.
int Changed(bool done, const std::string &message) {
  if (!done) return Fail(message);
  std::printf("%s\n", message.c_str());
  return 0;
}

}  // namespace

int SigningCertificate(const Options &options) { return Register(options, "signing-cert", true); }

int EndUserCertificate(const Options &options) { return Register(options, "end-user-cert", false); }

int RootStore(const Options &options) {
  if (options.args.empty()) return UsageOf("cert");
  const std::string &verb = options.args[0];
  std::string message;
  if (verb == "import" && options.args.size() == 2) {
    return Changed(ImportRoot(options.args[1], options.get("--key"), options.get("--name"), &message), message);
  }
  if (verb == "remove" && options.args.size() == 2) {
    if (!IsThumbprint(options.args[1])) return Fail(options.args[1] + ": not a SHA-1 thumbprint");
    return Changed(RemoveRoot(options.args[1], &message), message);
  }
  if (verb == "list" && options.args.size() == 1) return ListRootStore(options);
  return UsageOf("cert");
}

}  // namespace ambercrypt::admin
