#include "sql/date_formater.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sql/values.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::NativeErrorOf;

// English names, whatever the machine's locale.
const FormatSettings kEnglish{};

// The date-time number of a date and time (any year 1..9999).
double At(int y, int m, int d, int h = 0, int n = 0, int s = 0, int ms = 0) {
  double date = 0;
  EXPECT_TRUE(TryEncodeDate(y, m, d, &date));
  return DayAndTimeToDateTime(CheckedDayAndTime(date).Day, ((h * 60 + n) * 60 + s) * 1000 + ms);
}

std::string Format(std::string_view pattern, double dateTime) {
  return TDateFormater(pattern, kEnglish).FormatDate(dateTime);
}
double Parse(std::string_view pattern, std::string_view text) {
  return TDateFormater(pattern, kEnglish).ParseDate(text);
}

std::vector<TDateFormatToken> TokensOf(std::string_view pattern) {
  return TDateFormater(pattern, kEnglish).Tokens();
}

TEST(DateFormaterTokens, LongestNameWinsAndCaseIsIgnored) {
  using T = TDateFormatToken;
  EXPECT_EQ(TokensOf("DD.MM.YYYY"),
            (std::vector<T>{
                {dfDD, "DD"}, {dfLiteral, "."}, {dfMM, "MM"}, {dfLiteral, "."}, {dfYYYY, "YYYY"}}));
  EXPECT_EQ(TokensOf("dd.Mm.yyyy"),
            (std::vector<T>{
                {dfDD, "dd"}, {dfLiteral, "."}, {dfMM, "Mm"}, {dfLiteral, "."}, {dfYYYY, "yyyy"}}));
  EXPECT_EQ(TokensOf("MONTHMONMM"),
            (std::vector<T>{{dfMONTH, "MONTH"}, {dfMON, "MON"}, {dfMM, "MM"}}));
  EXPECT_EQ(TokensOf("HH24HHH12DDDDD"),
            (std::vector<T>{
                {dfHH24, "HH24"}, {dfHH, "HH"}, {dfH12, "H12"}, {dfDDD, "DDD"}, {dfDD, "DD"}}));
  EXPECT_EQ(TokensOf("ampm-Day-dy-dw-rm"), (std::vector<T>{{dfAMPM, "ampm"},
                                                           {dfLiteral, "-"},
                                                           {dfDAY, "Day"},
                                                           {dfLiteral, "-"},
                                                           {dfDY, "dy"},
                                                           {dfLiteral, "-"},
                                                           {dfDW, "dw"},
                                                           {dfLiteral, "-"},
                                                           {dfRM, "rm"}}));
  // Characters that start no token gather into one literal.
  EXPECT_EQ(TokensOf("at #1"), (std::vector<T>{{dfLiteral, "at #1"}}));
}

TEST(DateFormaterTokens, QuotedText) {
  using T = TDateFormatToken;
  EXPECT_EQ(TokensOf("\"Day\" DD"),
            (std::vector<T>{{dfLiteral, "Day"}, {dfLiteral, " "}, {dfDD, "DD"}}));
  // The other quote is plain text inside quotes; the pending literal comes first.
  EXPECT_EQ(TokensOf("x'it\"s'D"),
            (std::vector<T>{{dfLiteral, "x"}, {dfLiteral, "it\"s"}, {dfD, "D"}}));
  // An unclosed quote runs to the end.
  EXPECT_EQ(TokensOf("D'MM"), (std::vector<T>{{dfD, "D"}, {dfLiteral, "MM"}}));
  EXPECT_TRUE(TokensOf("").empty());
}

TEST(DateFormater, WrittenExamples) {
  EXPECT_EQ(Format("DD.MM.YYYY", At(2007, 3, 5)), "05.03.2007");
  EXPECT_EQ(Parse("DD.MM.YYYY", "05.03.2007"), At(2007, 3, 5));
  EXPECT_EQ(Parse("dd.mm.yyyy", "05.03.2007"), At(2007, 3, 5));
  EXPECT_EQ(Parse("YYYY-MM-DD HH24:NN:SS", "2007-03-05 14:07:09"), At(2007, 3, 5, 14, 7, 9));
  EXPECT_EQ(Format("Q", At(2007, 3, 5)), "1");
  EXPECT_EQ(Parse("YYYY Q DD", "2007 2 01"), At(2007, 4, 1));
  EXPECT_EQ(Format("RM", At(2007, 4, 30)), "IV");
  EXPECT_EQ(Parse("DD RM YYYY", "05 IX 2007"), At(2007, 9, 5));
  EXPECT_EQ(Format("HH:NN AMPM", At(2007, 3, 5, 14, 30)), "02:30 PM");
  EXPECT_EQ(Format("HH:NN AMPM", At(2007, 3, 5, 12, 0)), "00:00 PM");
  EXPECT_EQ(Parse("HH:NN AMPM", "02:30 PM"), At(1899, 12, 30, 14, 30));
  EXPECT_EQ(Parse("HH24:NN", "10:15"), At(1899, 12, 30, 10, 15));
  EXPECT_EQ(Format("\"Day\" DD", At(2007, 3, 5)), "Day 05");
  EXPECT_EQ(Parse("DD.MM.YY", "01.01.29"), At(2029, 1, 1));
  EXPECT_EQ(Parse("DD.MM.YY", "01.01.30"), At(1930, 1, 1));
}

TEST(DateFormater, EveryTokenFormats) {
  // Monday, the 64th day of 2007.
  const double t = At(2007, 3, 5, 14, 7, 9, 45);
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"YYYY", "2007"}, {"YY", "07"},      {"YEAR", "2007"}, {"Q", "1"},    {"MONTH", "March"},
      {"MON", "Mar"},   {"MM", "03"},      {"M", "3"},       {"RM", "III"}, {"DDD", "64"},
      {"DD", "05"},     {"DAY", "Monday"}, {"DY", "Mon"},    {"DW", "1"},   {"D", "5"},
      {"HH12", "02"},   {"HH24", "14"},    {"HH", "02"},     {"H12", "2"},  {"H24", "14"},
      {"H", "2"},       {"NN", "07"},      {"N", "7"},       {"SS", "09"},  {"S", "9"},
      {"ZZZ", "045"},   {"Z", "45"},       {"AMPM", "PM"},   {"'x'", "x"}};
  for (const auto& [pattern, expected] : cases) EXPECT_EQ(Format(pattern, t), expected) << pattern;
  // Day of the year and week day at the ends of a leap year; year 1 padded.
  EXPECT_EQ(Format("DDD DW DY", At(2008, 12, 31)), "366 3 Wed");
  EXPECT_EQ(Format("DDD DW RM Q", At(2006, 1, 1)), "1 7 I 1");
  EXPECT_EQ(Format("YYYY YY", At(1, 1, 1)), "0001 01");
  EXPECT_EQ(Format("Q RM", At(2007, 12, 31)), "4 XII");
  EXPECT_EQ(Format("H HH24 AMPM", At(2007, 1, 1, 0, 5)), "0 00 AM");
  EXPECT_EQ(Format("H AMPM", At(2007, 1, 1, 11, 59, 59, 999)), "11 AM");
}

TEST(DateFormater, EveryTokenReads) {
  const double day = At(2007, 3, 5);
  EXPECT_EQ(Parse("YEAR.M.D", "2007.3.5"), day);
  EXPECT_EQ(Parse("YY-MM-DD", "07-03-05"), day);
  EXPECT_EQ(Parse("YYYYMMDD", "20070305"), day);
  EXPECT_EQ(Parse("YYYY Q D", "2007 4 5"), At(2007, 10, 5));
  EXPECT_EQ(Parse("D RM YYYY", "5 XII 2007"), At(2007, 12, 5));
  EXPECT_EQ(Parse("D RM YYYY", "5 VIII 2007"), At(2007, 8, 5));
  // Skipped tokens: names, day of the year and day of the week.
  EXPECT_EQ(Parse("DAY, DD MONTH (MM) YYYY", "Monday, 05 March (03) 2007"), day);
  EXPECT_EQ(Parse("DY DD MON MM YYYY", "mon 05 MAR 03 2007"), day);
  EXPECT_EQ(Parse("DDD DW DD.MM.YYYY", "64 1 05.03.2007"), day);
  // Text that holds no day name skips the token's own length.
  EXPECT_EQ(Parse("DAY DD.MM.YYYY", "??? 05.03.2007"), day);
  const double tenPast = At(1899, 12, 30, 10, 7, 9, 45);
  for (const char* pattern :
       {"HH24:NN:SS.ZZZ", "H24:N:S.Z", "HH12:NN:SS.ZZZ", "HH:NN:SS.ZZZ", "H12:N:S.Z", "H:N:S.Z"}) {
    EXPECT_EQ(Parse(pattern, "10:07:09.045"), tenPast) << pattern;
  }
  EXPECT_EQ(Parse("H:N:S.Z", "10:7:9.45"), tenPast);
  EXPECT_EQ(Parse("H:N:S", "1:2:3"), At(1899, 12, 30, 1, 2, 3));
}

TEST(DateFormater, MonthNamesSetTheMonth) {
  EXPECT_EQ(Parse("DD MON YYYY", "05 Mar 2007"), At(2007, 3, 5));
  EXPECT_EQ(Parse("DD MONTH YYYY", "05 march 2007"), At(2007, 3, 5));
  EXPECT_EQ(Parse("MONTH DD, YYYY", "SEPTEMBER 30, 2007"), At(2007, 9, 30));
  EXPECT_EQ(Parse("MONYYYY D", "dec2007 1"), At(2007, 12, 1));
  // May is both a long and a short name.
  EXPECT_EQ(Parse("D MONTH YYYY", "1 May 2007"), At(2007, 5, 1));
  EXPECT_EQ(Parse("D MON YYYY", "1 May 2007"), At(2007, 5, 1));
  // The name must take the whole run of letters, of the token's own length.
  for (const char* text : {"05 March 2007", "05 Foo 2007", "05 3 2007", "05 Marc 2007", "05 "}) {
    EXPECT_EQ(MessageOf([&] { Parse("DD MON YYYY", text); }),
              "'" + std::string(text) + "' is not a valid date")
        << text;
  }
  EXPECT_EQ(MessageOf([] { Parse("DD MONTH YYYY", "05 Mar 2007"); }),
            "'05 Mar 2007' is not a valid date");
  // The names come from the settings, accents and trailing dots included.
  const FormatSettings hu = FormatSettingsForLocale("hu_HU");
  ASSERT_EQ(hu.ShortMonthNames[2], "m\xE1rc.");
  EXPECT_EQ(TDateFormater("YYYY. MON DD.", hu).ParseDate("2007. M\xC1RC. 05."), At(2007, 3, 5));
  EXPECT_EQ(TDateFormater("YYYY. MONTH DD.", hu).ParseDate("2007. \xE1prilis 05."), At(2007, 4, 5));
  EXPECT_ANY_THROW(TDateFormater("YYYY. MON DD.", hu).ParseDate("2007. m\xE1r. 05."));
}

TEST(DateFormater, TwelveHourClock) {
  // 12 AM is midnight and 12 PM noon; the formatter writes them as 00.
  EXPECT_EQ(Parse("HH:NN AMPM", "12:30 AM"), At(1899, 12, 30, 0, 30));
  EXPECT_EQ(Parse("HH:NN AMPM", "12:30 PM"), At(1899, 12, 30, 12, 30));
  EXPECT_EQ(Parse("HH:NN AMPM", "00:30 PM"), At(1899, 12, 30, 12, 30));
  EXPECT_EQ(Parse("HH:NN ampm", "11:30 pm"), At(1899, 12, 30, 23, 30));
  // The word may come before the hour.
  EXPECT_EQ(Parse("AMPM HH:NN", "PM 02:30"), At(1899, 12, 30, 14, 30));
  EXPECT_EQ(MessageOf([] { Parse("HH:NN AMPM", "01:30 PX"); }),
            "AM/PM word expected, but 'PX' found - Native error: 02146");
  EXPECT_EQ(NativeErrorOf([] { Parse("HH:NN AMPM", "01:30 P"); }), 2146);
  EXPECT_EQ(NativeErrorOf([] { Parse("HH:NN AMPM", "01:30"); }), 2146);
  EXPECT_EQ(MessageOf([] { Parse("HH:NN AMPM", "13:30 PM"); }), "'13:30 PM' is not a valid time");
}

TEST(DateFormater, BadInputRaisesTheConversionErrors) {
  const std::vector<std::pair<const char*, const char*>> notNumbers = {
      {"ab.03.2007", "'a' is not a valid integer value"},
      {"05.03.20", "'20' is not a valid integer value"},  // a fixed width runs out
      {"05.03.", "'' is not a valid integer value"},
      {"05", "'' is not a valid integer value"},
      {"5.-3.2007", "'-3' is not a valid integer value"},
      {"05.03.0x7D", "'0x7D' is not a valid integer value"},
      {"", "'' is not a valid integer value"},
  };
  for (const auto& [text, message] : notNumbers)
    EXPECT_EQ(MessageOf([text] { Parse("DD.MM.YYYY", text); }), message) << text;

  // Dates that do not exist, including a part read as zero.
  for (const char* text : {"31.02.2007", "29.02.2007", "05.13.2007", "00.03.2007", "05.00.2007",
                           "05.03.0000", "32.01.2007"}) {
    EXPECT_EQ(MessageOf([text] { Parse("DD.MM.YYYY", text); }),
              "'" + std::string(text) + "' is not a valid date");
  }
  EXPECT_EQ(Parse("DD.MM.YYYY", "29.02.2008"), At(2008, 2, 29));
  // A part the pattern gives must exist even when the date falls back.
  EXPECT_EQ(MessageOf([] { Parse("MM.YYYY", "13.2007"); }), "'13.2007' is not a valid date");
  EXPECT_EQ(Parse("MM.YYYY", "12.2007"), At(1899, 12, 30));
  EXPECT_EQ(MessageOf([] { Parse("YYYY Q", "2007 5"); }), "'2007 5' is not a valid date");
  EXPECT_EQ(MessageOf([] { Parse("YYYY Q", "2007 0"); }), "'2007 0' is not a valid date");

  EXPECT_EQ(MessageOf([] { Parse("HH24:NN", "24:00"); }), "'24:00' is not a valid time");
  EXPECT_EQ(MessageOf([] { Parse("HH24:NN", "10:60"); }), "'10:60' is not a valid time");
  for (const char* text : {"05 IIII 2007", "05 VX 2007", "05 A 2007", "05 XIII 2007"}) {
    EXPECT_NE(MessageOf([text] { Parse("DD RM YYYY", text); }).find("is not a valid integer"),
              std::string::npos)
        << text;
  }
  EXPECT_EQ(MessageOf([] { Parse("DD RM", "05 "); }), "'' is not a valid integer value");
}

TEST(DateFormater, UnknownKindsAndOutOfRangeNumbers) {
  const TDateFormater odd({{dfDD, "DD"}, {29, "?"}}, kEnglish);
  EXPECT_EQ(MessageOf([&] { odd.FormatDate(At(2007, 3, 5)); }), "Unknown DateFormatType");
  EXPECT_EQ(MessageOf([&] { odd.ParseDate("05?"); }), "Unknown DateFormatType");
  const TDateFormater plain("DD.MM.YYYY", kEnglish);
  EXPECT_EQ(MessageOf([&] { plain.FormatDate(-700001); }), "Date-time value out of range: -700001");
  EXPECT_NE(MessageOf([&] { plain.FormatDate(std::nan("")); }), testing::kNoException);
}

TEST(DateFormater, MaxLength) {
  EXPECT_EQ(TDateFormater("DD.MM.YYYY", kEnglish).MaxLength(), 10);
  EXPECT_EQ(TDateFormater("YEAR Q MONTH MON DDD DAY DY ZZZ Z RM AMPM", kEnglish).MaxLength(),
            4 + 1 + 9 + 3 + 3 + 12 + 3 + 3 + 3 + 4 + 2 + 10);
  // Long names of a locale widen the bound.
  FormatSettings longNames;
  longNames.LongMonthNames[8] = "Septembervember";
  longNames.ShortDayNames[0] = "Sunday";
  EXPECT_EQ(TDateFormater("MONTH DY", longNames).MaxLength(), 15 + 1 + 6);
}

// Patterns whose output reads back, with what each keeps of the time.
struct RoundTrip {
  const char* Pattern;
  int KeptMs;  // the time is kept to multiples of this (0: not at all)
};

// A date-time in years 1..9999 with a random time of day.
double RandomDateTime(std::mt19937& rng) {
  std::uniform_int_distribution<std::int32_t> day(kMinDayNumber, kMaxDayNumber);
  std::uniform_int_distribution<std::int32_t> ms(0, kMsPerDay - 1);
  return DayAndTimeToDateTime(day(rng), ms(rng));
}

TEST(DateFormaterProperty, FormatThenParseRoundTrips) {
  const std::vector<RoundTrip> patterns = {
      {"YYYY-MM-DD HH24:NN:SS.ZZZ", 1},
      {"YYYYMMDDHH24NNSSZZZ", 1},
      {"D/M/YEAR H:N:S.Z AMPM", 1},
      {"DD RM YYYY HH12:NN AMPM", 60000},
      {"DAY DD MONTH MM YYYY DDD DW", 0},
      {"dy, dd mon mm yyyy hh24", 3600000},
      {"\"on\" DD.MM.YYYY 'at' HH24:NN:SS", 1000},
  };
  std::vector<FormatSettings> locales = {kEnglish, FormatSettingsForLocale("hu_HU"),
                                         FormatSettingsForLocale("de_DE")};
  std::mt19937 rng(20070305);
  for (const FormatSettings& fs : locales) {
    for (const RoundTrip& rt : patterns) {
      const TDateFormater f(rt.Pattern, fs);
      for (int i = 0; i < 2000; ++i) {
        const double dateTime = i == 0   ? At(1, 1, 1)
                                : i == 1 ? At(9999, 12, 31, 23, 59, 59, 999)
                                         : RandomDateTime(rng);
        const TDayAndTime dt = CheckedDayAndTime(dateTime);
        const std::int32_t ms = rt.KeptMs == 0 ? 0 : dt.Ms / rt.KeptMs * rt.KeptMs;
        const std::string text = f.FormatDate(dateTime);
        ASSERT_LE(static_cast<int>(text.size()), f.MaxLength()) << rt.Pattern << " " << text;
        double back = 0;
        ASSERT_NO_THROW(back = f.ParseDate(text)) << rt.Pattern << " " << text;
        ASSERT_EQ(back, DayAndTimeToDateTime(dt.Day, ms)) << rt.Pattern << " " << text;
      }
    }
  }
}

TEST(DateFormaterProperty, MaxLengthBoundsEveryToken) {
  std::mt19937 rng(4591);
  for (const FormatSettings& fs : {kEnglish, FormatSettingsForLocale("hu_HU")}) {
    for (int kind = 0; kind < dfLiteral; ++kind) {
      const TDateFormater f(std::vector<TDateFormatToken>{{static_cast<std::uint8_t>(kind), "x"}},
                            fs);
      for (int i = 0; i < 500; ++i) {
        const double dateTime = RandomDateTime(rng);
        ASSERT_LE(static_cast<int>(f.FormatDate(dateTime).size()), f.MaxLength()) << kind;
      }
    }
  }
}

TEST(DateFormaterProperty, RandomTextNeverCrashes) {
  std::mt19937 rng(4677);
  const std::string alphabet = "0123456789 .:-/IVXAPMivxapm'\"\xE1";
  const std::vector<const char*> pieces = {
      "YYYY", "YY", "YEAR", "Q",   "MONTH", "MON",  "MM", "M",   "RM",  "DDD", "DD",
      "DAY",  "DY", "DW",   "D",   "HH12",  "HH24", "HH", "H12", "H24", "H",   "NN",
      "N",    "SS", "S",    "ZZZ", "Z",     "AMPM", ".",  " ",   ":",   "'",   "\""};
  auto randomText = [&](std::size_t maxLength) {
    std::string s(rng() % (maxLength + 1), ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  int parsed = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string pattern;
    for (std::uint32_t n = rng() % 6; n > 0; --n) pattern += pieces[rng() % pieces.size()];
    const TDateFormater f(pattern, kEnglish);
    // Half the texts are random, half a formatted date with a character changed.
    std::string text = randomText(24);
    if (i % 2 == 1) {
      text = f.FormatDate(RandomDateTime(rng));
      if (!text.empty()) text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
    }
    try {
      const double value = f.ParseDate(text);
      TDayAndTime dt{};
      ASSERT_TRUE(TryDateTimeToDayAndTime(value, &dt)) << pattern << " " << text;
      ++parsed;
    } catch (const Exception&) {
    }
  }
  // Both outcomes occur, so the loop tests something.
  EXPECT_GT(parsed, 100);
  EXPECT_LT(parsed, 4000);
}

}  // namespace
}  // namespace kivo
