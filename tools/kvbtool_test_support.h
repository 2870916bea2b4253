// How the kvbtool tests run the real binary: a child process with a time
// limit, whose crash or sanitizer report fails the calling test.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/process_runner.h"

namespace kivo::testing {

// Runs kvbtool with `args`. KARTOVA_PASSWORD is `envPassword` (unset when
// nullopt); the working folder is `workingDir` (inherited when empty).
inline ProcessResult RunKvbtool(const std::vector<std::string>& args,
                                std::optional<std::string> envPassword = std::nullopt,
                                const std::string& workingDir = "") {
  ProcessOptions options;
  options.working_dir = workingDir;
  options.env["KARTOVA_PASSWORD"] = std::move(envPassword);
  options.timeout_seconds = 30;
  ProcessResult r = RunProcess(KVBTOOL_BIN, args, options);
  EXPECT_EQ(r.signal, 0) << "kvbtool was killed; stderr: " << r.err;
  // A sanitizer report ends the program with status 1 as well: tell it apart.
  for (const char* report : {"Sanitizer", "runtime error:"})
    EXPECT_EQ(r.err.find(report), std::string::npos) << r.err;
  return r;
}

}  // namespace kivo::testing
