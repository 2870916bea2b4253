// Data-changing SQL run whole through the query component, against SQLite
// running the same text over the same rows (no journal, no syncs; the
// script in one transaction).
//
// Tables (1 000 000 rows of t at the default size, bench_rows.h; t has an
// index on b on both sides):
//   BM_InsertScript  a script of one single-row INSERT per row into an
//                    empty table x (a INTEGER, b INTEGER, s STRING(20))
//   BM_InsertSelect  INSERT INTO x SELECT a, b, s FROM t
//   BM_UpdateHalf    UPDATE t SET f = f + 1 WHERE MOD(a, 2) = 0
//   BM_DeleteHalf    DELETE FROM t WHERE MOD(a, 2) = 0
//   BM_CreateIndex   CREATE INDEX byS ON t (s)
//
// After each statement both halves add up the rows of the changed table
// the same way (bench_rows.h RowSum for t, a + b for x) and the sums must
// agree. Each half builds its tables in a forked child and times only the
// statement.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <string>

#include "bench/bench_rows.h"
#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "bench/row_tables.h"
#include "components/kivo_query.h"
#include "components/sql_host.h"

namespace kivo {
namespace {

using bench::ChildResult;
using bench::InChild;

constexpr const char* kCreateX = "CREATE TABLE x (a INTEGER, b INTEGER, s STRING(20))";
constexpr const char* kLiteCreateX = "CREATE TABLE x (a INTEGER, b INTEGER, s TEXT)";

// One INSERT per row, as a user's script would hold them.
std::string InsertScript(std::int32_t rows) {
  std::string text;
  text.reserve(static_cast<std::size_t>(rows) * 64);
  for (std::int32_t i = 0; i < rows; ++i) {
    const bench::Row r = bench::MakeRow(i);
    text += "INSERT INTO x VALUES (" + std::to_string(r.a) + ", " + std::to_string(r.b) + ", '" +
            r.s + "');\n";
  }
  return text;
}

void ExecOurs(const std::string& dir, const std::string& sql) {
  TKivoQuery q;
  q.SetDatabaseName(dir);
  q.SetSQLText(sql);
  q.ExecSQL();
}

// The rows of table `name` added up: t by RowSum, x by a + b.
std::uint64_t SumOurs(const std::string& dir, const std::string& name) {
  TKivoSqlHost host("", dir, "", false);
  TZorTableAddress address;
  address.TableName = name;
  auto t = host.OpenTable(address);
  std::uint64_t sum = 0;
  TZorValue a, b, s, f;
  for (t->First(); !t->Eof(); t->Next()) {
    t->ReadField(0, a);
    t->ReadField(1, b);
    if (name == "x") {
      sum += static_cast<std::uint64_t>(a.AsInteger()) + static_cast<std::uint64_t>(b.AsInteger());
      continue;
    }
    t->ReadField(2, s);
    t->ReadField(3, f);
    const std::string text = s.IsNull() ? std::string() : s.AsString();
    sum +=
        bench::RowSum(a.AsInteger(), b.AsInteger(), text.empty() ? '\0' : text.back(), f.AsFloat());
  }
  return sum;
}

std::uint64_t SumLite(bench::LiteDatabase& lite, const std::string& name) {
  const std::string sql = name == "x" ? "SELECT a, b FROM x" : "SELECT a, b, s, f FROM " + name;
  sqlite3_stmt* stmt = lite.Prepare(sql.c_str());
  std::uint64_t sum = 0;
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    const std::int64_t a = sqlite3_column_int64(stmt, 0);
    const std::int64_t b = sqlite3_column_int64(stmt, 1);
    if (name == "x") {
      sum += static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b);
      continue;
    }
    const char* s = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
    const std::size_t n = s != nullptr ? std::strlen(s) : 0;
    sum += bench::RowSum(a, b, n == 0 ? '\0' : s[n - 1], sqlite3_column_double(stmt, 3));
  }
  sqlite3_finalize(stmt);
  return sum;
}

// `ours` and `theirs` run timed after the tables are built and `setup`
// (untimed) ran on each side; `table` is added up afterwards.
void Run(benchmark::State& state, const std::string& ours, const std::string& theirs,
         const char* ourSetup, const char* liteSetup, const std::string& table) {
  bench::SideBySide run(state);
  const std::int32_t rows = bench::RowCount();
  const bool script = ours.empty();
  for (auto _ : state) {
    bench::ScratchDir scratch("kartova_dml");
    const ChildResult our = InChild([&] {
      if (!script) bench::BuildOurRowTable(scratch.Dir(), rows);
      if (ourSetup != nullptr) ExecOurs(scratch.Dir(), ourSetup);
      const std::string text = script ? InsertScript(rows) : ours;
      bench::StartTiming();
      ExecOurs(scratch.Dir(), text);
      bench::StopTiming();
      return SumOurs(scratch.Dir(), table);
    });
    const ChildResult ref = InChild([&] {
      bench::LiteDatabase lite(scratch.File("lite.db"));
      if (!script) bench::BuildLiteRowTable(lite, rows, true);
      if (liteSetup != nullptr) lite.Exec(liteSetup);
      const std::string text = script ? "BEGIN;\n" + InsertScript(rows) + "COMMIT;\n" : theirs;
      bench::StartTiming();
      lite.Exec(text.c_str());
      bench::StopTiming();
      return SumLite(lite, table);
    });
    run.AddOurs(our.seconds);
    run.AddReference(ref.seconds);
    state.counters["ours_peak_mib"] = our.peak_mib;
    state.counters["ref_peak_mib"] = ref.peak_mib;
    state.counters["rows"] = rows;
    if (our.sum != ref.sum) state.SkipWithError("the two halves left different rows");
  }
  run.Finish();
}

void BM_InsertScript(benchmark::State& state) { Run(state, "", "", kCreateX, kLiteCreateX, "x"); }
void BM_InsertSelect(benchmark::State& state) {
  Run(state, "INSERT INTO x SELECT a, b, s FROM t", "INSERT INTO x SELECT a, b, s FROM t", kCreateX,
      kLiteCreateX, "x");
}
void BM_UpdateHalf(benchmark::State& state) {
  Run(state, "UPDATE t SET f = f + 1 WHERE MOD(a, 2) = 0", "UPDATE t SET f = f + 1 WHERE a % 2 = 0",
      nullptr, nullptr, "t");
}
void BM_DeleteHalf(benchmark::State& state) {
  Run(state, "DELETE FROM t WHERE MOD(a, 2) = 0", "DELETE FROM t WHERE a % 2 = 0", nullptr, nullptr,
      "t");
}
void BM_CreateIndex(benchmark::State& state) {
  Run(state, "CREATE INDEX byS ON t (s)", "CREATE INDEX byS ON t (s)", nullptr, nullptr, "t");
}

BENCHMARK(BM_InsertScript)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertSelect)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UpdateHalf)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteHalf)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateIndex)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
