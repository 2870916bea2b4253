// The syntax objects of a SELECT that the planner reads: select-list items,
// field lists, FROM references (a binary tree for joins) and sort items.
//
// They hold copies of the names as written (unquoted), so they outlive the
// lexer they were read from; the expressions they own carry no lexer either.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql/parser.h"

namespace kivo {

// One select-list item; the same shape serves key and grouping field lists.
// A plain field reference is kept as (TableName, FieldName) without an
// expression; "*" and "qualifier.*" are star items (FieldName "*", the
// qualifier in TableName); any other item is an expression.
struct TZorSelectListItem {
  std::string TableName;  // the qualifier as written; may be empty
  bool IsStar = false;
  std::string FieldName;
  bool IsExpression = false;
  std::unique_ptr<TZorExpression> Expression;  // set only when IsExpression
  std::string Pseudonym;                       // the alias; may be empty
};

// A list of field names (qualifier and name) such as GROUP BY's.
class TZorFields {
 public:
  // Appends a copy of the item's qualifier and field name.
  void Add(const TZorSelectListItem& item) {
    TZorSelectListItem& copy = items_.emplace_back();
    copy.TableName = item.TableName;
    copy.FieldName = item.FieldName;
  }
  int Count() const { return static_cast<int>(items_.size()); }
  const TZorSelectListItem& operator[](int i) const { return items_[static_cast<std::size_t>(i)]; }

 private:
  std::vector<TZorSelectListItem> items_;
};

// Join types, as the join operator numbers them.
enum TZorJoinType : std::uint8_t {
  jtCross = 0,
  jtInner = 1,
  jtEmpty = 2,  // no fields and no rows
  jtLeftOuter = 3,
  jtRightOuter = 4,
  jtFullOuter = 5,
};

// One FROM item. A table (IsJoin false) names a table of a database; a join
// (IsJoin true) owns its two sides and its ON condition or USING list.
// Joins written one after another nest to the left: "a JOIN b JOIN c" is a
// join whose LeftRef is the join of a and b.
struct TZorTableReference {
  bool IsJoin = false;
  std::string DatabaseName;  // the qualifier of "db.table"; may be empty
  std::string TableName;
  std::string Alias;
  std::string Password;
  bool InMemory = false;  // MEMORY was written before the table name
  bool Natural = false;
  std::uint8_t JoinType = jtInner;
  std::unique_ptr<TZorTableReference> LeftRef;
  std::unique_ptr<TZorTableReference> RightRef;
  std::vector<std::string> UsingFields;
  std::unique_ptr<TZorExpression> OnCondition;  // may be absent
};

// One ORDER BY item.
struct TZorSortSpecification {
  std::string TableName;
  std::string FieldName;
  bool Descending = false;
};

}  // namespace kivo
