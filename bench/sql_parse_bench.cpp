// Reading SQL text: a script of INSERT statements tokenized and its values
// parsed into expression trees, beside SQLite preparing the same statements
// one after another.
//
// Ours: the lexer tokenizes the whole script at once (that is how scripts
// run: every statement is read before the first one runs), then each
// statement's VALUES items are parsed as value expressions and freed.
// SQLite: sqlite3_prepare_v2 over the text, statement by statement, each
// finalized at once. Each half runs in a forked child; ours_peak_mib and
// ref_peak_mib are their peak memory growth, the script itself not counted.
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "sql/parser.h"

namespace kivo {
namespace {

using bench::Check;
using bench::ChildResult;
using bench::InChild;

// About 60 bytes a statement: 1 000 000 statements at the default size.
std::string Script(std::int32_t statements) {
  std::string text;
  text.reserve(static_cast<std::size_t>(statements) * 72);
  for (std::int32_t i = 0; i < statements; ++i) {
    const std::string n = std::to_string(i);
    text += "INSERT INTO t (a, b, c) VALUES (" + n + ", 'name " + n + "', " + n + ".5);\n";
  }
  return text;
}

// Parses every value of every statement; the sum counts the values.
std::uint64_t OurParse(std::string script) {
  TKivoLexer lexer(std::move(script));
  const std::uint16_t values_word = ReservedWordNumber("VALUES");
  std::uint64_t values = 0;
  TToken token;
  while (lexer.NextCommand()) {
    // INSERT INTO t ( a , b , c ) VALUES ( ...
    lexer.GetCurrentToken(token);
    while (!TKivoLexer::IsReservedWord(token, values_word)) {
      Check(lexer.GetNextToken(token), "no VALUES");
    }
    lexer.GetNextToken(token);  // (
    lexer.GetNextToken(token);
    while (true) {
      TZorExpression value(lexer);
      value.ParseValueExpression();
      Check(!value.IsEmpty(), "a value did not parse");
      ++values;
      lexer.GetCurrentToken(token);
      lexer.GetNextToken(token);
      if (token.TokenType == tktNone) break;
    }
  }
  return values;
}

std::uint64_t LitePrepare(const std::string& script) {
  bench::LiteDatabase lite(":memory:");
  lite.Exec("CREATE TABLE t (a INTEGER, b TEXT, c REAL)");
  sqlite3* db = nullptr;
  sqlite3_stmt* probe = lite.Prepare("SELECT 1");
  db = sqlite3_db_handle(probe);
  sqlite3_finalize(probe);
  std::uint64_t values = 0;
  const char* at = script.c_str();
  while (*at != '\0') {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    Check(sqlite3_prepare_v2(db, at, -1, &stmt, &tail) == SQLITE_OK, sqlite3_errmsg(db));
    if (stmt == nullptr) break;  // only blanks were left
    values += static_cast<std::uint64_t>(sqlite3_bind_parameter_count(stmt)) + 3;
    sqlite3_finalize(stmt);
    at = tail;
  }
  return values;
}

void BM_ParseInsertScript(benchmark::State& state) {
  bench::SideBySide run(state);
  const std::int32_t statements = bench::ScaledRows(60, 1000000);
  for (auto _ : state) {
    const ChildResult ours = InChild([&] {
      std::string script = Script(statements);
      bench::StartTiming();
      return OurParse(std::move(script));
    });
    const ChildResult ref = InChild([&] {
      const std::string script = Script(statements);
      bench::StartTiming();
      return LitePrepare(script);
    });
    run.AddOurs(ours.seconds);
    run.AddReference(ref.seconds);
    state.counters["ours_peak_mib"] = ours.peak_mib;
    state.counters["ref_peak_mib"] = ref.peak_mib;
    state.counters["statements"] = statements;
    if (ours.sum != ref.sum) state.SkipWithError("the two halves read different value counts");
  }
  run.Finish(Script(1).size() * static_cast<std::size_t>(statements));
}

BENCHMARK(BM_ParseInsertScript)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
