#include "sql/parser.h"

#include <utility>

#include "platform/errors.h"
#include "sql/parser_grammar.h"

namespace kivo {

TZorNodePtr TZorExpression::Grammar::Condition() {
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

TZorNodePtr TZorExpression::Grammar::Value() {
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

TZorNodePtr TZorExpression::Grammar::CheckedHeight(TZorNodePtr node) {
  if (node && node->Height() > kMaxTreeHeight) RaiseNesting();
  return node;
}

void TZorExpression::Grammar::Close(int code) {
  if (!e_.IsRightParenthesis()) e_.RaiseAtToken(code);
  e_.NextToken();
}

void TZorExpression::Grammar::Open(int code) {
  if (!e_.IsLeftParenthesis()) e_.RaiseAtToken(code);
  e_.NextToken();
}

TZorNodePtr TZorExpression::Grammar::AndTerm() {
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

TZorNodePtr TZorExpression::Grammar::NotFactor() {
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

bool TZorExpression::Grammar::LookAheadIs(std::uint16_t word) const {
  TToken next;
  return e_.lexer_->LookAheadToken(next) && TKivoLexer::IsReservedWord(next, word);
}

TZorNodePtr TZorExpression::Grammar::IsTest() {
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

bool TZorExpression::Grammar::ContinuesOperand() const {
  if (CompareOp() != 0 || MulOp() != 0) return true;
  for (std::string_view s : {"+", "-", "||"}) {
    if (IsSign(s)) return true;
  }
  for (std::uint16_t w : {K().LIKE, K().NOT, K().IS, K().BETWEEN, K().IN}) {
    if (IsWord(w)) return true;
  }
  return false;
}

TZorNodePtr TZorExpression::Grammar::TruthTest(TZorNodePtr primary) {
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

TZorNodePtr TZorExpression::Grammar::ConditionPrimary() {
  if (!e_.IsLeftParenthesis()) return Predicate();
  e_.NextToken();
  Nested nested(*this);
  TZorNodePtr inner = Condition();
  Close(err::kParenthesisClose);
  return inner;
}

std::uint8_t TZorExpression::Grammar::CompareOp() const {
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

TZorNodePtr TZorExpression::Grammar::Predicate() {
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

TZorNodePtr TZorExpression::Grammar::PredicateAfter(TZorNodePtr operand) {
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

TZorNodePtr TZorExpression::Grammar::Operand() {
  if (IsWord(K().NULL_)) {
    e_.NextToken();
    return NullConst();
  }
  return Value();
}

TZorNodePtr TZorExpression::Grammar::Exists() {
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

bool TZorExpression::Grammar::SubQueryText(std::string& sql) {
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

TZorNodePtr TZorExpression::Grammar::Additive() {
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

std::uint8_t TZorExpression::Grammar::MulOp() const {
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

TZorNodePtr TZorExpression::Grammar::Term() {
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

TZorNodePtr TZorExpression::Grammar::SignedFactor() {
  const bool minus = IsSign("-");
  if (minus || IsSign("+")) e_.NextToken();
  TZorNodePtr factor = Factor();
  if (!factor) return nullptr;
  if (!minus) return factor;
  return With(Make<TZorExprNodeArithmetic>(opNegate), std::move(factor));
}

TZorNodePtr TZorExpression::Grammar::Factor() {
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

TZorNodePtr TZorExpression::Grammar::Primary() {
  return Remembered(kPrimaryRule, [this] { return PrimaryOnce(); });
}

TZorNodePtr TZorExpression::Grammar::PrimaryOnce() {
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

TZorNodePtr TZorExpression::Grammar::IntegerConst() {
  std::int64_t v = 0;
  if (!TryTextToInt(e_.token_.Text, 32, false, &v)) {
    throw EConvertError("'" + std::string(e_.token_.Text) + "' is not a valid integer value");
  }
  TZorValue value;
  value.SetInteger(static_cast<std::int32_t>(v));
  e_.NextToken();
  return Make<TZorExprNodeConst>(std::move(value));
}

TZorNodePtr TZorExpression::Grammar::FloatConst() {
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

bool TZorExpression::Grammar::IsNameToken() const {
  const TToken& t = e_.token_;
  if (t.Value != nullptr) return false;
  return t.TokenType == tktBracketedString || t.TokenType == tktReservedWord ||
         (t.TokenType == tktString && IsWordText(t.Text));
}

TZorNodePtr TZorExpression::Grammar::FieldReference() {
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

TZorNodePtr TZorExpression::Grammar::StringExpr() {
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

TZorNodePtr TZorExpression::Grammar::ConcatOperand() {
  const int start = e_.SavePosition();
  if (TZorNodePtr primary = Primary()) return primary;
  e_.RestorePosition(start);
  return StringFunction();
}

TKivoParser::TKivoParser(TKivoLexer* lexer) : lexer_(lexer) {
  if (lexer_ != nullptr) LoadToken();
}

void TKivoParser::RaiseAtToken(int code, std::vector<FormatArg> leading) const {
  leading.emplace_back(std::string(token_.Text));
  leading.emplace_back(std::int64_t{token_.Line});
  leading.emplace_back(std::int64_t{token_.Column});
  throw ZorException::CreateFmt(code, {}, leading);
}

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
