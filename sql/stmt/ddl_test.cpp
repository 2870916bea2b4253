// The data-definition statements on a directory database: what CREATE,
// ALTER and DROP TABLE and CREATE and DROP INDEX make of the tables, the
// errors they wrap, the grammar's native codes, and parsing that does not
// depend on the read position it starts from.
#include "sql/stmt/ddl.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "components/sql_host.h"
#include "sql/lexer.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::NativeErrorOf;
using testing::TempDir;

// The statement class the first words name, as the script processor picks
// it; `lexer` stands on the token after those words, as the processor
// leaves it.
template <class Run>
void WithStatement(TKivoLexer& lexer, Run run) {
  const std::string verb = std::string(lexer.TokenAt(0, 0).Text);
  const std::string noun =
      lexer.TokenCount(0) > 1 ? std::string(lexer.TokenAt(0, 1).Text) : std::string();
  TToken token;
  lexer.SetPosition(2, token);
  if (verb == "CREATE" && noun == "TABLE") {
    TKivoDDLCreateTable s(lexer);
    run(s);
  } else if (verb == "CREATE") {
    TKivoDDLCreateIndex s(lexer);
    run(s);
  } else if (verb == "ALTER") {
    TKivoDDLAlterTable s(lexer);
    run(s);
  } else if (noun == "TABLE") {
    TKivoDDLDropTable s(lexer);
    run(s);
  } else {
    TKivoDDLDropIndex s(lexer);
    run(s);
  }
}

class DdlTest : public ::testing::Test {
 protected:
  void Exec(const std::string& sql) {
    TKivoLexer lexer(sql);
    lexer.NextCommand();
    WithStatement(lexer, [&](auto& s) { s.Execute(host_, true); });
  }
  int ErrorOf(const std::string& sql) {
    return NativeErrorOf([&] { Exec(sql); });
  }
  // A closed table component on the test database.
  std::unique_ptr<TKivoTable> Table(const std::string& name, const std::string& password = "") {
    auto t = std::make_unique<TKivoTable>();
    t->SetDatabaseName(dir_.path());
    t->SetTableName(name);
    t->SetPassword(password);
    return t;
  }
  // The table's field definitions as "name type size required" lines.
  std::vector<std::string> FieldsOf(const std::string& name, const std::string& password = "") {
    auto t = Table(name, password);
    t->Open();
    std::vector<std::string> out;
    for (const TFieldDef& d : t->FieldDefs())
      out.push_back(d.Name() + " " + std::to_string(d.DataType()) + " " + std::to_string(d.Size()) +
                    (d.Required() ? " required" : ""));
    return out;
  }
  // The table's indexes other than the ones it makes itself.
  std::vector<TIndexDef> IndexesOf(const std::string& name) {
    const TIndexDefs defs = host_.ReadTableDefinition(Address(name)).Indexes;
    return {defs.begin(), defs.end()};
  }
  TZorTableAddress Address(const std::string& name) const {
    TZorTableAddress a;
    a.TableName = name;
    return a;
  }
  static std::string Line(const std::string& name, TFieldType type, int size,
                          bool required = false) {
    return name + " " + std::to_string(type) + " " + std::to_string(size) +
           (required ? " required" : "");
  }
  using Strings = std::vector<std::string>;

  TempDir dir_;
  TKivoSqlHost host_{"", dir_.path(), "", false};
};

// ---------------------------------------------------------------------------
// CREATE TABLE.

TEST_F(DdlTest, CreateTableMakesTheColumnsAndAPrimaryIndexNamedAfterTheFirstKey) {
  Exec(
      "CREATE TABLE t (id AUTOINC, name VARCHAR(40) NOT NULL, born DATE, ok BOOLEAN, "
      "PRIMARY KEY (id))");
  // The visible identifier is listed last.
  EXPECT_EQ(FieldsOf("t"), (Strings{Line("name", ftString, 40, true), Line("born", ftDate, 0),
                                    Line("ok", ftBoolean, 0), Line("id", ftAutoInc, 0)}));
  const std::vector<TIndexDef> indexes = IndexesOf("t");
  ASSERT_EQ(indexes.size(), 1u);
  EXPECT_TRUE(std::regex_match(indexes[0].Name(), std::regex("PK_id[0-9]+"))) << indexes[0].Name();
  EXPECT_EQ(indexes[0].Fields(), "id");
  EXPECT_NE(indexes[0].Options() & ixPrimary, 0);

  EXPECT_EQ(ErrorOf("CREATE TABLE t (a INTEGER)"), 2117);
  EXPECT_EQ(MessageOf([&] {
              Exec("CREATE TABLE t (a INTEGER)");
            }).rfind("Cannot create table. Table 't' already exists", 0),
            0u);
}

TEST_F(DdlTest, CreateTableRefusesTypesWithoutASizeAndUnknownTypes) {
  EXPECT_EQ(ErrorOf("CREATE TABLE t (a CHAR)"), 2008);
  EXPECT_EQ(ErrorOf("CREATE TABLE t (a BYTES, b INTEGER)"), 2008);
  const std::string message = MessageOf([&] { Exec("CREATE TABLE t (a NUMBER)"); });
  EXPECT_EQ(message.rfind("Unknown field type 'NUMBER' at line 1, column 19", 0), 0u) << message;
  EXPECT_FALSE(host_.TableExists(Address("t")));

  Exec("CREATE TABLE w (s WIDESTRING(5), b BYTES(3))");
  EXPECT_EQ(FieldsOf("w"), (Strings{Line("s", ftWideString, 5), Line("b", ftBytes, 3)}));
}

TEST_F(DdlTest, CreateTableWithBlobSettingsAndAPasswordMakesAnEncryptedTable) {
  Exec(
      "CREATE TABLE t (a INTEGER, m BLOB, BLOBCOMPRESSIONLEVEL max, BLOBBLOCKSIZE 1024, "
      "PASSWORD 'secret', LASTAUTOINC 100)");
  EXPECT_TRUE(Table("t")->IsTableEncrypted());
  auto t = Table("t", "secret");
  t->Open();
  EXPECT_EQ(t->BLOBCompression(), 3);
  EXPECT_EQ(t->BLOBBlockSize(), 1024);
  EXPECT_EQ(t->GetLastAutoInc(), 100);
  t->Close();
  // Reopened: the last identifier was stored.
  t->Open();
  t->Append();
  t->FieldByName("a").SetAsInteger(1);
  t->Post();
  EXPECT_EQ(t->GetLastAutoInc(), 101);
  t->Close();
  // A stored record checks the password.
  EXPECT_NE(MessageOf([&] { Table("t", "wrong")->Open(); }), testing::kNoException);
}

TEST_F(DdlTest, CreateTableWrapsWhatTheEngineRefuses) {
  // A size no record can hold, and a key on a column that is not there.
  for (const char* sql :
       {"CREATE TABLE t (a CHAR(2147483647))", "CREATE TABLE t (a INTEGER, PRIMARY KEY (b))",
        "CREATE TABLE t (a INTEGER, a INTEGER)"}) {
    const std::string message = MessageOf([&] { Exec(sql); });
    EXPECT_EQ(message.rfind("Error creating table: '", 0), 0u) << sql << ": " << message;
    EXPECT_EQ(ErrorOf(sql), 2014) << sql;
  }
}

TEST_F(DdlTest, MemoryTablesLiveOutsideTheDirectory) {
  Exec("CREATE TABLE MEMORY m (a INTEGER)");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("m.dat")));
  TZorTableAddress memory = Address("m");
  memory.InMemory = true;
  EXPECT_TRUE(host_.TableExists(memory));
  Exec("DROP TABLE MEMORY m");
  EXPECT_FALSE(host_.TableExists(memory));
}

// ---------------------------------------------------------------------------
// DROP TABLE.

TEST_F(DdlTest, DropTableDeletesTheFilesAndWrapsFailures) {
  Exec("CREATE TABLE t (a INTEGER)");
  ASSERT_TRUE(std::filesystem::exists(dir_.file("t.dat")));
  Exec("DROP TABLE t");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("t.dat")));
  EXPECT_FALSE(host_.TableExists(Address("t")));

  // A table another data set has open is busy.
  Exec("CREATE TABLE u (a INTEGER)");
  auto open = Table("u");
  open->Open();
  const std::string message = MessageOf([&] { Exec("DROP TABLE u"); });
  EXPECT_EQ(message.rfind("Error dropping table: '", 0), 0u) << message;
  EXPECT_TRUE(host_.TableExists(Address("u")));
}

// ---------------------------------------------------------------------------
// ALTER TABLE.

class AlterTest : public DdlTest {
 protected:
  void SetUp() override {
    Exec("CREATE TABLE t (id AUTOINC, c STRING(10), raw BYTES(3), PRIMARY KEY (id))");
    auto t = Table("t");
    t->Open();
    for (int i = 1; i <= 3; ++i) {
      t->Append();
      t->FieldByName("c").SetAsString("r" + std::to_string(i));
      const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(i), 0xAB, 0xCD};
      t->FieldByName("raw").SetData(bytes);
      t->Post();
    }
  }
  // Column `field` of every row, "-" for NULL.
  Strings Column(const std::string& field, const std::string& password = "") {
    auto t = Table("t", password);
    t->Open();
    Strings out;
    for (t->First(); !t->Eof(); t->Next()) {
      TField& f = t->FieldByName(field);
      out.push_back(f.IsNull() ? "-" : f.AsString());
    }
    return out;
  }
  std::string PrimaryName() {
    for (const TIndexDef& d : IndexesOf("t"))
      if (d.Options() & ixPrimary) return d.Name();
    return "";
  }
};

TEST_F(AlterTest, AddAndModifyChangeColumnsAndKeepTheRows) {
  // The identifier stays the last field.
  Exec("ALTER TABLE t ADD (d STRING(10))");
  EXPECT_EQ(FieldsOf("t")[2], Line("d", ftString, 10));
  Exec("ALTER TABLE t MODIFY (d STRING(20))");
  EXPECT_EQ(FieldsOf("t")[2], Line("d", ftString, 20));
  Exec("ALTER TABLE t MODIFY (c NOT NULL STRING(20))");
  EXPECT_EQ(FieldsOf("t")[0], Line("c", ftString, 20, true));
  Exec("ALTER TABLE t MODIFY (c NULL)");
  EXPECT_EQ(FieldsOf("t")[0], Line("c", ftString, 20));
  EXPECT_EQ(Column("c"), (Strings{"r1", "r2", "r3"}));
  EXPECT_EQ(Column("id"), (Strings{"1", "2", "3"}));
}

TEST_F(AlterTest, EveryAlterKeepsBytesValues) {
  Exec("ALTER TABLE t ADD (d INTEGER)");
  Exec("ALTER TABLE t MODIFY (raw BYTES(4))");
  auto t = Table("t");
  t->Open();
  t->Last();
  std::uint8_t bytes[4] = {9, 9, 9, 9};
  ASSERT_TRUE(t->FieldByName("raw").GetData(bytes));
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(bytes[1], 0xAB);
  EXPECT_EQ(bytes[2], 0xCD);
  EXPECT_EQ(bytes[3], 0);
}

TEST_F(AlterTest, ThePrimaryIndexGoesUnlessTheStatementNamesAKey) {
  const std::string first = PrimaryName();
  ASSERT_FALSE(first.empty());
  Exec("ALTER TABLE t ADD (d INTEGER)");
  EXPECT_EQ(PrimaryName(), "");
  Exec("ALTER TABLE t ADD (e INTEGER, PRIMARY KEY (id))");
  const std::string again = PrimaryName();
  EXPECT_TRUE(std::regex_match(again, std::regex("PK_id[0-9]+"))) << again;

  Exec("ALTER TABLE t DROP (c, nothing)");
  EXPECT_EQ(PrimaryName(), "");
  for (const std::string& line : FieldsOf("t")) EXPECT_NE(line.rfind("c ", 0), 0u) << line;
  EXPECT_EQ(Column("id"), (Strings{"1", "2", "3"}));
}

TEST_F(AlterTest, OtherIndexesAndTheLastIdentifierStay) {
  Exec("CREATE INDEX byC ON t (c)");
  {
    auto t = Table("t");
    t->Open();
    t->Last();
    t->Delete();
  }
  Exec("ALTER TABLE t ADD (d INTEGER)");
  bool found = false;
  for (const TIndexDef& d : IndexesOf("t")) found = found || d.Name() == "byC";
  EXPECT_TRUE(found);
  auto t = Table("t");
  t->Open();
  EXPECT_EQ(t->GetLastAutoInc(), 3);
  t->Close();
  Exec("ALTER TABLE t ADD (e INTEGER, LASTAUTOINC 50)");
  t->Open();
  EXPECT_EQ(t->GetLastAutoInc(), 50);
}

TEST_F(AlterTest, NewPasswordEncryptsAndTheCurrentOneOpens) {
  Exec("ALTER TABLE t ADD (d INTEGER, NEW PASSWORD 'pw')");
  EXPECT_TRUE(Table("t")->IsTableEncrypted());
  EXPECT_EQ(Column("c", "pw"), (Strings{"r1", "r2", "r3"}));
  EXPECT_EQ(ErrorOf("ALTER TABLE t ADD (e INTEGER)"), 2047);
  Exec("ALTER TABLE t ADD (e INTEGER, PASSWORD 'pw')");
  EXPECT_TRUE(Table("t")->IsTableEncrypted());
  EXPECT_EQ(FieldsOf("t", "pw").size(), 5u);
}

TEST_F(AlterTest, FailuresAreReportedAsDroppingColumnsAndLeaveTheTable) {
  const std::string message = MessageOf([&] { Exec("ALTER TABLE t MODIFY (x INTEGER)"); });
  EXPECT_EQ(message.rfind("Error dropping column(s): 'Field 'x' not found", 0), 0u) << message;
  EXPECT_EQ(ErrorOf("ALTER TABLE t ADD (c INTEGER)"), 2047);  // a second c
  EXPECT_EQ(ErrorOf("ALTER TABLE missing ADD (c INTEGER)"), 2047);
  EXPECT_EQ(FieldsOf("t").size(), 3u);
  EXPECT_EQ(Column("c"), (Strings{"r1", "r2", "r3"}));
}

TEST_F(DdlTest, AlterKeepsAutomaticIndexesUnlessTheStatementSays) {
  Exec("CREATE TABLE a (x INTEGER, AUTOINDEXES)");
  auto number = [&](const std::string& index) {
    auto t = Table("a");
    t->Open();
    return t->DataManager()->IndexNumber(index);
  };
  EXPECT_GT(number("@x"), 0);
  Exec("ALTER TABLE a ADD (y INTEGER)");
  EXPECT_GT(number("@x"), 0);
  EXPECT_GT(number("@y"), 0);
  Exec("ALTER TABLE a ADD (z INTEGER, NOAUTOINDEXES)");
  EXPECT_LT(number("@x"), 0);
}

// ---------------------------------------------------------------------------
// CREATE and DROP INDEX.

TEST_F(DdlTest, CreateUniqueIndexWithDirectionsAndCase) {
  Exec("CREATE TABLE t (a INTEGER, b STRING(10))");
  Exec("CREATE UNIQUE INDEX ix ON t (a DESC, b ASC NOCASE)");
  Exec("CREATE INDEX plain ON t (b NOCASE CASE DESC ASC)");
  const std::vector<TIndexDef> indexes = IndexesOf("t");
  ASSERT_EQ(indexes.size(), 2u);
  EXPECT_EQ(indexes[0].Name(), "ix");
  EXPECT_EQ(indexes[0].Fields(), "a;b");
  EXPECT_EQ(indexes[0].DescFields(), "a");
  EXPECT_EQ(indexes[0].CaseInsFields(), "b");
  EXPECT_NE(indexes[0].Options() & ixUnique, 0);
  EXPECT_EQ(indexes[1].Fields(), "b");
  EXPECT_EQ(indexes[1].DescFields(), "");
  EXPECT_EQ(indexes[1].CaseInsFields(), "");
  EXPECT_EQ(indexes[1].Options() & ixUnique, 0);

  Exec("DROP INDEX t.ix");
  ASSERT_EQ(IndexesOf("t").size(), 1u);
  EXPECT_EQ(IndexesOf("t")[0].Name(), "plain");
  // The engine's own refusals pass through.
  EXPECT_NE(MessageOf([&] { Exec("DROP INDEX t.ix"); }), testing::kNoException);
  EXPECT_NE(MessageOf([&] { Exec("CREATE INDEX bad ON t (nothing)"); }), testing::kNoException);
}

TEST_F(DdlTest, TheIdentifierIndexCannotBeDropped) {
  Exec("CREATE TABLE t (id AUTOINC, a INTEGER)");
  // As the table's only index, and beside another one.
  EXPECT_NE(MessageOf([&] { Exec("DROP INDEX t.[@id]"); }), testing::kNoException);
  Exec("CREATE INDEX byA ON t (a)");
  const std::string message = MessageOf([&] { Exec("DROP INDEX t.[@id]"); });
  EXPECT_NE(message.find("orders the record identifiers and cannot be deleted"), std::string::npos)
      << message;
  auto t = Table("t");
  t->Open();
  EXPECT_EQ(t->DataManager()->IndexNumber("@id"), 0);
  EXPECT_EQ(t->DataManager()->IndexNumber("byA"), 1);
}

TEST_F(DdlTest, IndexesOfEncryptedTablesTakeThePassword) {
  Exec("CREATE TABLE t (a INTEGER, PASSWORD 'pw')");
  EXPECT_NE(MessageOf([&] { Exec("CREATE INDEX ix ON t (a)"); }), testing::kNoException);
  Exec("CREATE INDEX ix ON t (a, PASSWORD 'pw')");
  Exec("DROP INDEX t.ix PASSWORD 'pw'");
}

// ---------------------------------------------------------------------------
// Names and grammar.

TEST_F(DdlTest, NamesThatCannotBeFileNamesAreRefused) {
  EXPECT_EQ(ErrorOf("CREATE TABLE [a/b] (x INTEGER)"), 1012);
  EXPECT_EQ(ErrorOf("CREATE TABLE MEMORY '..' (x INTEGER)"), 1012);
  EXPECT_EQ(ErrorOf("DROP TABLE [..]"), 1012);
  EXPECT_EQ(ErrorOf("ALTER TABLE [x\\y] ADD (x INTEGER)"), 1012);
  Exec("CREATE TABLE t (x INTEGER)");
  EXPECT_EQ(ErrorOf("CREATE INDEX [a/b] ON t (x)"), 2053);
  EXPECT_EQ(ErrorOf("CREATE INDEX [..] ON t (x)"), 2053);
  EXPECT_EQ(ErrorOf("CREATE INDEX ix ON [../t] (x)"), 1012);
  EXPECT_TRUE(IndexesOf("t").empty());
}

TEST_F(DdlTest, GrammarErrorsHaveTheirNativeCodes) {
  const struct {
    const char* sql;
    int code;
  } cases[] = {
      {"CREATE TABLE", 1004},
      {"CREATE TABLE 't' (a INTEGER)", 2003},
      {"CREATE TABLE MEMORY", 2152},
      {"CREATE TABLE t a INTEGER", 2004},
      {"CREATE TABLE t (1 INTEGER)", 2005},
      {"CREATE TABLE t (a 'x')", 2006},
      {"CREATE TABLE t (a NUMBER)", 2007},
      {"CREATE TABLE t (a CHAR)", 2008},
      {"CREATE TABLE t (a CHAR(x))", 2009},
      {"CREATE TABLE t (a CHAR(99999999999))", 2009},
      {"CREATE TABLE t (a CHAR(5 6))", 2010},
      {"CREATE TABLE t (a INTEGER NOT TRUE)", 2011},
      {"CREATE TABLE t (a INTEGER NOT x)", 2012},
      {"CREATE TABLE t (a INTEGER) x", 2015},
      {"CREATE TABLE t (a INTEGER, PASSWORD x)", 2016},
      {"CREATE TABLE t (a INTEGER, PASSWORD 'p' x)", 2017},
      {"CREATE TABLE t (a INTEGER, BLOBCOMPRESSIONLEVEL 3)", 2019},
      {"CREATE TABLE t (a INTEGER, BLOBCOMPRESSIONLEVEL best)", 2020},
      {"CREATE TABLE t (a INTEGER, BLOBCOMPRESSIONLEVEL MAX x)", 2021},
      {"CREATE TABLE t (a INTEGER, BLOBBLOCKSIZE x)", 2023},
      {"CREATE TABLE t (a INTEGER, BLOBBLOCKSIZE 512 x)", 2024},
      {"CREATE TABLE t (a INTEGER, LASTAUTOINC x)", 2026},
      {"CREATE TABLE t (a INTEGER, LASTAUTOINC 5 x)", 2027},
      {"CREATE TABLE t (a INTEGER 5)", 2044},
      {"CREATE TABLE t (a INTEGER, AUTOINDEXES x)", 2044},
      {"CREATE TABLE t (a INTEGER, PRIMARY KEY (1))", 2119},
      {"CREATE TABLE t (a INTEGER, PRIMARY KEY (a b))", 2120},
      {"DROP TABLE", 2037},
      {"DROP TABLE 't'", 2034},
      {"DROP TABLE t x", 2015},
      {"ALTER TABLE", 2039},
      {"ALTER TABLE 't' ADD (a INTEGER)", 2043},
      {"ALTER TABLE t", 2042},
      {"ALTER TABLE t SELECT (a)", 2040},
      {"ALTER TABLE t change (a)", 2041},
      {"ALTER TABLE t ADD a", 2004},
      {"ALTER TABLE t MODIFY (a 5)", 2045},
      {"ALTER TABLE t ADD (NEW x 'p')", 2016},
      {"ALTER TABLE t ADD (NEW SELECT 'p')", 2046},
      {"ALTER TABLE t ADD (NEW PASSWORD p)", 2016},
      {"CREATE UNIQUE x ix ON t (a)", 2052},
      {"CREATE UNIQUE SELECT ix ON t (a)", 2052},
      {"CREATE INDEX 5 ON t (a)", 2053},
      {"CREATE INDEX ix t (a)", 2054},
      {"CREATE INDEX ix ON (a)", 2055},
      {"CREATE INDEX ix ON MEMORY (a)", 2160},
      {"CREATE INDEX ix ON t a", 2056},
      {"CREATE INDEX ix ON t (5)", 2057},
      {"CREATE INDEX ix ON t (PASSWORD x)", 2059},
      {"CREATE INDEX ix ON t (a) x", 2050},
      {"DROP INDEX", 2060},
      {"DROP INDEX MEMORY", 2161},
      {"DROP INDEX ix", 2064},
      {"DROP INDEX t ix", 2064},
      {"DROP INDEX t.", 2065},
      {"DROP INDEX t.ix PASSWORD p", 2066},
      {"DROP INDEX t.ix x", 2061},
  };
  for (const auto& c : cases) {
    TKivoLexer lexer(c.sql);
    lexer.NextCommand();
    EXPECT_EQ(NativeErrorOf([&] { WithStatement(lexer, [](auto&) {}); }), c.code) << c.sql;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.file("t.dat")));
}

TEST_F(DdlTest, MessagesAtTheEndOfAStatementNameNoStaleToken) {
  EXPECT_EQ(MessageOf([&] {
              Exec("DROP INDEX ix");
            }).rfind("Token '.' expected, but '' found at line 1, column 12", 0),
            0u);
  EXPECT_EQ(MessageOf([&] {
              Exec("CREATE TABLE t (a INTEGER NOT x)");
            }).rfind("Unexpected end of SQL command found at line 1", 0),
            0u);
  EXPECT_EQ(MessageOf([&] { Exec("CREATE TABLE"); }).rfind("Blank SQL command", 0), 0u);
}

TEST_F(DdlTest, ParsingIsRepeatableFromEitherReadPositionAndLeavesTheTokens) {
  const std::string sql =
      "CREATE TABLE MEMORY t (a CHAR(5) NOT NULL, PRIMARY INTEGER, PASSWORD 'p', "
      "NOAUTOINDEXES, PRIMARY KEY (a, PRIMARY))";
  TKivoLexer lexer(sql);
  lexer.NextCommand();
  std::vector<std::string> before;
  for (int i = 0; i < lexer.TokenCount(0); ++i) before.emplace_back(lexer.TokenAt(0, i).Text);
  for (int start : {0, 1, 2, 5}) {
    TToken token;
    lexer.SetPosition(start, token);
    TKivoDDLCreateTable s(lexer);
    EXPECT_TRUE(s.InMemory());
    EXPECT_EQ(s.TableName(), "t");
    ASSERT_EQ(s.Fields().size(), 2u);
    EXPECT_EQ(s.Fields()[0].Nullable, TKivoFieldDef::kNotNull);
    EXPECT_EQ(s.Fields()[0].Size, 5);
    EXPECT_EQ(s.Fields()[1].Name, "PRIMARY");
    EXPECT_EQ(s.Fields()[1].Nullable, TKivoFieldDef::kNull);
    EXPECT_EQ(s.Password(), "p");
    EXPECT_EQ(s.AutoIndexes(), std::optional<bool>(false));
    EXPECT_EQ(s.PrimaryKey(), (Strings{"a", "PRIMARY"}));
    // The read position is past the statement's last token.
    EXPECT_EQ(s.CurrentToken().TokenType, tktNone);
    EXPECT_EQ(lexer.GetPosition(), lexer.TokenCount(0));
  }
  for (int i = 0; i < lexer.TokenCount(0); ++i)
    EXPECT_EQ(lexer.TokenAt(0, i).Text, before[static_cast<std::size_t>(i)]);

  // ALTER TABLE leaves a token after its ")" for the script processor.
  TKivoLexer alter("ALTER TABLE t MODIFY (a NOT NULL STRING(9)) extra");
  alter.NextCommand();
  TKivoDDLAlterTable a(alter);
  EXPECT_EQ(a.Mode(), TKivoDDLAlterTable::TMode::kModify);
  ASSERT_EQ(a.Fields().size(), 1u);
  EXPECT_EQ(a.Fields()[0].DataType, ftString);
  EXPECT_EQ(a.Fields()[0].Size, 9);
  EXPECT_EQ(a.CurrentToken().Text, "extra");
}

}  // namespace
}  // namespace kivo
