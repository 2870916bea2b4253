// Runs a program to completion with a chosen environment and working
// directory, capturing its standard output, standard error and exit code.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kivo::testing {

struct ProcessResult {
  int exit_code = -1;  // the exit status, or -1 when killed by a signal
  int signal = 0;      // the signal that ended it, 0 when it exited
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string working_dir;                                // empty: inherit
  std::map<std::string, std::optional<std::string>> env;  // nullopt removes the variable
  int timeout_seconds = 60;                               // killed after this
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options);

}  // namespace kivo::testing
