// The console's command line: parameter 1 is the database file, parameter 2
// the script file, and options follow from parameter 3 on.
#pragma once

#include <string>
#include <vector>

namespace kartova {

struct TCommandLine {
  // True when at least one parameter was given (an empty one counts).
  bool has_database_parameter = false;
  // Parameter 1 as given, not yet expanded to a full path.
  std::string database_file;
  // Parameter 2; empty when there are fewer than two parameters.
  std::string script_file;
  // "-E"/"-EXPORTNAME": the command-line export's file.
  std::string export_file;
  // "-O"/"-OUTPUTNAME": where a failed batch run writes its error.
  std::string output_file;
  // "-D"/"-DELIMITER": the export's delimiter.
  std::string delimiter = ",";
  // "-B"/"-BATCH".
  bool batch_mode = false;
  // "-FNL"/"FieldNamesInFirstLineCSV".
  bool field_names_in_first_line = false;
  // "--password-file FILE" (or "--password-file=FILE"), anywhere on the
  // line: the file whose first line is the database's password.
  std::string password_file;
  // Why the command line cannot be used; empty when it can.
  std::string error;

  // Whether start-up runs unattended and ends the program: an export, or a
  // batch run of a given script.
  bool RunsUnattended() const {
    return !export_file.empty() || (batch_mode && !script_file.empty());
  }
};

// Reads the parameters (without the program name). "--password-file" and its
// value are taken out first, wherever they stand; the rest is read by
// position. Option words are compared case-insensitively; a value option in
// last position, without its value, is ignored like an unknown word. Never
// raises: a line that cannot be used says why in `error`.
TCommandLine ParseCommandLine(const std::vector<std::string>& params);

// The usage text printed by "--help".
std::string CommandLineHelp(const std::string& programName);

}  // namespace kartova
