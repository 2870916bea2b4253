// Key searches and ranges, Locate and Lookup, field values by number and
// inserts through the cursor's own buffer, on real tables of a directory
// database.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "dataset/data_link.h"
#include "engine/data_manager.h"
#include "engine/table_file_store.h"
#include "platform/errors.h"
#include "sql/values.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TempDir;

// Table t(name STRING(12), n INTEGER, m INTEGER, d DATE, note MEMO) with
// indexes byN (n), byNM (n;m) and byName (name, case ignored); row i
// (1-based, identifier i) has name "row" + i, n = 10 * ((i + 1) / 2) (pairs
// of equal values), m = i, d = date 40000 + i except every fifth (null),
// note "note " + i.
class KeyTable : public ::testing::Test {
 protected:
  static constexpr int kRows = 40;

  void SetUp() override {
    TFieldDefs f;
    f.Add("name", ftString, 12);
    f.Add("n", ftInteger);
    f.Add("m", ftInteger);
    f.Add("d", ftDate);
    f.Add("note", ftMemo);
    {
      TDirectoryTableFileStore store(dir_.path());
      TDataManagerHold m(krGetDataManager("t", &store));
      m->CreateTable(f, TIndexDefs(), false, 1000);
      ASSERT_EQ(m->OpenTable(), kOpenOk);
      m->AddIndex("byN", "n", 0, "", "", false);
      m->AddIndex("byNM", "n;m", 0, "", "", false);
      m->AddIndex("byName", "name", ixCaseInsensitive, "", "", false);
      m->CloseTable();
    }
    t_ = Table();
    t_->Open();
    for (int i = 1; i <= kRows; ++i) {
      t_->Append();
      t_->FieldByName("name").SetAsString("row" + std::to_string(i));
      t_->FieldByName("n").SetAsInteger(10 * ((i + 1) / 2));
      t_->FieldByName("m").SetAsInteger(i);
      if (i % 5 != 0) t_->FieldByName("d").SetAsDateTime(40000.0 + i);
      t_->FieldByName("note").SetAsString("note " + std::to_string(i));
      t_->Post();
    }
    t_->First();
  }
  std::unique_ptr<TKivoTable> Table() {
    auto t = std::make_unique<TKivoTable>();
    t->SetDatabaseName(dir_.path());
    t->SetTableName("t");
    return t;
  }
  int M() { return t_->FieldByName("m").AsInteger(); }

  TempDir dir_;
  std::unique_ptr<TKivoTable> t_;
};

TEST_F(KeyTable, GotoKeyFindsTheFirstVisibleRecordOfARunAndNeverMovesOnAMiss) {
  t_->SetIndexName("byN");
  t_->SetKey();
  EXPECT_EQ(t_->State(), dsSetKey);
  t_->FieldByName("n").SetAsInteger(70);
  EXPECT_TRUE(t_->GotoKey());
  EXPECT_EQ(t_->State(), dsBrowse);
  EXPECT_EQ(M(), 13);  // 13 and 14 have n = 70
  // A miss leaves the cursor where it was.
  int scrolls = 0;
  t_->AfterScroll = [&](TDataSet&) { ++scrolls; };
  EXPECT_FALSE(t_->FindKey({std::int32_t{75}}));
  EXPECT_EQ(M(), 13);
  EXPECT_EQ(scrolls, 0);
  EXPECT_TRUE(t_->FindKey({std::int32_t{200}}));
  EXPECT_EQ(M(), 39);
  EXPECT_EQ(scrolls, 1);
  // Nearest: the first key not below, or the last record.
  t_->FindNearest({std::int32_t{75}});
  EXPECT_EQ(M(), 15);
  t_->FindNearest({std::int32_t{1000}});
  EXPECT_EQ(M(), 40);
  // A filter that hides the first of a run finds the next one.
  t_->OnFilterRecord = [](TDataSet& ds, bool& accept) {
    accept = ds.FieldByName("m").AsInteger() != 13;
  };
  t_->SetFiltered(true);
  EXPECT_TRUE(t_->FindKey({std::int32_t{70}}));
  EXPECT_EQ(M(), 14);
}

TEST_F(KeyTable, KeysOfSeveralFieldsAndPartialKeys) {
  t_->SetIndexName("byNM");
  EXPECT_TRUE(t_->FindKey({std::int32_t{50}, std::int32_t{10}}));
  EXPECT_EQ(M(), 10);
  EXPECT_FALSE(t_->FindKey({std::int32_t{50}, std::int32_t{11}}));
  // One value of two: only the first key field takes part.
  EXPECT_TRUE(t_->FindKey({std::int32_t{50}}));
  EXPECT_EQ(M(), 9);
  t_->SetKey();
  t_->FieldByName("n").SetAsInteger(50);
  t_->FieldByName("m").SetAsInteger(10);
  t_->SetKeyFieldCount(1);
  EXPECT_TRUE(t_->GotoKey());
  EXPECT_EQ(M(), 9);
  // Key editing leaves an edit in progress posted first, and a field that
  // is not a key field cannot be written while editing a key.
  t_->Edit();
  t_->FieldByName("name").SetAsString("renamed");
  t_->SetKey();
  EXPECT_EQ(t_->Lookup("m", {std::int32_t{9}}, "name")[0], TZorVariant(std::string("renamed")));
  EXPECT_NE(MessageOf([&] { t_->FieldByName("name").SetAsString("x"); }), "");
  t_->Cancel();
  EXPECT_EQ(t_->State(), dsBrowse);
}

TEST_F(KeyTable, RangesShowTheKeysBetweenBothEndsIncluded) {
  t_->SetIndexName("byN");
  t_->SetRange({std::int32_t{30}}, {std::int32_t{50}});
  EXPECT_EQ(t_->RecordCount(), 6);
  EXPECT_EQ(M(), 5);
  t_->Last();
  EXPECT_EQ(M(), 10);
  // Editing one end keeps the other.
  t_->EditRangeEnd();
  t_->FieldByName("n").SetAsInteger(60);
  t_->ApplyRange();
  EXPECT_EQ(t_->RecordCount(), 8);
  // A key search stays inside the range.
  EXPECT_FALSE(t_->FindKey({std::int32_t{70}}));
  t_->CancelRange();
  EXPECT_EQ(t_->RecordCount(), kRows);
  EXPECT_TRUE(t_->FindKey({std::int32_t{70}}));
}

TEST_F(KeyTable, LocateHonoursItsOptionsAndAnEmptyTableFindsNothing) {
  EXPECT_FALSE(t_->Locate("name", {std::string("ROW7")}, 0));
  EXPECT_TRUE(t_->Locate("name", {std::string("ROW7")}, loCaseInsensitive));
  EXPECT_EQ(M(), 7);
  EXPECT_TRUE(t_->Locate("name", {std::string("row3")}, loPartialKey));
  EXPECT_EQ(M(), 3);  // "row3" before "row30".."row39" in identifier order
  EXPECT_TRUE(t_->Locate("n;m", {std::int32_t{60}, std::int32_t{12}}, 0));
  EXPECT_EQ(M(), 12);
  EXPECT_FALSE(t_->Locate("n;m", {std::int32_t{60}, std::int32_t{13}}, 0));
  EXPECT_EQ(M(), 12);
  // A memo key far longer than a record is kept aside, not in the record.
  const std::string longNote(10000, 'x');
  t_->Edit();
  t_->FieldByName("note").SetAsString(longNote);
  t_->Post();
  t_->First();
  EXPECT_TRUE(t_->Locate("note", {longNote}, 0));
  EXPECT_EQ(M(), 12);
  EXPECT_FALSE(t_->Locate("note", {longNote + "y"}, 0));

  t_->SetRange({std::int32_t{-5}}, {std::int32_t{-1}});  // needs an index on n
  t_->CancelRange();
  t_->SetIndexName("byN");
  t_->SetRange({std::int32_t{-5}}, {std::int32_t{-1}});
  EXPECT_EQ(t_->RecordCount(), 0);
  EXPECT_FALSE(t_->Locate("n", {std::int32_t{10}}, 0));
}

TEST_F(KeyTable, LookupReadsTheRecordFoundAndLeavesTheCursorAlone) {
  t_->Locate("m", {std::int32_t{4}}, 0);
  const std::vector<TZorVariant> one = t_->Lookup("name", {std::string("row22")}, "m");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], TZorVariant(std::int64_t{22}));
  const std::vector<TZorVariant> two =
      t_->Lookup("n;m", {std::int32_t{110}, std::int32_t{21}}, " name ;; note");
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0], TZorVariant(std::string("row21")));
  EXPECT_EQ(two[1], TZorVariant(std::string("note 21")));
  EXPECT_TRUE(t_->Lookup("name", {std::string("nobody")}, "m").empty());
  // Exact, case-sensitive matching only.
  EXPECT_TRUE(t_->Lookup("name", {std::string("ROW22")}, "m").empty());
  EXPECT_TRUE(t_->Lookup("name", {std::string("row")}, "m").empty());
  EXPECT_EQ(M(), 4);
  EXPECT_EQ(t_->FieldByName("note").AsString(), "note 4");
}

TEST_F(KeyTable, FieldValuesByNumberFollowTheStoredForms) {
  t_->Locate("m", {std::int32_t{5}}, 0);
  TZorValue v;
  t_->GetFieldValue(v, 0, false);
  EXPECT_TRUE(v.Borrowed());
  EXPECT_EQ(v.AsString(), "row5");
  t_->GetFieldValue(v, 1, true);
  EXPECT_FALSE(v.Borrowed());
  EXPECT_EQ(v.AsInteger(), 30);
  t_->GetFieldValue(v, 3, false);  // a null date keeps its type
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType(), ftDate);
  t_->GetFieldValue(v, 4, false);
  EXPECT_EQ(v.AsString(), "note 5");
  t_->GetFieldValue(v, -1, false);
  EXPECT_EQ(v.DataType(), ftAutoInc);
  EXPECT_EQ(v.AsInteger(), 5);
  EXPECT_EQ(MessageOf([&] { t_->GetFieldValue(v, 5, false); }).rfind("Invalid field number. ", 0),
            0u);
  // Written back through the record being edited.
  t_->Edit();
  TZorValue text;
  text.SetString("five");
  t_->SetFieldValue(text, 0);
  TZorValue big;
  big.SetLargeInt(77);  // converted to the field's type
  t_->SetFieldValue(big, 2);
  TZorValue memo;
  memo.SetMemo("a new note");
  t_->SetFieldValue(memo, 4);
  TZorValue none;
  none.SetNull(ftString);
  t_->SetFieldValue(none, -2);  // nothing
  t_->Post();
  t_->Refresh();
  EXPECT_EQ(t_->FieldByName("name").AsString(), "five");
  EXPECT_EQ(M(), 77);
  EXPECT_EQ(t_->FieldByName("note").AsString(), "a new note");
  t_->Edit();
  t_->SetFieldValue(none, 0);  // null, and an empty string is null too
  t_->Post();
  EXPECT_TRUE(t_->FieldByName("name").IsNull());

  auto closed = Table();
  EXPECT_EQ(MessageOf([&] { closed->GetFieldValue(v, 0, false); }),
            "TKivoDataSet.GetFieldValue - DMHandle = nil");
}

TEST_F(KeyTable, InternalInsertsStoreTheirOwnBufferAndAlwaysEndInBrowse) {
  t_->Locate("m", {std::int32_t{8}}, 0);
  t_->BeginInternalInsert();
  EXPECT_TRUE(t_->InternalInsertActive());
  EXPECT_EQ(t_->State(), dsInsert);
  TZorValue v;
  v.SetString("inserted");
  t_->SetFieldValue(v, 0);
  v.SetInteger(999);
  t_->SetFieldValue(v, 2);
  v.SetMemo("inserted note");
  t_->SetFieldValue(v, 4);
  TZorValue id;
  id.SetInteger(100);  // an identifier above LastAutoInc raises it
  t_->SetFieldValue(id, -1);
  t_->EndInternalInsert();
  EXPECT_FALSE(t_->InternalInsertActive());
  EXPECT_EQ(t_->State(), dsBrowse);
  EXPECT_EQ(t_->RecordCount(), kRows + 1);
  EXPECT_EQ(t_->GetLastAutoInc(), 100);
  EXPECT_TRUE(t_->Locate("m", {std::int32_t{999}}, 0));
  EXPECT_EQ(t_->FieldByName("name").AsString(), "inserted");
  EXPECT_EQ(t_->FieldByName("note").AsString(), "inserted note");

  // A post that fails still ends the insert.
  t_->AddIndex("uniqueM", "m", ixUnique);
  t_->BeginInternalInsert();
  v.SetInteger(999);
  t_->SetFieldValue(v, 2);
  EXPECT_NE(MessageOf([&] { t_->EndInternalInsert(); }), "");
  EXPECT_FALSE(t_->InternalInsertActive());
  EXPECT_EQ(t_->State(), dsBrowse);
  EXPECT_EQ(t_->RecordCount(), kRows + 1);
}

// ---------------------------------------------------------------------------
// The master link.

TEST(MasterLinkChains, LinksThatLoopBackAreRefusedWhateverTheirLength) {
  TempDir dir;
  std::vector<std::unique_ptr<TKivoTable>> tables;
  std::vector<std::unique_ptr<TDataSource>> sources;
  for (int i = 0; i < 4; ++i) {
    const std::string name = "t" + std::to_string(i);
    {
      TDirectoryTableFileStore store(dir.path());
      TDataManagerHold m(krGetDataManager(name, &store));
      TFieldDefs f;
      f.Add("n", ftInteger);
      m->CreateTable(f, TIndexDefs(), true, 1000);
    }
    auto t = std::make_unique<TKivoTable>();
    t->SetDatabaseName(dir.path());
    t->SetTableName(name);
    sources.push_back(std::make_unique<TDataSource>(t.get()));
    tables.push_back(std::move(t));
  }
  // t1 <- t0, t2 <- t1, t3 <- t2: t0 may not follow t3, t2 or t1.
  for (int i = 1; i < 4; ++i)
    tables[static_cast<std::size_t>(i)]->SetMasterSource(
        sources[static_cast<std::size_t>(i - 1)].get());
  for (int i = 1; i < 4; ++i)
    EXPECT_EQ(
        MessageOf([&] { tables[0]->SetMasterSource(sources[static_cast<std::size_t>(i)].get()); }),
        "TKivoDataSet.SetDataSource - Invalid DataSource")
        << i;
  EXPECT_EQ(tables[0]->MasterSource(), nullptr);
}

TEST(MasterLinkNewRecords, OnlyTheFieldsBothTheLinkAndTheIndexHaveAreTaken) {
  TempDir dir;
  for (const std::string name : {"master", "detail"}) {
    TDirectoryTableFileStore store(dir.path());
    TDataManagerHold m(krGetDataManager(name, &store));
    TFieldDefs f;
    f.Add("a", ftInteger);
    f.Add("b", ftInteger);
    f.Add("c", ftInteger);
    m->CreateTable(f, TIndexDefs(), false, 1000);
    ASSERT_EQ(m->OpenTable(), kOpenOk);
    m->AddIndex("abc", "a;b;c", 0, "", "", false);
    m->CloseTable();
  }
  auto open = [&](const std::string& name) {
    auto t = std::make_unique<TKivoTable>();
    t->SetDatabaseName(dir.path());
    t->SetTableName(name);
    t->Open();
    return t;
  };
  auto master = open("master");
  master->Append();
  master->FieldByName("a").SetAsInteger(1);
  master->FieldByName("b").SetAsInteger(2);
  master->FieldByName("c").SetAsInteger(3);
  master->Post();
  TDataSource source(master.get());
  auto detail = open("detail");
  detail->SetIndexName("abc");
  // One master field for an index of three: only the first is taken.
  detail->SetMasterFields("a");
  detail->SetMasterSource(&source);
  detail->Append();
  EXPECT_EQ(detail->FieldByName("a").AsInteger(), 1);
  EXPECT_TRUE(detail->FieldByName("b").IsNull());
  EXPECT_TRUE(detail->FieldByName("c").IsNull());
  detail->Cancel();
  // An inactive link takes nothing.
  source.SetEnabled(false);
  detail->Append();
  EXPECT_TRUE(detail->FieldByName("a").IsNull());
  detail->Cancel();
}

}  // namespace
}  // namespace kivo
