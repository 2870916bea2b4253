// The page journal: a page write cut short by the death of the writing
// process is made whole again, and no other state of the journal file ever
// changes what a container holds.
#include "storage/container/page_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "storage/container/page_manager.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr std::size_t kPart = 280;  // the part header before the logical stream
constexpr std::int32_t kPageSize = 4096;
constexpr std::int32_t kDataSize = kPageSize - 32;

std::string Pattern(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::unique_ptr<TPageFileManager> Open(const std::string& path, std::uint16_t mode = kOpenReadWrite,
                                       const std::string& password = {}) {
  return std::make_unique<TPageFileManager>(path, mode, password, "", "", false, kPageSize, 8, -1);
}

bool WritePattern(TPageFileManager& pm, std::int32_t pageNo, const std::string& data) {
  TPageRecBuffer page(kDataSize);
  std::memcpy(page.data(), data.data(), kDataSize);
  return pm.WritePage(page.rec, pageNo);
}

// The page's data, or "" when it cannot be read (LastError in `error`).
std::string ReadData(TPageFileManager& pm, std::int32_t pageNo, std::int32_t* error = nullptr) {
  TPageRecBuffer page(kDataSize);
  const bool ok = pm.ReadPage(page.rec, pageNo);
  if (error) *error = pm.LastError();
  return ok ? std::string(reinterpret_cast<char*>(page.data()), kDataSize) : std::string();
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// A container whose page 2 held `old_` and was being rewritten with `new_`
// when the writer died: `before_` and `after_` are the container file before
// and after that write, `journal_` the journal file the write left.
class TornWriteTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    path_ = dir_.file("torn.kvb");
    journal_path_ = TPageJournal::PathFor(path_);
    const std::string password = GetParam();
    {
      auto pm = Open(path_, kContainerCreate, password);
      ASSERT_TRUE(pm->ExtendFile(4));
      ASSERT_TRUE(WritePattern(*pm, 2, old_));
      ASSERT_TRUE(WritePattern(*pm, 3, Pattern(kDataSize, 9)));
    }
    EXPECT_FALSE(Exists(journal_path_)) << "a clean close removes the journal";
    before_ = ReadFileBytes(path_);
    {
      auto pm = Open(path_, kOpenReadWrite, password);
      ASSERT_TRUE(WritePattern(*pm, 2, new_));
      ASSERT_TRUE(Exists(journal_path_));
      journal_ = ReadFileBytes(journal_path_);
      after_ = ReadFileBytes(path_);
    }
    ASSERT_NE(before_, after_);
  }

  // The file as a write stopped after `cut` bytes of page 2 would leave it.
  std::string TornAt(std::size_t cut) const {
    std::string torn = before_;
    const std::size_t start = kPart + 2 * static_cast<std::size_t>(kPageSize);
    torn.replace(start, cut, after_, start, cut);
    return torn;
  }
  // The first byte of page 2 that starts a page of the operating system.
  static std::size_t SystemPageCut() {
    const std::size_t start = kPart + 2 * static_cast<std::size_t>(kPageSize);
    const auto os = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (start / os + 1) * os - start;
  }

  TempDir dir_;
  std::string path_, journal_path_;
  const std::string old_ = Pattern(kDataSize, 1), new_ = Pattern(kDataSize, 2);
  std::string before_, after_, journal_;
};

TEST_P(TornWriteTest, WithoutTheJournalTheTornPageIsLost) {
  // What the journal defends against: the page fails its checksum.
  WriteFileBytes(path_, TornAt(SystemPageCut()));
  auto pm = Open(path_, kOpenReadWrite, GetParam());
  std::int32_t error = 0;
  EXPECT_EQ(ReadData(*pm, 2, &error), "");
  EXPECT_EQ(error, kPageErrChecksum);
}

TEST_P(TornWriteTest, AWritableOpenCompletesTheTornWrite) {
  for (std::size_t cut : {std::size_t{1}, SystemPageCut(), std::size_t{kPageSize - 1}}) {
    WriteFileBytes(path_, TornAt(cut));
    WriteFileBytes(journal_path_, journal_);
    {
      auto pm = Open(path_, kOpenReadWrite, GetParam());
      EXPECT_EQ(ReadData(*pm, 2), new_) << "cut " << cut;
      EXPECT_EQ(ReadData(*pm, 3), Pattern(kDataSize, 9)) << "cut " << cut;
      // The copy is used up: it must not be written over later writes.
      ASSERT_TRUE(WritePattern(*pm, 2, old_));
    }
    EXPECT_EQ(ReadFileBytes(path_).size(), after_.size());
    auto pm = Open(path_, kOpenReadWrite, GetParam());
    EXPECT_EQ(ReadData(*pm, 2), old_) << "cut " << cut;
  }
}

TEST_P(TornWriteTest, AReadOnlyOpenReadsThroughTheJournalAndChangesNothing) {
  const std::string torn = TornAt(SystemPageCut());
  WriteFileBytes(path_, torn);
  WriteFileBytes(journal_path_, journal_);
  {
    auto pm = Open(path_, kOpenReadOnly, GetParam());
    EXPECT_EQ(ReadData(*pm, 2), new_);
    EXPECT_EQ(ReadData(*pm, 3), Pattern(kDataSize, 9));
    // A run of pages reads through it too.
    TPageRecBuffer run[3] = {TPageRecBuffer(kDataSize), TPageRecBuffer(kDataSize),
                             TPageRecBuffer(kDataSize)};
    TPageRec recs[3] = {run[0].rec, run[1].rec, run[2].rec};
    ASSERT_TRUE(pm->ReadPages(recs, 3, 1));
    EXPECT_EQ(std::memcmp(run[1].data(), new_.data(), kDataSize), 0);
  }
  EXPECT_EQ(ReadFileBytes(path_), torn);
  EXPECT_EQ(ReadFileBytes(journal_path_), journal_);
}

TEST_P(TornWriteTest, AJournalCutShortLeavesTheOldPage) {
  // The writer died while writing the journal: the page was not touched yet.
  for (std::size_t keep : {std::size_t{0}, std::size_t{20}, journal_.size() - 1}) {
    WriteFileBytes(path_, before_);
    WriteFileBytes(journal_path_, journal_.substr(0, keep));
    auto pm = Open(path_, kOpenReadWrite, GetParam());
    EXPECT_EQ(ReadData(*pm, 2), old_) << "kept " << keep;
  }
}

TEST_P(TornWriteTest, ACopyThatDoesNotBelongIsIgnored) {
  // A flipped byte anywhere in the copy, or the copy of another container
  // file (same content, another file), changes nothing.
  std::mt19937 rng(5);
  for (int i = 0; i < 40; ++i) {
    std::string damaged = journal_;
    damaged[rng() % damaged.size()] ^= static_cast<char>(1 + rng() % 255);
    WriteFileBytes(path_, before_);
    WriteFileBytes(journal_path_, damaged);
    auto pm = Open(path_, kOpenReadWrite, GetParam());
    EXPECT_EQ(ReadData(*pm, 2), old_) << i;
  }
  const std::string other = dir_.file("other.kvb");
  WriteFileBytes(other, before_);
  WriteFileBytes(TPageJournal::PathFor(other), journal_);
  auto pm = Open(other, kOpenReadWrite, GetParam());
  EXPECT_EQ(ReadData(*pm, 2), old_);
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, TornWriteTest, ::testing::Values("", "secret"),
                         [](const auto& info) {
                           return std::string(*info.param ? "Encrypted" : "Plain");
                         });

TEST(PageJournalTest, ALinkInPlaceOfTheJournalIsNotFollowed) {
  TempDir dir;
  const std::string path = dir.file("link.kvb");
  const std::string victim = dir.file("victim");
  WriteFileBytes(victim, "keep me");
  ASSERT_EQ(::symlink(victim.c_str(), TPageJournal::PathFor(path).c_str()), 0);
  {
    auto pm = Open(path, kContainerCreate);
    ASSERT_TRUE(pm->ExtendFile(2));
    ASSERT_TRUE(WritePattern(*pm, 1, Pattern(kDataSize, 3)));  // unprotected, but written
  }
  EXPECT_EQ(ReadFileBytes(victim), "keep me");
  auto pm = Open(path);
  EXPECT_EQ(ReadData(*pm, 1), Pattern(kDataSize, 3));
}

TEST(PageJournalTest, MemoryContainersAndReadOnlyOpensMakeNoJournal) {
  TempDir dir;
  const std::string path = dir.file("plain.kvb");
  {
    auto pm = Open(path, kContainerCreate);
    ASSERT_TRUE(pm->ExtendFile(2));
  }
  {
    auto pm = Open(path, kOpenReadOnly);
    EXPECT_FALSE(Exists(TPageJournal::PathFor(path)));
  }
  const std::string mem = dir.file("mem.kvb");
  auto pm =
      std::make_unique<TPageFileManager>(mem, kContainerCreate, "", "", "", true, kPageSize, 8, -1);
  ASSERT_TRUE(pm->ExtendFile(2));
  ASSERT_TRUE(WritePattern(*pm, 1, Pattern(kDataSize, 4)));
  EXPECT_FALSE(Exists(TPageJournal::PathFor(mem)));
}

// The journal's pending copy as a writable open would find it: its stream
// offset, or -1 when it holds none.
std::int64_t PendingOffset(const std::string& path) {
  auto journal = TPageJournal::OpenForReading(path);
  if (!journal) return -1;
  const auto copy = journal->PendingCopy();
  return copy ? copy->Offset : -1;
}

std::int64_t StreamOffsetOf(std::int32_t pageNo) {
  return static_cast<std::int64_t>(pageNo) * kPageSize;
}

TEST(PageJournalTest, OnlyPagesThatHeldDataBeforeAreCopied) {
  TempDir dir;
  const std::string path = dir.file("fresh.kvb");
  {
    auto pm = Open(path, kContainerCreate);
    ASSERT_TRUE(pm->ExtendFile(3));
    // Pages laid past everything written so far are not copied...
    ASSERT_TRUE(WritePattern(*pm, 1, Pattern(kDataSize, 1)));
    ASSERT_TRUE(WritePattern(*pm, 2, Pattern(kDataSize, 2)));
    EXPECT_EQ(PendingOffset(path), -1);
    // ...but a page written before in this session is.
    ASSERT_TRUE(WritePattern(*pm, 1, Pattern(kDataSize, 3)));
    EXPECT_EQ(PendingOffset(path), StreamOffsetOf(1));
  }
  auto pm = Open(path);
  // Pages the file held at the open are copied, and so are pages below the
  // highest one written since.
  ASSERT_TRUE(WritePattern(*pm, 2, Pattern(kDataSize, 4)));
  EXPECT_EQ(PendingOffset(path), StreamOffsetOf(2));
  const std::int32_t end = pm->PageCount();
  ASSERT_TRUE(pm->ExtendFile(end + 2));
  ASSERT_TRUE(WritePattern(*pm, end + 1, Pattern(kDataSize, 5)));
  EXPECT_EQ(PendingOffset(path), StreamOffsetOf(2)) << "a fresh page replaced the copy";
  ASSERT_TRUE(WritePattern(*pm, end, Pattern(kDataSize, 6)));
  EXPECT_EQ(PendingOffset(path), StreamOffsetOf(end)) << "a page below a written one is not fresh";
}

TEST(PageJournalTest, ReplayingACopyKeepsTheFreshPagesWrittenAfterIt) {
  TempDir dir;
  const std::string path = dir.file("order.kvb");
  const std::string journal = TPageJournal::PathFor(path);
  {
    auto pm = Open(path, kContainerCreate);
    ASSERT_TRUE(pm->ExtendFile(3));
    ASSERT_TRUE(WritePattern(*pm, 1, Pattern(kDataSize, 1)));
    ASSERT_TRUE(WritePattern(*pm, 2, Pattern(kDataSize, 2)));
  }
  std::string file, copy;
  std::int32_t fresh = 0;
  {
    auto pm = Open(path);
    ASSERT_TRUE(WritePattern(*pm, 1, Pattern(kDataSize, 7)));  // copied first
    fresh = pm->PageCount();
    ASSERT_TRUE(pm->ExtendFile(fresh + 1));
    ASSERT_TRUE(WritePattern(*pm, fresh, Pattern(kDataSize, 8)));  // not copied
    // The writer dies here: the journal still holds page 1's copy.
    file = ReadFileBytes(path);
    copy = ReadFileBytes(journal);
  }
  WriteFileBytes(path, file);
  WriteFileBytes(journal, copy);
  {
    auto pm = Open(path);
    EXPECT_EQ(ReadData(*pm, 1), Pattern(kDataSize, 7));
    EXPECT_EQ(ReadData(*pm, 2), Pattern(kDataSize, 2));
    EXPECT_EQ(ReadData(*pm, fresh), Pattern(kDataSize, 8));
  }
}

}  // namespace
}  // namespace kivo
