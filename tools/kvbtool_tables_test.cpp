// kvbtool tables, dump and the table part of check, run as a process on
// tables the engine made in directory databases and .kvb containers,
// encrypted and not, and on tables whose T.dat was damaged by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "components/database.h"
#include "engine/data_manager.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "storage/container/pagy_file_system.h"
#include "testing/test_support.h"
#include "tools/kvbtool_test_support.h"

namespace kivo::testing {
namespace {

// A read-write data set as the table manager sees it.
struct TClient : TDataManagerClient {
  std::string password;
  bool ClientInMemory() const override { return false; }
  bool ClientReadOnly() const override { return false; }
  void SetClientReadOnly(bool) override {}
  bool ClientEncrypted() const override { return !password.empty(); }
  std::string ClientPassword() const override { return password; }
  std::int32_t ClientRecordsPerPageHint() const override { return 1000; }
  bool ClientCacheEnabled() const override { return true; }
  std::uint8_t ClientBLOBCompression() const override { return 0; }
  std::int32_t ClientBLOBBlockSize() const override { return 512; }
};

enum class Kind { kDirectory, kContainer, kEncryptedContainer };

// Stored day number of a date (1 January of year 1 is day 1).
std::int32_t StoredDay(int year, int month, int day) {
  double dt = 0;
  EXPECT_TRUE(TryEncodeDateTime(year, month, day, 0, 0, 0, 0, &dt));
  return static_cast<std::int32_t>(dt) + kDateDelta;
}

class KvbtoolTables : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override { RegisterContainerStore(); }

  std::string DbPath() const {
    return GetParam() == Kind::kDirectory ? dir_.file("db") : dir_.file("tables.kvb");
  }
  std::string DbPassword() const { return GetParam() == Kind::kEncryptedContainer ? "kulcs" : ""; }

  std::unique_ptr<TKivoDatabase> OpenDb() {
    auto db = std::make_unique<TKivoDatabase>();
    if (GetParam() == Kind::kDirectory) {
      std::filesystem::create_directories(DbPath());
      db->SetDatabaseName(DbPath());
    } else {
      db->SetDatabaseName("ToolTables");
      db->SetPassword(DbPassword());
      db->SetDatabaseFileName(DbPath());
    }
    db->Open();
    return db;
  }

  // "Goods": Item STRING(20) required, Qty INTEGER, Price FLOAT, Day DATE,
  // At DATETIME, Ok LOGICAL, Wide WIDESTRING(8), Big LARGEINT, with an
  // ftAutoInc identifier "Code"; three rows, the last with nulls.
  void MakeGoods(const std::string& tablePassword = "") {
    auto db = OpenDb();
    TFieldDefs fields;
    fields.Add("Code", ftAutoInc);
    fields.Add("Item", ftString, 20, true);
    fields.Add("Qty", ftInteger);
    fields.Add("Price", ftFloat);
    fields.Add("Day", ftDate);
    fields.Add("At", ftDateTime);
    fields.Add("Ok", ftBoolean);
    fields.Add("Wide", ftWideString, 8);
    fields.Add("Big", ftLargeint);
    {
      TDataManagerHold creator(krGetDataManager("Goods", db->Handle()));
      creator->SetEncrypted(!tablePassword.empty());
      creator->SetPassword(tablePassword);
      creator->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    TClient client;
    client.password = tablePassword;
    TKivoDataManager* m = krGetDataManager("Goods", db->Handle());
    ASSERT_EQ(m->ConnectDataset(&client), kOpenOk);
    const std::int32_t day = StoredDay(2024, 3, 15);
    const double at = (double(StoredDay(1999, 12, 31)) * kMsPerDay) + 23 * 3600000.0 +
                      59 * 60000.0 + 58 * 1000.0 + 250;
    struct Row {
      std::string item;  // Windows-1250
      std::int32_t qty;
      double price;
      std::u16string wide;
      std::int64_t big;
      bool ok;
    };
    const Row rows[] = {
        {"t\xFCk\xF6r, \"nagy\"", 3, 12.5, u"\u0151\u0171x", -5, true},  // tükör, "nagy"
        {"alma", -7, 0.1, u"ab", 9000000000LL, false},
    };
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(m->RecordSize()) + 8);
    std::uint32_t id = 0;
    for (const Row& r : rows) {
      std::fill(buffer.begin(), buffer.end(), 0);
      std::memcpy(&buffer[m->FieldOffset(0)], r.item.data(), r.item.size());
      std::memcpy(&buffer[m->FieldOffset(1)], &r.qty, 4);
      std::memcpy(&buffer[m->FieldOffset(2)], &r.price, 8);
      std::memcpy(&buffer[m->FieldOffset(3)], &day, 4);
      std::memcpy(&buffer[m->FieldOffset(4)], &at, 8);
      const std::uint16_t ok = r.ok ? 1 : 0;
      std::memcpy(&buffer[m->FieldOffset(5)], &ok, 2);
      std::memcpy(&buffer[m->FieldOffset(6)], r.wide.data(), r.wide.size() * 2);
      std::memcpy(&buffer[m->FieldOffset(7)], &r.big, 8);
      SetRecordId(m->Layout(), buffer.data(), ++id);
      m->InsertRecord(buffer.data(), 0);
    }
    // Only the item: every other field null.
    std::fill(buffer.begin(), buffer.end(), 0);
    std::memcpy(&buffer[m->FieldOffset(0)], "x", 1);
    for (int field = 1; field < m->FieldCount(); ++field)
      SetFieldNull(m->Layout(), buffer.data(), field, true);
    SetRecordId(m->Layout(), buffer.data(), ++id);
    m->InsertRecord(buffer.data(), 0);
    EXPECT_TRUE(m->DisconnectDataset(&client));
  }

  ProcessResult Run(std::vector<std::string> args, const std::string& password = "") {
    if (!password.empty()) {
      args.push_back("--password");
      args.push_back(password);
    }
    return RunKvbtool(args);
  }

  // The bytes of every file of the database (a container is one file).
  std::string Snapshot() {
    std::string all;
    if (GetParam() != Kind::kDirectory) return ReadFileBytes(DbPath());
    for (const auto& e : std::filesystem::directory_iterator(DbPath()))
      all += e.path().filename().string() + "=" + ReadFileBytes(e.path().string()) + ";";
    return all;
  }

  TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Databases, KvbtoolTables,
                         ::testing::Values(Kind::kDirectory, Kind::kContainer,
                                           Kind::kEncryptedContainer),
                         [](const auto& info) {
                           switch (info.param) {
                             case Kind::kDirectory:
                               return "Directory";
                             case Kind::kContainer:
                               return "Container";
                             default:
                               return "EncryptedContainer";
                           }
                         });

const char kGoodsCsv[] =
    "Code,Item,Qty,Price,Day,At,Ok,Wide,Big\n"
    "1,\"tükör, \"\"nagy\"\"\",3,12.5,2024-03-15,1999-12-31 23:59:58.250,true,őűx,-5\n"
    "2,alma,-7,0.1,2024-03-15,1999-12-31 23:59:58.250,false,ab,9000000000\n"
    "3,x,,,,,,,\n";

TEST_P(KvbtoolTables, TablesDescribesEachHeader) {
  MakeGoods();
  const ProcessResult r = Run({"tables", DbPath()}, DbPassword());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string& out = r.out;
  EXPECT_EQ(out.rfind("table Goods\n", 0), 0u) << out;
  for (const char* line : {"  version:            4.5\n", "  record count:       3\n",
                           "  identifier:         Code (visible AUTOINC field)\n",
                           "  last identifier:    3 (next 4)\n", "  encrypted:          no\n",
                           "  fields:             8\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "in\n" << out;
  // Types by name, slot sizes, the required flag.
  EXPECT_NE(out.find("    Item                ftString       size 21  required\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("    Wide                ftWideString   size 10\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    Big                 ftLargeint     size 8\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("flush"), std::string::npos) << out;
}

TEST_P(KvbtoolTables, TablesListsIndexesAndCheckVerifiesTheirSavedArrays) {
  MakeGoods();
  {
    auto db = OpenDb();
    TClient client;
    TKivoDataManager* m = krGetDataManager("Goods", db->Handle());
    ASSERT_EQ(m->ConnectDataset(&client), kOpenOk);
    m->AddIndex("ByQty", "Qty;Item", ixUnique, "Qty", "Item", false);
    EXPECT_TRUE(m->DisconnectDataset(&client));
  }
  const std::string password = DbPassword();
  const ProcessResult r = Run({"tables", DbPath()}, password);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("  indexes:            2 (arrays current)\n"
                       "    @Code               Code  unique\n"
                       "    ByQty               Qty DESC;Item NOCASE  unique\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Run({"check", DbPath()}, password).out, "ok\n");
  if (GetParam() != Kind::kDirectory) return;

  // Damage the saved arrays of ByQty (3 records): [0]=Qty 3, [1]=Qty -7, [2]=null.
  const std::string idx = DbPath() + "/Goods.idx";
  const std::string pristine = ReadFileBytes(idx);
  const std::size_t byQty = pristine.size() - 12;
  std::string bytes = pristine;
  std::swap(bytes[byQty], bytes[byQty + 4]);
  WriteFileBytes(idx, bytes);
  ProcessResult check = Run({"check", DbPath()});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_EQ(check.out, "table \"Goods\": index \"ByQty\": entries 0 and 1 are out of key order\n");
  bytes = pristine;
  bytes[byQty] = 9;  // no record 9
  WriteFileBytes(idx, bytes);
  check = Run({"check", DbPath()});
  EXPECT_EQ(check.out,
            "table \"Goods\": index \"ByQty\": the saved array is not a permutation of the "
            "record positions 0 .. 2\n");
  WriteFileBytes(idx, pristine.substr(0, pristine.size() - 1));
  EXPECT_NE(Run({"check", DbPath()}).out.find("its arrays need"), std::string::npos);
  WriteFileBytes(idx, pristine.substr(0, 40));
  EXPECT_EQ(Run({"check", DbPath()}).out, "table \"Goods\": Goods.idx has damaged index headers\n");
  EXPECT_NE(Run({"tables", DbPath()}).out.find("  indexes:            damaged Goods.idx;"),
            std::string::npos);
  // A stale counter: the arrays are not used as saved, so not checked.
  bytes = pristine;
  bytes[0] = static_cast<char>(bytes[0] + 1);
  std::swap(bytes[byQty], bytes[byQty + 4]);
  WriteFileBytes(idx, bytes);
  EXPECT_EQ(Run({"check", DbPath()}).out, "ok\n");
  EXPECT_NE(Run({"tables", DbPath()}).out.find("(arrays stale, sorted again at the next open)"),
            std::string::npos);
  // The first index keyed on a field: records are found by identifier
  // through it.
  bytes.replace(16 + 256 + 4, 4, std::string(4, '\0'));
  WriteFileBytes(idx, bytes);
  EXPECT_EQ(Run({"check", DbPath()}).out,
            "table \"Goods\": index \"@Code\": the first index does not order the record "
            "identifiers\n");
}

TEST_P(KvbtoolTables, DumpWritesRowsAsUtf8CommaSeparatedText) {
  MakeGoods();
  const std::string before = Snapshot();
  const ProcessResult r = Run({"dump", DbPath(), "Goods"}, DbPassword());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, kGoodsCsv);
  const ProcessResult check = Run({"check", DbPath()}, DbPassword());
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  EXPECT_EQ(check.out, "ok\n");
  EXPECT_EQ(Run({"tables", DbPath()}, DbPassword()).exit_code, 0);
  EXPECT_EQ(Snapshot(), before) << "kvbtool changed the database";

  const ProcessResult missing = Run({"dump", DbPath(), "Nothing"}, DbPassword());
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err, "kvbtool: TKivoDataset.OpenTable - table \"Nothing\" does not exist.\n");
}

TEST_P(KvbtoolTables, EncryptedTableNeedsItsPasswordToBeDumped) {
  // An encrypted container opens with its own password, so the table gets
  // that one too; a directory's table has a password of its own.
  const std::string password = GetParam() == Kind::kEncryptedContainer ? DbPassword() : "titok";
  MakeGoods(password);
  const ProcessResult tables = Run({"tables", DbPath()}, DbPassword());
  EXPECT_EQ(tables.exit_code, 0) << tables.err;
  EXPECT_NE(tables.out.find("  encrypted:          yes\n"), std::string::npos) << tables.out;

  const ProcessResult good = Run({"dump", DbPath(), "Goods"}, password);
  EXPECT_EQ(good.exit_code, 0) << good.err;
  EXPECT_EQ(good.out, kGoodsCsv);
  EXPECT_EQ(Run({"check", DbPath()}, password).out, "ok\n");

  if (GetParam() != Kind::kEncryptedContainer) {
    for (const std::string wrong : {"", "Titok"}) {
      const ProcessResult r = Run({"dump", DbPath(), "Goods"}, wrong);
      EXPECT_EQ(r.exit_code, 1) << wrong;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "kvbtool: TKivoDataset.OpenTable - invalid password.\n") << wrong;
    }
    // Without a password only the header is checked; a wrong one is a finding.
    EXPECT_EQ(Run({"check", DbPath()}).out, "ok\n");
    const ProcessResult wrong = Run({"check", DbPath()}, "Titok");
    EXPECT_EQ(wrong.exit_code, 1);
    EXPECT_EQ(wrong.out, "table \"Goods\": TKivoDataset.OpenTable - invalid password.\n");
  }
}

// ---------------------------------------------------------------- damage

class KvbtoolDamagedTables : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.file("db"));
    TKivoDatabase db;
    db.SetDatabaseName(dir_.file("db"));
    db.Open();
    TFieldDefs fields;
    fields.Add("Name", ftString, 10);
    {
      TDataManagerHold creator(krGetDataManager("T", db.Handle()));
      creator->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    TClient client;
    TKivoDataManager* m = krGetDataManager("T", db.Handle());
    ASSERT_EQ(m->ConnectDataset(&client), kOpenOk);
    record_size_ = m->RecordSize();
    data_offset_ = m->DataOffset();
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(m->RecordSize()) + 8);
    for (std::uint32_t id = 1; id <= 4; ++id) {
      std::fill(buffer.begin(), buffer.end(), 0);
      buffer[0] = static_cast<std::uint8_t>('a' + id);
      SetRecordId(m->Layout(), buffer.data(), id);
      m->InsertRecord(buffer.data(), 0);
    }
    EXPECT_TRUE(m->DisconnectDataset(&client));
    dat_ = ReadFileBytes(DatPath());
  }

  std::string DatPath() const { return dir_.file("db/T.dat"); }
  void PutI32(std::string& bytes, std::size_t at, std::int32_t v) { StoreLE(bytes.data() + at, v); }
  ProcessResult Run(const std::vector<std::string>& args) { return RunKvbtool(args); }

  TempDir dir_;
  std::string dat_;
  std::int32_t record_size_ = 0;
  std::int32_t data_offset_ = 0;
};

TEST_F(KvbtoolDamagedTables, SoundTableChecksOk) {
  EXPECT_EQ(Run({"check", dir_.file("db")}).out, "ok\n");
  EXPECT_EQ(static_cast<std::int64_t>(dat_.size()), data_offset_ + 4 * record_size_);
}

TEST_F(KvbtoolDamagedTables, RecordCountBeyondTheFileIsReported) {
  std::string bytes = dat_;
  PutI32(bytes, 264, 5);  // one record more than the file holds
  WriteFileBytes(DatPath(), bytes);
  const ProcessResult check = Run({"check", dir_.file("db")});
  EXPECT_EQ(check.exit_code, 1);
  const std::int64_t end = data_offset_ + 5 * std::int64_t{record_size_};
  EXPECT_EQ(check.out, "table \"T\": the header counts 5 records of " +
                           std::to_string(record_size_) + " bytes after " +
                           std::to_string(data_offset_) + " header bytes, " + std::to_string(end) +
                           " bytes in all, but T.dat holds only " + std::to_string(dat_.size()) +
                           "\n");
  // The record count makes the engine refuse the table: tables says why.
  const ProcessResult tables = Run({"tables", dir_.file("db")});
  EXPECT_EQ(tables.exit_code, 0) << tables.out;  // the header itself reads
  EXPECT_NE(tables.out.find("  record count:       5\n"), std::string::npos) << tables.out;
  EXPECT_EQ(ReadFileBytes(DatPath()), bytes) << "kvbtool changed T.dat";
  const ProcessResult dump = Run({"dump", dir_.file("db"), "T"});
  EXPECT_EQ(dump.exit_code, 1);
  // The data set's text says the table cannot be opened; the engine's reason follows.
  EXPECT_EQ(dump.err,
            "kvbtool: TKivoDataset.OpenTable - table \"T\" does not exist or some files of table "
            "are missed or locked.\n"
            "kvbtool: cause: Error in TKivoDataManager.OpenTable - invalid record count = 5, the "
            "file holds only " +
                std::to_string(dat_.size()) + " bytes\n");
}

TEST_F(KvbtoolDamagedTables, UnreadableHeadersAreReportedNotCrashedOn) {
  struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
    const char* message;  // part of the finding
  };
  const std::vector<Damage> damages = {
      {"negative field count", [&](std::string& b) { PutI32(b, 260, -3); },
       "invalid field count = -3"},
      {"huge field count", [&](std::string& b) { PutI32(b, 260, 0x7FFFFFF0); },
       "invalid field count"},
      {"negative record count", [&](std::string& b) { PutI32(b, 264, -1); },
       "invalid record count = -1"},
      {"unknown field type", [&](std::string& b) { b[284 + 256] = 13; }, "unsupported type 13"},
      {"slot size", [&](std::string& b) { PutI32(b, 284 + 259, 0); }, "invalid size 0"},
      {"version from the future",
       [&](std::string& b) {
         const double v = 9.5;
         std::memcpy(&b[268], &v, 8);
       },
       "invalid version"},
      {"ten bytes left", [&](std::string& b) { b.resize(10); }, ""},
      {"empty file", [&](std::string& b) { b.clear(); }, ""},
  };
  for (const Damage& d : damages) {
    std::string bytes = dat_;
    d.apply(bytes);
    WriteFileBytes(DatPath(), bytes);
    const ProcessResult tables = Run({"tables", dir_.file("db")});
    EXPECT_EQ(tables.exit_code, 1) << d.what << "\n" << tables.out;
    EXPECT_NE(tables.out.find("  damaged: "), std::string::npos) << d.what << "\n" << tables.out;
    EXPECT_NE(tables.out.find(d.message), std::string::npos) << d.what << "\n" << tables.out;
    const ProcessResult check = Run({"check", dir_.file("db")});
    EXPECT_EQ(check.exit_code, 1) << d.what;
    EXPECT_EQ(check.out.rfind("table \"T\": ", 0), 0u) << d.what << "\n" << check.out;
    const ProcessResult dump = Run({"dump", dir_.file("db"), "T"});
    EXPECT_EQ(dump.exit_code, 1) << d.what;
    EXPECT_NE(dump.err, "") << d.what;
    EXPECT_EQ(ReadFileBytes(DatPath()), bytes) << d.what << ": kvbtool changed T.dat";
  }
}

TEST_F(KvbtoolDamagedTables, LongerFileAndFlushMarkAreShownAndLeftAlone) {
  // What a killed flush leaves: records past RecordCount and the mark set.
  std::string bytes = dat_ + std::string(static_cast<std::size_t>(record_size_), 'z');
  bytes[279] = static_cast<char>(~bytes[280]);
  WriteFileBytes(DatPath(), bytes);
  const ProcessResult tables = Run({"tables", dir_.file("db")});
  EXPECT_EQ(tables.exit_code, 0);
  EXPECT_NE(tables.out.find("  flush:              cut short;"), std::string::npos) << tables.out;
  EXPECT_NE(tables.out.find("  .dat length:        " + std::to_string(bytes.size()) +
                            " (records end at " + std::to_string(dat_.size()) + ")\n"),
            std::string::npos)
      << tables.out;
  EXPECT_EQ(Run({"check", dir_.file("db")}).out, "ok\n");
  const ProcessResult dump = Run({"dump", dir_.file("db"), "T"});
  EXPECT_EQ(dump.exit_code, 0) << dump.err;
  EXPECT_EQ(dump.out.find("\n5,"), std::string::npos) << dump.out;  // four records only
  EXPECT_EQ(ReadFileBytes(DatPath()), bytes) << "kvbtool cut or repaired T.dat";
}

TEST_F(KvbtoolDamagedTables, DuplicateIdentifiersAndZeroRecordsAreFindings) {
  std::string bytes = dat_;
  // Record 3 gets record 1's identifier; record 2 becomes all zeros.
  const std::size_t idOffset = static_cast<std::size_t>(11);  // after the 11-byte slot
  for (int i = 0; i < 4; ++i)
    bytes[data_offset_ + 3 * record_size_ + idOffset + i] =
        bytes[data_offset_ + record_size_ + idOffset + i];
  std::fill(bytes.begin() + data_offset_ + 2 * record_size_,
            bytes.begin() + data_offset_ + 3 * record_size_, '\0');
  WriteFileBytes(DatPath(), bytes);
  const ProcessResult check = Run({"check", dir_.file("db")});
  EXPECT_EQ(check.exit_code, 1);
  const std::string records =
      "table \"T\": record 2 is all zeros\n"
      "table \"T\": records 1 and 3 share the identifier 2\n";
  EXPECT_EQ(check.out.substr(0, records.size()), records);
  // The saved identifier order no longer matches the changed identifiers.
  const std::string rest = check.out.substr(std::min(records.size(), check.out.size()));
  EXPECT_EQ(rest.rfind("table \"T\": index \"@id", 0), 0u) << rest;
  EXPECT_NE(rest.find("\": entries 1 and 2 are out of key order\n"), std::string::npos) << rest;
}

TEST_F(KvbtoolDamagedTables, CopiesLeftByACutShortFlushAreNoFinding) {
  // A delete moved record 3 into position 1 and the flush was cut short
  // before the header: record 3 is there twice.
  std::string bytes = dat_;
  const auto at = [&](int pos) {
    return static_cast<std::size_t>(data_offset_ + pos * record_size_);
  };
  bytes.replace(at(1), static_cast<std::size_t>(record_size_), bytes, at(3),
                static_cast<std::size_t>(record_size_));
  WriteFileBytes(DatPath(), bytes);
  // Without the flush mark it is damage.
  ProcessResult check = Run({"check", dir_.file("db")});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_NE(check.out.find("table \"T\": records 1 and 3 share the identifier 4\n"),
            std::string::npos)
      << check.out;
  bytes[279] = static_cast<char>(~bytes[280]);
  WriteFileBytes(DatPath(), bytes);
  check = Run({"check", dir_.file("db")});
  EXPECT_EQ(check.exit_code, 0);
  EXPECT_EQ(check.out, "ok\n");
}

// The engine as kvbtool check uses it: read-only, with the password given.
struct TReadOnlyClient : TClient {
  bool ClientReadOnly() const override { return true; }
};

// Whether the engine opens table T of the directory database `path`
// read-only with `password`; a refused open leaves the files as they were.
bool EngineOpens(const std::string& path, const std::string& password) {
  TKivoDatabase db;
  db.SetDatabaseName(path);
  db.Open();
  TReadOnlyClient client;
  client.password = password;
  TKivoDataManager* m = krGetDataManager("T", db.Handle());
  std::int8_t result = kOpenFailed;
  try {
    result = m->ConnectDataset(&client);
  } catch (const std::exception&) {
    result = kOpenFailed;
  }
  if (result != kOpenOk) {
    krReleaseDataManager(m);
    return false;
  }
  m->DisconnectDataset(&client);
  return true;
}

TEST_F(KvbtoolDamagedTables, CheckReportsEveryHeaderTheEngineRefuses) {
  // The same password for both: with it an encrypted-flag damage does not
  // merely stop at a missing password.
  const std::string password = "pw";
  int refused = 0;
  for (std::uint32_t seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    std::string bytes = dat_;
    const int changes = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < changes; ++i) {
      const std::size_t at = rng() % static_cast<std::size_t>(data_offset_);
      bytes[at] = static_cast<char>(bytes[at] ^ static_cast<char>(1 + rng() % 255));
    }
    WriteFileBytes(DatPath(), bytes);
    if (EngineOpens(dir_.file("db"), password)) continue;
    ++refused;
    WriteFileBytes(DatPath(), bytes);  // as damaged, whatever the refused open did
    const ProcessResult check = Run({"check", dir_.file("db"), "--password", password});
    EXPECT_EQ(check.exit_code, 1) << "seed " << seed << "\n" << check.out << check.err;
    EXPECT_EQ(check.out.rfind("table \"T\": ", 0), 0u) << "seed " << seed << "\n" << check.out;
  }
  // Enough of the damages must be refusals for the comparison to mean anything.
  EXPECT_GE(refused, 10);
}

}  // namespace
}  // namespace kivo::testing
