// UNION, INTERSECT and EXCEPT over real tables: the set results, field
// pairing and its refusals, inputs of different types, and a randomized
// comparison with multiset arithmetic.
#include "sql/ops/ao_union.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "sql/ops/ao_keys.h"
#include "sql/ops/ao_table.h"
#include "sql/ops/ops_test_support.h"

namespace kivo::testing {
namespace {

constexpr std::uint8_t kU = TKivoAOUnion::kUnion;
constexpr std::uint8_t kI = TKivoAOUnion::kIntersect;
constexpr std::uint8_t kE = TKivoAOUnion::kExcept;

Rows Sorted(Rows rows) {
  std::sort(rows.begin(), rows.end());
  return rows;
}

class UnionTest : public OperatorTest {
 protected:
  void SetUp() override {
    MakeTable("t1", {{"a", ftInteger, 0}}, {{"1"}, {"2"}});
    MakeTable("t2", {{"a", ftInteger, 0}}, {{"2"}, {"3"}});
    MakeTable("dup", {{"a", ftInteger, 0}}, {{"2"}, {"1"}, {"2"}, {"1"}});
    MakeTable("one", {{"a", ftInteger, 0}}, {{"1"}});
  }

  // A table input showing `fields` (all when empty), as the planner leaves it.
  std::unique_ptr<TKivoAO> Input(const std::string& table,
                                 const std::vector<std::string>& fields = {},
                                 const std::string& condition = {}) {
    auto input = std::make_unique<TKivoAOTable>(run_, table, "", false, "", "", "");
    std::vector<TZorSelectListItem> items;
    for (const std::string& field : fields) items.push_back(FieldItem("", field));
    input->DefineFields(items, false);
    if (!condition.empty()) input->SetCondition(ParsedExpression(condition, true).Take());
    return input;
  }

  std::unique_ptr<TKivoAOUnion> Make(std::unique_ptr<TKivoAO> left, std::unique_ptr<TKivoAO> right,
                                     std::uint8_t type, bool distinct, bool corresponding = false,
                                     std::vector<std::string> by = {}) {
    auto op = std::make_unique<TKivoAOUnion>(run_, std::move(left), std::move(right), type,
                                             distinct, corresponding, std::move(by));
    std::vector<TZorSelectListItem> all;
    op->DefineFields(all, false);
    op->Prepare(false);
    return op;
  }

  Rows Run(std::unique_ptr<TKivoAO> left, std::unique_ptr<TKivoAO> right, std::uint8_t type,
           bool distinct) {
    return TableRows(*Make(std::move(left), std::move(right), type, distinct)->Result());
  }

  // One set operation of two whole tables and its rows, in any order.
  struct SetCase {
    const char* left;
    const char* right;
    std::uint8_t type;
    bool distinct;
    Rows expected;
  };
  template <std::size_t N>
  void Check(const SetCase (&cases)[N]) {
    for (const SetCase& c : cases) {
      SCOPED_TRACE(std::string(c.left) + " " + std::to_string(c.type) + " " + c.right +
                   (c.distinct ? "" : " ALL"));
      EXPECT_EQ(Sorted(Run(Input(c.left), Input(c.right), c.type, c.distinct)), c.expected);
    }
  }
};

TEST_F(UnionTest, SetOperationsOfSmallTablesGiveTheStandardResults) {
  const SetCase cases[] = {
      {"t1", "t2", kU, true, {{"1"}, {"2"}, {"3"}}},
      {"t1", "t2", kU, false, {{"1"}, {"2"}, {"2"}, {"3"}}},
      {"t1", "t2", kI, true, {{"2"}}},
      {"t1", "t2", kE, true, {{"1"}}},
      // Without ALL each row once; with ALL every left row that has (has
      // no) equal right row.
      {"dup", "one", kI, true, {{"1"}}},
      {"dup", "one", kI, false, {{"1"}, {"1"}}},
      {"dup", "one", kE, true, {{"2"}}},
      {"dup", "one", kE, false, {{"2"}, {"2"}}},
      {"t2", "t1", kE, false, {{"3"}}},
      {"one", "t2", kI, true, {}},
  };
  Check(cases);
  // UNION ALL keeps the inputs' order: left rows, then right rows.
  EXPECT_EQ(Run(Input("t2"), Input("t1"), kU, false), (Rows{{"2"}, {"3"}, {"1"}, {"2"}}));
  // An empty left side: the right rows alone.
  EXPECT_EQ(Run(Input("t1", {}, "a > 5"), Input("t2"), kU, false), (Rows{{"2"}, {"3"}}));
  // A condition on a table input still holds once the merge orders it.
  EXPECT_EQ(Run(Input("dup", {}, "a > 1"), Input("t2"), kI, false), (Rows{{"2"}, {"2"}}));
}

TEST_F(UnionTest, FieldsPairByCorrespondingNameByListOrPosition) {
  MakeTable("l", {{"a", ftInteger, 0}, {"b", ftString, 4}, {"c", ftInteger, 0}},
            {{"1", "x", "10"}, {"2", "y", "20"}});
  MakeTable("r", {{"C", ftInteger, 0}, {"z", ftString, 12}, {"a", ftInteger, 0}},
            {{"30", "longer text", "3"}});

  auto byName = Make(Input("l"), Input("r"), kU, false, true);
  ASSERT_EQ(byName->LinkCount(), 2);
  EXPECT_EQ(byName->Result()->VisibleFields(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(TableRows(*byName->Result()), (Rows{{"1", "10"}, {"2", "20"}, {"3", "30"}}));

  auto byList = Make(Input("l"), Input("r"), kE, true, true, {"c", "C"});
  EXPECT_EQ(byList->Result()->VisibleFields(), (std::vector<std::string>{"c"}));
  EXPECT_EQ(TableRows(*byList->Result()), (Rows{{"10"}, {"20"}}));

  // By position, over the fields each input shows; the link takes the left
  // name and type and the larger size, so long right texts stay whole.
  auto byPosition = Make(Input("l", {"c", "b"}), Input("r", {"a", "z"}), kU, false);
  ASSERT_EQ(byPosition->LinkCount(), 2);
  EXPECT_EQ(byPosition->Links[1].FieldName, "b");
  EXPECT_EQ(byPosition->Links[1].DataType, ftString);
  EXPECT_EQ(byPosition->Links[1].Size, 12);
  EXPECT_EQ(TableRows(*byPosition->Result()),
            (Rows{{"10", "x"}, {"20", "y"}, {"3", "longer text"}}));
}

TEST_F(UnionTest, PairingAndTypeRefusalsRaiseTheirMessages) {
  MakeTable("l", {{"a", ftInteger, 0}, {"b", ftString, 4}, {"c", ftInteger, 0}}, {});
  MakeTable("m", {{"m", ftMemo, 0}}, {{"memo"}});
  MakeTable("s", {{"s", ftString, 10}}, {{"memo"}});
  struct Case {
    const char* left;
    const char* right;
    std::uint8_t type;
    bool distinct;
    bool corresponding;
    std::vector<std::string> by;
    const char* message;
  };
  const Case cases[] = {
      {"l",
       "t1",
       kU,
       false,
       false,
       {},
       "Different Length of arrays. Length1 = 3, Length2 = 1. - "
       "Native error: 00035"},
      {"l",
       "t1",
       kU,
       false,
       true,
       {"a", "b"},
       "Different Length of arrays. Length1 = 2, "
       "Length2 = 1. - Native error: 00035"},
      {"l", "t1", kU, false, true, {"q"}, "Array is empty. ItemCount = 0 - Native error: 00037"},
      {"s", "t1", kU, false, true, {}, "Array is empty. ItemCount = 0 - Native error: 00036"},
      // No common type.
      {"m", "t1", kU, false, false, {}, "Array is empty. ItemCount = 0 - Native error: 00036"},
      // A memo has a common type with a string but no order: fine for
      // UNION ALL only.
      {"m", "s", kU, true, false, {}, "Array is empty. ItemCount = 0 - Native error: 00036"},
      {"m", "s", kI, false, false, {}, "Array is empty. ItemCount = 0 - Native error: 00036"},
      {"t1", "t2", 3, false, false, {}, "Invalid union type = 3. - Native error: 00040"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(MessageOf([&] {
                Make(Input(c.left), Input(c.right), c.type, c.distinct, c.corresponding, c.by);
              }),
              c.message);
  }
  EXPECT_EQ(TableRows(*Make(Input("m"), Input("s"), kU, false)->Result()),
            (Rows{{"memo"}, {"memo"}}));
}

TEST_F(UnionTest, KeyComparisonPutsNullFirstAndReportsTypeErrorsByField) {
  TZorValue null;
  TZorValue one;
  one.SetInteger(1);
  TZorValue text;
  text.SetString("2");
  TZorValue memo;
  memo.SetMemo("x");
  EXPECT_EQ(CompareKeyValues(null, null, 38, 39, "a", "b"), 0);
  EXPECT_EQ(CompareKeyValues(null, one, 38, 39, "a", "b"), -1);
  EXPECT_EQ(CompareKeyValues(one, null, 38, 39, "a", "b"), 1);
  EXPECT_EQ(CompareKeyValues(one, text, 38, 39, "a", "b"), -1);
  EXPECT_EQ(MessageOf([&] { CompareKeyValues(memo, one, 38, 39, "a", "b"); }),
            "Invalid type cast. Field1 = 'a', Field2 = 'b'. - Native error: 00038");
}

TEST_F(UnionTest, PairsOfDifferentTypesAreOrderedAndMatchedInTheirComparisonType) {
  // As text '10' < '7' < '9'; as numbers 7 < 9 < 10: each side ordered in
  // its own type would make the merge miss matches.
  MakeTable("texts", {{"s", ftString, 5}}, {{"10"}, {"9"}, {"7"}, {kNull}});
  MakeTable("numbers", {{"n", ftInteger, 0}}, {{"9"}, {"100"}, {"10"}, {kNull}});
  const SetCase cases[] = {
      {"texts", "numbers", kI, false, {{"-"}, {"10"}, {"9"}}},
      {"texts", "numbers", kE, false, {{"7"}}},
      {"numbers", "texts", kI, true, {{"-"}, {"10"}, {"9"}}},
      {"numbers", "texts", kE, true, {{"100"}}},
      // Right values are written in the left type, then made distinct.
      {"texts", "numbers", kU, true, {{"-"}, {"10"}, {"100"}, {"7"}, {"9"}}},
  };
  Check(cases);
  auto op = Make(Input("texts"), Input("numbers"), kI, false);
  EXPECT_EQ(op->Links[0].DataType, ftString);
  EXPECT_EQ(op->Result()->VisibleFields(), (std::vector<std::string>{"s"}));
}

// Random small tables of two fields with NULLs and duplicates, against the
// same operations on multisets of rows (NULL equal to NULL).
TEST_F(UnionTest, RandomTablesMatchMultisetArithmetic) {
  std::mt19937 random(20261210);
  auto randomRows = [&] {
    const char* numbers[] = {kNull, "0", "1", "2"};
    const char* texts[] = {kNull, "x", "y"};
    Rows rows(random() % 7);
    for (Row& row : rows) row = {numbers[random() % 4], texts[random() % 3]};
    return rows;
  };
  auto distinctOf = [](Rows rows) {
    rows = Sorted(std::move(rows));
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
  };
  for (int round = 0; round < 6; ++round) {
    const Rows left = randomRows();
    const Rows right = randomRows();
    const std::string l = "l" + std::to_string(round);
    const std::string r = "r" + std::to_string(round);
    MakeTable(l, {{"a", ftInteger, 0}, {"b", ftString, 2}}, left);
    MakeTable(r, {{"a", ftInteger, 0}, {"b", ftString, 2}}, right);

    Rows all = left;
    all.insert(all.end(), right.begin(), right.end());
    Rows both;
    Rows leftOnly;
    for (const Row& row : left) {
      const bool found = std::find(right.begin(), right.end(), row) != right.end();
      (found ? both : leftOnly).push_back(row);
    }
    SCOPED_TRACE("round " + std::to_string(round));
    EXPECT_EQ(Sorted(Run(Input(l), Input(r), kU, false)), Sorted(all));
    EXPECT_EQ(Sorted(Run(Input(l), Input(r), kU, true)), distinctOf(all));
    EXPECT_EQ(Sorted(Run(Input(l), Input(r), kI, false)), Sorted(both));
    EXPECT_EQ(Sorted(Run(Input(l), Input(r), kI, true)), distinctOf(both));
    EXPECT_EQ(Sorted(Run(Input(l), Input(r), kE, false)), Sorted(leftOnly));
    EXPECT_EQ(Sorted(Run(Input(l), Input(r), kE, true)), distinctOf(leftOnly));
  }
}

}  // namespace
}  // namespace kivo::testing
