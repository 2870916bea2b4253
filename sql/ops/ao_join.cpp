// The join operator: keys, input order and the cross and merge cursors.
#include "sql/ops/ao_join.h"

#include <algorithm>
#include <limits>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/expr_nodes.h"
#include "sql/ops/ao_table.h"

namespace kivo {

// Where the merge stands. The "After" phases move past the row just
// produced; the others decide what comes next.
enum class TKivoAOJoin::TPhase : std::uint8_t {
  kCompare,         // both inputs on rows whose keys are not compared yet
  kAfterLeftOnly,   // the left row was produced alone
  kAfterRightOnly,  // the right row was produced alone
  kRunRow,          // the left row against run row runPos_
  kAfterRunRow,
  kLeftDone,  // the left row has met every row of the run
  kAfterLeftInRun,
  kRunTail,  // the run's rows that no left row matched
  kAfterRunTail,
  kEnd,
};

namespace {

[[noreturn]] void Raise(int code, const std::vector<FormatArg>& args = {}) {
  throw ZorException::CreateFmt(code, {}, args);
}

// Shows link n of `op` and, through the inputs, the field it reads, so that
// an input materialized before this operator keeps it.
void ShowLink(TKivoAO& op, int n) {
  TZorFieldLink& link = op.Links[static_cast<std::size_t>(n)];
  link.Hidden = false;
  if (link.SourceOperator != nullptr) ShowLink(*link.SourceOperator, link.SourceFieldNo);
}

// Whether an index on a field of type `a` and one on type `b` put values in
// the order their comparison (in the common type) does.
bool OrderAlike(std::uint8_t a, std::uint8_t b) {
  return a == b || (IsNumericType(a) && IsNumericType(b)) || (IsDateType(a) && IsDateType(b));
}

std::string JoinList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) {
    if (!list.empty()) list += ';';
    list += name;
  }
  return list;
}

}  // namespace

TKivoAOJoin::TKivoAOJoin(const TZorRunContext& run, std::unique_ptr<TKivoAO> left,
                         std::unique_ptr<TKivoAO> right, std::uint8_t joinType, bool natural,
                         const TZorFields& leftKeys, const TZorFields& rightKeys)
    : TKivoAO(run), joinType_(joinType), phase_(TPhase::kEnd) {
  if (joinType_ > jtFullOuter) {
    throw Exception("TKivoAOJoin - unknown join type " + std::to_string(joinType_));
  }
  Left = std::move(left);
  Right = std::move(right);
  if (joinType_ == jtEmpty) return;
  CopyLinksOf(*Left, true);
  CopyLinksOf(*Right, true);
  if (joinType_ != jtCross) {
    ResolveKeys(natural, leftKeys, rightKeys);
    ConvertMismatchedKeys();
    OrderInputs();
  }
  MakeFieldNamesUnique();
}

void TKivoAOJoin::ResolveKeys(bool natural, const TZorFields& leftKeys,
                              const TZorFields& rightKeys) {
  if (!natural && leftKeys.Count() != rightKeys.Count()) {
    Raise(6, {std::int64_t{leftKeys.Count()}, std::int64_t{rightKeys.Count()}});
  }
  std::vector<int> firsts;
  std::vector<int> seconds;
  for (int i = 0; i < leftKeys.Count(); ++i) firsts.push_back(ResolveKey(leftKeys[i], i, 20));
  for (int i = 0; i < rightKeys.Count(); ++i) seconds.push_back(ResolveKey(rightKeys[i], i, 21));
  const int leftCount = Left->LinkCount();
  if (natural) {
    for (int l = 0; l < leftCount; ++l) {
      for (int r = leftCount; r < LinkCount(); ++r) {
        if (!AnsiSameText(Links[static_cast<std::size_t>(l)].FieldName,
                          Links[static_cast<std::size_t>(r)].FieldName)) {
          continue;
        }
        firsts.push_back(l);
        seconds.push_back(r);
        ShowLink(*this, l);
        ShowLink(*this, r);
      }
    }
  }
  if (firsts.size() != seconds.size()) {
    Raise(23,
          {static_cast<std::int64_t>(firsts.size()), static_cast<std::int64_t>(seconds.size())});
  }
  if (firsts.empty()) Raise(22, {std::int64_t{0}});
  for (std::size_t i = 0; i < firsts.size(); ++i) {
    int a = firsts[i];
    int b = seconds[i];
    if ((a < leftCount) == (b < leftCount)) {
      Raise(27, {Links[static_cast<std::size_t>(a)].FieldName,
                 Links[static_cast<std::size_t>(b)].FieldName, std::int64_t{a}, std::int64_t{b}});
    }
    if (a >= leftCount) std::swap(a, b);
    leftKeyLinks_.push_back(a);
    rightKeyLinks_.push_back(b);
    // The inputs must keep their key fields when they are materialized.
    leftKeys_.push_back(Links[static_cast<std::size_t>(a)].SourceFieldNo);
    rightKeys_.push_back(Links[static_cast<std::size_t>(b)].SourceFieldNo);
    ShowLink(*Left, leftKeys_.back());
    ShowLink(*Right, rightKeys_.back());
  }
}

int TKivoAOJoin::ResolveKey(const TZorSelectListItem& key, int i, int code) {
  std::vector<int> found;
  FindFields(key.FieldName, key.TableName, found, false);
  if (found.size() != 1) {
    Raise(code,
          {key.TableName, key.FieldName, std::int64_t{i}, static_cast<std::int64_t>(found.size())});
  }
  return found.front();
}

void TKivoAOJoin::ConvertMismatchedKeys() {
  bool leftWrapped = false;
  bool rightWrapped = false;
  for (std::size_t i = 0; i < leftKeyLinks_.size(); ++i) {
    const std::uint8_t leftType = Links[static_cast<std::size_t>(leftKeyLinks_[i])].DataType;
    const std::uint8_t rightType = Links[static_cast<std::size_t>(rightKeyLinks_[i])].DataType;
    if (OrderAlike(leftType, rightType)) continue;
    const std::uint8_t type = TZorValue::ComparisonType(leftType, rightType);
    // Without a comparison type the first comparison of the pair raises.
    if (type == ftUnknown) continue;
    if (leftType != type) leftKeys_[i] = AddConvertedKey(Left, leftWrapped, leftKeys_[i], type);
    if (rightType != type) {
      rightKeys_[i] = AddConvertedKey(Right, rightWrapped, rightKeys_[i], type);
    }
  }
}

int TKivoAOJoin::AddConvertedKey(std::unique_ptr<TKivoAO>& input, bool& wrapped, int fieldNo,
                                 std::uint8_t type) {
  if (!wrapped) {
    TKivoAO* const original = input.get();
    auto wrapper = std::make_unique<TKivoAOTableExpr>(run_, std::move(input));
    for (int n = 0; n < original->LinkCount(); ++n) {
      wrapper->Links[static_cast<std::size_t>(n)].Hidden =
          original->Links[static_cast<std::size_t>(n)].Hidden;
    }
    input = std::move(wrapper);
    for (TZorFieldLink& link : Links) {
      if (link.SourceOperator == original) link.SourceOperator = input.get();
    }
    wrapped = true;
  }
  TKivoAO& wrapper = *input;
  auto field = std::make_unique<TZorExprNodeField>(
      "", wrapper.Links[static_cast<std::size_t>(fieldNo)].FieldName);
  field->Source = &wrapper;
  field->FieldNo = fieldNo;
  auto cast = std::make_unique<TZorExprNodeCast>(type);
  cast->AddChild(std::move(field));

  // The wrapper shows the converted key, so that its result table holds it
  // for the order; the join keeps it hidden.
  TZorFieldLink converted;
  converted.FieldName = "JOINKEY";
  converted.DataType = type;
  converted.Size = cast->GetResultSize();
  converted.Hidden = false;
  converted.OwnsExpression = true;
  converted.Expression = std::make_unique<TZorExpression>(std::move(cast));
  wrapper.Links.push_back(std::move(converted));
  wrapper.HasExpressions = true;
  wrapper.MakeFieldNamesUnique();
  const int n = wrapper.LinkCount() - 1;

  TZorFieldLink copy;
  copy.FieldName = wrapper.Links.back().FieldName;
  copy.DataType = type;
  copy.Size = wrapper.Links.back().Size;
  copy.SourceOperator = &wrapper;
  copy.SourceFieldNo = n;
  Links.push_back(std::move(copy));
  keyCopy_.resize(Links.size(), false);
  keyCopy_.back() = true;
  return n;
}

void TKivoAOJoin::OrderInputs() {
  std::vector<std::string> leftNames;
  std::vector<std::string> rightNames;
  for (std::size_t i = 0; i < leftKeys_.size(); ++i) {
    leftNames.push_back(Left->Links[static_cast<std::size_t>(leftKeys_[i])].FieldName);
    rightNames.push_back(Right->Links[static_cast<std::size_t>(rightKeys_[i])].FieldName);
  }
  Left->SetOrder(JoinList(leftNames), "", "");
  Right->SetOrder(JoinList(rightNames), "", "");
}

bool TKivoAOJoin::IsKeyCopy(int n) const {
  return n >= 0 && static_cast<std::size_t>(n) < keyCopy_.size() &&
         keyCopy_[static_cast<std::size_t>(n)];
}

void TKivoAOJoin::AddJoinCondition(TZorNodePtr conjunct) {
  if (KeepsLeft() || KeepsRight()) {
    AndInto(joinCondition_, std::move(conjunct));
  } else {
    AddCondition(std::move(conjunct));
  }
}

int TKivoAOJoin::FindFields(std::string_view name, std::string_view qualifier,
                            std::vector<int>& out, bool makeVisible) {
  std::vector<int> found;
  TKivoAO::FindFields(name, qualifier, found, makeVisible);
  for (int n : found) {
    if (IsKeyCopy(n)) {
      Links[static_cast<std::size_t>(n)].Hidden = true;
    } else if (std::find(out.begin(), out.end(), n) == out.end()) {
      out.push_back(n);
    }
  }
  return static_cast<int>(out.size());
}

void TKivoAOJoin::Prepare(bool live) {
  if (joinCondition_ && !Materialized) BindExpression(*joinCondition_);
  TKivoAO::Prepare(live);
}

void TKivoAOJoin::Materialize() {
  TKivoAO::Materialize();
  // It reads the inputs, which are gone.
  joinCondition_.reset();
  ReadNullLeft = false;
  ReadNullRight = false;
}

// ---- The cursor ------------------------------------------------------------

bool TKivoAOJoin::IsMerge() const { return joinType_ != jtCross && joinType_ != jtEmpty; }
bool TKivoAOJoin::KeepsLeft() const { return joinType_ == jtLeftOuter || joinType_ == jtFullOuter; }
bool TKivoAOJoin::KeepsRight() const {
  return joinType_ == jtRightOuter || joinType_ == jtFullOuter;
}

std::int32_t TKivoAOJoin::DoRecordCount() {
  if (joinType_ != jtCross) return TKivoAO::DoRecordCount();
  const std::int64_t count = std::int64_t{Left->RecordCount()} * std::int64_t{Right->RecordCount()};
  return static_cast<std::int32_t>(
      std::min<std::int64_t>(count, std::numeric_limits<std::int32_t>::max()));
}

void TKivoAOJoin::DoFirst() {
  ReadNullLeft = false;
  ReadNullRight = false;
  phase_ = TPhase::kEnd;
  if (joinType_ == jtEmpty) return;
  Left->First();
  Right->First();
  if (!IsMerge()) {
    if (!Left->Eof() && !Right->Eof()) phase_ = TPhase::kCompare;
    return;
  }
  phase_ = TPhase::kCompare;
  AdvanceMerge();
}

void TKivoAOJoin::DoNext() {
  if (phase_ == TPhase::kEnd) return;
  IsMerge() ? AdvanceMerge() : AdvanceCross();
}

bool TKivoAOJoin::DoEof() { return phase_ == TPhase::kEnd; }

void TKivoAOJoin::AdvanceCross() {
  Right->Next();
  if (!Right->Eof()) return;
  Left->Next();
  if (Left->Eof()) {
    phase_ = TPhase::kEnd;
    return;
  }
  Right->First();
}

void TKivoAOJoin::AdvanceMerge() {
  ReadNullLeft = false;
  ReadNullRight = false;
  while (phase_ != TPhase::kEnd) {
    if (StepMerge()) return;
  }
}

void TKivoAOJoin::ReadKeys(TKivoAO& input, const std::vector<int>& fields,
                           std::vector<TZorValue>& out) {
  out.resize(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) input.ReadField(out[i], fields[i], true);
}

TKivoAOJoin::TKeyOrder TKivoAOJoin::CompareKeys(const std::vector<TZorValue>& a,
                                                const std::vector<TZorValue>& b) const {
  for (std::size_t i = 0; i < a.size(); ++i) {
    int result = zcrEqual;
    try {
      result = TZorValue::Compare(a[i], b[i]);
    } catch (const ZorException& e) {
      const int code = e.NativeError() == native_error::kInvalidTypeCast       ? 26
                       : e.NativeError() == native_error::kCompareNotSupported ? 29
                                                                               : 0;
      if (code == 0) throw;
      Raise(code, {Links[static_cast<std::size_t>(leftKeyLinks_[i])].FieldName,
                   Links[static_cast<std::size_t>(rightKeyLinks_[i])].FieldName});
    }
    switch (result) {
      case zcrEqual:
        continue;
      case zcrLess:
      case zcrLeftNull:
        return koLess;
      default:  // greater, a NULL on the right, NULL on both sides
        return koGreater;
    }
  }
  return koEqual;
}

bool TKivoAOJoin::JoinConditionHolds() {
  if (!joinCondition_) return true;
  const TZorValue& value = joinCondition_->Evaluate(run_.Eval);
  if (value.IsNull()) return false;
  if (value.DataType() != ftBoolean) Raise(47, {std::int64_t{value.DataType()}});
  return value.AsBoolean();
}

bool TKivoAOJoin::StepMerge() {
  switch (phase_) {
    case TPhase::kCompare:
      break;
    case TPhase::kAfterLeftOnly:
      Left->Next();
      phase_ = TPhase::kCompare;
      return false;
    case TPhase::kAfterRightOnly:
      Right->Next();
      phase_ = TPhase::kCompare;
      return false;
    case TPhase::kEnd:
      return false;
    default:
      return StepRun();
  }
  const bool leftEof = Left->Eof();
  const bool rightEof = Right->Eof();
  if (leftEof && rightEof) {
    phase_ = TPhase::kEnd;
    return false;
  }
  TKeyOrder order = leftEof ? koGreater : koLess;
  if (!leftEof && !rightEof) {
    ReadKeys(*Left, leftKeys_, leftValues_);
    ReadKeys(*Right, rightKeys_, rightValues_);
    order = CompareKeys(leftValues_, rightValues_);
  }
  if (order == koLess) {
    if (KeepsLeft()) {
      ReadNullRight = true;
      phase_ = TPhase::kAfterLeftOnly;
      return true;
    }
    // Without a right row left, no further left row can match.
    if (rightEof) phase_ = TPhase::kEnd;
    if (!rightEof) Left->Next();
    return false;
  }
  if (order == koGreater) {
    if (KeepsRight()) {
      ReadNullLeft = true;
      phase_ = TPhase::kAfterRightOnly;
      return true;
    }
    if (leftEof) phase_ = TPhase::kEnd;
    if (!leftEof) Right->Next();
    return false;
  }
  // Equal keys (never NULL): a run of right rows starts here.
  runKeys_ = rightValues_;
  runStart_ = Right->Result()->RecNo();
  runLength_ = -1;
  runPos_ = 0;
  runMatched_.clear();
  leftMatched_ = false;
  phase_ = TPhase::kRunRow;
  return false;
}

bool TKivoAOJoin::StepRun() {
  const auto pos = static_cast<std::size_t>(runPos_);
  switch (phase_) {
    case TPhase::kRunRow:
      if (runMatched_.size() <= pos) runMatched_.push_back(false);
      phase_ = TPhase::kAfterRunRow;
      if (!JoinConditionHolds()) return false;
      runMatched_[pos] = true;
      leftMatched_ = true;
      return true;
    case TPhase::kAfterRunRow:
      Right->Next();
      ++runPos_;
      if (runLength_ < 0) {
        bool inRun = !Right->Eof();
        if (inRun) {
          ReadKeys(*Right, rightKeys_, rightValues_);
          inRun = CompareKeys(runKeys_, rightValues_) == koEqual;
        }
        if (!inRun) runLength_ = runPos_;
      }
      phase_ = runPos_ == runLength_ ? TPhase::kLeftDone : TPhase::kRunRow;
      return false;
    case TPhase::kLeftDone:
      phase_ = TPhase::kAfterLeftInRun;
      if (leftMatched_ || !KeepsLeft()) return false;
      ReadNullRight = true;
      return true;
    case TPhase::kAfterLeftInRun: {
      // The next left row with the same keys meets the run again.
      Left->Next();
      leftMatched_ = false;
      runPos_ = 0;
      Right->Result()->MoveToRecNo(runStart_);
      bool same = !Left->Eof();
      if (same) {
        ReadKeys(*Left, leftKeys_, leftValues_);
        same = CompareKeys(leftValues_, runKeys_) == koEqual;
      }
      phase_ = same ? TPhase::kRunRow : TPhase::kRunTail;
      return false;
    }
    case TPhase::kRunTail:
      if (!KeepsRight()) {
        Right->Result()->MoveToRecNo(runStart_ + runLength_ - 1);
        Right->Next();
        LeaveRun();
        return false;
      }
      if (runPos_ == runLength_) {
        LeaveRun();
        return false;
      }
      phase_ = TPhase::kAfterRunTail;
      if (runMatched_[pos]) return false;
      ReadNullLeft = true;
      return true;
    case TPhase::kAfterRunTail:
      Right->Next();
      ++runPos_;
      phase_ = TPhase::kRunTail;
      return false;
    default:
      return false;
  }
}

void TKivoAOJoin::LeaveRun() {
  // The run was counted by comparing each right row with its keys, so the
  // row after it cannot be equal; if it is, the input is not in key order
  // and the merge would go wrong without a word.
  if (!Right->Eof()) {
    ReadKeys(*Right, rightKeys_, rightValues_);
    if (CompareKeys(runKeys_, rightValues_) == koEqual) Raise(30);
  }
  phase_ = TPhase::kCompare;
}

}  // namespace kivo
