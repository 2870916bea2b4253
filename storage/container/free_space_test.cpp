#include "storage/container/free_space.h"
#include "platform/little_endian.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

constexpr std::size_t kPart = 280;

std::uint32_t Get32(const std::string& s, std::size_t at) {
  return TByteReader(s.data(), s.size(), at).Read<std::uint32_t>();
}

// An open container with its free-space manager, reopened on request.
class Container {
 public:
  Container(std::string path, std::int32_t pageSize, std::int32_t extentPages)
      : path_(std::move(path)) {
    pm_ = std::make_unique<TPageFileManager>(path_, kContainerCreate, "", "", "", false, pageSize,
                                             extentPages, -1);
    fsm_ = std::make_unique<TFreeSpaceManager>(*pm_);
  }
  void Reopen() {
    fsm_.reset();
    pm_.reset();
    pm_ = std::make_unique<TPageFileManager>(path_, kOpenReadWrite, "", "", "", false, 4096, 8, -1);
    fsm_ = std::make_unique<TFreeSpaceManager>(*pm_);
  }
  // `near` defaults to a page beyond every extent: no near extent.
  std::vector<std::int32_t> Get(std::int32_t count, bool uniform, std::int32_t near = 2147483647) {
    std::vector<std::int32_t> pages;
    EXPECT_TRUE(fsm_->GetPages(count, near, pages, uniform));
    fsm_->CheckInvariants();
    return pages;
  }
  void Free(std::vector<std::int32_t> pages) {
    fsm_->FreePages(pages);
    fsm_->CheckInvariants();
  }
  std::string Bytes() const { return ReadFileBytes(path_); }

  TPageFileManager& pm() { return *pm_; }
  TFreeSpaceManager& fsm() { return *fsm_; }

 private:
  std::string path_;
  std::unique_ptr<TPageFileManager> pm_;
  std::unique_ptr<TFreeSpaceManager> fsm_;
};

TEST(FreeSpaceGeometryTest, DerivedValuesForTheFileModes) {
  TempDir dir;
  Container normal(dir.file("n.kvb"), 4096, 8);
  EXPECT_EQ(normal.fsm().PFSBytesPerPage(), 4064);
  EXPECT_EQ(normal.fsm().ExtentsPerPFSPage(), 4064);
  EXPECT_EQ(normal.fsm().GAMBytesPerPage(), 4064);
  EXPECT_EQ(normal.fsm().ExtentsPerGAMPage(), 32512);
  Container compact(dir.file("c.kvb"), 544, 2);
  EXPECT_EQ(compact.fsm().PFSBytesPerPage(), 512);
  EXPECT_EQ(compact.fsm().ExtentsPerPFSPage(), 2048);
  EXPECT_EQ(compact.fsm().ExtentsPerGAMPage(), 4096);
  Container large(dir.file("l.kvb"), 8192, 16);
  EXPECT_EQ(large.fsm().ExtentsPerPFSPage(), 4080);
  EXPECT_EQ(large.fsm().ExtentsPerGAMPage(), 65280);
  EXPECT_EQ(large.fsm().ExtentCount(), 0);
}

TEST(FreeSpaceAllocTest, FirstMixedAllocationCreatesTheBitmapExtent) {
  TempDir dir;
  Container c(dir.file("a.kvb"), 4096, 8);
  EXPECT_EQ(c.Get(1, false), std::vector<std::int32_t>{4});
  EXPECT_EQ(c.pm().PageCount(), 9);
  EXPECT_EQ(c.fsm().ExtentCount(), 1);
  EXPECT_EQ(c.fsm().PFSPageNumbers(), std::vector<std::int32_t>{1});
  EXPECT_EQ(c.fsm().GAMPageNumbers(), std::vector<std::int32_t>{2});
  EXPECT_FALSE(c.fsm().GAMBit(0));
  EXPECT_TRUE(c.fsm().SGAMBit(0));
  EXPECT_EQ(c.fsm().MixedExtentCount(), 1);

  // The bitmap pages on disk, from the layout: pages 1-4 used, the rest free.
  const std::string b = c.Bytes();
  ASSERT_EQ(b.size(), kPart + 9 * 4096u);
  EXPECT_EQ(Get32(b, kPart + 28), 1u);  // GAMPageCount
  EXPECT_EQ(Get32(b, kPart + 32), 1u);  // PFSPageCount
  EXPECT_EQ(Get32(b, kPart + 48), 9u);  // PageCount
  const std::size_t pfs = kPart + 4096, gam = kPart + 2 * 4096, sgam = kPart + 3 * 4096;
  EXPECT_EQ(static_cast<std::uint8_t>(b[pfs + 8]), ptPFS);
  EXPECT_EQ(static_cast<std::uint8_t>(b[gam + 8]), ptGAM);
  EXPECT_EQ(static_cast<std::uint8_t>(b[sgam + 8]), ptSGAM);
  EXPECT_EQ(static_cast<std::uint8_t>(b[pfs + 32]), 0xF0);
  EXPECT_EQ(static_cast<std::uint8_t>(b[pfs + 33]), 0xFF);
  EXPECT_EQ(static_cast<std::uint8_t>(b[gam + 32]), 0xFE);
  EXPECT_EQ(static_cast<std::uint8_t>(b[sgam + 32]), 0x01);
  EXPECT_EQ(static_cast<std::uint8_t>(b[sgam + 33]), 0x00);
  // XOR checksum over the 4064 used bytes: the first word is 0xFFFFFFF0 and
  // the other 1015 words 0xFFFFFFFF leave one of them.
  EXPECT_EQ(Get32(b, pfs + 4), 0x0000000Fu);

  // Mixed allocations continue in the mixed extent.
  EXPECT_EQ(c.Get(4, false), (std::vector<std::int32_t>{5, 6, 7, 8}));
  EXPECT_FALSE(c.fsm().SGAMBit(0));
  EXPECT_EQ(c.fsm().MixedExtentCount(), 0);
  EXPECT_EQ(c.Get(1, false), std::vector<std::int32_t>{9});
  EXPECT_EQ(c.pm().PageCount(), 17);
}

TEST(FreeSpaceAllocTest, UniformAllocationSkipsTheMixedExtent) {
  TempDir dir;
  Container c(dir.file("u.kvb"), 4096, 8);
  EXPECT_EQ(c.Get(1, true), std::vector<std::int32_t>{9});
  EXPECT_EQ(c.pm().PageCount(), 17);
  EXPECT_TRUE(c.fsm().SGAMBit(0));
  EXPECT_FALSE(c.fsm().GAMBit(1));
  EXPECT_FALSE(c.fsm().SGAMBit(1));
  // The near extent is searched whatever its bits say.
  EXPECT_EQ(c.Get(2, true, 9), (std::vector<std::int32_t>{10, 11}));
  EXPECT_EQ(c.Get(1, true, 3), std::vector<std::int32_t>{4});
}

TEST(FreeSpaceAllocTest, CompactSystemPagesSpillIntoTheSecondExtent) {
  TempDir dir;
  Container c(dir.file("e2.kvb"), 544, 2);
  EXPECT_EQ(c.Get(1, false), std::vector<std::int32_t>{4});
  EXPECT_EQ(c.fsm().ExtentCount(), 2);
  EXPECT_EQ(c.pm().PageCount(), 5);
  EXPECT_FALSE(c.fsm().GAMBit(0));
  EXPECT_FALSE(c.fsm().SGAMBit(0));
  EXPECT_FALSE(c.fsm().SGAMBit(1));  // its one free page was just taken
  EXPECT_EQ(c.Get(3, false), (std::vector<std::int32_t>{5, 6, 7}));
}

TEST(FreeSpaceAllocTest, ZeroPagesWritesNothing) {
  TempDir dir;
  Container c(dir.file("z.kvb"), 544, 2);
  c.Get(2, false);
  const std::string before = c.Bytes();
  EXPECT_TRUE(c.Get(0, false).empty());
  EXPECT_TRUE(c.Get(-5, true).empty());
  EXPECT_EQ(c.Bytes(), before);
}

TEST(FreeSpaceAllocTest, AllocationSurvivesReopen) {
  TempDir dir;
  Container c(dir.file("r.kvb"), 544, 8);
  const auto first = c.Get(20, true);
  c.Get(3, false);
  c.Reopen();
  c.fsm().CheckInvariants();
  for (std::int32_t p : first) EXPECT_FALSE(c.fsm().PageIsFree(p)) << p;
  const auto next = c.Get(5, true);
  for (std::int32_t p : next)
    for (std::int32_t q : first) EXPECT_NE(p, q);
}

TEST(FreeSpaceReleaseTest, FreedExtentBecomesFreeAgain) {
  TempDir dir;
  Container c(dir.file("f.kvb"), 4096, 8);
  const auto a = c.Get(8, true);  // extent 1, pages 9-16
  const auto b = c.Get(8, true);  // extent 2, pages 17-24
  ASSERT_EQ(a.front(), 9);
  ASSERT_EQ(b.front(), 17);
  EXPECT_EQ(c.fsm().FreeExtentCount(), 0);
  c.Free(a);
  EXPECT_TRUE(c.fsm().GAMBit(1));
  EXPECT_EQ(c.fsm().FreeExtentCount(), 1);
  // A partly freed extent keeps its bits; its pages come back by the near rule.
  c.Free({18, 19});
  EXPECT_FALSE(c.fsm().GAMBit(2));
  EXPECT_EQ(c.fsm().FreeExtentCount(), 1);
  EXPECT_EQ(c.Get(8, true), a);
  EXPECT_EQ(c.Get(2, false, 17), (std::vector<std::int32_t>{18, 19}));
  c.Reopen();
  EXPECT_FALSE(c.fsm().GAMBit(1));
  EXPECT_FALSE(c.fsm().PageIsFree(18));
}

TEST(FreeSpaceReleaseTest, FreeingTheTopShortensTheFileButNotPageCount) {
  TempDir dir;
  Container c(dir.file("t.kvb"), 544, 2);
  const auto pages = c.Get(10, false);  // pages 4..13
  ASSERT_EQ(pages.back(), 13);
  ASSERT_EQ(c.pm().PageCount(), 15);
  c.Free({13, 12, 7});
  EXPECT_EQ(c.Bytes().size(), kPart + 12 * 544u);  // pages 0..11 remain
  EXPECT_EQ(c.pm().PageCount(), 15);
  // Pages past the new end are free and can be written again.
  const auto again = c.Get(3, false, 12);
  EXPECT_EQ(again, (std::vector<std::int32_t>{12, 13, 14}));
  TPageRecBuffer page(512);
  EXPECT_TRUE(c.pm().WritePage(page.rec, 13));
  c.Reopen();
  EXPECT_EQ(c.pm().PageCount(), 15);
}

TEST(FreeSpaceReleaseTest, OutOfRangeAndBitmapPagesAreIgnored) {
  TempDir dir;
  Container c(dir.file("o.kvb"), 544, 2);
  c.Get(4, false);
  const std::string before = c.Bytes();
  c.Free({c.pm().PageCount(), c.pm().PageCount() + 100, 2147483647});
  EXPECT_EQ(c.Bytes(), before);
  // The header page, negative numbers and the PFS/GAM/SGAM pages.
  c.Free({0, -1, -2147483647 - 1, 1, 2, 3});
  EXPECT_EQ(c.Bytes(), before);
  EXPECT_FALSE(c.fsm().PageIsFree(1));
  EXPECT_TRUE(c.fsm().IsBitmapPage(3));
  EXPECT_FALSE(c.fsm().IsBitmapPage(4));
}

// A container that outgrows its first PFS page. At page size 544 and eight
// pages per extent one PFS page covers 512 extents (4096 pages, about
// 2.2 MB); the second PFS page lands in extent 512, whose GAM and SGAM bits
// live on the first GAM page. Those bits must reach that page on disk.
TEST(FreeSpaceGrowthTest, NewPFSPageMarksItsExtentUsedOnDisk) {
  TempDir dir;
  Container c(dir.file("big.kvb"), 544, 8);
  ASSERT_EQ(c.fsm().ExtentsPerPFSPage(), 512);
  const auto bulk = c.Get(4096 - 3, false);  // every page of extents 0..511
  ASSERT_EQ(bulk.back(), 4096);
  EXPECT_EQ(c.fsm().FreeExtentCount(), 0);
  EXPECT_EQ(c.fsm().MixedExtentCount(), 0);

  EXPECT_EQ(c.Get(1, false), std::vector<std::int32_t>{4098});
  EXPECT_EQ(c.fsm().PFSPageNumbers(), (std::vector<std::int32_t>{1, 4097}));
  EXPECT_EQ(c.fsm().GAMPageNumbers(), std::vector<std::int32_t>{2});
  EXPECT_GT(c.Bytes().size(), 2200000u);

  c.Reopen();
  EXPECT_FALSE(c.fsm().GAMBit(512));
  EXPECT_TRUE(c.fsm().SGAMBit(512));
  EXPECT_EQ(c.fsm().FreeExtentCount(), 0);
  EXPECT_EQ(c.fsm().MixedExtentCount(), 1);
  EXPECT_FALSE(c.fsm().PageIsFree(4097));
  EXPECT_FALSE(c.fsm().PageIsFree(4098));
  // So a uniform request cannot land on the PFS page's extent.
  EXPECT_EQ(c.Get(1, true), std::vector<std::int32_t>{4105});
  EXPECT_EQ(c.Get(1, false), std::vector<std::int32_t>{4099});
}

// When the file cannot grow, GetPages answers false and the header counts
// stay those of the pages that exist, so a later header save (the directory
// saves it on every change) leaves a container that still opens.
TEST(FreeSpaceGrowthTest, FailedGrowthLeavesAnOpenableContainer) {
  TempDir dir;
  const std::string path = dir.file("full.kvb");
  Container c(path, 544, 8);
  c.Get(4096 - 3, false);
  const std::string before = c.Bytes();

  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore {
  }, oldAction{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &oldAction), 0);
  struct rlimit limited = old;
  limited.rlim_cur = before.size();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::vector<std::int32_t> pages;
  const bool got = c.fsm().GetPages(1, 0, pages, false);
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &oldAction, nullptr);

  EXPECT_FALSE(got);
  EXPECT_EQ(c.pm().Header().PFSPageCount(), 1);
  EXPECT_EQ(c.fsm().ExtentCount(), 512);
  c.fsm().CheckInvariants();
  c.pm().SaveHeader();
  c.Reopen();
  c.fsm().CheckInvariants();
  EXPECT_EQ(c.fsm().ExtentCount(), 512);
  // With room again the same request succeeds.
  EXPECT_EQ(c.Get(1, false), std::vector<std::int32_t>{4098});
}

TEST(FreeSpaceOpenTest, TooFewBitmapPagesForTheExtents) {
  TempDir dir;
  const std::string path = dir.file("few.kvb");
  {
    Container c(path, 544, 2);
    c.Get(3, false);
  }
  {
    TPageFileManager pm(path, kOpenReadWrite, "", "", "", false, 4096, 8, -1);
    pm.Header().SetPFSPageCount(0);
    try {
      TFreeSpaceManager fsm(pm);
      FAIL() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "TFreeSpaceManager.Create - PFSPageCount * FPageSize < FExtentCount!");
    }
    pm.Header().SetPFSPageCount(1);
    pm.Header().SetGAMPageCount(0);
    try {
      TFreeSpaceManager fsm(pm);
      FAIL() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "TFreeSpaceManager.Create - GAMPageCount * FPageSize < FExtentCount!");
    }
    // More bitmap pages than the file holds: the first missing one is named.
    pm.Header().SetGAMPageCount(1);
    pm.Header().SetPFSPageCount(3);
    try {
      TFreeSpaceManager fsm(pm);
      FAIL() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "TFreeSpaceManager.LoadPFS - can not load page, pageNo = 4097");
    }
  }
}

TEST(FreeSpaceOpenTest, UnreadableBitmapPagesAreNamed) {
  TempDir dir;
  const std::string path = dir.file("bad.kvb");
  {
    Container c(path, 544, 2);
    c.Get(3, false);
  }
  std::string good = ReadFileBytes(path);
  for (int page : {1, 2, 3}) {
    std::string bad = good;
    bad[kPart + 544 * page + 40] ^= 0x04;  // a data byte: checksum mismatch
    testing::WriteFileBytes(path, bad);
    TPageFileManager pm(path, kOpenReadWrite, "", "", "", false, 4096, 8, -1);
    try {
      TFreeSpaceManager fsm(pm);
      FAIL() << "no exception for page " << page;
    } catch (const Exception& e) {
      const char* expected[] = {"", "TFreeSpaceManager.LoadPFS - can not load page, pageNo = 1",
                                "TFreeSpaceManager.LoadGAM - can not load page, pageNo = 2",
                                "TFreeSpaceManager.LoadGAM - can not load SGAM page, pageNo = 3"};
      EXPECT_EQ(e.Message(), expected[page]);
    }
  }
}

}  // namespace
}  // namespace kivo
