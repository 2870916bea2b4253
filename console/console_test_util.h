// Fixture for console tests: a private temporary directory that is also the
// settings folder (XDG_CONFIG_HOME) and, while the test runs, the working
// directory, so that an empty database name means a directory database here.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "console/main_controller.h"
#include "testing/test_support.h"

namespace kartova::testing {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const char* old = std::getenv("XDG_CONFIG_HOME");
    had_xdg_ = old != nullptr;
    if (had_xdg_) old_xdg_ = old;
    setenv("XDG_CONFIG_HOME", dir_.file("config").c_str(), 1);
    std::filesystem::create_directories(dir_.file("program"));
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    if (had_xdg_) {
      setenv("XDG_CONFIG_HOME", old_xdg_.c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
  }

  // The program folder and the settings file both inside the test's folder.
  TConsoleEnvironment Environment() const {
    TConsoleEnvironment env;
    env.program_directory = dir_.file("program");
    env.settings_file = dir_.file("program/krtcon.ini");
    return env;
  }

  // Makes table files (`name`.dat) in `folder`, created when missing.
  static void MakeTables(const std::string& folder, std::initializer_list<const char*> names) {
    std::filesystem::create_directories(folder);
    for (const char* name : names) kivo::testing::WriteFileBytes(folder + "/" + name + ".dat", "x");
  }

  kivo::testing::TempDir dir_;

 private:
  std::filesystem::path old_cwd_;
  bool had_xdg_ = false;
  std::string old_xdg_;
};

}  // namespace kartova::testing
