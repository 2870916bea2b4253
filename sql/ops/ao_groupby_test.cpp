// Grouping over real tables: groups as runs of equal keys with the last
// row's plain values, HAVING with its own aggregates, empty inputs, the
// select-list refusals, and a randomized comparison with counts and sums
// computed here.
#include "sql/ops/ao_groupby.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "sql/ops/ao_table.h"
#include "sql/ops/ops_test_support.h"

namespace kivo::testing {
namespace {

class GroupTest : public OperatorTest {
 protected:
  void SetUp() override {
    // Ordered by a, the keys run 1, 1, 2, 2, 2; within a key the rows keep
    // their order, so the last rows are b = 11 and b = 22.
    MakeTable(
        "g", {{"a", ftInteger, 0}, {"b", ftInteger, 0}, {"m", ftMemo, 0}},
        {{"2", "20", "p"}, {"1", "10", "q"}, {"2", "21", "r"}, {"1", "11", "s"}, {"2", "22", "t"}});
    MakeTable("empty", {{"a", ftInteger, 0}, {"b", ftInteger, 0}}, {});
  }

  std::unique_ptr<TKivoAOGroupBy> Group(const std::string& table,
                                        const std::vector<std::string>& groupNames,
                                        std::vector<TZorSelectListItem> items,
                                        const std::string& having = {},
                                        const std::string& where = {}) {
    auto input = std::make_unique<TKivoAOTable>(run_, table, "", false, "", "", "");
    if (!where.empty()) input->SetCondition(ParsedExpression(where, true).Take());
    TZorFields fields;
    for (const std::string& name : groupNames) fields.Add(FieldItem("", name));
    auto op = std::make_unique<TKivoAOGroupBy>(run_, std::move(input), fields);
    op->DefineFields(items, false);
    if (!having.empty()) op->SetCondition(ParsedExpression(having, true).Take());
    op->Prepare(false);
    return op;
  }
};

std::vector<TZorSelectListItem> KeyOnly() {
  std::vector<TZorSelectListItem> items;
  items.push_back(FieldItem("", "a"));
  return items;
}

std::vector<TZorSelectListItem> KeyCountSumLast() {
  std::vector<TZorSelectListItem> items;
  items.push_back(FieldItem("", "a"));
  items.push_back(ExprItem("COUNT(*)", "n"));
  items.push_back(ExprItem("SUM(b)", "total"));
  items.push_back(ExprItem("b * 1", "lastb"));
  return items;
}

TEST_F(GroupTest, EachRunOfEqualKeysIsOneGroupReadAtItsLastRow) {
  EXPECT_EQ(TableRows(*Group("g", {"a"}, KeyCountSumLast())->Result()),
            (Rows{{"1", "2", "21", "11"}, {"2", "3", "63", "22"}}));
  // Rows the input's condition drops are not part of any group.
  EXPECT_EQ(TableRows(*Group("g", {"a"}, KeyCountSumLast(), {}, "b <> 22 AND b <> 10")->Result()),
            (Rows{{"1", "1", "11", "11"}, {"2", "2", "41", "21"}}));

  // NULL keys form one group of their own, first.
  MakeTable("n", {{"a", ftInteger, 0}, {"b", ftInteger, 0}},
            {{kNull, "1"}, {"5", "2"}, {kNull, "3"}, {"5", "4"}, {"6", "5"}});
  EXPECT_EQ(TableRows(*Group("n", {"a"}, KeyCountSumLast())->Result()),
            (Rows{{kNull, "2", "4", "3"}, {"5", "2", "6", "4"}, {"6", "1", "5", "5"}}));
}

TEST_F(GroupTest, HavingAggregatesAreComputedPerGroupEvenOutsideTheSelectList) {
  EXPECT_EQ(TableRows(*Group("g", {"a"}, KeyOnly(), "COUNT(*) > 2")->Result()), (Rows{{"2"}}));
  EXPECT_EQ(TableRows(*Group("g", {"a"}, KeyOnly(), "SUM(b) < 30")->Result()), (Rows{{"1"}}));
  EXPECT_EQ(
      TableRows(*Group("g", {"a"}, KeyCountSumLast(), "MAX(b) > 20 AND COUNT(*) < 3")->Result()),
      (Rows{}));
  EXPECT_EQ(TableRows(*Group("g", {"a"}, KeyCountSumLast(), "MIN(b) >= 10 AND a = 1")->Result()),
            (Rows{{"1", "2", "21", "11"}}));
}

TEST_F(GroupTest, WithoutGroupingFieldsTheWholeInputIsOneGroupEvenWhenEmpty) {
  auto aggregates = [] {
    std::vector<TZorSelectListItem> items;
    items.push_back(ExprItem("COUNT(*)", "n"));
    items.push_back(ExprItem("SUM(b)", "total"));
    items.push_back(ExprItem("COUNT(b)", "nb"));
    return items;
  };
  EXPECT_EQ(TableRows(*Group("g", {}, aggregates())->Result()), (Rows{{"5", "84", "5"}}));
  EXPECT_EQ(TableRows(*Group("empty", {}, aggregates())->Result()), (Rows{{"0", kNull, "0"}}));
  EXPECT_EQ(TableRows(*Group("empty", {}, aggregates(), "COUNT(*) > 0")->Result()), (Rows{}));
  EXPECT_EQ(TableRows(*Group("empty", {"a"}, aggregates())->Result()), (Rows{}));
  // A field read outside an aggregate reads NULL for the empty group.
  std::vector<TZorSelectListItem> items = aggregates();
  items.push_back(ExprItem("b + 1", "next"));
  EXPECT_EQ(TableRows(*Group("empty", {}, std::move(items))->Result()),
            (Rows{{"0", kNull, "0", kNull}}));
}

TEST_F(GroupTest, GroupingAndSelectListRefusalsRaiseTheirMessages) {
  struct Case {
    std::vector<std::string> group;
    TZorSelectListItem item;
    const char* message;
  };
  Case cases[] = {
      {{"zz"},
       FieldItem("", "a"),
       "Invalid field. Table name = '', FieldName = 'zz', i = 0, FieldExists = 0 - Native error: "
       "00046"},
      {{"a", "m"},
       FieldItem("", "a"),
       "Field 'm' of type MEMO cannot be used to sort, group or remove duplicates - Native error: "
       "01095"},
      {{"a"},
       FieldItem("", "zz"),
       "Field not found. Table name = '', Field name = 'zz' - Native error: 00048"},
      {{"a"},
       FieldItem("g", "b"),
       "Field is not included in GROUP BY list. Table name = 'g', Field name = 'b', FieldNo = 1, "
       "Found field name = 'b' - Native error: 00049"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<TZorSelectListItem> items;
    items.push_back(std::move(c.item));
    EXPECT_EQ(MessageOf([&] { Group("g", c.group, std::move(items)); }), c.message);
  }
}

// Random small tables with NULLs and duplicate keys, grouped by one or two
// fields, against counts and sums per key computed here.
TEST_F(GroupTest, RandomTablesMatchCountsAndSumsPerKey) {
  std::mt19937 random(1210);
  const char* keys[] = {kNull, "0", "1", "2"};
  const char* texts[] = {kNull, "x", "y"};
  const char* values[] = {kNull, "1", "5", "7", "-3"};
  for (int round = 0; round < 8; ++round) {
    Rows rows(random() % 12);
    for (Row& row : rows) row = {keys[random() % 4], texts[random() % 3], values[random() % 5]};
    const std::string name = "r" + std::to_string(round);
    MakeTable(name, {{"a", ftInteger, 0}, {"c", ftString, 2}, {"b", ftInteger, 0}}, rows);
    const bool twoKeys = round % 2 == 1;

    struct Totals {
      int count = 0;
      int counted = 0;
      long long sum = 0;
    };
    std::map<Row, Totals> expected;
    for (const Row& row : rows) {
      Totals& totals = expected[twoKeys ? Row{row[0], row[1]} : Row{row[0]}];
      ++totals.count;
      if (row[2] != kNull) {
        ++totals.counted;
        totals.sum += std::stoll(row[2]);
      }
    }
    Rows want;
    for (const auto& [key, totals] : expected) {
      Row row = key;
      row.push_back(std::to_string(totals.count));
      row.push_back(std::to_string(totals.counted));
      row.push_back(totals.counted == 0 ? kNull : std::to_string(totals.sum));
      want.push_back(std::move(row));
    }

    std::vector<TZorSelectListItem> items;
    items.push_back(FieldItem("", "a"));
    if (twoKeys) items.push_back(FieldItem("", "c"));
    items.push_back(ExprItem("COUNT(*)", "n"));
    items.push_back(ExprItem("COUNT(b)", "nb"));
    items.push_back(ExprItem("SUM(b)", "total"));
    std::vector<std::string> group{"a"};
    if (twoKeys) group.push_back("c");
    Rows got = TableRows(*Group(name, group, std::move(items))->Result());
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(got, want);
  }
}

}  // namespace
}  // namespace kivo::testing
