#include "platform/value_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "platform/clock.h"

namespace kivo {

namespace {

// Day number of 1 January 1970.
constexpr std::int64_t kUnixEpochDayNumber = 719163;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Date-time numbers.

bool TryDateTimeToDayAndTime(double dateTime, TDayAndTime* result) {
  // Outside this band the number is surely out of range; inside it every
  // step below stays well within 64 bits.
  if (!std::isfinite(dateTime) || dateTime < -700000.0 || dateTime > 3000000.0) return false;
  const double whole = std::trunc(dateTime);
  const double frac = std::fabs(dateTime - whole);
  const std::int64_t linear = static_cast<std::int64_t>(whole) * kMsPerDay +
                              static_cast<std::int64_t>(std::llround(frac * kMsPerDay));
  std::int64_t days = linear / kMsPerDay;
  std::int64_t ms = linear % kMsPerDay;
  if (ms < 0) {
    --days;
    ms += kMsPerDay;
  }
  const std::int64_t day = days + kDateDelta;
  if (day < kMinDayNumber || day > kMaxDayNumber) return false;
  result->Day = static_cast<std::int32_t>(day);
  result->Ms = static_cast<std::int32_t>(ms);
  return true;
}

double DayAndTimeToDateTime(std::int32_t day, std::int32_t ms) {
  const double days = static_cast<double>(std::int64_t{day} - kDateDelta);
  const double frac = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  return days >= 0 ? days + frac : days - frac;
}

bool TryEncodeDate(int year, int month, int day, double* result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return false;
  }
  const std::int64_t dayNumber =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
      kUnixEpochDayNumber;
  *result = DayAndTimeToDateTime(static_cast<std::int32_t>(dayNumber), 0);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int ms, double* result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || ms < 0 ||
      ms > 999) {
    return false;
  }
  *result = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + ms) /
            static_cast<double>(kMsPerDay);
  return true;
}

TDateParts DecodeDateParts(double dateTime) {
  TDayAndTime dt{kDateDelta, 0};
  TryDateTimeToDayAndTime(dateTime, &dt);
  TDateParts p{};
  CivilFromDays(std::int64_t{dt.Day} - kUnixEpochDayNumber, &p.Year, &p.Month, &p.Day);
  // Day 1 was a Monday.
  p.DayOfWeek = dt.Day % 7 + 1;
  std::int32_t rest = dt.Ms;
  p.Ms = rest % 1000;
  rest /= 1000;
  p.Second = rest % 60;
  rest /= 60;
  p.Minute = rest % 60;
  p.Hour = rest / 60;
  return p;
}

// ---------------------------------------------------------------------------
// Numbers.

bool TryTextToInt(std::string_view text, int bits, bool isUnsigned, std::int64_t* result) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return false;
  // Magnitude, kept below 2^64.
  std::uint64_t magnitude = 0;
  const std::uint64_t base = hex ? 16 : 10;
  for (; i < text.size(); ++i) {
    const int digit = hex ? HexDigit(text[i]) : (IsDigit(text[i]) ? text[i] - '0' : -1);
    if (digit < 0) return false;
    if (magnitude > (UINT64_MAX - static_cast<std::uint64_t>(digit)) / base) return false;
    magnitude = magnitude * base + static_cast<std::uint64_t>(digit);
  }
  const std::uint64_t widthMask = bits >= 64 ? UINT64_MAX : (std::uint64_t{1} << bits) - 1;
  const std::uint64_t maxPositive = isUnsigned ? widthMask : widthMask >> 1;
  const std::uint64_t maxNegative = isUnsigned ? 0 : (widthMask >> 1) + 1;
  if (hex && !negative) {
    // The full width reads as a bit pattern.
    if (magnitude > widthMask) return false;
    if (!isUnsigned && magnitude > maxPositive) {
      // Two's complement: magnitude - 2^bits, computed without overflow.
      const std::uint64_t below = widthMask - magnitude + 1;  // 2^bits - magnitude
      *result = -static_cast<std::int64_t>(below - 1) - 1;
      return true;
    }
    *result = static_cast<std::int64_t>(magnitude);
    return true;
  }
  if (negative) {
    if (magnitude > maxNegative) return false;
    *result = magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
    return true;
  }
  if (magnitude > maxPositive) return false;
  *result = static_cast<std::int64_t>(magnitude);
  return true;
}

bool TryTextToFloat(std::string_view text, char decimalSeparator, double* result) {
  text = Trim(text);
  std::string normal;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') normal += '-';
    ++i;
  }
  int digits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) normal += text[i];
  if (i < text.size() && text[i] == decimalSeparator) {
    normal += '.';
    ++i;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) normal += text[i];
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    normal += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) normal += text[i++];
    int expDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++expDigits) normal += text[i];
    if (expDigits == 0) return false;
  }
  if (i != text.size()) return false;
  double value = 0;
  const auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), value);
  if (ec != std::errc() || end != normal.data() + normal.size() || !std::isfinite(value)) {
    return false;
  }
  *result = value;
  return true;
}

std::string FloatToText(double value, char decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  if (ec != std::errc()) return {};
  // Rewritten in place, then copied once: exports turn millions of values
  // into text.
  char* out = buf;
  for (const char* p = buf; p != end; ++p) {
    if (*p == '.') {
      *out++ = decimalSeparator;
    } else if (*p == 'e') {
      *out++ = 'E';
    } else if (*p != '+') {  // "1E20", not "1E+20"
      *out++ = *p;
    }
  }
  return std::string(buf, out);
}

// ---------------------------------------------------------------------------
// Date-time formatting.

namespace {

std::string TwoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

std::string Padded(int v, std::size_t width) {
  std::string s = std::to_string(v);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

bool StartsWithNoCase(std::string_view s, std::size_t pos, std::string_view word) {
  if (s.size() - pos < word.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k)
    if (LowerAscii(s[pos + k]) != LowerAscii(word[k])) return false;
  return true;
}

// Whether the format shows the hour on a 12-hour clock (it holds an AM/PM code).
bool UsesTwelveHours(std::string_view format) {
  char quote = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    if (StartsWithNoCase(format, i, "ampm") || StartsWithNoCase(format, i, "am/pm") ||
        StartsWithNoCase(format, i, "a/p")) {
      return true;
    }
  }
  return false;
}

void AppendFormatted(std::string& out, std::string_view format, const TDateParts& p,
                     const FormatSettings& fs, int depth) {
  const bool twelve = UsesTwelveHours(format);
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    const char lc = LowerAscii(c);
    if (c == '"' || c == '\'') {
      const std::size_t close = format.find(c, i + 1);
      const std::size_t stop = close == std::string_view::npos ? format.size() : close;
      out.append(format.substr(i + 1, stop - i - 1));
      i = close == std::string_view::npos ? format.size() : close + 1;
      continue;
    }
    std::size_t run = 1;
    while (i + run < format.size() && LowerAscii(format[i + run]) == lc) ++run;
    switch (lc) {
      case 'd':
        if (run == 1) {
          out += std::to_string(p.Day);
        } else if (run == 2) {
          out += TwoDigits(p.Day);
        } else if (run == 3) {
          out += fs.ShortDayNames[static_cast<std::size_t>(p.DayOfWeek - 1)];
        } else if (run == 4) {
          out += fs.LongDayNames[static_cast<std::size_t>(p.DayOfWeek - 1)];
        } else if (depth < 2) {
          AppendFormatted(out, run == 5 ? fs.ShortDateFormat : fs.LongDateFormat, p, fs, depth + 1);
        }
        i += run;
        continue;
      case 'm':
        if (run == 1) {
          out += std::to_string(p.Month);
        } else if (run == 2) {
          out += TwoDigits(p.Month);
        } else if (run == 3) {
          out += fs.ShortMonthNames[static_cast<std::size_t>(p.Month - 1)];
        } else {
          out += fs.LongMonthNames[static_cast<std::size_t>(p.Month - 1)];
        }
        i += run;
        continue;
      case 'y':
        out += run <= 2 ? TwoDigits(p.Year % 100) : Padded(p.Year, 4);
        i += run;
        continue;
      case 'h': {
        int hour = p.Hour;
        if (twelve) {
          hour %= 12;
          if (hour == 0) hour = 12;
        }
        out += run == 1 ? std::to_string(hour) : TwoDigits(hour);
        i += run;
        continue;
      }
      case 'n':
        out += run == 1 ? std::to_string(p.Minute) : TwoDigits(p.Minute);
        i += run;
        continue;
      case 's':
        out += run == 1 ? std::to_string(p.Second) : TwoDigits(p.Second);
        i += run;
        continue;
      case 'z':
        out += run >= 3 ? Padded(p.Ms, 3) : std::to_string(p.Ms);
        i += run;
        continue;
      case 'c':
        if (depth < 2) {
          AppendFormatted(out, fs.ShortDateFormat, p, fs, depth + 1);
          if (p.Hour != 0 || p.Minute != 0 || p.Second != 0 || p.Ms != 0) {
            out += ' ';
            AppendFormatted(out, fs.LongTimeFormat, p, fs, depth + 1);
          }
        }
        ++i;
        continue;
      case 't':
        if (depth < 2) {
          AppendFormatted(out, run >= 2 ? fs.LongTimeFormat : fs.ShortTimeFormat, p, fs, depth + 1);
        }
        i += run >= 2 ? 2 : 1;
        continue;
      case 'a':
        if (StartsWithNoCase(format, i, "ampm")) {
          out += p.Hour >= 12 ? fs.TimePMString : fs.TimeAMString;
          i += 4;
          continue;
        }
        if (StartsWithNoCase(format, i, "am/pm")) {
          const bool upper = format[i] == 'A';
          out += p.Hour >= 12 ? (upper ? "PM" : "pm") : (upper ? "AM" : "am");
          i += 5;
          continue;
        }
        if (StartsWithNoCase(format, i, "a/p")) {
          const bool upper = format[i] == 'A';
          out += p.Hour >= 12 ? (upper ? 'P' : 'p') : (upper ? 'A' : 'a');
          i += 3;
          continue;
        }
        out += c;
        ++i;
        continue;
      default:
        break;
    }
    if (c == '/') {
      out += fs.DateSeparator;
    } else if (c == ':') {
      out += fs.TimeSeparator;
    } else {
      out += c;
    }
    ++i;
  }
}

}  // namespace

std::string FormatDateTimeText(std::string_view format, double dateTime,
                               const FormatSettings& settings) {
  std::string out;
  AppendFormatted(out, format, DecodeDateParts(dateTime), settings, 0);
  return out;
}

std::string DateTimeToText(double dateTime, const FormatSettings& settings) {
  return FormatDateTimeText("c", dateTime, settings);
}

std::string TimeToText(double dateTime, const FormatSettings& settings) {
  return FormatDateTimeText(settings.LongTimeFormat, dateTime, settings);
}

// ---------------------------------------------------------------------------
// Date-time readers.

namespace {

class TScanner {
 public:
  explicit TScanner(std::string_view s) : s_(s) {}

  bool AtEnd() const { return pos_ >= s_.size(); }
  std::size_t Pos() const { return pos_; }
  void SetPos(std::size_t p) { pos_ = p; }

  // Skips blanks; true when there were any.
  bool SkipBlanks() {
    const std::size_t start = pos_;
    while (pos_ < s_.size() && IsBlank(s_[pos_])) ++pos_;
    return pos_ != start;
  }

  bool Char(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // A run of 1 to maxDigits digits (a longer run fails).
  bool Number(int maxDigits, int* value, int* digits = nullptr) {
    int count = 0, v = 0;
    while (pos_ < s_.size() && IsDigit(s_[pos_])) {
      if (++count > maxDigits) return false;
      v = v * 10 + (s_[pos_] - '0');
      ++pos_;
    }
    if (count == 0) return false;
    *value = v;
    if (digits) *digits = count;
    return true;
  }

  // A word in any case (Windows-1250 case folding).
  bool Word(std::string_view word) {
    if (word.empty() || s_.size() - pos_ < word.size()) return false;
    if (AnsiUpperCase(s_.substr(pos_, word.size())) != AnsiUpperCase(word)) return false;
    pos_ += word.size();
    return true;
  }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
};

// The order of day, month and year in a date format, as "dmy", "mdy", "ymd"...
std::string DateOrder(std::string_view format) {
  std::string order;
  char quote = 0;
  for (char c : format) {
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    const char lc = LowerAscii(c);
    if ((lc == 'd' || lc == 'm' || lc == 'y') && order.find(lc) == std::string::npos) order += lc;
  }
  return order.size() == 3 ? order : "mdy";
}

bool ScanDate(TScanner& sc, const FormatSettings& fs, double* result) {
  const std::string order = DateOrder(fs.ShortDateFormat);
  int values[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    if (k > 0) {
      const bool blanks = sc.SkipBlanks();
      if (!sc.Char(fs.DateSeparator) && !(IsBlank(fs.DateSeparator) && blanks)) return false;
    }
    sc.SkipBlanks();
    if (!sc.Number(4, &values[k], &digits[k])) return false;
  }
  // One separator may trail the date ("2007. 03. 05.").
  const std::size_t after = sc.Pos();
  sc.SkipBlanks();
  if (IsBlank(fs.DateSeparator) || !sc.Char(fs.DateSeparator)) sc.SetPos(after);
  int year = 0, month = 0, day = 0;
  for (int k = 0; k < 3; ++k) {
    switch (order[static_cast<std::size_t>(k)]) {
      case 'y':
        year = values[k];
        if (digits[k] <= 2) year += year < 30 ? 2000 : 1900;
        break;
      case 'm':
        month = values[k];
        break;
      default:
        day = values[k];
        break;
    }
  }
  return TryEncodeDate(year, month, day, result);
}

bool ScanTime(TScanner& sc, const FormatSettings& fs, double* result) {
  sc.SkipBlanks();
  int hour = 0, minute = 0, second = 0, ms = 0;
  if (!sc.Number(2, &hour)) return false;
  bool haveMinute = false;
  if (sc.Char(fs.TimeSeparator)) {
    if (!sc.Number(2, &minute)) return false;
    haveMinute = true;
    if (sc.Char(fs.TimeSeparator)) {
      if (!sc.Number(2, &second)) return false;
      if (sc.Char(fs.DecimalSeparator) || sc.Char('.')) {
        int digits = 0;
        if (!sc.Number(3, &ms, &digits)) return false;
        for (; digits < 3; ++digits) ms *= 10;
      }
    }
  }
  const std::size_t beforeWord = sc.Pos();
  sc.SkipBlanks();
  int half = 0;  // 1 = AM, 2 = PM
  if (sc.Word(fs.TimeAMString) || sc.Word("AM")) {
    half = 1;
  } else if (sc.Word(fs.TimePMString) || sc.Word("PM")) {
    half = 2;
  } else {
    sc.SetPos(beforeWord);
  }
  if (!haveMinute && half == 0) return false;
  if (half != 0) {
    if (hour < 1 || hour > 12) return false;
    if (hour == 12) hour = 0;
    if (half == 2) hour += 12;
  }
  return TryEncodeTime(hour, minute, second, ms, result);
}

}  // namespace

bool TryTextToDate(std::string_view text, const FormatSettings& settings, double* result) {
  TScanner sc(text);
  sc.SkipBlanks();
  double value = 0;
  if (!ScanDate(sc, settings, &value)) return false;
  sc.SkipBlanks();
  if (!sc.AtEnd()) return false;
  *result = value;
  return true;
}

bool TryTextToTime(std::string_view text, const FormatSettings& settings, double* result) {
  TScanner sc(text);
  double value = 0;
  if (!ScanTime(sc, settings, &value)) return false;
  sc.SkipBlanks();
  if (!sc.AtEnd()) return false;
  *result = value;
  return true;
}

bool TryTextToDateTime(std::string_view text, const FormatSettings& settings, double* result) {
  TScanner sc(text);
  sc.SkipBlanks();
  double date = 0;
  if (ScanDate(sc, settings, &date)) {
    sc.SkipBlanks();
    if (sc.AtEnd()) {
      *result = date;
      return true;
    }
    double time = 0;
    if (!ScanTime(sc, settings, &time)) return false;
    sc.SkipBlanks();
    if (!sc.AtEnd()) return false;
    TDayAndTime d{}, t{};
    if (!TryDateTimeToDayAndTime(date, &d) || !TryDateTimeToDayAndTime(time, &t)) return false;
    *result = DayAndTimeToDateTime(d.Day, t.Ms);
    return true;
  }
  return TryTextToTime(text, settings, result);
}

}  // namespace kivo
