// Changing the records of a table for the SQL processor: UPDATE edits the
// current record through the table component, DELETE deletes it, and both
// find their records again by identifier.
#include <string>

#include "components/sql_host.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

int TKivoSqlTable::FieldNoByName(const std::string& name) {
  const int count = FieldCount();
  for (int n = 0; n < count; ++n)
    if (AnsiSameText(FieldName(n), name)) return n;
  table_->FieldByName(name);  // raises the component's "Field '...' not found"
  // A field the component has but does not show here (a hidden identifier).
  throw EDatabaseError("Field '" + name + "' not found");
}

std::int32_t TKivoSqlTable::RecordId() {
  TZorValue id;
  table_->GetFieldValue(id, -1, false);
  return id.AsInteger();
}

bool TKivoSqlTable::MoveToRecordId(std::int32_t id) {
  Manager();  // raises on a closed table
  table_->EnsureVisibleListCurrent();
  const std::int32_t at = table_->VisibleList()->FindRecordById(id);
  if (at < 0) return false;
  table_->SetRecNo(at + 1);
  return true;
}

bool TKivoSqlTable::RecordIdExists(std::int32_t id) {
  Manager();
  return table_->VisibleList()->RecordPositionOfId(id) >= 0;
}

void TKivoSqlTable::Edit() { table_->Edit(); }
void TKivoSqlTable::PostEdit() { table_->Post(); }
void TKivoSqlTable::CancelEdit() { table_->Cancel(); }
void TKivoSqlTable::Delete() { table_->Delete(); }

}  // namespace kivo
