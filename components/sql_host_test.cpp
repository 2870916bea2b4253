// The SQL processor's table interface over real tables: a directory
// database and in-memory tables, appends and reads, index selection, record
// filters from parsed conditions, limits, DISTINCT lists, Locate, and the
// errors the operators report.
#include "components/sql_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "sql/lexer.h"
#include "sql/parser.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::NativeErrorOf;
using testing::TempDir;

TZorValue Int(std::int32_t v) {
  TZorValue x;
  x.SetInteger(v);
  return x;
}

TZorValue Str(const std::string& s) {
  TZorValue x;
  x.SetString(s);
  return x;
}

// A parsed expression with its lexer (the expression refers to it).
struct Parsed {
  explicit Parsed(const std::string& text, bool condition = true) : lexer(text) {
    lexer.NextCommand();
    expression = std::make_unique<TZorExpression>(lexer);
    condition ? expression->ParseSearchCondition() : expression->ParseValueExpression();
  }
  TKivoLexer lexer;
  std::unique_ptr<TZorExpression> expression;
};

class SqlHostTest : public ::testing::Test {
 protected:
  TZorTableAddress Address(const std::string& name, bool inMemory = false) {
    TZorTableAddress a;
    a.TableName = name;
    a.InMemory = inMemory;
    return a;
  }
  static std::vector<TZorFieldDef> Fields() {
    return {{"n", ftInteger, 0}, {"s", ftString, 10}, {"m", ftMemo, 0}};
  }
  // Table `name` with one row per value of `ns`: n, s = "s" + n % 3, m =
  // "memo" + n.
  void MakeRows(const std::string& name, const std::vector<int>& ns, bool inMemory = false) {
    auto t = host_.CreateNamedTable(Address(name, inMemory), Fields());
    for (int n : ns) {
      t->Append();
      t->WriteField(0, Int(n));
      t->WriteField(1, Str("s" + std::to_string(n % 3)));
      TZorValue memo;
      memo.SetMemo("memo" + std::to_string(n));
      t->WriteField(2, memo);
      t->Post();
    }
  }
  // Field `field` of every visible row, "-" for NULL.
  static std::vector<std::string> Column(TZorTable& t, int field) {
    std::vector<std::string> out;
    for (t.First(); !t.Eof(); t.Next()) {
      TZorValue v;
      t.ReadField(field, v);
      out.push_back(v.IsNull() ? "-" : v.AsString());
    }
    return out;
  }
  using Strings = std::vector<std::string>;

  TempDir dir_;
  TKivoSqlHost host_{"", dir_.path(), "", false};
};

TEST_F(SqlHostTest, NamedTablesAreCreatedFilledAndReadBackFromTheDirectory) {
  MakeRows("t", {4, 1, 3});
  EXPECT_TRUE(std::filesystem::exists(dir_.file("t.dat")));
  ASSERT_TRUE(host_.TableExists(Address("t")));

  auto t = host_.OpenTable(Address("t"));
  ASSERT_EQ(t->FieldCount(), 3);
  EXPECT_EQ(t->FieldName(1), "s");
  EXPECT_EQ(t->FieldType(0), ftInteger);
  EXPECT_EQ(t->FieldType(2), ftMemo);
  EXPECT_EQ(t->FieldSize(1), 10);
  EXPECT_EQ(t->FieldSize(0), 0);
  EXPECT_EQ(t->RecordCount(), 3);
  EXPECT_EQ(Column(*t, 0), (Strings{"4", "1", "3"}));
  EXPECT_EQ(Column(*t, 1), (Strings{"s1", "s1", "s0"}));
  EXPECT_EQ(Column(*t, 2), (Strings{"memo4", "memo1", "memo3"}));

  t->MoveToRecNo(2);
  EXPECT_EQ(t->RecNo(), 2);
  TZorValue v;
  t->ReadField(0, v);
  EXPECT_EQ(v.AsInteger(), 1);
  EXPECT_NE(MessageOf([&] { t->MoveToRecNo(4); }), testing::kNoException);
  EXPECT_EQ(NativeErrorOf([&] { t->ReadField(3, v); }), 9);

  // Values are converted to the field's type; a cancelled append stores nothing.
  t->Append();
  t->WriteField(0, Str("17"));
  t->ReadField(0, v);
  EXPECT_EQ(v.DataType(), ftInteger);
  EXPECT_EQ(v.AsInteger(), 17);
  t->Cancel();
  EXPECT_EQ(t->RecordCount(), 3);
  t->Close();
  t->Close();  // closing twice is harmless

  host_.DeleteTable(Address("t"));
  EXPECT_FALSE(host_.TableExists(Address("t")));
}

TEST_F(SqlHostTest, ResultTablesLiveInMemoryUntilClosedAndKeepRepeatedNumbers) {
  auto r = host_.CreateResultTable({{"id", ftAutoInc, 0}, {"name", ftString, 5}});
  const std::string name = r->TableName();
  EXPECT_EQ(name.rfind("@TABLE", 0), 0u);
  // An automatic number copied from a join repeats: the result stores it as
  // an integer, not as the unique record identifier.
  for (int i = 0; i < 2; ++i) {
    r->Append();
    r->WriteField(0, Int(5));
    r->WriteField(1, Str("abcdefgh"));
    r->Post();
  }
  EXPECT_EQ(r->FieldType(0), ftInteger);
  EXPECT_EQ(Column(*r, 0), (Strings{"5", "5"}));
  EXPECT_EQ(Column(*r, 1), (Strings{"abcde", "abcde"}));  // cut to the field's size
  EXPECT_TRUE(host_.TableExists(Address(name, true)));
  r->Close();
  EXPECT_FALSE(host_.TableExists(Address(name, true)));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(SqlHostTest, InMemoryNamedTablesAreFoundInMemoryOnly) {
  MakeRows("mem", {1, 2}, true);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
  auto t = host_.OpenTable(Address("mem", true));
  EXPECT_EQ(Column(*t, 0), (Strings{"1", "2"}));
  EXPECT_EQ(NativeErrorOf([&] { host_.OpenTable(Address("mem")); }), 4);
  t->Close();
  host_.DeleteTable(Address("mem", true));
}

TEST_F(SqlHostTest, AFailedOpenNamesTheTableAndKeepsItsCause) {
  TZorTableAddress a = Address("missing");
  a.DatabaseName = dir_.path();
  try {
    host_.OpenTable(a);
    FAIL() << "opened a missing table";
  } catch (const ZorException& e) {
    EXPECT_EQ(e.NativeError(), 4);
    EXPECT_EQ(e.Message(), "Cannot open table 'missing'. DatabaseName = " + dir_.path() +
                               ", DatabaseFileName = , InMemory = 0. - Native error: 00004");
    bool nested = false;
    try {
      std::rethrow_if_nested(e);
    } catch (const std::exception&) {
      nested = true;
    }
    EXPECT_TRUE(nested);
  }
}

TEST_F(SqlHostTest, AnIndexWithTheSameListsIsReusedOtherwiseATemporaryOneIsMade) {
  MakeRows("t", {2, 5, 1, 4});
  {
    auto plain = std::make_unique<TKivoTable>();
    plain->SetDatabaseName(dir_.path());
    plain->SetTableName("t");
    plain->AddIndex("byN", "n", 0);
    plain->AddIndex("byNDesc", "n", ixDescending);
  }
  auto t = host_.OpenTable(Address("t"));
  EXPECT_FALSE(t->OrderSelected());
  EXPECT_EQ(t->SelectOrCreateIndex("N", "", ""), "byN");
  EXPECT_TRUE(t->OrderSelected());
  EXPECT_EQ(Column(*t, 0), (Strings{"1", "2", "4", "5"}));
  // A whole-index descending option counts as every field descending.
  EXPECT_EQ(t->SelectOrCreateIndex("n", "N", ""), "byNDesc");
  EXPECT_EQ(Column(*t, 0), (Strings{"5", "4", "2", "1"}));

  const std::string made = t->SelectOrCreateIndex("s;n", "n", "");
  EXPECT_EQ(made.rfind("$_IDX_", 0), 0u);
  EXPECT_EQ(Column(*t, 0), (Strings{"4", "1", "5", "2"}));
  // Asked again, the temporary index is found rather than made twice.
  EXPECT_EQ(t->SelectOrCreateIndex("S;N", "N", ""), made);
  t->SelectIndex("byN");
  EXPECT_EQ(Column(*t, 0).front(), "1");
  EXPECT_NE(MessageOf([&] { t->SelectIndex("nothing"); }), testing::kNoException);
  t->Close();

  // The temporary index is not stored with the table.
  auto again = host_.OpenKivoTable(Address("t"));
  EXPECT_EQ(again->Table().DataManager()->IndexNumber(made), -1);
  EXPECT_GE(again->Table().DataManager()->IndexNumber("byN"), 0);
}

// An index in the opposite direction on every field is walked backwards
// instead of building a temporary index; the rows must come exactly as the
// full sort gives them: ties (equal keys) in ascending identifier order,
// NULL lowest, and limits and filters applied after the order.
TEST_F(SqlHostTest, AnIndexInTheOppositeDirectionIsWalkedBackwardsAsTheFullSortOrders) {
  // k numbers the rows in insertion order; n repeats and is NULL (-1) in places.
  const std::vector<int> ns = {3, -1, 7, 3, 1, 7, -1, 5, 3, 1, 7, 2};
  const std::vector<std::string> ss = {"b", "a", "c", "a", "b", "b", "c", "a", "b", "c", "a", "b"};
  {
    auto t = host_.CreateNamedTable(Address("r"),
                                    {{"k", ftInteger, 0}, {"n", ftInteger, 0}, {"s", ftString, 4}});
    for (std::size_t i = 0; i < ns.size(); ++i) {
      t->Append();
      t->WriteField(0, Int(static_cast<std::int32_t>(i)));
      if (ns[i] >= 0) t->WriteField(1, Int(ns[i]));
      t->WriteField(2, Str(ss[i]));
      t->Post();
    }
    t->Close();
    auto plain = std::make_unique<TKivoTable>();
    plain->SetDatabaseName(dir_.path());
    plain->SetTableName("r");
    plain->AddIndex("byN", "n", 0);
    plain->AddIndex("bySNDesc", "s;n", 0, "n");
    plain->AddIndex("byKDesc", "k", ixDescending);
  }
  // The k values of the rows sorted by `before`, ties kept in k order.
  auto sorted = [&](auto before, std::vector<int> keep = {}) {
    std::vector<int> ks;
    for (int k = 0; k < static_cast<int>(ns.size()); ++k)
      if (keep.empty() || std::find(keep.begin(), keep.end(), k) != keep.end()) ks.push_back(k);
    std::stable_sort(ks.begin(), ks.end(), before);
    Strings out;
    for (int k : ks) out.push_back(std::to_string(k));
    return out;
  };
  auto nDesc = [&](int a, int b) {
    return ns[static_cast<std::size_t>(a)] > ns[static_cast<std::size_t>(b)];
  };
  auto sDescNAsc = [&](int a, int b) {
    const std::size_t x = static_cast<std::size_t>(a);
    const std::size_t y = static_cast<std::size_t>(b);
    if (ss[x] != ss[y]) return ss[x] > ss[y];
    return ns[x] < ns[y];
  };

  auto t = host_.OpenKivoTable(Address("r"));
  const std::int32_t indexes = t->Table().DataManager()->IndexCount();
  EXPECT_EQ(t->SelectOrCreateIndex("n", "n", ""), "byN");
  EXPECT_TRUE(t->OrderSelected());
  EXPECT_EQ(Column(*t, 0), sorted(nDesc));
  // Several fields, each turned round; and ascending over a descending index.
  EXPECT_EQ(t->SelectOrCreateIndex("S;N", "s", ""), "bySNDesc");
  EXPECT_EQ(Column(*t, 0), sorted(sDescNAsc));
  EXPECT_EQ(t->SelectOrCreateIndex("k", "", ""), "byKDesc");
  EXPECT_EQ(Column(*t, 0).front(), "0");
  EXPECT_EQ(t->Table().DataManager()->IndexCount(), indexes);
  // Only part of the fields turned round, or another case option: no match.
  EXPECT_NE(t->SelectOrCreateIndex("s;n", "s;n", ""), "bySNDesc");
  EXPECT_NE(t->SelectOrCreateIndex("s;n", "s", "s"), "bySNDesc");

  // TOP with a first row, the cut falling inside a run of equal keys
  // (three rows with n = 7, three with n = 3).
  t->SelectOrCreateIndex("n", "n", "");
  const Strings all = sorted(nDesc);
  t->SetLimits(2, 4);
  EXPECT_EQ(Column(*t, 0), Strings(all.begin() + 1, all.begin() + 5));
  t->SetLimits(-1, 1);
  EXPECT_EQ(Column(*t, 0), Strings{all.front()});
  // A filter, then the limits over what passes; RecNo and MoveToRecNo
  // follow the reversed list.
  Parsed where("s <> 'a'");
  where.expression->Bind(t->RecordFields());
  t->SetRecordFilter(where.expression.get(), nullptr);
  t->SetLimits(-1, 5);
  const Strings passing = sorted(nDesc, {0, 2, 4, 5, 6, 8, 9, 11});
  EXPECT_EQ(Column(*t, 0), Strings(passing.begin(), passing.begin() + 5));
  t->MoveToRecNo(3);
  EXPECT_EQ(t->RecNo(), 3);
  TZorValue k;
  t->ReadField(0, k);
  EXPECT_EQ(k.AsString(), passing[2]);
  t->SetRecordFilter(nullptr, nullptr);
  t->SetLimits(-1, -1);

  // A row appended to the reversed list takes its place in the order.
  t->Append();
  t->WriteField(0, Int(12));
  t->WriteField(1, Int(7));
  t->WriteField(2, Str("c"));
  t->Post();
  Strings expected = all;
  expected.insert(expected.begin() + 3, "12");
  EXPECT_EQ(Column(*t, 0), expected);
  EXPECT_NO_THROW(t->Table().VisibleList()->CheckInvariants());
}

TEST_F(SqlHostTest, AConditionInstalledAsRecordFilterRestrictsTheRows) {
  MakeRows("t", {1, 2, 3, 4, 5, 6});
  auto t = host_.OpenKivoTable(Address("t"));
  t->SetAlias("q");
  Parsed where("q.n > 2 AND s <> 's0' AND m LIKE 'memo%'");
  where.expression->Bind(t->RecordFields());
  t->SetRecordFilter(where.expression.get(), nullptr);
  EXPECT_EQ(Column(*t, 0), (Strings{"4", "5"}));
  EXPECT_EQ(t->RecordCount(), 2);

  // A record appended under the filter is judged by it.
  for (int n : {7, 9}) {
    t->Append();
    t->WriteField(0, Int(n));
    t->WriteField(1, Str("s" + std::to_string(n % 3)));
    TZorValue memo;
    memo.SetMemo("memo");
    t->WriteField(2, memo);
    t->Post();
  }
  EXPECT_EQ(Column(*t, 0), (Strings{"4", "5", "7"}));

  // The BLOB is read for the record judged, not the current one.
  Parsed memo("m = 'memo5'");
  memo.expression->Bind(t->RecordFields());
  t->SetRecordFilter(memo.expression.get(), nullptr);
  EXPECT_EQ(Column(*t, 0), (Strings{"5"}));

  t->SetRecordFilter(nullptr, nullptr);
  EXPECT_EQ(t->RecordCount(), 8);

  // A qualifier that is neither the table nor its alias matches nothing.
  Parsed other("x.n = 1");
  EXPECT_NE(MessageOf([&] { other.expression->Bind(t->RecordFields()); }), testing::kNoException);
}

TEST_F(SqlHostTest, AFilterThatIsNotBooleanIsRefusedAndLeavesTheTableUnfiltered) {
  MakeRows("t", {1, 2, 3});
  auto t = host_.OpenTable(Address("t"));
  Parsed sum("n + 1", false);
  sum.expression->Bind(t->RecordFields());
  EXPECT_EQ(MessageOf([&] { t->SetRecordFilter(sum.expression.get(), nullptr); }),
            "Filter expression should be Boolean. Filter type = 3 - Native error: 00054");
  EXPECT_EQ(t->RecordCount(), 3);
  t->Append();
  t->WriteField(0, Int(9));
  t->Post();
  EXPECT_EQ(t->RecordCount(), 4);
}

TEST_F(SqlHostTest, FirstRowAndRowLimitCutTheVisibleRows) {
  MakeRows("t", {1, 2, 3, 4, 5, 6, 7});
  auto t = host_.OpenTable(Address("t"));
  t->SetLimits(2, 3);
  EXPECT_EQ(Column(*t, 0), (Strings{"2", "3", "4"}));
  // The limits apply after the filter.
  Parsed odd("n <> 2 AND n <> 4");
  odd.expression->Bind(t->RecordFields());
  t->SetRecordFilter(odd.expression.get(), nullptr);
  EXPECT_EQ(Column(*t, 0), (Strings{"3", "5", "6"}));
  t->SetLimits(-1, 1);
  EXPECT_EQ(Column(*t, 0), (Strings{"1"}));
  t->SetLimits(-1, -1);
  EXPECT_EQ(t->RecordCount(), 5);
}

TEST_F(SqlHostTest, ADistinctListShowsOneRowPerValueOrRaises32) {
  MakeRows("t", {1, 2, 3, 4, 5, 6, 7});
  auto t = host_.OpenTable(Address("t"));
  t->SetDistinctFields("s");
  EXPECT_EQ(t->DistinctFields(), "s");
  EXPECT_EQ(Column(*t, 1), (Strings{"s1", "s2", "s0"}));
  t->SetDistinctFields("");
  EXPECT_EQ(t->RecordCount(), 7);

  EXPECT_EQ(MessageOf([&] { t->SetDistinctFields("s;nosuch"); }),
            "Distinct index not created. FTableName = 't', FDistinctFields = 's;nosuch'. - "
            "Native error: 00032");
  // The failed list is dropped; the table shows every row again.
  EXPECT_EQ(t->DistinctFields(), "");
  EXPECT_EQ(t->RecordCount(), 7);
}

TEST_F(SqlHostTest, LocateFindsAValueAmongTheVisibleRows) {
  MakeRows("t", {1, 2, 3, 4});
  auto t = host_.OpenTable(Address("t"));
  ASSERT_TRUE(t->Locate(0, Int(3)));
  TZorValue v;
  t->ReadField(1, v);
  EXPECT_EQ(v.AsString(), "s0");
  EXPECT_FALSE(t->Locate(1, Str("nothing")));
  EXPECT_FALSE(t->Locate(1, TZorValue()));
  Parsed small("n < 3");
  small.expression->Bind(t->RecordFields());
  t->SetRecordFilter(small.expression.get(), nullptr);
  EXPECT_FALSE(t->Locate(0, Int(3)));
}

TEST_F(SqlHostTest, VisibleFieldsAreShownWithTheirLabelsOrOnlyKept) {
  MakeRows("t", {1});
  auto t = host_.OpenKivoTable(Address("t"));
  t->SetVisibleFields({"S"}, {"Label"}, true);
  EXPECT_TRUE(t->Table().FieldByName("n").Visible());
  EXPECT_EQ(t->VisibleFields(), (Strings{"S"}));
  t->SetVisibleFields({"s", "n"}, {"Label", ""}, false);
  EXPECT_FALSE(t->Table().FieldByName("m").Visible());
  EXPECT_TRUE(t->Table().FieldByName("n").Visible());
  EXPECT_EQ(t->Table().FieldByName("s").DisplayLabel(), "Label");
  EXPECT_EQ(t->VisibleLabels(), (Strings{"Label", ""}));
  EXPECT_NE(MessageOf([&] { t->SetVisibleFields({"nosuch"}, {""}, true); }), testing::kNoException);
  EXPECT_NE(MessageOf([&] { t->SetVisibleFields({"n"}, {}, true); }), testing::kNoException);
  EXPECT_EQ(t->VisibleFields(), (Strings{"s", "n"}));
}

TEST_F(SqlHostTest, TheHostContextAnswersLastAutoIncAndRefusesSubQueries) {
  {
    auto plain = std::make_unique<TKivoTable>();
    plain->SetDatabaseName(dir_.path());
    plain->SetTableName("auto");
    plain->FieldDefs().Add("id", ftAutoInc);
    plain->FieldDefs().Add("n", ftInteger);
    plain->CreateTable();
    plain->Open();
    for (int i = 0; i < 3; ++i) {
      plain->Append();
      plain->FieldByName("n").SetAsInteger(i);
      plain->Post();
    }
  }
  auto t = host_.OpenTable(Address("auto"));
  ASSERT_EQ(t->FieldCount(), 2);  // the visible identifier comes last
  EXPECT_EQ(t->FieldName(1), "id");
  EXPECT_EQ(t->FieldType(1), ftAutoInc);
  EXPECT_EQ(Column(*t, 1), (Strings{"1", "2", "3"}));
  EXPECT_EQ(t->LastAutoInc(), 3);

  TZorHostContext context(host_);
  Parsed last("LASTAUTOINC(auto) + 1", false);
  EXPECT_EQ(last.expression->Evaluate(&context).AsInteger(), 4);
  Parsed sub("(SELECT n FROM auto)", false);
  EXPECT_NE(MessageOf([&] { sub.expression->Evaluate(&context); }), testing::kNoException);
}

// ---------------------------------------------------------------------------
// Runs of appends.

// One field of every stored type, the string at its declared size.
std::vector<TZorFieldDef> AllTypes() {
  return {{"i", ftInteger, 0}, {"si", ftSmallint, 0}, {"w", ftWord, 0},     {"li", ftLargeint, 0},
          {"b", ftBoolean, 0}, {"f", ftFloat, 0},     {"c", ftCurrency, 0}, {"d", ftDate, 0},
          {"t", ftTime, 0},    {"dt", ftDateTime, 0}, {"s", ftString, 6},   {"ws", ftWideString, 4},
          {"m", ftMemo, 0},    {"bl", ftBlob, 0}};
}

// Row `n` of a table of AllTypes(): every third field NULL in turn, the
// others a value that depends on n (strings longer than their field).
void AppendAllTypes(TZorTable& t, int n) {
  t.Append();
  for (int f = 0; f < t.FieldCount(); ++f) {
    if ((n + f) % 3 == 0) continue;
    TZorValue v;
    switch (t.FieldType(f)) {
      case ftInteger:
        v.SetInteger(n * 1000 - 7);
        break;
      case ftSmallint:
        v.SetSmallInt(static_cast<std::int16_t>(-n));
        break;
      case ftWord:
        v.SetWord(static_cast<std::uint16_t>(n + 60000));
        break;
      case ftLargeint:
        v.SetLargeInt(std::int64_t{n} << 40);
        break;
      case ftBoolean:
        v.SetBoolean(n % 2 == 0);
        break;
      case ftFloat:
        v.SetFloat(n / 8.0);
        break;
      case ftCurrency:
        v.SetCurrency(n * 1.25);
        break;
      case ftDate:
        v.SetDate(40000 + n);
        break;
      case ftTime:
        v.SetTime(0.25);
        break;
      case ftDateTime:
        v.SetDateTime(40000.5 + n);
        break;
      case ftString:
        v.SetString("str" + std::to_string(n) + "-tail");
        break;
      case ftWideString:
        v.SetWideString(u"wide-string");
        break;
      case ftMemo:
        v.SetMemo("memo " + std::string(static_cast<std::size_t>(n), 'x'));
        break;
      default:
        v.SetMemo(std::string("\0\1blob", 6) + std::to_string(n));
        break;
    }
    t.WriteField(f, v);
  }
  t.Post();
}

// Every row of `t`: type and text of each field ("-" for NULL).
std::vector<std::string> Rows(TZorTable& t) {
  std::vector<std::string> rows;
  for (t.First(); !t.Eof(); t.Next()) {
    std::string row;
    for (int f = 0; f < t.FieldCount(); ++f) {
      TZorValue v;
      t.ReadField(f, v);
      std::string text = "-";
      if (v.DataType() == ftBlob && !v.IsNull())
        text.assign(reinterpret_cast<const char*>(v.Data()), static_cast<std::size_t>(v.Size()));
      else if (!v.IsNull())
        text = v.AsString();
      row += std::to_string(v.DataType()) + ":" + text + "|";
    }
    rows.push_back(row);
  }
  return rows;
}

TEST_F(SqlHostTest, ARunOfAppendsStoresWhatSingleAppendsStore) {
  const int kRows = 40;
  auto single = host_.CreateResultTable(AllTypes());
  for (int n = 1; n <= kRows; ++n) AppendAllTypes(*single, n);
  auto run = host_.CreateResultTable(AllTypes());
  run->BeginAppends();
  for (int n = 1; n <= kRows; ++n) AppendAllTypes(*run, n);
  run->EndAppends();
  EXPECT_EQ(run->RecordCount(), kRows);
  EXPECT_EQ(run->RecNo(), 1);  // on the first record
  const std::vector<std::string> expected = Rows(*single);
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(kRows));
  EXPECT_EQ(Rows(*run), expected);
  // Values as written: cut strings, 64-bit integers, BLOB bytes.
  run->MoveToRecNo(2);
  TZorValue v;
  run->ReadField(3, v);
  EXPECT_EQ(v.AsLargeInt(), std::int64_t{2} << 40);
  run->MoveToRecNo(3);
  run->ReadField(10, v);
  EXPECT_EQ(v.AsString(), "str3-t");
  run->ReadField(13, v);
  EXPECT_EQ(
      std::string(reinterpret_cast<const char*>(v.Data()), static_cast<std::size_t>(v.Size())),
      std::string("\0\1blob3", 7));
  run->ReadField(0, v);
  EXPECT_TRUE(v.IsNull());

  // Single appends after the run are added as before.
  AppendAllTypes(*run, kRows + 1);
  AppendAllTypes(*single, kRows + 1);
  EXPECT_EQ(Rows(*run), Rows(*single));
}

TEST_F(SqlHostTest, ARunGrowsPastThePageCacheAndKeepsTheOrder) {
  // More rows than the cache of a result table holds at first.
  auto r = host_.CreateResultTable({{"n", ftInteger, 0}, {"s", ftString, 20}});
  const int kRows = 40000;
  r->BeginAppends();
  for (int n = 0; n < kRows; ++n) {
    r->Append();
    r->WriteField(0, Int(n));
    r->WriteField(1, Str("row " + std::to_string(n)));
    r->Post();
  }
  r->EndAppends();
  ASSERT_EQ(r->RecordCount(), kRows);
  int expected = 0;
  bool inOrder = true;
  for (r->First(); !r->Eof(); r->Next(), ++expected) {
    TZorValue n;
    TZorValue s;
    r->ReadField(0, n);
    r->ReadField(1, s);
    inOrder =
        inOrder && n.AsInteger() == expected && s.AsString() == "row " + std::to_string(expected);
  }
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(expected, kRows);
}

TEST_F(SqlHostTest, AFailingRowInARunLeavesTheRowsBeforeItAndNothingOfItself) {
  MakeRows("t", {});
  {
    auto plain = std::make_unique<TKivoTable>();
    plain->SetDatabaseName(dir_.path());
    plain->SetTableName("t");
    plain->AddIndex("uN", "n", ixUnique);
  }
  auto t = host_.OpenTable(Address("t"));
  auto append = [&](int n, const std::string& s) {
    t->Append();
    t->WriteField(0, Int(n));
    t->WriteField(1, Str(s));
    TZorValue memo;
    memo.SetMemo("memo" + std::to_string(n));
    t->WriteField(2, memo);
    t->Post();
  };
  t->BeginAppends();
  append(1, "a");
  append(2, "b");
  // A value that does not convert fails before anything is stored.
  t->Append();
  t->WriteField(1, Str("half"));
  EXPECT_NE(MessageOf([&] { t->WriteField(0, Str("not a number")); }), testing::kNoException);
  t->Cancel();
  // A repeated unique key fails the post, its BLOB value included.
  EXPECT_NE(MessageOf([&] { append(2, "dup"); }).find("key violation"), std::string::npos);
  append(3, "c");
  t->EndAppends();
  EXPECT_EQ(Column(*t, 0), (Strings{"1", "2", "3"}));
  EXPECT_EQ(Column(*t, 1), (Strings{"a", "b", "c"}));
  EXPECT_EQ(Column(*t, 2), (Strings{"memo1", "memo2", "memo3"}));
}

TEST_F(SqlHostTest, EndAppendsAfterAnExceptionLeavesAConsistentTable) {
  auto r = host_.CreateResultTable({{"n", ftInteger, 0}, {"m", ftMemo, 0}});
  struct EndOnExit {
    TZorTable& t;
    ~EndOnExit() { t.EndAppends(); }
  };
  EXPECT_NE(MessageOf([&] {
              EndOnExit guard{*r};
              r->BeginAppends();
              for (int n = 1; n <= 3; ++n) {
                r->Append();
                r->WriteField(0, Int(n));
                TZorValue memo;
                memo.SetMemo("m" + std::to_string(n));
                r->WriteField(1, memo);
                r->Post();
              }
              r->Append();  // left half-written by the failure
              r->WriteField(1, Str("lost"));
              r->WriteField(0, Str("x"));
            }),
            testing::kNoException);
  EXPECT_EQ(r->RecordCount(), 3);
  EXPECT_EQ(r->RecNo(), 1);
  EXPECT_EQ(Column(*r, 0), (Strings{"1", "2", "3"}));
  EXPECT_EQ(Column(*r, 1), (Strings{"m1", "m2", "m3"}));
  // The table takes appends and a second run again.
  r->BeginAppends();
  r->Append();
  r->WriteField(0, Int(4));
  r->Post();
  r->EndAppends();
  r->EndAppends();  // ending again does nothing
  EXPECT_EQ(Column(*r, 0), (Strings{"1", "2", "3", "4"}));
}

TEST_F(SqlHostTest, ANamedTableFilledInARunReopensWithEveryRow) {
  {
    auto t = host_.CreateNamedTable(Address("into"), AllTypes());
    t->BeginAppends();
    for (int n = 1; n <= 25; ++n) AppendAllTypes(*t, n);
    t->EndAppends();
  }
  auto single = host_.CreateResultTable(AllTypes());
  for (int n = 1; n <= 25; ++n) AppendAllTypes(*single, n);
  auto reopened = host_.OpenTable(Address("into"));
  EXPECT_EQ(reopened->RecordCount(), 25);
  EXPECT_EQ(Rows(*reopened), Rows(*single));
}

}  // namespace
}  // namespace kivo
