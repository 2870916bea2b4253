// The console on .kvb container files: Database › New creates one, Open of
// an encrypted one asks for the password until it fits or the user gives
// up, and start-up on a missing file creates an empty database there.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "components/database.h"
#include "components/kivo_table.h"
#include "console/console_test_util.h"
#include "console/main_controller.h"
#include "console/recording_view_test_util.h"
#include "storage/file_layer.h"

namespace kartova::testing {
namespace {

bool ContainerRegistered(const std::string& path) {
  return kivo::TPFSManager::Instance().FindPFS(path, kivo::fsmSingleFile) != nullptr;
}

class ContainerConsole : public ConsoleTest {
 protected:
  TfmMain& Start(std::vector<std::string> params) {
    controller_ = std::make_unique<TfmMain>(view_, std::move(params), Environment());
    controller_->ReportErrors([this] { controller_->FormCreate(); });
    return *controller_;
  }

  // A container database at `path` holding empty table files `tables`.
  static void MakeDatabase(const std::string& path, const std::string& password,
                           std::initializer_list<const char*> tables) {
    kivo::TKivoDatabase db;
    db.SetDatabaseName("Maker");
    db.SetPassword(password);
    db.CreateDatabase(path);
    db.Open();
    for (const char* table : tables) {
      kivo::TAbstractFile* f = db.Handle()->OpenFile(std::string(table) + ".dat",
                                                     kivo::fsmSingleFile, true, false, false);
      f->WriteBuffer("row", 3);
      db.Handle()->CloseFile(f);
    }
  }

  std::string PasswordTitle(const std::string& path) const {
    return "A(z) \"" + path + "\" adatbázis elérése";
  }

  TRecordingView view_;
  std::unique_ptr<TfmMain> controller_;
};

TEST_F(ContainerConsole, NewCreatesAnEmptyContainerAndConnectsToIt) {
  TfmMain& c = Start({""});
  const std::string path = dir_.file("uj.kvb");
  view_.save_answers.push_back(TFileDialogResult{path, 1});

  ASSERT_TRUE(c.ReportErrors([&] { c.New1Click(); })) << view_.default_errors.back();
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(c.CurrentDB().Connected());
  EXPECT_EQ(c.CurrentDB().Handle()->StoreMode(), kivo::fsmSingleFile);
  EXPECT_EQ(view_.caption, "Kartova 3.5 DBMC - Adatbázis: 'uj.kvb'");
  EXPECT_TRUE(view_.tables.empty());
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 0 ");
  EXPECT_TRUE(view_.close_enabled);
  EXPECT_TRUE(view_.open_table_enabled);
  EXPECT_TRUE(view_.errors.empty());
  EXPECT_TRUE(view_.input_requests.empty());  // a new file has no password
  EXPECT_EQ(c.LoadRecentDatabases().front(), path);

  c.Close1Click();
  EXPECT_FALSE(ContainerRegistered(path));
}

TEST_F(ContainerConsole, OpenOfAnEncryptedDatabaseAsksAgainAfterAWrongPassword) {
  const std::string path = dir_.file("titkos.kvb");
  MakeDatabase(path, "jelsz\xF3", {"zeta", "Alfa"});  // "jelszó" in Windows-1250
  TfmMain& c = Start({""});
  view_.open_answers.push_back(TFileDialogResult{path, 1});
  view_.input_answers.push_back(std::string("rossz"));
  view_.input_answers.push_back(std::string("jelszó"));

  c.Open1Click();
  ASSERT_EQ(view_.input_requests.size(), 2u);
  for (const auto& request : view_.input_requests) {
    EXPECT_EQ(request.title, PasswordTitle(path));
    EXPECT_EQ(request.prompt, "Kérem a jelszót: ");
    EXPECT_TRUE(request.masked);
  }
  EXPECT_EQ(view_.input_requests[0].prefilled, "");
  EXPECT_EQ(view_.input_requests[1].prefilled, "rossz");  // the text typed last time
  EXPECT_TRUE(c.CurrentDB().Connected());
  EXPECT_EQ(view_.tables, (std::vector<std::string>{"Alfa", "zeta"}));
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 2 ");
  EXPECT_EQ(view_.caption, "Kartova 3.5 DBMC - Adatbázis: 'titkos.kvb'");
  EXPECT_TRUE(view_.close_enabled);
  EXPECT_TRUE(view_.errors.empty());

  // The next connect offers the password that worked.
  c.Close1Click();
  view_.input_answers.push_back(std::nullopt);
  EXPECT_FALSE(c.ConnectCurrentDatabase());
  EXPECT_EQ(view_.input_requests.back().prefilled, "jelszó");
}

TEST_F(ContainerConsole, CancelledPasswordIsAFailedOpen) {
  const std::string path = dir_.file("titkos.kvb");
  MakeDatabase(path, "pw", {"t"});
  MakeTables(dir_.path(), {"old"});
  TfmMain& c = Start({""});
  ASSERT_EQ(view_.tables, (std::vector<std::string>{"old"}));
  view_.open_answers.push_back(TFileDialogResult{path, 1});
  view_.input_answers.push_back(std::string("wrong"));
  view_.input_answers.push_back(std::nullopt);

  c.Open1Click();
  EXPECT_EQ(view_.input_requests.size(), 2u);
  EXPECT_FALSE(c.CurrentDB().Connected());
  EXPECT_FALSE(ContainerRegistered(path));
  ASSERT_EQ(view_.errors.size(), 1u);
  EXPECT_EQ(view_.errors[0], "Nem tudom a(z) \"" + path + "\" adatbázist megnyitni!");
  EXPECT_EQ(view_.caption, "Kartova 3.5 DBMC");
  EXPECT_TRUE(view_.tables.empty());
  EXPECT_FALSE(view_.close_enabled);
  EXPECT_FALSE(view_.open_table_enabled);
  EXPECT_FALSE(view_.close_table_enabled);
}

TEST_F(ContainerConsole, TablesOfAnEncryptedDatabaseOpenAgainAfterACancelledOpen) {
  const std::string path = dir_.file("titkos.kvb");
  MakeDatabase(path, "pw", {});
  {
    kivo::TKivoDatabase db;
    db.SetDatabaseName("Maker");
    db.SetDatabaseFileName(path);
    db.SetPassword("pw");
    db.Open();
    for (const char* name : {"adat", "zart"}) {
      kivo::TKivoTable t;
      t.SetDatabaseName("Maker");
      t.SetTableName(name);
      t.FieldDefs().Add("n", kivo::ftInteger);
      // The second table is encrypted with a password of its own.
      t.SetEncrypted(std::string(name) == "zart");
      t.SetPassword("tp");
      t.CreateTable();
      t.Open();
      for (int i = 1; i <= 2; ++i) {
        t.Append();
        t.FieldByName("n").SetAsInteger(i);
        t.Post();
      }
    }
  }
  view_.input_answers.push_back(std::string("pw"));
  TfmMain& c = Start({path});
  ASSERT_TRUE(c.CurrentDB().Connected());
  ASSERT_EQ(view_.tables, (std::vector<std::string>{"adat", "zart"}));
  const std::size_t prompts = view_.input_requests.size();

  view_.selected = 0;
  ASSERT_TRUE(c.ReportErrors([&] { c.OpenSelectedTable(); }));
  EXPECT_EQ(view_.result_caption, " A(z) 'adat' tábla rekordjainak száma: 2 ");

  // A cancelled Open dialog leaves the database disconnected; the table
  // reconnects it through the session, asking nobody.
  c.Open1Click();
  EXPECT_FALSE(c.CurrentDB().Connected());
  ASSERT_TRUE(c.ReportErrors([&] { c.OpenSelectedTable(); }));
  EXPECT_TRUE(c.CurrentTable().Active());
  EXPECT_EQ(c.CurrentTable().RecordCount(), 2);
  EXPECT_EQ(view_.input_requests.size(), prompts);

  // A table encrypted on its own is not opened.
  view_.selected = 1;
  EXPECT_FALSE(c.ReportErrors([&] { c.OpenSelectedTable(); }));
  EXPECT_EQ(view_.default_errors.back(),
            "Error in TKivoDataSet.GetRecordCount - no table was opened.");
  EXPECT_FALSE(c.CurrentTable().Active());
}

TEST_F(ContainerConsole, StartUpOnAMissingFileCreatesAnEmptyDatabase) {
  TfmMain& c = Start({"demo.kvb"});
  const std::string path = dir_.file("demo.kvb");
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(c.CurrentDB().Connected());
  EXPECT_EQ(c.CurrentDB().DatabaseFileName(), path);
  EXPECT_EQ(view_.caption, "Kartova 3.5 DBMC - Adatbázis: 'demo.kvb'");
  EXPECT_EQ(view_.tables_caption, " Elérhető táblák: 0 ");
  EXPECT_TRUE(view_.default_errors.empty());
  controller_.reset();
  EXPECT_FALSE(ContainerRegistered(path));

  // The second start finds the database it made.
  {
    kivo::TKivoDatabase db;
    db.SetDatabaseName("Check");
    db.SetDatabaseFileName(path);
    db.Open();
    kivo::TAbstractFile* f =
        db.Handle()->OpenFile("t.dat", kivo::fsmSingleFile, true, false, false);
    db.Handle()->CloseFile(f);
  }
  TRecordingView second;
  TfmMain again(second, {"demo.kvb"}, Environment());
  ASSERT_TRUE(again.ReportErrors([&] { again.FormCreate(); }));
  EXPECT_EQ(second.tables, (std::vector<std::string>{"t"}));
}

}  // namespace
}  // namespace kartova::testing
