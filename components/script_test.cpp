// The script processor through the query component: a text is checked
// whole before any statement runs, the statements run in order, and the
// last one's rows are the result.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/kivo_query_fixture.h"
#include "platform/errors.h"
#include "sql/stmt/script.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::NativeErrorOf;

TEST_F(QueryTest, TheLastStatementOfAScriptIsTheResult) {
  auto q = Query("SELECT * FROM t WHERE n = 1;\nSELECT n FROM t WHERE n = 6");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"6"}));
}

TEST_F(QueryTest, ScriptsAreCheckedWholeBeforeAnythingRuns) {
  struct Case {
    std::string text;
    int code;
  };
  const std::vector<Case> cases = {
      {"", 1001},
      {" ; ; -- nothing\n", 1001},
      {"FROM t", 1003},
      {"hello t", 1059},
      {"SELECT * FROM t a b", 1006},
      {"SELECT * FROM t; SELECT * FROM", 1015},
      {"CREATE", 2001},
      {"CREATE VIEW v", 2002},
      {"ALTER", 2036},
      {"DROP VIEW v", 2035},
      {"ALTER TABLE t ADD (c INTEGER) more", 2043},
      {"DELETE FROM t b c", 2067},
      {"UPDATE t SET n = 1 WHERE n = 2 x", 2069},
      {"INSERT INTO t VALUES (1) x", 2068},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NativeErrorOf([&] { TSQLScriptProcessor p(c.text, nullptr); }), c.code);
    auto q = Query(c.text);
    EXPECT_EQ(NativeErrorOf([&] { q->Open(); }), c.code);
    EXPECT_FALSE(q->Active());
  }
  // An alias is not a token left over.
  auto q = Query("SELECT * FROM t extra");
  q->Open();
  EXPECT_EQ(q->RecordCount(), 6);
  q->Close();
  // A syntax error in the last statement: the first one never ran.
  q->SetSQLText("CREATE TABLE u (a INTEGER);\nSELECT * FROM");
  EXPECT_EQ(NativeErrorOf([&] { q->ExecSQL(); }), 1015);
  EXPECT_FALSE(host_.TableExists(Address("u")));
  // Without it the script runs in order: the table exists for the query.
  q->SetSQLText("CREATE TABLE u (a INTEGER);\nSELECT * FROM u");
  q->Open();
  EXPECT_EQ(Names(*q), (std::vector<std::string>{"a"}));
  EXPECT_EQ(q->RecordCount(), 0);
}

TEST_F(QueryTest, OpenWithoutAQueryAndAProcessorWithoutACursorRaise) {
  TSQLScriptProcessor p("SELECT * FROM t", nullptr);
  EXPECT_EQ(NativeErrorOf([&] { p.GetRootOperator(); }), 1068);
  EXPECT_EQ(p.GetResult(), nullptr);
  p.Execute(host_);
  EXPECT_NE(p.GetRootOperator(), nullptr);
  EXPECT_EQ(p.GetResult()->RecordCount(), 6);
  EXPECT_THROW(p.Execute(host_), std::exception);
}

// Scripts longer than the part read at once (a few thousand statements)
// behave as one text: an error anywhere runs nothing, a lexical error comes
// before a syntax error wherever each stands, positions count from the
// start of the whole text, and the last statement's rows are the result.
TEST_F(QueryTest, LongScriptsAreCheckedAndRunAsOneText) {
  constexpr int kStatements = 10000;
  std::string inserts;
  for (int i = 0; i < kStatements; ++i)
    inserts += "INSERT INTO t VALUES (" + std::to_string(100 + i) + ", 'x');\n";

  // A syntax error in the last statement: none of the inserts ran.
  auto q = Query(inserts + "SELECT * FROM");
  EXPECT_EQ(NativeErrorOf([&] { q->ExecSQL(); }), 1015);
  q->SetSQLText("SELECT COUNT(*) FROM t");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{"6"}));
  q->Close();

  // A syntax error first, an unterminated string last: the string is
  // reported, at its line in the whole text.
  q->SetSQLText("SELECT * FROM;\n" + inserts + "SELECT 'open FROM t");
  try {
    q->ExecSQL();
    ADD_FAILURE() << "the script ran";
  } catch (const ZorException& e) {
    EXPECT_EQ(e.NativeError(), 3) << e.what();
    EXPECT_NE(std::string(e.what()).find(std::to_string(kStatements + 2)), std::string::npos)
        << e.what();
  }

  q->SetSQLText(inserts + "SELECT COUNT(*) AS c FROM t WHERE s = 'x'");
  q->Open();
  EXPECT_EQ(Rows(*q), (std::vector<std::string>{std::to_string(kStatements)}));
}

// A host that stops every statement once its operators have moved over a
// number of rows, as a cancel or a work limit does.
class StoppingHost final : public TKivoSqlHost {
 public:
  StoppingHost(const std::string& dir, int limit)
      : TKivoSqlHost("", dir, "", false), limit_(limit) {}
  void CheckCancel() override {
    if (++moves_ > limit_) throw Exception("stopped");
  }
  int Moves() const { return moves_; }

 private:
  int limit_;
  int moves_ = 0;
};

TEST_F(QueryTest, AHostStopsAStatementBetweenRowsAndTheTablesStayWhole) {
  // A cross join of t with itself four times is 1296 rows; the host stops
  // it after 200 moves, so the rows are visited as they are produced.
  {
    StoppingHost host(dir_.path(), 200);
    TSQLScriptProcessor p("SELECT * FROM t a, t b, t c, t d", nullptr);
    EXPECT_EQ(MessageOf([&] { p.Execute(host); }), "stopped");
    EXPECT_EQ(host.Moves(), 201);
  }
  // An INSERT ... SELECT stopped half-way keeps the rows it posted, each
  // whole, and the table goes on working.
  {
    StoppingHost host(dir_.path(), 3);
    TSQLScriptProcessor p("INSERT INTO t SELECT n + 10, s FROM t", nullptr);
    EXPECT_EQ(MessageOf([&] { p.Execute(host); }), "stopped");
  }
  auto q = Query("SELECT n, s FROM t WHERE n > 10 ORDER BY n");
  q->Open();
  const std::vector<std::string> added = Rows(*q);
  EXPECT_LT(added.size(), 6u);
  for (std::size_t i = 0; i < added.size(); ++i) {
    const int n = static_cast<int>(i) + 11;
    EXPECT_EQ(added[i], std::to_string(n) + ",s" + std::to_string((n - 10) % 3));
  }
  q->Close();
  q->SetSQLText("INSERT INTO t SELECT n + 100, s FROM t WHERE n < 7");
  q->ExecSQL();
  q->SetSQLText("SELECT n FROM t WHERE n > 100");
  q->Open();
  EXPECT_EQ(Rows(*q).size(), 6u);
}

}  // namespace
}  // namespace kivo
