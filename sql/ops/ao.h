// The relational operators a SELECT runs as: a tree of TKivoAO whose leaves
// are tables and whose inner nodes join, combine, project and group the
// rows of their inputs.
//
// Every operator has a list of output fields (TZorFieldLink) and a cursor
// over its rows. A link reads its value from one of three places: a table
// (a base table or a result table, `SourceDataset`), an input operator
// (`SourceOperator`), or its own expression. An operator is materialized
// by copying its rows into a result table; afterwards every link reads that
// table, the inputs are freed and the cursor runs over the table, in the
// order of an index chosen or made for the operator's sort order.
//
// An operator is also a field source (sql/field_source.h): expressions are
// bound to it by field name, and read the current row through its links.
//
// Invariants:
//  1. A link with a SourceDataset reads field SourceFieldNo of that table's
//     current record; the table is the operator's own ResultTable or a
//     result table of an input the operator owns.
//  2. Once Materialized, no link reads from an input: the links that were
//     copied read the result table, the others cannot be read (native 15).
//  3. Expressions owned by links and the Condition are bound to this
//     operator (or, for a table operator's condition, to the table's
//     record fields) before they are evaluated.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/field_source.h"
#include "sql/host.h"
#include "sql/parser.h"
#include "sql/stmt/select_items.h"

namespace kivo {

class TKivoAO;

// One output field of an operator.
struct TZorFieldLink {
  std::string FieldName;  // unique within the operator after MakeFieldNamesUnique
  std::uint8_t DataType = 0;
  std::int32_t Size = 0;    // the declared size of a string field
  std::string DisplayName;  // the alias as written; may be empty
  TKivoAO* SourceOperator = nullptr;
  TZorTable* SourceDataset = nullptr;
  int SourceFieldNo = -1;
  bool Hidden = true;  // not part of the output until a reference shows it
  bool OwnsExpression = false;
  bool IsAggregated = false;
  std::unique_ptr<TZorExpression> Expression;  // set when OwnsExpression
};

// Everything the operators of one statement share: where tables are opened
// and created, and the context expressions are evaluated in.
struct TZorRunContext {
  TZorHost* Host = nullptr;
  TZorEvalContext* Eval = nullptr;  // may be null
};

class TKivoAO : public TZorFieldSource {
 public:
  explicit TKivoAO(const TZorRunContext& run) : run_(run) {}
  ~TKivoAO() override;
  TKivoAO(const TKivoAO&) = delete;
  TKivoAO& operator=(const TKivoAO&) = delete;

  // ---- The operator's own cursor (used until it is materialized).
  virtual void DoFirst() {}
  virtual void DoNext() {}
  virtual bool DoEof() { return true; }
  virtual std::int32_t DoRecordCount();

  // ---- The cursor: over the result table once materialized.
  virtual void First();
  virtual void Next();
  virtual bool Eof();
  virtual std::int32_t RecordCount();

  // Gives every link a name (through the inputs) and makes the names unique
  // (X, X_1, X_12, ...); an empty name becomes "EXPR" and a number.
  virtual void MakeFieldNamesUnique();
  // Copies the rows that pass the Condition into a (new) result table and
  // reads from it from then on; see the .cpp for the steps.
  virtual void Materialize();
  // Binds the condition, prepares the inputs, materializes and orders.
  virtual void Prepare(bool live);
  // Replaces the condition (bound when the operator is prepared).
  virtual void SetCondition(std::unique_ptr<TZorExpression> condition);
  // ANDs `conjunct` onto the condition.
  void AddCondition(TZorNodePtr conjunct);
  // TOP n, m: the 1-based first row and the row limit, -1 when unused.
  virtual void SetLimits(std::int32_t firstRow, std::int32_t rowLimit);
  // The output: the select-list items (empty: every field) and whether
  // duplicates are removed. Computed items become links owning their
  // expression, which is taken from the item.
  virtual void DefineFields(std::vector<TZorSelectListItem>& items, bool distinct);
  // Appends to `out` (once each) the numbers of the links that `name`
  // ("*" for all) with `qualifier` (may be empty) means; with
  // `makeVisible` they lose Hidden. Returns how many `out` holds.
  virtual int FindFields(std::string_view name, std::string_view qualifier, std::vector<int>& out,
                         bool makeVisible);
  // The name of link n: the source table's field name, or (asked to) the
  // input's name, else FieldName. Native 11 out of range.
  virtual std::string GetFieldName(int n, bool askInput);
  // The value of link n for the current row (NULL first). Native 41 out of
  // range, 16 for a hidden link unless `allowHidden`, 15 for a link that
  // has nowhere to read from.
  void ReadField(TZorValue& out, int n, bool allowHidden);
  // Selects or creates the index for the sort order on the result table.
  virtual void ApplyOrder();
  // The sort order: ";"-separated field names, descending ones, case-
  // insensitive ones.
  virtual void SetOrder(const std::string& fields, const std::string& descFields,
                        const std::string& caseInsFields);
  // Where Materialize writes: a named table (SELECT ... INTO) in memory or
  // in a database file; an empty name means a temporary table.
  void SetResultTable(bool inMemory, const std::string& tableName,
                      const std::string& databaseFileName);

  // Binds `expression` to this operator; the fields it names become visible.
  void BindExpression(TZorExpression& expression);
  // The input `link` of this operator that reads from it, or -1.
  int LinkOfInput(const TKivoAO* input, int inputFieldNo) const;
  int LinkCount() const { return static_cast<int>(Links.size()); }
  // The table rows are read from: the result table once materialized (a
  // table operator's base table), else null.
  TZorTable* Result() const { return ResultTable.get(); }
  // Hands the result table over to the caller (after Materialize).
  std::unique_ptr<TZorTable> TakeResult() { return std::move(ResultTable); }
  const TZorRunContext& Run() const { return run_; }

  // ---- TZorFieldSource: links by name, type, size and current value.
  std::vector<int> MatchingFields(std::string_view qualifier, std::string_view name) const override;
  std::uint8_t FieldType(int fieldNo) const override;
  std::int32_t FieldSize(int fieldNo) const override;
  void ReadField(int fieldNo, TZorValue& out) const override;

  // ---- State, named as the planner and the query component read it.
  bool Materialized = false;
  bool Live = false;
  bool IsTableOperator = false;
  bool NeedsLookahead = false;
  std::unique_ptr<TZorExpression> Condition;
  std::int32_t RowLimit = -1;
  std::int32_t FirstRow = -1;
  bool ResultInMemory = false;
  std::string ResultTableName;
  std::string ResultDatabaseFileName;
  std::string TableName;
  std::string Alias;
  std::unique_ptr<TZorTable> ResultTable;
  std::vector<int> OutputFields;
  std::vector<TZorFieldLink> Links;
  bool ReadNullLeft = false;
  bool ReadNullRight = false;
  std::string SortFields;
  std::string SortDescFields;
  std::string SortCaseInsFields;
  std::string OutputFieldList;
  bool HasExpressions = false;
  std::unique_ptr<TKivoAO> Left;
  std::unique_ptr<TKivoAO> Right;

 protected:
  // Appends a link for every link of `input` (names, types, sizes and the
  // flags copied, display names cleared) reading from it.
  void CopyLinksOf(TKivoAO& input, bool keepHidden);
  // The value of the condition for the current row: false for NULL or
  // false, native 47 for a result that is not Boolean.
  bool ConditionHolds();
  // Raises the sort-type refusal when link n cannot be ordered, grouped or
  // compared for DISTINCT (BLOB, memo, bytes and the like).
  void CheckOrderable(int n) const;
  // Whether Materialize cut the rows by FirstRow and RowLimit.
  bool LimitsAppliedWhileCollecting() const;

  TZorRunContext run_;
  // Set while an expression is being bound: MatchingFields shows fields.
  mutable bool binding_ = false;
};

// Types that can be sorted, grouped and compared for DISTINCT (index keys).
bool IsOrderableType(std::uint8_t type);

// Makes every name differ (ignoring case) from the names before it: a
// repeated X becomes X_1, then X_12, X_123 and so on.
void MakeNamesUnique(std::vector<std::string>& names);

// A ";"-separated list of names.
std::vector<std::string> SplitFieldList(const std::string& list);

// ANDs `conjunct` onto `condition` (null or empty: it becomes the
// condition); nested ANDs are flattened into one.
void AndInto(std::unique_ptr<TZorExpression>& condition, TZorNodePtr conjunct);

}  // namespace kivo
