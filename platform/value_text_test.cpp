#include "platform/value_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace kivo {
namespace {

FormatSettings DottedDayFirst() {
  FormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.DateSeparator = '.';
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = "dd/mm/yyyy";
  fs.LongTimeFormat = "hh:nn:ss";
  fs.ShortTimeFormat = "hh:nn";
  return fs;
}

double Date(int y, int m, int d) {
  double v = 0;
  EXPECT_TRUE(TryEncodeDate(y, m, d, &v));
  return v;
}

TEST(IntegerText, ReadsDecimalAndHexadecimalWithinEachWidth) {
  std::int64_t v = 0;
  ASSERT_TRUE(TryTextToInt("  -123", 32, false, &v));
  EXPECT_EQ(v, -123);
  ASSERT_TRUE(TryTextToInt("+42", 16, false, &v));
  EXPECT_EQ(v, 42);
  ASSERT_TRUE(TryTextToInt("$FF", 32, false, &v));
  EXPECT_EQ(v, 255);
  ASSERT_TRUE(TryTextToInt("0x7fff", 16, false, &v));
  EXPECT_EQ(v, 32767);
  // The full width reads as a bit pattern.
  ASSERT_TRUE(TryTextToInt("$FFFF", 16, false, &v));
  EXPECT_EQ(v, -1);
  ASSERT_TRUE(TryTextToInt("$FFFF", 16, true, &v));
  EXPECT_EQ(v, 65535);
  ASSERT_TRUE(TryTextToInt("$8000000000000000", 64, false, &v));
  EXPECT_EQ(v, INT64_MIN);
  ASSERT_TRUE(TryTextToInt("-9223372036854775808", 64, false, &v));
  EXPECT_EQ(v, INT64_MIN);
  ASSERT_TRUE(TryTextToInt("-2147483648", 32, false, &v));
  EXPECT_EQ(v, INT32_MIN);
  ASSERT_TRUE(TryTextToInt("65535", 16, true, &v));
  EXPECT_EQ(v, 65535);
}

TEST(IntegerText, RejectsMalformedAndOutOfRangeText) {
  std::int64_t v = 77;
  for (const char* bad : {"", " ", "-", "+", "$", "0x", "12a", "1 ", "--1", "1-", "1.0", "1e3",
                          "$G", "0x-1", "2147483648", "-2147483649", "$100000000"}) {
    EXPECT_FALSE(TryTextToInt(bad, 32, false, &v)) << bad;
  }
  EXPECT_FALSE(TryTextToInt("32768", 16, false, &v));
  EXPECT_FALSE(TryTextToInt("-32769", 16, false, &v));
  EXPECT_FALSE(TryTextToInt("65536", 16, true, &v));
  EXPECT_FALSE(TryTextToInt("-1", 16, true, &v));
  EXPECT_FALSE(TryTextToInt("9223372036854775808", 64, false, &v));
  EXPECT_FALSE(TryTextToInt("18446744073709551616", 64, false, &v));
  EXPECT_FALSE(TryTextToInt("$10000000000000000", 64, false, &v));
  EXPECT_EQ(v, 77);
}

TEST(FloatText, ReadsWithTheLocaleSeparatorOnly) {
  double v = 0;
  ASSERT_TRUE(TryTextToFloat(" 2,5 ", ',', &v));
  EXPECT_EQ(v, 2.5);
  ASSERT_TRUE(TryTextToFloat("-1,25E2", ',', &v));
  EXPECT_EQ(v, -125);
  ASSERT_TRUE(TryTextToFloat(",5", ',', &v));
  EXPECT_EQ(v, 0.5);
  ASSERT_TRUE(TryTextToFloat("3.", '.', &v));
  EXPECT_EQ(v, 3);
  for (const char* bad : {"2.5", "", ",", "e5", "1e", "1e+", "1,2,3", "INF", "NAN", "1e400",
                          "-1e400", "1 2", "0x10", "+-1"}) {
    EXPECT_FALSE(TryTextToFloat(bad, ',', &v)) << bad;
  }
}

TEST(FloatText, ShortestTextReadsBackExactly) {
  EXPECT_EQ(FloatToText(0.1, '.'), "0.1");
  EXPECT_EQ(FloatToText(2.5, ','), "2,5");
  EXPECT_EQ(FloatToText(-0.0, '.'), "0");
  EXPECT_EQ(FloatToText(1e20, '.'), "1E20");
  EXPECT_EQ(FloatToText(std::nan(""), '.'), "NAN");
  EXPECT_EQ(FloatToText(-INFINITY, '.'), "-INF");
  std::mt19937_64 rng(8);
  for (int i = 0; i < 2000; ++i) {
    double x = 0;
    const std::uint64_t bits = rng();
    std::memcpy(&x, &bits, sizeof x);
    if (!std::isfinite(x)) continue;
    double back = 0;
    ASSERT_TRUE(TryTextToFloat(FloatToText(x, ','), ',', &back)) << FloatToText(x, ',');
    EXPECT_EQ(back, x);
  }
}

TEST(DateTimeNumbers, KeepYearsOneToNineThousandNineHundredNinetyNine) {
  TDayAndTime dt{};
  ASSERT_TRUE(TryDateTimeToDayAndTime(Date(1, 1, 1), &dt));
  EXPECT_EQ(dt.Day, 1);
  ASSERT_TRUE(TryDateTimeToDayAndTime(Date(9999, 12, 31) + 0.9999999, &dt));
  EXPECT_EQ(dt.Day, kMaxDayNumber);
  EXPECT_EQ(dt.Ms, kMsPerDay - 9);
  EXPECT_EQ(Date(1899, 12, 30), 0);
  EXPECT_EQ(Date(2007, 3, 5), 39146);
  EXPECT_FALSE(TryDateTimeToDayAndTime(Date(1, 1, 1) - 1, &dt));
  EXPECT_FALSE(TryDateTimeToDayAndTime(Date(9999, 12, 31) + 1, &dt));
  EXPECT_FALSE(TryDateTimeToDayAndTime(std::nan(""), &dt));
  EXPECT_FALSE(TryDateTimeToDayAndTime(INFINITY, &dt));
  EXPECT_FALSE(TryDateTimeToDayAndTime(1e300, &dt));
  // Before 30 December 1899 the fraction still counts forwards.
  ASSERT_TRUE(TryDateTimeToDayAndTime(-1.25, &dt));
  EXPECT_EQ(dt.Day, kDateDelta - 1);
  EXPECT_EQ(dt.Ms, 6 * 3600 * 1000);
  EXPECT_EQ(DayAndTimeToDateTime(dt.Day, dt.Ms), -1.25);
  // A time that rounds up to midnight belongs to the next day.
  ASSERT_TRUE(TryDateTimeToDayAndTime(1.9999999999, &dt));
  EXPECT_EQ(dt.Day, kDateDelta + 2);
  EXPECT_EQ(dt.Ms, 0);
  EXPECT_FALSE(TryEncodeDate(2007, 2, 29, nullptr));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, nullptr));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, nullptr));
  const TDateParts p = DecodeDateParts(Date(2007, 3, 5) + 0.5);
  EXPECT_EQ(p.Year, 2007);
  EXPECT_EQ(p.Month, 3);
  EXPECT_EQ(p.Day, 5);
  EXPECT_EQ(p.Hour, 12);
  EXPECT_EQ(p.DayOfWeek, 2);  // a Monday
}

TEST(DateText, FormatsWithTheEngineCodes) {
  FormatSettings fs = DottedDayFirst();
  const double dt = Date(2007, 3, 5) + (14 * 3600 + 7 * 60 + 9) / 86400.0 + 0.045 / 86400.0;
  EXPECT_EQ(FormatDateTimeText("dd/mm/yyyy", dt, fs), "05.03.2007");
  EXPECT_EQ(FormatDateTimeText("d/m/yy", dt, fs), "5.3.07");
  EXPECT_EQ(FormatDateTimeText("dddd, d mmmm", dt, fs), "Monday, 5 March");
  EXPECT_EQ(FormatDateTimeText("ddd mmm", dt, fs), "Mon Mar");
  EXPECT_EQ(FormatDateTimeText("hh:nn:ss.zzz", dt, fs), "14:07:09.045");
  EXPECT_EQ(FormatDateTimeText("h:nn AMPM", dt, fs), "2:07 PM");
  EXPECT_EQ(FormatDateTimeText("h:nn am/pm", Date(2007, 3, 5), fs), "12:00 am");
  EXPECT_EQ(FormatDateTimeText("\"day\" d 'of' m", dt, fs), "day 5 of 3");
  EXPECT_EQ(DateTimeToText(dt, fs), "05.03.2007 14:07:09");
  EXPECT_EQ(DateTimeToText(Date(2007, 3, 5), fs), "05.03.2007");
  EXPECT_EQ(TimeToText(0.75, fs), "18:00:00");
  EXPECT_EQ(FormatDateTimeText("yyyy", Date(33, 1, 1), fs), "0033");
  // A format that names itself does not recurse for ever.
  fs.ShortDateFormat = "c";
  EXPECT_NO_THROW(DateTimeToText(dt, fs));
}

TEST(DateText, ReadsDatesInTheShortDateOrder) {
  FormatSettings fs = DottedDayFirst();
  double v = 0;
  ASSERT_TRUE(TryTextToDate("05.03.2007", fs, &v));
  EXPECT_EQ(v, Date(2007, 3, 5));
  ASSERT_TRUE(TryTextToDate(" 5 . 3 . 2007. ", fs, &v));
  EXPECT_EQ(v, Date(2007, 3, 5));
  ASSERT_TRUE(TryTextToDate("01.01.29", fs, &v));
  EXPECT_EQ(v, Date(2029, 1, 1));
  ASSERT_TRUE(TryTextToDate("01.01.30", fs, &v));
  EXPECT_EQ(v, Date(1930, 1, 1));
  ASSERT_TRUE(TryTextToDate("01.01.0030", fs, &v));
  EXPECT_EQ(v, Date(30, 1, 1));
  fs.ShortDateFormat = "yyyy. mm. dd.";
  ASSERT_TRUE(TryTextToDate("2007. 03. 05.", fs, &v));
  EXPECT_EQ(v, Date(2007, 3, 5));
  fs.ShortDateFormat = "m/d/yyyy";
  fs.DateSeparator = '/';
  ASSERT_TRUE(TryTextToDate("3/5/2007", fs, &v));
  EXPECT_EQ(v, Date(2007, 3, 5));
  for (const char* bad :
       {"", "3/5", "3/5/2007/1", "2/29/2007", "13/1/2007", "0/1/2007", "3-5-2007", "3/5/20070",
        "a/5/2007", "3/5/2007 x", "3//2007", "1/1/0000", "3/5/2007//"}) {
    EXPECT_FALSE(TryTextToDate(bad, fs, &v)) << bad;
  }
}

TEST(DateText, ReadsTimesAndDateTimes) {
  FormatSettings fs = DottedDayFirst();
  double v = 0;
  ASSERT_TRUE(TryTextToTime("14:07:09", fs, &v));
  EXPECT_EQ(v, (14 * 3600 + 7 * 60 + 9) / 86400.0);
  ASSERT_TRUE(TryTextToTime("2:30 pm", fs, &v));
  EXPECT_EQ(v, 14.5 / 24);
  ASSERT_TRUE(TryTextToTime("12:00 AM", fs, &v));
  EXPECT_EQ(v, 0);
  ASSERT_TRUE(TryTextToTime("12 PM", fs, &v));
  EXPECT_EQ(v, 0.5);
  ASSERT_TRUE(TryTextToTime("10:15:30,5", fs, &v));
  EXPECT_EQ(v, (10 * 3600 + 15 * 60 + 30.5) / 86400.0);
  for (const char* bad : {"", "10", "24:00", "10:60", "10:00:60", "13:00 PM", "0:10 AM",
                          "10:", "10::00", "10:00:00,1234", "10:00 XM", "1:2:3:4"}) {
    EXPECT_FALSE(TryTextToTime(bad, fs, &v)) << bad;
  }
  ASSERT_TRUE(TryTextToDateTime("05.03.2007 14:07", fs, &v));
  EXPECT_EQ(v, Date(2007, 3, 5) + (14 * 60 + 7) / 1440.0);
  ASSERT_TRUE(TryTextToDateTime("05.03.2007", fs, &v));
  EXPECT_EQ(v, Date(2007, 3, 5));
  ASSERT_TRUE(TryTextToDateTime("06:00", fs, &v));
  EXPECT_EQ(v, 0.25);
  // Before 30 December 1899 the time still counts forwards from midnight.
  ASSERT_TRUE(TryTextToDateTime("29.12.1899 06:00", fs, &v));
  EXPECT_EQ(v, -1.25);
  EXPECT_FALSE(TryTextToDateTime("05.03.2007 25:00", fs, &v));
  EXPECT_FALSE(TryTextToDateTime("05.03.2007 14:07 x", fs, &v));
}

}  // namespace
}  // namespace kivo
