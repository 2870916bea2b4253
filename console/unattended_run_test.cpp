// Runs that nobody watches: the batch run, the command-line export and the
// passwords they are given, through the controller's start-up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "components/database.h"
#include "console/password_file.h"
#include "console/sql_console_test_util.h"

namespace kartova::testing {
namespace {

using kivo::testing::ReadFileBytes;
using kivo::testing::WriteFileBytes;

class Unattended : public SqlConsoleTest {
 protected:
  // Makes table t (n, s, b) with the given rows in the test's folder.
  void MakeTable(const std::vector<std::string>& rows) {
    std::string script = "CREATE TABLE t (n INTEGER, s VARCHAR(80), b BLOB)";
    for (const std::string& row : rows) script += ";\r\nINSERT INTO t VALUES (" + row + ")";
    WriteFileBytes(dir_.file("make.sql"), script);
    TfmMain& c = Start({"", "make.sql", "-B"});
    ASSERT_EQ(c.Outcome().exit_code, 0) << errors_.str();
  }
  const TRunOutcome& Run(std::vector<std::string> params) {
    return Start(std::move(params)).Outcome();
  }
};

TEST_F(Unattended, BatchRunEndsWithZeroAndWritesNothing) {
  MakeTable({"1, 'a', NULL"});
  EXPECT_TRUE(controller_->Outcome().end_requested);
  EXPECT_TRUE(view_.informations.empty());
  EXPECT_TRUE(errors_.str().empty());
  WriteFileBytes(dir_.file("q.sql"), "SELECT n FROM t");
  view_.editor.clear();
  EXPECT_EQ(Run({"", "q.sql", "-E", "out.csv"}).exit_code, 0);
  EXPECT_EQ(ReadFileBytes(dir_.file("out.csv")), "1\r\n");
}

TEST_F(Unattended, FailedBatchRunWritesOneLineToTheOutputFile) {
  WriteFileBytes(dir_.file("s.sql"), "DELETE FROM nowhere;\r\n");
  WriteFileBytes(dir_.file("out.txt"), "old content that must go");
  const TRunOutcome& outcome = Run({"", "s.sql", "-b", "-o", "out.txt"});
  EXPECT_TRUE(outcome.end_requested);
  EXPECT_EQ(outcome.exit_code, 1);
  const std::string line = ReadFileBytes(dir_.file("out.txt"));
  EXPECT_EQ(line.rfind("ZorException: ", 0), 0u) << line;
  EXPECT_EQ(line.find("\r\n"), line.size() - 2) << line;
  EXPECT_NE(line.find("nowhere"), std::string::npos) << line;
  EXPECT_TRUE(view_.errors.empty());
  EXPECT_TRUE(view_.default_errors.empty());
  EXPECT_TRUE(errors_.str().empty());
}

TEST_F(Unattended, WithoutAnOutputFileTheLineGoesToTheErrorStream) {
  WriteFileBytes(dir_.file("s.sql"), "SELEKT 1");
  EXPECT_EQ(Run({"", "s.sql", "-BATCH"}).exit_code, 1);
  EXPECT_EQ(errors_.str().rfind("ZorException: ", 0), 0u) << errors_.str();
  EXPECT_EQ(FilesWritten(), (std::vector<std::string>{"s.sql"}));
}

TEST_F(Unattended, ScriptThatCannotBeReadFailsTheRun) {
  EXPECT_EQ(Run({"", "missing.sql", "-B", "-O", "out.txt"}).exit_code, 1);
  EXPECT_EQ(ReadFileBytes(dir_.file("out.txt")).rfind("EInOutError: ", 0), 0u);
}

TEST_F(Unattended, UnwritableOutputFileDoesNotChangeTheExitCode) {
  WriteFileBytes(dir_.file("s.sql"), "x");
  EXPECT_EQ(Run({"", "s.sql", "-B", "-O", dir_.file("no/such/dir/out.txt")}).exit_code, 1);
  EXPECT_TRUE(view_.default_errors.empty());
}

TEST_F(Unattended, BatchOptionWithoutScriptOpensTheWindow) {
  const TRunOutcome& outcome = Run({"", "", "-B", "-O", "out.txt"});
  EXPECT_FALSE(outcome.end_requested);
  EXPECT_TRUE(view_.navigator_all.has_value());
}

TEST_F(Unattended, ExportQuotesValuesHoldingTheDelimiterAndLeavesOutBlobs) {
  MakeTable(
      {"1, 'A;\"B', NULL", "2, 'Kiss, Anna', NULL", "3, '" + std::string(70, 'y') + "', NULL"});
  WriteFileBytes(dir_.file("q.sql"), "SELECT * FROM t ORDER BY n");
  EXPECT_EQ(Run({"", "q.sql", "-E", "semi.csv", "-D", ";", "-FNL"}).exit_code, 0);
  EXPECT_EQ(ReadFileBytes(dir_.file("semi.csv")),
            "n;s\r\n1;\"A;\"\"B\"\r\n2;Kiss, Anna\r\n3;" + std::string(70, 'y') + "\r\n");
  EXPECT_EQ(Run({"", "q.sql", "-E", "comma.csv"}).exit_code, 0);
  EXPECT_EQ(ReadFileBytes(dir_.file("comma.csv")),
            "1,A;\"B\r\n2,\"Kiss, Anna\"\r\n3," + std::string(70, 'y') + "\r\n");
  // A delimiter of several characters, given as UTF-8, is written in the
  // file's code page.
  EXPECT_EQ(Run({"", "q.sql", "-E", "long.csv", "-D", " ¦ "}).exit_code, 0);
  EXPECT_EQ(ReadFileBytes(dir_.file("long.csv")).substr(0, 14), "1 \xA6 A;\"B\r\n2 \xA6 ");
}

TEST_F(Unattended, EmptyDelimiterIsRefused) {
  MakeTable({"1, 'a', NULL"});
  WriteFileBytes(dir_.file("q.sql"), "SELECT * FROM t");
  EXPECT_EQ(Run({"", "q.sql", "-E", "out.csv", "-D", "", "-O", "err.txt"}).exit_code, 1);
  EXPECT_EQ(ReadFileBytes(dir_.file("err.txt")),
            "Exception: The delimiter given with -D is empty: the values would run together. "
            "Give one or more characters, for example -D \";\".\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out.csv")));
}

TEST_F(Unattended, FailedExportEndsTheRunWithOne) {
  WriteFileBytes(dir_.file("q.sql"), "SELECT * FROM nowhere");
  const TRunOutcome& outcome = Run({"", "q.sql", "-E", "out.csv", "-O", "err.txt"});
  EXPECT_TRUE(outcome.end_requested);
  EXPECT_EQ(outcome.exit_code, 1);
  EXPECT_EQ(ReadFileBytes(dir_.file("err.txt")).rfind("ZorException: ", 0), 0u);
  EXPECT_TRUE(view_.default_errors.empty());
  EXPECT_FALSE(std::filesystem::exists(dir_.file("out.csv")));

  // Without -O the line goes to the error stream.
  EXPECT_EQ(Run({"", "q.sql", "-E", "out.csv"}).exit_code, 1);
  EXPECT_EQ(errors_.str().rfind("ZorException: ", 0), 0u) << errors_.str();

  // A file that cannot be created is an input/output error.
  MakeTable({"1, 'a', NULL"});
  WriteFileBytes(dir_.file("q.sql"), "SELECT * FROM t");
  EXPECT_EQ(Run({"", "q.sql", "-E", dir_.file("no/dir/out.csv"), "-O", "err.txt"}).exit_code, 1);
  EXPECT_EQ(ReadFileBytes(dir_.file("err.txt")).rfind("EInOutError: Cannot create file", 0), 0u);
}

// ---- passwords -----------------------------------------------------------------

class Passwords : public Unattended {
 protected:
  void SetUp() override {
    Unattended::SetUp();
    kivo::TKivoDatabase db(nullptr);
    db.SetDatabaseName("maker");
    db.SetPassword("tit\xF3k");  // "titók" in the engine's code page
    db.CreateDatabase(dir_.file("secret.kvb"));
    WriteFileBytes(dir_.file("s.sql"), "CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (5)");
    WriteFileBytes(dir_.file("q.sql"), "SELECT n FROM t");
    prompts_allowed_ = false;
  }
  void WritePasswordFile(const std::string& text, mode_t mode) {
    WriteFileBytes(dir_.file("pw"), text);
    ASSERT_EQ(::chmod(dir_.file("pw").c_str(), mode), 0);
  }
};

TEST_F(Passwords, WithoutAPasswordTheRunFailsAtOnceAndAsksNothing) {
  EXPECT_EQ(Run({"secret.kvb", "s.sql", "-B", "-O", "err.txt"}).exit_code, 1);
  EXPECT_TRUE(view_.input_requests.empty());
  EXPECT_EQ(ReadFileBytes(dir_.file("err.txt")),
            "EDatabaseError: The database \"" + dir_.file("secret.kvb") +
                "\" is encrypted and no password was given: set KARTOVA_PASSWORD or use "
                "--password-file FILE.\r\n");
}

TEST_F(Passwords, PasswordFromTheEnvironmentOpensTheDatabase) {
  password_ = "titók";
  EXPECT_EQ(Run({"secret.kvb", "s.sql", "-B"}).exit_code, 0) << errors_.str();
  EXPECT_EQ(Run({"secret.kvb", "q.sql", "-E", "out.csv"}).exit_code, 0) << errors_.str();
  EXPECT_EQ(ReadFileBytes(dir_.file("out.csv")), "5\r\n");
  EXPECT_TRUE(view_.input_requests.empty());

  password_ = "wrong";
  EXPECT_EQ(Run({"secret.kvb", "q.sql", "-E", "out.csv", "-O", "err.txt"}).exit_code, 1);
  EXPECT_FALSE(ReadFileBytes(dir_.file("err.txt")).empty());
  EXPECT_TRUE(view_.input_requests.empty());
}

TEST_F(Passwords, PasswordFileTakesThePlaceOfTheEnvironment) {
  password_ = "wrong";
  WritePasswordFile("titók\nsecond line is ignored\n", 0600);
  EXPECT_EQ(Run({"secret.kvb", "s.sql", "--password-file", "pw", "-B"}).exit_code, 0)
      << errors_.str();
  // The option may stand anywhere, and the rest is read by position.
  EXPECT_EQ(Run({"--password-file=pw", "secret.kvb", "q.sql", "-E", "-"}).exit_code, 0)
      << errors_.str();
}

TEST_F(Passwords, PasswordFileOthersCanReadIsRefused) {
  WritePasswordFile("titók\n", 0644);
  EXPECT_EQ(Run({"secret.kvb", "s.sql", "-B", "--password-file", "pw", "-O", "err.txt"}).exit_code,
            1);
  EXPECT_EQ(ReadFileBytes(dir_.file("err.txt")),
            "Exception: The password file \"pw\" can be used by others (mode 0644); make it "
            "readable by its owner only (chmod 600).\r\n");
  EXPECT_THROW(ReadPasswordFile(dir_.file("nothing-here")), kivo::Exception);
  WritePasswordFile("titók\r\n", 0400);
  EXPECT_EQ(ReadPasswordFile(dir_.file("pw")), "titók");
}

TEST_F(Passwords, TheWindowTriesAGivenPasswordBeforeAsking) {
  prompts_allowed_ = true;
  password_ = "wrong";
  view_.input_answers.push_back(std::string("titók"));
  TfmMain& c = Start({"secret.kvb"});
  EXPECT_TRUE(c.CurrentDB().Connected());
  EXPECT_EQ(view_.input_requests.size(), 1u);

  password_ = "titók";
  TfmMain& again = Start({"secret.kvb"});
  EXPECT_TRUE(again.CurrentDB().Connected());
  EXPECT_EQ(view_.input_requests.size(), 1u);
}

}  // namespace
}  // namespace kartova::testing
