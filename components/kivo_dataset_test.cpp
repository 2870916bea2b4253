// The table cursor on real tables of a directory database: opening,
// navigation, record numbers and bookmarks, field values, posting and
// deleting, filters, indexes, the master-detail link, Locate and the
// find-next search; two cursors on one table through seeded random changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "components/session.h"
#include "engine/table_file_store.h"
#include "platform/error_codes.h"
#include "platform/locale.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TempDir;

struct IndexSpec {
  std::string name;
  std::string fields;
  TIndexOptions options = 0;
  std::string caseInsensitive;
};

// Creates table `name` in `dir` with the fields and indexes given.
void CreateTable(const TempDir& dir, const std::string& name, const TFieldDefs& fields,
                 const std::vector<IndexSpec>& indexes = {}) {
  TDirectoryTableFileStore store(dir.path());
  TDataManagerHold m(krGetDataManager(name, &store));
  m->CreateTable(fields, TIndexDefs(), false, 1000);
  if (indexes.empty()) return;
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  for (const IndexSpec& i : indexes)
    m->AddIndex(i.name, i.fields, i.options, "", i.caseInsensitive, false);
  m->CloseTable();
}

// A table t(name STRING(10), n INTEGER, f FLOAT, s SMALLINT, d DATETIME)
// with indexes on n and on name.
TFieldDefs PeopleFields() {
  TFieldDefs f;
  f.Add("name", ftString, 10);
  f.Add("n", ftInteger);
  f.Add("f", ftFloat);
  f.Add("s", ftSmallint);
  f.Add("d", ftDateTime);
  return f;
}

class CursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDefaultFormatSettings(FormatSettings());
    CreateTable(dir_, "t", PeopleFields(), {{"byN", "n", 0, ""}, {"byName", "name", 0, ""}});
  }
  std::unique_ptr<TKivoTable> Open(const std::string& table = "t") {
    auto ds = std::make_unique<TKivoTable>();
    ds->SetDatabaseName(dir_.path());
    ds->SetTableName(table);
    ds->Open();
    return ds;
  }
  static void Add(TKivoTable& ds, const std::string& name, std::optional<int> n) {
    ds.Append();
    if (!name.empty()) ds.FieldByName("name").SetAsString(name);
    if (n) ds.FieldByName("n").SetAsInteger(*n);
    ds.Post();
  }
  // The identifiers in cursor order, walking with Next.
  static std::vector<int> Walk(TKivoTable& ds) {
    std::vector<int> ids;
    for (ds.First(); !ds.Eof(); ds.Next()) ids.push_back(ds.GetLastAutoInc() >= 0 ? Id(ds) : 0);
    return ids;
  }
  static int Id(TKivoTable& ds) {
    const TBookmark b = ds.GetBookmark();
    int id = 0;
    std::memcpy(&id, b.data(), 4);
    return id;
  }

  TempDir dir_;
};

TEST_F(CursorTest, OpensWithFieldDefinitionsAndWalksTheRecordsInOrder) {
  auto ds = Open();
  EXPECT_TRUE(ds->Active());
  ASSERT_EQ(ds->FieldDefs().Count(), 5);
  EXPECT_EQ(ds->FieldDefs()[0].Size(), 10);
  EXPECT_EQ(ds->Fields().Count(), 5);
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_EQ(ds->RecordCount(), 0);
  EXPECT_EQ(ds->RecNo(), 0);
  Add(*ds, "Cecil", 3);
  Add(*ds,
      "\xC1"
      "bel",
      1);
  Add(*ds, "Bea", 2);
  EXPECT_EQ(ds->RecordCount(), 3);
  EXPECT_EQ(Walk(*ds), (std::vector<int>{1, 2, 3}));
  ds->SetIndexName("byN");
  EXPECT_EQ(Walk(*ds), (std::vector<int>{2, 3, 1}));
  ds->Last();
  EXPECT_EQ(ds->FieldByName("name").AsString(), "Cecil");
  EXPECT_EQ(ds->RecNo(), 3);
  ds->Prior();
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 2);
  EXPECT_FALSE(ds->Bof());
  ds->Prior();
  ds->Prior();
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 1);
  ds->Close();
  EXPECT_FALSE(ds->Active());
}

TEST_F(CursorTest, OpeningAMissingTableOrIndexRaisesTheCursorsTexts) {
  TKivoTable ds;
  ds.SetDatabaseName(dir_.path());
  ds.SetTableName("nosuch");
  EXPECT_EQ(MessageOf([&] { ds.Open(); }),
            "TKivoDataset.OpenTable - table \"nosuch\" does not exist.");
  EXPECT_FALSE(ds.Active());
  ds.SetTableName("t");
  ds.SetIndexName("none");
  EXPECT_EQ(MessageOf([&] { ds.Open(); }), "TKivoDataSet.InternalOpen - Invalid index name 'none'");
  EXPECT_FALSE(ds.Active());
  ds.SetIndexFieldNames("f");
  EXPECT_EQ(MessageOf([&] { ds.Open(); }),
            "TKivoDataSet.InternalOpen - Invalid index field names 'f'");
  ds.SetIndexFieldNames("n");
  ds.Open();
  EXPECT_EQ(ds.IndexName(), "");
  EXPECT_EQ(MessageOf([&] { ds.OpenIndex("zz"); }),
            "Error in TKivoDataSet.OpenIndex - index \"zz\" not found!");
  EXPECT_EQ(MessageOf([&] { ds.OpenIndex("", 4); }),
            "Error in TKivoDataSet.OpenIndex - index number \"4\" not found!");
  EXPECT_EQ(MessageOf([&] { ds.SetIndexFieldNames("f"); }),
            "Index for fields \"f\" does not exist.");
}

TEST_F(CursorTest, ANewRecordCarriesItsFutureIdentifierAndEmptyValuesAreNull) {
  auto ds = Open();
  Add(*ds, "a", 1);
  ds->Insert();
  EXPECT_EQ(ds->FieldByName("name").IsNull(), true);
  ds->FieldByName("name").SetAsString("");
  ds->FieldByName("n").SetAsInteger(5);
  EXPECT_EQ(ds->GetLastAutoInc(), 1);
  ds->Post();
  EXPECT_EQ(Id(*ds), 2);
  EXPECT_TRUE(ds->FieldByName("name").IsNull());
  EXPECT_TRUE(ds->FieldByName("d").IsNull());
  EXPECT_FALSE(ds->FieldByName("n").IsNull());
}

TEST_F(CursorTest, AUniqueKeyThatExistsIsAKeyViolationNamingTableAndIndex) {
  auto ds = Open();
  ds->DataManager()->AddIndex("uniqS", "s", ixUnique, "", "", false);
  ds->Append();
  ds->FieldByName("s").SetAsInteger(7);
  ds->Post();
  ds->Append();
  ds->FieldByName("s").SetAsInteger(7);
  EXPECT_EQ(MessageOf([&] { ds->Post(); }),
            "TKivoDataSet.InternalPost - key violation.\r\nTable name = \"t\".\r\n"
            "Unique index name = \"uniqS\".");
  EXPECT_EQ(ds->State(), dsInsert);
  ds->Cancel();
  EXPECT_EQ(ds->RecordCount(), 1);
}

TEST_F(CursorTest, TwoCursorsOnOneTableSeeEachOthersChangesAtTheNextRead) {
  auto a = Open();
  auto b = Open();
  Add(*a, "x", 1);
  EXPECT_EQ(b->RecordCount(), 1);
  Add(*b, "y", 2);
  EXPECT_EQ(a->RecordCount(), 2);
  a->First();
  a->Next();
  EXPECT_EQ(a->FieldByName("name").AsString(), "y");
  // Records read one after another come in a block; a change by the other
  // cursor is seen at the next read all the same.
  for (int i = 0; i < 40; ++i) Add(*a, "z", 10 + i);
  std::vector<int> before;
  for (a->First(); !a->Eof(); a->Next()) before.push_back(a->FieldByName("n").AsInteger());
  b->SetRecNo(20);
  b->Edit();
  b->FieldByName("n").SetAsInteger(-5);
  b->Post();
  before[19] = -5;
  std::vector<int> after;
  for (a->First(); !a->Eof(); a->Next()) after.push_back(a->FieldByName("n").AsInteger());
  EXPECT_EQ(after, before);
}

TEST_F(CursorTest, RecordNumbersOutsideTheListDoNothing) {
  auto ds = Open();
  for (int i = 1; i <= 5; ++i) Add(*ds, "r", i);
  ds->SetRecNo(3);
  EXPECT_EQ(ds->RecNo(), 3);
  for (int bad : {0, -1, 6}) {
    ds->SetRecNo(bad);
    EXPECT_EQ(ds->RecNo(), 3) << bad;
  }
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 3);
}

TEST_F(CursorTest, BookmarksReturnToTheirRecordAndOrderByPosition) {
  auto ds = Open();
  ds->SetIndexName("byN");
  for (int n : {5, 1, 3}) Add(*ds, "r", n);
  ds->First();
  const TBookmark first = ds->GetBookmark();
  ds->Last();
  const TBookmark last = ds->GetBookmark();
  EXPECT_LT(ds->CompareBookmarks(first.data(), last.data()), 0);
  EXPECT_GT(ds->CompareBookmarks(last.data(), first.data()), 0);
  EXPECT_EQ(ds->CompareBookmarks(first.data(), first.data()), 0);
  // An absent bookmark sorts after a present one.
  EXPECT_EQ(ds->CompareBookmarks(nullptr, first.data()), 1);
  EXPECT_EQ(ds->CompareBookmarks(first.data(), nullptr), -1);
  EXPECT_EQ(ds->CompareBookmarks(nullptr, nullptr), 0);
  ds->GotoBookmark(first);
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 1);
  EXPECT_TRUE(ds->BookmarkValid(last.data()));
  ds->GotoBookmark(last);
  ds->Delete();
  EXPECT_FALSE(ds->BookmarkValid(last.data()));
}

TEST_F(CursorTest, DeletingMovesToTheNextRecordAndKeepsTheOrder) {
  auto ds = Open();
  ds->SetIndexName("byN");
  for (int n : {50, 10, 40, 20, 30}) Add(*ds, "r", n);
  ds->First();  // n = 10, position 1
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 20);
  std::vector<int> ns;
  for (ds->First(); !ds->Eof(); ds->Next()) ns.push_back(ds->FieldByName("n").AsInteger());
  EXPECT_EQ(ns, (std::vector<int>{20, 30, 40, 50}));
  ds->Last();
  ds->Delete();
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 40);
}

// Another cursor deletes the record this one shows; the table's last record
// moves into its position. Neither an edit nor a delete through this cursor
// may then touch the moved record.
TEST_F(CursorTest, EditsAndDeletesFollowTheRecordNotItsPosition) {
  auto mine = Open();
  auto theirs = Open();
  for (int n = 1; n <= 5; ++n) Add(*mine, "r", n);
  mine->First();
  mine->Next();  // n = 2, position 1
  theirs->First();
  theirs->Next();
  theirs->Delete();  // record 5 moves into position 1
  mine->Edit();
  mine->FieldByName("n").SetAsInteger(99);
  EXPECT_NE(MessageOf([&] { mine->Post(); }).find("no longer exists"), std::string::npos);
  mine->Cancel();
  EXPECT_NE(MessageOf([&] { mine->Delete(); }).find("no longer exists"), std::string::npos);
  std::set<int> ns;
  for (theirs->First(); !theirs->Eof(); theirs->Next())
    ns.insert(theirs->FieldByName("n").AsInteger());
  EXPECT_EQ(ns, (std::set<int>{1, 3, 4, 5}));  // nothing else was changed or deleted
}

TEST_F(CursorTest, AFilterHidesRecordsAndAnEditedRecordLeavesAtOnce) {
  auto ds = Open();
  for (int n = 1; n <= 6; ++n) Add(*ds, n % 2 ? "odd" : "even", n);
  ds->SetFilter("name = 'odd'");
  ds->SetFiltered(true);
  EXPECT_EQ(ds->RecordCount(), 3);
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 1);
  ds->Edit();
  ds->FieldByName("name").SetAsString("even");
  ds->Post();
  EXPECT_EQ(ds->RecordCount(), 2);
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 3);
  ds->Append();
  ds->FieldByName("name").SetAsString("even");
  ds->Post();
  EXPECT_EQ(ds->RecordCount(), 2);
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecordCount(), 7);
}

TEST_F(CursorTest, TheLastIdentifierIsNeverReused) {
  auto ds = Open();
  Add(*ds, "a", 1);
  ds->DataManager()->SetNextAutoInc(INT32_MAX);
  Add(*ds, "b", 2);
  EXPECT_EQ(Id(*ds), INT32_MAX);
  ds->Append();
  EXPECT_NE(MessageOf([&] { ds->Post(); }).find("no record identifier is left"), std::string::npos);
  ds->Cancel();
  EXPECT_EQ(ds->RecordCount(), 2);
}

TEST_F(CursorTest, RecordsLargerThanSixtyFourKilobytesWork) {
  TFieldDefs f;
  f.Add("big", ftString, 70000);
  f.Add("n", ftInteger);
  CreateTable(dir_, "big", f);
  auto ds = Open("big");
  const std::string text(69999, 'x');
  ds->Append();
  ds->FieldByName("big").SetAsString(text);
  ds->FieldByName("n").SetAsInteger(4);
  ds->Post();
  ds->Close();
  ds->Open();
  EXPECT_TRUE(ds->FieldByName("big").AsString() == text);
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 4);
}

TEST_F(CursorTest, MemosArePostedOnceWithTheirRecord) {
  TFieldDefs f;
  f.Add("n", ftInteger);
  f.Add("memo", ftMemo);
  CreateTable(dir_, "m", f);
  {
    auto ds = Open("m");
    for (int i = 0; i < 3; ++i) {
      ds->Append();
      ds->FieldByName("n").SetAsInteger(i);
      ds->FieldByName("memo").SetAsString("memo " + std::to_string(i));
      ds->Post();
    }
    // A record refused by a unique key leaves the BLOB directory as it was.
    ds->DataManager()->AddIndex("uniqN", "n", ixUnique, "", "", false);
    ds->Append();
    ds->FieldByName("n").SetAsInteger(1);
    ds->FieldByName("memo").SetAsString("refused");
    EXPECT_NE(MessageOf([&] { ds->Post(); }).find("key violation"), std::string::npos);
    ds->Cancel();
    EXPECT_EQ(ds->RecordCount(), 3);
    ds->SetFilter("memo like '%1'");
    ds->SetFiltered(true);
    EXPECT_EQ(ds->RecordCount(), 1);
    EXPECT_EQ(ds->FieldByName("n").AsInteger(), 1);
  }
  auto ds = Open("m");
  std::vector<std::string> memos;
  for (ds->First(); !ds->Eof(); ds->Next()) memos.push_back(ds->FieldByName("memo").AsString());
  EXPECT_EQ(memos, (std::vector<std::string>{"memo 0", "memo 1", "memo 2"}));
}

TEST_F(CursorTest, FindNextWalksTheFilterMatchesInListOrder) {
  auto ds = Open();
  ds->SetIndexName("byN");
  for (int n : {4, 1, 3, 2, 5}) Add(*ds, n % 2 ? "odd" : "even", n);
  ds->SetFilter("name = 'odd'");
  ASSERT_TRUE(ds->FindFirst());
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 1);
  ASSERT_TRUE(ds->FindNext());
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 3);
  ASSERT_TRUE(ds->FindNext());
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 5);
  EXPECT_FALSE(ds->FindNext());
  ASSERT_TRUE(ds->FindPrior());
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 3);
  ASSERT_TRUE(ds->FindLast());
  EXPECT_EQ(ds->FieldByName("n").AsInteger(), 5);
}

TEST_F(CursorTest, LocateComparesBinaryValuesAndOnlyFindsVisibleRecords) {
  auto ds = Open();
  for (int i = 0; i < 30; ++i) {
    ds->Append();
    ds->FieldByName("n").SetAsInteger(i % 10);
    ds->FieldByName("f").SetAsFloat(i * 0.0001);
    ds->FieldByName("s").SetAsInteger(i + 4460);
    ds->FieldByName("d").SetAsDateTime(45000.0 + i / 86400000.0);  // i milliseconds
    ds->Post();
  }
  auto at = [&](const std::string& field, TZorVariant v) {
    const std::int32_t pos = ds->PrepareAndLocate(field, {v}, foNoPartialCompare);
    return pos < 0 ? -1 : pos + 1;  // the identifier of that record
  };
  EXPECT_EQ(at("n", std::int32_t{7}), 8);
  EXPECT_EQ(at("f", 0.0001), 2);
  EXPECT_EQ(at("d", TZorDateTimeVariant{45000.0 + 3 / 86400000.0}), 4);
  // 70000 does not fit a SMALLINT: it must not wrap to 4464.
  EXPECT_EQ(at("s", std::int32_t{70000}), -1);
  EXPECT_EQ(at("s", std::int32_t{4464}), 5);
  EXPECT_EQ(at("n", std::monostate{}), -1);
  EXPECT_EQ(ds->PrepareAndLocate("n;s", {std::int32_t{3}, std::int32_t{4483}}, foNoPartialCompare),
            23);
  ds->SetFilter("n < 5");
  ds->SetFiltered(true);
  EXPECT_EQ(at("n", std::int32_t{7}), -1);
  EXPECT_EQ(at("n", std::int32_t{4}), 5);
}

// ---------------------------------------------------------------------------
// Master and detail.

// A damaged file may hold any bit pattern in a date-time slot: a NaN reads
// as no value, and values far outside the calendar read without undefined
// behaviour.
TEST_F(CursorTest, DateTimeSlotsHoldingAnyBitPatternReadSafely) {
  {
    auto ds = Open();
    ds->Append();
    ds->FieldByName("name").SetAsString("x");
    ds->FieldByName("d").SetAsDateTime(45000.5);
    ds->Post();
  }
  std::size_t at = 0;
  {
    TDirectoryTableFileStore store(dir_.path());
    TDataManagerHold m(krGetDataManager("t", &store));
    ASSERT_EQ(m->OpenTable(), kOpenOk);
    at = static_cast<std::size_t>(m->DataOffset() + m->FieldOffset(4));
    m->CloseTable();
  }
  const std::string original = testing::ReadFileBytes(dir_.file("t.dat"));
  for (double stored : {std::numeric_limits<double>::quiet_NaN(), -6.34968e+295,
                        std::numeric_limits<double>::infinity(), 1e300}) {
    SCOPED_TRACE(stored);
    std::string bytes = original;
    std::memcpy(bytes.data() + at, &stored, sizeof stored);
    testing::WriteFileBytes(dir_.file("t.dat"), bytes);
    auto ds = Open();
    ds->First();
    TField& d = ds->FieldByName("d");
    std::string text;
    const std::string error = MessageOf([&] { text = d.AsString(); });
    EXPECT_EQ(error, testing::kNoException);
    if (std::isnan(stored)) {
      EXPECT_EQ(text, "");
    }
    EXPECT_EQ(ds->FieldByName("name").AsString(), "x");
  }
}

class MasterDetailTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    TFieldDefs d;
    d.Add("owner", ftInteger);
    d.Add("small", ftSmallint);
    d.Add("what", ftString, 8);
    CreateTable(dir_, "detail", d, {{"byOwner", "owner", 0, ""}, {"bySmall", "small", 0, ""}});
    master_ = Open();
    for (std::optional<int> n : {std::optional<int>(1), std::optional<int>(2), std::optional<int>(),
                                 std::optional<int>(70000)})
      Add(*master_, "m", n);
    detail_ = Open("detail");
    for (std::optional<int> owner :
         {std::optional<int>(1), std::optional<int>(2), std::optional<int>(1), std::optional<int>(),
          std::optional<int>(3)}) {
      detail_->Append();
      if (owner) {
        detail_->FieldByName("owner").SetAsInteger(*owner);
        detail_->FieldByName("small").SetAsInteger(*owner == 1 ? 4464 : *owner);
      }
      detail_->Post();
    }
    source_.SetDataSet(master_.get());
  }
  std::vector<int> DetailIds() { return Walk(*detail_); }

  std::unique_ptr<TKivoTable> master_;
  std::unique_ptr<TKivoTable> detail_;
  TDataSource source_;
};

TEST_F(MasterDetailTest, TheDetailFollowsTheMasterRecord) {
  detail_->SetIndexName("byOwner");
  detail_->SetMasterFields("n");
  detail_->SetMasterSource(&source_);
  master_->First();
  EXPECT_EQ(DetailIds(), (std::vector<int>{1, 3}));
  master_->Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{2}));
  master_->Next();  // a null master value selects the null details
  EXPECT_EQ(DetailIds(), (std::vector<int>{4}));
  // A new detail record takes the master's value.
  master_->First();
  detail_->Append();
  detail_->FieldByName("what").SetAsString("new");
  detail_->Post();
  EXPECT_EQ(detail_->FieldByName("owner").AsInteger(), 1);
  EXPECT_EQ(detail_->RecordCount(), 3);
}

TEST_F(MasterDetailTest, ValuesPassBinaryAndOutOfRangeValuesMatchNothing) {
  detail_->SetIndexName("bySmall");
  detail_->SetMasterFields("n");
  detail_->SetMasterSource(&source_);
  master_->Last();  // n = 70000 does not fit a SMALLINT, and is not 4464
  EXPECT_EQ(detail_->RecordCount(), 0);
  master_->First();  // n = 1: nothing has small = 1
  EXPECT_EQ(detail_->RecordCount(), 0);
}

TEST_F(MasterDetailTest, ALinkBackToItselfIsRefused) {
  TDataSource own(detail_.get());
  EXPECT_EQ(MessageOf([&] { detail_->SetMasterSource(&own); }),
            "TKivoDataSet.SetDataSource - Invalid DataSource");
  TDataSource detailSource(detail_.get());
  detail_->SetMasterSource(&source_);
  EXPECT_EQ(MessageOf([&] { master_->SetMasterSource(&detailSource); }),
            "TKivoDataSet.SetDataSource - Invalid DataSource");
}

// ---------------------------------------------------------------------------
// Two cursors through seeded random changes: after every step each shows
// exactly what a cursor opened afresh with the same settings shows.

std::vector<int> Snapshot(TKivoTable& ds) {
  std::vector<int> out;
  const TBookmark keep = ds.GetBookmark();
  TkrVisibleList& list = *ds.VisibleList();
  ds.EnsureVisibleListCurrent();
  for (std::int32_t i = 0; i < list.Count(); ++i) out.push_back(list.RecordAt(i));
  return out;
}

TEST_F(CursorTest, TwoCursorsStayEqualToAFreshCursorThroughRandomChanges) {
  std::mt19937 rng(2300);
  auto a = Open();
  auto b = Open();
  a->SetIndexName("byName");
  b->SetIndexName("byN");
  b->SetFilter("n >= 3 and n < 12");
  b->SetFiltered(true);
  const std::vector<std::string> names = {"a",
                                          "\xE1",
                                          "\xE1"
                                          "b",
                                          "AB",
                                          "b",
                                          "cs",
                                          "\xF5r",
                                          ""};
  auto fresh = [&](bool filtered, const std::string& index) {
    auto ds = Open();
    ds->SetIndexName(index);
    if (filtered) {
      ds->SetFilter("n >= 3 and n < 12");
      ds->SetFiltered(true);
    }
    return Snapshot(*ds);
  };
  for (int step = 0; step < 150; ++step) {
    TKivoTable& ds = rng() % 2 ? *a : *b;
    const unsigned what = rng() % 10;
    if (ds.RecordCount() > 0) ds.SetRecNo(static_cast<int>(rng() % ds.RecordCount()) + 1);
    if (what < 5 || ds.IsEmpty()) {
      ds.Append();
      const std::string& name = names[rng() % names.size()];
      if (!name.empty()) ds.FieldByName("name").SetAsString(name);
      if (rng() % 6) ds.FieldByName("n").SetAsInteger(static_cast<int>(rng() % 15));
      ds.Post();
    } else if (what < 8) {
      ds.Edit();
      ds.FieldByName("n").SetAsInteger(static_cast<int>(rng() % 15));
      ds.Post();
    } else {
      ds.Delete();
    }
    ASSERT_EQ(Snapshot(*a), fresh(false, "byName")) << "step " << step;
    ASSERT_EQ(Snapshot(*b), fresh(true, "byN")) << "step " << step;
    ASSERT_EQ(a->RecordCount(), a->DataManager()->RecordCount());
  }
}

}  // namespace
}  // namespace kivo
