// Clock and ticks: the millisecond tick count, a high-resolution counter,
// the engine's date-time numbers, and DOS date-time and file-time forms.
//
// A date-time number counts days since 30 December 1899 with the time of
// day as the fraction. Before that day the number is the day minus the
// fraction: -1.25 is 29 December 1899, 06:00 (the day -1, then a quarter of
// a day on from its midnight). Truncation therefore always yields the day,
// and within one day the absolute value grows with the time, which is what
// the engine's date-time key comparison relies on.
#pragma once

#include <cstdint>

namespace kivo {

constexpr std::int64_t kMsPerDay = 86400000;
// Day number (1 January 0001 = day 1) of 30 December 1899, day 0 of the
// date-time numbers. Stored dates are day numbers; stored date-times are
// milliseconds since the start of day 1 less one day (day number x
// kMsPerDay + milliseconds of the day).
constexpr std::int32_t kDateDelta = 693594;

// The date-time number of a stored date-time (day number x kMsPerDay +
// milliseconds of the day). Exact for every whole millisecond of years 1 to
// 9999; a value that is not finite comes back unchanged.
double StoredDateTimeToNumber(double storedMs);

// Milliseconds of a steady clock, wrapping at 2^32; it advances in steps of
// a scheduler tick (a few milliseconds).
std::uint32_t GetTickCount();
// A steady high-resolution counter and its ticks per second.
std::uint64_t HighResolutionCounter();
std::uint64_t HighResolutionFrequency();

// The proleptic Gregorian calendar: days since 1 January 1970 of a civil
// date (month 1..12, day 1..31, any year) and back; leap years; days in a
// month (month 1..12).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day);
void CivilFromDays(std::int64_t days, int* year, int* month, int* day);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// The current local and UTC time as date-time numbers.
double NowLocal();
double NowUtc();

// Builds a date-time number; false (result untouched) when a part is out of
// range (years 1..9999).
bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, double* result);
struct DateTimeParts {
  int year, month, day, hour, minute, second, millisecond;
};
// Splits a date-time number (rounded to the millisecond).
DateTimeParts DecodeDateTime(double dateTime);

// DOS date-time: bits 31-25 year - 1980, 24-21 month, 20-16 day, 15-11 hour,
// 10-5 minute, 4-0 seconds / 2. Times before 1980 give 1 January 1980,
// after 2107 the last moment of 2107; odd seconds round down.
std::uint32_t DateTimeToDosDateTime(double dateTime);
// False when a field is out of range.
bool TryDosDateTimeToDateTime(std::uint32_t dos, double* result);

// File time: 100-nanosecond units since 1 January 1601.
std::int64_t DateTimeToFileTime(double dateTime);
double FileTimeToDateTime(std::int64_t fileTime);
// Between local and UTC file times, by the system's time zone rules.
std::int64_t LocalFileTimeToUtc(std::int64_t localFileTime);
std::int64_t UtcFileTimeToLocal(std::int64_t utcFileTime);

}  // namespace kivo
