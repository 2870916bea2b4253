// The field types a table can hold: how many bytes each takes in the record
// image, whether it can be an index key, and the SQL type names. Every
// layer that reads or writes field values goes through this table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "dataset/field_type.h"

namespace kivo {

// How a type's slot size follows from the declared size.
enum class TSlotRule : std::uint8_t {
  kFixed,     // always FixedSlot bytes
  kPlusOne,   // declared size + 1 (ftString: zero terminator)
  kPlusTwo,   // declared size + 2 (ftWideString: 16-bit zero terminator)
  kDeclared,  // the declared size itself (ftBytes)
};

struct TFieldTypeInfo {
  TFieldType Type;
  std::string_view TypeName;  // "ftString"
  std::string_view SQLName;   // "STRING"
  TSlotRule Rule;
  std::int32_t FixedSlot;  // for kFixed
  bool Indexable;
};

// The largest slot a field may have and the largest field data a record
// may hold. Keeps a record image and a page of records a sane size.
constexpr std::int32_t kMaxFieldSlot = 1 << 20;
constexpr std::int32_t kMaxRecordDataSize = 1 << 22;

// The entry of a type ordinal that can be a field header of a table
// (ftAutoInc is not: it becomes the identifier or an ftInteger field);
// nullptr for every other ordinal.
const TFieldTypeInfo* StoredFieldType(std::uint8_t ordinal);

// Whether a value in the stored form of `type` counts as null: a date or
// date-time of day 0 (how those are stored as null) or, with `emptyText`,
// an empty string or wide string. `value` holds at least the slot's first
// bytes (4 for a date, 8 for a date-time, 2 for a wide string).
bool StoredValueIsNull(std::uint8_t type, const std::uint8_t* value, bool emptyText);

// Ordinals 15-18.
inline bool IsBLOBType(std::uint8_t ordinal) { return ordinal >= ftBlob && ordinal <= ftFmtMemo; }
// Ordinals 1-11, 24 and 25.
inline bool IsIndexableType(std::uint8_t ordinal) {
  return (ordinal >= ftString && ordinal <= ftDateTime) || ordinal == ftWideString ||
         ordinal == ftLargeint;
}

// The slot size of a field of `type` declared with `declaredSize`; nothing
// when the type cannot be stored or the size is not valid for it.
std::optional<std::int32_t> SlotSizeFor(std::uint8_t type, std::int32_t declaredSize);
// Whether `slot` is a valid stored size for a field of `type`.
bool IsValidSlot(std::uint8_t type, std::int32_t slot);
// The declared size a field definition gets back from a slot: slot - 1 for
// ftString, slot - 2 for ftWideString, the slot for ftBytes, 0 otherwise.
std::int32_t DeclaredSizeOf(std::uint8_t type, std::int32_t slot);

// kTypeNameTable (dataset/field_type.h) lists the SQL type names.

// The SQL type name of an ordinal, empty when it has none.
std::string_view SQLTypeName(std::uint8_t ordinal);
// The type ordinal of an SQL type name (case ignored), ftUnknown when none.
TFieldType TypeOfSQLName(std::string_view name);

}  // namespace kivo
