// SELECT statements planned and run on real tables: the shape of the plan,
// the rows and fields of the result, TOP, DISTINCT, ORDER BY, aliases,
// sub-queries, SELECT ... INTO and the planning errors.
#include <gtest/gtest.h>

#include "sql/lexer.h"
#include "sql/ops/ao_groupby.h"
#include "sql/ops/ao_join.h"
#include "sql/ops/ao_table.h"
#include "sql/ops/ops_test_support.h"
#include "sql/stmt/union_parse.h"

namespace kivo::testing {
namespace {

class SelectTest : public OperatorTest {
 protected:
  void SetUp() override {
    MakeTable("t", {{"a", ftInteger, 0}, {"b", ftString, 10}, {"m", ftMemo, 0}},
              {{"3", "x", "m3"},
               {"1", "y", "m1"},
               {"2", "x", "m2"},
               {"1", "z", "m1b"},
               {"5", "-", "m5"},
               {"4", "y", "m4"}});
  }

  // Parses and runs `sql`; the statement stays for GetRootOperator.
  TKivoSQLUnion& Run(const std::string& sql) {
    lexer_ = std::make_unique<TKivoLexer>(sql);
    lexer_->NextCommand();
    statement_ = std::make_unique<TKivoSQLUnion>(*lexer_);
    statement_->Execute(host_, false);
    return *statement_;
  }
  Rows Query(const std::string& sql) { return TableRows(*Run(sql).GetResult()); }
  std::vector<std::string> Labels(const std::string& sql) {
    return Run(sql).GetResult()->VisibleLabels();
  }
  std::string ErrorOf(const std::string& sql) {
    return MessageOf([&] { Run(sql); });
  }

  std::unique_ptr<TKivoLexer> lexer_;
  std::unique_ptr<TKivoSQLUnion> statement_;
};

TEST_F(SelectTest, AStarSelectOfOneTableIsTheBaseTableFilteredAndLimited) {
  TKivoSQLUnion& s = Run("SELECT * FROM t WHERE a > 1");
  ASSERT_TRUE(s.GetRootOperator()->IsTableOperator);
  EXPECT_EQ(s.GetResult()->TableName(), "t");
  EXPECT_EQ(TableRows(*s.GetResult()),
            (Rows{{"3", "x", "m3"}, {"2", "x", "m2"}, {"5", "-", "m5"}, {"4", "y", "m4"}}));
  EXPECT_EQ(Query("SELECT TOP 2 * FROM t").size(), 2u);
  EXPECT_EQ(Query("SELECT TOP 2, 3 a FROM t"), (Rows{{"2"}, {"1"}}));
  EXPECT_EQ(Query("SELECT TOP 3 a FROM t ORDER BY a"), (Rows{{"1"}, {"1"}, {"2"}}));
  EXPECT_EQ(Query("SELECT a AS x FROM t WHERE x > 3 ORDER BY x DESC"), (Rows{{"5"}, {"4"}}));
  EXPECT_EQ(Labels("SELECT b AS bee, a FROM t"), (std::vector<std::string>{"bee", "a"}));
  EXPECT_EQ(Query("SELECT DISTINCT b FROM t ORDER BY b"), (Rows{{"-"}, {"x"}, {"y"}, {"z"}}));
}

TEST_F(SelectTest, ComputedColumnsAreCopiedIntoAResultAndTopTakesEffectOnce) {
  TKivoSQLUnion& s = Run("SELECT a, a * 10 AS ten, b || '!' FROM t WHERE a < 5");
  EXPECT_FALSE(s.GetRootOperator()->IsTableOperator);
  EXPECT_NE(s.GetResult()->TableName(), "t");
  const std::vector<std::string> labels = s.GetResult()->VisibleLabels();
  ASSERT_EQ(labels.size(), 3u);
  EXPECT_EQ(labels[1], "ten");
  EXPECT_EQ(labels[2].rfind("Expr", 0), 0u);
  EXPECT_EQ(TableRows(*s.GetResult()), (Rows{{"3", "30", "x!"},
                                             {"1", "10", "y!"},
                                             {"2", "20", "x!"},
                                             {"1", "10", "z!"},
                                             {"4", "40", "y!"}}));
  // Rows 5 to 14 of the passing rows, with and without computed columns.
  EXPECT_EQ(Query("SELECT TOP 10, 2 a, a + 1 FROM t WHERE a <> 3"),
            (Rows{{"2", "3"}, {"1", "2"}, {"5", "6"}, {"4", "5"}}));
  EXPECT_EQ(Query("SELECT TOP 2 a + 1 AS n FROM t ORDER BY n DESC"), (Rows{{"6"}, {"5"}}));
  EXPECT_EQ(Query("SELECT DISTINCT TOP 2 b || '' AS k FROM t ORDER BY k"), (Rows{{"-"}, {"x"}}));
}

TEST_F(SelectTest, SubQueriesRunOnTheSameDatabase) {
  MakeTable("u", {{"k", ftInteger, 0}}, {{"1"}, {"4"}, {"9"}});
  EXPECT_EQ(Query("SELECT a FROM t WHERE a IN (SELECT k FROM u)"), (Rows{{"1"}, {"1"}, {"4"}}));
  EXPECT_EQ(Query("SELECT a FROM t WHERE a NOT IN (SELECT k FROM u WHERE k > 1) AND a > 2"),
            (Rows{{"3"}, {"5"}}));
  EXPECT_EQ(Query("SELECT a FROM t WHERE a = (SELECT k FROM u WHERE k = 4)"), (Rows{{"4"}}));
  EXPECT_EQ(Query("SELECT a FROM t WHERE EXISTS (SELECT k FROM u WHERE k > 100)"), Rows{});
}

TEST_F(SelectTest, PlanningErrorsCarryTheirTexts) {
  EXPECT_EQ(ErrorOf("SELECT * FROM t ORDER BY missing"),
            "Column 'missing' from ORDER BY clause not found - Native error: 01051");
  EXPECT_EQ(ErrorOf("SELECT a FROM t ORDER BY m"),
            "Field 'm' of type MEMO cannot be used to sort, group or remove duplicates - Native "
            "error: 01095");
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT DISTINCT m FROM t"); }), 1095);
  const std::string aggregate = ErrorOf("SELECT a FROM t WHERE a > 1 AND SUM(a) > 1");
  EXPECT_EQ(aggregate.rfind("Search condition '", 0), 0u) << aggregate;
  EXPECT_NE(aggregate.find("' is not applicable - Native error: 01069"), std::string::npos);
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT q FROM t"); }), 33);
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT * FROM nothere"); }), 4);
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT a FROM t WHERE b > 1 AND (a + a) > 2"); }), 1041);
  EXPECT_EQ(Query("SELECT a FROM t WHERE a > 4 AND 2 < (a + a)"), (Rows{{"5"}}));
}

TEST_F(SelectTest, SelectIntoWritesExactlyTheRowsTheQueryShows) {
  // From a single table: the passing rows, cut by TOP, only the listed fields.
  Run("SELECT TOP 2 a, b INTO t2 FROM t WHERE a > 1 ORDER BY a DESC");
  auto t2 = host_.OpenTable({"t2", "", "", "", false});
  ASSERT_EQ(t2->FieldCount(), 2);
  EXPECT_EQ(TableRows(*t2), (Rows{{"5", "-"}, {"4", "y"}}));
  t2.reset();
  // Computed and distinct.
  Run("SELECT DISTINCT b || '' AS k INTO t3 FROM t");
  auto t3 = host_.OpenTable({"t3", "", "", "", false});
  EXPECT_EQ(TableRows(*t3).size(), 4u);
  t3.reset();
  // Columns take the names the query shows (aliases), made unique.
  Run("SELECT a AS x, a * 2 AS x, b AS bee INTO t4 FROM t WHERE a = 2");
  auto t4 = host_.OpenTable({"t4", "", "", "", false});
  ASSERT_EQ(t4->FieldCount(), 3);
  EXPECT_EQ(t4->FieldName(0), "x");
  EXPECT_EQ(t4->FieldName(1), "x_1");
  EXPECT_EQ(t4->FieldName(2), "bee");
  EXPECT_EQ(TableRows(*t4), (Rows{{"2", "4", "x"}}));
  t4.reset();
  Run("SELECT a AS n INTO t5 FROM t WHERE a > 4");
  auto t5 = host_.OpenTable({"t5", "", "", "", false});
  EXPECT_EQ(t5->FieldName(0), "n");
  t5.reset();
  // An existing table is not replaced.
  EXPECT_EQ(ErrorOf("SELECT * INTO t2 FROM t"),
            "Cannot create table. Table 't2' already exists - Native error: 02117");
  EXPECT_EQ(ErrorOf("SELECT a + 1 AS z INTO t2 FROM t"),
            "Cannot create table. Table 't2' already exists - Native error: 02117");
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT * INTO [../x] FROM t"); }), 1012);
}

TEST_F(SelectTest, LargeIntegersSurviveSelectIntoWhole) {
  MakeTable("big", {{"n", ftLargeint, 0}}, {{"9000000000123"}, {"-9000000000456"}});
  Run("SELECT * INTO big2 FROM big");
  Run("SELECT n + 1 AS n1 INTO big3 FROM big");
  auto big2 = host_.OpenTable({"big2", "", "", "", false});
  EXPECT_EQ(TableRows(*big2), (Rows{{"9000000000123"}, {"-9000000000456"}}));
  auto big3 = host_.OpenTable({"big3", "", "", "", false});
  EXPECT_EQ(big3->FieldType(0), ftLargeint);
  EXPECT_EQ(TableRows(*big3), (Rows{{"9000000000124"}, {"-9000000000455"}}));
}

class JoinSelectTest : public SelectTest {
 protected:
  void SetUp() override {
    SelectTest::SetUp();
    MakeTable("a", {{"id", ftInteger, 0}, {"x", ftInteger, 0}, {"y", ftInteger, 0}},
              {{"1", "10", "1"}, {"2", "20", "2"}, {"3", "30", "3"}, {"4", "-", "4"}});
    MakeTable("b",
              {{"id", ftInteger, 0}, {"x", ftInteger, 0}, {"y", ftInteger, 0}, {"s", ftString, 8}},
              {{"1", "10", "1", "one"}, {"2", "20", "9", "two"}, {"5", "50", "5", "five"}});
    MakeTable("e", {{"id", ftInteger, 0}}, {});
  }
  const TKivoAOJoin* RootJoin() {
    return dynamic_cast<const TKivoAOJoin*>(statement_->GetRootOperator());
  }
};

TEST_F(JoinSelectTest, CommaJoinsMergeOnWhereEqualitiesOrCrossWithoutThem) {
  EXPECT_EQ(Query("SELECT a.id, b.s FROM a, b WHERE a.id = b.id"),
            (Rows{{"1", "one"}, {"2", "two"}}));
  ASSERT_NE(RootJoin(), nullptr);
  EXPECT_EQ(RootJoin()->JoinType(), jtInner);
  EXPECT_EQ(Query("SELECT * FROM a, b").size(), 12u);
  EXPECT_EQ(RootJoin()->JoinType(), jtCross);
  // An inner join written with no equality is a filtered cross join.
  EXPECT_EQ(Query("SELECT a.id, b.id FROM a JOIN b ON a.id > b.id ORDER BY a.id"),
            (Rows{{"2", "1"}, {"3", "1"}, {"3", "2"}, {"4", "1"}, {"4", "2"}}));
  EXPECT_EQ(ErrorOf("SELECT * FROM t t1, t t1"),
            "Duplicate table pseudonym 't1' - Native error: 01093");
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT * FROM a, b WHERE id = b.x"); }), 1054);
}

TEST_F(JoinSelectTest, OuterJoinsKeepUnmatchedRowsAndFilterOnlyAfterTheJoin) {
  EXPECT_EQ(Query("SELECT a.id, b.s FROM a LEFT JOIN b ON a.id = b.id"),
            (Rows{{"1", "one"}, {"2", "two"}, {"3", "-"}, {"4", "-"}}));
  EXPECT_EQ(Query("SELECT a.id, e.id FROM a LEFT JOIN e ON a.id = e.id").size(), 4u);
  EXPECT_EQ(Query("SELECT a.id FROM a JOIN e ON a.id = e.id"), Rows{});
  // The ON residue decides matches inside the join: row 2 has a match by
  // id whose s fails it, and still appears once, null-extended.
  EXPECT_EQ(Query("SELECT a.id, b.s FROM a LEFT JOIN b ON a.id = b.id AND b.s = 'one'"),
            (Rows{{"1", "one"}, {"2", "-"}, {"3", "-"}, {"4", "-"}}));
  // A WHERE equality of an outer join filters the joined rows (a NULL
  // never equals); it is not a second merge key.
  EXPECT_EQ(Query("SELECT a.id, b.id FROM a LEFT JOIN b ON a.id = b.id WHERE a.y = b.y"),
            (Rows{{"1", "1"}}));
  // Null-extended fields keep their type: LIKE works on them.
  EXPECT_EQ(Query("SELECT a.id FROM a LEFT JOIN b ON a.id = b.id WHERE b.s LIKE 't%'"),
            (Rows{{"2"}}));
  EXPECT_EQ(Query("SELECT a.id, b.id FROM a RIGHT JOIN b ON a.x = b.x"),
            (Rows{{"1", "1"}, {"2", "2"}, {"-", "5"}}));
  EXPECT_EQ(Query("SELECT a.id, b.id FROM a FULL JOIN b ON a.x = b.x").size(), 5u);
}

TEST_F(SelectTest, GroupingGivesOneRowPerKeyAndHavingSeesTheGroupsAggregates) {
  EXPECT_EQ(Query("SELECT a, COUNT(*) FROM t GROUP BY a"),
            (Rows{{"1", "2"}, {"2", "1"}, {"3", "1"}, {"4", "1"}, {"5", "1"}}));
  EXPECT_EQ(
      Query("SELECT b, COUNT(*), SUM(a), MAX(a) FROM t GROUP BY b"),
      (Rows{
          {"-", "1", "5", "5"}, {"x", "2", "5", "3"}, {"y", "2", "5", "4"}, {"z", "1", "1", "1"}}));
  // The aggregate of HAVING is not in the select list and is counted per
  // group, not per row.
  EXPECT_EQ(Query("SELECT b FROM t GROUP BY b HAVING COUNT(*) > 1"), (Rows{{"x"}, {"y"}}));
  EXPECT_EQ(Query("SELECT b, SUM(a) AS total FROM t GROUP BY b HAVING SUM(a) = 5 ORDER BY b"),
            (Rows{{"-", "5"}, {"x", "5"}, {"y", "5"}}));
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT a, COUNT(*) FROM t"); }), 49);
  EXPECT_EQ(NativeErrorOf([&] { Run("SELECT m, COUNT(*) FROM t GROUP BY m"); }), 1095);
  MakeTable("none", {{"n", ftInteger, 0}}, {});
  EXPECT_EQ(Query("SELECT COUNT(*), SUM(n) FROM none"), (Rows{{"0", "-"}}));
  EXPECT_EQ(Query("SELECT n, COUNT(*) FROM none GROUP BY n"), Rows{});
}

TEST_F(SelectTest, SetOperationsCombineTheirSelects) {
  MakeTable("p", {{"v", ftInteger, 0}}, {{"1"}, {"2"}});
  MakeTable("q", {{"v", ftInteger, 0}}, {{"2"}, {"3"}});
  EXPECT_EQ(Query("SELECT v FROM p UNION SELECT v FROM q"), (Rows{{"1"}, {"2"}, {"3"}}));
  EXPECT_EQ(Query("SELECT v FROM p UNION ALL SELECT v FROM q"), (Rows{{"1"}, {"2"}, {"2"}, {"3"}}));
  EXPECT_EQ(Query("SELECT v FROM p INTERSECT SELECT v FROM q"), (Rows{{"2"}}));
  EXPECT_EQ(Query("SELECT v FROM p EXCEPT SELECT v FROM q"), (Rows{{"1"}}));
  EXPECT_EQ(Query("(SELECT v FROM p) MINUS (SELECT v FROM q WHERE v > 2)"), (Rows{{"1"}, {"2"}}));
}

TEST_F(SelectTest, NestedSubQueriesRunDeepWithoutTrouble) {
  // Each level runs a statement of its own while the outer one evaluates.
  std::string sql = "SELECT a FROM t WHERE a = 1";
  for (int i = 0; i < 40; ++i) sql = "SELECT a FROM t WHERE a IN (" + sql + ")";
  EXPECT_EQ(Query(sql), (Rows{{"1"}, {"1"}}));
}

TEST_F(SelectTest, StatementsCanBeRunAgain) {
  lexer_ = std::make_unique<TKivoLexer>("SELECT a * 2 AS d FROM t WHERE a > 3");
  lexer_->NextCommand();
  TKivoSQLUnion statement(*lexer_);
  statement.Execute(host_, false);
  EXPECT_EQ(TableRows(*statement.GetResult()), (Rows{{"10"}, {"8"}}));
  statement.Execute(host_, false);
  EXPECT_EQ(TableRows(*statement.GetResult()), (Rows{{"10"}, {"8"}}));
}

}  // namespace
}  // namespace kivo::testing
