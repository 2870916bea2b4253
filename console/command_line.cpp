#include "console/command_line.h"

#include <cstddef>
#include <string_view>

namespace kartova {

namespace {

// Upper case of the ASCII letters only: option words are plain ASCII, and
// other bytes must never make a word match.
std::string AsciiUpper(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& given) {
  TCommandLine cl;
  static constexpr std::string_view kPasswordFile = "--password-file";
  std::vector<std::string> params;
  params.reserve(given.size());
  for (std::size_t k = 0; k < given.size(); ++k) {
    const std::string& p = given[k];
    if (p == kPasswordFile) {
      if (k + 1 >= given.size() || given[k + 1].empty()) {
        cl.error = "--password-file needs the name of a file";
      } else {
        cl.password_file = given[k + 1];
      }
      ++k;
    } else if (p.size() > kPasswordFile.size() &&
               p.compare(0, kPasswordFile.size(), kPasswordFile) == 0 &&
               p[kPasswordFile.size()] == '=') {
      cl.password_file = p.substr(kPasswordFile.size() + 1);
      if (cl.password_file.empty()) cl.error = "--password-file needs the name of a file";
    } else {
      params.push_back(p);
    }
  }
  const std::size_t count = params.size();
  cl.has_database_parameter = count >= 1;
  if (count >= 1) cl.database_file = params[0];
  if (count >= 2) cl.script_file = params[1];

  // i is the 1-based number of the parameter under inspection.
  std::size_t i = 3;
  while (i <= count) {
    const std::string word = AsciiUpper(params[i - 1]);
    const bool has_value = i + 1 <= count;
    if ((word == "-E" || word == "-EXPORTNAME") && has_value) {
      cl.export_file = params[i];
      i += 2;
    } else if ((word == "-O" || word == "-OUTPUTNAME") && has_value) {
      cl.output_file = params[i];
      i += 2;
    } else if ((word == "-D" || word == "-DELIMITER") && has_value) {
      cl.delimiter = params[i];
      i += 2;
    } else if (word == "-B" || word == "-BATCH") {
      cl.batch_mode = true;
      i += 1;
    } else if (word == "-FNL" || word == "FIELDNAMESINFIRSTLINECSV") {
      cl.field_names_in_first_line = true;
      i += 1;
    } else {
      i += 1;
    }
  }
  return cl;
}

std::string CommandLineHelp(const std::string& programName) {
  return "Usage: " + programName +
         " [DATABASE [SCRIPT] [options]]\n"
         "\n"
         "  DATABASE   the .kvb database file to open (parameter 1); one that does\n"
         "             not exist is created. \"\" opens the table files of the working\n"
         "             folder; without it the most recently used database is opened.\n"
         "  SCRIPT     an SQL script file loaded into the editor (parameter 2)\n"
         "\n"
         "Options, read from the third parameter on, in any letter case:\n"
         "  -E, -EXPORTNAME FILE            run SCRIPT as a query, write its rows to FILE\n"
         "                                  as delimited text, then exit; FILE \"-\" is\n"
         "                                  standard output\n"
         "  -D, -DELIMITER TEXT             delimiter of the export (default \",\"); a\n"
         "                                  value holding it is put in double quotes\n"
         "  -FNL, FieldNamesInFirstLineCSV  write the field names as the export's first line\n"
         "  -B, -BATCH                      run SCRIPT unattended, then exit\n"
         "  -O, -OUTPUTNAME FILE            where a failed batch run or export writes its\n"
         "                                  error (\"ClassName: message\"); without it the\n"
         "                                  error goes to standard error\n"
         "\n"
         "Anywhere on the line:\n"
         "  --password-file FILE            the password of an encrypted database: the\n"
         "                                  file's first line; the file must be readable\n"
         "                                  by its owner only (chmod 600)\n"
         "  --help                          show this text\n"
         "  --screenshot FILE.png [--query | --table NAME [--row N]] [DATABASE [SCRIPT]]\n"
         "                                  save a picture of the main window, with\n"
         "                                  SCRIPT's query or a table in the grid\n"
         "\n"
         "Environment:\n"
         "  KARTOVA_PASSWORD                the password of an encrypted database, when\n"
         "                                  no --password-file is given\n"
         "\n"
         "An export or a batch run needs no display and never asks anything: an\n"
         "encrypted database without a password fails at once. The exit code is 0\n"
         "on success and 1 on failure. Without -E or -B (and SCRIPT) the console\n"
         "window opens.\n";
}

}  // namespace kartova
