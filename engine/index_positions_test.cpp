#include "engine/index_positions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/errors.h"

namespace kivo {
namespace {

// Random inserts, deletes, sets and searches against a plain vector, across
// block splits and blocks emptied entirely.
TEST(IndexPositions, BehavesLikeAFlatArray) {
  TkrIndexPositions positions;
  std::vector<std::int32_t> flat;
  std::mt19937 rng(7);
  for (int step = 0; step < 30000; ++step) {
    const unsigned dice = rng() % 10;
    const auto count = static_cast<std::int32_t>(flat.size());
    // Grow to about 6000 entries, then shrink back to nothing.
    const bool growing = step < 15000;
    if (count == 0 || (growing ? dice < 7 : dice < 2)) {
      const auto at = static_cast<std::int32_t>(rng() % (static_cast<unsigned>(count) + 1));
      const auto v = static_cast<std::int32_t>(rng());
      positions.Insert(at, v);
      flat.insert(flat.begin() + at, v);
    } else if (dice < 9) {
      // Deletes in runs, so that whole blocks go.
      auto at = static_cast<std::int32_t>(rng() % static_cast<unsigned>(count));
      for (int k = 0; k < 5 && at < static_cast<std::int32_t>(flat.size()); ++k) {
        positions.Delete(at);
        flat.erase(flat.begin() + at);
      }
    } else {
      const auto at = static_cast<std::int32_t>(rng() % static_cast<unsigned>(count));
      positions.Set(at, -step);
      flat[static_cast<std::size_t>(at)] = -step;
    }
    ASSERT_EQ(positions.Count(), static_cast<std::int32_t>(flat.size()));
    if (step % 1000 == 0) {
      positions.CheckInvariants();
      ASSERT_EQ(positions.ToVector(), flat) << step;
    }
  }
  ASSERT_EQ(positions.ToVector(), flat);
  for (std::size_t i = 0; i < flat.size(); ++i)
    ASSERT_EQ(positions.Get(static_cast<std::int32_t>(i)), flat[i]);
}

TEST(IndexPositions, PartitionPointFindsTheFirstEntryNotBefore) {
  std::vector<std::int32_t> sorted;
  for (std::int32_t v = 0; v < 5000; ++v) sorted.push_back(v / 3 * 2);  // runs of equal values
  TkrIndexPositions positions;
  positions.Assign(sorted);
  positions.CheckInvariants();
  for (std::int32_t key = -2; key <= 3400; key += 1) {
    const auto expect = static_cast<std::int32_t>(
        std::lower_bound(sorted.begin(), sorted.end(), key) - sorted.begin());
    ASSERT_EQ(positions.PartitionPoint([&](std::int32_t v) { return v < key; }), expect) << key;
  }
  TkrIndexPositions empty;
  EXPECT_EQ(empty.PartitionPoint([](std::int32_t) { return true; }), 0);
}

TEST(IndexPositions, OrdinalsOutsideTheArrayRaise) {
  TkrIndexPositions positions;
  positions.Insert(0, 5);
  EXPECT_THROW(positions.Get(1), Exception);
  EXPECT_THROW(positions.Get(-1), Exception);
  EXPECT_THROW(positions.Insert(3, 1), Exception);
  EXPECT_THROW(positions.Delete(1), Exception);
  EXPECT_EQ(positions.Get(0), 5);
}

}  // namespace
}  // namespace kivo
