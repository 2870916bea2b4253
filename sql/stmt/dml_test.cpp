// INSERT, UPDATE and DELETE parsed and run on real tables of a directory
// database: what they store, the rows-affected count, the grammar's error
// numbers, and the cases where a statement must change each row exactly
// once, whole or not at all.
#include <gtest/gtest.h>

#include <string>

#include "components/kivo_table.h"
#include "platform/error_codes.h"
#include "sql/lexer.h"
#include "sql/ops/ops_test_support.h"
#include "sql/stmt/dml.h"
#include "sql/stmt/union_parse.h"

namespace kivo::testing {
namespace {

class DmlTest : public OperatorTest {
 protected:
  void SetUp() override {
    MakeTable("t", {{"a", ftInteger, 0}, {"b", ftString, 10}},
              {{"3", "x"}, {"1", "y"}, {"2", "x"}, {"5", "z"}});
  }

  // Parses `sql` (one statement) by its first word and runs it.
  void Exec(const std::string& sql) {
    TKivoLexer lexer(sql, &params_);
    lexer.NextCommand();
    const std::string first(lexer.TokenAt(0, 0).Text);
    if (first == "INSERT") {
      TKivoSQLInsert(lexer).Execute(host_, false);
    } else if (first == "UPDATE") {
      TKivoSQLUpdate(lexer).Execute(host_, false);
    } else {
      TKivoSQLDelete(lexer).Execute(host_, false);
    }
  }
  int ErrorOf(const std::string& sql) {
    return NativeErrorOf([&] { Exec(sql); });
  }
  Rows Query(const std::string& sql) {
    TKivoLexer lexer(sql);
    lexer.NextCommand();
    TKivoSQLUnion select(lexer);
    select.Execute(host_, false);
    return TableRows(*select.GetResult());
  }

  // Table `name` (id AUTOINC, n INTEGER) with identifiers 1 .. count and
  // n = 0 .. count - 1.
  void MakeAutoIncTable(const std::string& name, int count) {
    TKivoTable table;
    table.SetDatabaseName(dir_.path());
    table.SetTableName(name);
    table.FieldDefs().Add("id", ftAutoInc);
    table.FieldDefs().Add("n", ftInteger);
    table.CreateTable();
    table.Open();
    for (int i = 0; i < count; ++i) {
      table.Append();
      table.FieldByName("n").SetAsInteger(i);
      table.Post();
    }
  }

  TParams params_;
};

// ---------------------------------------------------------------------------
// INSERT.

TEST_F(DmlTest, InsertValuesFillFieldsByPlaceOrByAFullColumnList) {
  Exec("INSERT INTO t VALUES (7, 'a')");
  Exec("INSERT INTO t (b, a) VALUES ('r', 8)");
  // A list that does not name every value is ignored.
  Exec("INSERT INTO t (b) VALUES (9, 'i')");
  Exec("INSERT INTO t VALUES (NULL, '')");
  EXPECT_EQ(Query("SELECT * FROM t WHERE a > 6 OR a IS NULL"),
            (Rows{{"7", "a"}, {"8", "r"}, {"9", "i"}, {kNull, kNull}}));
  // The row-affected count belongs to UPDATE and DELETE.
  EXPECT_EQ(host_.RowsAffected(), -1);
}

TEST_F(DmlTest, InsertSelectDoublesATableAndAppliesTheColumnList) {
  Exec("INSERT INTO t SELECT * FROM t");
  EXPECT_EQ(Query("SELECT * FROM t").size(), 8u);

  MakeTable("u", {{"name", ftString, 10}, {"n", ftInteger, 0}}, {});
  // One table as the source: the shown field b, not the table's first.
  Exec("INSERT INTO u (name) SELECT b FROM t WHERE a = 1");
  Exec("INSERT INTO u (n, name) SELECT a, b FROM t WHERE a = 5");
  Exec("INSERT INTO u SELECT TOP 1 b, a FROM t WHERE a = 2");
  EXPECT_EQ(Query("SELECT * FROM u"),
            (Rows{{"y", kNull}, {"y", kNull}, {"z", "5"}, {"z", "5"}, {"x", "2"}}));
}

TEST_F(DmlTest, MoreValuesThanFieldsRaiseAndInsertNothing) {
  EXPECT_NE(MessageOf([&] { Exec("INSERT INTO t VALUES (1, 'a', 2)"); }), kNoException);
  EXPECT_NE(MessageOf([&] { Exec("INSERT INTO t SELECT a, b, a FROM t"); }), kNoException);
  EXPECT_EQ(Query("SELECT * FROM t").size(), 4u);
  // A value that cannot take its field's type stores nothing either.
  EXPECT_NE(ErrorOf("INSERT INTO t VALUES ('nine', 'a')"), 0);
  EXPECT_EQ(Query("SELECT * FROM t").size(), 4u);
}

TEST_F(DmlTest, AnAutoIncValueInUseRaisesAndInsertsNothing) {
  MakeAutoIncTable("auto", 3);
  EXPECT_EQ(ErrorOf("INSERT INTO auto (id, n) VALUES (2, 50)"), 2158);
  EXPECT_EQ(ErrorOf("INSERT INTO auto (n, id) SELECT n, id FROM auto"), 2159);
  EXPECT_EQ(Query("SELECT n FROM auto"), (Rows{{"0"}, {"1"}, {"2"}}));
  Exec("INSERT INTO auto (id, n) VALUES (10, 9)");
  Exec("INSERT INTO auto (n) VALUES (11)");
  EXPECT_EQ(Query("SELECT id, n FROM auto WHERE n > 5"), (Rows{{"10", "9"}, {"11", "11"}}));
}

// ---------------------------------------------------------------------------
// UPDATE.

TEST_F(DmlTest, UpdateCountsTheRowsItChanges) {
  Exec("UPDATE t SET b = 'w' WHERE b = 'x'");
  EXPECT_EQ(host_.RowsAffected(), 2);
  EXPECT_EQ(Query("SELECT a FROM t WHERE b = 'w'"), (Rows{{"3"}, {"2"}}));
  Exec("UPDATE t SET b = 'v' WHERE a > 100");
  EXPECT_EQ(host_.RowsAffected(), 0);
  // A column the table does not have fails before any row changes.
  EXPECT_NE(MessageOf([&] { Exec("UPDATE t SET a = 0, nosuch = 1"); }), kNoException);
  EXPECT_EQ(host_.RowsAffected(), 0);
  EXPECT_EQ(Query("SELECT a FROM t WHERE a = 0").size(), 0u);
}

TEST_F(DmlTest, UpdateChangesEveryMatchingRowExactlyOnce) {
  Exec("UPDATE t SET a = a + 1000");
  EXPECT_EQ(host_.RowsAffected(), 4);
  EXPECT_EQ(Query("SELECT a FROM t"), (Rows{{"1003"}, {"1001"}, {"1002"}, {"1005"}}));
  // In a's order every change moves the row past the ones still to come.
  Exec("UPDATE t SET a = a + 3 WHERE a > 0 ORDER BY a");
  EXPECT_EQ(host_.RowsAffected(), 4);
  EXPECT_EQ(Query("SELECT a FROM t"), (Rows{{"1006"}, {"1004"}, {"1005"}, {"1008"}}));
  // Rows that leave the view are not skipped over.
  Exec("UPDATE t SET a = 0 WHERE a > 1004");
  EXPECT_EQ(host_.RowsAffected(), 3);
  EXPECT_EQ(Query("SELECT a FROM t"), (Rows{{"0"}, {"1004"}, {"0"}, {"0"}}));
}

TEST_F(DmlTest, SetValuesComeFromTheRowAsItWas) {
  MakeTable("p", {{"a", ftInteger, 0}, {"b", ftInteger, 0}}, {{"1", "2"}, {"3", "4"}});
  Exec("UPDATE p SET a = b, b = a");
  EXPECT_EQ(Query("SELECT * FROM p"), (Rows{{"2", "1"}, {"4", "3"}}));
}

TEST_F(DmlTest, AFailingValueLeavesItsRowWholeAndKeepsTheRowsBefore) {
  MakeTable("s", {{"a", ftInteger, 0}, {"txt", ftString, 5}, {"n", ftInteger, 0}},
            {{"1", "10", "0"}, {"2", "20", "0"}, {"3", "bad", "0"}, {"4", "40", "0"}});
  EXPECT_EQ(ErrorOf("UPDATE s SET a = a + 100, n = txt"), 2093);
  EXPECT_EQ(host_.RowsAffected(), 2);
  EXPECT_EQ(Query("SELECT * FROM s"),
            (Rows{{"101", "10", "10"}, {"102", "20", "20"}, {"3", "bad", "0"}, {"4", "40", "0"}}));
}

TEST_F(DmlTest, UpdateOfAnAutoIncValue) {
  MakeAutoIncTable("auto", 3);
  EXPECT_EQ(ErrorOf("UPDATE auto SET n = 7, id = 2 WHERE id = 1"), 2157);
  EXPECT_EQ(host_.RowsAffected(), -1);
  EXPECT_EQ(Query("SELECT id, n FROM auto"), (Rows{{"1", "0"}, {"2", "1"}, {"3", "2"}}));
  // Its own value is no clash, and a free one gives the row a new identifier.
  Exec("UPDATE auto SET id = id, n = n + 1");
  EXPECT_EQ(host_.RowsAffected(), 3);
  Exec("UPDATE auto SET id = 50 WHERE id = 1");
  EXPECT_EQ(host_.RowsAffected(), 1);
  EXPECT_EQ(Query("SELECT id, n FROM auto"), (Rows{{"2", "2"}, {"3", "3"}, {"50", "1"}}));
  Exec("DELETE FROM auto WHERE id = 50");
  EXPECT_EQ(host_.RowsAffected(), 1);
}

TEST_F(DmlTest, UpdateOpensTheTableWithThePasswordOfItsClause) {
  {
    TKivoTable table;
    table.SetDatabaseName(dir_.path());
    table.SetTableName("secret");
    table.SetPassword("pw");
    table.SetEncrypted(true);
    table.FieldDefs().Add("a", ftInteger);
    table.CreateTable();
    table.Open();
    table.Append();
    table.FieldByName("a").SetAsInteger(1);
    table.Post();
  }
  EXPECT_NE(ErrorOf("UPDATE secret SET a = 2"), 0);
  Exec("UPDATE secret PASSWORD 'pw' SET a = 2");
  EXPECT_EQ(host_.RowsAffected(), 1);
  EXPECT_EQ(Query("SELECT * FROM secret PASSWORD 'pw'"), (Rows{{"2"}}));
}

// ---------------------------------------------------------------------------
// DELETE.

TEST_F(DmlTest, DeleteCountsTheRowsItDeletes) {
  Exec("DELETE FROM t WHERE b = 'x'");
  EXPECT_EQ(host_.RowsAffected(), 2);
  EXPECT_EQ(Query("SELECT a FROM t"), (Rows{{"1"}, {"5"}}));
  Exec("DELETE FROM t");
  EXPECT_EQ(host_.RowsAffected(), 2);
  EXPECT_TRUE(Query("SELECT * FROM t").empty());
}

TEST_F(DmlTest, DeleteOfMostOfALargerTableKeepsTheOthers) {
  Rows rows;
  for (int i = 0; i < 3000; ++i) rows.push_back({std::to_string(i), i % 3 == 0 ? "k" : "d"});
  MakeTable("big", {{"a", ftInteger, 0}, {"b", ftString, 1}}, rows);
  Exec("DELETE FROM big WHERE b = 'd'");
  EXPECT_EQ(host_.RowsAffected(), 2000);
  const Rows left = Query("SELECT a FROM big ORDER BY a");
  ASSERT_EQ(left.size(), 1000u);
  for (std::size_t i = 0; i < left.size(); ++i) EXPECT_EQ(left[i][0], std::to_string(3 * i));
}

// Many rows changed by stored position: every index follows the changed
// keys, the records that deletes move keep their BLOB values, and a key
// violation stops the statement at its row with the rows before it done.
TEST_F(DmlTest, ChangesOfManyRowsKeepIndexesAndBlobsInStep) {
  Rows rows;
  for (int i = 0; i < 3000; ++i)
    rows.push_back({std::to_string(i), std::to_string(3000 - i), "memo " + std::to_string(i)});
  MakeTable("big", {{"a", ftInteger, 0}, {"b", ftInteger, 0}, {"m", ftMemo, 0}}, rows);
  {
    TKivoTable table;
    table.SetDatabaseName(dir_.path());
    table.SetTableName("big");
    table.AddIndex("byB", "b", 0);
    table.AddIndex("byA", "a", ixUnique);
  }
  Exec("UPDATE big SET b = b + 10000 WHERE MOD(a, 2) = 0");
  EXPECT_EQ(host_.RowsAffected(), 1500);
  Exec("DELETE FROM big WHERE MOD(a, 3) = 0");
  EXPECT_EQ(host_.RowsAffected(), 1000);

  // What is left, in the order of b as the index on b gives it.
  std::vector<std::pair<int, int>> expected;  // b, a
  for (int a = 0; a < 3000; ++a)
    if (a % 3 != 0) expected.emplace_back(3000 - a + (a % 2 == 0 ? 10000 : 0), a);
  std::sort(expected.begin(), expected.end());
  TKivoTable table;
  table.SetDatabaseName(dir_.path());
  table.SetTableName("big");
  table.SetIndexName("byB");
  table.Open();
  ASSERT_EQ(table.RecordCount(), 2000);
  std::size_t i = 0;
  for (table.First(); !table.Eof() && i < expected.size(); table.Next(), ++i) {
    const int a = table.FieldByName("a").AsInteger();
    ASSERT_EQ(table.FieldByName("b").AsInteger(), expected[i].first) << i;
    ASSERT_EQ(a, expected[i].second) << i;
    ASSERT_EQ(table.FieldByName("m").AsString(), "memo " + std::to_string(a)) << i;
  }
  EXPECT_EQ(i, expected.size());
  table.Close();

  // a = 3 is free (3 was deleted): whichever of the rows a = 1 and a = 2
  // comes first takes it, and the other then violates the unique index.
  EXPECT_THROW(Exec("UPDATE big SET a = 3 WHERE a = 1 OR a = 2"), std::exception);
  EXPECT_EQ(host_.RowsAffected(), 1);
  const Rows low = Query("SELECT a FROM big WHERE a <= 5 ORDER BY a");
  ASSERT_EQ(low.size(), 4u);
  EXPECT_TRUE(low[0][0] == "1" || low[0][0] == "2") << low[0][0];
  EXPECT_EQ(low[1], Row{"3"});
  EXPECT_EQ(low[2], Row{"4"});
}

// ---------------------------------------------------------------------------
// Rows that are not one table's own.

TEST_F(DmlTest, ChangesToAQueryResultAreRefusedAndChangeNothing) {
  MakeTable("u", {{"a", ftInteger, 0}}, {{"1"}, {"2"}});
  const int refused = native_error::kResultNotChangeable;
  EXPECT_EQ(ErrorOf("DELETE FROM t, u WHERE t.a = u.a"), refused);
  EXPECT_EQ(host_.RowsAffected(), 0);
  EXPECT_EQ(ErrorOf("DELETE FROM t JOIN u ON t.a = u.a"), refused);
  EXPECT_EQ(ErrorOf("DELETE FROM t GROUP BY a"), refused);
  EXPECT_EQ(ErrorOf("UPDATE t SET a = 0 WHERE a > 0 GROUP BY a"), refused);
  EXPECT_EQ(Query("SELECT * FROM t").size(), 4u);
  EXPECT_EQ(Query("SELECT * FROM u").size(), 2u);
}

// ---------------------------------------------------------------------------
// BLOB parameters.

TEST_F(DmlTest, OnlyAWholeParameterMarkerStandsForTheParameterBytes) {
  params_.Add("pic").SetAsBlob(std::string("\x01\0\x02", 3), ftBlob);
  params_.Add("none", ftBlob);
  host_.SetParams(&params_);
  MakeTable("m", {{"k", ftInteger, 0}, {"data", ftBlob, 0}, {"note", ftMemo, 0}}, {});
  Exec("INSERT INTO m VALUES (1, :pic, 'a $Blob$Marker$pic')");
  Exec("INSERT INTO m VALUES (2, :none, '$Blob$Marker$nosuch')");
  MakeTable("src", {{"txt", ftString, 20}}, {{"$Blob$Marker$pic"}});
  Exec("INSERT INTO m (k, note) SELECT 3, txt FROM src");
  Exec("UPDATE m SET data = :pic WHERE k = 2");

  TZorTableAddress address;
  address.TableName = "m";
  auto m = host_.OpenTable(address);
  TZorValue value;
  std::vector<std::string> data;
  std::vector<std::string> notes;
  for (m->First(); !m->Eof(); m->Next()) {
    m->ReadField(1, value);
    data.push_back(value.IsNull() ? kNull
                                  : std::string(reinterpret_cast<const char*>(value.Data()),
                                                static_cast<std::size_t>(value.Size())));
    m->ReadField(2, value);
    notes.push_back(value.IsNull() ? kNull : value.AsString());
  }
  const std::string bytes("\x01\0\x02", 3);
  EXPECT_EQ(data, (std::vector<std::string>{bytes, bytes, kNull}));
  EXPECT_EQ(notes, (std::vector<std::string>{"a $Blob$Marker$pic", "$Blob$Marker$nosuch",
                                             "$Blob$Marker$pic"}));
}

// ---------------------------------------------------------------------------
// Parsing.

TEST_F(DmlTest, GrammarErrorsHaveTheirNumbers) {
  const struct {
    const char* sql;
    int code;
  } cases[] = {
      {"INSERT", 2070},
      {"INSERT t VALUES (1)", 2071},
      {"INSERT INTO (a) VALUES (1)", 2072},
      {"INSERT INTO MEMORY (a) VALUES (1)", 2150},
      {"INSERT INTO t", 2075},
      {"INSERT INTO t PASSWORD pw VALUES (1)", 2080},
      {"INSERT INTO t PASSWORD 'pw'", 2079},
      {"INSERT INTO t (a b) VALUES (1)", 2074},
      {"INSERT INTO t (a, ) VALUES (1)", 2156},
      {"INSERT INTO t (a)", 2076},
      {"INSERT INTO t VALUES 1", 2077},
      {"INSERT INTO t WHERE", 2068},
      {"UPDATE", 2082},
      {"UPDATE ,", 2083},
      {"UPDATE MEMORY ,", 2151},
      {"UPDATE t PASSWORD pw SET a = 1", 2084},
      {"UPDATE t a = 1", 2085},
      {"UPDATE t SET a 1", 2086},
      {"UPDATE t SET a = 1,", 2087},
      {"UPDATE t SET a = 1 b = 2", 2088},
      {"DELETE", 2081},
      {"DELETE t", 1014},
      {"DELETE FROM", 1015},
      {"DELETE FROM t WHERE", 1039},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NativeErrorOf([&] {
                TKivoLexer lexer(c.sql);
                lexer.NextCommand();
                const std::string first(lexer.TokenAt(0, 0).Text);
                if (first == "INSERT") TKivoSQLInsert insert(lexer);
                if (first == "UPDATE") TKivoSQLUpdate update(lexer);
                if (first == "DELETE") TKivoSQLDelete remove(lexer);
              }),
              c.code)
        << c.sql;
  }
}

TEST_F(DmlTest, ParsingLeavesTheTokensAsTheyWereAndStopsAfterTheStatement) {
  const std::string sql = "UPDATE t SET a = a * 2 WHERE b = 'x' extra; DELETE FROM t WHERE a > 4 x";
  TKivoLexer lexer(sql);
  lexer.NextCommand();
  const int count = lexer.TokenCount(0);
  for (int pass = 0; pass < 2; ++pass) {
    TToken first;
    lexer.SetPosition(0, first);
    TKivoSQLUpdate update(lexer);
    EXPECT_EQ(lexer.TokenCount(0), count);
    TToken left;
    ASSERT_TRUE(lexer.GetCurrentToken(left));
    EXPECT_EQ(left.Text, "extra");
    if (pass == 1) update.Execute(host_, false);
  }
  EXPECT_EQ(Query("SELECT a FROM t"), (Rows{{"6"}, {"1"}, {"4"}, {"5"}}));
  lexer.NextCommand();
  TKivoSQLDelete remove(lexer);
  TToken left;
  ASSERT_TRUE(lexer.GetCurrentToken(left));
  EXPECT_EQ(left.Text, "x");
  remove.Execute(host_, false);
  EXPECT_EQ(host_.RowsAffected(), 2);
}

}  // namespace
}  // namespace kivo::testing
