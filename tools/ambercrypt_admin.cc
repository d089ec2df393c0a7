// ambercrypt-admin: every administration operation from a shell.
//
// Settings change only through the library's exports (linked from the static
// core, attached as the tool's own host); the tool itself writes just three
// things the library leaves to its installer or to this tool:
//   - the administrator password digest, at `install` (the library never
//     writes it; it then creates the installation number when it attaches);
//   - its own index of application names, the key "AdminNames" beside the
//     base key (HKLM\SOFTWARE\Dravelo\BioAPI\Ambervault\AdminNames; value
//     name: the AppKey, REG_SZ data: the name), as the store keeps only a hash
//     of each name;
//   - on Linux, the "ROOT" certificate store directory ($AMBERCRYPT_ROOT/certs/ROOT).
// `show` reads and decrypts settings with the library's own store code.
//
// Signing and verifying BIRs work on the application the library's
// administration side currently addresses: the tool names it through the
// service object's SetApplication, which derives the AppKey and writes
// nothing (a host does the same by running under the application's name).
//
// BIR file (little-endian): the 8 bytes "ACBIR\x01\r\n"; the 52 bytes of
// BioAPI_BIR_HEADER as laid out in ambercrypt.h; the biometric data length
// (uint32) and the data; the security block length (uint32, 0 when there is
// none) and the block.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "admin/admin_password.h"
#include "ambercrypt/ambercrypt.h"
#include "crypto/base64.h"
#include "crypto/ccrypt.h"
#include "crypto/secure_buffer.h"
#include "crypto/wiping_allocator.h"
#include "frame/entry.h"
#include "frame/spi_ctrl.h"
#include "platform/win32_api.h"
#include "policy/clock.h"
#include "store/constants.h"
#include "store/identity.h"
#include "store/reg_ctrl.h"
#include "store/setting_store.h"
#include "store/settings.h"
#include "tools/admin_certs.h"
#include "tools/admin_console.h"
#include "tools/tool_platform.h"
#include "trust/certificate_id.h"

#if !defined(_WIN32)
#include "platform/posix/registry_tool.h"
#include "platform/posix/state_root.h"
#include <sys/stat.h>
#endif

namespace {

using ambercrypt::CSecureBuffer;
using ambercrypt::SecretString;
using ambercrypt::SettingKey;
using ambercrypt::SettingStore;
namespace settings = ambercrypt::settings;
namespace admin = ambercrypt::admin;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// ---- Result codes ------------------------------------------------------------

struct CodeMeaning {
  uint32_t code;
  const char *meaning;
};

// Every code an export returns, as the caller receives it.
const CodeMeaning kCodes[] = {
    {AMBER_OK, "success"},
    {AMBER_NOT_INITIALISED, "library not attached (its service object does not exist)"},
    {AMBER_SIGN_NULL_OUTPUT, "no output record given to sign into"},
    {AMBER_ERROR_FLAG | AMBER_E_NO_SECRET_KEY, "no secret key set for the application, or it cannot be read"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_ALGORITHM, "cipher not accepted (aes256 or 3des)"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_SECRET_KEY,
     "secret key refused: missing, empty, longer than 32 characters, or without an upper-case letter, a lower-case "
     "letter and a digit among at least 6 characters"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_ADMIN_PASSWORD, "administrator password refused"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_APPLICATION_NAME, "application name missing, empty or longer than 255 characters"},
    {AMBER_ERROR_FLAG | AMBER_E_NOT_PERMITTED,
     "not permitted in the application's restriction mode (secret key, policies and signing certificate need mode 4, "
     "full)"},
    {AMBER_ERROR_FLAG | AMBER_E_SETTING_UNAVAILABLE,
     "a needed setting is absent or the store cannot be opened, read or written"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_MODE, "restriction mode above 5"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_MAX_FMR, "maximum FMR below -1"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_MAX_FAILURES, "maximum failures negative"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_LOCK_MINUTES, "lock minutes negative"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_RESPONSE_METHOD, "response method neither 30 nor 40"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_KEY_TEXT, "key text empty or longer than 255 characters"},
    {AMBER_ERROR_FLAG | AMBER_E_DELETE_FAILED, "the application's settings cannot be opened or deleted (none stored?)"},
    {AMBER_ERROR_FLAG | AMBER_E_BSP_DIGEST_MISMATCH, "BSP module digest does not match"},
    {AMBER_ERROR_FLAG | AMBER_E_BAD_CHALLENGE, "challenge text or record refused"},
    {AMBER_ERROR_FLAG | AMBER_E_RESPONSE_FAILED, "challenge response cannot be computed"},
    {AMBER_ERROR_FLAG | AMBER_E_NO_PENDING_OUTCOME, "no pending outcome to answer a challenge with"},
    {AMBER_ERROR_FLAG | AMBER_E_CERTIFICATE,
     "certificate missing, not in the \"ROOT\" store, or none registered for the application"},
    {AMBER_ERROR_FLAG | AMBER_E_BIR_NOT_SIGNED, "BIR missing or not marked as signed"},
    {AMBER_ERROR_FLAG | AMBER_E_SIGNATURE, "signature not produced, or it does not verify"},
    {AMBER_ERROR_FLAG | AMBER_E_ENCRYPT_FAILED, "BIR encryption failed"},
    {AMBER_ERROR_FLAG | AMBER_E_DECRYPT_FAILED, "BIR decryption failed"},
    {AMBER_ERROR_FLAG | AMBER_E_LOCKED_NOW, "failure limit just reached: now locked"},
    {AMBER_ERROR_FLAG | AMBER_E_STATUS_UPDATE, "status update refused or not stored"},
    {AMBER_ERROR_FLAG | AMBER_E_LOCKED, "locked until the release time"},
    {AMBER_ERROR_FLAG | AMBER_E_FMR_LOWERED, "requested FMR above the maximum (the maximum is allowed instead)"},
    {AMBER_ERROR_FLAG | AMBER_E_MODE_ZERO, "restriction mode 0: no function allowed"},
    {AMBER_ERROR_FLAG | AMBER_E_BSP_NOT_FOUND, "BSP not found (UUID, registry entry, \"path\" value or module file)"},
};

std::string CodeLine(uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%" PRIX32, code);
  for (const CodeMeaning &c : kCodes) {
    if (c.code == code) return std::string(hex) + ": " + c.meaning;
  }
  return std::string(hex) + ": unknown result code";
}

// Prints a library result; the exit status of the command.
int Report(uint32_t code, const std::string &success) {
  if (code == AMBER_OK) {
    std::printf("%s\n", success.c_str());
    return 0;
  }
  std::fprintf(stderr, "ambercrypt-admin: %s\n", CodeLine(code).c_str());
  return kExitFailure;
}

int Fail(const std::string &message) {
  std::fprintf(stderr, "ambercrypt-admin: %s\n", message.c_str());
  return kExitFailure;
}

// ---- Restriction modes -------------------------------------------------------

struct ModeName {
  uint32_t mode;
  const char *name;
  const char *allows;
};

// Named after what each mode lets an application use (forbidden function bits).
const ModeName kModes[] = {
    {0, "none", "no function at all"},
    {1, "minimal", "every function outside 0x1DDC (bits 2-4, 6-8, 10-12)"},
    {2, "limited", "every function outside 0x0E00 (bits 9-11)"},
    {3, "standard", "every function outside 0x09DC (bits 2-4, 6-8, 11)"},
    {4, "full", "every function outside 0x0800 (bit 11); the mode administration needs"},
    {5, "custom", "every function outside the application's own mask"},
};

const char *ModeNameOf(int64_t mode) {
  for (const ModeName &m : kModes) {
    if (m.mode == mode) return m.name;
  }
  return "invalid";
}

// ---- Text helpers ------------------------------------------------------------

bool ParseInt(const std::string &text, int32_t *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool ParseHex32(std::string text, uint32_t *value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
  if (text.empty() || text.size() > 8) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; })) {
    return false;
  }
  *value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, v);
  return text;
}

// The JSON string of text, in text's own kind of string (a SecretString for
// a revealed secret, so that no buffer it grows through keeps a copy).
template <typename String>
String JsonString(const String &text) {
  String out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// The bytes of a file the tool reads or writes. A BIR file holds plaintext
// biometric data: it passes through no stream buffer, and every buffer that
// held it is wiped.
using FileBytes = std::vector<uint8_t, ambercrypt::WipingAllocator<uint8_t>>;

// A regular file's bytes (a FIFO or device named instead is refused, not
// waited on). *missing, when given, tells that nothing has that name.
bool ReadFileBytes(const std::string &path, FileBytes *data, std::string *error, bool *missing = nullptr) {
  ambercrypt::tools::NamedFile in;
  const bool opened = in.OpenForReading(path, error);
  if (missing != nullptr) *missing = in.missing();
  if (!opened) return false;
  data->clear();
  uint8_t chunk[4096];
  long n;
  while ((n = in.Read(chunk, sizeof chunk)) > 0) data->insert(data->end(), chunk, chunk + n);
  ambercrypt::WipeMemory(chunk, sizeof chunk);
  if (n < 0) *error = path + ": cannot be read";
  return n == 0;
}

// Writes data to path: a new file of mode 0600, or an existing private one of
// this account replaced in place; never through a link (tool_platform.h).
bool WriteFileBytes(const std::string &path, const FileBytes &data, std::string *error) {
  ambercrypt::tools::NamedFile out;
  if (!out.CreateForWriting(path, error)) return false;
  if (!out.Write(data.data(), data.size()) || !out.Close()) {
    *error = path + ": cannot be written";
    return false;
  }
  return true;
}

// A local-time FILETIME count as the library stores it, printed as it stands.
std::string LocalTimeText(int64_t fileTime) {
  const int64_t kUnixEpochSeconds = 11644473600LL;
  time_t seconds = static_cast<time_t>(fileTime / 10000000 - kUnixEpochSeconds);
  struct tm parts {};
#if defined(_WIN32)
  if (gmtime_s(&parts, &seconds) != 0) return "?";
#else
  if (gmtime_r(&seconds, &parts) == nullptr) return "?";
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// ---- Options -----------------------------------------------------------------

struct Options {
  std::vector<std::string> args;             // positional
  std::map<std::string, std::string> values;  // --name VALUE
  bool json = false, reveal = false, force = false, raw = false, help = false;
  std::vector<std::string> given;  // every option named, for the command to check
  bool has(const char *name) const { return values.count(name) != 0; }
  std::string get(const char *name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  }
};

const char *const kValueOptions[] = {"--password-file", "--key-file", "--mask",   "--max-fmr", "--max-failures",
                                     "--lock-minutes",  "--flag",     "--method", "--key",     "--name"};

bool ParseOptions(int argc, char **argv, int first, Options *options, std::string *error) {
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) options->given.push_back(a.substr(0, a.find('=')));
    if (a == "--json") options->json = true;
    else if (a == "--reveal") options->reveal = true;
    else if (a == "--force") options->force = true;
    else if (a == "--raw") options->raw = true;
    else if (a == "--help" || a == "-h") options->help = true;
    else if (a == "--password" || a == "--secret") {
      *error = a + ": passwords and key texts are never taken from the command line (use a prompt, stdin or a file)";
      return false;
    } else if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      std::string name = a, value;
      size_t eq = a.find('=');
      if (eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
      }
      if (std::find(std::begin(kValueOptions), std::end(kValueOptions), name) == std::end(kValueOptions)) {
        *error = "unknown option " + name;
        return false;
      }
      if (eq == std::string::npos) {
        if (i + 1 >= argc) {
          *error = name + " needs a value";
          return false;
        }
        value = argv[++i];
      }
      options->values[name] = value;
    } else {
      options->args.push_back(a);
    }
  }
  return true;
}

// ---- Help --------------------------------------------------------------------

struct Command {
  const char *name;
  const char *synopsis;
  const char *help;
  const char *options;  // the options it takes, each followed by a space
};

const Command kCommands[] = {
    {"install", "install [--force] [--password-file FILE]",
     "Creates an installation: asks for a new administrator password (twice at a terminal; at least 6 characters\n"
     "with an upper-case letter, a lower-case letter and a digit, at most 255), stores its digest, and lets the\n"
     "library create the installation number. An existing installation is kept unless --force is given: that\n"
     "destroys the administrator password, the installation number and every application's settings (they are\n"
     "encrypted with key material built from the installation number and could never be read again).",
     "--force --password-file "},
    {"restrict", "restrict APP MODE [--mask HEX] [--password-file FILE]",
     "Sets APP's restriction mode: none (0), minimal (1), limited (2), standard (3), full (4), custom (5).\n"
     "custom needs --mask, the forbidden function bits in hex (0x1DDC). Mode full is the one in which the secret\n"
     "key, the policies and the signing certificate may be set.",
     "--mask --password-file "},
    {"secret-key", "secret-key APP aes256|3des [--key-file FILE] [--password-file FILE]",
     "Sets APP's BIR secret key (6 to 32 characters, an upper-case and a lower-case letter and a digit) and cipher.\n"
     "The key is read after the password: from --key-file, a prompt, or the next line of standard input.",
     "--key-file --password-file "},
    {"verify-policy",
     "verify-policy APP --max-fmr N --max-failures N --lock-minutes N [--flag 0|1] --method 30|40 [--key-file FILE]",
     "Sets APP's verify policy: the highest FMR it may ask (-1 or more), the failures that lock it (0: never),\n"
     "for how many minutes, the policy flag, and how challenge answers are protected: 30 signed with the end-user\n"
     "certificate, 40 an HMAC keyed with a key text (read after the password, as the secret key is).",
     "--max-fmr --max-failures --lock-minutes --flag --method --key-file --password-file "},
    {"identify-policy",
     "identify-policy APP --max-fmr N --max-failures N --lock-minutes N [--flag 0|1] --method 30|40 [--key-file FILE]",
     "Sets APP's identify policy; the options are those of verify-policy.",
     "--max-fmr --max-failures --lock-minutes --flag --method --key-file --password-file "},
    {"signing-cert", "signing-cert APP CERT [--password-file FILE]",
     "Registers the certificate that signs APP's BIRs. CERT is a PEM or DER file, or the SHA-1 thumbprint of a\n"
     "certificate in \"ROOT\"; the certificate must be in \"ROOT\" (with its key, to sign).",
     "--password-file "},
    {"end-user-cert", "end-user-cert APP CERT",
     "Registers APP's end-user certificate (the one that signs method-30 challenge answers); CERT as for\n"
     "signing-cert. Needs no password, but APP must already have settings.",
     ""},
    {"delete", "delete APP", "Removes every setting of APP, its lockout state included.",
     ""},
    {"verify-bsp", "verify-bsp UUID FILE-or-DIGEST",
     "Checks that the module registered for the BSP UUID ({xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}) has the digest\n"
     "of FILE, or the given Base64 SHA-1 digest text (28 characters).",
     ""},
    {"sign-bir", "sign-bir APP IN OUT [--raw]",
     "Signs the biometric data of the BIR file IN with APP's signing certificate and writes the signed BIR file\n"
     "OUT. With --raw, IN is the bare biometric data (the header is left zero). OUT is made with mode 0600, or\n"
     "written over a regular file of yours that no other account may read or write; a symbolic link is not followed.",
     "--raw "},
    {"verify-bir", "verify-bir APP FILE",
     "Checks the signed BIR file FILE against APP's signing certificate; exit status 0 only when it verifies.",
     ""},
    {"show", "show APP [--reveal [--password-file FILE]] [--json]",
     "Everything stored for APP, decrypted and labelled. Secrets show as present or absent; --reveal shows them\n"
     "after the administrator password has been checked.",
     "--reveal --password-file --json "},
    {"list", "list [--json]",
     "The applications with settings. The store keeps only each name's AppKey (a hash); names come from the\n"
     "tool's own index, and an AppKey the tool never saw named is shown as unnamed.",
     "--json "},
    {"cert", "cert import CERT [--key KEYFILE] [--name NAME] | cert list [--json] | cert remove THUMBPRINT",
     "The Linux \"ROOT\" store ($AMBERCRYPT_ROOT/certs/ROOT): import a certificate (0644) and its private key\n"
     "(0600; refused when it does not match the certificate), list the certificates, remove one by thumbprint.\n"
     "On Windows use the system's tools (certutil -addstore Root).",
     "--key --name --json "},
    {"codes", "codes", "Every result code of the library and its meaning.",
     ""},
};

int Usage(FILE *to) {
  std::fprintf(to,
               "usage: ambercrypt-admin COMMAND [ARGS] [OPTIONS]   (ambercrypt-admin COMMAND --help for one)\n\n");
  for (const Command &c : kCommands) std::fprintf(to, "  %s\n", c.synopsis);
  std::fprintf(to,
               "\nPasswords and key texts are never taken from the command line: --password-file / --key-file (first\n"
               "line), else a prompt without echo at a terminal, else one line each of standard input, the password\n"
               "first. Every failure prints the library's code and its meaning; the exit status is then non-zero.\n");
  return to == stdout ? 0 : kExitUsage;
}

int CommandHelp(const std::string &name) {
  for (const Command &c : kCommands) {
    if (name == c.name) {
      std::printf("usage: ambercrypt-admin %s\n\n%s\n", c.synopsis, c.help);
      return 0;
    }
  }
  return Usage(stdout);
}

int UsageOf(const std::string &name) {
  for (const Command &c : kCommands) {
    if (name == c.name) std::fprintf(stderr, "usage: ambercrypt-admin %s\n", c.synopsis);
  }
  return kExitUsage;
}

// ---- Registry helpers --------------------------------------------------------

std::string WithoutTrailingSeparator(std::string path) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}

// The tool's index of names: a sibling of the base key.
std::string NamesKeyPath() {
  std::string base = WithoutTrailingSeparator(ambercrypt::kBaseKeyPath);
  return base.substr(0, base.rfind('\\')) + "\\AdminNames";
}

// The 28-character key name of an application.
bool AppKeyName(const std::string &name, std::string *keyName) {
  CSecureBuffer text;
  if (!ambercrypt::DeriveAppKey(name.c_str(), &text)) return false;
  *keyName = std::string(reinterpret_cast<const char *>(text.data()), 28);
  return true;
}

LSTATUS EnumSubkeys(const std::string &path, std::vector<std::string> *names) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
#if defined(_WIN32)
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD length = sizeof name;
    status = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) {
      status = ERROR_SUCCESS;
      break;
    }
    if (status != ERROR_SUCCESS) break;
    names->emplace_back(name, length);
  }
#else
  status = ambercrypt::posix::RegEnumSubkeys(key, names);
#endif
  RegCloseKey(key);
  return status;
}

LSTATUS DeleteTree(const std::string &path) {
#if defined(_WIN32)
  return RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
#else
  return ambercrypt::posix::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
#endif
}

std::string IndexedName(const std::string &keyName) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, NamesKeyPath().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  char name[512] = {};
  DWORD type = 0, length = sizeof name - 1;
  LSTATUS status = RegQueryValueExA(key, keyName.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(name), &length);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ) return {};
  return std::string(name, strnlen(name, sizeof name));
}

// Remembers (or, with remove, forgets) the name of an application. quiet: a
// reader that may not write the store says nothing about it.
void Index(const std::string &name, bool remove = false, bool quiet = false) {
  std::string keyName;
  if (!AppKeyName(name, &keyName)) return;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, NamesKeyPath().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    if (quiet) return;
    std::fprintf(stderr, "ambercrypt-admin: note: the name index (HKLM\\%s) cannot be written\n", NamesKeyPath().c_str());
    return;
  }
  if (remove) {
#if defined(_WIN32)
    RegDeleteValueA(key, keyName.c_str());
#else
    ambercrypt::posix::RegDeleteValueA(key, keyName.c_str());
#endif
  } else if (IndexedName(keyName) != name) {
    RegSetValueExA(key, keyName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(name.c_str()),
                   static_cast<DWORD>(name.size() + 1));
  }
  RegCloseKey(key);
}

struct Installation {
  bool passwordDigest = false;
  bool hasNumber = false;
  DWORD number = 0;
  std::vector<std::string> applications;
};

Installation ReadInstallation() {
  Installation found;
  ambercrypt::CRegCtrl reg;
  if (!reg.Open(ambercrypt::kBaseKeyPath, 0, KEY_READ)) return found;
  uint8_t digest[64];
  uint32_t length = sizeof digest;
  found.passwordDigest = reg.QueryBinary(settings::kAdminPasswordDigest.name, digest, &length) == ERROR_SUCCESS;
  found.hasNumber = reg.QueryDword(settings::kInstallationNumber.name, &found.number) == ERROR_SUCCESS;
  EnumSubkeys(WithoutTrailingSeparator(ambercrypt::kBaseKeyPath), &found.applications);
  return found;
}

#if !defined(_WIN32)
// A store the platform refuses to trust is named with its reason.
std::string StoreRefusal() {
  std::string why = ambercrypt::posix::StateRootRefusal();
  return why.empty() ? std::string() : "the store is refused: " + why;
}

// A state root that does not exist at all, named.
std::string MissingStore() {
  ambercrypt::posix::StateDirectory root;
  if (ambercrypt::posix::OpenStateRoot(false, &root) != ERROR_FILE_NOT_FOUND) return {};
  return "there is no store at " + ambercrypt::posix::StateRoot();
}

// Whether the registry may create a missing state root for this process: only
// install may, once it is about to write; every other command finds a store
// or says there is none, so a mistyped AMBERCRYPT_ROOT never becomes a new,
// empty store.
void AllowStoreCreation(bool allowed) { ambercrypt::posix::AllowStateRootCreation(allowed); }
#else
// The Windows registry is always there, and reading it creates nothing.
std::string StoreRefusal() { return {}; }
std::string MissingStore() { return {}; }
void AllowStoreCreation(bool) {}
#endif

// Why there is no installation to work on.
std::string NoInstallation() {
  std::string refusal = StoreRefusal();
  if (!refusal.empty()) return refusal;
  std::string missing = MissingStore();
  if (!missing.empty()) return "no installation here: " + missing;
  return "no installation here: run 'ambercrypt-admin install' first";
}

// Attaches the library for a command that needs an installation.
bool AttachInstalled(std::string *error) {
  Installation here = ReadInstallation();
  if (!here.passwordDigest) {
    *error = NoInstallation();
    return false;
  }
  ambercrypt::ProcessAttach(nullptr);
  if (ambercrypt::AttachedSpiContext() == nullptr ||
      ambercrypt::AttachedSpiContext()->store().keyMaterial() == nullptr) {
    *error = "the installation number cannot be read";
    return false;
  }
  return true;
}

struct Detach {
  ~Detach() { ambercrypt::ProcessDetach(); }
};

// ---- Secrets ---------------------------------------------------------------

bool AdminPassword(const Options &options, CSecureBuffer *password) {
  std::string error;
  if (ambercrypt::admin::ReadSecret("administrator password", options.get("--password-file"), password, &error)) {
    return true;
  }
  Fail("no administrator password: " + error);
  return false;
}

const char *Text(const CSecureBuffer &buffer) { return reinterpret_cast<const char *>(buffer.data()); }

// ---- install -----------------------------------------------------------------

int Install(const Options &options) {
  if (!options.args.empty()) return UsageOf("install");
  Installation here = ReadInstallation();
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
  if (!admin::ReadSecret("new administrator password", options.get("--password-file"), &password, &error)) {
    return Fail("no password: " + error);
  }
  if (options.get("--password-file").empty() && admin::InteractiveInput()) {
    if (!admin::ReadSecret("again", "", &again, &error)) return Fail("no password: " + error);
    size_t a = std::strlen(Text(password)), b = std::strlen(Text(again));
    if (a != b || !ambercrypt::ConstantTimeEqual(password.data(), again.data(), a)) {
      return Fail("the two passwords differ; nothing installed");
    }
  }
  if (ambercrypt::IsEmptyOrTooLong(Text(password)) || ambercrypt::CheckPasswordRules(Text(password)) != 1) {
    return Fail(
        "password refused: it needs at least 6 characters (at most 255) with an upper-case letter, a lower-case "
        "letter and a digit; nothing installed");
  }
  AllowStoreCreation(true);
  if (options.force) {
    DeleteTree(WithoutTrailingSeparator(ambercrypt::kBaseKeyPath));
    DeleteTree(NamesKeyPath());
    if (ReadInstallation().passwordDigest) return Fail("the existing installation cannot be removed");
  }
  ambercrypt::CCrypt crypt;
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  if (crypt.Hash(reinterpret_cast<const uint8_t *>(Text(password)), static_cast<uint32_t>(std::strlen(Text(password))),
                 digest, &length) != ERROR_SUCCESS) {
    return Fail("the password cannot be digested");
  }
  bool written;
  {
    ambercrypt::CRegCtrl reg;
    written = reg.Open(ambercrypt::kBaseKeyPath, 1, KEY_ALL_ACCESS) &&
                 reg.SetBinary(settings::kAdminPasswordDigest.name, digest, sizeof digest) == ERROR_SUCCESS;
  }
  ambercrypt::WipeMemory(digest, sizeof digest);
  if (!written) {
    std::string refusal = StoreRefusal();
    return Fail("the password digest cannot be stored" + (refusal.empty() ? std::string() : ": " + refusal));
  }
  // Attaching makes the library create the installation number.
  ambercrypt::ProcessAttach(nullptr);
  bool keyed =
      ambercrypt::AttachedSpiContext() != nullptr && ambercrypt::AttachedSpiContext()->store().keyMaterial() != nullptr;
  ambercrypt::ProcessDetach();
  Installation made = ReadInstallation();
  if (!keyed || !made.hasNumber) return Fail("the library did not create the installation number");
  // The number is not printed: the key material is built from it, and logs
  // outlive the store's file modes.
  std::printf("installed: administrator password set, installation number created\n");
#if !defined(_WIN32)
  // Whoever can read the store can recover every application's secret key.
  struct stat st;
  const std::string db = ambercrypt::posix::StateRoot() + "/registry.db";
  if (stat(db.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0) {
    std::fprintf(stderr,
                 "ambercrypt-admin: warning: %s is readable by every account, and with it every application's "
                 "secret key: give the store to the accounts that run hosts only (the Debian package's layout, "
                 "README \"Installing and packaging\")\n",
                 db.c_str());
  }
#endif
  return 0;
}

// ---- Administration exports --------------------------------------------------

int Restrict(const Options &options) {
  if (options.args.size() != 2) return UsageOf("restrict");
  const std::string &app = options.args[0], &modeText = options.args[1];
  uint32_t mode = 0xFFFFFFFFu;
  for (const ModeName &m : kModes) {
    if (modeText == m.name || modeText == std::to_string(m.mode)) mode = m.mode;
  }
  if (mode == 0xFFFFFFFFu) return Fail("mode " + modeText + ": use none, minimal, limited, standard, full, custom or 0-5");
  uint32_t mask = 0;
  if (mode == ambercrypt::kCustomMaskMode) {
    if (!options.has("--mask") || !ParseHex32(options.get("--mask"), &mask)) {
      return Fail("mode custom needs --mask HEX (the forbidden function bits, up to 8 hex digits)");
    }
  } else if (options.has("--mask")) {
    return Fail("--mask goes with mode custom (5) only");
  }
  std::string error;
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  CSecureBuffer password;
  if (!AdminPassword(options, &password)) return kExitFailure;
  uint32_t code = KoBioSPI_RestrictBSPFunction(app.c_str(), mode, mask, Text(password));
  if (code == AMBER_OK) Index(app);
  std::string done = app + ": restriction mode " + std::to_string(mode) + " (" + ModeNameOf(mode) + ")";
  if (mode == ambercrypt::kCustomMaskMode) done += ", forbidden mask " + Hex32(mask);
  return Report(code, done);
}

int SecretKey(const Options &options) {
  if (options.args.size() != 2) return UsageOf("secret-key");
  const std::string &app = options.args[0], &cipher = options.args[1];
  uint32_t algorithm = 0;
  if (cipher == "aes256") algorithm = AMBER_CALG_AES_256;
  else if (cipher == "3des") algorithm = AMBER_CALG_3DES;
  else return Fail("cipher " + cipher + ": use aes256 or 3des");
  std::string error;
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  CSecureBuffer password, key;
  if (!AdminPassword(options, &password)) return kExitFailure;
  if (!admin::ReadSecret("secret key", options.get("--key-file"), &key, &error)) return Fail("no secret key: " + error);
  uint32_t code = KoBioSPI_InitSecretKey(app.c_str(), algorithm, Text(key), Text(password));
  if (code == AMBER_OK) Index(app);
  return Report(code, app + ": secret key set, cipher " + cipher);
}

int Policy(const Options &options, bool verify) {
  const char *name = verify ? "verify-policy" : "identify-policy";
  if (options.args.size() != 1) return UsageOf(name);
  const std::string &app = options.args[0];
  int32_t maxFmr = 0, maxFailures = 0, lockMinutes = 0, flag = 0, method = 0;
  if (!ParseInt(options.get("--max-fmr"), &maxFmr) || !ParseInt(options.get("--max-failures"), &maxFailures) ||
      !ParseInt(options.get("--lock-minutes"), &lockMinutes) || !ParseInt(options.get("--method"), &method) ||
      (options.has("--flag") && (!ParseInt(options.get("--flag"), &flag) || (flag != 0 && flag != 1)))) {
    std::fprintf(stderr, "ambercrypt-admin: --max-fmr, --max-failures, --lock-minutes and --method take whole numbers, "
                         "--flag 0 or 1\n");
    return UsageOf(name);
  }
  if (method != AMBER_RESPONSE_SIGNATURE && method != AMBER_RESPONSE_HMAC) {
    return Fail("--method " + std::to_string(method) + ": use 30 (signature) or 40 (HMAC with a key text)");
  }
  std::string error;
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  CSecureBuffer password;
  if (!AdminPassword(options, &password)) return kExitFailure;
  ResponseMethodRecord record{};
  record.method = static_cast<uint32_t>(method);
  if (method == AMBER_RESPONSE_HMAC) {
    CSecureBuffer keyText;
    if (!admin::ReadSecret("key text", options.get("--key-file"), &keyText, &error)) {
      return Fail("no key text: " + error);
    }
    if (std::strlen(Text(keyText)) >= sizeof record.keyText) {
      return Report(AMBER_ERROR_FLAG | AMBER_E_BAD_KEY_TEXT, "");
    }
    std::memcpy(record.keyText, keyText.data(), std::strlen(Text(keyText)));
  }
  uint8_t flagByte = static_cast<uint8_t>(flag);
  uint32_t code = verify ? KoBioSPI_InitVerifyParameter(app.c_str(), maxFmr, maxFailures, lockMinutes, flagByte, record,
                                                        Text(password))
                         : KoBioSPI_InitIdentifyParameter(app.c_str(), maxFmr, maxFailures, lockMinutes, flagByte,
                                                          record, Text(password));
  ambercrypt::WipeMemory(&record, sizeof record);
  if (code == AMBER_OK) Index(app);
  return Report(code, app + ": " + (verify ? "verify" : "identify") + " policy set (max FMR " + std::to_string(maxFmr) +
                          ", " + std::to_string(maxFailures) + " failures, " + std::to_string(lockMinutes) +
                          " minutes, flag " + std::to_string(flag) + ", method " + std::to_string(method) + ")");
}

// A certificate argument: a file, else a thumbprint of a "ROOT" certificate.
bool Certificate(const std::string &argument, admin::CertificateInfo *info, std::string *error) {
  std::ifstream probe(argument, std::ios::binary);
  if (probe) return admin::ReadCertificateFile(argument, info, error);
  if (admin::IsThumbprint(argument)) return admin::FindRootByThumbprint(argument, info, error);
  *error = argument + ": neither a certificate file nor a SHA-1 thumbprint";
  return false;
}

int RegisterCertificate(const Options &options, bool signing) {
  const char *name = signing ? "signing-cert" : "end-user-cert";
  if (options.args.size() != 2) return UsageOf(name);
  const std::string &app = options.args[0];
  admin::CertificateInfo info;
  std::string error;
  if (!Certificate(options.args[1], &info, &error)) return Fail(error);
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  IssuerSerial id{};
  id.Issuer.cbData = static_cast<uint32_t>(info.issuer.size());
  id.Issuer.pbData = info.issuer.data();
  id.SerialNumber.cbData = static_cast<uint32_t>(info.serial.size());
  id.SerialNumber.pbData = info.serial.data();
  uint32_t code;
  if (signing) {
    CSecureBuffer password;
    if (!AdminPassword(options, &password)) return kExitFailure;
    code = KoBioSPI_InitCerfificate(app.c_str(), &id, Text(password));
  } else {
    code = KoBioSPI_SetEndUserParameter(app.c_str(), &id);
  }
  if (code == AMBER_OK) Index(app);
  return Report(code, app + ": " + (signing ? "BIR-signing" : "end-user") + " certificate " + info.subject +
                          ", serial " + admin::SerialText(info.serial));
}

int Delete(const Options &options) {
  if (options.args.size() != 1) return UsageOf("delete");
  std::string error;
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  uint32_t code = KoBioSPI_DeleteParameter(options.args[0].c_str());
  if (code == AMBER_OK) Index(options.args[0], true);
  return Report(code, options.args[0] + ": settings deleted");
}

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

bool DigestText(const FileBytes &data, std::string *text) {
  ambercrypt::CCrypt crypt;
  uint8_t digest[20];
  uint32_t length = sizeof digest;
  if (data.empty() ||
      crypt.Hash(data.data(), static_cast<uint32_t>(data.size()), digest, &length) != ERROR_SUCCESS) {
    return false;
  }
  char encoded[40] = {};
  uint64_t written = 0;
  ambercrypt::Base64Encode(digest, sizeof digest, encoded, &written);
  *text = std::string(encoded, written > 0 ? written - 1 : 0);  // without the line feed
  return text->size() == 28;
}

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
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  return Report(KoBioSPI_VerifyBSP(&uuid, digest.c_str()), "BSP " + options.args[0] + ": module digest " + digest +
                                                                " matches");
}

// ---- BIR files -----------------------------------------------------------------

const uint8_t kBirMagic[8] = {'A', 'C', 'B', 'I', 'R', 0x01, '\r', '\n'};

struct BirFile {
  BioAPI_BIR_HEADER header{};
  FileBytes data;
  FileBytes block;
  bool hasBlock = false;
};

uint32_t Le32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(FileBytes *out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool ParseBir(const FileBytes &bytes, BirFile *bir, std::string *error) {
  const size_t headerAt = sizeof kBirMagic, lengthAt = headerAt + sizeof(BioAPI_BIR_HEADER);
  if (bytes.size() < lengthAt + 8 || std::memcmp(bytes.data(), kBirMagic, sizeof kBirMagic) != 0) {
    *error = "not a BIR file (see ambercrypt-admin sign-bir --help)";
    return false;
  }
  std::memcpy(&bir->header, bytes.data() + headerAt, sizeof bir->header);
  size_t at = lengthAt;
  uint32_t dataLength = Le32(&bytes[at]);
  at += 4;
  if (bytes.size() - at < static_cast<size_t>(dataLength) + 4) {
    *error = "BIR file cut short";
    return false;
  }
  bir->data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + dataLength));
  at += dataLength;
  uint32_t blockLength = Le32(&bytes[at]);
  at += 4;
  if (bytes.size() - at != blockLength) {
    *error = "BIR file: the security block length does not match the file";
    return false;
  }
  bir->block.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
  bir->hasBlock = blockLength != 0;
  return true;
}

FileBytes SerializeBir(const BioAPI_BIR &bir) {
  FileBytes out(kBirMagic, kBirMagic + sizeof kBirMagic);
  const uint8_t *header = reinterpret_cast<const uint8_t *>(&bir.Header);
  out.insert(out.end(), header, header + sizeof bir.Header);
  PutLe32(&out, bir.BiometricData.Length);
  out.insert(out.end(), bir.BiometricData.Data, bir.BiometricData.Data + bir.BiometricData.Length);
  uint32_t blockLength = bir.SecurityBlock.Data != nullptr ? bir.SecurityBlock.Length : 0;
  PutLe32(&out, blockLength);
  if (blockLength != 0) out.insert(out.end(), bir.SecurityBlock.Data, bir.SecurityBlock.Data + blockLength);
  return out;
}

// Makes app the application the library's signing and verifying work on.
bool AddressApplication(const std::string &app) {
  return ambercrypt::AttachedSpiContext() != nullptr && ambercrypt::AttachedSpiContext()->SetApplication(app.c_str());
}

int SignBir(const Options &options) {
  if (options.args.size() != 3) return UsageOf("sign-bir");
  FileBytes bytes;
  std::string error;
  if (!ReadFileBytes(options.args[1], &bytes, &error)) return Fail(error);
  BirFile input;
  if (options.raw) input.data = bytes;
  else if (!ParseBir(bytes, &input, &error)) return Fail(options.args[1] + ": " + error);
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  if (!AddressApplication(options.args[0])) return Report(AMBER_ERROR_FLAG | AMBER_E_BAD_APPLICATION_NAME, "");
  BioAPI_BIR in{};
  in.Header = input.header;
  in.BiometricData.Length = static_cast<uint32_t>(input.data.size());
  in.BiometricData.Data = input.data.data();
  BioAPI_BIR out{};
  uint32_t code = KoBioSPI_DigitalSignBIR(&in, &out);
  if (code != AMBER_OK) return Report(code, "");
  FileBytes data(input.data.size() + 1), block(out.SecurityBlock.Length);
  out.BiometricData.Data = data.data();
  out.SecurityBlock.Data = block.data();
  code = KoBioSPI_DigitalSignBIR(&in, &out);
  if (code != AMBER_OK) return Report(code, "");
  if (!WriteFileBytes(options.args[2], SerializeBir(out), &error)) return Fail(error);
  return Report(code, options.args[2] + ": signed for " + options.args[0] + " (" + std::to_string(out.BiometricData.Length) +
                          " bytes of data, " + std::to_string(out.SecurityBlock.Length) + "-byte signature)");
}

int VerifyBir(const Options &options) {
  if (options.args.size() != 2) return UsageOf("verify-bir");
  FileBytes bytes;
  std::string error;
  if (!ReadFileBytes(options.args[1], &bytes, &error)) return Fail(error);
  BirFile file;
  if (!ParseBir(bytes, &file, &error)) return Fail(options.args[1] + ": " + error);
  if (!AttachInstalled(&error)) return Fail(error);
  Detach detach;
  if (!AddressApplication(options.args[0])) return Report(AMBER_ERROR_FLAG | AMBER_E_BAD_APPLICATION_NAME, "");
  BioAPI_BIR bir{};
  bir.Header = file.header;
  bir.BiometricData.Length = static_cast<uint32_t>(file.data.size());
  bir.BiometricData.Data = file.data.data();
  bir.SecurityBlock.Length = static_cast<uint32_t>(file.block.size());
  bir.SecurityBlock.Data = file.hasBlock ? file.block.data() : nullptr;
  return Report(KoBioSPI_VerifyReferenceBIR(&bir), options.args[1] + ": signature verified for " + options.args[0]);
}

// ---- show and list ---------------------------------------------------------------

// A labelled report that prints as text or JSON.
class Sheet {
 public:
  void Section(const std::string &key, const std::string &label) { sections_.push_back({key, label, {}}); }
  void Add(const std::string &key, const std::string &label, const std::string &text) {
    AddText(key, label, SecretString(text.begin(), text.end()));
  }
  // A value that may be a revealed secret: held, as every value here, in
  // strings that are wiped when the sheet goes.
  void AddText(const std::string &key, const std::string &label, const SecretString &text) {
    sections_.back().fields.push_back({key, label, JsonString(text), text});
  }
  void AddNumber(const std::string &key, const std::string &label, int64_t value) {
    const std::string number = std::to_string(value);
    const SecretString text(number.begin(), number.end());
    sections_.back().fields.push_back({key, label, text, text});
  }
  void AddBool(const std::string &key, const std::string &label, bool value) {
    sections_.back().fields.push_back({key, label, value ? "true" : "false", value ? "yes" : "no"});
  }
  void AddNull(const std::string &key, const std::string &label, const std::string &text) {
    sections_.back().fields.push_back({key, label, "null", SecretString(text.begin(), text.end())});
  }
  // A read the store failed to answer: the sheet would show a default ("not
  // set", "locked: no") that may be false, so it is not shown at all.
  void StoreFailed() { storeFailed_ = true; }
  bool storeFailed() const { return storeFailed_; }
  void Print(bool json) const {
    if (json) {
      std::printf("{");
      for (size_t s = 0; s < sections_.size(); ++s) {
        std::printf("%s%s: {", s ? ", " : "", JsonString(sections_[s].key).c_str());
        for (size_t f = 0; f < sections_[s].fields.size(); ++f) {
          const Field &field = sections_[s].fields[f];
          std::printf("%s%s: %s", f ? ", " : "", JsonString(field.key).c_str(), field.json.c_str());
        }
        std::printf("}");
      }
      std::printf("}\n");
      return;
    }
    for (const Part &s : sections_) {
      std::printf("%s\n", s.label.c_str());
      for (const Field &f : s.fields) std::printf("  %-22s %s\n", (f.label + ":").c_str(), f.text.c_str());
    }
  }

 private:
  struct Field {
    std::string key, label;
    SecretString json, text;
  };
  struct Part {
    std::string key, label;
    // A short value lives inside its Field: the buffers the vector outgrows
    // are wiped too.
    std::vector<Field, ambercrypt::WipingAllocator<Field>> fields;
  };
  std::vector<Part> sections_;
  bool storeFailed_ = false;
};

void AddInt(Sheet *r, SettingStore::Key &key, const ambercrypt::Setting &setting, const std::string &jsonKey,
            const std::string &label, int32_t *out = nullptr) {
  int32_t value = 0;
  uint32_t status = key.ReadInt(setting, &value);
  if (ambercrypt::IsStoreFailure(status)) r->StoreFailed();
  if (status == ERROR_SUCCESS) {
    r->AddNumber(jsonKey, label, value);
    if (out) *out = value;
  } else {
    r->AddNull(jsonKey, label, "not set");
    if (out) *out = INT32_MIN;
  }
}

// A secret as present/absent, or its text with reveal.
void AddSecret(Sheet *r, const std::string &jsonKey, const std::string &label, bool present, const SecretString &text,
               bool reveal) {
  if (!present) r->AddNull(jsonKey, label, "absent");
  else if (reveal) r->AddText(jsonKey, label, text);
  else r->Add(jsonKey, label, "present");
}

void AddCertificate(Sheet *r, SettingStore::Key &key, const ambercrypt::CertificateIdSettings &names) {
  ambercrypt::StoredCertificateId stored;
  if (stored.Read(key, names) != ERROR_SUCCESS) {
    r->AddBool("registered", "registered", false);
    return;
  }
  const CERT_ISSUER_SERIAL_NUMBER &id = stored.id();
  std::vector<uint8_t> issuer(id.Issuer.pbData, id.Issuer.pbData + id.Issuer.cbData);
  std::vector<uint8_t> serial(id.SerialNumber.pbData, id.SerialNumber.pbData + id.SerialNumber.cbData);
  r->AddBool("registered", "registered", true);
  r->Add("serial", "serial", admin::SerialText(serial));
  admin::CertificateInfo info;
  bool inRoot = admin::FindRootByIssuerSerial(issuer, serial, &info);
  r->AddBool("inRoot", "in \"ROOT\"", inRoot);
  if (inRoot) {
    r->Add("subject", "subject", info.subject);
    r->Add("issuer", "issuer", info.issuerText);
    r->Add("thumbprint", "thumbprint", info.thumbprint);
  }
}

void AddPolicy(Sheet *r, SettingStore::Key &app, bool verify, bool reveal) {
  using namespace ambercrypt::settings;
  r->Section(verify ? "verifyPolicy" : "identifyPolicy", verify ? "verify policy" : "identify policy");
  AddInt(r, app, verify ? kVerifyMaxFmr : kIdentifyMaxFmr, "maxFmr", "max FMR");
  AddInt(r, app, verify ? kVerifyMaxFailures : kIdentifyMaxFailures, "maxFailures", "max failures");
  AddInt(r, app, verify ? kVerifyLockMinutes : kIdentifyLockMinutes, "lockMinutes", "lock minutes");
  AddInt(r, app, verify ? kVerifyPolicyFlag : kIdentifyPolicyFlag, "flag", "policy flag");
  int32_t method = 0;
  AddInt(r, app, verify ? kVerifyResponseMethod : kIdentifyResponseMethod, "responseMethod", "response method",
         &method);
  int32_t length = 0;
  bool present = app.ReadInt(verify ? kVerifyKeyTextLength : kIdentifyKeyTextLength, &length) == ERROR_SUCCESS &&
                 length > 0 && length <= 255;
  SecretString text;
  if (present) {
    CSecureBuffer buffer(256);
    uint32_t read = 256;
    present = app.ReadBytes(verify ? kVerifyKeyText : kIdentifyKeyText, buffer.data(), &read) == ERROR_SUCCESS;
    if (present && reveal) text.assign(reinterpret_cast<const char *>(buffer.data()), std::min<uint32_t>(read, 256));
  }
  AddSecret(r, "keyText", method == AMBER_RESPONSE_HMAC ? "key text" : "key text (unused)", present, text, reveal);
}

void AddLockout(Sheet *r, SettingStore &store, bool verify) {
  using namespace ambercrypt::settings;
  r->Section(verify ? "verifyLockout" : "identifyLockout", verify ? "verify lockout" : "identify lockout");
  SettingStore::Key info = store.Open(SettingKey::kUserInfo, KEY_READ);
  if (!info.ok()) {
    r->AddNull("failures", "failures", "no lockout state yet");
    r->AddBool("locked", "locked", false);
    r->AddNull("releaseTime", "release time", "none");
    return;
  }
  AddInt(r, info, verify ? kVerifyFailureCount : kIdentifyFailureCount, "failures", "failures");
  int64_t release = 0;
  uint32_t status = info.ReadInt64(verify ? kVerifyReleaseTime : kIdentifyReleaseTime, &release);
  if (ambercrypt::IsStoreFailure(status)) r->StoreFailed();
  bool hasRelease = status == ERROR_SUCCESS;
  bool locked = hasRelease && static_cast<uint64_t>(release) > ambercrypt::LocalFileTimeNow();
  r->AddBool("locked", "locked", locked);
  if (hasRelease && release > 0) {
    r->Add("releaseTime", locked ? "locked until" : "last release", LocalTimeText(release) + " (local time)");
  } else {
    r->AddNull("releaseTime", "release time", "none");
  }
}

int Show(const Options &options) {
  if (options.args.size() != 1) return UsageOf("show");
  const std::string &name = options.args[0];
  Installation here = ReadInstallation();
  if (!here.passwordDigest) return Fail(NoInstallation());
  if (options.reveal) {
    CSecureBuffer password;
    if (!AdminPassword(options, &password)) return kExitFailure;
    if (ambercrypt::VerifyAdminPassword(Text(password)) != 1) {
      return Report(AMBER_ERROR_FLAG | AMBER_E_BAD_ADMIN_PASSWORD, "");
    }
  }
  SettingStore store;
  if (!store.SetApplication(name.c_str())) return Report(AMBER_ERROR_FLAG | AMBER_E_BAD_APPLICATION_NAME, "");
  if (!store.LoadInstallationKey()) return Fail("the installation number cannot be read");
  SettingStore::Key app = store.Open(SettingKey::kApplication, KEY_READ);
  std::string keyName(store.appKey(), 28);
  Sheet r;
  r.Section("application", "application");
  r.Add("name", "name", name);
  r.Add("appKey", "AppKey", keyName);
  r.AddBool("present", "settings stored", app.ok());
  if (!app.ok()) {
    r.Print(options.json);
    return Fail(name + ": no settings stored for this application");
  }
  Index(name, false, true);

  r.Section("restriction", "restriction");
  int32_t mode = 0;
  if (app.ReadInt(settings::kRestrictionMode, &mode) == ERROR_SUCCESS) {
    r.AddNumber("mode", "mode", mode);
    r.Add("modeName", "mode name", ModeNameOf(mode));
  } else {
    r.AddNull("mode", "mode", "not set");
  }
  int32_t mask = 0;
  if (app.ReadInt(settings::kCustomMask, &mask) == ERROR_SUCCESS) {
    r.Add("customMask", mode == 5 ? "custom mask" : "custom mask (unused)", Hex32(static_cast<uint32_t>(mask)));
  } else {
    r.AddNull("customMask", "custom mask", "not set");
  }

  r.Section("secretKey", "secret key");
  int32_t state = 0, algorithm = 0;
  bool keySet = app.ReadInt(settings::kSecretKeyState, &state) == ERROR_SUCCESS && state == 1;
  r.AddBool("set", "set", keySet);
  if (app.ReadInt(settings::kCipherAlgorithm, &algorithm) == ERROR_SUCCESS) {
    r.Add("cipher", "cipher",
          algorithm == static_cast<int32_t>(AMBER_CALG_AES_256) ? "aes256"
          : algorithm == static_cast<int32_t>(AMBER_CALG_3DES)  ? "3des"
                                                                 : Hex32(static_cast<uint32_t>(algorithm)));
  } else {
    r.AddNull("cipher", "cipher", "not set");
  }
  CSecureBuffer block(ambercrypt::kSecretKeyBlockSize);
  uint32_t blockLength = ambercrypt::kSecretKeyBlockSize;
  bool blockPresent = app.ReadBytes(settings::kSecretKeyBlock, block.data(), &blockLength) == ERROR_SUCCESS &&
                      blockLength == ambercrypt::kSecretKeyBlockSize;
  SecretString keyText;
  if (blockPresent && options.reveal) {
    // The key, then '0' padding up to 31 characters, then the fixed suffix:
    // the characters before the suffix are shown as they are stored.
    size_t used = strnlen(reinterpret_cast<const char *>(block.data()), blockLength);
    size_t suffix = sizeof ambercrypt::SecretKeySuffix - 1;
    keyText.assign(reinterpret_cast<const char *>(block.data()), used > suffix ? used - suffix : 0);
  }
  AddSecret(&r, "key", "key", blockPresent, keyText + (keyText.size() == 31 ? " (stored padded with '0' to 31 characters)" : ""),
            options.reveal);

  AddPolicy(&r, app, true, options.reveal);
  AddPolicy(&r, app, false, options.reveal);
  r.Section("signingCertificate", "BIR-signing certificate");
  AddCertificate(&r, app, ambercrypt::kSigningCertificate);
  r.Section("endUserCertificate", "end-user certificate");
  AddCertificate(&r, app, ambercrypt::kEndUserCertificate);
  AddLockout(&r, store, true);
  AddLockout(&r, store, false);
  if (r.storeFailed()) {
    std::string refusal = StoreRefusal();
    return Fail(name + ": the store cannot be read" + (refusal.empty() ? std::string() : " (" + refusal + ")") +
                "; nothing shown");
  }
  r.Print(options.json);
  return 0;
}

int List(const Options &options) {
  if (!options.args.empty()) return UsageOf("list");
  Installation here = ReadInstallation();
  if (!here.passwordDigest && here.applications.empty()) return Fail(NoInstallation());
  if (options.json) std::printf("[");
  bool first = true;
  for (const std::string &keyName : here.applications) {
    std::string name = IndexedName(keyName);
    if (options.json) {
      std::printf("%s{\"appKey\": %s, \"name\": %s}", first ? "" : ", ", JsonString(keyName).c_str(),
                  name.empty() ? "null" : JsonString(name).c_str());
    } else {
      std::printf("%s  %s\n", keyName.c_str(), name.empty() ? "(unnamed)" : name.c_str());
    }
    first = false;
  }
  if (options.json) std::printf("]\n");
  return 0;
}

// ---- cert ---------------------------------------------------------------------

int Cert(const Options &options) {
  if (options.args.empty()) return UsageOf("cert");
#if defined(_WIN32)
  return Fail("the Windows \"ROOT\" store is the system's: use certutil -addstore Root FILE (or certmgr)");
#else
  const std::string &verb = options.args[0];
  std::string message;
  if (verb == "import" && options.args.size() == 2) {
    if (!admin::ImportRoot(options.args[1], options.get("--key"), options.get("--name"), &message)) {
      return Fail(message);
    }
    std::printf("%s\n", message.c_str());
    return 0;
  }
  if (verb == "remove" && options.args.size() == 2) {
    if (!admin::IsThumbprint(options.args[1])) return Fail(options.args[1] + ": not a SHA-1 thumbprint");
    if (!admin::RemoveRoot(options.args[1], &message)) return Fail(message);
    std::printf("%s\n", message.c_str());
    return 0;
  }
  if (verb == "list" && options.args.size() == 1) {
    std::vector<admin::CertificateInfo> all;
    std::vector<std::string> notes;
    if (!admin::ListRoot(&all, &notes, &message)) return Fail(message);
    for (const std::string &note : notes) std::fprintf(stderr, "ambercrypt-admin: note: %s\n", note.c_str());
    if (options.json) std::printf("[");
    for (size_t i = 0; i < all.size(); ++i) {
      const admin::CertificateInfo &c = all[i];
      if (options.json) {
        std::printf("%s{\"thumbprint\": %s, \"subject\": %s, \"issuer\": %s, \"serial\": %s, \"key\": %s, \"file\": %s}",
                    i ? ", " : "", JsonString(c.thumbprint).c_str(), JsonString(c.subject).c_str(),
                    JsonString(c.issuerText).c_str(), JsonString(admin::SerialText(c.serial)).c_str(),
                    c.hasKey ? "true" : "false", JsonString(c.file).c_str());
      } else {
        std::printf("%s  %s  serial %s%s\n", c.thumbprint.c_str(), c.subject.c_str(),
                    admin::SerialText(c.serial).c_str(), c.hasKey ? "  (with key)" : "");
      }
    }
    if (options.json) std::printf("]\n");
    return 0;
  }
  return UsageOf("cert");
#endif
}

int Codes() {
  for (const CodeMeaning &c : kCodes) std::printf("%s\n", CodeLine(c.code).c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  // Before any password, key or BIR is read, and for the whole run.
  ambercrypt::tools::KeepSecretsOutOfCoreDumps();
  // Only install makes a store, and only once it is about to write one.
  AllowStoreCreation(false);
  if (argc < 2) return Usage(stderr);
  std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    return argc > 2 ? CommandHelp(argv[2]) : Usage(stdout);
  }
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, 2, &options, &error)) {
    std::fprintf(stderr, "ambercrypt-admin: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options.help) return CommandHelp(command);
  for (const Command &c : kCommands) {
    if (command != c.name) continue;
    for (const std::string &name : options.given) {
      if (std::strstr(c.options, (name + " ").c_str()) == nullptr) {
        std::fprintf(stderr, "ambercrypt-admin: %s takes no option %s\n", c.name, name.c_str());
        return UsageOf(command);
      }
    }
  }
  if (command == "install") return Install(options);
  if (command == "restrict") return Restrict(options);
  if (command == "secret-key") return SecretKey(options);
  if (command == "verify-policy") return Policy(options, true);
  if (command == "identify-policy") return Policy(options, false);
  if (command == "signing-cert") return RegisterCertificate(options, true);
  if (command == "end-user-cert") return RegisterCertificate(options, false);
  if (command == "delete") return Delete(options);
  if (command == "verify-bsp") return VerifyBsp(options);
  if (command == "sign-bir") return SignBir(options);
  if (command == "verify-bir") return VerifyBir(options);
  if (command == "show") return Show(options);
  if (command == "list") return List(options);
  if (command == "cert") return Cert(options);
  if (command == "codes") return Codes();
  std::fprintf(stderr, "ambercrypt-admin: unknown command %s\n", command.c_str());
  return Usage(stderr);
}
