// The query component over a real directory database: the statement text
// and its parameters, Open showing the last statement's rows as the query's
// own cursor (a base table read directly, or a temporary result that goes
// with the query's close), the field map of a select list, live results,
// the master that fills parameters, and the answers to data transfer.
#include "components/kivo_query.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "components/kivo_query_fixture.h"
#include "components/sql_host.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::NativeErrorOf;

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
