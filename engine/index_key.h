// Index headers and the key comparison of records under an index.
//
// An index orders all records of a table by its key fields. The comparison
// works on record images: directly on the cached images while indexes are
// maintained, and on compact key images (the key slots, their null flags and
// the identifier) while an index is sorted from scratch, so that sorting a
// big table does not go to the page cache for every comparison.
//
// Per key field, in order, the first non-zero result decides:
//   the identifier (field -1): unsigned, always ascending;
//   both null: equal; only one null: it sorts first;
//   ftString: the user locale's collation of Windows-1250 text;
//   ftWideString: the user locale's collation of UTF-16 text;
//   integers signed (ftWord unsigned); ftBoolean: equal first bytes equal,
//   else the non-zero one is greater; ftFloat, ftCurrency numerically;
//   ftDate by day number (below 1 counts as 1); ftTime by milliseconds;
//   ftDateTime as date-time numbers (a difference below 1e-8 day is
//   equality; within one day by absolute value); ftBCD: no order.
// A descending field negates its result, nulls included. Records whose keys
// are equal are ordered by their identifiers (TkrIndexKey::CompareRecords),
// so every index is a total order in which a record's entry can be found by
// binary search.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset/field_defs.h"
#include "engine/record_image.h"
#include "engine/table_header.h"

namespace kivo {

class TCollation;

// One index as the table keeps it (and as T.idx stores it).
struct TkrIndexHeader {
  std::string IndexName;
  std::vector<std::int32_t> KeyFields;      // field numbers; -1 = the identifier
  std::vector<std::uint8_t> AscendingBits;  // (FieldCount + 7) / 8 bytes, 1 = ascending
  std::vector<std::uint8_t> CaseInsensitiveBits;
  bool AllCaseInsensitive = false;
  bool AllDescending = false;
  TIndexOptions Options = 0;

  std::int32_t FieldCount() const { return static_cast<std::int32_t>(KeyFields.size()); }
  // Sizes the bit sets for `fieldCount` fields: all ascending, none ignoring case.
  void ResetBits(std::int32_t fieldCount);
  bool AscendingBit(std::int32_t i) const;
  bool CaseInsensitiveBit(std::int32_t i) const;
  void SetAscendingBit(std::int32_t i, bool value);
  void SetCaseInsensitiveBit(std::int32_t i, bool value);
  // The field's effective order and case rule.
  bool Descending(std::int32_t i) const { return !AscendingBit(i) || AllDescending; }
  bool CaseInsensitive(std::int32_t i) const { return CaseInsensitiveBit(i) || AllCaseInsensitive; }
  bool Temporary() const { return !IndexName.empty() && IndexName[0] == '$'; }
  bool Automatic() const { return !IndexName.empty() && IndexName[0] == '@'; }
  // Keyed on the record identifier alone. A table's first index must be:
  // a record is found by its identifier by searching that index.
  bool OrdersIdentifiers() const { return KeyFields == std::vector<std::int32_t>{-1}; }

  bool operator==(const TkrIndexHeader&) const = default;
};

// The comparison of one index, bound to a table's field headers and layout.
class TkrIndexKey {
 public:
  struct Part {
    std::uint8_t Type = 0;  // field type ordinal; 0 for the identifier
    bool IsId = false;
    std::int32_t Offset = 0;    // of the slot in the image
    std::int32_t Size = 0;      // slot size
    std::int32_t NullByte = 0;  // offset of the byte holding the null flag
    std::uint8_t NullMask = 0;
    bool Descending = false;
    bool CaseInsensitive = false;
  };

  // Raises when a key field number is outside the table's fields.
  TkrIndexKey(const TkrIndexHeader& header, const std::vector<TFieldHeader>& fields,
              const std::vector<std::int32_t>& offsets, const TkrRecordLayout& layout,
              std::shared_ptr<const TCollation> collation);

  // The comparison of compact key images (KeyImageSize bytes each).
  const TkrIndexKey& Compact() const { return *compact_; }
  std::int32_t KeyImageSize() const { return key_image_size_; }
  // Copies the key of a record image into a compact key image.
  void ExtractKey(const std::uint8_t* record, std::uint8_t* keyImage) const;

  // The key comparison of two images over the first `fieldCount` key fields
  // (all when negative). With `exactDates`, dates and date-times compare by
  // exact value (key searches).
  int CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::int32_t fieldCount = -1,
                  bool exactDates = false) const;
  // The index order: the keys, then the identifiers (unsigned).
  int CompareRecords(const std::uint8_t* a, const std::uint8_t* b) const {
    const int r = CompareKeys(a, b);
    if (r != 0) return r;
    const std::uint32_t x = IdOf(a);
    const std::uint32_t y = IdOf(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  std::uint32_t IdOf(const std::uint8_t* image) const;
  // Whether the first key part has key prefixes: the identifier, a
  // SMALLINT, INTEGER or WORD field (the whole value), or a STRING field
  // when the collation ranks its primary weights (the first seven).
  bool HasPrefix() const;
  // REQUIRES: HasPrefix(). A number that orders the first key part of
  // images as CompareKeys does wherever two numbers differ (nulls and
  // descending order included), equal for equal values; or
  // TkrIndexPositions::kNoPrefix for a value that has none (a string the
  // weight tables do not order). Never kUnknownPrefix.
  std::uint64_t Prefix(const std::uint8_t* image) const;
  // Whether the prefix holds the whole value of the first key part (the
  // identifier and the integer types, not strings): two images with equal
  // prefixes then compare equal over the first `fieldCount` key fields
  // (all when negative) when that is the first part alone.
  bool PrefixDecides(std::int32_t fieldCount) const;
  const std::vector<Part>& Parts() const { return parts_; }
  const TCollation* Collation() const { return collation_.get(); }

 private:
  TkrIndexKey() = default;
  int ComparePart(const Part& p, const std::uint8_t* a, const std::uint8_t* b,
                  bool exactDates) const;

  std::vector<Part> parts_;
  std::int32_t id_offset_ = 0;
  std::shared_ptr<const TCollation> collation_;
  std::shared_ptr<const TkrIndexKey> compact_;
  std::int32_t key_image_size_ = 0;
};

}  // namespace kivo
