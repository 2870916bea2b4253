// The SQL side of the console while no SQL processor is part of the
// program: the command and query buttons report the failure, the batch run
// writes its one-line report and ends with exit code 1, and the
// command-line export fails through the default error report.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "console/console_test_util.h"
#include "console/main_controller.h"
#include "console/recording_view_test_util.h"

namespace kartova::testing {
namespace {

using kivo::testing::ReadFileBytes;
using kivo::testing::WriteFileBytes;

constexpr const char* kNoSql = "SQL processing is not available yet.";

class SqlSide : public ConsoleTest {
 protected:
  TfmMain& Start(std::vector<std::string> params) {
    controller_ = std::make_unique<TfmMain>(view_, std::move(params), Environment());
    controller_->ReportErrors([this] { controller_->FormCreate(); });
    return *controller_;
  }
  // Names in the test's folder besides the settings and program folders.
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
};

TEST_F(SqlSide, FailedBatchRunWritesClassAndMessageAndEndsWithOne) {
  WriteFileBytes(dir_.file("s.sql"), "DELETE FROM t;\r\n");
  WriteFileBytes(dir_.file("out.txt"), "old content that must go");
  TfmMain& c = Start({"", "s.sql", "-b", "-o", "out.txt"});

  EXPECT_TRUE(c.BatchMode());
  EXPECT_EQ(c.OutputFileName(), "out.txt");
  EXPECT_TRUE(c.Outcome().end_requested);
  EXPECT_EQ(c.Outcome().exit_code, 1);
  EXPECT_EQ(ReadFileBytes(dir_.file("out.txt")), std::string("Exception: ") + kNoSql + "\r\n");
  // Batch mode shows no message, and the program stops before the last step.
  EXPECT_TRUE(view_.errors.empty());
  EXPECT_TRUE(view_.informations.empty());
  EXPECT_TRUE(view_.default_errors.empty());
  EXPECT_FALSE(view_.navigator_all.has_value());
}

TEST_F(SqlSide, FailedBatchRunWithoutOutputFileStillEndsWithOne) {
  WriteFileBytes(dir_.file("s.sql"), "x");
  TfmMain& c = Start({"", "s.sql", "-BATCH"});
  EXPECT_TRUE(c.Outcome().end_requested);
  EXPECT_EQ(c.Outcome().exit_code, 1);
  EXPECT_EQ(c.OutputFileName(), "");
  EXPECT_EQ(FilesWritten(), (std::vector<std::string>{"s.sql"}));
}

TEST_F(SqlSide, UnwritableOutputFileDoesNotChangeTheExitCode) {
  WriteFileBytes(dir_.file("s.sql"), "x");
  TfmMain& c = Start({"", "s.sql", "-B", "-O", dir_.file("no/such/dir/out.txt")});
  EXPECT_TRUE(c.Outcome().end_requested);
  EXPECT_EQ(c.Outcome().exit_code, 1);
  EXPECT_TRUE(view_.default_errors.empty());
}

TEST_F(SqlSide, BatchOptionWithoutScriptOpensTheWindow) {
  TfmMain& c = Start({"", "", "-B", "-O", "out.txt"});
  EXPECT_TRUE(c.BatchMode());
  EXPECT_FALSE(c.Outcome().end_requested);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out.txt")));
  EXPECT_TRUE(view_.navigator_all.has_value());
}

TEST_F(SqlSide, FailedExportIsReportedAndTheWindowStays) {
  WriteFileBytes(dir_.file("q.sql"), "SELECT * FROM t");
  TfmMain& c = Start({"", "q.sql", "-E", "out.csv", "-D", ";", "-FNL"});
  EXPECT_EQ(c.CommandLine().export_file, "out.csv");
  EXPECT_EQ(c.CommandLine().delimiter, ";");
  EXPECT_TRUE(c.CommandLine().field_names_in_first_line);
  EXPECT_FALSE(c.Outcome().end_requested);
  EXPECT_EQ(view_.default_errors, (std::vector<std::string>{kNoSql}));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out.csv")));
}

TEST_F(SqlSide, CommandFailureIsShownWithItsPrefix) {
  TfmMain& c = Start({""});
  view_.editor = "UPDATE t SET a = 1";
  c.bnRunSQLClick();
  EXPECT_EQ(view_.errors, (std::vector<std::string>{std::string("Hibás parancs - ") + kNoSql}));
  EXPECT_EQ(view_.result_caption, " Összes rekord: 0 ");
  EXPECT_TRUE(view_.informations.empty());
}

TEST_F(SqlSide, QueryFailureGoesToTheDefaultReport) {
  TfmMain& c = Start({""});
  EXPECT_FALSE(c.ReportErrors([&] { c.RzBitBtn2Click(); }));
  EXPECT_EQ(view_.default_errors, (std::vector<std::string>{kNoSql}));
  EXPECT_EQ(view_.result_caption, " Összes rekord: 0 ");
  EXPECT_EQ(c.GridMode(), "");

  EXPECT_FALSE(c.ReportErrors([&] { c.btOpenSQLClick(); }));
  EXPECT_EQ(view_.default_errors.size(), 2u);
}

TEST_F(SqlSide, GridExportDoesNothingWithoutAGridMode) {
  TfmMain& c = Start({""});
  view_.log.clear();
  c.blaCSV1Click();
  EXPECT_TRUE(view_.save_requests.empty());
  EXPECT_TRUE(view_.log.empty());
}

TEST_F(SqlSide, OutputFileIsWrittenOnlyWhenNamed) {
  TfmMain& c = Start({""});
  c.WriteOutputFile("Exception: x");
  EXPECT_TRUE(FilesWritten().empty());
}

TEST_F(SqlSide, OutputFileIsWindows1250WithCrLf) {
  WriteFileBytes(dir_.file("s.sql"), "x");
  TfmMain& c = Start({"", "s.sql", "-O", "o.txt"});
  c.WriteOutputFile("Exception: \xC3\xA1");
  EXPECT_EQ(ReadFileBytes(dir_.file("o.txt")), "Exception: \xE1\r\n");
}

}  // namespace
}  // namespace kartova::testing
