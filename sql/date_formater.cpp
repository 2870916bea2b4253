#include "sql/date_formater.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/errors.h"
#include "platform/value_text.h"
#include "sql/values.h"

namespace kivo {

namespace {

// Token names by kind; the literal has none.
constexpr std::array<std::string_view, dfLiteral> kTokenNames = {
    "YYYY", "YY",  "YEAR", "Q",  "MONTH", "MON",  "MM",   "M",   "RM",  "DDD",
    "DD",   "DAY", "DY",   "DW", "D",     "HH12", "HH24", "HH",  "H12", "H24",
    "H",    "NN",  "N",    "SS", "S",     "ZZZ",  "Z",    "AMPM"};
constexpr std::size_t kLongestName = 5;

constexpr std::array<std::string_view, 12> kRomanMonths = {"I",   "II",   "III", "IV", "V",  "VI",
                                                           "VII", "VIII", "IX",  "X",  "XI", "XII"};
constexpr int kLongestRoman = 4;  // VIII

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The kind whose name is the upper-cased `text`, or dfLiteral.
std::uint8_t KindNamed(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = UpperAscii(c);
  for (std::size_t k = 0; k < kTokenNames.size(); ++k)
    if (kTokenNames[k] == upper) return static_cast<std::uint8_t>(k);
  return dfLiteral;
}

std::vector<TDateFormatToken> Tokenize(std::string_view pattern) {
  std::vector<TDateFormatToken> tokens;
  std::string pending;
  auto emitLiteral = [&tokens](std::string& text) {
    if (!text.empty()) tokens.push_back({dfLiteral, std::move(text)});
    text.clear();
  };
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\'' || c == '"') {
      emitLiteral(pending);
      // An unclosed quote runs to the end of the pattern.
      const std::size_t close = std::min(pattern.find(c, i + 1), pattern.size());
      std::string quoted(pattern.substr(i + 1, close - i - 1));
      emitLiteral(quoted);
      i = close + 1;
      continue;
    }
    std::uint8_t kind = dfLiteral;
    std::size_t length = std::min(kLongestName, pattern.size() - i);
    for (; length > 0; --length) {
      kind = KindNamed(pattern.substr(i, length));
      if (kind != dfLiteral) break;
    }
    if (kind == dfLiteral) {
      pending += c;
      ++i;
      continue;
    }
    emitLiteral(pending);
    tokens.push_back({kind, std::string(pattern.substr(i, length))});
    i += length;
  }
  emitLiteral(pending);
  return tokens;
}

[[noreturn]] void ThrowUnknownKind() { throw Exception("Unknown DateFormatType"); }

[[noreturn]] void ThrowNotInteger(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
}

// The number in `text`: blanks, then decimal digits only (no sign and no
// hexadecimal form, which a date part never has).
int ReadNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) ThrowNotInteger(text);
  int value = 0;
  for (std::size_t k = i; k < text.size(); ++k) {
    if (!IsDigit(text[k])) ThrowNotInteger(text);
    value = value * 10 + (text[k] - '0');  // at most 4 digits
  }
  return value;
}

// How far a name token skips at `pos`: the longest of `names` that the text
// holds there (in any case), else `fallback` characters.
template <std::size_t N>
std::size_t SkippedName(std::string_view text, std::size_t pos,
                        const std::array<std::string, N>& names, std::size_t fallback) {
  if (pos >= text.size()) return fallback;
  const std::string_view rest = text.substr(pos);
  std::size_t longest = 0;
  for (const std::string& name : names) {
    if (name.size() > longest && name.size() <= rest.size() &&
        AnsiUpperCase(rest.substr(0, name.size())) == AnsiUpperCase(name)) {
      longest = name.size();
    }
  }
  return longest > 0 ? longest : fallback;
}

// A letter of a month name: an ASCII letter, or a Windows-1250 character
// that has a case (accented letters).
bool IsNameLetter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return static_cast<unsigned char>(c) >= 0x80 && AnsiUpperChar(c) != AnsiLowerChar(c);
}

// The month (1-12) whose name among `names` the text holds at `pos`, and
// the name's length; month 0 when none does. The name must take the whole
// run of letters there ("Mar" is not read out of "March"); it may go on
// past the run with other characters ("Jan." in some locales).
std::pair<int, std::size_t> MonthName(std::string_view text, std::size_t pos,
                                      const std::array<std::string, 12>& names) {
  if (pos >= text.size()) return {0, 0};
  const std::string_view rest = text.substr(pos);
  std::size_t run = 0;
  while (run < rest.size() && IsNameLetter(rest[run])) ++run;
  int month = 0;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (name.size() >= run && name.size() > longest && name.size() <= rest.size() &&
        AnsiUpperCase(rest.substr(0, name.size())) == AnsiUpperCase(name)) {
      month = static_cast<int>(i) + 1;
      longest = name.size();
    }
  }
  return {month, longest};
}

// How far a day-number token skips at `pos`: its digits (up to `width`),
// else `fallback` characters.
std::size_t SkippedDigits(std::string_view text, std::size_t pos, std::size_t width,
                          std::size_t fallback) {
  std::size_t n = 0;
  while (pos + n < text.size() && n < width && IsDigit(text[pos + n])) ++n;
  return n > 0 ? n : fallback;
}

// The widest of `floor` and the lengths of `names`.
template <std::size_t N>
int Widest(int floor, const std::array<std::string, N>& names) {
  int widest = floor;
  for (const std::string& name : names) widest = std::max(widest, static_cast<int>(name.size()));
  return widest;
}

// The part a reading token sets.
enum class Part { kNone, kYear, kMonth, kDay, kHour, kMinute, kSecond, kMs };

Part PartOf(std::uint8_t kind) {
  switch (kind) {
    case dfYYYY:
    case dfYY:
    case dfYEAR:
      return Part::kYear;
    case dfQ:
    case dfMONTH:
    case dfMON:
    case dfMM:
    case dfM:
    case dfRM:
      return Part::kMonth;
    case dfDD:
    case dfD:
      return Part::kDay;
    case dfHH12:
    case dfHH24:
    case dfHH:
    case dfH12:
    case dfH24:
    case dfH:
      return Part::kHour;
    case dfNN:
    case dfN:
      return Part::kMinute;
    case dfSS:
    case dfS:
      return Part::kSecond;
    case dfZZZ:
    case dfZ:
      return Part::kMs;
    default:
      return Part::kNone;
  }
}

}  // namespace

TDateFormater::TDateFormater(std::string_view pattern, const FormatSettings& settings)
    : tokens_(Tokenize(pattern)), settings_(settings) {}

TDateFormater::TDateFormater(std::vector<TDateFormatToken> tokens, const FormatSettings& settings)
    : tokens_(std::move(tokens)), settings_(settings) {}

std::string TDateFormater::FormatDate(double dateTime) const {
  const TDayAndTime dt = CheckedDayAndTime(dateTime);
  const TDateParts p = DecodeDateParts(dateTime);
  const int hour12 = p.Hour % 12;
  std::string out;
  auto platform = [&](const char* code) { out += FormatDateTimeText(code, dateTime, settings_); };
  for (const TDateFormatToken& token : tokens_) {
    switch (token.Kind) {
      case dfYYYY:
      case dfYEAR:
        platform("yyyy");
        break;
      case dfYY:
        platform("yy");
        break;
      case dfQ:
        out += std::to_string((p.Month - 1) / 3 + 1);
        break;
      case dfMONTH:
        platform("mmmm");
        break;
      case dfMON:
        platform("mmm");
        break;
      case dfMM:
        platform("mm");
        break;
      case dfM:
        platform("m");
        break;
      case dfRM:
        out += kRomanMonths[static_cast<std::size_t>(p.Month - 1)];
        break;
      case dfDDD: {
        double newYear = 0;
        TryEncodeDate(p.Year, 1, 1, &newYear);
        out += std::to_string(dt.Day - CheckedDayAndTime(newYear).Day + 1);
        break;
      }
      case dfDD:
        platform("dd");
        break;
      case dfDAY:
        platform("dddd");
        break;
      case dfDY:
        platform("ddd");
        break;
      case dfDW:
        // DayOfWeek counts from Sunday = 1; here Monday is 1 and Sunday 7.
        out += std::to_string((p.DayOfWeek + 5) % 7 + 1);
        break;
      case dfD:
        platform("d");
        break;
      case dfHH12:
      case dfHH:
        out += (hour12 < 10 ? "0" : "") + std::to_string(hour12);
        break;
      case dfH12:
      case dfH:
        out += std::to_string(hour12);
        break;
      case dfHH24:
        platform("hh");
        break;
      case dfH24:
        platform("h");
        break;
      case dfNN:
        platform("nn");
        break;
      case dfN:
        platform("n");
        break;
      case dfSS:
        platform("ss");
        break;
      case dfS:
        platform("s");
        break;
      case dfZZZ:
        platform("zzz");
        break;
      case dfZ:
        platform("z");
        break;
      case dfAMPM:
        out += p.Hour >= 12 ? "PM" : "AM";
        break;
      case dfLiteral:
        out += token.Text;
        break;
      default:
        ThrowUnknownKind();
    }
  }
  return out;
}

double TDateFormater::ParseDate(std::string_view text) const {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  bool haveYear = false, haveMonth = false, haveDay = false;
  enum { kNoHalf, kAm, kPm } half = kNoHalf;
  std::size_t pos = 0;
  // The next `width` characters, fewer at the end of the text.
  auto take = [&](std::size_t width) {
    const std::string_view taken = text.substr(std::min(pos, text.size()), width);
    pos += taken.size();
    return taken;
  };
  // Exactly `width` characters read as a number.
  auto fixedNumber = [&](std::size_t width) {
    const std::string_view taken = take(width);
    if (taken.size() < width) ThrowNotInteger(taken);
    return ReadNumber(taken);
  };
  // The character at the position and up to `width - 1` digits after it.
  auto digits = [&](std::size_t width) {
    std::size_t end = std::min(pos + 1, text.size());
    while (end < text.size() && end - pos < width && IsDigit(text[end])) ++end;
    return ReadNumber(take(end - std::min(pos, end)));
  };
  for (const TDateFormatToken& token : tokens_) {
    int value = 0;
    switch (token.Kind) {
      case dfYYYY:
      case dfYEAR:
        value = fixedNumber(4);
        break;
      case dfYY:
        value = fixedNumber(2);
        value += value < 30 ? 2000 : 1900;
        break;
      case dfQ:
        value = fixedNumber(1) * 3 - 2;
        break;
      case dfMM:
      case dfM:
      case dfDD:
      case dfD:
      case dfHH12:
      case dfHH24:
      case dfHH:
      case dfH12:
      case dfH24:
      case dfH:
      case dfNN:
      case dfN:
      case dfSS:
      case dfS:
        value = digits(2);
        break;
      case dfZZZ:
      case dfZ:
        value = digits(3);
        break;
      case dfRM: {
        std::size_t end = std::min(pos + 1, text.size());
        while (end < text.size() && end - pos < kLongestRoman &&
               (text[end] == 'I' || text[end] == 'V' || text[end] == 'X')) {
          ++end;
        }
        const std::string_view numeral = take(end - std::min(pos, end));
        const auto* found = std::find(kRomanMonths.begin(), kRomanMonths.end(), numeral);
        if (found == kRomanMonths.end()) ThrowNotInteger(numeral);
        value = static_cast<int>(found - kRomanMonths.begin()) + 1;
        break;
      }
      case dfAMPM: {
        const std::string_view taken = take(2);
        std::string word(taken);
        for (char& c : word) c = UpperAscii(c);
        if (word == "PM") {
          half = kPm;
        } else if (word == "AM") {
          half = kAm;
        } else {
          throw ZorException::CreateFmt(2146, {}, {std::string(taken)});
        }
        break;
      }
      case dfMONTH:
      case dfMON: {
        const auto [month, length] =
            MonthName(text, pos,
                      token.Kind == dfMONTH ? settings_.LongMonthNames : settings_.ShortMonthNames);
        if (month == 0) throw EConvertError("'" + std::string(text) + "' is not a valid date");
        value = month;
        pos += length;
        break;
      }
      // Day names and numbers are skipped. Text that FormatDate wrote is
      // skipped as written (the name, the digits), so that the tokens after
      // them read the right characters; anything else is skipped by the
      // length of the token's own text.
      case dfDAY:
        pos += SkippedName(text, pos, settings_.LongDayNames, token.Text.size());
        break;
      case dfDY:
        pos += SkippedName(text, pos, settings_.ShortDayNames, token.Text.size());
        break;
      case dfDDD:
        pos += SkippedDigits(text, pos, 3, token.Text.size());
        break;
      case dfDW:
        pos += SkippedDigits(text, pos, 1, token.Text.size());
        break;
      case dfLiteral:
        pos += token.Text.size();
        break;
      default:
        ThrowUnknownKind();
    }
    switch (PartOf(token.Kind)) {
      case Part::kYear:
        year = value;
        haveYear = true;
        break;
      case Part::kMonth:
        month = value;
        haveMonth = true;
        break;
      case Part::kDay:
        day = value;
        haveDay = true;
        break;
      case Part::kHour:
        hour = value;
        break;
      case Part::kMinute:
        minute = value;
        break;
      case Part::kSecond:
        second = value;
        break;
      case Part::kMs:
        ms = value;
        break;
      case Part::kNone:
        break;
    }
  }
  // On the 12-hour clock 12 comes before 1: 12 AM is midnight, 12 PM noon.
  // The AM/PM word may stand before or after the hour.
  if (half != kNoHalf && hour == 12) hour = 0;
  if (half == kPm) hour += 12;

  const std::string quoted = "'" + std::string(text) + "'";
  std::int32_t dayNumber = kDateDelta;
  // A part the text gave must be a real one even when the pattern lacks
  // another part and the date falls back to 30 December 1899.
  const bool partOutOfRange = (haveYear && (year < 1 || year > 9999)) ||
                              (haveMonth && (month < 1 || month > 12)) ||
                              (haveDay && (day < 1 || day > 31));
  if (partOutOfRange) throw EConvertError(quoted + " is not a valid date");
  if (haveYear && haveMonth && haveDay) {
    double date = 0;
    if (!TryEncodeDate(year, month, day, &date))
      throw EConvertError(quoted + " is not a valid date");
    dayNumber = CheckedDayAndTime(date).Day;
  }
  double time = 0;
  if (!TryEncodeTime(hour, minute, second, ms, &time))
    throw EConvertError(quoted + " is not a valid time");
  return DayAndTimeToDateTime(dayNumber, ((hour * 60 + minute) * 60 + second) * 1000 + ms);
}

int TDateFormater::MaxLength() const {
  int length = 0;
  for (const TDateFormatToken& token : tokens_) {
    switch (token.Kind) {
      case dfYYYY:
      case dfYEAR:
        length += 4;
        break;
      case dfQ:
        length += 1;
        break;
      // Names as long as the locale's longest, never less than the usual
      // widths.
      case dfMONTH:
        length += Widest(9, settings_.LongMonthNames);
        break;
      case dfMON:
        length += Widest(3, settings_.ShortMonthNames);
        break;
      case dfDAY:
        length += Widest(12, settings_.LongDayNames);
        break;
      case dfDY:
        length += Widest(3, settings_.ShortDayNames);
        break;
      case dfDDD:
      case dfZZZ:
      case dfZ:
        length += 3;
        break;
      case dfRM:
        length += kLongestRoman;
        break;
      case dfLiteral:
        length += static_cast<int>(token.Text.size());
        break;
      default:
        length += 2;
        break;
    }
  }
  return length;
}

}  // namespace kivo
