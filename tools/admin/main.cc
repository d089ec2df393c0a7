// ambercrypt-admin: every administration operation from a shell. The commands
// are the rows of command_table.cc; main finds the row and runs it.
#include <cstdio>
#include <string>

#include "tools/admin/command.h"
#include "tools/tool_platform.h"

using ambercrypt::admin::Command;
using ambercrypt::admin::Options;

int main(int argc, char **argv) {
  namespace admin = ambercrypt::admin;
  // Before any password, key or BIR is read, and for the whole run.
  ambercrypt::tools::KeepSecretsOutOfCoreDumps();
  if (argc < 2) return admin::Usage(stderr);
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    return argc > 2 ? admin::CommandHelp(argv[2]) : admin::Usage(stdout);
  }
  Options options;
  std::string error;
  if (!admin::ParseOptions(argc, argv, 2, &options, &error)) {
    std::fprintf(stderr, "ambercrypt-admin: %s\n", error.c_str());
    return admin::kExitUsage;
  }
  if (options.help) return admin::CommandHelp(name);
  const Command *command = admin::FindCommand(name);
  if (command == nullptr) {
    std::fprintf(stderr, "ambercrypt-admin: unknown command %s\n", name.c_str());
    return admin::Usage(stderr);
  }
  if (!admin::TakesItsOptions(*command, options)) return admin::kExitUsage;
  return command->run(options);
}
