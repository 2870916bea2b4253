// The window's SQL: the query into the grid, the command with its message
// boxes, script files loaded and saved, and the grid export.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console/sql_console_test_util.h"
#include "platform/locale.h"

namespace kartova::testing {
namespace {

using kivo::testing::ReadFileBytes;
using kivo::testing::WriteFileBytes;

class SqlCommands : public SqlConsoleTest {
 protected:
  void SetUp() override {
    SqlConsoleTest::SetUp();
    Start({""});
  }
  TfmMain& C() { return *controller_; }
  // Confirms the next save dialog with `path` and filter `index`.
  void AnswerSave(const std::string& path, int index) {
    view_.save_answers.push_back(TFileDialogResult{dir_.file(path), index});
  }
};

TEST_F(SqlCommands, QueryShowsItsRowsInTheGridAndRefreshesTheTableList) {
  Exec(
      "CREATE TABLE t (n INTEGER, s VARCHAR(10)); INSERT INTO t VALUES (1, 'a');"
      "INSERT INTO t VALUES (2, 'b'); INSERT INTO t VALUES (3, 'c')");
  view_.editor = "CREATE TABLE u (x INTEGER);\nSELECT s FROM t WHERE n >= 2 ORDER BY n DESC";
  view_.log.clear();
  view_.informations.clear();
  C().RzBitBtn2Click();

  EXPECT_EQ(C().GridMode(), "Q");
  EXPECT_EQ(C().ds1().DataSet(), &C().CurrentQuery());
  EXPECT_EQ(view_.result_caption, " Összes rekord: 2 ");
  EXPECT_EQ(C().CurrentQuery().Fields()[0].AsString(), "c");
  // The statement made a table: the list and its caption show it.
  EXPECT_EQ(view_.tables, (std::vector<std::string>{"t", "u"}));
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 2 ");
  // The table was closed and the caption cleared before the query ran.
  EXPECT_LT(view_.FirstIndexOf("SetResultCaption  Összes rekord: 0 "),
            view_.FirstIndexOf("SetResultCaption  Összes rekord: 2 "));
  EXPECT_TRUE(view_.informations.empty());
}

TEST_F(SqlCommands, FailingQueryIsClosedAndReportedByTheWindow) {
  Exec("CREATE TABLE t (n INTEGER)");
  view_.editor = "SELECT nope FROM t";
  EXPECT_FALSE(C().ReportErrors([&] { C().RzBitBtn2Click(); }));
  ASSERT_EQ(view_.default_errors.size(), 1u);
  EXPECT_NE(view_.default_errors[0].find("nope"), std::string::npos) << view_.default_errors[0];
  EXPECT_FALSE(C().CurrentQuery().Active());
  EXPECT_EQ(C().GridMode(), "");
  EXPECT_EQ(view_.result_caption, " Összes rekord: 0 ");
}

TEST_F(SqlCommands, CommandReportsRowsAffectedAndKeepsTheCountForLaterCommands) {
  Exec("CREATE TABLE t (n INTEGER)");
  EXPECT_EQ(view_.informations.back(), "A parancs sikeresen végrehajtva! ");
  EXPECT_EQ(view_.tables, (std::vector<std::string>{"t"}));
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 1 ");
  for (int i = 1; i <= 5; ++i) Exec("INSERT INTO t VALUES (" + std::to_string(i) + ")");

  Exec("DELETE FROM t WHERE n <= 3");
  EXPECT_EQ(view_.informations.back(), "A lekérdezés befejeződött! Eredménye 3 sor");
  // The count stays on the query component: a CREATE TABLE reports it again.
  Exec("CREATE TABLE u (x INTEGER)");
  EXPECT_EQ(view_.informations.back(), "A lekérdezés befejeződött! Eredménye 3 sor");
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 2 ");
  Exec("UPDATE t SET n = n + 10");
  EXPECT_EQ(view_.informations.back(), "A lekérdezés befejeződött! Eredménye 2 sor");
  // The grid keeps its data source, which now shows nothing.
  EXPECT_FALSE(C().CurrentQuery().Active());
  EXPECT_EQ(C().GridMode(), "");
}

TEST_F(SqlCommands, FailingCommandShowsItsMessageWithThePrefix) {
  view_.editor = "DELETE FROM missing";
  C().bnRunSQLClick();
  ASSERT_EQ(view_.errors.size(), 1u);
  EXPECT_EQ(view_.errors[0].rfind("Hibás parancs - ", 0), 0u) << view_.errors[0];
  EXPECT_NE(view_.errors[0].find("missing"), std::string::npos) << view_.errors[0];
  EXPECT_TRUE(view_.informations.empty());
  EXPECT_FALSE(C().CurrentQuery().Active());
}

TEST_F(SqlCommands, OpenRunsTheQueryWithoutTouchingTheGrid) {
  Exec("CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (7)");
  view_.editor = "SELECT n FROM t";
  view_.log.clear();
  C().btOpenSQLClick();
  EXPECT_TRUE(C().CurrentQuery().Active());
  EXPECT_EQ(C().CurrentQuery().Fields()[0].AsInteger(), 7);
  EXPECT_EQ(C().GridMode(), "");
  EXPECT_EQ(C().ds1().DataSet(), &C().CurrentTable());
  EXPECT_EQ(view_.FirstIndexOf("SetResultCaption"), -1);
  EXPECT_EQ(view_.FirstIndexOf("SetTableList"), -1);
}

TEST_F(SqlCommands, CaretPanelCountsFromOne) {
  C().reSQLSelectionChange(0, 0);
  EXPECT_EQ(view_.status[1], "      1:      1");
  C().reSQLSelectionChange(123456, 9);
  EXPECT_EQ(view_.status[1], " 123457:     10");
}

// ---- script files --------------------------------------------------------------

TEST_F(SqlCommands, ScriptsAreLoadedFromTheDialogAndSavedAsWindows1250) {
  WriteFileBytes(dir_.file("in.sql"), "SELECT '\xE1rv\xEDzt\xFBr\xF5'\r\nFROM t\r\n");
  view_.editor = "old";
  view_.open_answers.push_back(TFileDialogResult{dir_.file("in.sql"), 1});
  C().LoadSQLscript1Click();
  EXPECT_EQ(view_.editor, "SELECT 'árvíztűrő'\nFROM t\n");
  ASSERT_EQ(view_.open_requests.size(), 1u);
  EXPECT_EQ(view_.open_requests[0].filter, kScriptOpenFilter);
  EXPECT_EQ(view_.open_requests[0].default_extension, ".sql");
  EXPECT_EQ(view_.open_requests[0].initial_directory, dir_.file("program"));

  // The pop-up entry empties the editor first.
  view_.log.clear();
  view_.open_answers.push_back(TFileDialogResult{dir_.file("in.sql"), 1});
  C().SQL_openExecute();
  EXPECT_EQ(view_.log,
            (std::vector<std::string>{"OpenFileDialog", "SetEditorText", "SetEditorText"}));

  view_.editor = "SELECT 'őrült ünnep'\nFROM t";
  AnswerSave("out.sql", 2);
  C().Save1Click();
  EXPECT_EQ(ReadFileBytes(dir_.file("out.sql")), "SELECT '\xF5r\xFClt \xFCnnep'\r\nFROM t");
  EXPECT_EQ(view_.save_requests.back().filter, kScriptSaveFilter);
  // File › Save keeps the filter last chosen; the pop-up entry starts from 1.
  AnswerSave("out.sql", 4);
  C().Save1Click();
  EXPECT_EQ(view_.save_requests.back().filter_index, 2);
  AnswerSave("out.sql", 1);
  C().SQL_saveExecute();
  EXPECT_EQ(view_.save_requests.back().filter_index, 1);
  EXPECT_TRUE(view_.errors.empty());
}

TEST_F(SqlCommands, TextWindows1250CannotHoldIsNotSaved) {
  WriteFileBytes(dir_.file("keep.sql"), "kept");
  view_.editor =
      "SELECT '\xE2\x82\xAC 5 \xF0\x9F\x98\x80 \xE4\xB8\xAD \xF0\x9F\x98\x80'";  // € 5 😀 中 😀
  AnswerSave("keep.sql", 1);
  C().Save1Click();
  ASSERT_EQ(view_.errors.size(), 1u);
  // € is in the code page; the other two are named once each, in order.
  EXPECT_NE(view_.errors[0].find("\"\xF0\x9F\x98\x80\" (U+1F600), \"\xE4\xB8\xAD\" (U+4E2D)"),
            std::string::npos)
      << view_.errors[0];
  EXPECT_EQ(view_.errors[0].find("U+20AC"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(dir_.file("keep.sql")), "kept");
}

TEST_F(SqlCommands, ScriptThatCannotBeReadLeavesTheEditorAlone) {
  view_.editor = "mine";
  view_.open_answers.push_back(TFileDialogResult{dir_.file("none.sql"), 1});
  EXPECT_FALSE(C().ReportErrors([&] { C().SQL_openExecute(); }));
  EXPECT_EQ(view_.editor, "mine");
  ASSERT_EQ(view_.default_errors.size(), 1u);
  EXPECT_NE(view_.default_errors[0].find("none.sql"), std::string::npos);
}

// ---- the grid export -------------------------------------------------------------

class GridExport : public SqlCommands {
 protected:
  std::string ExportQuery(const std::string& sql, int filterIndex) {
    view_.editor = sql;
    C().RzBitBtn2Click();
    AnswerSave("grid.txt", filterIndex);
    C().blaCSV1Click();
    return ReadFileBytes(dir_.file("grid.txt"));
  }
};

TEST_F(GridExport, CommasBecomeDotsAndEveryValueEndsInAComma) {
  Exec(
      "CREATE TABLE p (name VARCHAR(20), amount FLOAT, note VARCHAR(80), m MEMO);"
      "INSERT INTO p VALUES ('Kiss, Anna', 3.5, '" +
      std::string(60, 'x') + "', 'long memo text');INSERT INTO p VALUES ('B', NULL, NULL, NULL)");
  const kivo::FormatSettings saved = kivo::DefaultFormatSettings();
  kivo::FormatSettings comma = saved;
  comma.DecimalSeparator = ',';
  comma.ThousandSeparator = ' ';
  kivo::SetDefaultFormatSettings(comma);
  const std::string text = ExportQuery("SELECT * FROM p", 2);
  kivo::SetDefaultFormatSettings(saved);
  EXPECT_EQ(text, "name,amount,note,m,\r\nKiss. Anna,3.5," + std::string(50, 'x') +
                      ",(memo),\r\nB,,,,\r\n");
  EXPECT_EQ(view_.save_requests.back().filter_index, 2);
  EXPECT_EQ(view_.save_requests.back().filter, kScriptSaveFilter);
}

TEST_F(GridExport, CoordinateFileLeavesOutTheFirstFieldAndTheHeader) {
  Exec(
      "CREATE TABLE pts (ID INTEGER, X FLOAT, Y FLOAT);"
      "INSERT INTO pts VALUES (1, 650000.5, 240000.25); INSERT INTO pts VALUES (2, 1, 2)");
  EXPECT_EQ(ExportQuery("SELECT * FROM pts ORDER BY ID", 3), "650000.5,240000.25,\r\n1,2,\r\n");
}

TEST_F(GridExport, AnyNumberOfFieldsIsWritten) {
  std::string create = "CREATE TABLE wide (";
  std::string insert = "INSERT INTO wide VALUES (";
  std::string header, row;
  for (int i = 0; i < 30; ++i) {
    create += (i ? ", f" : "f") + std::to_string(i) + " INTEGER";
    insert += (i ? ", " : "") + std::to_string(i * 7);
    header += "f" + std::to_string(i) + ",";
    row += std::to_string(i * 7) + ",";
  }
  Exec(create + "); " + insert + ")");
  EXPECT_EQ(ExportQuery("SELECT * FROM wide", 4), header + "\r\n" + row + "\r\n");
}

TEST_F(GridExport, TableShownInTheGridIsExportedFromItsFirstRecord) {
  Exec("CREATE TABLE t (n INTEGER); INSERT INTO t VALUES (1); INSERT INTO t VALUES (2)");
  view_.selected = 0;
  C().OpenSelectedTable();
  ASSERT_EQ(C().GridMode(), "T");
  C().CurrentTable().Last();
  AnswerSave("grid.txt", 2);
  C().blaCSV1Click();
  EXPECT_EQ(ReadFileBytes(dir_.file("grid.txt")), "n,\r\n1,\r\n2,\r\n");

  // With the table closed in mode "T" the record count refuses.
  C().bnCloseTableClick();
  EXPECT_FALSE(C().ReportErrors([&] { C().blaCSV1Click(); }));
  EXPECT_EQ(view_.default_errors.back(),
            "Error in TKivoDataSet.GetRecordCount - no table was opened.");
}

TEST_F(GridExport, NothingHappensWithoutRowsAModeOrAConfirmedDialog) {
  C().blaCSV1Click();  // no grid mode yet
  EXPECT_TRUE(view_.save_requests.empty());
  Exec("CREATE TABLE t (n INTEGER)");
  view_.editor = "SELECT * FROM t";
  C().RzBitBtn2Click();
  C().blaCSV1Click();  // no rows
  EXPECT_TRUE(view_.save_requests.empty());
  Exec("INSERT INTO t VALUES (1)");
  view_.editor = "SELECT * FROM t";
  C().RzBitBtn2Click();
  C().blaCSV1Click();  // cancelled
  EXPECT_EQ(view_.save_requests.size(), 1u);
  EXPECT_EQ(FilesWritten(), (std::vector<std::string>{"t.dat", "t.idx"}));
}

}  // namespace
}  // namespace kartova::testing
