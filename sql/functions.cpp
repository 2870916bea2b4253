// The function library: one table row per function (its operator code, its
// name in messages, how many arguments it takes and the routine that
// computes it), and the routines grouped as string, date, numeric and
// ISNULL functions.
//
// Every routine writes into a fresh value that replaces the caller's result
// only when the routine succeeds, so a failed call leaves the result as it
// was and an argument that aliases the result is still read intact.
#include "sql/functions.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/value_text.h"
#include "sql/expr_nodes.h"

namespace kivo {

namespace {

using TArgs = std::span<const TZorValue* const>;
using TCompute = void (*)(const TZorFunctionCall& call, TArgs args, TZorValue& out);

[[noreturn]] void ThrowNamed(int nativeError, const char* functionName) {
  throw ZorException::CreateFmt(nativeError, {}, {std::string(functionName)});
}

// ---------------------------------------------------------------------------
// String functions.

// The types ConvertTo can turn into a String.
bool HasTextForm(std::uint8_t type) {
  switch (type) {
    case ftString:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo:
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
    case ftBoolean:
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
      return true;
    default:
      return false;
  }
}

// The whole text form of an argument of UPPER, LOWER and the trims (a
// number or date in full, a WideString narrowed); "" for NULL. A value
// without a text form raises `nativeError` with the function's name.
std::string TextOf(const TZorFunctionCall& call, const TZorValue& arg, int nativeError,
                   const char* name) {
  if (arg.IsNull()) return {};
  if (!HasTextForm(arg.DataType())) ThrowNamed(nativeError, name);
  if (arg.DataType() == ftString) return arg.AsString(call.Settings);
  TZorValue text(arg);
  text.ConvertTo(ftString, call.Settings);
  return text.AsString(call.Settings);
}

// Characters 0 to 32 are blanks for the trims (compared as unsigned bytes,
// so that accented letters above 127 stay).
bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view TrimmedStart(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsTrimmed(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimmedEnd(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && IsTrimmed(s[n - 1])) --n;
  return s.substr(0, n);
}

void Upper(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  std::string text = TextOf(call, *args[0], native_error::kNotStringUpper, "UPPER");
  AnsiUpperCaseInPlace(text);
  out.SetString(text);
}

void Lower(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  std::string text = TextOf(call, *args[0], native_error::kNotStringLower, "LOWER");
  AnsiLowerCaseInPlace(text);
  out.SetString(text);
}

void Trim(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  const std::string text = TextOf(call, *args[0], native_error::kNotStringTrim, "TRIM");
  out.SetString(TrimmedEnd(TrimmedStart(text)));
}

void LTrim(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  const std::string text = TextOf(call, *args[0], native_error::kNotStringLTrim, "LTRIM");
  out.SetString(TrimmedStart(text));
}

void RTrim(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  const std::string text = TextOf(call, *args[0], native_error::kNotStringRTrim, "RTRIM");
  out.SetString(TrimmedEnd(text));
}

// Bytes of a String or memo, UTF-16 units of a WideString; -1 for any
// other type.
std::int64_t TextLength(const TZorValue& v) {
  switch (v.DataType()) {
    case ftString:
    case ftMemo:
    case ftFmtMemo:
      return static_cast<std::int64_t>(v.AsString().size());
    case ftWideString:
      return static_cast<std::int64_t>(v.AsWideString().size());
    default:
      return -1;
  }
}

// A length or position of a value's text: such texts are shorter than
// 2^31 units, since a payload's size is a 32-bit number.
std::int32_t CountOf(std::int64_t n) { return static_cast<std::int32_t>(n); }

void Length(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  const std::int64_t n = TextLength(*args[0]);
  if (n < 0) ThrowNamed(native_error::kNotStringLength, "LENGTH");
  out.SetInteger(CountOf(n));
}

// The 1-based position of `sub` in `s`, 0 when absent or when `sub` is empty.
template <class S>
std::int32_t PositionIn(const S& sub, const S& s) {
  if (sub.empty()) return 0;
  const std::size_t at = s.find(sub);
  return at == S::npos ? 0 : CountOf(static_cast<std::int64_t>(at) + 1);
}

void Pos(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  const TZorValue& sub = *args[0];
  const TZorValue& s = *args[1];
  if (!IsStringType(s.DataType())) ThrowNamed(native_error::kNotStringPos, "POS");
  if (!IsStringType(sub.DataType())) {
    ThrowNamed(s.DataType() == ftString ? native_error::kNotStringPosSubInString
                                        : native_error::kNotStringPosSubInWide,
               "POS");
  }
  if (s.DataType() == ftString && sub.DataType() == ftString) {
    out.SetInteger(PositionIn(sub.AsString(), s.AsString()));
  } else {
    out.SetInteger(PositionIn(sub.AsWideString(), s.AsWideString()));
  }
}

// The part of `text` from 1-based `start` with at most `length` units: a
// start below 1 counts as 1, a start past the end or a negative length
// gives nothing. 64-bit arithmetic keeps the extremes of 32-bit arguments
// from wrapping.
template <class S>
S PartOf(const S& text, std::int64_t start, std::int64_t length) {
  const auto total = static_cast<std::int64_t>(text.size());
  if (start < 1) start = 1;
  if (start > total || length <= 0) return S();
  const std::int64_t count = std::min(length, total - start + 1);
  return text.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(count));
}

void Substring(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  const TZorValue& s = *args[0];
  if (!IsStringType(s.DataType())) ThrowNamed(native_error::kNotStringSubstring, "SUBSTRING");
  const std::int64_t start = args[1]->AsInteger();
  const std::int64_t length = args.size() > 2 ? args[2]->AsInteger() : TextLength(s);
  if (s.DataType() == ftWideString) {
    out.SetWideString(PartOf(s.AsWideString(), start, length));
  } else {
    out.SetString(PartOf(s.AsString(), start, length));
  }
}

// ---------------------------------------------------------------------------
// Date functions.

void CurrentDateTime(const TZorFunctionCall&, TArgs, TZorValue& out) {
  out.SetDateTime(NowLocal());
}

void CurrentDate(const TZorFunctionCall&, TArgs, TZorValue& out) { out.SetDate(NowLocal()); }

void CurrentTime(const TZorFunctionCall&, TArgs, TZorValue& out) { out.SetTime(NowLocal()); }

const TDateFormater& FormaterOf(const TZorFunctionCall& call, const char* name) {
  if (!call.Formater) throw Exception(std::string("No date format for SQL function ") + name);
  return *call.Formater;
}

// A NULL text gives a NULL DateTime: there is no date to read, and reading
// the empty text would fail on every row without a value.
void ToDate(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  const TDateFormater& formater = FormaterOf(call, "TODATE");
  if (args[0]->IsNull()) {
    out.SetNull(ftDateTime);
    return;
  }
  TZorValue text(*args[0]);
  text.ConvertTo(ftString, call.Settings);
  out.SetDateTime(formater.ParseDate(text.AsString(call.Settings)));
}

void ToString(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  const TDateFormater& formater = FormaterOf(call, "TOSTRING");
  if (args[0]->IsNull()) {
    out.SetNull(ftString);
    return;
  }
  out.SetString(formater.FormatDate(args[0]->AsDateTime()));
}

constexpr std::array<const char*, 7> kDayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

// YEAR ... MSECOND: the part of a Date, Time or DateTime (a Time lies on
// 30 December 1899). The names of days and months are fixed English texts.
void DatePart(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  const bool named = call.Operator == opDayName || call.Operator == opMonthName;
  if (args[0]->IsNull()) {
    out.SetNull(named ? ftString : ftWord);
    return;
  }
  const double dateTime = args[0]->AsDateTime();
  const TDayAndTime dt = CheckedDayAndTime(dateTime);
  const TDateParts p = DecodeDateParts(dateTime);
  // Day 1 of the day numbers, 1 January 0001, was a Monday.
  const int weekday = dt.Day % 7 + 1;          // Sunday = 1
  const int dayOfWeek = (dt.Day - 1) % 7 + 1;  // Monday = 1
  int part = 0;
  switch (call.Operator) {
    case opYear:
      part = p.Year;
      break;
    case opQuarter:
      part = (p.Month - 1) / 3 + 1;
      break;
    case opMonth:
      part = p.Month;
      break;
    case opDay:
      part = p.Day;
      break;
    case opWeekday:
      part = weekday;
      break;
    case opDayOfWeek:
      part = dayOfWeek;
      break;
    case opHour:
      part = p.Hour;
      break;
    case opMinute:
      part = p.Minute;
      break;
    case opSecond:
      part = p.Second;
      break;
    case opMSecond:
      part = p.Ms;
      break;
    case opDayName:
      out.SetString(kDayNames[static_cast<std::size_t>(weekday - 1)]);
      return;
    default:  // opMonthName
      out.SetString(kMonthNames[static_cast<std::size_t>(p.Month - 1)]);
      return;
  }
  out.SetWord(static_cast<std::uint16_t>(part));
}

// ---------------------------------------------------------------------------
// Numeric functions. Each applies the value primitive; a NULL outcome
// carries the function's planned result type.

// A whole-number result as an Integer when it fits, else a LargeInt: the
// planned type of CEILING, FLOOR, SIGN and of ROUND and TRUNCATE without
// digits, widened rather than cut like the rest of the integer arithmetic.
void StoreWhole(TZorValue& v) {
  if (v.IsNull()) {
    v.SetNull(ftInteger);
    return;
  }
  if (!IsIntegerType(v.DataType()) || v.DataType() == ftInteger) return;
  TZorValue wide(v);
  wide.ConvertTo(ftLargeint);
  const std::int64_t n = wide.AsLargeInt();
  if (n >= INT32_MIN && n <= INT32_MAX) {
    v.SetInteger(static_cast<std::int32_t>(n));
  } else {
    v.SetLargeInt(n);
  }
}

void AbsValue(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  out = *args[0];
  out.Abs();
}

// CEILING, FLOOR and SIGN.
void WholeValue(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  out = *args[0];
  if (call.Operator == opCeiling) {
    out.Ceiling();
  } else if (call.Operator == opFloor) {
    out.Floor();
  } else {
    out.Sign();
  }
  StoreWhole(out);
}

void ModValue(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  out = *args[0];
  out.Modulo(*args[1]);
  if (out.IsNull()) out.SetNull(ftLargeint);
}

void PowerValue(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  out = *args[0];
  out.Power(*args[1]);
  if (out.IsNull()) out.SetNull(TZorValue::CommonType(args[0]->DataType(), args[1]->DataType()));
}

void RandomValue(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  if (args.empty()) {
    out.Random(false);
    return;
  }
  out = *args[0];
  out.Random(true);
  if (out.IsNull()) out.SetNull(ftLargeint);
}

// ROUND and TRUNCATE. The primitives take Float and Currency only; a whole
// number is already rounded, so it gives itself (a Float with a digit
// count) rather than NULL.
void RoundOrTruncate(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  const TZorValue* digits = args.size() > 1 ? args[1] : nullptr;
  out = *args[0];
  if (!out.IsNull() && IsIntegerType(out.DataType())) {
    if (!digits) {
      StoreWhole(out);
      return;
    }
    if (digits->IsNull() || !IsNumericType(digits->DataType())) {
      out.SetNull(ftFloat);
      return;
    }
    out.ConvertTo(ftFloat);
  }
  call.Operator == opRound ? out.Round(digits) : out.Truncate(digits);
  if (digits) {
    if (out.IsNull()) out.SetNull(ftFloat);
  } else {
    StoreWhole(out);
  }
}

// HEX(x [, style]): the style is an Integer (1 "$", 2 "0x"); a NULL style
// means none.
void HexValue(const TZorFunctionCall&, TArgs args, TZorValue& out) {
  TZorValue style;
  const bool styled = args.size() > 1 && !args[1]->IsNull();
  if (styled) style.SetInteger(args[1]->AsInteger());
  out = *args[0];
  out.ToHex(styled ? &style : nullptr);
  if (out.IsNull()) out.SetNull(ftString);
}

// ---------------------------------------------------------------------------
// ISNULL.

// ISNULL(x) tells whether x is NULL; ISNULL(x, y) gives x, or y in place of
// a NULL x when both were planned with the same type.
void IsNullValue(const TZorFunctionCall& call, TArgs args, TZorValue& out) {
  if (args.size() == 1) {
    out.SetBoolean(args[0]->IsNull());
    return;
  }
  if (!args[0]->IsNull()) {
    out = *args[0];
    return;
  }
  if (call.ArgumentTypes[0] != call.ArgumentTypes[1]) {
    throw ZorException::CreateFmt(native_error::kFunctionTypesMismatch, {},
                                  {std::string("ISNULL"), std::int64_t{call.ArgumentTypes[0]},
                                   std::int64_t{call.ArgumentTypes[1]}});
  }
  out = *args[1];
}

// ---------------------------------------------------------------------------
// The table.

struct TFunctionEntry {
  std::uint8_t Operator;
  const char* Name;  // in messages
  std::uint8_t MinArgs, MaxArgs;
  TCompute Compute;
};

constexpr TFunctionEntry kFunctions[] = {
    {opIsNullFunction, "ISNULL", 1, 2, IsNullValue},
    {opUpper, "UPPER", 1, 1, Upper},
    {opLower, "LOWER", 1, 1, Lower},
    {opTrim, "TRIM", 1, 1, Trim},
    {opLTrim, "LTRIM", 1, 1, LTrim},
    {opRTrim, "RTRIM", 1, 1, RTrim},
    {opLength, "LENGTH", 1, 1, Length},
    {opPos, "POS", 2, 2, Pos},
    {opSubstring, "SUBSTRING", 2, 3, Substring},
    {opNow, "SYSDATE", 0, 0, CurrentDateTime},
    {opCurrentDate, "CURRENT_DATE", 0, 0, CurrentDate},
    {opCurrentTime, "CURRENT_TIME", 0, 0, CurrentTime},
    {opToDate, "TODATE", 1, 1, ToDate},
    {opToString, "TOSTRING", 1, 1, ToString},
    {opYear, "YEAR", 1, 1, DatePart},
    {opQuarter, "QUARTER", 1, 1, DatePart},
    {opMonth, "MONTH", 1, 1, DatePart},
    {opDay, "DAY", 1, 1, DatePart},
    {opWeekday, "WEEKDAY", 1, 1, DatePart},
    {opDayOfWeek, "DAYOFWEEK", 1, 1, DatePart},
    {opDayName, "DAYNAME", 1, 1, DatePart},
    {opMonthName, "MONTHNAME", 1, 1, DatePart},
    {opHour, "HOUR", 1, 1, DatePart},
    {opMinute, "MINUTE", 1, 1, DatePart},
    {opSecond, "SECOND", 1, 1, DatePart},
    {opMSecond, "MSECOND", 1, 1, DatePart},
    {opAbs, "ABS", 1, 1, AbsValue},
    {opCeiling, "CEILING", 1, 1, WholeValue},
    {opFloor, "FLOOR", 1, 1, WholeValue},
    {opMod, "MOD", 2, 2, ModValue},
    {opPower, "POWER", 2, 2, PowerValue},
    {opRandom, "RANDOM", 0, 1, RandomValue},
    {opRound, "ROUND", 1, 2, RoundOrTruncate},
    {opSign, "SIGN", 1, 1, WholeValue},
    {opTruncate, "TRUNCATE", 1, 2, RoundOrTruncate},
    {opHex, "HEX", 1, 2, HexValue},
};

const TFunctionEntry* FindFunction(std::uint8_t op) {
  for (const TFunctionEntry& entry : kFunctions)
    if (entry.Operator == op) return &entry;
  return nullptr;
}

}  // namespace

void EvaluateFunction(const TZorFunctionCall& call, std::span<const TZorValue* const> args,
                      TZorValue& result) {
  const TFunctionEntry* entry = FindFunction(call.Operator);
  if (!entry) throw Exception("Unknown Operator");
  const bool hasNull = std::any_of(args.begin(), args.end(), [](auto* a) { return !a; });
  if (args.size() < entry->MinArgs || hasNull) {
    ThrowNamed(native_error::kFunctionArgumentExpected, entry->Name);
  }
  if (args.size() > entry->MaxArgs) {
    throw Exception(std::string("Too many arguments in SQL function ") + entry->Name);
  }
  TZorValue out;
  entry->Compute(call, args, out);
  result = std::move(out);
}

}  // namespace kivo
