// Text forms of numbers and date-time numbers for the SQL processor's
// values: the integer and float readers, the shortest float text, date-time
// formatting with the engine's format codes, and the date, time and
// date-time readers that follow a FormatSettings object. Also the
// arithmetic and conversion errors that values raise.
//
// A date-time number counts days since 30 December 1899 with the time of day
// as the fraction; before that day the fraction still counts forwards from
// midnight (-1.25 is 29 December 1899, 06:00). The values keep dates from
// 1 January 0001 to 31 December 9999 only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

// Integer division or remainder by zero, and floating division by zero.
class EDivByZero : public Exception {
 public:
  EDivByZero() : Exception("Division by zero") {}
  const char* ClassName() const noexcept override { return "EDivByZero"; }
};

// An integer result that does not fit in 64 bits.
class EIntOverflow : public Exception {
 public:
  EIntOverflow() : Exception("Integer overflow") {}
  const char* ClassName() const noexcept override { return "EIntOverflow"; }
};

// A floating result that is infinite or not a number although its operands
// were finite.
class EOverflow : public Exception {
 public:
  EOverflow() : Exception("Floating point overflow") {}
  const char* ClassName() const noexcept override { return "EOverflow"; }
};
class EInvalidOp : public Exception {
 public:
  EInvalidOp() : Exception("Invalid floating point operation") {}
  const char* ClassName() const noexcept override { return "EInvalidOp"; }
};

// A value that has no form in the requested type (a date-time number out
// of the supported range, an impossible date).
class EConvertError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EConvertError"; }
};

// ---------------------------------------------------------------------------
// Date-time numbers.

// kMsPerDay and kDateDelta (the day number of 30 December 1899) come from
// the clock, which owns the date-time number encoding.
// Day numbers of 1 January 0001 and 31 December 9999.
constexpr std::int32_t kMinDayNumber = 1;
constexpr std::int32_t kMaxDayNumber = 3652059;

// A date-time number as a day number (1 January 0001 = 1) and milliseconds
// of that day (rounded to the millisecond; a time that rounds up to
// midnight moves to the next day).
struct TDayAndTime {
  std::int32_t Day;
  std::int32_t Ms;
};
// False when the number is not finite or lies outside years 1 to 9999.
bool TryDateTimeToDayAndTime(double dateTime, TDayAndTime* result);
// The date-time number of a day number and milliseconds of the day.
double DayAndTimeToDateTime(std::int32_t day, std::int32_t ms);
// The stored form of a date-time: day number x kMsPerDay + milliseconds.
inline double StoredDateTimeOf(const TDayAndTime& dt) {
  return static_cast<double>(std::int64_t{dt.Day} * kMsPerDay + dt.Ms);
}

// Builds a date-time number from its parts; false when a part is out of
// range (years 1..9999, the calendar's days, 0..23 hours ...).
bool TryEncodeDate(int year, int month, int day, double* result);
bool TryEncodeTime(int hour, int minute, int second, int ms, double* result);
struct TDateParts {
  int Year, Month, Day, Hour, Minute, Second, Ms;
  int DayOfWeek;  // 1 = Sunday ... 7 = Saturday
};
// REQUIRES: TryDateTimeToDayAndTime(dateTime) succeeds.
TDateParts DecodeDateParts(double dateTime);

// ---------------------------------------------------------------------------
// Numbers.

// Reads an integer of `bits` (16, 32 or 64) bits, signed unless
// `isUnsigned`: leading blanks, an optional sign, then decimal digits, or
// hexadecimal digits after "$" or "0x". Nothing may follow. Hexadecimal
// text of the full width reads as the two's complement pattern ("$FFFF"
// is -1 for 16 signed bits). False when the text is malformed or the value
// is out of range.
bool TryTextToInt(std::string_view text, int bits, bool isUnsigned, std::int64_t* result);

// Reads a float: blanks, optional sign, digits with `decimalSeparator`,
// optional exponent, blanks. False when malformed or out of the double's
// range.
bool TryTextToFloat(std::string_view text, char decimalSeparator, double* result);

// The shortest text that reads back as the same double, with the given
// decimal separator; "NAN", "INF" and "-INF" for the special values.
std::string FloatToText(double value, char decimalSeparator);

// ---------------------------------------------------------------------------
// Dates and times.

// Formats a date-time number with the engine's format codes (see
// FormatSettings); "/" and ":" stand for the date and time separators, and
// "c" for the short date followed by the long time when the time is not
// midnight. REQUIRES: the number is in the supported range.
std::string FormatDateTimeText(std::string_view format, double dateTime,
                               const FormatSettings& settings);
// Short date, then the long time when the time is not midnight.
std::string DateTimeToText(double dateTime, const FormatSettings& settings);
// The long time.
std::string TimeToText(double dateTime, const FormatSettings& settings);

// Readers: the date as three numbers in the order of the short date format
// (day, month and year letters), separated by the date separator (blanks
// around numbers allowed, one separator may trail); a year of one or two
// digits means 2000-2029 for 0-29 and 1930-1999 for 30-99. The time as
// hour, time separator, minute, optionally second and a fraction of a
// second, optionally followed by the AM or PM text. The date-time as a
// date, a date followed by a time, or a time alone. False for malformed
// text and impossible dates or times.
bool TryTextToDate(std::string_view text, const FormatSettings& settings, double* result);
bool TryTextToTime(std::string_view text, const FormatSettings& settings, double* result);
bool TryTextToDateTime(std::string_view text, const FormatSettings& settings, double* result);

}  // namespace kivo
