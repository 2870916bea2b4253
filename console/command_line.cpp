#include "console/command_line.h"

#include <cstddef>

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

TCommandLine ParseCommandLine(const std::vector<std::string>& params) {
  TCommandLine cl;
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
         "  DATABASE   the database to open (parameter 1); without it the most\n"
         "             recently used database is opened\n"
         "  SCRIPT     an SQL script file loaded into the editor (parameter 2)\n"
         "\n"
         "Options, read from the third parameter on, in any letter case:\n"
         "  -E, -EXPORTNAME FILE            export the script's query result to FILE, then exit\n"
         "  -O, -OUTPUTNAME FILE            write a failed batch run's error to FILE\n"
         "  -D, -DELIMITER TEXT             delimiter of the export (default \",\")\n"
         "  -B, -BATCH                      run SCRIPT unattended, then exit (code 0 or 1)\n"
         "  -FNL, FieldNamesInFirstLineCSV  write the field names as the export's first line\n"
         "\n"
         "An export or a batch run needs no display. Without one of them the\n"
         "console window opens.\n"
         "\n"
         "  --help                          show this text\n"
         "  --screenshot FILE.png [DATABASE]  save a picture of the main window\n";
}

}  // namespace kartova
