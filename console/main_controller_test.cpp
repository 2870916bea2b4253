// The main window's controller through a recording view: start-up, the
// database commands, the table list and the settings file.
#include "console/main_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "console/console_test_util.h"
#include "console/recording_view_test_util.h"

namespace kartova::testing {
namespace {

using kivo::testing::WriteFileBytes;

class Controller : public ConsoleTest {
 protected:
  TfmMain& Start(std::vector<std::string> params) {
    controller_ = std::make_unique<TfmMain>(view_, std::move(params), Environment());
    controller_->ReportErrors([this] { controller_->FormCreate(); });
    return *controller_;
  }

  TRecordingView view_;
  std::unique_ptr<TfmMain> controller_;
};

TEST_F(Controller, StartUpRunsItsStepsInOrder) {
  MakeTables(dir_.path(), {"t1"});
  WriteFileBytes(dir_.file("s.sql"), "SELECT 1");
  TfmMain& c = Start({"", "s.sql"});

  ASSERT_FALSE(view_.log.empty());
  EXPECT_EQ(view_.log.front(), "SetCaption Kartova 3.5 DBMC");
  EXPECT_EQ(c.ScriptDialogDirectory(), dir_.file("program"));

  // The connect (it fills the list), then the script, then the Reopen menu,
  // and the navigator last.
  const int list = view_.LastIndexOf("SetTableList 1");
  const int script = view_.FirstIndexOf("SetEditorText");
  const int reopen = view_.LastIndexOf("SetReopenItems");
  const int navigator = view_.FirstIndexOf("SetNavigatorEditing");
  EXPECT_LT(0, list);
  EXPECT_LT(list, script);
  EXPECT_LT(script, reopen);
  EXPECT_LT(reopen, navigator);
  EXPECT_EQ(navigator, static_cast<int>(view_.log.size()) - 1);
  EXPECT_EQ(view_.editor, "SELECT 1");
  EXPECT_FALSE(c.Outcome().end_requested);
  EXPECT_TRUE(view_.default_errors.empty());
}

TEST_F(Controller, DirectoryDatabaseShowsItsSortedTables) {
  MakeTables(dir_.path(), {"zeta", "Alfa", "beta"});
  WriteFileBytes(dir_.file("notes.txt"), "not a table");
  TfmMain& c = Start({""});

  EXPECT_TRUE(c.CurrentDB().Connected());
  EXPECT_EQ(view_.tables, (std::vector<std::string>{"Alfa", "beta", "zeta"}));
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 3 ");
  EXPECT_EQ(view_.caption, "Kartova 3.5 DBMC - Adatbázis: ''");
  EXPECT_TRUE(view_.close_enabled);
  EXPECT_TRUE(view_.open_table_enabled);
  EXPECT_FALSE(view_.close_table_enabled);
}

TEST_F(Controller, TableNamesAreShownAsUtf8) {
  // The engine's names are Windows-1250: 0xE1 is "á", 0x8A is "Š".
  MakeTables(dir_.path(), {"\xE1ru", "\x8Akola"});
  TfmMain& c = Start({""});
  ASSERT_EQ(view_.tables.size(), 2u);
  EXPECT_NE(std::find(view_.tables.begin(), view_.tables.end(), "\xC3\xA1ru"), view_.tables.end());
  EXPECT_NE(std::find(view_.tables.begin(), view_.tables.end(), "\xC5\xA0kola"),
            view_.tables.end());
  // The controller keeps the engine's own bytes for the later table commands.
  EXPECT_NE(std::find(c.TableNames().begin(), c.TableNames().end(), "\xE1ru"),
            c.TableNames().end());
}

TEST_F(Controller, FailedStartUpConnectIsNotReported) {
  // The connect of a file that is no database fails and leaves the title.
  WriteFileBytes(dir_.file("broken.kvb"), std::string(600, 'x'));
  TfmMain& c = Start({dir_.file("broken.kvb")});
  EXPECT_FALSE(c.CurrentDB().Connected());
  EXPECT_EQ(view_.caption, "Kartova 3.5 DBMC");
  EXPECT_FALSE(view_.close_enabled);
  EXPECT_FALSE(view_.open_table_enabled);
  // Start-up does not report its connect.
  EXPECT_TRUE(view_.errors.empty());
  EXPECT_TRUE(view_.default_errors.empty());
}

TEST_F(Controller, StartUpFileIsExpandedAndRecorded) {
  std::filesystem::create_directories(dir_.file("sub"));
  TfmMain& c = Start({"sub/../mine.kvb"});
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), dir_.file("mine.kvb"));
  EXPECT_EQ(c.LoadRecentDatabases(), (std::vector<std::string>{dir_.file("mine.kvb")}));
  ASSERT_EQ(view_.reopen_items.size(), 1u);
  EXPECT_EQ(view_.reopen_items[0].caption, "0 " + dir_.file("mine.kvb"));
  EXPECT_TRUE(view_.reopen_items[0].checked);
  EXPECT_TRUE(view_.reopen_enabled);
}

TEST_F(Controller, WithoutParametersTheMostRecentDatabaseIsUsed) {
  {
    TRecordingView first_view;
    TfmMain first(first_view, {dir_.file("last.kvb")}, Environment());
    first.ReportErrors([&] { first.FormCreate(); });
  }
  TfmMain& c = Start({});
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), dir_.file("last.kvb"));
}

TEST_F(Controller, WithoutParametersAndRecentListTheDatabaseIsTheWorkingDirectory) {
  MakeTables(dir_.path(), {"only"});
  TfmMain& c = Start({});
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), "");
  EXPECT_EQ(view_.tables, (std::vector<std::string>{"only"}));
  EXPECT_FALSE(view_.reopen_enabled);
  EXPECT_TRUE(view_.reopen_items.empty());
}

TEST_F(Controller, CloseResetsTitleListAndCommands) {
  MakeTables(dir_.path(), {"a", "b", "c"});
  TfmMain& c = Start({""});
  ASSERT_EQ(view_.tables.size(), 3u);

  c.Close1Click();
  EXPECT_FALSE(c.CurrentDB().Connected());
  EXPECT_EQ(view_.caption, "Kartova 3.5 DBMC");
  EXPECT_TRUE(view_.tables.empty());
  EXPECT_TRUE(c.TableNames().empty());
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 0 ");
  EXPECT_FALSE(view_.open_table_enabled);
  EXPECT_FALSE(view_.close_enabled);
}

TEST_F(Controller, CancelledOpenLeavesTheOldListButDisconnects) {
  MakeTables(dir_.path(), {"a", "b", "c"});
  TfmMain& c = Start({""});
  ASSERT_TRUE(c.CurrentDB().Connected());

  c.Open1Click();
  ASSERT_EQ(view_.open_requests.size(), 1u);
  EXPECT_EQ(view_.open_requests[0].filter, "Kartova DB(*.kvb)|*.kvb|(*.*)|*.*");
  EXPECT_EQ(view_.open_requests[0].default_extension, ".kvb");
  EXPECT_FALSE(c.CurrentDB().Connected());
  EXPECT_FALSE(view_.close_enabled);
  EXPECT_EQ(view_.tables.size(), 3u);
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 3 ");
  EXPECT_TRUE(view_.errors.empty());
}

TEST_F(Controller, OpenOfABrokenFileShowsItsErrorText) {
  const std::string broken = dir_.file("broken.kvb");
  WriteFileBytes(broken, std::string(600, 'x'));
  TfmMain& c = Start({""});
  view_.open_answers.push_back(TFileDialogResult{broken, 1});

  c.Open1Click();
  EXPECT_EQ(view_.open_requests.back().file_name, "");
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), broken);
  EXPECT_FALSE(c.CurrentDB().Connected());
  EXPECT_FALSE(view_.close_enabled);
  ASSERT_EQ(view_.errors.size(), 1u);
  EXPECT_EQ(view_.errors[0], "Nem tudom a(z) \"" + broken + "\" adatbázist megnyitni!");
  EXPECT_EQ(c.LoadRecentDatabases().front(), broken);

  // The next Open offers the current file.
  c.Open1Click();
  EXPECT_EQ(view_.open_requests.back().file_name, broken);
}

TEST_F(Controller, NewWithoutADatabaseToConnectShowsItsErrorText) {
  const std::string broken = dir_.file("broken.kvb");
  WriteFileBytes(broken, std::string(600, 'x'));
  TfmMain& c = Start({broken});

  // Cancelled: the current file is connected again, and that fails.
  c.New1Click();
  ASSERT_EQ(view_.save_requests.size(), 1u);
  EXPECT_EQ(view_.save_requests[0].filter, "Kartova DB(*.kvb)|*.kvb|(*.*)|*.*");
  EXPECT_EQ(view_.save_requests[0].default_extension, ".kvb");
  EXPECT_EQ(view_.save_requests[0].file_name, broken);
  ASSERT_EQ(view_.errors.size(), 1u);
  EXPECT_EQ(view_.errors[0], "A(z) \"" + broken + "\" adatbázist nem lehet megnyitni.");
  EXPECT_FALSE(view_.close_enabled);
  EXPECT_FALSE(c.CurrentDB().Connected());
}

TEST_F(Controller, NewInAMissingFolderReportsTheCreationError) {
  TfmMain& c = Start({""});
  const std::string target = dir_.file("no/such/new.kvb");
  view_.save_answers.push_back(TFileDialogResult{target, 1});

  const bool ok = c.ReportErrors([&] { c.New1Click(); });
  EXPECT_FALSE(ok);
  ASSERT_EQ(view_.default_errors.size(), 1u);
  EXPECT_NE(view_.default_errors[0].find(
                "TKivoDatabaseManager.CreateDatabase - Cannot create database file"),
            std::string::npos)
      << view_.default_errors[0];
  // The creation error ends the command before any connect.
  EXPECT_TRUE(view_.errors.empty());
  EXPECT_FALSE(c.CurrentDB().Connected());
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), target);
}

TEST_F(Controller, ToolbarExitClosesTheDatabaseAndTheWindow) {
  MakeTables(dir_.path(), {"a"});
  TfmMain& c = Start({""});
  c.VEGEExecute();
  EXPECT_FALSE(c.CurrentDB().Connected());
  EXPECT_TRUE(view_.closed);
}

TEST_F(Controller, FileExitOnlyClosesTheWindow) {
  MakeTables(dir_.path(), {"a"});
  TfmMain& c = Start({""});
  c.Exit1Click();
  EXPECT_TRUE(view_.closed);
  EXPECT_TRUE(c.CurrentDB().Connected());
}

TEST_F(Controller, OpenTableWithoutSelectionIsRefused) {
  MakeTables(dir_.path(), {"a"});
  TfmMain& c = Start({""});
  c.OpenSelectedTable();
  ASSERT_EQ(view_.errors.size(), 1u);
  EXPECT_EQ(view_.errors[0], "Válasszon ki egy táblát a listából.");
  EXPECT_FALSE(c.CurrentTable().Active());
}

TEST_F(Controller, CloseTableResetsTheResultCaptionAndRecordPanel) {
  TfmMain& c = Start({""});
  view_.status[2] = "Rekord #      1 /      2";
  c.bnCloseTableClick();
  EXPECT_EQ(view_.result_caption, " Összes rekord: 0 ");
  EXPECT_EQ(view_.status[2], "");
  EXPECT_EQ(c.GridMode(), "");
}

TEST_F(Controller, CaretPositionIsCountedFromOne) {
  TfmMain& c = Start({""});
  c.reSQLSelectionChange(0, 0);
  EXPECT_EQ(view_.status[1], "      1:      1");
  c.reSQLSelectionChange(11, 104);
  EXPECT_EQ(view_.status[1], "     12:    105");
  c.reSQLSelectionChange(1234566, 0);
  EXPECT_EQ(view_.status[1], " 1234567:      1");
}

TEST_F(Controller, ScriptFileInWindows1250IsShownAsUtf8) {
  WriteFileBytes(dir_.file("s.sql"), "SELECT '\xE1rv\xEDzt\xFBr\xF5'\r\nFROM t");
  Start({"", "s.sql"});
  EXPECT_EQ(view_.editor, "SELECT '\xC3\xA1rv\xC3\xADzt\xC5\xB1r\xC5\x91'\nFROM t");
}

TEST_F(Controller, MissingScriptFileEndsStartUpWithTheDefaultReport) {
  Start({"", "missing.sql"});
  ASSERT_EQ(view_.default_errors.size(), 1u);
  EXPECT_NE(view_.default_errors[0].find("missing.sql"), std::string::npos);
  // The later steps did not run.
  EXPECT_FALSE(view_.navigator_all.has_value());
  EXPECT_FALSE(controller_->Outcome().end_requested);
}

// ---- the navigator setting -------------------------------------------------

class NavigatorSetting : public Controller {
 protected:
  std::optional<bool> WithIni(const std::optional<std::string>& content) {
    if (content) WriteFileBytes(dir_.file("program/krtcon.ini"), *content);
    Start({""});
    return view_.navigator_all;
  }
};

TEST_F(NavigatorSetting, MissingFileShowsFourButtons) {
  EXPECT_EQ(WithIni(std::nullopt), std::optional<bool>(false));
}

TEST_F(NavigatorSetting, OneShowsTenButtonsAfterTrimming) {
  EXPECT_EQ(WithIni("[navigator]\njavit=1\n"), std::optional<bool>(true));
}

TEST_F(NavigatorSetting, BlanksAroundTheValueAreTrimmed) {
  EXPECT_EQ(WithIni("[other]\nx=y\r\n[navigator]\r\njavit=  1 \t\r\n"), std::optional<bool>(true));
}

TEST_F(NavigatorSetting, OtherValuesShowFourButtons) {
  EXPECT_EQ(WithIni("[navigator]\njavit=0\n"), std::optional<bool>(false));
}

TEST_F(NavigatorSetting, ValueOfAnotherSectionDoesNotCount) {
  EXPECT_EQ(WithIni("[nav]\njavit=1\n[navigator]\nother=1\n"), std::optional<bool>(false));
}

TEST_F(NavigatorSetting, MalformedFileGivesTheDefault) {
  EXPECT_EQ(WithIni(std::string("\x00\xFF[navigator\njavit\n=1\n[[", 20)),
            std::optional<bool>(false));
}

TEST_F(NavigatorSetting, UnreadableFileGivesTheDefault) {
  std::filesystem::create_directories(dir_.file("program/krtcon.ini"));
  EXPECT_EQ(WithIni(std::nullopt), std::optional<bool>(false));
}

}  // namespace
}  // namespace kartova::testing
