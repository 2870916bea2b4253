// The container check over real workloads (many files created, grown,
// shrunk, renamed and deleted in one session must leave every page used
// exactly once) and over damaged containers (damage is reported, never
// crashes or hangs).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "storage/container/integrity.h"
#include "storage/container/page_journal.h"
#include "storage/container/pagybox.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::unique_ptr<TPagybox> Open(const std::string& path, std::uint16_t mode, std::int32_t pageSize,
                               const std::string& password = {}) {
  return std::make_unique<TPagybox>(path, mode, false, password, "", "", pageSize, 8, -1);
}

std::string Bytes(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

bool Contains(const std::vector<std::string>& problems, const std::string& part) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string& p) { return p.find(part) != std::string::npos; });
}

std::string Join(const std::vector<std::string>& problems) {
  std::string all;
  for (const std::string& p : problems) all += p + "\n";
  return all;
}

// Reads a whole file through a fresh handle.
std::string ReadFile(TPagybox& box, const std::string& name) {
  const std::int32_t h = box.FileOpen(name, kOpenReadOnly);
  if (h < 0) return "(missing)";
  std::string s(static_cast<std::size_t>(box.FileGetSize(h)), '\0');
  s.resize(
      static_cast<std::size_t>(box.FileRead(h, s.data(), static_cast<std::int32_t>(s.size()))));
  box.FileClose(h);
  return s;
}

// Creates, grows, shrinks, renames and deletes files at random; `model`
// receives the expected content of every file left.
void Workload(TPagybox& box, int files, std::size_t bigSize, unsigned seed,
              std::map<std::string, std::string>& model) {
  std::mt19937 rng(seed);
  std::map<std::string, std::int32_t> open;
  for (int step = 0; step < files * 3; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 4 || model.empty()) {
      const std::string name =
          "t" + std::to_string(rng() % static_cast<unsigned>(files * 2)) + ".dat";
      if (open.count(name)) continue;
      const std::size_t size = rng() % 10 == 0 ? rng() % bigSize : rng() % 40000;
      const std::int32_t h = box.FileOpen(name, kContainerCreate);
      ASSERT_GE(h, 0);
      const std::string data = Bytes(size, static_cast<std::uint32_t>(rng()));
      // In pieces, so that the file grows write by write.
      std::size_t done = 0;
      while (done < data.size()) {
        const std::size_t n = std::min<std::size_t>(data.size() - done, 1 + rng() % 300000);
        ASSERT_EQ(box.FileWrite(h, data.data() + done, static_cast<std::int32_t>(n)),
                  static_cast<std::int32_t>(n));
        done += n;
      }
      model[name] = data;
      if (rng() % 4 == 0)
        open[name] = h;  // some stay open while others come and go
      else
        box.FileClose(h);
      continue;
    }
    auto it = model.begin();
    std::advance(it, static_cast<long>(rng() % model.size()));
    const std::string name = it->first;
    if (open.count(name)) continue;
    if (op < 6) {  // grow or shrink
      const std::int32_t h = box.FileOpen(name, kOpenReadWrite);
      const std::int64_t size = rng() % 2
                                    ? static_cast<std::int64_t>(it->second.size()) / 3
                                    : static_cast<std::int64_t>(it->second.size()) + rng() % 70000;
      ASSERT_EQ(box.FileSetSize(h, size), size);
      it->second.resize(static_cast<std::size_t>(size), '\0');
      box.FileClose(h);
    } else if (op < 8) {
      const std::string to = "r" + std::to_string(rng() % 1000) + ".dat";
      if (model.count(to)) continue;
      ASSERT_TRUE(box.FileRename(name, to));
      model[to] = std::move(it->second);
      model.erase(name);
    } else {
      ASSERT_TRUE(box.FileDelete(name));
      model.erase(name);
    }
  }
  for (const auto& [name, h] : open) box.FileClose(h);
}

// Every file of a few hundred keeps its pages once and only once, also when
// far more files than the page-list cache holds are written in one session.
TEST(IntegrityTest, ManyFilesInOneSessionUseEveryPageExactlyOnce) {
  TempDir dir;
  const std::string path = dir.file("c.kvb");
  std::map<std::string, std::string> model;
  {
    auto box = Open(path, kContainerCreate, 4096);
    for (int f = 0; f < 300; ++f) {
      const std::string name = "f" + std::to_string(f) + ".dat";
      const std::int32_t h = box->FileOpen(name, kContainerCreate);
      ASSERT_GE(h, 0);
      const std::string data =
          Bytes(5000 + 37 * static_cast<std::size_t>(f), static_cast<std::uint32_t>(f));
      ASSERT_EQ(box->FileWrite(h, data.data(), 3000), 3000);
      ASSERT_EQ(
          box->FileWrite(h, data.data() + 3000, static_cast<std::int32_t>(data.size()) - 3000),
          static_cast<std::int32_t>(data.size()) - 3000);
      box->FileClose(h);
      model[name] = data;
    }
    EXPECT_LE(box->PageMaps().CachedFileCount(), TUserFilePageMapManager::kCacheLimit + 1);
    EXPECT_EQ(Join(CheckContainer(*box)), "");
  }
  auto box = Open(path, kOpenReadWrite | kShareExclusive, 4096);
  for (const auto& [name, data] : model) ASSERT_TRUE(ReadFile(*box, name) == data) << name;
  EXPECT_EQ(Join(CheckContainer(*box)), "");
}

TEST(IntegrityTest, RandomWorkloadLeavesASoundContainer) {
  for (const auto& [pageSize, password] :
       std::vector<std::pair<std::int32_t, std::string>>{{4096, ""}, {544, "pw"}}) {
    SCOPED_TRACE(pageSize);
    TempDir dir;
    const std::string path = dir.file("c.kvb");
    std::map<std::string, std::string> model;
    {
      auto box = Open(path, kContainerCreate, pageSize, password);
      Workload(*box, pageSize == 4096 ? 250 : 60, pageSize == 4096 ? 3u << 20 : 300000, 7, model);
      EXPECT_EQ(Join(CheckContainer(*box)), "");
    }
    auto box = Open(path, kOpenReadWrite | kShareExclusive, pageSize, password);
    EXPECT_EQ(Join(CheckContainer(*box)), "");
    for (const auto& [name, data] : model) ASSERT_TRUE(ReadFile(*box, name) == data) << name;
  }
}

// A small container with several files, shared by the damage tests.
class DamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("c.kvb");
    auto box = Open(path_, kContainerCreate, 544);
    Workload(*box, 30, 20000, 3, model_);
    ASSERT_GE(model_.size(), 3u);
    box.reset();
    base_ = ReadFileBytes(path_);
  }

  // The data pages of file `name` and its item.
  std::vector<std::int32_t> DataPages(TPagybox& box, const std::string& name,
                                      TDIRItem* item = nullptr) {
    const std::int32_t n = box.Directory().FindPath(name);
    const TDIRItem it = box.Directory().ReadItem(n);
    if (item) *item = it;
    if (it.FirstMapPageNo == -1) return {};
    return box.PageMaps().GetMaps(it).DataPages;
  }

  // Two files that have data pages.
  std::pair<std::string, std::string> TwoFiles() {
    std::vector<std::string> names;
    for (const auto& [name, data] : model_)
      if (data.size() > 600) names.push_back(name);
    return {names.at(0), names.at(1)};
  }

  std::vector<std::string> Reopened() {
    auto box = Open(path_, kOpenReadWrite | kShareExclusive, 544);
    return CheckContainer(*box);
  }

  TempDir dir_;
  std::string path_;
  std::string base_;
  std::map<std::string, std::string> model_;
};

TEST_F(DamageTest, TheUndamagedContainerIsSound) { EXPECT_EQ(Join(Reopened()), ""); }

TEST_F(DamageTest, APageMarkedFreeWhileAFileUsesItIsReported) {
  std::int32_t page = 0;
  {
    auto box = Open(path_, kOpenReadWrite | kShareExclusive, 544);
    page = DataPages(*box, TwoFiles().first).at(0);
    TFreeSpaceManager& fsm = box->FreeSpaceManager();
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(fsm.PFSBytesPerPage()));
    TPageRec rec;
    rec.Data = bits.data();
    ASSERT_TRUE(box->PageManager().ReadPage(rec, 1, false, {}, fsm.PFSBytesPerPage()));
    bits[static_cast<std::size_t>((page - 1) / 8)] |=
        static_cast<std::uint8_t>(1u << ((page - 1) % 8));
    ASSERT_TRUE(box->PageManager().WritePage(rec, 1, {}, fsm.PFSBytesPerPage()));
  }
  const auto problems = Reopened();
  EXPECT_TRUE(Contains(problems, "page " + std::to_string(page) + " is used by "))
      << Join(problems);
  EXPECT_TRUE(Contains(problems, "but marked free")) << Join(problems);
}

TEST_F(DamageTest, TwoFilesSharingAPageAndAnOrphanedPageAreReported) {
  std::int32_t shared = 0, orphan = 0;
  {
    auto box = Open(path_, kOpenReadWrite | kShareExclusive, 544);
    const auto [a, b] = TwoFiles();
    shared = DataPages(*box, a).at(0);
    TDIRItem item;
    orphan = DataPages(*box, b, &item).at(0);
    // Point b's first map entry at a's first data page.
    TPageRecBuffer map(box->PageManager().PageDataSize());
    ASSERT_TRUE(box->PageManager().ReadPage(map.rec, item.FirstMapPageNo));
    std::memcpy(map.data(), &shared, 4);
    map.rec.Data = map.data();
    ASSERT_TRUE(box->PageManager().WritePage(map.rec, item.FirstMapPageNo));
  }
  const auto problems = Reopened();
  EXPECT_TRUE(Contains(problems, "page " + std::to_string(shared) + " is used twice"))
      << Join(problems);
  EXPECT_TRUE(Contains(
      problems, "page " + std::to_string(orphan) + " is marked used but nothing refers to it"))
      << Join(problems);
}

TEST_F(DamageTest, BadLinksAndItemsAreReportedWithoutFollowingThem) {
  {
    auto box = Open(path_, kOpenReadWrite | kShareExclusive, 544);
    const auto [a, b] = TwoFiles();
    TDIRItem item;
    DataPages(*box, a, &item);
    // The file's only (or last) map page links to itself.
    const std::vector<std::int32_t> maps = box->PageMaps().GetMaps(item).MapPages;
    TPageRecBuffer map(box->PageManager().PageDataSize());
    ASSERT_TRUE(box->PageManager().ReadPage(map.rec, maps.back()));
    map.rec.NextPageNo = maps.back();
    map.rec.Data = map.data();
    ASSERT_TRUE(box->PageManager().WritePage(map.rec, maps.back()));
    // The other file's map starts outside the container.
    const std::int32_t n = box->Directory().FindPath(b);
    TDIRItem other = box->Directory().ReadItem(n);
    other.FirstMapPageNo = box->PageManager().PageCount() + 100;
    box->Directory().WriteItem(n, other);
  }
  const auto problems = Reopened();
  EXPECT_TRUE(Contains(problems, "continues past its last map page")) << Join(problems);
  EXPECT_TRUE(Contains(problems, "outside the container")) << Join(problems);
  EXPECT_TRUE(Contains(problems, "is marked used but nothing refers to it")) << Join(problems);
}

// A directory item may claim any size: the largest one is reported as too
// large for the file's pages, without overflowing on the way.
TEST_F(DamageTest, AFileSizeOfTheLargestValueIsReported) {
  {
    auto box = Open(path_, kOpenReadWrite | kShareExclusive, 544);
    const std::int32_t n = box->Directory().FindPath(TwoFiles().first);
    TDIRItem item = box->Directory().ReadItem(n);
    item.Size = std::numeric_limits<std::int64_t>::max();
    box->Directory().WriteItem(n, item);
  }
  const auto problems = Reopened();
  EXPECT_TRUE(
      Contains(problems, ": size " + std::to_string(std::numeric_limits<std::int64_t>::max())))
      << Join(problems);
}

// Seeded random damage: byte changes inside pages that hold directory items,
// maps or file data are always found (their checksums cover every data byte
// at this page size); damage anywhere else may go unnoticed, but opening and
// checking never crash and raise only the container's own errors.
TEST_F(DamageTest, SeededRandomDamageIsReportedAndNeverCrashes) {
  std::vector<std::int32_t> covered;  // pages whose whole data area is checksummed
  {
    auto box = Open(path_, kOpenReadWrite | kShareExclusive, 544);
    covered = box->Directory().DirPageNumbers();
    for (const auto& [name, data] : model_) {
      TDIRItem item;
      const auto pages = DataPages(*box, name, &item);
      covered.insert(covered.end(), pages.begin(), pages.end());
      if (item.FirstMapPageNo != -1) {
        const auto maps = box->PageMaps().GetMaps(item).MapPages;
        covered.insert(covered.end(), maps.begin(), maps.end());
      }
    }
  }
  std::mt19937 rng(99);
  for (int round = 0; round < 60; ++round) {
    std::string bytes = base_;
    const bool inCovered = round % 2 == 0;
    std::size_t at;
    if (inCovered) {
      const std::int32_t page = covered[rng() % covered.size()];
      at = 280 + static_cast<std::size_t>(page) * 544 + 32 + rng() % 512;
    } else {
      at = rng() % bytes.size();
    }
    bytes[at] = static_cast<char>(bytes[at] ^ static_cast<char>(1 + rng() % 255));
    WriteFileBytes(path_, bytes);
    SCOPED_TRACE("round " + std::to_string(round) + ", byte " + std::to_string(at));
    try {
      auto box = Open(path_, kOpenReadWrite | kShareExclusive, 544);
      const auto problems = CheckContainer(*box);
      if (inCovered) {
        EXPECT_FALSE(problems.empty());
      }
    } catch (const Exception& e) {
      // Of the covered pages only directory pages are read when opening.
      if (inCovered) {
        EXPECT_EQ(e.Message().rfind("TDIRManager.Load", 0), 0u) << e.Message();
      }
    }
  }
}

// A writer that dies between allocating pages and naming them in a page map
// leaves them marked used; the next writable open frees them, but only when
// nothing else is wrong and no other writer is there.
class DeadWriterTest : public DamageTest {
 protected:
  // Opens the container for writing, allocates `count` pages that nothing
  // names, lets `more` change the open container, and leaves the files as a
  // writer killed at that moment would (container and journal). Returns the
  // pages.
  template <typename More>
  std::vector<std::int32_t> KillAfterAllocating(std::int32_t count, More more) {
    std::vector<std::int32_t> pages;
    std::string file, journal;
    {
      auto box = Open(path_, kOpenReadWrite, 544);
      EXPECT_TRUE(box->FreeSpaceManager().GetPages(count, -1, pages, false));
      more(*box);
      file = ReadFileBytes(path_);
      journal = ReadFileBytes(TPageJournal::PathFor(path_));
    }
    WriteFileBytes(path_, file);
    WriteFileBytes(TPageJournal::PathFor(path_), journal);
    return pages;
  }
  static std::string Unreferenced(std::int32_t page) {
    return "page " + std::to_string(page) + " is marked used but nothing refers to it";
  }
};

TEST_F(DeadWriterTest, PagesLeftByADeadWriterAreFreedAtTheNextWritableOpen) {
  const auto pages = KillAfterAllocating(3, [](TPagybox&) {});
  {
    auto reader = Open(path_, kOpenReadOnly, 544);
    const auto problems = CheckContainer(*reader);
    for (std::int32_t p : pages) EXPECT_TRUE(Contains(problems, Unreferenced(p))) << Join(problems);
  }
  auto box = Open(path_, kOpenReadWrite, 544);
  EXPECT_EQ(Join(CheckContainer(*box)), "");
  for (std::int32_t p : pages) EXPECT_TRUE(box->FreeSpaceManager().PageIsFree(p)) << p;
  for (const auto& [name, data] : model_) EXPECT_TRUE(ReadFile(*box, name) == data) << name;
}

TEST_F(DeadWriterTest, NothingIsFreedWhenTheContainerIsDamagedElsewhere) {
  const auto pages = KillAfterAllocating(2, [&](TPagybox& box) {
    // A second file's map names the first file's page: damage that a free
    // would make worse.
    const auto [a, b] = TwoFiles();
    const std::int32_t shared = DataPages(box, a).at(0);
    TDIRItem item;
    DataPages(box, b, &item);
    TPageRecBuffer map(box.PageManager().PageDataSize());
    ASSERT_TRUE(box.PageManager().ReadPage(map.rec, item.FirstMapPageNo));
    std::memcpy(map.data(), &shared, 4);
    map.rec.Data = map.data();
    ASSERT_TRUE(box.PageManager().WritePage(map.rec, item.FirstMapPageNo));
  });
  auto box = Open(path_, kOpenReadWrite, 544);
  const auto problems = CheckContainer(*box);
  EXPECT_TRUE(Contains(problems, "is used twice")) << Join(problems);
  for (std::int32_t p : pages) EXPECT_TRUE(Contains(problems, Unreferenced(p))) << Join(problems);
}

TEST_F(DeadWriterTest, NothingIsFreedWhileAnotherWriterHasTheContainerOpen) {
  auto live = Open(path_, kOpenReadWrite, 544);
  std::vector<std::int32_t> pages;
  ASSERT_TRUE(live->FreeSpaceManager().GetPages(2, -1, pages, false));
  // The live writer's journal is there, but so is the writer.
  auto second = Open(path_, kOpenReadWrite, 544);
  for (std::int32_t p : pages) EXPECT_FALSE(second->FreeSpaceManager().PageIsFree(p)) << p;
  const auto problems = CheckContainer(*second);
  for (std::int32_t p : pages) EXPECT_TRUE(Contains(problems, Unreferenced(p))) << Join(problems);
}

}  // namespace
}  // namespace kivo
