#include "engine/record_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/write_log.h"
#include "platform/errors.h"
#include "storage/file_layer.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;

constexpr std::int32_t kRecordSize = 40;

std::vector<std::uint8_t> ImageOf(std::int32_t value) {
  std::vector<std::uint8_t> image(kRecordSize, static_cast<std::uint8_t>(value));
  std::memcpy(image.data(), &value, 4);
  return image;
}

std::int32_t ValueOf(const std::uint8_t* image) {
  std::int32_t v;
  std::memcpy(&v, image, 4);
  return v;
}

// A table held in a vector: what the cache would otherwise read from the log
// and the records file. Counts the records it hands out.
class VectorTable : public TkrRecordSource {
 public:
  std::int32_t TableRecordCount() const override { return static_cast<std::int32_t>(rows.size()); }
  void ReadRecordImages(std::int32_t first, std::int32_t count, std::uint8_t* dest) override {
    for (std::int32_t i = 0; i < count; ++i) {
      std::memcpy(dest + static_cast<std::size_t>(i) * kRecordSize, rows.at(first + i).data(),
                  kRecordSize);
    }
    reads += count;
  }
  // Insert through the cache, the way the record operations do.
  void Append(TkrRecordsArray& cache, std::int32_t value) {
    auto image = ImageOf(value);
    cache.AppendRecord(image.data());
    rows.push_back(image);
  }
  // Delete through the cache: the last record moves into `pos`.
  void Delete(TkrRecordsArray& cache, std::int32_t pos) {
    auto last = rows.back();
    rows.pop_back();
    if (pos < static_cast<std::int32_t>(rows.size())) rows[static_cast<std::size_t>(pos)] = last;
    cache.DeleteRecord(pos, last.data());
  }

  std::vector<std::vector<std::uint8_t>> rows;
  std::int64_t reads = 0;
};

TEST(RecordCache, WholeTableModeServesEveryRecordFromFiftyPages) {
  VectorTable table;
  for (std::int32_t i = 0; i < 1000; ++i) table.rows.push_back(ImageOf(i));
  TkrRecordsArray cache(table, kRecordSize, 1000, false);
  EXPECT_TRUE(cache.WholeTableMode());
  EXPECT_EQ(cache.RecordsPerPage(), 334);
  EXPECT_EQ(cache.PageSlotCount(), 50);
  for (std::int32_t pass = 0; pass < 2; ++pass) {
    for (std::int32_t i = 999; i >= 0; --i) ASSERT_EQ(ValueOf(cache.GetRecordPtr(i)), i);
  }
  EXPECT_EQ(table.reads, 1000);  // each record read once
  EXPECT_EQ(cache.CachedRecordCount(), 1000);
  cache.CheckInvariants();
  EXPECT_EQ(MessageOf([&] { cache.GetRecordPtr(1000); }),
            "TRecordsPage.GetRecordPtr - Cannot find record");
  EXPECT_THROW(cache.GetRecordPtr(-400), Exception);

  TkrRecordsArray thousand(table, kRecordSize, -1, false);
  EXPECT_EQ(thousand.RecordsPerPage(), 1000);
}

TEST(RecordCache, GrowingPastFiftyPagesSwitchesToOneRecordPerPage) {
  VectorTable table;
  TkrRecordsArray cache(table, kRecordSize, 9, false);  // 4 records per page
  ASSERT_EQ(cache.RecordsPerPage(), 4);
  for (std::int32_t i = 0; i < 200; ++i) table.Append(cache, i);
  EXPECT_TRUE(cache.WholeTableMode());
  cache.CheckInvariants();
  for (std::int32_t i = 200; i < 260; ++i) table.Append(cache, i);
  EXPECT_FALSE(cache.WholeTableMode());
  EXPECT_EQ(cache.RecordsPerPage(), 1);
  cache.CheckInvariants();
  for (std::int32_t i = 0; i < 260; ++i) ASSERT_EQ(ValueOf(cache.GetRecordPtr(i)), i);
  // Once off, it stays off even when the table shrinks again.
  while (table.TableRecordCount() > 10) table.Delete(cache, 0);
  table.Append(cache, 7);
  EXPECT_FALSE(cache.WholeTableMode());
}

TEST(RecordCache, DeleteMovesTheLastRecordIntoTheFreedPosition) {
  for (bool disabled : {false, true}) {
    VectorTable table;
    TkrRecordsArray cache(table, kRecordSize, 9, disabled);
    for (std::int32_t i = 0; i < 5; ++i) table.Append(cache, i);
    for (std::int32_t i = 0; i < 5; ++i) cache.GetRecordPtr(i);
    table.Delete(cache, 0);  // record 4 moves to 0
    EXPECT_EQ(ValueOf(cache.GetRecordPtr(0)), 4);
    EXPECT_EQ(ValueOf(cache.GetRecordPtr(3)), 3);
    EXPECT_THROW(cache.GetRecordPtr(4), Exception);
    table.Delete(cache, 3);  // the last record: nothing moves
    EXPECT_EQ(ValueOf(cache.GetRecordPtr(2)), 2);
    cache.CheckInvariants();
    while (table.TableRecordCount() > 0) table.Delete(cache, 0);
    cache.CheckInvariants();
    EXPECT_EQ(cache.CachedRecordCount(), 0);
    table.Append(cache, 11);
    table.Append(cache, 12);
    EXPECT_EQ(ValueOf(cache.GetRecordPtr(1)), 12);
    cache.CheckInvariants();
  }
}

TEST(RecordCache, LockedPagesAreNeverReused) {
  VectorTable table;
  for (std::int32_t i = 0; i < 100; ++i) table.rows.push_back(ImageOf(i));
  TkrRecordsArray cache(table, kRecordSize, 1000, true);
  std::uint8_t* first = cache.GetRecordPtr(0);
  cache.LockRecordPage(0);
  for (std::int32_t i = 1; i < 100; ++i) cache.GetRecordPtr(i);
  EXPECT_EQ(cache.GetRecordPtr(0), first);  // still the same page
  EXPECT_EQ(ValueOf(first), 0);

  for (std::int32_t i = 1; i < 24; ++i) cache.LockRecordPage(i);
  // 24 locked pages and the last record's page: nothing left to reuse.
  EXPECT_EQ(MessageOf([&] { cache.GetRecordPtr(50); }),
            "TkrRecordsArray.GetPageToUse - There are no free pages.");
  cache.UnlockRecordPage(5);
  EXPECT_EQ(ValueOf(cache.GetRecordPtr(50)), 50);
  EXPECT_EQ(MessageOf([&] { cache.UnlockRecordPage(5); }),
            "TkrRecordsArray.UnlockRecordPage - Page is already unloaded.");
  cache.CheckInvariants();
}

TEST(RecordCache, TheLongestUnusedPageIsReusedFirst) {
  VectorTable table;
  for (std::int32_t i = 0; i < 100; ++i) table.rows.push_back(ImageOf(i));
  TkrRecordsArray cache(table, kRecordSize, 1000, true);  // 25 pages of one record
  std::uint32_t now = 1000;
  cache.SetTickSource([&] { return now; });
  // The last record's page and records 0 .. 23 fill every page.
  for (std::int32_t i = 0; i < 24; ++i) {
    now += 1000;
    cache.GetRecordPtr(i);
  }
  now += 1000;
  cache.GetRecordPtr(0);  // record 0 is now the most recently used
  const std::int64_t reads = table.reads;
  now += 1000;
  EXPECT_EQ(ValueOf(cache.GetRecordPtr(50)), 50);  // reuses record 1's page
  EXPECT_EQ(table.reads, reads + 1);
  for (std::int32_t i : {0, 2, 12, 23, 99}) EXPECT_EQ(ValueOf(cache.GetRecordPtr(i)), i);
  EXPECT_EQ(table.reads, reads + 1);  // all still cached
  EXPECT_EQ(ValueOf(cache.GetRecordPtr(1)), 1);
  EXPECT_EQ(table.reads, reads + 2);
  cache.CheckInvariants();
}

TEST(RecordCache, APageThatFailsToLoadIsNotKept) {
  struct Failing : VectorTable {
    void ReadRecordImages(std::int32_t first, std::int32_t count, std::uint8_t* dest) override {
      if (fail) throw Exception("damaged");
      VectorTable::ReadRecordImages(first, count, dest);
    }
    bool fail = false;
  } table;
  for (std::int32_t i = 0; i < 10; ++i) table.rows.push_back(ImageOf(i));
  TkrRecordsArray cache(table, kRecordSize, 1000, true);
  table.fail = true;
  EXPECT_THROW(cache.GetRecordPtr(3), Exception);
  table.fail = false;
  EXPECT_EQ(ValueOf(cache.GetRecordPtr(3)), 3);
  cache.CheckInvariants();
}

// ---------------------------------------------------------------------------

class WriteLogTest : public ::testing::Test {
 protected:
  WriteLogTest() : fs(dir.path()) {
    dat = fs.OpenFile("t.dat", true, false, false);
    bdf = fs.OpenFile("t.bdf", true, false, false);
  }
  ~WriteLogTest() override {
    fs.CloseFile(dat);
    fs.CloseFile(bdf);
  }
  std::string DatBytes() {
    dat->Flush();
    return testing::ReadFileBytes(dir.file("t.dat"));
  }

  testing::TempDir dir;
  TDiskPlainFileSystem fs;
  TAbstractFile* dat;
  TAbstractFile* bdf;
  std::uint32_t now = 5000;
};

TEST_F(WriteLogTest, NewestEntryWinsForReadersAndOnDisk) {
  TkrBufferLogArray log(dat, 10, kRecordSize, bdf, 16);
  log.SetTickSource([this] { return now; });
  log.AddRecord(1, ImageOf(100).data());
  log.AddRecord(0, ImageOf(50).data());
  log.AddRecord(1, ImageOf(101).data());
  EXPECT_EQ(ValueOf(log.FindRecord(1)), 101);
  EXPECT_EQ(ValueOf(log.FindRecord(0)), 50);
  EXPECT_EQ(log.FindRecord(2), nullptr);
  EXPECT_EQ(log.TotalSize(), 3u * kRecordSize);
  log.CheckInvariants();
  EXPECT_TRUE(DatBytes().empty());  // nothing written before the flush

  log.FlushBuffers();
  EXPECT_EQ(log.EntryCount(), 0);
  EXPECT_EQ(log.FindRecord(1), nullptr);
  std::string bytes = DatBytes();
  ASSERT_EQ(bytes.size(), 10u + 2 * kRecordSize);
  auto fifty = ImageOf(50);
  auto hundredOne = ImageOf(101);
  EXPECT_EQ(bytes.substr(10, kRecordSize), std::string(fifty.begin(), fifty.end()));
  EXPECT_EQ(bytes.substr(10 + kRecordSize), std::string(hundredOne.begin(), hundredOne.end()));
}

TEST_F(WriteLogTest, FlushCheckFollowsCountSizeAndAge) {
  TkrBufferLogArray log(dat, 0, kRecordSize);
  log.SetTickSource([this] { return now; });
  EXPECT_EQ(log.MaxEntries(), 10000);
  EXPECT_EQ(log.MaxAgeMs(), 1000u);
  EXPECT_GT(log.MaxBytes(), 1u);
  EXPECT_FALSE(log.FlushIfNeeded());  // empty

  log.SetMaxEntries(3);
  log.AddRecord(0, ImageOf(1).data());
  log.AddRecord(1, ImageOf(2).data());
  EXPECT_FALSE(log.FlushIfNeeded());
  log.AddRecord(2, ImageOf(3).data());
  EXPECT_TRUE(log.FlushIfNeeded());
  EXPECT_EQ(log.EntryCount(), 0);

  log.SetMaxEntries(10000);
  log.SetMaxBytes(2 * kRecordSize);
  log.AddRecord(0, ImageOf(1).data());
  EXPECT_FALSE(log.FlushIfNeeded());
  log.AddRecord(0, ImageOf(1).data());
  EXPECT_TRUE(log.FlushIfNeeded());

  log.SetMaxBytes(1u << 30);
  log.AddRecord(0, ImageOf(1).data());
  now += 600;
  log.AddRecord(1, ImageOf(2).data());
  now += 400;  // the oldest entry is exactly 1000 ms old
  EXPECT_FALSE(log.FlushIfNeeded());
  now += 1;
  EXPECT_TRUE(log.FlushIfNeeded());

  now = 0xFFFFFF00u;  // the tick count wraps
  log.AddRecord(0, ImageOf(1).data());
  now += 0x200;
  EXPECT_FALSE(log.FlushIfNeeded());
}

TEST_F(WriteLogTest, BLOBEntriesWriteTheirBlockRunsInOrder) {
  TkrBufferLogArray log(dat, 0, kRecordSize, bdf, 4);
  std::string data = "AAAABBBBCCCC";
  log.AddBLOB(0, data.data(), 12, {{3, 1}, {0, 2}});
  log.AddBLOB(0, "ZZZZ", 4, {{1, 1}});  // a later entry overwrites block 1
  EXPECT_EQ(MessageOf([&] {
              log.AddBLOB(0, "xx", 2, {{0, 1}});
            }),
            "TkrBufferLogArray.AddBLOB - data too short for its parts");
  log.FlushBuffers();
  bdf->Flush();
  EXPECT_EQ(testing::ReadFileBytes(dir.file("t.bdf")), "BBBBZZZZ" + std::string(4, '\0') + "AAAA");
}

TEST_F(WriteLogTest, AFailedFlushKeepsEveryEntry) {
  TkrBufferLogArray log(dat, 0, kRecordSize);
  log.AddRecord(0, ImageOf(1).data());
  log.AddRecord(0x7FFFFFFF / kRecordSize, ImageOf(2).data());  // ends past the largest position
  EXPECT_EQ(MessageOf([&] { log.FlushBuffers(); }),
            "TkrBufferLogArray.FlushBuffers - error writing data to data file, xx = 0, bc = 40");
  EXPECT_EQ(log.EntryCount(), 2);
  EXPECT_EQ(ValueOf(log.FindRecord(0)), 1);

  TkrBufferLogArray blobs(dat, 0, kRecordSize, nullptr, 4);
  blobs.AddBLOB(0, "AAAA", 4, {{0, 1}});
  EXPECT_EQ(MessageOf([&] { blobs.FlushBuffers(); }),
            "TkrBufferLogArray.FlushBuffers - error writing data to blob file, xx = 0, bc = 4");
  EXPECT_EQ(blobs.EntryCount(), 1);
}

}  // namespace
}  // namespace kivo
