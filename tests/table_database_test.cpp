// Tables in real databases: a directory, a memory database and .kvb
// containers with and without encryption. Tables are created, opened through
// connected data sets, written, closed, listed, renamed and deleted through
// the database manager, and an in-memory table is saved to its database.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "components/database.h"
#include "engine/data_manager.h"
#include "engine/table_test_support.h"
#include "platform/errors.h"
#include "storage/container/pagy_file_system.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::TempDir;

enum class Kind { kDirectory, kMemory, kContainer, kEncryptedContainer };

using Client = testing::TestClient;

class TableDatabaseTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    RegisterContainerStore();
    tables_before_ = TKivoDataManager::RegisteredCount();
    Connect();
  }
  void TearDown() override {
    db_.reset();
    EXPECT_EQ(TKivoDataManager::RegisteredCount(), tables_before_);
  }

  void Connect() {
    db_ = std::make_unique<TKivoDatabase>();
    switch (GetParam()) {
      case Kind::kDirectory:
        db_->SetDatabaseName(dir_.path());
        break;
      case Kind::kMemory:
        db_->SetDatabaseName("MEMORY");
        break;
      case Kind::kContainer:
        db_->SetDatabaseName("Tables");
        db_->SetDatabaseFileName(dir_.file("tables.kvb"));
        break;
      case Kind::kEncryptedContainer:
        db_->SetDatabaseName("Tables");
        db_->SetPassword("kulcs");
        db_->SetDatabaseFileName(dir_.file("tables.kvb"));
        break;
    }
    db_->Open();
  }
  bool Persistent() const { return GetParam() != Kind::kMemory; }
  TKivoDatabaseManager* Store() { return db_->Handle(); }
  std::vector<std::string> Tables() {
    std::vector<std::string> names;
    db_->GetTableNames(names);
    for (std::string& n : names)
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".dat") == 0) n.resize(n.size() - 4);
    std::sort(names.begin(), names.end());
    return names;
  }

  // Creates "name" with a STRING(12) and an INTEGER field.
  void CreateTable(const std::string& name, const std::string& password = "") {
    TFieldDefs fields;
    fields.Add("Item", ftString, 12, true);
    fields.Add("Qty", ftInteger);
    TDataManagerHold m(krGetDataManager(name, Store()));
    m->SetEncrypted(!password.empty());
    m->SetPassword(password);
    m->CreateTable(fields, TIndexDefs(), false, 1000);
  }

  static void Insert(TKivoDataManager& m, const std::string& item, std::int32_t qty) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(m.RecordSize()) + 8, 0);
    std::memcpy(buffer.data() + m.FieldOffset(0), item.data(), item.size());
    std::memcpy(buffer.data() + m.FieldOffset(1), &qty, 4);
    SetRecordId(m.Layout(), buffer.data(), static_cast<std::uint32_t>(m.LastAutoInc() + 1));
    m.InsertRecord(buffer.data(), 0);
  }
  // RecordCount as the header in the database's own store has it.
  std::int32_t MainStoreRecordCount(const std::string& table) {
    TAbstractFile* f = Store()->OpenFile(table + ".dat", 0, false, false, true);
    std::int32_t count = -1;
    f->Seek(264, TAbstractFile::kFromBeginning);
    f->ReadBuffer(&count, 4);
    Store()->CloseFile(f);
    return count;
  }
  static std::string ItemAt(TKivoDataManager& m, std::int32_t pos) {
    return reinterpret_cast<const char*>(m.GetRecordPtr(pos) + m.FieldOffset(0));
  }

  TempDir dir_;
  std::unique_ptr<TKivoDatabase> db_;
  int tables_before_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Databases, TableDatabaseTest,
                         ::testing::Values(Kind::kDirectory, Kind::kMemory, Kind::kContainer,
                                           Kind::kEncryptedContainer),
                         [](const auto& info) {
                           switch (info.param) {
                             case Kind::kDirectory:
                               return "Directory";
                             case Kind::kMemory:
                               return "Memory";
                             case Kind::kContainer:
                               return "Container";
                             default:
                               return "EncryptedContainer";
                           }
                         });

TEST_P(TableDatabaseTest, TableLivesThroughCreateOpenCloseRenameAndDelete) {
  CreateTable("Orders");
  EXPECT_EQ(Tables(), (std::vector<std::string>{"Orders"}));
  EXPECT_TRUE(Store()->FileExists("Orders.idx", 0));
  EXPECT_FALSE(Store()->FileExists("Orders.bif", 0));

  Client reader;
  TKivoDataManager* m = krGetDataManager("Orders", Store());
  ASSERT_EQ(m->ConnectDataset(&reader), kOpenOk);
  Insert(*m, "apple", 3);
  Insert(*m, "pear", 5);
  EXPECT_TRUE(m->DisconnectDataset(&reader));  // closes and flushes

  if (Persistent()) {
    db_.reset();
    Connect();
  }
  m = krGetDataManager("Orders", Store());
  ASSERT_EQ(m->ConnectDataset(&reader), kOpenOk);
  EXPECT_EQ(m->RecordCount(), 2);
  EXPECT_EQ(m->LastAutoInc(), 2);
  EXPECT_EQ(ItemAt(*m, 1), "pear");
  EXPECT_FALSE(m->IsEncrypted());
  EXPECT_TRUE(m->DisconnectDataset(&reader));

  TDataManagerHold(krGetDataManager("Orders", Store()))->RenameTable("Sales");
  EXPECT_EQ(Tables(), (std::vector<std::string>{"Sales"}));
  m = krGetDataManager("Sales", Store());
  ASSERT_EQ(m->ConnectDataset(&reader), kOpenOk);
  EXPECT_EQ(ItemAt(*m, 0), "apple");
  EXPECT_TRUE(m->DisconnectDataset(&reader));

  TDataManagerHold(krGetDataManager("Sales", Store()))->DeleteTable();
  EXPECT_EQ(Tables(), std::vector<std::string>{});
  m = krGetDataManager("Sales", Store());
  EXPECT_EQ(m->ConnectDataset(&reader), kOpenMissing);
  krReleaseDataManager(m);
}

TEST_P(TableDatabaseTest, EncryptedTableNeedsItsPassword) {
  CreateTable("Vault", "jelszo");
  Client owner;
  owner.encrypted = true;
  owner.password = "jelszo";
  TKivoDataManager* m = krGetDataManager("Vault", Store());
  ASSERT_EQ(m->ConnectDataset(&owner), kOpenOk);
  Insert(*m, "gold", 1);
  EXPECT_TRUE(m->IsEncrypted());
  EXPECT_TRUE(m->DisconnectDataset(&owner));

  // Closed: the flag is read from the header.
  EXPECT_TRUE(TDataManagerHold(krGetDataManager("Vault", Store()))->IsEncrypted());
  for (const char* wrong : {"", "Jelszo"}) {
    Client guest;
    guest.encrypted = true;
    guest.password = wrong;
    m = krGetDataManager("Vault", Store());
    EXPECT_EQ(m->ConnectDataset(&guest), kOpenInvalidPassword) << wrong;
    krReleaseDataManager(m);
  }
  m = krGetDataManager("Vault", Store());
  ASSERT_EQ(m->ConnectDataset(&owner), kOpenOk);
  EXPECT_EQ(ItemAt(*m, 0), "gold");
  EXPECT_TRUE(m->DisconnectDataset(&owner));
}

// Databases with a store besides memory.
class PersistentTableDatabaseTest : public TableDatabaseTest {};

INSTANTIATE_TEST_SUITE_P(Databases, PersistentTableDatabaseTest,
                         ::testing::Values(Kind::kDirectory, Kind::kContainer,
                                           Kind::kEncryptedContainer));

TEST_P(PersistentTableDatabaseTest, InMemoryTableIsSavedToTheDatabase) {
  CreateTable("Scratch");
  Client memory;
  memory.in_memory = true;
  TKivoDataManager* m = krGetDataManager("Scratch", Store());
  ASSERT_EQ(m->ConnectDataset(&memory), kOpenOk);
  EXPECT_EQ(m->StoreMode(), fsmMemory);
  Insert(*m, "draft", 7);
  m->FlushBuffers();
  EXPECT_EQ(MainStoreRecordCount("Scratch"), 0);  // the database has not seen it yet
  {
    Client disk;
    try {
      m->ConnectDataset(&disk);
      ADD_FAILURE() << "a disk data set joined an in-memory table";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(),
                "TKivoDataManager.ConnectDataset - Cannot open dataset in both InMemory and "
                "other modes.");
    }
  }
  m->SaveInMemoryTable();
  EXPECT_EQ(MainStoreRecordCount("Scratch"), 1);
  EXPECT_TRUE(m->DisconnectDataset(&memory));
  Store()->DeleteFile("Scratch.dat", fsmMemory);
  Store()->DeleteFile("Scratch.idx", fsmMemory);

  Client disk;
  m = krGetDataManager("Scratch", Store());
  ASSERT_EQ(m->ConnectDataset(&disk), kOpenOk);
  EXPECT_EQ(m->StoreMode(), 0);
  EXPECT_EQ(m->RecordCount(), 1);
  EXPECT_EQ(ItemAt(*m, 0), "draft");
  EXPECT_TRUE(m->DisconnectDataset(&disk));
}

TEST_P(TableDatabaseTest, ManagersAreSharedPerDatabaseAndTable) {
  CreateTable("Shared");
  TKivoDataManager* a = krGetDataManager("Shared", Store());
  EXPECT_EQ(krGetDataManager("SHARED", Store()), a);
  // The same table name in another database is another table.
  TempDir other;
  TKivoDatabase second;
  second.SetDatabaseName(other.path());
  second.Open();
  TKivoDataManager* b = krGetDataManager("Shared", second.Handle());
  EXPECT_NE(a, b);
  krReleaseDataManager(b);
  krReleaseDataManager(a);
}

}  // namespace
}  // namespace kivo
