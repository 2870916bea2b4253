// The table cursor against SQLite doing the same work, one run each, on a
// table of 1 000 000 rows (a INTEGER, b INTEGER indexed, s STRING(20),
// f FLOAT) in a directory database; SQLite: a file database with an index
// on b, journal off:
//   BM_Walk            the whole table through the cursor, reading every
//                      field of every record; SQLite: SELECT a, b, s, f.
//   BM_IndexedFilter   1 000 filters b = constant (the cursor's Filter,
//                      rebuilt, its records read); SQLite: the same WHERE.
//   BM_RangeFilter     10 filters a >= x AND a < y on the unindexed a, each
//                      selecting a tenth of the table, all records read.
//   BM_Locate          100 000 look-ups of b = constant through Locate's
//                      search; SQLite: SELECT rowid ... WHERE b = ?.
//   BM_Delete          100 000 records deleted through the cursor, one by
//                      one from the first; SQLite: DELETE by rowid, one
//                      statement per row in one transaction.
//   BM_FirstFilterAfterOpen  opening the table and its first filter
//                      b = constant; SQLite: opening the database and the
//                      same query. The others start after that first use.
//
// Each half builds its table in a forked child, then times only the work
// (bench::StartTiming); ours_peak_mib and ref_peak_mib are the peak memory
// growth during the timed part. Both halves add up what they read and the
// sums must agree.
//
// KARTOVA_BENCH_MIB scales the row count: 64 (the default) is 1 000 000 rows.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "bench/row_tables.h"
#include "components/kivo_table.h"
#include "engine/data_manager.h"
#include "engine/record_image.h"
#include "engine/table_file_store.h"

namespace kivo {
namespace {

using bench::Check;
using bench::ChildResult;
using bench::InChild;
using bench::MakeRow;
using bench::Row;
using bench::RowCount;

constexpr int kStringLength = bench::kRowStringLength;

// ---- Our side: the table built through the engine, read through the cursor.

class Cursor {
 public:
  explicit Cursor(const std::string& dir) {
    table_.SetDatabaseName(dir);
    table_.SetTableName("t");
    table_.Open();
    a_ = &table_.FieldByName("a");
    b_ = &table_.FieldByName("b");
    s_ = &table_.FieldByName("s");
    f_ = &table_.FieldByName("f");
  }
  TKivoTable& Table() { return table_; }
  std::uint64_t Current() const {
    const std::string s = s_->AsString();
    return bench::RowSum(a_->AsInteger(), b_->AsInteger(), s.empty() ? '\0' : s.back(),
                         f_->AsFloat());
  }
  std::uint64_t ReadAll() {
    std::uint64_t sum = 0;
    for (table_.First(); !table_.Eof(); table_.Next()) sum += Current();
    return sum;
  }

 private:
  TKivoTable table_;
  TField* a_;
  TField* b_;
  TField* s_;
  TField* f_;
};

// ---- SQLite's side.

class Lite : public bench::LiteDatabase {
 public:
  using LiteDatabase::LiteDatabase;

  void Build(std::int32_t rows) { bench::BuildLiteRowTable(*this, rows, true); }
  static std::uint64_t SumOfRow(sqlite3_stmt* stmt) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
    return bench::RowSum(sqlite3_column_int(stmt, 0), sqlite3_column_int(stmt, 1),
                         text && *text ? text[std::strlen(text) - 1] : '\0',
                         sqlite3_column_double(stmt, 3));
  }
  // Steps a bound statement to its end, adding up its rows.
  static std::uint64_t SumAll(sqlite3_stmt* stmt) {
    std::uint64_t sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) sum += SumOfRow(stmt);
    sqlite3_reset(stmt);
    return sum;
  }
};

// ---- Benchmarks.

struct Setup {
  bench::ScratchDir scratch{"kartova_cursor"};
  std::int32_t rows = RowCount();
};

void Report(benchmark::State& state, bench::SideBySide& run, const ChildResult& ours,
            const ChildResult& ref) {
  run.AddOurs(ours.seconds);
  run.AddReference(ref.seconds);
  state.counters["ours_peak_mib"] = ours.peak_mib;
  state.counters["ref_peak_mib"] = ref.peak_mib;
  if (ours.sum != ref.sum) state.SkipWithError("the two halves read different values");
}

// Runs one benchmark: `ours` and `ref` get the built table and return their sum.
// Before the clock starts, `warmOurs` and `warmRef` make the first use of
// what the work uses (our first search of an index after the open checks its
// saved order and learns its key prefixes in one pass over the table);
// BM_FirstFilterAfterOpen times that first use on its own.
template <typename Ours, typename Ref, typename WarmOurs, typename WarmRef>
void SideBySideRun(benchmark::State& state, Ours ours, Ref ref, WarmOurs warmOurs,
                   WarmRef warmRef) {
  bench::SideBySide run(state);
  for (auto _ : state) {
    Setup setup;
    const ChildResult o = InChild([&] {
      bench::BuildOurRowTable(setup.scratch.Dir(), setup.rows);
      Cursor cursor(setup.scratch.Dir());
      warmOurs(cursor);
      bench::StartTiming();
      return ours(cursor, setup.rows);
    });
    const ChildResult r = InChild([&] {
      Lite lite(setup.scratch.File("lite.db"));
      lite.Build(setup.rows);
      warmRef(lite);
      bench::StartTiming();
      return ref(lite, setup.rows);
    });
    Report(state, run, o, r);
    state.counters["rows"] = setup.rows;
  }
  run.Finish();
}

template <typename Ours, typename Ref>
void SideBySideRun(benchmark::State& state, Ours ours, Ref ref) {
  SideBySideRun(
      state, ours, ref, [](Cursor&) {}, [](Lite&) {});
}

// One look-up of b through each side, and one query of SQLite's.
void WarmOursOnB(Cursor& c) {
  c.Table().PrepareAndLocate("b", {TZorVariant{-1}}, foNoPartialCompare);
}
void WarmRefOnB(Lite& lite) {
  sqlite3_stmt* stmt = lite.Prepare("SELECT rowid FROM t WHERE b = -1");
  while (sqlite3_step(stmt) == SQLITE_ROW) {
  }
  sqlite3_finalize(stmt);
}

// Values of b that exist, spread over the table.
std::vector<std::int32_t> ExistingKeys(std::int32_t rows, std::size_t count) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::int32_t> pick(0, rows - 1);
  std::vector<std::int32_t> keys(count);
  for (auto& k : keys) k = MakeRow(pick(rng)).b;
  return keys;
}

void BM_Walk(benchmark::State& state) {
  SideBySideRun(
      state, [](Cursor& c, std::int32_t) { return c.ReadAll(); },
      [](Lite& lite, std::int32_t) {
        sqlite3_stmt* stmt = lite.Prepare("SELECT a, b, s, f FROM t");
        const std::uint64_t sum = Lite::SumAll(stmt);
        sqlite3_finalize(stmt);
        return sum;
      });
}

void BM_IndexedFilter(benchmark::State& state) {
  SideBySideRun(
      state,
      [](Cursor& c, std::int32_t rows) {
        std::uint64_t sum = 0;
        TKivoTable& t = c.Table();
        t.SetFilter("b = -1");
        t.SetFiltered(true);
        for (std::int32_t key : ExistingKeys(rows, 1000)) {
          t.SetFilter("b = " + std::to_string(key));
          t.Refresh();
          sum += c.ReadAll();
        }
        return sum;
      },
      [](Lite& lite, std::int32_t rows) {
        std::uint64_t sum = 0;
        sqlite3_stmt* stmt = lite.Prepare("SELECT a, b, s, f FROM t WHERE b = ?");
        for (std::int32_t key : ExistingKeys(rows, 1000)) {
          sqlite3_bind_int(stmt, 1, key);
          sum += Lite::SumAll(stmt);
        }
        sqlite3_finalize(stmt);
        return sum;
      },
      WarmOursOnB, WarmRefOnB);
}

void BM_RangeFilter(benchmark::State& state) {
  SideBySideRun(
      state,
      [](Cursor& c, std::int32_t rows) {
        std::uint64_t sum = 0;
        TKivoTable& t = c.Table();
        for (int k = 0; k < 10; ++k) {
          const std::int32_t from = rows / 10 * k;
          t.SetFilter("a >= " + std::to_string(from) + " and a < " +
                      std::to_string(from + rows / 10));
          if (k == 0)
            t.SetFiltered(true);
          else
            t.Refresh();
          sum += c.ReadAll();
        }
        return sum;
      },
      [](Lite& lite, std::int32_t rows) {
        std::uint64_t sum = 0;
        sqlite3_stmt* stmt = lite.Prepare("SELECT a, b, s, f FROM t WHERE a >= ? AND a < ?");
        for (int k = 0; k < 10; ++k) {
          const std::int32_t from = rows / 10 * k;
          sqlite3_bind_int(stmt, 1, from);
          sqlite3_bind_int(stmt, 2, from + rows / 10);
          sum += Lite::SumAll(stmt);
        }
        sqlite3_finalize(stmt);
        return sum;
      });
}

constexpr std::size_t kLookups = 100000;

void BM_Locate(benchmark::State& state) {
  SideBySideRun(
      state,
      [](Cursor& c, std::int32_t rows) {
        std::uint64_t sum = 0;
        for (std::int32_t key : ExistingKeys(rows, kLookups)) {
          const std::int32_t pos =
              c.Table().PrepareAndLocate("b", {TZorVariant{key}}, foNoPartialCompare);
          Check(pos >= 0, "key not found");
          sum += static_cast<std::uint64_t>(pos) + 1;
        }
        return sum;
      },
      [](Lite& lite, std::int32_t rows) {
        std::uint64_t sum = 0;
        sqlite3_stmt* stmt = lite.Prepare("SELECT rowid FROM t WHERE b = ? LIMIT 1");
        for (std::int32_t key : ExistingKeys(rows, kLookups)) {
          sqlite3_bind_int(stmt, 1, key);
          Check(sqlite3_step(stmt) == SQLITE_ROW, "key not found");
          sum += static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 0));
          sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
        return sum;
      },
      WarmOursOnB, WarmRefOnB);
}

void BM_Delete(benchmark::State& state) {
  SideBySideRun(
      state,
      [](Cursor& c, std::int32_t rows) {
        TKivoTable& t = c.Table();
        const std::int32_t n =
            std::min<std::int32_t>(static_cast<std::int32_t>(kLookups), rows / 2);
        t.First();
        for (std::int32_t i = 0; i < n; ++i) t.Delete();
        return static_cast<std::uint64_t>(t.RecordCount());
      },
      [](Lite& lite, std::int32_t rows) {
        const std::int32_t n =
            std::min<std::int32_t>(static_cast<std::int32_t>(kLookups), rows / 2);
        lite.Exec("BEGIN");
        sqlite3_stmt* stmt = lite.Prepare("DELETE FROM t WHERE rowid = ?");
        for (std::int32_t i = 1; i <= n; ++i) {
          sqlite3_bind_int(stmt, 1, i);
          Check(sqlite3_step(stmt) == SQLITE_DONE, "delete failed");
          sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
        lite.Exec("COMMIT");
        sqlite3_stmt* count = lite.Prepare("SELECT count(*) FROM t");
        Check(sqlite3_step(count) == SQLITE_ROW, "count failed");
        const auto left = static_cast<std::uint64_t>(sqlite3_column_int64(count, 0));
        sqlite3_finalize(count);
        return left;
      },
      WarmOursOnB, WarmRefOnB);
}

// The first filter after opening the table: ours opens the cursor (which
// builds its list), then checks the saved order of the index on b and
// learns its key prefixes; SQLite opens the database and runs the query.
void BM_FirstFilterAfterOpen(benchmark::State& state) {
  bench::SideBySide run(state);
  for (auto _ : state) {
    Setup setup;
    const std::int32_t key = ExistingKeys(setup.rows, 1)[0];
    const ChildResult o = InChild([&] {
      bench::BuildOurRowTable(setup.scratch.Dir(), setup.rows);
      bench::StartTiming();
      Cursor c(setup.scratch.Dir());
      c.Table().SetFilter("b = " + std::to_string(key));
      c.Table().SetFiltered(true);
      return c.ReadAll();
    });
    const ChildResult r = InChild([&] {
      {
        Lite lite(setup.scratch.File("lite.db"));
        lite.Build(setup.rows);
      }
      bench::StartTiming();
      Lite lite(setup.scratch.File("lite.db"));
      sqlite3_stmt* stmt = lite.Prepare("SELECT a, b, s, f FROM t WHERE b = ?");
      sqlite3_bind_int(stmt, 1, key);
      const std::uint64_t sum = Lite::SumAll(stmt);
      sqlite3_finalize(stmt);
      return sum;
    });
    Report(state, run, o, r);
    state.counters["rows"] = setup.rows;
  }
  run.Finish();
}

BENCHMARK(BM_Walk)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexedFilter)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RangeFilter)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Locate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Delete)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstFilterAfterOpen)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
