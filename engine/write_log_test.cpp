// The write-behind log's own containers: the packed buffers and the map from
// record positions to their newest entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "engine/write_log.h"
#include "storage/file_layer.h"

namespace kivo {
namespace {

// A memory file that counts the writes it receives.
class CountingFile : public TMemoryFile {
 public:
  CountingFile() : TMemoryFile(nullptr, "T.dat") { Open(true); }
  std::int32_t Write(const void* buffer, std::int32_t count) override {
    ++writes;
    return TMemoryFile::Write(buffer, count);
  }
  std::vector<std::uint8_t> Content() {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(GetSize()));
    Seek(0, kFromBeginning);
    if (!bytes.empty()) Read(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    return bytes;
  }
  int writes = 0;
};

std::vector<std::uint8_t> Filled(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

TEST(LogBuffers, EveryBufferKeepsItsBytesUntilClear) {
  TkrBuffersArray buffers;
  // Small, empty, block-sized and bigger buffers mixed, enough to fill
  // several packed blocks.
  const std::size_t sizes[] = {70,
                               0,
                               1,
                               TkrBuffersArray::kMaxPackedBytes,
                               TkrBuffersArray::kMaxPackedBytes + 1,
                               TkrBuffersArray::kBlockBytes + 1,
                               513};
  std::vector<std::vector<std::uint8_t>> expected;
  std::vector<const std::uint8_t*> where;
  std::uint64_t total = 0;
  for (int round = 0; round < 40; ++round) {
    for (std::size_t size : sizes) {
      expected.push_back(Filled(size, static_cast<std::uint8_t>(round)));
      const std::int32_t index =
          buffers.Add(expected.back().data(), static_cast<std::int32_t>(size));
      ASSERT_EQ(index, static_cast<std::int32_t>(expected.size() - 1));
      where.push_back(buffers.Buffer(index));
      total += size;
    }
  }
  ASSERT_EQ(buffers.Count(), static_cast<std::int32_t>(expected.size()));
  EXPECT_EQ(buffers.TotalSize(), total);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto index = static_cast<std::int32_t>(i);
    ASSERT_EQ(buffers.Size(index), static_cast<std::int32_t>(expected[i].size())) << i;
    ASSERT_EQ(buffers.Buffer(index), where[i]) << i;  // never moved
    if (!expected[i].empty()) {
      ASSERT_EQ(std::memcmp(buffers.Buffer(index), expected[i].data(), expected[i].size()), 0) << i;
    }
  }
  buffers.Clear();
  EXPECT_EQ(buffers.Count(), 0);
  EXPECT_EQ(buffers.TotalSize(), 0u);
  const auto again = Filled(40, 9);
  ASSERT_EQ(buffers.Add(again.data(), 40), 0);
  EXPECT_EQ(std::memcmp(buffers.Buffer(0), again.data(), 40), 0);
}

TEST(NewestRecordMap, AgreesWithAnOrderedMap) {
  TkrNewestRecordMap map;
  std::map<std::int32_t, std::int32_t> reference;
  std::mt19937 rng(3);
  for (int round = 0; round < 3; ++round) {
    for (std::int32_t entry = 0; entry < 5000; ++entry) {
      // Runs of appended positions, rewrites and far-off or negative ones.
      std::int32_t recNo;
      switch (rng() % 4) {
        case 0:
          recNo = entry;
          break;
        case 1:
          recNo = static_cast<std::int32_t>(rng() % 64);
          break;
        case 2:
          recNo = static_cast<std::int32_t>(rng() % 64) * 1024;
          break;
        default:
          recNo = static_cast<std::int32_t>(rng());
          break;
      }
      map.Set(recNo, entry);
      reference[recNo] = entry;
    }
    ASSERT_EQ(map.Count(), reference.size());
    for (const auto& [recNo, entry] : reference) ASSERT_EQ(map.Find(recNo), entry) << recNo;
    for (std::int32_t probe = -100; probe < 100000; probe += 7) {
      auto it = reference.find(probe);
      ASSERT_EQ(map.Find(probe), it == reference.end() ? -1 : it->second) << probe;
    }
    std::size_t seen = 0;
    map.ForEach([&](std::int32_t recNo, std::int32_t entry) {
      ++seen;
      EXPECT_EQ(reference.at(recNo), entry);
    });
    EXPECT_EQ(seen, reference.size());
    map.Clear();
    reference.clear();
    EXPECT_TRUE(map.Empty());
    EXPECT_EQ(map.Find(0), -1);
  }
}

}  // namespace
}  // namespace kivo

namespace kivo {
namespace {

// A flush leaves the file as writing every entry oldest first would, while
// neighbouring positions go out in one write.
TEST(WriteBehindLog, FlushEqualsReplayingEveryEntryInOrder) {
  constexpr std::int32_t kOffset = 93;
  constexpr std::int32_t kRecordSize = 37;
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    CountingFile file;
    std::vector<std::uint8_t> expected(kOffset, 0xEE);  // the header bytes are untouched
    file.Write(expected.data(), kOffset);
    file.writes = 0;
    TkrBufferLogArray log(&file, kOffset, kRecordSize);
    const int entries = 1 + static_cast<int>(rng() % 3000);
    std::int32_t appended = 0;
    for (int i = 0; i < entries; ++i) {
      // Mostly appends, then rewrites of earlier positions and isolated ones.
      std::int32_t recNo;
      switch (rng() % 5) {
        case 0:
          recNo = appended > 0 ? static_cast<std::int32_t>(rng() % appended) : 0;
          break;
        case 1:
          recNo = appended + static_cast<std::int32_t>(rng() % 50);
          break;
        default:
          recNo = appended++;
          break;
      }
      const auto image = Filled(kRecordSize, static_cast<std::uint8_t>(rng()));
      log.AddRecord(recNo, image.data());
      const std::size_t end = kOffset + static_cast<std::size_t>(recNo + 1) * kRecordSize;
      if (expected.size() < end) expected.resize(end, 0);
      std::memcpy(expected.data() + end - kRecordSize, image.data(), kRecordSize);
    }
    log.CheckInvariants();
    log.FlushBuffers();
    EXPECT_EQ(log.EntryCount(), 0);
    ASSERT_EQ(file.Content(), expected) << "round " << round;
    // Appends alone would come in one write each per megabyte.
    EXPECT_LT(file.writes, entries / 2 + 40) << "round " << round;
  }
}

// Records changed a few apart on a file that holds them go out in one write
// with the unchanged records between them rewritten as they were; gaps too
// wide, or past the file's end, still split the writes.
TEST(WriteBehindLog, ScatteredChangesOfStoredRecordsAreJoinedAcrossSmallGaps) {
  constexpr std::int32_t kOffset = 50;
  constexpr std::int32_t kRecordSize = 40;
  constexpr std::int32_t kStored = 5000;
  std::mt19937 rng(5);
  for (const int stride : {2, 3, 7, 60, 200}) {
    CountingFile file;
    std::vector<std::uint8_t> expected(kOffset, 0xAB);
    for (std::int32_t r = 0; r < kStored; ++r) {
      const auto image = Filled(kRecordSize, static_cast<std::uint8_t>(r));
      expected.insert(expected.end(), image.begin(), image.end());
    }
    file.Write(expected.data(), static_cast<std::int32_t>(expected.size()));
    file.writes = 0;
    TkrBufferLogArray log(&file, kOffset, kRecordSize);
    int changed = 0;
    for (std::int32_t r = 1; r < kStored; r += stride) {
      const auto image = Filled(kRecordSize, static_cast<std::uint8_t>(rng()));
      log.AddRecord(r, image.data());
      std::memcpy(expected.data() + kOffset + static_cast<std::size_t>(r) * kRecordSize,
                  image.data(), kRecordSize);
      ++changed;
    }
    // Two records past the end with a gap between them that the file
    // cannot fill: the gap stays zero, as a plain write leaves it.
    for (const std::int32_t r : {kStored + 3, kStored + 5}) {
      const auto image = Filled(kRecordSize, static_cast<std::uint8_t>(r));
      log.AddRecord(r, image.data());
      const std::size_t end = kOffset + static_cast<std::size_t>(r + 1) * kRecordSize;
      expected.resize(end, 0);
      std::memcpy(expected.data() + end - kRecordSize, image.data(), kRecordSize);
    }
    log.FlushBuffers();
    SCOPED_TRACE(stride);
    ASSERT_EQ(file.Content(), expected);
    const int gapRecords = stride - 1;
    if (gapRecords * kRecordSize <= 2048) {
      EXPECT_LE(file.writes, 4);
    } else {
      EXPECT_GE(file.writes, changed + 2);
    }
  }
}

// A run longer than the biggest single write is cut, and still lands whole.
TEST(WriteBehindLog, LongRunsAreCutIntoSeveralWrites) {
  constexpr std::int32_t kRecordSize = 1000;
  CountingFile file;
  TkrBufferLogArray log(&file, 0, kRecordSize);
  const std::int32_t count = 3000;  // 3 MB in one run of neighbours
  for (std::int32_t recNo = count - 1; recNo >= 0; --recNo) {
    const auto image = Filled(kRecordSize, static_cast<std::uint8_t>(recNo));
    log.AddRecord(recNo, image.data());
  }
  log.FlushBuffers();
  EXPECT_GE(file.writes, 3);
  EXPECT_LE(file.writes, 4);
  const auto content = file.Content();
  ASSERT_EQ(content.size(), static_cast<std::size_t>(count) * kRecordSize);
  for (std::int32_t recNo = 0; recNo < count; ++recNo) {
    const auto image = Filled(kRecordSize, static_cast<std::uint8_t>(recNo));
    ASSERT_EQ(std::memcmp(content.data() + static_cast<std::size_t>(recNo) * kRecordSize,
                          image.data(), kRecordSize),
              0)
        << recNo;
  }
}

// BLOB parts land as writing every part oldest first would (a later value
// may reuse blocks an earlier one held), while parts that follow each other
// on the file go out in one write.
TEST(WriteBehindLog, BlobPartsLandInOrderAndNeighboursAreJoined) {
  constexpr std::int32_t kBlock = 64;
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    CountingFile dat;
    CountingFile bdf;
    TkrBufferLogArray log(&dat, 0, 8, &bdf, kBlock);
    std::vector<std::uint8_t> expected;
    std::int32_t nextBlock = 0;
    const int values = 1 + static_cast<int>(rng() % 400);
    for (int v = 0; v < values; ++v) {
      std::vector<TkrBLOBPart> parts;
      const int partCount = 1 + static_cast<int>(rng() % 3);
      std::int32_t bytes = 0;
      for (int k = 0; k < partCount; ++k) {
        TkrBLOBPart part;
        part.BlockCount = static_cast<std::int32_t>(rng() % 6);
        if (rng() % 4 == 0 && nextBlock > 0) {
          // Blocks freed by an earlier value, written over.
          part.FirstBlock = static_cast<std::int32_t>(rng() % static_cast<unsigned>(nextBlock));
        } else {
          part.FirstBlock = nextBlock;
          nextBlock += part.BlockCount;
        }
        if (rng() % 50 == 0) part.BlockCount = 17000;  // a part bigger than one joined write
        parts.push_back(part);
        bytes += part.BlockCount * kBlock;
      }
      const auto data = Filled(static_cast<std::size_t>(bytes), static_cast<std::uint8_t>(rng()));
      std::size_t from = 0;
      for (const TkrBLOBPart& part : parts) {
        const std::size_t at = static_cast<std::size_t>(part.FirstBlock) * kBlock;
        const std::size_t n = static_cast<std::size_t>(part.BlockCount) * kBlock;
        if (expected.size() < at + n) expected.resize(at + n, 0);
        if (n > 0) std::memcpy(expected.data() + at, data.data() + from, n);
        from += n;
      }
      nextBlock = std::max(nextBlock, parts.back().FirstBlock + parts.back().BlockCount);
      log.AddBLOB(v, data.data(), bytes, parts);
    }
    log.FlushBuffers();
    ASSERT_EQ(bdf.Content(), expected) << "round " << round;
    EXPECT_LT(bdf.writes, values) << "round " << round;
  }
}

}  // namespace
}  // namespace kivo
