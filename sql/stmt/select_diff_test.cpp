// Seeded random SELECTs run on our engine and on SQLite loaded with the
// same rows; the results must agree.
//
// The statements keep to what both engines mean alike: integer and
// non-empty lower-case text columns (our engine stores an empty text as
// NULL and ranks text by locale, SQLite by bytes), no concatenation (NULL
// || 'x' is 'x' here and NULL there), no division. Two things are
// rewritten for SQLite: TOP n [, m] becomes LIMIT n [OFFSET m - 1], and
// since our LIKE reads a NULL text as the empty text, "s LIKE p" becomes
// "IFNULL(s, '') LIKE p". Rows are compared as multisets, and in order
// when ORDER BY fixes the order completely.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <sstream>

#include "sql/lexer.h"
#include "sql/ops/ops_test_support.h"
#include "sql/stmt/union_parse.h"

namespace kivo::testing {
namespace {

// A number as one text in both engines; any other text as it is.
std::string Normal(const std::string& text) {
  if (text == kNull || text.empty()) return text;
  char* end = nullptr;
  const double d = std::strtod(text.c_str(), &end);
  if (end != nullptr && *end == '\0') {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g", d);
    return buf;
  }
  return text;
}

class Sqlite {
 public:
  Sqlite() { sqlite3_open(":memory:", &db_); }
  ~Sqlite() { sqlite3_close(db_); }
  Sqlite(const Sqlite&) = delete;
  Sqlite& operator=(const Sqlite&) = delete;

  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      const std::string message = error != nullptr ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error("sqlite: " + message + " in " + sql);
    }
  }
  Rows Query(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_) + " in " + sql);
    }
    Rows rows;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      Row row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
          row.push_back(kNull);
        } else {
          row.push_back(Normal(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i))));
        }
      }
      rows.push_back(std::move(row));
    }
    sqlite3_finalize(stmt);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

// One generated statement in both dialects, and whether its order is fixed.
struct Statement {
  std::string ours;
  std::string theirs;
  bool ordered = false;
};

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : rng_(seed) {}

  int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int percent) { return Int(1, 100) <= percent; }
  template <class T>
  const T& Pick(const std::vector<T>& v) {
    return v[static_cast<std::size_t>(Int(0, static_cast<int>(v.size()) - 1))];
  }

  // A predicate over table alias `t` (columns id, k, s, v).
  std::string Predicate(const std::string& t, int depth = 0) {
    const std::string q = t.empty() ? "" : t + ".";
    switch (Int(0, depth < 2 ? 9 : 7)) {
      case 0:
      case 1:
        return q + Pick<std::string>({"k", "v", "id"}) + " " +
               Pick<std::string>({"=", "<>", "<", ">", "<=", ">="}) + " " +
               std::to_string(Int(-2, 12));
      case 2:
        return q + "s " + Pick<std::string>({"=", "<>", "<", ">="}) + " '" +
               Pick<std::string>({"a", "b", "ab", "c"}) + "'";
      case 3:
        return q + "s LIKE '" + Pick<std::string>({"a%", "%b", "_", "%a%", "b_"}) + "'";
      case 4:
        return q + Pick<std::string>({"k", "s", "v"}) + (Chance(50) ? " IS NULL" : " IS NOT NULL");
      case 5:
        return q + "k IN (" + std::to_string(Int(0, 4)) + ", " + std::to_string(Int(0, 4)) + ")";
      case 6: {
        const int a = Int(-2, 8);
        return q + "v BETWEEN " + std::to_string(a) + " AND " + std::to_string(a + Int(0, 8));
      }
      case 7:
        return q + "v + " + q + "k > " + std::to_string(Int(0, 15));
      case 8:
        return "(" + Predicate(t, depth + 1) + " OR " + Predicate(t, depth + 1) + ")";
      default:
        return "NOT (" + Predicate(t, depth + 1) + ")";
    }
  }
  std::string Condition(const std::vector<std::string>& tables) {
    std::string c = Predicate(Pick(tables));
    const int more = Int(0, 2);
    for (int i = 0; i < more; ++i) c += " AND " + Predicate(Pick(tables));
    return c;
  }

  Statement Next() {
    switch (Int(0, 9)) {
      case 0:
      case 1:
        return SingleTable();
      case 2:
      case 3:
        return Join();
      case 4:
        return CommaJoin();
      case 5:
        return Grouping();
      case 6:
        return SetOperation();
      case 7:
        return SubQuery();
      case 8:
        return ThreeTables();
      default:
        return TopOrdered();
    }
  }

 private:
  static Statement Same(const std::string& sql, bool ordered = false) {
    return {sql, Theirs(sql), ordered};
  }

 public:
  // Our statement in SQLite's terms (see the top of the file).
  static std::string Theirs(const std::string& sql) {
    static const std::regex like(R"(\b((?:[a-z]+\.)?s) LIKE)");
    return std::regex_replace(sql, like, "IFNULL($1, '') LIKE");
  }

 private:
  Statement SingleTable() {
    const std::string cols = Pick<std::string>(
        {"*", "id, s", "k, v", "v + 1 AS w, s", "k * 2 AS kk", "s, k, v - id AS d"});
    std::string sql = std::string("SELECT ") + (Chance(25) ? "DISTINCT " : "") + cols + " FROM t1";
    if (Chance(80)) sql += " WHERE " + Condition({""});
    return Same(sql);
  }

  Statement Join() {
    const std::string kind = Pick<std::string>(
        {"JOIN", "INNER JOIN", "LEFT JOIN", "LEFT OUTER JOIN", "RIGHT JOIN", "FULL JOIN"});
    std::string sql =
        "SELECT " + Pick<std::string>({"*", "a.id, b.id, a.s, b.s", "a.k, b.v", "a.id, b.k, b.s"}) +
        " FROM t1 a " + kind + " t2 b ON a." + Pick<std::string>({"k", "s"});
    sql = sql.back() == 's' ? sql + " = b.s" : sql + " = b.k";
    if (Chance(40)) sql += " AND " + Predicate(Pick<std::string>({"a", "b"}));
    if (Chance(30)) sql += " AND a.v = b.v";
    if (Chance(50)) sql += " WHERE " + Condition({"a", "b"});
    return Same(sql);
  }

  Statement CommaJoin() {
    std::string sql = "SELECT a.id, b.id, a.k, b.s FROM t1 a, t2 b";
    if (Chance(85)) {
      sql += " WHERE a.k = b.k";
      if (Chance(50)) sql += " AND " + Condition({"a", "b"});
    } else {
      sql += " WHERE a.id < 5 AND b.id < 6";
    }
    return Same(sql);
  }

  Statement Grouping() {
    const std::string key = Pick<std::string>({"k", "s"});
    std::string sql = "SELECT " + key + ", COUNT(*), SUM(v), MIN(id), MAX(v), COUNT(v) FROM t1";
    if (Chance(50)) sql += " WHERE " + Condition({""});
    if (Chance(85)) {
      sql += " GROUP BY " + key;
      if (Chance(50)) {
        sql += " HAVING " + Pick<std::string>({"COUNT(*) > 2", "SUM(v) > 10", "MIN(id) < 10",
                                               "COUNT(*) > 1 AND MAX(v) < 15"});
      }
    } else {
      sql = "SELECT COUNT(*), SUM(v), MIN(s), MAX(k) FROM t1";
      if (Chance(60)) sql += " WHERE " + Condition({""});
    }
    return Same(sql);
  }

  Statement SetOperation() {
    const std::string col = Pick<std::string>({"k", "s", "v"});
    const std::string op =
        Pick<std::string>({"UNION", "UNION ALL", "INTERSECT", "EXCEPT", "EXCEPT"});
    std::string left = "SELECT " + col + " FROM t1";
    if (Chance(60)) left += " WHERE " + Condition({""});
    std::string right = "SELECT " + col + " FROM t2";
    if (Chance(60)) right += " WHERE " + Condition({""});
    return Same(left + " " + op + " " + right);
  }

  Statement SubQuery() {
    std::string sql = "SELECT id, k FROM t1 WHERE k " + std::string(Chance(30) ? "NOT " : "") +
                      "IN (SELECT k FROM t2";
    if (Chance(60)) sql += " WHERE " + Condition({""});
    sql += ")";
    if (Chance(40)) sql += " AND " + Predicate("");
    return Same(sql);
  }

  Statement ThreeTables() {
    std::string sql = "SELECT a.id, b.id, c.x FROM t1 a " +
                      Pick<std::string>({"JOIN", "LEFT JOIN"}) + " t2 b ON a.k = b.k " +
                      Pick<std::string>({"JOIN", "LEFT JOIN"}) + " t3 c ON b.k = c.k";
    if (Chance(50)) sql += " WHERE " + Condition({"a"});
    return Same(sql);
  }

  Statement TopOrdered() {
    const int n = Int(0, 8);
    const int first = Int(1, 6);
    const bool offset = Chance(40);
    const std::string desc = Chance(50) ? " DESC" : "";
    std::string where = Chance(70) ? " WHERE " + Condition({""}) : "";
    Statement s;
    s.ordered = true;
    s.ours = "SELECT TOP " + std::to_string(n) + (offset ? ", " + std::to_string(first) : "") +
             " id, v FROM t1" + where + " ORDER BY v" + desc + ", id";
    s.theirs = "SELECT id, v FROM t1" + Theirs(where) + " ORDER BY v" + desc +
               " NULLS FIRST, id LIMIT " + std::to_string(n) +
               (offset ? " OFFSET " + std::to_string(first - 1) : "");
    if (!desc.empty()) {
      // Our index puts NULL lowest whatever the direction.
      s.theirs = "SELECT id, v FROM t1" + Theirs(where) + " ORDER BY v DESC NULLS LAST, id LIMIT " +
                 std::to_string(n) + (offset ? " OFFSET " + std::to_string(first - 1) : "");
    }
    return s;
  }

  std::mt19937 rng_;
};

class SelectDifferentialTest : public OperatorTest {
 protected:
  void Load(Generator& g) {
    const std::vector<std::string> strings = {"a", "b", "c", "ab", "ba", kNull};
    auto value = [&](int lo, int hi, int nullPercent) {
      return g.Chance(nullPercent) ? std::string(kNull) : std::to_string(g.Int(lo, hi));
    };
    for (const std::string& name : {std::string("t1"), std::string("t2")}) {
      Rows rows;
      const int count = name == "t1" ? 40 : 30;
      for (int id = 1; id <= count; ++id) {
        rows.push_back({std::to_string(id), value(0, 4, 15), g.Pick(strings), value(-3, 12, 15)});
      }
      MakeTable(
          name,
          {{"id", ftInteger, 0}, {"k", ftInteger, 0}, {"s", ftString, 6}, {"v", ftInteger, 0}},
          rows);
      Insert(name, "id, k, s, v", rows);
    }
    Rows t3;
    for (int i = 0; i < 8; ++i) t3.push_back({value(0, 5, 10), std::to_string(g.Int(0, 99))});
    MakeTable("t3", {{"k", ftInteger, 0}, {"x", ftInteger, 0}}, t3);
    Insert("t3", "k, x", t3);
  }

  void Insert(const std::string& table, const std::string& columns, const Rows& rows) {
    lite_.Exec("CREATE TABLE " + table + " (" + columns + ")");
    for (const Row& row : rows) {
      std::string values;
      for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) values += ", ";
        if (row[i] == kNull) {
          values += "NULL";
        } else if (std::isdigit(static_cast<unsigned char>(row[i].back()))) {
          values += row[i];
        } else {
          values += "'" + row[i] + "'";
        }
      }
      lite_.Exec("INSERT INTO " + table + " VALUES (" + values + ")");
    }
  }

  Rows Ours(const std::string& sql) {
    TKivoLexer lexer(sql);
    lexer.NextCommand();
    TKivoSQLUnion statement(lexer);
    statement.Execute(host_, false);
    Rows rows = TableRows(*statement.GetResult());
    for (Row& row : rows) {
      for (std::string& v : row) v = Normal(v);
    }
    return rows;
  }

  Sqlite lite_;
};

TEST_F(SelectDifferentialTest, RandomSelectsAgreeWithSqlite) {
  constexpr int kDatabases = 6;
  constexpr int kStatements = 400;
  int compared = 0;
  for (int d = 0; d < kDatabases; ++d) {
    Generator g(0x5e1ec7u + static_cast<std::uint32_t>(d));
    if (d > 0) {
      for (const char* t : {"t1", "t2", "t3"}) {
        host_.DeleteTable({t, "", "", "", false});
        lite_.Exec(std::string("DROP TABLE ") + t);
      }
    }
    Load(g);
    for (int i = 0; i < kStatements; ++i) {
      const Statement s = g.Next();
      Rows ours;
      try {
        ours = Ours(s.ours);
      } catch (const std::exception& e) {
        ADD_FAILURE() << s.ours << "\n  raised: " << e.what();
        continue;
      }
      Rows theirs;
      try {
        theirs = lite_.Query(s.theirs);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        continue;
      }
      if (!s.ordered) {
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
      }
      EXPECT_EQ(ours, theirs) << s.ours;
      ++compared;
    }
  }
  EXPECT_EQ(compared, kDatabases * kStatements);
}

}  // namespace
}  // namespace kivo::testing
