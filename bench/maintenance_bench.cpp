// Table maintenance against SQLite doing the same work, one run each, on a
// table of 1 000 000 rows (a INTEGER, b INTEGER indexed, s STRING(20),
// f FLOAT) in a directory database; SQLite: a file database with an index
// on b, journal off:
//   BM_Import        every row into a new table through ImportTable, the new
//                    table closed (written) at the end; SQLite:
//                    INSERT INTO t2 SELECT * FROM t.
//   BM_AddField      RestructureTable adding a FLOAT field, which copies
//                    every row into the new layout; SQLite: its documented
//                    table rebuild in one transaction (create the new table,
//                    INSERT … SELECT, drop the old one, rename, index again).
//   BM_AddFieldSchemaOnly  the same restructure; SQLite: ALTER TABLE t ADD
//                    COLUMN g REAL, which only changes the schema and
//                    rewrites no row (what SQLite can do for this one case).
//   BM_AddIndex      an index on the integer a through AddIndex on the open
//                    table (built and saved); SQLite: CREATE INDEX ON t(a).
//
// Each half builds its table in a forked child, then times only the work
// (bench::StartTiming). Both halves report the rows they end with.
//
// KARTOVA_BENCH_MIB scales the row count: 64 (the default) is 1 000 000 rows.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <string>

#include "bench/bench_rows.h"
#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "bench/row_tables.h"
#include "components/kivo_table.h"
#include "dataset/data_link.h"

namespace kivo {
namespace {

using bench::Check;
using bench::ChildResult;
using bench::InChild;
using bench::RowCount;

constexpr int kStringLength = bench::kRowStringLength;

std::uint64_t OurRowCount(const std::string& dir, const std::string& name) {
  TKivoTable t;
  t.SetDatabaseName(dir);
  t.SetTableName(name);
  t.Open();
  return static_cast<std::uint64_t>(t.RecordCount());
}

class Lite : public bench::LiteDatabase {
 public:
  using LiteDatabase::LiteDatabase;

  void Build(std::int32_t rows) { bench::BuildLiteRowTable(*this, rows, true); }
  std::uint64_t Count(const char* table) {
    const std::string sql = std::string("SELECT count(*) FROM ") + table;
    sqlite3_stmt* stmt = Prepare(sql.c_str());
    Check(sqlite3_step(stmt) == SQLITE_ROW, "count failed");
    const auto n = static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    return n;
  }
};

// Runs one benchmark: `ours` gets the database directory, `ref` the built
// SQLite database; each returns the rows it ends with.
template <typename Ours, typename Ref>
void SideBySideRun(benchmark::State& state, Ours ours, Ref ref) {
  bench::SideBySide run(state);
  for (auto _ : state) {
    bench::ScratchDir scratch("kartova_maintenance");
    const std::int32_t rows = RowCount();
    const ChildResult o = InChild([&] {
      bench::BuildOurRowTable(scratch.Dir(), rows);
      bench::StartTiming();
      return ours(scratch.Dir());
    });
    const ChildResult r = InChild([&] {
      Lite lite(scratch.File("lite.db"));
      lite.Build(rows);
      bench::StartTiming();
      return ref(lite);
    });
    run.AddOurs(o.seconds);
    run.AddReference(r.seconds);
    state.counters["ours_peak_mib"] = o.peak_mib;
    state.counters["ref_peak_mib"] = r.peak_mib;
    state.counters["rows"] = rows;
    if (o.sum != r.sum || o.sum != static_cast<std::uint64_t>(rows))
      state.SkipWithError("the two halves ended with different row counts");
  }
  run.Finish();
}

void BM_Import(benchmark::State& state) {
  SideBySideRun(
      state,
      [](const std::string& dir) {
        TKivoTable source;
        source.SetDatabaseName(dir);
        source.SetTableName("t");
        source.Open();
        TDataSource ds(&source);
        TKivoTable target;
        target.SetDatabaseName(dir);
        target.SetTableName("t2");
        std::string log;
        Check(target.ImportTable(&ds, nullptr, log), "import failed: " + log);
        const auto n = static_cast<std::uint64_t>(target.RecordCount());
        target.Close();
        return n;
      },
      [](Lite& lite) {
        lite.Exec("CREATE TABLE t2(a INTEGER, b INTEGER, s TEXT, f REAL)");
        lite.Exec("INSERT INTO t2 SELECT * FROM t");
        return lite.Count("t2");
      });
}

std::uint64_t AddFieldByRestructure(const std::string& dir) {
  TKivoTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("t");
  TFieldDefs& f = t.StructureFieldDefs();
  f.Add("a", ftInteger);
  f.Add("b", ftInteger);
  f.Add("s", ftString, kStringLength);
  f.Add("f", ftFloat);
  f.Add("g", ftFloat);
  t.StructureIndexDefs().Add("byB", "b");
  t.RestructureTable(false, "", 512, 0);
  return OurRowCount(dir, "t");
}

void BM_AddField(benchmark::State& state) {
  SideBySideRun(state, AddFieldByRestructure, [](Lite& lite) {
    lite.Exec("BEGIN");
    lite.Exec("CREATE TABLE t_new(a INTEGER, b INTEGER, s TEXT, f REAL, g REAL)");
    lite.Exec("INSERT INTO t_new(a, b, s, f) SELECT a, b, s, f FROM t");
    lite.Exec("DROP TABLE t");
    lite.Exec("ALTER TABLE t_new RENAME TO t");
    lite.Exec("CREATE INDEX byB ON t(b)");
    lite.Exec("COMMIT");
    return lite.Count("t");
  });
}

void BM_AddFieldSchemaOnly(benchmark::State& state) {
  SideBySideRun(state, AddFieldByRestructure, [](Lite& lite) {
    lite.Exec("ALTER TABLE t ADD COLUMN g REAL");
    return lite.Count("t");
  });
}

void BM_AddIndex(benchmark::State& state) {
  SideBySideRun(
      state,
      [](const std::string& dir) {
        TKivoTable t;
        t.SetDatabaseName(dir);
        t.SetTableName("t");
        t.Open();
        t.AddIndex("byA", "a", 0);
        return static_cast<std::uint64_t>(t.RecordCount());
      },
      [](Lite& lite) {
        lite.Exec("CREATE INDEX byA ON t(a)");
        return lite.Count("t");
      });
}

BENCHMARK(BM_Import)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddField)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddFieldSchemaOnly)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddIndex)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
