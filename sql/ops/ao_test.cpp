// The shared operator behaviour on real tables: links and names, reading
// fields, materializing with a condition, limits and DISTINCT, ordering,
// and the table operator and projection.
#include "sql/ops/ao.h"

#include <gtest/gtest.h>

#include "sql/ops/ao_table.h"
#include "sql/ops/ops_test_support.h"

namespace kivo::testing {
namespace {

class AOTest : public OperatorTest {
 protected:
  void SetUp() override {
    MakeTable("t", {{"a", ftInteger, 0}, {"b", ftString, 10}, {"m", ftMemo, 0}},
              {{"3", "x", "m3"},
               {"1", "y", "m1"},
               {"2", "x", "m2"},
               {"1", "z", "m1b"},
               {"5", "-", "m5"}});
  }
  std::unique_ptr<TKivoAOTable> Table(const std::string& alias = {}) {
    return std::make_unique<TKivoAOTable>(run_, "t", "", false, "", "", alias);
  }
  std::unique_ptr<TKivoAOTableExpr> Projection(std::vector<TZorSelectListItem> items,
                                               bool distinct = false) {
    auto p = std::make_unique<TKivoAOTableExpr>(run_, Table("u"));
    p->DefineFields(items, distinct);
    return p;
  }
};

TEST_F(AOTest, TableOperatorLinksAreTheFieldsHiddenUntilReferencedAndMatchByNameOrAlias) {
  auto t = Table("u");
  ASSERT_EQ(t->LinkCount(), 3);
  EXPECT_TRUE(t->Materialized);
  for (const TZorFieldLink& link : t->Links) EXPECT_TRUE(link.Hidden);
  EXPECT_EQ(t->Links[1].DataType, ftString);
  EXPECT_EQ(t->Links[1].Size, 10);

  std::vector<int> found;
  EXPECT_EQ(t->FindFields("B", "", found, false), 1);
  EXPECT_EQ(found, std::vector<int>{1});
  EXPECT_TRUE(t->Links[1].Hidden);
  found.clear();
  EXPECT_EQ(t->FindFields("b", "U", found, true), 1);
  EXPECT_FALSE(t->Links[1].Hidden);
  found.clear();
  EXPECT_EQ(t->FindFields("b", "other", found, false), 0);
  EXPECT_EQ(t->FindFields("*", "t", found, false), 3);

  TZorValue v;
  EXPECT_EQ(NativeErrorOf([&] { t->ReadField(v, 3, true); }), 41);
  EXPECT_EQ(NativeErrorOf([&] { t->ReadField(v, 0, false); }), 16);
  EXPECT_EQ(NativeErrorOf([&] { t->GetFieldName(-1, true); }), 11);
  EXPECT_EQ(OperatorRows(*t, {0, 1}),
            (Rows{{"3", "x"}, {"1", "y"}, {"2", "x"}, {"1", "z"}, {"5", "-"}}));

  // Item qualifiers must name the table or its alias.
  std::vector<TZorSelectListItem> items;
  items.push_back(FieldItem("v", "a"));
  EXPECT_EQ(MessageOf([&] { t->DefineFields(items, false); }),
            "Invalid table name. Table name = 't', alias = 'u', invalid table name = 'v' - "
            "Native error: 00014");
}

TEST_F(AOTest, TableOperatorFiltersLimitsAndOrdersTheBaseTableItself) {
  auto t = Table();
  std::vector<TZorSelectListItem> items;
  items.push_back(FieldItem("", "b", "bee"));
  items.push_back(FieldItem("t", "a"));
  t->DefineFields(items, false);
  ParsedExpression condition("a < 5", true);
  t->SetCondition(condition.Take());
  t->SetOrder("a", "a", "");
  t->SetLimits(2, 2);
  t->Prepare(false);
  EXPECT_EQ(t->Result()->VisibleLabels(), (std::vector<std::string>{"bee", "a"}));
  // Rows 2 and 3 of those with a < 5, by a descending.
  EXPECT_EQ(TableRows(*t->Result()), (Rows{{"x", "2"}, {"y", "1"}}));
}

TEST_F(AOTest, ComputedItemsAreNamedByAliasOrExprAndRepeatedNamesMadeUnique) {
  std::vector<TZorSelectListItem> items;
  items.push_back(ExprItem("a + 1", "X"));
  items.push_back(ExprItem("a * 2", "x"));
  items.push_back(ExprItem("a - 1", "X"));
  items.push_back(ExprItem("a || 'q'"));
  items.push_back(FieldItem("", "b"));
  auto p = Projection(std::move(items));
  ASSERT_EQ(p->OutputFields.size(), 5u);
  std::vector<std::string> names;
  for (int n : p->OutputFields) names.push_back(p->Links[static_cast<std::size_t>(n)].FieldName);
  EXPECT_EQ(names[0], "X");
  EXPECT_EQ(names[1], "x_1");
  EXPECT_EQ(names[2], "X_12");
  EXPECT_EQ(names[3].rfind("Expr", 0), 0u);
  EXPECT_GT(names[3].size(), 4u);
  EXPECT_EQ(names[4], "b");
  EXPECT_EQ(p->Links[static_cast<std::size_t>(p->OutputFields[2])].DisplayName, "X");

  p->Prepare(false);
  ASSERT_TRUE(p->Materialized);
  EXPECT_EQ(p->Left, nullptr);
  Rows rows = TableRows(*p->Result());
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0], (Row{"4", "6", "2", "3q", "x"}));
  EXPECT_EQ(rows[4], (Row{"6", "10", "4", "5q", "-"}));
}

TEST_F(AOTest, MaterializeCountsTheLimitsOverPassingRowsOnly) {
  std::vector<TZorSelectListItem> items;
  items.push_back(FieldItem("", "a"));
  items.push_back(ExprItem("b || '!'", "e"));
  auto p = Projection(std::move(items));
  // The condition sits on the projection itself (not pushed to the table):
  // rows 1 and 2 of those that pass, whatever fails before them.
  ParsedExpression condition("a <> 3", true);
  p->SetCondition(condition.Take());
  p->SetLimits(2, 2);
  p->Prepare(false);
  EXPECT_EQ(p->RowLimit, -1);
  EXPECT_EQ(p->FirstRow, -1);
  EXPECT_EQ(TableRows(*p->Result()), (Rows{{"2", "x!"}, {"1", "z!"}}));
}

TEST_F(AOTest, TopAppliesAfterDistinctNotBeforeIt) {
  std::vector<TZorSelectListItem> items;
  items.push_back(ExprItem("b || ''", "k"));
  auto p = Projection(std::move(items), true);
  EXPECT_EQ(p->OutputFieldList, "k");
  p->SetLimits(-1, 3);
  p->Prepare(false);
  // Cut first, x, y, x would leave two distinct values; the limit stays
  // with the result, which removes duplicates before it cuts.
  EXPECT_EQ(p->RowLimit, 3);
  p->Result()->SetLimits(p->FirstRow, p->RowLimit);
  EXPECT_EQ(TableRows(*p->Result()), (Rows{{"x"}, {"y"}, {"z"}}));
}

TEST_F(AOTest, ConditionMustBeBooleanAndHiddenOutputIsRefused) {
  std::vector<TZorSelectListItem> items;
  items.push_back(FieldItem("", "a"));
  auto p = Projection(std::move(items));
  ParsedExpression condition("a + 1", false);
  p->SetCondition(condition.Take());
  EXPECT_EQ(MessageOf([&] { p->Prepare(false); }),
            "Filter expression should be Boolean. Filter type = 3 - Native error: 00047");

  std::vector<TZorSelectListItem> more;
  more.push_back(FieldItem("", "b"));
  auto q = Projection(std::move(more));
  q->Links[static_cast<std::size_t>(q->OutputFields[0])].Hidden = true;
  EXPECT_EQ(NativeErrorOf([&] { q->Prepare(false); }), 24);
}

TEST_F(AOTest, MemoFieldsCannotBeSortedOrMadeDistinctAndNothingIsMaterialized) {
  std::vector<TZorSelectListItem> items;
  items.push_back(FieldItem("", "m"));
  auto p = Projection(std::move(items));
  EXPECT_EQ(MessageOf([&] { p->SetOrder("m", "", ""); }),
            "Field 'm' of type MEMO cannot be used to sort, group or remove duplicates - Native "
            "error: 01095");
  EXPECT_FALSE(p->Materialized);

  std::vector<TZorSelectListItem> distinct;
  distinct.push_back(FieldItem("", "a"));
  distinct.push_back(FieldItem("", "m"));
  auto q = std::make_unique<TKivoAOTableExpr>(run_, Table());
  EXPECT_EQ(NativeErrorOf([&] { q->DefineFields(distinct, true); }), 1095);
}

TEST_F(AOTest, AndedConditionsMergeIntoOneConjunction) {
  auto t = Table();
  ParsedExpression c1("a > 1", true);
  ParsedExpression c2("a < 5 AND b = 'x'", true);
  t->AddCondition(c1.Take()->TakeRoot());
  t->AddCondition(c2.Take()->TakeRoot());
  ASSERT_NE(t->Condition, nullptr);
  EXPECT_EQ(t->Condition->Root()->Operator, opAnd);
  EXPECT_EQ(t->Condition->Root()->ChildCount(), 3);
  t->Prepare(false);
  EXPECT_EQ(OperatorRows(*t, {0}), (Rows{{"3"}, {"2"}}));
}

TEST_F(AOTest, SelectIntoAnExistingTableIsRefusedLikeCreateTable) {
  std::vector<TZorSelectListItem> items;
  items.push_back(ExprItem("a * 10", "ten"));
  auto p = Projection(std::move(items));
  p->SetResultTable(false, "t", "");
  EXPECT_EQ(MessageOf([&] { p->Prepare(false); }),
            "Cannot create table. Table 't' already exists - Native error: 02117");
  std::vector<TZorSelectListItem> again;
  again.push_back(ExprItem("a * 10", "ten"));
  auto r = std::make_unique<TKivoAOTableExpr>(run_, Table());
  r->DefineFields(again, false);
  r->SetResultTable(false, "tens", "");
  r->Prepare(false);
  r.reset();
  auto tens = host_.OpenTable({"tens", "", "", "", false});
  EXPECT_EQ(TableRows(*tens), (Rows{{"30"}, {"10"}, {"20"}, {"10"}, {"50"}}));
}

}  // namespace
}  // namespace kivo::testing
