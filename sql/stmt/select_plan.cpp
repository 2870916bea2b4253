// Planning and running query statements: a SELECT becomes a tree of
// relational operators (tables, joins, projection, grouping), a set
// expression combines the trees of its SELECTs, and Execute prepares the
// root and writes SELECT ... INTO tables.
//
// Planning works on copies of the statement's conditions, so that the
// parsed statement stays as it was and can be planned again.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/ops/ao_groupby.h"
#include "sql/ops/ao_join.h"
#include "sql/ops/ao_table.h"
#include "sql/ops/ao_union.h"
#include "sql/ops/distribute.h"
#include "sql/stmt/select_parse.h"
#include "sql/stmt/union_parse.h"

namespace kivo {

namespace {

namespace err {
constexpr int kNotApplicable = 1069;  // "Search condition '%s' is not applicable"
constexpr int kOrderByColumn = 1051;  // "Column '%s' from ORDER BY clause not found"
constexpr int kTableExists = 2117;    // "Cannot create table. Table '%s' already exists"
}  // namespace err

std::unique_ptr<TZorExpression> CopyOf(const TZorExpression* expression) {
  if (expression == nullptr || expression->IsEmpty()) return nullptr;
  return std::make_unique<TZorExpression>(expression->Root()->Clone());
}

[[noreturn]] void RaiseNotApplicable(const TZorExpression& condition) {
  throw ZorException::CreateFmt(err::kNotApplicable, {}, {condition.Root()->GetSQLText()});
}

// The name a USING list pairs a column with on one side of a join: the
// side's alias or table name when it is a table, else none.
std::string QualifierOf(const TZorTableReference& ref) {
  if (ref.IsJoin) return {};
  return ref.Alias.empty() ? ref.TableName : ref.Alias;
}

bool IsOuter(std::uint8_t joinType) {
  return joinType == jtLeftOuter || joinType == jtRightOuter || joinType == jtFullOuter;
}

}  // namespace

// ---------------------------------------------------------------------------
// One SELECT.

std::unique_ptr<TKivoAO> TKivoSQLSelect::BuildTable(const TZorTableReference& ref,
                                                    const TZorRunContext& run) {
  const TZorHost& host = *run.Host;
  return std::make_unique<TKivoAOTable>(
      run, ref.TableName, ref.Password, ref.InMemory || host.InMemory(), host.DatabaseFileName(),
      ref.DatabaseName.empty() ? host.DatabaseName() : ref.DatabaseName, ref.Alias);
}

std::unique_ptr<TKivoAO> TKivoSQLSelect::BuildReference(const TZorTableReference& ref,
                                                        const TZorRunContext& run,
                                                        std::unique_ptr<TZorExpression>& where) {
  if (!ref.IsJoin) return BuildTable(ref, run);
  std::unique_ptr<TKivoAO> left = BuildReference(*ref.LeftRef, run, where);
  std::unique_ptr<TKivoAO> right = BuildReference(*ref.RightRef, run, where);
  std::uint8_t type = ref.JoinType;
  TZorFields leftKeys;
  TZorFields rightKeys;
  std::unique_ptr<TZorExpression> on = CopyOf(ref.OnCondition.get());
  if (type != jtCross && type != jtEmpty && !ref.Natural) {
    if (!ref.UsingFields.empty()) {
      for (const std::string& name : ref.UsingFields) {
        TZorSelectListItem l;
        l.TableName = QualifierOf(*ref.LeftRef);
        l.FieldName = name;
        TZorSelectListItem r;
        r.TableName = QualifierOf(*ref.RightRef);
        r.FieldName = name;
        leftKeys.Add(l);
        rightKeys.Add(r);
      }
    } else {
      ExtractJoinKeys(on, *left, *right, leftKeys, rightKeys);
      // Equalities of WHERE are keys of an inner join too; an outer join
      // takes its keys from ON only, since WHERE filters its joined rows.
      if (type == jtInner) ExtractJoinKeys(where, *left, *right, leftKeys, rightKeys);
    }
    // An inner join with nothing to merge on is a cross join filtered by
    // its ON condition.
    if (type == jtInner && leftKeys.Count() == 0) type = jtCross;
  }
  auto join = std::make_unique<TKivoAOJoin>(run, std::move(left), std::move(right), type,
                                            ref.Natural, leftKeys, rightKeys);
  if (on) {
    if (IsOuter(type)) {
      // Decides inside the join which rows match; a left row whose matches
      // all fail it still appears, null-extended.
      join->AddJoinCondition(on->TakeRoot());
    } else {
      DistributeCondition(on, *join);
      if (on) AndInto(where, on->TakeRoot());
    }
  }
  return join;
}

std::unique_ptr<TKivoAO> TKivoSQLSelect::BuildOperatorTree(const TZorRunContext& run) {
  std::unique_ptr<TZorExpression> where = CopyOf(where_.get());
  std::unique_ptr<TZorExpression> having = CopyOf(having_.get());
  if (where) {
    // An aggregate has no value for a single row.
    for (int i = 0; i < (where->Root()->Operator == opAnd ? where->Root()->ChildCount() : 1); ++i) {
      const TZorExprNode& operand =
          where->Root()->Operator == opAnd ? *where->Root()->Child(i) : *where->Root();
      if (operand.IsAggregated()) {
        throw ZorException::CreateFmt(err::kNotApplicable, {}, {operand.GetSQLText()});
      }
    }
  }

  // 1-3. FROM: the references, comma-separated ones joined on the key
  // equalities WHERE gives them.
  std::unique_ptr<TKivoAO> tree = BuildReference(*from_.front(), run, where);
  for (std::size_t i = 1; i < from_.size(); ++i) {
    std::unique_ptr<TKivoAO> right = BuildReference(*from_[i], run, where);
    TZorFields leftKeys;
    TZorFields rightKeys;
    ExtractJoinKeys(where, *tree, *right, leftKeys, rightKeys);
    const std::uint8_t type = leftKeys.Count() > 0 ? jtInner : jtCross;
    tree = std::make_unique<TKivoAOJoin>(run, std::move(tree), std::move(right), type, false,
                                         leftKeys, rightKeys);
  }

  // 4-5. Aggregation, or a projection so that computed columns of a
  // single table are copied into a result.
  bool aggregated = group_by_.Count() > 0;
  bool computed = false;
  if (!select_all_) {
    for (const TZorSelectListItem& item : items_) {
      if (!item.IsExpression) continue;
      computed = true;
      if (item.Expression->IsAggregated()) aggregated = true;
    }
  }
  if (!aggregated && tree->IsTableOperator && computed) {
    tree = std::make_unique<TKivoAOTableExpr>(run, std::move(tree));
  }

  // 6-7. WHERE onto the tree; grouping with HAVING over it.
  DistributeCondition(where, *tree);
  if (aggregated) {
    tree = std::make_unique<TKivoAOGroupBy>(run, std::move(tree), group_by_);
  }
  if (having) {
    DistributeCondition(having, *tree);
    if (having) RaiseNotApplicable(*having);
  }

  // 8-10. The output, the aliases, and what is left of WHERE.
  tree->DefineFields(items_, distinct_);
  CheckDuplicateAliases(*tree);
  DistributeCondition(where, *tree);
  if (where) RaiseNotApplicable(*where);

  // 11. ORDER BY, by the root's field names.
  if (!order_by_.empty()) {
    const bool grouping = dynamic_cast<TKivoAOGroupBy*>(tree.get()) != nullptr;
    std::string fields;
    std::string descending;
    for (const TZorSortSpecification& sort : order_by_) {
      std::vector<int> found;
      tree->FindFields(sort.FieldName, sort.TableName, found, !grouping);
      if (found.empty()) {
        throw ZorException::CreateFmt(
            err::kOrderByColumn, {},
            {sort.TableName.empty() ? sort.FieldName : sort.TableName + "." + sort.FieldName});
      }
      const std::string& name = tree->Links[static_cast<std::size_t>(found.front())].FieldName;
      if (!fields.empty()) fields += ';';
      fields += name;
      if (sort.Descending) {
        if (!descending.empty()) descending += ';';
        descending += name;
      }
    }
    tree->SetOrder(fields, descending, "");
  }

  // 12. TOP.
  if (top_count_ >= 0) tree->SetLimits(top_first_row_, top_count_);
  return tree;
}

// ---------------------------------------------------------------------------
// Set expressions.

std::unique_ptr<TKivoAO> TKivoSQLUnion::BuildNode(const TZorQueryExprNode& node,
                                                  const TZorRunContext& run) {
  if (node.Kind == qkSelect) return node.Select->BuildOperatorTree(run);
  std::unique_ptr<TKivoAO> left = BuildNode(*node.LeftNode, run);
  std::unique_ptr<TKivoAO> right = BuildNode(*node.RightNode, run);
  const std::uint8_t type = node.Kind == qkUnion ? 0 : node.Kind == qkIntersect ? 1 : 2;
  return std::make_unique<TKivoAOUnion>(run, std::move(left), std::move(right), type, !node.All,
                                        node.Corresponding, node.CorrespondingFields);
}

std::unique_ptr<TKivoAO> TKivoSQLUnion::BuildOperatorTree(const TZorRunContext& run) {
  return BuildNode(*root_, run);
}

// ---------------------------------------------------------------------------
// Running.

TKivoSQLCursorCommand::~TKivoSQLCursorCommand() {
  // The tree's expressions evaluate in the context: the tree goes first.
  root_operator_.reset();
}

void TKivoSQLCursorCommand::Execute(TZorHost& host, bool live) {
  root_operator_.reset();
  context_ = std::make_unique<TZorHostContext>(host);
  const TZorRunContext run{&host, context_.get()};
  std::unique_ptr<TKivoAO> root = BuildOperatorTree(run);

  const bool named = !into_table_name_.empty();
  TZorTableAddress into;
  into.TableName = into_table_name_;
  into.InMemory = into_memory_ || host.InMemory();
  into.DatabaseFileName = into_database_file_name_;
  if (!into.InMemory && into.DatabaseFileName.empty())
    into.DatabaseFileName = host.DatabaseFileName();

  // A result that only its view orders, cuts (TOP after ORDER BY) or makes
  // distinct, and a base table's filtered rows, are copied into the INTO
  // table from the view; other results are written into it directly.
  bool copyInto = false;
  if (named) {
    copyInto = root->IsTableOperator || !root->OutputFieldList.empty() || !root->SortFields.empty();
    if (copyInto) {
      if (host.TableExists(into)) {
        throw ZorException::CreateFmt(err::kTableExists, {}, {into_table_name_});
      }
    } else {
      root->SetResultTable(into.InMemory, into.TableName, into.DatabaseFileName);
    }
  }

  root->Prepare(live);
  TZorTable* result = root->Result();
  if (root->IsTableOperator) {
    if (!root->OutputFieldList.empty()) result->SetDistinctFields(root->OutputFieldList);
  } else if (root->RowLimit >= 0 || root->FirstRow >= 0) {
    result->SetLimits(root->FirstRow, root->RowLimit);
  }
  root_operator_ = std::move(root);
  if (copyInto) CopyInto(host, *result, into);
}

TZorTable* TKivoSQLCursorCommand::GetResult() const {
  return root_operator_ ? root_operator_->Result() : nullptr;
}

void TKivoSQLCursorCommand::CopyInto(TZorHost& host, TZorTable& from,
                                     const TZorTableAddress& address) {
  const std::vector<int> fields = ShownFieldNumbers(from);
  // The columns are named as the query shows them: by their labels.
  std::vector<std::string> names;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const bool labelled = k < from.VisibleLabels().size() && !from.VisibleLabels()[k].empty();
    names.push_back(labelled ? from.VisibleLabels()[k] : from.FieldName(fields[k]));
  }
  MakeNamesUnique(names);
  std::vector<TZorFieldDef> defs;
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const int n = fields[k];
    defs.push_back({names[k], from.FieldType(n), from.FieldSize(n)});
  }
  std::unique_ptr<TZorTable> to = host.CreateNamedTable(address, defs);
  CopyRows(from, fields, *to);
}

}  // namespace kivo
