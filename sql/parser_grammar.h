// The expression grammar's rules, shared by the files that implement them:
// parser.cpp (conditions and values) and parser_functions.cpp (the
// built-in functions, CAST and LASTAUTOINC). Not for use outside them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/value_text.h"
#include "sql/parser.h"

namespace kivo {

namespace parser_detail {

// Native error numbers raised by the expression parser.
namespace err {
constexpr int kIsNullArgument = 66;  // "Argument expected for function '%s' ..."
constexpr int kIsNullClose = 67;     // "')' symbol expected ..."
constexpr int kIsNullOpen = 69;      // "'(' symbol expected ..."
constexpr int kDatePartOpen = 71;
constexpr int kDatePartClose = 72;
constexpr int kDatePartArgument = 73;
constexpr int kExtractOpen = 74;
constexpr int kExtractSeparator = 75;  // "FROM or ',' expected ..."
constexpr int kNumericOpen = 78;
constexpr int kNumericArgument = 79;
constexpr int kNumericClose = 80;
constexpr int kNumericComma = 81;  // "Token '%s' expected ..."
constexpr int kNumericSecond = 82;
constexpr int kNumericOptional = 83;
constexpr int kOrOperand = 1037;  // "Boolean expression expected ..."
constexpr int kAndOperand = 1038;
constexpr int kEndOfCommand = 1039;  // "Unexpected end of SQL command found at line %d"
constexpr int kNotOperand = 1040;
constexpr int kNoPrimary = 1041;
constexpr int kAfterIs = 1042;  // "Unexpected token '%s' ..."
constexpr int kAfterIsNot = 1043;
constexpr int kTruthValue = 1044;  // "Token '%s' expected ..."
constexpr int kNotField = 1062;    // "Node is not field"
constexpr int kNoValue = 1070;     // "Cannot get expression value"
constexpr int kExpressionExpected = 1090;
constexpr int kNestingTooDeep = native_error::kNestingTooDeep;
constexpr int kStringOpen = 2094;
constexpr int kStringClose = 2095;
constexpr int kStringArgument = 2096;
constexpr int kCountAllClose = 2103;
constexpr int kAggregateOpen = 2104;
constexpr int kAggregateArgument = 2105;
constexpr int kAggregateClose = 2106;
constexpr int kParenthesisClose = 2111;
constexpr int kCastType = 2115;
constexpr int kCastClose = 2116;
constexpr int kSubstringOpen = 2126;
constexpr int kSubstringString = 2127;
constexpr int kSubstringSeparator = 2128;
constexpr int kSubstringStart = 2129;
constexpr int kSubstringAfterStart = 2130;
constexpr int kSubstringClose = 2131;
constexpr int kPosOpen = 2132;
constexpr int kPosClose = 2133;
constexpr int kPosFirst = 2134;
constexpr int kPosSeparator = 2135;
constexpr int kPosSecond = 2136;
constexpr int kLengthOpen = 2137;
constexpr int kLengthArgument = 2138;
constexpr int kLengthClose = 2139;
constexpr int kToDateArgument = 2141;
constexpr int kToDateOpen = 2142;
constexpr int kToDateComma = 2143;
constexpr int kDateFormat = 2144;
constexpr int kToDateClose = 2145;
constexpr int kToStringOpen = 2147;
constexpr int kToStringArgument = 2148;
constexpr int kToStringSeparator = 2149;
constexpr int kTableNameAfterMemory = 2152;
constexpr int kPasswordAfterPassword = 2153;
constexpr int kLastAutoIncClose = 2154;
constexpr int kLastAutoIncOpen = 2155;
}  // namespace err

// The reserved words the expression grammar looks for, by number.
struct Keywords {
  static std::uint16_t N(std::string_view w) { return ReservedWordNumber(w); }
  std::uint16_t OR = N("OR"), AND = N("AND"), NOT = N("NOT"), EXISTS = N("EXISTS");
  std::uint16_t IS = N("IS"), TRUE_ = N("TRUE"), FALSE_ = N("FALSE"), UNKNOWN = N("UNKNOWN");
  std::uint16_t NULL_ = N("NULL"), LIKE = N("LIKE"), BETWEEN = N("BETWEEN"), IN = N("IN");
  std::uint16_t SELECT = N("SELECT"), COUNT = N("COUNT"), DISTINCT = N("DISTINCT");
  std::uint16_t CAST = N("CAST"), AS = N("AS"), FROM = N("FROM"), FOR = N("FOR");
  std::uint16_t SUBSTRING = N("SUBSTRING"), POS = N("POS"), POSITION = N("POSITION");
  std::uint16_t LENGTH = N("LENGTH"), TOSTRING = N("TOSTRING"), TODATE = N("TODATE");
  std::uint16_t SYSDATE = N("SYSDATE"), NOW = N("NOW");
  std::uint16_t CURRENT_TIMESTAMP = N("CURRENT_TIMESTAMP"), CURRENT_DATE = N("CURRENT_DATE");
  std::uint16_t CURRENT_TIME = N("CURRENT_TIME"), EXTRACT = N("EXTRACT"), ISNULL = N("ISNULL");
  std::uint16_t LASTAUTOINC = N("LASTAUTOINC"), MEMORY = N("MEMORY"), PASSWORD = N("PASSWORD");
  std::uint16_t MOD = N("MOD"), SHL = N("SHL"), SHR = N("SHR"), XOR = N("XOR");
  std::uint16_t POWER = N("POWER"), POW = N("POW"), RANDOM = N("RANDOM"), RAND = N("RAND");
  std::uint16_t ROUND = N("ROUND"), TRUNCATE = N("TRUNCATE"), TRUNC = N("TRUNC"), HEX = N("HEX");
};

inline const Keywords& K() {
  static const Keywords keywords;
  return keywords;
}

struct WordOp {
  std::string_view word;
  std::uint8_t op;
};

inline constexpr WordOp kStringFunctions[] = {
    {"UPPER", opUpper}, {"LOWER", opLower}, {"TRIM", opTrim},
    {"LTRIM", opLTrim}, {"RTRIM", opRTrim},
};
inline constexpr WordOp kAggregates[] = {
    {"COUNT", opCount}, {"AVG", opAvg}, {"MAX", opMax}, {"MIN", opMin}, {"SUM", opSum},
};
inline constexpr WordOp kNumericFunctions[] = {
    {"ABS", opAbs},        {"CEILING", opCeiling}, {"CEIL", opCeiling}, {"FLOOR", opFloor},
    {"MOD", opMod},        {"POWER", opPower},     {"POW", opPower},    {"RANDOM", opRandom},
    {"RAND", opRandom},    {"ROUND", opRound},     {"SIGN", opSign},    {"TRUNCATE", opTruncate},
    {"TRUNC", opTruncate}, {"HEX", opHex},
};
inline constexpr WordOp kDateParts[] = {
    {"YEAR", opYear},       {"QUARTER", opQuarter},     {"MONTH", opMonth},
    {"DAY", opDay},         {"WEEKDAY", opWeekday},     {"DAYOFWEEK", opDayOfWeek},
    {"DAYNAME", opDayName}, {"MONTHNAME", opMonthName}, {"HOUR", opHour},
    {"MINUTE", opMinute},   {"SECOND", opSecond},       {"MSECOND", opMSecond},
};

// The operator of a reserved word in `table`, 0 when it is not there.
template <std::size_t N>
std::uint8_t ReservedOp(const TToken& token, const WordOp (&table)[N]) {
  if (token.TokenType != tktReservedWord) return 0;
  const std::string_view word = kReservedWords[token.ReservedWord];
  for (const WordOp& entry : table) {
    if (entry.word == word) return entry.op;
  }
  return 0;
}

inline bool IsCastTarget(std::uint8_t type) {
  switch (type) {
    case ftString:
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftBoolean:
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftWideString:
    case ftLargeint:
      return true;
    default:
      return false;
  }
}

template <class Node, class... Args>
TZorNodePtr Make(Args&&... args) {
  return std::make_unique<Node>(std::forward<Args>(args)...);
}

inline TZorNodePtr With(TZorNodePtr node, TZorNodePtr child) {
  node->AddChild(std::move(child));
  return node;
}

inline TZorNodePtr BooleanConst(bool v) {
  TZorValue value;
  value.SetBoolean(v);
  return Make<TZorExprNodeConst>(std::move(value));
}

inline TZorNodePtr NullConst() {
  TZorValue value;
  value.SetNull(ftInteger);
  return Make<TZorExprNodeConst>(std::move(value));
}

// The text of a SQL string literal: the text in apostrophes, each inner
// apostrophe doubled.
inline std::string QuotedLiteral(std::string_view text, char quote = '\'', char close = '\'') {
  std::string out(1, quote);
  for (char c : text) {
    out += c;
    if (c == close) out += c;
  }
  out += close;
  return out;
}

// The SQL text that reads back as a substituted parameter's value.
inline std::string ValueLiteral(const TToken& token) {
  const TZorValue& v = *token.Value;
  if (v.IsNull()) return "NULL";
  switch (v.DataType()) {
    case ftBoolean:
      return v.AsBoolean() ? "TRUE" : "FALSE";
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return std::string(token.Text);
    case ftFloat:
    case ftCurrency:
      return FloatToText(v.AsFloat(), '.');
    default:
      return QuotedLiteral(token.Text);
  }
}

}  // namespace parser_detail

using namespace parser_detail;

// The rules of the grammar over one expression's parse.
class TZorExpression::Grammar {
 public:
  explicit Grammar(TZorExpression& e) : e_(e) {}

  // Raises the "Boolean expression expected" errors; never fails silently.
  TZorNodePtr Condition();

  TZorNodePtr Value();

  // Raises the nesting error when `node` is taller than trees may be.
  TZorNodePtr CheckedHeight(TZorNodePtr node);

 private:
  // Counts one level of nesting for as long as it lives.
  class Nested {
   public:
    explicit Nested(Grammar& g) : g_(g) {
      if (++g_.depth_ > kMaxNesting) g_.RaiseNesting();
    }
    ~Nested() { --g_.depth_; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

   private:
    Grammar& g_;
  };

  [[noreturn]] void RaiseNesting() const {
    throw ZorException::CreateFmt(
        err::kNestingTooDeep, {},
        {std::int64_t{kMaxNesting}, std::int64_t{e_.token_.Line}, std::int64_t{e_.token_.Column}});
  }

  // "Argument expected for function '%s' at line %d, column %d".
  [[noreturn]] void RaiseArgument(int code, const std::string& function) const {
    throw ZorException::CreateFmt(
        code, {}, {function, std::int64_t{e_.token_.Line}, std::int64_t{e_.token_.Column}});
  }

  // The function name of the current token, as the messages show it.
  std::string Name() const { return AnsiUpperCase(e_.token_.Text); }

  bool IsSign(std::string_view s) const { return e_.IsSign(s); }
  bool IsWord(std::uint16_t w) const { return e_.IsReserved(w); }

  // Consumes ")" or raises `code`.
  void Close(int code);

  // Consumes "(" or raises `code`.
  void Open(int code);

  // A rule's result at the current position, remembered for the next
  // request at the same position (nested calls are read once per level).
  template <class Parse>
  TZorNodePtr Remembered(int rule, Parse parse) {
    const int start = e_.SavePosition();
    const std::int64_t key = (std::int64_t{rule} << 32) | static_cast<std::uint32_t>(start);
    if (const auto it = memo_.find(key); it != memo_.end()) {
      if (!it->second.node) return nullptr;
      e_.RestorePosition(it->second.end);
      return it->second.node->Clone();
    }
    TZorNodePtr node = parse();
    const int end = e_.SavePosition();
    // Single-token results are cheaper to read again than to copy.
    if (!node) {
      memo_.emplace(key, Memo{nullptr, end});
    } else if (end - start > 3) {
      memo_.emplace(key, Memo{node->Clone(), end});
    }
    return node;
  }

  // ---- Search conditions ------------------------------------------------

  TZorNodePtr AndTerm();

  bool IsAnd() const { return IsWord(K().AND) || IsSign("&&"); }

  TZorNodePtr NotFactor();

  bool LookAheadIs(std::uint16_t word) const;

  bool LookAheadIsSelect() const { return LookAheadIs(K().SELECT); }

  TZorNodePtr IsTest();

  // True when the current token continues an operand into a predicate.
  bool ContinuesOperand() const;

  // [IS [NOT] (TRUE | FALSE | UNKNOWN)] after a primary.
  TZorNodePtr TruthTest(TZorNodePtr primary);

  TZorNodePtr ConditionPrimary();

  std::uint8_t CompareOp() const;

  // The predicates all start with an operand and differ by the token after
  // it, so the operand is read once and the next token picks the form.
  TZorNodePtr Predicate();

  TZorNodePtr PredicateAfter(TZorNodePtr operand);

  TZorNodePtr Operand();

  // [NOT] EXISTS (SELECT ...).
  TZorNodePtr Exists();

  // At "(" before SELECT: the tokens up to the matching ")" as SQL text
  // that reads back as the same tokens. False when the statement ends first.
  bool SubQueryText(std::string& sql);

  // ---- Value expressions ------------------------------------------------

  TZorNodePtr Additive();

  std::uint8_t MulOp() const;

  TZorNodePtr Term();

  TZorNodePtr SignedFactor();

  TZorNodePtr Factor();

  TZorNodePtr Primary();

  TZorNodePtr PrimaryOnce();

  TZorNodePtr IntegerConst();

  TZorNodePtr FloatConst();

  bool IsNameToken() const;

  // name or qualifier.name; a name that is a reserved word, or one followed
  // by "(", is not a field reference. "qualifier.*" names every field.
  TZorNodePtr FieldReference();

  // COUNT, AVG, MAX, MIN, SUM [DISTINCT] "(" [DISTINCT] value ")".
  TZorNodePtr Aggregate(std::uint8_t op);
  TZorNodePtr NumericFunction(std::uint8_t op);
  // CAST "(" (NULL | value) ("," | AS) type ")".
  TZorNodePtr Cast();
  TZorNodePtr StringExpr();

  TZorNodePtr ConcatOperand();

  TZorNodePtr StringFunction();
  // SUBSTRING "(" string ("," | FROM) start [("," | FOR) length] ")".
  TZorNodePtr Substring();
  TZorNodePtr PosFunction();
  TZorNodePtr LengthFunction();
  // TOSTRING "(" value ("," | FROM) 'format' ")".
  TZorNodePtr ToStringFunction();
  // A date format: a quoted string.
  std::string FormatText();
  TZorNodePtr DateFunction();
  // The value and ")" of a date part.
  TZorNodePtr DatePartRest(std::uint8_t op, const std::string& name);
  // ISNULL "(" value ["," value] ")".
  TZorNodePtr IsNullFunction();
  bool IsTableNameToken() const;
  // LASTAUTOINC "(" [MEMORY] table [PASSWORD password] ")".
  TZorNodePtr LastAutoInc();
  struct Memo {
    TZorNodePtr node;  // null: the rule failed here
    int end;
  };
  static constexpr int kPrimaryRule = 1;
  static constexpr int kPosRule = 2;
  static constexpr int kLengthRule = 3;

  TZorExpression& e_;
  int depth_ = 0;
  std::unordered_map<std::int64_t, Memo> memo_;
};

}  // namespace kivo
