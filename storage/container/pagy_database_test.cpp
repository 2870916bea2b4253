// A database component on a real .kvb container: creation on first open,
// table files written through the store, reopening, page geometry, passwords
// and write-protected files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "components/database.h"
#include "platform/errors.h"
#include "storage/container/pagy_file_system.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WhatOf;
using testing::WriteFileBytes;

constexpr char kInvalid[] = "TKivoDatabase.Open - Invalid password or corrupted database file.";

class ContainerDatabase : public ::testing::Test {
 protected:
  void SetUp() override { managers_before = TKivoDatabaseManager::RegisteredCount(); }
  void TearDown() override { EXPECT_EQ(TKivoDatabaseManager::RegisteredCount(), managers_before); }

  static void WriteTableFile(TKivoDatabase& db, const std::string& name,
                             const std::string& content) {
    TAbstractFile* f = db.Handle()->OpenFile(name, fsmSingleFile, true, false, false);
    ASSERT_NE(f, nullptr);
    f->WriteBuffer(content.data(), static_cast<std::int32_t>(content.size()));
    db.Handle()->CloseFile(f);
  }
  static std::string ReadTableFile(TKivoDatabase& db, const std::string& name) {
    TAbstractFile* f = db.Handle()->OpenFile(name, fsmSingleFile, false, false, true);
    if (!f) return "(no store)";
    std::string out(static_cast<std::size_t>(f->GetSize()), '\0');
    f->ReadBuffer(out.data(), static_cast<std::int32_t>(out.size()));
    db.Handle()->CloseFile(f);
    return out;
  }
  static std::vector<std::string> Tables(TKivoDatabase& db) {
    std::vector<std::string> names;
    db.GetTableNames(names);
    std::sort(names.begin(), names.end());
    return names;
  }
  static bool Registered(const std::string& path) {
    return TPFSManager::Instance().FindPFS(path, fsmSingleFile) != nullptr;
  }

  TempDir dir;
  int managers_before = 0;
};

TEST_F(ContainerDatabase, NewFileIsCreatedListsItsTablesAndSurvivesReopening) {
  const std::string path = dir.file("shop.kvb");
  {
    TKivoDatabase db;
    db.SetDatabaseName("Shop");
    db.SetDatabaseFileName(path);
    EXPECT_FALSE(db.Exists());
    db.Open();
    ASSERT_TRUE(db.Connected());
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(db.Handle()->StoreMode(), fsmSingleFile);
    EXPECT_TRUE(Registered(path));
    EXPECT_TRUE(Tables(db).empty());
    WriteTableFile(db, "orders.dat", "order rows");
    WriteTableFile(db, "orders.idx", "order index");
    WriteTableFile(db, "Customers.dat", "customer rows");
    EXPECT_EQ(Tables(db), (std::vector<std::string>{"Customers", "orders"}));
    db.Close();
    EXPECT_FALSE(db.Connected());
    EXPECT_FALSE(Registered(path));  // the container is closed with the last user
  }
  TKivoDatabase again;
  again.SetDatabaseName("ShopAgain");
  again.SetDatabaseFileName(path);
  EXPECT_TRUE(again.Exists());
  again.Open();
  EXPECT_EQ(Tables(again), (std::vector<std::string>{"Customers", "orders"}));
  EXPECT_EQ(ReadTableFile(again, "orders.dat"), "order rows");
  EXPECT_EQ(ReadTableFile(again, "orders.idx"), "order index");
  EXPECT_TRUE(again.Handle()->DeleteFile("orders.idx", fsmSingleFile));
  EXPECT_FALSE(again.Handle()->FileExists("orders.idx", fsmSingleFile));
  EXPECT_TRUE(again.Handle()->RenameFile("orders.dat", "sales.dat", fsmSingleFile));
  EXPECT_EQ(Tables(again), (std::vector<std::string>{"Customers", "sales"}));
}

TEST_F(ContainerDatabase, FileModeChoosesThePageSizeOfANewContainer) {
  struct Case {
    TDatabaseFileMode mode;
    std::int32_t page_size, extent_pages;
  };
  for (Case c : {Case{dfmCompact, 544, 2}, Case{dfmNormal, 4096, 8}, Case{dfmLarge, 8192, 16}}) {
    const std::string path = dir.file("mode" + std::to_string(c.mode) + ".kvb");
    {
      TKivoDatabase db;
      db.SetDatabaseName("Mode");
      db.SetDatabaseFileName(path);
      db.SetDatabaseFileMode(c.mode);
      db.Open();
      WriteTableFile(db, "t.dat", std::string(3000, 'r'));
      EXPECT_EQ(ReadTableFile(db, "t.dat"), std::string(3000, 'r'));
    }
    TPagybox box(path, kOpenReadOnly | kShareDenyNone, false, "", "", "", 4096, 8, -1);
    EXPECT_EQ(box.PageManager().PageSize(), c.page_size) << path;
    EXPECT_EQ(box.PageManager().ExtentPageCount(), c.extent_pages) << path;
  }
}

TEST_F(ContainerDatabase, EncryptedDatabaseOpensOnlyWithItsPassword) {
  const std::string path = dir.file("secret.kvb");
  const std::string rows = "Confidential row content";
  {
    TKivoDatabase db;
    db.SetDatabaseName("Secret");
    db.SetPassword("titok");
    db.CreateDatabase(path);
    EXPECT_FALSE(db.Connected());
    EXPECT_TRUE(db.Encrypted());  // read from the header while disconnected
    db.Open();
    EXPECT_TRUE(db.Encrypted());
    EXPECT_EQ(db.Password(), "titok");
    WriteTableFile(db, "t.dat", rows);
  }
  EXPECT_EQ(ReadFileBytes(path).find(rows), std::string::npos);

  TKivoDatabase db;
  db.SetDatabaseName("Secret");
  db.SetDatabaseFileName(path);
  for (const char* wrong : {"", "Titok", "titok "}) {
    db.SetPassword(wrong);
    EXPECT_EQ(WhatOf([&] { db.Open(); }), kInvalid) << wrong;
    EXPECT_FALSE(db.Connected());
    EXPECT_EQ(db.Handle(), nullptr);
    EXPECT_EQ(TKivoDatabaseManager::RegisteredCount(), managers_before);
    EXPECT_FALSE(Registered(path));
  }
  db.SetPassword("titok");
  db.Open();
  EXPECT_EQ(Tables(db), (std::vector<std::string>{"t"}));
  EXPECT_EQ(ReadTableFile(db, "t.dat"), rows);
}

TEST_F(ContainerDatabase, DamagedFileIsRefusedAndLeftAlone) {
  const std::string path = dir.file("cut.kvb");
  {
    TKivoDatabase db;
    db.SetDatabaseName("Cut");
    db.SetDatabaseFileName(path);
    db.Open();
    WriteTableFile(db, "t.dat", std::string(5000, 'x'));
  }
  const std::string damaged = ReadFileBytes(path).substr(0, 280 + 200);
  WriteFileBytes(path, damaged);
  TKivoDatabase db;
  db.SetDatabaseName("Cut");
  db.SetDatabaseFileName(path);
  EXPECT_EQ(WhatOf([&] { db.Open(); }), kInvalid);
  EXPECT_FALSE(db.Connected());
  EXPECT_FALSE(Registered(path));
  EXPECT_EQ(ReadFileBytes(path), damaged);  // not replaced by a new database
}

TEST_F(ContainerDatabase, WriteProtectedFileOpensReadOnly) {
  const std::string path = dir.file("ro.kvb");
  {
    TKivoDatabase db;
    db.SetDatabaseName("Ro");
    db.SetDatabaseFileName(path);
    db.Open();
    WriteTableFile(db, "t.dat", "kept");
  }
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  const std::string before = ReadFileBytes(path);
  {
    TKivoDatabase db;
    db.SetDatabaseName("Ro");
    db.SetDatabaseFileName(path);
    EXPECT_FALSE(db.ReadOnly());
    db.Open();
    EXPECT_TRUE(db.ReadOnly());
    EXPECT_TRUE(db.Handle()->ReadOnly());
    TAbstractPlainFileSystem* pfs = TPFSManager::Instance().FindPFS(path, fsmSingleFile);
    ASSERT_NE(pfs, nullptr);
    EXPECT_TRUE(pfs->ReadOnly());
    EXPECT_EQ(Tables(db), (std::vector<std::string>{"t"}));
    EXPECT_EQ(ReadTableFile(db, "t.dat"), "kept");
    EXPECT_EQ(WhatOf([&] { db.Handle()->OpenFile("new.dat", fsmSingleFile, true, false, false); }),
              "Cannot create file \"new.dat\"");
  }
  EXPECT_EQ(ReadFileBytes(path), before);
}

}  // namespace
}  // namespace kivo
