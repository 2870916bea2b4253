// The record page cache of a table: TRecordsPage (one buffer of consecutive
// plain record images) and TkrRecordsArray (the slots of pages, the page map
// and the choice of pages to reuse).
//
// Two modes. Whole-table mode keeps up to 50 pages of RecordsPerPage records
// (334 for the default hint), enough for the whole table; it is switched off
// for good when the table outgrows them, when the table is bigger than a third
// of the available physical memory, or when the cache is disabled. Then every
// page holds one record and 25 pages are kept.
//
// The cache is never the only copy of a record: every write also goes to the
// write-behind log, so a page can be dropped at any time and loaded again
// through its TkrRecordSource (log first, then file).
//
// Invariants (CheckInvariants()):
//   1. The page map holds exactly the slots whose page has PageNo != -1, and
//      maps each such PageNo to its slot.
//   2. A mapped page p has StartRecNo = p * RecordsPerPage and holds
//      min(RecordsPerPage, TableCount - StartRecNo) records (at least 0).
//   3. LastPage is -1 or the slot of page (TableCount - 1) div RecordsPerPage
//      (page 0 for an empty table).
//   4. Locked pages are mapped; LockCount >= 0.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/int_array.h"

namespace kivo {

// Where the cache gets records from.
class TkrRecordSource {
 public:
  virtual ~TkrRecordSource() = default;
  // The table's current record count.
  virtual std::int32_t TableRecordCount() const = 0;
  // Fills `dest` with the plain images of positions first .. first+count-1.
  virtual void ReadRecordImages(std::int32_t first, std::int32_t count, std::uint8_t* dest) = 0;
};

class TRecordsPage {
 public:
  // Raises "TRecordsPage.SetMaxRecordCount - Unable to realloc memory." when
  // the buffer cannot be allocated.
  TRecordsPage(std::int32_t maxRecordCount, std::int32_t recordSize);

  std::int32_t MaxRecordCount() const { return max_record_count_; }
  std::int32_t StartRecNo() const { return start_rec_no_; }
  std::int32_t RecordCount() const { return record_count_; }
  std::int32_t PageNo() const { return page_no_; }
  std::int32_t AccessCount() const { return access_count_; }
  std::uint32_t LastAccess() const { return last_access_; }
  std::int32_t LockCount() const { return lock_count_; }
  bool Full() const { return record_count_ >= max_record_count_; }

  void Reset(std::int32_t pageNo, std::int32_t startRecNo, std::uint32_t now);
  void MarkFree() {
    page_no_ = -1;
    record_count_ = 0;
  }
  void Touch(std::uint32_t now) {
    ++access_count_;
    last_access_ = now;
  }
  void Lock() { ++lock_count_; }
  void Unlock() {
    if (lock_count_ > 0) --lock_count_;
  }

  // Loads `count` records starting at StartRecNo. Raises "TRecordsPage.ReadRecords
  // - Cannot read so many records." when count exceeds MaxRecordCount.
  void ReadRecords(TkrRecordSource& source, std::int32_t count);
  // Raises "TRecordsPage.GetRecordPtr - Cannot find record" for a position
  // the page does not hold.
  std::uint8_t* GetRecordPtr(std::int32_t recNo);
  bool Holds(std::int32_t recNo) const {
    return recNo >= start_rec_no_ && recNo - start_rec_no_ < record_count_;
  }
  // Raises "TRecordsPage.AppendRecord - Page overflow." when full.
  void AppendRecord(const void* image);
  // Raises "TRecordsPage.DeleteLastRecord - Page is already empty.".
  void DeleteLastRecord();

 private:
  std::int32_t max_record_count_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::int32_t record_size_;
  std::int32_t start_rec_no_ = 0;
  std::int32_t record_count_ = 0;
  std::int32_t page_no_ = -1;
  std::int32_t access_count_ = 0;
  std::uint32_t last_access_ = 0;
  std::int32_t lock_count_ = 0;
};

class TkrRecordsArray {
 public:
  static constexpr std::int32_t kWholeTableSlots = 50;
  static constexpr std::int32_t kRecordPerPageSlots = 25;
  // Pages of whole-table mode are kept below this many bytes; tables with
  // bigger records get fewer records per page.
  static constexpr std::int64_t kMaxPageBytes = 64 << 20;

  // `recordsPerPageHint` -1 means 1000 records per page, otherwise hint div 3 + 1.
  TkrRecordsArray(TkrRecordSource& source, std::int32_t recordSize, std::int32_t recordsPerPageHint,
                  bool cacheDisabled);

  // The plain image of record `recNo`, valid until the next cache operation
  // unless its page is locked. Raises "TRecordsPage.GetRecordPtr - Cannot
  // find record" for a position outside 0 .. TableCount-1.
  std::uint8_t* GetRecordPtr(std::int32_t recNo);
  // Adds `image` as the record at position TableCount (call before the
  // table's count grows).
  void AppendRecord(const void* image);
  // Cache side of `count` records written past the cache straight to the
  // source (call before the table's count grows): the page that held the
  // old last record takes what fits of `images`; later pages are loaded
  // from the source when read.
  void RecordsAppended(const std::uint8_t* images, std::int32_t count);
  // Cache side of a delete, called after the table's count was decremented:
  // when recNo was not the old last record, `lastImage` (the old last
  // record) replaces it in the cache; the old last record leaves its page.
  void DeleteRecord(std::int32_t recNo, const void* lastImage);
  // Raise "TkrRecordsArray.LockRecordPage - Page is already unloaded." /
  // "TkrRecordsArray.UnlockRecordPage - Page is already unloaded." when the
  // record's page is not in the map (Lock loads it first).
  void LockRecordPage(std::int32_t recNo);
  void UnlockRecordPage(std::int32_t recNo);

  // In whole-table mode, regroups the cache into pages large enough for
  // `count` records (twice that, so that a growing table regroups rarely);
  // the records are read again when next used. Nothing happens when the
  // pages hold that many already or a page is locked; when memory is short
  // the cache leaves whole-table mode, as for any table that outgrows it.
  void ReserveWholeTable(std::int32_t count);

  bool WholeTableMode() const { return whole_table_mode_; }
  bool CacheDisabled() const { return cache_disabled_; }
  std::int32_t RecordsPerPage() const { return records_per_page_; }
  std::int32_t PageSlotCount() const { return page_slot_count_; }
  // How many record images the loaded pages hold.
  std::int32_t CachedRecordCount() const;
  // The millisecond tick source of page access times (GetTickCount by default).
  void SetTickSource(std::function<std::uint32_t()> ticks) { ticks_ = std::move(ticks); }

  void CheckInvariants() const;

 private:
  void Configure();
  void ReconfigureIfNeeded();
  void EnsureLastPage();
  std::int32_t GetPageToUse(std::int32_t pageNo);
  std::int32_t LoadPage(std::int32_t pageNo);
  std::int32_t RecordsInPage(std::int32_t pageNo) const;
  bool AnyPageLocked() const;
  // The access time to give a page: the clock's, except in whole-table
  // mode, where no page is ever chosen for reuse by its age.
  std::uint32_t AccessTime(const TRecordsPage& page) const {
    return whole_table_mode_ ? page.LastAccess() : ticks_();
  }
  TRecordsPage* SlotPage(std::int32_t slot) { return slots_[static_cast<std::size_t>(slot)].get(); }

  TkrRecordSource& source_;
  std::int32_t record_size_;
  std::int32_t records_per_page_hint_;
  std::vector<std::unique_ptr<TRecordsPage>> slots_;
  std::int32_t page_slot_count_ = 0;
  std::int32_t records_per_page_ = 1;
  std::int32_t last_page_ = -1;
  bool need_reconfigure_ = false;
  bool whole_table_mode_ = true;
  bool cache_disabled_;
  TkrSortedIntArray page_map_;  // page number -> slot
  std::function<std::uint32_t()> ticks_;
};

}  // namespace kivo
