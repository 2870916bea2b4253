// kvbtool: inspects a database (a .kvb container or a directory database)
// through the engine's own classes. See subcommands.h for the commands.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "tools/subcommands.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  const int status = kivo::tools::RunKvbtool(args, std::getenv(kivo::tools::kPasswordVariable),
                                             std::cout, std::cerr);
  std::cout.flush();
  return status;
}
