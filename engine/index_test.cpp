// Indexes through TKivoDataManager on a disk directory: index definitions,
// key order, maintenance, key searches, unique checks, progress reports and
// T.idx as written, read and recovered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <optional>
#include <random>
#include <vector>

#include "engine/index_file.h"
#include "engine/index_test_support.h"
#include "engine/table_search.h"
#include "engine/visible_list.h"
#include "platform/errors.h"
#include "storage/file_layer.h"
#include "testing/fault_file.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::GetI32;
using testing::IdxRow;
using testing::IdxTable;
using testing::MessageOf;
using testing::ReadFileBytes;
using testing::RefPart;
using testing::TempDir;
using testing::TFaultFile;
using testing::TFaultPlan;
using testing::WriteFileBytes;

IdxRow Row(std::uint32_t id, std::optional<std::string> s, std::optional<std::int32_t> n) {
  IdxRow r;
  r.id = id;
  r.s = std::move(s);
  r.n = n;
  return r;
}

std::vector<std::string> IndexNames(TKivoDataManager& m) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < m.IndexCount(); ++i) names.push_back(m.IndexHeader(i).IndexName);
  return names;
}

class Indexes : public ::testing::Test {
 protected:
  void TearDown() override { SetUserLocale(""); }
  TempDir dir;
  IdxTable t{dir};
};

TEST_F(Indexes, ANewTableHasTheIdentifierIndexAndAutoIndexesFollowFieldOrder) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  const std::string id = "@" + t.m->IdFieldName();
  EXPECT_EQ(IndexNames(*t.m), std::vector<std::string>{id});
  TIndexDefs defs;
  t.m->GetIndexDefs(defs, nullptr);
  ASSERT_EQ(defs.Count(), 1);
  EXPECT_EQ(defs[0].Options() & ixUnique, 0);  // the identifier is hidden
  EXPECT_EQ(defs[0].Fields(), t.m->IdFieldName());
  t.Drop();

  TempDir other;
  IdxTable a(other);
  {
    TDataManagerHold m0(krGetDataManager("t", &a.store_));
    TFieldDefs fields;
    fields.Add("ID", ftAutoInc);
    fields.Add("A", ftString, 10);
    fields.Add("B", ftInteger);
    fields.Add("C", ftBlob);
    m0->CreateTable(fields, TIndexDefs(), true, 1000);
  }
  ASSERT_EQ(a.Open(), kOpenOk);
  EXPECT_EQ(IndexNames(*a.m), (std::vector<std::string>{"@ID", "@@A", "@A", "@B"}));
  a.m->GetIndexDefs(defs, nullptr);
  EXPECT_NE(defs[0].Options() & ixUnique, 0);  // visible identifier
  EXPECT_EQ(defs[1].Options(), ixCaseInsensitive);
  EXPECT_EQ(defs[1].CaseInsFields(), "A");
}

TEST_F(Indexes, NullsComeFirstAscendingAndLastDescending) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.m->AddIndex("up", "n", 0, "", "", false);
  t.m->AddIndex("down", "n", ixDescending, "", "", false);
  t.Insert(Row(1, "x", 5));
  t.Insert(Row(2, "x", std::nullopt));
  t.Insert(Row(3, "x", -7));
  t.Insert(Row(4, "x", std::nullopt));
  auto order = [&](int index) {
    std::vector<std::uint32_t> ids;
    for (std::int32_t i = 0; i < t.m->RecordCount(); ++i)
      ids.push_back(t.rows[static_cast<std::size_t>(t.m->IndexEntry(index, i))].id);
    return ids;
  };
  // Equal keys (the nulls) are ordered by identifier.
  EXPECT_EQ(order(1), (std::vector<std::uint32_t>{2, 4, 3, 1}));
  EXPECT_EQ(order(2), (std::vector<std::uint32_t>{1, 3, 2, 4}));
}

TEST_F(Indexes, StringKeysFollowTheLocaleAndIgnoreCaseWhenAsked) {
  SetUserLocale("hu_HU");
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.m->AddIndex("cs", "s", 0, "", "", true);
  t.m->AddIndex("ci", "s", 0, "", "s", true);
  // Windows-1250: "\xE1" a-acute, "\xC1" A-acute.
  const std::vector<std::string> words = {"b",    "\xC1rok", "alma", "\xE1g",
                                          "Alma", "cukor",   "csiga"};
  std::uint32_t id = 1;
  for (const std::string& w : words) t.Insert(Row(id++, w, 0));
  t.ExpectOrder(1, {{0}});
  t.ExpectOrder(2, {{0, false, true}});
  // Hungarian "cs" is a letter of its own after "c".
  const std::int32_t cukor = t.m->FindRecordInIndex(1, 5);
  const std::int32_t csiga = t.m->FindRecordInIndex(1, 6);
  EXPECT_LT(cukor, csiga);
}

// Fills a new table with 3000 rows: s as `value` makes it from `rng`
// (nullopt for null), n the identifier modulo `nModulo`.
void FillStrings(IdxTable& table, std::uint32_t seed, std::int32_t nModulo,
                 const std::function<std::optional<std::string>(std::mt19937&)>& value) {
  table.Create();
  ASSERT_EQ(table.Open(), kOpenOk);
  std::mt19937 rng(seed);
  for (std::uint32_t id = 1; id <= 3000; ++id)
    table.Insert(Row(id, value(rng), static_cast<std::int32_t>(id) % nModulo));
}

// Builds over many rows presort string keys by their first primary weights;
// the order must be the full comparison's, ascending and descending, with
// nulls, shared prefixes and case differences, and in a locale whose
// multi-letter units leave the column to the full comparison.
TEST_F(Indexes, BuildsOverManyStringsFollowTheFullComparison) {
  for (const char* locale : {"en_US", "hu_HU"}) {
    SCOPED_TRACE(locale);
    SetUserLocale(locale);
    TempDir dir;
    IdxTable table(dir);
    const std::string letters = "aAbBeEzZ\xE1\xC1\xE9\xF6\xD6 -";
    FillStrings(table, 31, 7, [&](std::mt19937& rng) -> std::optional<std::string> {
      if (rng() % 10 == 0) return std::nullopt;
      // Long shared beginnings reach past the presorted weights.
      std::string v = rng() % 3 == 0 ? "abbabbaab" : "";
      const std::size_t length = rng() % 12;
      for (std::size_t i = 0; i < length; ++i) v += letters[rng() % letters.size()];
      return v.substr(0, 12);
    });
    ASSERT_FALSE(HasFatalFailure());
    if (std::string(locale) == "hu_HU") table.Update(17, Row(table.rows[17].id, "csak", 1));
    table.m->AddIndex("up", "s", 0, "", "", true);
    table.m->AddIndex("down", "s;n", ixDescending, "", "", true);
    table.m->AddIndex("nocase", "s", 0, "", "s", true);
    table.ExpectOrder(1, {{0}});
    table.ExpectOrder(2, {{0, true}, {1, true}});
    table.ExpectOrder(3, {{0, false, true}});
  }
}

// Values that all share a long beginning (codes such as "row-000123") are
// presorted by the weights after it; the order stays the full comparison's,
// for values that stop where the shared part ends and for nulls too.
TEST_F(Indexes, BuildsOverStringsWithACommonBeginningFollowTheFullComparison) {
  for (const char* locale : {"en_US", "hu_HU"}) {
    SCOPED_TRACE(locale);
    SetUserLocale(locale);
    TempDir dir;
    IdxTable table(dir);
    const std::string letters = "0123456789aAzZ\xE1\xC1\xF6 -";
    FillStrings(table, 77, 5, [&](std::mt19937& rng) -> std::optional<std::string> {
      if (rng() % 20 == 0) return std::nullopt;
      std::string v = rng() % 2 == 0 ? "KOD-00 0" : "kod-0000";
      const std::size_t length = rng() % 5;
      for (std::size_t i = 0; i < length; ++i) v += letters[rng() % letters.size()];
      return v;
    });
    ASSERT_FALSE(HasFatalFailure());
    table.m->AddIndex("up", "s", 0, "", "", true);
    table.m->AddIndex("down", "s;n", ixDescending, "", "", true);
    table.ExpectOrder(1, {{0}});
    table.ExpectOrder(2, {{0, true}, {1, true}});
  }
}

TEST_F(Indexes, DefinitionErrorsUseTheEngineTextsAndLeaveTheListAlone) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  const std::string e = "Error in TKivoDataManager.InternalAddIndex - ";
  EXPECT_EQ(MessageOf([&] { t.m->AddIndex("", "s", 0, "", "", true); }), e + "name is empty.");
  EXPECT_EQ(MessageOf([&] { t.m->AddIndex(std::string(256, 'x'), "s", 0, "", "", true); }),
            e + "name length > .253");
  EXPECT_EQ(MessageOf([&] { t.m->AddIndex("x", " ; ,", 0, "", "", true); }),
            e + "empty field name list");
  EXPECT_EQ(MessageOf([&] { t.m->AddIndex("@" + t.m->IdFieldName(), "s", 0, "", "", true); }),
            e + "index \"@" + t.m->IdFieldName() + "\" already exists!");
  try {
    t.m->AddIndex("x", "s;nope", 0, "", "", true);
    ADD_FAILURE() << "no error";
  } catch (const ZorException& z) {
    EXPECT_EQ(z.NativeError(), 1067);
    EXPECT_NE(z.Message().find("nope"), std::string::npos);
  }
  EXPECT_EQ(t.m->IndexCount(), 1);

  const std::string d = "Error in TKivoDataManager.DeleteIndex - ";
  EXPECT_EQ(MessageOf([&] { t.m->DeleteIndex("", true); }), d + "name is empty.");
  EXPECT_EQ(MessageOf([&] { t.m->DeleteIndex("zz", true); }), d + "index \"zz\" doesn't exist!");
  EXPECT_EQ(MessageOf([&] { t.m->DeleteIndex("@" + t.m->IdFieldName(), true); }),
            "TKivoDataManager.DeleteIndex - last index deleted!");
  EXPECT_EQ(t.m->IndexCount(), 1);

  t.m->AddIndex("byN", "s ,, n", 0, "n", "", false);
  EXPECT_EQ(t.m->IndexHeader(1).KeyFields, (std::vector<std::int32_t>{0, 1}));
  EXPECT_TRUE(t.m->IndexHeader(1).AscendingBit(0));
  EXPECT_FALSE(t.m->IndexHeader(1).AscendingBit(1));
  EXPECT_EQ(t.m->DeleteIndex("BYN", false), 1);
  EXPECT_EQ(t.m->IndexCount(), 1);
}

TEST_F(Indexes, KeySearchesAndUniqueChecks) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.m->AddIndex("byN", "n", ixUnique, "", "", false);
  for (std::uint32_t id = 1; id <= 20; ++id)
    t.Insert(Row(id, "k", static_cast<std::int32_t>(id / 2 * 10)));
  // n = 0,10,10,20,20,...,100 (ids 1..20); duplicates are possible in the
  // table itself, the unique check is the data set's.
  auto key = [&](std::int32_t n) { return t.Buffer(Row(999, "k", n)); };
  EXPECT_EQ(t.m->FindKey(key(10).data(), 1, true, false, 1), 1);
  EXPECT_EQ(t.m->FindKey(key(10).data(), 1, true, true, 1), 2);
  EXPECT_EQ(t.m->FindKey(key(15).data(), 1, true, true, 1), -1);
  EXPECT_EQ(t.m->FindKey(key(15).data(), 1, false, true, 1), 3);
  EXPECT_EQ(t.m->FindKey(key(-5).data(), 1, false, true, 1), 0);
  EXPECT_EQ(t.m->FindKey(key(500).data(), 1, false, true, 1), 19);

  std::vector<std::uint8_t> clash = key(30);
  EXPECT_EQ(MessageOf([&] { t.m->CheckUniqueKeys(clash.data(), true); }),
            "TKivoDataSet.InternalPost - key violation.\r\nTable name = \"t\".\r\n"
            "Unique index name = \"byN\".");
  std::vector<std::uint8_t> fine = key(35);
  EXPECT_FALSE(t.m->CheckUniqueKeys(fine.data(), true));
  // The record itself is no conflict; an identifier taken on insert is
  // replaced by the next one.
  std::vector<std::uint8_t> self = t.Buffer(Row(20, "k", 100));
  EXPECT_FALSE(t.m->CheckUniqueKeys(self.data(), false));
  std::vector<std::uint8_t> taken = t.Buffer(Row(7, "k", 777));
  EXPECT_TRUE(t.m->CheckUniqueKeys(taken.data(), true));
  EXPECT_EQ(GetRecordId(t.m->Layout(), taken.data()), 21u);
}

// A counter behind the identifiers held (a damaged header, or one set lower
// by hand) never gives an identifier out twice: a taken identifier is
// replaced by one past the largest held, and the counter moves there.
TEST_F(Indexes, ATakenIdentifierIsReplacedPastTheLargestHeldWhenTheCounterLags) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  for (std::uint32_t id = 1; id <= 5; ++id) t.Insert(Row(id, "k", static_cast<std::int32_t>(id)));
  t.m->SetNextAutoInc(1);
  ASSERT_EQ(t.m->LastAutoInc(), 0);
  std::vector<std::uint8_t> taken = t.Buffer(Row(1, "k", 9));
  EXPECT_TRUE(t.m->CheckUniqueKeys(taken.data(), true));
  EXPECT_EQ(GetRecordId(t.m->Layout(), taken.data()), 6u);
  EXPECT_EQ(t.m->LastAutoInc(), 5);
}

TEST_F(Indexes, FindIndexForFieldsHonoursCaseAndOrder) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.m->AddIndex("sci", "s", ixCaseInsensitive, "", "", true);
  t.m->AddIndex("scs", "s;n", 0, "", "", true);
  t.m->AddIndex("nd", "n;s", 0, "n", "", true);
  EXPECT_EQ(t.m->FindIndexForFields("S", "*", true), 2);
  EXPECT_EQ(t.m->FindIndexForFields("s", "*", false), 1);
  EXPECT_EQ(t.m->FindIndexForFields("n", "*", true), 3);
  EXPECT_EQ(t.m->FindIndexForFields("n", "", true), -1);
  EXPECT_EQ(t.m->FindIndexForFields("n", "n", true), 3);
  EXPECT_EQ(t.m->FindIndexForFields("", "*", true), -1);
}

TEST_F(Indexes, UpdatesWithoutKeyChangeLeaveArraysAndMovesReportPositions) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  t.m->AddIndex("byN", "n", 0, "", "", true);
  for (std::uint32_t id = 1; id <= 30; ++id)
    t.Insert(Row(id, "a", static_cast<std::int32_t>(id * 10)), 1);
  const std::vector<std::int32_t> before = t.m->Indexes()->Positions(1).ToVector();
  EXPECT_EQ(t.Update(4, Row(5, "changed", 50), 1), 4);
  EXPECT_EQ(t.m->Indexes()->Positions(1).ToVector(), before);
  // n 50 -> 255: lands after 250 (ordinal 24 once the record left 4).
  EXPECT_EQ(t.Update(4, Row(5, "a", 255), 1), 24);
  EXPECT_EQ(t.m->IndexEntry(1, 24), 4);
  EXPECT_EQ(t.Update(4, Row(5, "a", 5), 1), 0);
  // Deleting record 0 moves the last record (n 300, ordinal 29) into 0.
  EXPECT_EQ(t.Delete(0, 1), 29);
  t.ExpectOrder(1, {{1}});
  t.ExpectOrder(0, {{-1}});
  t.m->Indexes()->CheckInvariants();
}

// Records notify every connected data set of index builds.
struct ProgressClient : testing::TestClient {
  std::vector<std::tuple<bool, bool, double>> reports;
  void DoBuildIndexesProgress(bool start, bool finish, double percent) override {
    reports.emplace_back(start, finish, percent);
  }
};

TEST_F(Indexes, BuildsReportProgressOnlyOnceSwitchedOn) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  ProgressClient client;
  ASSERT_EQ(t.m->ConnectDataset(&client), 0);
  std::mt19937 rng(5);
  for (std::uint32_t id = 1; id <= 1000; ++id)
    t.Insert(Row(id, "a", static_cast<std::int32_t>(rng() % 5000)));
  t.m->AddIndex("quiet", "n", 0, "", "", true);
  EXPECT_TRUE(client.reports.empty());
  t.m->SetIndexBuildProgress(true);
  t.m->AddIndex("loud", "n;s", 0, "", "", true);
  ASSERT_GE(client.reports.size(), 3u);
  EXPECT_EQ(client.reports.front(), std::make_tuple(true, false, 0.0));
  EXPECT_EQ(client.reports.back(), std::make_tuple(false, true, 100.0));
  double last = 0;
  for (std::size_t i = 1; i + 1 < client.reports.size(); ++i) {
    const auto& [start, finish, percent] = client.reports[i];
    EXPECT_FALSE(start || finish);
    EXPECT_GE(percent, last);
    last = percent;
  }
  EXPECT_EQ(last, 100.0);
  t.ExpectOrder(2, {{1}, {0}});
  t.m->DisconnectDataset(&client);
  t.m = nullptr;  // the last data set took the manager with it
}

// A build that fails after its start still reports a finish to every data
// set, so that a progress display is taken down; the build's error goes on.
TEST_F(Indexes, AFailedBuildStillReportsItsStartAndFinishToEveryDataSet) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  // Fails on the start report, or on the first report past half way.
  struct FailingClient : ProgressClient {
    bool at_start = false;
    void DoBuildIndexesProgress(bool start, bool finish, double percent) override {
      ProgressClient::DoBuildIndexesProgress(start, finish, percent);
      if (at_start ? start : !start && !finish && percent >= 50) throw Exception("stop");
    }
  };
  ProgressClient watcher;
  FailingClient failing;
  // The failing data set hears each report first.
  ASSERT_EQ(t.m->ConnectDataset(&failing), 0);
  ASSERT_EQ(t.m->ConnectDataset(&watcher), 0);
  for (std::uint32_t id = 1; id <= 1000; ++id)
    t.Insert(Row(id, "a", static_cast<std::int32_t>(id * 7919 % 1000)));
  t.m->SetIndexBuildProgress(true);
  for (bool at_start : {false, true}) {
    SCOPED_TRACE(at_start);
    failing.at_start = at_start;
    failing.reports.clear();
    watcher.reports.clear();
    EXPECT_THROW(t.m->AddIndex(at_start ? "early" : "late", "n", 0, "", "", true), Exception);
    for (const ProgressClient* client : std::vector<const ProgressClient*>{&failing, &watcher}) {
      ASSERT_GE(client->reports.size(), 2u);
      EXPECT_EQ(client->reports.front(), std::make_tuple(true, false, 0.0));
      const auto& [start, finish, percent] = client->reports.back();
      EXPECT_TRUE(finish);
      EXPECT_FALSE(start);
      if (at_start) {
        EXPECT_EQ(client->reports.size(), 2u);
      } else {
        EXPECT_GE(percent, 50.0);
        EXPECT_LT(percent, 100.0);
      }
    }
  }
  t.m->DisconnectDataset(&watcher);
  t.m->DisconnectDataset(&failing);
  t.m = nullptr;
}

TEST_F(Indexes, IntegerIndexesBuildInKeyThenIdentifierOrderWithOrWithoutProgress) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  ProgressClient client;
  ASSERT_EQ(t.m->ConnectDataset(&client), 0);
  // Identifiers fall as positions rise, so that ties show which one decides.
  std::mt19937 rng(9);
  for (std::uint32_t id = 2000; id >= 1; --id) {
    std::optional<std::int32_t> n;
    if (rng() % 8 != 0) n = static_cast<std::int32_t>(rng() % 9) - 4;
    t.Insert(Row(id, "a", n));
  }
  t.m->AddIndex("quietUp", "n", 0, "", "", true);
  t.m->SetIndexBuildProgress(true);
  t.m->AddIndex("loudDown", "n", ixDescending, "", "", true);
  EXPECT_EQ(client.reports.back(), std::make_tuple(false, true, 100.0));
  EXPECT_GE(client.reports.size(), 3u);
  for (std::int32_t index : {1, 2}) {
    SCOPED_TRACE(index);
    t.ExpectOrder(index, {{1, index == 2}});
    const std::vector<std::int32_t> order = t.m->Indexes()->Positions(index).ToVector();
    for (std::size_t i = 1; i < order.size(); ++i) {
      const IdxRow& a = t.rows[static_cast<std::size_t>(order[i - 1])];
      const IdxRow& b = t.rows[static_cast<std::size_t>(order[i])];
      if (a.n == b.n) {
        ASSERT_LT(a.id, b.id) << "ordinal " << i;
      }
    }
  }
  t.m->DisconnectDataset(&client);
  t.m = nullptr;
}

// A key of one LARGEINT field is sorted on whole 64-bit values: the extreme
// values, the sign and NULL (first ascending, last descending) order as the
// key comparison does, and equal keys by identifier.
TEST(LargeIntIndexes, BuildInKeyThenIdentifierOrderAscendingAndDescending) {
  TempDir dir;
  testing::DirStore store(dir.path());
  {
    TDataManagerHold m0(krGetDataManager("big", &store));
    TFieldDefs fields;
    fields.Add("v", ftLargeint);
    m0->CreateTable(fields, TIndexDefs(), false, 1000);
  }
  TKivoDataManager* m = krGetDataManager("big", &store);
  ASSERT_EQ(m->OpenTable(), kOpenOk);
  const TkrRecordLayout& layout = m->Layout();
  const std::vector<std::optional<std::int64_t>> pool = {
      std::nullopt, INT64_MIN,     INT64_MIN + 1, -4294967296LL, -1, 0, 1,
      4294967296LL, INT64_MAX - 1, INT64_MAX};
  std::mt19937 rng(31);
  struct Ref {
    std::optional<std::int64_t> v;
    std::uint32_t id;
  };
  std::vector<Ref> rows;
  // Identifiers fall as positions rise, so that ties show which one decides.
  for (std::uint32_t id = 600; id >= 1; --id) {
    const std::optional<std::int64_t> v = pool[rng() % pool.size()];
    std::vector<std::uint8_t> image(static_cast<std::size_t>(layout.RecordSize), 0);
    if (v) std::memcpy(image.data() + m->FieldOffset(0), &*v, 8);
    SetFieldNull(layout, image.data(), 0, !v);
    SetRecordId(layout, image.data(), id);
    m->InsertRecord(image.data(), 0);
    rows.push_back({v, id});
  }
  m->AddIndex("up", "v", 0, "", "", true);
  m->AddIndex("down", "v", ixDescending, "", "", true);
  for (const bool descending : {false, true}) {
    SCOPED_TRACE(descending);
    std::vector<std::int32_t> expected(rows.size());
    std::iota(expected.begin(), expected.end(), 0);
    std::sort(expected.begin(), expected.end(), [&](std::int32_t a, std::int32_t b) {
      const Ref& x = rows[static_cast<std::size_t>(a)];
      const Ref& y = rows[static_cast<std::size_t>(b)];
      if (x.v != y.v) {
        // std::optional orders nullopt first, as ascending keys do.
        return descending ? y.v < x.v : x.v < y.v;
      }
      return x.id < y.id;
    });
    const std::int32_t index = m->IndexNumber(descending ? "down" : "up");
    m->BuildIndex(index);
    EXPECT_EQ(m->Indexes()->Positions(index).ToVector(), expected);
  }
  m->CloseTable();
  krReleaseDataManager(m);
}

TEST_F(Indexes, TemporaryIndexesAreNeverSaved) {
  t.Create();
  ASSERT_EQ(t.Open(), kOpenOk);
  for (std::uint32_t id = 1; id <= 15; ++id)
    t.Insert(Row(id, "a", static_cast<std::int32_t>(100 - id)));
  const std::string name = t.m->CreateTemporaryIndex("n", "", "");
  EXPECT_EQ(name.rfind("$_IDX_", 0), 0u);
  t.m->AddIndex("user", "s", 0, "", "", false);
  t.ExpectOrder(1, {{1}});
  t.Drop();
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(IndexNames(*t.m), (std::vector<std::string>{"@" + t.m->IdFieldName(), "user"}));
}

// ---------------------------------------------------------------------------
// T.idx

TEST_F(Indexes, TheIndexFileHasTheDocumentedLayout) {
  TIndexDefs defs;
  TIndexDef& def = defs.Add("ByNS", "n;s", ixPrimary);
  def.SetDescFields("n");
  def.SetCaseInsFields("s");
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  t.Insert(Row(1, "b", 1));
  t.Insert(Row(2, "a", 2));
  t.Insert(Row(3, "c", 2));
  t.m->FlushBuffers();
  const std::int32_t changes = t.m->ChangeCount();
  const std::string idName = t.m->IdFieldName();
  t.Drop();

  const std::string raw = ReadFileBytes(dir.file("t.idx"));
  const testing::Bytes b(raw.begin(), raw.end());
  const std::size_t header = 256 + 4 + 4 + 1 + 1 + 1 + 1 + 1;  // identifier index
  const std::size_t user = 256 + 4 + 8 + 1 + 1 + 1 + 1 + 1;    // two fields
  ASSERT_EQ(b.size(), 16 + header + user + 2 * 3 * 4);
  EXPECT_EQ(GetI32(b, 0), changes);
  EXPECT_EQ(GetI32(b, 4), 2);
  EXPECT_EQ(testing::GetF64(b, 8), kTableFormatVersion);
  std::size_t at = 16;
  EXPECT_EQ(b[at], idName.size() + 1);
  EXPECT_EQ(std::string(raw.data() + at + 1, b[at]), "@" + idName);
  EXPECT_EQ(GetI32(b, at + 256), 1);
  EXPECT_EQ(GetI32(b, at + 260), -1);
  EXPECT_EQ(b[at + 264], 0xFF);  // ascending bits
  EXPECT_EQ(b[at + 265], 0);     // case bits
  EXPECT_EQ(b[at + 268], ixUnique);
  at += header;
  EXPECT_EQ(std::string(raw.data() + at + 1, b[at]), "ByNS");
  EXPECT_EQ(GetI32(b, at + 256), 2);
  EXPECT_EQ(GetI32(b, at + 260), 1);
  EXPECT_EQ(GetI32(b, at + 264), 0);
  EXPECT_EQ(b[at + 268], 0xFE);  // n descending, s ascending
  EXPECT_EQ(b[at + 269], 0x02);  // s ignores case
  EXPECT_EQ(b[at + 270], 0);
  EXPECT_EQ(b[at + 271], 0);
  EXPECT_EQ(b[at + 272], ixPrimary);
  at += user;
  EXPECT_EQ(GetI32(b, at), 0);
  EXPECT_EQ(GetI32(b, at + 4), 1);
  EXPECT_EQ(GetI32(b, at + 8), 2);
  // n descending: (2,"a") id 2, (2,"c") id 3, then (1,"b").
  EXPECT_EQ(GetI32(b, at + 12), 1);
  EXPECT_EQ(GetI32(b, at + 16), 2);
  EXPECT_EQ(GetI32(b, at + 20), 0);

  // A hand-made file with current arrays is taken as it stands.
  testing::Bytes made = b;
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_FALSE(t.m->Indexes()->Built(1));  // read when first needed
  t.m->BuildIndex(1);
  EXPECT_EQ(t.m->Indexes()->Positions(1).ToVector(), (std::vector<std::int32_t>{1, 2, 0}));
  EXPECT_FALSE(t.m->IndexesStale());
  t.Drop();
  // The same file with two entries out of key order is sorted again, and
  // the file is due to be written.
  testing::PutI32(made, at + 12, 2);
  testing::PutI32(made, at + 16, 1);
  WriteFileBytes(dir.file("t.idx"), std::string(made.begin(), made.end()));
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_FALSE(t.m->IndexesStale());  // checked before its first use
  t.m->BuildIndex(1);
  EXPECT_TRUE(t.m->IndexesStale());
  EXPECT_EQ(t.m->Indexes()->Positions(1).ToVector(), (std::vector<std::int32_t>{1, 2, 0}));
  t.Drop();
  EXPECT_EQ(ReadFileBytes(dir.file("t.idx")), raw);
}

// A save stopped after any number of bytes never leaves a file whose
// counter is current while its headers or arrays are not the new ones.
TEST(IndexFile, ASaveCutShortAnywhereNeverPassesAsCurrent) {
  TempDir dir;
  TMemoryPlainFileSystem fs(dir.path() + "#mem");
  TkrIndexHeader a;
  a.IndexName = "@id";
  a.KeyFields = {-1};
  a.ResetBits(1);
  a.Options = ixUnique;
  TkrIndexHeader b;
  b.IndexName = "byTwo";
  b.KeyFields = {0, 1};
  b.ResetBits(2);
  b.SetAscendingBit(1, false);
  const std::vector<const TkrIndexHeader*> oldHeaders = {&a};
  const std::vector<const TkrIndexHeader*> newHeaders = {&a, &b};
  const std::vector<std::vector<std::int32_t>> oldArrays = {{0, 1, 2, 3, 4}};
  const std::vector<std::vector<std::int32_t>> newArrays = {{0, 1, 2, 3, 4, 5}, {5, 3, 1, 0, 2, 4}};
  std::int64_t size = 0;
  int current = 0;
  for (std::int64_t budget = 0;; ++budget) {
    TAbstractFile* real = fs.OpenFile("t.idx", true, false, false);
    WriteIndexFile(*real, 41, 4.5, oldHeaders, oldArrays);  // the last complete save
    bool done = true;
    {
      TFaultPlan plan{.WriteBudget = budget};  // writes stop as a killed process's do
      TFaultFile cut(real, &plan);
      try {
        WriteIndexFile(cut, 42, 4.5, newHeaders, newArrays);
      } catch (const Exception&) {
        done = false;
      }
    }
    const TkrIndexFileContent c = ReadIndexFileHeaders(*real, 4.5, 2);
    if (c.Valid && c.IndexChangeCount == 42) {
      ++current;
      ASSERT_EQ(c.IndexCount, 2) << budget;
      EXPECT_EQ(c.Headers[1], b) << budget;
      for (std::int32_t i = 0; i < 2; ++i)
        EXPECT_EQ(ReadIndexArray(*real, c, i, 6), newArrays[static_cast<std::size_t>(i)]) << budget;
    } else {
      EXPECT_FALSE(done) << budget;
    }
    size = real->GetSize();
    fs.CloseFile(real);
    if (done) break;
  }
  EXPECT_GT(size, 16 + 2 * 256);
  // The complete save, and cuts inside the last bytes of the counter, which
  // already read as the new one.
  EXPECT_GE(current, 1);
  EXPECT_LE(current, 4);
}

TEST_F(Indexes, DamagedOrStaleIndexFilesAreRebuiltOnOpen) {
  TIndexDefs defs;
  defs.Add("byS", "s");
  defs.Add("byN", "n;s", ixDescending);
  defs.Add("byNOnly", "n");
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  std::mt19937 rng(11);
  for (std::uint32_t id = 1; id <= 200; ++id)
    t.Insert(Row(id, std::string(1, static_cast<char>('a' + rng() % 26)),
                 static_cast<std::int32_t>(rng() % 50)));
  t.Drop();
  const std::string pristine = ReadFileBytes(dir.file("t.idx"));
  const std::size_t arrays = pristine.size() - 4 * 200 * 4;
  auto check = [&](std::size_t expectIndexes) {
    ASSERT_EQ(t.Open(), kOpenOk);
    ASSERT_EQ(static_cast<std::size_t>(t.m->IndexCount()), expectIndexes);
    t.ExpectOrder(0, {{-1}});
    if (expectIndexes == 4) {
      t.ExpectOrder(1, {{0}});
      t.ExpectOrder(2, {{1, true}, {0, true}});
      t.ExpectOrder(3, {{1}});
    }
    t.Drop();
  };
  // A stale counter: rebuilt, user indexes kept, and written again.
  std::string bytes = pristine;
  bytes[0] = static_cast<char>(bytes[0] + 1);
  std::string shuffled = bytes;
  std::swap(shuffled[arrays + 4 * 200 + 0], shuffled[arrays + 4 * 200 + 4]);
  WriteFileBytes(dir.file("t.idx"), shuffled);
  check(4);
  EXPECT_EQ(ReadFileBytes(dir.file("t.idx")), pristine);
  // Positions outside the table, repeated positions, arrays out of order
  // (a string key, the identifier, an integer key).
  for (int damage = 0; damage < 5; ++damage) {
    bytes = pristine;
    const std::size_t at = arrays + 4 * 200 * 2 + 4 * 17;
    if (damage == 0) bytes[at + 3] = 0x40;
    if (damage == 1) bytes.replace(at, 4, bytes.substr(at + 4, 4));
    if (damage == 2) std::swap(bytes[arrays + 4 * 200 + 0], bytes[arrays + 4 * 200 + 4 * 100]);
    if (damage == 3) std::swap(bytes[arrays + 0], bytes[arrays + 4 * 100]);
    if (damage == 4) std::swap(bytes[arrays + 4 * 200 * 3], bytes[arrays + 4 * 200 * 3 + 4 * 150]);
    WriteFileBytes(dir.file("t.idx"), bytes);
    check(4);
  }
  // Short arrays.
  WriteFileBytes(dir.file("t.idx"), pristine.substr(0, pristine.size() - 1));
  check(4);
  // Truncated headers lose the user indexes; damaged headers too.
  WriteFileBytes(dir.file("t.idx"), pristine.substr(0, 100));
  check(1);
  bytes = pristine;
  testing::Bytes b(bytes.begin(), bytes.end());
  testing::PutI32(b, 16 + 256, 100000);  // FieldCount far too large
  WriteFileBytes(dir.file("t.idx"), std::string(b.begin(), b.end()));
  check(1);
  b.assign(pristine.begin(), pristine.end());
  testing::PutI32(b, 16 + 256 + 4, 77);  // key field beyond the table
  WriteFileBytes(dir.file("t.idx"), std::string(b.begin(), b.end()));
  check(1);
  WriteFileBytes(dir.file("t.idx"), "");
  check(1);
  // Random damage never fails an open.
  for (std::uint32_t seed = 1; seed <= 30; ++seed) {
    std::mt19937 r(seed);
    bytes = pristine;
    for (int i = 0; i < 8; ++i) bytes[r() % bytes.size()] = static_cast<char>(r());
    WriteFileBytes(dir.file("t.idx"), bytes);
    ASSERT_EQ(t.Open(), kOpenOk) << seed;
    for (std::int32_t i = 0; i < t.m->IndexCount(); ++i) t.m->BuildIndex(i);
    t.m->Indexes()->CheckInvariants();
    t.ExpectOrder(0, {{-1}});
    t.Drop();
  }
}

TEST_F(Indexes, ADamagedFileOfAnAutoIndexedTableGetsItsAutomaticIndexesBack) {
  TIndexDefs defs;
  defs.Add("user", "n;s");
  t.Create(defs, /*autoIndexes=*/true);
  ASSERT_EQ(t.Open(), kOpenOk);
  const std::string id = "@" + t.m->IdFieldName();
  const std::vector<std::string> automatic = {id, "@@s", "@s", "@n", "@@w", "@w", "@d"};
  std::vector<std::string> all = automatic;
  all.push_back("user");
  EXPECT_EQ(IndexNames(*t.m), all);
  for (std::uint32_t k = 1; k <= 30; ++k)
    t.Insert(Row(k, "v" + std::to_string(k % 7), static_cast<std::int32_t>(k % 5)));
  t.Drop();
  // The last header (the user index) loses its field count.
  std::string bytes = ReadFileBytes(dir.file("t.idx"));
  const std::size_t last = bytes.size() - 8 * 30 * 4 - (256 + 4 + 8 + 1 + 1 + 3);
  testing::Bytes b(bytes.begin(), bytes.end());
  ASSERT_EQ(GetI32(b, last + 256), 2);
  testing::PutI32(b, last + 256, 0);
  WriteFileBytes(dir.file("t.idx"), std::string(b.begin(), b.end()));
  ASSERT_EQ(t.Open(), kOpenOk);
  EXPECT_EQ(IndexNames(*t.m), automatic);
  t.ExpectOrder(1, {{0, false, true}});
  t.ExpectOrder(2, {{0}});
  t.ExpectOrder(3, {{1}});
  EXPECT_FALSE(t.m->IndexesStale());  // written again at once
}

// Records are found by identifier through the first index: one keyed on
// another field (a damaged header) is made again, and the user's
// definitions stay.
TEST_F(Indexes, AFirstIndexNotKeyedOnTheIdentifierIsMadeAgain) {
  TIndexDefs defs;
  defs.Add("byS", "s", ixUnique);
  defs.Add("byN", "n;s", ixDescending);
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  for (std::uint32_t id = 1; id <= 40; ++id)
    t.Insert(Row(41 - id, "k" + std::to_string(id), static_cast<std::int32_t>(id % 3)));
  const std::string idName = "@" + t.m->IdFieldName();
  t.Drop();
  const std::string pristine = ReadFileBytes(dir.file("t.idx"));
  for (const bool staleArrays : {false, true}) {
    testing::Bytes b(pristine.begin(), pristine.end());
    ASSERT_EQ(GetI32(b, 16 + 256 + 4), -1);
    testing::PutI32(b, 16 + 256 + 4, 1);  // the first index now reads n
    if (staleArrays) testing::PutI32(b, 0, GetI32(b, 0) + 1);
    WriteFileBytes(dir.file("t.idx"), std::string(b.begin(), b.end()));
    ASSERT_EQ(t.Open(), kOpenOk);
    EXPECT_EQ(IndexNames(*t.m), (std::vector<std::string>{idName, "byS", "byN"}));
    t.ExpectOrder(0, {{-1}});
    t.ExpectOrder(1, {{0}});
    t.ExpectOrder(2, {{1, true}, {0, true}});
    // The identifier of the record at each position finds that position.
    TkrTableSearch search(*t.m);
    TkrVisibleList list(*t.m, search);
    for (std::int32_t pos = 0; pos < t.m->RecordCount(); ++pos)
      EXPECT_EQ(list.RecordPositionOfId(static_cast<std::int32_t>(41 - (pos + 1))), pos);
    t.Drop();
    const std::string saved = ReadFileBytes(dir.file("t.idx"));
    EXPECT_EQ(GetI32(testing::Bytes(saved.begin(), saved.end()), 16 + 256 + 4), -1);
  }
}

// A saved counter ahead of the table's (a damaged file) must not become
// current when the table's counter reaches it: arrays of other records
// would then pass as the table's.
TEST_F(Indexes, ACounterThatIsNotCurrentNeverBecomesCurrentByChance) {
  TIndexDefs defs;
  defs.Add("byN", "n");
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  for (std::uint32_t id = 1; id <= 6; ++id) t.Insert(Row(id, "s", static_cast<std::int32_t>(id)));
  t.Drop();
  for (const bool withRecords : {true, false}) {
    SCOPED_TRACE(withRecords ? "records" : "no records");
    if (!withRecords) {
      ASSERT_EQ(t.Open(), kOpenOk);
      while (t.m->RecordCount() > 0) t.m->krDeleteRecord(0, 0);
      t.Drop();
    }
    ASSERT_EQ(t.Open(), kOpenOk);
    const std::int32_t next = static_cast<std::int32_t>(t.m->ChangeCount() + 1);
    t.Drop();
    std::string bytes = ReadFileBytes(dir.file("t.idx"));
    testing::Bytes b(bytes.begin(), bytes.end());
    testing::PutI32(b, 0, next);  // what the next change makes the table's
    WriteFileBytes(dir.file("t.idx"), std::string(b.begin(), b.end()));
    ASSERT_EQ(t.Open(), kOpenOk);
    t.Insert(Row(100, "x", 100));
    ASSERT_EQ(t.m->ChangeCount(), next);
    const std::int32_t count = t.m->RecordCount();
    const std::int32_t fields = t.m->FieldCount();
    t.Drop();
    // Whatever the file says is current is the table's.
    TDiskPlainFileSystem fs(dir.path() + "/");
    TAbstractFile* idx = fs.OpenFile("t.idx", false, false, true);
    ASSERT_NE(idx, nullptr);
    const TkrIndexFileContent c = ReadIndexFileHeaders(*idx, kTableFormatVersion, fields);
    ASSERT_TRUE(c.Valid);
    if (c.IndexChangeCount == next) {
      for (std::int32_t i = 0; i < c.IndexCount; ++i)
        EXPECT_TRUE(ReadIndexArray(*idx, c, i, count).has_value()) << i;
    }
    fs.CloseFile(idx);
  }
}

TEST_F(Indexes, AnInterruptedTableFlushMakesSavedArraysStale) {
  TIndexDefs defs;
  defs.Add("byN", "n");
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  for (std::uint32_t id = 1; id <= 50; ++id) t.Insert(Row(id, "a", static_cast<std::int32_t>(id)));
  t.Drop();
  // Record 0 changed in place by a flush that never wrote its header: the
  // counter on disk is the old one but carries the flush mark.
  std::string dat = ReadFileBytes(dir.file("t.dat"));
  ASSERT_EQ(t.Open(), kOpenOk);
  const std::int32_t offset = t.m->DataOffset() + t.m->FieldOffset(1);
  t.Drop();
  const std::int32_t big = 1000;
  dat.replace(static_cast<std::size_t>(offset), 4, reinterpret_cast<const char*>(&big), 4);
  dat[279] = static_cast<char>(~dat[280]);
  WriteFileBytes(dir.file("t.dat"), dat);
  t.rows[0].n = big;
  ASSERT_EQ(t.Open(), kOpenOk);
  t.ExpectOrder(1, {{1}});
}

// ---------------------------------------------------------------------------
// Randomized: tens of thousands of changes, every index against a reference
// sort after each batch.

std::string RandomWord(std::mt19937& rng) {
  // Windows-1250 Hungarian letters, both cases, and a few signs.
  static const std::string letters =
      "aA\xE1\xC1"
      "bcCsSz\xE9\xC9"
      "e\xED\xCDo\xF3\xD3\xF6\xD6\xF5\xD5u\xFA\xDA\xFC\xDC\xFB\xDBgyY -";
  std::string w;
  const std::size_t length = rng() % 7;
  for (std::size_t i = 0; i < length; ++i) w += letters[rng() % letters.size()];
  return w;
}

IdxRow RandomRow(std::mt19937& rng, std::uint32_t id) {
  IdxRow r;
  r.id = id;
  if (rng() % 8 != 0) r.s = RandomWord(rng);
  if (rng() % 6 != 0) r.n = static_cast<std::int32_t>(rng() % 40) - 20;
  if (rng() % 5 != 0) r.w = Cp1250ToUtf16(RandomWord(rng));
  if (rng() % 4 != 0) r.d = static_cast<std::int32_t>(rng() % 30) - 2;
  return r;
}

TEST_F(Indexes, RandomChangesKeepEveryIndexInReferenceOrder) {
  SetUserLocale("hu_HU");
  TIndexDefs defs;
  defs.Add("sCI", "s", ixCaseInsensitive);
  TIndexDef& mixed = defs.Add("nDesc_s", "n;s");
  mixed.SetDescFields("n");
  defs.Add("sDesc_d", "s;d", ixDescending);
  TIndexDef& wide = defs.Add("w_n", "w;n");
  wide.SetCaseInsFields("w");
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  const std::vector<std::vector<RefPart>> orders = {
      {{-1}}, {{0, false, true}}, {{1, true}, {0}}, {{0, true}, {3, true}}, {{2, false, true}, {1}},
  };
  auto checkAll = [&] {
    for (std::size_t i = 0; i < orders.size(); ++i) {
      t.ExpectOrder(static_cast<std::int32_t>(i), orders[i]);
      if (::testing::Test::HasFatalFailure()) return;
    }
  };
  std::mt19937 rng(20260101);
  std::uint32_t nextId = 1;
  int operations = 0;
  for (int batch = 0; batch < 16; ++batch) {
    // Batches grow the table, churn it, and twice shrink it to a handful of
    // records where bursts leave all but the current index to be re-sorted.
    const bool shrink = batch == 5 || batch == 11;
    for (int k = 0; k < 1500; ++k, ++operations) {
      const std::int32_t count = t.m->RecordCount();
      const auto current = static_cast<std::int32_t>(rng() % orders.size());
      const unsigned dice = rng() % 10;
      if (shrink && count <= 4) break;
      if (!shrink && (count == 0 || dice < 5)) {
        const std::int32_t pos = count;
        const std::int32_t at = t.Insert(RandomRow(rng, nextId++), current);
        ASSERT_EQ(t.m->IndexEntry(current, at), pos);
      } else if (!shrink && dice < 8) {
        const auto pos = static_cast<std::int32_t>(rng() % static_cast<unsigned>(count));
        IdxRow row = RandomRow(rng, t.rows[static_cast<std::size_t>(pos)].id);
        if (dice == 7) row.id = nextId++;  // a new identifier too
        const std::int32_t at = t.Update(pos, row, current);
        ASSERT_EQ(t.m->IndexEntry(current, at), pos);
      } else {
        const auto pos = static_cast<std::int32_t>(rng() % static_cast<unsigned>(count));
        t.Delete(pos, current);
      }
      if (shrink && t.m->RecordCount() <= 4) break;
    }
    if (shrink) {
      // A burst on the tiny table: only the current index follows.
      for (int k = 0; k < 150; ++k, ++operations) {
        const auto current = static_cast<std::int32_t>(rng() % orders.size());
        if (t.m->RecordCount() < 8)
          t.Insert(RandomRow(rng, nextId++), current);
        else
          t.Delete(static_cast<std::int32_t>(rng() % 8), current);
      }
      t.now += 5000;
    }
    checkAll();
    if (HasFatalFailure()) return;
    if (batch % 5 == 4) {
      t.Drop();  // saved, then loaded as current arrays
      ASSERT_EQ(t.Open(), kOpenOk);
      EXPECT_FALSE(t.m->IndexesStale());
      checkAll();
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GE(operations, 20000);
  t.m->Indexes()->CheckInvariants();
}

// Blocks of records appended at once (as a bulk copy stores them) go into
// every index where single inserts would put them: at the end while keys
// grow, by search otherwise; in bulk mode an index no key check needs is
// left to be sorted once.
TEST_F(Indexes, BlocksAppendedAtOnceKeepEveryIndexInReferenceOrder) {
  SetUserLocale("hu_HU");
  TIndexDefs defs;
  defs.Add("nU", "n", ixUnique);
  defs.Add("sCI", "s", ixCaseInsensitive);
  defs.Add("dDesc", "d", ixDescending);
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  const std::vector<std::vector<RefPart>> orders = {{{-1}}, {{1}}, {{0, false, true}}, {{3, true}}};
  std::mt19937 rng(20261210);
  std::uint32_t nextId = 1;
  std::int32_t nextN = 0;
  for (int round = 0; round < 40; ++round) {
    const bool bulk = round % 3 == 1;
    t.m->SetBulkInsert(bulk);
    const auto n = static_cast<std::int32_t>(1 + rng() % 300);
    // Keys grow for a while, then come in any order.
    const bool growing = round % 4 == 0;
    std::vector<std::uint8_t> block;
    for (std::int32_t k = 0; k < n; ++k) {
      IdxRow row = RandomRow(rng, nextId++);
      row.n =
          growing ? 100000 + nextN++ : static_cast<std::int32_t>(rng() % 50000) * 64 + nextN++ % 64;
      const std::vector<std::uint8_t> image = t.Buffer(row);
      block.insert(block.end(), image.begin(), image.end());
      t.rows.push_back(row);
    }
    ASSERT_TRUE(t.m->AppendRecords(block.data(), n));
    if (rng() % 2 == 0 && t.m->RecordCount() > 0)
      t.Delete(static_cast<std::int32_t>(rng() % static_cast<unsigned>(t.m->RecordCount())));
    t.m->SetBulkInsert(false);
    for (std::size_t i = 0; i < orders.size(); ++i) {
      t.ExpectOrder(static_cast<std::int32_t>(i), orders[i]);
      if (HasFatalFailure()) return;
    }
    if (round % 10 == 9) {
      t.Drop();
      ASSERT_EQ(t.Open(), kOpenOk);
    }
  }
  t.m->Indexes()->CheckInvariants();
  EXPECT_EQ(t.m->LastAutoInc(), static_cast<std::int32_t>(nextId - 1));
}

}  // namespace
}  // namespace kivo

namespace kivo {
namespace {

// A table larger than the page cache, reopened so that its saved arrays
// carry no key prefixes: the first search learns them in one pass, and
// searches, inserts and deletes then keep every array in reference order.
TEST_F(Indexes, ALargeReopenedIndexLearnsItsPrefixesAndStaysInOrder) {
  TIndexDefs defs;
  defs.Add("n", "n");
  t.Create(defs);
  ASSERT_EQ(t.Open(), kOpenOk);
  std::mt19937 rng(1525);
  const std::int32_t count = kLearnPrefixesFrom + 500;
  std::uint32_t nextId = 1;
  for (std::int32_t i = 0; i < count; ++i) {
    IdxRow row;
    row.id = nextId++;
    if (rng() % 10 != 0) row.n = static_cast<std::int32_t>(rng() % 5000) - 2500;
    t.Insert(row);
  }
  const std::vector<IdxRow> rows = t.rows;
  ASSERT_EQ(t.Open(), kOpenOk);  // reopen: the arrays come from T.idx
  t.rows = rows;
  for (int k = 0; k < 300; ++k) {
    const std::int32_t n = static_cast<std::int32_t>(rng() % 5200) - 2600;
    IdxRow probe;
    probe.n = n;
    const std::vector<std::uint8_t> key = t.Buffer(probe);
    const std::int32_t first = t.m->FindKey(key.data(), 1, true, false, 1);
    const std::int32_t last = t.m->FindKey(key.data(), 1, true, true, 1);
    std::int32_t matches = 0;
    for (const IdxRow& r : t.rows) matches += r.n && *r.n == n ? 1 : 0;
    if (matches == 0) {
      ASSERT_EQ(first, -1) << n;
      continue;
    }
    ASSERT_EQ(last - first + 1, matches) << n;
    ASSERT_EQ(t.rows[static_cast<std::size_t>(t.m->IndexEntry(1, first))].n, n);
  }
  for (int k = 0; k < 400; ++k) {
    if (k % 2 == 0) {
      IdxRow row;
      row.id = nextId++;
      row.n = static_cast<std::int32_t>(rng() % 5000) - 2500;
      t.Insert(row, 1);
    } else {
      t.Delete(static_cast<std::int32_t>(rng() % static_cast<unsigned>(t.m->RecordCount())), 1);
    }
  }
  t.ExpectOrder(1, {{1}});
  t.ExpectOrder(0, {{-1}});
}

}  // namespace
}  // namespace kivo
