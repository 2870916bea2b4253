// kvbtool's command line: a table of subcommands, the argument parser and
// the dispatcher. Adding a command is adding a row to the table.
//
// kvbtool COMMAND DB [OPERANDS] [--hex] [--password P]
//
// Exit status: 0 success, 1 failure (the database cannot be opened or read,
// or the check found damage), 2 usage error.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kivo::tools {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The environment variable a password may come from, so that it does not
// show in the process list.
inline constexpr char kPasswordVariable[] = "KARTOVA_PASSWORD";

// Options only some subcommands take (--password and --help every one
// takes), as bits.
enum TCommandOptions : unsigned {
  kNoOptions = 0,
  kHexOption = 1,  // --hex
};

// What a subcommand works with.
struct TToolContext {
  std::ostream& out;
  std::ostream& err;
  std::string password;  // from --password, else from the environment, else empty
  bool hex = false;      // --hex was given
};

struct TSubcommand {
  const char* name;
  const char* operands;  // shown in the help, e.g. "DB NAME"
  const char* summary;   // one line for the help
  int operand_count;     // the number of operands it takes
  unsigned options;      // the TCommandOptions it takes
  int (*run)(TToolContext& context, const std::vector<std::string>& operands);
};

const std::vector<TSubcommand>& Subcommands();

// The help text.
std::string HelpText();

// Runs one kvbtool invocation (`args` without the program name) and returns
// its exit status. `environmentPassword` is the value of KARTOVA_PASSWORD,
// or nullptr when it is not set. Never throws.
int RunKvbtool(const std::vector<std::string>& args, const char* environmentPassword,
               std::ostream& out, std::ostream& err);

}  // namespace kivo::tools
