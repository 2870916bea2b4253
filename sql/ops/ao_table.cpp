// The table operator and the projection.
#include "sql/ops/ao_table.h"

#include <algorithm>

#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

TKivoAOTable::TKivoAOTable(const TZorRunContext& run, const std::string& tableName,
                           const std::string& password, bool inMemory,
                           const std::string& databaseFileName, const std::string& databaseName,
                           const std::string& alias)
    : TKivoAO(run) {
  IsTableOperator = true;
  TableName = tableName;
  Alias = alias;
  address_.TableName = tableName;
  address_.Password = password;
  address_.InMemory = inMemory;
  if (!databaseName.empty()) {
    address_.DatabaseName = databaseName;
  } else {
    address_.DatabaseFileName = databaseFileName;
  }
  ResultTable = run.Host->OpenTable(address_);
  ResultTable->SetAlias(alias);
  Materialized = true;
  const int count = ResultTable->FieldCount();
  Links.reserve(static_cast<std::size_t>(count));
  for (int n = 0; n < count; ++n) {
    TZorFieldLink link;
    link.FieldName = ResultTable->FieldName(n);
    link.DataType = ResultTable->FieldType(n);
    link.Size = ResultTable->FieldSize(n);
    link.SourceDataset = ResultTable.get();
    link.SourceFieldNo = n;
    Links.push_back(std::move(link));
  }
}

void TKivoAOTable::DefineFields(std::vector<TZorSelectListItem>& items, bool distinct) {
  for (const TZorSelectListItem& item : items) {
    if (!item.TableName.empty() && !AnsiSameText(item.TableName, TableName) &&
        !AnsiSameText(item.TableName, Alias)) {
      throw ZorException::CreateFmt(14, {}, {TableName, Alias, item.TableName});
    }
  }
  TKivoAO::DefineFields(items, distinct);
  const bool star = items.empty() || std::any_of(items.begin(), items.end(),
                                                 [](const auto& item) { return item.IsStar; });
  if (star) return;
  std::vector<std::string> names;
  std::vector<std::string> labels;
  for (int n : OutputFields) {
    names.push_back(Links[static_cast<std::size_t>(n)].FieldName);
    labels.push_back(Links[static_cast<std::size_t>(n)].DisplayName);
  }
  ResultTable->SetVisibleFields(names, labels, true);
}

void TKivoAOTable::Prepare(bool live) {
  Live = live;
  // Each setting rebuilds the table's visible list. The condition, the one
  // that judges every record, goes last so that it is evaluated once; the
  // limits go first so that the order is walked only as far as they reach.
  if (Condition) Condition->Bind(ResultTable->RecordFields());
  ResultTable->SetLimits(FirstRow, RowLimit);
  ApplyOrder();
  if (Condition) ResultTable->SetRecordFilter(Condition.get(), run_.Eval);
}

TKivoAOTableExpr::TKivoAOTableExpr(const TZorRunContext& run, std::unique_ptr<TKivoAO> input)
    : TKivoAO(run) {
  Left = std::move(input);
  CopyLinksOf(*Left, false);
}

}  // namespace kivo
