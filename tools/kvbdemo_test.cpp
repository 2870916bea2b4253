// kvbdemo writes a demo database that the table cursor opens, with its
// accented texts intact, and never touches a file that exists.
#include <gtest/gtest.h>

#include <filesystem>

#include "components/kivo_table.h"
#include "platform/locale.h"
#include "testing/test_support.h"
#include "tests/process_runner.h"

namespace kivo {
namespace {

using testing::ProcessResult;
using testing::RunProcess;
using testing::TempDir;

ProcessResult RunDemo(const std::vector<std::string>& args) {
  return RunProcess(KVBDEMO_BIN, args, {});
}

TEST(Kvbdemo, WritesTablesTheCursorOpens) {
  TempDir dir;
  const std::string file = dir.file("demo.kvb");
  const ProcessResult r = RunDemo({file});
  ASSERT_EQ(r.exit_code, 0) << r.err;

  TKivoTable towns;
  towns.SetDatabaseFileName(file);
  towns.SetTableName("varosok");
  towns.Open();
  EXPECT_EQ(towns.RecordCount(), 20);
  towns.SetIndexFieldNames("nev");
  towns.First();
  // Accented letters sort with their base letters.
  EXPECT_EQ(Cp1250ToUtf8(towns.FieldByName("nev").AsString()), "Békéscsaba");
  towns.Last();
  EXPECT_EQ(Cp1250ToUtf8(towns.FieldByName("nev").AsString()), "Zalaegerszeg");
  towns.Prior();
  EXPECT_EQ(Cp1250ToUtf8(towns.FieldByName("nev").AsString()), "Veszprém");
  EXPECT_EQ(Cp1250ToUtf8(towns.FieldByName("leiras").AsString()), "A királynék városa.");
  towns.Close();

  TKivoTable orders;
  orders.SetDatabaseFileName(file);
  orders.SetTableName("rendelesek");
  orders.Open();
  EXPECT_EQ(orders.RecordCount(), 5000);
  for (orders.First(); !orders.Eof(); orders.Next()) {
    const int amount = orders.FieldByName("mennyiseg").AsInteger();
    ASSERT_TRUE(amount >= 1 && amount <= 50) << amount;
  }
}

TEST(Kvbdemo, LeavesAnExistingFileAndRefusesAWrongCommandLine) {
  TempDir dir;
  const std::string file = dir.file("mine.kvb");
  testing::WriteFileBytes(file, "my own bytes");
  const ProcessResult r = RunDemo({file});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
  EXPECT_EQ(testing::ReadFileBytes(file), "my own bytes");

  EXPECT_EQ(RunDemo({}).exit_code, 2);
  EXPECT_EQ(RunDemo({"--help"}).exit_code, 2);
  EXPECT_EQ(RunDemo({file, "extra"}).exit_code, 2);
}

}  // namespace
}  // namespace kivo
