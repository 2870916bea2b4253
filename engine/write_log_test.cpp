// The write-behind log's own containers: the packed buffers and the map from
// record positions to their newest entries.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "engine/write_log.h"

namespace kivo {
namespace {

std::vector<std::uint8_t> Filled(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

TEST(LogBuffers, EveryBufferKeepsItsBytesUntilClear) {
  TkrBuffersArray buffers;
  // Small, empty, block-sized and bigger buffers mixed, enough to fill
  // several packed blocks.
  const std::size_t sizes[] = {70, 0, 1, TkrBuffersArray::kMaxPackedBytes,
                               TkrBuffersArray::kMaxPackedBytes + 1, TkrBuffersArray::kBlockBytes + 1,
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
        case 0: recNo = entry; break;
        case 1: recNo = static_cast<std::int32_t>(rng() % 64); break;
        case 2: recNo = static_cast<std::int32_t>(rng() % 64) * 1024; break;
        default: recNo = static_cast<std::int32_t>(rng()); break;
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
