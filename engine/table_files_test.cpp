// Table files on real plain file systems (a disk directory and memory): a
// table file written here from the documented layout opens and reads back;
// create, open, close, delete and rename; the open result codes; damaged
// headers, by hand and by seeded random damage, fail cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/data_manager.h"
#include "engine/field_types.h"
#include "engine/table_test_support.h"
#include "platform/errors.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using namespace testing;

// A database that is one plain file system.
class PlainStore : public TPlainTableFileStore {
 public:
  using TPlainTableFileStore::TPlainTableFileStore;

  Bytes Read(const std::string& name) {
    TAbstractFile* f = Files().OpenFile(name, false, false, true);
    Bytes out(static_cast<std::size_t>(f->GetSize()));
    f->SetPosition(0);
    if (!out.empty()) f->ReadBuffer(out.data(), static_cast<std::int32_t>(out.size()));
    Files().CloseFile(f);
    return out;
  }
  void Write(const std::string& name, const Bytes& content) {
    TAbstractFile* f = Files().OpenFile(name, true, false, false);
    if (!content.empty()) f->WriteBuffer(content.data(), static_cast<std::int32_t>(content.size()));
    Files().CloseFile(f);
  }
};

using Client = testing::TestClient;

// A version 4.5 table "Code" STRING(10), "Qty" SMALLINT, "Price" FLOAT with
// two records, written by hand. Record: 11 + 2 + 8 = 21 data bytes, the
// identifier at 21, a 1-byte null bitmap at 25, check string at 26, and a
// 32-byte tail: 53 bytes.
constexpr std::size_t kHandDataOffset = 284 + 3 * 267;
constexpr std::size_t kHandRecordSize = 53;

Bytes HandWrittenTable() {
  Bytes b(kHandDataOffset + 2 * kHandRecordSize, 0);
  PutI32(b, 0, 2);
  PutStr(b, 4, "RecId");
  PutI32(b, 260, 3);
  PutI32(b, 264, 2);
  PutF64(b, 268, 4.5);
  b[276] = 0xF0;
  b[279] = 9;  // the writer repeats ChangeCount's low byte here
  PutI32(b, 280, 9);
  const struct {
    const char* name;
    std::uint8_t type;
    std::int32_t size;
    std::uint8_t required;
  } fields[] = {{"Code", 1, 11, 1}, {"Qty", 2, 2, 0}, {"Price", 6, 8, 0}};
  for (std::size_t i = 0; i < 3; ++i) {
    std::size_t at = 284 + i * 267;
    PutStr(b, at, fields[i].name);
    b[at + 256] = fields[i].type;
    PutI32(b, at + 259, fields[i].size);
    b[at + 263] = fields[i].required;
  }
  for (std::size_t r = 0; r < 2; ++r) {
    std::size_t at = kHandDataOffset + r * kHandRecordSize;
    std::memcpy(b.data() + at, r == 0 ? "A-1" : "B-22", r == 0 ? 3 : 4);
    b[at + 11] = static_cast<std::uint8_t>(10 * (r + 1));
    PutF64(b, at + 13, 1.5 * static_cast<double>(r + 1));
    PutI32(b, at + 21, static_cast<std::int32_t>(r + 1));
  }
  return b;
}

class TableFilesTest : public ::testing::TestWithParam<bool> {
 protected:
  TableFilesTest()
      : disk_(dir_.path()),
        memory_("tables-" + dir_.path()),
        store_(GetParam() ? static_cast<TAbstractPlainFileSystem&>(memory_) : disk_, dir_.path()) {}
  void SetUp() override { managers_before_ = TKivoDataManager::RegisteredCount(); }
  void TearDown() override { EXPECT_EQ(TKivoDataManager::RegisteredCount(), managers_before_); }

  // A manager for one operation on a closed table, freed afterwards.
  TDataManagerHold Manager(const std::string& table) {
    return TDataManagerHold(krGetDataManager(table, &store_));
  }
  std::int8_t OpenCode(const std::string& table, const std::string& password = "") {
    auto m = Manager(table);
    m->SetPassword(password);
    return m->OpenTable();
  }

  TempDir dir_;
  TDiskPlainFileSystem disk_;
  TMemoryPlainFileSystem memory_;
  PlainStore store_;
  int managers_before_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Stores, TableFilesTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Memory" : "Disk"; });

TEST_P(TableFilesTest, HandWrittenTableOpensAndReadsBack) {
  store_.Write("hand.dat", HandWrittenTable());
  auto m = Manager("hand");
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(m->IdFieldName(), "RecId");
  EXPECT_EQ(m->IdFieldVisibility(), kIdFieldVisible);
  EXPECT_EQ(m->FieldCount(), 3);
  EXPECT_EQ(m->RecordCount(), 2);
  EXPECT_EQ(m->LastAutoInc(), 2);
  EXPECT_EQ(m->ChangeCount(), 9);
  EXPECT_EQ(m->FieldHeader(0), (TFieldHeader{"Code", ftString, 11, 1}));
  EXPECT_EQ(m->FieldHeader(2), (TFieldHeader{"Price", ftFloat, 8, 0}));
  EXPECT_EQ(m->FieldOffsets(), (std::vector<std::int32_t>{0, 11, 13}));
  EXPECT_EQ(m->DataOffset(), static_cast<std::int32_t>(kHandDataOffset));
  EXPECT_EQ(m->RecordSize(), static_cast<std::int32_t>(kHandRecordSize));
  EXPECT_FALSE(m->HasBLOBs());
  EXPECT_EQ(m->InternalGetFieldNo("recid", false), -1);
  EXPECT_EQ(m->InternalGetFieldNo("PRICE", false), 2);
  EXPECT_EQ(m->InternalGetFieldNo("none", false), -2);
  EXPECT_EQ(MessageOf([&] { m->InternalGetFieldNo("none", true); }),
            "Error in TKivoDataManager.InternalGetFieldNo - field \"none\" not found!");
  EXPECT_EQ(m->GetFieldType(-1), ftAutoInc);
  EXPECT_EQ(m->GetFieldType(3), ftAutoInc);
  EXPECT_EQ(m->GetFieldType(1), ftSmallint);
  EXPECT_THROW(m->GetFieldType(4), Exception);
  EXPECT_THROW(m->GetFieldType(-2), Exception);
  const std::uint8_t* rec = m->GetRecordPtr(1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec)), "B-22");
  // The missing index file was made anew.
  EXPECT_TRUE(store_.FileExists("hand.idx", 0));
  m->CloseTable();
  // Closing an unchanged table leaves its bytes as they were.
  EXPECT_EQ(store_.Read("hand.dat"), HandWrittenTable());
}

TEST_P(TableFilesTest, NextIdentifierIsWrittenToTheHeader) {
  store_.Write("hand.dat", HandWrittenTable());
  auto m = Manager("hand");
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  m->SetNextAutoInc(50);
  EXPECT_EQ(m->LastAutoInc(), 49);
  m->CloseTable();
  Bytes expected = HandWrittenTable();
  PutI32(expected, 0, 49);
  PutI32(expected, 280, 10);  // ChangeCount 9 + 1
  expected[279] = 10;         // its low byte
  EXPECT_EQ(store_.Read("hand.dat"), expected);
}

TEST_P(TableFilesTest, FailedFlushOnCloseIsReportedAndTheTableStillCloses) {
  std::vector<std::string> reported;
  TKivoDataManager::SetCloseErrorHandler([&](const std::string& m) { reported.push_back(m); });
  store_.Write("hand.dat", HandWrittenTable());
  auto m = Manager("hand");
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  m->SetNextAutoInc(50);
  m->DatFile()->Close();  // every later write to T.dat fails
  m->CloseTable();
  TKivoDataManager::SetCloseErrorHandler(nullptr);
  EXPECT_EQ(reported, std::vector<std::string>{
                          "TKivoDataManager.CloseTable - Cannot flush changes. Probably the "
                          "table is opened by other application."});
  EXPECT_FALSE(m->IsOpen());
  EXPECT_EQ(m->DatFile(), nullptr);
  m.reset();

  // Nobody to tell: the failure is raised, still after closing.
  store_.DeleteFile("hand.dat", 0);  // a closed memory file has lost its content
  store_.Write("hand.dat", HandWrittenTable());
  Client client;
  TKivoDataManager* shared = krGetDataManager("hand", &store_);
  ASSERT_EQ(shared->ConnectDataset(&client), kOpenOk);
  shared->SetNextAutoInc(60);
  shared->DatFile()->Close();
  EXPECT_EQ(MessageOf([&] { shared->DisconnectDataset(&client); }), reported[0]);
  EXPECT_FALSE(TKivoDataManager::IsRegistered(shared));
}

TEST_P(TableFilesTest, LongerDataFileIsCutBackOnOpen) {
  Bytes b = HandWrittenTable();
  b.resize(b.size() + 40, 0xEE);
  store_.Write("hand.dat", b);
  EXPECT_EQ(OpenCode("hand"), kOpenOk);
  EXPECT_EQ(store_.Read("hand.dat"), HandWrittenTable());
}

TEST_P(TableFilesTest, CreatedTableHasTheDocumentedHeader) {
  TFieldDefs fields;
  fields.Add("Name", ftString, 20, true);
  fields.Add("Wide", ftWideString, 20);
  fields.Add("Raw", ftBytes, 5);
  fields.Add("When", ftDateTime);
  auto m = Manager("people");
  m->CreateTable(fields, TIndexDefs(), false, 1000);
  EXPECT_FALSE(m->IsOpen());
  EXPECT_TRUE(store_.FileExists("people.dat", 0));
  EXPECT_TRUE(store_.FileExists("people.idx", 0));
  EXPECT_FALSE(store_.FileExists("people.bif", 0));
  EXPECT_FALSE(store_.FileExists("people.bdf", 0));

  Bytes b = store_.Read("people.dat");
  const std::size_t dataOffset = 284 + 4 * 267;
  // The gaps are skipped: the file ends two bytes before the records.
  ASSERT_EQ(b.size(), dataOffset - 2);
  EXPECT_EQ(GetF64(b, 268), 4.5);
  EXPECT_EQ(GetF64(b, 40), 0.0);
  EXPECT_EQ(GetI32(b, 260), 4);
  EXPECT_EQ(GetI32(b, 264), 0);
  EXPECT_EQ(b[276], 0xFC);
  std::string id(reinterpret_cast<const char*>(b.data() + 5), b[4]);
  ASSERT_GT(id.size(), 2u);
  EXPECT_EQ(id.substr(0, 2), "id");
  EXPECT_EQ(id.find_first_not_of("0123456789", 2), std::string::npos) << id;
  const std::int32_t slots[] = {21, 22, 5, 8};
  const std::uint8_t types[] = {ftString, ftWideString, ftBytes, ftDateTime};
  for (std::size_t i = 0; i < 4; ++i) {
    std::size_t at = 284 + i * 267;
    EXPECT_EQ(b[at + 256], types[i]);
    EXPECT_EQ(GetI32(b, at + 259), slots[i]);
    EXPECT_EQ(b[at + 263], i == 0 ? 1 : 0);
  }

  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(m->IdFieldName(), id);
  EXPECT_EQ(m->DataOffset(), static_cast<std::int32_t>(dataOffset));
  EXPECT_EQ(m->RecordCount(), 0);
  m->CloseTable();
}

TEST_P(TableFilesTest, IdentifierFromAutoIncFields) {
  TFieldDefs fields;
  fields.Add("A", ftInteger);
  fields.Add("Key", ftAutoInc);
  fields.Add("Second", ftAutoInc);
  auto m = Manager("auto");
  m->CreateTable(fields, TIndexDefs(), true, 1000);
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(m->IdFieldName(), "Key");
  EXPECT_EQ(m->IdFieldVisibility(), kIdFieldVisible);
  ASSERT_EQ(m->FieldCount(), 2);
  EXPECT_EQ(m->FieldHeader(1), (TFieldHeader{"Second", ftInteger, 4, 0}));
  EXPECT_EQ(m->InternalGetFieldNo("key", false), -1);
  m->CloseTable();
}

TEST_P(TableFilesTest, BLOBTableHasFourFiles) {
  TFieldDefs fields;
  fields.Add("Note", ftMemo);
  fields.Add("N", ftInteger);
  auto m = Manager("notes");
  m->CreateTable(fields, TIndexDefs(), false, 1000);
  for (const char* f : {"notes.dat", "notes.idx", "notes.bif", "notes.bdf"})
    EXPECT_TRUE(store_.FileExists(f, 0)) << f;
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_TRUE(m->HasBLOBs());
  EXPECT_EQ(m->FieldOffset(1), 0);  // a BLOB takes no bytes in the record
  EXPECT_NE(m->BdfFile(), nullptr);
  m->CloseTable();
  EXPECT_EQ(m->BdfFile(), nullptr);
  m->RenameTable("memos");
  for (const char* f : {"memos.dat", "memos.idx", "memos.bif", "memos.bdf"})
    EXPECT_TRUE(store_.FileExists(f, 0)) << f;
  EXPECT_FALSE(store_.FileExists("notes.dat", 0));
  EXPECT_EQ(m->TableName(), "memos");
  m->DeleteTable();
  for (const char* f : {"memos.dat", "memos.idx", "memos.bif", "memos.bdf"})
    EXPECT_FALSE(store_.FileExists(f, 0)) << f;
}

TEST_P(TableFilesTest, RenameAndDeleteSkipMissingFilesAndOverwrite) {
  TFieldDefs fields;
  fields.Add("N", ftInteger);
  Manager("a")->CreateTable(fields, TIndexDefs(), false, 1000);
  store_.Write("b.dat", Bytes{1, 2, 3});
  Manager("a")->RenameTable("b");
  EXPECT_FALSE(store_.FileExists("a.dat", 0));
  EXPECT_EQ(OpenCode("b"), kOpenOk);  // the old b.dat was replaced
  // A rename that changes only case.
  Manager("b")->RenameTable("B");
  EXPECT_EQ(OpenCode("B"), kOpenOk);
  Manager("B")->DeleteTable();
  EXPECT_FALSE(store_.FileExists("B.dat", 0));
  EXPECT_FALSE(store_.FileExists("B.idx", 0));
  Manager("B")->DeleteTable();  // nothing left to delete: no error
}

TEST_P(TableFilesTest, OpenResultCodes) {
  EXPECT_EQ(OpenCode("nothing"), kOpenMissing);
  store_.Write("short.dat", Bytes(30, 0));
  EXPECT_EQ(OpenCode("short"), kOpenFailed);

  TFieldDefs fields;
  fields.Add("N", ftInteger);
  {
    auto m = Manager("secret");
    m->SetEncrypted(true);
    m->SetPassword("pw");
    m->CreateTable(fields, TIndexDefs(), false, 1000);
  }
  EXPECT_TRUE(Manager("secret")->IsEncrypted());
  // Without records any non-empty password opens it, an empty one never.
  EXPECT_EQ(OpenCode("secret", ""), kOpenInvalidPassword);
  EXPECT_EQ(OpenCode("secret", "other"), kOpenOk);
}

TEST_P(TableFilesTest, DatasetsShareTheManager) {
  TFieldDefs fields;
  fields.Add("N", ftInteger);
  Manager("t")->CreateTable(fields, TIndexDefs(), false, 1000);
  Client a, b, memory;
  memory.in_memory = true;
  TKivoDataManager* m = krGetDataManager("t", &store_);
  EXPECT_EQ(krGetDataManager("T", &store_), m);
  EXPECT_EQ(m->ConnectDataset(&a), kOpenOk);
  EXPECT_TRUE(m->IsOpen());
  EXPECT_EQ(m->ConnectDataset(&b), kOpenOk);
  EXPECT_EQ(MessageOf([&] { m->ConnectDataset(&memory); }),
            "TKivoDataManager.ConnectDataset - Cannot open dataset in both InMemory and other "
            "modes.");
  Client encrypted;
  encrypted.encrypted = true;
  encrypted.password = "x";
  EXPECT_EQ(MessageOf([&] { m->ConnectDataset(&encrypted); }),
            "TKivoDataManager.ConnectDataset - Inavlid password for table \"t\"");
  EXPECT_EQ(m->DatasetCount(), 2);  // the refused data sets are not listed
  EXPECT_FALSE(m->DisconnectDataset(&a));
  EXPECT_TRUE(TKivoDataManager::IsRegistered(m));
  EXPECT_TRUE(m->DisconnectDataset(&b));
  EXPECT_FALSE(TKivoDataManager::IsRegistered(m));

  // A failed open leaves the data set detached and the manager closed.
  Client c;
  TKivoDataManager* missing = krGetDataManager("missing", &store_);
  EXPECT_NE(missing->ConnectDataset(&c), kOpenOk);
  EXPECT_EQ(missing->DatasetCount(), 0);
  EXPECT_FALSE(missing->IsOpen());
  krReleaseDataManager(missing);
  EXPECT_THROW(krGetDataManager("t", nullptr), Exception);
  TKivoDataManager lone("lone", &store_);
  EXPECT_EQ(MessageOf([&] { lone.DetectFileStoreMode(); }),
            "TKivoDataManager.DetectFileStoreMode - there is no datasets, datasetList.count = 0");
}

TEST_P(TableFilesTest, CreateTableRejectsBadDefinitions) {
  auto messageOf = [&](const TFieldDefs& f, const TIndexDefs& i) -> std::string {
    try {
      Manager("bad")->CreateTable(f, i, false, 1000);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "(created)";
  };
  auto one = [](const std::string& name, TFieldType type = ftInteger, int size = 0) {
    TFieldDefs f;
    f.Add(name, type, size);
    return f;
  };
  const std::string rule =
      "Make sure that the name doen't contain a period (.),bracket ([]) leading or trailing "
      "space, or non-printable character such as a carriage return";
  EXPECT_EQ(messageOf(one(std::string(253, 'x')), {}), "(created)");
  EXPECT_EQ(messageOf(one(std::string(254, 'x')), {}),
            "Field name must have <= 253 chars. Please shorten field name \"" +
                std::string(254, 'x') + "\"");
  for (std::string bad : {"a.b", "a[1]", "x]", " lead", "trail ", "tab\t"})
    EXPECT_EQ(messageOf(one(bad), {}), "Invalid field name \"" + bad + "\". " + rule) << bad;
  EXPECT_EQ(messageOf(one(""), {}), "TKivoDataManager.CreateTable - field name is empty.");
  EXPECT_EQ(messageOf(one("s", ftString, 0), {}),
            "Error in TKivoDataManager.CreateTable - illegal string size !");
  EXPECT_EQ(messageOf(one("b", ftBytes, 0), {}),
            "Error in TKivoDataManager.CreateTable - illegal ftBytes size !");
  EXPECT_EQ(messageOf(one("w", ftWideString, -1), {}),
            "Error in TKivoDataManager.CreateTable - illegal wide string size !");
  for (TFieldType t : {ftUnknown, ftParadoxOle, ftFixedChar, static_cast<TFieldType>(13)})
    EXPECT_EQ(messageOf(one("u", t, 4), {}),
              "Error in TKivoDataManager.CreateTable - Unsupported DB type!");

  TIndexDefs empty;
  empty.Add("", "N");
  EXPECT_EQ(messageOf(one("N"), empty),
            "Index name cannot be not blank. Please set non-blank index name.");
  TIndexDefs dotted;
  dotted.Add("by.n", "N");
  EXPECT_EQ(messageOf(one("N"), dotted), "Invalid index name \"by.n\". " + rule);
  TIndexDefs longName;
  longName.Add(std::string(254, 'i'), "N");
  EXPECT_EQ(messageOf(one("N"), longName),
            "Index name must have <= 253 chars. Please shorten index name \"" +
                std::string(254, 'i') + "\"");
}

// ---- Damaged headers ----

std::string ManagerError(TTableFileStore& store, const std::string& table) {
  TDataManagerHold m(krGetDataManager(table, &store));
  return MessageOf([&] { m->IsEncrypted(); });
}

TEST_P(TableFilesTest, DamagedHeadersAreRefused) {
  struct Case {
    const char* what;
    std::size_t at;
    std::int32_t value;
    const char* message;
  } cases[] = {
      {"negative FieldCount", 260, -1, "invalid field count = -1"},
      {"huge FieldCount", 260, 0x7FFFFFFF, "invalid field count = 2147483647"},
      {"FieldCount past the file", 260, 40, "invalid field count = 40"},
      {"negative RecordCount", 264, -5, "invalid record count = -5"},
      {"huge RecordCount", 264, 0x7FFFFFFF, "invalid record count = 2147483647"},
      {"RecordCount past the file", 264, 3, "invalid record count = 3"},
      {"negative FieldSize", 284 + 259, -11, "invalid size -11 of field \"Code\""},
      {"huge FieldSize", 284 + 259, 0x7FFFFFFF, "invalid size 2147483647 of field \"Code\""},
      {"wrong fixed size", 284 + 267 + 259, 8, "invalid size 8 of field \"Qty\""},
  };
  for (const Case& c : cases) {
    Bytes b = HandWrittenTable();
    PutI32(b, c.at, c.value);
    store_.Write("bad.dat", b);
    EXPECT_EQ(OpenCode("bad"), kOpenFailed) << c.what;
    std::string message = ManagerError(store_, "bad");
    EXPECT_EQ(message.rfind("Error in TKivoDataManager.OpenTable - ", 0), 0u) << c.what;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.what << ": " << message;
  }
  for (std::uint8_t type : {0, 13, 14, 19, 22, 26, 200}) {
    Bytes b = HandWrittenTable();
    b[284 + 267 + 256] = type;
    store_.Write("bad.dat", b);
    EXPECT_EQ(OpenCode("bad"), kOpenFailed) << int{type};
    EXPECT_EQ(ManagerError(store_, "bad"),
              "Error in TKivoDataManager.OpenTable - unsupported type " + std::to_string(type) +
                  " of field \"Qty\"")
        << int{type};
  }
}

// The result code stays what it was; the error behind it is kept beside it.
TEST_P(TableFilesTest, AFailedOpenKeepsItsCause) {
  Bytes b = HandWrittenTable();
  PutI32(b, 264, -5);
  store_.Write("bad.dat", b);
  auto m = Manager("bad");
  EXPECT_EQ(m->OpenTable(), kOpenFailed);
  EXPECT_EQ(m->LastOpenError(), "Error in TKivoDataManager.OpenTable - invalid record count = -5");

  // A success, and the codes no error stands behind, leave it empty.
  store_.Write("bad.dat", HandWrittenTable());
  EXPECT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(m->LastOpenError(), "");
  m->CloseTable();
  auto missing = Manager("nothing");
  EXPECT_EQ(missing->OpenTable(), kOpenMissing);
  EXPECT_EQ(missing->LastOpenError(), "");
}

// A table file the store cannot open keeps the store's own reason behind the
// engine's message.
TEST_P(TableFilesTest, AFileTheStoreCannotOpenKeepsTheStoresReason) {
  if (GetParam()) GTEST_SKIP() << "a memory store hands out a file that is already open";
  store_.Write("held.dat", HandWrittenTable());
  TAbstractFile* held = store_.Files().OpenFile("held.dat", false, false, true);
  auto m = Manager("held");
  EXPECT_EQ(m->OpenTable(), kOpenFailed);
  EXPECT_EQ(m->LastOpenError(),
            "TKivoDataManager.OpenFiles - can not open file \"held.dat\", bCreated = 0, "
            "ReadOnly = 0: TDiskPlainFileSystem.OpenFile - File \"" +
                dir_.path() + "/held.dat\" is already open.");
  store_.Files().CloseFile(held);
  EXPECT_EQ(m->OpenTable(), kOpenOk);
  m->CloseTable();
}

TEST_P(TableFilesTest, VersionsThatCannotBeRead) {
  auto withVersion = [&](double v) {
    Bytes b = HandWrittenTable();
    PutF64(b, 268, v);
    store_.Write("v.dat", b);
  };
  // 4.5 layout with a Version that is not a number: detection falls back to
  // the legacy layout, whose Version (offset 40) is zero.
  withVersion(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(OpenCode("v"), kOpenFailed);
  EXPECT_EQ(ManagerError(store_, "v"), "Error opening table - invalid version = 0");
  // A legacy header whose Version is not a number is refused as such.
  Bytes legacy(56, 0);
  PutF64(legacy, 40, std::numeric_limits<double>::quiet_NaN());
  store_.Write("v.dat", legacy);
  EXPECT_EQ(OpenCode("v"), kOpenFailed);
  EXPECT_EQ(ManagerError(store_, "v").rfind("Error opening table - invalid version = ", 0), 0u);
  PutF64(legacy, 40, 0.5);
  store_.Write("v.dat", legacy);
  EXPECT_EQ(ManagerError(store_, "v"), "Error opening table - invalid version = 0.5");
  // Newer than this engine (found at 268 only between 4.499 and 4.501).
  withVersion(4.5005);
  EXPECT_EQ(OpenCode("v"), kOpenFailed);
  EXPECT_EQ(ManagerError(store_, "v"),
            "Error in TKivoDataManager.OpenTable - Invalid db engine version in file v.dat "
            "(version = 4.50, internalCurrentVersion = 4.50) !");
  // A legacy table of version 4.0 without fields or records opens as it is.
  PutF64(legacy, 40, 4.0);
  store_.Write("v.dat", legacy);
  EXPECT_EQ(OpenCode("v"), kOpenOk);
}

TEST_P(TableFilesTest, LegacyTableIsConvertedWithItsRecords) {
  // Version 1.2: legacy names, 8-byte null bitmap; one STRING(5) field and
  // two records of 6 + 32 bytes.
  Bytes b(56 + 32 + 2 * 38, 0);
  PutI32(b, 0, 2);
  PutStr(b, 4, "oldid");
  PutI32(b, 28, 1);
  PutI32(b, 32, 2);
  PutF64(b, 40, 1.2);
  b[48] = 0xFC;
  PutStr(b, 56, "Word");
  b[56 + 21] = ftString;
  PutI32(b, 56 + 24, 6);
  for (int r = 0; r < 2; ++r) {
    std::size_t at = 88 + static_cast<std::size_t>(r) * 38;
    std::memcpy(b.data() + at, r == 0 ? "alpha" : "beta", r == 0 ? 5 : 4);
    PutI32(b, at + 6, r + 1);
    b[at + 10] = static_cast<std::uint8_t>(r);  // record 1: field 0 null
  }
  store_.Write("old.dat", b);
  auto m = Manager("old");
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(m->Version(), 4.5);
  EXPECT_EQ(m->DataOffset(), 284 + 267);
  EXPECT_EQ(m->RecordSize(), 6 + 32);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m->GetRecordPtr(0))), "alpha");
  EXPECT_EQ(GetRecordId(m->Layout(), m->GetRecordPtr(1)), 2u);
  EXPECT_TRUE(IsFieldNull(m->Layout(), m->GetRecordPtr(1), 0));
  EXPECT_FALSE(IsFieldNull(m->Layout(), m->GetRecordPtr(0), 0));
  m->CloseTable();
  Bytes now = store_.Read("old.dat");
  ASSERT_EQ(now.size(), std::size_t{284 + 267 + 2 * 38});
  EXPECT_EQ(GetF64(now, 268), 4.5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(now.data() + 551 + 38)), "beta");
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(m->IdFieldName(), "oldid");
  EXPECT_EQ(m->FieldHeader(0).FieldName, "Word");
  m->CloseTable();
}

// Random damage to the header of a small valid table: every outcome is a
// result code, never a crash, a hang or a huge allocation; a table that still
// opens is self-consistent and closes.
TEST_P(TableFilesTest, RandomHeaderDamageFailsCleanly) {
  const Bytes good = HandWrittenTable();
  std::mt19937 rng(20261209u);
  const std::int32_t extremes[] = {
      0, -1, 1, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000), 0x10000, 267, 53, 1 << 24};
  int opened = 0;
  // Memory files make the bulk of the cases cheap; disk files see fewer.
  const int rounds = GetParam() ? 3000 : 300;
  for (int round = 0; round < rounds; ++round) {
    Bytes b = good;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      std::size_t at = rng() % kHandDataOffset;
      switch (rng() % 3) {
        case 0:
          b[at] = static_cast<std::uint8_t>(rng());
          break;
        case 1:
          if (at + 4 <= b.size()) PutI32(b, at, extremes[rng() % std::size(extremes)]);
          break;
        default:
          b[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      }
    }
    if (rng() % 8 == 0) b.resize(rng() % b.size());
    store_.Write("fz.dat", b);
    store_.DeleteFile("fz.idx", 0);
    auto m = Manager("fz");
    m->SetPassword("pw");
    const std::int8_t code = m->OpenTable();
    ASSERT_TRUE(code == kOpenOk || code == kOpenFailed || code == kOpenInvalidPassword)
        << "round " << round << " code " << int{code};
    if (code != kOpenOk) {
      EXPECT_FALSE(m->IsOpen());
      EXPECT_EQ(m->DatFile(), nullptr);
      continue;
    }
    ++opened;
    ASSERT_GE(m->FieldCount(), 0);
    ASSERT_GE(m->RecordCount(), 0);
    ASSERT_LE(std::int64_t{m->DataOffset()} + std::int64_t{m->RecordCount()} * m->RecordSize(),
              std::int64_t{m->DatFile()->GetSize()} + 3);
    for (int r = 0; r < m->RecordCount(); ++r) ASSERT_NE(m->GetRecordPtr(r), nullptr);
    m->CloseTable();
  }
  EXPECT_GT(opened, 0);  // the damage leaves some tables readable
}

}  // namespace
}  // namespace kivo

namespace kivo {
namespace {

// The registry keeps a manager exactly as long as data sets are connected to
// it, whatever order they come and go in; run under the address sanitizer a
// use of a destroyed manager fails here too.
TEST_P(TableFilesTest, ManagerLivesExactlyAsLongAsItsDataSets) {
  TFieldDefs fields;
  fields.Add("N", ftInteger);
  Manager("t")->CreateTable(fields, TIndexDefs(), false, 1000);
  const std::vector<std::vector<int>> orders = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {0, 2, 1}};
  for (const std::vector<int>& connect : orders) {
    for (const std::vector<int>& disconnect : orders) {
      Client clients[3];
      TKivoDataManager* m = nullptr;
      for (int i : connect) {
        TKivoDataManager* got = krGetDataManager("t", &store_);
        if (m) {
          EXPECT_EQ(got, m);  // every data set shares the one manager
        }
        m = got;
        ASSERT_EQ(m->ConnectDataset(&clients[i]), kOpenOk);
      }
      EXPECT_EQ(TKivoDataManager::RegisteredCount(), managers_before_ + 1);
      for (std::size_t k = 0; k < disconnect.size(); ++k) {
        const bool last = k + 1 == disconnect.size();
        EXPECT_EQ(m->DisconnectDataset(&clients[disconnect[k]]), last);
        EXPECT_EQ(TKivoDataManager::IsRegistered(m), !last);
        if (!last) {
          EXPECT_TRUE(m->IsOpen());
          EXPECT_EQ(m->DatasetCount(), static_cast<int>(disconnect.size() - k - 1));
        }
      }
      EXPECT_EQ(TKivoDataManager::RegisteredCount(), managers_before_);
    }
  }
}

TEST_P(TableFilesTest, AHolderNeverEndsAManagerItsDataSetsUse) {
  TFieldDefs fields;
  fields.Add("N", ftInteger);
  Manager("t")->CreateTable(fields, TIndexDefs(), false, 1000);
  EXPECT_EQ(TKivoDataManager::RegisteredCount(), managers_before_);  // the creator let go

  Client a, b;
  TKivoDataManager* m = krGetDataManager("t", &store_);
  ASSERT_EQ(m->ConnectDataset(&a), kOpenOk);
  {
    // A holder of the same table (a rename or a check) comes and goes while
    // the data set works: the data set keeps the manager and its table open.
    TDataManagerHold held(krGetDataManager("T", &store_));
    EXPECT_EQ(held.get(), m);
  }
  krReleaseDataManager(m);
  ASSERT_TRUE(TKivoDataManager::IsRegistered(m));
  EXPECT_TRUE(m->IsOpen());
  ASSERT_EQ(m->ConnectDataset(&b), kOpenOk);
  EXPECT_FALSE(m->DisconnectDataset(&a));
  EXPECT_TRUE(m->DisconnectDataset(&b));
  EXPECT_FALSE(TKivoDataManager::IsRegistered(m));

  // Without data sets the holder is the last user: giving it back ends the
  // manager and closes the table the holder opened.
  m = krGetDataManager("t", &store_);
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  krReleaseDataManager(m);
  EXPECT_FALSE(TKivoDataManager::IsRegistered(m));
  krReleaseDataManager(nullptr);
  // The table was closed on the way out: it opens exclusively again.
  EXPECT_EQ(OpenCode("t"), kOpenOk);
}

TEST_P(TableFilesTest, EveryHoldCountsUntilTheLastOneGoes) {
  TFieldDefs fields;
  fields.Add("N", ftInteger);
  Manager("t")->CreateTable(fields, TIndexDefs(), false, 1000);

  // Two holders of one table overlap: the first to leave must not end the
  // manager the second still uses.
  auto first = std::make_unique<TDataManagerHold>(krGetDataManager("t", &store_));
  TDataManagerHold second(krGetDataManager("T", &store_));
  ASSERT_EQ(first->get(), second.get());
  TKivoDataManager* m = second.get();
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  first.reset();
  ASSERT_TRUE(TKivoDataManager::IsRegistered(m));
  EXPECT_TRUE(m->IsOpen());
  EXPECT_EQ(m->RecordCount(), 0);
  // A moved hold is still one hold.
  TDataManagerHold moved(std::move(second));
  EXPECT_FALSE(second);
  ASSERT_TRUE(TKivoDataManager::IsRegistered(m));

  // A data set that leaves while a hold remains leaves the manager (and its
  // open table) to the holder; the hold's end then ends both.
  Client a;
  ASSERT_EQ(m->ConnectDataset(&a), kOpenOk);
  EXPECT_FALSE(m->DisconnectDataset(&a));
  ASSERT_TRUE(TKivoDataManager::IsRegistered(m));
  EXPECT_TRUE(m->IsOpen());
  krReleaseDataManager(m);  // an uncounted release cannot end a held manager
  ASSERT_TRUE(TKivoDataManager::IsRegistered(m));
  moved.reset();
  EXPECT_FALSE(TKivoDataManager::IsRegistered(m));
  EXPECT_EQ(OpenCode("t"), kOpenOk);
}

}  // namespace
}  // namespace kivo
