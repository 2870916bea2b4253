// The SQL processor's table interface over real tables: a directory
// database and in-memory tables, appends and reads, index selection, record
// filters from parsed conditions, limits, DISTINCT lists, Locate, and the
// errors the operators report.
#include "components/sql_host.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kivo
