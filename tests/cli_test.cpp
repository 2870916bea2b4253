// The kartova program run from the command line: help, the display check,
// unattended batch runs and their exit codes, and the recent-database list
// they leave behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "components/database.h"
#include "storage/file_layer.h"
#include "testing/test_support.h"
#include "tests/process_runner.h"

namespace kivo::testing {
namespace {

class CommandLine : public ::testing::Test {
 protected:
  // Runs kartova in the temporary directory, with the settings folder inside
  // it and without any display.
  ProcessResult Run(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.working_dir = dir_.path();
    options.env["XDG_CONFIG_HOME"] = dir_.file("config");
    options.env["HOME"] = dir_.path();
    options.env["DISPLAY"] = std::nullopt;
    options.env["WAYLAND_DISPLAY"] = std::nullopt;
    options.env["QT_QPA_PLATFORM"] = std::nullopt;
    return RunProcess(KARTOVA_BIN, args, options);
  }

  static int LineCount(const std::string& text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    if (!text.empty() && text.back() != '\n') ++lines;
    return lines;
  }

  TempDir dir_;
};

TEST_F(CommandLine, HelpDescribesTheOptionsAndExitsZero) {
  ProcessResult r = Run({"--help"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* word : {"-EXPORTNAME", "-OUTPUTNAME", "-DELIMITER", "-BATCH", "-FNL"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  // --help is never taken for a database: nothing was recorded as recent.
  EXPECT_FALSE(std::filesystem::exists(dir_.file("config/krtcon/recent.ini")));
}

TEST_F(CommandLine, WindowWithoutDisplaySaysSoInOneLineAndExitsOne) {
  ProcessResult r = Run({});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("display"), std::string::npos) << r.err;

  // -B without a script file is no batch run, so it needs the window too.
  ProcessResult b = Run({"db", "", "-B"});
  EXPECT_EQ(b.exit_code, 1);
  EXPECT_NE(b.err.find("display"), std::string::npos) << b.err;
}

TEST_F(CommandLine, FailingBatchRunWritesOneLineAndExitsOne) {
  WriteFileBytes(dir_.file("bad.sql"), "THIS IS NOT A STATEMENT;\r\n");
  ProcessResult r = Run({"", "bad.sql", "-b", "-o", "out.txt"});
  EXPECT_EQ(r.exit_code, 1) << r.err;
  ASSERT_TRUE(std::filesystem::exists(dir_.file("out.txt")));
  std::string out = ReadFileBytes(dir_.file("out.txt"));
  EXPECT_EQ(LineCount(out), 1) << out;
  // "ClassName: message"
  std::string::size_type colon = out.find(": ");
  ASSERT_NE(colon, std::string::npos) << out;
  EXPECT_TRUE(out.rfind("Exception", colon) != std::string::npos ||
              out.rfind("Error", colon) != std::string::npos)
      << out;

  // Without -O nothing is written and the exit code is still 1.
  std::filesystem::remove(dir_.file("out.txt"));
  ProcessResult quiet = Run({"", "bad.sql", "-BATCH"});
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out.txt")));
}

TEST_F(CommandLine, BatchRunRecordsTheDatabaseAsRecentWithItsFullPath) {
  WriteFileBytes(dir_.file("s.sql"), "x\r\n");
  Run({"sub/../mine.kvb", "s.sql", "-B"});
  std::string ini = ReadFileBytes(dir_.file("config/krtcon/recent.ini"));
  EXPECT_NE(ini.find("File0=" + dir_.file("mine.kvb")), std::string::npos) << ini;
}

TEST_F(CommandLine, BatchRunOnAMissingDatabaseLeavesAnEmptyContainerThere) {
  WriteFileBytes(dir_.file("EMPTY.sql"), "");
  ASSERT_FALSE(std::filesystem::exists(dir_.file("NEW.kvb")));
  ProcessResult r = Run({"NEW.kvb", "EMPTY.sql", "-B"});
  ASSERT_TRUE(std::filesystem::exists(dir_.file("NEW.kvb"))) << r.err;

  // The file is a container of its own: the database component opens it,
  // unencrypted and without tables, and can write into it.
  TKivoDatabase db;
  db.SetDatabaseName("Check");
  db.SetDatabaseFileName(dir_.file("NEW.kvb"));
  EXPECT_FALSE(db.Encrypted());
  db.Open();
  EXPECT_EQ(db.Handle()->StoreMode(), fsmSingleFile);
  std::vector<std::string> tables{"stale"};
  db.GetTableNames(tables);
  EXPECT_TRUE(tables.empty());
  TAbstractFile* f = db.Handle()->OpenFile("t.dat", fsmSingleFile, true, false, false);
  f->WriteBuffer("row", 3);
  db.Handle()->CloseFile(f);
  db.GetTableNames(tables);
  EXPECT_EQ(tables, (std::vector<std::string>{"t"}));
}

}  // namespace
}  // namespace kivo::testing
