// Compression ratio and speed of the three levels, beside gzip -1 (level 1)
// and xz -6 (levels 2 and 3) run on the same bytes through the shell.
//
// Two inputs: a text corpus gathered at run time from the text files under
// /usr/share/common-licenses and /usr/share/doc (gzip-compressed ones
// unpacked through zlib), topped up with generated words when the machine
// has too little text; and random bytes. Both are 10 MiB unless
// KARTOVA_BENCH_MIB says otherwise.
//
// Counters besides the side-by-side ones (ours_ms, ref_ms and ratio are wall
// times, the tool's including its start):
//   packed      our compressed size / input size
//   ref_packed  the reference tool's compressed size / input size
//   cpu_MBps    our speed in MB/s of input, by the CPU time of our thread
//   ref_MBps    the reference tool's speed likewise, by its process CPU time
// CPU-time speeds hold up on a busy machine, where wall times do not. Each
// benchmark runs one iteration: level 3 codes 10 MiB in seconds.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "storage/compress/compress.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

bool LooksLikeText(const Bytes& b) {
  if (b.empty()) return false;
  std::size_t printable = 0;
  for (std::uint8_t c : b) {
    if (c == 0) return false;
    printable += (c >= 32 || c == '\n' || c == '\t' || c == '\r');
  }
  return printable * 100 >= b.size() * 97;
}

Bytes ReadFile(const fs::path& path) {
  Bytes out;
  if (path.extension() == ".gz") {
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return out;
    std::uint8_t buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    gzclose(f);
    return out;
  }
  std::ifstream in(path, std::ios::binary);
  out.assign(std::istreambuf_iterator<char>(in), {});
  return out;
}

Bytes TextCorpus(std::size_t size) {
  Bytes corpus;
  for (const char* root : {"/usr/share/common-licenses", "/usr/share/doc"}) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && it->file_size(ec) < (4u << 20)) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& p : files) {
      if (corpus.size() >= size) break;
      const Bytes b = ReadFile(p);
      if (LooksLikeText(b)) corpus.insert(corpus.end(), b.begin(), b.end());
    }
  }
  static const char* const kWords[] = {"the",  "of",    "and",   "software", "license", "copyright",
                                       "file", "table", "value", "program",  "\n"};
  std::mt19937 rng(7);
  while (corpus.size() < size) {
    const char* w = kWords[rng() % std::size(kWords)];
    corpus.insert(corpus.end(), w, w + std::char_traits<char>::length(w));
    corpus.push_back(' ');
  }
  corpus.resize(size);
  return corpus;
}

// The inputs, written once to a scratch directory for the shell tools.
struct Inputs {
  fs::path dir;
  Bytes text, random;
  Inputs() {
    const std::size_t size = bench::WorkBytes(10);
    text = TextCorpus(size);
    random = bench::PatternBytes(size, 99);
    dir = fs::temp_directory_path() / ("kartova_compress_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);
    Write(dir / "text", text);
    Write(dir / "random", random);
    benchmark::AddCustomContext("text_corpus_bytes", std::to_string(text.size()));
  }
  ~Inputs() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static void Write(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
};

Inputs& TheInputs() {
  static Inputs inputs;
  return inputs;
}

struct Seconds {
  double wall = -1, cpu = -1;  // -1: the command failed
};

double ChildrenCpu() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs a shell command; its wall time and the CPU time of its processes.
Seconds Shell(const std::string& command) {
  const double cpu0 = ChildrenCpu();
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) return {};
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          ChildrenCpu() - cpu0};
}

// The reference tool of a level: gzip -1 beside zlib, xz -6 beside PPMd.
std::string Tool(TCompressionLevel level) { return level == clFastest ? "gzip -1" : "xz -6"; }
std::string Unpack(TCompressionLevel level) { return level == clFastest ? "gzip -dc" : "xz -dc"; }

void Run(benchmark::State& state, bool decompress) {
  Inputs& in = TheInputs();
  const bool text = state.range(0) == 0;
  const auto level = static_cast<TCompressionLevel>(state.range(1));
  const Bytes& data = text ? in.text : in.random;
  const fs::path source = in.dir / (text ? "text" : "random");
  const fs::path packedRef = in.dir / "ref.out";
  // Built piecewise: the one-expression form trips a false -Wrestrict in
  // GCC 12 at -O2.
  std::string quotedSource = "'";
  quotedSource += source.string();
  quotedSource += "'";
  std::string quotedRef = "'";
  quotedRef += packedRef.string();
  quotedRef += "'";
  state.SetLabel(std::string(text ? "text" : "random") + " level " + std::to_string(int(level)) +
                 " vs " + Tool(level));

  Bytes packed, unpacked;
  std::uint32_t packedSize = 0;
  if (!krCompressBuffer(data.data(), static_cast<std::uint32_t>(data.size()), packed, level,
                        packedSize)) {
    state.SkipWithError("compression failed");
    return;
  }
  Seconds ref = Shell(Tool(level) + " -c " + quotedSource + " > " + quotedRef);
  if (decompress && ref.wall >= 0) ref = Shell(Unpack(level) + " " + quotedRef + " > /dev/null");

  bench::SideBySide run(state);
  double cpu = 0;
  for (auto _ : state) {
    const double cpu0 = ThreadCpu();
    if (decompress) {
      run.Ours([&] {
        std::uint32_t size = static_cast<std::uint32_t>(data.size());
        if (!krDecompressBuffer(packed.data(), packedSize, unpacked, level, size) ||
            unpacked != data)
          state.SkipWithError("decompression failed");
      });
    } else {
      run.Ours([&] {
        krCompressBuffer(data.data(), static_cast<std::uint32_t>(data.size()), packed, level,
                         packedSize);
      });
    }
    cpu += ThreadCpu() - cpu0;
    run.AddReference(std::max(ref.wall, 0.0));
  }
  run.Finish(data.size());
  const double mb = static_cast<double>(data.size()) / 1e6;
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  std::error_code ec;
  const auto refSize = fs::file_size(packedRef, ec);
  state.counters["packed"] = static_cast<double>(packedSize) / static_cast<double>(data.size());
  state.counters["ref_packed"] =
      ec || ref.wall < 0 ? 0 : static_cast<double>(refSize) / static_cast<double>(data.size());
  state.counters["cpu_MBps"] = cpu > 0 ? mb * n / cpu : 0;
  state.counters["ref_MBps"] = ref.cpu > 0 ? mb / ref.cpu : 0;
}

void BM_Compress(benchmark::State& state) { Run(state, false); }
void BM_Decompress(benchmark::State& state) { Run(state, true); }

// Arguments: input (0 text, 1 random), level.
void Inputs3(benchmark::internal::Benchmark* b) {
  for (int input : {0, 1}) {
    for (int level : {1, 2, 3}) b->Args({input, level});
  }
}
BENCHMARK(BM_Compress)
    ->Apply(Inputs3)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress)
    ->Apply(Inputs3)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
