// The kartova program against the sqlite3 shell, both run as whole
// processes the way a script calls them, on the same rows (bench_rows.h):
//   BM_ExportTable   kartova db.kvb q.sql -E out.csv (q.sql: SELECT * FROM t)
//                    against sqlite3 -csv lite.db "SELECT * FROM t" > out.csv,
//                    over 1 000 000 rows at the default size
//   BM_InsertScript  kartova db.kvb ins.sql -B, a script of one INSERT per
//                    row (100 000 at the default size) into an empty table,
//                    against sqlite3 lite.db < ins.sql with the settings of
//                    the other comparisons (no journal, no syncs)
//   BM_StartUp       kartova db.kvb empty.sql -B against sqlite3 lite.db .quit;
//                    the median of 10 runs of each (an empty script is a
//                    blank command to our engine: that run ends with 1, its
//                    message to standard error)
// Counters: ours_ms, ref_ms, ratio (bench_support.h), and the peak resident
// memory of each process in MiB (ours_peak_mib, ref_peak_mib; a process
// counts the benchmark's own few MiB, from which it is forked, as a floor).
// Both exports must write the same number of lines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_rows.h"
#include "bench/bench_support.h"
#include "bench/lite_support.h"
#include "bench/row_tables.h"
#include "engine/table_file_store.h"
#include "storage/container/pagy_file_system.h"

namespace kivo {
namespace {

using bench::Check;

struct ProcessRun {
  double seconds = 0;
  double peak_mib = 0;
};

// Runs `args` (args[0] is looked up in PATH) in `dir`, with standard input
// from `input` and standard output to `output` when they are not empty; the
// process must end with `exitCode`.
ProcessRun RunProcess(const std::vector<std::string>& args, const std::string& dir,
                      const std::string& input = "", const std::string& output = "",
                      int exitCode = 0) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  Check(pid >= 0, "fork failed");
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    if (!input.empty()) {
      const int in = open(input.c_str(), O_RDONLY);
      if (in < 0 || dup2(in, 0) < 0) _exit(126);
    }
    if (!output.empty()) {
      const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || dup2(out, 1) < 0) _exit(126);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  Check(wait4(pid, &status, 0, &usage) == pid, "wait4 failed");
  ProcessRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;
  Check(WIFEXITED(status) && WEXITSTATUS(status) == exitCode, args[0] + " failed");
  return run;
}

bool HaveSqliteShell() { return system("sqlite3 -version > /dev/null 2>&1") == 0; }

std::size_t LineCount(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::size_t lines = 0;
  std::string line;
  while (std::getline(in, line)) ++lines;
  return lines;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  Check(static_cast<bool>(out), "cannot write " + path);
}

// Our table t in a new container db.kvb, SQLite's in lite.db. They are made
// in a child process: a process started later counts the memory of the
// process it was forked from in its peak, so this one must stay small.
void MakeTables(const bench::ScratchDir& dir, std::int32_t rows) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  Check(pid >= 0, "fork failed");
  if (pid == 0) {
    try {
      {
        TPagyPlainFileSystem files(dir.File("db.kvb"), "", dfmNormal, false, false, true);
        TPlainTableFileStore store(files, dir.Dir());
        bench::BuildOurRowTable(store, rows);
      }
      bench::LiteDatabase lite(dir.File("lite.db"));
      bench::BuildLiteRowTable(lite, rows, true);
    } catch (const std::exception&) {
      _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  Check(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0,
        "making the tables failed");
}

class Reporter {
 public:
  explicit Reporter(benchmark::State& state) : state_(state), side_(state) {}
  void Add(const ProcessRun& ours, const ProcessRun& reference) {
    side_.AddOurs(ours.seconds);
    side_.AddReference(reference.seconds);
    ours_peak_ = std::max(ours_peak_, ours.peak_mib);
    ref_peak_ = std::max(ref_peak_, reference.peak_mib);
  }
  void Finish() {
    side_.Finish();
    state_.counters["ours_peak_mib"] = ours_peak_;
    state_.counters["ref_peak_mib"] = ref_peak_;
  }

 private:
  benchmark::State& state_;
  bench::SideBySide side_;
  double ours_peak_ = 0;
  double ref_peak_ = 0;
};

void BM_ExportTable(benchmark::State& state) {
  if (!HaveSqliteShell()) return state.SkipWithError("the sqlite3 shell is not installed");
  const std::int32_t rows = bench::RowCount();
  bench::ScratchDir dir("console_export");
  MakeTables(dir, rows);
  WriteText(dir.File("q.sql"), "SELECT * FROM t");
  Reporter report(state);
  for (auto _ : state) {
    const ProcessRun ours =
        RunProcess({KARTOVA_BIN, "db.kvb", "q.sql", "-E", "ours.csv"}, dir.Dir());
    const ProcessRun reference = RunProcess({"sqlite3", "-csv", "lite.db", "SELECT * FROM t"},
                                            dir.Dir(), "", dir.File("ref.csv"));
    Check(LineCount(dir.File("ours.csv")) == static_cast<std::size_t>(rows),
          "our export lost rows");
    Check(LineCount(dir.File("ref.csv")) == static_cast<std::size_t>(rows),
          "the shell's export lost rows");
    report.Add(ours, reference);
  }
  report.Finish();
  state.counters["rows"] = rows;
}
BENCHMARK(BM_ExportTable)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_InsertScript(benchmark::State& state) {
  if (!HaveSqliteShell()) return state.SkipWithError("the sqlite3 shell is not installed");
  const std::int32_t rows = std::max<std::int32_t>(16, bench::RowCount() / 10);
  bench::ScratchDir dir("console_insert");
  {
    std::ofstream out(dir.File("ins.sql"), std::ios::binary);
    for (std::int32_t i = 0; i < rows; ++i) {
      const bench::Row r = bench::MakeRow(i);
      out << "INSERT INTO x VALUES (" << r.a << ", " << r.b << ", '" << r.s << "');\n";
    }
    Check(static_cast<bool>(out), "cannot write the script");
  }
  WriteText(dir.File("make.sql"), "CREATE TABLE x (a INTEGER, b INTEGER, s VARCHAR(20))");
  WriteText(dir.File("count.sql"), "SELECT COUNT(*) FROM x");
  Reporter report(state);
  for (auto _ : state) {
    std::remove(dir.File("db.kvb").c_str());
    std::remove(dir.File("lite.db").c_str());
    RunProcess({KARTOVA_BIN, "db.kvb", "make.sql", "-B"}, dir.Dir());
    RunProcess({"sqlite3", "lite.db", "CREATE TABLE x (a INTEGER, b INTEGER, s TEXT)"}, dir.Dir());
    const ProcessRun ours = RunProcess({KARTOVA_BIN, "db.kvb", "ins.sql", "-B"}, dir.Dir());
    const ProcessRun reference = RunProcess(
        {"sqlite3", "-cmd", "PRAGMA journal_mode=OFF", "-cmd", "PRAGMA synchronous=OFF", "lite.db"},
        dir.Dir(), dir.File("ins.sql"), dir.File("pragma.out"));
    RunProcess({KARTOVA_BIN, "db.kvb", "count.sql", "-E", "count.csv"}, dir.Dir());
    std::ifstream count(dir.File("count.csv"));
    std::int32_t written = 0;
    count >> written;
    Check(written == rows, "our script lost rows");
    report.Add(ours, reference);
  }
  report.Finish();
  state.counters["statements"] = rows;
}
BENCHMARK(BM_InsertScript)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_StartUp(benchmark::State& state) {
  if (!HaveSqliteShell()) return state.SkipWithError("the sqlite3 shell is not installed");
  bench::ScratchDir dir("console_startup");
  MakeTables(dir, 1000);
  WriteText(dir.File("empty.sql"), "");
  constexpr int kRuns = 10;
  Reporter report(state);
  for (auto _ : state) {
    std::vector<ProcessRun> ours, reference;
    for (int i = 0; i < kRuns; ++i) {
      ours.push_back(RunProcess({KARTOVA_BIN, "db.kvb", "empty.sql", "-B", "-O", "blank.txt"},
                                dir.Dir(), "", "", 1));
      reference.push_back(RunProcess({"sqlite3", "lite.db", ".quit"}, dir.Dir()));
    }
    const auto by_time = [](const ProcessRun& a, const ProcessRun& b) {
      return a.seconds < b.seconds;
    };
    std::sort(ours.begin(), ours.end(), by_time);
    std::sort(reference.begin(), reference.end(), by_time);
    report.Add(ours[kRuns / 2], reference[kRuns / 2]);
  }
  report.Finish();
}
BENCHMARK(BM_StartUp)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace kivo
