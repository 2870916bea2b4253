// What the record operations (insert, update, delete) need from a table's
// indexes, and the identifier index that keeps its array of record positions
// in step with them.
//
// Every table has the identifier index as index 0: the record positions
// ordered by the 32-bit record identifier, compared unsigned. The record
// operations call the indexer before they change the table's count, so that
// records are still where the index expects them.
//
// Invariants of TkrIdentifierIndex (CheckInvariants(), while built):
//   1. Positions holds every position 0 .. RecordCount-1 exactly once.
//   2. The identifiers of the records at Positions[0], Positions[1], ... do
//      not decrease (compared unsigned).
#pragma once

#include <cstdint>
#include <functional>

#include "engine/int_array.h"
#include "engine/record_image.h"

namespace kivo {

class TkrRecordIndexer {
 public:
  virtual ~TkrRecordIndexer() = default;

  // The table was (re)opened with `recordCount` records: every array is to
  // be rebuilt before it is used.
  virtual void TableOpened(std::int32_t recordCount) = 0;
  // Before every insert, update and delete: when the table has more than 10
  // records, build every index that is not built.
  virtual void BeforeRecordChange(std::int32_t recordCount) = 0;
  // Record `pos` was appended (the table's count includes it). Returns its
  // position within index `currentIndex`.
  virtual std::int32_t RecordInserted(std::int32_t pos, std::int32_t currentIndex,
                                      bool maintainAll) = 0;
  // Record `pos` is about to change from `oldImage` (still what the cache
  // holds) to `newImage`. Returns its new position within `currentIndex`.
  virtual std::int32_t RecordUpdating(const std::uint8_t* oldImage, const std::uint8_t* newImage,
                                      std::int32_t pos, std::int32_t currentIndex,
                                      bool maintainAll) = 0;
  // Record `pos` of a table of `countBefore` records is about to be deleted
  // and the last record moved into `pos`. Returns the moved record's position
  // within `currentIndex` before the delete, or 0 when nothing moves.
  virtual std::int32_t RecordDeleting(std::int32_t pos, std::int32_t countBefore,
                                      std::int32_t currentIndex, bool maintainAll) = 0;
};

// The identifier index (index 0) alone.
class TkrIdentifierIndex : public TkrRecordIndexer {
 public:
  // `recordCount` and `recordAt` give the table's count and the plain image of
  // a record (through the page cache).
  TkrIdentifierIndex(const TkrRecordLayout& layout, std::function<std::int32_t()> recordCount,
                     std::function<const std::uint8_t*(std::int32_t)> recordAt);

  void TableOpened(std::int32_t recordCount) override;
  void BeforeRecordChange(std::int32_t recordCount) override;
  std::int32_t RecordInserted(std::int32_t pos, std::int32_t currentIndex,
                              bool maintainAll) override;
  std::int32_t RecordUpdating(const std::uint8_t* oldImage, const std::uint8_t* newImage,
                              std::int32_t pos, std::int32_t currentIndex,
                              bool maintainAll) override;
  std::int32_t RecordDeleting(std::int32_t pos, std::int32_t countBefore,
                              std::int32_t currentIndex, bool maintainAll) override;

  bool Built() const { return built_; }
  // Sorts the positions by identifier unless built.
  void Build();
  const TkrIntArray& Positions() const { return positions_; }
  // The position within the index of the entry for record `recPos` among the
  // first `count` entries (-1: all), or -1 when absent.
  std::int32_t FindRecordInIndex(std::int32_t recPos, std::int32_t count = -1);
  // The position of an entry with identifier `id`, else the first position
  // whose identifier is greater (`count` when none), among `count` entries.
  std::int32_t SearchPosition(std::uint32_t id, std::int32_t count);

  void CheckInvariants();

 private:
  std::uint32_t IdAt(std::int32_t recPos) { return GetRecordId(layout_, record_at_(recPos)); }

  const TkrRecordLayout& layout_;
  std::function<std::int32_t()> record_count_;
  std::function<const std::uint8_t*(std::int32_t)> record_at_;
  TkrIntArray positions_{0, 10000, 1000};
  bool built_ = false;
};

}  // namespace kivo
