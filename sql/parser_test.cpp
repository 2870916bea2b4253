#include "sql/parser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/value_text.h"

namespace kivo {
namespace {

// The tree as a compact S-expression: constants as SQL literals, fields by
// name, every other node as (operator children...).
std::string Shape(const TZorExprNode* n) {
  if (const auto* c = dynamic_cast<const TZorExprNodeConst*>(n)) {
    if (c->Value.IsNull()) return "NULL";
    if (IsStringType(c->Value.DataType())) return "'" + c->Value.AsString() + "'";
    if (c->Value.DataType() == ftBoolean) return c->Value.AsBoolean() ? "TRUE" : "FALSE";
    return c->Value.AsString();
  }
  if (const auto* f = dynamic_cast<const TZorExprNodeField*>(n)) return f->QualifiedName();
  std::string head;
  if (const auto* s = dynamic_cast<const TZorExprNodeSubQuery*>(n)) {
    head = std::string(s->Negated ? "NOT " : "") + n->ClassName() + " {" + s->SQLText + "}";
  } else if (const auto* a = dynamic_cast<const TZorExprNodeAggregated*>(n)) {
    head = std::string(OperatorName(n->Operator)) + (a->Distinct ? " DISTINCT" : "");
  } else if (const auto* d = dynamic_cast<const TZorExprNodeDateFunction*>(n)) {
    head = "date" + std::to_string(n->Operator) + (d->Format.empty() ? "" : " '" + d->Format + "'");
  } else if (const auto* c = dynamic_cast<const TZorExprNodeCast*>(n)) {
    head = std::string("CAST ") + TZorValue::TypeName(c->TargetType);
  } else if (const auto* s = dynamic_cast<const TZorExprNodeSystem*>(n)) {
    head = "LASTAUTOINC " + std::string(s->InMemory ? "MEMORY " : "") + s->TableName + " " +
           s->Password;
  } else if (std::string(OperatorName(n->Operator)) == "unknown") {
    head = "#" + std::to_string(n->Operator);
  } else {
    head = OperatorName(n->Operator);
  }
  std::string out = "(" + head;
  for (int i = 0; i < n->ChildCount(); ++i) out += " " + Shape(n->Child(i));
  return out + ")";
}

struct Parsed {
  std::string shape;
  std::string rest;  // the text of the first token not consumed
};

Parsed Parse(const std::string& text, bool condition) {
  TKivoLexer lexer(text);
  lexer.NextCommand();
  TZorExpression e(lexer);
  condition ? e.ParseSearchCondition() : e.ParseValueExpression();
  TToken next;
  Parsed p{e.IsEmpty() ? "<none>" : Shape(e.Root()), ""};
  if (lexer.GetCurrentToken(next)) p.rest = std::string(next.Text);
  return p;
}

std::string Condition(const std::string& text) {
  const Parsed p = Parse(text, true);
  return p.rest.empty() ? p.shape : p.shape + " | " + p.rest;
}

std::string Value(const std::string& text) {
  const Parsed p = Parse(text, false);
  return p.rest.empty() ? p.shape : p.shape + " | " + p.rest;
}

// The message and native code of what parsing raises; "" when it does not.
std::string ErrorOf(const std::string& text, bool condition, int* native = nullptr) {
  try {
    Parse(text, condition);
  } catch (const ZorException& e) {
    if (native != nullptr) *native = e.NativeError();
    return e.Message();
  } catch (const Exception& e) {
    if (native != nullptr) *native = 0;
    return e.Message();
  }
  return "";
}

TEST(ParserTest, PrecedenceAndAssociativity) {
  const std::vector<std::pair<std::string, std::string>> conditions = {
      {"a = 1 OR b = 2 AND c = 3", "(OR (= a 1) (AND (= b 2) (= c 3)))"},
      {"NOT a = 1", "(NOT (= a 1))"},
      {"! a = 1", "(NOT (= a 1))"},
      {"x IS NOT NULL", "(IS NOT NULL x)"},
      {"x IS NULL", "(IS NULL x)"},
      {"x NOT LIKE 'A%'", "(NOT LIKE x 'A%')"},
      {"x NOT BETWEEN 1 AND 5", "(#13 x 1 5)"},
      {"x NOT IN (1, 2)", "(#11 x 1 2)"},
      {"x IN (1 2)", "(#10 x 1 2)"},
      {"(a = 1 AND b = 2) AND c = 3", "(AND (= a 1) (= b 2) (= c 3))"},
      // Nested conjunctions join the root in their place, so guards keep
      // their order: x <> 0 still comes before 10 / x.
      {"(x <> 0 AND z = 1) AND 10 / x > 1", "(AND (<> x 0) (= z 1) (> (/ 10 x) 1))"},
      {"a = 1 && b == 2", "(AND (= a 1) (= b 2))"},
      {"a != 1", "(<> a 1)"},
      {"a = NULL", "(= a NULL)"},
      {"NULL IS NULL", "(IS NULL NULL)"},
      {"TRUE", "TRUE"},
      {"a = 1 IS TRUE", "(= a 1)"},
      {"a = 1 IS FALSE", "(NOT (= a 1))"},
      {"a = 1 IS NOT TRUE", "(NOT (= a 1))"},
      {"a = 1 IS NOT FALSE", "(= a 1)"},
      {"a = 1 IS UNKNOWN", "(IS NULL (= a 1))"},
      {"a = 1 IS NOT UNKNOWN", "(IS NOT NULL (= a 1))"},
      {"3 < (a + b)", "(< 3 (+ a b))"},
      {"a = 1 OR b = 2 OR c = 3", "(OR (= a 1) (= b 2) (= c 3))"},
      {"ISNULL(a)", "(ISNULL a)"},
      {"ISNULL(a, 0) = 5", "(= (ISNULL a 0) 5)"},
      {"a = 1 ORDER BY a", "(= a 1) | ORDER"},
  };
  for (const auto& [text, shape] : conditions) EXPECT_EQ(Condition(text), shape) << text;

  const std::vector<std::pair<std::string, std::string>> values = {
      {"a - b - c", "(+ a (- b) (- c))"},
      {"2 * 3 + 4", "(+ (* 2 3) 4)"},
      {"2 + 3 * 4", "(+ 2 (* 3 4))"},
      {"8 / 2 * 2", "(* (/ 8 2) 2)"},
      {"1 << 2 * 3", "(* (SHL 1 2) 3)"},
      {"a * b * c * d", "(* a b c d)"},
      {"a * b / c * d", "(* (/ (* a b) c) d)"},
      {"a % b MOD c", "(MOD a b c)"},
      {"a & b | c ^ d", "(XOR (#69 (#68 a b) c) d)"},
      {"a SHR 2 >> 1 XOR 3", "(XOR (SHR a 2 1) 3)"},
      {"-a", "(- a)"},
      {"+a", "a"},
      {"~a * 2", "(#67 a) | *"},
      {"!a", "(NOT a)"},
      {"'a' + 'b'", "(|| 'a' 'b')"},
      {"'a' || 'b'", "(|| 'a' 'b')"},
      {"name + 'x'", "(|| name 'x')"},
      {"1 + 'x'", "(|| 1 'x')"},
      {"a || b || c", "(|| a b c)"},
      {"a + b", "(+ a b)"},
      {"'a'", "'a'"},
      {"''", "NULL"},
      {"1.5e3", "1500"},
      {"$1F", "31"},
      {"NULL", "NULL"},
      {"TRUE", "TRUE"},
      {"[Order].[Date]", "Order.Date"},
      {"t.select", "<none> | t"},
      {"t.[select]", "t.select"},
      {"t.*", "t.*"},
      {"count(*)", "(COUNT(*))"},
      {"COUNT ( * )", "(COUNT(*))"},
      {"COUNT(DISTINCT x)", "(COUNT DISTINCT x)"},
      {"COUNT DISTINCT (x)", "(COUNT DISTINCT x)"},
      {"sum(a * 2)", "(SUM (* a 2))"},
      {"EXTRACT(YEAR FROM d)", "(date46 d)"},
      {"YEAR(d)", "(date46 d)"},
      {"YEAR(d) + 1", "(date46 d) | +"},
      {"CAST(x AS VARCHAR)", "(CAST String x)"},
      {"CAST(NULL, INTEGER)", "(CAST Integer NULL)"},
      {"UPPER(LOWER(a)) || 'x'", "(|| (UPPER (LOWER a)) 'x')"},
      {"SUBSTRING(a FROM 2 FOR 3)", "(#34 a 2 3)"},
      {"SUBSTRING(a, 2)", "(#34 a 2)"},
      {"POSITION('b' IN a) + 1", "(+ (#33 'b' a) 1)"},
      {"LENGTH(a || 'x') * 2", "(* (#32 (|| a 'x')) 2)"},
      {"TOSTRING(d, 'YYYY')", "(date45 'YYYY' d)"},
      {"TODATE('2007', 'YYYY')", "(date44 'YYYY' '2007')"},
      {"SYSDATE", "(date41)"},
      {"CURRENT_DATE", "(date42)"},
      {"ROUND(a, 2) + MOD(a, 3) + POWER(2, 8)", "(+ (ROUND a 2) (MOD a 3) (POWER 2 8))"},
      {"RANDOM", "(RANDOM)"},
      {"HEX(255, 1)", "(HEX 255 1)"},
      {"LASTAUTOINC(MEMORY t PASSWORD 'pw')", "(LASTAUTOINC MEMORY t pw)"},
      {"LASTAUTOINC()", "(LASTAUTOINC  )"},
      {"ISNULL(a, 'x')", "(ISNULL a 'x')"},
      {"(a + 1) * 2", "(* (+ a 1) 2)"},
      {"((('a')))", "'a'"},
  };
  for (const auto& [text, shape] : values) EXPECT_EQ(Value(text), shape) << text;
}

TEST(ParserTest, SubQueriesAreKeptAsTextThatReadsBackTheSame) {
  EXPECT_EQ(Condition("n IN (SELECT name FROM t WHERE n = 'O''Brien')"),
            "(TZorExprNodeSubQueryIN {SELECT name FROM t WHERE n = 'O''Brien'} n)");
  EXPECT_EQ(Condition("NOT EXISTS (SELECT * FROM t)"),
            "(NOT TZorExprNodeSubQueryExists {SELECT * FROM t})");
  EXPECT_EQ(Condition("x NOT IN (SELECT a FROM t)"),
            "(NOT TZorExprNodeSubQueryIN {SELECT a FROM t} x)");
  EXPECT_EQ(Value("(SELECT MAX(t.[a]]b]) FROM [x y] WHERE c = :p AND d IN (SELECT 1))"),
            "(TZorExprNodeSubQuery {SELECT MAX ( t.[a]]b] ) FROM [x y] WHERE c = :p AND d IN ( "
            "SELECT 1 )})");

  // Tokens of the kept text equal the tokens of the original.
  const std::string original = "(SELECT [a]]b], 'it''s', t.c, :p FROM [x y] WHERE c <> 1.5)";
  TKivoLexer lexer(original);
  lexer.NextCommand();
  TZorExpression e(lexer);
  e.ParseValueExpression();
  const auto* sub = dynamic_cast<const TZorExprNodeSubQuery*>(e.Root());
  ASSERT_NE(sub, nullptr);
  TKivoLexer again(sub->SQLText);
  again.NextCommand();
  ASSERT_EQ(lexer.TokenCount(0), again.TokenCount(0) + 2);  // the parentheses
  for (int i = 0; i < again.TokenCount(0); ++i) {
    EXPECT_EQ(lexer.TokenAt(0, i + 1).Text, again.TokenAt(0, i).Text) << i;
    EXPECT_EQ(lexer.TokenAt(0, i + 1).TokenType, again.TokenAt(0, i).TokenType) << i;
  }
}

// A parameter's value becomes a constant of its own type, whatever its text.
TEST(ParserTest, ParametersBecomeTypedConstants) {
  TParams params;
  params.Add("flag").SetAsBoolean(true);
  params.Add("none", ftInteger);
  params.Add("big").SetAsLargeInt(5000000000LL);
  params.Add("when").SetAsDateTime(39156.5 + 1234.0 / 86400000.0);
  params.Add("name").SetAsString("O'Brien");
  params.Add("price").SetAsFloat(2.5);
  auto root = [&](const std::string& text, bool condition) {
    TKivoLexer lexer(text, &params);
    lexer.NextCommand();
    TZorExpression e(lexer);
    condition ? e.ParseSearchCondition() : e.ParseValueExpression();
    TZorNodePtr node = e.TakeRoot();
    EXPECT_TRUE(node != nullptr) << text;
    return node;
  };
  TZorNodePtr flag = root(":flag", false);
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(flag->Value.DataType(), ftBoolean);
  EXPECT_TRUE(flag->Value.AsBoolean());

  // A NULL number still counts as a number: a sum, not a concatenation.
  TZorNodePtr sum = root("a + :none", false);
  ASSERT_NE(sum, nullptr);
  EXPECT_EQ(sum->Operator, opAdd);
  EXPECT_TRUE(sum->Child(1)->Value.IsNull());
  EXPECT_EQ(sum->Child(1)->Value.DataType(), ftInteger);

  TZorNodePtr big = root("id = :big", true);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->Child(1)->Value.AsLargeInt(), 5000000000LL);

  TZorNodePtr when = root(":when", false);
  ASSERT_NE(when, nullptr);
  EXPECT_EQ(when->Value.DataType(), ftDateTime);
  EXPECT_DOUBLE_EQ(when->Value.AsDateTime(), 39156.5 + 1234.0 / 86400000.0);

  // In a sub-query's text each value is written as a literal of its type.
  TZorNodePtr sub = root(
      "x IN (SELECT a FROM t WHERE f = :flag AND n = :name AND p = :price AND b = :big "
      "AND z = :none)",
      true);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(dynamic_cast<const TZorExprNodeSubQuery&>(*sub).SQLText,
            "SELECT a FROM t WHERE f = TRUE AND n = 'O''Brien' AND p = 2.5 AND b = 5000000000 "
            "AND z = NULL");
}

TEST(ParserTest, EveryErrorTextAndNumber) {
  struct Case {
    std::string text;
    bool condition;
    int native;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a = 1 OR", true, 1037, "Boolean expression expected, but 'OR' found at line 1, column 7"},
      {"a = 1 OR ORDER", true, 1037,
       "Boolean expression expected, but 'ORDER' found at line 1, column 10"},
      {"a = 1 AND ORDER", true, 1038, ""},
      {"NOT ORDER", true, 1040,
       "Boolean expression expected, but 'ORDER' found at line 1, column 5"},
      {"a", true, 1041, "Boolean expression expected, but 'a' found at line 1, column 1"},
      {"(a + b) > 3", true, 1041, "Boolean expression expected, but 'a' found at line 1, column 2"},
      {"a = 1 IS 5", true, 1042, "Unexpected token '5' found at line 1, column 10"},
      {"a = 1 IS NOT 5", true, 1043, "Unexpected token '5' found at line 1, column 14"},
      {"a = 1 IS NULL", true, 1044,
       "Token 'TRUE, FALSE or UNKNOWN' expected, but 'NULL' found at line 1, column 10"},
      {"(a = 1 b)", true, 2111, "')' symbol expected, but 'b' found at line 1, column 8"},
      {"a IN (1, ORDER)", true, 1090,
       "Expression expected, but 'ORDER' found at line 1, column 10"},
      {"qty + WHERE", false, 1090, "Expression expected, but 'WHERE' found at line 1, column 7"},
      {"'a' || ", false, 1090, ""},
      {"COUNT(* x)", false, 2103, "')' symbol expected, but 'x' found at line 1, column 9"},
      {"SUM x", false, 2104, "'(' symbol expected, but 'x' found at line 1, column 5"},
      {"SUM(ORDER)", false, 2105, "Argument expected for function 'SUM' at line 1, column 5"},
      {"AVG(a b)", false, 2106, "')' symbol expected, but 'b' found at line 1, column 7"},
      {"(a b)", false, 2111, "')' symbol expected, but 'b' found at line 1, column 4"},
      {"CAST(a AS AUTOINC)", false, 2115,
       "Cannot convert an expression to specified type: 'AutoInc'"},
      {"CAST(a AS NOTHING)", false, 2115,
       "Cannot convert an expression to specified type: 'unknown'"},
      {"CAST(a AS INTEGER b)", false, 2116,
       "')' symbol expected, but 'b' found at line 1, column 19"},
      {"UPPER a", false, 2094, "'(' symbol expected, but 'a' found at line 1, column 7"},
      {"UPPER(a b)", false, 2095, "')' symbol expected, but 'b' found at line 1, column 9"},
      {"UPPER(ORDER)", false, 2096,
       "String argument expected for function 'UPPER', but 'ORDER' found at line 1, column 7"},
      {"SUBSTRING a", false, 2126, ""},
      {"SUBSTRING(ORDER)", false, 2127,
       "Argument expected for function 'SUBSTRING' at line 1, column 11"},
      {"SUBSTRING(a; 1)", false, 1, "Missing right parenthesis at line 1, column 10"},
      {"SUBSTRING(a b)", false, 2128,
       "Token ',' or 'from' expected, but 'b' found at line 1, column 13"},
      {"SUBSTRING(a, ORDER)", false, 2129,
       "Argument expected for function 'SUBSTRING' at line 1, column 14"},
      {"SUBSTRING(a, 1 b)", false, 2130,
       "Token ')' or ',' or 'FOR' expected, but 'b' found at line 1, column 16"},
      {"SUBSTRING(a, 1, 2 b)", false, 2131, ""},
      {"POS a", false, 2132, ""},
      {"POS(a, b c)", false, 2133, ""},
      {"POS(ORDER)", false, 2134, "Argument expected for function 'POS' at line 1, column 5"},
      {"POS(a b)", false, 2135, "Token ',' or 'IN' expected, but 'b' found at line 1, column 7"},
      {"POS(a, ORDER)", false, 2136, ""},
      {"LENGTH a", false, 2137, ""},
      {"LENGTH(ORDER)", false, 2138, ""},
      {"LENGTH(a b)", false, 2139, ""},
      {"TODATE(ORDER)", false, 2141, ""},
      {"TODATE a", false, 2142, ""},
      {"TODATE(a b)", false, 2143, "Token ',' expected, but 'b' found at line 1, column 10"},
      {"TODATE(a, b)", false, 2144,
       "Const DateFormat string expected, but 'b' found at line 1, column 11"},
      {"TODATE(a, 'YYYY' b)", false, 2145, ""},
      {"TOSTRING a", false, 2147, ""},
      {"TOSTRING(ORDER)", false, 2148, ""},
      {"TOSTRING(a b)", false, 2149, ""},
      {"TOSTRING(a, 'YYYY' b)", false, 2131, ""},
      {"YEAR a", false, 71, ""},
      {"YEAR(a b)", false, 72, ""},
      {"YEAR(ORDER)", false, 73, "Argument expected for function 'YEAR' at line 1, column 6"},
      {"EXTRACT a", false, 74, ""},
      {"EXTRACT(YEAR a)", false, 75, "FROM or ',' expected, but 'a' found at line 1, column 14"},
      {"ISNULL(ORDER)", false, 66, ""},
      {"ISNULL(a b)", false, 67, ""},
      {"ISNULL a", false, 69, ""},
      {"ABS a", false, 78, ""},
      {"ABS(ORDER)", false, 79, ""},
      {"ABS(a b)", false, 80, ""},
      {"MOD(a b)", false, 81, "Token ',' expected, but 'b' found at line 1, column 7"},
      {"POWER(a, ORDER)", false, 82, ""},
      {"ROUND(a, ORDER)", false, 83, ""},
      {"LASTAUTOINC t", false, 2155, ""},
      {"LASTAUTOINC(MEMORY )", false, 2152,
       "Table name expected, but ')' found at line 1, column 20"},
      {"LASTAUTOINC(t PASSWORD ,)", false, 2153, ""},
      {"LASTAUTOINC(t u)", false, 2154, ""},
      {"99999999999", false, 0, "'99999999999' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    int native = -2;
    const std::string message = ErrorOf(c.text, c.condition, &native);
    EXPECT_EQ(native, c.native) << c.text << ": " << message;
    if (!c.message.empty()) {
      const std::string suffix =
          c.native == 0
              ? ""
              : " - Native error: " + std::string(5 - std::to_string(c.native).size(), '0') +
                    std::to_string(c.native);
      EXPECT_EQ(message, c.message + suffix) << c.text;
    }
  }
  // Nothing to read at all.
  TKivoLexer empty("   ");
  TZorExpression e(empty);
  int native = 0;
  try {
    e.ParseSearchCondition();
  } catch (const ZorException& ex) {
    native = ex.NativeError();
  }
  EXPECT_EQ(native, 1039);
}

TEST(ParserTest, FailedValueLeavesNoTreeAndThePositionUnmoved) {
  EXPECT_EQ(Value("ORDER BY a"), "<none> | ORDER");
  EXPECT_EQ(Value("a, b"), "a | ,");
}

// Deep nesting raises a clean error instead of exhausting the stack.
TEST(ParserTest, NestingIsLimited) {
  const int limit = TZorExpression::kMaxNesting;
  auto nested = [](int depth, const std::string& open, const std::string& inner) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += inner;
    for (int i = 0; i < depth; ++i) text += ")";
    return text;
  };
  EXPECT_EQ(Value(nested(limit, "(", "1")), "1");
  EXPECT_EQ(Value(nested(limit, "UPPER(", "a")).substr(0, 7), "(UPPER ");
  for (const std::string open : {"(", "UPPER(", "ABS(", "CAST(", "LENGTH(", "ISNULL(", "YEAR("}) {
    int native = 0;
    const std::string message = ErrorOf(nested(5000, open, "1"), false, &native);
    EXPECT_EQ(native, native_error::kNestingTooDeep) << open << message;
  }
  int native = 0;
  EXPECT_EQ(ErrorOf(nested(5000, "(", "a = 1"), true, &native),
            "Expression nested too deeply (more than 128 levels) at line 1, column 130 - Native "
            "error: 01094");
  EXPECT_EQ(native, native_error::kNestingTooDeep);
  ErrorOf("a IN " + nested(5000, "(", "1"), true, &native);
  EXPECT_EQ(native, native_error::kNestingTooDeep);
  // Alternating operators build one level per change: bounded as well.
  std::string alternating = "a";
  for (int i = 0; i < 3000; ++i) alternating += i % 2 == 0 ? " * b" : " / c";
  ErrorOf(alternating, false, &native);
  EXPECT_EQ(native, native_error::kNestingTooDeep);
}

// Rules that several alternatives try at one position are read once: each of
// these would take 2^60 steps if every try parsed its operand again.
TEST(ParserTest, NestedCallsParseInLinearTime) {
  auto nested = [](int depth, const std::string& open, const std::string& inner,
                   const std::string& close) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += inner;
    for (int i = 0; i < depth; ++i) text += close;
    return text;
  };
  EXPECT_EQ(Value(nested(60, "UPPER(", "a", ")")).size(), 60 * 7 + 1 + 60);
  EXPECT_EQ(Value(nested(60, "(", "'a'", ")")), "'a'");
  EXPECT_EQ(Value(nested(60, "LENGTH((", "a", ") || 'x')")).substr(0, 8), "(#32 (||");
  EXPECT_EQ(Condition(nested(60, "ISNULL(", "a", ", 1)") + " = 1").substr(0, 10), "(= (ISNULL");
  EXPECT_EQ(Condition("x LIKE " + nested(60, "(", "'a'", ")")), "(LIKE x 'a')");
}

TEST(ParserTest, LongChainsAreWideNotDeep) {
  std::string ors = "a = 0";
  for (int i = 1; i < 100000; ++i) ors += " OR a = " + std::to_string(i);
  TKivoLexer lexer(ors);
  lexer.NextCommand();
  TZorExpression e(lexer);
  e.ParseSearchCondition();
  ASSERT_NE(e.Root(), nullptr);
  EXPECT_EQ(e.Root()->ChildCount(), 100000);
  EXPECT_EQ(e.Root()->Height(), 3);

  std::string product = "1";
  for (int i = 0; i < 20000; ++i) product += " * a";
  TKivoLexer lexer2(product + " + 1");
  lexer2.NextCommand();
  TZorExpression e2(lexer2);
  e2.ParseValueExpression();
  ASSERT_NE(e2.Root(), nullptr);
  EXPECT_EQ(e2.Root()->Child(0)->ChildCount(), 20001);

  std::string concat = "'x'";
  for (int i = 0; i < 20000; ++i) concat += " || b";
  EXPECT_EQ(Value(concat).size(), 7 + 20000 * 2 + 1);
}

// A stand-in table description: fields of two tables.
class TwoTables : public TZorFieldSource {
 public:
  struct Field {
    std::string table, name;
    std::uint8_t type;
    std::int32_t size;
  };
  std::vector<Field> fields = {{"t", "id", ftInteger, 0},
                               {"t", "name", ftString, 30},
                               {"u", "id", ftLargeint, 0},
                               {"u", "Note date", ftDate, 0}};

  std::vector<int> MatchingFields(std::string_view qualifier,
                                  std::string_view name) const override {
    std::vector<int> out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if ((qualifier.empty() || AnsiSameText(qualifier, fields[i].table)) &&
          AnsiSameText(name, fields[i].name)) {
        out.push_back(static_cast<int>(i));
      }
    }
    return out;
  }
  std::uint8_t FieldType(int n) const override { return fields[static_cast<std::size_t>(n)].type; }
  std::int32_t FieldSize(int n) const override { return fields[static_cast<std::size_t>(n)].size; }
  void ReadField(int n, TZorValue& out) const override { out.SetNull(FieldType(n)); }
};

TEST(ParserTest, FieldReferencesBindThroughTheSource) {
  TwoTables tables;
  TKivoLexer lexer("u.ID + T.id * [u].[Note date]");
  lexer.NextCommand();
  TZorExpression e(lexer);
  e.ParseValueExpression();
  ASSERT_TRUE(e.Root()->IsResolvableIn(tables));
  EXPECT_FALSE(e.Root()->IsFieldFree());
  e.Bind(tables);
  const auto* uid = dynamic_cast<const TZorExprNodeField*>(e.Root()->Child(0));
  ASSERT_NE(uid, nullptr);
  EXPECT_EQ(uid->FieldNo, 2);
  EXPECT_EQ(uid->GetResultType(), ftLargeint);
  const auto* date = dynamic_cast<const TZorExprNodeField*>(e.Root()->Child(1)->Child(1));
  ASSERT_NE(date, nullptr);
  EXPECT_EQ(date->FieldNo, 3);

  for (const char* text : {"id", "nothing", "v.name"}) {
    TKivoLexer l(text);
    l.NextCommand();
    TZorExpression x(l);
    x.ParseValueExpression();
    EXPECT_FALSE(x.Root()->IsResolvableIn(tables)) << text;
    try {
      x.Bind(tables);
      ADD_FAILURE() << text;
    } catch (const ZorException& ex) {
      EXPECT_EQ(ex.Message(), "Field '" + std::string(text) + "' not found - Native error: 02108");
    }
  }
  TKivoLexer l("name");
  l.NextCommand();
  TZorExpression x(l);
  x.ParseValueExpression();
  ASSERT_TRUE(x.IsField());
  std::string table, field;
  x.GetFieldName(table, field);
  EXPECT_EQ(field, "name");
  TZorExpression wrapped(std::make_unique<TZorExprNodeConst>(TZorValue()));
  EXPECT_THROW(wrapped.GetFieldName(table, field), ZorException);
}

TEST(ParserTest, DumpShowsOneLinePerNode) {
  TKivoLexer lexer("UPPER(t.a) || 'x' = COUNT(b) AND b > 1.5");
  lexer.NextCommand();
  TZorExpression e(lexer);
  e.ParseSearchCondition();
  EXPECT_EQ(e.Dump(),
            "(AND) TZorExprNodeBoolean\n"
            "  (=) TZorExprNodeComparison\n"
            "    (||)   <string function>\n"
            "      (UPPER)   <string function>\n"
            "        (t.a)  [field]\n"
            "      (x)  String  <const>\n"
            "    (COUNT)   <group function>\n"
            "      (b)  [field]\n"
            "  (>) TZorExprNodeComparison\n"
            "    (b)  [field]\n"
            "    (1.5)  Float  <const>\n");
  // A copy is a whole separate tree.
  TZorNodePtr copy = e.Root()->Clone();
  std::string dumped;
  copy->Dump(0, dumped);
  EXPECT_EQ(dumped, e.Dump());
}

// Random token soup and mutated expressions either parse or raise one of
// the engine's errors; never anything else.
TEST(ParserTest, RandomInputParsesOrRaisesCleanly) {
  const std::vector<std::string> vocabulary = {
      "a",       "t.b",       "1",        "2.5",    "'s'",    "(",           ")",        ",",
      "+",       "-",         "*",        "/",      "||",     "=",           "<>",       "<",
      ">=",      "AND",       "OR",       "NOT",    "IS",     "NULL",        "TRUE",     "LIKE",
      "BETWEEN", "IN",        "EXISTS",   "SELECT", "FROM",   "CAST",        "AS",       "INTEGER",
      "UPPER",   "SUBSTRING", "FOR",      "POS",    "LENGTH", "TODATE",      "TOSTRING", "YEAR",
      "EXTRACT", "COUNT",     "DISTINCT", "SUM",    "ISNULL", "LASTAUTOINC", "MEMORY",   "PASSWORD",
      "MOD",     "ROUND",     "RANDOM",   "!",      "~",      "&&",          "[x]",      "UNKNOWN",
      "FALSE",   "*",         "SHL",      "$F",
  };
  std::mt19937 rng(12345);
  int parsed = 0, raised = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string text;
    const int length = 1 + static_cast<int>(rng() % 14);
    for (int i = 0; i < length; ++i) text += vocabulary[rng() % vocabulary.size()] + " ";
    for (bool condition : {true, false}) {
      try {
        Parse(text, condition);
        ++parsed;
      } catch (const ZorException&) {
        ++raised;
      } catch (const EConvertError&) {
        ++raised;
      }
    }
  }
  EXPECT_GT(parsed, 300);
  EXPECT_GT(raised, 300);
}

}  // namespace
}  // namespace kivo
