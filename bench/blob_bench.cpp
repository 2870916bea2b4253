// BLOB values of the engine against SQLite storing the same values as blobs:
//   BM_BlobWrite/<store>/<level>  10 000 records of (INTEGER, BLOB) with a
//                       value of 10 KiB each inserted into a new table and
//                       flushed; SQLite: a file database (":memory:" for the
//                       memory store), prepared statements in one transaction,
//                       journal_mode=OFF, synchronous=OFF.
//   BM_BlobRead/<store>/<level>   all values of that table read back in
//                       position order after it was reopened; SQLite: SELECT
//                       of every blob in rowid order.
// Stores: kvb (a .kvb container) and memory. Level 0 stores values as they
// are; level 1 compresses them with zlib (the values are word-like text, so
// both sides store the same bytes but ours stores fewer). Both halves sum
// the bytes they read and the sums must agree.
//
// KARTOVA_BENCH_MIB scales the value count: 100 (the default) is 10 000
// values, 1 is 102.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/lite_support.h"
#include "dataset/field_defs.h"
#include "engine/data_manager.h"
#include "storage/container/pagy_file_system.h"
#include "storage/file_layer.h"

namespace kivo {
namespace {

using bench::Check;

constexpr std::size_t kDefaultMiB = 100;
constexpr std::size_t kValueBytes = 10 * 1024;

std::int32_t ValueCount() {
  return static_cast<std::int32_t>(
      std::max<std::size_t>(16, bench::WorkBytes(kDefaultMiB) / kValueBytes));
}

class Scratch : public bench::ScratchDir {
 public:
  Scratch() : ScratchDir("kartova_blob") {}
};

// Value i: 10 KiB of word-like text, different for every i.
std::vector<std::uint8_t> Value(std::int32_t i) {
  static const char* const words[] = {"blob ",  "table ", "record ", "value ", "kivo ",
                                      "block ", "part ",  "free ",   "list ",  "map\n"};
  std::vector<std::uint8_t> v;
  v.reserve(kValueBytes + 8);
  std::uint32_t x = static_cast<std::uint32_t>(i) * 2654435761u + 1;
  while (v.size() < kValueBytes) {
    x = x * 1664525u + 1013904223u;
    const char* w = words[(x >> 16) % 10];
    v.insert(v.end(), w, w + std::strlen(w));
    if ((x >> 8) % 5 == 0) v.push_back(static_cast<std::uint8_t>('0' + (x >> 20) % 10));
  }
  v.resize(kValueBytes);
  return v;
}

std::uint64_t SumOf(const std::uint8_t* p, std::size_t n) {
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s += p[i] * (i % 7 + 1);
  return s;
}

using PlainStore = TPlainTableFileStore;

enum class Where { kContainer, kMemory };

// Our database: kept open across the write and the read of one benchmark
// (a memory store would lose its files otherwise); tables are opened and
// closed inside the timed parts.
class OurDatabase {
 public:
  OurDatabase(Where where, const Scratch& scratch) {
    if (where == Where::kContainer)
      fs_ = std::make_unique<TPagyPlainFileSystem>(scratch.File("db.kvb"), "", dfmNormal, false,
                                                   false, true);
    else
      fs_ = std::make_unique<TMemoryPlainFileSystem>(scratch.Dir() + "#mem");
    store_ = std::make_unique<PlainStore>(*fs_, scratch.Dir());
  }

  void Write(std::int32_t count, std::uint8_t level,
             const std::vector<std::vector<std::uint8_t>>& values) {
    {
      TDataManagerHold maker(krGetDataManager("t", store_.get()));
      maker->SetBLOBCompression(level);
      TFieldDefs fields;
      fields.Add("a", ftInteger);
      fields.Add("v", ftBlob);
      maker->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    TDataManagerHold m(Open());
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(m->RecordSize()) + 8);
    TMemoryStream stream;
    for (std::int32_t i = 0; i < count; ++i) {
      std::memset(buf.data(), 0, buf.size());
      std::memcpy(buf.data() + m->FieldOffset(0), &i, 4);
      SetRecordId(m->Layout(), buf.data(), static_cast<std::uint32_t>(i) + 1);
      m->DisableAutoFlush();
      m->InsertRecord(buf.data(), 0);
      const auto& v = values[static_cast<std::size_t>(i)];
      stream.Clear();
      stream.Write(v.data(), static_cast<std::int32_t>(v.size()));
      m->WriteBLOBValue(&stream, 1, i);
      m->EnableAutoFlush(true);
    }
    m->CloseTable();
  }

  std::uint64_t ReadAll() {
    TDataManagerHold m(Open());
    TMemoryStream stream;
    std::uint64_t sum = 0;
    for (std::int32_t i = 0; i < m->RecordCount(); ++i) {
      m->ReadBLOBValue(&stream, 1, i);
      sum += SumOf(stream.Bytes().data(), stream.Bytes().size());
    }
    m->CloseTable();
    return sum;
  }

 private:
  TKivoDataManager* Open() {
    TKivoDataManager* m = krGetDataManager("t", store_.get());
    Check(m->OpenTable() == kOpenOk, "cannot open table t");
    return m;
  }
  std::unique_ptr<TAbstractPlainFileSystem> fs_;
  std::unique_ptr<PlainStore> store_;
};

class Lite : public bench::LiteDatabase {
 public:
  using LiteDatabase::LiteDatabase;
  void Write(std::int32_t count, const std::vector<std::vector<std::uint8_t>>& values) {
    Exec("CREATE TABLE t(a INTEGER, v BLOB)");
    Exec("BEGIN");
    sqlite3_stmt* stmt = Prepare("INSERT INTO t(a, v) VALUES (?, ?)");
    for (std::int32_t i = 0; i < count; ++i) {
      const auto& v = values[static_cast<std::size_t>(i)];
      sqlite3_bind_int(stmt, 1, i);
      sqlite3_bind_blob(stmt, 2, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
      Check(sqlite3_step(stmt) == SQLITE_DONE, "insert failed");
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    Exec("COMMIT");
  }
  std::uint64_t ReadAll() {
    sqlite3_stmt* stmt = Prepare("SELECT v FROM t ORDER BY rowid");
    std::uint64_t sum = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 0));
      sum += SumOf(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    return sum;
  }
};

// One benchmark times the writes (`read` false) or the reads of both halves.
void Run(benchmark::State& state, Where where, bool read) {
  const std::int32_t count = ValueCount();
  const auto level = static_cast<std::uint8_t>(state.range(0));
  std::vector<std::vector<std::uint8_t>> values;
  for (std::int32_t i = 0; i < count; ++i) values.push_back(Value(i));
  bench::SideBySide run(state);
  for (auto _ : state) {
    Scratch scratch;
    OurDatabase ours(where, scratch);
    const std::string liteName = where == Where::kContainer ? scratch.File("lite.db") : ":memory:";
    auto lite = std::make_unique<Lite>(liteName);
    std::uint64_t ourSum = 0, liteSum = 0;
    if (!read) {
      run.Ours([&] { ours.Write(count, level, values); });
      run.Reference([&] { lite->Write(count, values); });
      ourSum = ours.ReadAll();
      liteSum = lite->ReadAll();
    } else {
      ours.Write(count, level, values);
      lite->Write(count, values);
      if (where == Where::kContainer) lite = std::make_unique<Lite>(liteName);
      run.Ours([&] { ourSum = ours.ReadAll(); });
      run.Reference([&] { liteSum = lite->ReadAll(); });
    }
    if (ourSum != liteSum) state.SkipWithError("the two halves read different values");
  }
  state.counters["values"] = count;
  run.Finish(static_cast<std::size_t>(count) * kValueBytes);
}

void BM_BlobWrite(benchmark::State& state, Where where) { Run(state, where, false); }
void BM_BlobRead(benchmark::State& state, Where where) { Run(state, where, true); }

BENCHMARK_CAPTURE(BM_BlobWrite, kvb, Where::kContainer)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlobRead, kvb, Where::kContainer)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlobWrite, memory, Where::kMemory)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BlobRead, memory, Where::kMemory)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
