#include "sql/parser.h"

#include <cctype>
#include <unordered_map>
#include <utility>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/value_text.h"

namespace kivo {

namespace {

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

const Keywords& K() {
  static const Keywords keywords;
  return keywords;
}

struct WordOp {
  std::string_view word;
  std::uint8_t op;
};

constexpr WordOp kStringFunctions[] = {
    {"UPPER", opUpper}, {"LOWER", opLower}, {"TRIM", opTrim},
    {"LTRIM", opLTrim}, {"RTRIM", opRTrim},
};
constexpr WordOp kAggregates[] = {
    {"COUNT", opCount}, {"AVG", opAvg}, {"MAX", opMax}, {"MIN", opMin}, {"SUM", opSum},
};
constexpr WordOp kNumericFunctions[] = {
    {"ABS", opAbs},        {"CEILING", opCeiling}, {"CEIL", opCeiling}, {"FLOOR", opFloor},
    {"MOD", opMod},        {"POWER", opPower},     {"POW", opPower},    {"RANDOM", opRandom},
    {"RAND", opRandom},    {"ROUND", opRound},     {"SIGN", opSign},    {"TRUNCATE", opTruncate},
    {"TRUNC", opTruncate}, {"HEX", opHex},
};
constexpr WordOp kDateParts[] = {
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

bool IsCastTarget(std::uint8_t type) {
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

// A bare word (not an operator sign): letters, "_", and bytes of non-ASCII text.
bool IsWordText(std::string_view text) {
  if (text.empty()) return false;
  const auto c = static_cast<unsigned char>(text[0]);
  return std::isalpha(c) != 0 || c == '_' || c == '#' || c == '@' || c >= 0x80;
}

template <class Node, class... Args>
TZorNodePtr Make(Args&&... args) {
  return std::make_unique<Node>(std::forward<Args>(args)...);
}

TZorNodePtr With(TZorNodePtr node, TZorNodePtr child) {
  node->AddChild(std::move(child));
  return node;
}

TZorNodePtr BooleanConst(bool v) {
  TZorValue value;
  value.SetBoolean(v);
  return Make<TZorExprNodeConst>(std::move(value));
}

TZorNodePtr NullConst() {
  TZorValue value;
  value.SetNull(ftInteger);
  return Make<TZorExprNodeConst>(std::move(value));
}

// The text of a SQL string literal: the text in apostrophes, each inner
// apostrophe doubled.
std::string QuotedLiteral(std::string_view text, char quote = '\'', char close = '\'') {
  std::string out(1, quote);
  for (char c : text) {
    out += c;
    if (c == close) out += c;
  }
  out += close;
  return out;
}

// The SQL text that reads back as a substituted parameter's value.
std::string ValueLiteral(const TToken& token) {
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

}  // namespace

TKivoParser::TKivoParser(TKivoLexer* lexer) : lexer_(lexer) {
  if (lexer_ != nullptr) LoadToken();
}

void TKivoParser::RaiseAtToken(int code, std::vector<FormatArg> leading) const {
  leading.emplace_back(std::string(token_.Text));
  leading.emplace_back(std::int64_t{token_.Line});
  leading.emplace_back(std::int64_t{token_.Column});
  throw ZorException::CreateFmt(code, {}, leading);
}

// The rules of the grammar over one expression's parse.
class TZorExpression::Grammar {
 public:
  explicit Grammar(TZorExpression& e) : e_(e) {}

  // Raises the "Boolean expression expected" errors; never fails silently.
  TZorNodePtr Condition() {
    TZorNodePtr first = AndTerm();
    if (!first) e_.RaiseAtToken(err::kNoPrimary);
    if (!e_.IsReserved(K().OR)) return first;
    TZorNodePtr node = With(Make<TZorExprNodeBoolean>(opOr), std::move(first));
    while (e_.IsReserved(K().OR)) {
      e_.NextToken();
      TZorNodePtr operand = AndTerm();
      if (!operand) e_.RaiseAtToken(err::kOrOperand);
      node->AddChild(std::move(operand));
    }
    return node;
  }

  TZorNodePtr Value() {
    const int start = e_.SavePosition();
    if (TZorNodePtr n = Additive()) return n;
    e_.RestorePosition(start);
    if (TZorNodePtr n = StringExpr()) return n;
    e_.RestorePosition(start);
    if (TZorNodePtr n = DateFunction()) return n;
    e_.RestorePosition(start);
    if (e_.IsReserved(K().TRUE_) || e_.IsReserved(K().FALSE_)) {
      const bool v = e_.IsReserved(K().TRUE_);
      e_.NextToken();
      return BooleanConst(v);
    }
    if (e_.IsReserved(K().NULL_)) {
      e_.NextToken();
      return NullConst();
    }
    return nullptr;
  }

  // Raises the nesting error when `node` is taller than trees may be.
  TZorNodePtr CheckedHeight(TZorNodePtr node) {
    if (node && node->Height() > kMaxTreeHeight) RaiseNesting();
    return node;
  }

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
  void Close(int code) {
    if (!e_.IsRightParenthesis()) e_.RaiseAtToken(code);
    e_.NextToken();
  }

  // Consumes "(" or raises `code`.
  void Open(int code) {
    if (!e_.IsLeftParenthesis()) e_.RaiseAtToken(code);
    e_.NextToken();
  }

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

  TZorNodePtr AndTerm() {
    TZorNodePtr first = NotFactor();
    if (!first) return nullptr;
    if (!IsAnd()) return first;
    TZorNodePtr node = With(Make<TZorExprNodeBoolean>(opAnd), std::move(first));
    while (IsAnd()) {
      e_.NextToken();
      TZorNodePtr operand = NotFactor();
      if (!operand) e_.RaiseAtToken(err::kAndOperand);
      node->AddChild(std::move(operand));
    }
    return node;
  }

  bool IsAnd() const { return IsWord(K().AND) || IsSign("&&"); }

  TZorNodePtr NotFactor() {
    const int start = e_.SavePosition();
    if (IsWord(K().EXISTS) || (IsWord(K().NOT) && LookAheadIs(K().EXISTS))) {
      if (TZorNodePtr n = Exists()) return n;
      e_.RestorePosition(start);
    }
    // Without a NOT, failing leaves the error to the caller, which knows
    // whether an operand of OR or AND was missing.
    const bool negate = IsWord(K().NOT) || IsSign("!");
    if (negate) e_.NextToken();
    const int at = e_.SavePosition();
    TZorNodePtr test = IsTest();
    if (!test) {
      e_.RestorePosition(at);
      if (negate) e_.RaiseAtToken(err::kNotOperand);
      return nullptr;
    }
    if (!negate) return test;
    return With(Make<TZorExprNodeBoolean>(opNot), std::move(test));
  }

  bool LookAheadIs(std::uint16_t word) const {
    TToken next;
    return e_.lexer_->LookAheadToken(next) && TKivoLexer::IsReservedWord(next, word);
  }

  bool LookAheadIsSelect() const { return LookAheadIs(K().SELECT); }

  TZorNodePtr IsTest() {
    const int start = e_.SavePosition();
    if (IsWord(K().ISNULL)) {
      TZorNodePtr function = IsNullFunction();
      // ISNULL(...) followed by an operator is the first operand of a
      // predicate (ISNULL(a, 0) = 5), not a condition of its own.
      if (!ContinuesOperand()) return function;
      const int after = e_.SavePosition();
      e_.RestorePosition(start);
      if (TZorNodePtr primary = ConditionPrimary()) return TruthTest(std::move(primary));
      e_.RestorePosition(after);
      return function;
    }
    TZorNodePtr primary = ConditionPrimary();
    if (!primary) return nullptr;
    return TruthTest(std::move(primary));
  }

  // True when the current token continues an operand into a predicate.
  bool ContinuesOperand() const {
    if (CompareOp() != 0 || MulOp() != 0) return true;
    for (std::string_view s : {"+", "-", "||"}) {
      if (IsSign(s)) return true;
    }
    for (std::uint16_t w : {K().LIKE, K().NOT, K().IS, K().BETWEEN, K().IN}) {
      if (IsWord(w)) return true;
    }
    return false;
  }

  // [IS [NOT] (TRUE | FALSE | UNKNOWN)] after a primary.
  TZorNodePtr TruthTest(TZorNodePtr primary) {
    if (!IsWord(K().IS)) return primary;
    e_.NextToken();
    if (e_.token_.TokenType != tktReservedWord) e_.RaiseAtToken(err::kAfterIs);
    bool negated = false;
    if (IsWord(K().NOT)) {
      negated = true;
      e_.NextToken();
      if (e_.token_.TokenType != tktReservedWord) e_.RaiseAtToken(err::kAfterIsNot);
    }
    std::uint8_t wrap = opNone;
    if (IsWord(K().TRUE_)) {
      wrap = negated ? opNot : opNone;
    } else if (IsWord(K().FALSE_)) {
      wrap = negated ? opNone : opNot;
    } else if (IsWord(K().UNKNOWN)) {
      wrap = negated ? opIsNotNull : opIsNull;
    } else {
      e_.RaiseAtToken(err::kTruthValue, {std::string("TRUE, FALSE or UNKNOWN")});
    }
    e_.NextToken();
    if (wrap == opNone) return primary;
    return With(Make<TZorExprNodeBoolean>(wrap), std::move(primary));
  }

  TZorNodePtr ConditionPrimary() {
    if (!e_.IsLeftParenthesis()) return Predicate();
    e_.NextToken();
    Nested nested(*this);
    TZorNodePtr inner = Condition();
    Close(err::kParenthesisClose);
    return inner;
  }

  std::uint8_t CompareOp() const {
    if (e_.token_.TokenType != tktString) return 0;
    const std::string_view t = e_.token_.Text;
    if (t == "=" || t == "==") return opEqual;
    if (t == "<>" || t == "!=") return opNotEqual;
    if (t == ">") return opGreater;
    if (t == "<") return opLess;
    if (t == ">=") return opGreaterOrEqual;
    if (t == "<=") return opLessOrEqual;
    return 0;
  }

  // The predicates all start with an operand and differ by the token after
  // it, so the operand is read once and the next token picks the form.
  TZorNodePtr Predicate() {
    const int start = e_.SavePosition();
    if (IsWord(K().TRUE_) || IsWord(K().FALSE_)) {
      const bool v = IsWord(K().TRUE_);
      e_.NextToken();
      return BooleanConst(v);
    }
    if (TZorNodePtr operand = Operand()) {
      if (TZorNodePtr n = PredicateAfter(std::move(operand))) return n;
    }
    e_.RestorePosition(start);
    return Exists();
  }

  TZorNodePtr PredicateAfter(TZorNodePtr operand) {
    if (const std::uint8_t op = CompareOp()) {
      e_.NextToken();
      TZorNodePtr right = Operand();
      if (!right) return nullptr;
      return With(With(Make<TZorExprNodeComparison>(op), std::move(operand)), std::move(right));
    }
    if (IsWord(K().IS)) {
      e_.NextToken();
      const bool negated = IsWord(K().NOT);
      if (negated) e_.NextToken();
      if (!IsWord(K().NULL_)) return nullptr;
      e_.NextToken();
      return With(Make<TZorExprNodeBoolean>(negated ? opIsNotNull : opIsNull), std::move(operand));
    }
    const bool negated = IsWord(K().NOT);
    if (negated) e_.NextToken();
    if (IsWord(K().LIKE)) {
      e_.NextToken();
      TZorNodePtr pattern = Operand();
      if (!pattern) return nullptr;
      return With(With(Make<TZorExprNodeBoolean>(negated ? opNotLike : opLike), std::move(operand)),
                  std::move(pattern));
    }
    if (IsWord(K().BETWEEN)) {
      e_.NextToken();
      TZorNodePtr low = Operand();
      if (!low || !IsWord(K().AND)) return nullptr;
      e_.NextToken();
      TZorNodePtr high = Operand();
      if (!high) return nullptr;
      TZorNodePtr node = Make<TZorExprNodeBoolean>(negated ? opNotBetween : opBetween);
      node->AddChild(std::move(operand));
      node->AddChild(std::move(low));
      node->AddChild(std::move(high));
      return node;
    }
    if (IsWord(K().IN)) {
      e_.NextToken();
      if (!e_.IsLeftParenthesis()) return nullptr;
      if (LookAheadIsSelect()) {
        std::string sql;
        if (!SubQueryText(sql)) return nullptr;
        auto node = std::make_unique<TZorExprNodeSubQueryIN>(std::move(sql));
        node->Negated = negated;
        node->AddChild(std::move(operand));
        return node;
      }
      e_.NextToken();
      Nested nested(*this);
      TZorNodePtr node =
          With(Make<TZorExprNodeBoolean>(negated ? opNotIn : opIn), std::move(operand));
      // After an item "," continues the list and ")" ends it; any other
      // token starts the next item.
      while (true) {
        TZorNodePtr item = Value();
        if (!item) e_.RaiseAtToken(err::kExpressionExpected);
        node->AddChild(std::move(item));
        if (e_.IsRightParenthesis()) {
          e_.NextToken();
          return node;
        }
        if (e_.IsComma()) e_.NextToken();
      }
    }
    return nullptr;
  }

  TZorNodePtr Operand() {
    if (IsWord(K().NULL_)) {
      e_.NextToken();
      return NullConst();
    }
    return Value();
  }

  // [NOT] EXISTS (SELECT ...).
  TZorNodePtr Exists() {
    const bool negated = IsWord(K().NOT);
    if (negated) e_.NextToken();
    if (!IsWord(K().EXISTS)) return nullptr;
    e_.NextToken();
    if (!e_.IsLeftParenthesis() || !LookAheadIsSelect()) return nullptr;
    std::string sql;
    if (!SubQueryText(sql)) return nullptr;
    auto node = std::make_unique<TZorExprNodeSubQueryExists>(std::move(sql));
    node->Negated = negated;
    return node;
  }

  // At "(" before SELECT: the tokens up to the matching ")" as SQL text
  // that reads back as the same tokens. False when the statement ends first.
  bool SubQueryText(std::string& sql) {
    e_.NextToken();  // SELECT
    sql = "SELECT";
    e_.NextToken();
    int depth = 1;
    bool after_dot = false;
    while (!e_.AtEnd()) {
      const TToken& t = e_.token_;
      if (t.TokenType == tktLeftParenthesis) ++depth;
      if (t.TokenType == tktRightParenthesis && --depth == 0) {
        e_.NextToken();
        return true;
      }
      if (t.TokenType != tktDot && !after_dot) sql += ' ';
      after_dot = t.TokenType == tktDot;
      if (t.Value != nullptr) {
        sql += ValueLiteral(t);
      } else if (t.TokenType == tktBracketedString) {
        sql += QuotedLiteral(t.Text, '[', ']');
      } else if (t.TokenType == tktQuotedString) {
        sql += QuotedLiteral(t.Text);
      } else if (t.TokenType == tktParam) {
        sql += ':';
        sql += t.Text;
      } else {
        sql += t.Text;
      }
      e_.NextToken();
    }
    return false;
  }

  // ---- Value expressions ------------------------------------------------

  TZorNodePtr Additive() {
    TZorNodePtr first = Term();
    if (!first) return nullptr;
    TZorNodePtr result;
    if (IsSign("+") || IsSign("-")) {
      result = With(Make<TZorExprNodeArithmetic>(opAdd), std::move(first));
      while (IsSign("+") || IsSign("-")) {
        const bool minus = IsSign("-");
        e_.NextToken();
        TZorNodePtr term = Term();
        if (!term) return nullptr;
        if (minus) term = With(Make<TZorExprNodeArithmetic>(opNegate), std::move(term));
        result->AddChild(std::move(term));
      }
    } else {
      result = std::move(first);
    }
    // Leave "a || b" to the concatenation.
    if (IsSign("||")) return nullptr;
    return result;
  }

  std::uint8_t MulOp() const {
    if (e_.token_.TokenType == tktReservedWord) {
      if (IsWord(K().MOD)) return opMod;
      if (IsWord(K().SHL)) return opShiftLeft;
      if (IsWord(K().SHR)) return opShiftRight;
      if (IsWord(K().XOR)) return opXor;
      return 0;
    }
    if (e_.token_.TokenType != tktString) return 0;
    const std::string_view t = e_.token_.Text;
    if (t == "*") return opMultiply;
    if (t == "/") return opDivide;
    if (t == "%") return opMod;
    if (t == "&") return opBitAnd;
    if (t == "|") return opBitOr;
    if (t == "<<") return opShiftLeft;
    if (t == ">>") return opShiftRight;
    if (t == "^") return opXor;
    return 0;
  }

  TZorNodePtr Term() {
    if (IsSign("!") || IsSign("~")) {
      const bool logical = IsSign("!");
      e_.NextToken();
      TZorNodePtr factor = SignedFactor();
      if (!factor) return nullptr;
      if (logical) return With(Make<TZorExprNodeBoolean>(opNot), std::move(factor));
      return With(Make<TZorExprNodeArithmetic>(opBitNot), std::move(factor));
    }
    TZorNodePtr left = SignedFactor();
    if (!left) return nullptr;
    // A run of one operator is one node with every operand; each change of
    // operator makes a node over the term so far.
    TZorExprNode* run = nullptr;
    while (const std::uint8_t op = MulOp()) {
      e_.NextToken();
      TZorNodePtr right = SignedFactor();
      if (!right) return nullptr;
      if (run != nullptr && run->Operator == op) {
        run->AddChild(std::move(right));
        continue;
      }
      TZorNodePtr node = With(Make<TZorExprNodeArithmetic>(op), std::move(left));
      node->AddChild(std::move(right));
      run = node.get();
      left = CheckedHeight(std::move(node));
    }
    return left;
  }

  TZorNodePtr SignedFactor() {
    const bool minus = IsSign("-");
    if (minus || IsSign("+")) e_.NextToken();
    TZorNodePtr factor = Factor();
    if (!factor) return nullptr;
    if (!minus) return factor;
    return With(Make<TZorExprNodeArithmetic>(opNegate), std::move(factor));
  }

  TZorNodePtr Factor() {
    const int start = e_.SavePosition();
    if (TZorNodePtr primary = Primary()) {
      // Strings and Booleans are left to the string expression.
      const auto* constant = dynamic_cast<const TZorExprNodeConst*>(primary.get());
      if (constant != nullptr && !IsNumericType(constant->Value.DataType())) return nullptr;
      return primary;
    }
    e_.RestorePosition(start);
    if (IsWord(K().POS) || IsWord(K().POSITION)) return PosFunction();
    if (IsWord(K().LENGTH)) return LengthFunction();
    if (IsWord(K().LASTAUTOINC)) return LastAutoInc();
    if (IsWord(K().ISNULL)) return IsNullFunction();
    return nullptr;
  }

  TZorNodePtr Primary() {
    return Remembered(kPrimaryRule, [this] { return PrimaryOnce(); });
  }

  TZorNodePtr PrimaryOnce() {
    const TToken& t = e_.token_;
    if (t.Value != nullptr) {
      TZorNodePtr node = Make<TZorExprNodeConst>(*t.Value);
      e_.NextToken();
      return node;
    }
    if (t.TokenType == tktInt) return IntegerConst();
    if (t.TokenType == tktFloat) return FloatConst();
    if (t.TokenType == tktQuotedString) {
      TZorValue value;
      value.SetString(t.Text);
      if (value.IsNull()) value.SetNull(ftString);
      e_.NextToken();
      return Make<TZorExprNodeConst>(std::move(value));
    }
    const int start = e_.SavePosition();
    if (TZorNodePtr field = FieldReference()) return field;
    e_.RestorePosition(start);
    if (e_.IsLeftParenthesis() && LookAheadIsSelect()) {
      std::string sql;
      if (SubQueryText(sql)) return Make<TZorExprNodeSubQuery>(std::move(sql));
      e_.RestorePosition(start);
    }
    if (IsWord(K().COUNT)) {
      e_.NextToken();
      if (e_.IsLeftParenthesis()) {
        e_.NextToken();
        if (IsSign("*")) {
          e_.NextToken();
          Close(err::kCountAllClose);
          return Make<TZorExprNodeAggregated>(opCountAll, false);
        }
      }
      e_.RestorePosition(start);
    }
    if (t.TokenType == tktReservedWord || t.TokenType == tktString ||
        t.TokenType == tktBracketedString) {
      const std::string upper = AnsiUpperCase(t.Text);
      for (const WordOp& entry : kAggregates) {
        if (entry.word == upper) return Aggregate(entry.op);
      }
    }
    if (const std::uint8_t op = ReservedOp(t, kNumericFunctions)) return NumericFunction(op);
    if (e_.IsLeftParenthesis()) {
      e_.NextToken();
      Nested nested(*this);
      TZorNodePtr inner = Value();
      if (!inner) return nullptr;
      Close(err::kParenthesisClose);
      return CheckedHeight(std::move(inner));
    }
    if (IsWord(K().CAST)) return Cast();
    return nullptr;
  }

  TZorNodePtr IntegerConst() {
    std::int64_t v = 0;
    if (!TryTextToInt(e_.token_.Text, 32, false, &v)) {
      throw EConvertError("'" + std::string(e_.token_.Text) + "' is not a valid integer value");
    }
    TZorValue value;
    value.SetInteger(static_cast<std::int32_t>(v));
    e_.NextToken();
    return Make<TZorExprNodeConst>(std::move(value));
  }

  TZorNodePtr FloatConst() {
    double v = 0;
    if (!TryTextToFloat(e_.token_.Text, '.', &v)) {
      throw EConvertError("'" + std::string(e_.token_.Text) +
                          "' is not a valid floating point value");
    }
    TZorValue value;
    value.SetFloat(v);
    e_.NextToken();
    return Make<TZorExprNodeConst>(std::move(value));
  }

  bool IsNameToken() const {
    const TToken& t = e_.token_;
    if (t.Value != nullptr) return false;
    return t.TokenType == tktBracketedString || t.TokenType == tktReservedWord ||
           (t.TokenType == tktString && IsWordText(t.Text));
  }

  // name or qualifier.name; a name that is a reserved word, or one followed
  // by "(", is not a field reference. "qualifier.*" names every field.
  TZorNodePtr FieldReference() {
    if (!IsNameToken()) return nullptr;
    std::string table;
    std::string field(e_.token_.Text);
    bool reserved = e_.token_.TokenType == tktReservedWord;
    e_.NextToken();
    if (e_.token_.TokenType == tktDot) {
      e_.NextToken();
      if (!IsNameToken() && !IsSign("*")) return nullptr;
      table = std::move(field);
      field = std::string(e_.token_.Text);
      reserved = e_.token_.TokenType == tktReservedWord;
      e_.NextToken();
    }
    if (reserved || e_.IsLeftParenthesis()) return nullptr;
    return Make<TZorExprNodeField>(std::move(table), std::move(field));
  }

  // COUNT, AVG, MAX, MIN, SUM [DISTINCT] "(" [DISTINCT] value ")".
  TZorNodePtr Aggregate(std::uint8_t op) {
    const std::string name = Name();
    e_.NextToken();
    bool distinct = IsWord(K().DISTINCT);
    if (distinct) e_.NextToken();
    Open(err::kAggregateOpen);
    Nested nested(*this);
    if (IsWord(K().DISTINCT)) {
      distinct = true;
      e_.NextToken();
    }
    TZorNodePtr argument = Value();
    if (!argument) RaiseArgument(err::kAggregateArgument, name);
    Close(err::kAggregateClose);
    return With(Make<TZorExprNodeAggregated>(op, distinct), std::move(argument));
  }

  TZorNodePtr NumericFunction(std::uint8_t op) {
    const std::string name = Name();
    e_.NextToken();
    TZorNodePtr node = Make<TZorExprNodeArithmetic>(op);
    if (op == opRandom && !e_.IsLeftParenthesis()) return node;
    Open(err::kNumericOpen);
    Nested nested(*this);
    TZorNodePtr first = Value();
    if (!first) RaiseArgument(err::kNumericArgument, name);
    node->AddChild(std::move(first));
    if (op == opMod || op == opPower) {
      if (!e_.IsComma()) e_.RaiseAtToken(err::kNumericComma, {std::string(",")});
      e_.NextToken();
      TZorNodePtr second = Value();
      if (!second) RaiseArgument(err::kNumericSecond, name);
      node->AddChild(std::move(second));
    } else if ((op == opRound || op == opTruncate || op == opHex) && e_.IsComma()) {
      e_.NextToken();
      TZorNodePtr second = Value();
      if (!second) RaiseArgument(err::kNumericOptional, name);
      node->AddChild(std::move(second));
    }
    Close(err::kNumericClose);
    return node;
  }

  // CAST "(" (NULL | value) ("," | AS) type ")".
  TZorNodePtr Cast() {
    e_.NextToken();
    if (!e_.IsLeftParenthesis()) return nullptr;
    e_.NextToken();
    Nested nested(*this);
    TZorNodePtr operand;
    if (IsWord(K().NULL_)) {
      operand = NullConst();
      e_.NextToken();
    } else {
      operand = Value();
      if (!operand) return nullptr;
    }
    if (!e_.IsComma() && !IsWord(K().AS)) return nullptr;
    e_.NextToken();
    const std::uint8_t type = TZorValue::TypeFromSQLName(e_.token_.Text);
    if (!IsCastTarget(type)) {
      throw ZorException::CreateFmt(err::kCastType, {}, {std::string(TZorValue::TypeName(type))});
    }
    e_.NextToken();
    Close(err::kCastClose);
    return With(Make<TZorExprNodeCast>(type), std::move(operand));
  }

  // A concatenation of operands joined by "||" or "+", or one operand.
  TZorNodePtr StringExpr() {
    TZorNodePtr first = ConcatOperand();
    if (!first) return nullptr;
    if (!IsSign("||") && !IsSign("+")) return first;
    TZorNodePtr node = With(Make<TZorExprNodeStringFunction>(opConcat), std::move(first));
    while (IsSign("||") || IsSign("+")) {
      e_.NextToken();
      TZorNodePtr operand = ConcatOperand();
      if (!operand) e_.RaiseAtToken(err::kExpressionExpected);
      node->AddChild(std::move(operand));
    }
    return node;
  }

  TZorNodePtr ConcatOperand() {
    const int start = e_.SavePosition();
    if (TZorNodePtr primary = Primary()) return primary;
    e_.RestorePosition(start);
    return StringFunction();
  }

  TZorNodePtr StringFunction() {
    if (const std::uint8_t op = ReservedOp(e_.token_, kStringFunctions)) {
      const std::string name = Name();
      e_.NextToken();
      Open(err::kStringOpen);
      Nested nested(*this);
      TZorNodePtr argument = StringExpr();
      if (!argument) e_.RaiseAtToken(err::kStringArgument, {name});
      Close(err::kStringClose);
      return With(Make<TZorExprNodeStringFunction>(op), std::move(argument));
    }
    if (IsWord(K().SUBSTRING)) return Substring();
    if (IsWord(K().POS) || IsWord(K().POSITION)) return PosFunction();
    if (IsWord(K().LENGTH)) return LengthFunction();
    if (IsWord(K().TOSTRING)) return ToStringFunction();
    return nullptr;
  }

  // SUBSTRING "(" string ("," | FROM) start [("," | FOR) length] ")".
  TZorNodePtr Substring() {
    const std::string name = Name();
    e_.NextToken();
    Open(err::kSubstringOpen);
    Nested nested(*this);
    TZorNodePtr node = Make<TZorExprNodeStringFunction>(opSubstring);
    TZorNodePtr text = StringExpr();
    if (!text) RaiseArgument(err::kSubstringString, name);
    node->AddChild(std::move(text));
    if (!e_.IsComma() && !IsWord(K().FROM)) {
      e_.RaiseAtToken(err::kSubstringSeparator, {std::string(",' or 'from")});
    }
    e_.NextToken();
    TZorNodePtr start = Additive();
    if (!start) RaiseArgument(err::kSubstringStart, name);
    node->AddChild(std::move(start));
    if (e_.IsRightParenthesis()) {
      e_.NextToken();
      return node;
    }
    if (!e_.IsComma() && !IsWord(K().FOR)) {
      e_.RaiseAtToken(err::kSubstringAfterStart, {std::string(")' or ',' or 'FOR")});
    }
    e_.NextToken();
    TZorNodePtr length = Additive();
    if (!length) RaiseArgument(err::kSubstringStart, name);
    node->AddChild(std::move(length));
    Close(err::kSubstringClose);
    return node;
  }

  TZorNodePtr PosFunction() {
    return Remembered(kPosRule, [this] {
      const std::string name = Name();
      e_.NextToken();
      Open(err::kPosOpen);
      Nested nested(*this);
      TZorNodePtr node = Make<TZorExprNodeStringFunction>(opPos);
      TZorNodePtr part = StringExpr();
      if (!part) RaiseArgument(err::kPosFirst, name);
      node->AddChild(std::move(part));
      if (!e_.IsComma() && !IsWord(K().IN)) {
        e_.RaiseAtToken(err::kPosSeparator, {std::string(",' or 'IN")});
      }
      e_.NextToken();
      TZorNodePtr whole = StringExpr();
      if (!whole) RaiseArgument(err::kPosSecond, name);
      node->AddChild(std::move(whole));
      Close(err::kPosClose);
      return node;
    });
  }

  TZorNodePtr LengthFunction() {
    return Remembered(kLengthRule, [this] {
      const std::string name = Name();
      e_.NextToken();
      Open(err::kLengthOpen);
      Nested nested(*this);
      TZorNodePtr argument = StringExpr();
      if (!argument) RaiseArgument(err::kLengthArgument, name);
      Close(err::kLengthClose);
      return With(Make<TZorExprNodeStringFunction>(opLength), std::move(argument));
    });
  }

  // TOSTRING "(" value ("," | FROM) 'format' ")".
  TZorNodePtr ToStringFunction() {
    const std::string name = Name();
    e_.NextToken();
    Open(err::kToStringOpen);
    Nested nested(*this);
    TZorNodePtr value = Value();
    if (!value) RaiseArgument(err::kToStringArgument, name);
    if (!e_.IsComma() && !IsWord(K().FROM)) {
      e_.RaiseAtToken(err::kToStringSeparator, {std::string(",")});
    }
    e_.NextToken();
    std::string format = FormatText();
    Close(err::kSubstringClose);
    return With(Make<TZorExprNodeDateFunction>(opToString, std::move(format)), std::move(value));
  }

  // A date format: a quoted string.
  std::string FormatText() {
    if (e_.token_.TokenType != tktQuotedString) e_.RaiseAtToken(err::kDateFormat);
    std::string format(e_.token_.Text);
    e_.NextToken();
    return format;
  }

  TZorNodePtr DateFunction() {
    const TToken& t = e_.token_;
    if (IsWord(K().SYSDATE) || IsWord(K().NOW) || IsWord(K().CURRENT_TIMESTAMP) ||
        IsWord(K().CURRENT_DATE) || IsWord(K().CURRENT_TIME)) {
      const std::uint8_t op = IsWord(K().CURRENT_DATE)   ? opCurrentDate
                              : IsWord(K().CURRENT_TIME) ? opCurrentTime
                                                         : opNow;
      e_.NextToken();
      return Make<TZorExprNodeDateFunction>(op, std::string());
    }
    if (IsWord(K().TODATE)) {
      const std::string name = Name();
      e_.NextToken();
      Open(err::kToDateOpen);
      Nested nested(*this);
      TZorNodePtr text = StringExpr();
      if (!text) RaiseArgument(err::kToDateArgument, name);
      if (!e_.IsComma()) e_.RaiseAtToken(err::kToDateComma, {std::string(",")});
      e_.NextToken();
      std::string format = FormatText();
      Close(err::kToDateClose);
      return With(Make<TZorExprNodeDateFunction>(opToDate, std::move(format)), std::move(text));
    }
    if (IsWord(K().EXTRACT)) {
      e_.NextToken();
      Open(err::kExtractOpen);
      Nested nested(*this);
      const std::uint8_t op = ReservedOp(t, kDateParts);
      if (op == 0) e_.RaiseAtToken(err::kExpressionExpected);
      const std::string name = Name();
      e_.NextToken();
      if (!e_.IsComma() && !IsWord(K().FROM)) e_.RaiseAtToken(err::kExtractSeparator);
      e_.NextToken();
      return DatePartRest(op, name);
    }
    if (const std::uint8_t op = ReservedOp(t, kDateParts)) {
      const std::string name = Name();
      e_.NextToken();
      Open(err::kDatePartOpen);
      Nested nested(*this);
      return DatePartRest(op, name);
    }
    return nullptr;
  }

  // The value and ")" of a date part.
  TZorNodePtr DatePartRest(std::uint8_t op, const std::string& name) {
    TZorNodePtr value = Value();
    if (!value) RaiseArgument(err::kDatePartArgument, name);
    Close(err::kDatePartClose);
    return With(Make<TZorExprNodeDateFunction>(op, std::string()), std::move(value));
  }

  // ISNULL "(" value ["," value] ")".
  TZorNodePtr IsNullFunction() {
    const std::string name = Name();
    e_.NextToken();
    Open(err::kIsNullOpen);
    Nested nested(*this);
    TZorNodePtr node = Make<TZorExprNodeIsNullFunction>();
    TZorNodePtr first = Value();
    if (!first) RaiseArgument(err::kIsNullArgument, name);
    node->AddChild(std::move(first));
    if (e_.IsComma()) {
      e_.NextToken();
      TZorNodePtr second = Value();
      if (!second) RaiseArgument(err::kIsNullArgument, name);
      node->AddChild(std::move(second));
    }
    Close(err::kIsNullClose);
    return node;
  }

  bool IsTableNameToken() const {
    const TTokenType k = e_.token_.TokenType;
    return k == tktString || k == tktQuotedString || k == tktBracketedString ||
           k == tktReservedWord;
  }

  // LASTAUTOINC "(" [MEMORY] table [PASSWORD password] ")".
  TZorNodePtr LastAutoInc() {
    e_.NextToken();
    Open(err::kLastAutoIncOpen);
    auto node = std::make_unique<TZorExprNodeSystem>();
    if (IsWord(K().MEMORY)) {
      node->InMemory = true;
      e_.NextToken();
      if (!IsTableNameToken()) e_.RaiseAtToken(err::kTableNameAfterMemory);
    }
    if (IsTableNameToken()) {
      node->TableName = std::string(e_.token_.Text);
      e_.NextToken();
    }
    if (IsWord(K().PASSWORD)) {
      e_.NextToken();
      if (!IsTableNameToken()) e_.RaiseAtToken(err::kPasswordAfterPassword);
      node->Password = std::string(e_.token_.Text);
      e_.NextToken();
    }
    Close(err::kLastAutoIncClose);
    return node;
  }

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

TZorExpression::TZorExpression(TKivoLexer& lexer) : TKivoParser(&lexer) {}

TZorExpression::TZorExpression(TZorNodePtr root) : TKivoParser(nullptr), root_(std::move(root)) {}

TZorExpression::~TZorExpression() = default;

namespace {

// Moves the operands of nested AND nodes into `root`, in their order.
void FlattenAnd(TZorExprNode& root) {
  std::vector<TZorNodePtr> pending = root.TakeChildren();
  std::vector<std::vector<TZorNodePtr>> stack;
  std::vector<std::size_t> next;
  stack.push_back(std::move(pending));
  next.push_back(0);
  while (!stack.empty()) {
    if (next.back() == stack.back().size()) {
      stack.pop_back();
      next.pop_back();
      continue;
    }
    TZorNodePtr node = std::move(stack.back()[next.back()++]);
    if (node->Operator == opAnd && dynamic_cast<TZorExprNodeBoolean*>(node.get()) != nullptr) {
      stack.push_back(node->TakeChildren());
      next.push_back(0);
    } else {
      root.AddChild(std::move(node));
    }
  }
}

}  // namespace

void TZorExpression::ParseSearchCondition() {
  root_.reset();
  LoadToken();
  if (AtEnd()) {
    throw ZorException::CreateFmt(err::kEndOfCommand, {}, {std::int64_t{token_.Line}});
  }
  Grammar grammar(*this);
  TZorNodePtr root = grammar.CheckedHeight(grammar.Condition());
  if (root && root->Operator == opAnd && dynamic_cast<TZorExprNodeBoolean*>(root.get())) {
    FlattenAnd(*root);
  }
  root_ = std::move(root);
}

void TZorExpression::ParseValueExpression() {
  root_.reset();
  LoadToken();
  if (AtEnd()) {
    throw ZorException::CreateFmt(err::kEndOfCommand, {}, {std::int64_t{token_.Line}});
  }
  const int start = SavePosition();
  Grammar grammar(*this);
  root_ = grammar.CheckedHeight(grammar.Value());
  if (!root_) RestorePosition(start);
}

bool TZorExpression::IsField() const {
  return dynamic_cast<const TZorExprNodeField*>(root_.get()) != nullptr;
}

void TZorExpression::GetFieldName(std::string& table, std::string& field) const {
  const auto* node = dynamic_cast<const TZorExprNodeField*>(root_.get());
  if (node == nullptr) throw ZorException::Create(err::kNotField, {});
  table = node->TableName;
  field = node->FieldName;
}

void TZorExpression::Bind(const TZorFieldSource& source) {
  if (root_) root_->Bind(source);
}

const TZorValue& TZorExpression::Evaluate(TZorEvalContext* context) {
  if (!root_) throw ZorException::Create(err::kNoValue);
  return root_->Evaluate(context);
}

void TZorExpression::ResetAggregates() {
  if (root_) root_->ResetAggregates();
}

void TZorExpression::Accumulate(TZorEvalContext* context) {
  if (root_) root_->Accumulate(context);
}

std::uint8_t TZorExpression::GetResultType() const { return root_ ? root_->GetResultType() : 0; }

std::int32_t TZorExpression::GetResultSize() const { return root_ ? root_->GetResultSize() : 0; }

bool TZorExpression::IsAggregated() const { return root_ && root_->IsAggregated(); }

bool TZorExpression::IsFieldFree() const { return !root_ || root_->IsFieldFree(); }

std::string TZorExpression::Dump() const {
  std::string out;
  if (root_) root_->Dump(0, out);
  return out;
}

}  // namespace kivo
