#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/value_text.h"
#include "sql/stmt/select_parse.h"
#include "sql/stmt/union_parse.h"

namespace kivo {
namespace {

// ---- A compact text form of the syntax objects ---------------------------

std::string Shape(const TZorExprNode* n) {
  if (n->IsConstant()) {
    if (n->Value.IsNull()) return "NULL";
    const std::string text = n->Value.AsString();
    return IsStringType(n->Value.DataType()) ? "'" + text + "'" : text;
  }
  if (const auto* f = dynamic_cast<const TZorExprNodeField*>(n)) return f->QualifiedName();
  std::string out = std::string("(") + OperatorName(n->Operator);
  for (int i = 0; i < n->ChildCount(); ++i) out += " " + Shape(n->Child(i));
  return out + ")";
}

std::string Shape(const TZorExpression* e) {
  return e == nullptr || e->Root() == nullptr ? "<none>" : Shape(e->Root());
}

std::string Qualified(const std::string& table, const std::string& name) {
  return table.empty() ? name : table + "." + name;
}

std::string Shape(const TZorTableReference& r) {
  if (!r.IsJoin) {
    std::string out = (r.InMemory ? "MEMORY " : "") + Qualified(r.DatabaseName, r.TableName);
    if (!r.Alias.empty()) out += " AS " + r.Alias;
    if (!r.Password.empty()) out += " PASSWORD " + r.Password;
    return out;
  }
  static const char* const kTypes[] = {"CROSS", "INNER", "EMPTY", "LEFT", "RIGHT", "FULL"};
  std::string out = "(" + Shape(*r.LeftRef) + (r.Natural ? " NATURAL " : " ") + kTypes[r.JoinType] +
                    " " + Shape(*r.RightRef);
  if (r.OnCondition) out += " ON " + Shape(r.OnCondition.get());
  if (!r.UsingFields.empty()) {
    out += " USING";
    for (const std::string& f : r.UsingFields) out += " " + f;
  }
  return out + ")";
}

std::string Shape(const TKivoSQLSelect& s) {
  std::string out = "SELECT";
  if (s.Distinct()) out += " DISTINCT";
  if (s.TopCount() >= 0) out += " TOP " + std::to_string(s.TopCount());
  if (s.TopFirstRow() >= 0) out += "," + std::to_string(s.TopFirstRow());
  if (s.SelectAll()) out += " *";
  const char* separator = " ";
  for (const TZorSelectListItem& item : s.Items()) {
    out += separator;
    separator = ", ";
    if (item.IsExpression) {
      out += "{" + Shape(item.Expression.get()) + "}";
    } else {
      out += (item.IsStar ? "STAR " : "") + Qualified(item.TableName, item.FieldName);
    }
    if (!item.Pseudonym.empty()) out += " AS " + item.Pseudonym;
  }
  if (!s.IntoTableName().empty()) {
    out += std::string(" INTO ") + (s.IntoMemory() ? "MEMORY " : "") +
           Qualified(s.IntoDatabaseFileName(), s.IntoTableName());
  }
  separator = " FROM ";
  for (const auto& ref : s.From()) {
    out += separator + Shape(*ref);
    separator = ", ";
  }
  if (s.Where()) out += " WHERE " + Shape(s.Where());
  separator = " GROUP BY ";
  for (int i = 0; i < s.GroupBy().Count(); ++i) {
    out += separator + Qualified(s.GroupBy()[i].TableName, s.GroupBy()[i].FieldName);
    separator = ", ";
  }
  if (s.Having()) out += " HAVING " + Shape(s.Having());
  separator = " ORDER BY ";
  for (const TZorSortSpecification& sort : s.OrderBy()) {
    out += separator + Qualified(sort.TableName, sort.FieldName) + (sort.Descending ? " DESC" : "");
    separator = ", ";
  }
  return out;
}

std::string Shape(const TZorQueryExprNode& n) {
  if (n.Kind == qkSelect) return "[" + Shape(*n.Select) + "]";
  static const char* const kKinds[] = {"", "UNION", "EXCEPT", "INTERSECT"};
  std::string out = "(" + Shape(*n.LeftNode) + " " + kKinds[n.Kind];
  if (n.All) out += " ALL";
  if (n.Corresponding) out += " CORRESPONDING";
  for (const std::string& f : n.CorrespondingFields) out += " " + f;
  return out + " " + Shape(*n.RightNode) + ")";
}

// The statement's shape, followed by " | " and the first token left unread.
std::string Parsed(const std::string& sql) {
  TKivoLexer lexer(sql);
  lexer.NextCommand();
  TKivoSQLUnion statement(lexer);
  std::string out = Shape(statement.Root());
  TToken rest;
  if (lexer.GetCurrentToken(rest)) out += " | " + std::string(rest.Text);
  return out;
}

// The message of what parsing raises ("" when nothing is), and its number.
std::string ErrorOf(const std::string& sql, int* native = nullptr) {
  try {
    Parsed(sql);
  } catch (const ZorException& e) {
    if (native != nullptr) *native = e.NativeError();
    return e.Message();
  }
  return "";
}

// ---- Structure -----------------------------------------------------------

TEST(SelectParseTest, StatementsBecomeTheirSyntaxObjects) {
  const std::pair<std::string, std::string> cases[] = {
      {"SELECT * FROM t", "[SELECT * FROM t]"},
      {"select all a FROM t", "[SELECT a FROM t]"},
      {"SELECT DISTINCT a, t.b FROM t", "[SELECT DISTINCT a, t.b FROM t]"},
      {"SELECT TOP 10 * FROM t", "[SELECT TOP 10 * FROM t]"},
      {"SELECT TOP 10, 5 a, b + 1 FROM t", "[SELECT TOP 10,5 a, {(+ b 1)} FROM t]"},
      {"SELECT t.*, u.* FROM t, u", "[SELECT STAR t.*, STAR u.* FROM t, u]"},
      {"SELECT a AS x, b y, c 'z', d [w w], e AS \"v\" FROM t",
       "[SELECT a AS x, b AS y, c AS z, d AS w w, e AS v FROM t]"},
      {"SELECT COUNT(*) n, UPPER(a) FROM t", "[SELECT {(COUNT(*))} AS n, {(UPPER a)} FROM t]"},
      {"SELECT [Order].[Date] FROM [Order]", "[SELECT Order.Date FROM Order]"},
      {"SELECT 'x' FROM t", "[SELECT {'x'} FROM t]"},
      {"SELECT a INTO r FROM t", "[SELECT a INTO r FROM t]"},
      {"SELECT a INTO MEMORY db.r FROM t", "[SELECT a INTO MEMORY db.r FROM t]"},
      {"SELECT a INTO 'my db'.[select] FROM t", "[SELECT a INTO my db.select FROM t]"},
      {"SELECT * FROM MEMORY db.t AS x PASSWORD 'secret'",
       "[SELECT * FROM MEMORY db.t AS x PASSWORD secret]"},
      {"SELECT * FROM t x, [u v] AS 'w', select", "[SELECT * FROM t AS x, u v AS w, select]"},
      {"SELECT * FROM a JOIN b ON a.id = b.id", "[SELECT * FROM (a INNER b ON (= a.id b.id))]"},
      {"SELECT * FROM a NATURAL JOIN b", "[SELECT * FROM (a NATURAL INNER b)]"},
      {"SELECT * FROM a CROSS JOIN b", "[SELECT * FROM (a CROSS b)]"},
      {"SELECT * FROM a INNER JOIN b USING (id, [k k])",
       "[SELECT * FROM (a INNER b USING id k k)]"},
      {"SELECT * FROM a LEFT JOIN b ON x = y", "[SELECT * FROM (a LEFT b ON (= x y))]"},
      {"SELECT * FROM a LEFT OUTER JOIN b USING (x)", "[SELECT * FROM (a LEFT b USING x)]"},
      {"SELECT * FROM a RIGHT OUTER JOIN b USING (x)", "[SELECT * FROM (a RIGHT b USING x)]"},
      {"SELECT * FROM a NATURAL FULL OUTER JOIN b", "[SELECT * FROM (a NATURAL FULL b)]"},
      // Joins nest to the left; parentheses group the other way.
      {"SELECT * FROM a JOIN b USING (x) JOIN c USING (y)",
       "[SELECT * FROM ((a INNER b USING x) INNER c USING y)]"},
      {"SELECT * FROM a JOIN (b JOIN c USING (y)) USING (x)",
       "[SELECT * FROM (a INNER (b INNER c USING y) USING x)]"},
      {"SELECT * FROM ((a)), (b CROSS JOIN c) x", "[SELECT * FROM a, (b CROSS c)] | x"},
      {"SELECT * FROM t WHERE a = 1 AND (b = 2 AND c = 3)",
       "[SELECT * FROM t WHERE (AND (= a 1) (= b 2) (= c 3))]"},
      {"SELECT a, COUNT(*) FROM t GROUP BY a, t.b HAVING COUNT(*) > 1",
       "[SELECT a, {(COUNT(*))} FROM t GROUP BY a, t.b HAVING (> (COUNT(*)) 1)]"},
      {"SELECT * FROM t ORDER BY a, t.b DESC, [c] ASC, 'd'",
       "[SELECT * FROM t ORDER BY a, t.b DESC, c, d]"},
      // The statement stops after its last clause and leaves the rest.
      {"SELECT * FROM a b c", "[SELECT * FROM a AS b] | c"},
      {"SELECT * FROM t WHERE a = 1 ORDER BY a GROUP",
       "[SELECT * FROM t WHERE (= a 1) ORDER BY a] | GROUP"},
  };
  for (const auto& [sql, shape] : cases) EXPECT_EQ(Parsed(sql), shape) << sql;
}

TEST(SelectParseTest, SetExpressionsNestWithIntersectTighter) {
  const std::pair<std::string, std::string> cases[] = {
      {"SELECT a FROM t UNION SELECT b FROM u", "([SELECT a FROM t] UNION [SELECT b FROM u])"},
      {"SELECT a FROM t UNION ALL SELECT a FROM u EXCEPT SELECT a FROM v",
       "(([SELECT a FROM t] UNION ALL [SELECT a FROM u]) EXCEPT [SELECT a FROM v])"},
      {"SELECT a FROM t MINUS SELECT a FROM u INTERSECT SELECT a FROM v",
       "([SELECT a FROM t] EXCEPT ([SELECT a FROM u] INTERSECT [SELECT a FROM v]))"},
      {"SELECT a FROM t INTERSECT ALL CORRESPONDING SELECT a FROM u UNION SELECT a FROM v",
       "(([SELECT a FROM t] INTERSECT ALL CORRESPONDING [SELECT a FROM u]) UNION "
       "[SELECT a FROM v])"},
      {"(SELECT a FROM t UNION SELECT a FROM u) INTERSECT SELECT a FROM v",
       "(([SELECT a FROM t] UNION [SELECT a FROM u]) INTERSECT [SELECT a FROM v])"},
      {"SELECT a FROM t UNION CORRESPONDING BY (a, [b]) ((SELECT * FROM u))",
       "([SELECT a FROM t] UNION CORRESPONDING a b [SELECT * FROM u])"},
      // ORDER BY inside a parenthesised SELECT belongs to it; after the
      // closing parenthesis nothing takes it and it is left over.
      {"(SELECT a FROM t1 ORDER BY a) UNION (SELECT a FROM t2) ORDER BY a",
       "([SELECT a FROM t1 ORDER BY a] UNION [SELECT a FROM t2]) | ORDER"},
  };
  for (const auto& [sql, shape] : cases) EXPECT_EQ(Parsed(sql), shape) << sql;
}

TEST(SelectParseTest, OnlyASingleSelectHandsItsIntoToTheStatement) {
  TKivoLexer single("SELECT a INTO MEMORY db.r FROM t");
  single.NextCommand();
  TKivoSQLUnion one(single);
  EXPECT_EQ(one.IntoTableName(), "r");
  EXPECT_EQ(one.IntoDatabaseFileName(), "db");
  EXPECT_TRUE(one.IntoMemory());

  TKivoLexer set("SELECT a INTO MEMORY r FROM t UNION SELECT a FROM u");
  set.NextCommand();
  TKivoSQLUnion two(set);
  EXPECT_EQ(two.IntoTableName(), "");
  EXPECT_FALSE(two.IntoMemory());
  EXPECT_EQ(two.Root().LeftNode->Select->IntoTableName(), "r");
}

TEST(SelectParseTest, ASelectReadAloneStopsBeforeTheSetOperator) {
  TKivoLexer lexer("SELECT a FROM t UNION SELECT b FROM u");
  lexer.NextCommand();
  TKivoSQLSelect select(lexer);
  EXPECT_EQ(Shape(select), "SELECT a FROM t");
  TToken rest;
  ASSERT_TRUE(lexer.GetCurrentToken(rest));
  EXPECT_EQ(rest.Text, "UNION");
}

// ---- Aliases -------------------------------------------------------------

TEST(SelectParseTest, ConditionsReadSelectListAliasesAsTheAliasedFields) {
  const std::pair<std::string, std::string> cases[] = {
      {"SELECT x AS y FROM t WHERE y > 1", "[SELECT x AS y FROM t WHERE (> x 1)]"},
      {"SELECT t.x Y FROM t WHERE y > 1 OR UPPER(Y) = 'A'",
       "[SELECT t.x AS Y FROM t WHERE (OR (> t.x 1) (= (UPPER t.x) 'A'))]"},
      // The first item of that alias wins; other references stay.
      {"SELECT a k, b k FROM t WHERE k = z", "[SELECT a AS k, b AS k FROM t WHERE (= a z)]"},
      {"SELECT a n, COUNT(*) c FROM t GROUP BY a HAVING n > 1",
       "[SELECT a AS n, {(COUNT(*))} AS c FROM t GROUP BY a HAVING (> a 1)]"},
      {"SELECT a.id i FROM a JOIN b ON i = b.id",
       "[SELECT a.id AS i FROM (a INNER b ON (= a.id b.id))]"},
      // A qualified reference names a table's column, not an alias.
      {"SELECT t.x AS y FROM t, u WHERE u.y = y", "[SELECT t.x AS y FROM t, u WHERE (= u.y t.x)]"},
      // A computed column names no field: its alias stays a name.
      {"SELECT b + 1 AS c FROM t WHERE c > 1", "[SELECT {(+ b 1)} AS c FROM t WHERE (> c 1)]"},
      // With "*" there are no aliases; ORDER BY and GROUP BY are not
      // conditions.
      {"SELECT * FROM t WHERE y > 1", "[SELECT * FROM t WHERE (> y 1)]"},
      {"SELECT x y FROM t GROUP BY y ORDER BY y", "[SELECT x AS y FROM t GROUP BY y ORDER BY y]"},
  };
  for (const auto& [sql, shape] : cases) EXPECT_EQ(Parsed(sql), shape) << sql;
}

// ---- Errors --------------------------------------------------------------

TEST(SelectParseTest, EveryErrorTextAndNumber) {
  struct Case {
    std::string sql;
    int native;
    std::string message;
  };
  const std::string tn = "Table name expected, but '";
  const std::string fn = "Field name expected, but '";
  const std::string ut = "Unexpected token '";
  const Case cases[] = {
      {"SELECT TOP x a FROM t", 1091, "Integer expected, but 'x' found at line 1, column 12"},
      {"SELECT TOP 1, 'x' a FROM t", 1092, "Integer expected, but 'x' found at line 1, column 15"},
      {"SELECT FROM t", 1017, "Field list expected, but 'FROM' found at line 1, column 8"},
      {"SELECT a, FROM t", 1021, fn + "FROM' found at line 1, column 11"},
      {"SELECT , FROM t", 1090, "Expression expected, but ',' found at line 1, column 8"},
      {"SELECT a AS FROM t", 1010,
       "Field pseudonym expected, but 'FROM' found at line 1, column 13"},
      {"SELECT a INTO , FROM t", 1012, tn + ",' found at line 1, column 15"},
      {"SELECT a INTO db., FROM t", 1012, tn + ",' found at line 1, column 18"},
      {"SELECT a WHERE", 1014, "FROM expected, but 'WHERE' found at line 1, column 10"},
      {"SELECT a FROM ,", 1015, tn + ",' found at line 1, column 15"},
      {"SELECT a FROM t, 1", 1016, tn + "1' found at line 1, column 18"},
      {"SELECT a FROM t AS 1", 1018,
       "Field pseudonym expected, but '1' found at line 1, column 20"},
      {"SELECT a FROM MEMORY ,", 1019, tn + ",' found at line 1, column 22"},
      {"SELECT a FROM db.,", 1020, tn + ",' found at line 1, column 18"},
      {"SELECT a FROM ( , )", 1022, fn + ",' found at line 1, column 17"},
      {"SELECT a FROM (t u v)", 1023, ut + "v' found at line 1, column 20"},
      {"SELECT a FROM t LEFT b", 1028, ut + "b' found at line 1, column 22"},
      {"SELECT a FROM t LEFT WHERE", 1024,
       "Token 'JOIN' expected, but 'WHERE' found at line 1, column 22"},
      {"SELECT a FROM t NATURAL u", 1025, ut + "u' found at line 1, column 25"},
      {"SELECT a FROM t CROSS u", 1026, ut + "u' found at line 1, column 23"},
      {"SELECT a FROM t INNER u", 1027, ut + "u' found at line 1, column 23"},
      {"SELECT a FROM t RIGHT u", 1029, ut + "u' found at line 1, column 23"},
      {"SELECT a FROM t FULL u", 1030, ut + "u' found at line 1, column 22"},
      {"SELECT a FROM t FULL OUTER u", 1031, ut + "u' found at line 1, column 28"},
      {"SELECT a FROM t JOIN ,", 1032, tn + ",' found at line 1, column 22"},
      {"SELECT a FROM t JOIN u USING x", 1033,
       "Token '(' expected, but 'x' found at line 1, column 30"},
      {"SELECT a FROM t JOIN u USING (x y)", 1034, ut + "y' found at line 1, column 33"},
      {"SELECT a FROM t JOIN u USING ()", 1035, fn + ")' found at line 1, column 31"},
      {"SELECT a FROM t JOIN u USING (x, 1)", 1036, fn + "1' found at line 1, column 34"},
      {"SELECT a FROM t ORDER a", 1045, "Token 'BY' expected, but 'a' found at line 1, column 23"},
      {"SELECT a FROM t ORDER BY a,", 1047,
       "Sort specification expected, but ',' found at line 1, column 27"},
      {"SELECT a FROM t ORDER BY", 1048,
       "Sort specification expected, but 'BY' found at line 1, column 23"},
      {"SELECT a FROM t ORDER BY 1", 1049, fn + "1' found at line 1, column 26"},
      {"SELECT a FROM t ORDER BY t.,", 1050, ut + ",' found at line 1, column 28"},
      {"SELECT a FROM t PASSWORD x", 1058,
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, "
       "column 26"},
      {"SELECT a FROM t GROUP a", 1063, "Token 'BY' expected, but 'a' found at line 1, column 23"},
      {"SELECT a FROM t GROUP BY a,", 1064, fn + ",' found at line 1, column 27"},
      {"SELECT a FROM t GROUP BY ,", 1065, fn + ",' found at line 1, column 26"},
      {"SELECT a FROM t GROUP BY a + 1", 1066, fn + "a' found at line 1, column 26"},
      {"SELECT a FROM t GROUP BY t.*", 1066, fn + "t' found at line 1, column 26"},
      {"SELECT a FROM t UNION CORRESPONDING BY a", 1060,
       "Token '(' expected, but 'a' found at line 1, column 40"},
      {"SELECT a FROM t UNION CORRESPONDING BY (1)", 1009, fn + "1' found at line 1, column 41"},
      {"SELECT a FROM t UNION CORRESPONDING BY (a b)", 1007, ut + "b' found at line 1, column 43"},
      {"SELECT a FROM t UNION INSERT", 1061,
       "Token 'SELECT' expected, but 'INSERT' found at line 1, column 23"},
      {"((SELECT a FROM t) x)", 1007, ut + "x' found at line 1, column 20"},
      // Conditions report through the expression parser.
      {"SELECT a FROM t WHERE b > 1 AND (c + d) > 2", 1041,
       "Boolean expression expected, but 'c' found at line 1, column 34"},
      {"SELECT a FROM t WHERE", 1039, "Unexpected end of SQL command found at line 1"},
      {"SELECT a FROM t JOIN u ON", 1039, "Unexpected end of SQL command found at line 1"},
  };
  for (const Case& c : cases) {
    int native = 0;
    EXPECT_EQ(ErrorOf(c.sql, &native), c.message + " - Native error: " +
                                           (c.native < 10000 ? "0" : "") + std::to_string(c.native))
        << c.sql;
    EXPECT_EQ(native, c.native) << c.sql;
  }
  EXPECT_EQ(ErrorOf("SELECT a FROM t WHERE b > 1 AND 2 < (c + d)"), "");
}

TEST(SelectParseTest, ASelectReadAloneChecksItsFirstToken) {
  auto error = [](const std::string& sql) {
    TKivoLexer lexer(sql);
    lexer.NextCommand();
    try {
      TKivoSQLSelect select(lexer);
    } catch (const ZorException& e) {
      return std::to_string(e.NativeError()) + " " + e.Message();
    }
    return std::string();
  };
  EXPECT_EQ(error(" ; "), "1004 Blank SQL command - Native error: 01004");
  EXPECT_EQ(
      error("UPDATE t"),
      "1005 SQL token expected, but 'UPDATE' found at line 1, column 1 - Native error: 01005");
}

TEST(SelectParseTest, TopBeyondThirtyTwoBitsIsAConversionError) {
  EXPECT_THROW(Parsed("SELECT TOP 4294967296 * FROM t"), EConvertError);
  EXPECT_EQ(Parsed("SELECT TOP 2147483647, 3 * FROM t"), "[SELECT TOP 2147483647,3 * FROM t]");
}

TEST(SelectParseTest, TableNamesThatCannotBeFileNamesAreRefused) {
  for (const std::string name : {"'a/b'", "'a\\b'", "'..'", "'x..y'", "[a/b]", "''", "'a\tb'"}) {
    for (const std::string& sql :
         {"SELECT * FROM " + name, "SELECT * FROM " + name + ".t", "SELECT * FROM db." + name,
          "SELECT a INTO " + name + " FROM t", "SELECT a INTO " + name + ".r FROM t",
          "SELECT * FROM t JOIN MEMORY " + name}) {
      int native = 0;
      const std::string message = ErrorOf(sql, &native);
      EXPECT_EQ(native, 1012) << sql;
      EXPECT_EQ(message.rfind("Table name expected, but '", 0), 0u) << sql;
    }
  }
  std::string nul = "SELECT * FROM 'a";
  nul += '\0';
  nul += "b'";
  int native = 0;
  ErrorOf(nul, &native);
  EXPECT_EQ(native, 1012);
  EXPECT_EQ(Parsed("SELECT * FROM 'a.b'.[c d]"), "[SELECT * FROM a.b.c d]");
}

// ---- Depth and hostile input ---------------------------------------------

TEST(SelectParseTest, NestingIsLimited) {
  const int limit = TZorExpression::kMaxNesting;
  auto wrapped = [](int depth, const std::string& inner) {
    return std::string(static_cast<std::size_t>(depth), '(') + inner +
           std::string(static_cast<std::size_t>(depth), ')');
  };
  EXPECT_EQ(Parsed(wrapped(limit, "SELECT a FROM t")), "[SELECT a FROM t]");
  EXPECT_EQ(Parsed("SELECT * FROM " + wrapped(limit, "t")), "[SELECT * FROM t]");
  int native = 0;
  EXPECT_EQ(ErrorOf(wrapped(100000, "SELECT a FROM t"), &native),
            "Expression nested too deeply (more than 128 levels) at line 1, column 129 - Native "
            "error: 01094");
  EXPECT_EQ(native, native_error::kNestingTooDeep);
  native = 0;
  EXPECT_EQ(ErrorOf("SELECT * FROM " + wrapped(100000, "t"), &native),
            "Expression nested too deeply (more than 128 levels) at line 1, column 143 - Native "
            "error: 01094");
  native = 0;
  ErrorOf("SELECT * FROM t WHERE " + wrapped(100000, "a = 1"), &native);
  EXPECT_EQ(native, native_error::kNestingTooDeep);

  // Long chains of joins and set operations build trees as tall as they
  // are long: bounded too.
  const int height = TZorExpression::kMaxTreeHeight;
  auto chain = [](int n, const std::string& first, const std::string& link) {
    std::string sql = first;
    for (int i = 0; i < n; ++i) sql += link;
    return sql;
  };
  EXPECT_EQ(ErrorOf(chain(height - 1, "SELECT * FROM t", " JOIN u USING (x)")), "");
  EXPECT_EQ(ErrorOf(chain(height - 1, "SELECT a FROM t", " UNION SELECT a FROM t")), "");
  for (const std::string& sql :
       {chain(200000, "SELECT * FROM t", " JOIN u USING (x)"),
        chain(200000, "SELECT * FROM t", " CROSS JOIN (u)"),
        chain(200000, "SELECT a FROM t", " UNION SELECT a FROM t"),
        chain(200000, "SELECT a FROM t", " INTERSECT (SELECT a FROM t)")}) {
    native = 0;
    const std::string message = ErrorOf(sql, &native);
    EXPECT_EQ(native, native_error::kNestingTooDeep) << sql.substr(0, 60);
    EXPECT_NE(message.find("more than 1024 levels"), std::string::npos) << message;
  }
}

TEST(SelectParseTest, RandomTokenSoupsParseOrRaiseCleanly) {
  // Balanced fragments: the lexer refuses unbalanced parentheses itself.
  const std::vector<std::string> vocabulary = {
      "SELECT",
      "a",
      "t.b",
      "*",
      "t.*",
      ",",
      ",",
      "FROM",
      "WHERE",
      "a = 1",
      "AND",
      "OR",
      "AS",
      "x",
      "'q'",
      "[b]",
      "1",
      "TOP",
      "2",
      "DISTINCT",
      "ALL",
      "INTO",
      "MEMORY",
      "db.",
      "JOIN",
      "LEFT",
      "RIGHT",
      "FULL",
      "OUTER",
      "NATURAL",
      "CROSS",
      "INNER",
      "ON",
      "USING (x)",
      "GROUP",
      "BY",
      "HAVING",
      "ORDER",
      "ASC",
      "DESC",
      "UNION",
      "EXCEPT",
      "MINUS",
      "INTERSECT",
      "CORRESPONDING",
      "PASSWORD",
      "'p'",
      "COUNT(*)",
      "+",
      "1.5",
      "(t)",
      "(a)",
      "(SELECT a FROM t)",
      "()",
      "BY (a)",
      "(t u)",
  };
  std::mt19937 rng(20261210);
  auto soup = [&](int most) {
    std::string text;
    const int length = static_cast<int>(rng() % static_cast<unsigned>(most + 1));
    for (int i = 0; i < length; ++i) text += vocabulary[rng() % vocabulary.size()] + " ";
    return text;
  };
  int parsed = 0, raised = 0;
  for (int round = 0; round < 20000; ++round) {
    // Half the statements have the frame of a SELECT around the noise.
    const std::string sql = round % 2 == 0 ? "SELECT " + soup(3) + " FROM t " + soup(5) : soup(14);
    try {
      TKivoLexer lexer(sql);
      if (!lexer.NextCommand()) continue;
      TKivoSQLUnion statement(lexer);
      ++parsed;
    } catch (const ZorException&) {
      ++raised;
    } catch (const EConvertError&) {
      ++raised;
    }
  }
  EXPECT_GT(parsed, 500);
  EXPECT_GT(raised, 5000);
}

}  // namespace
}  // namespace kivo
