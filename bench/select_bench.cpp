// SELECT statements run whole, planning, executing and reading every result
// row, against SQLite running the same statement over the same rows.
//
// Tables (1 000 000 rows of t at the default size, bench_rows.h):
//   t  a INTEGER, b INTEGER, s STRING(20), f FLOAT; a the row number
//   g  k = a mod 1000, v = b, one row per row of t
//   u  k = every tenth a, 100 000 rows
//
//   BM_Where        SELECT a, b FROM t WHERE b < 100000000 (about 5 %)
//   BM_Computed     SELECT a + b AS x, f * 2 AS y FROM t WHERE a < 200000
//   BM_OrderTop     SELECT TOP 10 a, b FROM t ORDER BY b DESC
//   BM_GroupBy      SELECT k, COUNT(*), SUM(v) FROM g GROUP BY k (1 000 groups)
//   BM_Aggregate    SELECT COUNT(*), SUM(a), MIN(b), MAX(s) FROM t
//   BM_Distinct     SELECT DISTINCT k FROM g
//   BM_Join         SELECT t.a, t.b FROM t, u WHERE t.a = u.k (100 000 rows)
//   BM_LeftJoin     SELECT u.k, t.b FROM u LEFT JOIN t ON u.k = t.a
//   BM_Union        SELECT k FROM u UNION SELECT k FROM g
//
// Both halves add up every field of every result row the same way (an
// integer as it is, a float times four, a text by its last character);
// the sums must agree. Each half builds its tables in a forked child and
// times only the statement and the reading of its rows.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "bench/row_tables.h"
#include "components/sql_host.h"
#include "sql/lexer.h"
#include "sql/stmt/union_parse.h"

namespace kivo {
namespace {

using bench::Check;
using bench::ChildResult;
using bench::InChild;

std::uint64_t TextSum(const char* text) {
  const std::size_t n = text != nullptr ? std::strlen(text) : 0;
  return n == 0 ? 0 : static_cast<std::uint8_t>(text[n - 1]);
}

std::uint64_t ValueSum(const TZorValue& v) {
  if (v.IsNull()) return 0;
  if (IsIntegerType(v.DataType())) {
    TZorValue x = v;
    x.ConvertTo(ftLargeint);
    return static_cast<std::uint64_t>(x.AsLargeInt());
  }
  if (v.DataType() == ftFloat || v.DataType() == ftCurrency) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(v.AsFloat() * 4));
  }
  return TextSum(v.AsString().c_str());
}

void RunOurs(TKivoSqlHost& host, const std::string& sql) {
  TKivoLexer lexer(sql);
  lexer.NextCommand();
  TKivoSQLUnion statement(lexer);
  statement.Execute(host, false);
}

std::uint64_t Ours(const std::string& dir, const std::string& sql) {
  TKivoSqlHost host("", dir, "", false);
  RunOurs(host, "SELECT MOD(a, 1000) AS k, b AS v INTO g FROM t");
  RunOurs(host, "SELECT a AS k INTO u FROM t WHERE MOD(a, 10) = 0");
  bench::StartTiming();
  TKivoLexer lexer(sql);
  lexer.NextCommand();
  TKivoSQLUnion statement(lexer);
  statement.Execute(host, false);
  TZorTable& result = *statement.GetResult();
  std::vector<int> fields;
  if (result.VisibleFields().empty()) {
    for (int n = 0; n < result.FieldCount(); ++n) fields.push_back(n);
  } else {
    for (const std::string& name : result.VisibleFields()) {
      for (int n = 0; n < result.FieldCount(); ++n) {
        if (result.FieldName(n) == name) fields.push_back(n);
      }
    }
  }
  std::uint64_t sum = 0;
  TZorValue value;
  for (result.First(); !result.Eof(); result.Next()) {
    for (int n : fields) {
      result.ReadField(n, value);
      sum += ValueSum(value);
    }
  }
  return sum;
}

std::uint64_t Lite(bench::LiteDatabase& lite, const std::string& sql) {
  lite.Exec("CREATE TABLE g AS SELECT a % 1000 AS k, b AS v FROM t");
  lite.Exec("CREATE TABLE u AS SELECT a AS k FROM t WHERE a % 10 = 0");
  bench::StartTiming();
  sqlite3_stmt* stmt = lite.Prepare(sql.c_str());
  std::uint64_t sum = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
          sum += static_cast<std::uint64_t>(sqlite3_column_int64(stmt, i));
          break;
        case SQLITE_FLOAT:
          sum += static_cast<std::uint64_t>(
              static_cast<std::int64_t>(sqlite3_column_double(stmt, i) * 4));
          break;
        case SQLITE_TEXT:
          sum += TextSum(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
          break;
        default:
          break;
      }
    }
  }
  sqlite3_finalize(stmt);
  return sum;
}

void Run(benchmark::State& state, const std::string& ours, const std::string& theirs) {
  bench::SideBySide run(state);
  const std::int32_t rows = bench::RowCount();
  for (auto _ : state) {
    bench::ScratchDir scratch("kartova_select");
    const ChildResult our = InChild([&] {
      bench::BuildOurRowTable(scratch.Dir(), rows);
      return Ours(scratch.Dir(), ours);
    });
    const ChildResult ref = InChild([&] {
      bench::LiteDatabase lite(scratch.File("lite.db"));
      bench::BuildLiteRowTable(lite, rows, true);
      return Lite(lite, theirs);
    });
    run.AddOurs(our.seconds);
    run.AddReference(ref.seconds);
    state.counters["ours_peak_mib"] = our.peak_mib;
    state.counters["ref_peak_mib"] = ref.peak_mib;
    state.counters["rows"] = rows;
    if (our.sum != ref.sum) {
      state.SkipWithError("the two halves read different rows");
    }
  }
  run.Finish();
}

void Same(benchmark::State& state, const std::string& sql) { Run(state, sql, sql); }

void BM_Where(benchmark::State& state) { Same(state, "SELECT a, b FROM t WHERE b < 100000000"); }
void BM_Computed(benchmark::State& state) {
  Same(state, "SELECT a + b AS x, f * 2 AS y FROM t WHERE a < 200000");
}
void BM_OrderTop(benchmark::State& state) {
  Run(state, "SELECT TOP 10 a, b FROM t ORDER BY b DESC",
      "SELECT a, b FROM t ORDER BY b DESC LIMIT 10");
}
void BM_GroupBy(benchmark::State& state) {
  Same(state, "SELECT k, COUNT(*), SUM(v) FROM g GROUP BY k");
}
void BM_Aggregate(benchmark::State& state) {
  Same(state, "SELECT COUNT(*), SUM(a), MIN(b), MAX(s) FROM t");
}
void BM_Distinct(benchmark::State& state) { Same(state, "SELECT DISTINCT k FROM g"); }
void BM_Join(benchmark::State& state) { Same(state, "SELECT t.a, t.b FROM t, u WHERE t.a = u.k"); }
void BM_LeftJoin(benchmark::State& state) {
  Same(state, "SELECT u.k, t.b FROM u LEFT JOIN t ON u.k = t.a");
}
void BM_Union(benchmark::State& state) { Same(state, "SELECT k FROM u UNION SELECT k FROM g"); }

BENCHMARK(BM_Where)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Computed)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrderTop)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupBy)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Aggregate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Distinct)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Join)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LeftJoin)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Union)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
