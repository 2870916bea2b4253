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
    // Look-ups one after another (the remembered block, and the one after
    // it) must see every change.
    if (!flat.empty()) {
      const auto at = static_cast<std::int32_t>(rng() % flat.size());
      const auto end = std::min<std::int32_t>(at + 3, static_cast<std::int32_t>(flat.size()));
      for (std::int32_t i = at; i < end; ++i) {
        ASSERT_EQ(positions.Get(i), flat[static_cast<std::size_t>(i)]) << step;
      }
    }
    if (step % 1000 == 0) {
      positions.CheckInvariants();
      ASSERT_EQ(positions.ToVector(), flat) << step;
      for (std::size_t i = 0; i < flat.size(); ++i)
        ASSERT_EQ(positions.Get(static_cast<std::int32_t>(i)), flat[i]) << step;
      // A walk from an ordinal, stopped after a while.
      const auto from = static_cast<std::int32_t>(rng() % (flat.size() + 1));
      std::vector<std::int32_t> walked;
      positions.ForEachFrom(from, [&](std::int32_t v) {
        walked.push_back(v);
        return walked.size() < 2500;
      });
      const std::size_t end = std::min(flat.size(), static_cast<std::size_t>(from) + 2500);
      ASSERT_EQ(walked, std::vector<std::int32_t>(flat.begin() + from, flat.begin() + end)) << step;
    }
  }
  ASSERT_EQ(positions.ToVector(), flat);
  for (std::size_t i = 0; i < flat.size(); ++i)
    ASSERT_EQ(positions.Get(static_cast<std::int32_t>(i)), flat[i]);
}

// Runs appended at once, single appends that fill whole blocks, and
// changes in between: the same as a flat array, with the prefixes given.
TEST(IndexPositions, AppendedRunsKeepOrderPrefixesAndInvariants) {
  TkrIndexPositions positions;
  positions.SetPrefixed(true);
  std::vector<std::int32_t> flat;
  std::vector<std::uint64_t> prefixes;  // kUnknownPrefix where none was given
  std::mt19937 rng(11);
  std::int32_t next = 0;
  for (int round = 0; round < 60; ++round) {
    const unsigned dice = rng() % 4;
    if (dice == 0) {
      // A run of up to three blocks, with or without prefixes.
      const auto n = static_cast<std::int32_t>(rng() % 5000);
      const bool given = rng() % 2 == 0;
      std::vector<std::int32_t> values;
      std::vector<std::uint64_t> runPrefixes;
      for (std::int32_t k = 0; k < n; ++k) {
        values.push_back(next);
        runPrefixes.push_back(static_cast<std::uint64_t>(next) * 3);
        ++next;
      }
      positions.Append(values.data(), given ? runPrefixes.data() : nullptr, n);
      flat.insert(flat.end(), values.begin(), values.end());
      for (std::int32_t k = 0; k < n; ++k)
        prefixes.push_back(given ? runPrefixes[static_cast<std::size_t>(k)]
                                 : TkrIndexPositions::kUnknownPrefix);
    } else if (dice == 1) {
      // One at a time at the end, past a whole block.
      for (int k = 0; k < 2500; ++k) {
        positions.Insert(positions.Count(), next, static_cast<std::uint64_t>(next) * 3);
        flat.push_back(next);
        prefixes.push_back(static_cast<std::uint64_t>(next) * 3);
        ++next;
      }
    } else if (dice == 2 && !flat.empty()) {
      const auto at = static_cast<std::int32_t>(rng() % flat.size());
      positions.Insert(at, -round, 7);
      flat.insert(flat.begin() + at, -round);
      prefixes.insert(prefixes.begin() + at, 7);
    } else if (!flat.empty()) {
      const auto at = static_cast<std::int32_t>(rng() % flat.size());
      positions.Delete(at);
      flat.erase(flat.begin() + at);
      prefixes.erase(prefixes.begin() + at);
    }
    positions.CheckInvariants();
    ASSERT_EQ(positions.Count(), static_cast<std::int32_t>(flat.size())) << round;
  }
  ASSERT_EQ(positions.ToVector(), flat);
  // A given prefix is answered without asking; an unknown one is learnt.
  for (std::size_t i = 0; i < flat.size(); i += 97) {
    bool asked = false;
    const std::uint64_t p = positions.PrefixAt(static_cast<std::int32_t>(i), [&](std::int32_t) {
      asked = true;
      return std::uint64_t{5};
    });
    const bool known = prefixes[i] != TkrIndexPositions::kUnknownPrefix;
    EXPECT_EQ(asked, !known) << i;
    EXPECT_EQ(p, known ? prefixes[i] : 5u) << i;
  }
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

// With prefixes, a search gives what the full comparison gives, reads an
// entry only when its prefix does not decide, and learns each prefix once;
// the prefixes follow their entries through inserts, deletes and splits.
TEST(IndexPositions, PrefixesDecideWhereTheyDifferAndAreLearntOnce) {
  // Entry v has key v / 10 (runs of ten) and prefix key / 4 (coarser: the
  // prefix often ties, and then the full comparison decides).
  auto key = [](std::int32_t v) { return v / 10; };
  auto prefixOfKey = [](std::int32_t k) { return static_cast<std::uint64_t>(k / 4); };
  std::vector<std::int32_t> sorted;
  for (std::int32_t v = 0; v < 6000; ++v) sorted.push_back(v);
  TkrIndexPositions positions;
  positions.SetPrefixed(true);
  positions.Assign(sorted);
  int learnt = 0;
  auto prefixOf = [&](std::int32_t v) {
    ++learnt;
    return prefixOfKey(key(v));
  };
  for (std::int32_t k = -1; k <= 601; ++k) {
    int fullCompares = 0;
    const std::int32_t at = positions.PartitionPoint(
        [&](std::int32_t v) {
          ++fullCompares;
          return key(v) < k;
        },
        k < 0 ? 0 : prefixOfKey(k), prefixOf);
    ASSERT_EQ(at, k < 0 ? 0 : std::min(k * 10, 6000)) << k;
    // Entries with another prefix never reach the full comparison.
    ASSERT_LE(fullCompares, 8) << k;
  }
  EXPECT_LE(learnt, 6000);
  const int afterSearches = learnt;
  positions.PartitionPoint([&](std::int32_t v) { return key(v) < 300; }, prefixOfKey(300),
                           prefixOf);
  EXPECT_EQ(learnt, afterSearches) << "known prefixes are read again";

  // Inserts with their prefixes, deletes and a split keep prefixes with
  // their entries.
  std::mt19937 rng(3);
  for (int step = 0; step < 4000; ++step) {
    const auto v = static_cast<std::int32_t>(rng() % 6000);
    const std::int32_t at = positions.PartitionPoint(
        [&](std::int32_t e) { return key(e) < key(v); }, prefixOfKey(key(v)), prefixOf);
    positions.Insert(at, v, prefixOfKey(key(v)));
    if (step % 3 == 0) {
      positions.Delete(static_cast<std::int32_t>(rng() % static_cast<unsigned>(positions.Count())));
    }
  }
  positions.CheckInvariants();
  std::int32_t previous = -1;
  positions.ForEachWithPrefix([&](std::int32_t v, std::uint64_t prefix) {
    EXPECT_GE(key(v), previous);
    previous = key(v);
    if (prefix != TkrIndexPositions::kUnknownPrefix) {
      EXPECT_EQ(prefix, prefixOfKey(key(v)));
    }
  });
  // Searches after all that agree with a count over the entries.
  const std::vector<std::int32_t> now = positions.ToVector();
  for (std::int32_t k = 0; k <= 600; k += 7) {
    const auto expect = static_cast<std::int32_t>(
        std::count_if(now.begin(), now.end(), [&](std::int32_t v) { return key(v) < k; }));
    ASSERT_EQ(positions.PartitionPoint([&](std::int32_t v) { return key(v) < k; }, prefixOfKey(k),
                                       prefixOf),
              expect)
        << k;
  }
}

// Deleting and inserting at the front of blocks changes the first prefixes
// that the search over the blocks reads.
TEST(IndexPositions, SearchesFollowChangesAtTheFrontOfBlocks) {
  std::vector<std::int32_t> sorted;
  for (std::int32_t v = 0; v < 6000; ++v) sorted.push_back(v * 2);
  TkrIndexPositions positions;
  positions.SetPrefixed(true);
  positions.Assign(sorted);
  auto prefixOf = [](std::int32_t v) { return static_cast<std::uint64_t>(v); };
  positions.LearnPrefixes(prefixOf);
  auto search = [&](std::int32_t item) {
    return positions.PartitionPoint([&](std::int32_t v) { return v < item; },
                                    static_cast<std::uint64_t>(item), prefixOf);
  };
  std::vector<std::int32_t> model = sorted;
  auto check = [&] {
    positions.CheckInvariants();
    for (std::int32_t item = 0; item <= 12001; ++item) {
      const auto expect = static_cast<std::int32_t>(
          std::lower_bound(model.begin(), model.end(), item) - model.begin());
      ASSERT_EQ(search(item), expect) << item;
    }
  };
  // The first entry of every block goes; then odd values go in front of
  // what are now the blocks' first entries.
  for (std::int32_t at = 5 * TkrIndexPositions::kBlockSize; at >= 0;
       at -= TkrIndexPositions::kBlockSize) {
    positions.Delete(at);
    model.erase(model.begin() + at);
  }
  ASSERT_NO_FATAL_FAILURE(check());
  for (std::int32_t at = 5 * (TkrIndexPositions::kBlockSize - 1); at >= 0;
       at -= TkrIndexPositions::kBlockSize - 1) {
    const std::int32_t v = model[static_cast<std::size_t>(at)] - 1;
    positions.Insert(at, v, prefixOf(v));
    model.insert(model.begin() + at, v);
    positions.SetPrefix(at, prefixOf(v));
  }
  ASSERT_NO_FATAL_FAILURE(check());
}

// Keys without a prefix of their own are compared in full, as items and as
// entries, and never misplace a search.
TEST(IndexPositions, KeysWithoutPrefixAreComparedInFull) {
  auto key = [](std::int32_t v) { return v / 3; };
  auto prefixOfKey = [](std::int32_t k) {
    return k % 5 == 0 ? TkrIndexPositions::kNoPrefix : static_cast<std::uint64_t>(k);
  };
  TkrIndexPositions positions;
  positions.SetPrefixed(true);
  std::vector<std::int32_t> sorted;
  for (std::int32_t v = 0; v < 3000; ++v) sorted.push_back(v);
  positions.Assign(sorted);
  auto prefixOf = [&](std::int32_t v) { return prefixOfKey(key(v)); };
  for (std::int32_t k = 0; k <= 1000; ++k) {
    int fullCompares = 0;
    const std::int32_t at = positions.PartitionPoint(
        [&](std::int32_t v) {
          ++fullCompares;
          return key(v) < k;
        },
        prefixOfKey(k), prefixOf);
    ASSERT_EQ(at, std::min(k * 3, 3000)) << k;
    if (k % 5 == 0 && k > 0) {
      EXPECT_GE(fullCompares, 10) << "an item without a prefix goes by the full comparison";
    }
  }
}

}  // namespace
}  // namespace kivo
