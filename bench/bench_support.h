// Helpers shared by the benchmark programs: the work size, and side-by-side
// timing of our code against a reference in the same benchmark.
//
// A side-by-side benchmark times both halves of every iteration, reports our
// time as the benchmark's (manual) time, and adds the counters
//   ours_ms  our mean time per iteration, in milliseconds
//   ref_ms   the reference's mean time per iteration, in milliseconds
//   ratio    ours_ms / ref_ms (below 1: we are faster)
//
//   static void BM_Work(benchmark::State& state) {
//     kivo::bench::SideBySide run(state);
//     for (auto _ : state) {
//       run.Ours([&] { ... });
//       run.Reference([&] { ... });
//     }
//     run.Finish(bytesPerIteration);
//   }
//   BENCHMARK(BM_Work)->UseManualTime()->Unit(benchmark::kMillisecond);
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivo::bench {

// `defaultMiB` mebibytes, or the value of the environment variable
// KARTOVA_BENCH_MIB when it is set to a positive number (CI runs the
// programs at a tiny size, e.g. KARTOVA_BENCH_MIB=1), in bytes.
std::size_t WorkBytes(std::size_t defaultMiB);
// A row count that scales with WorkBytes(defaultMiB): `defaultRows` at the
// default size, never fewer than 16.
std::int32_t ScaledRows(std::size_t defaultMiB, std::int64_t defaultRows);

// `size` bytes of a fixed pseudo-random pattern (the same in every run).
std::vector<std::uint8_t> PatternBytes(std::size_t size, std::uint32_t seed = 1);

// Raises std::runtime_error(what) when `ok` is false: a benchmark that
// computes a wrong result must not report a time.
void Check(bool ok, const std::string& what);

// A fresh directory under $TMPDIR (or /tmp) named <prefix>_XXXXXX, removed
// with everything in it at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

class SideBySide {
 public:
  explicit SideBySide(benchmark::State& state) : state_(state) {}

  // Runs and times our half of one iteration; sets the iteration's time.
  template <typename F>
  void Ours(F&& work) {
    const double s = Time(work);
    ours_seconds_ += s;
    state_.SetIterationTime(s);
  }
  // Runs and times the reference half of one iteration.
  template <typename F>
  void Reference(F&& work) {
    reference_seconds_ += Time(work);
  }
  // Count a half that was timed elsewhere (e.g. in a child process) as if
  // Ours / Reference had run it for `seconds`.
  void AddOurs(double seconds) {
    ours_seconds_ += seconds;
    state_.SetIterationTime(seconds);
  }
  void AddReference(double seconds) { reference_seconds_ += seconds; }
  // Sets the counters; `bytesPerIteration` (when not 0) adds a bytes/s rate.
  void Finish(std::size_t bytesPerIteration = 0);

 private:
  template <typename F>
  static double Time(F& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  benchmark::State& state_;
  double ours_seconds_ = 0;
  double reference_seconds_ = 0;
};

}  // namespace kivo::bench
