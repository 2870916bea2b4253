// Record storage through TKivoDataManager on real file systems: a disk
// directory, memory and a .kvb container, plain and encrypted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dataset/field_defs.h"
#include "engine/data_manager.h"
#include "engine/record_journal.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "storage/container/pagy_file_system.h"
#include "storage/crypto/hash.h"
#include "storage/file_layer.h"
#include "testing/fault_file.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::TFaultFile;
using testing::TFaultPlan;
using testing::WriteFileBytes;

std::int32_t Int32At(const std::string& bytes, std::size_t offset) {
  std::int32_t v;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

using PlainStore = TPlainTableFileStore;

enum class Kind { kDirectory, kMemory, kContainer };

// One row of the test table: INTEGER a, STRING(10) b, the identifier.
struct Row {
  std::uint32_t id;
  std::int32_t a;
  std::string b;  // empty = null
  bool operator==(const Row&) const = default;
};

// Owns the file system, the store and the table manager of table "t".
class TableFixture {
 public:
  TableFixture(Kind kind, const TempDir& dir, const std::string& password) : password_(password) {
    switch (kind) {
      case Kind::kDirectory:
        fs_ = std::make_unique<TDiskPlainFileSystem>(dir.path());
        break;
      case Kind::kMemory:
        fs_ = std::make_unique<TMemoryPlainFileSystem>(dir.path() + "#mem");
        break;
      case Kind::kContainer:
        fs_ = std::make_unique<TPagyPlainFileSystem>(dir.file("db.kvb"), "", dfmNormal, false,
                                                     false, true);
        break;
    }
    store_ = std::make_unique<PlainStore>(*fs_, dir.path() + "/" + std::to_string(int(kind)));
  }
  ~TableFixture() {
    try {
      Drop();
    } catch (const std::exception&) {
    }
  }

  void Create() {
    TKivoDataManager* m = krGetDataManager("t", store_.get());
    m->SetPassword(password_);
    m->SetEncrypted(!password_.empty());
    TFieldDefs fields;
    fields.Add("a", ftInteger);
    fields.Add("b", ftString, 10);
    m->CreateTable(fields, TIndexDefs(), false, 1000);
    krReleaseDataManager(m);
  }
  // Opens with `password` (the fixture's by default); returns the result code.
  std::int8_t Open(const std::string* password = nullptr, bool cacheDisabled = false) {
    Drop();
    m = krGetDataManager("t", store_.get());
    m->SetPassword(password ? *password : password_);
    m->SetCacheDisabled(cacheDisabled);
    std::int8_t result = m->OpenTable();
    if (result == kOpenOk) m->SetTickSource([this] { return now; });
    return result;
  }
  void Close() {
    if (m) m->CloseTable();
  }
  // Closes and destroys the manager; a failure to close is raised after that.
  void Drop() {
    TDataManagerHold old(m);
    m = nullptr;
    if (old) old->CloseTable();
  }

  // The data set's record buffer for a row: RecordSize bytes and 8 of its own.
  std::vector<std::uint8_t> Buffer(const Row& row) const {
    const TkrRecordLayout& l = m->Layout();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize) + 8, 0);
    std::memcpy(buf.data() + m->FieldOffset(0), &row.a, 4);
    std::memcpy(buf.data() + m->FieldOffset(1), row.b.data(),
                std::min<std::size_t>(row.b.size(), 10));
    SetFieldNull(l, buf.data(), 1, row.b.empty());
    SetRecordId(l, buf.data(), row.id);
    std::memset(buf.data() + l.RecordSize, 0xEE, 8);
    return buf;
  }
  Row Read(std::int32_t pos) const {
    const std::uint8_t* p = m->GetRecordPtr(pos);
    const TkrRecordLayout& l = m->Layout();
    Row row;
    row.id = GetRecordId(l, p);
    std::memcpy(&row.a, p + m->FieldOffset(0), 4);
    row.b = IsFieldNull(l, p, 1)
                ? ""
                : std::string(reinterpret_cast<const char*>(p + m->FieldOffset(1)));
    return row;
  }

  std::int32_t Insert(const Row& row) {
    rows.push_back(row);
    return m->InsertRecord(Buffer(row).data(), 0);
  }
  std::int32_t Update(std::int32_t pos, const Row& row) {
    rows[static_cast<std::size_t>(pos)] = row;
    return m->UpdateRecord(Buffer(row).data(), 0, pos);
  }
  std::int32_t Delete(std::int32_t pos) {
    std::int32_t result = m->krDeleteRecord(0, pos);
    rows[static_cast<std::size_t>(pos)] = rows.back();
    rows.pop_back();
    return result;
  }
  void ExpectRows() const {
    ASSERT_EQ(m->RecordCount(), static_cast<std::int32_t>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ASSERT_EQ(Read(static_cast<std::int32_t>(i)), rows[i]) << "position " << i;
    }
  }
  // The identifier index lists the positions in identifier order.
  void ExpectIdentifierIndex() const {
    TkrTableIndexes* indexes = m->Indexes();
    ASSERT_NE(indexes, nullptr);
    indexes->Build(0);
    const TkrIndexPositions& positions = indexes->Positions(0);
    ASSERT_EQ(positions.Count(), static_cast<std::int32_t>(rows.size()));
    for (std::int32_t i = 1; i < positions.Count(); ++i) {
      EXPECT_LT(rows[static_cast<std::size_t>(positions.Get(i - 1))].id,
                rows[static_cast<std::size_t>(positions.Get(i))].id);
    }
    indexes->CheckInvariants();
  }

  std::string password_;
  std::unique_ptr<TAbstractPlainFileSystem> fs_;
  std::unique_ptr<PlainStore> store_;
  TKivoDataManager* m = nullptr;
  std::vector<Row> rows;
  std::uint32_t now = 10000;
};

Row MakeRow(std::uint32_t id) {
  return Row{id, static_cast<std::int32_t>(id * 7), id % 4 == 0 ? "" : "r" + std::to_string(id)};
}

class RecordStorage : public ::testing::TestWithParam<std::tuple<Kind, bool>> {
 protected:
  RecordStorage() : t(std::get<0>(GetParam()), dir, std::get<1>(GetParam()) ? "pw" : "") {}
  TempDir dir;
  TableFixture t;
};

TEST_P(RecordStorage, InsertUpdateDeleteSurviveReopen) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  for (std::uint32_t id = 1; id <= 40; ++id)
    EXPECT_EQ(t.Insert(MakeRow(id)), static_cast<std::int32_t>(id - 1));
  t.ExpectRows();
  EXPECT_EQ(t.m->LastAutoInc(), 40);

  // A new identifier moves the record within the identifier index.
  EXPECT_EQ(t.Update(3, Row{100, -5, "changed"}), 39);
  EXPECT_EQ(t.Update(5, Row{6, 1, ""}), 4);  // same identifier: where it was
  EXPECT_EQ(t.m->LastAutoInc(), 100);
  EXPECT_EQ(t.Delete(0), 38);  // record 40 (index position 38) moves to 0
  const std::int32_t logged = t.m->WriteLog()->EntryCount();
  EXPECT_EQ(t.Delete(t.m->RecordCount() - 1), 0);  // the last record: nothing moves
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), logged);
  EXPECT_EQ(t.Insert(MakeRow(101)), 38);
  t.ExpectRows();
  t.ExpectIdentifierIndex();
  const std::int32_t changes = t.m->ChangeCount();
  EXPECT_EQ(changes, 40 + 2 + 2 + 1);

  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.ExpectRows();
  t.ExpectIdentifierIndex();
  EXPECT_EQ(t.m->LastAutoInc(), 101);
  EXPECT_EQ(t.m->ChangeCount(), changes);
  EXPECT_EQ(t.m->DatFile()->GetSize(), t.m->DataOffset() + 39 * t.m->RecordSize());

  while (t.m->RecordCount() > 0) t.Delete(t.m->RecordCount() / 2);
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(t.m->RecordCount(), 0);
  EXPECT_EQ(t.m->DatFile()->GetSize(), t.m->DataOffset());
}

TEST_P(RecordStorage, RecordsAreReadBackFromTheLogBeforeAnyFlush) {
  t.Create();
  ASSERT_EQ(t.Open(nullptr, /*cacheDisabled=*/true), kOpenOk);
  for (std::uint32_t id = 1; id <= 60; ++id) t.Insert(MakeRow(id));
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), 60);
  EXPECT_LT(t.m->DatFile()->GetSize(), t.m->DataOffset() + t.m->RecordSize());
  EXPECT_LE(t.m->RecordCache()->CachedRecordCount(), 25);
  t.ExpectRows();  // most of them come back through the log
  t.ExpectIdentifierIndex();
}

// With one record per cache page a scan reads T.dat ahead of the cache;
// what it read ahead must never outlive a change to T.dat.
TEST_P(RecordStorage, ScansSeeEveryChangeBeforeAndAfterAFlush) {
  t.Create();
  ASSERT_EQ(t.Open(nullptr, /*cacheDisabled=*/true), kOpenOk);
  for (std::uint32_t id = 1; id <= 3000; ++id) t.Insert(MakeRow(id));
  t.m->FlushBuffers();
  auto scan = [&] {
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
      t.now += 200;
      ASSERT_EQ(t.Read(static_cast<std::int32_t>(i)), t.rows[i]) << "position " << i;
    }
    // Backwards too: a delete reads the last records one after another.
    for (std::size_t i = t.rows.size(); i-- > 0;) {
      t.now += 200;
      ASSERT_EQ(t.Read(static_cast<std::int32_t>(i)), t.rows[i]) << "back at position " << i;
    }
  };
  ASSERT_NO_FATAL_FAILURE(scan());
  // Logged changes over records already read ahead.
  t.Update(10, Row{5000, 1, "new"});
  t.Update(2990, Row{5001, 2, "newer"});
  t.Delete(20);
  ASSERT_NO_FATAL_FAILURE(scan());
  t.m->FlushBuffers();
  ASSERT_NO_FATAL_FAILURE(scan());

  // A flushed change to a record the last scan read ahead, once the cache
  // has let go of it (scattered reads load pages without reading ahead).
  t.Update(2995, Row{5002, 3, "flushed"});
  t.m->FlushBuffers();
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), 0);
  for (std::int32_t pos = 0; pos < 100; pos += 2) {
    t.now += 200;
    t.Read(pos);
  }
  t.now += 200;
  EXPECT_EQ(t.Read(2995), t.rows[2995]);
  EXPECT_EQ(t.Read(2994), t.rows[2994]);
  EXPECT_EQ(t.Read(2996), t.rows[2996]);

  t.Drop();
  ASSERT_EQ(t.Open(nullptr, /*cacheDisabled=*/true), kOpenOk);
  ASSERT_NO_FATAL_FAILURE(scan());
  // Deletes from the front move the last records down, reading them
  // backwards, before and after a flush.
  for (int k = 0; k < 40; ++k) t.Delete(k);
  ASSERT_NO_FATAL_FAILURE(scan());
  t.m->FlushBuffers();
  for (int k = 40; k < 80; ++k) t.Delete(k);
  ASSERT_NO_FATAL_FAILURE(scan());
}

// Single records read out of order (a walk in index order) are read in
// blocks with their neighbours and the blocks are kept; no kept block may
// outlive a change to its records, logged or flushed, nor serve a position
// past the end of a table that shrank and grew again.
TEST_P(RecordStorage, ScatteredReadsSeeEveryChange) {
  t.Create();
  ASSERT_EQ(t.Open(nullptr, /*cacheDisabled=*/true), kOpenOk);
  for (std::uint32_t id = 1; id <= 4000; ++id) t.Insert(MakeRow(id));
  t.m->FlushBuffers();
  // Strides that revisit every block many times, as an index walk does.
  auto walk = [&] {
    const auto n = static_cast<std::int32_t>(t.rows.size());
    for (std::int32_t start = 0; start < 7; ++start) {
      for (std::int32_t pos = start; pos < n; pos += 7) {
        ASSERT_EQ(t.Read(pos), t.rows[static_cast<std::size_t>(pos)]) << "position " << pos;
      }
    }
  };
  ASSERT_NO_FATAL_FAILURE(walk());
  t.Update(700, Row{9000, 1, "logged"});
  t.Delete(1400);
  ASSERT_NO_FATAL_FAILURE(walk());
  t.m->FlushBuffers();
  ASSERT_NO_FATAL_FAILURE(walk());
  t.Update(2100, Row{9001, 2, "flushed"});
  t.m->FlushBuffers();
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), 0);
  ASSERT_NO_FATAL_FAILURE(walk());
  // Shrink the table below a block that was read, then grow it back with
  // other rows at the same positions.
  for (int k = 0; k < 30; ++k) t.Delete(static_cast<std::int32_t>(t.rows.size()) - 1);
  t.m->FlushBuffers();
  ASSERT_NO_FATAL_FAILURE(walk());
  for (std::uint32_t id = 10000; id < 10030; ++id) t.Insert(MakeRow(id));
  t.m->FlushBuffers();
  ASSERT_NO_FATAL_FAILURE(walk());
  t.Drop();
  ASSERT_EQ(t.Open(nullptr, /*cacheDisabled=*/true), kOpenOk);
  ASSERT_NO_FATAL_FAILURE(walk());
}

// Blocks of records written straight to T.dat sit beside changes still in
// the log: a record appended and deleted again leaves a stale log entry at
// the position the block takes, which must not win at the next flush.
TEST_P(RecordStorage, BlocksOfRecordsAppendBesideLoggedChanges) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  for (std::uint32_t id = 1; id <= 30; ++id) t.Insert(MakeRow(id));
  t.Update(4, Row{5, -1, "updated"});
  t.Insert(MakeRow(31));
  t.Delete(30);                       // the last one: its log entry stays behind
  EXPECT_EQ(t.Read(29), t.rows[29]);  // the cache holds the last page
  auto appendBlock = [&](std::uint32_t from, std::uint32_t to) {
    const auto size = static_cast<std::size_t>(t.m->RecordSize());
    std::vector<std::uint8_t> block;
    for (std::uint32_t id = from; id <= to; ++id) {
      const Row row = MakeRow(id);
      t.rows.push_back(row);
      const std::vector<std::uint8_t> image = t.Buffer(row);
      block.insert(block.end(), image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return t.m->AppendRecords(block.data(), static_cast<std::int32_t>(to - from + 1));
  };
  const std::int32_t changes = t.m->ChangeCount();
  ASSERT_TRUE(appendBlock(40, 539));
  EXPECT_EQ(t.m->ChangeCount(), changes + 1);
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), 0);  // written before the block
  t.Insert(MakeRow(600));
  ASSERT_TRUE(appendBlock(601, 610));
  EXPECT_EQ(t.m->LastAutoInc(), 610);
  t.ExpectRows();
  t.ExpectIdentifierIndex();
  t.m->FlushBuffers();
  t.ExpectRows();

  // A block the table cannot take this way is refused whole.
  t.m->DisableAutoFlush();
  EXPECT_FALSE(appendBlock(700, 701));
  t.rows.resize(t.rows.size() - 2);
  t.m->EnableAutoFlush(false);
  EXPECT_EQ(t.m->RecordCount(), static_cast<std::int32_t>(t.rows.size()));

  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.ExpectRows();
  t.ExpectIdentifierIndex();
  EXPECT_EQ(t.m->LastAutoInc(), 610);
  EXPECT_EQ(t.m->DatFile()->GetSize(),
            t.m->DataOffset() + static_cast<std::int64_t>(t.rows.size()) * t.m->RecordSize());
}

INSTANTIATE_TEST_SUITE_P(Stores, RecordStorage,
                         ::testing::Combine(::testing::Values(Kind::kDirectory, Kind::kMemory,
                                                              Kind::kContainer),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           std::string name =
                               std::get<0>(info.param) == Kind::kDirectory ? "Directory"
                               : std::get<0>(info.param) == Kind::kMemory  ? "Memory"
                                                                           : "Container";
                           return name + (std::get<1>(info.param) ? "Encrypted" : "Plain");
                         });

// ---------------------------------------------------------------------------
// Flush rules, observed in the records file of a directory database.

class FlushRules : public ::testing::Test {
 protected:
  FlushRules() : t(Kind::kDirectory, dir, "") {
    t.Create();
    EXPECT_EQ(t.Open(), kOpenOk);
  }
  std::string Dat() const { return ReadFileBytes(dir.file("t.dat")); }
  std::int32_t DiskRecordCount() const { return Int32At(Dat(), 264); }
  std::size_t ExactLength(std::int32_t records) const {
    return static_cast<std::size_t>(t.m->DataOffset() + records * t.m->RecordSize());
  }

  TempDir dir;
  TableFixture t;
};

TEST_F(FlushRules, AnIdleSecondMakesTheNextWriteFlushAndCutTheFile) {
  for (std::uint32_t id = 1; id <= 6; ++id) t.Insert(MakeRow(id));
  t.m->FlushBuffers();
  ASSERT_EQ(Dat().size(), ExactLength(6));
  t.Delete(0);
  t.now += 1000;
  t.Delete(0);  // the oldest entry is exactly a second old: not yet
  EXPECT_EQ(DiskRecordCount(), 6);
  t.now += 1;
  t.Update(0, Row{77, 1, "x"});
  EXPECT_EQ(DiskRecordCount(), 4);
  EXPECT_EQ(Dat().size(), ExactLength(4));
  EXPECT_EQ(Int32At(Dat(), 0), 77);  // LastAutoInc
}

TEST_F(FlushRules, AFullLogIsWrittenUnlessAutoFlushIsOff) {
  t.m->WriteLog()->SetMaxEntries(2);
  t.Insert(MakeRow(1));
  EXPECT_EQ(DiskRecordCount(), 0);
  t.Insert(MakeRow(2));
  EXPECT_EQ(DiskRecordCount(), 2);
  EXPECT_EQ(Dat().size(), ExactLength(2));
  EXPECT_EQ(Int32At(Dat(), 280), t.m->ChangeCount());

  t.m->DisableAutoFlush();
  for (std::uint32_t id = 3; id <= 5; ++id) t.Insert(MakeRow(id));
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), 3);
  t.m->EnableAutoFlush(false);
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), 3);
  t.m->DisableAutoFlush();
  t.m->EnableAutoFlush(true);
  EXPECT_EQ(t.m->WriteLog()->EntryCount(), 0);
  EXPECT_EQ(DiskRecordCount(), 5);
}

TEST_F(FlushRules, CloseWritesEverythingAndAnUnchangedTableIsNotRewritten) {
  for (std::uint32_t id = 1; id <= 3; ++id) t.Insert(MakeRow(id));
  t.Close();
  std::string bytes = Dat();
  EXPECT_EQ(bytes.size(), ExactLength(3));
  EXPECT_EQ(Int32At(bytes, 264), 3);
  // Bytes of record 2 as laid out: a, b, identifier, null bitmap.
  std::size_t rec2 = ExactLength(2);
  EXPECT_EQ(Int32At(bytes, rec2), 21);
  EXPECT_EQ(bytes.substr(rec2 + 4, 3), std::string("r3\0", 3));
  EXPECT_EQ(Int32At(bytes, rec2 + 15), 3);
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[rec2 + 19]), 0);

  // Opening and flushing an unchanged table leaves the file alone.
  ASSERT_EQ(t.Open(), kOpenOk);
  t.m->FlushBuffers();
  EXPECT_EQ(Dat(), bytes);
}

TEST_F(FlushRules, SmallTablesStopMaintainingAllIndexesInLongBursts) {
  EXPECT_TRUE(t.m->ShouldMaintainAllIndexes());  // after a pause: the burst starts
  for (int i = 1; i <= 100; ++i) ASSERT_TRUE(t.m->ShouldMaintainAllIndexes()) << i;
  EXPECT_FALSE(t.m->ShouldMaintainAllIndexes());
  t.now += 999;
  EXPECT_FALSE(t.m->ShouldMaintainAllIndexes());
  t.now += 1000;
  EXPECT_TRUE(t.m->ShouldMaintainAllIndexes());
  for (std::uint32_t id = 1; id <= 11; ++id) t.Insert(MakeRow(id));
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(t.m->ShouldMaintainAllIndexes());
}

TEST_F(FlushRules, TheChangeCounterWrapsInsteadOfOverflowing) {
  t.Close();
  std::string bytes = Dat();
  bytes.replace(279, 5, "\xFF\xFF\xFF\xFF\x7F", 5);  // the low byte's copy too: no flush mark
  WriteFileBytes(dir.file("t.dat"), bytes);
  ASSERT_EQ(t.Open(), kOpenOk);
  t.Insert(MakeRow(1));
  EXPECT_EQ(t.m->ChangeCount(), std::numeric_limits<std::int32_t>::min());
}

TEST_F(FlushRules, ReadOnlyTablesRefuseWrites) {
  t.Drop();
  t.m = krGetDataManager("t", t.store_.get());
  t.m->SetReadOnly(true);
  ASSERT_EQ(t.m->OpenTable(), kOpenOk);
  EXPECT_EQ(MessageOf([&] { t.Insert(MakeRow(1)); }),
            "Error in TKivoDataManager.InsertRecord - table is in ReadOnly mode!");
  EXPECT_EQ(t.m->RecordCount(), 0);
}

// Table files whose writes stop once a budget of written bytes is spent:
// they stand in for a process that dies in the middle of a flush.
class BudgetStore : public PlainStore {
 public:
  using PlainStore::PlainStore;
  TAbstractFile* OpenFile(const std::string& name, int mode, bool create, bool exclusive,
                          bool readOnly) override {
    opened.push_back(name);
    TAbstractFile* real = PlainStore::OpenFile(name, mode, create, exclusive, readOnly);
    if (real != nullptr && name.ends_with(".dat")) return new TFaultFile(real, &dat);
    if (real != nullptr && name.ends_with(".jnl")) return new TFaultFile(real, &journal);
    return real;
  }
  void CloseFile(TAbstractFile* file) override {
    if (auto* f = dynamic_cast<TFaultFile*>(file)) {
      PlainStore::CloseFile(f->Real());
      delete f;
      return;
    }
    PlainStore::CloseFile(file);
  }
  TFaultPlan dat{.WriteBudget = 1 << 30};
  TFaultPlan journal{.WriteBudget = 1 << 30};
  std::vector<std::string> opened;  // names, in order
};

// Creates table "t" with one INTEGER field and opens it.
TKivoDataManager* CreateAndOpenIntTable(TTableFileStore& store) {
  TKivoDataManager* m = krGetDataManager("t", &store);
  TFieldDefs fields;
  fields.Add("a", ftInteger);
  m->CreateTable(fields, TIndexDefs(), false, 1000);
  krReleaseDataManager(m);
  m = krGetDataManager("t", &store);
  EXPECT_EQ(m->OpenTable(), kOpenOk);
  return m;
}

// Records appended in a block reach the disk before the header that counts
// them: a sync comes between.
TEST(FlushOrder, AppendedBlocksAreSyncedBeforeTheHeaderCountsThem) {
  TempDir dir;
  TDiskPlainFileSystem fs(dir.path());
  BudgetStore store(fs, dir.path());
  TKivoDataManager* m = CreateAndOpenIntTable(store);
  const auto size = static_cast<std::size_t>(m->RecordSize());
  std::vector<std::uint8_t> block(size * 50, 0);
  for (std::uint32_t id = 1; id <= 50; ++id)
    SetRecordId(m->Layout(), block.data() + size * (id - 1), id);
  ASSERT_TRUE(m->AppendRecords(block.data(), 50));
  store.dat.Calls.clear();
  m->FlushBuffers();
  ASSERT_FALSE(store.dat.Calls.empty());
  EXPECT_EQ(store.dat.Calls.front(), 'F') << store.dat.Calls;
  EXPECT_EQ(Int32At(ReadFileBytes(dir.file("t.dat")), 264), 50);
  m->CloseTable();
  krReleaseDataManager(m);
}

TEST(FlushOrder, AFlushCutShortNeverCountsRecordsItDidNotWrite) {
  for (std::int64_t budget : {0, 100, 500}) {
    TempDir dir;
    TDiskPlainFileSystem fs(dir.path());
    BudgetStore store(fs, dir.path());
    TKivoDataManager* m = CreateAndOpenIntTable(store);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(m->RecordSize()) + 8, 0);
    for (std::uint32_t id = 1; id <= 20; ++id) {
      SetRecordId(m->Layout(), buf.data(), id);
      std::memcpy(buf.data(), &id, 4);
      m->InsertRecord(buf.data(), 0);
    }
    store.dat.WriteBudget = budget;
    EXPECT_THROW(m->FlushBuffers(), Exception);
    // What a restart would find: a header counting only written records.
    std::string bytes = ReadFileBytes(dir.file("t.dat"));
    std::int32_t counted = Int32At(bytes, 264);
    EXPECT_EQ(counted, 0) << "budget " << budget;
    store.dat.WriteBudget = 1 << 30;
    m->FlushBuffers();  // the entries were kept: a second flush writes them all
    bytes = ReadFileBytes(dir.file("t.dat"));
    ASSERT_EQ(Int32At(bytes, 264), 20);
    for (std::uint32_t id = 1; id <= 20; ++id) {
      EXPECT_EQ(
          Int32At(bytes, static_cast<std::size_t>(m->DataOffset() + (id - 1) * m->RecordSize())),
          static_cast<std::int32_t>(id));
    }
    m->CloseTable();
    krReleaseDataManager(m);
  }
}

TEST(FlushOrder, ADeleteFlushCutShortLeavesNoSecondCopyAtTheNextOpen) {
  TempDir dir;
  TDiskPlainFileSystem fs(dir.path());
  BudgetStore store(fs, dir.path());
  auto open = [&] {
    TKivoDataManager* m = krGetDataManager("t", &store);
    EXPECT_EQ(m->OpenTable(), kOpenOk);
    return m;
  };
  TKivoDataManager* m = CreateAndOpenIntTable(store);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(m->RecordSize()) + 8, 0);
  for (std::uint32_t id = 1; id <= 5; ++id) {
    SetRecordId(m->Layout(), buf.data(), id);
    m->InsertRecord(buf.data(), 0);
  }
  m->FlushBuffers();
  const std::size_t rec = static_cast<std::size_t>(m->RecordSize());
  const std::size_t idAt = static_cast<std::size_t>(m->DataOffset() + m->Layout().IdOffset);
  m->krDeleteRecord(0, 1);  // record 5 moves to position 1
  store.dat.WriteBudget =
      1 + static_cast<std::int64_t>(rec);  // the mark and the moved record, no header
  EXPECT_THROW(m->FlushBuffers(), Exception);
  std::string bytes = ReadFileBytes(dir.file("t.dat"));
  ASSERT_EQ(Int32At(bytes, 264), 5);  // the killed process's file: record 5 twice
  ASSERT_EQ(Int32At(bytes, idAt + rec), 5);
  ASSERT_EQ(Int32At(bytes, idAt + 4 * rec), 5);
  try {
    m->CloseTable();  // cannot write either
  } catch (const Exception&) {
  }
  krReleaseDataManager(m);

  // An open that cannot write does not repair; it opens the table as it is
  // and keeps the reason.
  store.dat.WriteBudget = 0;
  m = open();
  EXPECT_EQ(m->RecordCount(), 5);
  EXPECT_EQ(m->LastRepairError(), "TAbstractFile.WriteBuffer - Stream write error");
  try {
    m->CloseTable();
  } catch (const Exception&) {
  }
  krReleaseDataManager(m);
  ASSERT_EQ(ReadFileBytes(dir.file("t.dat")), bytes);

  store.dat.WriteBudget = 1 << 30;
  m = open();
  EXPECT_EQ(m->LastRepairError(), "");
  ASSERT_EQ(m->RecordCount(), 4);
  std::vector<std::uint32_t> ids;
  for (std::int32_t pos = 0; pos < 4; ++pos)
    ids.push_back(GetRecordId(m->Layout(), m->GetRecordPtr(pos)));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 5, 3, 4}));
  bytes = ReadFileBytes(dir.file("t.dat"));
  EXPECT_EQ(Int32At(bytes, 264), 4);
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[279]),
            static_cast<std::uint8_t>(bytes[280]));  // mark cleared
  EXPECT_EQ(bytes.size(), static_cast<std::size_t>(m->DataOffset()) + 4 * rec);
  m->CloseTable();
  krReleaseDataManager(m);

  // A mark alone (records written, header not) changes nothing else.
  bytes[279] = static_cast<char>(~bytes[280]);
  WriteFileBytes(dir.file("t.dat"), bytes);
  m = open();
  EXPECT_EQ(m->RecordCount(), 4);
  m->CloseTable();
  krReleaseDataManager(m);
}

// A record moved by a delete and then updated before the flush: the copy
// left at the end differs from it, and must go all the same.
TEST(FlushOrder, ACutShortFlushDropsTheOldCopyOfAMovedAndUpdatedRecord) {
  TempDir dir;
  TDiskPlainFileSystem fs(dir.path());
  BudgetStore store(fs, dir.path());
  TKivoDataManager* m = CreateAndOpenIntTable(store);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(m->RecordSize()) + 8, 0);
  for (std::uint32_t id = 1; id <= 5; ++id) {
    SetRecordId(m->Layout(), buf.data(), id);
    std::memcpy(buf.data(), &id, 4);
    m->InsertRecord(buf.data(), 0);
  }
  m->FlushBuffers();
  const std::size_t rec = static_cast<std::size_t>(m->RecordSize());
  m->krDeleteRecord(0, 1);  // record 5 moves to position 1
  SetRecordId(m->Layout(), buf.data(), 5);
  const std::uint32_t changed = 555;
  std::memcpy(buf.data(), &changed, 4);
  m->UpdateRecord(buf.data(), 0, 1);
  // The mark and the logged images of position 1, no header.
  store.dat.WriteBudget = 1 + 2 * static_cast<std::int64_t>(rec);
  EXPECT_THROW(m->FlushBuffers(), Exception);
  try {
    m->CloseTable();
  } catch (const Exception&) {
  }
  krReleaseDataManager(m);
  store.dat.WriteBudget = 1 << 30;
  m = krGetDataManager("t", &store);
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  ASSERT_EQ(m->RecordCount(), 4);
  std::vector<std::uint32_t> ids;
  for (std::int32_t pos = 0; pos < 4; ++pos)
    ids.push_back(GetRecordId(m->Layout(), m->GetRecordPtr(pos)));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 5, 3, 4}));
  EXPECT_EQ(Int32At(std::string(reinterpret_cast<const char*>(m->GetRecordPtr(1)), 4), 0), 555);
  m->CloseTable();
  krReleaseDataManager(m);
}

TEST(FlushOrder, AFlushCutShortNeverLeavesLastAutoIncBelowAHeldIdentifier) {
  TempDir dir;
  TDiskPlainFileSystem fs(dir.path());
  BudgetStore store(fs, dir.path());
  TKivoDataManager* m = CreateAndOpenIntTable(store);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(m->RecordSize()) + 8, 0);
  auto insert = [&](std::uint32_t id) {
    SetRecordId(m->Layout(), buf.data(), id);
    m->InsertRecord(buf.data(), 0);
  };
  for (std::uint32_t id = 1; id <= 5; ++id) insert(id);
  m->FlushBuffers();
  insert(6);
  insert(7);
  m->krDeleteRecord(0, 1);  // 7 moves down to position 1
  m->krDeleteRecord(0, 5);  // 6 was last: nothing moves; five records again
  const auto rec = static_cast<std::int64_t>(m->RecordSize());
  // The appended records (positions 5 and 6), the mark and position 1, not
  // the header.
  store.dat.WriteBudget = 3 * rec + 1;
  EXPECT_THROW(m->FlushBuffers(), Exception);
  try {
    m->CloseTable();
  } catch (const Exception&) {
  }
  krReleaseDataManager(m);
  // The file now counts five records, one of them 7, under LastAutoInc 5.
  store.dat.WriteBudget = 1 << 30;
  m = krGetDataManager("t", &store);
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  ASSERT_EQ(m->RecordCount(), 5);
  EXPECT_EQ(GetRecordId(m->Layout(), m->GetRecordPtr(1)), 7u);
  EXPECT_EQ(m->LastAutoInc(), 7);
  m->CloseTable();
  krReleaseDataManager(m);
  m = krGetDataManager("t", &store);
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  EXPECT_EQ(m->LastAutoInc(), 7) << "the raised value reaches the file";
  m->CloseTable();
  krReleaseDataManager(m);
}

// ---------------------------------------------------------------------------
// The roll-forward journal of in-place writes (engine/record_journal.h).

class FlushJournal : public ::testing::TestWithParam<Kind> {
 protected:
  FlushJournal() {
    if (GetParam() == Kind::kContainer) {
      fs = std::make_unique<TPagyPlainFileSystem>(dir.file("db.kvb"), "", dfmNormal, false, false,
                                                  true);
    } else {
      fs = std::make_unique<TDiskPlainFileSystem>(dir.path());
    }
    store = std::make_unique<BudgetStore>(*fs, dir.path());
  }
  ~FlushJournal() override { Drop(); }

  // Table "t" with records 1..count, each holding its identifier in field a.
  void CreateTable(std::uint32_t count) {
    m = CreateAndOpenIntTable(*store);
    for (std::uint32_t id = 1; id <= count; ++id) m->InsertRecord(Image(id, id).data(), 0);
    m->FlushBuffers();
  }
  std::vector<std::uint8_t> Image(std::uint32_t id, std::int32_t a) const {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(m->RecordSize()) + 8, 0);
    SetRecordId(m->Layout(), buf.data(), id);
    std::memcpy(buf.data(), &a, 4);
    return buf;
  }
  // Flushes with `datBytes` left for T.dat: the flush is cut there.
  void CutFlush(std::int64_t datBytes) {
    store->dat.WriteBudget = datBytes;
    EXPECT_THROW(m->FlushBuffers(), Exception);
    try {
      m->CloseTable();  // cannot write either: the process "dies" here
    } catch (const Exception&) {
    }
    Drop();
    store->dat.WriteBudget = 1 << 30;
  }
  void Open(bool readOnly = false) {
    Drop();
    m = krGetDataManager("t", store.get());
    m->SetReadOnly(readOnly);
    ASSERT_EQ(m->OpenTable(), kOpenOk);
  }
  void Drop() {
    TDataManagerHold old(m);
    m = nullptr;
    if (old) {
      try {
        old->CloseTable();
      } catch (const Exception&) {
      }
    }
  }
  // (identifier, field a) of every record.
  std::vector<std::pair<std::uint32_t, std::int32_t>> Records() const {
    std::vector<std::pair<std::uint32_t, std::int32_t>> out;
    for (std::int32_t pos = 0; pos < m->RecordCount(); ++pos) {
      const std::uint8_t* p = m->GetRecordPtr(pos);
      std::int32_t a;
      std::memcpy(&a, p, 4);
      out.emplace_back(GetRecordId(m->Layout(), p), a);
    }
    return out;
  }
  bool JournalExists() const { return fs->FileExists("t.jnl"); }

  TempDir dir;
  std::unique_ptr<TAbstractPlainFileSystem> fs;
  std::unique_ptr<BudgetStore> store;
  TKivoDataManager* m = nullptr;
};

// A delete moves record 8 over record 3; the flush dies inside that record
// (in field a, between field a and the identifier, near its end): the next
// open holds record 8 whole at position 3, never one half of each.
TEST_P(FlushJournal, ARecordTornByACutFlushIsWholeAfterTheNextOpen) {
  CreateTable(8);
  const std::int32_t rec = m->RecordSize();
  const TkrRecordLayout layout = m->Layout();
  Drop();
  for (std::int32_t cut : {2, layout.IdOffset >= 4 ? layout.IdOffset : rec / 2, rec - 1}) {
    SCOPED_TRACE("cut after byte " + std::to_string(cut));
    fs->DeleteFile("t.dat");
    fs->DeleteFile("t.idx");
    CreateTable(8);
    m->krDeleteRecord(0, 2);  // record 8 moves to position 2
    CutFlush(1 + cut);        // the mark, then part of the moved record
    ASSERT_TRUE(JournalExists());

    // A read-only open shows the table as the writable open will leave it,
    // and leaves the journal alone.
    const std::vector<std::pair<std::uint32_t, std::int32_t>> expected{
        {1, 1}, {2, 2}, {8, 8}, {4, 4}, {5, 5}, {6, 6}, {7, 7}};
    Open(/*readOnly=*/true);
    EXPECT_EQ(Records(), expected);
    Drop();
    ASSERT_TRUE(JournalExists());

    Open();
    EXPECT_FALSE(JournalExists());
    EXPECT_EQ(Records(), expected);
    Drop();
  }
}

// A journal that is not whole was cut before any record was touched: it is
// not applied, and it goes.
TEST_P(FlushJournal, AJournalThatIsNotWholeLeavesTheOldRecords) {
  CreateTable(6);
  m->UpdateRecord(Image(3, 300).data(), 0, 2);
  m->UpdateRecord(Image(5, 500).data(), 0, 4);
  store->journal.WriteBudget = 20;  // the journal is cut: the flush stops there
  CutFlush(1 << 30);
  store->journal.WriteBudget = 1 << 30;
  Open();
  EXPECT_FALSE(JournalExists());
  std::vector<std::pair<std::uint32_t, std::int32_t>> old{{1, 1}, {2, 2}, {3, 3},
                                                          {4, 4}, {5, 5}, {6, 6}};
  EXPECT_EQ(Records(), old);

  // A whole journal damaged afterwards (one byte changed) is not applied
  // either, even with the mark set.
  m->UpdateRecord(Image(3, 300).data(), 0, 2);
  CutFlush(1);  // the mark only: no record written
  ASSERT_TRUE(JournalExists());
  TAbstractFile* j = fs->OpenFile("t.jnl", false, false, false);
  ASSERT_NE(j, nullptr);
  const std::int32_t size = j->GetSize();
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  j->Seek(0, TAbstractFile::kFromBeginning);
  j->ReadBuffer(bytes.data(), size);
  bytes[static_cast<std::size_t>(size) / 2] ^= 0x40;
  j->Seek(0, TAbstractFile::kFromBeginning);
  j->WriteBuffer(bytes.data(), size);
  fs->CloseFile(j);
  Open();
  EXPECT_FALSE(JournalExists());
  EXPECT_EQ(Records(), old);

  // The same flush with its journal intact gets the update.
  m->UpdateRecord(Image(3, 300).data(), 0, 2);
  CutFlush(1);
  Open();
  EXPECT_EQ(Records()[2], std::make_pair(3u, 300));
}

// Only flushes that write in place pay for a journal, and a clean close
// leaves none behind.
TEST_P(FlushJournal, OnlyInPlaceWritesAreJournalledAndCloseRemovesTheJournal) {
  CreateTable(4);
  auto journals = [&] {
    return std::count(store->opened.begin(), store->opened.end(), std::string("t.jnl"));
  };
  for (std::uint32_t id = 5; id <= 40; ++id) m->InsertRecord(Image(id, id).data(), 0);
  m->FlushBuffers();
  EXPECT_EQ(journals(), 0);
  EXPECT_FALSE(JournalExists());
  m->UpdateRecord(Image(2, 200).data(), 0, 1);
  m->InsertRecord(Image(41, 41).data(), 0);
  m->FlushBuffers();
  EXPECT_EQ(journals(), 1);
  m->krDeleteRecord(0, 40);  // the last record: nothing is written in place
  m->FlushBuffers();
  EXPECT_EQ(journals(), 1);
  m->UpdateRecord(Image(3, 300).data(), 0, 2);
  m->FlushBuffers();
  EXPECT_EQ(journals(), 2);
  Drop();
  EXPECT_FALSE(JournalExists());
  Open();
  EXPECT_EQ(m->RecordCount(), 40);
  EXPECT_EQ(Records()[1], std::make_pair(2u, 200));
  EXPECT_EQ(Records()[2], std::make_pair(3u, 300));
}

// A journal left by a flush that finished (its header written) belongs to
// another ChangeCount: it is never applied over later writes.
TEST_P(FlushJournal, AStaleJournalIsNeverApplied) {
  CreateTable(4);
  // Keep the journal of a cut update to 333; the next open finishes it.
  m->UpdateRecord(Image(2, 333).data(), 0, 1);
  CutFlush(1);
  ASSERT_TRUE(JournalExists());
  TAbstractFile* j = fs->OpenFile("t.jnl", false, false, true);
  ASSERT_NE(j, nullptr);
  std::vector<std::uint8_t> stale(static_cast<std::size_t>(j->GetSize()));
  j->Seek(0, TAbstractFile::kFromBeginning);
  j->ReadBuffer(stale.data(), static_cast<std::int32_t>(stale.size()));
  fs->CloseFile(j);
  Open();  // rolls forward: 333
  EXPECT_EQ(Records()[1], std::make_pair(2u, 333));
  m->UpdateRecord(Image(2, 444).data(), 0, 1);
  m->InsertRecord(Image(5, 5).data(), 0);
  m->FlushBuffers();
  // Put the stale journal back and cut an append-only flush with the mark set.
  j = fs->OpenFile("t.jnl", true, false, false);
  ASSERT_NE(j, nullptr);
  j->WriteBuffer(stale.data(), static_cast<std::int32_t>(stale.size()));
  fs->CloseFile(j);
  m->InsertRecord(Image(6, 6).data(), 0);
  CutFlush(1);
  Open();
  EXPECT_FALSE(JournalExists());
  EXPECT_EQ(Records()[1], std::make_pair(2u, 444));
}

INSTANTIATE_TEST_SUITE_P(Stores, FlushJournal,
                         ::testing::Values(Kind::kDirectory, Kind::kContainer),
                         [](const auto& info) {
                           return info.param == Kind::kDirectory ? "Directory" : "Container";
                         });

TEST(FlushJournalFile, IsRenamedAndDeletedWithItsTable) {
  TempDir dir;
  TDiskPlainFileSystem fs(dir.path());
  PlainStore store(fs, dir.path());
  TKivoDataManager* m = CreateAndOpenIntTable(store);
  m->CloseTable();
  krReleaseDataManager(m);
  WriteFileBytes(dir.file("t.jnl"), "left by a killed flush");
  m = krGetDataManager("t", &store);
  m->RenameTable("u");
  EXPECT_FALSE(fs.FileExists("t.jnl"));
  EXPECT_TRUE(fs.FileExists("u.jnl"));
  m->DeleteTable();
  EXPECT_FALSE(fs.FileExists("u.jnl"));
  EXPECT_FALSE(fs.FileExists("u.dat"));
  krReleaseDataManager(m);
}

TEST(FlushJournalFormat, OnlyAWholeJournalOfTheSameFlushParses) {
  const TkrJournalIdentity id{6, 300, 77, 10};
  TkrJournalWriter writer(id);
  const std::uint8_t a[6] = {1, 2, 3, 4, 5, 6};
  const std::uint8_t b[6] = {9, 8, 7, 6, 5, 4};
  writer.Add(2, a);
  writer.Add(9, b);
  const std::vector<std::uint8_t> header = {'h', 'e', 'a', 'd'};
  const std::vector<std::uint8_t> directory = {'d', 'i', 'r'};
  const std::vector<std::uint8_t> bytes = writer.Finish(header, directory);
  ASSERT_EQ(bytes.size(), kJournalHeaderSize + 2 * 10 + 4 + 4 + 4 + 3 + 4);
  auto parsed = ParseJournal(bytes, id);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->RecNos, (std::vector<std::int32_t>{2, 9}));
  EXPECT_EQ(std::memcmp(parsed->Find(9, 6), b, 6), 0);
  EXPECT_EQ(parsed->Find(3, 6), nullptr);
  EXPECT_TRUE(parsed->HasHeader);
  EXPECT_EQ(parsed->Header, header);
  EXPECT_EQ(parsed->Directory, directory);
  // Another table, another flush, fewer records: not this journal.
  EXPECT_FALSE(ParseJournal(bytes, {7, 300, 77, 10}));
  EXPECT_FALSE(ParseJournal(bytes, {6, 301, 77, 10}));
  EXPECT_FALSE(ParseJournal(bytes, {6, 300, 78, 10}));
  EXPECT_FALSE(ParseJournal(bytes, {6, 300, 77, 9}));
  // Any byte changed, any length cut.
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::vector<std::uint8_t> damaged = bytes;
    damaged[i] ^= 0x01;
    EXPECT_FALSE(ParseJournal(damaged, id)) << "byte " << i;
    std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(i));
    EXPECT_FALSE(ParseJournal(cut, id)) << "length " << i;
  }
  // What follows a journal in its reused file is not looked at.
  std::vector<std::uint8_t> longer = bytes;
  longer.insert(longer.end(), 100, 0xAB);
  ASSERT_TRUE(ParseJournal(longer, id).has_value());
  EXPECT_EQ(ParseJournal(longer, id)->Directory, directory);
  // A position outside the table, with a right CRC, is refused too.
  TkrJournalWriter outside(id);
  outside.Add(10, a);
  EXPECT_FALSE(ParseJournal(outside.Finish({}, {}), id));
  // The older form (no header, no directory) still parses, for a table
  // with records.
  std::vector<std::uint8_t> older = {'K', 'J', 'N', 'L'};
  for (std::int32_t v : {6, 300, 77, 10, 1, 4}) AppendLE<std::int32_t>(older, v);
  older.insert(older.end(), a, a + 6);
  AppendLE<std::uint32_t>(older, THash_CRC32::Value(older.data(), older.size()));
  parsed = ParseJournal(older, id);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_FALSE(parsed->HasHeader);
  EXPECT_EQ(parsed->RecNos, (std::vector<std::int32_t>{4}));
}

// ---------------------------------------------------------------------------
// Encryption and passwords.

TEST(RecordEncryption, PasswordsAreCheckedAgainstTheFirstRecord) {
  TempDir dir;
  TableFixture t(Kind::kDirectory, dir, "secret");
  t.Create();
  std::string empty;
  std::string wrong = "wrong";
  EXPECT_EQ(t.Open(&empty), kOpenInvalidPassword);
  EXPECT_EQ(t.Open(&wrong), kOpenOk);  // no records yet: any non-empty password
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.Insert(Row{1, 12345, "plaintext"});
  t.Insert(Row{2, 2, "second"});
  const std::int32_t dataOffset = t.m->DataOffset();
  const std::int32_t recordSize = t.m->RecordSize();
  const std::int32_t checkOffset = t.m->Layout().CheckStringOffset;
  t.Drop();
  EXPECT_EQ(t.Open(&wrong), kOpenInvalidPassword);
  EXPECT_EQ(t.Open(&empty), kOpenInvalidPassword);
  ASSERT_EQ(t.Open(), kOpenOk);
  t.ExpectRows();
  t.Drop();

  std::string bytes = ReadFileBytes(dir.file("t.dat"));
  EXPECT_EQ(bytes.find("plaintext"), std::string::npos);  // field data enciphered
  EXPECT_EQ(bytes.find("second"), std::string::npos);
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[278]), 1);

  // An altered check string of record 1 shows when that record is read.
  bytes[static_cast<std::size_t>(dataOffset + recordSize + checkOffset + 2)] ^= 0x01;
  WriteFileBytes(dir.file("t.dat"), bytes);
  ASSERT_EQ(t.Open(), kOpenOk);  // record 0 is intact
  EXPECT_EQ(MessageOf([&] { t.m->GetRecordPtr(1); }),
            "Error in TKivoDataManager.ChangeBufferEncryption - crc error, decoding");
}

// ---------------------------------------------------------------------------
// Damaged records: whatever the bytes after the headers hold, reading and
// changing the table either works or raises the engine's errors.

TEST(DamagedRecords, RandomBytesInTheRecordsPartNeverCrash) {
  for (bool encrypted : {false, true}) {
    TempDir dir;
    TableFixture t(Kind::kDirectory, dir, encrypted ? "pw" : "");
    t.Create();
    ASSERT_EQ(t.Open(), kOpenOk);
    for (std::uint32_t id = 1; id <= 50; ++id) t.Insert(MakeRow(id));
    const std::int32_t dataOffset = t.m->DataOffset();
    t.Drop();
    const std::string pristine = ReadFileBytes(dir.file("t.dat"));

    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
      std::mt19937 rng(seed);
      std::string bytes = pristine;
      const std::size_t records = bytes.size() - static_cast<std::size_t>(dataOffset);
      std::uniform_int_distribution<std::size_t> at(0, records - 1);
      std::uniform_int_distribution<int> value(0, 255);
      int damage = 1 + static_cast<int>(rng() % 60);
      for (int i = 0; i < damage; ++i) {
        bytes[static_cast<std::size_t>(dataOffset) + at(rng)] = static_cast<char>(value(rng));
      }
      if (seed % 5 == 0) bytes.resize(static_cast<std::size_t>(dataOffset) + at(rng));  // cut short
      WriteFileBytes(dir.file("t.dat"), bytes);
      std::remove(dir.file("t.idx").c_str());

      TableFixture d(Kind::kDirectory, dir, encrypted ? "pw" : "");
      try {
        if (d.Open() != kOpenOk) continue;
        for (std::int32_t pos = 0; pos < d.m->RecordCount(); ++pos) {
          try {
            d.m->GetRecordPtr(pos);
          } catch (const Exception&) {
          }
        }
        d.m->Indexes()->BuildAll();
        std::vector<std::uint8_t> buf(static_cast<std::size_t>(d.m->RecordSize()) + 8, 0);
        SetRecordId(d.m->Layout(), buf.data(), 1000 + seed);
        d.m->InsertRecord(buf.data(), 0);
        d.m->UpdateRecord(buf.data(), 0, d.m->RecordCount() / 2);
        d.m->krDeleteRecord(0, 0);
        d.m->Indexes()->CheckInvariants();
        d.Drop();
      } catch (const Exception&) {
        // A damaged table may refuse; it must not crash.
      }
    }
  }
}

}  // namespace
}  // namespace kivo
