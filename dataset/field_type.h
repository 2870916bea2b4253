// The data-set framework's field types. The ordinals are stored in table
// files and passed between the cursor, the table engine and the SQL
// processor, so they must never be renumbered.
#pragma once

#include <cstdint>

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

}  // namespace kivo
