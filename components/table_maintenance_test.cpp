// Table maintenance on real tables of a directory database and of a
// container file: create, delete and rename, the encryption test, import,
// restructure, index maintenance and temporary tables.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "components/session.h"
#include "dataset/data_link.h"
#include "dataset/test_memory_dataset.h"
#include "engine/data_manager.h"
#include "engine/table_file_store.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TempDir;

bool FileThere(const std::string& path) { return std::filesystem::exists(path); }

class MaintenanceTest : public ::testing::Test {
 protected:
  // Creates table `name` of the directory database through the engine.
  void MakeTable(const std::string& name, const TFieldDefs& fields, bool encrypted = false) {
    TDirectoryTableFileStore store(dir_.path());
    TDataManagerHold m(krGetDataManager(name, &store));
    m->SetEncrypted(encrypted);
    if (encrypted) m->SetPassword("secret");
    m->CreateTable(fields, TIndexDefs(), false, 1000);
  }
  std::unique_ptr<TKivoTable> Table(const std::string& name) {
    auto t = std::make_unique<TKivoTable>();
    t->SetDatabaseName(dir_.path());
    t->SetTableName(name);
    return t;
  }
  static TFieldDefs TwoFields() {
    TFieldDefs f;
    f.Add("name", ftString, 10);
    f.Add("n", ftInteger);
    return f;
  }
  // Table `name` (id AUTOINC, name STRING(10), n INTEGER) with `rows` rows
  // n = 0 .. rows-1, name "r" + n.
  void MakeNumbered(const std::string& name, int rows) {
    TFieldDefs f;
    f.Add("id", ftAutoInc);
    f.Add("name", ftString, 10);
    f.Add("n", ftInteger);
    MakeTable(name, f);
    auto t = Table(name);
    t->Open();
    for (int i = 0; i < rows; ++i) {
      t->Append();
      t->FieldByName("name").SetAsString("r" + std::to_string(i));
      t->FieldByName("n").SetAsInteger(i);
      t->Post();
    }
  }
  // The values of field `field` in identifier order, "-" for null.
  std::vector<std::string> Column(const std::string& table, const std::string& field) {
    auto t = Table(table);
    t->Open();
    std::vector<std::string> values;
    for (t->First(); !t->Eof(); t->Next()) {
      TField& f = t->FieldByName(field);
      values.push_back(f.IsNull() ? "-" : f.AsString());
    }
    return values;
  }

  TempDir dir_;
};

TEST_F(MaintenanceTest, TheEncryptionTestReadsTheStoredHeader) {
  MakeTable("plain", TwoFields());
  MakeTable("hidden", TwoFields(), true);
  EXPECT_FALSE(Table("plain")->IsTableEncrypted());
  EXPECT_TRUE(Table("hidden")->IsTableEncrypted());
  // A header that cannot be read counts as encrypted.
  EXPECT_TRUE(Table("missing")->IsTableEncrypted());
  testing::WriteFileBytes(dir_.file("broken.dat"), "not a table header");
  EXPECT_TRUE(Table("broken")->IsTableEncrypted());
  // An open table answers from its own header, and asking leaves no manager.
  auto open = Table("plain");
  open->Open();
  EXPECT_FALSE(open->IsTableEncrypted());
  open->Close();
  EXPECT_EQ(TKivoDataManager::RegisteredCount(), 0);
}

TEST_F(MaintenanceTest, CreatingReplacesATableAndMakesAMissingContainer) {
  MakeNumbered("t", 3);
  auto t = Table("t");
  EXPECT_TRUE(t->Exists());
  t->FieldDefs().Add("other", ftFloat);
  t->CreateTable();
  t->Open();
  EXPECT_EQ(t->RecordCount(), 0);
  EXPECT_NE(t->FindField("other"), nullptr);
  EXPECT_EQ(t->FindField("name"), nullptr);
  t->Close();

  const std::string file = dir_.file("new.kvb");
  auto c = std::make_unique<TKivoTable>();
  c->SetDatabaseFileName(file);
  c->SetTableName("c");
  EXPECT_FALSE(c->Exists());
  EXPECT_FALSE(FileThere(file));
  c->FieldDefs().Add("v", ftInteger);
  c->CreateTable();
  EXPECT_TRUE(FileThere(file));
  EXPECT_TRUE(c->Exists());
  c->Open();
  c->Append();
  c->FieldByName("v").SetAsInteger(7);
  c->Post();
  EXPECT_EQ(c->RecordCount(), 1);
}

TEST_F(MaintenanceTest, ACreateThatCannotBeMadeLeavesTheOldTable) {
  MakeNumbered("t", 3);
  const std::string dup = "TKivoDataSet.InternalCreateTable - Duplicate field name \"Name\"";
  struct Case {
    const char* what;
    std::function<void(TKivoTable&)> prepare;
    std::string message;  // empty: any error
  };
  const std::vector<Case> cases = {
      {"duplicate names",
       [](TKivoTable& t) {
         t.FieldDefs().Add("name", ftString, 5);
         t.FieldDefs().Add("Name", ftInteger);
       },
       dup},
      {"string size 0", [](TKivoTable& t) { t.FieldDefs().Add("s", ftString, 0); }, ""},
      {"unsupported type", [](TKivoTable& t) { t.FieldDefs().Add("s", ftUnknown); }, ""},
      {"bad field name", [](TKivoTable& t) { t.FieldDefs().Add("a.b", ftInteger); }, ""},
      {"BLOB block size",
       [](TKivoTable& t) {
         t.FieldDefs().Add("b", ftBlob);
         t.SetBLOBBlockSize(1 << 30);
       },
       ""},
      {"index on a missing field",
       [](TKivoTable& t) {
         t.FieldDefs().Add("a", ftInteger);
         t.IndexDefs().Add("byZ", "z");
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto t = Table("t");
    c.prepare(*t);
    const std::string message = MessageOf([&] { t->CreateTable(); });
    EXPECT_NE(message, testing::kNoException);
    if (!c.message.empty()) {
      EXPECT_EQ(message, c.message);
    }
    EXPECT_EQ(Column("t", "n"), (std::vector<std::string>{"0", "1", "2"}));
  }
}

TEST_F(MaintenanceTest, TablesOtherDataSetsUseAreNeitherDeletedNorRenamed) {
  MakeNumbered("t", 2);
  auto user = Table("t");
  user->Open();
  auto t = Table("t");
  EXPECT_EQ(MessageOf([&] { t->DeleteTable(); }),
            "TKivoDataSet.InternalDeleteTable - Table is busy, table t");
  EXPECT_EQ(MessageOf([&] { t->InternalRenameTable("u", true); }),
            "TKivoDataSet.InternalRenameTable - Table is busy, table t");
  EXPECT_EQ(MessageOf([&] { t->CreateTable(); }),
            "TKivoDataSet.InternalCreateTable - Table is busy, table t");
  EXPECT_EQ(t->TableName(), "t");
  // The user's table still works.
  user->Append();
  user->FieldByName("n").SetAsInteger(9);
  user->Post();
  EXPECT_EQ(user->RecordCount(), 3);
  user->Close();

  t->DeleteTable();
  EXPECT_FALSE(t->Exists());
  EXPECT_FALSE(FileThere(dir_.file("t.dat")));
}

TEST_F(MaintenanceTest, ARenameThatFailsHalfWayPutsTheFilesBack) {
  TFieldDefs f = TwoFields();
  f.Add("memo", ftMemo);
  MakeTable("t", f);
  // A directory where the records file should go stops the rename at its
  // last file, after the BLOB and index files have moved.
  ASSERT_EQ(::mkdir(dir_.file("u.dat").c_str(), 0700), 0);
  testing::WriteFileBytes(dir_.file("u.dat/keep"), "x");
  auto t = Table("t");
  EXPECT_EQ(MessageOf([&] { t->InternalRenameTable("u", false); }),
            "Error in TKivoDataManager.RenameTable - t.dat file cannot be renamed.");
  EXPECT_EQ(t->TableName(), "t");
  for (const char* ext : {".dat", ".idx", ".bif", ".bdf"}) {
    EXPECT_TRUE(FileThere(dir_.file(std::string("t") + ext))) << ext;
    if (std::string(ext) != ".dat") {
      EXPECT_FALSE(FileThere(dir_.file(std::string("u") + ext)));
    }
  }
  t->Open();  // whole again

  t->Close();
  t->InternalRenameTable("v", false);
  EXPECT_EQ(t->TableName(), "v");
  EXPECT_TRUE(FileThere(dir_.file("v.bdf")));
  EXPECT_FALSE(FileThere(dir_.file("t.dat")));
}

TEST_F(MaintenanceTest, DeletingIndexesKeepsTheCurrentIndexAndTheIdentifierIndex) {
  MakeNumbered("t", 5);
  auto t = Table("t");
  for (const char* name : {"i1", "i2", "i3", "i4", "i5"}) t->AddIndex(name, "n", 0);
  t->Open();
  ASSERT_EQ(t->DataManager()->IndexCount(), 6);
  t->OpenIndex("", 5);
  t->DeleteIndex("i3");
  EXPECT_EQ(t->CurrentIndex(), 4);
  EXPECT_EQ(t->DataManager()->IndexHeader(t->CurrentIndex()).IndexName, "i5");
  t->DeleteIndex("i5");
  EXPECT_EQ(t->CurrentIndex(), 0);
  EXPECT_EQ(t->IndexDefs().Count(), 4);
  // The identifier's index stays: records are found by it.
  const std::string idIndex = t->DataManager()->IndexHeader(0).IndexName;
  EXPECT_EQ(MessageOf([&] { t->DeleteIndex(idIndex); }),
            "Error in TKivoDataManager.DeleteIndex - index \"" + idIndex +
                "\" orders the record identifiers and cannot be deleted!");
  EXPECT_EQ(t->DataManager()->IndexCount(), 4);
  // Edits still reach the record shown.
  t->Last();
  t->Edit();
  t->FieldByName("n").SetAsInteger(40);
  t->Post();
  t->Close();
  EXPECT_EQ(Column("t", "n"), (std::vector<std::string>{"0", "1", "2", "3", "40"}));

  // A closed table is opened for the call and closed again; a second user
  // makes deleting an index a busy table.
  auto other = Table("t");
  other->Open();
  EXPECT_EQ(MessageOf([&] { t->DeleteIndex("i1"); }),
            "TKivoDataSet.InternalDeleteTable - Table is busy, table t");
  EXPECT_FALSE(t->Active());
  EXPECT_EQ(MessageOf([&] { t->InternalAddIndex("x", "n", 0, "", ""); }),
            "Error in TKivoDataset.InternalAddIndex - table is not opened.");
}

// ---------------------------------------------------------------------------
// Import.

class ImportTest : public MaintenanceTest {
 protected:
  // Imports table `from` into table `to` and returns the log.
  std::string Import(const std::string& from, const std::string& to, bool* ok = nullptr,
                     const TIndexDefs* indexes = nullptr) {
    auto source = Table(from);
    source->Open();
    TDataSource ds(source.get());
    auto target = Table(to);
    std::string log;
    const bool result = target->ImportTable(&ds, indexes, log);
    if (ok) *ok = result;
    EXPECT_TRUE(target->Active());
    return log;
  }
};

TEST_F(ImportTest, RowsKeepTheirIdentifiersAndValues) {
  TFieldDefs f;
  f.Add("id", ftAutoInc);
  f.Add("s", ftString, 12);
  f.Add("big", ftLargeint);
  f.Add("w", ftWideString, 20);
  f.Add("b", ftBytes, 4);
  f.Add("m", ftMemo);
  f.Add("d", ftDateTime);
  MakeTable("src", f);
  {
    auto s = Table("src");
    s->Open();
    s->Append();
    s->FieldByName("s").SetAsString("one");
    s->FieldByName("big").SetAsLargeInt(9000000000123LL);
    s->FieldByName("w").SetAsWideString(u"w\u0151");
    s->FieldByName("b").SetAsString("");
    s->FieldByName("m").SetAsString("a memo");
    s->FieldByName("d").SetAsDateTime(45000.5);
    s->Post();
    s->Append();
    s->FieldByName("big").SetAsLargeInt(-5000000000LL);
    s->Post();
    s->First();
    s->Delete();  // identifiers 2 and 3 remain after a new row
    s->Append();
    s->FieldByName("s").SetAsString("three");
    s->Post();
  }
  bool ok = false;
  EXPECT_EQ(Import("src", "dst", &ok), "");
  EXPECT_TRUE(ok);
  EXPECT_EQ(Column("dst", "id"), (std::vector<std::string>{"2", "3"}));
  EXPECT_EQ(Column("dst", "big"), (std::vector<std::string>{"-5000000000", "-"}));
  EXPECT_EQ(Column("dst", "s"), (std::vector<std::string>{"-", "three"}));
  // A new row after the import gets a new identifier.
  auto d = Table("dst");
  d->Open();
  d->Append();
  d->Post();
  d->Close();
  EXPECT_EQ(Column("dst", "id"), (std::vector<std::string>{"2", "3", "4"}));
}

TEST_F(ImportTest, WideValuesBytesMemosAndLargeIntegersArriveWhole) {
  TFieldDefs f;
  f.Add("big", ftLargeint);
  f.Add("w", ftWideString, 20);
  f.Add("m", ftMemo);
  f.Add("d", ftDateTime);
  MakeTable("src", f);
  {
    auto s = Table("src");
    s->Open();
    s->Append();
    s->FieldByName("big").SetAsLargeInt(9000000000123LL);
    s->FieldByName("w").SetAsWideString(u"w\u0151");
    s->FieldByName("m").SetAsString("a memo");
    s->FieldByName("d").SetAsDateTime(45000.5);
    s->Post();
  }
  Import("src", "dst");
  auto d = Table("dst");
  d->Open();
  EXPECT_EQ(d->FieldByName("big").AsLargeInt(), 9000000000123LL);
  EXPECT_EQ(d->FieldByName("w").AsWideString(), u"w\u0151");
  EXPECT_EQ(d->FieldByName("m").AsString(), "a memo");
  EXPECT_DOUBLE_EQ(d->FieldByName("d").AsDateTime(), 45000.5);
}

TEST_F(ImportTest, IndexesOfTheNewTableHoldEveryCopiedRowInOrder) {
  MakeNumbered("src", 40);
  {
    auto s = Table("src");
    s->Open();
    for (s->First(); !s->Eof(); s->Next()) {
      s->Edit();
      s->FieldByName("n").SetAsInteger((s->FieldByName("n").AsInteger() * 17) % 40);
      s->Post();
    }
  }
  TIndexDefs indexes;
  indexes.Add("byN", "n");
  indexes.Add("uniqueName", "name", ixUnique);
  std::vector<double> progress;
  auto source = Table("src");
  source->Open();
  TDataSource ds(source.get());
  auto t = Table("dst");
  t->OnProgress = [&](TKivoDataset&, double percent, TkrProgressProcess process) {
    EXPECT_EQ(process, krppImport);
    progress.push_back(percent);
  };
  std::string log;
  ASSERT_TRUE(t->ImportTable(&ds, &indexes, log)) << log;
  ASSERT_EQ(progress.size(), 41u);
  EXPECT_DOUBLE_EQ(progress.front(), 0);
  EXPECT_NEAR(progress[20], 50, 1e-9);
  EXPECT_DOUBLE_EQ(progress.back(), 100);
  t->Close();
  for (const char* index : {"byN", "uniqueName"}) {
    auto r = Table("dst");
    r->SetIndexName(index);
    r->Open();
    EXPECT_EQ(r->RecordCount(), 40);
    std::string previous;
    int previousN = -1;
    for (r->First(); !r->Eof(); r->Next()) {
      if (std::string(index) == "byN") {
        EXPECT_EQ(r->FieldByName("n").AsInteger(), previousN + 1);
        previousN = r->FieldByName("n").AsInteger();
      } else {
        EXPECT_LT(previous, r->FieldByName("name").AsString());
        previous = r->FieldByName("name").AsString();
      }
    }
  }
}

TEST_F(ImportTest, ValuesOfAnyDataSetArriveWhole) {
  // A data set of another kind goes through its fields.
  TFieldDefs defs;
  defs.Add("big", ftLargeint);
  defs.Add("s", ftFixedChar, 6);
  defs.Add("cash", ftBCD);
  testing::TMemoryDataSet source(defs);
  source.Open();
  source.Append();
  source.FieldByName("big").SetAsLargeInt(-9000000000123LL);
  source.FieldByName("s").SetAsString("abc");
  source.FieldByName("cash").SetAsFloat(2.5);
  source.Post();
  TDataSource ds(&source);
  auto t = Table("t");
  std::string log;
  EXPECT_TRUE(t->ImportTable(&ds, nullptr, log)) << log;
  EXPECT_EQ(t->FieldByName("big").AsLargeInt(), -9000000000123LL);
  EXPECT_EQ(t->FieldByName("s").AsString(), "abc");
  EXPECT_EQ(t->FieldByName("cash").DataType(), ftFloat);
  EXPECT_DOUBLE_EQ(t->FieldByName("cash").AsFloat(), 2.5);
}

TEST_F(ImportTest, IdentifiersInDescendingOrderOrRepeatedAreNeverReused) {
  // A source in descending identifier order (through an index), with a
  // repeated identifier in a plain integer column mapped as the identifier.
  TFieldDefs f;
  f.Add("id", ftAutoInc);
  f.Add("n", ftInteger);
  MakeTable("src", f);
  {
    auto s = Table("src");
    s->Open();
    for (int i = 0; i < 5; ++i) {
      s->Append();
      s->FieldByName("n").SetAsInteger(i);
      s->Post();
    }
  }
  auto s = Table("src");
  s->AddIndex("down", "id", ixDescending);
  s->SetIndexName("down");
  s->Open();
  TDataSource ds(s.get());
  auto d = Table("dst");
  std::string log;
  EXPECT_TRUE(d->ImportTable(&ds, nullptr, log)) << log;
  EXPECT_EQ(d->GetLastAutoInc(), 5);
  d->Append();
  d->Post();
  d->Close();
  EXPECT_EQ(Column("dst", "id"), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));

  // A repeated identifier gets the next free one; a lower one that is
  // free is kept.
  TFieldDefs defs;
  defs.Add("id", ftAutoInc);
  defs.Add("n", ftInteger);
  testing::TMemoryDataSet repeated(defs);
  repeated.Open();
  for (int id : {3, 3, 1}) {
    repeated.Append();
    repeated.FieldByName("id").SetAsInteger(id);
    repeated.FieldByName("n").SetAsInteger(id * 10);
    repeated.Post();
  }
  TDataSource rs(&repeated);
  auto r = Table("rep");
  EXPECT_TRUE(r->ImportTable(&rs, nullptr, log)) << log;
  r->Append();
  r->Post();
  r->Close();
  EXPECT_EQ(Column("rep", "id"), (std::vector<std::string>{"1", "3", "4", "5"}));
  EXPECT_EQ(Column("rep", "n"), (std::vector<std::string>{"10", "30", "30", "-"}));
}

// Large imports are stored in blocks: tens of thousands of rows, a filtered
// source read out of position order, and a unique index that sends every
// row through the key check, all arrive whole and in identifier order.
TEST_F(ImportTest, LargeImportsArriveWholeThroughFiltersAndUniqueIndexes) {
  constexpr int kRows = 70000;
  TFieldDefs f;
  f.Add("id", ftAutoInc);
  f.Add("name", ftString, 10);
  f.Add("n", ftInteger);
  MakeTable("src", f);
  {
    // Filled through the engine in blocks; identifiers leave a gap.
    TDirectoryTableFileStore store(dir_.path());
    TDataManagerHold m(krGetDataManager("src", &store));
    ASSERT_EQ(m->OpenTable(), kOpenOk);
    const TkrRecordLayout& l = m->Layout();
    const auto size = static_cast<std::size_t>(l.RecordSize);
    std::vector<std::uint8_t> block(size * kRows, 0);
    for (int i = 0; i < kRows; ++i) {
      std::uint8_t* image = block.data() + size * static_cast<std::size_t>(i);
      std::memset(image + l.NullBitmapOffset, 0xFF, static_cast<std::size_t>(l.NullBitmapSize));
      const std::string name = "r" + std::to_string(i);
      // The AUTOINC field is the record identifier itself.
      std::memcpy(image + m->FieldOffset(0), name.c_str(), name.size() + 1);
      std::memcpy(image + m->FieldOffset(1), &i, 4);
      SetFieldNull(l, image, 0, false);
      SetFieldNull(l, image, 1, false);
      SetRecordId(l, image, static_cast<std::uint32_t>(i < 1000 ? i + 1 : i + 501));
    }
    ASSERT_TRUE(m->AppendRecords(block.data(), kRows));
    m->CloseTable();
  }
  auto check = [&](const std::string& table, int step) {
    auto t = Table(table);
    t->Open();
    ASSERT_EQ(t->RecordCount(), (kRows + step - 1) / step);
    std::int64_t expected = 0;
    int i = 0;
    for (t->First(); !t->Eof(); t->Next(), i += step) {
      ASSERT_EQ(t->FieldByName("n").AsInteger(), i);
      ASSERT_EQ(t->FieldByName("name").AsString(), "r" + std::to_string(i));
      ASSERT_EQ(t->FieldByName("id").AsInteger(), i < 1000 ? i + 1 : i + 501);
      expected += i;
    }
    EXPECT_EQ(t->GetLastAutoInc(), step == 1 ? kRows + 500 : (i - step) + 501);
  };
  ASSERT_NO_FATAL_FAILURE(check("src", 1));
  bool ok = false;
  EXPECT_EQ(Import("src", "all", &ok), "");
  EXPECT_TRUE(ok);
  check("all", 1);

  {
    auto source = Table("src");
    source->OnFilterRecord = [](TDataSet& ds, bool& accept) {
      accept = ds.FieldByName("n").AsInteger() % 3 == 0;
    };
    source->SetFiltered(true);  // every third row
    source->Open();
    TDataSource ds(source.get());
    TIndexDefs unique;
    unique.Add("byN", "n", ixUnique);
    auto target = Table("third");
    std::string log;
    EXPECT_TRUE(target->ImportTable(&ds, &unique, log)) << log;
  }
  check("third", 3);
}

TEST_F(ImportTest, UnsupportedFieldsAndTheirIndexesAreLeftOutWithLogLines) {
  TFieldDefs none;
  none.Add("x", ftUnknown);
  none.Add("y", ftUnknown);
  testing::TMemoryDataSet unsupported(none);
  unsupported.FieldDefs() = none;
  TDataSource ds(&unsupported);
  auto t = Table("t");
  std::string log;
  EXPECT_EQ(MessageOf([&] { t->ImportTable(&ds, nullptr, log); }),
            "Cannot create table without fields");
  EXPECT_EQ(log,
            "Field type not supported! FieldName = x. Field skipped.\r\n"
            "Field type not supported! FieldName = y. Field skipped.\r\n"
            "All fields in table were skipped, so table is also skipped.\r\n");
  EXPECT_FALSE(t->Exists());

  TFieldDefs some;
  some.Add("a", ftInteger);
  some.Add("b", ftUnknown);
  testing::TMemoryDataSet mixed(some);
  mixed.FieldDefs() = some;
  TDataSource mixedSource(&mixed);
  TIndexDefs indexes;
  indexes.Add("byA", "a");
  indexes.Add("byB", "b");
  indexes.Add("byAB", "a;xb");  // names b only inside a longer name
  indexes.Add("", "a");
  bool ok = true;
  EXPECT_EQ(MessageOf([&] { ok = t->ImportTable(&mixedSource, &indexes, log); }),
            testing::kNoException);
  EXPECT_FALSE(ok);
  EXPECT_EQ(log,
            "Field type not supported! FieldName = b. Field skipped.\r\n"
            "Index contains skipped field! IndexName = byB. Index skipped.\r\n"
            "Index contains skipped field! IndexName = byAB. Index skipped.\r\n");
  ASSERT_TRUE(t->Active());
  EXPECT_GE(t->DataManager()->IndexNumber("byA"), 0);
  EXPECT_LT(t->DataManager()->IndexNumber("byB"), 0);
  EXPECT_LT(t->DataManager()->IndexNumber("byAB"), 0);
}

// ---------------------------------------------------------------------------
// Restructure.

TEST_F(MaintenanceTest, RestructureKeepsRowsAndRenamesFieldsInPlace) {
  TFieldDefs f;
  f.Add("id", ftAutoInc);
  f.Add("old", ftInteger);
  f.Add("kind", ftInteger);
  f.Add("raw", ftBytes, 3);
  MakeTable("t", f);
  {
    auto t = Table("t");
    t->Open();
    for (int i = 1; i <= 3; ++i) {
      t->Append();
      t->FieldByName("old").SetAsInteger(i * 10);
      t->FieldByName("kind").SetAsInteger(i);
      std::uint8_t bytes[3] = {static_cast<std::uint8_t>(i), 2, 3};
      t->FieldByName("raw").SetData(bytes);
      t->Post();
    }
  }
  // Tables named like the first two backup candidates exist already.
  MakeTable("t_backup", TwoFields());
  MakeTable("t_backup0", TwoFields());
  std::vector<std::string> seen;
  auto t = Table("t");
  t->OnProgress = [&](TKivoDataset&, double percent, TkrProgressProcess process) {
    EXPECT_EQ(process, krppRestructure);
    seen.push_back(std::to_string(static_cast<int>(percent)));
    // While the rows are copied the old table is the first free backup name.
    if (percent == 0) {
      EXPECT_TRUE(FileThere(dir_.file("t_backup1.dat")));
    }
  };
  t->StructureFieldDefs().Add("id", ftAutoInc);
  t->StructureFieldDefs().Add("renamed", ftInteger);  // same place, same type
  t->StructureFieldDefs().Add("kind2", ftString, 5);  // new name, new type
  t->StructureFieldDefs().Add("raw", ftBytes, 3);
  t->StructureFieldDefs().Add("added", ftFloat);
  t->StructureIndexDefs().Add("byRenamed", "renamed");
  t->RestructureTable(false, "", 512, 0);
  EXPECT_FALSE(t->Active());
  EXPECT_EQ(seen, (std::vector<std::string>{"0", "33", "66", "100"}));
  EXPECT_FALSE(FileThere(dir_.file("t_backup1.dat")));
  EXPECT_TRUE(FileThere(dir_.file("t_backup0.dat")));
  EXPECT_EQ(Column("t", "id"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(Column("t", "renamed"), (std::vector<std::string>{"10", "20", "30"}));
  EXPECT_EQ(Column("t", "kind2"), (std::vector<std::string>{"-", "-", "-"}));
  EXPECT_EQ(Column("t", "added"), (std::vector<std::string>{"-", "-", "-"}));
  t->Open();
  EXPECT_GE(t->DataManager()->IndexNumber("byRenamed"), 0);
  t->Last();
  std::uint8_t bytes[3] = {};
  ASSERT_TRUE(t->FieldByName("raw").GetData(bytes));
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(bytes[2], 3);
  t->Append();
  t->Post();
  EXPECT_EQ(t->FieldByName("id").AsInteger(), 4);
}

TEST_F(MaintenanceTest, RestructureConvertsAChangedTypeAndKeepsBytesAndLargeIntegers) {
  TFieldDefs f;
  f.Add("n", ftInteger);
  f.Add("raw", ftBytes, 2);
  f.Add("big", ftLargeint);
  MakeTable("t", f);
  {
    auto t = Table("t");
    t->Open();
    t->Append();
    t->FieldByName("n").SetAsInteger(42);
    std::uint8_t bytes[2] = {7, 9};
    t->FieldByName("raw").SetData(bytes);
    t->FieldByName("big").SetAsLargeInt(1LL << 40);
    t->Post();
  }
  auto t = Table("t");
  t->StructureFieldDefs().Add("n", ftString, 8);
  t->StructureFieldDefs().Add("raw", ftBytes, 4);
  t->StructureFieldDefs().Add("big", ftLargeint);
  t->RestructureTable(false, "", 512, 0);
  t->Open();
  EXPECT_EQ(t->FieldByName("n").AsString(), "42");
  EXPECT_EQ(t->FieldByName("big").AsLargeInt(), 1LL << 40);
  std::uint8_t bytes[4] = {1, 1, 1, 1};
  ASSERT_TRUE(t->FieldByName("raw").GetData(bytes));
  EXPECT_EQ(bytes[0], 7);
  EXPECT_EQ(bytes[1], 9);
  EXPECT_EQ(bytes[2], 0);
}

TEST_F(MaintenanceTest, RestructureCanEncryptATable) {
  MakeNumbered("t", 3);
  auto t = Table("t");
  t->StructureFieldDefs().Add("id", ftAutoInc);
  t->StructureFieldDefs().Add("name", ftString, 10);
  t->StructureFieldDefs().Add("n", ftInteger);
  t->RestructureTable(true, "pw", 512, 0);
  EXPECT_TRUE(t->IsTableEncrypted());
  auto wrong = Table("t");
  wrong->SetPassword("other");
  EXPECT_NE(MessageOf([&] { wrong->Open(); }), testing::kNoException);
  auto right = Table("t");
  right->SetPassword("pw");
  right->Open();
  right->Last();
  EXPECT_EQ(right->FieldByName("name").AsString(), "r2");
  EXPECT_EQ(right->FieldByName("id").AsInteger(), 3);
}

TEST_F(MaintenanceTest, AFailedRestructureLeavesTheOldTableWithItsRows) {
  MakeNumbered("t", 4);
  auto t = Table("t");
  // A new structure that cannot be made.
  t->StructureFieldDefs().Add("id", ftAutoInc);
  t->StructureFieldDefs().Add("n", ftString, 0);
  const std::string message = MessageOf([&] { t->RestructureTable(false, "", 512, 0); });
  EXPECT_EQ(message.rfind("Error in TKivoDataset.RestructureTable - ", 0), 0u) << message;
  EXPECT_EQ(t->TableName(), "t");
  EXPECT_FALSE(FileThere(dir_.file("t_backup.dat")));
  EXPECT_EQ(Column("t", "n"), (std::vector<std::string>{"0", "1", "2", "3"}));

  // Rows that cannot be stored in the new structure (a required field left
  // empty) abort the copy.
  t->StructureFieldDefs().Clear();
  t->StructureFieldDefs().Add("id", ftAutoInc);
  t->StructureFieldDefs().Add("n", ftInteger);
  t->StructureFieldDefs().Add("must", ftInteger, 0, true);
  const std::string copyMessage = MessageOf([&] { t->RestructureTable(false, "", 512, 0); });
  EXPECT_EQ(copyMessage.rfind("Error in TKivoDataset.RestructureTable - error while saving data. "
                              "Restructure aborted. Field 'must' must have a value",
                              0),
            0u)
      << copyMessage;
  EXPECT_FALSE(FileThere(dir_.file("t_backup.dat")));
  EXPECT_EQ(Column("t", "n"), (std::vector<std::string>{"0", "1", "2", "3"}));
  EXPECT_EQ(Column("t", "id"), (std::vector<std::string>{"1", "2", "3", "4"}));

  // A backup name too long for a container is refused before anything moves.
  const std::string longName(250, 'L');
  MakeNumbered(longName, 1);
  auto l = Table(longName);
  l->StructureFieldDefs().Add("n", ftInteger);
  EXPECT_NE(MessageOf([&] { l->RestructureTable(false, "", 512, 0); }), testing::kNoException);
  EXPECT_TRUE(FileThere(dir_.file(longName + ".dat")));
  EXPECT_EQ(Column(longName, "n"), (std::vector<std::string>{"0"}));
}

// ---------------------------------------------------------------------------
// Temporary tables and in-memory tables.

TEST_F(MaintenanceTest, TemporaryTablesLiveInMemoryUntilDeleted) {
  auto t = std::make_unique<TKivoTable>();
  t->FieldDefs().Add("v", ftInteger);
  t->CreateTemporaryTable(100);
  EXPECT_EQ(t->TableName().rfind("@TABLE", 0), 0u);
  EXPECT_TRUE(t->InMemory());
  EXPECT_TRUE(t->DeleteOnClose());
  EXPECT_TRUE(t->SuppressProgressWindow());
  EXPECT_EQ(t->DatabaseName(), "MEMORY");
  EXPECT_TRUE(t->Exists());
  t->Open();
  t->Append();
  t->FieldByName("v").SetAsInteger(1);
  t->Post();
  std::string index;
  t->CreateTemporaryIndex("v", "v", "", index);
  EXPECT_EQ(index.rfind("$_IDX_", 0), 0u);
  t->DeleteTemporaryTable();
  EXPECT_FALSE(t->Active());
  EXPECT_FALSE(t->Exists());
}

TEST_F(MaintenanceTest, SwitchingAnOpenTableOutOfMemorySavesItToTheContainer) {
  const std::string file = dir_.file("db.kvb");
  auto table = [&] {
    auto t = std::make_unique<TKivoTable>();
    t->SetDatabaseFileName(file);
    t->SetTableName("t");
    return t;
  };
  auto rows = [&] {
    auto t = table();
    t->Open();
    std::vector<std::string> values;
    for (t->First(); !t->Eof(); t->Next()) values.push_back(t->FieldByName("n").AsString());
    return values;
  };
  {
    auto t = table();
    t->FieldDefs().Add("n", ftInteger);
    t->CreateTable();
    t->Open();
    t->Append();
    t->FieldByName("n").SetAsInteger(1);
    t->Post();
  }
  auto t = table();
  t->SetInMemory(true);
  t->Open();
  t->Append();
  t->FieldByName("n").SetAsInteger(5);
  t->Post();
  EXPECT_EQ(MessageOf([&] { table()->InternalSaveTable(); }),
            "TKivoDataset.InternalSaveTable - table is not opened.");
  t->SetInMemory(false);
  EXPECT_TRUE(t->Active());
  EXPECT_FALSE(t->InMemory());
  EXPECT_EQ(t->RecordCount(), 2);
  t->Close();
  EXPECT_EQ(rows(), (std::vector<std::string>{"1", "5"}));
}

}  // namespace
}  // namespace kivo
