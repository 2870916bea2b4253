// Indexes of the engine against SQLite indexes doing the same work:
//   BM_InsertTwoIndexes   1 000 000 rows of random keys (an INTEGER and a
//                         20-character STRING) inserted into a new table
//                         with a secondary index on each, then closed (our
//                         indexes saved to T.idx); SQLite: a file database,
//                         CREATE INDEX on both columns first, prepared
//                         inserts in one transaction, journal_mode=OFF,
//                         synchronous=OFF.
//   BM_KeyLookups         100 000 exact look-ups of random existing integer
//                         keys in that table (our FindKey, then the record;
//                         SQLite: SELECT through the index), after a reopen.
//   BM_BuildIndex         an index on the string column built over 1 000 000
//                         existing rows (our AddIndex; SQLite: CREATE INDEX).
// Our tables are directory databases with a records-per-page hint that keeps
// the whole table in the page cache (SQLite's page cache is left at its
// default). The string keys are compared with the locale's collation on our
// side and byte-wise on SQLite's. Both halves check what they found.
//
// KARTOVA_BENCH_MIB scales the row count: 64 (the default) is 1 000 000
// rows, 1 is 15 625.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/lite_support.h"
#include "dataset/field_defs.h"
#include "engine/data_manager.h"
#include "storage/file_layer.h"

namespace kivo {
namespace {

using bench::Check;

constexpr std::size_t kDefaultMiB = 64;
constexpr std::int64_t kDefaultRows = 1000000;
constexpr int kStringLength = 20;
constexpr std::int32_t kLookups = 100000;
// The page cache keeps 50 pages of hint / 3 records in whole-table mode:
// enough for 3 000 000 records.
constexpr std::int32_t kRecordsPerPage = 180000;

std::int32_t RowCount() { return bench::ScaledRows(kDefaultMiB, kDefaultRows); }

class Scratch : public bench::ScratchDir {
 public:
  Scratch() : ScratchDir("kartova_index") {
    Check(mkdir(File("dir").c_str(), 0700) == 0, "mkdir failed");
  }
};

// Row i's keys: a pseudo-random integer and 20 pseudo-random letters.
struct Keys {
  std::vector<std::int32_t> a;
  std::vector<std::string> s;
};

Keys MakeKeys(std::int32_t rows) {
  Keys k;
  std::mt19937 rng(12345);
  k.a.resize(static_cast<std::size_t>(rows));
  k.s.resize(static_cast<std::size_t>(rows));
  for (std::int32_t i = 0; i < rows; ++i) {
    k.a[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(rng() & 0x7FFFFFFF);
    std::string& s = k.s[static_cast<std::size_t>(i)];
    s.resize(kStringLength);
    for (char& c : s) c = static_cast<char>('a' + rng() % 26);
  }
  return k;
}

using DirStore = TDirectoryTableFileStore;

class OurTable {
 public:
  OurTable(const std::string& dir, bool create, bool indexes) : store_(dir) {
    if (create) {
      TDataManagerHold maker(krGetDataManager("t", &store_));
      TFieldDefs fields;
      fields.Add("a", ftInteger);
      fields.Add("s", ftString, kStringLength);
      TIndexDefs defs;
      if (indexes) {
        defs.Add("ia", "a");
        defs.Add("is", "s");
      }
      maker->CreateTable(fields, defs, false, kRecordsPerPage);
    }
    m_ = krGetDataManager("t", &store_);
    m_->SetRecordsPerPageHint(kRecordsPerPage);
    Check(m_->OpenTable() == kOpenOk, "cannot open table t");
  }
  ~OurTable() {
    TDataManagerHold m(m_);
    m->CloseTable();
  }
  TKivoDataManager& operator*() { return *m_; }
  TKivoDataManager* operator->() { return m_; }

  std::vector<std::uint8_t> Buffer(std::int32_t a, const std::string& s, std::uint32_t id) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(m_->RecordSize()), 0);
    std::memcpy(buf.data() + m_->FieldOffset(0), &a, 4);
    std::memcpy(buf.data() + m_->FieldOffset(1), s.data(), s.size());
    SetRecordId(m_->Layout(), buf.data(), id);
    return buf;
  }
  void Insert(const Keys& keys) {
    for (std::size_t i = 0; i < keys.a.size(); ++i) {
      const std::vector<std::uint8_t> buf =
          Buffer(keys.a[i], keys.s[i], static_cast<std::uint32_t>(i) + 1);
      m_->InsertRecord(buf.data(), 0);
    }
    m_->FlushBuffers();
  }

 private:
  DirStore store_;
  TKivoDataManager* m_ = nullptr;
};

class Lite : public bench::LiteDatabase {
 public:
  using LiteDatabase::LiteDatabase;
  void Insert(const Keys& keys) {
    Exec("BEGIN");
    sqlite3_stmt* stmt = Prepare("INSERT INTO t(a, s) VALUES (?, ?)");
    for (std::size_t i = 0; i < keys.a.size(); ++i) {
      sqlite3_bind_int(stmt, 1, keys.a[i]);
      sqlite3_bind_text(stmt, 2, keys.s[i].data(), kStringLength, SQLITE_STATIC);
      Check(sqlite3_step(stmt) == SQLITE_DONE, "insert failed");
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    Exec("COMMIT");
  }
};

void BM_InsertTwoIndexes(benchmark::State& state) {
  const Keys keys = MakeKeys(RowCount());
  bench::SideBySide run(state);
  for (auto _ : state) {
    Scratch scratch;
    run.Ours([&] {
      OurTable t(scratch.File("dir"), true, true);
      t.Insert(keys);
    });
    run.Reference([&] {
      Lite lite(scratch.File("lite.db"));
      lite.Exec("CREATE TABLE t(a INTEGER, s TEXT)");
      lite.Exec("CREATE INDEX ia ON t(a)");
      lite.Exec("CREATE INDEX iss ON t(s)");
      lite.Insert(keys);
    });
  }
  state.counters["rows"] = static_cast<double>(keys.a.size());
  run.Finish();
}
BENCHMARK(BM_InsertTwoIndexes)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_KeyLookups(benchmark::State& state) {
  const Keys keys = MakeKeys(RowCount());
  std::vector<std::int32_t> wanted(kLookups);
  std::mt19937 rng(99);
  for (auto& w : wanted) w = keys.a[rng() % keys.a.size()];
  bench::SideBySide run(state);
  for (auto _ : state) {
    Scratch scratch;
    {
      OurTable t(scratch.File("dir"), true, true);
      t.Insert(keys);
    }
    {
      Lite lite(scratch.File("lite.db"));
      lite.Exec("CREATE TABLE t(a INTEGER, s TEXT)");
      lite.Exec("CREATE INDEX ia ON t(a)");
      lite.Exec("CREATE INDEX iss ON t(s)");
      lite.Insert(keys);
    }
    std::int64_t oursFound = 0;
    std::int64_t refFound = 0;
    run.Ours([&] {
      OurTable t(scratch.File("dir"), false, true);
      for (std::int32_t a : wanted) {
        const std::vector<std::uint8_t> key = t.Buffer(a, "", 0);
        const std::int32_t at = t->FindKey(key.data(), 1, true, false, 1);
        if (at < 0) continue;
        const std::uint8_t* record = t->GetRecordPtr(t->IndexEntry(1, at));
        std::int32_t found;
        std::memcpy(&found, record + t->FieldOffset(0), 4);
        if (found == a) ++oursFound;
      }
    });
    run.Reference([&] {
      Lite lite(scratch.File("lite.db"));
      sqlite3_stmt* stmt = lite.Prepare("SELECT a, s FROM t WHERE a = ? LIMIT 1");
      for (std::int32_t a : wanted) {
        sqlite3_bind_int(stmt, 1, a);
        if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) == a) ++refFound;
        sqlite3_reset(stmt);
      }
      sqlite3_finalize(stmt);
    });
    if (oursFound != kLookups || refFound != kLookups) state.SkipWithError("a key was not found");
  }
  state.counters["lookups"] = kLookups;
  run.Finish();
}
BENCHMARK(BM_KeyLookups)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_BuildIndex(benchmark::State& state) {
  const Keys keys = MakeKeys(RowCount());
  bench::SideBySide run(state);
  for (auto _ : state) {
    Scratch scratch;
    {
      OurTable t(scratch.File("dir"), true, false);
      t.Insert(keys);
    }
    {
      Lite lite(scratch.File("lite.db"));
      lite.Exec("CREATE TABLE t(a INTEGER, s TEXT)");
      lite.Insert(keys);
    }
    OurTable t(scratch.File("dir"), false, false);
    run.Ours([&] { t->AddIndex("is", "s", 0, "", "", false); });
    Lite lite(scratch.File("lite.db"));
    run.Reference([&] { lite.Exec("CREATE INDEX iss ON t(s)"); });
  }
  state.counters["rows"] = static_cast<double>(keys.a.size());
  run.Finish();
}
BENCHMARK(BM_BuildIndex)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
