// Files inside a container against plain disk files doing the same work:
//   BM_FileSequentialWrite   one 256 MiB file written in pieces of 64 KiB or
//                            1 MiB (the argument)
//   BM_FileSequentialRead    the same file read back in such pieces
//   BM_FileSmallFiles        10 000 files of 4 KiB created, written, closed,
//                            then opened, read and closed again
//   BM_FileRandomReads       100 000 reads of 100 bytes at random offsets of
//                            the 256 MiB file (FileSeek + FileRead against pread)
// Containers use the normal geometry (page size 4096, 8 pages per extent),
// unencrypted. Neither side syncs to the device inside the timed part: both
// measure the work down to the operating system's page cache. KARTOVA_BENCH_MIB scales the big file
// (and the number of small files with it).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "storage/container/pagybox.h"

namespace kivo {
namespace {

using bench::Check;

constexpr std::size_t kBigMiB = 256;
constexpr std::size_t kPiece = 64 * 1024;
constexpr std::size_t kBigPiece = 1024 * 1024;
constexpr std::size_t kSmallFile = 4096;
constexpr int kRandomReads = 100000;
constexpr int kRandomReadSize = 100;

std::size_t SmallFileCount() {
  return std::min<std::size_t>(10000, std::max<std::size_t>(16, bench::WorkBytes(40) / kSmallFile));
}

class Scratch : public bench::ScratchDir {
 public:
  Scratch() : ScratchDir("kartova_files") {}
};

// The names of the i-th small file inside the container and on disk (built
// piecewise: the one-expression form trips a false -Wrestrict in GCC 12 at -O2).
std::string InnerName(std::size_t i) {
  std::string name = "f";
  name += std::to_string(i);
  name += ".dat";
  return name;
}
std::string PlainName(const Scratch& scratch, std::size_t i) {
  return scratch.File("plain/" + InnerName(i));
}

std::unique_ptr<TPagybox> NewContainer(const std::string& path) {
  return std::make_unique<TPagybox>(path, kContainerCreate, false, "", "", "", 4096, 8, -1);
}

// Writes `data` to an open container file / a plain file descriptor in pieces.
void WriteBig(TPagybox& box, std::int32_t h, const std::vector<std::uint8_t>& data,
              std::size_t piece = kPiece) {
  for (std::size_t at = 0; at < data.size(); at += piece) {
    const auto n = static_cast<std::int32_t>(std::min(piece, data.size() - at));
    Check(box.FileWrite(h, data.data() + at, n) == n, "FileWrite");
  }
}
void WriteBig(int fd, const std::vector<std::uint8_t>& data, std::size_t piece = kPiece) {
  for (std::size_t at = 0; at < data.size(); at += piece) {
    const std::size_t n = std::min(piece, data.size() - at);
    Check(::write(fd, data.data() + at, n) == static_cast<ssize_t>(n), "write");
  }
}

// The big file in a container and as a plain file, made once for the read
// benchmarks.
struct BigFiles {
  BigFiles() {
    data = bench::PatternBytes(bench::WorkBytes(kBigMiB));
    box = NewContainer(scratch.File("big.kvb"));
    handle = box->FileOpen("big.dat", kContainerCreate);
    Check(handle >= 0, "FileOpen");
    WriteBig(*box, handle, data);
    fd = ::open(scratch.File("big.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    Check(fd >= 0, "open");
    WriteBig(fd, data);
  }
  ~BigFiles() {
    box.reset();
    ::close(fd);
  }
  static BigFiles& Get() {
    static BigFiles files;
    return files;
  }

  Scratch scratch;
  std::vector<std::uint8_t> data;
  std::unique_ptr<TPagybox> box;
  std::int32_t handle = -1;
  int fd = -1;
};

void BM_FileSequentialWrite(benchmark::State& state) {
  const auto piece = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint8_t> data = bench::PatternBytes(bench::WorkBytes(kBigMiB));
  bench::SideBySide timer(state);
  int iteration = 0;
  for (auto _ : state) {
    Scratch scratch;
    std::unique_ptr<TPagybox> box;
    auto ours = [&] {
      box = NewContainer(scratch.File("w.kvb"));
      const std::int32_t h = box->FileOpen("big.dat", kContainerCreate);
      Check(h >= 0, "FileOpen");
      WriteBig(*box, h, data, piece);
      box->FileClose(h);
    };
    auto reference = [&] {
      const int fd = ::open(scratch.File("w.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
      Check(fd >= 0, "open");
      WriteBig(fd, data, piece);
      ::close(fd);
    };
    // The second writer meets the first one's dirty pages being written
    // back; taking turns at going first shares that cost fairly.
    if (iteration++ % 2 == 0) {
      timer.Ours(ours);
      timer.Reference(reference);
    } else {
      timer.Reference(reference);
      timer.Ours(ours);
    }
    // Closing the container flushes it to the device, outside the timing:
    // the plain file is not synced either.
    box.reset();
  }
  timer.Finish(data.size());
}
BENCHMARK(BM_FileSequentialWrite)
    ->Arg(kPiece)
    ->Arg(kBigPiece)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4);

void BM_FileSequentialRead(benchmark::State& state) {
  BigFiles& f = BigFiles::Get();
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> piece(size);
  bench::SideBySide timer(state);
  for (auto _ : state) {
    timer.Ours([&] {
      f.box->FileSeek(f.handle, 0, 0);
      std::size_t total = 0;
      while (const std::int32_t n =
                 f.box->FileRead(f.handle, piece.data(), static_cast<std::int32_t>(size)))
        total += static_cast<std::size_t>(n);
      Check(total == f.data.size(), "FileRead");
    });
    timer.Reference([&] {
      ::lseek(f.fd, 0, SEEK_SET);
      std::size_t total = 0;
      while (const ssize_t n = ::read(f.fd, piece.data(), size)) {
        Check(n > 0, "read");
        total += static_cast<std::size_t>(n);
      }
      Check(total == f.data.size(), "read");
    });
  }
  timer.Finish(f.data.size());
}
BENCHMARK(BM_FileSequentialRead)
    ->Arg(kPiece)
    ->Arg(kBigPiece)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_FileSmallFiles(benchmark::State& state) {
  const std::size_t count = SmallFileCount();
  const std::vector<std::uint8_t> data = bench::PatternBytes(kSmallFile);
  std::vector<std::uint8_t> back(kSmallFile);
  bench::SideBySide timer(state);
  for (auto _ : state) {
    Scratch scratch;
    ::mkdir(scratch.File("plain").c_str(), 0700);
    timer.Ours([&] {
      auto box = NewContainer(scratch.File("small.kvb"));
      for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t h = box->FileOpen(InnerName(i), kContainerCreate);
        Check(h >= 0 && box->FileWrite(h, data.data(), kSmallFile) == kSmallFile, "create");
        box->FileClose(h);
      }
      for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t h = box->FileOpen(InnerName(i), kOpenReadOnly);
        Check(h >= 0 && box->FileRead(h, back.data(), kSmallFile) == kSmallFile, "read back");
        box->FileClose(h);
      }
    });
    timer.Reference([&] {
      for (std::size_t i = 0; i < count; ++i) {
        const std::string name = PlainName(scratch, i);
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        Check(fd >= 0 && ::write(fd, data.data(), kSmallFile) == kSmallFile, "create");
        ::close(fd);
      }
      for (std::size_t i = 0; i < count; ++i) {
        const std::string name = PlainName(scratch, i);
        const int fd = ::open(name.c_str(), O_RDONLY);
        Check(fd >= 0 && ::read(fd, back.data(), kSmallFile) == kSmallFile, "read back");
        ::close(fd);
      }
    });
  }
  timer.Finish(count * kSmallFile * 2);
}
BENCHMARK(BM_FileSmallFiles)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_FileRandomReads(benchmark::State& state) {
  BigFiles& f = BigFiles::Get();
  std::mt19937_64 rng(5);
  std::vector<std::int64_t> offsets(kRandomReads);
  for (std::int64_t& o : offsets)
    o = static_cast<std::int64_t>(rng() % (f.data.size() - kRandomReadSize));
  std::uint8_t buf[kRandomReadSize];
  bench::SideBySide timer(state);
  for (auto _ : state) {
    timer.Ours([&] {
      for (std::int64_t o : offsets) {
        f.box->FileSeek(f.handle, 0, o);
        Check(f.box->FileRead(f.handle, buf, kRandomReadSize) == kRandomReadSize, "FileRead");
      }
    });
    timer.Reference([&] {
      for (std::int64_t o : offsets)
        Check(::pread(f.fd, buf, kRandomReadSize, o) == kRandomReadSize, "pread");
    });
  }
  timer.Finish(static_cast<std::size_t>(kRandomReads) * kRandomReadSize);
}
BENCHMARK(BM_FileRandomReads)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace kivo
