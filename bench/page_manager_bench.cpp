// Page I/O through the container's page manager, against the bare work it
// adds to: unencrypted pages against pwrite/pread of the same page images at
// the same file offsets of a plain file; encrypted pages against the bare
// cipher over the same data bytes, and against that cipher plus the plain
// pwrite/pread. Work: 64 MiB of pages per iteration (KARTOVA_BENCH_MIB
// overrides), page size range(0), pages per call range(1): 1 goes through
// WritePage/ReadPage, more through WritePages/ReadPages (and the plain
// reference then moves the same run with one pwrite/pread).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "storage/container/page_manager.h"
#include "storage/crypto/cipher.h"

namespace kivo {
namespace {

using bench::Check;

constexpr std::size_t kDefaultMiB = 64;

// A scratch directory for the two files, removed at the end.
class Scratch : public bench::ScratchDir {
 public:
  Scratch() : ScratchDir("kartova_pages") {}
  std::string Container() const { return File("bench.kvb"); }
  std::string Plain() const { return File("plain.bin"); }
};

// Everything one benchmark needs: a container grown to `pages` pages, a
// plain file of the same size, and the page images to write.
struct Setup {
  Setup(std::int32_t pageSize, const std::string& password) {
    pageCount = static_cast<std::int32_t>(bench::WorkBytes(kDefaultMiB) /
                                          static_cast<std::size_t>(pageSize));
    this->pageSize = pageSize;
    dataSize = pageSize - 32;
    pm = std::make_unique<TPageFileManager>(scratch.Container(), kContainerCreate, password, "", "",
                                            false, pageSize, 8, -1);
    if (!pm->ExtendFile(pageCount)) throw std::runtime_error("ExtendFile failed");
    fd = ::open(scratch.Plain().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::ftruncate(fd, PlainOffset(pageCount + 1)) != 0)
      throw std::runtime_error("plain file");
    data = bench::PatternBytes(static_cast<std::size_t>(pageCount) *
                               static_cast<std::size_t>(dataSize));
  }
  ~Setup() { ::close(fd); }

  const std::uint8_t* PageData(std::int32_t i) const {
    return data.data() + static_cast<std::size_t>(i) * static_cast<std::size_t>(dataSize);
  }
  // The plain file holds the page images where the container file holds
  // them: after the 280-byte part header.
  off_t PlainOffset(std::int32_t pageNo) const {
    return kPartHeaderSize + static_cast<off_t>(pageNo) * pageSize;
  }

  Scratch scratch;
  std::int32_t pageSize = 0, dataSize = 0, pageCount = 0;
  std::unique_ptr<TPageFileManager> pm;
  int fd = -1;
  std::vector<std::uint8_t> data;
};

// `run` page records with buffers of their own.
struct PageRun {
  PageRun(std::int32_t run, std::int32_t dataSize, std::uint8_t encryption)
      : size(static_cast<std::size_t>(dataSize)),
        buffer(size * static_cast<std::size_t>(run)),
        recs(static_cast<std::size_t>(run)) {
    for (std::size_t i = 0; i < recs.size(); ++i) {
      recs[i].Data = buffer.data() + i * size;
      recs[i].PageType = ptFileData;
      recs[i].EncryptionType = encryption;
    }
  }
  // Fills the records with the data of pages first .. first + n - 1.
  void Fill(const Setup& s, std::int32_t first, std::int32_t n) {
    std::memcpy(buffer.data(), s.PageData(first), size * static_cast<std::size_t>(n));
  }
  // Writes pages first .. first + n - 1 (page numbers first + 1 ...).
  void Write(Setup& s, std::int32_t first, std::int32_t n) {
    Fill(s, first, n);
    Check(
        n == 1 ? s.pm->WritePage(recs[0], first + 1) : s.pm->WritePages(recs.data(), n, first + 1),
        "WritePage");
  }
  void Read(Setup& s, std::int32_t first, std::int32_t n) {
    Check(n == 1 ? s.pm->ReadPage(recs[0], first + 1) : s.pm->ReadPages(recs.data(), n, first + 1),
          "ReadPage");
  }
  std::size_t size;
  std::vector<std::uint8_t> buffer;
  std::vector<TPageRec> recs;
};

// The plain page images of a run, written or read with one call.
struct PlainRun {
  PlainRun(std::int32_t run, std::int32_t pageSize)
      : pageSize(static_cast<std::size_t>(pageSize)),
        images(this->pageSize * static_cast<std::size_t>(run)) {}
  std::uint8_t* Data(std::int32_t j) {
    return images.data() + pageSize * static_cast<std::size_t>(j) + 32;
  }
  void Fill(const Setup& s, std::int32_t first, std::int32_t n) {
    for (std::int32_t j = 0; j < n; ++j) std::memcpy(Data(j), s.PageData(first + j), pageSize - 32);
  }
  void Write(const Setup& s, std::int32_t first, std::int32_t n) {
    const auto bytes = static_cast<ssize_t>(pageSize * static_cast<std::size_t>(n));
    Check(::pwrite(s.fd, images.data(), static_cast<std::size_t>(bytes),
                   s.PlainOffset(first + 1)) == bytes,
          "pwrite");
  }
  void Read(const Setup& s, std::int32_t first, std::int32_t n) {
    const auto bytes = static_cast<ssize_t>(pageSize * static_cast<std::size_t>(n));
    Check(::pread(s.fd, images.data(), static_cast<std::size_t>(bytes), s.PlainOffset(first + 1)) ==
              bytes,
          "pread");
  }
  std::size_t pageSize;
  std::vector<std::uint8_t> images;
};

// Calls work(first, n) for the runs that cover all pages.
template <typename F>
void ForRuns(const Setup& s, std::int32_t run, F&& work) {
  for (std::int32_t first = 0; first < s.pageCount; first += run)
    work(first, std::min(run, s.pageCount - first));
}

void BM_PageWrite(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "");
  const auto run = static_cast<std::int32_t>(state.range(1));
  PageRun ours(run, s.dataSize, kEncryptionNone);
  PlainRun plain(run, s.pageSize);
  bench::SideBySide timer(state);
  for (auto _ : state) {
    timer.Ours([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) { ours.Write(s, first, n); });
    });
    timer.Reference([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) {
        plain.Fill(s, first, n);
        plain.Write(s, first, n);
      });
    });
  }
  timer.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
BENCHMARK(BM_PageWrite)
    ->ArgsProduct({{4096, 8192}, {1, 16}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Writes every page once through both halves, for the read benchmarks.
void WriteBothSides(Setup& s, std::int32_t run, PageRun& ours, PlainRun& plain) {
  ForRuns(s, run, [&](std::int32_t first, std::int32_t n) {
    ours.Write(s, first, n);
    plain.Fill(s, first, n);
    plain.Write(s, first, n);
  });
}

void BM_PageRead(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "");
  const auto run = static_cast<std::int32_t>(state.range(1));
  PageRun ours(run, s.dataSize, kEncryptionNone);
  PlainRun plain(run, s.pageSize);
  WriteBothSides(s, run, ours, plain);
  bench::SideBySide timer(state);
  for (auto _ : state) {
    timer.Ours([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) { ours.Read(s, first, n); });
    });
    timer.Reference([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) { plain.Read(s, first, n); });
    });
    benchmark::DoNotOptimize(ours.buffer.data());
    benchmark::DoNotOptimize(plain.images.data());
  }
  timer.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
BENCHMARK(BM_PageRead)
    ->ArgsProduct({{4096, 8192}, {1, 16}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Third argument: 0 = the bare cipher as reference, 1 = the cipher and pwrite.
void BM_EncryptedPageWrite(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "bench password");
  const auto run = static_cast<std::int32_t>(state.range(1));
  const bool withIO = state.range(2) != 0;
  const TCipher_Rijndael cipher(s.pm->Key());
  PageRun ours(run, s.dataSize, kEncryptionRijndael);
  PlainRun plain(run, s.pageSize);
  bench::SideBySide timer(state);
  for (auto _ : state) {
    timer.Ours([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) { ours.Write(s, first, n); });
    });
    timer.Reference([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) {
        for (std::int32_t j = 0; j < n; ++j)
          cipher.EncodeBuffer(s.PageData(first + j), plain.Data(j),
                              static_cast<std::size_t>(s.dataSize));
        if (withIO) plain.Write(s, first, n);
      });
    });
    benchmark::DoNotOptimize(plain.images.data());
  }
  timer.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
BENCHMARK(BM_EncryptedPageWrite)
    ->ArgsProduct({{4096, 8192}, {1, 16}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Third argument: 0 = the bare cipher as reference, 1 = pread and the cipher.
void BM_EncryptedPageRead(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "bench password");
  const auto run = static_cast<std::int32_t>(state.range(1));
  const bool withIO = state.range(2) != 0;
  const TCipher_Rijndael cipher(s.pm->Key());
  PageRun ours(run, s.dataSize, kEncryptionRijndael);
  PlainRun plain(run, s.pageSize);
  WriteBothSides(s, run, ours, plain);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(s.dataSize));
  bench::SideBySide timer(state);
  for (auto _ : state) {
    timer.Ours([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) { ours.Read(s, first, n); });
    });
    timer.Reference([&] {
      ForRuns(s, run, [&](std::int32_t first, std::int32_t n) {
        if (withIO) plain.Read(s, first, n);
        for (std::int32_t j = 0; j < n; ++j)
          cipher.DecodeBuffer(withIO ? plain.Data(j) : s.PageData(first + j), out.data(),
                              static_cast<std::size_t>(s.dataSize));
      });
    });
    benchmark::DoNotOptimize(ours.buffer.data());
    benchmark::DoNotOptimize(out.data());
  }
  timer.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
BENCHMARK(BM_EncryptedPageRead)
    ->ArgsProduct({{4096, 8192}, {1, 16}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
