// The nodes of an SQL expression tree.
//
// Every node owns its children in order and has an operator code (0 for
// constants, field references, sub-queries and system functions) and a
// value slot that evaluation rewrites. Operators that take a list of
// operands of one kind (AND, OR, +, ||, and a run of the same "*", "/" ...)
// are single nodes with any number of children, evaluated left to right,
// so that long chains build wide trees rather than deep ones.
//
// Evaluation (the bodies are in evaluate.cpp) computes a node's result for
// the current row into its Value slot with the engine's three-valued logic,
// runs aggregates over the rows of a group (ResetAggregates, Accumulate,
// Evaluate), and answers the planner's questions: result type and size.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sql/date_formater.h"
#include "sql/field_source.h"
#include "sql/functions.h"
#include "sql/values.h"

namespace kivo {

class TZorEvalContext;

// Operator codes.
enum TZorOperator : std::uint8_t {
  opNone = 0,
  opEqual = 1,
  opNotEqual = 2,
  opGreater = 3,
  opLess = 4,
  opGreaterOrEqual = 5,
  opLessOrEqual = 6,
  opNot = 7,
  opAnd = 8,
  opOr = 9,
  opIn = 10,
  opNotIn = 11,
  opBetween = 12,
  opNotBetween = 13,
  opLike = 14,
  opNotLike = 15,
  opIsNullFunction = 16,
  opIsNull = 17,
  opIsNotNull = 18,
  opAdd = 21,
  opNegate = 22,
  opMultiply = 23,
  opDivide = 24,
  opConcat = 26,
  opUpper = 27,
  opLower = 28,
  opTrim = 29,
  opLTrim = 30,
  opRTrim = 31,
  opLength = 32,
  opPos = 33,
  opSubstring = 34,
  opSum = 35,
  opAvg = 36,
  opMin = 37,
  opMax = 38,
  opCount = 39,
  opCountAll = 40,
  opNow = 41,
  opCurrentDate = 42,
  opCurrentTime = 43,
  opToDate = 44,
  opToString = 45,
  opYear = 46,
  opQuarter = 47,
  opMonth = 48,
  opDay = 49,
  opWeekday = 50,
  opDayOfWeek = 51,
  opDayName = 52,
  opMonthName = 53,
  opHour = 54,
  opMinute = 55,
  opSecond = 56,
  opMSecond = 57,
  opAbs = 58,
  opCeiling = 59,
  opFloor = 60,
  opMod = 61,
  opPower = 62,
  opRandom = 63,
  opRound = 64,
  opSign = 65,
  opTruncate = 66,
  opBitNot = 67,
  opBitAnd = 68,
  opBitOr = 69,
  opShiftLeft = 70,
  opShiftRight = 71,
  opXor = 72,
  opHex = 73,
  opCast = 74,
};

// The display name of an operator code in messages and dumps; "unknown"
// for codes without one.
const char* OperatorName(std::uint8_t op);

// State a node keeps between evaluations (caches, open sub-queries,
// running aggregates). A copy of a node starts without it.
template <class T>
class TZorEvalState {
 public:
  TZorEvalState() = default;
  TZorEvalState(const TZorEvalState&) {}
  TZorEvalState& operator=(const TZorEvalState&) = delete;
  T* Get() const { return state_.get(); }
  T& Make() {
    if (!state_) state_ = std::make_unique<T>();
    return *state_;
  }

 private:
  std::unique_ptr<T> state_;
};

// Values searched for a tested value with the outcome of comparing it with
// each of them in turn (the rule of IN): true when one compares equal, else
// NULL when some comparison had a NULL outcome, else false.
//
// The values are sorted once per type of tested value and searched by
// bisection. That gives the same outcome as the walk when every non-NULL
// value meets the tested type in one comparison type and converts to it;
// otherwise (or when that type has no order) the values are walked in
// their order, raising what the walk's comparisons raise.
class TZorValueSet {
 public:
  // Takes the values in their list order.
  void Assign(std::vector<TZorValue> values);
  bool Empty() const { return values_.empty(); }
  // REQUIRES: `tested` is not NULL. The outcome as a NULL or non-NULL
  // Boolean in `result`.
  void Find(const TZorValue& tested, const FormatSettings* settings, TZorValue& result);

 private:
  struct Sorted {
    std::uint8_t tested_type = 0;
    bool usable = false;
    std::uint8_t compare_type = 0;
    bool has_null = false;          // some value is NULL or converts to NULL
    std::vector<TZorValue> values;  // non-NULL, converted, in Compare order
  };
  const Sorted& SortedFor(std::uint8_t testedType, const FormatSettings* settings);

  std::vector<TZorValue> values_;
  bool has_null_ = false;
  std::vector<Sorted> sorted_;  // one per tested type met so far
  TZorValue converted_;         // the tested value in the comparison type
};

class TZorExprNode;
struct TZorSelectListItem;
using TZorNodePtr = std::unique_ptr<TZorExprNode>;

class TZorExprNode {
 public:
  explicit TZorExprNode(std::uint8_t op = opNone) : Operator(op) {}
  // Copies are deep: the children are copied too.
  TZorExprNode(const TZorExprNode& other);
  TZorExprNode& operator=(const TZorExprNode&) = delete;
  virtual ~TZorExprNode();

  // A deep copy of the sub-tree.
  virtual TZorNodePtr Clone() const = 0;
  virtual const char* ClassName() const = 0;

  std::uint8_t Operator;
  TZorValue Value;

  int ChildCount() const { return static_cast<int>(children_.size()); }
  TZorExprNode* Child(int i) const { return children_[static_cast<std::size_t>(i)].get(); }
  void AddChild(TZorNodePtr child);
  // Removes and returns the children, leaving none.
  std::vector<TZorNodePtr> TakeChildren();
  // The number of node levels of the sub-tree (1 for a leaf).
  int Height() const { return height_; }
  // True when the sub-tree holds a sub-query.
  bool HasSubQuery() const { return has_subquery_; }

  // Computes the result for the current row and returns it: the node's
  // Value slot, or the slot of the node whose value it passes on. The
  // result stays valid until the node is evaluated again; it may borrow a
  // record buffer (a field's value), which a sub-query can move, so a node
  // that keeps one child's result while it evaluates a later child that
  // holds a sub-query reads it through EvaluateChild. `context` may be null.
  // An operator code the class does not compute raises Exception "Unknown
  // Operator".
  virtual const TZorValue& Evaluate(TZorEvalContext* context) = 0;
  // Start of a group: every aggregate of the sub-tree starts over.
  virtual void ResetAggregates();
  // One row of the group: every aggregate of the sub-tree takes it in.
  virtual void Accumulate(TZorEvalContext* context);
  // The byte size a String field needs for the result (0 where the result
  // type has no size).
  virtual std::int32_t GetResultSize() const;
  // The SQL text of the sub-tree, for messages.
  virtual std::string GetSQLText() const;

  // True when every field reference of the sub-tree can be bound in `source`.
  virtual bool IsResolvableIn(const TZorFieldSource& source) const;
  // Turns every field reference of the sub-tree that names a select-list
  // alias into a reference to that item's field.
  virtual void ResolveAliases(const std::vector<TZorSelectListItem>& items);
  // Attaches every field reference of the sub-tree to `source`.
  virtual void Bind(const TZorFieldSource& source);
  // The type tag of the result: by default the common type of the
  // children's types folded left to right (0 without children).
  virtual std::uint8_t GetResultType() const;
  virtual bool IsAggregated() const;
  virtual bool IsFieldFree() const;
  // True for a constant (a TZorExprNodeConst), without a type query.
  virtual bool IsConstant() const { return false; }
  // One line per node, indented by two spaces per level, then the children
  // one level deeper.
  void Dump(int depth, std::string& out) const;

 protected:
  // The text of this node's own line in a dump (without indentation).
  virtual std::string DumpLine() const;

  // Evaluates child `i` and returns its result. When a later child holds
  // a sub-query, a result borrowed from a record buffer is first copied
  // into a slot of this node, so that it stays readable after that child
  // has run.
  const TZorValue& EvaluateChild(int i, TZorEvalContext* context);
  // The result slots of all children, evaluated in order (EvaluateChild).
  void EvaluateChildren(TZorEvalContext* context, std::vector<const TZorValue*>& out);
  // A function of the library computed from the children's results, in
  // order, into Value: `call` completed with the operator and the context's
  // settings.
  const TZorValue& EvaluateFunctionCall(TZorFunctionCall call, TZorEvalContext* context);
  // The sum of the operands' text widths (a string operand counts its own
  // size), doubled for a WideString result when `doubleWide`; 0 when the
  // result type is not a string or bytes type.
  std::int32_t TextWidthSum(bool doubleWide) const;

  bool has_subquery_ = false;

 private:
  std::vector<TZorNodePtr> children_;
  int height_ = 1;
  // The last child whose sub-tree holds a sub-query (-1: none).
  int last_subquery_child_ = -1;
  // Copies of children's results kept across a sub-query (EvaluateChild).
  std::vector<TZorValue> kept_;
};

// Adds a Clone that copies the concrete class.
template <class Derived, class Base = TZorExprNode>
class TZorNodeOf : public Base {
 public:
  using Base::Base;
  TZorNodePtr Clone() const override {
    return std::make_unique<Derived>(static_cast<const Derived&>(*this));
  }
};

class TZorExprNodeConst : public TZorNodeOf<TZorExprNodeConst> {
 public:
  explicit TZorExprNodeConst(TZorValue value) { Value = std::move(value); }
  const char* ClassName() const override { return "TZorExprNodeConst"; }
  bool IsConstant() const override { return true; }
  std::uint8_t GetResultType() const override { return Value.DataType(); }
  const TZorValue& Evaluate(TZorEvalContext*) override { return Value; }
  std::int32_t GetResultSize() const override;
  std::string GetSQLText() const override;

 protected:
  std::string DumpLine() const override;
};

class TZorExprNodeField : public TZorNodeOf<TZorExprNodeField> {
 public:
  TZorExprNodeField(std::string table, std::string field)
      : TableName(std::move(table)), FieldName(std::move(field)) {}
  const char* ClassName() const override { return "TZorExprNodeField"; }

  // The qualifier as written (may be empty) and the field name.
  std::string TableName;
  std::string FieldName;
  // The source the reference is bound to and the field's number there (-1
  // until bound).
  const TZorFieldSource* Source = nullptr;
  int FieldNo = -1;

  // "table.field", or the field name alone without a qualifier.
  std::string QualifiedName() const;

  bool IsResolvableIn(const TZorFieldSource& source) const override;
  // An unqualified reference whose name equals the alias of an item that
  // names a field (ignoring case) takes that item's qualifier and field
  // name; the first such item wins.
  void ResolveAliases(const std::vector<TZorSelectListItem>& items) override;
  // Raises ZorException 2108 "Field '%s' not found" unless exactly one field
  // of `source` matches.
  void Bind(const TZorFieldSource& source) override;
  std::uint8_t GetResultType() const override;
  std::int32_t GetResultSize() const override;
  bool IsFieldFree() const override { return false; }
  // The current row's value: from the context's row when the context gives
  // one, else from the bound source. Unbound: ZorException 2108.
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  std::string GetSQLText() const override;

 protected:
  std::string DumpLine() const override;
};

// A sub-query kept as SQL text; run when the expression is evaluated.
class TZorExprNodeSubQuery : public TZorNodeOf<TZorExprNodeSubQuery> {
 public:
  explicit TZorExprNodeSubQuery(std::string sql) : SQLText(std::move(sql)) { has_subquery_ = true; }
  const char* ClassName() const override { return "TZorExprNodeSubQuery"; }
  std::string SQLText;
  bool Negated = false;  // NOT IN, NOT EXISTS

  // A scalar sub-query runs at the first evaluation, which keeps the value
  // of its only row's first field; later evaluations return it.
  // ZorException 55 without a context, 56 without rows, 57 for several.
  const TZorValue& Evaluate(TZorEvalContext* context) override;

 protected:
  std::string DumpLine() const override;
  // The result of a scalar or EXISTS sub-query once it has run.
  TZorEvalState<TZorValue> result_;
};

// `operand` [NOT] IN (SELECT ...): the operand is the only child.
class TZorExprNodeSubQueryIN : public TZorNodeOf<TZorExprNodeSubQueryIN, TZorExprNodeSubQuery> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeSubQueryIN"; }
  // The sub-query's first-field values are read once, at the first
  // evaluation, and searched for the operand by the rule of an IN list: a
  // NULL operand gives NULL, a NULL among the values makes a non-match
  // NULL. ZorException 58 without a context, 65 without an operand.
  const TZorValue& Evaluate(TZorEvalContext* context) override;

 private:
  TZorEvalState<TZorValueSet> set_;
};

class TZorExprNodeSubQueryExists
    : public TZorNodeOf<TZorExprNodeSubQueryExists, TZorExprNodeSubQuery> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeSubQueryExists"; }
  // Runs once; ZorException 59 without a context.
  const TZorValue& Evaluate(TZorEvalContext* context) override;
};

// +, unary minus, *, /, MOD, the bit operators and the numeric functions.
class TZorExprNodeArithmetic : public TZorNodeOf<TZorExprNodeArithmetic> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeArithmetic"; }
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  std::uint8_t GetResultType() const override;
  std::int32_t GetResultSize() const override;
  std::string GetSQLText() const override { return std::string(); }
};

// A constant operand converted to the type it is compared in against
// values of one type, so that rows do not convert it again.
struct TZorConvertedConst {
  std::uint8_t other_type = 0;
  bool usable = false;
  TZorValue value;
};

class TZorExprNodeComparison : public TZorNodeOf<TZorExprNodeComparison> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeComparison"; }
  const TZorValue& Evaluate(TZorEvalContext* context) override;

 private:
  TZorEvalState<TZorConvertedConst> const_[2];
};

// NOT, AND, OR, IN lists, BETWEEN, LIKE, IS [NOT] NULL.
class TZorExprNodeBoolean : public TZorNodeOf<TZorExprNodeBoolean> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeBoolean"; }
  std::uint8_t GetResultType() const override { return ftBoolean; }
  const TZorValue& Evaluate(TZorEvalContext* context) override;

 private:
  struct LikePattern {
    std::uint8_t type = 0;  // String or WideString
    std::string text;
    std::u16string wide;
  };
  const TZorValue& EvaluateIn(TZorEvalContext* context);
  const TZorValue& EvaluateBetween(TZorEvalContext* context);
  const TZorValue& EvaluateLike(TZorEvalContext* context);

  // IN over constants: the items, sorted once.
  TZorEvalState<TZorValueSet> set_;
  // BETWEEN: its constant bounds converted.
  TZorEvalState<TZorConvertedConst> bound_[2];
  // LIKE with a constant pattern: the pattern text of each common type.
  TZorEvalState<LikePattern> pattern_;
  // IN: 1 when every item is a constant, 0 when not, -1 before the first
  // evaluation.
  int constant_items_ = -1;
};

class TZorExprNodeIsNullFunction : public TZorNodeOf<TZorExprNodeIsNullFunction> {
 public:
  TZorExprNodeIsNullFunction() : TZorNodeOf(opIsNullFunction) {}
  const char* ClassName() const override { return "TZorExprNodeIsNullFunction"; }
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  std::uint8_t GetResultType() const override;
  std::int32_t GetResultSize() const override;

 private:
  // The planned types of both arguments, fetched at the first evaluation.
  bool have_types_ = false;
  std::uint8_t types_[2] = {0, 0};
};

class TZorExprNodeCast : public TZorNodeOf<TZorExprNodeCast> {
 public:
  explicit TZorExprNodeCast(std::uint8_t target) : TZorNodeOf(opCast), TargetType(target) {}
  const char* ClassName() const override { return "TZorExprNodeCast"; }
  std::uint8_t GetResultType() const override { return TargetType; }
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  // A string target: the operand's size, or the text width of its type;
  // an operand without a width of its own (a memo, a blob) gives
  // kUnsizedTextWidth.
  std::int32_t GetResultSize() const override;
  std::uint8_t TargetType;

  static constexpr std::int32_t kUnsizedTextWidth = 255;
};

// LASTAUTOINC(table): the last automatic number of a table.
class TZorExprNodeSystem : public TZorNodeOf<TZorExprNodeSystem> {
 public:
  const char* ClassName() const override { return "TZorExprNodeSystem"; }
  std::uint8_t GetResultType() const override { return ftInteger; }
  // The context's LastAutoInc; ZorException 55 without a context.
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  std::string TableName;
  std::string Password;
  bool InMemory = false;
};

class TZorExprNodeAggregated : public TZorNodeOf<TZorExprNodeAggregated> {
 public:
  TZorExprNodeAggregated(std::uint8_t op, bool distinct) : TZorNodeOf(op), Distinct(distinct) {}
  const char* ClassName() const override { return "TZorExprNodeAggregated"; }
  bool IsAggregated() const override { return true; }
  bool Distinct;

  // Starts the group over; ZorException 76 for DISTINCT without argument.
  void ResetAggregates() override;
  // Takes in the current row; ZorException 2109 for a non-numeric SUM or
  // AVG argument.
  void Accumulate(TZorEvalContext* context) override;
  // The group's result so far.
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  std::uint8_t GetResultType() const override;
  std::int32_t GetResultSize() const override;

 protected:
  std::string DumpLine() const override;

 private:
  struct Less {
    bool operator()(const TZorValue& a, const TZorValue& b) const;
  };
  std::int32_t count_ = 0;
  TZorValue sum_;  // AVG's running sum
  // DISTINCT: the values taken in so far in this group.
  TZorEvalState<std::set<TZorValue, Less>> seen_;
};

// UPPER, LOWER, TRIM, LTRIM, RTRIM, LENGTH, POS, SUBSTRING and ||.
class TZorExprNodeStringFunction : public TZorNodeOf<TZorExprNodeStringFunction> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeStringFunction"; }
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  std::uint8_t GetResultType() const override;
  std::int32_t GetResultSize() const override;

 protected:
  std::string DumpLine() const override;
};

// The current date and time, TODATE, TOSTRING and the date parts.
class TZorExprNodeDateFunction : public TZorNodeOf<TZorExprNodeDateFunction> {
 public:
  // `format` is the pattern of TODATE and TOSTRING, empty otherwise.
  TZorExprNodeDateFunction(std::uint8_t op, std::string format)
      : TZorNodeOf(op), Format(std::move(format)), Formater(Format) {}
  const char* ClassName() const override { return "TZorExprNodeDateFunction"; }
  const TZorValue& Evaluate(TZorEvalContext* context) override;
  std::uint8_t GetResultType() const override;
  std::int32_t GetResultSize() const override;
  std::string Format;
  TDateFormater Formater;
};

}  // namespace kivo
