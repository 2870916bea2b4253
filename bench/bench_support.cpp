// Side-by-side timing and work sizes for the benchmark programs.
#include "bench/bench_support.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>

namespace kivo::bench {

std::size_t WorkBytes(std::size_t defaultMiB) {
  std::size_t mib = defaultMiB;
  if (const char* env = std::getenv("KARTOVA_BENCH_MIB")) {
    const long long v = std::atoll(env);
    if (v > 0) mib = static_cast<std::size_t>(v);
  }
  return mib << 20;
}

std::int32_t ScaledRows(std::size_t defaultMiB, std::int64_t defaultRows) {
  const auto bytes = static_cast<std::int64_t>(WorkBytes(defaultMiB));
  const auto defaultBytes = static_cast<std::int64_t>(defaultMiB << 20);
  return static_cast<std::int32_t>(std::max<std::int64_t>(16, bytes * defaultRows / defaultBytes));
}

std::vector<std::uint8_t> PatternBytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::mt19937 rng(seed);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

ScratchDir::ScratchDir(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "_XXXXXX";
  Check(mkdtemp(templ.data()) != nullptr, "mkdtemp failed");
  dir_ = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code error;
  std::filesystem::remove_all(dir_, error);
  if (error)
    std::fprintf(stderr, "could not remove %s: %s\n", dir_.c_str(), error.message().c_str());
}

void SideBySide::Finish(std::size_t bytesPerIteration) {
  const double n = static_cast<double>(state_.iterations());
  if (n == 0) return;
  state_.counters["ours_ms"] = ours_seconds_ * 1e3 / n;
  state_.counters["ref_ms"] = reference_seconds_ * 1e3 / n;
  state_.counters["ratio"] = reference_seconds_ > 0 ? ours_seconds_ / reference_seconds_ : 0;
  if (bytesPerIteration != 0)
    state_.SetBytesProcessed(static_cast<std::int64_t>(bytesPerIteration) * state_.iterations());
}

}  // namespace kivo::bench
