#include "platform/clock.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace kivo {

namespace {

// Days from 1 January 1601 to 30 December 1899.
constexpr std::int64_t kFileTimeEpochDays = 109205;
constexpr std::int64_t kFileTicksPerMs = 10000;
// Days from 1 January 1970 to 30 December 1899 (negative: the Unix epoch is later).
constexpr std::int64_t kUnixEpochDays = 25569;

// Milliseconds since 30 December 1899 00:00 <-> date-time number, with the
// fraction of negative numbers counted forwards from midnight.
std::int64_t DateTimeToMs(double dt) {
  const double whole = std::trunc(dt);
  const double frac = std::fabs(dt - whole);
  return static_cast<std::int64_t>(whole) * kMsPerDay +
         static_cast<std::int64_t>(std::llround(frac * kMsPerDay));
}

double MsToDateTime(std::int64_t ms) {
  std::int64_t days = ms / kMsPerDay;
  std::int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    --days;
    rest += kMsPerDay;
  }
  const double frac = static_cast<double>(rest) / kMsPerDay;
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

}  // namespace

double StoredDateTimeToNumber(double storedMs) {
  if (!std::isfinite(storedMs)) return storedMs;
  const double perDay = static_cast<double>(kMsPerDay);
  const double days = std::floor(storedMs / perDay);
  const double fraction = (storedMs - days * perDay) / perDay;
  const double relative = days - kDateDelta;
  return relative >= 0 ? relative + fraction : relative - fraction;
}

namespace {

double SystemTimeToDateTime(std::chrono::system_clock::time_point tp, std::int64_t offsetSeconds) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(tp.time_since_epoch()).count();
  return MsToDateTime(ms + offsetSeconds * 1000 + kUnixEpochDays * kMsPerDay);
}

// The local time zone's offset from UTC at a UTC instant (seconds).
std::int64_t LocalOffsetAt(std::time_t utc) {
  std::tm local{};
  if (::localtime_r(&utc, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace

// Civil dates by era arithmetic: 400-year eras of 146 097 days, years
// counted from March so that the leap day ends the year.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

std::uint32_t GetTickCount() {
  // The coarse clock is read without a clock-source access (a memory load in
  // the vDSO), and its resolution of a scheduler tick is as fine as a
  // millisecond tick count promises; the record cache and the write-behind
  // log read it on every record operation.
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) != 0) clock_gettime(CLOCK_MONOTONIC, &ts);
  const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

std::uint64_t HighResolutionCounter() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

std::uint64_t HighResolutionFrequency() { return 1000000000ull; }

double NowUtc() { return SystemTimeToDateTime(std::chrono::system_clock::now(), 0); }

double NowLocal() {
  const auto now = std::chrono::system_clock::now();
  return SystemTimeToDateTime(now, LocalOffsetAt(std::chrono::system_clock::to_time_t(now)));
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                       int millisecond, double* result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || millisecond < 0 || millisecond > 999) {
    return false;
  }
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
      kUnixEpochDays;
  const std::int64_t ms =
      ((static_cast<std::int64_t>(hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
  *result = MsToDateTime(days * kMsPerDay + ms);
  return true;
}

DateTimeParts DecodeDateTime(double dateTime) {
  const std::int64_t ms = DateTimeToMs(dateTime);
  std::int64_t days = ms / kMsPerDay;
  std::int64_t rest = ms % kMsPerDay;
  if (rest < 0) {
    --days;
    rest += kMsPerDay;
  }
  DateTimeParts p{};
  CivilFromDays(days - kUnixEpochDays, &p.year, &p.month, &p.day);
  p.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  p.second = static_cast<int>(rest % 60);
  rest /= 60;
  p.minute = static_cast<int>(rest % 60);
  p.hour = static_cast<int>(rest / 60);
  return p;
}

std::uint32_t DateTimeToDosDateTime(double dateTime) {
  const DateTimeParts p = DecodeDateTime(dateTime);
  if (p.year < 1980) return (1u << 21) | (1u << 16);  // 1 January 1980, 00:00:00
  if (p.year > 2107) {
    return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  }
  return (static_cast<std::uint32_t>(p.year - 1980) << 25) |
         (static_cast<std::uint32_t>(p.month) << 21) | (static_cast<std::uint32_t>(p.day) << 16) |
         (static_cast<std::uint32_t>(p.hour) << 11) | (static_cast<std::uint32_t>(p.minute) << 5) |
         static_cast<std::uint32_t>(p.second / 2);
}

bool TryDosDateTimeToDateTime(std::uint32_t dos, double* result) {
  const int year = static_cast<int>(dos >> 25) + 1980;
  const int month = static_cast<int>((dos >> 21) & 0x0F);
  const int day = static_cast<int>((dos >> 16) & 0x1F);
  const int hour = static_cast<int>((dos >> 11) & 0x1F);
  const int minute = static_cast<int>((dos >> 5) & 0x3F);
  const int second = static_cast<int>(dos & 0x1F) * 2;
  return TryEncodeDateTime(year, month, day, hour, minute, second, 0, result);
}

std::int64_t DateTimeToFileTime(double dateTime) {
  return (DateTimeToMs(dateTime) + kFileTimeEpochDays * kMsPerDay) * kFileTicksPerMs;
}

double FileTimeToDateTime(std::int64_t fileTime) {
  // Whole milliseconds, rounding down.
  std::int64_t ms = fileTime / kFileTicksPerMs;
  if (fileTime % kFileTicksPerMs < 0) --ms;
  return MsToDateTime(ms - kFileTimeEpochDays * kMsPerDay);
}

namespace {

constexpr std::int64_t kFileTicksPerSecond = 10000000;
// File time of 1 January 1970.
constexpr std::int64_t kUnixEpochFileTime = 116444736000000000;

}  // namespace

std::int64_t UtcFileTimeToLocal(std::int64_t utcFileTime) {
  const std::time_t utc =
      static_cast<std::time_t>((utcFileTime - kUnixEpochFileTime) / kFileTicksPerSecond);
  return utcFileTime + LocalOffsetAt(utc) * kFileTicksPerSecond;
}

std::int64_t LocalFileTimeToUtc(std::int64_t localFileTime) {
  // The offset at the local instant read as UTC, corrected once for a
  // change of offset between the two instants.
  const std::time_t guess =
      static_cast<std::time_t>((localFileTime - kUnixEpochFileTime) / kFileTicksPerSecond);
  std::int64_t offset = LocalOffsetAt(guess);
  offset = LocalOffsetAt(guess - static_cast<std::time_t>(offset));
  return localFileTime - offset * kFileTicksPerSecond;
}

}  // namespace kivo
