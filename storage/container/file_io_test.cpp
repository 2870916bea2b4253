// Files inside a container: page maps, reads and writes across pages,
// growing and shrinking, zero-fill, and a random workload checked against an
// in-memory copy of every file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "storage/container/integrity.h"
#include "storage/container/pagybox.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::kNoException;
using testing::MessageOf;
using testing::TempDir;

std::unique_ptr<TPagybox> Open(const std::string& path, std::uint16_t mode,
                               std::int32_t pageSize = 4096, const std::string& password = {},
                               std::int32_t extentPages = 8) {
  return std::make_unique<TPagybox>(path, mode, false, password, "", "", pageSize, extentPages, -1);
}

std::string Bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() | 1);  // never zero, so zero-fill shows
  return s;
}

std::int32_t Write(TPagybox& box, std::int32_t h, std::int64_t at, const std::string& data) {
  box.FileSeek(h, 0, at);
  return box.FileWrite(h, data.data(), static_cast<std::int32_t>(data.size()));
}

std::string Read(TPagybox& box, std::int32_t h, std::int64_t at, std::int32_t count) {
  std::string s(static_cast<std::size_t>(count), '\0');
  box.FileSeek(h, 0, at);
  s.resize(static_cast<std::size_t>(box.FileRead(h, s.data(), count)));
  return s;
}

const TFilePageMaps& MapsOf(TPagybox& box, std::int32_t h) {
  return box.PageMaps().GetMaps(box.Directory().ReadItem(box.FindHandle(h)->DirItemNo));
}

std::vector<std::string> Problems(TPagybox& box) { return CheckContainer(box); }

TEST(FileIOTest, PageCountsFollowTheSizeAndTheMapGrowsAPageAt1017) {
  TempDir dir;
  auto box = Open(dir.file("c.kvb"), kContainerCreate);
  const std::int32_t h = box->FileOpen("f.dat", kContainerCreate);
  ASSERT_GE(h, 0);
  EXPECT_EQ(box->PageMaps().EntriesPerMapPage(), 1016);
  ASSERT_EQ(Write(*box, h, 0, Bytes(4064, 1)), 4064);
  EXPECT_EQ(MapsOf(*box, h).DataPages.size(), 1u);
  ASSERT_EQ(Write(*box, h, 4064, "x"), 1);
  EXPECT_EQ(MapsOf(*box, h).DataPages.size(), 2u);

  ASSERT_EQ(box->FileSetSize(h, 1016LL * 4064), 1016LL * 4064);
  EXPECT_EQ(MapsOf(*box, h).MapPages.size(), 1u);
  ASSERT_EQ(box->FileSetSize(h, 1016LL * 4064 + 1), 1016LL * 4064 + 1);
  const TFilePageMaps maps = MapsOf(*box, h);
  ASSERT_EQ(maps.MapPages.size(), 2u);
  ASSERT_EQ(maps.DataPages.size(), 1017u);
  // The first map page now links to the second on disk.
  TPageRec rec;
  ASSERT_TRUE(box->PageManager().ReadPage(rec, maps.MapPages[0], false, {}, 0));
  EXPECT_EQ(rec.NextPageNo, maps.MapPages[1]);
  EXPECT_EQ(rec.PageType, ptFileMap);

  // Shrinking back drops the second map page and ends the chain again.
  ASSERT_EQ(box->FileSetSize(h, 1016LL * 4064), 1016LL * 4064);
  EXPECT_EQ(MapsOf(*box, h).MapPages.size(), 1u);
  EXPECT_TRUE(box->FreeSpaceManager().PageIsFree(maps.MapPages[1]));
  EXPECT_TRUE(box->FreeSpaceManager().PageIsFree(maps.DataPages[1016]));
  ASSERT_TRUE(box->PageManager().ReadPage(rec, maps.MapPages[0], false, {}, 0));
  EXPECT_EQ(rec.NextPageNo, -1);
  EXPECT_TRUE(Problems(*box).empty());
}

TEST(FileIOTest, WritingPastTheEndZeroFillsTheGap) {
  TempDir dir;
  auto box = Open(dir.file("c.kvb"), kContainerCreate);
  const std::int32_t h = box->FileOpen("f.dat", kContainerCreate);
  ASSERT_EQ(Write(*box, h, 10000, "0123456789"), 10);
  EXPECT_EQ(box->FileGetSize(h), 10010);
  EXPECT_EQ(box->FileSeek(h, 1, 0), 10010);
  EXPECT_EQ(MapsOf(*box, h).DataPages.size(), 3u);
  const std::string all = Read(*box, h, 0, 20000);
  ASSERT_EQ(all.size(), 10010u);
  EXPECT_EQ(all.substr(0, 10000), std::string(10000, '\0'));
  EXPECT_EQ(all.substr(10000), "0123456789");
  // At or past the end nothing is read.
  EXPECT_EQ(Read(*box, h, 10010, 5), "");
  EXPECT_EQ(Read(*box, h, 50000, 5), "");
  EXPECT_TRUE(Problems(*box).empty());
}

TEST(FileIOTest, SetSizeShrinksGrowsAndReleasesEverythingAtZero) {
  TempDir dir;
  auto box = Open(dir.file("c.kvb"), kContainerCreate);
  const std::int32_t h = box->FileOpen("f.dat", kContainerCreate);
  const std::string data = Bytes(3 * 4064, 2);
  ASSERT_EQ(Write(*box, h, 0, data), static_cast<std::int32_t>(data.size()));
  const std::vector<std::int32_t> pages = MapsOf(*box, h).DataPages;

  // A few bytes off the last page release nothing.
  ASSERT_EQ(box->FileSetSize(h, 3 * 4064 - 5), 3 * 4064 - 5);
  EXPECT_EQ(MapsOf(*box, h).DataPages, pages);
  EXPECT_EQ(box->FileSeek(h, 1, 0), 3 * 4064 - 5);

  // Growing again zero-fills the new page and keeps the old bytes.
  ASSERT_EQ(box->FileSetSize(h, 4 * 4064), 4 * 4064);
  const std::string all = Read(*box, h, 0, 4 * 4064);
  EXPECT_EQ(all.substr(0, 3 * 4064 - 5), data.substr(0, 3 * 4064 - 5));
  EXPECT_EQ(all.substr(3 * 4064), std::string(4064, '\0'));
  // The bytes cut off before do not come back.
  EXPECT_EQ(all.substr(3 * 4064 - 5, 5), std::string(5, '\0'));
  ASSERT_EQ(box->FileSetSize(h, 10), 10);
  ASSERT_EQ(Write(*box, h, 20, "z"), 1);
  EXPECT_EQ(Read(*box, h, 0, 30), data.substr(0, 10) + std::string(10, '\0') + "z");

  const std::int32_t mapPage =
      box->Directory().ReadItem(box->FindHandle(h)->DirItemNo).FirstMapPageNo;
  ASSERT_EQ(box->FileSetSize(h, 0), 0);
  EXPECT_EQ(box->Directory().ReadItem(box->FindHandle(h)->DirItemNo).FirstMapPageNo, -1);
  EXPECT_TRUE(box->FreeSpaceManager().PageIsFree(mapPage));
  for (std::int32_t p : pages) EXPECT_TRUE(box->FreeSpaceManager().PageIsFree(p));
  EXPECT_TRUE(Problems(*box).empty());

  EXPECT_EQ(box->FileSetSize(h, -1), kErrInvalidSize);
  EXPECT_EQ(box->FileSetSize(12345, 10), kErrInvalidHandle);
  // More pages than page numbers exist: refused before anything is allocated.
  EXPECT_EQ(box->FileSetSize(h, std::int64_t{1} << 50), kErrNoSpace);
  EXPECT_EQ(box->Directory().ReadItem(box->FindHandle(h)->DirItemNo).FirstMapPageNo, -1);
}

TEST(FileIOTest, NegativePositionsAndClosedHandlesMoveNothing) {
  TempDir dir;
  auto box = Open(dir.file("c.kvb"), kContainerCreate);
  const std::int32_t h = box->FileOpen("f.dat", kContainerCreate);
  ASSERT_EQ(Write(*box, h, 0, "abcdef"), 6);
  EXPECT_EQ(box->FileSeek(h, 2, -10), -4);
  char buf[8];
  EXPECT_EQ(box->FileRead(h, buf, 4), 0);
  EXPECT_EQ(box->FileWrite(h, "zz", 2), 0);
  EXPECT_EQ(box->LastError(), kErrInvalidSize);
  EXPECT_EQ(box->FileSeek(h, 7, 3), -4);  // an unknown origin keeps the position
  EXPECT_EQ(box->FileRead(999, buf, 4), 0);
  EXPECT_EQ(box->FileWrite(999, "zz", 2), 0);
  EXPECT_EQ(box->FileSeek(999, 0, 3), 0);
  EXPECT_EQ(Read(*box, h, 0, 8), "abcdef");
}

TEST(FileIOTest, ZeroFilledPagesAreStoredPlainAndWrittenPagesEncrypted) {
  TempDir dir;
  const std::string path = dir.file("c.kvb");
  {
    auto box = Open(path, kContainerCreate, 544, "secret");
    const std::int32_t h = box->FileOpen("f.dat", kContainerCreate);
    ASSERT_EQ(box->FileSetSize(h, 512), 512);
    const std::int32_t page = MapsOf(*box, h).DataPages[0];
    TPageRec rec;
    ASSERT_TRUE(box->PageManager().ReadPage(rec, page, false, {}, 0));
    EXPECT_EQ(rec.EncryptionType, kEncryptionNone);
    EXPECT_EQ(Read(*box, h, 0, 512), std::string(512, '\0'));
    ASSERT_EQ(Write(*box, h, 100, "plain text"), 10);
    ASSERT_TRUE(box->PageManager().ReadPage(rec, page, false, {}, 0));
    EXPECT_EQ(rec.EncryptionType, kEncryptionRijndael);
    std::vector<std::uint8_t> stored(512);
    rec.Data = stored.data();
    ASSERT_TRUE(box->PageManager().ReadPage(rec, page, true));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stored.data()) + 100, 10).find("plain"),
              std::string::npos);
  }
  auto box = Open(path, kOpenReadWrite | kShareExclusive, 544, "secret");
  const std::int32_t h = box->FileOpen("f.dat", kOpenReadWrite);
  EXPECT_EQ(Read(*box, h, 95, 20), std::string(5, '\0') + "plain text" + std::string(5, '\0'));
}

TEST(FileIOTest, AReadOnlyContainerReadsButNeitherWritesNorResizes) {
  TempDir dir;
  const std::string path = dir.file("c.kvb");
  {
    auto box = Open(path, kContainerCreate);
    const std::int32_t h = box->FileOpen("f.dat", kContainerCreate);
    ASSERT_EQ(Write(*box, h, 0, "kept"), 4);
  }
  auto box = Open(path, kOpenReadOnly | kShareDenyNone);
  const std::int32_t h = box->FileOpen("f.dat", kOpenReadOnly);
  ASSERT_GE(h, 0);
  EXPECT_EQ(Write(*box, h, 0, "lost"), 0);
  EXPECT_EQ(box->LastError(), kPageErrShortHeaderWrite);
  EXPECT_EQ(box->FileSetSize(h, 100), kPageErrShortHeaderWrite);
  EXPECT_EQ(Read(*box, h, 0, 10), "kept");
}

// Random writes, reads, resizes and reopenings against an in-memory copy.
void RandomWorkload(std::int32_t pageSize, const std::string& password, unsigned seed) {
  SCOPED_TRACE("page size " + std::to_string(pageSize) + (password.empty() ? "" : ", encrypted"));
  TempDir dir;
  const std::string path = dir.file("c.kvb");
  std::mt19937 rng(seed);
  const std::int64_t D = pageSize - 32;
  std::vector<std::string> model(3);
  std::unique_ptr<TPagybox> box = Open(path, kContainerCreate, pageSize, password);
  std::vector<std::int32_t> handles;
  for (int f = 0; f < 3; ++f)
    handles.push_back(box->FileOpen("f" + std::to_string(f), kContainerCreate));
  for (int step = 0; step < 400; ++step) {
    const std::size_t f = rng() % model.size();
    std::string& m = model[f];
    const std::int32_t h = handles[f];
    // Offsets cluster around page boundaries, where the arithmetic can slip.
    const std::int64_t boundary = static_cast<std::int64_t>(rng() % 12) * D;
    const std::int64_t at = std::max<std::int64_t>(0, boundary + static_cast<int>(rng() % 9) - 4);
    switch (rng() % 6) {
      case 0:
      case 1:
      case 2: {
        const std::string data = Bytes(rng() % (3 * D), static_cast<std::uint32_t>(rng()));
        ASSERT_EQ(Write(*box, h, at, data), static_cast<std::int32_t>(data.size()));
        if (!data.empty()) {
          if (m.size() < at + data.size()) m.resize(at + data.size(), '\0');
          m.replace(static_cast<std::size_t>(at), data.size(), data);
        }
        break;
      }
      case 3: {
        const std::int32_t count = static_cast<std::int32_t>(rng() % (4 * D));
        const std::string want = at < static_cast<std::int64_t>(m.size())
                                     ? m.substr(static_cast<std::size_t>(at), count)
                                     : "";
        ASSERT_TRUE(Read(*box, h, at, count) == want) << "step " << step;
        break;
      }
      case 4: {
        const std::int64_t size = rng() % 3 == 0 ? 0 : at;
        ASSERT_EQ(box->FileSetSize(h, size), size);
        m.resize(static_cast<std::size_t>(size), '\0');
        break;
      }
      default:
        if (rng() % 8 == 0) {
          // Reopen: everything must come back from disk.
          box.reset();
          box = Open(path, kOpenReadWrite | kShareExclusive, pageSize, password);
          for (std::size_t g = 0; g < model.size(); ++g)
            handles[g] = box->FileOpen("f" + std::to_string(g), kOpenReadWrite);
        }
        break;
    }
  }
  for (std::size_t f = 0; f < model.size(); ++f) {
    EXPECT_EQ(box->FileGetSize(handles[f]), static_cast<std::int64_t>(model[f].size()));
    EXPECT_TRUE(Read(*box, handles[f], 0, static_cast<std::int32_t>(model[f].size()) + 10) ==
                model[f])
        << "file " << f;
  }
  EXPECT_EQ(Problems(*box), std::vector<std::string>{});
  box->PageMaps().CheckInvariants();
}

TEST(FileIOTest, RandomWorkloadMatchesAnInMemoryModel) {
  for (std::int32_t pageSize : {544, 4096, 8192}) {
    RandomWorkload(pageSize, "", 11u + static_cast<unsigned>(pageSize));
    RandomWorkload(pageSize, "pw", 23u + static_cast<unsigned>(pageSize));
  }
}

// Writes the map page of `item` with the given link and entries, as a
// damaged file would hold it.
void WriteMapPage(TPagybox& box, std::int32_t pageNo, std::int32_t next,
                  const std::vector<std::int32_t>& entries) {
  TPageRecBuffer page(box.PageManager().PageDataSize());
  for (std::size_t i = 0; i < entries.size(); ++i) std::memcpy(page.data() + 4 * i, &entries[i], 4);
  page.rec.NextPageNo = next;
  page.rec.PageType = ptFileMap;
  ASSERT_TRUE(box.PageManager().WritePage(page.rec, pageNo));
}

std::string GetMapsError(TPagybox& box, const TDIRItem& item) {
  return MessageOf([&] {
    TUserFilePageMapManager fresh(box.PageManager(), box.FreeSpaceManager());
    fresh.GetMaps(item);
  });
}

TEST(FileIOTest, DamagedMapsRaiseInsteadOfLoopingOrReachingOutside) {
  TempDir dir;
  auto box = Open(dir.file("c.kvb"), kContainerCreate, 544);
  const std::int32_t h = box->FileOpen("f.dat", kContainerCreate);
  // 130 data pages of 512 bytes need two map pages of 128 entries.
  ASSERT_EQ(box->FileSetSize(h, 130 * 512), 130 * 512);
  const TFilePageMaps maps = MapsOf(*box, h);
  ASSERT_EQ(maps.MapPages.size(), 2u);
  TDIRItem item = box->Directory().ReadItem(box->FindHandle(h)->DirItemNo);
  const std::string chain = "TUserFilePageMapManager.GetMaps - Invalid page No in map chain.";
  std::vector<std::int32_t> first(maps.DataPages.begin(), maps.DataPages.begin() + 128);

  WriteMapPage(*box, maps.MapPages[0], maps.MapPages[0], first);
  EXPECT_EQ(GetMapsError(*box, item), chain);  // the chain loops onto itself
  WriteMapPage(*box, maps.MapPages[0], maps.MapPages[1], first);
  EXPECT_EQ(GetMapsError(*box, item), kNoException);

  WriteMapPage(*box, maps.MapPages[0], -1, first);
  EXPECT_EQ(GetMapsError(*box, item), chain);  // the chain ends too early
  first[5] = box->PageManager().PageCount() + 7;
  WriteMapPage(*box, maps.MapPages[0], maps.MapPages[1], first);
  EXPECT_EQ(GetMapsError(*box, item), chain);  // an entry outside the container
  first[5] = 1;
  WriteMapPage(*box, maps.MapPages[0], maps.MapPages[1], first);
  EXPECT_EQ(GetMapsError(*box, item), chain);  // an entry naming a bitmap page
  first[5] = first[6];
  WriteMapPage(*box, maps.MapPages[0], maps.MapPages[1], first);
  EXPECT_EQ(GetMapsError(*box, item), chain);  // one page listed twice

  item.Size = std::int64_t{1} << 60;
  EXPECT_EQ(GetMapsError(*box, item), "TUserFilePageMapManager.GetMaps - Invalid file size.");
  item.FirstMapPageNo = 0;
  item.Size = 0;
  EXPECT_EQ(GetMapsError(*box, item), chain);
  item.FirstMapPageNo = -1;
  EXPECT_EQ(GetMapsError(*box, item),
            "TUserFilePageMapManager.GetMaps - Invalid parameter FileRec.FirstMapPageNo");
}

}  // namespace
}  // namespace kivo
