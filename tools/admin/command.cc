// command.cc: the command line, --help made from the table, and how results
// are printed (see command.h).
#include "tools/admin/command.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include "ambercrypt/ambercrypt.h"
#include "tools/admin/console.h"

namespace ambercrypt::admin {

namespace {

const char kTool[] = "ambercrypt-admin";

std::string Synopsis(const Command &command) {
  std::string synopsis = command.name;
  if (command.arguments[0] != '\0') synopsis += std::string(" ") + command.arguments;
  return synopsis;
}

bool IsValueOption(const std::string &name) {
  return std::find(kValueOptions, kValueOptions + kValueOptionCount, name) != kValueOptions + kValueOptionCount;
}

}  // namespace

std::string CodeLine(uint32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%" PRIX32, code);
  return std::string(hex) + ": " + AmberResultText(code);
}

const Command *FindCommand(const std::string &name) {
  for (size_t i = 0; i < kCommandCount; ++i) {
    if (name == kCommands[i].name) return &kCommands[i];
  }
  return nullptr;
}

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
      if (!IsValueOption(name)) {
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

bool TakesItsOptions(const Command &command, const Options &options) {
  std::istringstream taken(command.options);
  const std::vector<std::string> takes{std::istream_iterator<std::string>(taken), {}};
  for (const std::string &name : options.given) {
    if (std::find(takes.begin(), takes.end(), name) != takes.end()) continue;
    std::fprintf(stderr, "%s: %s takes no option %s\n", kTool, command.name, name.c_str());
    UsageOf(command.name);
    return false;
  }
  return true;
}

int Usage(FILE *to) {
  std::fprintf(to, "usage: %s COMMAND [ARGS] [OPTIONS]   (%s COMMAND --help for one)\n\n", kTool, kTool);
  for (size_t i = 0; i < kCommandCount; ++i) std::fprintf(to, "  %s\n", Synopsis(kCommands[i]).c_str());
  std::fprintf(to, "\n%s", kHelpFooter);
  return to == stdout ? 0 : kExitUsage;
}

int CommandHelp(const std::string &name) {
  const Command *command = FindCommand(name);
  if (command == nullptr) return Usage(stdout);
  std::printf("usage: %s %s\n\n%s\n", kTool, Synopsis(*command).c_str(), command->help);
  return 0;
}

int UsageOf(const std::string &name) {
  if (const Command *command = FindCommand(name)) {
    std::fprintf(stderr, "usage: %s %s\n", kTool, Synopsis(*command).c_str());
  }
  return kExitUsage;
}

int Report(uint32_t code, const std::string &success) {
  if (code == AMBER_OK) {
    std::printf("%s\n", success.c_str());
    return 0;
  }
  return Fail(CodeLine(code));
}

int Fail(const std::string &message) {
  std::fprintf(stderr, "%s: %s\n", kTool, message.c_str());
  return kExitFailure;
}

void Note(const std::string &message) { std::fprintf(stderr, "%s: note: %s\n", kTool, message.c_str()); }

bool AdminPassword(const Options &options, CSecureBuffer *password) {
  std::string error;
  if (ReadSecret("administrator password", options.get("--password-file"), password, &error)) return true;
  Fail("no administrator password: " + error);
  return false;
}

bool ExportCall::Prepare(const Options &options, bool withPassword) {
  std::string error;
  if (!library_.Attach(&error)) {
    Fail(error);
    return false;
  }
  return !withPassword || AdminPassword(options, &password_);
}

int ExportCall::Finish(const std::string &app, uint32_t code, const std::string &done, bool forgetName) {
  if (code == AMBER_OK && !(forgetName ? adminlib::ForgetName(app) : adminlib::RememberName(app))) {
    Note("the name index (HKLM\\" + adminlib::NameIndexPath() + ") cannot be written");
  }
  return Report(code, done);
}

const char *Text(const CSecureBuffer &buffer) { return reinterpret_cast<const char *>(buffer.data()); }

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

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
  return text;
}

}  // namespace ambercrypt::admin
