// Names for the native error numbers the engine raises with ZorException.
//
// Every layer raises these numbers, so they live here beside the numbered
// error class. A number is what a caller sees in NativeError() and in the
// "Native error: NNNNN" suffix of the message; the message text comes from
// the code table in errors.cpp. Several numbers may share one message (2092
// and 2093, 2089 and 2091): the number tells the cases apart.
#pragma once

namespace kivo::native_error {

// Lexical errors of SQL text, each with the line and column of the fault.
inline constexpr int kMissingRightParenthesis = 1;  // at the unclosed "("
inline constexpr int kUnexpectedRightParenthesis = 2;
inline constexpr int kUnterminatedString = 3;  // at the opening quote
inline constexpr int kInvalidNumericSymbol = 44;
// An expression nested deeper than the parser follows (our own number).
inline constexpr int kNestingTooDeep = 1094;
// A BLOB, memo or bytes field named for sorting, grouping or DISTINCT (our
// own number).
inline constexpr int kNotOrderable = 1095;
// UPDATE or DELETE over a query whose rows are not one table's own (joins,
// grouping, computed columns): changing them would change only a temporary
// result (our own number).
inline constexpr int kResultNotChangeable = 1096;

// A conversion or an arithmetic step with no defined result; the message is
// "Unknown error".
inline constexpr int kUnsupported = -1;
// "Invalid type cast.": two values whose types have no type to compare in.
inline constexpr int kInvalidTypeCast = 25;
// "Invalid type - compare is not supported.": a comparison type without an order.
inline constexpr int kCompareNotSupported = 28;

// A typed read of a value that holds another type (or NULL).
inline constexpr int kNotFloat = 60;
inline constexpr int kNotSmallInt = 61;
inline constexpr int kNotLargeInt = 62;
inline constexpr int kNotWord = 63;
inline constexpr int kNotInteger = 2107;
inline constexpr int kNotBoolean = 2113;
inline constexpr int kNotDateTime = 2140;

// The SQL function library. "Not string argument in function '%s'" with the
// function's name: a text function given a value with no text form, and
// LENGTH, POS and SUBSTRING given a value that is not a string.
inline constexpr int kNotStringUpper = 2098;
inline constexpr int kNotStringLower = 2099;
inline constexpr int kNotStringTrim = 2100;
inline constexpr int kNotStringLTrim = 2101;
inline constexpr int kNotStringRTrim = 2102;
inline constexpr int kNotStringLength = 2121;
inline constexpr int kNotStringPosSubInString = 2122;  // the sought text, searched in a String
inline constexpr int kNotStringPosSubInWide = 2123;    // the sought text, searched in a WideString
inline constexpr int kNotStringPos = 2124;             // the text searched in
inline constexpr int kNotStringSubstring = 2125;
// "Types mismatches in SQL function %s: %d, %d": the two arguments of
// ISNULL have different planned types.
inline constexpr int kFunctionTypesMismatch = 68;
// "Argument expected in SQL function %s".
inline constexpr int kFunctionArgumentExpected = 70;

// Field values read by number for the SQL processor, with the table name.
inline constexpr int kTableNotOpened = 7;      // "Table is not opened, table name = '%s'."
inline constexpr int kNoRecordBuffer = 8;      // "Record buffer is nil. Table name = '%s'."
inline constexpr int kInvalidFieldNumber = 9;  // "Invalid field number. ..."
inline constexpr int kInvalidField = 10;       // "Invalid field. ..."

// "Cannot add index. Field '%s' not found".
inline constexpr int kIndexFieldNotFound = 1067;

// Sessions.
inline constexpr int kInvalidSessionName = 1072;
inline constexpr int kActiveSession = 1073;
inline constexpr int kAutoSessionNameEnabled = 1074;
inline constexpr int kDuplicateSessionName = 1075;
inline constexpr int kSessionNameMissing = 1076;
inline constexpr int kMultipleAutoSessions = 1078;
inline constexpr int kSessionNextToAutoSession = 1079;

// Databases.
inline constexpr int kOpenDatabase = 1080;
inline constexpr int kDatabaseNameMissing = 1081;
inline constexpr int kHandleOfOtherSession = 1084;

// "Not numeric argument in numeric operator '%s'": negation and addition.
inline constexpr int kNonNumericNegate = 2089;
inline constexpr int kNonNumericAdd = 2091;
// "Can't convert data type from '%s' to '%s'": no conversion between the
// two types, and a conversion that exists but fails for this value (text
// that does not read, a number out of the target's range).
inline constexpr int kNoConversion = 2092;
inline constexpr int kConversionFailed = 2093;

}  // namespace kivo::native_error
