// Grouping: the grouping fields, the select-list checks and the cursor
// over the groups.
#include "sql/ops/ao_groupby.h"

#include <algorithm>

#include "platform/errors.h"
#include "sql/ops/ao_keys.h"

namespace kivo {

namespace {

[[noreturn]] void Raise(int code, const std::vector<FormatArg>& args = {}) {
  throw ZorException::CreateFmt(code, {}, args);
}

}  // namespace

TKivoAOGroupBy::TKivoAOGroupBy(const TZorRunContext& run, std::unique_ptr<TKivoAO> input,
                               const TZorFields& groupFields)
    : TKivoAO(run) {
  Left = std::move(input);
  CopyLinksOf(*Left, false);
  std::string order;
  for (int i = 0; i < groupFields.Count(); ++i) {
    const TZorSelectListItem& item = groupFields[i];
    // Looked up as an expression's reference is: the input keeps the field
    // in its rows, while here it stays out of the output unless selected.
    binding_ = true;
    std::vector<int> found;
    try {
      found = MatchingFields(item.TableName, item.FieldName);
    } catch (...) {
      binding_ = false;
      throw;
    }
    binding_ = false;
    if (found.size() != 1) {
      Raise(46, {item.TableName, item.FieldName, std::int64_t{i},
                 static_cast<std::int64_t>(found.size())});
    }
    const int n = found.front();
    CheckOrderable(n);
    groupLinks_.push_back(n);
    const TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
    if (!order.empty()) order += ';';
    order += Left->Links[static_cast<std::size_t>(link.SourceFieldNo)].FieldName;
  }
  if (!order.empty()) Left->SetOrder(order, "", "");
}

void TKivoAOGroupBy::DefineFields(std::vector<TZorSelectListItem>& items, bool distinct) {
  for (const TZorSelectListItem& item : items) {
    if (item.IsExpression || item.IsStar) continue;
    std::vector<int> found;
    FindFields(item.FieldName, item.TableName, found, false);
    if (found.empty()) Raise(48, {item.TableName, item.FieldName});
    for (int n : found) {
      if (std::find(groupLinks_.begin(), groupLinks_.end(), n) == groupLinks_.end()) {
        Raise(49, {item.TableName, item.FieldName, std::int64_t{n},
                   Links[static_cast<std::size_t>(n)].FieldName});
      }
    }
  }
  TKivoAO::DefineFields(items, distinct);
}

void TKivoAOGroupBy::ResetAggregates() {
  for (TZorFieldLink& link : Links) {
    if (link.Expression && link.IsAggregated) link.Expression->ResetAggregates();
  }
  if (Condition && Condition->IsAggregated()) Condition->ResetAggregates();
}

void TKivoAOGroupBy::AccumulateRow() {
  for (TZorFieldLink& link : Links) {
    if (link.Expression && link.IsAggregated) link.Expression->Accumulate(run_.Eval);
  }
  if (Condition && Condition->IsAggregated()) Condition->Accumulate(run_.Eval);
}

bool TKivoAOGroupBy::SameGroup() {
  TZorValue value;
  for (std::size_t i = 0; i < groupLinks_.size(); ++i) {
    ReadField(value, groupLinks_[i], true);
    const std::string& name = Links[static_cast<std::size_t>(groupLinks_[i])].FieldName;
    if (CompareKeyValues(key_[i], value, 51, 52, name, name) != 0) return false;
  }
  return true;
}

void TKivoAOGroupBy::DoFirst() {
  produced_ = false;
  eof_ = false;
  Left->First();
  NextGroup();
}

void TKivoAOGroupBy::DoNext() {
  if (!eof_) NextGroup();
}

void TKivoAOGroupBy::NextGroup() {
  ReadNullLeft = false;
  // The input waits on the previous group's last row.
  if (produced_ && !Left->Eof()) Left->Next();
  ResetAggregates();
  if (Left->Eof()) {
    if (produced_ || !groupLinks_.empty()) {
      eof_ = true;
    } else {
      // The one group of an empty input: aggregates over no rows, every
      // field NULL.
      ReadNullLeft = true;
      produced_ = true;
    }
    return;
  }
  // Copies: a value read may borrow the row, which moves on.
  key_.assign(groupLinks_.size(), TZorValue());
  TZorValue value;
  for (std::size_t i = 0; i < groupLinks_.size(); ++i) {
    ReadField(value, groupLinks_[i], true);
    key_[i] = value;
  }
  TZorTable& rows = *Left->Result();
  std::int32_t last = 0;
  do {
    AccumulateRow();
    last = rows.RecNo();
    Left->Next();
  } while (!Left->Eof() && SameGroup());
  rows.MoveToRecNo(last);
  produced_ = true;
}

}  // namespace kivo
