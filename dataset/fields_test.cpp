#include "dataset/fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dataset/test_memory_dataset.h"
#include "platform/clock.h"
#include "platform/locale.h"
#include "platform/value_text.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TMemoryDataSet;

TFieldDefs AllTypes() {
  TFieldDefs defs;
  defs.Add("S", ftString, 5);
  defs.Add("SI", ftSmallint);
  defs.Add("I", ftInteger);
  defs.Add("W", ftWord);
  defs.Add("B", ftBoolean);
  defs.Add("F", ftFloat);
  defs.Add("C", ftCurrency);
  defs.Add("D", ftDate);
  defs.Add("T", ftTime);
  defs.Add("DT", ftDateTime);
  defs.Add("L", ftLargeint);
  defs.Add("BY", ftBytes, 3);
  defs.Add("WS", ftWideString, 6);
  defs.Add("M", ftMemo);
  defs.Add("A", ftAutoInc);
  return defs;
}

// Runs every case with a decimal comma, "yyyy.mm.dd" dates and 24-hour times.
class FieldTest : public ::testing::Test {
 protected:
  FieldTest() : saved_(DefaultFormatSettings()), ds(AllTypes()) {
    FormatSettings fs;
    fs.DecimalSeparator = ',';
    fs.DateSeparator = '.';
    fs.TimeSeparator = ':';
    fs.ShortDateFormat = "yyyy/mm/dd";
    fs.LongTimeFormat = "hh:nn:ss";
    SetDefaultFormatSettings(fs);
    ds.Open();
    ds.Insert();
  }
  ~FieldTest() override { SetDefaultFormatSettings(saved_); }

  TField& F(const char* name) { return ds.FieldByName(name); }

  // The field's native bytes.
  std::vector<std::uint8_t> Raw(const char* name) {
    TField& f = F(name);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(f.DataSize()));
    EXPECT_TRUE(f.GetData(bytes.data())) << name << " is null";
    return bytes;
  }

  FormatSettings saved_;
  TMemoryDataSet ds;
};

TEST_F(FieldTest, NativeSizesFollowTheStoredSlots) {
  const std::vector<std::pair<const char*, int>> sizes = {
      {"S", 6}, {"SI", 2}, {"I", 4}, {"W", 2},  {"B", 2},  {"F", 8}, {"C", 8}, {"D", 8},
      {"T", 8}, {"DT", 8}, {"L", 8}, {"BY", 3}, {"WS", 8}, {"M", 0}, {"A", 4}};
  for (const auto& [name, size] : sizes) EXPECT_EQ(F(name).DataSize(), size) << name;
  EXPECT_TRUE(F("M").IsBlob());
}

TEST_F(FieldTest, NewRecordIsNullAndNullReadsAsEmptyValues) {
  for (const auto& field : ds.Fields()) {
    EXPECT_TRUE(field->IsNull()) << field->FieldName();
    EXPECT_EQ(field->AsString(), "") << field->FieldName();
  }
  EXPECT_EQ(F("I").AsInteger(), 0);
  EXPECT_EQ(F("F").AsFloat(), 0);
  EXPECT_FALSE(F("B").AsBoolean());
  EXPECT_EQ(F("DT").AsDateTime(), 0);
}

TEST_F(FieldTest, ClearAndEmptyTextMakeFieldsNull) {
  F("I").SetAsInteger(5);
  EXPECT_FALSE(F("I").IsNull());
  F("I").Clear();
  EXPECT_TRUE(F("I").IsNull());
  const std::vector<std::pair<const char*, const char*>> samples = {
      {"SI", "1"},          {"F", "1"}, {"B", "T"}, {"D", "2024.01.02"}, {"T", "10:00"},
      {"DT", "2024.01.02"}, {"L", "1"}, {"S", "a"}, {"M", "memo"}};
  for (const auto& [name, text] : samples) {
    F(name).SetAsString(text);
    EXPECT_FALSE(F(name).IsNull()) << name;
    F(name).SetAsString("");
    EXPECT_TRUE(F(name).IsNull()) << name;
  }
}

TEST_F(FieldTest, IntegerTypesRoundTripInLittleEndian) {
  F("SI").SetAsString("-12");
  EXPECT_EQ(Raw("SI"), (std::vector<std::uint8_t>{0xF4, 0xFF}));
  EXPECT_EQ(F("SI").AsInteger(), -12);
  F("W").SetAsInteger(65535);
  EXPECT_EQ(Raw("W"), (std::vector<std::uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(F("W").AsString(), "65535");
  F("I").SetAsString(" -2147483648");
  EXPECT_EQ(Raw("I"), (std::vector<std::uint8_t>{0, 0, 0, 0x80}));
  EXPECT_EQ(F("I").AsLargeInt(), -2147483648LL);
  F("L").SetAsString("9223372036854775807");
  EXPECT_EQ(F("L").AsLargeInt(), 9223372036854775807LL);
  EXPECT_EQ(Raw("L")[7], 0x7F);
  F("A").SetAsString("$10");
  EXPECT_EQ(F("A").AsInteger(), 16);
}

TEST_F(FieldTest, IntegersOutOfTheTypesRangeAreRefused) {
  EXPECT_EQ(MessageOf([&] { F("SI").SetAsString("40000"); }),
            "40000 is not a valid value for field 'SI'. The allowed range is -32768 to 32767");
  EXPECT_EQ(MessageOf([&] { F("W").SetAsInteger(-1); }),
            "-1 is not a valid value for field 'W'. The allowed range is 0 to 65535");
  EXPECT_EQ(MessageOf([&] { F("I").SetAsLargeInt(2147483648LL); }),
            "2147483648 is not a valid value for field 'I'. The allowed range is -2147483648 to "
            "2147483647");
  EXPECT_TRUE(F("SI").IsNull()) << "a refused value leaves the field as it was";
  F("L").SetAsLargeInt(1LL << 40);
  EXPECT_EQ(MessageOf([&] { F("L").AsInteger(); }),
            "1099511627776 is not a valid value for field 'L'. The allowed range is -2147483648 to "
            "2147483647");
}

TEST_F(FieldTest, BadTextRaisesTheConversionErrors) {
  EXPECT_EQ(MessageOf([&] { F("I").SetAsString("12x"); }), "'12x' is not a valid integer value");
  EXPECT_EQ(MessageOf([&] { F("F").SetAsString("1.5"); }),
            "'1.5' is not a valid floating point value");
  EXPECT_EQ(MessageOf([&] { F("D").SetAsString("2024.02.30"); }),
            "'2024.02.30' is not a valid date");
  EXPECT_EQ(MessageOf([&] { F("T").SetAsString("25:00"); }), "'25:00' is not a valid time");
  EXPECT_EQ(MessageOf([&] { F("DT").SetAsString("noon"); }), "'noon' is not a valid date and time");
  EXPECT_EQ(MessageOf([&] { F("B").SetAsString("maybe"); }),
            "'maybe' is not a valid boolean value");
  try {
    F("I").SetAsString("x");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EConvertError");
  }
}

TEST_F(FieldTest, FloatsUseTheLocaleDecimalSeparator) {
  F("F").SetAsString("1,5");
  EXPECT_EQ(F("F").AsFloat(), 1.5);
  EXPECT_EQ(F("F").AsString(), "1,5");
  double stored = 0;
  std::memcpy(&stored, Raw("F").data(), 8);
  EXPECT_EQ(stored, 1.5);
  F("C").SetAsFloat(-0.25);
  EXPECT_EQ(F("C").AsString(), "-0,25");
  F("F").SetAsFloat(2.5);
  EXPECT_EQ(F("F").AsInteger(), 3) << "rounded";
  F("I").SetAsFloat(41.6);
  EXPECT_EQ(F("I").AsInteger(), 42);
  EXPECT_EQ(F("I").AsFloat(), 42.0);
}

TEST_F(FieldTest, BooleansAcceptTheUsualWords) {
  const std::vector<std::pair<const char*, bool>> words = {
      {"True", true}, {"false", false}, {"t", true}, {"F", false},
      {"y", true},    {"N", false},     {"1", true}, {"0", false}};
  for (const auto& [word, value] : words) {
    F("B").SetAsString(word);
    EXPECT_EQ(F("B").AsBoolean(), value) << word;
    EXPECT_EQ(F("B").AsString(), value ? "True" : "False");
    EXPECT_EQ(Raw("B"), (std::vector<std::uint8_t>{static_cast<std::uint8_t>(value), 0}));
  }
  F("I").SetAsBoolean(true);
  EXPECT_EQ(F("I").AsInteger(), 1);
  F("S").SetAsBoolean(false);
  EXPECT_EQ(F("S").AsString(), "False");
}

TEST_F(FieldTest, DatesAreStoredAsDayNumbers) {
  F("D").SetAsString("2024.02.29");
  EXPECT_EQ(F("D").AsString(), "2024.02.29");
  double expected = 0;
  ASSERT_TRUE(TryEncodeDate(2024, 2, 29, &expected));
  EXPECT_EQ(F("D").AsDateTime(), expected);
  std::int32_t day = 0;
  std::memcpy(&day, Raw("D").data(), 4);
  EXPECT_EQ(day, static_cast<std::int32_t>(expected) + kDateDelta);
  F("D").SetAsDateTime(1 - kDateDelta);
  std::memcpy(&day, Raw("D").data(), 4);
  EXPECT_EQ(day, 1) << "1 January 0001 is day 1";
  EXPECT_EQ(F("D").AsString(), "0001.01.01");
}

TEST_F(FieldTest, TimesAreStoredAsMillisecondsOfTheDay) {
  F("T").SetAsString("13:45:30");
  std::int32_t ms = 0;
  std::memcpy(&ms, Raw("T").data(), 4);
  EXPECT_EQ(ms, 49530000);
  EXPECT_EQ(F("T").AsString(), "13:45:30");
  EXPECT_DOUBLE_EQ(F("T").AsDateTime(), 49530000.0 / kMsPerDay);
}

TEST_F(FieldTest, DateTimesAreStoredAsDayNumberTimesMillisecondsPerDay) {
  F("DT").SetAsString("2024.02.29 13:45:30");
  EXPECT_EQ(F("DT").AsString(), "2024.02.29 13:45:30");
  double value = 0;
  ASSERT_TRUE(TryEncodeDateTime(2024, 2, 29, 13, 45, 30, 0, &value));
  double stored = 0;
  std::memcpy(&stored, Raw("DT").data(), 8);
  EXPECT_EQ(stored,
            (static_cast<double>(static_cast<std::int64_t>(value) + kDateDelta)) * kMsPerDay +
                49530000.0);
  EXPECT_DOUBLE_EQ(F("DT").AsDateTime(), value);
  F("DT").SetAsString("2024.03.01");
  EXPECT_EQ(F("DT").AsString(), "2024.03.01");
  EXPECT_EQ(MessageOf([&] { F("DT").SetAsDateTime(1e9); }), "'1E09' is not a valid date and time");
}

TEST_F(FieldTest, StringsAreWindows1250AndCutToTheirSize) {
  F("S").SetAsString("\xE1rv\xEDzt\xFBr\xF5");  // "árvíztűrő" in Windows-1250
  EXPECT_EQ(F("S").AsString(), "\xE1rv\xEDz");
  EXPECT_EQ(Raw("S").back(), 0) << "zero-terminated";
  EXPECT_EQ(F("S").AsWideString(), u"\u00E1rv\u00EDz");
  F("S").SetAsWideString(u"\u0150k");
  EXPECT_EQ(F("S").AsString(), "\xD5k");
  F("S").SetAsString("12");
  EXPECT_EQ(F("S").AsInteger(), 12);
}

TEST_F(FieldTest, WideStringsAreUtf16UnitsCutToTheirByteSize) {
  F("WS").SetAsWideString(u"\u0150abcd");
  EXPECT_EQ(F("WS").AsWideString(), u"\u0150ab") << "6 bytes hold three units";
  EXPECT_EQ(Raw("WS"), (std::vector<std::uint8_t>{0x50, 0x01, 'a', 0, 'b', 0, 0, 0}));
  EXPECT_EQ(F("WS").AsString(),
            "\xD5"
            "ab");
  F("WS").SetAsString("\xE9");
  EXPECT_EQ(F("WS").AsWideString(), u"\u00E9");
}

TEST_F(FieldTest, BytesAreKeptRaw) {
  F("BY").SetAsString(std::string("\x00\x01\xFF", 3));
  EXPECT_EQ(Raw("BY"), (std::vector<std::uint8_t>{0, 1, 0xFF}));
  EXPECT_EQ(F("BY").AsString(), std::string("\x00\x01\xFF", 3));
}

TEST_F(FieldTest, MemosGoThroughBlobStreams) {
  F("S").SetAsString("x");
  F("M").SetAsString("a long text");
  EXPECT_FALSE(F("M").IsNull());
  EXPECT_EQ(F("M").AsString(), "a long text");
  ds.Post();
  EXPECT_EQ(F("M").AsString(), "a long text");
  ds.Edit();
  F("M").SetAsString("");
  EXPECT_TRUE(F("M").IsNull());
  ds.Cancel();
  EXPECT_EQ(F("M").AsString(), "a long text");
}

TEST_F(FieldTest, ValidateSeesTheNewValueAndMayRefuseIt) {
  F("I").SetAsInteger(1);
  std::vector<std::int32_t> seen;
  F("I").OnValidate = [&](TField& f) {
    seen.push_back(f.AsInteger());
    if (f.AsInteger() < 0) throw EDatabaseError("negative");
  };
  F("I").SetAsInteger(5);
  EXPECT_EQ(MessageOf([&] { F("I").SetAsInteger(-5); }), "negative");
  EXPECT_EQ(F("I").AsInteger(), 5);
  EXPECT_EQ(seen, (std::vector<std::int32_t>{5, -5}));
}

TEST_F(FieldTest, ChangeEventRunsAfterTheValueIsStored) {
  std::vector<std::string> seen;
  F("S").OnChange = [&](TField& f) { seen.push_back(f.AsString()); };
  F("S").SetAsString("one");
  F("S").Clear();
  EXPECT_EQ(seen, (std::vector<std::string>{"one", ""}));
}

TEST_F(FieldTest, ReadOnlyFieldsAndImpossibleConversionsAreRefused) {
  F("I").SetReadOnly(true);
  EXPECT_EQ(MessageOf([&] { F("I").SetAsInteger(1); }), "Field 'I' cannot be modified");
  EXPECT_EQ(MessageOf([&] { F("D").SetAsBoolean(true); }),
            "Cannot access field 'D' as type Boolean");
  F("D").SetAsString("2024.01.01");
  EXPECT_EQ(MessageOf([&] { F("D").AsInteger(); }), "Cannot access field 'D' as type Integer");
}

TEST_F(FieldTest, FieldsCollectionFindsByNumberAndName) {
  EXPECT_EQ(ds.Fields().FieldByNumber(3), &F("I"));
  EXPECT_EQ(ds.Fields().FieldByNumber(99), nullptr);
  EXPECT_EQ(ds.Fields().FindField("ws"), &F("WS"));
  EXPECT_EQ(F("WS").DataSet(), &ds);
}

}  // namespace
}  // namespace kivo
