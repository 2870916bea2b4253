#include "engine/index_positions.h"

#include <cassert>
#include <string>

#include "platform/errors.h"

namespace kivo {

void TkrIndexPositions::CheckOrdinal(std::int32_t i, std::int32_t limit) const {
  if (i < 0 || i >= limit) {
    throw Exception("TkrIndexPositions - index out of bounds, index = " + std::to_string(i) +
                    ", count = " + std::to_string(count_));
  }
}

std::int32_t TkrIndexPositions::PrefixBefore(std::size_t block) const {
  std::int32_t sum = 0;
  for (std::size_t k = block; k > 0; k &= k - 1) sum += fenwick_[k];
  return sum;
}

void TkrIndexPositions::FenwickAdd(std::size_t block, std::int32_t delta) {
  hint_base_ = -1;
  for (std::size_t k = block + 1; k < fenwick_.size(); k += k & (~k + 1)) fenwick_[k] += delta;
}

void TkrIndexPositions::RebuildFenwick() {
  hint_base_ = -1;
  fenwick_.assign(blocks_.size() + 1, 0);
  for (std::size_t k = 1; k < fenwick_.size(); ++k) {
    fenwick_[k] += static_cast<std::int32_t>(blocks_[k - 1].size());
    const std::size_t parent = k + (k & (~k + 1));
    if (parent < fenwick_.size()) fenwick_[parent] += fenwick_[k];
  }
}

void TkrIndexPositions::Locate(std::int32_t i, std::size_t& block, std::int32_t& offset) const {
  // Walks go ordinal by ordinal: the block of the last look-up, or the one
  // after it, usually holds the next.
  if (hint_base_ >= 0) {
    const auto size = static_cast<std::int32_t>(blocks_[hint_block_].size());
    if (i >= hint_base_ && i - hint_base_ < size) {
      block = hint_block_;
      offset = i - hint_base_;
      return;
    }
    if (i == hint_base_ + size && hint_block_ + 1 < blocks_.size()) {
      hint_base_ = i;
      block = ++hint_block_;
      offset = 0;
      return;
    }
  }
  // Descend the Fenwick tree: the last block whose prefix sum is <= i.
  std::size_t pos = 0;
  std::int32_t rest = i;
  std::size_t step = 1;
  while (step * 2 < fenwick_.size()) step *= 2;
  for (; step > 0; step /= 2) {
    const std::size_t next = pos + step;
    if (next < fenwick_.size() && fenwick_[next] <= rest) {
      pos = next;
      rest -= fenwick_[next];
    }
  }
  block = pos;
  offset = rest;
  hint_block_ = pos;
  hint_base_ = i - rest;
}

std::int32_t TkrIndexPositions::Get(std::int32_t i) const {
  CheckOrdinal(i, count_);
  std::size_t b;
  std::int32_t o;
  Locate(i, b, o);
  return blocks_[b][static_cast<std::size_t>(o)];
}

void TkrIndexPositions::Set(std::int32_t i, std::int32_t value) {
  CheckOrdinal(i, count_);
  std::size_t b;
  std::int32_t o;
  Locate(i, b, o);
  blocks_[b][static_cast<std::size_t>(o)] = value;
}

void TkrIndexPositions::SetPrefix(std::int32_t i, std::uint64_t prefix) {
  CheckOrdinal(i, count_);
  if (!prefixed_) return;
  std::size_t b;
  std::int32_t o;
  Locate(i, b, o);
  prefixes_[b][static_cast<std::size_t>(o)] = prefix;
  if (o == 0) heads_[b] = prefix;
}

void TkrIndexPositions::Insert(std::int32_t i, std::int32_t value, std::uint64_t prefix) {
  CheckOrdinal(i, count_ + 1);
  if (blocks_.empty()) {
    blocks_.emplace_back();
    blocks_.back().reserve(static_cast<std::size_t>(kBlockSize));
    if (prefixed_) {
      prefixes_.emplace_back();
      heads_.push_back(kUnknownPrefix);
    }
    RebuildFenwick();
  }
  if (i == count_ && blocks_.back().size() >= 2 * static_cast<std::size_t>(kBlockSize)) {
    // Entries appended one after another fill whole blocks: a new block
    // rather than a split that would leave two half-empty ones.
    blocks_.emplace_back();
    blocks_.back().reserve(2 * static_cast<std::size_t>(kBlockSize));
    if (prefixed_) {
      prefixes_.emplace_back();
      prefixes_.back().reserve(2 * static_cast<std::size_t>(kBlockSize));
      heads_.push_back(prefix);
    }
    RebuildFenwick();
  }
  std::size_t b;
  std::int32_t o;
  if (i == count_) {
    b = blocks_.size() - 1;
    o = static_cast<std::int32_t>(blocks_[b].size());
  } else {
    Locate(i, b, o);
  }
  std::vector<std::int32_t>& block = blocks_[b];
  block.insert(block.begin() + o, value);
  if (prefixed_) {
    prefixes_[b].insert(prefixes_[b].begin() + o, prefix);
    if (o == 0) heads_[b] = prefix;
  }
  ++count_;
  if (static_cast<std::int32_t>(block.size()) > 2 * kBlockSize) {
    // Split in halves; splits are rare enough to rebuild the tree.
    std::vector<std::int32_t> upper(block.begin() + kBlockSize, block.end());
    block.resize(static_cast<std::size_t>(kBlockSize));
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b) + 1, std::move(upper));
    if (prefixed_) {
      std::vector<std::uint64_t>& lower = prefixes_[b];
      std::vector<std::uint64_t> upperPrefixes(lower.begin() + kBlockSize, lower.end());
      lower.resize(static_cast<std::size_t>(kBlockSize));
      const std::uint64_t upperHead = upperPrefixes.front();
      prefixes_.insert(prefixes_.begin() + static_cast<std::ptrdiff_t>(b) + 1,
                       std::move(upperPrefixes));
      heads_.insert(heads_.begin() + static_cast<std::ptrdiff_t>(b) + 1, upperHead);
    }
    RebuildFenwick();
  } else {
    FenwickAdd(b, 1);
  }
}

void TkrIndexPositions::Delete(std::int32_t i) {
  CheckOrdinal(i, count_);
  std::size_t b;
  std::int32_t o;
  Locate(i, b, o);
  std::vector<std::int32_t>& block = blocks_[b];
  block.erase(block.begin() + o);
  if (prefixed_) {
    prefixes_[b].erase(prefixes_[b].begin() + o);
    if (o == 0 && !block.empty()) heads_[b] = prefixes_[b].front();
  }
  --count_;
  if (block.empty()) {
    blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(b));
    if (prefixed_) {
      prefixes_.erase(prefixes_.begin() + static_cast<std::ptrdiff_t>(b));
      heads_.erase(heads_.begin() + static_cast<std::ptrdiff_t>(b));
    }
    RebuildFenwick();
  } else {
    FenwickAdd(b, -1);
  }
}

void TkrIndexPositions::Clear() {
  blocks_.clear();
  prefixes_.clear();
  heads_.clear();
  fenwick_.assign(1, 0);
  hint_base_ = -1;
  count_ = 0;
}

void TkrIndexPositions::Assign(const std::vector<std::int32_t>& values) {
  blocks_.clear();
  for (std::size_t at = 0; at < values.size(); at += static_cast<std::size_t>(kBlockSize)) {
    const std::size_t end = std::min(values.size(), at + static_cast<std::size_t>(kBlockSize));
    blocks_.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(at),
                         values.begin() + static_cast<std::ptrdiff_t>(end));
  }
  count_ = static_cast<std::int32_t>(values.size());
  ForgetPrefixes();
  RebuildFenwick();
}

void TkrIndexPositions::Append(const std::int32_t* values, const std::uint64_t* prefixes,
                               std::int32_t count) {
  // Whole blocks, as Insert fills them at the end, and the tree once.
  const auto full = 2 * static_cast<std::size_t>(kBlockSize);
  for (std::int32_t k = 0; k < count;) {
    if (blocks_.empty() || blocks_.back().size() >= full) {
      blocks_.emplace_back();
      blocks_.back().reserve(full);
      if (prefixed_) {
        prefixes_.emplace_back();
        prefixes_.back().reserve(full);
        heads_.push_back(prefixes ? prefixes[k] : kUnknownPrefix);
      }
    }
    std::vector<std::int32_t>& block = blocks_.back();
    const auto take =
        static_cast<std::int32_t>(std::min<std::size_t>(full - block.size(), count - k));
    block.insert(block.end(), values + k, values + k + take);
    if (prefixed_) {
      std::vector<std::uint64_t>& p = prefixes_.back();
      if (prefixes)
        p.insert(p.end(), prefixes + k, prefixes + k + take);
      else
        p.insert(p.end(), static_cast<std::size_t>(take), kUnknownPrefix);
    }
    k += take;
  }
  if (count > 0) {
    count_ += count;
    RebuildFenwick();
  }
}

void TkrIndexPositions::SetPrefixed(bool value) {
  prefixed_ = value;
  ForgetPrefixes();
}

void TkrIndexPositions::ForgetPrefixes() {
  prefixes_.clear();
  heads_.clear();
  if (!prefixed_) return;
  prefixes_.reserve(blocks_.size());
  for (const auto& block : blocks_) prefixes_.emplace_back(block.size(), kUnknownPrefix);
  heads_.assign(blocks_.size(), kUnknownPrefix);
}

std::vector<std::int32_t> TkrIndexPositions::ToVector() const {
  std::vector<std::int32_t> result;
  result.reserve(static_cast<std::size_t>(count_));
  ForEach([&](std::int32_t v) { result.push_back(v); });
  return result;
}

void TkrIndexPositions::CheckInvariants() const {
#ifndef NDEBUG
  std::int32_t total = 0;
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    assert(!blocks_[b].empty() && blocks_[b].size() <= 2 * static_cast<std::size_t>(kBlockSize));
    assert(PrefixBefore(b) == total);
    assert(!prefixed_ ||
           (prefixes_.size() == blocks_.size() && prefixes_[b].size() == blocks_[b].size() &&
            heads_.size() == blocks_.size() && heads_[b] == prefixes_[b][0]));
    total += static_cast<std::int32_t>(blocks_[b].size());
  }
  assert(total == count_);
  assert(hint_base_ < 0 ||
         (hint_block_ < blocks_.size() && PrefixBefore(hint_block_) == hint_base_));
#endif
}

}  // namespace kivo
