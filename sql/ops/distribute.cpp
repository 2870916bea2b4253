// Condition placement, join keys and the alias check.
#include "sql/ops/distribute.h"

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/ops/ao_groupby.h"
#include "sql/ops/ao_join.h"

namespace kivo {

namespace {

bool IsOuterJoin(const TKivoAO& op) {
  const auto* join = dynamic_cast<const TKivoAOJoin*>(&op);
  if (join == nullptr) return false;
  const std::uint8_t type = join->JoinType();
  return type == jtLeftOuter || type == jtRightOuter || type == jtFullOuter;
}

bool IsGrouping(const TKivoAO& op) { return dynamic_cast<const TKivoAOGroupBy*>(&op) != nullptr; }

// Whether `op` can evaluate `operand` by itself.
bool Resolvable(const TZorExprNode& operand, const TKivoAO& op) {
  if (operand.IsAggregated() && !IsGrouping(op)) return false;
  return operand.IsResolvableIn(op);
}

void Collect(TKivoAO& op, std::vector<const TKivoAO*>& tables) {
  if (op.IsTableOperator) tables.push_back(&op);
  if (op.Left) Collect(*op.Left, tables);
  if (op.Right) Collect(*op.Right, tables);
}

}  // namespace

std::vector<TZorNodePtr> TakeConjuncts(TZorExpression& condition) {
  std::vector<TZorNodePtr> operands;
  TZorNodePtr root = condition.TakeRoot();
  if (!root) return operands;
  if (root->Operator == opAnd) return root->TakeChildren();
  operands.push_back(std::move(root));
  return operands;
}

std::unique_ptr<TZorExpression> JoinConjuncts(std::vector<TZorNodePtr> operands) {
  if (operands.empty()) return nullptr;
  if (operands.size() == 1) return std::make_unique<TZorExpression>(std::move(operands.front()));
  auto both = std::make_unique<TZorExprNodeBoolean>(opAnd);
  for (TZorNodePtr& operand : operands) both->AddChild(std::move(operand));
  return std::make_unique<TZorExpression>(std::move(both));
}

void DistributeCondition(std::unique_ptr<TZorExpression>& condition, TKivoAO& op) {
  if (!condition || condition->IsEmpty()) {
    condition.reset();
    return;
  }
  if (!IsOuterJoin(op)) {
    for (TKivoAO* input : {op.Left.get(), op.Right.get()}) {
      if (input != nullptr) DistributeCondition(condition, *input);
      if (!condition) return;
    }
  }
  std::vector<TZorNodePtr> kept;
  std::vector<TZorNodePtr> moved;
  for (TZorNodePtr& operand : TakeConjuncts(*condition)) {
    (Resolvable(*operand, op) ? moved : kept).push_back(std::move(operand));
  }
  for (TZorNodePtr& operand : moved) op.AddCondition(std::move(operand));
  condition = JoinConjuncts(std::move(kept));
}

void ExtractJoinKeys(std::unique_ptr<TZorExpression>& condition, TKivoAO& left, TKivoAO& right,
                     TZorFields& leftKeys, TZorFields& rightKeys) {
  if (!condition || condition->IsEmpty()) {
    condition.reset();
    return;
  }
  // Which sides a field reference resolves in: 1 left, 2 right, 3 both,
  // 0 neither (or several fields of one side).
  auto sides = [&](const TZorExprNodeField& field) {
    const std::size_t l = left.MatchingFields(field.TableName, field.FieldName).size();
    const std::size_t r = right.MatchingFields(field.TableName, field.FieldName).size();
    return (l >= 1 ? 1 : 0) | (r >= 1 ? 2 : 0);
  };
  auto item = [](const TZorExprNodeField& field) {
    TZorSelectListItem key;
    key.TableName = field.TableName;
    key.FieldName = field.FieldName;
    return key;
  };
  std::vector<TZorNodePtr> kept;
  for (TZorNodePtr& operand : TakeConjuncts(*condition)) {
    const auto* a = operand->Operator == opEqual && operand->ChildCount() == 2
                        ? dynamic_cast<const TZorExprNodeField*>(operand->Child(0))
                        : nullptr;
    const auto* b =
        a != nullptr ? dynamic_cast<const TZorExprNodeField*>(operand->Child(1)) : nullptr;
    if (b == nullptr) {
      kept.push_back(std::move(operand));
      continue;
    }
    const int sa = sides(*a);
    const int sb = sides(*b);
    // An equality between the two sides, once the ambiguous field is known
    // to be meant for one of them.
    if (sa == 3 && (sb == 1 || sb == 2)) {
      throw ZorException::CreateFmt(1054, {}, {a->QualifiedName()});
    }
    if (sb == 3 && (sa == 1 || sa == 2)) {
      throw ZorException::CreateFmt(1055, {}, {b->QualifiedName()});
    }
    if (sa == 1 && sb == 2) {
      leftKeys.Add(item(*a));
      rightKeys.Add(item(*b));
    } else if (sa == 2 && sb == 1) {
      leftKeys.Add(item(*b));
      rightKeys.Add(item(*a));
    } else {
      kept.push_back(std::move(operand));
    }
  }
  condition = JoinConjuncts(std::move(kept));
}

void CheckDuplicateAliases(TKivoAO& root) {
  std::vector<const TKivoAO*> tables;
  Collect(root, tables);
  for (std::size_t i = 0; i < tables.size(); ++i) {
    if (tables[i]->Alias.empty()) continue;
    for (std::size_t j = 0; j < i; ++j) {
      if (AnsiSameText(tables[i]->Alias, tables[j]->Alias)) {
        throw ZorException::CreateFmt(1093, {}, {tables[i]->Alias});
      }
    }
  }
}

}  // namespace kivo
