#include "tools/subcommands.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "platform/errors.h"
#include "tools/opened_database.h"
#include "tools/table_reading.h"

namespace kivo::tools {

namespace {

// A command line kvbtool cannot make sense of.
class EUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int RunInfo(TToolContext& context, const std::vector<std::string>& operands) {
  OpenInspectedDatabase(operands[0], context.password)->WriteInfo(context.out);
  return kExitOk;
}

int RunLs(TToolContext& context, const std::vector<std::string>& operands) {
  for (const TListedFile& file :
       OpenInspectedDatabase(operands[0], context.password)->ListFiles()) {
    char size[32];
    if (file.directory)
      std::snprintf(size, sizeof size, "%14s", "<DIR>");
    else
      std::snprintf(size, sizeof size, "%14lld", static_cast<long long>(file.size));
    context.out << size << "  " << file.name << "\n";
  }
  return kExitOk;
}

// The tables of `db`; a table's password is spelled in the engine's code page.
TTableSource Tables(TInspectedDatabase& db, const std::string& path, const std::string& password) {
  return TTableSource{path, db.PlainFiles(), db.AnsiNames(), ToEngineText(password)};
}

int RunTables(TToolContext& context, const std::vector<std::string>& operands) {
  auto db = OpenInspectedDatabase(operands[0], context.password);
  return WriteTables(Tables(*db, operands[0], context.password), context.out) ? kExitOk
                                                                              : kExitFailure;
}

int RunDump(TToolContext& context, const std::vector<std::string>& operands) {
  auto db = OpenInspectedDatabase(operands[0], context.password);
  const std::string table = db->AnsiNames() ? ToEngineText(operands[1]) : operands[1];
  TDumpOptions options;
  options.hexBLOBs = context.hex;
  const std::vector<std::string> problems =
      DumpTable(Tables(*db, operands[0], context.password), table, options, context.out);
  context.out.flush();
  if (!context.out) throw std::runtime_error("cannot write to standard output");
  for (const std::string& problem : problems) context.err << "kvbtool: " << problem << "\n";
  return problems.empty() ? kExitOk : kExitFailure;
}

int RunCheck(TToolContext& context, const std::vector<std::string>& operands) {
  auto db = OpenInspectedDatabase(operands[0], context.password);
  std::vector<std::string> problems = db->Check();
  for (std::string& problem : CheckTables(Tables(*db, operands[0], context.password)))
    problems.push_back(std::move(problem));
  if (problems.empty()) {
    context.out << "ok\n";
    return kExitOk;
  }
  for (const std::string& problem : problems) context.out << problem << "\n";
  return kExitFailure;
}

int RunCat(TToolContext& context, const std::vector<std::string>& operands) {
  OpenInspectedDatabase(operands[0], context.password)->CopyFile(operands[1], context.out);
  context.out.flush();
  if (!context.out) throw std::runtime_error("cannot write to standard output");
  return kExitOk;
}

const TSubcommand* FindSubcommand(const std::string& name) {
  for (const TSubcommand& command : Subcommands())
    if (name == command.name) return &command;
  return nullptr;
}

struct TInvocation {
  const TSubcommand* command = nullptr;
  std::vector<std::string> operands;
  std::optional<std::string> password;
  bool hex = false;
  bool help = false;
};

TInvocation Parse(const std::vector<std::string>& args) {
  TInvocation inv;
  bool optionsEnded = false;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      words.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      inv.help = true;
    } else if (arg == "--password") {
      if (i + 1 >= args.size()) throw EUsage("--password needs a value");
      inv.password = args[++i];
    } else if (arg.rfind("--password=", 0) == 0) {
      inv.password = arg.substr(11);
    } else if (arg == "--hex") {
      inv.hex = true;
    } else {
      throw EUsage("unknown option '" + arg + "'");
    }
  }
  if (words.empty()) {
    if (inv.help) return inv;
    throw EUsage("no command given");
  }
  if (words[0] == "help" && !inv.help) {
    inv.help = true;
    words.erase(words.begin());
    if (words.empty()) return inv;
  }
  inv.command = FindSubcommand(words[0]);
  if (!inv.command) throw EUsage("unknown command '" + words[0] + "'");
  inv.operands.assign(words.begin() + 1, words.end());
  if (inv.hex && !(inv.command->options & kHexOption))
    throw EUsage(std::string("'") + inv.command->name + "' takes no --hex");
  if (!inv.help && static_cast<int>(inv.operands.size()) != inv.command->operand_count)
    throw EUsage(std::string("'") + inv.command->name + "' takes " + inv.command->operands);
  return inv;
}

std::string CommandHelp(const TSubcommand& command) {
  return std::string("Usage: kvbtool ") + command.name + " " + command.operands +
         (command.options & kHexOption ? " [--hex]" : "") + " [--password P]\n" + command.summary +
         "\n";
}

}  // namespace

const std::vector<TSubcommand>& Subcommands() {
  static const std::vector<TSubcommand> table = {
      {"info", "DB", "container geometry and header fields, part files and free space", 1,
       kNoOptions, RunInfo},
      {"ls", "DB", "the internal files with their sizes", 1, kNoOptions, RunLs},
      {"check", "DB",
       "integrity check of the files and of every table (header against .dat length,\n"
       "                  records, saved index arrays): lists each problem found and exits\n"
       "                  1, or prints \"ok\"",
       1, kNoOptions, RunCheck},
      {"tables", "DB", "each table's header: version, fields, record count, identifier, indexes", 1,
       kNoOptions, RunTables},
      {"dump", "DB TABLE",
       "the rows of TABLE as comma-separated UTF-8 text, nulls empty; a memo shows\n"
       "                  its text (\"\" when empty), another BLOB its size (\"<N bytes>\")\n"
       "                  or with --hex its bytes (\"0x...\"); a BLOB that cannot be read\n"
       "                  shows as \"<damaged>\", is reported, and the exit status is 1",
       2, kHexOption, RunDump},
      {"cat", "DB NAME", "writes the bytes of the internal file NAME to standard output", 2,
       kNoOptions, RunCat},
  };
  return table;
}

std::string HelpText() {
  std::string text =
      "Usage: kvbtool COMMAND DB [NAME] [--hex] [--password P]\n"
      "\n"
      "Inspects a database: a single-file container (.kvb) or a directory\n"
      "database. The database is only read, never changed.\n"
      "\n"
      "Commands:\n";
  for (const TSubcommand& command : Subcommands()) {
    std::string left = std::string("  ") + command.name + " " + command.operands;
    left.resize(std::max<std::size_t>(left.size() + 2, 18), ' ');
    text += left + command.summary + "\n";
  }
  text +=
      "\n"
      "Options:\n"
      "  --hex           dump: BLOB values other than memos as hexadecimal bytes\n"
      "                  (\"0x\" and two digits a byte) instead of their size\n"
      "  --password P    the password of an encrypted container (and of files\n"
      "                  and tables with a password of their own); without it the\n"
      "                  environment variable " +
      std::string(kPasswordVariable) +
      " is used, which keeps\n"
      "                  the password out of the process list\n"
      "  -h, --help      this text\n"
      "\n"
      "Exit status: 0 success, 1 failure or damage found, 2 usage error.\n";
  return text;
}

int RunKvbtool(const std::vector<std::string>& args, const char* environmentPassword,
               std::ostream& out, std::ostream& err) {
  TInvocation inv;
  try {
    inv = Parse(args);
  } catch (const EUsage& e) {
    err << "kvbtool: " << e.what() << "\nTry 'kvbtool --help'.\n";
    return kExitUsage;
  }
  if (inv.help) {
    out << (inv.command ? CommandHelp(*inv.command) : HelpText());
    return kExitOk;
  }
  TToolContext context{out, err, {}, inv.hex};
  if (inv.password)
    context.password = *inv.password;
  else if (environmentPassword)
    context.password = environmentPassword;
  try {
    return inv.command->run(context, inv.operands);
  } catch (const std::bad_alloc&) {
    out.flush();
    err << "kvbtool: out of memory\n";
  } catch (const std::exception& e) {
    out.flush();
    err << "kvbtool: " << e.what() << "\n";
    for (const std::string& cause : CausesOf(e)) err << "kvbtool: cause: " << cause << "\n";
  } catch (...) {
    out.flush();
    err << "kvbtool: unexpected error\n";
  }
  return kExitFailure;
}

}  // namespace kivo::tools
