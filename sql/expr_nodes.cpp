#include "sql/expr_nodes.h"

#include <algorithm>

#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/stmt/select_items.h"

namespace kivo {

namespace {

// "Field '%s' not found".
constexpr int kFieldNotBound = 2108;

}  // namespace

const char* OperatorName(std::uint8_t op) {
  switch (op) {
    case opEqual:
      return "=";
    case opNotEqual:
      return "<>";
    case opGreater:
      return ">";
    case opLess:
      return "<";
    case opGreaterOrEqual:
      return ">=";
    case opLessOrEqual:
      return "<=";
    case opNot:
      return "NOT";
    case opAnd:
      return "AND";
    case opOr:
      return "OR";
    case opLike:
      return "LIKE";
    case opNotLike:
      return "NOT LIKE";
    case opIsNullFunction:
      return "ISNULL";
    case opIsNull:
      return "IS NULL";
    case opIsNotNull:
      return "IS NOT NULL";
    case opAdd:
      return "+";
    case opNegate:
      return "-";
    case opMultiply:
      return "*";
    case opDivide:
      return "/";
    case opConcat:
      return "||";
    case opUpper:
      return "UPPER";
    case opLower:
      return "LOWER";
    case opTrim:
      return "TRIM";
    case opLTrim:
      return "LTRIM";
    case opRTrim:
      return "RTRIM";
    case opSum:
      return "SUM";
    case opAvg:
      return "AVG";
    case opMin:
      return "MIN";
    case opMax:
      return "MAX";
    case opCount:
      return "COUNT";
    case opCountAll:
      return "COUNT(*)";
    case opYear:
      return "YEAR";
    case opQuarter:
      return "QUARTER";
    case opMonth:
      return "MONTH";
    case opDay:
      return "DAY";
    case opWeekday:
      return "WEEKDAY";
    case opDayOfWeek:
      return "DAYOFWEEK";
    case opDayName:
      return "DAYNAME";
    case opMonthName:
      return "MONTHNAME";
    case opHour:
      return "HOUR";
    case opMinute:
      return "MINUTE";
    case opSecond:
      return "SECOND";
    case opMSecond:
      return "MSECOND";
    case opAbs:
      return "ABS";
    case opCeiling:
      return "CEILING";
    case opFloor:
      return "FLOOR";
    case opMod:
      return "MOD";
    case opPower:
      return "POWER";
    case opRandom:
      return "RANDOM";
    case opRound:
      return "ROUND";
    case opSign:
      return "SIGN";
    case opTruncate:
      return "TRUNCATE";
    case opShiftLeft:
      return "SHL";
    case opShiftRight:
      return "SHR";
    case opXor:
      return "XOR";
    case opHex:
      return "HEX";
    default:
      return "unknown";
  }
}

TZorExprNode::TZorExprNode(const TZorExprNode& other)
    : Operator(other.Operator),
      Value(other.Value),
      has_subquery_(other.has_subquery_),
      height_(other.height_),
      last_subquery_child_(other.last_subquery_child_) {
  children_.reserve(other.children_.size());
  for (const TZorNodePtr& child : other.children_) children_.push_back(child->Clone());
}

TZorExprNode::~TZorExprNode() = default;

void TZorExprNode::AddChild(TZorNodePtr child) {
  height_ = std::max(height_, child->height_ + 1);
  if (child->has_subquery_) {
    has_subquery_ = true;
    last_subquery_child_ = static_cast<int>(children_.size());
  }
  children_.push_back(std::move(child));
}

std::vector<TZorNodePtr> TZorExprNode::TakeChildren() {
  height_ = 1;
  has_subquery_ = dynamic_cast<const TZorExprNodeSubQuery*>(this) != nullptr;
  last_subquery_child_ = -1;
  kept_.clear();
  return std::move(children_);
}

bool TZorExprNode::IsResolvableIn(const TZorFieldSource& source) const {
  return std::all_of(children_.begin(), children_.end(),
                     [&](const TZorNodePtr& c) { return c->IsResolvableIn(source); });
}

void TZorExprNode::ResolveAliases(const std::vector<TZorSelectListItem>& items) {
  for (const TZorNodePtr& child : children_) child->ResolveAliases(items);
}

void TZorExprNode::Bind(const TZorFieldSource& source) {
  for (const TZorNodePtr& child : children_) child->Bind(source);
}

void TZorExprNodeField::ResolveAliases(const std::vector<TZorSelectListItem>& items) {
  // An alias has no qualifier: "t.y" names a column y of t, whatever the
  // select list calls y.
  if (!TableName.empty()) return;
  for (const TZorSelectListItem& item : items) {
    // Only an item that names a field can stand in for a reference; an
    // alias of a computed column is not a field of any input.
    if (item.IsExpression || item.IsStar || item.Pseudonym.empty()) continue;
    if (!AnsiSameText(item.Pseudonym, FieldName)) continue;
    TableName = item.TableName;
    FieldName = item.FieldName;
    return;
  }
}

std::uint8_t TZorExprNode::GetResultType() const {
  if (children_.empty()) return 0;
  std::uint8_t type = children_.front()->GetResultType();
  for (std::size_t i = 1; i < children_.size(); ++i) {
    type = TZorValue::CommonType(type, children_[i]->GetResultType());
  }
  return type;
}

bool TZorExprNode::IsAggregated() const {
  return std::any_of(children_.begin(), children_.end(),
                     [](const TZorNodePtr& c) { return c->IsAggregated(); });
}

bool TZorExprNode::IsFieldFree() const {
  return std::all_of(children_.begin(), children_.end(),
                     [](const TZorNodePtr& c) { return c->IsFieldFree(); });
}

void TZorExprNode::Dump(int depth, std::string& out) const {
  out.append(static_cast<std::size_t>(2 * depth), ' ');
  out += DumpLine();
  out += '\n';
  for (const TZorNodePtr& child : children_) child->Dump(depth + 1, out);
}

std::string TZorExprNode::DumpLine() const {
  return std::string("(") + OperatorName(Operator) + ") " + ClassName();
}

std::string TZorExprNodeConst::DumpLine() const {
  return "(" + Value.AsString() + ")  " + TZorValue::TypeName(Value.DataType()) + "  <const>";
}

std::string TZorExprNodeField::QualifiedName() const {
  return TableName.empty() ? FieldName : TableName + "." + FieldName;
}

bool TZorExprNodeField::IsResolvableIn(const TZorFieldSource& source) const {
  return source.MatchingFields(TableName, FieldName).size() == 1;
}

void TZorExprNodeField::Bind(const TZorFieldSource& source) {
  const std::vector<int> matches = source.MatchingFields(TableName, FieldName);
  if (matches.size() != 1) {
    throw ZorException::CreateFmt(kFieldNotBound, {}, {QualifiedName()});
  }
  Source = &source;
  FieldNo = matches.front();
}

std::uint8_t TZorExprNodeField::GetResultType() const {
  return Source == nullptr ? 0 : Source->FieldType(FieldNo);
}

std::int32_t TZorExprNodeField::GetResultSize() const {
  return Source == nullptr ? 0 : Source->FieldSize(FieldNo);
}

std::string TZorExprNodeField::DumpLine() const { return "(" + QualifiedName() + ")  [field]"; }

std::string TZorExprNodeSubQuery::DumpLine() const {
  return std::string(Negated ? "(NOT) " : "() ") + ClassName() + " " + SQLText;
}

std::string TZorExprNodeAggregated::DumpLine() const {
  return std::string("(") + OperatorName(Operator) + ")   <group function>";
}

std::string TZorExprNodeStringFunction::DumpLine() const {
  return std::string("(") + OperatorName(Operator) + ")   <string function>";
}

}  // namespace kivo
