#include "engine/field_types.h"

#include "platform/clock.h"
#include "platform/little_endian.h"
#include "platform/locale.h"

namespace kivo {

namespace {

constexpr TFieldTypeInfo kStoredTypes[] = {
    {ftString, "ftString", "STRING", TSlotRule::kPlusOne, 0, true},
    {ftSmallint, "ftSmallint", "SMALLINT", TSlotRule::kFixed, 2, true},
    {ftInteger, "ftInteger", "INTEGER", TSlotRule::kFixed, 4, true},
    {ftWord, "ftWord", "WORD", TSlotRule::kFixed, 2, true},
    {ftBoolean, "ftBoolean", "LOGICAL", TSlotRule::kFixed, 2, true},
    {ftFloat, "ftFloat", "FLOAT", TSlotRule::kFixed, 8, true},
    {ftCurrency, "ftCurrency", "CURRENCY", TSlotRule::kFixed, 8, true},
    {ftBCD, "ftBCD", "BCD", TSlotRule::kFixed, 8, true},
    {ftDate, "ftDate", "DATE", TSlotRule::kFixed, 8, true},
    {ftTime, "ftTime", "TIME", TSlotRule::kFixed, 8, true},
    {ftDateTime, "ftDateTime", "DATETIME", TSlotRule::kFixed, 8, true},
    {ftBytes, "ftBytes", "BYTES", TSlotRule::kDeclared, 0, false},
    {ftBlob, "ftBlob", "BLOB", TSlotRule::kFixed, 0, false},
    {ftMemo, "ftMemo", "MEMO", TSlotRule::kFixed, 0, false},
    {ftGraphic, "ftGraphic", "GRAPHIC", TSlotRule::kFixed, 0, false},
    {ftFmtMemo, "ftFmtMemo", "FMTMEMO", TSlotRule::kFixed, 0, false},
    {ftWideString, "ftWideString", "WIDESTRING", TSlotRule::kPlusTwo, 0, true},
    {ftLargeint, "ftLargeint", "LARGEINT", TSlotRule::kFixed, 8, true},
};

}  // namespace

const TFieldTypeInfo* StoredFieldType(std::uint8_t ordinal) {
  for (const TFieldTypeInfo& info : kStoredTypes)
    if (info.Type == ordinal) return &info;
  return nullptr;
}

std::optional<std::int32_t> SlotSizeFor(std::uint8_t type, std::int32_t declaredSize) {
  const TFieldTypeInfo* info = StoredFieldType(type);
  if (!info) return std::nullopt;
  std::int64_t slot = 0;
  switch (info->Rule) {
    case TSlotRule::kFixed:
      return info->FixedSlot;
    case TSlotRule::kPlusOne:
      slot = std::int64_t{declaredSize} + 1;
      break;
    case TSlotRule::kPlusTwo:
      slot = std::int64_t{declaredSize} + 2;
      break;
    case TSlotRule::kDeclared:
      slot = declaredSize;
      break;
  }
  if (declaredSize <= 0 || slot > kMaxFieldSlot) return std::nullopt;
  return static_cast<std::int32_t>(slot);
}

bool IsValidSlot(std::uint8_t type, std::int32_t slot) {
  const TFieldTypeInfo* info = StoredFieldType(type);
  if (!info) return false;
  switch (info->Rule) {
    case TSlotRule::kFixed:
      return slot == info->FixedSlot;
    case TSlotRule::kPlusOne:
      return slot >= 2 && slot <= kMaxFieldSlot;
    case TSlotRule::kPlusTwo:
      return slot >= 3 && slot <= kMaxFieldSlot;
    case TSlotRule::kDeclared:
      return slot >= 1 && slot <= kMaxFieldSlot;
  }
  return false;
}

std::int32_t DeclaredSizeOf(std::uint8_t type, std::int32_t slot) {
  switch (type) {
    case ftString:
      return slot - 1;
    case ftWideString:
      return slot - 2;
    case ftBytes:
      return slot;
    default:
      return 0;
  }
}

std::string_view SQLTypeName(std::uint8_t ordinal) {
  for (const TTypeNameEntry& entry : kTypeNameTable)
    if (entry.Type == ordinal) return entry.Name;
  return {};
}

TFieldType TypeOfSQLName(std::string_view name) {
  for (const TTypeNameEntry& entry : kTypeNameTable)
    if (AnsiSameText(entry.Name, name)) return entry.Type;
  return ftUnknown;
}

bool StoredValueIsNull(std::uint8_t type, const std::uint8_t* value, bool emptyText) {
  switch (type) {
    case ftString:
      return emptyText && value[0] == 0;
    case ftWideString:
      return emptyText && value[0] == 0 && value[1] == 0;
    case ftDate:
      return LoadLE<std::int32_t>(value) == 0;
    case ftDateTime:
      return static_cast<std::int64_t>(LoadLE<double>(value) / static_cast<double>(kMsPerDay)) == 0;
    default:
      return false;
  }
}

}  // namespace kivo
