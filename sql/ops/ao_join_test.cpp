// The join operator on real tables: cross, inner and outer joins, NULL and
// repeated keys, keys of different types, the join condition of outer
// joins, the key checks, and a randomized comparison with nested loops.
#include "sql/ops/ao_join.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "sql/ops/ao_table.h"
#include "sql/ops/ops_test_support.h"

namespace kivo::testing {
namespace {

using Key = std::pair<std::string, std::string>;  // qualifier, field name

TZorFields KeyList(const std::vector<Key>& keys) {
  TZorFields fields;
  for (const Key& key : keys) {
    TZorSelectListItem item;
    item.TableName = key.first;
    item.FieldName = key.second;
    fields.Add(item);
  }
  return fields;
}

Rows Sorted(Rows rows) {
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The rows of l and r (below) whose keys k match: the runs of 2 on both
// sides give their product.
const Rows kJoined = {{"2", "a2", "2", "b2"},
                      {"2", "a2", "2", "b2b"},
                      {"2", "a2b", "2", "b2"},
                      {"2", "a2b", "2", "b2b"},
                      {"4", "a4", "4", "b4"}};

class JoinTest : public OperatorTest {
 protected:
  void SetUp() override {
    MakeTable("l", {{"k", ftInteger, 0}, {"a", ftString, 10}},
              {{"1", "a1"}, {"2", "a2"}, {"-", "an"}, {"2", "a2b"}, {"4", "a4"}, {"-", "am"}});
    MakeTable("r", {{"k", ftInteger, 0}, {"b", ftString, 10}},
              {{"2", "b2"}, {"3", "b3"}, {"-", "bn"}, {"4", "b4"}, {"2", "b2b"}, {"-", "bm"}});
    MakeTable("e", {{"k", ftInteger, 0}, {"b", ftString, 10}}, {});
  }
  std::unique_ptr<TKivoAO> Table(const std::string& name, const std::string& alias = {}) {
    return std::make_unique<TKivoAOTable>(run_, name, "", false, "", "", alias);
  }
  std::unique_ptr<TKivoAOJoin> Join(std::unique_ptr<TKivoAO> left, std::unique_ptr<TKivoAO> right,
                                    std::uint8_t type, const std::vector<Key>& leftKeys = {},
                                    const std::vector<Key>& rightKeys = {}, bool natural = false) {
    return std::make_unique<TKivoAOJoin>(run_, std::move(left), std::move(right), type, natural,
                                         KeyList(leftKeys), KeyList(rightKeys));
  }
  std::unique_ptr<TKivoAOJoin> JoinLR(std::uint8_t type) {
    return Join(Table("l"), Table("r"), type, {{"l", "k"}}, {{"r", "k"}});
  }
  // Every field of the join, prepared and materialized.
  static Rows Run(TKivoAOJoin& join) {
    std::vector<TZorSelectListItem> all;
    join.DefineFields(all, false);
    join.Prepare(false);
    return TableRows(*join.Result());
  }
  static TZorNodePtr Conjunct(const std::string& text) {
    return ParsedExpression(text, true).Take()->TakeRoot();
  }
};

TEST_F(JoinTest, EachJoinTypeMatchesRunsAsProductsAndNeverMatchesNullKeys) {
  const Rows leftAlone = {{"-", "am", "-", "-"}, {"-", "an", "-", "-"}, {"1", "a1", "-", "-"}};
  const Rows rightAlone = {{"-", "-", "-", "bm"}, {"-", "-", "-", "bn"}, {"-", "-", "3", "b3"}};
  auto with = [](Rows rows, const std::vector<const Rows*>& more) {
    for (const Rows* extra : more) rows.insert(rows.end(), extra->begin(), extra->end());
    return Sorted(rows);
  };
  struct Case {
    std::uint8_t type;
    Rows expected;
  };
  const Case cases[] = {
      {jtInner, with(kJoined, {})},
      {jtLeftOuter, with(kJoined, {&leftAlone})},
      {jtRightOuter, with(kJoined, {&rightAlone})},
      {jtFullOuter, with(kJoined, {&leftAlone, &rightAlone})},
  };
  for (const Case& c : cases) {
    auto join = JoinLR(c.type);
    EXPECT_EQ(Sorted(Run(*join)), c.expected) << "join type " << int{c.type};
    EXPECT_EQ(join->Result()->VisibleFields(), (std::vector<std::string>{"k", "a", "k_1", "b"}));
  }
}

TEST_F(JoinTest, OuterJoinToAnEmptyTableExtendsWithNullsAndInnerGivesNothing) {
  const Rows leftRows = {{"-", "am", "-", "-"}, {"-", "an", "-", "-"},  {"1", "a1", "-", "-"},
                         {"2", "a2", "-", "-"}, {"2", "a2b", "-", "-"}, {"4", "a4", "-", "-"}};
  EXPECT_EQ(Sorted(Run(*Join(Table("l"), Table("e"), jtLeftOuter, {{"l", "k"}}, {{"e", "k"}}))),
            leftRows);
  EXPECT_EQ(Sorted(Run(*Join(Table("l"), Table("e"), jtFullOuter, {{"l", "k"}}, {{"e", "k"}}))),
            leftRows);
  EXPECT_EQ(Run(*Join(Table("l"), Table("e"), jtInner, {{"l", "k"}}, {{"e", "k"}})), Rows{});
  EXPECT_EQ(Run(*Join(Table("l"), Table("e"), jtRightOuter, {{"l", "k"}}, {{"e", "k"}})), Rows{});
  EXPECT_EQ(Run(*Join(Table("e"), Table("r"), jtLeftOuter, {{"e", "k"}}, {{"r", "k"}})), Rows{});
}

TEST_F(JoinTest, CrossJoinIsEveryPairAndAnEmptyJoinHasNoFieldsOrRows) {
  MakeTable("three", {{"x", ftInteger, 0}}, {{"1"}, {"2"}, {"3"}});
  MakeTable("four", {{"y", ftString, 5}}, {{"p"}, {"q"}, {"r"}, {"s"}});
  auto cross = Join(Table("three"), Table("four"), jtCross);
  EXPECT_EQ(cross->RecordCount(), 12);
  Rows rows = Run(*cross);
  ASSERT_EQ(rows.size(), 12u);
  EXPECT_EQ(rows.front(), (Row{"1", "p"}));
  EXPECT_EQ(rows[5], (Row{"2", "q"}));
  EXPECT_EQ(rows.back(), (Row{"3", "s"}));
  EXPECT_EQ(Run(*Join(Table("three"), Table("e"), jtCross)), Rows{});
  EXPECT_EQ(Run(*Join(Table("e"), Table("three"), jtCross)), Rows{});

  auto empty = Join(Table("three"), Table("four"), jtEmpty);
  EXPECT_EQ(empty->LinkCount(), 0);
  std::vector<TZorSelectListItem> all;
  empty->DefineFields(all, false);
  empty->Prepare(false);
  EXPECT_EQ(empty->Result()->RecordCount(), 0);
}

TEST_F(JoinTest, MultiFieldKeysMatchOnlyWhenEveryPairIsEqualAndNotNull) {
  MakeTable("p", {{"x", ftInteger, 0}, {"y", ftString, 5}, {"v", ftInteger, 0}},
            {{"1", "a", "10"}, {"1", "b", "11"}, {"1", "-", "12"}, {"2", "a", "13"}});
  MakeTable(
      "q", {{"x", ftInteger, 0}, {"y", ftString, 5}, {"w", ftInteger, 0}},
      {{"1", "b", "20"}, {"1", "-", "21"}, {"2", "a", "22"}, {"2", "a", "23"}, {"1", "A", "24"}});
  auto join =
      Join(Table("p"), Table("q"), jtFullOuter, {{"p", "x"}, {"p", "y"}}, {{"q", "x"}, {"q", "y"}});
  EXPECT_EQ(Sorted(Run(*join)), Sorted({{"1", "b", "11", "1", "b", "20"},
                                        {"2", "a", "13", "2", "a", "22"},
                                        {"2", "a", "13", "2", "a", "23"},
                                        {"1", "a", "10", "-", "-", "-"},
                                        {"1", "-", "12", "-", "-", "-"},
                                        {"-", "-", "-", "1", "-", "21"},
                                        {"-", "-", "-", "1", "A", "24"}}));
}

TEST_F(JoinTest, NaturalJoinPairsEqualNamesAndShowsThem) {
  MakeTable("n", {{"id", ftInteger, 0}, {"K", ftInteger, 0}, {"c", ftString, 5}},
            {{"1", "2", "c2"}, {"2", "4", "c4"}, {"3", "5", "c5"}});
  auto join = Join(Table("n"), Table("r"), jtInner, {}, {}, true);
  ASSERT_EQ(join->LeftKeyLinks(), std::vector<int>{1});
  ASSERT_EQ(join->RightKeyLinks(), std::vector<int>{3});
  EXPECT_FALSE(join->Links[1].Hidden);
  EXPECT_FALSE(join->Links[3].Hidden);
  EXPECT_TRUE(join->Links[0].Hidden);
  EXPECT_EQ(Sorted(Run(*join)), Sorted({{"1", "2", "c2", "2", "b2"},
                                        {"1", "2", "c2", "2", "b2b"},
                                        {"2", "4", "c4", "4", "b4"}}));

  // A pair written right side first is turned round.
  auto swapped = Join(Table("l"), Table("r"), jtLeftOuter, {{"r", "k"}}, {{"l", "k"}});
  EXPECT_EQ(swapped->LeftKeyLinks(), std::vector<int>{0});
  EXPECT_EQ(swapped->RightKeyLinks(), std::vector<int>{2});
  EXPECT_EQ(Run(*swapped).size(), 8u);
}

TEST_F(JoinTest, KeyListsAreCheckedWithTheirMessages) {
  struct Case {
    const char* name;
    std::uint8_t type;
    bool natural;
    std::vector<Key> left;
    std::vector<Key> right;
    std::string message;
  };
  const Case cases[] = {
      {"lengths",
       jtInner,
       false,
       {{"l", "k"}},
       {},
       "Different Length of arrays. Length1 = 1, "
       "Length2 = 0. - Native error: 00006"},
      {"left field",
       jtLeftOuter,
       false,
       {{"", "k"}},
       {{"r", "k"}},
       "Invalid field. Table name = '', FieldName = 'k', i = 0, FieldExists = 2 - Native error: "
       "00020"},
      {"right field",
       jtInner,
       false,
       {{"l", "k"}},
       {{"r", "zz"}},
       "Invalid field. Table name = 'r', FieldName = 'zz', i = 0, FieldExists = 0 - Native "
       "error: 00021"},
      {"empty", jtFullOuter, false, {}, {}, "Array is empty. ItemCount = 0 - Native error: 00022"},
      {"natural lengths",
       jtInner,
       true,
       {{"l", "a"}},
       {},
       "Different Length of arrays. Length1 = 2, Length2 = 1. - Native error: 00023"},
      {"same table",
       jtInner,
       false,
       {{"l", "k"}},
       {{"", "a"}},
       "Both join fields are from the same table. Field1 = 'k', Field2 = 'a', No1 = 0, No2 = 1. "
       "- Native error: 00027"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageOf([&] { Join(Table("l"), Table("r"), c.type, c.left, c.right, c.natural); }),
              c.message)
        << c.name;
  }
  // NATURAL without a common name leaves no key.
  MakeTable("z", {{"zz", ftInteger, 0}}, {{"1"}});
  EXPECT_EQ(NativeErrorOf([&] { Join(Table("l"), Table("z"), jtInner, {}, {}, true); }), 22);
}

TEST_F(JoinTest, KeysWithoutAComparisonTypeFailWhenRowsMeet) {
  TZorValue day;
  day.SetDate(45000);
  MakeTable("d", {{"when", ftDate, 0}}, {{day.AsString()}});
  MakeTable("f", {{"flag", ftBoolean, 0}}, {{"true"}});
  auto join = Join(Table("f"), Table("d"), jtInner, {{"f", "flag"}}, {{"d", "when"}});
  EXPECT_EQ(MessageOf([&] { Run(*join); }),
            "Invalid type cast. Field1 = 'flag', Field2 = 'when'. - Native error: 00026");
}

TEST_F(JoinTest, KeysOfTypesThatSortDifferentlyAreOrderedInTheirComparisonType) {
  // Text and a number compare as text, where '10' sorts before '9' (and
  // '09' is not '9'); as numbers 9 comes first. Each side must arrive in the
  // order the pair compares in, or the merge passes a match.
  MakeTable("s", {{"code", ftString, 5}, {"label", ftString, 5}},
            {{"9", "nine"}, {"10", "ten"}, {"-", "none"}, {"100", "hund"}, {"09", "oh9"}});
  MakeTable("i", {{"num", ftInteger, 0}}, {{"10"}, {"9"}, {"7"}});
  for (const bool textLeft : {true, false}) {
    auto join = textLeft
                    ? Join(Table("s"), Table("i"), jtFullOuter, {{"s", "code"}}, {{"i", "num"}})
                    : Join(Table("i"), Table("s"), jtFullOuter, {{"i", "num"}}, {{"s", "code"}});
    Rows rows = Run(*join);
    if (!textLeft) {
      for (Row& row : rows) std::rotate(row.begin(), row.begin() + 1, row.end());
    }
    EXPECT_EQ(Sorted(rows), Sorted({{"9", "nine", "9"},
                                    {"09", "oh9", "-"},
                                    {"10", "ten", "10"},
                                    {"100", "hund", "-"},
                                    {"-", "none", "-"},
                                    {"-", "-", "7"}}))
        << (textLeft ? "text on the left" : "text on the right");
    // The converted key is a working field: never part of the output.
    EXPECT_EQ(join->Result()->VisibleFields().size(), 3u);
  }
}

TEST_F(JoinTest, OuterJoinConditionDecidesMatchesInsideTheJoin) {
  // l LEFT JOIN r ON l.k = r.k AND r.b = 'b2b': left row 4 has only a right
  // row failing the condition, so it stays, extended with NULLs.
  auto left = JoinLR(jtLeftOuter);
  left->AddJoinCondition(Conjunct("r.b = 'b2b'"));
  EXPECT_EQ(Sorted(Run(*left)), Sorted({{"2", "a2", "2", "b2b"},
                                        {"2", "a2b", "2", "b2b"},
                                        {"4", "a4", "-", "-"},
                                        {"1", "a1", "-", "-"},
                                        {"-", "an", "-", "-"},
                                        {"-", "am", "-", "-"}}));

  // In a full join a right row that met its keys but not the condition is
  // kept once; a left row too.
  auto full = JoinLR(jtFullOuter);
  full->AddJoinCondition(Conjunct("l.a = 'a2' AND r.b <> 'b4'"));
  EXPECT_EQ(Sorted(Run(*full)), Sorted({{"2", "a2", "2", "b2"},
                                        {"2", "a2", "2", "b2b"},
                                        {"2", "a2b", "-", "-"},
                                        {"4", "a4", "-", "-"},
                                        {"1", "a1", "-", "-"},
                                        {"-", "an", "-", "-"},
                                        {"-", "am", "-", "-"},
                                        {"-", "-", "4", "b4"},
                                        {"-", "-", "3", "b3"},
                                        {"-", "-", "-", "bn"},
                                        {"-", "-", "-", "bm"}}));

  // The join's Condition filters the joined rows afterwards: the left rows
  // without a match.
  auto anti = JoinLR(jtLeftOuter);
  anti->AddJoinCondition(Conjunct("r.b = 'b2b'"));
  anti->AddCondition(Conjunct("r.b IS NULL AND l.k IS NOT NULL"));
  EXPECT_EQ(Sorted(Run(*anti)), Sorted({{"4", "a4", "-", "-"}, {"1", "a1", "-", "-"}}));

  // An inner join takes it as a filter.
  auto inner = JoinLR(jtInner);
  inner->AddJoinCondition(Conjunct("r.b = 'b2b'"));
  ASSERT_NE(inner->Condition, nullptr);
  EXPECT_EQ(Sorted(Run(*inner)), Sorted({{"2", "a2", "2", "b2b"}, {"2", "a2b", "2", "b2b"}}));
}

TEST_F(JoinTest, JoinsNestAndReadKeysThroughAMaterializedJoin) {
  MakeTable("s", {{"b", ftString, 10}, {"z", ftInteger, 0}},
            {{"b2b", "1"}, {"b4", "2"}, {"b3", "3"}});
  auto inner = JoinLR(jtInner);
  auto outer = Join(std::move(inner), Table("s"), jtLeftOuter, {{"r", "b"}}, {{"s", "b"}});
  std::vector<TZorSelectListItem> items(3);
  items[0].TableName = "l";
  items[0].FieldName = "a";
  items[1].TableName = "s";
  items[1].FieldName = "z";
  items[2].TableName = "r";
  items[2].FieldName = "b";
  outer->DefineFields(items, false);
  outer->Prepare(false);
  EXPECT_EQ(Sorted(TableRows(*outer->Result())), Sorted({{"a2", "-", "b2"},
                                                         {"a2", "1", "b2b"},
                                                         {"a2b", "-", "b2"},
                                                         {"a2b", "1", "b2b"},
                                                         {"a4", "2", "b4"}}));
}

TEST_F(JoinTest, FilteredInputsRevisitRunsByTheirVisibleRecordNumbers) {
  // The filters hide rows before the run of k = 2 on both sides, so a run
  // revisited by a physical record number would land on the wrong rows.
  auto right = Table("r");
  right->SetCondition(ParsedExpression("b <> 'bn' AND b <> 'b3'", true).Take());
  auto left = Table("l");
  left->SetCondition(ParsedExpression("a <> 'a1'", true).Take());
  auto join = Join(std::move(left), std::move(right), jtFullOuter, {{"l", "k"}}, {{"r", "k"}});
  Rows expected = kJoined;
  expected.insert(expected.end(),
                  {{"-", "an", "-", "-"}, {"-", "am", "-", "-"}, {"-", "-", "-", "bm"}});
  EXPECT_EQ(Sorted(Run(*join)), Sorted(expected));
}

// Random tables with small key domains, NULLs and repeats, joined by every
// join type with and without a join condition, against nested loops.
TEST_F(JoinTest, RandomJoinsAgreeWithNestedLoops) {
  std::mt19937 random(20261210);
  const std::vector<std::string> texts = {"-", "a", "b", "B", "ab"};
  auto makeRows = [&](int count) {
    Rows rows;
    for (int n = 0; n < count; ++n) {
      const int number = static_cast<int>(random() % 6);
      rows.push_back({number == 5 ? "-" : std::to_string(number), texts[random() % texts.size()],
                      std::to_string(random() % 50)});
    }
    return rows;
  };
  const Rows xs = makeRows(220);
  const Rows ys = makeRows(180);
  MakeTable("x", {{"k1", ftInteger, 0}, {"k2", ftString, 4}, {"v", ftInteger, 0}}, xs);
  MakeTable("y", {{"k1", ftInteger, 0}, {"k2", ftString, 4}, {"w", ftInteger, 0}}, ys);

  for (const bool withCondition : {false, true}) {
    for (const std::uint8_t type : {jtInner, jtLeftOuter, jtRightOuter, jtFullOuter}) {
      auto accepts = [&](const Row& x, const Row& y) {
        if (x[0] == kNull || x[1] == kNull || x[0] != y[0] || x[1] != y[1]) return false;
        return !withCondition || std::stoi(x[2]) < std::stoi(y[2]);
      };
      Rows expected;
      std::vector<bool> yMatched(ys.size(), false);
      for (const Row& x : xs) {
        bool matched = false;
        for (std::size_t j = 0; j < ys.size(); ++j) {
          if (!accepts(x, ys[j])) continue;
          matched = yMatched[j] = true;
          Row row = x;
          row.insert(row.end(), ys[j].begin(), ys[j].end());
          expected.push_back(std::move(row));
        }
        if (!matched && (type == jtLeftOuter || type == jtFullOuter)) {
          Row row = x;
          row.insert(row.end(), 3, kNull);
          expected.push_back(std::move(row));
        }
      }
      for (std::size_t j = 0; j < ys.size(); ++j) {
        if (yMatched[j] || (type != jtRightOuter && type != jtFullOuter)) continue;
        Row row(3, kNull);
        row.insert(row.end(), ys[j].begin(), ys[j].end());
        expected.push_back(std::move(row));
      }
      auto join = Join(Table("x"), Table("y"), type, {{"x", "k1"}, {"x", "k2"}},
                       {{"y", "k1"}, {"y", "k2"}});
      if (withCondition) join->AddJoinCondition(Conjunct("x.v < y.w"));
      EXPECT_EQ(Sorted(Run(*join)), Sorted(expected))
          << "join type " << int{type} << (withCondition ? " with a condition" : "");
    }
  }
}

}  // namespace
}  // namespace kivo::testing
