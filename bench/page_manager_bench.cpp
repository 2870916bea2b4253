// Page I/O through the container's page manager, against the bare work it
// adds to: unencrypted pages against pwrite/pread of the same page images at
// the same file offsets of a plain file; encrypted pages against the bare
// cipher over the same data bytes, and against that cipher plus the plain
// pwrite/pread. Work: 64 MiB of pages per iteration (KARTOVA_BENCH_MIB
// overrides), page size range(0).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

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

constexpr std::size_t kDefaultMiB = 64;

// A scratch directory for the two files, removed at the end.
class Scratch {
 public:
  Scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kartova_pages_XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = templ;
  }
  ~Scratch() {
    ::unlink(Container().c_str());
    ::unlink(Plain().c_str());
    ::rmdir(dir_.c_str());
  }
  std::string Container() const { return dir_ + "/bench.kvb"; }
  std::string Plain() const { return dir_ + "/plain.bin"; }

 private:
  std::string dir_;
};

// Everything one benchmark needs: a container grown to `pages` pages, a
// plain file of the same size, and the page images to write.
struct Setup {
  Setup(std::int32_t pageSize, const std::string& password) {
    pageCount = static_cast<std::int32_t>(bench::WorkBytes(kDefaultMiB) / static_cast<std::size_t>(pageSize));
    this->pageSize = pageSize;
    dataSize = pageSize - 32;
    pm = std::make_unique<TPageFileManager>(scratch.Container(), kContainerCreate, password, "",
                                            "", false, pageSize, 8, -1);
    if (!pm->ExtendFile(pageCount)) throw std::runtime_error("ExtendFile failed");
    fd = ::open(scratch.Plain().c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::ftruncate(fd, PlainOffset(pageCount + 1)) != 0)
      throw std::runtime_error("plain file");
    data = bench::PatternBytes(static_cast<std::size_t>(pageCount) * static_cast<std::size_t>(dataSize));
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

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

void BM_PageWrite(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "");
  TPageRecBuffer page(s.dataSize);
  page.rec.PageType = ptFileData;
  std::vector<std::uint8_t> image(static_cast<std::size_t>(s.pageSize));
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i) {
        std::memcpy(page.data(), s.PageData(i), static_cast<std::size_t>(s.dataSize));
        Check(s.pm->WritePage(page.rec, i + 1), "WritePage");
      }
    });
    run.Reference([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i) {
        std::memcpy(image.data() + 32, s.PageData(i), static_cast<std::size_t>(s.dataSize));
        Check(::pwrite(s.fd, image.data(), image.size(), s.PlainOffset(i + 1)) ==
                  static_cast<ssize_t>(image.size()),
              "pwrite");
      }
    });
  }
  run.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
BENCHMARK(BM_PageWrite)->Arg(4096)->Arg(8192)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_PageRead(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "");
  TPageRecBuffer page(s.dataSize);
  std::vector<std::uint8_t> image(static_cast<std::size_t>(s.pageSize));
  for (std::int32_t i = 0; i < s.pageCount; ++i) {
    std::memcpy(page.data(), s.PageData(i), static_cast<std::size_t>(s.dataSize));
    Check(s.pm->WritePage(page.rec, i + 1), "WritePage");
    std::memcpy(image.data() + 32, s.PageData(i), static_cast<std::size_t>(s.dataSize));
    Check(::pwrite(s.fd, image.data(), image.size(), s.PlainOffset(i + 1)) > 0, "pwrite");
  }
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i) Check(s.pm->ReadPage(page.rec, i + 1), "ReadPage");
    });
    run.Reference([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i)
        Check(::pread(s.fd, image.data(), image.size(), s.PlainOffset(i + 1)) ==
                  static_cast<ssize_t>(image.size()),
              "pread");
    });
    benchmark::DoNotOptimize(page.data());
    benchmark::DoNotOptimize(image.data());
  }
  run.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
BENCHMARK(BM_PageRead)->Arg(4096)->Arg(8192)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_EncryptedPageWrite(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "bench password");
  const TCipher_Rijndael cipher(s.pm->Key());
  TPageRecBuffer page(s.dataSize);
  page.rec.PageType = ptFileData;
  page.rec.EncryptionType = kEncryptionRijndael;
  const bool withIO = state.range(1) != 0;
  std::vector<std::uint8_t> image(static_cast<std::size_t>(s.pageSize));
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i) {
        std::memcpy(page.data(), s.PageData(i), static_cast<std::size_t>(s.dataSize));
        Check(s.pm->WritePage(page.rec, i + 1), "WritePage");
      }
    });
    run.Reference([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i) {
        cipher.EncodeBuffer(s.PageData(i), image.data() + 32, static_cast<std::size_t>(s.dataSize));
        if (withIO)
          Check(::pwrite(s.fd, image.data(), image.size(), s.PlainOffset(i + 1)) ==
                    static_cast<ssize_t>(image.size()),
                "pwrite");
      }
    });
    benchmark::DoNotOptimize(image.data());
  }
  run.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
// Second argument: 0 = the bare cipher, 1 = the cipher and pwrite.
BENCHMARK(BM_EncryptedPageWrite)
    ->ArgsProduct({{4096, 8192}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_EncryptedPageRead(benchmark::State& state) {
  Setup s(static_cast<std::int32_t>(state.range(0)), "bench password");
  const TCipher_Rijndael cipher(s.pm->Key());
  TPageRecBuffer page(s.dataSize);
  page.rec.EncryptionType = kEncryptionRijndael;
  for (std::int32_t i = 0; i < s.pageCount; ++i) {
    std::memcpy(page.data(), s.PageData(i), static_cast<std::size_t>(s.dataSize));
    Check(s.pm->WritePage(page.rec, i + 1), "WritePage");
  }
  const bool withIO = state.range(1) != 0;
  std::vector<std::uint8_t> image(static_cast<std::size_t>(s.pageSize));
  std::vector<std::uint8_t> out(static_cast<std::size_t>(s.dataSize));
  bench::SideBySide run(state);
  for (auto _ : state) {
    run.Ours([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i) Check(s.pm->ReadPage(page.rec, i + 1), "ReadPage");
    });
    run.Reference([&] {
      for (std::int32_t i = 0; i < s.pageCount; ++i) {
        const std::uint8_t* source = s.PageData(i);
        if (withIO) {
          Check(::pread(s.fd, image.data(), image.size(), s.PlainOffset(i + 1)) ==
                    static_cast<ssize_t>(image.size()),
                "pread");
          source = image.data() + 32;
        }
        cipher.DecodeBuffer(source, out.data(), static_cast<std::size_t>(s.dataSize));
      }
    });
    benchmark::DoNotOptimize(page.data());
    benchmark::DoNotOptimize(out.data());
  }
  run.Finish(static_cast<std::size_t>(s.pageCount) * static_cast<std::size_t>(s.pageSize));
}
// Second argument: 0 = the bare cipher, 1 = pread and the cipher.
BENCHMARK(BM_EncryptedPageRead)
    ->ArgsProduct({{4096, 8192}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kivo
