// Matching records against one search operation: on one record image, over
// the whole table by a scan, or through an index whose order agrees with
// the comparison.
//
// A condition compares the record's field with the operation's value: nulls
// lie below every value and equal each other; strings compare through the
// collation (ignoring case with foCaseInsensitive), by the value's length
// when the operation compares partially; dates and date-times compare
// exactly. String values and patterns are taken whole from the operation's
// ValueText, never from a slot that would cut them; every other value comes
// from the operation's value buffer (a record image of the table).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/bits_array.h"
#include "engine/index_key.h"
#include "engine/search_parser.h"

namespace kivo {

class TKivoDataManager;

// Whether comparison result `r` (the record against the value: -1, 0 or 1)
// satisfies comparison operator `op`; "is null" and "is not null" count as
// "=" and "<>" against a null value. Raises for like, not like and any
// operator that is not a comparison.
bool SearchComparisonHolds(std::uint8_t op, int r);

class TkrRecordMatcher {
 public:
  // REQUIRES: `op` is a condition on a field of the open table `m` (or the
  // identifier) other than a memo or BLOB, with its value buffer prepared;
  // the table stays open and unchanged while the matcher is used.
  TkrRecordMatcher(TKivoDataManager& m, const TSearchOperation& op, TFilterOptions options);

  // The operation's value (text, wide text or buffer) changed, nothing
  // else: takes the new value.
  void ValueChanged();

  // The record's field against the value: -1, 0 or 1.
  int Compare(const std::uint8_t* record) const;
  // Whether the record satisfies the condition. Raises for an operator
  // that is not a comparison or (not) like.
  bool Matches(const std::uint8_t* record) const;

  // The positions of the matching records: through a fitting index in its
  // order when there is one, else by a scan in position order. `firstOnly`
  // stops at the first match. Raises for like and not like, which only a
  // scan answers (MatchOverTable).
  std::vector<std::int32_t> MatchedPositions(bool firstOnly);
  // Sets the flag of every matching record position (bits sized to the
  // record count).
  void MatchOverTable(TBitsArray& bits);

  // The index an index search would use, or -1: its first key field is the
  // condition's, it has no descending field, its first field's case rule is
  // the search's (for strings), and the comparison orders its entries.
  std::int32_t FittingIndex() const;

 private:
  bool IsString() const;
  bool ValueIsNull() const;
  bool Like(const std::uint8_t* record) const;
  std::vector<std::int32_t> ScanPositions(bool firstOnly);
  // The first ordinal of index `indexNo` whose record compares above
  // (`strict`) or at least with the value: the entries compare ascending.
  std::int32_t Bound(std::int32_t indexNo, bool strict);

  TKivoDataManager& m_;
  const TSearchOperation& op_;
  bool ignore_case_;
  std::uint8_t type_ = 0;  // the field's type; 0 for the identifier
  std::int32_t offset_ = 0;
  std::int32_t size_ = 0;
  std::shared_ptr<const TCollation> collation_;
  std::unique_ptr<TkrIndexKey> key_;  // one ascending field, for fixed types
  // Integer fields and the identifier compare as 64-bit numbers, without
  // the general key comparison (scans compare every record).
  bool integer_ = false;
  std::int32_t null_at_ = 0;    // the byte holding the field's null flag
  std::uint8_t null_mask_ = 0;  // 0: the value is never null
  bool value_null_ = false;
  std::int64_t value_ = 0;
  std::int64_t IntegerAt(const std::uint8_t* image) const;
  std::u16string wide_value_;  // the value of a wide string field
};

}  // namespace kivo
