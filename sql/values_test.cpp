#include "sql/values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::NativeErrorOf;

// Fixed settings: ISO-like dates, 24-hour times, a comma for decimals.
FormatSettings TestSettings() {
  FormatSettings fs;
  fs.DecimalSeparator = ',';
  fs.DateSeparator = '-';
  fs.TimeSeparator = ':';
  fs.ShortDateFormat = "yyyy/mm/dd";
  fs.LongTimeFormat = "hh:nn:ss";
  fs.ShortTimeFormat = "hh:nn";
  return fs;
}

class ValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUserLocale("en_US");
    SetDefaultFormatSettings(TestSettings());
  }
  void TearDown() override { SetUserLocale(""); }
};

double Date(int y, int m, int d) {
  double v = 0;
  EXPECT_TRUE(TryEncodeDate(y, m, d, &v));
  return v;
}

TZorValue Int(std::int32_t v) {
  TZorValue x;
  x.SetInteger(v);
  return x;
}
TZorValue Flt(double v) {
  TZorValue x;
  x.SetFloat(v);
  return x;
}
TZorValue Str(std::string_view v) {
  TZorValue x;
  x.SetString(v);
  return x;
}

// ---------------------------------------------------------------------------
// Ownership and payloads.

TEST_F(ValuesTest, FreshClearedAndNullValues) {
  TZorValue v;
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType(), 0);
  EXPECT_EQ(v.Data(), nullptr);
  v.SetString("abc");
  EXPECT_FALSE(v.IsNull());
  EXPECT_EQ(v.Size(), 4);
  EXPECT_EQ(std::memcmp(v.Data(), "abc", 4), 0);
  v.SetNull(ftDate);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType(), ftDate);
  EXPECT_EQ(v.Size(), 0);
  EXPECT_EQ(v.Data(), nullptr);
  v.Clear();
  EXPECT_EQ(v.DataType(), 0);
  // The empty text is NULL, with its tag kept.
  v.SetString("");
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType(), ftString);
  v.SetWideString(u"");
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType(), ftWideString);
  v.SetWideString(u"\u0151x");
  EXPECT_EQ(v.Size(), 6);
  EXPECT_EQ(v.AsWideString(), u"\u0151x");
  EXPECT_EQ(v.AsString(), "\xF5x");  // narrowed to Windows-1250
}

TEST_F(ValuesTest, BorrowedPayloadsAreReadInPlaceAndCopiedDeeply) {
  // A record slot: Date day number in the first 4 of 8 bytes.
  unsigned char slot[8] = {};
  const std::int32_t day = 39146 + kDateDelta;  // 5 March 2007
  std::memcpy(slot, &day, 4);
  TZorValue v;
  v.SetBorrowed(ftDate, slot, 8);
  EXPECT_TRUE(v.Borrowed());
  EXPECT_EQ(v.Data(), reinterpret_cast<const std::byte*>(slot));
  EXPECT_EQ(v.AsDateTime(), Date(2007, 3, 5));

  TZorValue copy(v);
  EXPECT_FALSE(copy.Borrowed());
  EXPECT_NE(copy.Data(), v.Data());
  TZorValue assigned;
  v.CopyTo(assigned);
  EXPECT_FALSE(assigned.Borrowed());
  slot[0] ^= 1;  // the record changes; the copies do not
  EXPECT_EQ(copy.AsDateTime(), Date(2007, 3, 5));
  EXPECT_EQ(assigned.AsDateTime(), Date(2007, 3, 5));
  EXPECT_NE(v.AsDateTime(), Date(2007, 3, 5));

  // Copying a borrowed value onto itself makes it owned.
  v.CopyTo(v);
  EXPECT_FALSE(v.Borrowed());
  slot[0] ^= 1;
  EXPECT_NE(v.AsDateTime(), Date(2007, 3, 5));

  // A setter leaves the borrowed memory alone.
  TZorValue w;
  w.SetBorrowed(ftDate, slot, 8);
  w.SetInteger(5);
  EXPECT_FALSE(w.Borrowed());
  EXPECT_EQ(std::memcmp(slot, &day, 4), 0);
}

TEST_F(ValuesTest, BorrowedStringSlotsStopAtTheirZeroOrTheirSize) {
  const char slot[6] = {'a', 'b', 0, 'x', 'y', 'z'};
  TZorValue v;
  v.SetBorrowed(ftString, slot, 6);
  EXPECT_EQ(v.AsString(), "ab");
  // No terminator inside the slot: the text ends at its size.
  const char full[3] = {'a', 'b', 'c'};
  v.SetBorrowed(ftString, full, 3);
  EXPECT_EQ(v.AsString(), "abc");
  const char16_t wide[3] = {u'x', u'y', u'z'};
  v.SetBorrowed(ftWideString, wide, 6);
  EXPECT_EQ(v.AsWideString(), u"xyz");
  // Too small for the type.
  EXPECT_THROW(v.SetBorrowed(ftLargeint, slot, 4), EConvertError);
  EXPECT_THROW(v.SetBorrowed(ftString, slot, 0), EConvertError);
  EXPECT_THROW(v.SetBorrowed(ftInteger, nullptr, 4), EConvertError);
  EXPECT_THROW(v.SetPayload(ftFloat, slot, 2), EConvertError);
}

TEST_F(ValuesTest, MovesAndCopiesKeepEveryPayloadKind) {
  std::vector<TZorValue> values;
  for (int i = 0; i < 50; ++i) {
    TZorValue v;
    if (i % 3 == 0) v.SetString(std::string(static_cast<std::size_t>(i + 1), 'q'));
    if (i % 3 == 1) v.SetLargeInt(i);
    if (i % 3 == 2) v.SetMemo(std::string(40, static_cast<char>('a' + i % 26)));
    values.push_back(v);  // copy, then moves as the vector grows
  }
  for (int i = 0; i < 50; ++i) {
    if (i % 3 == 0) {
      EXPECT_EQ(values[static_cast<std::size_t>(i)].AsString(),
                std::string(static_cast<std::size_t>(i + 1), 'q'));
    }
    if (i % 3 == 1) {
      EXPECT_EQ(values[static_cast<std::size_t>(i)].AsLargeInt(), i);
    }
    if (i % 3 == 2) {
      EXPECT_EQ(values[static_cast<std::size_t>(i)].AsString(),
                std::string(40, static_cast<char>('a' + i % 26)));
    }
  }
  TZorValue moved(std::move(values[1]));
  EXPECT_EQ(moved.AsLargeInt(), 1);
  EXPECT_TRUE(values[1].IsNull());
  // Re-setting a value from its own text.
  TZorValue s = Str("self");
  s.SetPayload(ftString, s.Data(), s.Size());
  EXPECT_EQ(s.AsString(), "self");
  TZorValue m;
  m.SetMemo(std::string(30, 'm'));
  m.SetPayload(ftMemo, m.Data(), m.Size());
  EXPECT_EQ(m.AsString(), std::string(30, 'm'));
}

// ---------------------------------------------------------------------------
// Getters and names.

TEST_F(ValuesTest, StrictGettersRaiseTheirCodes) {
  TZorValue n;
  EXPECT_EQ(NativeErrorOf([&] { n.AsInteger(); }), 2107);
  EXPECT_EQ(NativeErrorOf([&] { Flt(1).AsInteger(); }), 2107);
  EXPECT_EQ(NativeErrorOf([&] { Int(1).AsSmallInt(); }), 61);
  EXPECT_EQ(NativeErrorOf([&] { Int(1).AsWord(); }), 63);
  EXPECT_EQ(NativeErrorOf([&] { Int(1).AsLargeInt(); }), 62);
  EXPECT_EQ(NativeErrorOf([&] { Int(1).AsBoolean(); }), 2113);
  EXPECT_EQ(NativeErrorOf([&] { Int(1).AsFloat(); }), 60);
  EXPECT_EQ(NativeErrorOf([&] { Flt(1).AsDateTime(); }), 2140);
  EXPECT_EQ(MessageOf([&] { Int(1).AsFloat(); }), "Not a float data type - Native error: 00060");
  TZorValue a;
  a.SetAutoInc(9);
  EXPECT_EQ(a.AsInteger(), 9);
  TZorValue c;
  c.SetCurrency(2.5);
  EXPECT_EQ(c.AsFloat(), 2.5);
  TZorValue t;
  t.SetTime(0.25);
  EXPECT_EQ(t.AsDateTime(), 0.25);
  TZorValue dt;
  dt.SetDateTime(-1.25);
  EXPECT_EQ(dt.AsDateTime(), -1.25);
}

TEST_F(ValuesTest, TypeNamesAndSQLNames) {
  EXPECT_STREQ(TZorValue::TypeName(ftSmallint), "SmallInt");
  EXPECT_STREQ(TZorValue::TypeName(ftLargeint), "LargeInt");
  EXPECT_STREQ(TZorValue::TypeName(ftWideString), "WideString");
  EXPECT_STREQ(TZorValue::TypeName(ftMemo), "unknown");
  EXPECT_STREQ(TZorValue::TypeName(0), "unknown");
  EXPECT_EQ(TZorValue::TypeFromSQLName("varchar2"), ftString);
  EXPECT_EQ(TZorValue::TypeFromSQLName("Char"), ftString);
  EXPECT_EQ(TZorValue::TypeFromSQLName("boolean"), ftBoolean);
  EXPECT_EQ(TZorValue::TypeFromSQLName("logical"), ftBoolean);
  EXPECT_EQ(TZorValue::TypeFromSQLName("AutoInc"), ftAutoInc);
  EXPECT_EQ(TZorValue::TypeFromSQLName("fmtmemo"), ftFmtMemo);
  EXPECT_EQ(TZorValue::TypeFromSQLName("bytes"), ftBytes);
  EXPECT_EQ(TZorValue::TypeFromSQLName("TEXT"), 0);
  EXPECT_EQ(TZorValue::TypeFromSQLName(""), 0);
}

TEST_F(ValuesTest, VariantsOfEachKind) {
  EXPECT_TRUE(std::holds_alternative<std::monostate>(TZorValue().AsVariant()));
  EXPECT_EQ(std::get<std::string>(Str("x").AsVariant()), "x");
  EXPECT_EQ(std::get<std::int32_t>(Int(-3).AsVariant()), -3);
  TZorValue w;
  w.SetWord(65535);
  EXPECT_EQ(std::get<std::uint16_t>(w.AsVariant()), 65535);
  TZorValue d;
  d.SetDate(Date(2007, 3, 5));
  EXPECT_EQ(std::get<TZorDateTimeVariant>(d.AsVariant()).Value, Date(2007, 3, 5));
  TZorValue b;
  b.SetBoolean(true);
  EXPECT_EQ(std::get<bool>(b.AsVariant()), true);
  TZorValue l;
  l.SetLargeInt(INT64_MIN);
  EXPECT_EQ(std::get<std::int64_t>(l.AsVariant()), INT64_MIN);
}

// ---------------------------------------------------------------------------
// Common types.

const std::uint8_t kTypes[] = {ftString,  ftSmallint, ftInteger, ftWord,       ftBoolean,
                               ftFloat,   ftCurrency, ftDate,    ftTime,       ftDateTime,
                               ftAutoInc, ftMemo,     ftFmtMemo, ftWideString, ftLargeint};

std::uint8_t TagOf(const std::string& code) {
  static const std::map<std::string, std::uint8_t> kCodes = {
      {"Str", ftString},    {"SmI", ftSmallint},
      {"Int", ftInteger},   {"Wrd", ftWord},
      {"Bool", ftBoolean},  {"Flt", ftFloat},
      {"Cur", ftCurrency},  {"Dat", ftDate},
      {"Tim", ftTime},      {"DT", ftDateTime},
      {"AI", ftAutoInc},    {"WStr", ftWideString},
      {"LInt", ftLargeint}, {"-", 0}};
  return kCodes.at(code);
}

std::vector<std::string> Cells(const std::string& row) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  while (start < row.size()) {
    const std::size_t end = row.find(' ', start);
    cells.push_back(row.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return cells;
}

// Left operand down, right across, in kTypes order.
const char* const kCommonRows[15] = {
    "Str Str Str Str Str Str Str Str Str Str Str Str Str WStr Str",
    "Str SmI Int Int SmI Flt Cur DT DT DT Int - - WStr LInt",
    "Str Int Int Int Int Flt Cur DT DT DT Int - - WStr LInt",
    "Str Int Int Wrd Wrd Flt Cur DT DT DT Int - - WStr LInt",
    "Str SmI Int Wrd Bool Flt - - - - Int - - WStr LInt",
    "Str Flt Flt Flt Flt Flt Cur DT DT DT Flt - - WStr Flt",
    "Str Cur Cur Cur Cur Cur Cur - - - Cur - - WStr Cur",
    "Str DT DT DT DT DT - Dat DT DT DT - - WStr DT",
    "Str DT DT DT DT DT - DT Tim DT DT - - WStr DT",
    "Str DT DT DT DT DT - DT DT DT DT - - WStr DT",
    "Str Int Int Int Int Flt Cur DT DT DT Int - - WStr LInt",
    "Str - - - - - - - - - - - - WStr -",
    "Str - - - - - - - - - - - - WStr -",
    "WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr",
    "Str LInt LInt LInt LInt Flt Cur DT DT DT LInt - - WStr LInt",
};

TEST_F(ValuesTest, CommonTypeOfEveryPair) {
  for (int i = 0; i < 15; ++i) {
    const std::vector<std::string> cells = Cells(kCommonRows[i]);
    ASSERT_EQ(cells.size(), 15u);
    for (int j = 0; j < 15; ++j) {
      EXPECT_EQ(TZorValue::CommonType(kTypes[i], kTypes[j]),
                TagOf(cells[static_cast<std::size_t>(j)]))
          << TZorValue::TypeName(kTypes[i]) << " / " << TZorValue::TypeName(kTypes[j]);
    }
    EXPECT_EQ(TZorValue::CommonType(kTypes[i], 0), 0);
    EXPECT_EQ(TZorValue::CommonType(ftBlob, kTypes[i]), 0);
  }
}

// A sample of each type. `forType` names the type the sample will be
// converted to, so that text samples read as that type.
TZorValue Sample(std::uint8_t type, int n, std::uint8_t forType = 0) {
  TZorValue v;
  switch (type) {
    case ftString:
      if (forType == ftDate || forType == ftDateTime) {
        v.SetString(n == 1 ? "2007-05-01" : "2007-05-02");
      } else if (forType == ftTime) {
        v.SetString(n == 1 ? "10:00:00" : "11:30:00");
      } else if (forType == ftBoolean) {
        v.SetString("true");
      } else if (forType == ftFloat || forType == ftCurrency) {
        v.SetString(n == 1 ? "2,5" : "7");
      } else {
        v.SetString(n == 1 ? "12" : "7");
      }
      break;
    case ftSmallint:
      v.SetSmallInt(static_cast<std::int16_t>(3 * n));
      break;
    case ftInteger:
      v.SetInteger(5 * n);
      break;
    case ftWord:
      v.SetWord(static_cast<std::uint16_t>(4 * n));
      break;
    case ftBoolean:
      v.SetBoolean(n == 1);
      break;
    case ftFloat:
      v.SetFloat(2.5 * n);
      break;
    case ftCurrency:
      v.SetCurrency(1.25 * n);
      break;
    case ftDate:
      v.SetDate(Date(2007, 5, n));
      break;
    case ftTime:
      v.SetTime(n / 8.0);
      break;
    case ftDateTime:
      v.SetDateTime(Date(2007, 5, n) + 0.5);
      break;
    case ftAutoInc:
      v.SetAutoInc(6 * n);
      break;
    case ftMemo:
      v.SetMemo(n == 1 ? "memo one" : "memo two");
      break;
    case ftFmtMemo:
      v.SetMemo(n == 1 ? "fmt one" : "fmt two", ftFmtMemo);
      break;
    case ftWideString:
      v.SetWideString(n == 1 ? u"12" : u"7");
      break;
    case ftLargeint:
      v.SetLargeInt(7 * n);
      break;
  }
  return v;
}

// The comparison type of a pair: the common type, except String against a
// date type compares as that date type.
std::uint8_t ComparisonType(int i, int j) {
  const std::uint8_t a = kTypes[i], b = kTypes[j];
  if (a == ftString && IsDateType(b)) return b;
  if (b == ftString && IsDateType(a)) return a;
  return TagOf(Cells(kCommonRows[i])[static_cast<std::size_t>(j)]);
}

TEST_F(ValuesTest, CompareOfEveryPairUsesItsComparisonTypeOrRaises) {
  const FormatSettings fs = TestSettings();
  int compared = 0;
  for (int i = 0; i < 15; ++i) {
    for (int j = 0; j < 15; ++j) {
      const std::uint8_t type = ComparisonType(i, j);
      const TZorValue a = Sample(kTypes[i], 1, type);
      const TZorValue b = Sample(kTypes[j], 2, type);
      SCOPED_TRACE(std::string(TZorValue::TypeName(kTypes[i])) + " / " +
                   TZorValue::TypeName(kTypes[j]));
      if (type == 0) {
        EXPECT_EQ(NativeErrorOf([&] { TZorValue::Compare(a, b, false, false, &fs); }), 25);
        continue;
      }
      // Boolean has no Currency or date form.
      const bool boolToNone = (kTypes[i] == ftBoolean || kTypes[j] == ftBoolean) &&
                              (type == ftCurrency || IsDateType(type));
      if (boolToNone) {
        EXPECT_EQ(NativeErrorOf([&] { TZorValue::Compare(a, b, false, false, &fs); }), -1);
        continue;
      }
      TZorValue ca(a), cb(b);
      ca.ConvertTo(type, &fs);
      cb.ConvertTo(type, &fs);
      const int expected = TZorValue::Compare(ca, cb, false, false, &fs);
      EXPECT_EQ(TZorValue::Compare(a, b, false, false, &fs), expected);
      // And the mirror image.
      const int mirrored = expected == zcrGreater ? zcrLess
                           : expected == zcrLess  ? zcrGreater
                                                  : expected;
      if (ComparisonType(j, i) == type) {
        EXPECT_EQ(TZorValue::Compare(b, a, false, false, &fs), mirrored);
      }
      ++compared;
    }
  }
  EXPECT_GT(compared, 150);
}

TEST_F(ValuesTest, CompareBySemanticsOfTheComparisonType) {
  const FormatSettings fs = TestSettings();
  TZorValue n;
  // NULL outcomes first.
  EXPECT_EQ(TZorValue::Compare(n, Int(1)), zcrLeftNull);
  EXPECT_EQ(TZorValue::Compare(Int(1), n), zcrRightNull);
  EXPECT_EQ(TZorValue::Compare(n, n), zcrBothNull);
  TZorValue m1, m2;
  m1.SetMemo("a");
  m2.SetMemo("a");
  EXPECT_EQ(TZorValue::Compare(n, m1), zcrLeftNull);  // NULL before types
  EXPECT_EQ(MessageOf([&] { TZorValue::Compare(m1, m2); }),
            "Invalid type cast. - Native error: 00025");
  // String against Integer compares as text; against a Date as dates.
  EXPECT_EQ(TZorValue::Compare(Str("10"), Int(9), false, false, &fs), zcrLess);
  TZorValue d;
  d.SetDate(Date(2007, 5, 1));
  EXPECT_EQ(TZorValue::Compare(Str("2007-05-01"), d, false, false, &fs), zcrEqual);
  EXPECT_EQ(TZorValue::Compare(d, Str("2007-4-30"), false, false, &fs), zcrGreater);
  EXPECT_EQ(NativeErrorOf([&] { TZorValue::Compare(d, Str("1 May"), false, false, &fs); }), 2093);
  // Word and SmallInt as numbers (-1 < 65535).
  TZorValue w, s;
  w.SetWord(65535);
  s.SetSmallInt(-1);
  EXPECT_EQ(TZorValue::Compare(s, w), zcrLess);
  // LargeInt beyond the double's precision compares exactly.
  TZorValue l1, l2;
  l1.SetLargeInt((std::int64_t{1} << 60) + 1);
  l2.SetLargeInt(std::int64_t{1} << 60);
  EXPECT_EQ(TZorValue::Compare(l1, l2), zcrGreater);
  // DateTime within one millisecond of each other are not equal.
  TZorValue t1, t2;
  t1.SetDateTime(Date(2007, 1, 1) + 1.0 / kMsPerDay);
  t2.SetDateTime(Date(2007, 1, 1));
  EXPECT_EQ(TZorValue::Compare(t1, t2), zcrGreater);
  // Strings: case-sensitive by default, case-insensitive and prefix on request.
  EXPECT_NE(TZorValue::Compare(Str("abc"), Str("ABC")), zcrEqual);
  EXPECT_EQ(TZorValue::Compare(Str("abc"), Str("ABC"), true), zcrEqual);
  EXPECT_EQ(TZorValue::Compare(Str("abcdef"), Str("abc"), false, true), zcrEqual);
  EXPECT_EQ(TZorValue::Compare(Str("abcdef"), Str("abc")), zcrGreater);
  EXPECT_EQ(TZorValue::Compare(Str("a"), Str("b")), zcrLess);
  TZorValue w1, w2;
  w1.SetWideString(u"abc");
  w2.SetWideString(u"ABC");
  EXPECT_EQ(TZorValue::Compare(w1, w2, true), zcrEqual);
  EXPECT_NE(TZorValue::Compare(w1, w2), zcrEqual);
  TZorValue f, t;
  f.SetBoolean(false);
  t.SetBoolean(true);
  EXPECT_EQ(TZorValue::Compare(f, t), zcrLess);
}

// ---------------------------------------------------------------------------
// Conversions.

TEST_F(ValuesTest, ConversionsFromText) {
  const FormatSettings fs = TestSettings();
  TZorValue v = Str(" -12");
  v.ConvertTo(ftSmallint, &fs);
  EXPECT_EQ(v.AsSmallInt(), -12);
  v = Str("$FF");
  v.ConvertTo(ftInteger, &fs);
  EXPECT_EQ(v.AsInteger(), 255);
  v = Str("5000000000");
  v.ConvertTo(ftLargeint, &fs);
  EXPECT_EQ(v.AsLargeInt(), 5000000000);
  v = Str("TRUE");
  v.ConvertTo(ftBoolean, &fs);
  EXPECT_TRUE(v.AsBoolean());
  v = Str("yes");
  v.ConvertTo(ftBoolean, &fs);
  EXPECT_FALSE(v.AsBoolean());
  v = Str("2,5");
  v.ConvertTo(ftCurrency, &fs);
  EXPECT_EQ(v.AsFloat(), 2.5);
  EXPECT_EQ(v.DataType(), ftCurrency);
  v = Str("2007-03-05 14:30");
  v.ConvertTo(ftDateTime, &fs);
  EXPECT_EQ(v.AsDateTime(), Date(2007, 3, 5) + 14.5 / 24);
  v = Str("14:30");
  v.ConvertTo(ftTime, &fs);
  EXPECT_EQ(v.AsDateTime(), 14.5 / 24);
  v = Str("text");
  v.ConvertTo(ftMemo, &fs);
  EXPECT_EQ(v.Size(), 4);  // a Memo holds no terminator
  EXPECT_EQ(v.AsString(), "text");
  v.ConvertTo(ftFmtMemo, &fs);
  EXPECT_EQ(v.DataType(), ftFmtMemo);
  v.ConvertTo(ftString, &fs);
  EXPECT_EQ(v.Size(), 5);
  v.ConvertTo(ftWideString, &fs);
  EXPECT_EQ(v.AsWideString(), u"text");
  TZorValue w;
  w.SetWideString(u"42");
  w.ConvertTo(ftWord, &fs);
  EXPECT_EQ(w.AsWord(), 42);

  // Text that does not read, and values out of the target's range.
  EXPECT_EQ(MessageOf([&] {
              TZorValue x = Str("12x");
              x.ConvertTo(ftInteger, &fs);
            }),
            "Can't convert data type from 'String' to 'Integer' - Native error: 02093");
  for (std::uint8_t target : {ftSmallint, ftWord}) {
    EXPECT_EQ(NativeErrorOf([&] {
                TZorValue x = Str("70000");
                x.ConvertTo(target, &fs);
              }),
              2093);
  }
  EXPECT_EQ(NativeErrorOf([&] {
              TZorValue x = Str("2,5.");
              x.ConvertTo(ftFloat, &fs);
            }),
            2093);
  EXPECT_EQ(NativeErrorOf([&] {
              TZorValue x = Str("2007-02-29");
              x.ConvertTo(ftDate, &fs);
            }),
            2093);
  EXPECT_EQ(MessageOf([&] {
              TZorValue x;
              x.SetWideString(u"zz");
              x.ConvertTo(ftFloat, &fs);
            }),
            "Can't convert data type from 'WideString' to 'Float' - Native error: 02093");
  // A NULL value only changes its tag.
  TZorValue n;
  n.ConvertTo(ftDate);
  EXPECT_TRUE(n.IsNull());
  EXPECT_EQ(n.DataType(), ftDate);
}

TEST_F(ValuesTest, ConversionsBetweenNumbersDatesAndText) {
  const FormatSettings fs = TestSettings();
  TZorValue v = Int(-7);
  v.ConvertTo(ftString, &fs);
  EXPECT_EQ(v.AsString(), "-7");
  v = Flt(2.5);
  v.ConvertTo(ftString, &fs);
  EXPECT_EQ(v.AsString(), "2,5");
  // Halves to even.
  v = Flt(2.5);
  v.ConvertTo(ftInteger, &fs);
  EXPECT_EQ(v.AsInteger(), 2);
  v = Flt(-3.5);
  v.ConvertTo(ftLargeint, &fs);
  EXPECT_EQ(v.AsLargeInt(), -4);
  // Range is checked instead of keeping the low bits.
  v = Int(70000);
  EXPECT_EQ(NativeErrorOf([&] { v.ConvertTo(ftSmallint, &fs); }), 2093);
  TZorValue w;
  w.SetWord(40000);
  EXPECT_EQ(NativeErrorOf([&] { w.ConvertTo(ftSmallint, &fs); }), 2093);
  w.ConvertTo(ftInteger, &fs);
  EXPECT_EQ(w.AsInteger(), 40000);
  TZorValue s;
  s.SetSmallInt(-1);
  EXPECT_EQ(NativeErrorOf([&] { s.ConvertTo(ftWord, &fs); }), 2093);
  v = Flt(1e10);
  EXPECT_EQ(NativeErrorOf([&] { v.ConvertTo(ftInteger, &fs); }), 2093);
  v = Flt(std::nan(""));
  EXPECT_EQ(NativeErrorOf([&] { v.ConvertTo(ftLargeint, &fs); }), 2093);
  v = Flt(1e7);
  EXPECT_EQ(NativeErrorOf([&] { v.ConvertTo(ftDate, &fs); }), 2093);
  // Numbers as date-time numbers and back.
  v = Int(39146);
  v.ConvertTo(ftDate, &fs);
  EXPECT_EQ(v.AsDateTime(), Date(2007, 3, 5));
  v.ConvertTo(ftString, &fs);
  EXPECT_EQ(v.AsString(), "2007-03-05");
  v = Flt(Date(2007, 3, 5) + 0.75);
  v.ConvertTo(ftDateTime, &fs);
  TZorValue text(v);
  text.ConvertTo(ftString, &fs);
  EXPECT_EQ(text.AsString(), "2007-03-05 18:00:00");
  v.ConvertTo(ftInteger, &fs);
  EXPECT_EQ(v.AsInteger(), 39147);  // 39146.75 rounded
  v = Flt(Date(2007, 3, 5) + 0.75);
  v.ConvertTo(ftTime, &fs);
  EXPECT_EQ(v.AsDateTime(), 0.75);
  v.ConvertTo(ftString, &fs);
  EXPECT_EQ(v.AsString(), "18:00:00");
  v.ConvertTo(ftTime, &fs);
  v.ConvertTo(ftDate, &fs);
  EXPECT_EQ(v.AsDateTime(), 0);  // a Time is on 30 December 1899
  TZorValue b;
  b.SetBoolean(true);
  b.ConvertTo(ftWord, &fs);
  EXPECT_EQ(b.AsWord(), 1);
  b.SetBoolean(false);
  b.ConvertTo(ftString, &fs);
  EXPECT_EQ(b.AsString(), "false");
  // Pairs that do not convert.
  TZorValue i = Int(1);
  EXPECT_EQ(MessageOf([&] { i.ConvertTo(ftMemo, &fs); }),
            "Can't convert data type from 'Integer' to 'unknown' - Native error: 02092");
  TZorValue m;
  m.SetMemo("5");
  EXPECT_EQ(NativeErrorOf([&] { m.ConvertTo(ftInteger, &fs); }), 2092);
  TZorValue c;
  c.SetCurrency(1);
  EXPECT_EQ(NativeErrorOf([&] { c.ConvertTo(ftDate, &fs); }), -1);
  EXPECT_EQ(NativeErrorOf([&] { Int(1).AsString(); }), 0);
  // A damaged Date payload does not turn into text.
  const std::int32_t badDay = -5;
  TZorValue d;
  d.SetBorrowed(ftDate, &badDay, 4);
  EXPECT_EQ(NativeErrorOf([&] { d.ConvertTo(ftString, &fs); }), 2093);
}

TEST_F(ValuesTest, SettersRejectDatesOutOfRange) {
  TZorValue v;
  EXPECT_THROW(v.SetDate(Date(9999, 12, 31) + 1), EConvertError);
  EXPECT_THROW(v.SetDateTime(std::nan("")), EConvertError);
  EXPECT_THROW(v.SetTime(-1e9), EConvertError);
  v.SetDateTime(Date(9999, 12, 31) + 0.5);
  EXPECT_EQ(v.AsDateTime(), Date(9999, 12, 31) + 0.5);
  v.SetDate(Date(1, 1, 1));
  EXPECT_EQ(v.AsDateTime(), Date(1, 1, 1));
}

// ---------------------------------------------------------------------------
// The edge cases of the value rules.

TEST_F(ValuesTest, DocumentedEdgeCases) {
  const FormatSettings fs = TestSettings();
  TZorValue v = Int(2);
  v.Add(Flt(0.5));
  EXPECT_EQ(v.DataType(), ftFloat);
  EXPECT_EQ(v.AsFloat(), 2.5);
  v = Str("a");
  v.Add(Int(1), false, &fs);
  EXPECT_EQ(v.AsString(), "a1");
  v = Int(7);
  v.Divide(Int(2));
  EXPECT_EQ(v.AsInteger(), 3);
  TZorValue s7, s2;
  s7.SetSmallInt(7);
  s2.SetSmallInt(2);
  s7.Divide(s2);
  EXPECT_EQ(s7.AsFloat(), 3.5);
  TZorValue two = Int(2);
  v = Flt(2.345);
  v.Round(&two);
  EXPECT_EQ(v.AsFloat(), 2.35);
  v = Int(5);
  v.Round(nullptr);
  EXPECT_TRUE(v.IsNull());
  v = Flt(2.9);
  v.Truncate(nullptr);
  EXPECT_EQ(v.AsLargeInt(), 2);
  TZorValue one = Int(1);
  for (auto [style, text] : {std::pair<TZorValue*, const char*>{nullptr, "000000FF"},
                             {&one, "$000000FF"},
                             {&two, "0x000000ff"}}) {
    v = Int(255);
    v.ToHex(style);
    EXPECT_EQ(v.AsString(), text);
  }
  v.SetTime(10.0 / 24);
  v.ConvertTo(ftInteger);
  EXPECT_EQ(v.AsInteger(), 0);
  v.SetBoolean(true);
  const std::string message = MessageOf([&] { v.ConvertTo(ftCurrency); });
  EXPECT_EQ(message, "Unknown error - Native error: 000-1");
}

// ---------------------------------------------------------------------------
// Arithmetic over every pair of types.

// Add: a type code, "E" for error 2091, "U" for error -1 (Boolean has no
// Currency or date form).
const char* const kAddRows[15] = {
    "Str Str Str Str Str Str Str Str Str Str Str Str Str WStr Str",
    "Str SmI Int Int SmI Flt Cur DT DT DT Int E E WStr LInt",
    "Str Int Int Int Int Flt Cur DT DT DT Int E E WStr LInt",
    "Str Int Int Wrd Wrd Flt Cur DT DT DT Int E E WStr LInt",
    "Str SmI Int Wrd E Flt E E E E Int E E WStr LInt",
    "Str Flt Flt Flt Flt Flt Cur DT DT DT Flt E E WStr Flt",
    "Str Cur Cur Cur U Cur Cur E E E Cur E E WStr Cur",
    "Str DT DT DT U DT E Dat DT DT DT E E WStr DT",
    "Str DT DT DT U DT E DT Tim DT DT E E WStr DT",
    "Str DT DT DT U DT E DT DT DT DT E E WStr DT",
    "Str Int Int Int Int Flt Cur DT DT DT Int E E WStr LInt",
    "Str E E E E E E E E E E E E WStr E",
    "Str E E E E E E E E E E E E WStr E",
    "WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr WStr",
    "Str LInt LInt LInt LInt Flt Cur DT DT DT LInt E E WStr LInt",
};

TEST_F(ValuesTest, AddOfEveryPair) {
  const FormatSettings fs = TestSettings();
  for (int i = 0; i < 15; ++i) {
    const std::vector<std::string> cells = Cells(kAddRows[i]);
    ASSERT_EQ(cells.size(), 15u);
    for (int j = 0; j < 15; ++j) {
      SCOPED_TRACE(std::string(TZorValue::TypeName(kTypes[i])) + " + " +
                   TZorValue::TypeName(kTypes[j]));
      const std::string& cell = cells[static_cast<std::size_t>(j)];
      TZorValue a = Sample(kTypes[i], 1), b = Sample(kTypes[j], 2);
      if (cell == "E") {
        EXPECT_EQ(MessageOf([&] { a.Add(b, false, &fs); }),
                  "Not numeric argument in numeric operator '+' - Native error: 02091");
      } else if (cell == "U") {
        EXPECT_EQ(NativeErrorOf([&] { a.Add(b, false, &fs); }), -1);
      } else {
        a.Add(b, false, &fs);
        EXPECT_FALSE(a.IsNull());
        EXPECT_EQ(a.DataType(), TagOf(cell));
      }
    }
  }
}

TEST_F(ValuesTest, AddValues) {
  const FormatSettings fs = TestSettings();
  TZorValue d;
  d.SetDate(Date(2007, 3, 5));
  TZorValue v(d);
  v.Add(Int(30), false, &fs);
  EXPECT_EQ(v.DataType(), ftDateTime);
  EXPECT_EQ(v.AsDateTime(), Date(2007, 4, 4));
  TZorValue t;
  t.SetTime(0.75);
  TZorValue t2(t);
  t2.Add(t, false, &fs);  // 36 hours: a Time keeps the time of day
  EXPECT_EQ(t2.AsDateTime(), 0.5);
  v = d;
  v.Add(Flt(0.25), false, &fs);
  EXPECT_EQ(v.AsDateTime(), Date(2007, 3, 5) + 0.25);
  TZorValue m;
  m.SetMemo("memo");
  m.Add(Str("+"), false, &fs);
  EXPECT_EQ(m.DataType(), ftString);
  EXPECT_EQ(m.AsString(), "memo+");
  TZorValue w;
  w.SetWideString(u"\u0151");
  v = Int(1);
  v.Add(w, false, &fs);
  EXPECT_EQ(v.AsWideString(), u"1\u0151");
  // Dates beyond year 9999 are not made.
  v.SetDate(Date(9999, 12, 1));
  EXPECT_THROW(v.Add(Int(100), false, &fs), EConvertError);
}

TEST_F(ValuesTest, AddWithNulls) {
  const FormatSettings fs = TestSettings();
  TZorValue nullInt, nullStr;
  nullInt.SetNull(ftInteger);
  nullStr.SetNull(ftString);
  // Accumulating: a NULL total takes the value; a NULL value empties it.
  TZorValue total;
  total.Add(Int(5), true);
  EXPECT_EQ(total.AsInteger(), 5);
  total.Add(Int(2), true);
  EXPECT_EQ(total.AsInteger(), 7);
  total.Add(nullInt, true);
  EXPECT_TRUE(total.IsNull());
  // Arithmetic: NULL on either side gives NULL.
  TZorValue v = Int(5);
  v.Add(nullInt, false, &fs);
  EXPECT_TRUE(v.IsNull());
  v = nullInt;
  v.Add(Int(5), false, &fs);
  EXPECT_TRUE(v.IsNull());
  // Concatenation: NULL is the empty text, on either side.
  v = Str("abc");
  v.Add(Str(""), false, &fs);
  EXPECT_EQ(v.AsString(), "abc");
  v = Str("");
  v.Add(Str("abc"), false, &fs);
  EXPECT_EQ(v.AsString(), "abc");
  v = nullStr;
  v.Add(Int(5), false, &fs);
  EXPECT_EQ(v.DataType(), ftString);
  EXPECT_EQ(v.AsString(), "5");
  TZorValue nullMemo, memo;
  nullMemo.SetNull(ftMemo);
  memo.SetMemo("memo");
  v = nullMemo;
  v.Add(Int(5), false, &fs);  // no common type: not a concatenation
  EXPECT_TRUE(v.IsNull());
  v = memo;
  v.Add(nullInt, false, &fs);  // the present operand is text
  EXPECT_EQ(v.DataType(), ftMemo);
  EXPECT_EQ(v.AsString(), "memo");
  v = memo;
  v.Add(nullStr, false, &fs);
  EXPECT_EQ(v.DataType(), ftString);
  EXPECT_EQ(v.AsString(), "memo");
  TZorValue untyped;
  v = untyped;
  v.Add(Str("abc"), false, &fs);
  EXPECT_EQ(v.AsString(), "abc");
  v = nullStr;
  v.Add(nullStr, false, &fs);
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(v.DataType(), ftString);
}

// The other binary primitives: "N" for NULL, else the result type.
std::string ExpectedBinary(const std::string& op, std::uint8_t a, std::uint8_t b, int i, int j) {
  const bool numeric = IsNumericType(a) && IsNumericType(b);
  const bool integers = IsIntegerType(a) && IsIntegerType(b);
  if (op == "Multiply") return numeric ? Cells(kCommonRows[i])[static_cast<std::size_t>(j)] : "N";
  if (op == "Divide") {
    if (!numeric) return "N";
    const bool whole = (a == ftInteger || a == ftAutoInc) && (b == ftInteger || b == ftAutoInc);
    return whole ? "Int" : "Flt";
  }
  if (op == "Modulo") return numeric ? "LInt" : "N";
  if (op == "Power") return !numeric ? "N" : integers ? "LInt" : "Flt";
  // Bit operations and shifts: both integers, their common type.
  return integers ? Cells(kCommonRows[i])[static_cast<std::size_t>(j)] : "N";
}

TEST_F(ValuesTest, BinaryPrimitivesOfEveryPair) {
  const std::map<std::string, std::function<void(TZorValue&, const TZorValue&)>> ops = {
      {"Multiply", [](TZorValue& a, const TZorValue& b) { a.Multiply(b); }},
      {"Divide", [](TZorValue& a, const TZorValue& b) { a.Divide(b); }},
      {"Modulo", [](TZorValue& a, const TZorValue& b) { a.Modulo(b); }},
      {"Power", [](TZorValue& a, const TZorValue& b) { a.Power(b); }},
      {"BitAnd", [](TZorValue& a, const TZorValue& b) { a.BitAnd(b); }},
      {"BitOr", [](TZorValue& a, const TZorValue& b) { a.BitOr(b); }},
      {"BitXor", [](TZorValue& a, const TZorValue& b) { a.BitXor(b); }},
      {"ShiftLeft", [](TZorValue& a, const TZorValue& b) { a.ShiftLeft(b); }},
      {"ShiftRight", [](TZorValue& a, const TZorValue& b) { a.ShiftRight(b); }},
  };
  for (const auto& [name, op] : ops) {
    for (int i = 0; i < 15; ++i) {
      for (int j = 0; j < 15; ++j) {
        SCOPED_TRACE(name + " " + TZorValue::TypeName(kTypes[i]) + " / " +
                     TZorValue::TypeName(kTypes[j]));
        TZorValue a = Sample(kTypes[i], 1), b = Sample(kTypes[j], 2);
        op(a, b);
        const std::string expected = ExpectedBinary(name, kTypes[i], kTypes[j], i, j);
        if (expected == "N") {
          EXPECT_TRUE(a.IsNull());
        } else {
          EXPECT_FALSE(a.IsNull());
          EXPECT_EQ(a.DataType(), TagOf(expected));
        }
        // A NULL operand of the right type gives NULL.
        TZorValue c = Sample(kTypes[i], 1), n;
        n.SetNull(kTypes[j]);
        op(c, n);
        EXPECT_TRUE(c.IsNull());
      }
    }
  }
}

TEST_F(ValuesTest, UnaryPrimitivesOfEveryType) {
  for (std::uint8_t type : kTypes) {
    SCOPED_TRACE(TZorValue::TypeName(type));
    const bool numeric = IsNumericType(type), integer = IsIntegerType(type);
    TZorValue v = Sample(type, 1);
    if (numeric) {
      v.Negate();
      EXPECT_EQ(v.DataType(), type == ftWord ? std::uint8_t{ftInteger} : type);  // -4 is no Word
    } else {
      EXPECT_EQ(MessageOf([&] { v.Negate(); }),
                "Not numeric argument in numeric operator '-' - Native error: 02089");
    }
    v = Sample(type, 1);
    v.Abs();
    EXPECT_EQ(v.IsNull(), !numeric);
    if (numeric) {
      EXPECT_EQ(v.DataType(), type);
    }
    for (auto f : {&TZorValue::Ceiling, &TZorValue::Floor}) {
      v = Sample(type, 1);
      (v.*f)();
      EXPECT_EQ(v.IsNull(), !numeric);
      if (numeric) {
        EXPECT_EQ(v.DataType(), integer ? type : std::uint8_t{ftInteger});
      }
    }
    v = Sample(type, 1);
    v.Sign();
    EXPECT_EQ(v.IsNull(), !numeric);
    if (numeric) {
      EXPECT_EQ(v.AsInteger(), 1);
    }
    v = Sample(type, 1);
    v.BitNot();
    EXPECT_EQ(v.IsNull(), !integer);
    if (integer) {
      EXPECT_EQ(v.DataType(), type);
    }
    TZorValue two = Int(2);
    for (auto f : {&TZorValue::Round, &TZorValue::Truncate}) {
      v = Sample(type, 1);
      (v.*f)(nullptr);
      const bool floating = type == ftFloat || type == ftCurrency;
      EXPECT_EQ(v.IsNull(), !floating);
      if (floating) {
        EXPECT_EQ(v.DataType(), ftLargeint);
      }
      v = Sample(type, 1);
      (v.*f)(&two);
      EXPECT_EQ(v.IsNull(), !floating);
      if (floating) {
        EXPECT_EQ(v.DataType(), ftFloat);
      }
    }
    v = Sample(type, 1);
    v.ToHex(nullptr);
    EXPECT_EQ(v.IsNull(), !(integer || IsStringType(type)));
    v = Sample(type, 1);
    v.Random(true);
    EXPECT_EQ(v.IsNull(), !numeric);
  }
}

// ---------------------------------------------------------------------------
// Integer overflow, division and the rounding rules.

TEST_F(ValuesTest, IntegerResultsWidenInsteadOfWrapping) {
  TZorValue s, s2;
  s.SetSmallInt(30000);
  s2.SetSmallInt(30000);
  s.Add(s2);
  EXPECT_EQ(s.DataType(), ftInteger);
  EXPECT_EQ(s.AsInteger(), 60000);
  TZorValue v = Int(INT32_MAX);
  v.Add(Int(1));
  EXPECT_EQ(v.AsLargeInt(), std::int64_t{INT32_MAX} + 1);
  v = Int(65536);
  v.Multiply(Int(65536));
  EXPECT_EQ(v.AsLargeInt(), std::int64_t{1} << 32);
  v = Int(INT32_MIN);
  v.Negate();
  EXPECT_EQ(v.AsLargeInt(), 2147483648);
  v = Int(INT32_MIN);
  v.Divide(Int(-1));
  EXPECT_EQ(v.AsLargeInt(), 2147483648);
  v = Int(INT32_MIN);
  v.Abs();
  EXPECT_EQ(v.AsLargeInt(), 2147483648);
  TZorValue w;
  w.SetWord(3);
  TZorValue w5;
  w5.SetWord(5);
  TZorValue neg(w5);
  neg.Negate();
  w.Add(neg);  // 3 - 5
  EXPECT_EQ(w.AsInteger(), -2);
  TZorValue l;
  l.SetLargeInt(INT64_MAX);
  EXPECT_THROW(l.Add(Int(1)), EIntOverflow);
  l.SetLargeInt(INT64_MIN);
  EXPECT_THROW(l.Negate(), EIntOverflow);
  l.SetLargeInt(INT64_MIN);
  EXPECT_THROW(l.Abs(), EIntOverflow);
  l.SetLargeInt(std::int64_t{1} << 40);
  EXPECT_THROW(l.Multiply(l), EIntOverflow);
}

TEST_F(ValuesTest, DivisionModuloAndPower) {
  TZorValue zero = Int(0);
  TZorValue v = Int(1);
  EXPECT_THROW(v.Divide(zero), EDivByZero);
  v = Flt(1);
  EXPECT_THROW(v.Divide(Flt(0)), EDivByZero);
  v = Int(1);
  EXPECT_THROW(v.Modulo(zero), EDivByZero);
  v = Int(-7);
  v.Divide(Int(2));
  EXPECT_EQ(v.AsInteger(), -3);  // toward zero
  v = Int(-7);
  v.Modulo(Int(3));
  EXPECT_EQ(v.AsLargeInt(), -1);  // sign of the left operand
  TZorValue l;
  l.SetLargeInt(INT64_MIN);
  l.Modulo(Int(-1));
  EXPECT_EQ(l.AsLargeInt(), 0);
  v = Flt(7.4);
  v.Modulo(Int(4));
  EXPECT_EQ(v.AsLargeInt(), 3);
  v = Flt(1e300);
  EXPECT_THROW(v.Multiply(Flt(1e300)), EOverflow);
  v = Flt(1e300);
  EXPECT_THROW(v.Divide(Flt(1e-300)), EOverflow);
  // Integer powers are exact over the whole LargeInt range.
  v = Int(3);
  v.Power(Int(39));
  EXPECT_EQ(v.AsLargeInt(), 4052555153018976267);
  v = Int(-2);
  v.Power(Int(63));
  EXPECT_EQ(v.AsLargeInt(), INT64_MIN);
  v = Int(2);
  EXPECT_THROW(v.Power(Int(63)), EIntOverflow);
  v = Int(2);
  v.Power(Int(-1));
  EXPECT_EQ(v.AsLargeInt(), 0);
  v = Int(-1);
  v.Power(Int(-3));
  EXPECT_EQ(v.AsLargeInt(), -1);
  v = Int(0);
  EXPECT_THROW(v.Power(Int(-1)), EDivByZero);
  // A fractional exponent is not cut to an integer.
  v = Int(2);
  v.Power(Flt(0.5));
  EXPECT_EQ(v.DataType(), ftFloat);
  EXPECT_DOUBLE_EQ(v.AsFloat(), std::sqrt(2.0));
  v = Flt(-8);
  EXPECT_THROW(v.Power(Flt(1.0 / 3)), EInvalidOp);
}

TEST_F(ValuesTest, RoundingTruncationAndWholeNumbers) {
  TZorValue two = Int(2), minus = Int(-3);
  TZorValue v = Flt(-2.7);
  v.Round(nullptr);
  EXPECT_EQ(v.AsLargeInt(), -3);  // to the nearest, halves away from zero
  v = Flt(-2.5);
  v.Round(nullptr);
  EXPECT_EQ(v.AsLargeInt(), -3);
  v = Flt(2.5);
  v.Round(nullptr);
  EXPECT_EQ(v.AsLargeInt(), 3);
  v = Flt(-2.345);
  v.Round(&two);
  EXPECT_EQ(v.AsFloat(), -2.35);
  v = Flt(-2.349);
  v.Truncate(&two);
  EXPECT_EQ(v.AsFloat(), -2.34);
  v = Flt(2.6);
  v.Round(&minus);  // a negative digit count counts as 0
  EXPECT_EQ(v.AsFloat(), 3);
  TZorValue many = Int(1000);
  v = Flt(1e-5);
  v.Round(&many);
  EXPECT_EQ(v.AsFloat(), 1e-5);
  v = Flt(1e300);
  EXPECT_THROW(v.Round(nullptr), EIntOverflow);
  v = Flt(std::nan(""));
  EXPECT_THROW(v.Truncate(nullptr), EInvalidOp);
  TZorValue nullDigits;
  v = Flt(1.5);
  v.Round(&nullDigits);
  EXPECT_TRUE(v.IsNull());
  v = Flt(3e9);
  v.Ceiling();
  EXPECT_EQ(v.AsLargeInt(), 3000000000);
  v = Flt(-2.5);
  v.Floor();
  EXPECT_EQ(v.AsInteger(), -3);
  v = Flt(-2.5);
  v.Ceiling();
  EXPECT_EQ(v.AsInteger(), -2);
  v = Flt(1e30);
  EXPECT_THROW(v.Floor(), EIntOverflow);
  v = Flt(-0.5);
  v.Sign();
  EXPECT_EQ(v.AsInteger(), -1);
}

TEST_F(ValuesTest, BitsShiftsAndHexadecimalText) {
  TZorValue s;
  s.SetSmallInt(-2);
  s.ShiftRight(Int(1));  // common type Integer: a logical 32-bit shift
  EXPECT_EQ(s.AsInteger(), 0x7FFFFFFF);
  TZorValue s1, one;
  s1.SetSmallInt(-2);
  one.SetSmallInt(1);
  s1.ShiftRight(one);  // sign-extended, shifted, cut back to 16 bits
  EXPECT_EQ(s1.AsSmallInt(), -1);
  TZorValue w, wc;
  w.SetWord(0x8001);
  wc.SetWord(1);
  w.ShiftLeft(wc);
  EXPECT_EQ(w.AsWord(), 2);
  TZorValue v = Int(1);
  v.ShiftLeft(Int(33));  // the count's low five bits
  EXPECT_EQ(v.AsInteger(), 2);
  TZorValue l;
  l.SetLargeInt(1);
  TZorValue c;
  c.SetLargeInt(64);
  l.ShiftLeft(c);
  EXPECT_EQ(l.AsLargeInt(), 0);
  l.SetLargeInt(-1);
  c.SetLargeInt(-1);
  l.ShiftRight(c);
  EXPECT_EQ(l.AsLargeInt(), 0);
  l.SetLargeInt(-1);
  c.SetLargeInt(60);
  l.ShiftRight(c);
  EXPECT_EQ(l.AsLargeInt(), 15);
  v = Int(0x0F0F);
  v.BitAnd(Int(0x00FF));
  EXPECT_EQ(v.AsInteger(), 0x000F);
  w.SetWord(0xFFFF);
  TZorValue sm;
  sm.SetSmallInt(-1);
  w.BitXor(sm);
  EXPECT_EQ(w.AsInteger(), -65536);
  w.SetWord(0x00F0);
  w.BitNot();
  EXPECT_EQ(w.AsWord(), 0xFF0F);

  TZorValue two = Int(2);
  v = Str("Ab");
  v.ToHex(&two);
  EXPECT_EQ(v.AsString(), "0x4162");
  v.SetWideString(u"\u0151");
  v.ToHex(nullptr);
  EXPECT_EQ(v.AsString(), "5101");  // UTF-16 bytes, low first
  sm.SetSmallInt(-1);
  sm.ToHex(nullptr);
  EXPECT_EQ(sm.AsString(), "FFFF");
  l.SetLargeInt(-2);
  l.ToHex(nullptr);
  EXPECT_EQ(l.AsString(), "FFFFFFFFFFFFFFFE");
  // Hexadecimal text of each width reads back.
  v = Str("$" + l.AsString());
  v.ConvertTo(ftLargeint);
  EXPECT_EQ(v.AsLargeInt(), -2);
}

TEST_F(ValuesTest, RandomValuesStayInTheirRange) {
  bool sawLow = false, sawHigh = false;
  for (int i = 0; i < 400; ++i) {
    TZorValue v = Int(4);
    v.Random(true);
    ASSERT_GE(v.AsLargeInt(), 0);
    ASSERT_LE(v.AsLargeInt(), 3);
    sawLow |= v.AsLargeInt() == 0;
    sawHigh |= v.AsLargeInt() == 3;
    TZorValue f;
    f.Random(false);
    ASSERT_GE(f.AsFloat(), 0.0);
    ASSERT_LT(f.AsFloat(), 1.0);
  }
  EXPECT_TRUE(sawLow && sawHigh);
  TZorValue big;
  big.SetLargeInt((std::int64_t{1} << 32) + 3);  // low 32 bits: 3
  big.Random(true);
  EXPECT_LE(big.AsLargeInt(), 2);
  TZorValue z = Int(0);
  z.Random(true);
  EXPECT_EQ(z.AsLargeInt(), 0);
}

TEST_F(ValuesTest, TextWrittenInEachLocaleReadsBack) {
  std::mt19937 rng(5);
  for (const char* locale : {"en_US", "hu_HU", "de_DE", "en_GB", "ja_JP", "fr_FR"}) {
    SCOPED_TRACE(locale);
    const FormatSettings fs = FormatSettingsForLocale(locale);
    for (int i = 0; i < 300; ++i) {
      // Whole seconds: the long time format shows no milliseconds.
      const double day = std::uniform_int_distribution<int>(-693593, 2958465)(rng);
      const int second = std::uniform_int_distribution<int>(0, 86399)(rng);
      TZorValue dt;
      dt.SetDateTime(
          DayAndTimeToDateTime(static_cast<std::int32_t>(day) + kDateDelta, second * 1000));
      TZorValue text(dt);
      text.ConvertTo(ftString, &fs);
      SCOPED_TRACE(text.AsString());
      text.ConvertTo(ftDateTime, &fs);
      EXPECT_EQ(TZorValue::Compare(text, dt), zcrEqual);
      TZorValue time(dt);
      time.ConvertTo(ftTime, &fs);
      TZorValue timeText(time);
      timeText.ConvertTo(ftString, &fs);
      timeText.ConvertTo(ftTime, &fs);
      EXPECT_EQ(TZorValue::Compare(timeText, time), zcrEqual);
      std::uniform_real_distribution<double> real(-1e6, 1e6);
      TZorValue f = Flt(real(rng));
      TZorValue back(f);
      back.ConvertTo(ftString, &fs);
      back.ConvertTo(ftFloat, &fs);
      EXPECT_EQ(back.AsFloat(), f.AsFloat());
    }
  }
}

// Stored date-times on both sides of 30 December 1899 pass through the
// date-time number and every date conversion without losing a millisecond,
// and their numbers follow the clock's encoding (before 1899: the day minus
// the time's fraction).
TEST_F(ValuesTest, StoredDateTimesRoundTripToTheMillisecond) {
  std::mt19937 rng(1800);
  const std::int64_t firstMs = std::int64_t{kMinDayNumber} * kMsPerDay;
  const std::int64_t lastMs = std::int64_t{kMaxDayNumber} * kMsPerDay + kMsPerDay - 1;
  std::vector<std::int64_t> moments = {firstMs, lastMs, std::int64_t{kDateDelta} * kMsPerDay,
                                       std::int64_t{kDateDelta} * kMsPerDay - 1,
                                       std::int64_t{kDateDelta - 1} * kMsPerDay + 6 * 3600000};
  std::uniform_int_distribution<std::int64_t> anyMs(firstMs, lastMs);
  for (int i = 0; i < 4000; ++i) moments.push_back(anyMs(rng));
  for (const std::int64_t ms : moments) {
    SCOPED_TRACE(ms);
    const double stored = static_cast<double>(ms);
    TZorValue v;
    v.SetBorrowed(ftDateTime, &stored, 8);
    const double number = v.AsDateTime();
    const std::int64_t day = ms / kMsPerDay;
    const std::int64_t msOfDay = ms % kMsPerDay;
    int year, month, dayOfMonth;
    CivilFromDays(day - kDateDelta + DaysFromCivil(1899, 12, 30), &year, &month, &dayOfMonth);
    double clock = 0;
    ASSERT_TRUE(TryEncodeDateTime(year, month, dayOfMonth, static_cast<int>(msOfDay / 3600000),
                                  static_cast<int>(msOfDay / 60000 % 60),
                                  static_cast<int>(msOfDay / 1000 % 60),
                                  static_cast<int>(msOfDay % 1000), &clock));
    EXPECT_EQ(number, clock);
    EXPECT_EQ(std::trunc(number), static_cast<double>(day - kDateDelta));

    TZorValue back;
    back.SetDateTime(number);
    double raw;
    std::memcpy(&raw, back.Data(), 8);
    EXPECT_EQ(raw, stored);
    TZorValue viaFloat(v);
    viaFloat.ConvertTo(ftFloat);
    viaFloat.ConvertTo(ftDateTime);
    std::memcpy(&raw, viaFloat.Data(), 8);
    EXPECT_EQ(raw, stored);
    TZorValue date(v), time(v);
    date.ConvertTo(ftDate);
    time.ConvertTo(ftTime);
    std::int32_t d32, t32;
    std::memcpy(&d32, date.Data(), 4);
    std::memcpy(&t32, time.Data(), 4);
    EXPECT_EQ(d32, day);
    EXPECT_EQ(t32, msOfDay);
  }
}

TEST_F(ValuesTest, DefaultFormatSettingsApplyWhenNoneAreGiven) {
  TZorValue v = Str("1,5");
  v.ConvertTo(ftFloat);
  EXPECT_EQ(v.AsFloat(), 1.5);
  FormatSettings dot = TestSettings();
  dot.DecimalSeparator = '.';
  SetDefaultFormatSettings(dot);
  EXPECT_EQ(Flt(1.5).AsString(), "1.5");
  v = Str("1,5");
  EXPECT_EQ(NativeErrorOf([&] { v.ConvertTo(ftFloat); }), 2093);
}

}  // namespace
}  // namespace kivo
