// The data-set framework's field types. The ordinals are stored in table
// files and passed between the cursor, the table engine and the SQL
// processor, so they must never be renumbered.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace kivo {

enum TFieldType : std::uint8_t {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
};

// The type-name table: the SQL type names in their fixed order (entries 1 to
// 19 of the system's type-name list), each with its type ordinal. Table
// headers, CAST and CREATE TABLE all name types by it.
struct TTypeNameEntry {
  std::string_view Name;
  TFieldType Type;
};
inline constexpr std::array<TTypeNameEntry, 19> kTypeNameTable = {{
    {"AUTOINC", ftAutoInc},   {"INTEGER", ftInteger},
    {"STRING", ftString},     {"WIDESTRING", ftWideString},
    {"DATE", ftDate},         {"TIME", ftTime},
    {"DATETIME", ftDateTime}, {"CURRENCY", ftCurrency},
    {"LOGICAL", ftBoolean},   {"MEMO", ftMemo},
    {"FMTMEMO", ftFmtMemo},   {"GRAPHIC", ftGraphic},
    {"BLOB", ftBlob},         {"SMALLINT", ftSmallint},
    {"WORD", ftWord},         {"FLOAT", ftFloat},
    {"BCD", ftBCD},           {"BYTES", ftBytes},
    {"LARGEINT", ftLargeint},
}};

}  // namespace kivo
