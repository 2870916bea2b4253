#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/eval_context.h"
#include "sql/like.h"
#include "sql/parser.h"

namespace kivo {
namespace {

// A table of a few rows whose field values live in byte buffers, as in a
// record cache: ReadField lends the buffer, and Evict moves the current row
// to new buffers and reuses the old ones for another row's bytes, the way a
// page eviction does.
class Rows : public TZorFieldSource {
 public:
  struct Column {
    std::string name;
    std::uint8_t type;
    std::int32_t size;
  };
  std::vector<Column> columns = {
      {"i", ftInteger, 0},     {"s", ftString, 20}, {"f", ftFloat, 0},
      {"n", ftInteger, 0},     {"d", ftDate, 0},    {"l", ftLargeint, 0},
      {"w", ftWideString, 20}, {"m", ftMemo, 0},    {"c", ftCurrency, 0}};

  void AddRow(const std::vector<TZorValue>& values) {
    std::vector<Buffer> row;
    for (const TZorValue& v : values) {
      const char* data = reinterpret_cast<const char*>(v.Data());
      row.push_back(std::make_shared<std::vector<char>>(
          data, data + (v.IsNull() ? 0 : static_cast<std::size_t>(v.Size()))));
    }
    rows_.push_back(std::move(row));
  }
  // A row with i, s and f set and the other fields NULL.
  void Add(std::int32_t i, std::string_view s, double f) {
    std::vector<TZorValue> v(columns.size());
    v[0].SetInteger(i);
    v[1].SetString(s);
    v[2].SetFloat(f);
    AddRow(v);
  }
  void MoveTo(std::size_t row) { current_ = row; }
  std::size_t Count() const { return rows_.size(); }
  // Moves the current row to new buffers and fills the old ones with the
  // bytes of row `other` (kept alive, so that a stale read is wrong, not
  // undefined).
  void Evict(std::size_t other) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      Buffer& mine = rows_[current_][c];
      Buffer old = mine;
      mine = std::make_shared<std::vector<char>>(*old);
      const std::vector<char>& theirs = *rows_[other][c];
      if (!old->empty() && old->size() == theirs.size()) {
        std::memcpy(old->data(), theirs.data(), old->size());
      }
      reused_.push_back(std::move(old));
    }
  }

  std::vector<int> MatchingFields(std::string_view, std::string_view name) const override {
    std::vector<int> out;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (AnsiSameText(name, columns[i].name)) out.push_back(static_cast<int>(i));
    }
    return out;
  }
  std::uint8_t FieldType(int n) const override { return columns[Index(n)].type; }
  std::int32_t FieldSize(int n) const override { return columns[Index(n)].size; }
  void ReadField(int n, TZorValue& out) const override {
    const std::vector<char>& bytes = *rows_[current_][Index(n)];
    if (bytes.empty()) {
      out.SetNull(FieldType(n));
    } else {
      out.SetBorrowed(FieldType(n), bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }
  }

 private:
  static std::size_t Index(int n) { return static_cast<std::size_t>(n); }
  using Buffer = std::shared_ptr<std::vector<char>>;
  std::vector<std::vector<Buffer>> rows_;
  std::vector<Buffer> reused_;
  std::size_t current_ = 0;
};

// Sub-queries answered from fixed first-field values by their SQL text.
class Context : public TZorEvalContext {
 public:
  std::map<std::string, std::vector<TZorValue>> queries;
  std::map<std::string, int> opened;
  std::function<void()> on_open;
  const TZorFieldSource* row = nullptr;

  class Result : public TZorSubQueryRows {
   public:
    explicit Result(const std::vector<TZorValue>& v) : values_(v) {}
    bool Next() override { return ++at_ < values_.size(); }
    const TZorValue& FirstField() override { return values_[at_]; }

   private:
    const std::vector<TZorValue>& values_;
    std::size_t at_ = static_cast<std::size_t>(-1);
  };

  const TZorFieldSource* Row() const override { return row; }
  std::unique_ptr<TZorSubQueryRows> OpenSubQuery(const std::string& sql) override {
    ++opened[sql];
    if (on_open) on_open();
    const auto it = queries.find(sql);
    if (it == queries.end()) throw Exception("no such query: " + sql);
    return std::make_unique<Result>(it->second);
  }
  std::int32_t LastAutoInc(const TZorExprNodeSystem& node) override {
    return node.TableName == "t" ? 42 : 0;
  }
};

TZorValue Int(std::int32_t v) {
  TZorValue r;
  r.SetInteger(v);
  return r;
}
TZorValue Null() {
  TZorValue r;
  r.SetNull(ftInteger);
  return r;
}

// "Type value", "Type NULL", or the error as "error N: message".
std::string Show(const TZorValue& v) {
  return std::string(TZorValue::TypeName(v.DataType())) + " " +
         (v.IsNull() ? std::string("NULL") : v.AsString());
}

std::unique_ptr<TZorExpression> Parse(TKivoLexer& lexer, bool condition) {
  lexer.NextCommand();
  auto e = std::make_unique<TZorExpression>(lexer);
  condition ? e->ParseSearchCondition() : e->ParseValueExpression();
  return e;
}

std::string Caught(const std::function<std::string()>& run) {
  try {
    return run();
  } catch (const ZorException& e) {
    return "error " + std::to_string(e.NativeError()) + ": " + e.what();
  } catch (const Exception& e) {
    return std::string("error: ") + e.what();
  }
}

class EvaluateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rows.Add(7, "abc", 2.5);
    rows.Add(1, "b", -1);
    rows.Add(2, "", 0);
    context.queries["SELECT x FROM one"] = {Int(5)};
    context.queries["SELECT x FROM two"] = {Int(1), Int(2)};
    context.queries["SELECT x FROM none"] = {};
    context.queries["SELECT x FROM withnull"] = {Int(1), Null()};
  }

  // The value of a condition (or, with condition false, a value
  // expression) over the current row, evaluated twice to show that a
  // second row sees the same result.
  std::string Eval(const std::string& sql, bool condition, TZorEvalContext* ctx,
                   bool twice = true) {
    return Caught([&] {
      TKivoLexer lexer(sql);
      auto e = Parse(lexer, condition);
      e->Bind(rows);
      const std::string first = Show(e->Evaluate(ctx));
      if (twice) {
        EXPECT_EQ(first, Show(e->Evaluate(ctx))) << sql;
      }
      return first;
    });
  }
  std::string Cond(const std::string& sql) { return Eval(sql, true, &context); }
  std::string Val(const std::string& sql) { return Eval(sql, false, &context); }

  Rows rows;
  Context context;
};

struct Case {
  const char* sql;
  const char* expected;
};

TEST_F(EvaluateTest, ComparisonsAndThreeValuedLogic) {
  const Case cases[] = {
      {"1 = 1", "Boolean true"},
      {"i = 7", "Boolean true"},
      {"i <> 7", "Boolean false"},
      {"i > 6", "Boolean true"},
      {"i < 7", "Boolean false"},
      {"i >= 7", "Boolean true"},
      {"i <= 6", "Boolean false"},
      {"f > 2", "Boolean true"},
      {"l = 1", "Boolean NULL"},
      {"NULL = NULL", "Boolean NULL"},
      {"NULL <> 1", "Boolean NULL"},
      {"n = n", "Boolean NULL"},
      {"s = 'abc'", "Boolean true"},
      {"s = 'ABC'", "Boolean false"},
      {"s < 'abd'", "Boolean true"},
      {"TRUE OR n = 1", "Boolean true"},
      {"n = 1 OR TRUE", "Boolean true"},
      {"FALSE OR n = 1", "Boolean NULL"},
      {"n = 1 OR FALSE", "Boolean NULL"},
      {"FALSE OR FALSE", "Boolean false"},
      {"n = 1 AND FALSE", "Boolean NULL"},
      {"FALSE AND n = 1", "Boolean false"},
      {"TRUE AND TRUE AND i = 7", "Boolean true"},
      {"TRUE AND n = 1", "Boolean NULL"},
      {"NOT i = 7", "Boolean false"},
      {"NOT n = 1", "Boolean NULL"},
      {"NOT (i = 1 OR i = 7)", "Boolean false"},
      {"i = 7 IS TRUE", "Boolean true"},
      {"n = 1 IS UNKNOWN", "Boolean true"},
      {"i = 7 IS NOT FALSE", "Boolean true"},
      {"n IS NULL", "Boolean true"},
      {"i IS NULL", "Boolean false"},
      {"i IS NOT NULL", "Boolean true"},
      {"m = 'x'", "Boolean NULL"},
  };
  for (const Case& c : cases) EXPECT_EQ(Cond(c.sql), c.expected) << c.sql;
}

TEST_F(EvaluateTest, ComparisonErrors) {
  // A String meets a date as a date.
  const std::string bad =
      "error 2093: Can't convert data type from 'String' to 'Date' - Native "
      "error: 02093";
  EXPECT_EQ(Cond("CAST('1/2/2001' AS DATE) = '1/2/2001'"), "Boolean true");
  EXPECT_EQ(Cond("'1/3/2001' > CAST('1/2/2001' AS DATE)"), "Boolean true");
  EXPECT_EQ(Cond("CAST('1/2/2001' AS DATE) = 'x'"), bad);
  EXPECT_EQ(Cond("'x' = CAST('1/2/2001' AS DATE)"), bad);
  EXPECT_EQ(Cond("CAST('1/2/2001' AS DATE) IN (1, 'x')"), bad);
  EXPECT_EQ(Cond("CAST('1/2/2001' AS DATE) IN ('1/2/2001', 'x')"), "Boolean true");
  EXPECT_EQ(Cond("CAST('1/2/2001' AS DATE) BETWEEN '1/1/2001' AND 'x'"), bad);
  EXPECT_EQ(Cond("CAST('1/2/2001' AS DATE) = TRUE"),
            "error -1: Unknown error - Native error: 000-1");
}

TEST_F(EvaluateTest, InListsBetweenAndNulls) {
  const Case cases[] = {
      {"2 IN (1, NULL, 2)", "Boolean true"},
      {"3 IN (1, NULL)", "Boolean NULL"},
      {"3 NOT IN (1, NULL)", "Boolean NULL"},
      {"3 NOT IN (1, 2)", "Boolean true"},
      {"2 NOT IN (1, 2)", "Boolean false"},
      {"NULL IN (1, 2)", "Boolean NULL"},
      {"n IN (NULL)", "Boolean NULL"},
      {"i IN (1, 7, 9)", "Boolean true"},
      {"i IN (9, 8, 1)", "Boolean false"},
      {"i IN (1, 2.5, 7)", "Boolean true"},
      {"f IN (1, 2.5)", "Boolean true"},
      {"f IN (1, 2)", "Boolean false"},
      {"s IN ('b', 'abc')", "Boolean true"},
      {"s IN ('ABC', 'b')", "Boolean false"},
      {"i IN (f, i)", "Boolean true"},
      {"i IN (n, 1)", "Boolean NULL"},
      {"i IN (i + 1, n)", "Boolean NULL"},
      {"i NOT IN (f, 3)", "Boolean true"},
      {"5 BETWEEN 1 AND NULL", "Boolean NULL"},
      {"0 BETWEEN 1 AND NULL", "Boolean false"},
      {"2 BETWEEN NULL AND 1", "Boolean false"},
      {"2 NOT BETWEEN NULL AND 1", "Boolean true"},
      {"5 NOT BETWEEN 1 AND NULL", "Boolean NULL"},
      {"5 BETWEEN 1 AND 10", "Boolean true"},
      {"1 BETWEEN 1 AND 1", "Boolean true"},
      {"11 BETWEEN 1 AND 10", "Boolean false"},
      {"NULL BETWEEN 1 AND 2", "Boolean NULL"},
      {"i NOT BETWEEN 1 AND 6", "Boolean true"},
      {"f BETWEEN 2 AND 3", "Boolean true"},
      {"s BETWEEN 'a' AND 'b'", "Boolean true"},
  };
  for (const Case& c : cases) EXPECT_EQ(Cond(c.sql), c.expected) << c.sql;
}

TEST_F(EvaluateTest, LikeCases) {
  const Case cases[] = {
      {"'abc' LIKE 'a%'", "Boolean true"},
      {"'abc' LIKE 'a_c'", "Boolean true"},
      {"'abc' LIKE 'A%'", "Boolean false"},
      {"'abc' LIKE '%'", "Boolean true"},
      {"'abc' LIKE 'abc%'", "Boolean true"},
      {"'abc' LIKE 'abc%d'", "Boolean false"},
      {"'a' LIKE 'a%%'", "Boolean false"},
      {"'abc' LIKE 'ab'", "Boolean false"},
      {"'abc' LIKE '%c'", "Boolean true"},
      {"'abc' LIKE '%b%'", "Boolean true"},
      {"123 LIKE '12%'", "Boolean true"},
      {"'' LIKE '%'", "Boolean true"},
      {"'' LIKE '_'", "Boolean false"},
      {"n LIKE '%'", "Boolean true"},
      {"s LIKE 'a%'", "Boolean true"},
      {"s NOT LIKE 'a%'", "Boolean false"},
      {"w LIKE '%'", "Boolean true"},
      {"'abc' LIKE s", "Boolean true"},
      {"1 LIKE 2", "error 2114: Not string argument in function 'LIKE' - Native error: 02114"},
  };
  for (const Case& c : cases) EXPECT_EQ(Cond(c.sql), c.expected) << c.sql;
}

TEST_F(EvaluateTest, ArithmeticConcatenationAndCast) {
  const Case cases[] = {
      {"1 + 2", "Integer 3"},
      {"1 + 2.5", "Float 3.5"},
      {"100 - 10 - 5", "Integer 85"},
      {"i + n", "Integer NULL"},
      {"2 * 3 * 4", "Integer 24"},
      {"100 / 10 / 5", "Integer 2"},
      {"7 / 2", "Integer 3"},
      {"7.0 / 2", "Float 3.5"},
      {"7 MOD 3", "LargeInt 1"},
      {"7 % 3 % 2", "LargeInt 1"},
      {"-i", "Integer -7"},
      {"~5", "Integer -6"},
      {"6 & 3", "Integer 2"},
      {"6 | 3", "Integer 7"},
      {"1 SHL 4", "Integer 16"},
      {"16 >> 2", "Integer 4"},
      {"6 XOR 3", "Integer 5"},
      {"2147483647 * 2", "LargeInt 4294967294"},
      {"'a' || 'b' || 'c'", "String abc"},
      {"s || n", "String abc"},
      {"s + 'd'", "String abcd"},
      {"CAST(i AS STRING)", "String 7"},
      {"CAST('12' AS INTEGER)", "Integer 12"},
      {"CAST(NULL AS STRING)", "String NULL"},
      {"CAST(f AS INTEGER) + 1", "Integer 3"},
      {"LASTAUTOINC(t)", "Integer 42"},
      {"1 / 0", "error: Division by zero"},
      {"CAST('x' AS INTEGER)",
       "error 2093: Can't convert data type from 'String' to 'Integer' - Native error: 02093"},
  };
  for (const Case& c : cases) EXPECT_EQ(Val(c.sql), c.expected) << c.sql;
}

// Function nodes hand their arguments, pattern and planned types to the
// function library, and its results flow on through the tree.
TEST_F(EvaluateTest, FunctionNodesThroughTheLibrary) {
  const Case cases[] = {
      {"UPPER(s) || LOWER('X')", "String ABCx"},
      {"TRIM('  a  ') || '|'", "String a|"},
      {"SUBSTRING('abcdef' FROM 2 FOR 3)", "String bcd"},
      {"LENGTH(s) + POS('c', s)", "Integer 6"},
      {"POSITION('x' IN s)", "Integer 0"},
      {"TOSTRING(TODATE('2007.03.15', 'YYYY.MM.DD'), 'DD/MM/YYYY')", "String 15/03/2007"},
      {"EXTRACT(MONTH FROM TODATE('2007.03.15', 'YYYY.MM.DD'))", "Word 3"},
      {"DAYNAME(TODATE('2007.03.15', 'YYYY.MM.DD'))", "String Thursday"},
      {"QUARTER(TODATE('2007.03.15', 'YYYY.MM.DD'))", "Word 1"},
      {"MOD(7, 3) + POWER(2, 10)", "LargeInt 1025"},
      {"ABS(-i) * SIGN(-3.5)", "Integer -7"},
      {"HEX(255, 2)", "String 0x000000ff"},
      {"ISNULL(n, 7)", "Integer 7"},
      {"ISNULL(n, 'none')",
       "error 68: Types mismatches in SQL function ISNULL: 3, 1 - Native error: 00068"},
      {"ISNULL(i, 0) + 1", "Integer 8"},
      {"CEILING(f) + FLOOR(-1.2)", "Integer 1"},
      {"LENGTH(5)", "error 2121: Not string argument in function 'LENGTH' - Native error: 02121"},
  };
  for (const Case& c : cases) EXPECT_EQ(Val(c.sql), c.expected) << c.sql;
  EXPECT_EQ(Cond("ISNULL(n)"), "Boolean true");
  EXPECT_EQ(Cond("YEAR(SYSDATE) >= 2024"), "Boolean true");
}

TEST_F(EvaluateTest, SubQueries) {
  const Case cases[] = {
      {"i > (SELECT x FROM one)", "Boolean true"},
      {"i = (SELECT x FROM two)",
       "error 57: Sub-query returns multiple rows - Native error: 00057"},
      {"i = (SELECT x FROM none)", "error 56: Sub-query returns no rows - Native error: 00056"},
      {"EXISTS (SELECT x FROM one)", "Boolean true"},
      {"EXISTS (SELECT x FROM none)", "Boolean false"},
      {"NOT EXISTS (SELECT x FROM none)", "Boolean true"},
      {"1 IN (SELECT x FROM two)", "Boolean true"},
      {"3 IN (SELECT x FROM two)", "Boolean false"},
      {"3 NOT IN (SELECT x FROM two)", "Boolean true"},
      {"1.0 IN (SELECT x FROM two)", "Boolean true"},
      {"3 IN (SELECT x FROM none)", "Boolean false"},
      // The rules of the IN list: a NULL tested value gives NULL, a NULL
      // among the values makes a non-match NULL.
      {"NULL IN (SELECT x FROM two)", "Boolean NULL"},
      {"NULL NOT IN (SELECT x FROM two)", "Boolean NULL"},
      // No rows: nothing equals the value, not even NULL.
      {"NULL IN (SELECT x FROM none)", "Boolean false"},
      {"NULL NOT IN (SELECT x FROM none)", "Boolean true"},
      {"3 NOT IN (SELECT x FROM withnull)", "Boolean NULL"},
      {"1 IN (SELECT x FROM withnull)", "Boolean true"},
  };
  for (const Case& c : cases) EXPECT_EQ(Cond(c.sql), c.expected) << c.sql;

  const Case without[] = {
      {"i = (SELECT x FROM one)",
       "error 55: Query component supplied to Expression is nil - Native error: 00055"},
      {"i IN (SELECT x FROM one)",
       "error 58: Query component supplied to Expression is nil - Native error: 00058"},
      {"EXISTS (SELECT x FROM one)",
       "error 59: Query component supplied to Expression is nil - Native error: 00059"},
      {"LASTAUTOINC(t) = 1",
       "error 55: Query component supplied to Expression is nil - Native error: 00055"},
  };
  for (const Case& c : without) EXPECT_EQ(Eval(c.sql, true, nullptr), c.expected) << c.sql;
}

// Every sub-query runs once however many rows the expression sees, and an
// IN sub-query reads its values once.
TEST_F(EvaluateTest, SubQueriesRunOncePerExpression) {
  TKivoLexer lexer(
      "EXISTS (SELECT x FROM none) OR i > (SELECT x FROM one) OR i IN (SELECT x FROM two)");
  auto e = Parse(lexer, true);
  e->Bind(rows);
  std::vector<std::string> got;
  for (std::size_t r = 0; r < rows.Count(); ++r) {
    rows.MoveTo(r);
    got.push_back(Show(e->Evaluate(&context)));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"Boolean true", "Boolean true", "Boolean true"}));
  EXPECT_EQ(context.opened["SELECT x FROM one"], 1);
  EXPECT_EQ(context.opened["SELECT x FROM two"], 1);
  EXPECT_EQ(context.opened["SELECT x FROM none"], 1);
}

// A sub-query may move the outer row (its reads reuse the record buffers):
// a value read from the row before the sub-query ran must not change.
TEST_F(EvaluateTest, RowValueSurvivesASubQueryThatMovesTheRow) {
  const Case cases[] = {
      {"i > (SELECT x FROM one)", "Boolean true"},
      {"s = (SELECT x FROM abc)", "Boolean true"},
      {"s || (SELECT x FROM one) = 'abc5'", "Boolean true"},
      {"i NOT IN (SELECT x FROM two)", "Boolean true"},
      {"i BETWEEN (SELECT x FROM one) AND 8", "Boolean true"},
      {"i - (SELECT x FROM one) = 2", "Boolean true"},
      {"i IN ((SELECT x FROM one), 7)", "Boolean true"},
  };
  for (const Case& c : cases) {
    rows = Rows();
    SetUp();
    // Row 3 has buffers of the sizes of row 0's.
    rows.Add(1, "xyz", 9);
    context.queries["SELECT x FROM abc"] = {[] {
      TZorValue v;
      v.SetString("abc");
      return v;
    }()};
    context.on_open = [&] { rows.Evict(3); };
    rows.MoveTo(0);
    EXPECT_EQ(Eval(c.sql, true, &context, false), c.expected) << c.sql;
  }
}

TEST_F(EvaluateTest, FieldsReadTheContextRowWhenItGivesOne) {
  Rows other;
  other.Add(100, "zz", 0);
  context.row = &other;
  EXPECT_EQ(Val("i + 1"), "Integer 101");
  context.row = nullptr;
  EXPECT_EQ(Val("i + 1"), "Integer 8");

  TKivoLexer lexer("x + 1");
  auto e = Parse(lexer, false);
  EXPECT_EQ(Caught([&] { return Show(e->Evaluate(nullptr)); }),
            "error 2108: Field 'x' not found - Native error: 02108");
}

TEST(ExpressionTest, EmptyExpressionAnswersWithoutRoot) {
  TZorExpression e(TZorNodePtr{});
  EXPECT_EQ(Caught([&] { return Show(e.Evaluate(nullptr)); }),
            "error 1070: Cannot get expression value - Native error: 01070");
  EXPECT_EQ(e.GetResultSize(), 0);
  EXPECT_EQ(e.GetResultType(), 0);
  EXPECT_FALSE(e.IsAggregated());
  e.ResetAggregates();
  e.Accumulate(nullptr);
}

TEST_F(EvaluateTest, ResultTypesAndSizes) {
  rows.columns.push_back({"b", ftBytes, 8});
  struct TypeCase {
    const char* sql;
    std::uint8_t type;
    std::int32_t size;
  };
  const TypeCase cases[] = {
      {"'abcd'", ftString, 4},
      {"s", ftString, 20},
      {"i / 2", ftFloat, 0},
      {"i MOD 2", ftLargeint, 0},
      {"i * 2", ftInteger, 0},
      {"l + i", ftLargeint, 0},
      {"s + i", ftString, 31},
      {"s || f", ftString, 46},
      {"w || s", ftWideString, 80},
      {"w + s", ftWideString, 40},
      {"HEX(i)", ftString, 9},
      {"HEX(s, 2)", ftString, 42},
      {"HEX(l, 1)", ftString, 18},
      {"ROUND(f)", ftInteger, 0},
      {"ROUND(f, 2)", ftFloat, 0},
      {"TRUNCATE(f, 1)", ftFloat, 0},
      {"RANDOM", ftFloat, 0},
      {"RANDOM(10)", ftLargeint, 0},
      {"CEILING(f)", ftInteger, 0},
      {"SIGN(f)", ftInteger, 0},
      {"ABS(l)", ftLargeint, 0},
      {"LENGTH(s)", ftInteger, 0},
      {"POS('a' IN s)", ftInteger, 0},
      {"UPPER(s)", ftString, 20},
      {"SUBSTRING(s FROM 2)", ftString, 20},
      {"SUM(i)", ftLargeint, 0},
      {"SUM(f)", ftFloat, 0},
      {"SUM(c)", ftCurrency, 0},
      {"AVG(i)", ftInteger, 0},
      {"MIN(s)", ftString, 20},
      {"MAX(w)", ftWideString, 40},
      {"COUNT(s)", ftInteger, 0},
      {"COUNT(*)", ftInteger, 0},
      {"CURRENT_DATE", ftDate, 0},
      {"CURRENT_TIME", ftTime, 0},
      {"NOW", ftDateTime, 0},
      {"TODATE('2001', 'yyyy')", ftDateTime, 0},
      {"YEAR(d)", ftWord, 0},
      {"DAYNAME(d)", ftString, 9},
      {"MONTHNAME(d)", ftString, 9},
      {"ISNULL(n)", ftBoolean, 0},
      {"ISNULL(n, s)", ftString, 20},
      {"CAST(i AS STRING)", ftString, 11},
      {"CAST(s AS WIDESTRING)", ftWideString, 40},
      {"CAST(m AS STRING)", ftString, TZorExprNodeCast::kUnsizedTextWidth},
      {"CAST(s AS INTEGER)", ftInteger, 0},
      {"CAST(b AS STRING)", ftString, 8},
      {"LASTAUTOINC(t)", ftInteger, 0},
  };
  for (const TypeCase& c : cases) {
    TKivoLexer lexer(c.sql);
    auto e = Parse(lexer, false);
    ASSERT_FALSE(e->IsEmpty()) << c.sql;
    e->Bind(rows);
    EXPECT_EQ(TZorValue::TypeName(e->GetResultType()), TZorValue::TypeName(c.type)) << c.sql;
    EXPECT_EQ(e->GetResultSize(), c.size) << c.sql;
  }
  TKivoLexer lexer("TOSTRING(d, 'DAY MONTH YYYY')");
  auto e = Parse(lexer, false);
  const auto* node = dynamic_cast<const TZorExprNodeDateFunction*>(e->Root());
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(e->GetResultType(), ftString);
  EXPECT_EQ(e->GetResultSize(), node->Formater.MaxLength());
  EXPECT_GE(e->GetResultSize(), 9 + 1 + 9 + 1 + 4);

  const TypeCase conditions[] = {
      {"i = 1", ftInteger, 0},
      {"i IN (1, 2)", ftBoolean, 0},
      {"i IN (SELECT x FROM one)", ftInteger, 0},
      {"EXISTS (SELECT x FROM one)", 0, 0},
      {"NOT s LIKE 'a'", ftBoolean, 0},
  };
  for (const TypeCase& c : conditions) {
    TKivoLexer lexer2(c.sql);
    auto cond = Parse(lexer2, true);
    cond->Bind(rows);
    EXPECT_EQ(cond->GetResultType(), c.type) << c.sql;
  }
}

// The text quoted in messages: field names (bracketed with a space),
// constants as literals, each operand after a space, and no text for
// arithmetic.
TEST(ExpressionTest, SQLTextOfConditions) {
  TKivoLexer lexer("[my field] = 'it''s' AND i + 1 > 2 AND d IN (1.5, x)");
  auto e = Parse(lexer, true);
  EXPECT_EQ(e->Root()->GetSQLText(), "  [my field] 'it''s'   2  d 1.5 x");
}

// ---- Aggregates ------------------------------------------------------------

class AggregateTest : public EvaluateTest {
 protected:
  // The expression's value after each group of rows (row numbers).
  std::vector<std::string> Groups(const std::string& sql,
                                  const std::vector<std::vector<std::size_t>>& groups) {
    std::vector<std::string> out;
    TKivoLexer lexer(sql);
    auto e = Parse(lexer, false);
    e->Bind(rows);
    EXPECT_TRUE(e->IsAggregated()) << sql;
    for (const auto& group : groups) {
      out.push_back(Caught([&] {
        e->ResetAggregates();
        for (std::size_t r : group) {
          rows.MoveTo(r);
          e->Accumulate(nullptr);
        }
        return Show(e->Evaluate(nullptr));
      }));
    }
    return out;
  }
  using V = std::vector<std::string>;
};

TEST_F(AggregateTest, FunctionsOverGroups) {
  // Rows: 0: i 7, s 'abc', f 2.5; 1: i 1, s 'b', f -1; 2: i 2, s NULL, f 0.
  EXPECT_EQ(Groups("AVG(i)", {{1, 2}, {0, 1, 2}, {}}),
            (V{"Integer 1", "Integer 3", "Integer NULL"}));
  EXPECT_EQ(Groups("AVG(f)", {{0, 1}}), (V{"Float 0.75"}));
  EXPECT_EQ(Groups("SUM(i)", {{0, 1, 2}, {}}), (V{"LargeInt 10", "LargeInt NULL"}));
  EXPECT_EQ(Groups("SUM(f)", {{0, 1}}), (V{"Float 1.5"}));
  EXPECT_EQ(Groups("COUNT(s)", {{0, 1, 2}}), (V{"Integer 2"}));
  EXPECT_EQ(Groups("COUNT(*)", {{0, 1, 2}, {}}), (V{"Integer 3", "Integer 0"}));
  EXPECT_EQ(Groups("COUNT(n)", {{0, 1, 2}}), (V{"Integer 0"}));
  EXPECT_EQ(Groups("MIN(i)", {{0, 1, 2}, {0}}), (V{"Integer 1", "Integer 7"}));
  EXPECT_EQ(Groups("MAX(s)", {{0, 1, 2}, {2}}), (V{"String b", "String NULL"}));
  EXPECT_EQ(Groups("MIN(s)", {{2, 1, 0}}), (V{"String abc"}));
  EXPECT_EQ(Groups("SUM(i) * 2 + COUNT(*)", {{0, 1}}), (V{"LargeInt 18"}));
  EXPECT_EQ(Groups("SUM(s)", {{0}}),
            (V{"error 2109: Not numeric argument in numeric operator 'sum' - Native error: "
               "02109"}));
  EXPECT_EQ(Groups("AVG(s)", {{2, 0}}),
            (V{"error 2109: Not numeric argument in numeric operator 'avg' - Native error: "
               "02109"}));
}

TEST_F(AggregateTest, WholeNumberSumsAddExactlyAndRaiseOnOverflow) {
  // Rows 0, 1, 2 have i = 7, 1, 2: the terms are 7e18, 1e18 and 2e18.
  const std::string big = "SUM(i * 1000000000 * 1000000000)";
  EXPECT_EQ(Groups(big, {{0, 1}, {1, 2, 1}}),
            (V{"LargeInt 8000000000000000000", "LargeInt 4000000000000000000"}));
  EXPECT_EQ(Groups(big, {{0, 2}, {0, 0}}),
            (V{"LargeInt 9000000000000000000", "error: Integer overflow"}));
  EXPECT_EQ(Groups("SUM(-i * 1000000000 * 1000000000)", {{0, 1}, {0, 0}}),
            (V{"LargeInt -8000000000000000000", "error: Integer overflow"}));
  // Integer terms after a LargeInt first total, and the other way round.
  EXPECT_EQ(Groups("SUM(i) + SUM(i * 3 * 1000000000)", {{0, 1, 2}}), (V{"LargeInt 30000000010"}));
}

TEST_F(AggregateTest, DistinctStartsOverWithEveryGroup) {
  rows.Add(1, "b", 5);
  rows.Add(1, "b", 5);
  // Rows 1, 3 and 4 have i = 1; rows 3 and 4 repeat s 'b' of row 1.
  EXPECT_EQ(Groups("SUM(DISTINCT i)", {{1, 3, 2}, {1, 3, 4, 0}}), (V{"LargeInt 3", "LargeInt 8"}));
  EXPECT_EQ(Groups("SUM(i)", {{1, 3, 2}}), (V{"LargeInt 4"}));
  EXPECT_EQ(Groups("COUNT(DISTINCT s)", {{1, 3, 4, 2}, {0, 1, 3}}), (V{"Integer 1", "Integer 2"}));
  EXPECT_EQ(Groups("AVG(DISTINCT f)", {{1, 3, 4}}), (V{"Float 2"}));
}

TEST_F(AggregateTest, DistinctWithoutArgumentIsAnError) {
  TZorExprNodeAggregated node(opSum, true);
  EXPECT_EQ(Caught([&] {
              node.ResetAggregates();
              return std::string("ok");
            }),
            "error 76: Error - no children in expression node - Native error: 00076");
}

// ---- Long chains -------------------------------------------------------------

TEST_F(EvaluateTest, WideChainsEvaluateAndFree) {
  std::string sql = "i = 0";
  for (int k = 1; k < 100000; ++k) sql += " OR i = " + std::to_string(k);
  {
    TKivoLexer lexer(sql);
    auto e = Parse(lexer, true);
    e->Bind(rows);
    EXPECT_EQ(e->Root()->ChildCount(), 100000);
    rows.MoveTo(0);
    EXPECT_EQ(Show(e->Evaluate(nullptr)), "Boolean true");
    rows.Add(99999, "x", 0);
    rows.MoveTo(3);
    EXPECT_EQ(Show(e->Evaluate(nullptr)), "Boolean true");
    rows.Add(-1, "x", 0);
    rows.MoveTo(4);
    EXPECT_EQ(Show(e->Evaluate(nullptr)), "Boolean false");
  }
  std::string product = "i";
  for (int k = 1; k < 20000; ++k) product += k == 10000 ? " * 2" : " * 1";
  TKivoLexer lexer(product);
  auto e = Parse(lexer, false);
  e->Bind(rows);
  rows.MoveTo(0);
  EXPECT_EQ(e->Root()->ChildCount(), 20000);
  EXPECT_EQ(Show(e->Evaluate(nullptr)), "Integer 14");
}

// ---- LIKE against the rules read literally ---------------------------------

// The match rules transcribed as they read: recursive, backtracking.
bool LiteralLike(std::string_view t, std::string_view p) {
  if (p == "%") return true;
  if (t.empty()) return p.empty();
  if (p.empty()) return false;
  if (p[0] == '%') {
    for (std::size_t k = 0; k < t.size(); ++k) {
      if (LiteralLike(t.substr(k), p.substr(1))) return true;
    }
    return false;
  }
  if (p[0] != '_' && p[0] != t[0]) return false;
  return LiteralLike(t.substr(1), p.substr(1));
}

TEST(LikeMatchTest, AgreesWithTheRulesOnRandomInput) {
  const std::shared_ptr<const TCollation> collation = UserCollation();
  std::mt19937 rng(20261210);
  const char alphabet[] = {'a', 'b', '%', '_'};
  auto text = [&](int maxLength) {
    std::string s(std::uniform_int_distribution<int>(0, maxLength)(rng), ' ');
    for (char& c : s) c = alphabet[std::uniform_int_distribution<int>(0, 3)(rng)];
    return s;
  };
  int matches = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::string t = text(7);
    const std::string p = text(6);
    const bool expected = LiteralLike(t, p);
    matches += expected ? 1 : 0;
    ASSERT_EQ(LikeMatch(t, p, *collation), expected) << "'" << t << "' LIKE '" << p << "'";
    const std::u16string wt(t.begin(), t.end()), wp(p.begin(), p.end());
    ASSERT_EQ(LikeMatch(wt, wp, *collation), expected) << "wide '" << t << "' LIKE '" << p << "'";
  }
  // Both outcomes are well represented.
  EXPECT_GT(matches, 2000);
  EXPECT_LT(matches, 38000);
}

// A literal with "%" at either end (or none) is searched for directly where
// the collation tells characters apart by their bytes: same results.
TEST(LikeMatchTest, LiteralPatternsAgreeWithTheRules) {
  const TCollation collation("en_US");
  for (char c : {'a', 'b', 'c'}) ASSERT_TRUE(collation.HasOwnRank(c));
  std::mt19937 rng(77);
  auto word = [&](int minLength, int maxLength) {
    std::string s(std::uniform_int_distribution<int>(minLength, maxLength)(rng), ' ');
    for (char& c : s) c = "abc"[std::uniform_int_distribution<int>(0, 2)(rng)];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string t = word(0, 8);
    const std::string literal = word(1, 3);
    for (const std::string& p : {"%" + literal + "%", literal + "%", "%" + literal, literal}) {
      ASSERT_EQ(LikeMatch(t, p, collation), LiteralLike(t, p))
          << "'" << t << "' LIKE '" << p << "'";
    }
  }
}

TEST(LikeMatchTest, ManyPercentSignsDoNotBacktrack) {
  const std::shared_ptr<const TCollation> collation = UserCollation();
  const std::string text(3000, 'a');
  std::string pattern;
  for (int k = 0; k < 40; ++k) pattern += "%a";
  EXPECT_FALSE(LikeMatch(text, pattern + "%b", *collation));
  EXPECT_TRUE(LikeMatch(text, pattern + "%", *collation));
  EXPECT_TRUE(LikeMatch(text, pattern, *collation));
}

// ---- IN lists of constants against the walk ---------------------------------

TEST(ValueSetTest, SortedSearchAgreesWithTheWalk) {
  std::mt19937 rng(7);
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  auto value = [&]() {
    TZorValue v;
    switch (pick(6)) {
      case 0:
        v.SetNull(ftInteger);
        break;
      case 1:
        v.SetFloat(pick(8) / 2.0);
        break;
      case 2:
        v.SetString(std::to_string(pick(5)));
        break;
      case 3:
        v.SetLargeInt(pick(5));
        break;
      case 4:
        v.SetString(pick(2) == 0 ? "x" : "a");
        break;
      default:
        v.SetInteger(pick(5));
        break;
    }
    return v;
  };
  auto walk = [](const TZorValue& tested, const std::vector<TZorValue>& items) {
    return Caught([&] {
      bool null = false;
      for (const TZorValue& v : items) {
        const int c = TZorValue::Compare(tested, v);
        if (c == zcrEqual) return std::string("Boolean true");
        null = null || c >= zcrLeftNull;
      }
      return std::string(null ? "Boolean NULL" : "Boolean false");
    });
  };
  for (int round = 0; round < 3000; ++round) {
    std::vector<TZorValue> items;
    const int count = 1 + pick(6);
    // Half of the lists hold one kind only, so that the sorted search runs.
    const bool uniform = pick(2) == 0;
    for (int k = 0; k < count; ++k) {
      TZorValue v = value();
      if (uniform && !v.IsNull()) v.SetInteger(pick(5));
      items.push_back(v);
    }
    TZorValueSet set;
    set.Assign(items);
    for (int probe = 0; probe < 4; ++probe) {
      TZorValue tested = value();
      if (tested.IsNull()) tested.SetInteger(pick(5));
      const std::string got = Caught([&] {
        TZorValue result;
        set.Find(tested, nullptr, result);
        return Show(result);
      });
      ASSERT_EQ(got, walk(tested, items)) << Show(tested);
    }
  }
}

}  // namespace
}  // namespace kivo
