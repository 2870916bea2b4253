// The record positions of one index in key order, addressable by ordinal.
//
// A flat array would shift on average half of its entries on every insert
// and delete; at a million records that dominates everything else. The
// positions are kept instead in blocks of at most 2 * kBlockSize entries, in
// order, with a Fenwick tree over the block sizes, so that an ordinal is
// found in O(log blocks) and an insert or delete shifts one block only.
// Searches go first over the blocks by their first entries, then inside one
// block, so a key search costs the same comparisons as on a flat array.
//
// Invariants (CheckInvariants()):
//   1. No block is empty and none holds more than 2 * kBlockSize entries.
//   2. The Fenwick tree holds the prefix sums of the block sizes; their total
//      is Count().
#pragma once

#include <cstdint>
#include <vector>

namespace kivo {

class TkrIndexPositions {
 public:
  static constexpr std::int32_t kBlockSize = 1024;

  std::int32_t Count() const { return count_; }
  // REQUIRES (raises otherwise): 0 <= i < Count().
  std::int32_t Get(std::int32_t i) const;
  void Set(std::int32_t i, std::int32_t value);
  // Inserts before ordinal `i` (0 .. Count()).
  void Insert(std::int32_t i, std::int32_t value);
  void Delete(std::int32_t i);
  void Clear();
  // Replaces the contents with `values`.
  void Assign(const std::vector<std::int32_t>& values);
  std::vector<std::int32_t> ToVector() const;

  // The first ordinal whose entry is not `before` the searched item (Count()
  // when all are), for a `before` that is true for a prefix of the entries
  // and false for the rest. `before` gets the entry's value.
  template <typename Before>
  std::int32_t PartitionPoint(Before before) const {
    // Blocks whose first entry is before the item.
    std::size_t lo = 0;
    std::size_t hi = blocks_.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (before(blocks_[mid].front())) lo = mid + 1;
      else hi = mid;
    }
    if (lo == 0) return 0;
    const std::vector<std::int32_t>& block = blocks_[lo - 1];
    std::size_t a = 1;
    std::size_t b = block.size();
    while (a < b) {
      const std::size_t mid = a + (b - a) / 2;
      if (before(block[mid])) a = mid + 1;
      else b = mid;
    }
    return PrefixBefore(lo - 1) + static_cast<std::int32_t>(a);
  }

  // Calls f(value) for every entry in order.
  template <typename F>
  void ForEach(F f) const {
    for (const auto& block : blocks_)
      for (std::int32_t v : block) f(v);
  }

  void CheckInvariants() const;

 private:
  // The block holding ordinal i and i's offset inside it.
  void Locate(std::int32_t i, std::size_t& block, std::int32_t& offset) const;
  // Entries in the blocks before `block`.
  std::int32_t PrefixBefore(std::size_t block) const;
  void FenwickAdd(std::size_t block, std::int32_t delta);
  void RebuildFenwick();
  void CheckOrdinal(std::int32_t i, std::int32_t limit) const;

  std::vector<std::vector<std::int32_t>> blocks_;
  std::vector<std::int32_t> fenwick_;  // 1-based
  std::int32_t count_ = 0;
};

}  // namespace kivo
