#include "platform/errors.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/error_codes.h"

namespace kivo {
namespace {

TEST(FormatMessageTest, FillsDirectivesInOrder) {
  EXPECT_EQ(FormatMessage("'%s' at line %d, column %d", {std::string("x"), 3, 14}),
            "'x' at line 3, column 14");
  EXPECT_EQ(FormatMessage("100%% of %d", {7}), "100% of 7");
  EXPECT_EQ(FormatMessage("%d", {std::int64_t{-9000000000}}), "-9000000000");
}

TEST(FormatMessageTest, NeverFailsOnOddInput) {
  // Missing arguments contribute nothing; surplus ones are ignored.
  EXPECT_EQ(FormatMessage("a=%s b=%d", {}), "a= b=");
  EXPECT_EQ(FormatMessage("plain", {1, std::string("z")}), "plain");
  // Mistyped arguments are written in their own form.
  EXPECT_EQ(FormatMessage("%d|%s", {std::string("txt"), 42}), "txt|42");
  // A lone percent sign at the end and unknown directives stay as written.
  EXPECT_EQ(FormatMessage("50%", {}), "50%");
  EXPECT_EQ(FormatMessage("%x%d", {5}), "%x5");
  EXPECT_EQ(FormatMessage("", {1}), "");
}

TEST(ZorExceptionTest, DocumentedExamples) {
  ZorException e = ZorException::CreateFmt(1008, "", {3});
  EXPECT_EQ(e.Message(), "Unexpected end of SQL command found at line 3 - Native error: 01008");
  EXPECT_STREQ(e.what(), e.Message().c_str());
  EXPECT_EQ(e.NativeError(), 1008);

  ZorException q = ZorException::CreateFmt(1008, "Query1", {3});
  EXPECT_EQ(q.Message(),
            "Query1: Unexpected end of SQL command found at line 3 - Native error: 01008");
  EXPECT_EQ(q.ErrorCode(), e.ErrorCode());

  ZorException n = ZorException::CreateFmt(44, {}, {std::string("1.2.3"), 5, 17});
  EXPECT_EQ(n.Message(),
            "Invalid numeric symbol '1.2.3' at line 5, column 17 - Native error: 00044");
}

TEST(ZorExceptionTest, UnknownCodesGiveMessageZero) {
  for (int code : {-1, 87, 99, 1000, 1097, 2162, 5000, 123456}) {
    SCOPED_TRACE(code);
    ZorException e = ZorException::Create(code);
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_EQ(e.NativeError(), code);
    EXPECT_EQ(e.Message().rfind("Unknown error - Native error: ", 0), 0u) << e.Message();
  }
  EXPECT_EQ(ZorException::Create(-1).Message(), "Unknown error - Native error: 000-1");
  EXPECT_EQ(ZorException::Create(123456).Message(), "Unknown error - Native error: 123456");
  EXPECT_EQ(ZorException::Create(0).Message(), "Unknown error - Native error: 00000");
  EXPECT_STREQ(ZorException::MessageTemplate(-5), "Unknown error");
  EXPECT_STREQ(ZorException::MessageTemplate(100000), "Unknown error");
}

TEST(ZorExceptionTest, ComponentPrefixOnlyForNamedComponents) {
  EXPECT_EQ(ZorException::Create(56, "").Message(),
            "Sub-query returns no rows - Native error: 00056");
  EXPECT_EQ(ZorException::Create(56, "Table1").Message(),
            "Table1: Sub-query returns no rows - Native error: 00056");
}

TEST(ZorExceptionTest, CreateUsesTemplateUnformatted) {
  EXPECT_EQ(ZorException::Create(1008).Message(),
            "Unexpected end of SQL command found at line %d - Native error: 01008");
  EXPECT_EQ(ZorException::CreateFmt(1008, "", {}).Message(),
            "Unexpected end of SQL command found at line  - Native error: 01008");
}

// The code table: every code of the three blocks 0-86, 1001-1096 and 2000-2161
// is listed once, and nothing else (1094 to 1096 are our own).
TEST(ZorExceptionTest, CodeTableCoversExactlyTheListedBlocks) {
  EXPECT_EQ(ZorException::CodeTableSize(), 345);
  int known = 0;
  for (int code = -10; code < 2300; ++code) {
    const bool listed = (code >= 1 && code <= 86) || (code >= 1001 && code <= 1096) ||
                        (code >= 2000 && code <= 2161);
    const int number = ZorException::MessageNumberFor(code);
    EXPECT_EQ(number != 0, listed) << code;
    if (number != 0) ++known;
  }
  // Code 0 itself is the 345th pair (0 -> "Unknown error").
  EXPECT_EQ(known + 1, ZorException::CodeTableSize());
}

TEST(ZorExceptionTest, SharedTemplatesAcrossRanges) {
  struct Case {
    std::vector<int> codes;
    const char* text;
  };
  const std::vector<Case> cases = {
      {{8, 18, 19}, "Record buffer is nil. Table name = '%s'."},
      {{9, 11, 41, 42, 45}, "Invalid field number. Table name = '%s', FieldNo = %d"},
      {{20, 21, 46},
       "Invalid field. Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d"},
      {{22, 36, 37}, "Array is empty. ItemCount = %d"},
      {{33, 1052, 2048, 2108}, "Field '%s' not found"},
      {{34, 1054, 1055, 1057}, "Ambiguous field reference to '%s'"},
      {{55, 58, 59}, "Query component supplied to Expression is nil"},
      {{66, 86, 2105, 2148}, "Argument expected for function '%s' at line %d, column %d"},
      {{67, 2010, 2154}, "')' symbol expected, but '%s' found at line %d, column %d"},
      {{69, 2004, 2155}, "'(' symbol expected, but '%s' found at line %d, column %d"},
      {{81, 1044, 1045, 1060, 1061, 2149},
       "Token '%s' expected, but '%s' found at line %d, column %d"},
      {{1001, 1002, 1004, 2082}, "Blank SQL command"},
      {{1006, 1007, 1025, 1028, 1031, 2049, 2050, 2067, 2069, 2081},
       "Unexpected token '%s' found at line %d, column %d"},
      {{1008, 1039, 2012, 2013, 2028, 2029, 2075, 2076, 2161},
       "Unexpected end of SQL command found at line %d"},
      {{1009, 1064, 1065, 1066, 2156}, "Field name expected, but '%s' found at line %d, column %d"},
      {{1012, 1013, 1015, 1016, 1019, 1020, 2150, 2151, 2152, 2160},
       "Table name expected, but '%s' found at line %d, column %d"},
      {{1037, 1038, 1040, 1041},
       "Boolean expression expected, but '%s' found at line %d, column %d"},
      {{1047, 1048}, "Sort specification expected, but '%s' found at line %d, column %d"},
      {{1091, 1092}, "Integer expected, but '%s' found at line %d, column %d"},
      {{1093}, "Duplicate table pseudonym '%s'"},
      {{2000}, "Non-insert SQL command"},
      {{2040, 2041}, "ADD, DROP or MODIFY keyword expected, but '%s' found at line %d, column %d"},
      {{2089, 2090, 2091, 2109}, "Not numeric argument in numeric operator '%s'"},
      {{2092, 2093}, "Can't convert data type from '%s' to '%s'"},
      {{2097, 2099, 2102, 2114, 2121, 2125}, "Not string argument in function '%s'"},
      {{2146}, "AM/PM word expected, but '%s' found"},
  };
  for (const Case& c : cases) {
    const int number = ZorException::MessageNumberFor(c.codes.front());
    EXPECT_NE(number, 0) << c.text;
    for (int code : c.codes) {
      EXPECT_EQ(ZorException::MessageNumberFor(code), number) << code;
      EXPECT_STREQ(ZorException::MessageTemplate(ZorException::MessageNumberFor(code)), c.text)
          << code;
    }
  }
}

TEST(ZorExceptionTest, MessageNumbersFollowTableOrder) {
  EXPECT_EQ(ZorException::MessageNumberFor(1), 1);
  EXPECT_EQ(ZorException::MessageNumberFor(4), 4);
  EXPECT_EQ(ZorException::MessageNumberFor(50), 4);
  // 11 is listed together with 9, so "Field header is nil" (code 12) is number 11.
  EXPECT_EQ(ZorException::MessageNumberFor(12), 11);
  EXPECT_EQ(ZorException::MessageNumberFor(2157), 126);
  EXPECT_STREQ(ZorException::MessageTemplate(126),
               "AutoInc uniqueness violation. Update or insert of duplicate AutoInc value (%d) "
               "failed ");
  EXPECT_EQ(ZorException::MessageNumberFor(1094), 127);
  EXPECT_EQ(ZorException::MessageNumberFor(1095), 128);
  EXPECT_EQ(ZorException::MessageNumberFor(1096), 129);
  EXPECT_STREQ(ZorException::MessageTemplate(130), "Unknown error");
  // Distinct message numbers in use: all 130 templates.
  std::set<int> used;
  for (int code = 0; code < 2300; ++code) used.insert(ZorException::MessageNumberFor(code));
  EXPECT_EQ(used.size(), 130u);
}

TEST(ZorExceptionTest, ExactTextsWithSpecialCharacters) {
  for (int code : {1058, 2016, 2059, 2066, 2080, 2084, 2153}) {
    EXPECT_EQ(ZorException::CreateFmt(code, "", {std::string("abc"), 2, 9}).Message(),
              "Quoted password expected (for PASSWORD \"passwordData\"), but 'abc' found at line "
              "2, column 9 - Native error: " +
                  std::to_string(code).insert(0, 5 - std::to_string(code).size(), '0'));
  }
  for (int code : {2157, 2158, 2159}) {
    EXPECT_EQ(ZorException::CreateFmt(code, "", {12}).Message(),
              "AutoInc uniqueness violation. Update or insert of duplicate AutoInc value (12) "
              "failed  - Native error: 0" +
                  std::to_string(code));
  }
  EXPECT_EQ(ZorException::CreateFmt(
                4, "T1", {std::string("a"), std::string("SQLdb"), std::string("/x.kvb"), 0})
                .Message(),
            "T1: Cannot open table 'a'. DatabaseName = SQLdb, DatabaseFileName = /x.kvb, InMemory "
            "= 0. - Native error: 00004");
}

TEST(ExceptionClassesTest, EachReportsItsClassName) {
  Exception base("m0");
  EDatabaseError db("m1");
  EInOutError io("m2", 13);
  ZorException zor = ZorException::Create(7);
  const Exception* all[] = {&base, &db, &io, &zor};
  const char* names[] = {"Exception", "EDatabaseError", "EInOutError", "ZorException"};
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(all[i]->ClassName(), names[i]);
  EXPECT_EQ(io.ErrorCode(), 13);
  EXPECT_EQ(EInOutError("x").ErrorCode(), 0);
  EXPECT_EQ(db.Message(), "m1");

  // Caught through the base class, the class name and message survive.
  try {
    throw ZorException::CreateFmt(7, "Tbl", {std::string("people")});
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "ZorException");
    EXPECT_EQ(e.Message(),
              "Tbl: Table is not opened, table name = 'people'. - Native error: 00007");
  }
}

// Each name stands for the message its name says: a number typed wrong in
// the names header shows here.
TEST(NativeErrorNamesTest, NamesMapToTheirMessages) {
  using namespace native_error;
  const std::pair<int, const char*> names[] = {
      {kUnsupported, "Unknown error"},
      {kInvalidTypeCast, "Invalid type cast."},
      {kCompareNotSupported, "Invalid type - compare is not supported."},
      {kNotFloat, "Not a float data type"},
      {kNotSmallInt, "Not a small integer data type"},
      {kNotLargeInt, "Not a large integer data type"},
      {kNotWord, "Not a word data type"},
      {kNotInteger, "Not Integer data type"},
      {kNotBoolean, "Not Boolean data type"},
      {kNotDateTime, "Not DateTime data type"},
      {kIndexFieldNotFound, "Cannot add index. Field '%s' not found"},
      {kInvalidSessionName, "Invalid session name '%s'"},
      {kActiveSession, "Cannot perform this operation on an active session"},
      {kAutoSessionNameEnabled, "Cannot modify SessionName while AutoSessionName is enabled"},
      {kDuplicateSessionName, "Duplicate session name '%s'"},
      {kSessionNameMissing, "Session name missing"},
      {kMultipleAutoSessions,
       "Cannot enable AutoSessionName property with more than one session on a form or "
       "data-module"},
      {kSessionNextToAutoSession,
       "Cannot add a session to the form or data-module while session '%s' has AutoSessionName "
       "enabled"},
      {kOpenDatabase, "Cannot perform this operation on an open database"},
      {kDatabaseNameMissing, "Database name missing"},
      {kHandleOfOtherSession, "Database handle owned by a different session"},
      {kNonNumericNegate, "Not numeric argument in numeric operator '%s'"},
      {kNonNumericAdd, "Not numeric argument in numeric operator '%s'"},
      {kNoConversion, "Can't convert data type from '%s' to '%s'"},
      {kConversionFailed, "Can't convert data type from '%s' to '%s'"},
  };
  for (const auto& [code, text] : names)
    EXPECT_STREQ(ZorException::MessageTemplate(ZorException::MessageNumberFor(code)), text) << code;
}

// A cause rides inside an error without changing its class or message.
TEST(ErrorCauseTest, ThrowWithCauseKeepsTheErrorAndReachesTheCause) {
  try {
    ThrowWithCause(EDatabaseError("outer"), "inner");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EDatabaseError");
    EXPECT_EQ(e.Message(), "outer");
    EXPECT_EQ(CausesOf(e), std::vector<std::string>{"inner"});
  }
  try {
    ThrowWithCause(Exception("alone"), "");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "alone");
    EXPECT_TRUE(CausesOf(e).empty());
  }
  // Inside a handler, the message of what is being handled.
  try {
    throw EInOutError("disk gone", 5);
  } catch (...) {
    EXPECT_EQ(CurrentErrorMessage(), "disk gone");
  }
  try {
    throw 42;
  } catch (...) {
    EXPECT_EQ(CurrentErrorMessage(), "Unknown error");
  }
}

}  // namespace
}  // namespace kivo
