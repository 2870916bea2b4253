// Seeded random text through every text-to-number and text-to-date
// conversion, and random integers through the integer arithmetic: each
// outcome is checked against a reference written independently here.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>
// GCC 12 reports a false maybe-uninitialized inside std::regex when built
// with the sanitizers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "sql/values.h"

namespace kivo {
namespace {

FormatSettings FuzzSettings() {
  FormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.DateSeparator = '-';
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = "yyyy/mm/dd";
  fs.LongTimeFormat = "hh:nn:ss";
  fs.TimeAMString = "AM";
  fs.TimePMString = "PM";
  return fs;
}

// ---------------------------------------------------------------------------
// Reference readers.

std::optional<std::int64_t> ReferenceInteger(const std::string& text, std::uint8_t type) {
  static const std::regex kInt(R"(^[ \t]*([+-]?)(\$[0-9A-Fa-f]+|0[xX][0-9A-Fa-f]+|[0-9]+)$)");
  std::smatch m;
  if (!std::regex_match(text, m, kInt)) return std::nullopt;
  const bool negative = m[1] == "-";
  std::string digits = m[2];
  int base = 10;
  if (digits[0] == '$') {
    digits = digits.substr(1);
    base = 16;
  } else if (digits.size() > 1 && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
    base = 16;
  }
  // Leading zeros do not count towards the length.
  const std::size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  if (digits.size() > 20) return std::nullopt;
  __int128 magnitude = 0;
  for (char c : digits) magnitude = magnitude * base + std::stoi(std::string(1, c), nullptr, 16);
  int bits = 32;
  if (type == ftSmallint || type == ftWord) bits = 16;
  if (type == ftLargeint) bits = 64;
  const bool isUnsigned = type == ftWord;
  const __int128 span = static_cast<__int128>(1) << bits;
  const __int128 low = isUnsigned ? 0 : -(span / 2);
  const __int128 high = isUnsigned ? span - 1 : span / 2 - 1;
  __int128 value = negative ? -magnitude : magnitude;
  if (base == 16 && !negative) {
    if (magnitude >= span) return std::nullopt;
    if (value > high) value -= span;  // the full width is a bit pattern
  }
  if (value < low || value > high) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// Nothing when the text must be refused; a value when it must be accepted
// with that value; with `maybe` set when either outcome is right (a result
// too small for a double).
std::optional<double> ReferenceFloat(const std::string& text, bool* maybe) {
  static const std::regex kFloat(
      R"(^[ \t]*[+-]?([0-9]+(,[0-9]*)?|,[0-9]+)([eE][+-]?[0-9]+)?[ \t]*$)");
  *maybe = false;
  if (!std::regex_match(text, kFloat)) return std::nullopt;
  std::string c = text;
  for (char& ch : c)
    if (ch == ',') ch = '.';
  errno = 0;
  const double v = std::strtod(c.c_str(), nullptr);
  if (!std::isfinite(v)) return std::nullopt;
  if (errno == ERANGE) *maybe = true;
  return v;
}

std::optional<std::int64_t> ReferenceDays(const std::string& y, const std::string& m,
                                          const std::string& d) {
  int year = std::stoi(y);
  if (y.size() <= 2) year += year < 30 ? 2000 : 1900;
  // chrono keeps days and months in a byte; larger numbers would wrap.
  if (std::stoi(m) > 12 || std::stoi(d) > 31) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year(year),
                                        std::chrono::month(static_cast<unsigned>(std::stoi(m))),
                                        std::chrono::day(static_cast<unsigned>(std::stoi(d)))};
  if (year < 1 || year > 9999 || !ymd.ok()) return std::nullopt;
  using std::chrono::sys_days;
  const sys_days epoch = std::chrono::year(1899) / std::chrono::December / 30;
  return (sys_days(ymd) - epoch).count();
}

std::optional<std::int64_t> ReferenceMs(const std::smatch& m, std::size_t at) {
  // Groups: hour, minute, second, fraction, AM/PM.
  int hour = std::stoi(m[at].str());
  const bool haveMinute = m[at + 1].matched;
  const int minute = haveMinute ? std::stoi(m[at + 1].str()) : 0;
  const int second = m[at + 2].matched ? std::stoi(m[at + 2].str()) : 0;
  int ms = 0;
  if (m[at + 3].matched) {
    std::string f = m[at + 3].str();
    while (f.size() < 3) f += '0';
    ms = std::stoi(f);
  }
  if (m[at + 4].matched) {
    const bool pm = m[at + 4].str()[0] == 'p' || m[at + 4].str()[0] == 'P';
    if (hour < 1 || hour > 12) return std::nullopt;
    hour = hour % 12 + (pm ? 12 : 0);
  } else if (!haveMinute) {
    return std::nullopt;
  }
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return ((hour * 60 + minute) * 60 + second) * 1000 + ms;
}

double ReferenceNumber(std::int64_t days, std::int64_t ms) {
  const double frac = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

const char* const kDatePart =
    R"([ \t]*([0-9]{1,4})(?![0-9])[ \t]*-[ \t]*([0-9]{1,4})(?![0-9])[ \t]*-[ \t]*([0-9]{1,4})(?![0-9])(?:[ \t]*-)?)";
const char* const kTimePart =
    R"([ \t]*([0-9]{1,2})(?![0-9])(?::([0-9]{1,2})(?![0-9])(?::([0-9]{1,2})(?![0-9])(?:[,.]([0-9]{1,3})(?![0-9]))?)?)?[ \t]*([aApP][mM])?)";

std::optional<double> ReferenceDate(const std::string& text) {
  static const std::regex kDate(std::string("^") + kDatePart + "[ \\t]*$");
  std::smatch m;
  if (!std::regex_match(text, m, kDate)) return std::nullopt;
  const auto days = ReferenceDays(m[1], m[2], m[3]);
  if (!days) return std::nullopt;
  return ReferenceNumber(*days, 0);
}

std::optional<double> ReferenceTime(const std::string& text) {
  static const std::regex kTime(std::string("^") + kTimePart + "[ \\t]*$");
  std::smatch m;
  if (!std::regex_match(text, m, kTime)) return std::nullopt;
  const auto ms = ReferenceMs(m, 1);
  if (!ms) return std::nullopt;
  return ReferenceNumber(0, *ms);
}

std::optional<double> ReferenceDateTime(const std::string& text) {
  static const std::regex kDateTime(std::string("^") + kDatePart + kTimePart + "[ \\t]*$");
  if (auto d = ReferenceDate(text)) return d;
  std::smatch m;
  if (std::regex_match(text, m, kDateTime)) {
    const auto days = ReferenceDays(m[1], m[2], m[3]);
    const auto ms = ReferenceMs(m, 4);
    if (!days || !ms) return std::nullopt;
    return ReferenceNumber(*days, *ms);
  }
  return ReferenceTime(text);
}

// ---------------------------------------------------------------------------
// Random text.

std::string RandomText(std::mt19937& rng) {
  static const std::string kAlphabet = " \t+-$xX0123456789aAbfFeE.,:/-pPmM\xF5z";
  std::uniform_int_distribution<int> length(0, 14);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string s;
  const int n = length(rng);
  for (int i = 0; i < n; ++i) s += kAlphabet[pick(rng)];
  return s;
}

std::string Mutated(std::mt19937& rng) {
  static const char* const kSeeds[] = {"2007-03-05",
                                       "1-1-1",
                                       "9999-12-31 23:59:59",
                                       "07-2-29",
                                       "2000-02-29 12:00 PM",
                                       "14:07:09,5",
                                       "12:00 am",
                                       "-123",
                                       "$7FFF",
                                       "0xFFFFFFFF",
                                       "65535",
                                       "2147483647",
                                       "-9223372036854775808",
                                       "2,5E3",
                                       ",5",
                                       "1e308",
                                       "  42  ",
                                       "2007-03-05-10:00"};
  static const std::string kChars = "0123456789-:, $xeEaApPmM9";
  std::string s = kSeeds[std::uniform_int_distribution<std::size_t>(0, std::size(kSeeds) - 1)(rng)];
  const int edits = std::uniform_int_distribution<int>(0, 3)(rng);
  for (int e = 0; e < edits; ++e) {
    const int kind = std::uniform_int_distribution<int>(0, 2)(rng);
    const std::size_t pos = std::uniform_int_distribution<std::size_t>(0, s.size())(rng);
    const char c = kChars[std::uniform_int_distribution<std::size_t>(0, kChars.size() - 1)(rng)];
    if (kind == 0) {
      s.insert(pos, 1, c);
    } else if (pos < s.size()) {
      if (kind == 1) {
        s.erase(pos, 1);
      } else {
        s[pos] = c;
      }
    }
  }
  return s;
}

// Converts text to `type`; checks a refusal is error 2093 with its message.
// Returns the value, or nothing when refused.
std::optional<TZorValue> Convert(const std::string& text, std::uint8_t type,
                                 const FormatSettings& fs) {
  TZorValue v;
  v.SetString(text);
  try {
    v.ConvertTo(type, &fs);
  } catch (const ZorException& e) {
    EXPECT_EQ(e.NativeError(), native_error::kConversionFailed)
        << "'" << text << "' to " << TZorValue::TypeName(type);
    EXPECT_EQ(e.Message(), std::string("Can't convert data type from 'String' to '") +
                               TZorValue::TypeName(type) + "' - Native error: 02093");
    return std::nullopt;
  }
  EXPECT_EQ(v.DataType(), type);
  return v;
}

TEST(ValuesFuzz, RandomTextReadsAsNumbersOnlyWhenWellFormed) {
  const FormatSettings fs = FuzzSettings();
  std::mt19937 rng(20070305);
  int accepted = 0;
  for (int i = 0; i < 10000; ++i) {
    const std::string text = i % 2 ? RandomText(rng) : Mutated(rng);
    if (text.find('\0') != std::string::npos || text.empty()) continue;
    SCOPED_TRACE("text '" + text + "'");
    for (std::uint8_t type : {ftSmallint, ftInteger, ftWord, ftAutoInc, ftLargeint}) {
      const auto expected = ReferenceInteger(text, type);
      const auto got = Convert(text, type, fs);
      ASSERT_EQ(got.has_value(), expected.has_value()) << TZorValue::TypeName(type);
      if (got) {
        ++accepted;
        TZorValue wide(*got);
        wide.ConvertTo(ftLargeint);
        EXPECT_EQ(wide.AsLargeInt(), *expected);
      }
    }
    for (std::uint8_t type : {ftFloat, ftCurrency}) {
      bool maybe = false;
      const auto expected = ReferenceFloat(text, &maybe);
      const auto got = Convert(text, type, fs);
      if (!maybe) {
        ASSERT_EQ(got.has_value(), expected.has_value());
      }
      if (got) {
        ++accepted;
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(got->AsFloat(), *expected);
      }
    }
  }
  EXPECT_GT(accepted, 1000);
}

TEST(ValuesFuzz, RandomTextReadsAsDatesOnlyWhenWellFormed) {
  const FormatSettings fs = FuzzSettings();
  std::mt19937 rng(19991231);
  int accepted = 0;
  for (int i = 0; i < 10000; ++i) {
    const std::string text = i % 3 == 0 ? RandomText(rng) : Mutated(rng);
    if (text.find('\0') != std::string::npos || text.empty()) continue;
    SCOPED_TRACE("text '" + text + "'");
    const std::optional<double> expected[] = {ReferenceDate(text), ReferenceTime(text),
                                              ReferenceDateTime(text)};
    const std::uint8_t types[] = {ftDate, ftTime, ftDateTime};
    for (int k = 0; k < 3; ++k) {
      const auto got = Convert(text, types[k], fs);
      ASSERT_EQ(got.has_value(), expected[k].has_value()) << TZorValue::TypeName(types[k]);
      if (got) {
        ++accepted;
        EXPECT_EQ(got->AsDateTime(), *expected[k]) << TZorValue::TypeName(types[k]);
      }
    }
  }
  EXPECT_GT(accepted, 500);
}

// ---------------------------------------------------------------------------
// Integer arithmetic against exact 128-bit results.

struct TTyped {
  std::uint8_t Type;
  __int128 Value;
};

TTyped RandomInteger(std::mt19937_64& rng) {
  static const std::uint8_t kTypes[] = {ftSmallint, ftWord, ftInteger, ftAutoInc, ftLargeint};
  const std::uint8_t type = kTypes[rng() % 5];
  __int128 lo = 0, hi = 0;
  switch (type) {
    case ftSmallint:
      lo = INT16_MIN;
      hi = INT16_MAX;
      break;
    case ftWord:
      lo = 0;
      hi = UINT16_MAX;
      break;
    case ftLargeint:
      lo = INT64_MIN;
      hi = INT64_MAX;
      break;
    default:
      lo = INT32_MIN;
      hi = INT32_MAX;
      break;
  }
  __int128 v = 0;
  switch (rng() % 4) {
    case 0:
      v = lo + static_cast<__int128>(rng() % 3);
      break;  // near the bottom
    case 1:
      v = hi - static_cast<__int128>(rng() % 3);
      break;  // near the top
    case 2:
      v = static_cast<__int128>(rng() % 7) - 3;
      break;  // small
    default:
      v = lo + static_cast<__int128>(rng() % static_cast<std::uint64_t>(hi - lo));
      break;
  }
  return {type, v < lo ? lo : v > hi ? hi : v};
}

TZorValue Make(const TTyped& t) {
  TZorValue v;
  switch (t.Type) {
    case ftSmallint:
      v.SetSmallInt(static_cast<std::int16_t>(t.Value));
      break;
    case ftWord:
      v.SetWord(static_cast<std::uint16_t>(t.Value));
      break;
    case ftInteger:
      v.SetInteger(static_cast<std::int32_t>(t.Value));
      break;
    case ftAutoInc:
      v.SetAutoInc(static_cast<std::int32_t>(t.Value));
      break;
    default:
      v.SetLargeInt(static_cast<std::int64_t>(t.Value));
      break;
  }
  return v;
}

__int128 ValueOf(const TZorValue& v) {
  switch (v.DataType()) {
    case ftSmallint:
      return v.AsSmallInt();
    case ftWord:
      return v.AsWord();
    case ftInteger:
    case ftAutoInc:
      return v.AsInteger();
    case ftLargeint:
      return v.AsLargeInt();
    default:
      ADD_FAILURE() << "not an integer: " << TZorValue::TypeName(v.DataType());
      return 0;
  }
}

// Exact result: the value, or an overflow when it leaves 64 bits.
void CheckExact(const std::function<void(TZorValue&)>& op, TZorValue v, __int128 exact) {
  if (exact < INT64_MIN || exact > INT64_MAX) {
    EXPECT_THROW(op(v), EIntOverflow);
    return;
  }
  op(v);
  EXPECT_EQ(ValueOf(v), exact);
}

TEST(ValuesFuzz, IntegerArithmeticIsExactOrRaisesOverflow) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    const TTyped a = RandomInteger(rng), b = RandomInteger(rng);
    const TZorValue va = Make(a), vb = Make(b);
    CheckExact([&](TZorValue& v) { v.Add(vb); }, va, a.Value + b.Value);
    CheckExact([&](TZorValue& v) { v.Multiply(vb); }, va, a.Value * b.Value);
    CheckExact([](TZorValue& v) { v.Negate(); }, va, -a.Value);
    CheckExact([](TZorValue& v) { v.Abs(); }, va, a.Value < 0 ? -a.Value : a.Value);
    TZorValue q(va);
    if (b.Value == 0) {
      EXPECT_THROW(q.Divide(vb), EDivByZero);
      EXPECT_EQ(TZorValue::Compare(q, va), zcrEqual);  // left as it was
      EXPECT_THROW(q.Modulo(vb), EDivByZero);
      EXPECT_EQ(q.DataType(), a.Type);
      continue;
    }
    q.Modulo(vb);
    EXPECT_EQ(ValueOf(q), a.Value % b.Value);
    q = va;
    q.Divide(vb);
    const bool whole = (a.Type == ftInteger || a.Type == ftAutoInc) &&
                       (b.Type == ftInteger || b.Type == ftAutoInc);
    if (whole) {
      EXPECT_EQ(ValueOf(q), a.Value / b.Value);
    } else {
      EXPECT_EQ(q.AsFloat(), static_cast<double>(static_cast<std::int64_t>(a.Value)) /
                                 static_cast<double>(static_cast<std::int64_t>(b.Value)));
    }
  }
}

}  // namespace
}  // namespace kivo
