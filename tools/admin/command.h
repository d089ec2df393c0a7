// command.h: what the commands of ambercrypt-admin share. Each command (or
// group of commands) is one file of tools/admin/ with one function per
// command; command_table.cc lists them, and that table both describes each
// command (its name, arguments, options and help: --help is printed from it,
// and a manual page can be) and dispatches it. Commands read the store through
// the administration layer (tools/adminlib/admin_layer.h) and change it
// through the library's exports; what differs between the targets is below
// them, in the tools' platform layer (tool_platform.h, tool_store.h).
#ifndef AMBERCRYPT_TOOLS_ADMIN_COMMAND_H_
#define AMBERCRYPT_TOOLS_ADMIN_COMMAND_H_

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "crypto/secure_buffer.h"
#include "tools/adminlib/admin_layer.h"

namespace ambercrypt::admin {

// Exit statuses: success is 0.
constexpr int kExitFailure = 1;  // refused or failed
constexpr int kExitUsage = 2;    // the command line is wrong

// A command line after the command's name.
struct Options {
  std::vector<std::string> args;              // positional
  std::map<std::string, std::string> values;  // --name VALUE
  bool json = false, reveal = false, force = false, raw = false, help = false;
  std::vector<std::string> given;  // every option named, for the command's row to check
  bool has(const char *name) const { return values.count(name) != 0; }
  std::string get(const char *name) const {
    auto it = values.find(name);
    return it == values.end() ? std::string() : it->second;
  }
};

// One row of the table.
struct Command {
  const char *name;
  const char *arguments;  // the synopsis after the name
  const char *help;       // lines of at most 110 characters
  const char *options;    // the options it takes, separated by spaces
  int (*run)(const Options &options);
};

// The table (command_table.cc), in the order --help lists it, and the options
// that take a value (every other option is a switch).
extern const Command kCommands[];
extern const size_t kCommandCount;
extern const char *const kValueOptions[];
extern const size_t kValueOptionCount;
// What --help says after the list of commands.
extern const char kHelpFooter[];

// ---- The command line (command.cc) --------------------------------------------

// The row named name, or null.
const Command *FindCommand(const std::string &name);
// Parses argv[first..]; false with *error for an unknown option, an option
// without its value, or a secret given on the command line.
bool ParseOptions(int argc, char **argv, int first, Options *options, std::string *error);
// True when every option given is one the command takes; else says which
// is not and prints the command's synopsis.
bool TakesItsOptions(const Command &command, const Options &options);
// The tool's --help (to stdout: exit 0) or its usage after a mistake (to
// stderr: exit 2); one command's help; one command's synopsis after a mistake.
int Usage(FILE *to);
int CommandHelp(const std::string &name);
int UsageOf(const std::string &name);

// ---- Results -----------------------------------------------------------------

// A result code as the caller receives it, and its meaning ("0x8000804:
// administrator password refused").
std::string CodeLine(uint32_t code);
// Prints a library result (the code and its meaning on failure) and returns
// the exit status.
int Report(uint32_t code, const std::string &success);
// Prints a failure and returns kExitFailure.
int Fail(const std::string &message);
// Prints a note that changes nothing about the command's result.
void Note(const std::string &message);

// ---- Secrets and texts ---------------------------------------------------------

// The administrator password, from --password-file, a prompt or standard
// input; false (having said why) when there is none.
bool AdminPassword(const Options &options, CSecureBuffer *password);
// A secret buffer's text (secrets are read NUL-terminated).
const char *Text(const CSecureBuffer &buffer);
bool ParseInt(const std::string &text, int32_t *value);
bool ParseHex32(std::string text, uint32_t *value);
std::string Hex32(uint32_t value);

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

// ---- Around an administration export ----------------------------------------------

// What a command does around the export it calls: the library attached (the
// installation must exist), the administrator password read when the export
// takes one, and afterwards the result reported and, on success, the
// application's name kept in (or dropped from) the tool's index.
class ExportCall {
 public:
  // False when the command has failed, having said why.
  bool Prepare(const Options &options, bool withPassword);
  const char *password() const { return Text(password_); }
  // The exit status: code reported, done printed on success.
  int Finish(const std::string &app, uint32_t code, const std::string &done, bool forgetName = false);

 private:
  adminlib::AttachedLibrary library_;
  CSecureBuffer password_;
};

// The name of a restriction mode (restrict.cc), or "invalid".
const char *ModeName(int64_t mode);

// ---- The commands, one function each -------------------------------------------

int Install(const Options &options);              // install.cc
int Restrict(const Options &options);             // restrict.cc
int SecretKey(const Options &options);            // secret_key.cc
int VerifyPolicy(const Options &options);         // policy.cc
int IdentifyPolicy(const Options &options);       // policy.cc
int SigningCertificate(const Options &options);   // certificates.cc
int EndUserCertificate(const Options &options);   // certificates.cc
int RootStore(const Options &options);            // certificates.cc (cert)
int Delete(const Options &options);               // delete.cc
int VerifyBsp(const Options &options);            // bsp.cc
int SignBir(const Options &options);              // bir.cc
int VerifyBir(const Options &options);            // bir.cc
int Show(const Options &options);                 // show.cc
int List(const Options &options);                 // show.cc
int Codes(const Options &options);                // codes.cc

}  // namespace ambercrypt::admin

#endif  // AMBERCRYPT_TOOLS_ADMIN_COMMAND_H_
