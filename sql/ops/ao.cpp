// The behaviour every relational operator shares: links, names, reading a
// field, materializing into a result table, preparing and ordering.
#include "sql/ops/ao.h"

#include <algorithm>
#include <random>

#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

namespace {

// A number from 0 to 2,147,483,646 for generated field names.
std::uint32_t RandomNumber() {
  static thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::uint32_t>(0, 2147483646u)(generator);
}

[[noreturn]] void Raise(int code, const std::vector<FormatArg>& args = {}) {
  throw ZorException::CreateFmt(code, {}, args);
}

// The type a computed column is stored in: the expression's result type,
// except that integer sums, products and negations are stored as LargeInt,
// since their values widen beyond their operands' type rather than wrap.
std::uint8_t StoredType(const TZorExprNode& root) {
  const std::uint8_t type = root.GetResultType();
  if (!IsIntegerType(type) || type == ftLargeint) return type;
  switch (root.Operator) {
    case opAdd:
    case opNegate:
    case opMultiply:
    case opSum:
    case opAbs:
      return ftLargeint;
    default:
      return type;
  }
}

}  // namespace

bool IsOrderableType(std::uint8_t type) {
  return (type >= ftString && type <= ftDateTime) || type == ftAutoInc || type == ftWideString ||
         type == ftLargeint;
}

std::vector<std::string> SplitFieldList(const std::string& list) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(';', start), list.size());
    if (end > start) names.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

TKivoAO::~TKivoAO() {
  // The result table goes first: a base table may still hold the condition
  // as its record filter. The inputs (members declared last) go after it.
  ResultTable.reset();
  for (TZorFieldLink& link : Links) link.Expression.reset();
  Condition.reset();
}

std::int32_t TKivoAO::DoRecordCount() { return ResultTable ? ResultTable->RecordCount() : 0; }

void TKivoAO::First() {
  if (run_.Host != nullptr) run_.Host->CheckCancel();
  if (Materialized && ResultTable) {
    ResultTable->First();
  } else {
    DoFirst();
  }
}

void TKivoAO::Next() {
  if (run_.Host != nullptr) run_.Host->CheckCancel();
  if (Materialized && ResultTable) {
    ResultTable->Next();
  } else {
    DoNext();
  }
}

bool TKivoAO::Eof() { return Materialized && ResultTable ? ResultTable->Eof() : DoEof(); }

std::int32_t TKivoAO::RecordCount() {
  return Materialized && ResultTable ? ResultTable->RecordCount() : DoRecordCount();
}

void MakeNamesUnique(std::vector<std::string>& names) {
  for (std::size_t i = 1; i < names.size(); ++i) {
    std::string& name = names[i];
    int retry = 0;
    auto taken = [&] {
      for (std::size_t j = 0; j < i; ++j) {
        if (AnsiSameText(names[j], name)) return true;
      }
      return false;
    };
    while (taken()) {
      ++retry;
      name += retry == 1 ? std::string("_1") : std::to_string(retry);
    }
  }
}

void TKivoAO::MakeFieldNamesUnique() {
  std::vector<std::string> names;
  for (int i = 0; i < LinkCount(); ++i) {
    std::string name = GetFieldName(i, true);
    if (name.empty()) {
      name = "EXPR" + std::to_string((RandomNumber() + GetTickCount()) % 100000u);
    }
    names.push_back(std::move(name));
  }
  MakeNamesUnique(names);
  for (std::size_t i = 0; i < Links.size(); ++i) Links[i].FieldName = std::move(names[i]);
}

bool TKivoAO::ConditionHolds() {
  const TZorValue& value = Condition->Evaluate(run_.Eval);
  if (value.IsNull()) return false;
  if (value.DataType() != ftBoolean) Raise(47, {std::int64_t{value.DataType()}});
  return value.AsBoolean();
}

bool TKivoAO::LimitsAppliedWhileCollecting() const {
  // With a sort order the rows arrive in the wrong order for a cut, and
  // with DISTINCT duplicates are removed only once the rows are in: either
  // way the cut is left to whoever reads the result.
  return SortFields.empty() && OutputFieldList.empty();
}

void TKivoAO::Materialize() {
  if (Materialized) return;

  // 1. The result fields: every visible link, in link order.
  for (std::size_t j = 0; j < OutputFields.size(); ++j) {
    const TZorFieldLink& link = Links[static_cast<std::size_t>(OutputFields[j])];
    if (link.Hidden) {
      Raise(24, {link.FieldName, link.DisplayName, static_cast<std::int64_t>(j)});
    }
  }
  std::vector<TZorFieldDef> defs;
  std::vector<int> resultNo(Links.size(), -1);
  std::vector<int> copied;
  // A named table (SELECT ... INTO) keeps only the output, in its order.
  std::vector<int> order;
  if (!ResultTableName.empty() && !OutputFields.empty()) {
    order = OutputFields;
  } else {
    for (int i = 0; i < LinkCount(); ++i) {
      if (!Links[static_cast<std::size_t>(i)].Hidden) order.push_back(i);
    }
  }
  for (int i : order) {
    const TZorFieldLink& link = Links[static_cast<std::size_t>(i)];
    if (resultNo[static_cast<std::size_t>(i)] >= 0) continue;
    resultNo[static_cast<std::size_t>(i)] = static_cast<int>(defs.size());
    defs.push_back({link.FieldName, link.DataType, IsStringType(link.DataType) ? link.Size : 0});
    copied.push_back(i);
  }
  if (!ResultTableName.empty()) {
    // A table that stays (SELECT ... INTO) names its columns as the query
    // shows them: by their aliases.
    std::vector<std::string> shown;
    for (int n : copied) {
      const TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
      shown.push_back(link.DisplayName.empty() ? link.FieldName : link.DisplayName);
    }
    MakeNamesUnique(shown);
    for (std::size_t k = 0; k < defs.size(); ++k) defs[k].Name = shown[k];
  }
  std::vector<std::string> names;
  std::vector<std::string> labels;
  if (!OutputFields.empty()) {
    for (int n : OutputFields) {
      names.push_back(defs[static_cast<std::size_t>(resultNo[static_cast<std::size_t>(n)])].Name);
      labels.push_back(Links[static_cast<std::size_t>(n)].DisplayName);
    }
  } else {
    for (int n : copied) {
      names.push_back(defs[static_cast<std::size_t>(resultNo[static_cast<std::size_t>(n)])].Name);
      labels.push_back(Links[static_cast<std::size_t>(n)].DisplayName);
    }
  }

  // 2. The table: named (SELECT ... INTO) or temporary.
  std::unique_ptr<TZorTable> table;
  if (!ResultTableName.empty()) {
    TZorTableAddress address;
    address.TableName = ResultTableName;
    address.InMemory = ResultInMemory;
    address.DatabaseFileName = ResultDatabaseFileName;
    if (ResultDatabaseFileName.empty() && !ResultInMemory) {
      address.DatabaseName = run_.Host->DatabaseName();
    }
    // Writing over an existing table would lose it without a word, where
    // CREATE TABLE refuses: refuse the same way.
    if (run_.Host->TableExists(address)) Raise(2117, {ResultTableName});
    table = run_.Host->CreateNamedTable(address, defs);
  } else {
    table = run_.Host->CreateResultTable(defs);
  }

  // 3. The rows that pass the condition; the limits count only those.
  const bool applyLimits = LimitsAppliedWhileCollecting();
  std::int32_t passed = 0;
  std::int32_t written = 0;
  TZorValue value;
  TZorAppendRun run(*table);
  for (First(); !Eof(); Next()) {
    if (Condition && !ConditionHolds()) continue;
    ++passed;
    if (applyLimits) {
      if (RowLimit >= 0 && written >= RowLimit) break;
      if (FirstRow >= 0 && passed < FirstRow) continue;
    }
    table->Append();
    try {
      for (std::size_t k = 0; k < copied.size(); ++k) {
        // A computed column is written straight from the expression's own
        // result, which stays valid until the next evaluation: no copy.
        const TZorFieldLink& link = Links[static_cast<std::size_t>(copied[k])];
        if (link.Expression) {
          table->WriteField(static_cast<int>(k), link.Expression->Evaluate(run_.Eval));
          continue;
        }
        ReadField(value, copied[k], true);
        table->WriteField(static_cast<int>(k), value);
      }
      table->Post();
    } catch (...) {
      table->Cancel();
      throw;
    }
    ++written;
  }
  run.End();

  // 4. What the result shows.
  table->SetVisibleFields(names, labels, true);

  // 5. Every copied link reads the result table from now on; the others
  // cannot be read any more.
  ResultTable = std::move(table);
  for (std::size_t i = 0; i < Links.size(); ++i) {
    TZorFieldLink& link = Links[i];
    link.Expression.reset();
    link.OwnsExpression = false;
    link.SourceOperator = nullptr;
    link.SourceDataset = resultNo[i] >= 0 ? ResultTable.get() : nullptr;
    link.SourceFieldNo = resultNo[i];
    if (resultNo[i] >= 0) link.FieldName = defs[static_cast<std::size_t>(resultNo[i])].Name;
  }

  // 6. The inputs and the condition have done their work.
  Materialized = true;
  Condition.reset();
  Left.reset();
  Right.reset();
  if (applyLimits) {
    RowLimit = -1;
    FirstRow = -1;
  }
  if (!OutputFieldList.empty()) ResultTable->SetDistinctFields(OutputFieldList);
}

void TKivoAO::Prepare(bool live) {
  Live = live;
  if (Condition && !Materialized) BindExpression(*Condition);
  if (Left) Left->Prepare(false);
  if (Right) Right->Prepare(false);
  if (!Materialized) Materialize();
  ApplyOrder();
}

void TKivoAO::SetCondition(std::unique_ptr<TZorExpression> condition) {
  Condition = std::move(condition);
}

void TKivoAO::AddCondition(TZorNodePtr conjunct) { AndInto(Condition, std::move(conjunct)); }

void AndInto(std::unique_ptr<TZorExpression>& condition, TZorNodePtr conjunct) {
  if (!conjunct) return;
  if (!condition || condition->IsEmpty()) {
    condition = std::make_unique<TZorExpression>(std::move(conjunct));
    return;
  }
  TZorNodePtr root = condition->TakeRoot();
  if (root->Operator != opAnd) {
    auto both = std::make_unique<TZorExprNodeBoolean>(opAnd);
    both->AddChild(std::move(root));
    root = std::move(both);
  }
  if (conjunct->Operator == opAnd) {
    for (TZorNodePtr& operand : conjunct->TakeChildren()) root->AddChild(std::move(operand));
  } else {
    root->AddChild(std::move(conjunct));
  }
  condition = std::make_unique<TZorExpression>(std::move(root));
}

void TKivoAO::SetLimits(std::int32_t firstRow, std::int32_t rowLimit) {
  FirstRow = firstRow;
  RowLimit = rowLimit;
}

void TKivoAO::DefineFields(std::vector<TZorSelectListItem>& items, bool distinct) {
  OutputFields.clear();
  if (items.empty()) {
    std::vector<int> all;
    FindFields("*", {}, all, true);
  }
  for (TZorSelectListItem& item : items) {
    if (item.IsExpression) {
      // A copy of the item's expression: the statement keeps its own, so
      // that it can be planned again.
      auto expression = std::make_unique<TZorExpression>(item.Expression->Root()->Clone());
      BindExpression(*expression);
      TZorFieldLink link;
      link.FieldName =
          item.Pseudonym.empty() ? "Expr" + std::to_string(RandomNumber()) : item.Pseudonym;
      link.DisplayName = link.FieldName;
      link.DataType = StoredType(*expression->Root());
      link.Size = expression->GetResultSize();
      link.IsAggregated = expression->IsAggregated();
      link.OwnsExpression = true;
      link.Hidden = false;
      link.Expression = std::move(expression);
      Links.push_back(std::move(link));
      OutputFields.push_back(LinkCount() - 1);
      HasExpressions = true;
      continue;
    }
    std::vector<int> found;
    FindFields(item.IsStar ? "*" : item.FieldName, item.TableName, found, true);
    if (found.empty()) {
      Raise(33, {item.TableName.empty() ? item.FieldName : item.TableName + "." + item.FieldName});
    }
    if (!item.IsStar) found.resize(1);
    for (int n : found) {
      if (!item.Pseudonym.empty()) Links[static_cast<std::size_t>(n)].DisplayName = item.Pseudonym;
      OutputFields.push_back(n);
    }
  }
  MakeFieldNamesUnique();
  for (int n : OutputFields) {
    TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
    if (link.DisplayName.empty()) link.DisplayName = link.FieldName;
  }
  if (distinct) {
    OutputFieldList.clear();
    auto add = [&](int n) {
      CheckOrderable(n);
      if (!OutputFieldList.empty()) OutputFieldList += ';';
      OutputFieldList += Links[static_cast<std::size_t>(n)].FieldName;
    };
    if (!OutputFields.empty()) {
      for (int n : OutputFields) add(n);
    } else {
      for (int n = 0; n < LinkCount(); ++n) {
        if (!Links[static_cast<std::size_t>(n)].Hidden) add(n);
      }
    }
  }
}

int TKivoAO::FindFields(std::string_view name, std::string_view qualifier, std::vector<int>& out,
                        bool makeVisible) {
  auto add = [&](int n) {
    if (std::find(out.begin(), out.end(), n) == out.end()) out.push_back(n);
    if (makeVisible) Links[static_cast<std::size_t>(n)].Hidden = false;
  };
  const bool qualified = !qualifier.empty();
  if (IsTableOperator && qualified && !AnsiSameText(qualifier, TableName) &&
      !AnsiSameText(qualifier, Alias)) {
    return static_cast<int>(out.size());
  }
  const bool star = name == "*";
  if (star && IsTableOperator) {
    for (int n = 0; n < LinkCount(); ++n) add(n);
    return static_cast<int>(out.size());
  }
  for (TKivoAO* input : {Left.get(), Right.get()}) {
    if (input == nullptr) continue;
    std::vector<int> matches;
    input->FindFields(name, qualifier, matches, makeVisible);
    for (int m : matches) {
      const int n = LinkOfInput(input, m);
      if (n >= 0) add(n);
    }
  }
  if (star) {
    if (!qualified || AnsiSameText(qualifier, TableName)) {
      for (int n = 0; n < LinkCount(); ++n) {
        if (Links[static_cast<std::size_t>(n)].OwnsExpression) add(n);
      }
    }
    return static_cast<int>(out.size());
  }
  for (int n = 0; n < LinkCount(); ++n) {
    const TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
    if (!AnsiSameText(link.FieldName, name) && !AnsiSameText(link.DisplayName, name)) continue;
    if (qualified && !AnsiSameText(qualifier, TableName) && !AnsiSameText(qualifier, Alias)) {
      continue;
    }
    add(n);
    break;
  }
  return static_cast<int>(out.size());
}

std::string TKivoAO::GetFieldName(int n, bool askInput) {
  if (n < 0 || n >= LinkCount()) Raise(11, {TableName, std::int64_t{n}});
  const TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
  if (link.SourceDataset != nullptr) return link.SourceDataset->FieldName(link.SourceFieldNo);
  if (askInput && link.SourceOperator != nullptr) {
    return link.SourceOperator->GetFieldName(link.SourceFieldNo, true);
  }
  return link.FieldName;
}

void TKivoAO::ReadField(TZorValue& out, int n, bool allowHidden) {
  if (n < 0 || n >= LinkCount()) Raise(41, {TableName, std::int64_t{n}});
  out.Clear();
  const TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
  if (link.Hidden && !allowHidden) Raise(16, {TableName, std::int64_t{n}});
  if (link.Expression) {
    out = link.Expression->Evaluate(run_.Eval);
    return;
  }
  if (link.SourceDataset != nullptr) {
    link.SourceDataset->ReadField(link.SourceFieldNo, out);
    return;
  }
  if (link.SourceOperator == nullptr) Raise(15, {TableName, std::int64_t{n}});
  // A null-extended side reads NULL of the field's own type, so that the
  // field still takes part in typed operations (LIKE, concatenation).
  if ((ReadNullLeft && link.SourceOperator == Left.get()) ||
      (ReadNullRight && link.SourceOperator == Right.get())) {
    out.SetNull(link.DataType);
    return;
  }
  link.SourceOperator->ReadField(out, link.SourceFieldNo, true);
}

void TKivoAO::ApplyOrder() {
  if (SortFields.empty()) return;
  if (!ResultTable) Raise(17);
  if (!ResultTable->OrderSelected()) {
    ResultTable->SelectOrCreateIndex(SortFields, SortDescFields, SortCaseInsFields);
  }
}

void TKivoAO::SetOrder(const std::string& fields, const std::string& descFields,
                       const std::string& caseInsFields) {
  for (const std::string& name : SplitFieldList(fields)) {
    std::vector<int> found;
    FindFields(name, {}, found, false);
    if (!found.empty()) CheckOrderable(found.front());
  }
  SortFields = fields;
  SortDescFields = descFields;
  SortCaseInsFields = caseInsFields;
}

void TKivoAO::SetResultTable(bool inMemory, const std::string& tableName,
                             const std::string& databaseFileName) {
  ResultInMemory = inMemory;
  ResultTableName = tableName;
  ResultDatabaseFileName = databaseFileName;
}

void TKivoAO::BindExpression(TZorExpression& expression) {
  binding_ = true;
  try {
    expression.Bind(*this);
  } catch (...) {
    binding_ = false;
    throw;
  }
  binding_ = false;
}

int TKivoAO::LinkOfInput(const TKivoAO* input, int inputFieldNo) const {
  for (int n = 0; n < LinkCount(); ++n) {
    const TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
    if (link.SourceOperator == input && link.SourceFieldNo == inputFieldNo &&
        !link.OwnsExpression) {
      return n;
    }
  }
  return -1;
}

void TKivoAO::CopyLinksOf(TKivoAO& input, bool keepHidden) {
  for (int n = 0; n < input.LinkCount(); ++n) {
    const TZorFieldLink& from = input.Links[static_cast<std::size_t>(n)];
    TZorFieldLink link;
    link.FieldName = from.FieldName;
    link.DataType = from.DataType;
    link.Size = from.Size;
    link.Hidden = keepHidden ? from.Hidden : true;
    link.IsAggregated = from.IsAggregated;
    link.SourceOperator = &input;
    link.SourceFieldNo = n;
    Links.push_back(std::move(link));
  }
}

void TKivoAO::CheckOrderable(int n) const {
  const TZorFieldLink& link = Links[static_cast<std::size_t>(n)];
  if (IsOrderableType(link.DataType)) return;
  std::string type = "#" + std::to_string(link.DataType);
  for (const TTypeNameEntry& entry : kTypeNameTable) {
    if (entry.Type == link.DataType) type = std::string(entry.Name);
  }
  Raise(native_error::kNotOrderable, {link.FieldName, type});
}

std::vector<int> TKivoAO::MatchingFields(std::string_view qualifier, std::string_view name) const {
  // Binding shows the fields in the inputs (so that a materialized input
  // keeps them) but not here: a field read only by an expression or the
  // condition is not part of this operator's output.
  auto* self = const_cast<TKivoAO*>(this);
  std::vector<bool> hidden;
  if (binding_) {
    for (const TZorFieldLink& link : Links) hidden.push_back(link.Hidden);
  }
  std::vector<int> out;
  self->FindFields(name, qualifier, out, binding_);
  for (std::size_t i = 0; i < hidden.size(); ++i) self->Links[i].Hidden = hidden[i];
  return out;
}

std::uint8_t TKivoAO::FieldType(int fieldNo) const {
  return Links[static_cast<std::size_t>(fieldNo)].DataType;
}

std::int32_t TKivoAO::FieldSize(int fieldNo) const {
  return Links[static_cast<std::size_t>(fieldNo)].Size;
}

void TKivoAO::ReadField(int fieldNo, TZorValue& out) const {
  const_cast<TKivoAO*>(this)->ReadField(out, fieldNo, true);
}

}  // namespace kivo
