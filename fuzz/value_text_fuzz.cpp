// Fuzz target: the readers of values written as text, as a data set's
// SetAsString, a filter's values and SQL's conversions use them. The first
// byte picks the settings (the defaults or Hungarian ones) and the bits
// width of the integer reader; the rest is the text.
//
// No reader may raise (the SQL conversion raises only the engine's
// conversion errors), and what they accept must read back: an integer and
// a float written out again give the same value, and so does a date.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dataset/field_type.h"
#include "fuzz/fuzz_support.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/value_text.h"
#include "sql/values.h"

namespace {

using kivo::fuzz::Fail;

kivo::FormatSettings Hungarian() {
  kivo::FormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.ThousandSeparator = ' ';
  fs.DateSeparator = '.';
  fs.ShortDateFormat = "yyyy.mm.dd";
  fs.LongTimeFormat = "h:nn:ss";
  fs.ShortTimeFormat = "h:nn";
  fs.TimeAMString = "de.";
  fs.TimePMString = "du.";
  return fs;
}

void CheckInteger(std::string_view text, int bits, bool isUnsigned) {
  std::int64_t value = 0;
  if (!kivo::TryTextToInt(text, bits, isUnsigned, &value)) return;
  // A 64-bit unsigned value past the signed range comes back as its bit
  // pattern, so it is written out unsigned.
  const std::string written = isUnsigned && bits == 64
                                  ? std::to_string(static_cast<std::uint64_t>(value))
                                  : std::to_string(value);
  std::int64_t again = 0;
  if (!kivo::TryTextToInt(written, bits, isUnsigned, &again) || again != value)
    Fail("the integer " + std::to_string(value) + " does not read back");
}

void CheckFloat(std::string_view text, char separator) {
  double value = 0;
  if (!kivo::TryTextToFloat(text, separator, &value)) return;
  if (std::isnan(value)) return;
  const std::string written = kivo::FloatToText(value, separator);
  double again = 0;
  // Equal as numbers: a negative zero is written as "0".
  if (!kivo::TryTextToFloat(written, separator, &again) || again != value)
    Fail("the float written as \"" + written + "\" does not read back");
}

void CheckDate(std::string_view text, const kivo::FormatSettings& fs) {
  double value = 0;
  if (!kivo::TryTextToDate(text, fs, &value)) return;
  const std::string written = kivo::DateTimeToText(value, fs);
  double again = 0;
  if (!kivo::TryTextToDate(written, fs, &again) || again != value)
    Fail("the date written as \"" + written + "\" does not read back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const kivo::FormatSettings kDefault;
  static const kivo::FormatSettings kHungarian = Hungarian();
  const std::uint8_t selector = data[0];
  const kivo::FormatSettings& fs = (selector & 1) != 0 ? kHungarian : kDefault;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  static const int kBits[] = {16, 32, 64};
  CheckInteger(text, kBits[(selector >> 1) % 3], (selector & 0x08) != 0);
  CheckFloat(text, fs.DecimalSeparator);
  CheckDate(text, fs);
  double ignored = 0;
  kivo::TryTextToTime(text, fs, &ignored);
  kivo::TryTextToDateTime(text, fs, &ignored);

  // SQL's conversion of a string to each type a column may have.
  static const std::uint8_t kTargets[] = {
      kivo::ftSmallint, kivo::ftInteger,    kivo::ftWord, kivo::ftBoolean,  kivo::ftFloat,
      kivo::ftCurrency, kivo::ftDate,       kivo::ftTime, kivo::ftDateTime, kivo::ftLargeint,
      kivo::ftAutoInc,  kivo::ftWideString, kivo::ftMemo, kivo::ftBlob,     kivo::ftFixedChar};
  for (std::uint8_t target : kTargets) {
    kivo::TZorValue value;
    value.SetString(text);
    try {
      value.ConvertTo(target, &fs);
    } catch (const kivo::Exception&) {
    }
  }
  return 0;
}
