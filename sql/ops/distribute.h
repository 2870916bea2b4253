// Placing the parts of a condition on the operators of a tree, taking join
// keys out of a condition, and the check of table aliases.
//
// A condition is handled as the list of its AND operands (a condition
// whose root is not AND is one operand). Each operand goes to the lowest
// operator that can evaluate it on its own, so that rows are dropped as
// early as possible: a table's record filter rather than a join's filter.
#pragma once

#include <memory>

#include "sql/ops/ao.h"
#include "sql/stmt/select_items.h"

namespace kivo {

// Moves every operand of `condition` that an operator of the tree under
// `op` can evaluate onto that operator's Condition, inputs first. The
// inputs of an outer join are not entered (a filter below it would turn
// dropped rows into null-extended ones). An operand with an aggregate is
// evaluated only by a grouping operator. `condition` keeps what is left,
// or becomes null when nothing is.
void DistributeCondition(std::unique_ptr<TZorExpression>& condition, TKivoAO& op);

// Takes out of `condition` every operand that is an equality of a field of
// `left` and a field of `right` and adds the pair to the key lists (left
// field first). A field of such an equality that both sides have raises
// ZorException 1054 (the first field) or 1055 (the second), "Ambiguous
// field reference to '%s'". `condition` becomes null when nothing is left.
void ExtractJoinKeys(std::unique_ptr<TZorExpression>& condition, TKivoAO& left, TKivoAO& right,
                     TZorFields& leftKeys, TZorFields& rightKeys);

// Raises ZorException 1093 "Duplicate table pseudonym '%s'" when two table
// operators of the tree have the same alias (ignoring case).
void CheckDuplicateAliases(TKivoAO& root);

// The operands of a condition's root: the children of an AND, else the
// root alone. Takes them out of `condition`, which is left empty.
std::vector<TZorNodePtr> TakeConjuncts(TZorExpression& condition);
// A condition of these operands (one AND over several, the operand alone,
// or null for none).
std::unique_ptr<TZorExpression> JoinConjuncts(std::vector<TZorNodePtr> operands);

}  // namespace kivo
