// TKivoSQLSelect: one SELECT statement read into syntax objects.
//
//   SELECT [ALL | DISTINCT] [TOP n [, m]] select-list
//     [INTO [MEMORY] [database.]table]
//     FROM table-reference {, table-reference}
//     [WHERE condition] [GROUP BY field {, field}] [HAVING condition]
//     [ORDER BY sort-item {, sort-item}]
//
// Field references in WHERE, HAVING and the ON conditions that name a
// select-list alias are turned into references to the aliased field while
// parsing (not when the list is "*"). BuildOperatorTree plans the statement
// (select_plan.cpp); planning leaves the parsed statement as it was, so a
// statement can be planned and run again.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sql/stmt/command.h"
#include "sql/stmt/select_items.h"

namespace kivo {

class TKivoSQLSelect : public TKivoSQLCursorCommand {
 public:
  // Parses at once. Raises the ZorExceptions of the grammar (and of the
  // expression parser), EConvertError for a TOP number beyond 32 bits.
  explicit TKivoSQLSelect(TKivoLexer& lexer);
  // The SELECT whose rows UPDATE and DELETE change, read from the lexer's
  // read position as what follows a select list, with `items` as the list
  // (empty: "*"). With `from`, that reference is the FROM part and reading
  // starts after it (WHERE ...); without it reading starts with INTO or
  // FROM. The lexer's tokens are left as they are, so the statement can be
  // parsed again.
  TKivoSQLSelect(TKivoLexer& lexer, std::vector<TZorSelectListItem> items,
                 std::unique_ptr<TZorTableReference> from);

  // The items in order; empty when the list is "*" (SelectAll).
  const std::vector<TZorSelectListItem>& Items() const { return items_; }
  std::vector<TZorSelectListItem>& Items() { return items_; }
  bool SelectAll() const { return select_all_; }
  bool Distinct() const { return distinct_; }
  // TOP n [, m]: the row limit and the 1-based first row, -1 when absent.
  std::int32_t TopCount() const { return top_count_; }
  std::int32_t TopFirstRow() const { return top_first_row_; }
  // The comma-separated FROM references, in order (at least one).
  const std::vector<std::unique_ptr<TZorTableReference>>& From() const { return from_; }
  // The conditions, null when absent.
  TZorExpression* Where() const { return where_.get(); }
  TZorExpression* Having() const { return having_.get(); }
  const TZorFields& GroupBy() const { return group_by_; }
  const std::vector<TZorSortSpecification>& OrderBy() const { return order_by_; }

  // Whether the plan is a table operator over the base table itself: one
  // FROM table without joins, no GROUP BY, no computed or aggregate items.
  bool ReadsOneTable() const;

  std::unique_ptr<TKivoAO> BuildOperatorTree(const TZorRunContext& run) override;

 protected:
  void Parse() override;

 private:
  void ParseTop();
  void ParseSelectList();
  void ParseSelectItem(int missing);
  void ParseInto();
  void ParseFrom();
  // WHERE, GROUP BY, HAVING and ORDER BY, each when present.
  void ParseClauses();
  // A reference with the joins that follow it; null when the current token
  // cannot start one. `height` receives the height of its join tree.
  std::unique_ptr<TZorTableReference> TableReference(int& height);
  // A table or a parenthesised reference, without the joins after it.
  std::unique_ptr<TZorTableReference> TablePrimary(int& height);
  // [NATURAL] [CROSS | INNER | LEFT [OUTER] | RIGHT [OUTER] | FULL [OUTER]]
  // JOIN: false, with nothing consumed, when no join follows.
  bool JoinWords(bool& natural, std::uint8_t& type);
  void ParseUsing(TZorTableReference& join);
  // A search condition from the current token, its aliases resolved.
  std::unique_ptr<TZorExpression> Condition();
  void ParseGroupBy();
  void ParseOrderBy();

  // Planning. A table reference as a table operator.
  std::unique_ptr<TKivoAO> BuildTable(const TZorTableReference& ref, const TZorRunContext& run);
  // A reference with its joins. Key equalities of inner joins may be taken
  // from `where`; ON conditions that cannot be placed inside the reference
  // are added to it.
  std::unique_ptr<TKivoAO> BuildReference(const TZorTableReference& ref, const TZorRunContext& run,
                                          std::unique_ptr<TZorExpression>& where);

  std::vector<TZorSelectListItem> items_;
  bool select_all_ = false;
  bool distinct_ = false;
  std::int32_t top_count_ = -1;
  std::int32_t top_first_row_ = -1;
  std::vector<std::unique_ptr<TZorTableReference>> from_;
  std::unique_ptr<TZorExpression> where_;
  TZorFields group_by_;
  std::unique_ptr<TZorExpression> having_;
  std::vector<TZorSortSpecification> order_by_;
};

}  // namespace kivo
