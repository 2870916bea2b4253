// The master-detail link against SQLite doing the same work, one run each:
// a master table m(k INTEGER) of 10 000 rows and a detail table
// d(mk INTEGER indexed, v INTEGER) of 1 000 000 rows, about 100 detail rows
// per master row, spread over the detail table; directory database; SQLite:
// a file database with an index on mk, journal off.
//   BM_MasterMoves  the master cursor moves through its first 2 000 records;
//                   after each move the linked detail cursor (MasterSource,
//                   MasterFields "k", current index on mk) is walked and its
//                   v values added up. SQLite: SELECT v FROM d WHERE mk = ?
//                   for the same keys, every row stepped.
//
// Each half builds its tables in a forked child, then times only the work
// (bench::StartTiming); ours_peak_mib and ref_peak_mib are the peak memory
// growth during the timed part. Both halves add up what they read (row
// count and v) and the sums must agree.
//
// KARTOVA_BENCH_MIB scales the row counts: 64 (the default) is 1 000 000
// detail rows.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/child_process.h"
#include "bench/lite_support.h"
#include "components/kivo_table.h"
#include "dataset/data_link.h"
#include "engine/data_manager.h"
#include "engine/record_image.h"
#include "engine/table_file_store.h"

namespace kivo {
namespace {

using bench::Check;
using bench::ChildResult;
using bench::InChild;

struct Sizes {
  std::int32_t details = bench::ScaledRows(64, 1000000);
  std::int32_t masters = std::max<std::int32_t>(details / 100, 1);
  std::int32_t moves = std::min<std::int32_t>(2000, masters);
};

// Detail row i belongs to a master spread over the table, so that one
// master's rows are not neighbours in the detail table.
std::int32_t MasterOf(std::int32_t i, std::int32_t masters) {
  return static_cast<std::int32_t>((static_cast<std::int64_t>(i) * 7919) % masters);
}
std::int32_t ValueOf(std::int32_t i) { return i % 1000; }

// What both halves add up for every detail row they read.
std::uint64_t RowSum(std::int64_t v) { return static_cast<std::uint64_t>(v) + (1ull << 32); }

// ---- Our side: both tables built through the table manager.

void BuildOurTable(const std::string& dir, const char* name, const char* keyName,
                   const char* valueName, std::int32_t rows, const char* indexName,
                   const std::function<void(std::int32_t, std::int32_t&, std::int32_t&)>& row) {
  TDirectoryTableFileStore store(dir);
  TDataManagerHold m(krGetDataManager(name, &store));
  TFieldDefs fields;
  fields.Add(keyName, ftInteger);
  if (valueName) fields.Add(valueName, ftInteger);
  m->CreateTable(fields, TIndexDefs(), false, 1000);
  Check(m->OpenTable() == kOpenOk, "open failed");
  m->AddIndex(indexName, keyName, 0, "", "", false);
  const TkrRecordLayout& l = m->Layout();
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize));
  for (std::int32_t i = 0; i < rows; ++i) {
    std::int32_t key = 0;
    std::int32_t value = 0;
    row(i, key, value);
    std::memset(buf.data(), 0, buf.size());
    std::memcpy(buf.data() + m->FieldOffset(0), &key, 4);
    if (valueName) std::memcpy(buf.data() + m->FieldOffset(1), &value, 4);
    SetRecordId(l, buf.data(), static_cast<std::uint32_t>(i) + 1);
    m->InsertRecord(buf.data(), 0);
  }
  m->CloseTable();
}

void BuildOurTables(const std::string& dir, const Sizes& s) {
  BuildOurTable(dir, "m", "k", nullptr, s.masters, "byK",
                [](std::int32_t i, std::int32_t& k, std::int32_t&) { k = i; });
  BuildOurTable(dir, "d", "mk", "v", s.details, "byMaster",
                [&](std::int32_t i, std::int32_t& k, std::int32_t& v) {
                  k = MasterOf(i, s.masters);
                  v = ValueOf(i);
                });
}

class Linked {
 public:
  explicit Linked(const std::string& dir) : source_(&master_) {
    master_.SetDatabaseName(dir);
    master_.SetTableName("m");
    master_.SetIndexName("byK");
    master_.Open();
    detail_.SetDatabaseName(dir);
    detail_.SetTableName("d");
    detail_.SetIndexName("byMaster");
    detail_.Open();
    detail_.SetMasterFields("k");
    detail_.SetMasterSource(&source_);
    v_ = &detail_.FieldByName("v");
  }
  ~Linked() { detail_.SetMasterSource(nullptr); }

  std::uint64_t Moves(std::int32_t moves) {
    std::uint64_t sum = 0;
    master_.First();
    for (std::int32_t i = 0; i < moves; ++i) {
      if (i > 0) master_.Next();
      for (detail_.First(); !detail_.Eof(); detail_.Next()) sum += RowSum(v_->AsInteger());
    }
    return sum;
  }

 private:
  TKivoTable master_;
  TKivoTable detail_;
  TDataSource source_;
  TField* v_;
};

// ---- SQLite's side.

void BuildLiteTables(bench::LiteDatabase& lite, const Sizes& s) {
  lite.Exec("CREATE TABLE m(k INTEGER)");
  lite.Exec("CREATE INDEX byK ON m(k)");
  lite.Exec("CREATE TABLE d(mk INTEGER, v INTEGER)");
  lite.Exec("CREATE INDEX byMaster ON d(mk)");
  lite.Exec("BEGIN");
  sqlite3_stmt* stmt = lite.Prepare("INSERT INTO m(k) VALUES (?)");
  for (std::int32_t i = 0; i < s.masters; ++i) {
    sqlite3_bind_int(stmt, 1, i);
    Check(sqlite3_step(stmt) == SQLITE_DONE, "insert failed");
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  stmt = lite.Prepare("INSERT INTO d(mk, v) VALUES (?, ?)");
  for (std::int32_t i = 0; i < s.details; ++i) {
    sqlite3_bind_int(stmt, 1, MasterOf(i, s.masters));
    sqlite3_bind_int(stmt, 2, ValueOf(i));
    Check(sqlite3_step(stmt) == SQLITE_DONE, "insert failed");
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  lite.Exec("COMMIT");
}

std::uint64_t LiteMoves(bench::LiteDatabase& lite, std::int32_t moves) {
  std::uint64_t sum = 0;
  sqlite3_stmt* stmt = lite.Prepare("SELECT v FROM d WHERE mk = ?");
  for (std::int32_t k = 0; k < moves; ++k) {
    sqlite3_bind_int(stmt, 1, k);
    while (sqlite3_step(stmt) == SQLITE_ROW) sum += RowSum(sqlite3_column_int(stmt, 0));
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  return sum;
}

void BM_MasterMoves(benchmark::State& state) {
  bench::SideBySide run(state);
  for (auto _ : state) {
    bench::ScratchDir scratch("kartova_master_detail");
    const Sizes sizes;
    const ChildResult ours = InChild([&] {
      BuildOurTables(scratch.Dir(), sizes);
      Linked linked(scratch.Dir());
      bench::StartTiming();
      return linked.Moves(sizes.moves);
    });
    const ChildResult ref = InChild([&] {
      bench::LiteDatabase lite(scratch.File("lite.db"));
      BuildLiteTables(lite, sizes);
      // The first query reads the schema and the index's root pages.
      LiteMoves(lite, 1);
      bench::StartTiming();
      return LiteMoves(lite, sizes.moves);
    });
    run.AddOurs(ours.seconds);
    run.AddReference(ref.seconds);
    state.counters["ours_peak_mib"] = ours.peak_mib;
    state.counters["ref_peak_mib"] = ref.peak_mib;
    state.counters["rows"] = sizes.details;
    if (ours.sum != ref.sum) state.SkipWithError("the two halves read different values");
  }
  run.Finish();
}

BENCHMARK(BM_MasterMoves)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
