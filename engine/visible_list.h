// The records a data set shows: the positions of the table's records that
// pass the data set's restrictions (master link, filter text, key range,
// filter expression, distinct fields, first row and row limit), in the
// order of its current index, and the data set's place in that list.
//
// The list is built set-wise from the current index (Rebuild) and patched
// in place after the data set's own inserts, updates and deletes, so that
// after every change it equals what a rebuild would give. Other data sets
// and the SQL processor change the table behind its back; the table's
// ChangeCount tells, and EnsureCurrent rebuilds before the list is read.
//
// Positions are kept in the blocked array the indexes use: inserting or
// deleting an entry shifts one block, not the whole list, so deleting many
// records one by one stays linear.
//
// Invariants (CheckInvariants()):
//   1. The entries are distinct record positions below RecordCount, in
//      strictly ascending (key, identifier) order of the current index; when
//      the order is reversed, every key field's direction is turned round
//      and ties keep ascending identifiers.
//   2. -1 <= Current() <= Count().
//   3. Unless a change came from elsewhere (ChangeCount moved), the list
//      equals a fresh rebuild.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/bits_array.h"
#include "engine/index_positions.h"
#include "engine/record_filter.h"
#include "engine/search_parser.h"
#include "engine/table_search.h"

namespace kivo {

class TKivoDataManager;
class TkrIndexKey;

// A key range: both ends inclusive, over the first KeyFieldCount key fields
// of the current index, the key values held in record images.
struct TkrKeyRange {
  std::vector<std::uint8_t> Start;
  std::int32_t StartFieldCount = 0;
  std::vector<std::uint8_t> End;
  std::int32_t EndFieldCount = 0;
};

class TkrVisibleList {
 public:
  // Asked, when set, whether the data set's own filter event accepts a
  // record image (made current for the handler by the data set).
  using TFilterRecordEvent = std::function<bool(const std::uint8_t* record)>;

  // REQUIRES: `m` is open, and it and `search` outlive the list.
  TkrVisibleList(TKivoDataManager& m, TkrTableSearch& search);

  // ---- The list and the data set's place in it.
  std::int32_t Count() const { return positions_.Count(); }
  // REQUIRES: 0 <= i < Count().
  std::int32_t RecordAt(std::int32_t i) const { return positions_.Get(i); }
  // -1 before the first entry, Count() after the last.
  std::int32_t Current() const { return current_; }
  // Also remembers the current record's identifier, by which a rebuild
  // finds it again.
  void SetCurrent(std::int32_t value);
  // The same when the caller knows the record's identifier.
  void SetCurrent(std::int32_t value, std::int32_t id) {
    current_ = value;
    current_id_ = id;
  }
  bool CurrentValid() const { return current_ >= 0 && current_ < Count(); }
  // The identifier of the current record (-1 for none), as remembered when
  // it became current.
  std::int32_t CurrentId() const { return current_id_; }
  std::int32_t ChangeCountSeen() const { return change_count_seen_; }
  // Set by the list's own patches; the filter search reads and clears it.
  bool ListChanged() const { return list_changed_; }
  void ClearListChanged() { list_changed_ = false; }

  // ---- The order. The index is held by name: when another data set drops
  // an index with a lower number, the list keeps its order; when the index
  // itself goes, the list falls back to the identifier order.
  std::int32_t CurrentIndex();
  // REQUIRES: 0 <= indexNo < IndexCount(). With `reversed` the list shows
  // the records as an index on the same fields with every direction turned
  // round would order them: the index is walked backwards, each run of
  // equal keys kept in ascending identifier order. A reversed list is
  // rebuilt, not patched, after a change.
  void SetCurrentIndex(std::int32_t indexNo, bool reversed = false);
  bool Reversed() const { return reversed_; }

  // ---- Restrictions. None rebuilds by itself.
  // The filter text is stored; it is parsed when Filtered is switched on
  // (with `options`) and again at a rebuild that finds it changed.
  void SetFilterText(const std::string& text) { filter_text_ = text; }
  const std::string& FilterText() const { return filter_text_; }
  void SetFiltered(bool value, TFilterOptions options);
  bool Filtered() const { return filtered_; }
  void SetFilterRecordEvent(TFilterRecordEvent event) { filter_event_ = std::move(event); }
  // The master link's conditions (one equality or "is null" per linked key
  // field, with binary values). `restricts`: the link is active with at
  // least one master field; `conditionActive`: it also fits the index;
  // `matchesNothing`: a master value the key field cannot hold.
  void SetMaster(bool restricts, bool conditionActive, std::vector<TSearchOperation> conditions,
                 bool matchesNothing = false);
  void SetRange(TkrKeyRange range);
  void CancelRange();
  bool RangeActive() const { return range_active_; }
  // The SQL processor's settings: a filter expression (not owned; nullptr
  // for none), distinct fields ("" for none), a row limit and a 1-based
  // first row (-1 for none).
  void SetFilterExpression(TkrRecordFilter* filter) { expression_ = filter; }
  void SetDistinctFields(const std::string& fields) { distinct_fields_ = fields; }
  void SetRowLimit(std::int32_t value) { row_limit_ = value; }
  void SetFirstRow(std::int32_t value) { first_row_ = value; }
  std::int32_t RowLimit() const { return row_limit_; }
  std::int32_t FirstRow() const { return first_row_; }
  TkrRecordFilter* FilterExpression() const { return expression_; }
  // Whether any restriction can leave records out of the list (distinct
  // fields and a first row alone do not count).
  bool Restricted() const;

  // ---- Building.
  // While locked (counted), rebuilds are postponed; the last unlock rebuilds.
  void LockRefresh() { ++refresh_lock_; }
  void UnlockRefresh();
  std::int32_t RefreshLock() const { return refresh_lock_; }
  // Builds the list; keeps the current record (by identifier) when it is
  // still visible, else there is none. After a failure the list is empty.
  void Rebuild();
  // Rebuilds when the table changed since the list was built.
  void EnsureCurrent();

  // ---- Record tests and look-ups.
  // Whether a record image passes the master link, the range, the filter,
  // the filter expression and (with `withFilterEvent`, when filtered) the
  // data set's filter event.
  bool RecordMatchesView(const std::uint8_t* record, bool withFilterEvent);
  // The list position of record `recPos`, or -1.
  std::int32_t VisiblePositionOf(std::int32_t recPos);
  // The table position of the record with identifier `id`, or -1.
  std::int32_t RecordPositionOfId(std::int32_t id);
  // The list position of the record with identifier `id`, or -1. Raises
  // engine error 1089 while rebuilds are locked.
  std::int32_t FindRecordById(std::int32_t id);

  // ---- The data set's own changes, made through the list so that it stays
  // equal to a rebuild.
  // Stores `buffer` as a new record; it becomes current when it is listed.
  void AfterInsert(const std::uint8_t* buffer);
  // Replaces the current record with `buffer`.
  // REQUIRES: CurrentValid().
  void AfterUpdate(const std::uint8_t* buffer);
  // Deletes the current record. REQUIRES: CurrentValid().
  void AfterDelete();

  // ---- Locate: the first visible record, in list order, that satisfies
  // every condition (prepared operations) and the data set's filter event;
  // its table position or -1.
  std::int32_t LocateRecord(const std::vector<TSearchOperation>& ops, TFilterOptions options);

  void CheckInvariants();

 private:
  const TkrIndexKey& Key();
  // The positions of the records passing the master link and the filter
  // text (nullopt-like: `all` set when nothing restricts).
  void Candidates(TBitsArray& bits, bool& all);
  void ApplyExpression(TBitsArray& bits, bool& all);
  void ApplyDistinct(TBitsArray& bits, bool& all);
  void RangeBounds(std::int32_t& s, std::int32_t& e);
  // Cuts the list to the first row and the row limit.
  void ApplyWindow(std::vector<std::int32_t>& list) const;
  // Whether the only restriction besides a range and the window is one
  // condition (master link or filter) that an index answers; which one.
  bool SingleIndexedCondition(const TSearchOperation*& op, TFilterOptions& options);
  // The positions inside the range, in the current index's order; with
  // `sorted` they are in that order already.
  std::vector<std::int32_t> SortedInRange(std::vector<std::int32_t> positions, bool sorted = false);
  bool InRange(const std::uint8_t* record);
  bool PassesFilterText(const std::uint8_t* record);
  // The first list position whose record sorts at or after `image`.
  // LowerBound, trying place `hint` first.
  std::int32_t LowerBoundNear(const std::uint8_t* image, std::int32_t hint);
  std::int32_t LowerBound(const std::uint8_t* image);
  // The list's order of two record images: negative when `a` comes first.
  int CompareInOrder(const TkrIndexKey& key, const std::uint8_t* a, const std::uint8_t* b) const;
  // The reversed order's walk of ordinals `e` down to `s` of the current
  // index: the records `all` or `bits` lets through, until `wanted` are in
  // `list` (the run of equal keys reached is completed).
  void WalkReversed(std::int32_t s, std::int32_t e, const TBitsArray& bits, bool all,
                    std::size_t wanted, std::vector<std::int32_t>& list);
  // Whether the list must be rebuilt rather than patched after a change:
  // distinct fields, a first row or a row limit make a record's presence
  // depend on the others.
  bool RebuildsOnChange() const;
  // Whether list positions are the current index's ordinals.
  bool EqualsIndex() const;
  std::vector<std::uint8_t> ImageOf(std::int32_t recPos);
  std::int32_t IdOf(const std::uint8_t* image) const;

  TKivoDataManager& m_;
  TkrTableSearch& search_;
  TkrIndexPositions positions_;
  std::int32_t current_ = -1;
  std::int32_t current_id_ = -1;  // the identifier of the current record, -1 for none
  std::int32_t change_count_seen_ = 0;
  bool list_changed_ = false;
  std::int32_t refresh_lock_ = 0;

  std::int32_t index_no_ = 0;
  std::string index_name_;
  bool reversed_ = false;

  std::string filter_text_;
  bool filtered_ = false;
  TSearchParser filter_parser_;
  TFilterRecordEvent filter_event_;

  bool master_restricts_ = false;
  bool master_condition_active_ = false;
  bool master_matches_nothing_ = false;
  std::vector<TSearchOperation> master_;

  bool range_active_ = false;
  TkrKeyRange range_;

  TkrRecordFilter* expression_ = nullptr;
  std::string distinct_fields_;
  std::int32_t row_limit_ = -1;
  std::int32_t first_row_ = -1;
};

}  // namespace kivo
