#include "sql/parser_grammar.h"

namespace kivo {

TZorNodePtr TZorExpression::Grammar::Aggregate(std::uint8_t op) {
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

TZorNodePtr TZorExpression::Grammar::NumericFunction(std::uint8_t op) {
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

TZorNodePtr TZorExpression::Grammar::Cast() {
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

TZorNodePtr TZorExpression::Grammar::StringFunction() {
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

TZorNodePtr TZorExpression::Grammar::Substring() {
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

TZorNodePtr TZorExpression::Grammar::PosFunction() {
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

TZorNodePtr TZorExpression::Grammar::LengthFunction() {
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

TZorNodePtr TZorExpression::Grammar::ToStringFunction() {
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

std::string TZorExpression::Grammar::FormatText() {
  if (e_.token_.TokenType != tktQuotedString) e_.RaiseAtToken(err::kDateFormat);
  std::string format(e_.token_.Text);
  e_.NextToken();
  return format;
}

TZorNodePtr TZorExpression::Grammar::DateFunction() {
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

TZorNodePtr TZorExpression::Grammar::DatePartRest(std::uint8_t op, const std::string& name) {
  TZorNodePtr value = Value();
  if (!value) RaiseArgument(err::kDatePartArgument, name);
  Close(err::kDatePartClose);
  return With(Make<TZorExprNodeDateFunction>(op, std::string()), std::move(value));
}

TZorNodePtr TZorExpression::Grammar::IsNullFunction() {
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

bool TZorExpression::Grammar::IsTableNameToken() const {
  const TTokenType k = e_.token_.TokenType;
  return k == tktString || k == tktQuotedString || k == tktBracketedString || k == tktReservedWord;
}

TZorNodePtr TZorExpression::Grammar::LastAutoInc() {
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

}  // namespace kivo
