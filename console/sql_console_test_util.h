// Fixture for the console's SQL side: a controller on a directory database
// in the test's folder, with SQL run through the editor as a user runs it.
#pragma once

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "console/console_test_util.h"
#include "console/main_controller.h"
#include "console/recording_view_test_util.h"

namespace kartova::testing {

class SqlConsoleTest : public ConsoleTest {
 protected:
  // Starts the controller with `params` and runs its start-up as the
  // program does.
  TfmMain& Start(std::vector<std::string> params) {
    TConsoleEnvironment env = Environment();
    env.password = password_;
    env.prompts_allowed = prompts_allowed_;
    env.error_stream = &errors_;
    // One controller at a time: they share the database name "SQLdb".
    controller_.reset();
    controller_ = std::make_unique<TfmMain>(view_, std::move(params), env);
    controller_->ReportErrors([this] { controller_->FormCreate(); });
    return *controller_;
  }
  // Runs `sql` as a command from the editor; the test fails when it is
  // refused.
  void Exec(const std::string& sql) {
    view_.editor = sql;
    const std::size_t errors = view_.errors.size();
    controller_->bnRunSQLClick();
    ASSERT_EQ(view_.errors.size(), errors) << view_.errors.back();
  }
  // Files in the test's folder besides the settings and program folders.
  std::vector<std::string> FilesWritten() const {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = e.path().filename().string();
      if (name != "config" && name != "program") files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  TRecordingView view_;
  std::unique_ptr<TfmMain> controller_;
  std::ostringstream errors_;
  std::optional<std::string> password_;
  bool prompts_allowed_ = true;
};

}  // namespace kartova::testing
