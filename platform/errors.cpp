#include "platform/errors.h"

#include <cstdio>
#include <iterator>

namespace kivo {

namespace {

std::string ArgAsText(const FormatArg& arg) {
  if (const auto* text = std::get_if<std::string>(&arg)) return *text;
  return std::to_string(std::get<std::int64_t>(arg));
}

}  // namespace

std::string CurrentErrorMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    std::string text = e.what();
    for (const std::string& cause : CausesOf(e)) text += ": " + cause;
    return text;
  } catch (...) {
    return "Unknown error";
  }
}

namespace {

void CollectCauses(const std::exception& error, std::vector<std::string>& causes) {
  try {
    std::rethrow_if_nested(error);
  } catch (const std::exception& cause) {
    causes.push_back(cause.what());
    CollectCauses(cause, causes);
  } catch (...) {
    causes.push_back("Unknown error");
  }
}

}  // namespace

std::vector<std::string> CausesOf(const std::exception& error) {
  std::vector<std::string> causes;
  CollectCauses(error, causes);
  return causes;
}

std::string FormatMessage(std::string_view templ, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(templ.size() + 16 * args.size());
  std::size_t next_arg = 0;
  for (std::size_t i = 0; i < templ.size(); ++i) {
    const char c = templ[i];
    if (c != '%' || i + 1 >= templ.size()) {
      out += c;
      continue;
    }
    const char directive = templ[i + 1];
    if (directive == '%') {
      out += '%';
      ++i;
    } else if (directive == 's' || directive == 'd') {
      // A text given for %d is written unchanged, a number given for %s as
      // decimal text; a missing argument contributes nothing.
      if (next_arg < args.size()) out += ArgAsText(args[next_arg]);
      ++next_arg;
      ++i;
    } else {
      // Not a directive this routine knows: keep the characters as they are.
      out += c;
    }
  }
  return out;
}

namespace {

struct CodeEntry {
  int native_code;
  int message_number;
};

// Message templates, numbered from 0.
constexpr const char* kMessages[] = {
    /*   0 */ "Unknown error",
    /*   1 */ "Missing right parenthesis at line %d, column %d",
    /*   2 */ "Unexpected symbol ')' found at line %d, column %d",
    /*   3 */ "Unterminated string at line %d, column %d",
    /*   4 */ "Cannot open table '%s'. DatabaseName = %s, DatabaseFileName = %s, InMemory = %d.",
    /*   5 */
    "Cannot set filter '%s' on table '%s'. DatabaseName = %s, DatabaseFileName = %s, InMemory = "
    "%d.",
    /*   6 */ "Different Length of arrays. Length1 = %d, Length2 = %d.",
    /*   7 */ "Table is not opened, table name = '%s'.",
    /*   8 */ "Record buffer is nil. Table name = '%s'.",
    /*   9 */ "Invalid field number. Table name = '%s', FieldNo = %d",
    /*  10 */ "Invalid field. Table name = '%s', FieldNo = %d",
    /*  11 */ "Field header is nil. Table name = '%s', i = %d",
    /*  12 */ "Field not found. Table name = '%s', Field name = '%s'",
    /*  13 */ "Invalid table name. Table name = '%s', alias = '%s', invalid table name = '%s'",
    /*  14 */ "Field link is invalid - AO = Dataset = nil. Table name = '%s', FieldNo = %d",
    /*  15 */ "Cannot read hidden field. Table name = '%s', FieldNo = %d",
    /*  16 */ "Cannot set index - result dataset does not exists.",
    /*  17 */ "Invalid field. Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d",
    /*  18 */ "Array is empty. ItemCount = %d",
    /*  19 */ "Field is hidden. FieldName = '%s', DisplayName = '%s', j = %d",
    /*  20 */ "Invalid type cast.",
    /*  21 */ "Invalid type cast. Field1 = '%s', Field2 = '%s'.",
    /*  22 */
    "Both join fields are from the same table. Field1 = '%s', Field2 = '%s', No1 = %d, No2 = %d.",
    /*  23 */ "Invalid type - compare is not supported.",
    /*  24 */ "Invalid type - compare is not supported. Field1 = '%s', Field2 = '%s'.",
    /*  25 */ "Equal records in joins, while not EOF loop.",
    /*  26 */ "Distinct index not created. FTableName = '%s', FDistinctFields = '%s'.",
    /*  27 */ "Field '%s' not found",
    /*  28 */ "Ambiguous field reference to '%s'",
    /*  29 */ "Invalid union type = %d.",
    /*  30 */ "Invalid field name. Table name = '%s', field name = '%s', FieldCount = %d",
    /*  31 */ "Invalid numeric symbol '%s' at line %d, column %d",
    /*  32 */ "Filter expression should be Boolean. Filter type = %d",
    /*  33 */
    "Field is not included in GROUP BY list. Table name = '%s', Field name = '%s', FieldNo = %d, "
    "Found field name = '%s'",
    /*  34 */
    "Using Non-Aggregate expressions in queries with GROUP BY option is prohibited. Field name = "
    "'%s', FieldNo = %d",
    /*  35 */ "Query component supplied to Expression is nil",
    /*  36 */ "Sub-query returns no rows",
    /*  37 */ "Sub-query returns multiple rows",
    /*  38 */ "Not a float data type",
    /*  39 */ "Not a small integer data type",
    /*  40 */ "Not a large integer data type",
    /*  41 */ "Not a word data type",
    /*  42 */ "No correlated columns have been passed to correlated sub-query",
    /*  43 */ "No column was passed to IN sub-query",
    /*  44 */ "Argument expected for function '%s' at line %d, column %d",
    /*  45 */ "')' symbol expected, but '%s' found at line %d, column %d",
    /*  46 */ "Types mismatches in SQL function %s: %d, %d",
    /*  47 */ "'(' symbol expected, but '%s' found at line %d, column %d",
    /*  48 */ "Argument expected in SQL function %s",
    /*  49 */ "FROM or ',' expected, but '%s' found at line %d, column %d",
    /*  50 */ "Error - no children in expression node",
    /*  51 */ "Token '%s' expected, but '%s' found at line %d, column %d",
    /*  52 */ "Blank SQL command",
    /*  53 */ "SQL token expected, but '%s' found at line %d, column %d",
    /*  54 */ "Unexpected token '%s' found at line %d, column %d",
    /*  55 */ "Unexpected end of SQL command found at line %d",
    /*  56 */ "Field name expected, but '%s' found at line %d, column %d",
    /*  57 */ "Field pseudonym expected, but '%s' found at line %d, column %d",
    /*  58 */ "Table name expected, but '%s' found at line %d, column %d",
    /*  59 */ "FROM expected, but '%s' found at line %d, column %d",
    /*  60 */ "Field list expected, but '%s' found at line %d, column %d",
    /*  61 */ "Boolean expression expected, but '%s' found at line %d, column %d",
    /*  62 */ "Sort specification expected, but '%s' found at line %d, column %d",
    /*  63 */ "Column '%s' from ORDER BY clause not found",
    /*  64 */ "Operator with code=%d is not supported",
    /*  65 */ "Circular datalinks are not allowed",
    /*  66 */
    "Quoted password expected (for PASSWORD \"passwordData\"), but '%s' found at line %d, column "
    "%d",
    /*  67 */ "Node is not field",
    /*  68 */ "Cannot add index. Field '%s' not found",
    /*  69 */ "No cursor in query.",
    /*  70 */ "Search condition '%s' is not applicable",
    /*  71 */ "Cannot get expression value",
    /*  72 */ "Invalid session name '%s'",
    /*  73 */ "Cannot perform this operation on an active session",
    /*  74 */ "Cannot modify SessionName while AutoSessionName is enabled",
    /*  75 */ "Duplicate session name '%s'",
    /*  76 */ "Session name missing",
    /*  77 */ "KivoTable Engine is not initialized",
    /*  78 */
    "Cannot enable AutoSessionName property with more than one session on a form or data-module",
    /*  79 */
    "Cannot add a session to the form or data-module while session '%s' has AutoSessionName "
    "enabled",
    /*  80 */ "Cannot perform this operation on an open database",
    /*  81 */ "Database name missing",
    /*  82 */ "Duplicate database name '%s'",
    /*  83 */ "Cannot perform this operation on a closed database",
    /*  84 */ "Database handle owned by a different session",
    /*  85 */ "Dataset not in edit or insert mode",
    /*  86 */ "Field '%s' is not indexed and cannot be modified",
    /*  87 */ "Database manager handle is nil",
    /*  88 */ "Error creating cursor handle. Try to use ExecSQL instead of Open method",
    /*  89 */ "Internal engine error. Cannot create visible records list",
    /*  90 */ "Expression expected, but '%s' found at line %d, column %d",
    /*  91 */ "Integer expected, but '%s' found at line %d, column %d",
    /*  92 */ "Duplicate table pseudonym '%s'",
    /*  93 */ "Non-insert SQL command",
    /*  94 */ "'TABLE' or 'INDEX' keyword expected, but '%s' found at line %d, column %d",
    /*  95 */ "Field type expected, but '%s' found at line %d, column %d",
    /*  96 */ "Unknown field type '%s' at line %d, column %d",
    /*  97 */ "Decimal constant expected, but '%s' found at line %d, column %d",
    /*  98 */ "'NULL' expected (for NOT NULL), but '%s' found at line %d, column %d",
    /*  99 */ "Error creating table: '%s'",
    /* 100 */ "')' or ',' symbol expected, but '%s' found at line %d, column %d",
    /* 101 */ "Blob Compression Level value expected, but '%s' found at line %d, column %d",
    /* 102 */ "Unknown compress level: '%s' found at line %d, column %d",
    /* 103 */ "Error dropping table: '%s'",
    /* 104 */ "ADD, DROP or MODIFY keyword expected, but '%s' found at line %d, column %d",
    /* 105 */
    "New data type or NULL or NOT NULL keyword expected, but '%s' found at line %d, column %d",
    /* 106 */
    "'PASSWORD' keyword expected (for NEW PASSWORD), but '%s' found at line %d, column %d",
    /* 107 */ "Error dropping column(s): '%s'",
    /* 108 */ "'INDEX' keyword expected, but '%s' found at line %d, column %d",
    /* 109 */ "index name expected, but '%s' found at line %d, column %d",
    /* 110 */ "'ON' keyword expected, but '%s' found at line %d, column %d",
    /* 111 */ "INTO keyword expected, but '%s' found at line %d, column %d",
    /* 112 */ "Insert from select is not supported yet",
    /* 113 */ "'SET' keyword expected, but '%s' found at line %d, column %d",
    /* 114 */ "Token '=' expected, but '%s' found at line %d, column %d",
    /* 115 */ "Not numeric argument in numeric operator '%s'",
    /* 116 */ "Can't convert data type from '%s' to '%s'",
    /* 117 */ "String argument expected for function '%s', but '%s' found at line %d, column %d",
    /* 118 */ "Not string argument in function '%s'",
    /* 119 */ "Not Integer data type",
    /* 120 */ "Not Boolean data type",
    /* 121 */ "Cannot convert an expression to specified type: '%s'",
    /* 122 */ "Cannot create table. Table '%s' already exists",
    /* 123 */ "Not DateTime data type",
    /* 124 */ "Const DateFormat string expected, but '%s' found at line %d, column %d",
    /* 125 */ "AM/PM word expected, but '%s' found",
    /* 126 */
    "AutoInc uniqueness violation. Update or insert of duplicate AutoInc value (%d) failed ",
    // Our own: the parser refuses expressions nested deeper than it can follow.
    /* 127 */ "Expression nested too deeply (more than %d levels) at line %d, column %d",
    // Our own: such fields have no order, so they cannot be sorted, grouped
    // or compared for DISTINCT.
    /* 128 */ "Field '%s' of type %s cannot be used to sort, group or remove duplicates",
    // Our own: UPDATE and DELETE change the rows of one table, not of a
    // temporary result.
    /* 129 */
    "%s cannot change the rows of a query result: it needs one table without joins, grouping "
    "or computed columns",
};

// (native code, message number) pairs; ranges of codes are written out one by one.
constexpr CodeEntry kCodes[] = {
    {0, 0},      {1, 1},      {2, 2},      {3, 3},      {4, 4},      {50, 4},     {5, 5},
    {6, 6},      {23, 6},     {35, 6},     {7, 7},      {8, 8},      {18, 8},     {19, 8},
    {9, 9},      {11, 9},     {41, 9},     {42, 9},     {45, 9},     {10, 10},    {12, 11},
    {13, 12},    {48, 12},    {77, 12},    {14, 13},    {15, 14},    {16, 15},    {17, 16},
    {20, 17},    {21, 17},    {46, 17},    {22, 18},    {36, 18},    {37, 18},    {24, 19},
    {31, 19},    {25, 20},    {51, 20},    {26, 21},    {38, 21},    {27, 22},    {28, 23},
    {52, 23},    {29, 24},    {39, 24},    {30, 25},    {32, 26},    {33, 27},    {1052, 27},
    {2048, 27},  {2108, 27},  {34, 28},    {1054, 28},  {1055, 28},  {1057, 28},  {40, 29},
    {43, 30},    {2110, 30},  {2112, 30},  {44, 31},    {47, 32},    {54, 32},    {1071, 32},
    {49, 33},    {53, 34},    {55, 35},    {58, 35},    {59, 35},    {56, 36},    {57, 37},
    {60, 38},    {61, 39},    {62, 40},    {63, 41},    {64, 42},    {65, 43},    {66, 44},
    {73, 44},    {79, 44},    {82, 44},    {83, 44},    {84, 44},    {86, 44},    {2105, 44},
    {2127, 44},  {2129, 44},  {2134, 44},  {2136, 44},  {2138, 44},  {2141, 44},  {2148, 44},
    {67, 45},    {72, 45},    {80, 45},    {2010, 45},  {2095, 45},  {2103, 45},  {2106, 45},
    {2111, 45},  {2116, 45},  {2131, 45},  {2133, 45},  {2139, 45},  {2145, 45},  {2154, 45},
    {68, 46},    {69, 47},    {71, 47},    {74, 47},    {78, 47},    {2004, 47},  {2008, 47},
    {2056, 47},  {2077, 47},  {2094, 47},  {2104, 47},  {2118, 47},  {2126, 47},  {2132, 47},
    {2137, 47},  {2142, 47},  {2147, 47},  {2155, 47},  {70, 48},    {75, 49},    {76, 50},
    {81, 51},    {85, 51},    {1024, 51},  {1033, 51},  {1044, 51},  {1045, 51},  {1060, 51},
    {1061, 51},  {1063, 51},  {2064, 51},  {2088, 51},  {2128, 51},  {2130, 51},  {2135, 51},
    {2143, 51},  {2149, 51},  {1001, 52},  {1002, 52},  {1004, 52},  {2030, 52},  {2037, 52},
    {2039, 52},  {2051, 52},  {2070, 52},  {2082, 52},  {1003, 53},  {1005, 53},  {1059, 53},
    {1006, 54},  {1007, 54},  {1023, 54},  {1025, 54},  {1026, 54},  {1027, 54},  {1028, 54},
    {1029, 54},  {1030, 54},  {1031, 54},  {1034, 54},  {1042, 54},  {1043, 54},  {1046, 54},
    {1050, 54},  {2015, 54},  {2032, 54},  {2034, 54},  {2043, 54},  {2049, 54},  {2050, 54},
    {2061, 54},  {2062, 54},  {2067, 54},  {2068, 54},  {2069, 54},  {2081, 54},  {1008, 55},
    {1039, 55},  {2001, 55},  {2012, 55},  {2013, 55},  {2018, 55},  {2022, 55},  {2025, 55},
    {2028, 55},  {2029, 55},  {2036, 55},  {2042, 55},  {2058, 55},  {2060, 55},  {2063, 55},
    {2065, 55},  {2073, 55},  {2075, 55},  {2076, 55},  {2079, 55},  {2087, 55},  {2161, 55},
    {1009, 56},  {1011, 56},  {1021, 56},  {1022, 56},  {1035, 56},  {1036, 56},  {1049, 56},
    {1064, 56},  {1065, 56},  {1066, 56},  {2005, 56},  {2057, 56},  {2119, 56},  {2156, 56},
    {1010, 57},  {1018, 57},  {1012, 58},  {1013, 58},  {1015, 58},  {1016, 58},  {1019, 58},
    {1020, 58},  {1032, 58},  {2003, 58},  {2031, 58},  {2038, 58},  {2055, 58},  {2072, 58},
    {2083, 58},  {2150, 58},  {2151, 58},  {2152, 58},  {2160, 58},  {1014, 59},  {1017, 60},
    {1037, 61},  {1038, 61},  {1040, 61},  {1041, 61},  {1047, 62},  {1048, 62},  {1051, 63},
    {1053, 64},  {1056, 65},  {1058, 66},  {2016, 66},  {2059, 66},  {2066, 66},  {2080, 66},
    {2084, 66},  {2153, 66},  {1062, 67},  {1067, 68},  {1068, 69},  {1069, 70},  {1070, 71},
    {1072, 72},  {1073, 73},  {1074, 74},  {1075, 75},  {1076, 76},  {1077, 77},  {1078, 78},
    {1079, 79},  {1080, 80},  {1081, 81},  {1082, 82},  {1083, 83},  {1084, 84},  {1085, 85},
    {1086, 86},  {1087, 87},  {1088, 88},  {1089, 89},  {1090, 90},  {1091, 91},  {1092, 91},
    {1093, 92},  {2000, 93},  {2002, 94},  {2035, 94},  {2006, 95},  {2007, 96},  {2009, 97},
    {2023, 97},  {2026, 97},  {2011, 98},  {2014, 99},  {2017, 100}, {2021, 100}, {2024, 100},
    {2027, 100}, {2044, 100}, {2074, 100}, {2120, 100}, {2019, 101}, {2020, 102}, {2033, 103},
    {2040, 104}, {2041, 104}, {2045, 105}, {2046, 106}, {2047, 107}, {2052, 108}, {2053, 109},
    {2054, 110}, {2071, 111}, {2078, 112}, {2085, 113}, {2086, 114}, {2089, 115}, {2090, 115},
    {2091, 115}, {2109, 115}, {2092, 116}, {2093, 116}, {2096, 117}, {2097, 118}, {2098, 118},
    {2099, 118}, {2100, 118}, {2101, 118}, {2102, 118}, {2114, 118}, {2121, 118}, {2122, 118},
    {2123, 118}, {2124, 118}, {2125, 118}, {2107, 119}, {2113, 120}, {2115, 121}, {2117, 122},
    {2140, 123}, {2144, 124}, {2146, 125}, {2157, 126}, {2158, 126}, {2159, 126}, {1094, 127},
    {1095, 128}, {1096, 129},
};

constexpr int kMessageCount = static_cast<int>(std::size(kMessages));
constexpr int kCodeCount = static_cast<int>(std::size(kCodes));

// The native code as "%5d" with every blank turned into '0': 44 -> "00044", -1 -> "000-1".
std::string NativeCodeText(int nativeError) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%5d", nativeError);
  std::string text(buf);
  for (char& ch : text) {
    if (ch == ' ') ch = '0';
  }
  return text;
}

}  // namespace

int ZorException::MessageNumberFor(int nativeError) {
  for (const CodeEntry& entry : kCodes) {
    if (entry.native_code == nativeError) return entry.message_number;
  }
  return 0;
}

const char* ZorException::MessageTemplate(int messageNumber) {
  if (messageNumber < 0 || messageNumber >= kMessageCount) return kMessages[0];
  return kMessages[messageNumber];
}

int ZorException::CodeTableSize() { return kCodeCount; }

namespace {

std::string ComposeMessage(std::string text, std::string_view componentName, int nativeError) {
  std::string message;
  if (!componentName.empty()) {
    message.append(componentName);
    message += ": ";
  }
  message += text;
  message += " - Native error: ";
  message += NativeCodeText(nativeError);
  return message;
}

}  // namespace

ZorException ZorException::Create(int nativeError, std::string_view componentName) {
  const int number = MessageNumberFor(nativeError);
  return ZorException(ComposeMessage(MessageTemplate(number), componentName, nativeError), number,
                      nativeError);
}

ZorException ZorException::CreateFmt(int nativeError, std::string_view componentName,
                                     const std::vector<FormatArg>& args) {
  const int number = MessageNumberFor(nativeError);
  return ZorException(
      ComposeMessage(FormatMessage(MessageTemplate(number), args), componentName, nativeError),
      number, nativeError);
}

}  // namespace kivo
