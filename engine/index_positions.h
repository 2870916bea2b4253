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
// Optionally (SetPrefixed) every entry also carries a key prefix: a number
// whose order agrees with the key order wherever two prefixes differ (and
// that is equal for equal keys). A search then compares the prefixes, which
// lie next to each other in memory, and reads an entry's record only when
// the prefixes are equal. A prefix is learnt when its entry is inserted or
// first compared (kUnknownPrefix until then), so taking a saved array reads
// no record. A key without a prefix of its own (kNoPrefix) is always
// compared in full.
//
// Invariants (CheckInvariants()):
//   1. No block is empty and none holds more than 2 * kBlockSize entries.
//   2. The Fenwick tree holds the prefix sums of the block sizes; their total
//      is Count().
//   3. When prefixed, every block has one prefix per entry, and heads_ holds
//      each block's first.
//   4. A remembered block (the look-up hint) starts at its remembered ordinal.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo {

class TkrIndexPositions {
 public:
  static constexpr std::int32_t kBlockSize = 1024;
  static constexpr std::uint64_t kUnknownPrefix = ~std::uint64_t{0};
  static constexpr std::uint64_t kNoPrefix = ~std::uint64_t{0} - 1;

  std::int32_t Count() const { return count_; }
  // REQUIRES (raises otherwise): 0 <= i < Count().
  std::int32_t Get(std::int32_t i) const;
  // The entry names another position holding a record with the same key
  // (a record moved): its prefix stays.
  void Set(std::int32_t i, std::int32_t value);
  // The key of entry `i`'s record changed without moving the entry: its new
  // prefix (nothing when not prefixed).
  void SetPrefix(std::int32_t i, std::uint64_t prefix);
  // Inserts before ordinal `i` (0 .. Count()), with the key prefix of the
  // record when prefixed.
  void Insert(std::int32_t i, std::int32_t value, std::uint64_t prefix = kUnknownPrefix);
  void Delete(std::int32_t i);
  void Clear();
  // Replaces the contents with `values`.
  void Assign(const std::vector<std::int32_t>& values);
  // Inserts `count` entries after the last one, in order; `prefixes` (one
  // per entry) may be null for kUnknownPrefix.
  void Append(const std::int32_t* values, const std::uint64_t* prefixes, std::int32_t count);
  std::vector<std::int32_t> ToVector() const;
  // Turns the prefixes on (all unknown) or off.
  void SetPrefixed(bool value);
  bool Prefixed() const { return prefixed_; }

  // The first ordinal whose entry is not `before` the searched item (Count()
  // when all are), for a `before` that is true for a prefix of the entries
  // and false for the rest. `before` gets the entry's value.
  template <typename Before>
  std::int32_t PartitionPoint(Before before) const {
    return Partition([&](std::size_t b, std::size_t k) { return before(blocks_[b][k]); });
  }

  // PartitionPoint for an item whose key prefix is `item`: entries whose
  // known prefix differs from it are placed by the prefixes alone (unless
  // either is kNoPrefix); the others go to `before`. `prefixOf(value)`
  // gives an entry's prefix when it is not known yet (it is kept). Without
  // prefixes, plain PartitionPoint.
  template <typename Before, typename PrefixOf>
  std::int32_t PartitionPoint(Before before, std::uint64_t item, PrefixOf prefixOf) const {
    if (!prefixed_) return PartitionPoint(before);
    return Partition([&](std::size_t b, std::size_t k) {
      // A block's first prefix is read from heads_, which lie together.
      std::uint64_t& known = k == 0 ? heads_[b] : prefixes_[b][k];
      if (known == kUnknownPrefix) {
        known = prefixOf(blocks_[b][k]);
        if (k == 0) prefixes_[b][0] = known;
      }
      if (known != item && known != kNoPrefix && item != kNoPrefix) return known < item;
      return before(blocks_[b][k]);
    });
  }

  // REQUIRES: Prefixed(), 0 <= i < Count(). The prefix of entry i,
  // `prefixOf(value)` when it is not known yet (it is kept).
  template <typename PrefixOf>
  std::uint64_t PrefixAt(std::int32_t i, PrefixOf prefixOf) const {
    CheckOrdinal(i, count_);
    std::size_t b;
    std::int32_t o;
    Locate(i, b, o);
    std::uint64_t& known = prefixes_[b][static_cast<std::size_t>(o)];
    if (known == kUnknownPrefix) {
      known = prefixOf(blocks_[b][static_cast<std::size_t>(o)]);
      if (o == 0) heads_[b] = known;
    }
    return known;
  }

  // Calls f(value, prefix) for every entry in order (kUnknownPrefix for
  // prefixes not known, and when not prefixed).
  template <typename F>
  void ForEachWithPrefix(F f) const {
    for (std::size_t b = 0; b < blocks_.size(); ++b)
      for (std::size_t k = 0; k < blocks_[b].size(); ++k)
        f(blocks_[b][k], prefixed_ ? prefixes_[b][k] : kUnknownPrefix);
  }

  // Gives every entry whose prefix is not known yet the prefix
  // `prefixOf(value)` (nothing when not prefixed).
  template <typename PrefixOf>
  void LearnPrefixes(PrefixOf prefixOf) const {
    if (!prefixed_) return;
    for (std::size_t b = 0; b < blocks_.size(); ++b)
      for (std::size_t k = 0; k < blocks_[b].size(); ++k)
        if (prefixes_[b][k] == kUnknownPrefix) prefixes_[b][k] = prefixOf(blocks_[b][k]);
    for (std::size_t b = 0; b < blocks_.size(); ++b) heads_[b] = prefixes_[b][0];
  }

  // Calls f(value) for every entry in order.
  template <typename F>
  void ForEach(F f) const {
    for (const auto& block : blocks_)
      for (std::int32_t v : block) f(v);
  }

  // Calls f(value) for the entries from ordinal `from` (>= 0) on, in order,
  // for as long as f returns true.
  template <typename F>
  void ForEachFrom(std::int32_t from, F f) const {
    if (from >= count_) return;
    std::size_t b;
    std::int32_t o;
    Locate(from, b, o);
    for (auto k = static_cast<std::size_t>(o); b < blocks_.size(); ++b, k = 0)
      for (; k < blocks_[b].size(); ++k)
        if (!f(blocks_[b][k])) return;
  }

  void CheckInvariants() const;

 private:
  // The search behind PartitionPoint, over `before(block, offset)`.
  template <typename EntryBefore>
  std::int32_t Partition(EntryBefore before) const {
    // Blocks whose first entry is before the item.
    std::size_t lo = 0;
    std::size_t hi = blocks_.size();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (before(mid, 0))
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo == 0) return 0;
    const std::size_t b = lo - 1;
    std::size_t a = 1;
    std::size_t e = blocks_[b].size();
    while (a < e) {
      const std::size_t mid = a + (e - a) / 2;
      if (before(b, mid))
        a = mid + 1;
      else
        e = mid;
    }
    return PrefixBefore(b) + static_cast<std::int32_t>(a);
  }
  // The block holding ordinal i and i's offset inside it.
  void Locate(std::int32_t i, std::size_t& block, std::int32_t& offset) const;
  // Entries in the blocks before `block`.
  std::int32_t PrefixBefore(std::size_t block) const;
  void FenwickAdd(std::size_t block, std::int32_t delta);
  void RebuildFenwick();
  // Every prefix unknown (none kept when not prefixed).
  void ForgetPrefixes();
  void CheckOrdinal(std::int32_t i, std::int32_t limit) const;

  std::vector<std::vector<std::int32_t>> blocks_;
  // Parallel to blocks_ when prefixed_; filled in by searches, hence mutable.
  mutable std::vector<std::vector<std::uint64_t>> prefixes_;
  // When prefixed, the first prefix of every block (heads_[b] ==
  // prefixes_[b][0]): the search over the blocks reads one array instead
  // of one allocation per step.
  mutable std::vector<std::uint64_t> heads_;
  bool prefixed_ = false;
  std::vector<std::int32_t> fenwick_;  // 1-based
  // The block the last Locate found and the ordinal of its first entry
  // (-1: none); any change of the block sizes forgets it.
  mutable std::size_t hint_block_ = 0;
  mutable std::int32_t hint_base_ = -1;
  std::int32_t count_ = 0;
};

}  // namespace kivo
