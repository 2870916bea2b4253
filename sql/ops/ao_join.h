// The join operator: cross joins by nested loops, inner and outer joins by
// merging two inputs ordered by their key fields.
//
// The output links are every link of the left input, then every link of the
// right input. A merge join needs both inputs in one order that agrees with
// how their keys compare: each input is ordered by its key fields, and when
// the two fields of a key pair are of types that do not order alike (text
// and a number, say), the side whose type is not the type the pair compares
// in is wrapped in a projection that adds the key converted to that type,
// and is ordered by the converted key instead. Such a converted key is a
// working field of the join: it is hidden and never found by name.
//
// The merge walks both inputs once. For a left row it produces one joined
// row per right row with equal keys that the join condition (the part of an
// outer join's ON condition that is not a key equality) accepts; a run of
// right rows with equal keys is remembered by the record number of its
// first row and revisited for the next left row with the same keys, never
// buffered. A NULL key never matches. Outer joins also produce the rows of
// the preserved side that matched nothing, with the other side's fields
// NULL (ReadNullLeft / ReadNullRight).
//
// Invariants:
//  1. leftKeys_[i] and rightKeys_[i] are link numbers of Left and Right
//     whose values compare in one type, and each input is ordered by its
//     key links ascending, so equal keys arrive as one run on each side.
//  2. While the merge is inside a run, the right input is on the row
//     runStart_ + runPos_ (or past the run once runPos_ == runLength_), and
//     runMatched_[k] tells whether run row k has been joined to a left row.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sql/ops/ao.h"

namespace kivo {

class TKivoAOJoin : public TKivoAO {
 public:
  // Copies the inputs' links, resolves and checks the key pairs (native 6,
  // 20, 21, 22, 23, 27) and orders both inputs by their keys. `joinType` is
  // a TZorJoinType; the key lists are ignored for a cross or an empty join.
  TKivoAOJoin(const TZorRunContext& run, std::unique_ptr<TKivoAO> left,
              std::unique_ptr<TKivoAO> right, std::uint8_t joinType, bool natural,
              const TZorFields& leftKeys, const TZorFields& rightKeys);

  // ANDs `conjunct` onto the condition that decides which right rows with
  // equal keys match a left row. For an inner or a cross join that is the
  // same as filtering the joined rows, so there it joins the Condition.
  // Bound when the join is prepared.
  void AddJoinCondition(TZorNodePtr conjunct);

  void DoFirst() override;
  void DoNext() override;
  bool DoEof() override;
  // A cross join's count is the product of its inputs' counts.
  std::int32_t DoRecordCount() override;

  // The converted keys are never found, so that "*" and names leave them out.
  int FindFields(std::string_view name, std::string_view qualifier, std::vector<int>& out,
                 bool makeVisible) override;
  void Materialize() override;
  void Prepare(bool live) override;

  std::uint8_t JoinType() const { return joinType_; }
  // The key pairs as link numbers of the join (after any swap).
  const std::vector<int>& LeftKeyLinks() const { return leftKeyLinks_; }
  const std::vector<int>& RightKeyLinks() const { return rightKeyLinks_; }

 private:
  enum class TPhase : std::uint8_t;
  enum TKeyOrder : std::uint8_t { koLess, koEqual, koGreater };

  void ResolveKeys(bool natural, const TZorFields& leftKeys, const TZorFields& rightKeys);
  int ResolveKey(const TZorSelectListItem& key, int i, int code);
  // Wraps the inputs whose key fields must be converted to sort alike.
  void ConvertMismatchedKeys();
  // Adds to `input` (wrapping it first unless `wrapped`) a link holding its
  // field `fieldNo` converted to `type`; returns that link's number.
  int AddConvertedKey(std::unique_ptr<TKivoAO>& input, bool& wrapped, int fieldNo,
                      std::uint8_t type);
  void OrderInputs();
  bool IsKeyCopy(int n) const;

  bool IsMerge() const;
  bool KeepsLeft() const;
  bool KeepsRight() const;
  void ReadKeys(TKivoAO& input, const std::vector<int>& fields, std::vector<TZorValue>& out);
  // Compares two key lists pair by pair: NULL on the left is less, NULL on
  // the right or on both sides greater; type errors become native 26 / 29.
  TKeyOrder CompareKeys(const std::vector<TZorValue>& a, const std::vector<TZorValue>& b) const;
  bool JoinConditionHolds();
  // Runs the merge until the inputs sit on the next output row or the join
  // ends.
  void AdvanceMerge();
  void AdvanceCross();
  // One step of the merge; true when it stopped on an output row.
  bool StepMerge();
  // Inside a run of equal right keys.
  bool StepRun();
  // Moves the right input past the run and goes back to comparing.
  void LeaveRun();

  std::uint8_t joinType_;
  std::vector<int> leftKeyLinks_;
  std::vector<int> rightKeyLinks_;
  // Link numbers of Left and Right holding each key pair's values.
  std::vector<int> leftKeys_;
  std::vector<int> rightKeys_;
  // Links of this join that carry a converted key (hidden working fields).
  std::vector<bool> keyCopy_;
  std::unique_ptr<TZorExpression> joinCondition_;

  // The cursor.
  TPhase phase_;
  std::vector<TZorValue> leftValues_;
  std::vector<TZorValue> rightValues_;
  std::vector<TZorValue> runKeys_;
  std::int32_t runStart_ = 0;
  std::int32_t runLength_ = -1;  // -1 until the run's end has been seen
  std::int32_t runPos_ = 0;
  std::vector<bool> runMatched_;
  bool leftMatched_ = false;
};

}  // namespace kivo
