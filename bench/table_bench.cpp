// Tables of the engine against SQLite doing the same work, one run each:
//   BM_InsertAndRead/kvb     1 000 000 rows of (INTEGER, INTEGER, STRING(20),
//                            FLOAT) inserted into a new table of a .kvb
//                            database, flushed, then all read back by position;
//                            SQLite: a file database, prepared statements in
//                            one transaction, journal_mode=OFF,
//                            synchronous=OFF, then SELECT of every row.
//   BM_InsertAndRead/memory  the same in an in-memory database; SQLite ":memory:".
//   BM_RandomFetch/kvb       1 000 000 records fetched by random position
//                            (GetRecordPtr) from a table of 1 000 000 rows just
//                            reopened in a .kvb database; SQLite: the same
//                            rows of a file database fetched by rowid.
//   BM_RandomFetch/directory the same from a directory database.
//
// Each half runs in a child process forked for it, so that both start from
// the same state and memory can be told apart: the child resets its peak
// resident size (writing 5 to /proc/self/clear_refs), times the work itself
// and reports the time and its peak growth, VmHWM at the end minus VmRSS at
// the start. The counters ours_peak_mib and ref_peak_mib are that growth. Both
// halves open and close their database inside the timed part; neither syncs
// to the device (the engine's flush goes to the operating system's page cache
// like SQLite's writes with synchronous=OFF). Both halves sum the values they
// read and the sums must agree.
//
// KARTOVA_BENCH_MIB scales the row count: 64 (the default) is 1 000 000 rows,
// 1 is 15 625.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "bench/row_tables.h"
#include "dataset/field_defs.h"
#include "engine/data_manager.h"
#include "storage/container/pagy_file_system.h"
#include "storage/file_layer.h"

namespace kivo {
namespace {

using bench::Check;
using bench::ChildResult;
using bench::InChild;
using bench::MakeRow;
using bench::Row;
using bench::RowCount;

constexpr int kStringLength = bench::kRowStringLength;

class Scratch : public bench::ScratchDir {
 public:
  Scratch() : ScratchDir("kartova_table") {}
};

// ---- Our side ----

using PlainStore = TPlainTableFileStore;

enum class Where { kContainer, kMemory, kDirectory };

std::unique_ptr<TAbstractPlainFileSystem> OpenFileSystem(Where where, const Scratch& scratch,
                                                         bool create) {
  switch (where) {
    case Where::kContainer:
      return std::make_unique<TPagyPlainFileSystem>(scratch.File("db.kvb"), "", dfmNormal, false,
                                                    false, create);
    case Where::kMemory:
      return std::make_unique<TMemoryPlainFileSystem>(scratch.Dir() + "#mem");
    case Where::kDirectory:
      break;
  }
  return std::make_unique<TDiskPlainFileSystem>(scratch.File("dir"));
}

// An open table "t" of the benchmark's fields in a database.
class OurTable {
 public:
  OurTable(Where where, const Scratch& scratch, bool create)
      : fs_(OpenFileSystem(where, scratch, create)), store_(*fs_, scratch.Dir()) {
    if (create) {
      TDataManagerHold maker(krGetDataManager("t", &store_));
      TFieldDefs fields;
      fields.Add("a", ftInteger);
      fields.Add("b", ftInteger);
      fields.Add("s", ftString, kStringLength);
      fields.Add("f", ftFloat);
      maker->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    m_ = krGetDataManager("t", &store_);
    Check(m_->OpenTable() == kOpenOk, "cannot open table t");
  }
  ~OurTable() {
    TDataManagerHold m(m_);
    m->CloseTable();
  }

  void Insert(std::int32_t count) {
    const TkrRecordLayout& l = m_->Layout();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize));
    for (std::int32_t i = 0; i < count; ++i) {
      const Row r = MakeRow(i);
      std::memset(buf.data(), 0, buf.size());
      std::memcpy(buf.data() + m_->FieldOffset(0), &r.a, 4);
      std::memcpy(buf.data() + m_->FieldOffset(1), &r.b, 4);
      std::memcpy(buf.data() + m_->FieldOffset(2), r.s, kStringLength + 1);
      std::memcpy(buf.data() + m_->FieldOffset(3), &r.f, 8);
      SetRecordId(l, buf.data(), static_cast<std::uint32_t>(i) + 1);
      m_->InsertRecord(buf.data(), 0);
    }
    m_->FlushBuffers();
  }

  std::uint64_t SumAt(std::int32_t pos) {
    const std::uint8_t* p = m_->GetRecordPtr(pos);
    std::int32_t a;
    std::int32_t b;
    double f;
    std::memcpy(&a, p + m_->FieldOffset(0), 4);
    std::memcpy(&b, p + m_->FieldOffset(1), 4);
    std::memcpy(&f, p + m_->FieldOffset(3), 8);
    return bench::RowSum(a, b, static_cast<char>(p[m_->FieldOffset(2) + kStringLength - 1]), f);
  }

  std::int32_t Count() const { return m_->RecordCount(); }

 private:
  std::unique_ptr<TAbstractPlainFileSystem> fs_;
  PlainStore store_;
  TKivoDataManager* m_ = nullptr;
};

// ---- SQLite's side ----

class Lite : public bench::LiteDatabase {
 public:
  using LiteDatabase::LiteDatabase;

  void Insert(std::int32_t count) { bench::BuildLiteRowTable(*this, count, false); }

  std::uint64_t ReadAll() {
    sqlite3_stmt* stmt = Prepare("SELECT a, b, s, f FROM t");
    std::uint64_t sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) sum += SumOfRow(stmt);
    sqlite3_finalize(stmt);
    return sum;
  }

  std::uint64_t Fetch(const std::vector<std::int32_t>& positions) {
    sqlite3_stmt* stmt = Prepare("SELECT a, b, s, f FROM t WHERE rowid = ?");
    std::uint64_t sum = 0;
    for (std::int32_t pos : positions) {
      sqlite3_bind_int64(stmt, 1, std::int64_t{pos} + 1);
      Check(sqlite3_step(stmt) == SQLITE_ROW, "row missing");
      sum += SumOfRow(stmt);
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    return sum;
  }

 private:
  static std::uint64_t SumOfRow(sqlite3_stmt* stmt) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
    return bench::RowSum(sqlite3_column_int(stmt, 0), sqlite3_column_int(stmt, 1),
                         text[kStringLength - 1], sqlite3_column_double(stmt, 3));
  }
};

// ---- Benchmarks ----

void Report(benchmark::State& state, bench::SideBySide& run, const ChildResult& ours,
            const ChildResult& ref) {
  run.AddOurs(ours.seconds);
  run.AddReference(ref.seconds);
  state.counters["ours_peak_mib"] = ours.peak_mib;
  state.counters["ref_peak_mib"] = ref.peak_mib;
  if (ours.sum != ref.sum) state.SkipWithError("the two halves read different values");
}

void BM_InsertAndRead(benchmark::State& state, Where where) {
  const std::int32_t rows = RowCount();
  bench::SideBySide run(state);
  for (auto _ : state) {
    Scratch scratch;
    const ChildResult ours = InChild([&] {
      OurTable table(where, scratch, /*create=*/true);
      table.Insert(rows);
      std::uint64_t sum = 0;
      for (std::int32_t i = 0; i < table.Count(); ++i) sum += table.SumAt(i);
      return sum;
    });
    const ChildResult ref = InChild([&] {
      Lite lite(where == Where::kContainer ? scratch.File("lite.db") : ":memory:");
      lite.Insert(rows);
      return lite.ReadAll();
    });
    Report(state, run, ours, ref);
  }
  state.counters["rows"] = rows;
  run.Finish();
}
BENCHMARK_CAPTURE(BM_InsertAndRead, kvb, Where::kContainer)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InsertAndRead, memory, Where::kMemory)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_RandomFetch(benchmark::State& state, Where where) {
  const std::int32_t rows = RowCount();
  std::vector<std::int32_t> positions(static_cast<std::size_t>(rows));
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::int32_t> pick(0, rows - 1);
  for (auto& p : positions) p = pick(rng);
  bench::SideBySide run(state);
  for (auto _ : state) {
    Scratch scratch;
    Check(mkdir(scratch.File("dir").c_str(), 0700) == 0, "mkdir failed");
    InChild([&] {
      OurTable table(where, scratch, /*create=*/true);
      table.Insert(rows);
      return std::uint64_t{0};
    });
    InChild([&] {
      Lite lite(scratch.File("lite.db"));
      lite.Insert(rows);
      return std::uint64_t{0};
    });
    const ChildResult ours = InChild([&] {
      OurTable table(where, scratch, /*create=*/false);
      std::uint64_t sum = 0;
      for (std::int32_t pos : positions) sum += table.SumAt(pos);
      return sum;
    });
    const ChildResult ref = InChild([&] {
      Lite lite(scratch.File("lite.db"));
      return lite.Fetch(positions);
    });
    Report(state, run, ours, ref);
  }
  state.counters["rows"] = rows;
  run.Finish();
}
BENCHMARK_CAPTURE(BM_RandomFetch, kvb, Where::kContainer)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RandomFetch, directory, Where::kDirectory)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
