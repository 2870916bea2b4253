// Browsing a table in the console: opening the selected table into the
// grid's data source, the record count caption and position panel, closing,
// and the grid's rows read by position without moving the cursor.
#include <gtest/gtest.h>

#include <filesystem>

#include "console/console_test_util.h"
#include "console/grid_rows.h"
#include "console/main_controller.h"
#include "console/navigator.h"
#include "console/recording_view_test_util.h"
#include "console/table_fixture_test_util.h"

namespace kartova::testing {
namespace {

using kivo::testing::WriteFileBytes;

class Browse : public ConsoleTest {
 protected:
  // Starts the console on the test's folder (a directory database) and
  // selects table `name` in the list.
  TfmMain& Start(const std::string& name) {
    controller_ = std::make_unique<TfmMain>(view_, std::vector<std::string>{""}, Environment());
    controller_->ReportErrors([this] { controller_->FormCreate(); });
    Select(name);
    return *controller_;
  }
  void Select(const std::string& name) {
    const std::vector<std::string>& names = controller_->TableNames();
    view_.selected = -1;
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) view_.selected = static_cast<int>(i);
  }
  bool Open() {
    return controller_->ReportErrors([this] { controller_->OpenSelectedTable(); });
  }
  std::string Panel() const { return view_.status[static_cast<int>(TStatusPanel::kRecord)]; }

  TRecordingView view_;
  std::unique_ptr<TfmMain> controller_;
};

TEST_F(Browse, OpeningTheSelectedTableShowsItsCountAndPosition) {
  MakeNumberedTable(dir_.path(), "people", 3);
  TfmMain& c = Start("people");
  EXPECT_FALSE(view_.close_table_enabled);
  ASSERT_TRUE(Open());

  EXPECT_TRUE(c.CurrentTable().Active());
  EXPECT_EQ(c.ds1().DataSet(), &c.CurrentTable());
  EXPECT_EQ(view_.result_caption, " A(z) 'people' tábla rekordjainak száma: 3 ");
  EXPECT_EQ(Panel(), "Rekord #      1 /      3");
  EXPECT_TRUE(view_.close_table_enabled);
  EXPECT_EQ(c.GridMode(), "T");

  // The caption is reset before the table is touched.
  const int reset = view_.LastIndexOf("SetResultCaption  Rekordok száma: 0 ");
  const int disable = view_.LastIndexOf("SetCloseTableEnabled 0");
  EXPECT_GE(reset, 0);
  EXPECT_LT(reset, disable);

  c.CurrentTable().Last();
  EXPECT_EQ(Panel(), "Rekord #      3 /      3");
}

TEST_F(Browse, WithoutASelectionNothingOpens) {
  MakeNumberedTable(dir_.path(), "people", 3);
  TfmMain& c = Start("none");
  ASSERT_TRUE(Open());
  EXPECT_EQ(view_.errors, std::vector<std::string>{"Válasszon ki egy táblát a listából."});
  EXPECT_FALSE(c.CurrentTable().Active());
  EXPECT_EQ(c.GridMode(), "");
  EXPECT_EQ(view_.FirstIndexOf("SetResultCaption  Rekordok"), -1);
}

TEST_F(Browse, ATableThatCannotBeOpenedIsReportedAndStaysClosed) {
  MakeNumberedTable(dir_.path(), "good", 2);
  // Its header reads, but its BLOB data is gone.
  MakeMemoTable(dir_.path(), "broken", {"note"});
  std::filesystem::resize_file(dir_.file("broken.bdf"), 0);
  TfmMain& c = Start("good");
  ASSERT_TRUE(Open());
  Select("broken");
  ASSERT_TRUE(Open());
  EXPECT_EQ(view_.errors, std::vector<std::string>{"A(z) 'broken' táblát nem lehet megnyitni."});
  EXPECT_FALSE(c.CurrentTable().Active());
  EXPECT_FALSE(view_.close_table_enabled);
  EXPECT_EQ(view_.result_caption, " Rekordok száma: 0 ");
  // The grid mode of the table opened before stays.
  EXPECT_EQ(c.GridMode(), "T");
}

TEST_F(Browse, ATableWhoseHeaderCannotBeReadIsTakenForEncryptedAndNotOpened) {
  WriteFileBytes(dir_.file("mangled.dat"), "not a table at all");
  TfmMain& c = Start("mangled");
  EXPECT_FALSE(Open());
  EXPECT_EQ(
      view_.default_errors,
      std::vector<std::string>{"Error in TKivoDataSet.GetRecordCount - no table was opened."});
  EXPECT_TRUE(view_.errors.empty());
  EXPECT_FALSE(c.CurrentTable().Active());
  EXPECT_FALSE(view_.close_table_enabled);
}

TEST_F(Browse, ClosingTheTableClearsThePanelAndKeepsTheGridMode) {
  MakeNumberedTable(dir_.path(), "people", 3);
  TfmMain& c = Start("people");
  ASSERT_TRUE(Open());
  c.bnCloseTableClick();
  EXPECT_FALSE(c.CurrentTable().Active());
  EXPECT_EQ(view_.result_caption, " Összes rekord: 0 ");
  EXPECT_EQ(Panel(), "");
  EXPECT_EQ(c.GridMode(), "T");
  EXPECT_EQ(c.ds1().DataSet(), &c.CurrentTable());
}

TEST_F(Browse, PostingAndDeletingUpdateTheCaption) {
  MakeNumberedTable(dir_.path(), "people", 3);
  TfmMain& c = Start("people");
  ASSERT_TRUE(Open());
  kivo::TKivoTable& t = c.CurrentTable();
  t.Append();
  t.FieldByName("n").SetAsInteger(40);
  t.Post();
  EXPECT_EQ(view_.result_caption, " A(z) 'people' tábla rekordjainak száma: 4 ");
  t.First();
  t.Delete();
  t.Delete();
  EXPECT_EQ(view_.result_caption, " A(z) 'people' tábla rekordjainak száma: 2 ");
  EXPECT_EQ(Panel(), "Rekord #      1 /      2");
}

TEST_F(Browse, ClosingTheDatabaseUnderAnOpenTableEmptiesTheGrid) {
  MakeNumberedTable(dir_.path(), "people", 5);
  TfmMain& c = Start("people");
  TGridRows rows;
  rows.SetDataSource(&c.ds1());
  ASSERT_TRUE(Open());
  EXPECT_EQ(rows.RowCount(), 5);
  EXPECT_EQ(rows.CellText(4, 1), "row 5");
  c.Close1Click();
  EXPECT_FALSE(c.CurrentTable().Active());
  EXPECT_EQ(rows.RowCount(), 0);
  EXPECT_EQ(rows.CellText(4, 1), "");
  // Reopening the table goes through the session again.
  ASSERT_TRUE(c.ConnectCurrentDatabase());
  Select("people");
  ASSERT_TRUE(Open());
  EXPECT_EQ(rows.RowCount(), 5);
}

TEST_F(Browse, ATitleClickOrdersByTheFieldsIndexAndWithoutOneKeepsTheOrder) {
  MakeNumberedTable(dir_.path(), "people", 10);
  {
    kivo::TDirectoryTableFileStore store(dir_.path());
    kivo::TDataManagerHold m(kivo::krGetDataManager("people", &store));
    ASSERT_EQ(m->OpenTable(), kivo::kOpenOk);
    m->AddIndex("byName", "name", 0, "", "", false);
    m->CloseTable();
  }
  TfmMain& c = Start("people");
  kivo::TKivoTable& t = c.CurrentTable();
  c.DBGrid1TitleClick("name");  // no table in the grid yet
  EXPECT_EQ(t.IndexFieldNames(), "");
  ASSERT_TRUE(Open());

  c.DBGrid1TitleClick("name");
  EXPECT_EQ(t.IndexFieldNames(), "name");
  t.First();
  t.Next();
  EXPECT_EQ(t.FieldByName("n").AsInteger(), 10);  // "row 10" sorts after "row 1"

  c.DBGrid1TitleClick("n");
  EXPECT_EQ(t.IndexFieldNames(), "name");
  t.First();
  t.Next();
  EXPECT_EQ(t.FieldByName("n").AsInteger(), 10);
  EXPECT_TRUE(view_.default_errors.empty());
}

// ---- The grid's rows.

class GridRowsTest : public ConsoleTest {
 protected:
  void OpenTable(const std::string& name) {
    table_.SetDatabaseName(dir_.path());
    table_.SetTableName(name);
    table_.AfterScroll = [this](kivo::TDataSet&) { ++scrolls_; };
    table_.Open();
    source_.SetDataSet(&table_);
    rows_.OnBeginReset = [this] { ++resets_; };
    rows_.OnCurrentRowChanged = [this](int row) { followed_ = row; };
    rows_.SetDataSource(&source_);
  }

  kivo::TKivoTable table_;
  kivo::TDataSource source_;
  TGridRows rows_{64};
  int scrolls_ = 0;
  int resets_ = 0;
  int followed_ = -2;
};

TEST_F(GridRowsTest, ReadingRowsNeverMovesTheCursorAndReadsOnlyAWindow) {
  MakeNumberedTable(dir_.path(), "t", 10000);
  OpenTable("t");
  ASSERT_EQ(rows_.RowCount(), 10000);
  ASSERT_EQ(rows_.ColumnCount(), 2);
  EXPECT_EQ(rows_.ColumnTitle(0), "n");
  EXPECT_EQ(rows_.RowsRead(), 0);

  const int scrolls = scrolls_;
  EXPECT_EQ(rows_.CellText(0, 0), "1");
  EXPECT_EQ(rows_.CellText(9999, 1), "row 10000");
  EXPECT_EQ(rows_.CellText(5000, 0), "5001");
  EXPECT_EQ(rows_.CellText(5001, 0), "5002");
  // Three windows at most, of 64 rows each.
  EXPECT_LE(rows_.RowsRead(), 3 * 64);
  EXPECT_EQ(table_.RecNo(), 1);
  EXPECT_EQ(scrolls_, scrolls);
  EXPECT_EQ(rows_.CellText(10000, 0), "");
  EXPECT_EQ(rows_.CellText(0, 2), "");
}

TEST_F(GridRowsTest, TheCursorAndTheCurrentRowFollowEachOther) {
  MakeNumberedTable(dir_.path(), "t", 100);
  OpenTable("t");
  EXPECT_EQ(rows_.CurrentRow(), 0);
  table_.MoveBy(10);
  EXPECT_EQ(followed_, 10);
  EXPECT_EQ(rows_.CurrentRow(), 10);

  const int scrolls = scrolls_;
  rows_.MoveToRow(42);
  EXPECT_EQ(table_.RecNo(), 43);
  EXPECT_EQ(table_.FieldByName("n").AsInteger(), 43);
  EXPECT_EQ(scrolls_, scrolls + 1);
  rows_.MoveToRow(42);
  rows_.MoveToRow(100);
  EXPECT_EQ(scrolls_, scrolls + 1);
  table_.Last();
  EXPECT_EQ(rows_.CurrentRow(), 99);
}

TEST_F(GridRowsTest, EditsShowAtOnceAndPostsAndDeletesResetTheRows) {
  MakeNumberedTable(dir_.path(), "t", 10);
  OpenTable("t");
  rows_.SetEditable(true);
  EXPECT_EQ(rows_.CellText(3, 1), "row 4");
  rows_.SetCellText(3, 1, "négy");
  EXPECT_EQ(table_.State(), kivo::dsEdit);
  EXPECT_EQ(table_.RecNo(), 4);
  EXPECT_EQ(rows_.CellText(3, 1), "négy");

  // Moving to another row posts the edit.
  const int resets = resets_;
  rows_.MoveToRow(0);
  EXPECT_EQ(table_.State(), kivo::dsBrowse);
  EXPECT_GT(resets_, resets);
  EXPECT_EQ(rows_.CellText(3, 1), "négy");

  // A new record is an extra last row until it is posted.
  table_.Insert();
  EXPECT_EQ(rows_.RowCount(), 11);
  EXPECT_EQ(rows_.CurrentRow(), 10);
  rows_.SetCellText(10, 0, "77");
  EXPECT_EQ(rows_.CellText(10, 0), "77");
  table_.Post();
  EXPECT_EQ(rows_.RowCount(), 11);
  EXPECT_EQ(rows_.CellText(10, 0), "77");

  table_.First();
  table_.Delete();
  EXPECT_EQ(rows_.RowCount(), 10);
  EXPECT_EQ(rows_.CellText(0, 0), "2");
}

TEST_F(GridRowsTest, CellsAreReadOnlyUnlessEditingIsOn) {
  MakeNumberedTable(dir_.path(), "t", 3);
  OpenTable("t");
  EXPECT_FALSE(rows_.CellEditable(0));
  rows_.SetCellText(1, 0, "9");
  EXPECT_EQ(table_.State(), kivo::dsBrowse);
  EXPECT_EQ(rows_.CellText(1, 0), "2");
  rows_.SetEditable(true);
  EXPECT_TRUE(rows_.CellEditable(0));
  table_.SetReadOnly(true);
  EXPECT_FALSE(rows_.CellEditable(0));
}

TEST_F(GridRowsTest, MemoAndBlobCellsShowAPlaceholderWithoutBeingRead) {
  MakeMemoTable(dir_.path(), "m", {"first note", "", "third"});
  OpenTable("m");
  ASSERT_EQ(rows_.ColumnCount(), 3);
  EXPECT_EQ(rows_.CellText(0, 1), kMemoPlaceholder);
  EXPECT_EQ(rows_.CellText(1, 1), "");
  EXPECT_EQ(rows_.CellText(2, 2), kBlobPlaceholder);
  rows_.SetEditable(true);
  EXPECT_FALSE(rows_.CellEditable(1));
  EXPECT_FALSE(rows_.CellEditable(2));
  // With the BLOB data gone the cells still show: they never read it.
  table_.Close();
  const auto size = std::filesystem::file_size(dir_.file("m.bdf"));
  WriteFileBytes(dir_.file("m.bdf"), std::string(size, '\xFF'));
  table_.Open();
  EXPECT_EQ(rows_.CellText(0, 1), kMemoPlaceholder);
  EXPECT_EQ(rows_.CellText(0, 2), kBlobPlaceholder);
  std::string note;
  try {
    note = table_.FieldByName("note").AsString();
  } catch (const std::exception&) {
    note = "unreadable";
  }
  EXPECT_NE(note, "first note");
}

// ---- The navigator.

TEST_F(GridRowsTest, TheNavigatorEnablesByPositionAndState) {
  MakeNumberedTable(dir_.path(), "t", 3);
  EXPECT_EQ(NavigatorEnabled(nullptr), TNavigatorEnabled{});
  OpenTable("t");
  auto on = [this](TNavigatorButton b) { return NavigatorEnabled(&table_)[static_cast<int>(b)]; };
  EXPECT_FALSE(on(TNavigatorButton::kFirst));
  EXPECT_TRUE(on(TNavigatorButton::kNext));
  EXPECT_TRUE(on(TNavigatorButton::kEdit));
  EXPECT_FALSE(on(TNavigatorButton::kPost));
  ClickNavigatorButton(table_, TNavigatorButton::kLast);
  EXPECT_TRUE(on(TNavigatorButton::kPrior));
  EXPECT_FALSE(on(TNavigatorButton::kLast));
  ClickNavigatorButton(table_, TNavigatorButton::kEdit);
  EXPECT_TRUE(on(TNavigatorButton::kPost));
  EXPECT_TRUE(on(TNavigatorButton::kCancel));
  EXPECT_FALSE(on(TNavigatorButton::kEdit));
  ClickNavigatorButton(table_, TNavigatorButton::kCancel);
  // Delete asks nobody.
  ClickNavigatorButton(table_, TNavigatorButton::kDelete);
  EXPECT_EQ(table_.RecordCount(), 2);
  table_.SetReadOnly(true);
  EXPECT_FALSE(on(TNavigatorButton::kInsert));
  EXPECT_FALSE(on(TNavigatorButton::kDelete));
}

}  // namespace
}  // namespace kartova::testing
