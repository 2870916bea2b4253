#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kivo {
namespace {

double Encode(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  double v = 0;
  EXPECT_TRUE(TryEncodeDateTime(y, mo, d, h, mi, s, ms, &v));
  return v;
}

TEST(ClockTest, DateTimeNumbers) {
  EXPECT_EQ(Encode(1899, 12, 30), 0.0);
  EXPECT_EQ(Encode(1900, 1, 1), 2.0);
  EXPECT_EQ(Encode(1899, 12, 31, 12), 1.5);
  EXPECT_EQ(Encode(1899, 12, 29, 6), -1.25);  // fraction counts forwards from midnight
  EXPECT_EQ(Encode(2007, 3, 15), 39156.0);
  EXPECT_EQ(Encode(1, 1, 1), -693593.0);
  double v = 0;
  EXPECT_FALSE(TryEncodeDateTime(2023, 2, 29, 0, 0, 0, 0, &v));
  EXPECT_TRUE(TryEncodeDateTime(2024, 2, 29, 0, 0, 0, 0, &v));
  EXPECT_FALSE(TryEncodeDateTime(0, 1, 1, 0, 0, 0, 0, &v));
  EXPECT_FALSE(TryEncodeDateTime(2024, 13, 1, 0, 0, 0, 0, &v));
  EXPECT_FALSE(TryEncodeDateTime(2024, 1, 1, 24, 0, 0, 0, &v));
  EXPECT_FALSE(TryEncodeDateTime(2024, 1, 1, 0, 0, 0, 1000, &v));

  for (const double dt : {Encode(2024, 2, 29, 23, 59, 59, 999), Encode(1899, 12, 29, 6, 30),
                          Encode(1, 1, 1, 0, 0, 1), Encode(9999, 12, 31, 12, 0, 0, 5)}) {
    const DateTimeParts p = DecodeDateTime(dt);
    EXPECT_EQ(Encode(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond), dt);
  }
  const DateTimeParts p = DecodeDateTime(-1.25);
  EXPECT_EQ(p.year, 1899);
  EXPECT_EQ(p.month, 12);
  EXPECT_EQ(p.day, 29);
  EXPECT_EQ(p.hour, 6);
}

TEST(ClockTest, DosDateTime) {
  const double dt = Encode(2007, 3, 15, 13, 45, 31);
  const std::uint32_t dos = DateTimeToDosDateTime(dt);
  EXPECT_EQ(dos, (27u << 25) | (3u << 21) | (15u << 16) | (13u << 11) | (45u << 5) | 15u);
  double back = 0;
  ASSERT_TRUE(TryDosDateTimeToDateTime(dos, &back));
  EXPECT_EQ(back, Encode(2007, 3, 15, 13, 45, 30));  // 2-second resolution
  // Round trip over every even second of a day and across years.
  for (int y : {1980, 1999, 2000, 2038, 2107}) {
    for (int s = 0; s < 86400; s += 7 * 2 + 60 * 13) {
      const double v = Encode(y, 12, 31, s / 3600, (s / 60) % 60, s % 60);
      double r = 0;
      ASSERT_TRUE(TryDosDateTimeToDateTime(DateTimeToDosDateTime(v), &r));
      EXPECT_EQ(r, v) << y << " " << s;
    }
  }
  EXPECT_EQ(DateTimeToDosDateTime(Encode(1970, 5, 5)), (1u << 21) | (1u << 16));
  EXPECT_EQ(DateTimeToDosDateTime(Encode(2200, 1, 1)) >> 25, 127u);
  // Invalid fields: month 0, month 13, day 0, hour 24, minute 60, seconds 60.
  for (std::uint32_t bad :
       {(1u << 16), (13u << 21) | (1u << 16), (1u << 21), (1u << 21) | (1u << 16) | (24u << 11),
        (1u << 21) | (1u << 16) | (60u << 5), (1u << 21) | (1u << 16) | 30u}) {
    double r = 0;
    EXPECT_FALSE(TryDosDateTimeToDateTime(bad, &r)) << std::hex << bad;
  }
}

TEST(ClockTest, FileTime) {
  // 1 January 1601 is file time 0; 1 January 1970 is 116444736000000000.
  EXPECT_EQ(DateTimeToFileTime(Encode(1601, 1, 1)), 0);
  EXPECT_EQ(DateTimeToFileTime(Encode(1970, 1, 1)), 116444736000000000);
  EXPECT_EQ(FileTimeToDateTime(116444736000000000), Encode(1970, 1, 1));
  for (const double dt : {Encode(2024, 7, 1, 8, 15, 2, 345), Encode(1601, 1, 1, 0, 0, 0, 1),
                          Encode(1899, 12, 29, 6), Encode(9999, 12, 31, 23, 59, 59, 999)}) {
    EXPECT_EQ(FileTimeToDateTime(DateTimeToFileTime(dt)), dt);
  }
  // Sub-millisecond parts are dropped.
  EXPECT_EQ(FileTimeToDateTime(116444736000000000 + 9999), Encode(1970, 1, 1));
}

TEST(ClockTest, LocalAndUtcFileTimes) {
  const char* old = std::getenv("TZ");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  const std::int64_t hour = 36000000000;
  const std::int64_t winter = DateTimeToFileTime(Encode(2024, 1, 15, 12));
  const std::int64_t summer = DateTimeToFileTime(Encode(2024, 7, 15, 12));
  EXPECT_EQ(UtcFileTimeToLocal(winter), winter + hour);
  EXPECT_EQ(UtcFileTimeToLocal(summer), summer + 2 * hour);
  EXPECT_EQ(LocalFileTimeToUtc(winter + hour), winter);
  EXPECT_EQ(LocalFileTimeToUtc(summer + 2 * hour), summer);
  // Now: local minus UTC is the zone's offset (one or two hours, give or take the call gap).
  const double diff_hours = (NowLocal() - NowUtc()) * 24;
  EXPECT_TRUE(std::fabs(diff_hours - 1) < 0.01 || std::fabs(diff_hours - 2) < 0.01) << diff_hours;
  if (saved) {
    setenv("TZ", saved->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(ClockTest, CountersNeverGoBack) {
  std::uint32_t last_tick = GetTickCount();
  std::uint64_t last_counter = HighResolutionCounter();
  for (int i = 0; i < 100000; ++i) {
    const std::uint32_t tick = GetTickCount();
    const std::uint64_t counter = HighResolutionCounter();
    // Differences in 32 bits, so a wrap of the tick count is no step back.
    EXPECT_LT(static_cast<std::uint32_t>(tick - last_tick), 0x80000000u);
    EXPECT_GE(counter, last_counter);
    last_tick = tick;
    last_counter = counter;
  }
  EXPECT_GT(HighResolutionFrequency(), 1000u);
  EXPECT_GT(NowUtc(), Encode(2020, 1, 1));
}

}  // namespace
}  // namespace kivo
