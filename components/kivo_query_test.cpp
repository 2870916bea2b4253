// The query component over a real directory database: the statement text
// and its parameters, Open showing the last statement's rows as the query's
// own cursor (a base table read directly, or a temporary result that goes
// with the query's close), the field map of a select list, live results,
// and the script processor's checks before anything runs.
#include "components/kivo_query.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "components/sql_host.h"
#include "sql/stmt/script.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::NativeErrorOf;
using testing::TempDir;

class QueryTest : public ::testing::Test {
 protected:
  QueryTest() {
    // t: n 1..6, s = "s" + n % 3
    auto t = host_.CreateNamedTable(Address("t"), {{"n", ftInteger, 0}, {"s", ftString, 10}});
    for (int n = 1; n <= 6; ++n) {
      TZorValue v;
      v.SetInteger(n);
      t->Append();
      t->WriteField(0, v);
      v.SetString("s" + std::to_string(n % 3));
      t->WriteField(1, v);
      t->Post();
    }
  }
  static TZorTableAddress Address(const std::string& name) {
    TZorTableAddress a;
    a.TableName = name;
    return a;
  }
  std::unique_ptr<TKivoQuery> Query(const std::string& text) {
    auto q = std::make_unique<TKivoQuery>();
    q->SetDatabaseName(dir_.path());
    q->SetSQLText(text);
    return q;
  }
  // Every visible row, fields joined by ",", NULL as "-".
  static std::vector<std::string> Rows(TKivoQuery& q) {
    std::vector<std::string> rows;
    for (q.First(); !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.Fields().Count(); ++i) {
        if (i > 0) row += ",";
        const TField& f = q.Fields()[i];
        row += f.IsNull() ? "-" : f.AsString();
      }
      rows.push_back(row);
    }
    return rows;
  }
  static std::vector<std::string> Names(TKivoQuery& q) {
    std::vector<std::string> names;
    for (int i = 0; i < q.Fields().Count(); ++i) names.push_back(q.Fields()[i].FieldName());
    return names;
  }
  // The files of temporary tables left in the process's in-memory database
  // cannot be seen on disk; the directory shows only named tables.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  TKivoSqlHost host_{"", dir_.path(), "", false};
};

TEST_F(QueryTest, OpenShowsADirectReadOfOneTableThroughItsFieldList) {
  auto q = Query("SELECT s AS label, n FROM t WHERE n > 2 AND n < 6");
  q->Open();
  EXPECT_EQ(Names(*q), (std::vector<std::string>{"label", "n"}));
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"s0,3", "s1,4", "s2,5"}));
  EXPECT_EQ(q->RecordCount(), 3);
  // Without RequestLive the result is read-only; the base table is shown.
  EXPECT_TRUE(q->ReadOnly());
  EXPECT_EQ(q->TableName(), "t");
  q->Close();
  // The query keeps its own database for the next run.
  EXPECT_EQ(q->DatabaseName(), dir_.path());
}

TEST_F(QueryTest, ALiveDirectResultEditsTheBaseTable) {
  auto q = Query("SELECT * FROM t WHERE n = 2");
  q->SetRequestLive(true);
  q->Open();
  EXPECT_FALSE(q->ReadOnly());
  q->Edit();
  q->FieldByName("s").SetAsString("changed");
  q->Post();
  q->Close();
  auto t = host_.OpenTable(Address("t"));
  std::vector<std::string> s;
  for (t->First(); !t->Eof(); t->Next()) {
    TZorValue v;
    t->ReadField(1, v);
    s.push_back(v.AsString());
  }
  EXPECT_EQ(s, (std::vector<std::string>{"s1", "changed", "s0", "s1", "s2", "s0"}));
}

TEST_F(QueryTest, AMaterializedResultIsReadOnlyOrderedAndGoesWithTheClose) {
  const std::vector<std::string> before = Files();
  auto q = Query("SELECT s, COUNT(*) AS c FROM t GROUP BY s ORDER BY s DESC");
  q->SetRequestLive(true);
  q->Open();
  EXPECT_TRUE(q->ReadOnly());
  EXPECT_EQ(Names(*q), (std::vector<std::string>{"s", "c"}));
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"s2,2", "s1,2", "s0,2"}));
  const std::string temporary = q->TableName();
  EXPECT_NE(temporary, "t");
  q->Close();
  EXPECT_EQ(Files(), before);
  // The temporary table is gone from the in-memory database too.
  TZorTableAddress a;
  a.TableName = temporary;
  a.InMemory = true;
  EXPECT_FALSE(host_.TableExists(a));
}

TEST_F(QueryTest, TopAndDistinctCutTheQuerysOwnCursor) {
  auto q = Query("SELECT TOP 2 n FROM t WHERE n > 1 ORDER BY n DESC");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"6", "5"}));
  q->Close();
  q->SetSQLText("SELECT DISTINCT s FROM t ORDER BY s");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"s0", "s1", "s2"}));
}

TEST_F(QueryTest, ParametersComeFromTheTextAndKeepTheirValues) {
  auto q = Query("SELECT n FROM t WHERE n >= :low AND n <= :high AND n <> :low");
  ASSERT_EQ(q->Params().Count(), 2);
  EXPECT_EQ(q->Params()[0].Name(), "low");
  EXPECT_EQ(q->Params()[1].Name(), "high");
  q->ParamByName("low").SetAsInteger(2);
  q->ParamByName("high").SetAsInteger(4);
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"3", "4"}));
  // A new text keeps the values of parameters it still names.
  q->SetSQLText("SELECT n FROM t WHERE n = :high");
  ASSERT_EQ(q->Params().Count(), 1);
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"4"}));
  EXPECT_THROW(q->ParamByName("low"), std::exception);
}

TEST_F(QueryTest, TheLastStatementOfAScriptIsTheResult) {
  auto q = Query("SELECT * FROM t WHERE n = 1;\nSELECT n FROM t WHERE n = 6");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"6"}));
}

TEST_F(QueryTest, ScriptsAreCheckedWholeBeforeAnythingRuns) {
  struct Case {
    std::string text;
    int code;
  };
  const std::vector<Case> cases = {
      {"", 1001},
      {" ; ; -- nothing\n", 1001},
      {"FROM t", 1003},
      {"hello t", 1059},
      {"SELECT * FROM t a b", 1006},
      {"SELECT * FROM t; SELECT * FROM", 1015},
      {"CREATE", 2001},
      {"CREATE VIEW v", 2002},
      {"ALTER", 2036},
      {"DROP VIEW v", 2035},
      {"ALTER TABLE t ADD (c INTEGER) more", 2043},
      {"DELETE FROM t b c", 2067},
      {"UPDATE t SET n = 1 WHERE n = 2 x", 2069},
      {"INSERT INTO t VALUES (1) x", 2068},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NativeErrorOf([&] { TSQLScriptProcessor p(c.text, nullptr); }), c.code);
    auto q = Query(c.text);
    EXPECT_EQ(NativeErrorOf([&] { q->Open(); }), c.code);
    EXPECT_FALSE(q->Active());
  }
  // An alias is not a token left over.
  auto q = Query("SELECT * FROM t extra");
  q->Open();
  EXPECT_EQ(q->RecordCount(), 6);
  q->Close();
  // A syntax error in the last statement: the first one never ran.
  q->SetSQLText("CREATE TABLE u (a INTEGER);\nSELECT * FROM");
  EXPECT_EQ(NativeErrorOf([&] { q->ExecSQL(); }), 1015);
  EXPECT_FALSE(host_.TableExists(Address("u")));
  // Without it the script runs in order: the table exists for the query.
  q->SetSQLText("CREATE TABLE u (a INTEGER);\nSELECT * FROM u");
  q->Open();
  EXPECT_EQ(Names(*q), (std::vector<std::string>{"a"}));
  EXPECT_EQ(q->RecordCount(), 0);
}

TEST_F(QueryTest, OpenWithoutAQueryAndAProcessorWithoutACursorRaise) {
  TSQLScriptProcessor p("SELECT * FROM t", nullptr);
  EXPECT_EQ(NativeErrorOf([&] { p.GetRootOperator(); }), 1068);
  EXPECT_EQ(p.GetResult(), nullptr);
  p.Execute(host_);
  EXPECT_NE(p.GetRootOperator(), nullptr);
  EXPECT_EQ(p.GetResult()->RecordCount(), 6);
  EXPECT_THROW(p.Execute(host_), std::exception);
}

TEST_F(QueryTest, AFailingRunLeavesTheQueryClosedAndReusable) {
  auto q = Query("SELECT nope FROM t");
  EXPECT_THROW(q->Open(), std::exception);
  EXPECT_FALSE(q->Active());
  EXPECT_EQ(q->DatabaseName(), dir_.path());
  q->SetSQLText("SELECT n FROM t WHERE n = 3");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"3"}));
}

TEST_F(QueryTest, ChangesRunInOrderAndTheCountStaysUntilTheNextChange) {
  auto q = Query("UPDATE t SET s = 'x' WHERE n > 4; SELECT n FROM t WHERE s = 'x'");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"5", "6"}));
  EXPECT_EQ(q->RowsAffected(), 2);
  q->Close();
  // A script that changes nothing leaves the count where it was.
  q->SetSQLText("SELECT * FROM t");
  q->Open();
  EXPECT_EQ(q->RowsAffected(), 2);
  q->Close();
  // A syntax error in the second INSERT: the first does not run either.
  q->SetSQLText("INSERT INTO t VALUES (7, 'a'); INSERT INTO t VALUE (8, 'b')");
  EXPECT_NE(NativeErrorOf([&] { q->ExecSQL(); }), 0);
  q->SetSQLText("DELETE FROM t; SELECT * FROM t");
  q->Open();
  EXPECT_EQ(q->RecordCount(), 0);
  EXPECT_EQ(q->RowsAffected(), 6);
  q->Close();
  // Open refuses a text whose last statement has no rows, after running it.
  q->SetSQLText("INSERT INTO t VALUES (9, 'c')");
  EXPECT_EQ(NativeErrorOf([&] { q->Open(); }), 1088);
  q->SetSQLText("SELECT n FROM t");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"9"}));
}

}  // namespace
TEST_F(QueryTest, AMasterFillsTheUnboundParametersAndRerunsTheQuery) {
  auto master = Query("SELECT n FROM t WHERE n < 4");
  master->Open();
  TDataSource source(master.get());
  auto detail = Query("SELECT s FROM t WHERE n = :n OR n = :other");
  detail->ParamByName("other").SetAsInteger(6);
  detail->SetDataSource(&source);
  detail->Open();
  // Row 1 of the master: n = 1 from it, other = 6 kept as given.
  EXPECT_EQ(Rows(*detail), (std::vector<std::string>{"s1", "s0"}));
  EXPECT_FALSE(detail->ParamByName("n").Bound());
  EXPECT_TRUE(detail->ParamByName("other").Bound());
  // A move of the master runs the detail again with the new record.
  master->Next();
  EXPECT_EQ(Rows(*detail), (std::vector<std::string>{"s2", "s0"}));
  master->Last();
  EXPECT_EQ(Rows(*detail), (std::vector<std::string>{"s0", "s0"}));

  std::vector<TField*> masterFields;
  std::vector<TField*> detailFields;
  detail->GetDetailLinkFields(masterFields, detailFields);
  ASSERT_EQ(masterFields.size(), 1u);
  EXPECT_EQ(masterFields[0], &master->FieldByName("n"));
  // The detail shows no field named n.
  EXPECT_TRUE(detailFields.empty());

  // A parameter the master has no field for is an error of the run.
  detail->Close();
  detail->SetSQLText("SELECT s FROM t WHERE n = :missing");
  EXPECT_THROW(detail->Open(), std::exception);
  EXPECT_FALSE(detail->Active());
  // Commands take their parameters from the master too.
  detail->SetSQLText("DELETE FROM t WHERE n = :n");
  detail->ExecSQL();
  EXPECT_EQ(detail->RowsAffected(), 1);
}

TEST_F(QueryTest, ParameterLinksThatComeBackAreRefused) {
  auto a = Query("SELECT n FROM t");
  auto b = Query("SELECT n FROM t WHERE n = :n");
  auto c = Query("SELECT n FROM t WHERE n = :n");
  TDataSource ofA(a.get());
  TDataSource ofB(b.get());
  TDataSource ofC(c.get());
  EXPECT_EQ(NativeErrorOf([&] { a->SetDataSource(&ofA); }), 1056);
  b->SetDataSource(&ofA);
  c->SetDataSource(&ofB);
  // a -> c -> b -> a would be a circle.
  EXPECT_EQ(NativeErrorOf([&] { a->SetDataSource(&ofC); }), 1056);
  EXPECT_EQ(a->DataSource(), nullptr);
  // A table's master chain counts as well.
  EXPECT_THROW(a->SetMasterSource(&ofC), std::exception);
}

TEST_F(QueryTest, StatementsRunForDataTransferAtTheDataSetsPlace) {
  auto q = Query("SELECT n FROM t");
  q->Open();
  TParams params;
  params.Add("k").SetAsInteger(3);
  EXPECT_EQ(q->PSExecuteStatement("UPDATE t SET s = 'p' WHERE n > :k", &params), 3);
  q->Close();
  EXPECT_EQ(q->PSGetTableName(), "t");
  q->PSSetCommandText("SELECT a.n FROM t a, t b WHERE a.n = b.n");
  EXPECT_EQ(q->PSGetTableName(), "");
  q->PSSetCommandText("SELECT n FROM t x WHERE s = 'p'");
  EXPECT_EQ(q->PSGetTableName(), "t");
  q->PSSetCommandText("");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"4", "5", "6"}));
}

}  // namespace kivo
