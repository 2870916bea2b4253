#include "engine/record_indexer.h"

#include <algorithm>
#include <cassert>
#include <numeric>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace kivo {

TkrIdentifierIndex::TkrIdentifierIndex(const TkrRecordLayout& layout,
                                       std::function<std::int32_t()> recordCount,
                                       std::function<const std::uint8_t*(std::int32_t)> recordAt)
    : layout_(layout), record_count_(std::move(recordCount)), record_at_(std::move(recordAt)) {}

void TkrIdentifierIndex::TableOpened(std::int32_t) {
  built_ = false;
  positions_.SetCount(0);
}

void TkrIdentifierIndex::Build() {
  if (built_) return;
  const std::int32_t count = record_count_();
  // Read every identifier once, then sort positions by them: the cache is
  // not asked for records while the sort compares.
  std::vector<std::uint32_t> ids(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) ids[static_cast<std::size_t>(i)] = IdAt(i);
  positions_.FillIdentity(count);
  std::int32_t* p = positions_.Data();
  std::stable_sort(p, p + count, [&](std::int32_t a, std::int32_t b) {
    return ids[static_cast<std::size_t>(a)] < ids[static_cast<std::size_t>(b)];
  });
  built_ = true;
}

void TkrIdentifierIndex::BeforeRecordChange(std::int32_t recordCount) {
  if (recordCount > 10) Build();
}

std::int32_t TkrIdentifierIndex::SearchPosition(std::uint32_t id, std::int32_t count) {
  std::int32_t lo = 0;
  std::int32_t hi = count;
  while (lo < hi) {
    std::int32_t mid = lo + (hi - lo) / 2;
    std::uint32_t probe = IdAt(positions_.Get(mid));
    if (probe == id) return mid;
    if (probe < id) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

std::int32_t TkrIdentifierIndex::FindRecordInIndex(std::int32_t recPos, std::int32_t count) {
  if (count < 0 || count > positions_.Count()) count = positions_.Count();
  if (count == 0) return -1;
  std::int32_t m = SearchPosition(IdAt(recPos), count);
  if (m < count && positions_.Get(m) == recPos) return m;
  // Equal identifiers have no order among themselves: look around, nearest
  // first, left before right.
  for (std::int32_t d = 1; m - d >= 0 || m + d < count; ++d) {
    if (m - d >= 0 && positions_.Get(m - d) == recPos) return m - d;
    if (m + d < count && positions_.Get(m + d) == recPos) return m + d;
  }
  return -1;
}

std::int32_t TkrIdentifierIndex::RecordInserted(std::int32_t pos, std::int32_t currentIndex,
                                                bool maintainAll) {
  const bool current = currentIndex == 0;
  if (!built_ || !(current || maintainAll)) {
    built_ = false;
    if (!current) return 0;
    Build();  // sorts the new record in with the others
    return FindRecordInIndex(pos);
  }
  // Identifiers usually grow with every insert: a new record above the
  // greatest identifier goes to the end without a search, which would read
  // records all over the table through the cache.
  const std::uint32_t id = IdAt(pos);
  const std::int32_t count = positions_.Count();
  std::int32_t at;
  if (count > 0 && IdAt(positions_.Get(count - 1)) < id) at = count;
  else at = SearchPosition(id, count);
  positions_.Insert(at, pos);
  return current ? at : 0;
}

std::int32_t TkrIdentifierIndex::RecordUpdating(const std::uint8_t* oldImage,
                                                const std::uint8_t* newImage, std::int32_t pos,
                                                std::int32_t currentIndex, bool maintainAll) {
  const bool current = currentIndex == 0;
  const std::uint32_t oldId = GetRecordId(layout_, oldImage);
  const std::uint32_t newId = GetRecordId(layout_, newImage);
  if (current) Build();
  if (!built_ || !(current || maintainAll)) {
    // Not kept in step: sorted again when next needed.
    built_ = false;
    return 0;
  }
  if (oldId == newId) return current ? FindRecordInIndex(pos) : 0;
  std::int32_t o = FindRecordInIndex(pos);
  if (o < 0) {
    built_ = false;
    return 0;
  }
  std::int32_t n = SearchPosition(newId, positions_.Count());
  positions_.Move(o, n);
  // Where the entry ends up: a move upwards lands just before the entry that
  // was at n, i.e. at n - 1 once the entry has left o.
  std::int32_t landed = n > o + 1 ? n - 1 : (n == o + 1 ? o : n);
  return current ? landed : 0;
}

std::int32_t TkrIdentifierIndex::RecordDeleting(std::int32_t pos, std::int32_t countBefore,
                                                std::int32_t currentIndex, bool maintainAll) {
  const bool current = currentIndex == 0;
  if (current) Build();
  if (!built_ || !(current || maintainAll)) {
    built_ = false;
    positions_.SetCount(0);
    return 0;
  }
  std::int32_t o = FindRecordInIndex(pos, countBefore);
  if (o < 0) {
    throw Exception("TKivoDataManager.krDeleteRecord - invalid record Number, recPos = " +
                    std::to_string(pos));
  }
  std::int32_t q = 0;
  if (pos < countBefore - 1) {
    q = FindRecordInIndex(countBefore - 1, countBefore);
    if (q < 0) {
      throw Exception("TKivoDataManager.krDeleteRecord - invalid record Number, last = " +
                      std::to_string(countBefore - 1));
    }
    positions_.Set(q, pos);
  }
  positions_.Delete(o);
  return current ? q : 0;
}

void TkrIdentifierIndex::CheckInvariants() {
#ifndef NDEBUG
  positions_.CheckInvariants();
  if (!built_) return;
  const std::int32_t count = record_count_();
  assert(positions_.Count() == count);
  std::vector<bool> seen(static_cast<std::size_t>(count), false);
  for (std::int32_t i = 0; i < count; ++i) {
    std::int32_t p = positions_.Get(i);
    assert(p >= 0 && p < count && !seen[static_cast<std::size_t>(p)]);
    seen[static_cast<std::size_t>(p)] = true;
    if (i > 0) assert(IdAt(positions_.Get(i - 1)) <= IdAt(p));
  }
#endif
}

}  // namespace kivo
