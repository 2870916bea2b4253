// The SQL function library: every function over every argument type, the
// edge cases of each function, bounds of SUBSTRING, round trips through date
// patterns, and seeded random arguments that may only ever produce a value
// or one of the engine's own exceptions.
#include "sql/functions.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/value_text.h"
#include "sql/expr_nodes.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

FormatSettings Settings(char decimal, char dateSeparator, std::string shortDate,
                        std::string longTime) {
  FormatSettings fs;
  fs.DecimalSeparator = decimal;
  fs.DateSeparator = dateSeparator;
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = std::move(shortDate);
  fs.LongTimeFormat = std::move(longTime);
  return fs;
}

// The settings handed to the functions: a comma for decimals and ISO-like
// dates, unlike the process-wide default set in SetUp.
FormatSettings CallSettings() { return Settings(',', '-', "yyyy/mm/dd", "hh:nn:ss"); }

// The settings results are described with (independent of the above).
FormatSettings DescribeSettings() { return Settings('.', '-', "yyyy/mm/dd", "hh:nn:ss.zzz"); }

// A process-wide default unlike the call settings, so that a function that
// read the default instead of the call's settings would show.
FormatSettings OtherSettings() { return Settings('.', '.', "d/m/yyyy", "h:nn:ss AMPM"); }

class FunctionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUserLocale("en_US");
    SetDefaultFormatSettings(OtherSettings());
  }
  void TearDown() override { SetUserLocale(""); }
};

// ---------------------------------------------------------------------------
// Values.

// A value made with one of the setters.
template <class T, void (TZorValue::*Set)(T)>
TZorValue Made(T v) {
  TZorValue x;
  (x.*Set)(v);
  return x;
}
constexpr auto Str = Made<std::string_view, &TZorValue::SetString>;
constexpr auto Wide = Made<std::u16string_view, &TZorValue::SetWideString>;
constexpr auto Small = Made<std::int16_t, &TZorValue::SetSmallInt>;
constexpr auto Int = Made<std::int32_t, &TZorValue::SetInteger>;
constexpr auto AutoInc = Made<std::int32_t, &TZorValue::SetAutoInc>;
constexpr auto WordV = Made<std::uint16_t, &TZorValue::SetWord>;
constexpr auto Large = Made<std::int64_t, &TZorValue::SetLargeInt>;
constexpr auto Flt = Made<double, &TZorValue::SetFloat>;
constexpr auto Cur = Made<double, &TZorValue::SetCurrency>;
constexpr auto Bool = Made<bool, &TZorValue::SetBoolean>;
constexpr auto Null = Made<std::uint8_t, &TZorValue::SetNull>;
TZorValue MemoV(std::string_view bytes) {
  TZorValue v;
  v.SetMemo(bytes);
  return v;
}

double DateNumber(int y, int m, int d, int h = 0, int n = 0, int s = 0, int ms = 0) {
  double number = 0;
  EXPECT_TRUE(TryEncodeDateTime(y, m, d, h, n, s, ms, &number));
  return number;
}
TZorValue DateV(int y, int m, int d) {
  return Made<double, &TZorValue::SetDate>(DateNumber(y, m, d));
}
TZorValue TimeV(int h, int n, int s, int ms) {
  return Made<double, &TZorValue::SetTime>(DateNumber(1899, 12, 30, h, n, s, ms));
}
TZorValue DateTimeV(int y, int m, int d, int h, int n, int s, int ms) {
  return Made<double, &TZorValue::SetDateTime>(DateNumber(y, m, d, h, n, s, ms));
}

std::string TypeLabel(std::uint8_t type) {
  if (type == ftMemo) return "Memo";
  if (type == ftFmtMemo) return "FmtMemo";
  return TZorValue::TypeName(type);
}

// "Type text", "NULL Type".
std::string Describe(const TZorValue& v) {
  if (v.IsNull()) return "NULL " + TypeLabel(v.DataType());
  const FormatSettings fs = DescribeSettings();
  return TypeLabel(v.DataType()) + " " + v.AsString(&fs);
}

struct TCallSetup {
  const TDateFormater* Formater = nullptr;
  std::uint8_t ArgumentTypes[2] = {0, 0};
  const FormatSettings* Settings = nullptr;
};

// The outcome of one call: the described value, "#code message" for a
// ZorException (its message without the native-error suffix, which is
// checked to name the same code), "!Class message" for the engine's other
// exceptions.
std::string Outcome(std::uint8_t op, const std::vector<TZorValue>& args,
                    const TCallSetup& setup = {}) {
  static const FormatSettings kSettings = CallSettings();
  TZorFunctionCall call;
  call.Operator = op;
  call.Formater = setup.Formater;
  call.ArgumentTypes[0] = setup.ArgumentTypes[0];
  call.ArgumentTypes[1] = setup.ArgumentTypes[1];
  call.Settings = setup.Settings ? setup.Settings : &kSettings;
  std::vector<const TZorValue*> pointers;
  for (const TZorValue& a : args) pointers.push_back(&a);
  TZorValue result;
  try {
    EvaluateFunction(call, pointers, result);
  } catch (const ZorException& e) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, " - Native error: %05d", e.NativeError());
    const std::string& m = e.Message();
    const std::size_t at = m.rfind(suffix);
    EXPECT_EQ(at + std::strlen(suffix), m.size()) << m;
    return "#" + std::to_string(e.NativeError()) + " " + m.substr(0, at);
  } catch (const Exception& e) {
    return std::string("!") + e.ClassName() + " " + e.Message();
  }
  return Describe(result);
}

// ---------------------------------------------------------------------------
// Every function over every argument type.

// One sample of each argument type, and a NULL of each.
std::vector<TZorValue> Samples() {
  return {Str(" aBc "),
          Wide(u" w\u010D"),  // c with caron: 0xE8 in the code page
          Small(-12),
          Int(123456),
          WordV(65535),
          Large(1234567890123),
          Flt(-2.5),
          Cur(3.75),
          Bool(true),
          DateV(2007, 3, 15),
          TimeV(14, 7, 9, 123),
          DateTimeV(2007, 3, 15, 14, 7, 9, 123),
          MemoV("memo\ttext\n")};
}
constexpr int kSampleCount = 13;
enum { kString, kWide, kSmall, kInt, kWord, kLarge, kFloat, kCur, kBool, kDate, kTime, kDT, kMemo };

std::vector<TZorValue> NullSamples() {
  std::vector<TZorValue> nulls;
  for (const TZorValue& v : Samples()) nulls.push_back(Null(v.DataType()));
  return nulls;
}

// Expected outcomes: one for every sample, except where listed.
struct TExpected {
  std::string All;
  std::map<int, std::string> Except;
  std::string At(int i) const {
    const auto it = Except.find(i);
    return it == Except.end() ? All : it->second;
  }
};

struct TMatrixRow {
  std::uint8_t Op;
  // The arguments; the sample takes the place of the empty one.
  std::vector<std::optional<TZorValue>> Args;
  TExpected Values;
  TExpected Nulls;
  const char* Pattern = nullptr;  // TODATE and TOSTRING
  // ISNULL(x, y): the planned types are those of the sample and of y.
  bool PlanTypes = false;
};

const std::nullopt_t X = std::nullopt;

// The sample texts as the call settings write them.
const std::map<int, std::string> kTexts = {
    {kSmall, "-12"},           {kInt, "123456"},    {kWord, "65535"},
    {kLarge, "1234567890123"}, {kFloat, "-2,5"},    {kCur, "3,75"},
    {kDate, "2007-03-15"},     {kTime, "14:07:09"}, {kDT, "2007-03-15 14:07:09"}};

TExpected TextRow(const std::string& string, const std::string& wide, const std::string& boolean,
                  const std::string& memo) {
  TExpected e{"", {}};
  for (const auto& [i, text] : kTexts) e.Except[i] = "String " + text;
  e.Except[kString] = "String " + string;
  e.Except[kWide] = "String " + wide;
  e.Except[kBool] = "String " + boolean;
  e.Except[kMemo] = "String " + memo;
  return e;
}

// Outcomes by the sample's own type: "NULL <type>".
TExpected NullOfEachType(std::map<int, std::string> except = {}) {
  TExpected e{"", std::move(except)};
  const std::vector<TZorValue> nulls = NullSamples();
  for (int i = 0; i < kSampleCount; ++i)
    if (!e.Except.count(i)) e.Except[i] = Describe(nulls[static_cast<std::size_t>(i)]);
  return e;
}

TExpected DatePartRow(const std::string& date, const std::string& time, const std::string& dt) {
  return {"#2140 Not DateTime data type", {{kDate, date}, {kTime, time}, {kDT, dt}}};
}

std::vector<TMatrixRow> MatrixRows() {
  const std::string notDate = "#2140 Not DateTime data type";
  const std::string notInt = "#2107 Not Integer data type";
  const std::string noWord = "NULL Word";
  auto words = [](int d, int t, int dt) {
    return DatePartRow("Word " + std::to_string(d), "Word " + std::to_string(t),
                       "Word " + std::to_string(dt));
  };
  const TExpected nullString{"NULL String", {}};
  const TExpected nullInteger{"NULL Integer", {}};
  const TExpected nullLarge{"NULL LargeInt", {}};
  const TExpected nullFloat{"NULL Float", {}};
  const std::string overflow = "!EIntOverflow Integer overflow";
  // POWER with an Integer: NULL in the common type of the two operands
  // when either is NULL or not a number.
  const std::map<int, std::string> powerNulls = {
      {kString, "NULL String"}, {kWide, "NULL WideString"}, {kSmall, "NULL Integer"},
      {kInt, "NULL Integer"},   {kWord, "NULL Integer"},    {kLarge, "NULL LargeInt"},
      {kFloat, "NULL Float"},   {kCur, "NULL Currency"},    {kBool, "NULL Integer"},
      {kDate, "NULL DateTime"}, {kTime, "NULL DateTime"},   {kDT, "NULL DateTime"},
      {kMemo, "NULL unknown"}};
  auto power = [&](const std::map<int, std::string>& numbers) {
    TExpected e{"", powerNulls};
    for (const auto& [i, text] : numbers) e.Except[i] = text;
    return e;
  };
  return {
      // String functions.
      {opUpper, {X}, TextRow(" ABC ", " W\xC8", "TRUE", "MEMO\tTEXT\n"), nullString},
      {opLower, {X}, TextRow(" abc ", " w\xE8", "true", "memo\ttext\n"), nullString},
      {opTrim, {X}, TextRow("aBc", "w\xE8", "true", "memo\ttext"), nullString},
      {opLTrim, {X}, TextRow("aBc ", "w\xE8", "true", "memo\ttext\n"), nullString},
      {opRTrim, {X}, TextRow(" aBc", " w\xE8", "true", "memo\ttext"), nullString},
      {opLength,
       {X},
       {"#2121 Not string argument in function 'LENGTH'",
        {{kString, "Integer 5"}, {kWide, "Integer 3"}, {kMemo, "Integer 10"}}},
       {"#2121 Not string argument in function 'LENGTH'",
        {{kString, "Integer 0"}, {kWide, "Integer 0"}, {kMemo, "Integer 0"}}}},
      {opPos,
       {X, Str("abc")},
       {"#2122 Not string argument in function 'POS'",
        {{kString, "Integer 0"}, {kWide, "Integer 0"}}},
       {"#2122 Not string argument in function 'POS'",
        {{kString, "Integer 0"}, {kWide, "Integer 0"}}}},
      {opPos,
       {Str("w"), X},
       {"#2124 Not string argument in function 'POS'",
        {{kString, "Integer 0"}, {kWide, "Integer 2"}}},
       {"#2124 Not string argument in function 'POS'",
        {{kString, "Integer 0"}, {kWide, "Integer 0"}}}},
      {opPos,
       {X, Wide(u"abc")},
       {"#2123 Not string argument in function 'POS'",
        {{kString, "Integer 0"}, {kWide, "Integer 0"}}},
       {"#2123 Not string argument in function 'POS'",
        {{kString, "Integer 0"}, {kWide, "Integer 0"}}}},
      {opSubstring,
       {X, Int(2), Int(2)},
       {"#2125 Not string argument in function 'SUBSTRING'",
        {{kString, "String aB"}, {kWide, "WideString w\xE8"}}},
       {"#2125 Not string argument in function 'SUBSTRING'",
        {{kString, "NULL String"}, {kWide, "NULL WideString"}}}},
      {opSubstring, {Str("abcdef"), X}, {notInt, {{kInt, "NULL String"}}}, {notInt, {}}},
      {opSubstring, {Str("abcdef"), Int(2), X}, {notInt, {{kInt, "String bcdef"}}}, {notInt, {}}},
      // Date functions.
      {opToString,
       {X},
       DatePartRow("String 2007-03-15 00:00:00.000", "String 1899-12-30 14:07:09.123",
                   "String 2007-03-15 14:07:09.123"),
       nullString,
       "YYYY-MM-DD HH24:NN:SS.ZZZ"},
      {opToDate,
       {X},
       {"!EConvertError ' aBc' is not a valid integer value",
        {{kWide, "!EConvertError ' w\xE8' is not a valid integer value"},
         {kSmall, "!EConvertError '-12' is not a valid integer value"},
         {kInt, "!EConvertError '' is not a valid integer value"},
         {kWord, "!EConvertError '' is not a valid integer value"},
         {kLarge, "!EConvertError '1234567890123' is not a valid date"},
         {kFloat, "!EConvertError '-2,5' is not a valid integer value"},
         {kCur, "!EConvertError '3,75' is not a valid integer value"},
         {kBool, "!EConvertError 'true' is not a valid integer value"},
         {kDate, "DateTime 2007-03-15"},
         {kTime, "!EConvertError '14:0' is not a valid integer value"},
         {kDT, "DateTime 2007-03-15"},
         {kMemo, "!EConvertError 'memo' is not a valid integer value"}}},
       {"NULL DateTime", {}},
       "YYYY-MM-DD"},
      {opYear, {X}, words(2007, 1899, 2007), {noWord, {}}},
      {opQuarter, {X}, words(1, 4, 1), {noWord, {}}},
      {opMonth, {X}, words(3, 12, 3), {noWord, {}}},
      {opDay, {X}, words(15, 30, 15), {noWord, {}}},
      {opWeekday, {X}, words(5, 7, 5), {noWord, {}}},
      {opDayOfWeek, {X}, words(4, 6, 4), {noWord, {}}},
      {opDayName,
       {X},
       DatePartRow("String Thursday", "String Saturday", "String Thursday"),
       nullString},
      {opMonthName,
       {X},
       DatePartRow("String March", "String December", "String March"),
       nullString},
      {opHour, {X}, words(0, 14, 14), {noWord, {}}},
      {opMinute, {X}, words(0, 7, 7), {noWord, {}}},
      {opSecond, {X}, words(0, 9, 9), {noWord, {}}},
      {opMSecond, {X}, words(0, 123, 123), {noWord, {}}},
      // Numeric functions.
      {opAbs,
       {X},
       NullOfEachType({{kSmall, "SmallInt 12"},
                       {kInt, "Integer 123456"},
                       {kWord, "Word 65535"},
                       {kLarge, "LargeInt 1234567890123"},
                       {kFloat, "Float 2.5"},
                       {kCur, "Currency 3.75"}}),
       NullOfEachType()},
      {opCeiling,
       {X},
       {"NULL Integer",
        {{kSmall, "Integer -12"},
         {kInt, "Integer 123456"},
         {kWord, "Integer 65535"},
         {kLarge, "LargeInt 1234567890123"},
         {kFloat, "Integer -2"},
         {kCur, "Integer 4"}}},
       nullInteger},
      {opFloor,
       {X},
       {"NULL Integer",
        {{kSmall, "Integer -12"},
         {kInt, "Integer 123456"},
         {kWord, "Integer 65535"},
         {kLarge, "LargeInt 1234567890123"},
         {kFloat, "Integer -3"},
         {kCur, "Integer 3"}}},
       nullInteger},
      {opSign,
       {X},
       {"NULL Integer",
        {{kSmall, "Integer -1"},
         {kInt, "Integer 1"},
         {kWord, "Integer 1"},
         {kLarge, "Integer 1"},
         {kFloat, "Integer -1"},
         {kCur, "Integer 1"}}},
       nullInteger},
      {opRound,
       {X},
       {"NULL Integer",
        {{kSmall, "Integer -12"},
         {kInt, "Integer 123456"},
         {kWord, "Integer 65535"},
         {kLarge, "LargeInt 1234567890123"},
         {kFloat, "Integer -3"},
         {kCur, "Integer 4"}}},
       nullInteger},
      {opRound,
       {X, Int(1)},
       {"NULL Float",
        {{kSmall, "Float -12"},
         {kInt, "Float 123456"},
         {kWord, "Float 65535"},
         {kLarge, "Float 1234567890123"},
         {kFloat, "Float -2.5"},
         {kCur, "Float 3.8"}}},
       nullFloat},
      {opRound,
       {Flt(2.345), X},
       {"NULL Float",
        {{kSmall, "Float 2"},
         {kInt, "Float 2.345"},
         {kWord, "Float 2.345"},
         {kLarge, "Float 2.345"},
         {kFloat, "Float 2"},
         {kCur, "Float 2.345"}}},
       nullFloat},
      {opTruncate,
       {X},
       {"NULL Integer",
        {{kSmall, "Integer -12"},
         {kInt, "Integer 123456"},
         {kWord, "Integer 65535"},
         {kLarge, "LargeInt 1234567890123"},
         {kFloat, "Integer -2"},
         {kCur, "Integer 3"}}},
       nullInteger},
      {opTruncate,
       {X, Int(1)},
       {"NULL Float",
        {{kSmall, "Float -12"},
         {kInt, "Float 123456"},
         {kWord, "Float 65535"},
         {kLarge, "Float 1234567890123"},
         {kFloat, "Float -2.5"},
         {kCur, "Float 3.7"}}},
       nullFloat},
      {opMod,
       {X, Int(7)},
       {"NULL LargeInt",
        {{kSmall, "LargeInt -5"},
         {kInt, "LargeInt 4"},
         {kWord, "LargeInt 1"},
         {kLarge, "LargeInt 1"},
         {kFloat, "LargeInt -2"},
         {kCur, "LargeInt 4"}}},
       nullLarge},
      {opMod,
       {Int(7), X},
       {"NULL LargeInt",
        {{kSmall, "LargeInt 7"},
         {kInt, "LargeInt 7"},
         {kWord, "LargeInt 7"},
         {kLarge, "LargeInt 7"},
         {kFloat, "LargeInt 1"},
         {kCur, "LargeInt 3"}}},
       nullLarge},
      {opPower,
       {X, Int(2)},
       power({{kSmall, "LargeInt 144"},
              {kInt, "LargeInt 15241383936"},
              {kWord, "LargeInt 4294836225"},
              {kLarge, overflow},
              {kFloat, "Float 6.25"},
              {kCur, "Float 14.0625"}}),
       {"", powerNulls}},
      {opPower,
       {Int(2), X},
       power({{kSmall, "LargeInt 0"},
              {kInt, overflow},
              {kWord, overflow},
              {kLarge, overflow},
              {kFloat, "Float 0.1767766952966369"},
              {kCur, "Float 13.454342644059432"}}),
       {"", powerNulls}},
      {opHex,
       {X},
       {"NULL String",
        {{kString, "String 2061426320"},
         {kWide, "String 200077000D01"},
         {kSmall, "String FFF4"},
         {kInt, "String 0001E240"},
         {kWord, "String FFFF"},
         {kLarge, "String 0000011F71FB04CB"}}},
       nullString},
      {opHex,
       {X, Int(2)},
       {"NULL String",
        {{kString, "String 0x2061426320"},
         {kWide, "String 0x200077000d01"},
         {kSmall, "String 0xfff4"},
         {kInt, "String 0x0001e240"},
         {kWord, "String 0xffff"},
         {kLarge, "String 0x0000011f71fb04cb"}}},
       nullString},
      {opHex, {Int(255), X}, {notInt, {{kInt, "String 000000FF"}}}, {"String 000000FF", {}}},
      // ISNULL.
      {opIsNullFunction, {X}, {"Boolean false", {}}, {"Boolean true", {}}},
      {opIsNullFunction,
       {X, Int(7)},
       {"", {}},
       {"#68 Types mismatches in SQL function ISNULL: ", {{kInt, "Integer 7"}}},
       nullptr,
       true},
  };
}

TEST_F(FunctionsTest, EveryFunctionOverEveryArgumentType) {
  const std::vector<TZorValue> samples = Samples();
  const std::vector<TZorValue> nulls = NullSamples();
  for (const TMatrixRow& row : MatrixRows()) {
    std::optional<TDateFormater> formater;
    if (row.Pattern) formater.emplace(row.Pattern, CallSettings());
    for (int pass = 0; pass < 2; ++pass) {
      const std::vector<TZorValue>& inputs = pass == 0 ? samples : nulls;
      for (int i = 0; i < kSampleCount; ++i) {
        const TZorValue& sample = inputs[static_cast<std::size_t>(i)];
        std::vector<TZorValue> args;
        TCallSetup setup;
        setup.Formater = formater ? &*formater : nullptr;
        for (const std::optional<TZorValue>& a : row.Args) args.push_back(a ? *a : sample);
        if (row.PlanTypes) {
          setup.ArgumentTypes[0] = sample.DataType();
          setup.ArgumentTypes[1] = args[1].DataType();
        }
        std::string expected = (pass == 0 ? row.Values : row.Nulls).At(i);
        // ISNULL passes a non-NULL first argument through unchanged.
        if (row.PlanTypes && pass == 0) expected = Describe(sample);
        if (row.PlanTypes && pass == 1 && i != kInt)
          expected += std::to_string(sample.DataType()) + ", 3";
        EXPECT_EQ(Outcome(row.Op, args, setup), expected)
            << OperatorName(row.Op) << " (op " << int(row.Op) << ") over "
            << (pass == 0 ? "" : "NULL ") << TypeLabel(sample.DataType()) << ", sample " << i;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Edge cases.

struct TEdgeCase {
  std::uint8_t Op;
  std::vector<TZorValue> Args;
  std::string Expected;
};

TEST_F(FunctionsTest, StringFunctions) {
  const std::vector<TEdgeCase> cases = {
      {opUpper, {Str("abc")}, "String ABC"},
      {opUpper, {Int(12)}, "String 12"},
      {opUpper, {Str("\xE1\xE8z")}, "String \xC1\xC8Z"},  // accented letters
      {opLower,
       {Wide(u"\u00C1B")},
       "String \xE1"
       "b"},
      {opTrim, {Str("  a  ")}, "String a"},
      {opTrim, {Str("   ")}, "NULL String"},
      {opTrim, {Str("\x01\x1F a b\x20\t")}, "String a b"},
      // Bytes above 127 are letters, not blanks.
      {opTrim, {Str("\xA0\xE1 x \xE1")}, "String \xA0\xE1 x \xE1"},
      {opLTrim, {Str("  ")}, "NULL String"},
      {opRTrim, {Str("x \n")}, "String x"},
      {opLength, {Str("abc")}, "Integer 3"},
      {opLength, {Null(ftString)}, "Integer 0"},
      {opLength, {Int(5)}, "#2121 Not string argument in function 'LENGTH'"},
      {opLength, {Wide(u"\u010D\u010D")}, "Integer 2"},
      {opPos, {Str("b"), Str("abc")}, "Integer 2"},
      {opPos, {Str("x"), Str("abc")}, "Integer 0"},
      {opPos, {Null(ftString), Str("abc")}, "Integer 0"},
      {opPos, {Wide(u"\u010D"), Str("a\xE8")}, "Integer 2"},
      {opPos, {Str("c"), Str("abcabc")}, "Integer 3"},
      {opSubstring, {Str("abcdef"), Int(2), Int(3)}, "String bcd"},
      {opSubstring, {Str("abcdef"), Int(4)}, "String def"},
      {opSubstring, {Str("abc"), Int(5)}, "NULL String"},
      {opSubstring, {Str("abc"), AutoInc(2)}, "String bc"},
      {opSubstring, {Str("abc"), Small(2)}, "#2107 Not Integer data type"},
      {opSubstring, {Str("abc"), Null(ftInteger)}, "#2107 Not Integer data type"},
      {opSubstring, {MemoV("abc"), Int(1)}, "#2125 Not string argument in function 'SUBSTRING'"},
  };
  for (const TEdgeCase& c : cases)
    EXPECT_EQ(Outcome(c.Op, c.Args), c.Expected) << OperatorName(c.Op) << " op " << int(c.Op);
}

// Whole texts of non-string operands: nothing is cut to the operand's own
// byte size.
TEST_F(FunctionsTest, NonStringOperandsKeepTheirWholeText) {
  EXPECT_EQ(Outcome(opUpper, {Int(123456)}), "String 123456");
  EXPECT_EQ(Outcome(opLower, {Large(INT64_MIN)}), "String -9223372036854775808");
  EXPECT_EQ(Outcome(opTrim, {Small(-32768)}), "String -32768");
  EXPECT_EQ(Outcome(opLTrim, {Flt(1.0 / 3)}), "String 0,3333333333333333");
  EXPECT_EQ(Outcome(opRTrim, {DateTimeV(9999, 12, 31, 23, 59, 59, 0)}),
            "String 9999-12-31 23:59:59");
  const std::string longText(5000, 'q');
  EXPECT_EQ(Outcome(opUpper, {MemoV(longText)}), "String " + std::string(5000, 'Q'));
}

TEST_F(FunctionsTest, SubstringBounds) {
  const TZorValue s = Str("abcdef");
  const TZorValue w = Wide(u"ab\u010Ddef");
  struct Bounds {
    std::int32_t Start, Length;
    const char* Narrow;
    const char* WideText;
  };
  const Bounds cases[] = {
      {INT_MIN, INT_MAX, "String abcdef",
       "WideString ab\xE8"
       "def"},
      {INT_MIN, 2, "String ab", "WideString ab"},
      {0, 2, "String ab", "WideString ab"},
      {-5, 3, "String abc", "WideString ab\xE8"},
      {2, INT_MAX, "String bcdef",
       "WideString b\xE8"
       "def"},
      {6, 1, "String f", "WideString f"},
      {7, 1, "NULL String", "NULL WideString"},
      {INT_MAX, INT_MAX, "NULL String", "NULL WideString"},
      {1, 0, "NULL String", "NULL WideString"},
      {1, -1, "NULL String", "NULL WideString"},
      {1, INT_MIN, "NULL String", "NULL WideString"},
      {INT_MIN, INT_MIN, "NULL String", "NULL WideString"},
  };
  for (const Bounds& b : cases) {
    EXPECT_EQ(Outcome(opSubstring, {s, Int(b.Start), Int(b.Length)}), b.Narrow)
        << b.Start << ", " << b.Length;
    EXPECT_EQ(Outcome(opSubstring, {w, Int(b.Start), Int(b.Length)}), b.WideText)
        << b.Start << ", " << b.Length;
  }
  EXPECT_EQ(Outcome(opSubstring, {s, Int(INT_MAX)}), "NULL String");
  EXPECT_EQ(Outcome(opSubstring, {s, Int(INT_MIN)}), "String abcdef");
}

TEST_F(FunctionsTest, DateFunctions) {
  const TZorValue march15 = DateV(2007, 3, 15);
  EXPECT_EQ(Outcome(opQuarter, {march15}), "Word 1");
  EXPECT_EQ(Outcome(opWeekday, {march15}), "Word 5");
  EXPECT_EQ(Outcome(opDayOfWeek, {march15}), "Word 4");
  EXPECT_EQ(Outcome(opDayName, {march15}), "String Thursday");
  EXPECT_EQ(Outcome(opMonthName, {march15}), "String March");
  // Day 1 of the calendar was a Monday; the last day a Friday.
  EXPECT_EQ(Outcome(opDayName, {DateV(1, 1, 1)}), "String Monday");
  EXPECT_EQ(Outcome(opDayOfWeek, {DateV(1, 1, 1)}), "Word 1");
  EXPECT_EQ(Outcome(opDayName, {DateV(9999, 12, 31)}), "String Friday");
  // Before 30 December 1899 the date-time numbers are negative.
  EXPECT_EQ(Outcome(opHour, {DateTimeV(1850, 6, 1, 18, 30, 0, 0)}), "Word 18");
  EXPECT_EQ(Outcome(opDay, {DateTimeV(1850, 6, 1, 18, 30, 0, 0)}), "Word 1");
  EXPECT_EQ(Outcome(opMSecond, {DateTimeV(2000, 1, 1, 0, 0, 0, 999)}), "Word 999");
  // The quarter's boundaries.
  for (int month = 1; month <= 12; ++month) {
    EXPECT_EQ(Outcome(opQuarter, {DateV(2020, month, 1)}),
              "Word " + std::to_string((month + 2) / 3));
  }
  const std::string noArgument = "#70 Argument expected in SQL function ";
  EXPECT_EQ(Outcome(opYear, {}), noArgument + "YEAR");
  EXPECT_EQ(Outcome(opMSecond, {}), noArgument + "MSECOND");
  EXPECT_EQ(Outcome(opDayName, {}), noArgument + "DAYNAME");
  EXPECT_EQ(Outcome(opToString, {Int(1)}, {}),
            "!Exception No date format for SQL function TOSTRING");
}

TEST_F(FunctionsTest, CurrentDateAndTime) {
  const double before = NowLocal();
  const std::string now = Outcome(opNow, {});
  const std::string date = Outcome(opCurrentDate, {});
  const std::string time = Outcome(opCurrentTime, {});
  const double after = NowLocal();
  ASSERT_EQ(now.rfind("DateTime ", 0), 0u) << now;
  ASSERT_EQ(date.rfind("Date ", 0), 0u) << date;
  ASSERT_EQ(time.rfind("Time ", 0), 0u) << time;

  TZorFunctionCall call;
  TZorValue result;
  call.Operator = opNow;
  EvaluateFunction(call, {}, result);
  EXPECT_GE(result.AsDateTime(), before - 1.0 / kMsPerDay);
  EXPECT_LE(result.AsDateTime(), after + 1.0 / kMsPerDay);
  call.Operator = opCurrentDate;
  EvaluateFunction(call, {}, result);
  EXPECT_GE(result.AsDateTime(), std::floor(before));
  EXPECT_LE(result.AsDateTime(), std::floor(after));
  call.Operator = opCurrentTime;
  EvaluateFunction(call, {}, result);
  EXPECT_GE(result.AsDateTime(), 0.0);
  EXPECT_LT(result.AsDateTime(), 1.0);
}

TEST_F(FunctionsTest, NumericFunctions) {
  const std::vector<TEdgeCase> cases = {
      {opMod, {Int(7), Int(3)}, "LargeInt 1"},
      {opMod, {Int(-7), Int(3)}, "LargeInt -1"},
      {opMod, {Large(INT64_MIN), Int(-1)}, "LargeInt 0"},
      {opMod, {Int(7), Int(0)}, "!EDivByZero Division by zero"},
      {opPower, {Int(2), Int(10)}, "LargeInt 1024"},
      {opPower, {Flt(2.0), Flt(0.5)}, "Float 1.4142135623730951"},
      {opPower, {Int(0), Int(-1)}, "!EDivByZero Division by zero"},
      {opSign, {Flt(-3.5)}, "Integer -1"},
      {opSign, {Int(0)}, "Integer 0"},
      {opCeiling, {Flt(1.2)}, "Integer 2"},
      {opCeiling, {Flt(1e12)}, "LargeInt 1000000000000"},
      {opFloor, {Flt(-1.2)}, "Integer -2"},
      {opFloor, {Flt(1e300)}, "!EIntOverflow Integer overflow"},
      {opAbs, {Int(INT_MIN)}, "LargeInt 2147483648"},
      {opAbs, {Large(INT64_MIN)}, "!EIntOverflow Integer overflow"},
      {opRound, {Int(5)}, "Integer 5"},
      {opRound, {Int(5), Int(2)}, "Float 5"},
      {opRound, {Int(5), Null(ftInteger)}, "NULL Float"},
      {opRound, {Flt(-2.5)}, "Integer -3"},
      {opRound, {Flt(2.345), Int(2)}, "Float 2.35"},
      {opRound, {Flt(1e15)}, "LargeInt 1000000000000000"},
      {opTruncate, {Flt(2.9)}, "Integer 2"},
      {opTruncate, {Flt(-2.99), Int(1)}, "Float -2.9"},
      {opTruncate, {Large(INT64_MAX)}, "LargeInt 9223372036854775807"},
      {opHex, {Int(255), Int(2)}, "String 0x000000ff"},
      {opHex, {Int(255), Int(1)}, "String $000000FF"},
      {opHex, {Str("AB")}, "String 4142"},
      {opHex, {AutoInc(16), AutoInc(2)}, "String 0x00000010"},
      {opHex, {Int(255), Null(ftString)}, "String 000000FF"},
      {opHex, {Int(255), Str("2")}, "#2107 Not Integer data type"},
      {opRandom, {Null(ftInteger)}, "NULL LargeInt"},
      {opRandom, {Str("5")}, "NULL LargeInt"},
      {opRandom, {Int(-5)}, "LargeInt 0"},
      {opRandom, {Int(1)}, "LargeInt 0"},
  };
  for (const TEdgeCase& c : cases)
    EXPECT_EQ(Outcome(c.Op, c.Args), c.Expected) << OperatorName(c.Op) << " op " << int(c.Op);
}

TEST_F(FunctionsTest, RandomStaysInItsRange) {
  TZorFunctionCall call;
  call.Operator = opRandom;
  TZorValue result;
  std::vector<bool> seen(10, false);
  for (int i = 0; i < 2000; ++i) {
    EvaluateFunction(call, {}, result);
    ASSERT_EQ(result.DataType(), ftFloat);
    ASSERT_GE(result.AsFloat(), 0.0);
    ASSERT_LT(result.AsFloat(), 1.0);
    const TZorValue limit = i % 2 ? Int(10) : Flt(9.6);  // 9.6 rounds to 10
    const TZorValue* args[] = {&limit};
    EvaluateFunction(call, args, result);
    ASSERT_EQ(result.DataType(), ftLargeint);
    ASSERT_GE(result.AsLargeInt(), 0);
    ASSERT_LT(result.AsLargeInt(), 10);
    seen[static_cast<std::size_t>(result.AsLargeInt())] = true;
  }
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(seen[static_cast<std::size_t>(i)]) << i;
}

TEST_F(FunctionsTest, IsNull) {
  TCallSetup floatAndInteger;
  floatAndInteger.ArgumentTypes[0] = ftFloat;
  floatAndInteger.ArgumentTypes[1] = ftInteger;
  TCallSetup floats;
  floats.ArgumentTypes[0] = floats.ArgumentTypes[1] = ftFloat;
  TCallSetup integers;
  integers.ArgumentTypes[0] = integers.ArgumentTypes[1] = ftInteger;
  EXPECT_EQ(Outcome(opIsNullFunction, {Null(ftInteger), Int(7)}, integers), "Integer 7");
  EXPECT_EQ(Outcome(opIsNullFunction, {Null(ftFloat), Int(0)}, floatAndInteger),
            "#68 Types mismatches in SQL function ISNULL: 6, 3");
  EXPECT_EQ(Outcome(opIsNullFunction, {Null(ftFloat), Flt(0)}, floats), "Float 0");
  EXPECT_EQ(Outcome(opIsNullFunction, {Flt(1.5), Int(0)}, floatAndInteger), "Float 1.5");
  EXPECT_EQ(Outcome(opIsNullFunction, {Null(ftInteger), Null(ftInteger)}, integers),
            "NULL Integer");
  EXPECT_EQ(Outcome(opIsNullFunction, {Null(ftInteger)}), "Boolean true");

  // The full message as raised.
  TZorFunctionCall call;
  call.Operator = opIsNullFunction;
  call.ArgumentTypes[0] = ftFloat;
  call.ArgumentTypes[1] = ftInteger;
  const TZorValue x = Null(ftFloat), y = Int(0);
  const TZorValue* args[] = {&x, &y};
  TZorValue result;
  EXPECT_EQ(testing::MessageOf([&] { EvaluateFunction(call, args, result); }),
            "Types mismatches in SQL function ISNULL: 6, 3 - Native error: 00068");
}

// ---------------------------------------------------------------------------
// The calling contract.

TEST_F(FunctionsTest, ArgumentsAndOperators) {
  EXPECT_EQ(Outcome(opUpper, {}), "#70 Argument expected in SQL function UPPER");
  EXPECT_EQ(Outcome(opSubstring, {Str("a")}), "#70 Argument expected in SQL function SUBSTRING");
  EXPECT_EQ(Outcome(opMod, {Int(1)}), "#70 Argument expected in SQL function MOD");
  EXPECT_EQ(Outcome(opUpper, {Str("a"), Str("b")}),
            "!Exception Too many arguments in SQL function UPPER");
  for (int op : {0, int{opAdd}, int{opConcat}, int{opSum}, int{opBitAnd}, int{opCast}, 255})
    EXPECT_EQ(Outcome(static_cast<std::uint8_t>(op), {Int(1)}), "!Exception Unknown Operator")
        << op;

  // A missing argument node among the pointers.
  TZorFunctionCall call;
  call.Operator = opPos;
  const TZorValue s = Str("abc");
  const TZorValue* args[] = {nullptr, &s};
  TZorValue result;
  EXPECT_EQ(testing::NativeErrorOf([&] { EvaluateFunction(call, args, result); }),
            native_error::kFunctionArgumentExpected);
}

TEST_F(FunctionsTest, ResultMayBeAnArgumentAndSurvivesFailures) {
  TZorFunctionCall call;
  call.Operator = opUpper;
  TZorValue v = Str("abc");
  const TZorValue* args[] = {&v};
  EvaluateFunction(call, args, v);
  EXPECT_EQ(Describe(v), "String ABC");

  call.Operator = opSubstring;
  TZorValue start = Int(2);
  const TZorValue* subArgs[] = {&v, &start};
  EvaluateFunction(call, subArgs, v);
  EXPECT_EQ(Describe(v), "String BC");

  // A failing call leaves the result as it was.
  call.Operator = opLength;
  TZorValue n = Int(5);
  TZorValue result = Str("kept");
  const TZorValue* lenArgs[] = {&n};
  EXPECT_EQ(testing::NativeErrorOf([&] { EvaluateFunction(call, lenArgs, result); }),
            native_error::kNotStringLength);
  EXPECT_EQ(Describe(result), "String kept");
}

// The separators come from the call; the process-wide settings are read
// when the call has none and are never changed.
TEST_F(FunctionsTest, SeparatorsAreExplicit) {
  const FormatSettings comma = CallSettings();
  TCallSetup withComma;
  withComma.Settings = &comma;
  EXPECT_EQ(Outcome(opUpper, {Flt(2.5)}, withComma), "String 2,5");
  EXPECT_EQ(Outcome(opTrim, {Cur(-0.25)}, withComma), "String -0,25");

  // Without settings in the call, the process-wide ones.
  TZorFunctionCall call;
  call.Operator = opUpper;
  const TZorValue x = Flt(2.5);
  const TZorValue* args[] = {&x};
  TZorValue result;
  EvaluateFunction(call, args, result);
  EXPECT_EQ(result.AsString(), "2.5");

  // TODATE reads the text of a Date in the call's date format.
  const TDateFormater pattern("YYYY-MM-DD", comma);
  TCallSetup toDate;
  toDate.Formater = &pattern;
  toDate.Settings = &comma;
  EXPECT_EQ(Outcome(opToDate, {DateV(2007, 3, 15)}, toDate), "DateTime 2007-03-15");
  // None of this changed the process-wide settings.
  EXPECT_EQ(DefaultDecimalSeparator(), '.');
  EXPECT_EQ(DefaultFormatSettings().ShortDateFormat, "d/m/yyyy");
}

// ---------------------------------------------------------------------------
// TOSTRING and TODATE through patterns.

TEST_F(FunctionsTest, RoundTripsThroughPatterns) {
  struct Pattern {
    const char* Text;
    bool HasDate, HasTime;
  };
  const Pattern patterns[] = {
      {"DD.MM.YYYY", true, false},          {"YYYY-MM-DD HH24:NN:SS.ZZZ", true, true},
      {"DD RM YYYY H24:N:S:Z", true, true}, {"\"Day\" D M YYYY, HH:NN:SS.ZZZ AMPM", true, true},
      {"HH24:NN:SS.ZZZ", false, true},
  };
  const FormatSettings fs = CallSettings();
  std::mt19937 random(20070315);
  std::uniform_int_distribution<int> year(1, 9999), month(1, 12), day(1, 28), hour(0, 23),
      minute(0, 59), ms(0, 999);
  for (const Pattern& p : patterns) {
    const TDateFormater formater(p.Text, fs);
    TCallSetup setup;
    setup.Formater = &formater;
    for (int i = 0; i < 300; ++i) {
      const int y = year(random), mo = month(random), d = day(random), h = hour(random),
                n = minute(random), s = minute(random), z = ms(random);
      const TZorValue x = DateTimeV(y, mo, d, h, n, s, z);
      TZorFunctionCall call;
      call.Operator = opToString;
      call.Formater = &formater;
      call.Settings = &fs;
      const TZorValue* args[] = {&x};
      TZorValue text;
      EvaluateFunction(call, args, text);
      ASSERT_EQ(text.DataType(), ftString);
      ASSERT_LE(static_cast<int>(text.AsString().size()), formater.MaxLength());
      call.Operator = opToDate;
      const TZorValue* backArgs[] = {&text};
      TZorValue back;
      EvaluateFunction(call, backArgs, back);
      ASSERT_EQ(back.DataType(), ftDateTime);
      const TZorValue expected =
          DateTimeV(p.HasDate ? y : 1899, p.HasDate ? mo : 12, p.HasDate ? d : 30,
                    p.HasTime ? h : 0, p.HasTime ? n : 0, p.HasTime ? s : 0, p.HasTime ? z : 0);
      ASSERT_EQ(Describe(back), Describe(expected)) << p.Text << " via " << text.AsString();
    }
  }
}

TEST_F(FunctionsTest, ToDateAndToStringCases) {
  const TDateFormater ddmmyyyy("DD.MM.YYYY", CallSettings());
  TCallSetup setup;
  setup.Formater = &ddmmyyyy;
  EXPECT_EQ(Outcome(opToString, {DateV(2007, 3, 5)}, setup), "String 05.03.2007");
  EXPECT_EQ(Outcome(opToDate, {Str("05.03.2007")}, setup), "DateTime 2007-03-05");
  EXPECT_EQ(Outcome(opToDate, {Wide(u"05.03.2007")}, setup), "DateTime 2007-03-05");
  EXPECT_EQ(Outcome(opToDate, {Null(ftString)}, setup), "NULL DateTime");
  EXPECT_EQ(Outcome(opToString, {Null(ftInteger)}, setup), "NULL String");
  EXPECT_EQ(Outcome(opToString, {Str("05.03.2007")}, setup), "#2140 Not DateTime data type");
  EXPECT_EQ(Outcome(opToDate, {Str("31.02.2007")}, setup),
            "!EConvertError '31.02.2007' is not a valid date");
  const TDateFormater ampm("HH:NN AMPM", CallSettings());
  setup.Formater = &ampm;
  EXPECT_EQ(Outcome(opToDate, {Str("02:30 XM")}, setup),
            "#2146 AM/PM word expected, but 'XM' found");
  EXPECT_EQ(Outcome(opToString, {TimeV(14, 30, 0, 0)}, setup), "String 02:30 PM");
}

// ---------------------------------------------------------------------------
// Random arguments.

TZorValue RandomValue(std::mt19937_64& random) {
  static const std::uint8_t kTypes[] = {ftString,   ftWideString, ftSmallint, ftInteger, ftWord,
                                        ftLargeint, ftFloat,      ftCurrency, ftBoolean, ftDate,
                                        ftTime,     ftDateTime,   ftMemo,     ftAutoInc, ftBlob};
  const std::uint8_t type = kTypes[random() % std::size(kTypes)];
  if (random() % 6 == 0) return Null(type);
  auto pick = [&](std::initializer_list<std::int64_t> special) {
    if (random() % 3 == 0) return *(special.begin() + random() % special.size());
    return static_cast<std::int64_t>(random());
  };
  auto text = [&] {
    static const char kAlphabet[] =
        " \t\x01"
        "0123456789.,-:/aAbBzZ\xE1\xC8PMIVX%'";
    std::string s;
    const std::size_t n = random() % 24;
    for (std::size_t i = 0; i < n; ++i) s += kAlphabet[random() % (sizeof kAlphabet - 1)];
    return s;
  };
  const double day = static_cast<double>(random() % 3652059) - 693593.0;
  const double fraction = static_cast<double>(random() % 86400000) / 86400000.0;
  TZorValue v;
  switch (type) {
    case ftString:
      return Str(text());
    case ftWideString:
      return Wide(Cp1250ToUtf16(text()));
    case ftSmallint:
      return Small(static_cast<std::int16_t>(pick({0, -1, INT16_MIN, INT16_MAX})));
    case ftInteger:
      return Int(static_cast<std::int32_t>(pick({0, 1, -1, INT_MIN, INT_MAX, 64})));
    case ftAutoInc:
      return AutoInc(static_cast<std::int32_t>(pick({0, 1, 2, INT_MIN, INT_MAX})));
    case ftWord:
      return WordV(static_cast<std::uint16_t>(pick({0, 1, 65535})));
    case ftLargeint:
      return Large(pick({0, -1, 2, INT64_MIN, INT64_MAX}));
    case ftFloat:
    case ftCurrency: {
      static const double kSpecial[] = {0.0, -0.5, 2.5, 1e300, -1e300, 1e-300, 9.2e18, 0.1};
      const double d = random() % 2 ? kSpecial[random() % std::size(kSpecial)]
                                    : std::ldexp(static_cast<double>(random() % 2000001) - 1e6,
                                                 static_cast<int>(random() % 80) - 40);
      return type == ftFloat ? Flt(d) : Cur(d);
    }
    case ftBoolean:
      return Bool(random() % 2);
    case ftDate:
      v.SetDate(day);
      return v;
    case ftTime:
      v.SetTime(fraction);
      return v;
    case ftDateTime:
      v.SetDateTime(day + fraction);
      return v;
    case ftMemo:
      return MemoV(text());
    default: {
      const std::string bytes = text() + "x";
      v.SetPayload(ftBlob, bytes.data(), static_cast<std::int32_t>(bytes.size()));
      return v;
    }
  }
}

// Whether a result's type is one the function can give.
bool PlausibleType(std::uint8_t op, const TZorValue& r) {
  const std::uint8_t t = r.DataType();
  switch (op) {
    case opUpper:
    case opLower:
    case opTrim:
    case opLTrim:
    case opRTrim:
    case opHex:
    case opToString:
    case opDayName:
    case opMonthName:
      return t == ftString;
    case opLength:
    case opPos:
      return t == ftInteger && !r.IsNull() && r.AsInteger() >= 0;
    case opSubstring:
      return IsStringType(t);
    case opToDate:
    case opNow:
      return t == ftDateTime;
    case opCurrentDate:
      return t == ftDate;
    case opCurrentTime:
      return t == ftTime;
    case opCeiling:
    case opFloor:
    case opSign:
      return t == ftInteger || t == ftLargeint;
    case opMod:
      return t == ftLargeint;
    case opIsNullFunction:
      return true;
    case opRandom:
      return t == ftFloat || t == ftLargeint;
    case opRound:
    case opTruncate:
      return t == ftInteger || t == ftLargeint || t == ftFloat;
    case opAbs:
    case opPower:
      return true;
    default:  // the date parts
      return t == ftWord;
  }
}

TEST_F(FunctionsTest, EveryOutcomeIsAValueOrAnEngineError) {
  static const std::uint8_t kOps[] = {
      opIsNullFunction, opUpper,       opLower,     opTrim,    opLTrim,     opRTrim,
      opLength,         opPos,         opSubstring, opToDate,  opToString,  opYear,
      opQuarter,        opMonth,       opDay,       opWeekday, opDayOfWeek, opDayName,
      opMonthName,      opHour,        opMinute,    opSecond,  opMSecond,   opNow,
      opCurrentDate,    opCurrentTime, opAbs,       opCeiling, opFloor,     opMod,
      opPower,          opRandom,      opRound,     opSign,    opTruncate,  opHex};
  const FormatSettings fs = CallSettings();
  const TDateFormater patterns[] = {TDateFormater("DD.MM.YYYY", fs),
                                    TDateFormater("YYYY Q DD RM HH:NN AMPM ZZZ", fs),
                                    TDateFormater("MONTH DAY DDD DW YY", fs)};
  std::mt19937_64 random(0x5EED2007);
  int values = 0, errors = 0;
  for (int i = 0; i < 60000; ++i) {
    TZorFunctionCall call;
    call.Operator = kOps[random() % std::size(kOps)];
    call.Formater = &patterns[random() % std::size(patterns)];
    call.Settings = random() % 2 ? &fs : nullptr;
    std::vector<TZorValue> args;
    const std::size_t n = random() % 4;
    for (std::size_t k = 0; k < n; ++k) args.push_back(RandomValue(random));
    call.ArgumentTypes[0] = n > 0 ? args[0].DataType() : 0;
    call.ArgumentTypes[1] = random() % 2 && n > 1 ? args[1].DataType() : call.ArgumentTypes[0];
    std::vector<const TZorValue*> pointers;
    for (const TZorValue& a : args) pointers.push_back(&a);
    TZorValue result;
    try {
      EvaluateFunction(call, pointers, result);
      ++values;
      ASSERT_TRUE(PlausibleType(call.Operator, result))
          << OperatorName(call.Operator) << " (op " << int(call.Operator) << ") gave "
          << Describe(result);
    } catch (const ZorException&) {
      ++errors;
    } catch (const EConvertError&) {
      ++errors;
    } catch (const EDivByZero&) {
      ++errors;
    } catch (const EIntOverflow&) {
      ++errors;
    } catch (const EOverflow&) {
      ++errors;
    } catch (const EInvalidOp&) {
      ++errors;
    } catch (const Exception& e) {
      // Only a call with more arguments than the function takes may raise
      // the general error.
      ASSERT_EQ(std::string(e.Message()).rfind("Too many arguments", 0), 0u)
          << e.ClassName() << ": " << e.Message();
    }
  }
  // Both outcomes occur often enough for the run to mean something.
  EXPECT_GT(values, 10000);
  EXPECT_GT(errors, 5000);
}

}  // namespace
}  // namespace kivo
