// The nodes of an SQL expression tree.
//
// Every node owns its children in order and has an operator code (0 for
// constants, field references, sub-queries and system functions) and a
// value slot that evaluation rewrites. Operators that take a list of
// operands of one kind (AND, OR, +, ||, and a run of the same "*", "/" ...)
// are single nodes with any number of children, evaluated left to right,
// so that long chains build wide trees rather than deep ones.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/date_formater.h"
#include "sql/field_source.h"
#include "sql/values.h"

namespace kivo {

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

class TZorExprNode;
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

  // True when every field reference of the sub-tree can be bound in `source`.
  virtual bool IsResolvableIn(const TZorFieldSource& source) const;
  // Attaches every field reference of the sub-tree to `source`.
  virtual void Bind(const TZorFieldSource& source);
  // The type tag of the result: by default the common type of the
  // children's types folded left to right (0 without children).
  virtual std::uint8_t GetResultType() const;
  virtual bool IsAggregated() const;
  virtual bool IsFieldFree() const;
  // One line per node, indented by two spaces per level, then the children
  // one level deeper.
  void Dump(int depth, std::string& out) const;

 protected:
  // The text of this node's own line in a dump (without indentation).
  virtual std::string DumpLine() const;

 private:
  std::vector<TZorNodePtr> children_;
  int height_ = 1;
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
  std::uint8_t GetResultType() const override { return Value.DataType(); }

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
  // Raises ZorException 2108 "Field '%s' not found" unless exactly one field
  // of `source` matches.
  void Bind(const TZorFieldSource& source) override;
  std::uint8_t GetResultType() const override;
  std::int32_t GetResultSize() const;
  bool IsFieldFree() const override { return false; }

 protected:
  std::string DumpLine() const override;
};

// A sub-query kept as SQL text; run when the expression is evaluated.
class TZorExprNodeSubQuery : public TZorNodeOf<TZorExprNodeSubQuery> {
 public:
  explicit TZorExprNodeSubQuery(std::string sql) : SQLText(std::move(sql)) {}
  const char* ClassName() const override { return "TZorExprNodeSubQuery"; }
  std::string SQLText;
  bool Negated = false;  // NOT IN, NOT EXISTS

 protected:
  std::string DumpLine() const override;
};

// `operand` [NOT] IN (SELECT ...): the operand is the only child.
class TZorExprNodeSubQueryIN : public TZorNodeOf<TZorExprNodeSubQueryIN, TZorExprNodeSubQuery> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeSubQueryIN"; }
};

class TZorExprNodeSubQueryExists
    : public TZorNodeOf<TZorExprNodeSubQueryExists, TZorExprNodeSubQuery> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeSubQueryExists"; }
};

// +, unary minus, *, /, MOD, the bit operators and the numeric functions.
class TZorExprNodeArithmetic : public TZorNodeOf<TZorExprNodeArithmetic> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeArithmetic"; }
};

class TZorExprNodeComparison : public TZorNodeOf<TZorExprNodeComparison> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeComparison"; }
};

// NOT, AND, OR, IN lists, BETWEEN, LIKE, IS [NOT] NULL.
class TZorExprNodeBoolean : public TZorNodeOf<TZorExprNodeBoolean> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeBoolean"; }
  std::uint8_t GetResultType() const override { return ftBoolean; }
};

class TZorExprNodeIsNullFunction : public TZorNodeOf<TZorExprNodeIsNullFunction> {
 public:
  TZorExprNodeIsNullFunction() : TZorNodeOf(opIsNullFunction) {}
  const char* ClassName() const override { return "TZorExprNodeIsNullFunction"; }
};

class TZorExprNodeCast : public TZorNodeOf<TZorExprNodeCast> {
 public:
  explicit TZorExprNodeCast(std::uint8_t target) : TZorNodeOf(opCast), TargetType(target) {}
  const char* ClassName() const override { return "TZorExprNodeCast"; }
  std::uint8_t GetResultType() const override { return TargetType; }
  std::uint8_t TargetType;
};

// LASTAUTOINC(table): the last automatic number of a table.
class TZorExprNodeSystem : public TZorNodeOf<TZorExprNodeSystem> {
 public:
  const char* ClassName() const override { return "TZorExprNodeSystem"; }
  std::uint8_t GetResultType() const override { return ftInteger; }
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

 protected:
  std::string DumpLine() const override;
};

// UPPER, LOWER, TRIM, LTRIM, RTRIM, LENGTH, POS, SUBSTRING and ||.
class TZorExprNodeStringFunction : public TZorNodeOf<TZorExprNodeStringFunction> {
 public:
  using TZorNodeOf::TZorNodeOf;
  const char* ClassName() const override { return "TZorExprNodeStringFunction"; }

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
  std::string Format;
  TDateFormater Formater;
};

}  // namespace kivo
