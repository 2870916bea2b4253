// Files of a container that grow, shrink and go away while the writing
// process could die: the container file is copied after every change made
// to it (each page write, header save and resize), which gives every state
// a kill can leave behind, and each copy must open, pass the container check
// (pages that stay allocated but unused are the one finding allowed: they
// lose no data) and hold the file as it was before or after the operation
// that was cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/container/integrity.h"
#include "storage/container/pagybox.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// 544-byte pages: 512 data bytes, 128 entries per map page, so a few hundred
// data pages already need several map pages.
constexpr std::int32_t kPageSize = 544;
constexpr std::int64_t kData = kPageSize - 32;
constexpr char kPassword[] = "titok";

std::unique_ptr<TPagybox> Open(const std::string& path, std::uint16_t mode) {
  return std::make_unique<TPagybox>(path, mode, false, "", "", "", kPageSize, 8, -1);
}

std::string Bytes(std::int64_t n, std::uint32_t seed) {
  std::string s(static_cast<std::size_t>(n), '\0');
  std::uint32_t x = seed * 2654435761u + 7;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string ReadAll(TPagybox& box, const std::string& name, const std::string& password) {
  const std::int32_t h = box.FileOpen(name, kOpenReadOnly, password);
  if (h < 0) return "(missing)";
  std::string s(static_cast<std::size_t>(box.FileGetSize(h)), '\0');
  s.resize(
      static_cast<std::size_t>(box.FileRead(h, s.data(), static_cast<std::int32_t>(s.size()))));
  box.FileClose(h);
  return s;
}

// The findings other than pages left allocated with nothing referring to them.
std::string Damage(TPagybox& box) {
  std::string out;
  for (const std::string& p : CheckContainer(box))
    if (p.find("is marked used but nothing refers to it") == std::string::npos) out += p + "\n";
  return out;
}

void WriteAt(TPagybox& box, std::int32_t h, std::int64_t at, const std::string& data) {
  ASSERT_EQ(box.FileSeek(h, 0, at), at);
  ASSERT_EQ(box.FileWrite(h, data.data(), static_cast<std::int32_t>(data.size())),
            static_cast<std::int32_t>(data.size()));
}

class CutWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("c.kvb");
    copy_ = dir_.file("cut.kvb");
  }

  // Starts copying the container file after every change made to it.
  void Record(TPagybox& box) {
    box.PageManager().SetWriteObserver([this] { images_.push_back(ReadFileBytes(path_)); });
  }

  // Opens every recorded state for writing (as the next session would) and
  // checks it: `check` gets the box and the state's number.
  template <typename Check>
  void EveryState(Check&& check) {
    ASSERT_GT(images_.size(), 2u);
    for (std::size_t k = 0; k < images_.size(); ++k) {
      SCOPED_TRACE("cut after change " + std::to_string(k + 1) + " of " +
                   std::to_string(images_.size()));
      WriteFileBytes(copy_, images_[k]);
      std::unique_ptr<TPagybox> box;
      ASSERT_NO_THROW(box = Open(copy_, kOpenReadWrite | kShareExclusive));
      EXPECT_EQ(Damage(*box), "");
      check(*box);
      if (::testing::Test::HasFailure()) return;  // one broken state says enough
    }
  }

  // The file must still grow and read back after the cut, and the container
  // stay sound.
  void GrowsAfterCut(TPagybox& box, const std::string& name, const std::string& password) {
    const std::string before = ReadAll(box, name, password);
    const std::int32_t h = box.FileOpen(name, kOpenReadWrite, password);
    ASSERT_GE(h, 0);
    const std::string more = Bytes(128 * kData + 100, 99);  // crosses a map page end
    WriteAt(box, h, static_cast<std::int64_t>(before.size()), more);
    box.FileClose(h);
    EXPECT_EQ(ReadAll(box, name, password), before + more);
    EXPECT_EQ(Damage(box), "");
  }

  TempDir dir_;
  std::string path_;
  std::string copy_;
  std::vector<std::string> images_;
};

// Appends and resizes that need new data pages and new map pages: a cut
// leaves the file at the size of an operation boundary with its data intact.
TEST_F(CutWriteTest, GrowingFileKeepsSizeCoveredByItsMap) {
  const std::string all = Bytes(400 * kData + 77, 1);
  std::vector<std::int64_t> sizes;  // the file's size after each operation
  {
    auto box = Open(path_, kContainerCreate);
    const std::int32_t h = box->FileOpen("T.dat", kContainerCreate, kPassword);
    ASSERT_GE(h, 0);
    WriteAt(*box, h, 0, all.substr(0, 100 * kData + 5));
    sizes.push_back(100 * kData + 5);
    Record(*box);
    // Across the first map page's end, then in pieces, then a large run.
    for (std::int64_t end : {130 * kData + 9, 131 * kData, 200 * kData + 1, 400 * kData + 77}) {
      WriteAt(*box, h, sizes.back(),
              all.substr(static_cast<std::size_t>(sizes.back()),
                         static_cast<std::size_t>(end - sizes.back())));
      sizes.push_back(end);
    }
    box->FileClose(h);
  }
  EveryState([&](TPagybox& box) {
    const std::string got = ReadAll(box, "T.dat", kPassword);
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), static_cast<std::int64_t>(got.size())),
              sizes.end())
        << got.size();
    EXPECT_TRUE(got == all.substr(0, got.size())) << "file data differs";
    GrowsAfterCut(box, "T.dat", kPassword);
  });
}

// Growing by a size change zero-fills: the size seen after a cut is the old
// or the new one, and the added part reads as zeros.
TEST_F(CutWriteTest, SetSizeGrowthKeepsSizeCoveredByItsMap) {
  const std::string head = Bytes(50 * kData + 3, 2);
  const std::int64_t bigger = 120 * kData + 11;
  {
    auto box = Open(path_, kContainerCreate);
    const std::int32_t h = box->FileOpen("T.dat", kContainerCreate);
    ASSERT_GE(h, 0);
    WriteAt(*box, h, 0, head);
    Record(*box);
    ASSERT_EQ(box->FileSetSize(h, bigger), bigger);
    box->FileClose(h);
  }
  EveryState([&](TPagybox& box) {
    const std::string got = ReadAll(box, "T.dat", "");
    if (got.size() == head.size()) {
      EXPECT_TRUE(got == head);
    } else {
      ASSERT_EQ(static_cast<std::int64_t>(got.size()), bigger);
      EXPECT_TRUE(got.substr(0, head.size()) == head);
      EXPECT_EQ(got.find_first_not_of('\0', head.size()), std::string::npos);
    }
    GrowsAfterCut(box, "T.dat", "");
  });
}

// Shrinking, down to nothing, and deleting a file: a cut never leaves a
// Size reaching past the pages its map lists, a map chain cut short, or a
// live file naming pages already given back.
TEST_F(CutWriteTest, ShrinkingAndDeletingNeverExposeMissingPages) {
  const std::string all = Bytes(390 * kData + 21, 3);
  const std::string other = Bytes(140 * kData, 4);
  const std::vector<std::int64_t> sizes = {
      390 * kData + 21, 385 * kData, 250 * kData + 1, 100 * kData, 128 * kData - 1, 10, 0};
  {
    auto box = Open(path_, kContainerCreate);
    const std::int32_t h = box->FileOpen("T.dat", kContainerCreate, kPassword);
    ASSERT_GE(h, 0);
    WriteAt(*box, h, 0, all);
    const std::int32_t o = box->FileOpen("B.dat", kContainerCreate);
    ASSERT_GE(o, 0);
    WriteAt(*box, o, 0, other);
    box->FileClose(o);
    Record(*box);
    for (std::size_t i = 1; i < sizes.size(); ++i)
      ASSERT_EQ(box->FileSetSize(h, sizes[i]), sizes[i]);
    box->FileClose(h);
    ASSERT_TRUE(box->FileDelete("B.dat"));
  }
  EveryState([&](TPagybox& box) {
    const std::string got = ReadAll(box, "T.dat", kPassword);
    // The size of an operation boundary (128 pages less a byte is reached
    // by growing again from 100 pages).
    EXPECT_NE(std::find(sizes.begin(), sizes.end(), static_cast<std::int64_t>(got.size())),
              sizes.end())
        << got.size();
    if (static_cast<std::int64_t>(got.size()) == 128 * kData - 1) {
      // Grown again from 100 pages: the added pages read as zeros.
      EXPECT_TRUE(got.substr(0, 100 * kData) == all.substr(0, 100 * kData)) << "file data differs";
      EXPECT_EQ(got.find_first_not_of('\0', 100 * kData), std::string::npos);
    } else {
      EXPECT_TRUE(got == all.substr(0, got.size())) << "file data differs";
    }
    const std::string b = ReadAll(box, "B.dat", "");
    EXPECT_TRUE(b == other || b == "(missing)") << b.size();
    GrowsAfterCut(box, "T.dat", kPassword);
  });
}

// Extents that hold pages of two files (mixed extents) become free when
// both files give their pages back; a cut between the writes of the two
// extent bitmaps must not leave an extent marked free and mixed at once.
TEST_F(CutWriteTest, FreeingMixedExtentsNeverMarksOneFreeAndMixed) {
  {
    auto box = Open(path_, kContainerCreate);
    const std::int32_t a = box->FileOpen("A.dat", kContainerCreate);
    const std::int32_t b = box->FileOpen("B.dat", kContainerCreate);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    // A page at a time, in turn, so that an extent holds pages of both
    // and is not full.
    for (std::uint32_t i = 0; i < 2; ++i) {
      WriteAt(*box, a, i * kData, Bytes(kData, i));
      WriteAt(*box, b, i * kData, Bytes(kData, 100 + i));
    }
    box->FileClose(b);
    int mixed = 0;
    for (std::int32_t x = 0; x < box->FreeSpaceManager().ExtentCount(); ++x)
      mixed += box->FreeSpaceManager().SGAMBit(x) ? 1 : 0;
    ASSERT_GT(mixed, 0) << box->FreeSpaceManager().ExtentCount();
    Record(*box);
    ASSERT_EQ(box->FileSetSize(a, 0), 0);
    box->FileClose(a);
    ASSERT_TRUE(box->FileDelete("B.dat"));
  }
  EveryState([&](TPagybox& box) { GrowsAfterCut(box, "A.dat", ""); });
}

// Growth past 4096 pages needs a second PFS page: the header that counts it
// is saved only after the bitmap pages, and a container cut before that
// header grows again from its old end.
TEST_F(CutWriteTest, GrowthAddingABitmapPageSavesTheHeaderLast) {
  const std::string all = Bytes(4300 * kData, 5);
  {
    auto box = Open(path_, kContainerCreate);
    const std::int32_t h = box->FileOpen("T.dat", kContainerCreate);
    ASSERT_GE(h, 0);
    WriteAt(*box, h, 0, all.substr(0, 4000 * kData));
    ASSERT_EQ(box->FreeSpaceManager().PFSPageNumbers().size(), 1u);
    Record(*box);
    WriteAt(*box, h, 4000 * kData, all.substr(4000 * kData));
    ASSERT_EQ(box->FreeSpaceManager().PFSPageNumbers().size(), 2u);
    box->FileClose(h);
  }
  EveryState([&](TPagybox& box) {
    const std::string got = ReadAll(box, "T.dat", "");
    EXPECT_TRUE(got.size() == 4000 * kData || got.size() == all.size()) << got.size();
    EXPECT_TRUE(got == all.substr(0, got.size())) << "file data differs";
    GrowsAfterCut(box, "T.dat", "");
  });
}

}  // namespace
}  // namespace kivo
