// The indexes of one open table: their headers, their position arrays and
// built flags, and the maintenance the record operations ask for.
//
// Every index is kept entirely in memory as the record positions in index
// order (TkrIndexPositions); keys are not stored (only a numeric prefix of
// a first key field that fits in one), comparisons read the records through
// the table (its page cache). Equal keys are ordered by
// record identifier, so that a record's entry is found by one binary search.
// An index that is not built is sorted again from scratch when next needed.
//
// Invariants (CheckInvariants(), for every built index):
//   1. The array holds every position 0 .. RecordCount-1 exactly once.
//   2. Consecutive entries never decrease under TkrIndexKey::CompareRecords.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/index_key.h"
#include "engine/index_positions.h"
#include "engine/record_indexer.h"

namespace kivo {

class TCollation;

// What the indexes need of their table.
class TkrIndexedTable {
 public:
  virtual ~TkrIndexedTable() = default;
  virtual std::int32_t IndexedRecordCount() = 0;
  // The plain image of a record, valid until the next record access.
  virtual const std::uint8_t* IndexedRecord(std::int32_t pos) = 0;
  // Calls f(pos, image) for every record in position order; a table may
  // read them in bulk rather than one by one.
  virtual void ForEachIndexedRecord(
      const std::function<void(std::int32_t pos, const std::uint8_t* image)>& f) {
    const std::int32_t n = IndexedRecordCount();
    for (std::int32_t pos = 0; pos < n; ++pos) f(pos, IndexedRecord(pos));
  }
  // Calls f(first, count, images) for every record in position order, in
  // blocks of consecutive images of IndexedLayout().RecordSize bytes.
  virtual void ForEachIndexedBlock(const std::function<void(std::int32_t first, std::int32_t count,
                                                            const std::uint8_t* images)>& f) {
    const std::int32_t n = IndexedRecordCount();
    for (std::int32_t pos = 0; pos < n; ++pos) f(pos, 1, IndexedRecord(pos));
  }
  virtual const std::vector<TFieldHeader>& IndexedFields() = 0;
  virtual const std::vector<std::int32_t>& IndexedOffsets() = 0;
  virtual const TkrRecordLayout& IndexedLayout() = 0;
};

// Above this many entries the page cache no longer holds the table, and a
// search that learns key prefixes entry by entry reads records at random:
// the index learns them all in one sequential pass instead.
constexpr std::int32_t kLearnPrefixesFrom = 16384;

class TkrTableIndexes : public TkrRecordIndexer {
 public:
  // (start, finish, percent done) of a build.
  using TProgress = std::function<void(bool start, bool finish, double percentDone)>;

  explicit TkrTableIndexes(TkrIndexedTable& table);

  std::int32_t Count() const { return static_cast<std::int32_t>(indexes_.size()); }
  // REQUIRES: 0 <= i < Count().
  const TkrIndexHeader& Header(std::int32_t i) const { return At(i).header; }
  const TkrIndexKey& Key(std::int32_t i) const { return *At(i).key; }
  bool Built(std::int32_t i) const { return At(i).built; }
  const TkrIndexPositions& Positions(std::int32_t i) const { return At(i).positions; }
  // The number of the first index named `name` (case ignored), or -1.
  std::int32_t IndexOf(const std::string& name) const;

  // Appends an index (not built). Raises when a key field is not a field of
  // the table; the list is then unchanged.
  void Add(const TkrIndexHeader& header);
  void Remove(std::int32_t i);
  void Clear() { indexes_.clear(); }
  // Takes a saved array as the index's order (built). Unless `trusted`, the
  // order is checked before the index is first used (it reads every
  // record): an array out of order is sorted again and Repaired() set.
  // Record positions are checked by the caller.
  void SetPositions(std::int32_t i, const std::vector<std::int32_t>& positions,
                    bool trusted = true);
  // Where saved arrays are taken from when first needed: array number →
  // its positions, or nothing when it is no longer current or unreadable.
  using TSavedArrays = std::function<std::optional<std::vector<std::int32_t>>(std::int32_t)>;
  void SetSavedArrays(TSavedArrays source) { saved_arrays_ = std::move(source); }
  // The index is not built; when it is first needed it takes saved array
  // `array` as SetPositions does (checked before use), or is sorted when
  // the array is not there any more.
  void TakeSavedLater(std::int32_t i, std::int32_t array);
  // Whether a built index's array is in index order. Reads every record once.
  bool InOrder(std::int32_t i);
  // Some saved array turned out to be out of order and was sorted again.
  bool Repaired() const { return repaired_; }
  void ClearRepaired() { repaired_ = false; }

  void Build(std::int32_t i);
  void BuildAll();
  void ClearBuilt();
  void SetProgress(TProgress progress) { progress_ = std::move(progress); }
  void SetProgressEnabled(bool value) { progress_enabled_ = value; }
  bool ProgressEnabled() const { return progress_enabled_; }
  // While set, new indexes are left unbuilt (sorted when first needed).
  void SetDeferBuilds(bool value) { defer_builds_ = value; }
  bool DeferBuilds() const { return defer_builds_; }
  // While set, an insert keeps an index in step only when the index is
  // unique or primary (key checks search it) or the new record sorts after
  // its last entry; any other index is dropped to unbuilt and sorted once
  // when next needed, instead of taking one sorted insert per record.
  void SetBulkInsert(bool value) { bulk_insert_ = value; }
  bool BulkInsert() const { return bulk_insert_; }

  // The largest record identifier among the records of index i (its first
  // or last entry, whichever way it is sorted), 0 for an empty table.
  // REQUIRES: index i is keyed by the identifier alone. Builds it when needed.
  std::uint32_t LargestId(std::int32_t i);
  // The ordinal of record `recPos` within index i, or -1. Builds the index
  // when needed.
  std::int32_t FindRecordInIndex(std::int32_t i, std::int32_t recPos);
  // The key search of a record buffer over the first `keyFieldCount` key
  // fields (dates compared exactly): the start (or, `forward`, the end) of
  // the run of equal keys; without one -1 when `exactOnly`, else the
  // insertion position (at most Count - 1).
  std::int32_t FindKey(std::int32_t i, const std::uint8_t* keyBuffer, bool exactOnly, bool forward,
                       std::int32_t keyFieldCount);
  // The number of entries of index i whose key is below the buffer's over
  // the first `keyFieldCount` key fields (dates compared exactly), or with
  // `strict` not above it.
  std::int32_t KeyBound(std::int32_t i, const std::uint8_t* keyBuffer, bool strict,
                        std::int32_t keyFieldCount);
  // A record whose key equals the buffer's under index i and, unless the
  // buffer is a new record (`inserting`), whose identifier differs from it;
  // else -1. `editedPos` is the stored position of the record the buffer
  // edits, or -1: an edit that leaves the key as it was cannot make a
  // conflict, and needs no search.
  std::int32_t FindKeyConflict(std::int32_t i, const std::uint8_t* buffer, bool inserting,
                               std::int32_t editedPos = -1);

  // ---- TkrRecordIndexer ----
  void TableOpened(std::int32_t recordCount) override;
  void BeforeRecordChange(std::int32_t recordCount) override;
  std::int32_t RecordInserted(std::int32_t pos, std::int32_t currentIndex,
                              bool maintainAll) override;
  void RecordsAppended(std::int32_t first, std::int32_t count, const std::uint8_t* images,
                       bool maintainAll) override;
  std::int32_t RecordUpdating(const std::uint8_t* oldImage, const std::uint8_t* newImage,
                              std::int32_t pos, std::int32_t currentIndex, bool maintainAll,
                              std::int32_t currentOrdinal) override;
  std::int32_t RecordDeleting(std::int32_t pos, std::int32_t countBefore, std::int32_t currentIndex,
                              bool maintainAll, std::int32_t currentOrdinal) override;

  void CheckInvariants();

 private:
  struct Index {
    TkrIndexHeader header;
    std::unique_ptr<TkrIndexKey> key;
    TkrIndexPositions positions;
    bool built = false;
    bool verified = true;     // a saved order checked (or not needing it)
    std::int32_t saved = -1;  // the saved array to take when first built
    // The key prefixes of the whole array were learnt in one pass.
    mutable bool prefixes_learnt = false;
  };
  // Unique and primary indexes stay in step during a bulk insert.
  static bool KeptInBulk(const Index& index);
  // Learns every unknown key prefix of `index` in one sequential pass over
  // the table, the first time a large index is searched after its array was
  // taken or built.
  void LearnPrefixes(const Index& index);

  const Index& At(std::int32_t i) const;
  Index& At(std::int32_t i);
  std::unique_ptr<TkrIndexKey> MakeKey(const TkrIndexHeader& header);
  std::vector<std::uint8_t> CopyRecord(std::int32_t pos);
  // The key prefix of an image under the index, kUnknownPrefix when the
  // index keeps none.
  std::uint64_t PrefixOf(const Index& index, const std::uint8_t* image) const;
  // PartitionPoint over the index for `before`, an order predicate about an
  // item (an image or key buffer) that agrees with its first key field;
  // `itemPrefix` is PrefixOf the item.
  template <typename Before>
  std::int32_t Search(const Index& index, std::uint64_t itemPrefix, Before before);
  // The first ordinal whose record does not sort before `image` (whose
  // PrefixOf is `prefix`, when the caller has it).
  std::int32_t LowerBound(const Index& index, const std::uint8_t* image);
  std::int32_t LowerBound(const Index& index, const std::uint8_t* image, std::uint64_t prefix);
  // The entry of `recPos`, whose image is `image`, or -1.
  std::int32_t Locate(const Index& index, const std::uint8_t* image, std::int32_t recPos);
  void Sort(Index& index, std::vector<std::int32_t>& order, bool report);
  void SortByPrefix(const TkrIndexKey& key, std::vector<std::int32_t>& order, bool report);
  // Sorts by a key of one LARGEINT field, read once per record; false (and
  // `order` untouched) for any other key.
  // Reports a sort's progress (kept for the caller, passed to progress_).
  std::function<void(double)> SortProgress();
  bool SortByLargeInt(const TkrIndexKey& key, std::vector<std::int32_t>& order, bool report);
  // For a first key part that is a string: per record, a null flag and the
  // value's first primary weights. False when the part or the values do not
  // allow it.
  bool PrimaryPrefixes(const TkrIndexKey& key, std::size_t count,
                       std::vector<std::uint8_t>& prefixes);
  // Checks a saved order; sorts again when it is not in order.
  void Verify(std::int32_t i);

  TkrIndexedTable& table_;
  std::shared_ptr<const TCollation> collation_;
  std::vector<Index> indexes_;
  TProgress progress_;
  bool progress_enabled_ = false;
  // The last percentage reported during a build, repeated in the finish
  // report of a build that fails.
  double reported_percent_ = 0;
  bool defer_builds_ = false;
  bool bulk_insert_ = false;
  std::vector<std::uint8_t> inserted_image_;
  bool repaired_ = false;
  TSavedArrays saved_arrays_;
};

}  // namespace kivo
