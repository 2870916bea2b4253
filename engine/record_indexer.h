// What the record operations (insert, update, delete) need from a table's
// indexes (TkrTableIndexes in engine/table_indexes.h). The record operations
// call the indexer before they change the table's count, so that records are
// still where the indexes expect them.
#pragma once

#include <cstdint>

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
  // Records first .. first+count-1 were appended at once (the table's count
  // includes them); `images` holds their plain images, one after another.
  // Unlike RecordInserted no position is wanted back. The default inserts
  // them one by one.
  virtual void RecordsAppended(std::int32_t first, std::int32_t count,
                               const std::uint8_t* /*images*/, bool maintainAll) {
    for (std::int32_t k = 0; k < count; ++k) RecordInserted(first + k, -1, maintainAll);
  }
  // Record `pos` is about to change from `oldImage` (still what the cache
  // holds) to `newImage`. Returns its new position within `currentIndex`.
  // `currentOrdinal` is the caller's guess of the record's place in
  // `currentIndex` (-1 for none); a right guess spares a search.
  virtual std::int32_t RecordUpdating(const std::uint8_t* oldImage, const std::uint8_t* newImage,
                                      std::int32_t pos, std::int32_t currentIndex, bool maintainAll,
                                      std::int32_t currentOrdinal) = 0;
  // Record `pos` of a table of `countBefore` records is about to be deleted
  // and the last record moved into `pos`. Returns the moved record's position
  // within `currentIndex` before the delete, or 0 when nothing moves.
  // `currentOrdinal` is the deleted record's ordinal within `currentIndex`
  // when the caller knows it (checked before use), else -1.
  virtual std::int32_t RecordDeleting(std::int32_t pos, std::int32_t countBefore,
                                      std::int32_t currentIndex, bool maintainAll,
                                      std::int32_t currentOrdinal) = 0;
};

}  // namespace kivo
