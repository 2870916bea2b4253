// The kartova program running SQL unattended, as scripts call it: batch
// runs, exports to files and to standard output, encrypted databases with
// their passwords, and the demo database's script.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "components/database.h"
#include "testing/test_support.h"
#include "tests/process_runner.h"

namespace kivo::testing {
namespace {

class ProgramSql : public ::testing::Test {
 protected:
  // Runs kartova in the temporary directory without any display; `env`
  // adds to or removes from its environment.
  ProcessResult Run(const std::vector<std::string>& args,
                    std::map<std::string, std::optional<std::string>> env = {}) {
    ProcessOptions options;
    options.working_dir = dir_.path();
    options.env = std::move(env);
    options.env["XDG_CONFIG_HOME"] = dir_.file("config");
    options.env["HOME"] = dir_.path();
    options.env["DISPLAY"] = std::nullopt;
    options.env["WAYLAND_DISPLAY"] = std::nullopt;
    // A run that touched the window toolkit's display would fail here.
    options.env["QT_QPA_PLATFORM"] = "xcb";
    if (options.env.find("KARTOVA_PASSWORD") == options.env.end()) {
      options.env["KARTOVA_PASSWORD"] = std::nullopt;
    }
    options.timeout_seconds = 120;
    return RunProcess(KARTOVA_BIN, args, options);
  }
  // Runs `script` as a batch run on `db`; the test fails when the run does.
  void Batch(const std::string& db, const std::string& script,
             std::map<std::string, std::optional<std::string>> env = {}) {
    WriteFileBytes(dir_.file("batch.sql"), script);
    ProcessResult r = Run({db, "batch.sql", "-B"}, std::move(env));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(r.err, "");
  }

  TempDir dir_;
};

TEST_F(ProgramSql, BatchRunThenExportWithQuotingAndWithoutBlobFields) {
  Batch("shop.kvb",
        "CREATE TABLE items (id INTEGER, name VARCHAR(30), pic BLOB, note MEMO, price FLOAT);\r\n"
        "INSERT INTO items VALUES (1, 'A;\"B', NULL, 'memo', 2.5);\r\n"
        "INSERT INTO items VALUES (2, 'Kiss, Anna', NULL, NULL, 10);\r\n"
        "INSERT INTO items VALUES (3, 'Árvíztűrő tükörfúrógép', NULL, NULL, NULL);\r\n");
  WriteFileBytes(dir_.file("q.sql"), "SELECT * FROM items ORDER BY id");
  ProcessResult r = Run({"shop.kvb", "q.sql", "-E", "out.csv", "-D", ";", "-FNL"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(dir_.file("out.csv")),
            "id;name;price\r\n"
            "1;\"A;\"\"B\";2.5\r\n"
            "2;Kiss, Anna;10\r\n"
            "3;\xC1rv\xEDzt\xFBr\xF5 t\xFCk\xF6rf\xFAr\xF3g\xE9p;\r\n");
}

TEST_F(ProgramSql, ExportToStandardOutputCanBePiped) {
  Batch("db.kvb", "CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)");
  WriteFileBytes(dir_.file("q.sql"), "SELECT n, n * 10 AS m FROM t ORDER BY n");
  ProcessResult r = Run({"db.kvb", "q.sql", "-E", "-", "-FNL"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "n,m\r\n1,10\r\n2,20\r\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("-")));

  // An error goes to standard error, never into the piped rows.
  WriteFileBytes(dir_.file("bad.sql"), "SELECT * FROM nowhere");
  ProcessResult bad = Run({"db.kvb", "bad.sql", "-E", "-"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err.rfind("ZorException: ", 0), 0u) << bad.err;
}

TEST_F(ProgramSql, FailuresWriteExactlyOneClassNameLine) {
  WriteFileBytes(dir_.file("bad.sql"), "CREATE TABLE t (n INTEGER);\r\nDELETE FROM nowhere;\r\n");
  ProcessResult r = Run({"db.kvb", "bad.sql", "-B", "-O", "out.txt"});
  EXPECT_EQ(r.exit_code, 1);
  const std::string line = ReadFileBytes(dir_.file("out.txt"));
  EXPECT_EQ(line.rfind("ZorException: ", 0), 0u) << line;
  EXPECT_EQ(line.find("\r\n"), line.size() - 2) << line;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");

  ProcessResult quiet = Run({"db.kvb", "bad.sql", "-B"});
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.err.rfind("ZorException: ", 0), 0u) << quiet.err;

  // The empty delimiter and a failed export end the run the same way.
  WriteFileBytes(dir_.file("q.sql"), "SELECT * FROM t");
  ProcessResult empty = Run({"db.kvb", "q.sql", "-E", "x.csv", "-D", ""});
  EXPECT_EQ(empty.exit_code, 1);
  EXPECT_NE(empty.err.find("-D is empty"), std::string::npos) << empty.err;
}

TEST_F(ProgramSql, EncryptedDatabaseTakesItsPasswordWithoutAsking) {
  {
    TKivoDatabase db;
    db.SetDatabaseName("Maker");
    db.SetPassword("s3cret");
    db.CreateDatabase(dir_.file("enc.kvb"));
  }
  WriteFileBytes(dir_.file("q.sql"), "SELECT COUNT(*) AS c FROM t");

  ProcessResult none = Run({"enc.kvb", "q.sql", "-E", "-", "-O", "err.txt"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(ReadFileBytes(dir_.file("err.txt")).find("KARTOVA_PASSWORD"), std::string::npos);

  Batch("enc.kvb", "CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1)",
        {{"KARTOVA_PASSWORD", "s3cret"}});
  WriteFileBytes(dir_.file("pw"), "s3cret\n");
  ::chmod(dir_.file("pw").c_str(), 0600);
  ProcessResult by_file = Run({"enc.kvb", "q.sql", "--password-file", "pw", "-E", "-"});
  EXPECT_EQ(by_file.exit_code, 0) << by_file.err;
  EXPECT_EQ(by_file.out, "1\r\n");

  ::chmod(dir_.file("pw").c_str(), 0640);
  ProcessResult open_file = Run({"enc.kvb", "q.sql", "--password-file", "pw", "-E", "-"});
  EXPECT_EQ(open_file.exit_code, 1);
  EXPECT_NE(open_file.err.find("chmod 600"), std::string::npos) << open_file.err;

  ProcessResult wrong = Run({"enc.kvb", "q.sql", "-E", "-"}, {{"KARTOVA_PASSWORD", "nope"}});
  EXPECT_EQ(wrong.exit_code, 1);
  EXPECT_EQ(wrong.out, "");
  EXPECT_FALSE(wrong.err.empty());
}

TEST_F(ProgramSql, WindowRunWithoutADisplayFailsAtOnceIntoTheOutputFile) {
  // No script, so no batch run: this run needs the window.
  ProcessResult r = Run({"enc.kvb", "", "-B", "-O", "err.txt"});
  EXPECT_EQ(r.exit_code, 1);
  const std::string line = ReadFileBytes(dir_.file("err.txt"));
  EXPECT_EQ(line.rfind("Exception: kartova: the console window needs a display", 0), 0u) << line;
  EXPECT_EQ(line.find("\r\n"), line.size() - 2) << line;
  EXPECT_NE(r.err.find("needs a display"), std::string::npos) << r.err;
}

TEST_F(ProgramSql, HelpListsEveryOption) {
  ProcessResult r = Run({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* word : {"-E, -EXPORTNAME", "-O, -OUTPUTNAME", "-D, -DELIMITER", "-B, -BATCH",
                           "-FNL, FieldNamesInFirstLineCSV", "--password-file", "KARTOVA_PASSWORD",
                           "--screenshot", "--help", "standard output"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
  ProcessResult missing = Run({"db", "s.sql", "-B", "--password-file"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("--password-file needs the name of a file"), std::string::npos)
      << missing.err;
}

TEST_F(ProgramSql, DemoScriptMakesTheDemoDatabase) {
  std::filesystem::copy_file(DEMO_SQL, dir_.file("demo.sql"));
  ProcessResult made = Run({"demo.kvb", "demo.sql", "-B"});
  ASSERT_EQ(made.exit_code, 0) << made.err;
  WriteFileBytes(dir_.file("q.sql"),
                 "SELECT c.city, COUNT(*) AS orders FROM customers c, orders o "
                 "WHERE o.customer_id = c.id GROUP BY c.city ORDER BY c.city");
  ProcessResult joined = Run({"demo.kvb", "q.sql", "-E", "-"});
  ASSERT_EQ(joined.exit_code, 0) << joined.err;
  EXPECT_NE(joined.out.find("Budapest,"), std::string::npos) << joined.out;
  for (const char* table : {"customers", "products", "orders", "invoices"}) {
    WriteFileBytes(dir_.file("c.sql"), std::string("SELECT COUNT(*) FROM ") + table);
    ProcessResult count = Run({"demo.kvb", "c.sql", "-E", "-"});
    ASSERT_EQ(count.exit_code, 0) << count.err;
    EXPECT_GT(std::stoi(count.out), 20) << table;
  }
}

}  // namespace
}  // namespace kivo::testing
