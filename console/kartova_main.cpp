// The kartova program. Unattended runs (-B with a script, -E) and --help run
// here, in a process that never loads the window toolkit, so a scripted
// call starts as fast as the engine allows. The console window and
// --screenshot run in kartova-window, the program beside this one, which
// this process becomes (exec) with the same command line.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "console/command_line.h"
#include "console/unattended.h"
#include "platform/file_util.h"

int main(int argc, char** argv) {
  const std::vector<std::string> params(argv + 1, argv + argc);
  if (!params.empty() && params[0] == "--help") {
    std::cout << kartova::CommandLineHelp("kartova");
    return 0;
  }
  const bool screenshot = !params.empty() && params[0] == "--screenshot";
  const kartova::TCommandLine command_line = kartova::ParseCommandLine(params);
  if (!screenshot && command_line.RunsUnattended()) return kartova::RunUnattended(params);
  if (!command_line.error.empty()) {
    std::cerr << "kartova: " << command_line.error << '\n';
    return 1;
  }
  if (!screenshot && !kartova::DisplayAvailable()) return kartova::FailWithoutDisplay(params);

  const std::string window_program = kivo::ProgramDirectory() + "/kartova-window";
  std::vector<char*> window_argv;
  window_argv.push_back(const_cast<char*>(window_program.c_str()));
  for (int i = 1; i < argc; ++i) window_argv.push_back(argv[i]);
  window_argv.push_back(nullptr);
  ::execv(window_program.c_str(), window_argv.data());
  const int err = errno;
  std::cerr << "kartova: cannot start the console window " << window_program << ": "
            << std::strerror(err) << '\n';
  return 1;
}
