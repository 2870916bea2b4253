// Evaluation of expression trees: each node class computes its result for
// the current row, runs its aggregates over groups of rows and answers the
// planner's questions about result types and sizes.
#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/errors.h"
#include "platform/value_text.h"
#include "sql/eval_context.h"
#include "sql/expr_nodes.h"
#include "sql/functions.h"
#include "sql/like.h"

namespace kivo {

namespace {

// Native error numbers raised while evaluating.
namespace err {
constexpr int kScalarWithoutContext = 55;  // "Query component supplied to Expression is nil"
constexpr int kNoRows = 56;                // "Sub-query returns no rows"
constexpr int kSeveralRows = 57;           // "Sub-query returns multiple rows"
constexpr int kInWithoutContext = 58;
constexpr int kExistsWithoutContext = 59;
constexpr int kNoInOperand = 65;  // "No column was passed to IN sub-query"
constexpr int kNoChildren = 76;   // "Error - no children in expression node"
constexpr int kFieldNotBound = 2108;
constexpr int kNotNumericAggregate = 2109;  // "Not numeric argument in numeric operator '%s'"
constexpr int kNotStringLike = 2114;        // "Not string argument in function '%s'"
}  // namespace err

[[noreturn]] void UnknownOperator() { throw Exception("Unknown Operator"); }

const FormatSettings* SettingsOf(const TZorEvalContext* context) {
  return context == nullptr ? nullptr : context->Settings();
}

bool IsNullOutcome(int compared) { return compared >= zcrLeftNull; }

// The types Compare can order.
bool IsOrderedType(std::uint8_t type) {
  return IsNumericType(type) || IsStringType(type) || IsDateType(type) || type == ftBoolean;
}

bool IsTextResultType(std::uint8_t type) {
  return type == ftString || type == ftWideString || type == ftBytes;
}

// The width of a value of `type` as text (0 for types without one).
std::int32_t FixedTextWidth(std::uint8_t type) {
  switch (type) {
    case ftSmallint:
      return 6;
    case ftInteger:
    case ftAutoInc:
      return 11;
    case ftWord:
    case ftBoolean:
      return 5;
    case ftFloat:
    case ftDate:
    case ftTime:
    case ftDateTime:
      return 26;
    case ftCurrency:
      return 21;
    case ftLargeint:
      return 20;
    default:
      return 0;
  }
}

// The truth of an operand of NOT, AND or OR; nothing for NULL.
std::optional<bool> Truth(const TZorValue& v, const FormatSettings* settings) {
  if (v.IsNull()) return std::nullopt;
  if (v.DataType() == ftBoolean) return v.AsBoolean();
  TZorValue b(v);
  b.ConvertTo(ftBoolean, settings);
  if (b.IsNull()) return std::nullopt;
  return b.AsBoolean();
}

// `constant` in the type it is compared in against values of `otherType`,
// converted once per other type; `constant` itself when that gains nothing
// or could change what Compare does (a failing conversion, a NULL result).
const TZorValue& ConvertedConst(TZorEvalState<TZorConvertedConst>& state, const TZorValue& constant,
                                std::uint8_t otherType, const FormatSettings* settings) {
  TZorConvertedConst* c = state.Get();
  if (c == nullptr || c->other_type != otherType) {
    c = &state.Make();
    c->other_type = otherType;
    c->usable = false;
    const std::uint8_t type = TZorValue::ComparisonType(otherType, constant.DataType());
    if (!constant.IsNull() && type != ftUnknown && type != constant.DataType() &&
        TZorValue::ComparisonType(otherType, type) == type) {
      try {
        constant.CopyTo(c->value);
        c->value.ConvertTo(type, settings);
        c->usable = !c->value.IsNull();
      } catch (const Exception&) {
        c->usable = false;
      }
    }
  }
  return c->usable ? c->value : constant;
}

void SetTruth(TZorValue& out, std::optional<bool> v) {
  if (v) {
    out.SetBoolean(*v);
  } else {
    out.SetNull(ftBoolean);
  }
}

// The value primitive that takes one more operand into a run of a binary
// operator (+ adds with its settings and is not listed).
struct Fold {
  std::uint8_t op;
  void (TZorValue::*step)(const TZorValue&);
};
constexpr Fold kFolds[] = {
    {opMultiply, &TZorValue::Multiply},
    {opDivide, &TZorValue::Divide},
    {opMod, &TZorValue::Modulo},
    {opBitAnd, &TZorValue::BitAnd},
    {opBitOr, &TZorValue::BitOr},
    {opShiftLeft, &TZorValue::ShiftLeft},
    {opShiftRight, &TZorValue::ShiftRight},
    {opXor, &TZorValue::BitXor},
};

}  // namespace

// ---- TZorValueSet ----------------------------------------------------------

void TZorValueSet::Assign(std::vector<TZorValue> values) {
  values_ = std::move(values);
  has_null_ =
      std::any_of(values_.begin(), values_.end(), [](const TZorValue& v) { return v.IsNull(); });
  sorted_.clear();
}

const TZorValueSet::Sorted& TZorValueSet::SortedFor(std::uint8_t testedType,
                                                    const FormatSettings* settings) {
  for (const Sorted& s : sorted_) {
    if (s.tested_type == testedType) return s;
  }
  Sorted s;
  s.tested_type = testedType;
  s.usable = true;
  s.has_null = has_null_;
  for (const TZorValue& v : values_) {
    if (v.IsNull()) continue;
    const std::uint8_t type = TZorValue::ComparisonType(testedType, v.DataType());
    if (!IsOrderedType(type) || (s.compare_type != ftUnknown && type != s.compare_type)) {
      s.usable = false;
      break;
    }
    s.compare_type = type;
  }
  if (s.usable) {
    try {
      for (const TZorValue& v : values_) {
        if (v.IsNull()) continue;
        TZorValue c(v);
        c.ConvertTo(s.compare_type, settings);
        // A value that converts to NULL compares with a NULL outcome.
        if (c.IsNull()) {
          s.has_null = true;
        } else {
          s.values.push_back(std::move(c));
        }
      }
      std::sort(s.values.begin(), s.values.end(), [](const TZorValue& a, const TZorValue& b) {
        return TZorValue::Compare(a, b) == zcrLess;
      });
    } catch (const Exception&) {
      s.usable = false;
      s.values.clear();
    }
  }
  sorted_.push_back(std::move(s));
  return sorted_.back();
}

void TZorValueSet::Find(const TZorValue& tested, const FormatSettings* settings,
                        TZorValue& result) {
  const Sorted& s = SortedFor(tested.DataType(), settings);
  if (!s.usable) {
    bool null = false;
    for (const TZorValue& v : values_) {
      const int c = TZorValue::Compare(tested, v, false, false, settings);
      if (c == zcrEqual) {
        result.SetBoolean(true);
        return;
      }
      null = null || IsNullOutcome(c);
    }
    SetTruth(result, null ? std::nullopt : std::optional<bool>(false));
    return;
  }
  if (s.values.empty()) {
    SetTruth(result, s.has_null ? std::nullopt : std::optional<bool>(false));
    return;
  }
  const TZorValue* key = &tested;
  if (tested.DataType() != s.compare_type) {
    tested.CopyTo(converted_);
    converted_.ConvertTo(s.compare_type, settings);
    key = &converted_;
  }
  if (key->IsNull()) {
    result.SetNull(ftBoolean);
    return;
  }
  const auto it = std::lower_bound(
      s.values.begin(), s.values.end(), *key,
      [](const TZorValue& a, const TZorValue& b) { return TZorValue::Compare(a, b) == zcrLess; });
  if (it != s.values.end() && TZorValue::Compare(*it, *key) == zcrEqual) {
    result.SetBoolean(true);
  } else {
    SetTruth(result, s.has_null ? std::nullopt : std::optional<bool>(false));
  }
}

// ---- The base node ---------------------------------------------------------

void TZorExprNode::ResetAggregates() {
  for (const TZorNodePtr& child : children_) child->ResetAggregates();
}

void TZorExprNode::Accumulate(TZorEvalContext* context) {
  for (const TZorNodePtr& child : children_) child->Accumulate(context);
}

std::int32_t TZorExprNode::GetResultSize() const { return 0; }

std::string TZorExprNode::GetSQLText() const {
  std::string out;
  for (const TZorNodePtr& child : children_) {
    out += ' ';
    out += child->GetSQLText();
  }
  return out;
}

const TZorValue& TZorExprNode::EvaluateChild(int i, TZorEvalContext* context) {
  const TZorValue& v = Child(i)->Evaluate(context);
  if (i >= last_subquery_child_ || !v.Borrowed()) return v;
  if (kept_.size() < children_.size()) kept_.resize(children_.size());
  TZorValue& kept = kept_[static_cast<std::size_t>(i)];
  v.CopyTo(kept);
  return kept;
}

void TZorExprNode::EvaluateChildren(TZorEvalContext* context, std::vector<const TZorValue*>& out) {
  out.clear();
  for (int i = 0; i < ChildCount(); ++i) out.push_back(&EvaluateChild(i, context));
}

const TZorValue& TZorExprNode::EvaluateFunctionCall(TZorFunctionCall call,
                                                    TZorEvalContext* context) {
  call.Operator = Operator;
  call.Settings = SettingsOf(context);
  // Functions take at most three arguments: no allocation per row.
  if (ChildCount() <= 3) {
    const TZorValue* args[3];
    for (int i = 0; i < ChildCount(); ++i) args[i] = &EvaluateChild(i, context);
    EvaluateFunction(call, std::span<const TZorValue* const>(args, ChildCount()), Value);
    return Value;
  }
  std::vector<const TZorValue*> args;
  EvaluateChildren(context, args);
  EvaluateFunction(call, std::span<const TZorValue* const>(args.data(), args.size()), Value);
  return Value;
}

std::int32_t TZorExprNode::TextWidthSum(bool doubleWide) const {
  const std::uint8_t type = GetResultType();
  if (!IsTextResultType(type)) return 0;
  std::int64_t sum = 0;
  for (const TZorNodePtr& child : children_) {
    const std::uint8_t t = child->GetResultType();
    sum += IsTextResultType(t) ? child->GetResultSize() : FixedTextWidth(t);
  }
  if (doubleWide && type == ftWideString) sum *= 2;
  return static_cast<std::int32_t>(std::min<std::int64_t>(sum, INT32_MAX));
}

// ---- Leaves ----------------------------------------------------------------

std::int32_t TZorExprNodeConst::GetResultSize() const {
  if (Value.DataType() != ftString || Value.IsNull()) return 0;
  return static_cast<std::int32_t>(Value.AsString().size());
}

std::string TZorExprNodeConst::GetSQLText() const {
  if (Value.DataType() != ftString) return Value.AsString();
  return AnsiQuotedStr(Value.AsString(), '\'');
}

const TZorValue& TZorExprNodeField::Evaluate(TZorEvalContext* context) {
  const TZorFieldSource* row = context == nullptr ? nullptr : context->Row();
  if (row == nullptr) row = Source;
  if (row == nullptr || FieldNo < 0) {
    throw ZorException::CreateFmt(err::kFieldNotBound, {}, {QualifiedName()});
  }
  row->ReadField(FieldNo, Value);
  return Value;
}

std::string TZorExprNodeField::GetSQLText() const {
  if (FieldName.find(' ') == std::string::npos) return FieldName;
  return "[" + FieldName + "]";
}

const TZorValue& TZorExprNodeSystem::Evaluate(TZorEvalContext* context) {
  if (context == nullptr) throw ZorException::Create(err::kScalarWithoutContext);
  Value.SetInteger(context->LastAutoInc(*this));
  return Value;
}

// ---- Sub-queries -----------------------------------------------------------

const TZorValue& TZorExprNodeSubQuery::Evaluate(TZorEvalContext* context) {
  if (const TZorValue* done = result_.Get()) return *done;
  if (context == nullptr) throw ZorException::Create(err::kScalarWithoutContext);
  const std::unique_ptr<TZorSubQueryRows> rows = context->OpenSubQuery(SQLText);
  if (!rows->Next()) throw ZorException::Create(err::kNoRows);
  TZorValue value;
  rows->FirstField().CopyTo(value);
  if (rows->Next()) throw ZorException::Create(err::kSeveralRows);
  TZorValue& kept = result_.Make();
  kept = std::move(value);
  return kept;
}

const TZorValue& TZorExprNodeSubQueryExists::Evaluate(TZorEvalContext* context) {
  if (const TZorValue* done = result_.Get()) return *done;
  if (context == nullptr) throw ZorException::Create(err::kExistsWithoutContext);
  const bool any = context->OpenSubQuery(SQLText)->Next();
  TZorValue& kept = result_.Make();
  kept.SetBoolean(any != Negated);
  return kept;
}

const TZorValue& TZorExprNodeSubQueryIN::Evaluate(TZorEvalContext* context) {
  if (ChildCount() == 0) throw ZorException::Create(err::kNoInOperand);
  // The sub-query runs before the operand is read, so that a value the
  // operand borrows from the current row is not left behind by it.
  if (set_.Get() == nullptr) {
    if (context == nullptr) throw ZorException::Create(err::kInWithoutContext);
    std::vector<TZorValue> values;
    const std::unique_ptr<TZorSubQueryRows> rows = context->OpenSubQuery(SQLText);
    while (rows->Next()) values.push_back(rows->FirstField());
    set_.Make().Assign(std::move(values));
  }
  const TZorValue& tested = Child(0)->Evaluate(context);
  if (set_.Get()->Empty()) {
    // Nothing can equal the value, NULL included: x IN (no rows) is false.
    Value.SetBoolean(Negated);
    return Value;
  }
  if (tested.IsNull()) {
    Value.SetNull(ftBoolean);
    return Value;
  }
  set_.Get()->Find(tested, SettingsOf(context), Value);
  if (Negated && !Value.IsNull()) Value.SetBoolean(!Value.AsBoolean());
  return Value;
}

// ---- Comparisons and conditions --------------------------------------------

const TZorValue& TZorExprNodeComparison::Evaluate(TZorEvalContext* context) {
  if (ChildCount() != 2) UnknownOperator();
  const FormatSettings* settings = SettingsOf(context);
  const TZorValue* a = &EvaluateChild(0, context);
  const TZorValue* b = &Child(1)->Evaluate(context);
  if (Child(0)->IsConstant()) a = &ConvertedConst(const_[0], *a, b->DataType(), settings);
  if (Child(1)->IsConstant()) b = &ConvertedConst(const_[1], *b, a->DataType(), settings);
  const int c = TZorValue::Compare(*a, *b, false, false, settings);
  if (IsNullOutcome(c)) {
    Value.SetNull(ftBoolean);
    return Value;
  }
  bool r = false;
  switch (Operator) {
    case opEqual:
      r = c == zcrEqual;
      break;
    case opNotEqual:
      r = c != zcrEqual;
      break;
    case opGreater:
      r = c == zcrGreater;
      break;
    case opLess:
      r = c == zcrLess;
      break;
    case opGreaterOrEqual:
      r = c != zcrLess;
      break;
    case opLessOrEqual:
      r = c != zcrGreater;
      break;
    default:
      UnknownOperator();
  }
  Value.SetBoolean(r);
  return Value;
}

const TZorValue& TZorExprNodeBoolean::Evaluate(TZorEvalContext* context) {
  const FormatSettings* settings = SettingsOf(context);
  if (ChildCount() == 0) UnknownOperator();
  switch (Operator) {
    case opNot: {
      const std::optional<bool> v = Truth(Child(0)->Evaluate(context), settings);
      SetTruth(Value, v ? std::optional<bool>(!*v) : std::nullopt);
      return Value;
    }
    case opAnd:
      // The first NULL or false operand decides.
      for (int i = 0; i < ChildCount(); ++i) {
        const std::optional<bool> v = Truth(Child(i)->Evaluate(context), settings);
        if (!v || !*v) {
          SetTruth(Value, v);
          return Value;
        }
      }
      Value.SetBoolean(true);
      return Value;
    case opOr: {
      bool null = false;
      for (int i = 0; i < ChildCount(); ++i) {
        const std::optional<bool> v = Truth(Child(i)->Evaluate(context), settings);
        if (v && *v) {
          Value.SetBoolean(true);
          return Value;
        }
        null = null || !v;
      }
      SetTruth(Value, null ? std::nullopt : std::optional<bool>(false));
      return Value;
    }
    case opIn:
    case opNotIn:
      return EvaluateIn(context);
    case opBetween:
    case opNotBetween:
      return EvaluateBetween(context);
    case opLike:
    case opNotLike:
      return EvaluateLike(context);
    case opIsNull:
    case opIsNotNull:
      Value.SetBoolean(Child(0)->Evaluate(context).IsNull() == (Operator == opIsNull));
      return Value;
    default:
      UnknownOperator();
  }
}

const TZorValue& TZorExprNodeBoolean::EvaluateIn(TZorEvalContext* context) {
  const FormatSettings* settings = SettingsOf(context);
  const TZorValue& tested = EvaluateChild(0, context);
  if (tested.IsNull()) {
    Value.SetNull(ftBoolean);
    return Value;
  }
  if (constant_items_ < 0) {
    constant_items_ = 1;
    for (int i = 1; i < ChildCount(); ++i) {
      if (!Child(i)->IsConstant()) constant_items_ = 0;
    }
  }
  if (constant_items_ == 1) {
    if (set_.Get() == nullptr) {
      std::vector<TZorValue> items;
      for (int i = 1; i < ChildCount(); ++i) items.push_back(Child(i)->Value);
      set_.Make().Assign(std::move(items));
    }
    set_.Get()->Find(tested, settings, Value);
  } else {
    bool null = false;
    bool found = false;
    for (int i = 1; i < ChildCount() && !found; ++i) {
      const int c = TZorValue::Compare(tested, Child(i)->Evaluate(context), false, false, settings);
      found = c == zcrEqual;
      null = null || IsNullOutcome(c);
    }
    SetTruth(Value, found  ? std::optional<bool>(true)
                    : null ? std::nullopt
                           : std::optional<bool>(false));
  }
  if (Operator == opNotIn && !Value.IsNull()) Value.SetBoolean(!Value.AsBoolean());
  return Value;
}

const TZorValue& TZorExprNodeBoolean::EvaluateBetween(TZorEvalContext* context) {
  if (ChildCount() != 3) UnknownOperator();
  const FormatSettings* settings = SettingsOf(context);
  const TZorValue& tested = EvaluateChild(0, context);
  const TZorValue* low = &EvaluateChild(1, context);
  const TZorValue* high = &Child(2)->Evaluate(context);
  if (tested.IsNull()) {
    Value.SetNull(ftBoolean);
    return Value;
  }
  if (Child(1)->IsConstant()) {
    low = &ConvertedConst(bound_[0], *low, tested.DataType(), settings);
  }
  if (Child(2)->IsConstant()) {
    high = &ConvertedConst(bound_[1], *high, tested.DataType(), settings);
  }
  bool inside = true;
  if (!low->IsNull() && TZorValue::Compare(tested, *low, false, false, settings) == zcrLess) {
    inside = false;
  }
  if (inside && !high->IsNull() &&
      TZorValue::Compare(tested, *high, false, false, settings) == zcrGreater) {
    inside = false;
  }
  if (inside && (low->IsNull() || high->IsNull())) {
    Value.SetNull(ftBoolean);
    return Value;
  }
  Value.SetBoolean(inside != (Operator == opNotBetween));
  return Value;
}

const TZorValue& TZorExprNodeBoolean::EvaluateLike(TZorEvalContext* context) {
  if (ChildCount() != 2) UnknownOperator();
  const FormatSettings* settings = SettingsOf(context);
  const TZorValue& value = EvaluateChild(0, context);
  const TZorValue& pattern = Child(1)->Evaluate(context);
  const std::uint8_t type = TZorValue::CommonType(value.DataType(), pattern.DataType());
  if (!IsStringType(type)) {
    throw ZorException::CreateFmt(err::kNotStringLike, {}, {std::string("LIKE")});
  }
  // A constant pattern is converted once per common type.
  const bool constant = Child(1)->IsConstant();
  LikePattern* p = pattern_.Get();
  if (!constant || p == nullptr || p->type != type) {
    p = &pattern_.Make();
    p->type = type;
    if (type == ftWideString) {
      p->wide = pattern.AsWideString(settings);
    } else {
      p->text = pattern.AsString(settings);
    }
  }
  const std::shared_ptr<const TCollation> collation = UserCollation();
  bool match = false;
  if (type == ftWideString) {
    match = LikeMatch(value.AsWideString(settings), p->wide, *collation);
  } else if (value.DataType() == ftString && !value.IsNull()) {
    // The text in place: a String's payload ends at its first zero byte.
    const char* text = reinterpret_cast<const char*>(value.Data());
    match = LikeMatch(std::string_view(text, strnlen(text, static_cast<std::size_t>(value.Size()))),
                      p->text, *collation);
  } else {
    match = LikeMatch(value.AsString(settings), p->text, *collation);
  }
  Value.SetBoolean(match != (Operator == opNotLike));
  return Value;
}

// ---- Arithmetic and functions ----------------------------------------------

const TZorValue& TZorExprNodeArithmetic::Evaluate(TZorEvalContext* context) {
  const FormatSettings* settings = SettingsOf(context);
  switch (Operator) {
    case opAdd:
    case opMultiply:
    case opDivide:
    case opMod:
    case opBitAnd:
    case opBitOr:
    case opShiftLeft:
    case opShiftRight:
    case opXor: {
      if (ChildCount() == 0) UnknownOperator();
      const auto fold = std::find_if(std::begin(kFolds), std::end(kFolds),
                                     [&](const Fold& f) { return f.op == Operator; });
      // The slot owns its copy of the first operand, so later operands may
      // move the row it came from.
      Child(0)->Evaluate(context).CopyTo(Value);
      for (int i = 1; i < ChildCount(); ++i) {
        const TZorValue& b = Child(i)->Evaluate(context);
        if (Operator == opAdd) {
          Value.Add(b, false, settings);
        } else {
          (Value.*(fold->step))(b);
        }
      }
      return Value;
    }
    case opNegate:
    case opBitNot:
      if (ChildCount() != 1) UnknownOperator();
      Child(0)->Evaluate(context).CopyTo(Value);
      Operator == opNegate ? Value.Negate() : Value.BitNot();
      return Value;
    case opAbs:
    case opCeiling:
    case opFloor:
    case opPower:
    case opRandom:
    case opRound:
    case opSign:
    case opTruncate:
    case opHex:
      return EvaluateFunctionCall(TZorFunctionCall(), context);
    default:
      UnknownOperator();
  }
}

std::uint8_t TZorExprNodeArithmetic::GetResultType() const {
  switch (Operator) {
    case opDivide:
      return ftFloat;
    case opMod:
      return ftLargeint;
    case opHex:
      return ftString;
    case opRound:
    case opTruncate:
      return ChildCount() < 2 ? ftInteger : ftFloat;
    case opRandom:
      return ChildCount() == 0 ? ftFloat : ftLargeint;
    case opCeiling:
    case opFloor:
    case opSign:
      return ftInteger;
    default:
      return TZorExprNode::GetResultType();
  }
}

std::int32_t TZorExprNodeArithmetic::GetResultSize() const {
  if (Operator == opAdd) return TextWidthSum(false);
  if (Operator != opHex || ChildCount() == 0) return 0;
  const TZorExprNode* argument = Child(0);
  std::int32_t size = 0;
  switch (argument->GetResultType()) {
    case ftString:
    case ftWideString:
      size = 2 * argument->GetResultSize();
      break;
    case ftSmallint:
    case ftWord:
      size = 5;
      break;
    case ftInteger:
    case ftAutoInc:
      size = 9;
      break;
    case ftLargeint:
      size = 17;
      break;
    default:
      break;
  }
  if (ChildCount() > 1 && !Child(1)->Value.IsNull()) {
    TZorValue style(Child(1)->Value);
    try {
      style.ConvertTo(ftLargeint);
      if (style.AsLargeInt() == 2) size += 2;
      if (style.AsLargeInt() == 1) size += 1;
    } catch (const Exception&) {
      // A style that is not a number adds nothing.
    }
  }
  return size;
}

const TZorValue& TZorExprNodeIsNullFunction::Evaluate(TZorEvalContext* context) {
  if (!have_types_) {
    for (int i = 0; i < std::min(ChildCount(), 2); ++i) types_[i] = Child(i)->GetResultType();
    have_types_ = true;
  }
  TZorFunctionCall call;
  call.ArgumentTypes[0] = types_[0];
  call.ArgumentTypes[1] = types_[1];
  return EvaluateFunctionCall(call, context);
}

std::uint8_t TZorExprNodeIsNullFunction::GetResultType() const {
  if (ChildCount() < 2) return ftBoolean;
  return TZorValue::CommonType(Child(0)->GetResultType(), Child(1)->GetResultType());
}

std::int32_t TZorExprNodeIsNullFunction::GetResultSize() const {
  if (ChildCount() < 2) return 0;
  return std::max(Child(0)->GetResultSize(), Child(1)->GetResultSize());
}

const TZorValue& TZorExprNodeCast::Evaluate(TZorEvalContext* context) {
  if (ChildCount() != 1) UnknownOperator();
  Child(0)->Evaluate(context).CopyTo(Value);
  Value.ConvertTo(TargetType, SettingsOf(context));
  return Value;
}

std::int32_t TZorExprNodeCast::GetResultSize() const {
  if (!IsTextResultType(TargetType) || ChildCount() != 1) return 0;
  const TZorExprNode* operand = Child(0);
  const std::uint8_t type = operand->GetResultType();
  std::int32_t width = IsTextResultType(type) ? operand->GetResultSize() : FixedTextWidth(type);
  if (width <= 0) width = kUnsizedTextWidth;
  return TargetType == ftWideString ? 2 * width : width;
}

const TZorValue& TZorExprNodeStringFunction::Evaluate(TZorEvalContext* context) {
  if (Operator == opConcat) {
    if (ChildCount() == 0) UnknownOperator();
    const FormatSettings* settings = SettingsOf(context);
    Child(0)->Evaluate(context).CopyTo(Value);
    for (int i = 1; i < ChildCount(); ++i) Value.Add(Child(i)->Evaluate(context), false, settings);
    return Value;
  }
  if (Operator < opUpper || Operator > opSubstring) UnknownOperator();
  return EvaluateFunctionCall(TZorFunctionCall(), context);
}

std::uint8_t TZorExprNodeStringFunction::GetResultType() const {
  if (Operator == opLength || Operator == opPos) return ftInteger;
  return TZorExprNode::GetResultType();
}

std::int32_t TZorExprNodeStringFunction::GetResultSize() const {
  if (Operator == opConcat) return TextWidthSum(true);
  if (Operator == opLength || Operator == opPos || ChildCount() == 0) return 0;
  return Child(0)->GetResultSize();
}

const TZorValue& TZorExprNodeDateFunction::Evaluate(TZorEvalContext* context) {
  if (Operator < opNow || Operator > opMSecond) UnknownOperator();
  TZorFunctionCall call;
  call.Formater = &Formater;
  return EvaluateFunctionCall(call, context);
}

std::uint8_t TZorExprNodeDateFunction::GetResultType() const {
  switch (Operator) {
    case opNow:
    case opToDate:
      return ftDateTime;
    case opCurrentDate:
      return ftDate;
    case opCurrentTime:
      return ftTime;
    case opToString:
    case opDayName:
    case opMonthName:
      return ftString;
    default:
      return ftWord;
  }
}

std::int32_t TZorExprNodeDateFunction::GetResultSize() const {
  switch (Operator) {
    case opToString:
      return Formater.MaxLength();
    case opDayName:
    case opMonthName:
      return 9;
    default:
      return 0;
  }
}

// ---- Aggregates ------------------------------------------------------------

namespace {

// The value of a whole-number type, which LargeInt holds exactly; false for
// any other type.
bool WholeNumberOf(const TZorValue& v, std::int64_t& out) {
  switch (v.DataType()) {
    case ftSmallint:
      out = v.AsSmallInt();
      return true;
    case ftWord:
      out = v.AsWord();
      return true;
    case ftInteger:
    case ftAutoInc:
      out = v.AsInteger();
      return true;
    case ftLargeint:
      out = v.AsLargeInt();
      return true;
    default:
      return false;
  }
}

}  // namespace

bool TZorExprNodeAggregated::Less::operator()(const TZorValue& a, const TZorValue& b) const {
  return TZorValue::Compare(a, b) == zcrLess;
}

void TZorExprNodeAggregated::ResetAggregates() {
  count_ = 0;
  sum_.Clear();
  Value.SetNull(GetResultType());
  if (Distinct) {
    if (ChildCount() == 0) throw ZorException::Create(err::kNoChildren);
    seen_.Make().clear();
  }
}

void TZorExprNodeAggregated::Accumulate(TZorEvalContext* context) {
  if (Operator == opCountAll) {
    ++count_;
    return;
  }
  if (ChildCount() == 0) throw ZorException::Create(err::kNoChildren);
  const TZorValue& v = Child(0)->Evaluate(context);
  if (v.IsNull()) return;
  // DISTINCT: a value met before in this group is skipped.
  const auto seenBefore = [&] {
    if (!Distinct) return false;
    return !seen_.Make().insert(v).second;
  };
  switch (Operator) {
    case opSum:
    case opAvg: {
      if (!IsNumericType(v.DataType())) {
        throw ZorException::CreateFmt(err::kNotNumericAggregate, {},
                                      {std::string(Operator == opSum ? "sum" : "avg")});
      }
      if (seenBefore()) return;
      if (Operator == opAvg) {
        sum_.Add(v, true);
        ++count_;
        return;
      }
      // A whole-number sum adds the row's value to the LargeInt total in
      // place: what converting the term to LargeInt and adding would give,
      // without a copy of the term per row.
      if (!Value.IsNull() && Value.DataType() == ftLargeint) {
        std::int64_t whole = 0;
        if (WholeNumberOf(v, whole)) {
          std::int64_t total = 0;
          if (__builtin_add_overflow(Value.AsLargeInt(), whole, &total)) throw EIntOverflow();
          Value.SetLargeInt(total);
          return;
        }
      }
      // The sum is kept in its result type from the first row on.
      TZorValue term(v);
      term.ConvertTo(GetResultType());
      Value.Add(term, true);
      return;
    }
    case opMin:
    case opMax: {
      if (!Value.IsNull()) {
        const int c = TZorValue::Compare(v, Value, false, false, SettingsOf(context));
        if (c != (Operator == opMin ? zcrLess : zcrGreater)) return;
      }
      v.CopyTo(Value);
      return;
    }
    case opCount:
      if (!seenBefore()) ++count_;
      return;
    default:
      UnknownOperator();
  }
}

const TZorValue& TZorExprNodeAggregated::Evaluate(TZorEvalContext*) {
  switch (Operator) {
    case opCount:
    case opCountAll:
      Value.SetInteger(count_);
      return Value;
    case opAvg: {
      if (count_ == 0) {
        Value.SetNull(GetResultType());
        return Value;
      }
      TZorValue count;
      count.SetInteger(count_);
      sum_.CopyTo(Value);
      Value.Divide(count);
      return Value;
    }
    case opSum:
    case opMin:
    case opMax:
      return Value;
    default:
      UnknownOperator();
  }
}

std::uint8_t TZorExprNodeAggregated::GetResultType() const {
  const std::uint8_t argument = ChildCount() == 0 ? std::uint8_t{0} : Child(0)->GetResultType();
  switch (Operator) {
    case opSum:
      return argument == ftFloat || argument == ftCurrency ? argument : std::uint8_t{ftLargeint};
    case opCount:
    case opCountAll:
      return ftInteger;
    default:
      return argument;
  }
}

std::int32_t TZorExprNodeAggregated::GetResultSize() const {
  if (Operator == opMin || Operator == opMax) return TextWidthSum(true);
  return 0;
}

}  // namespace kivo
