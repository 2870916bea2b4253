// Changing the records of a table for the SQL processor: UPDATE edits the
// current record through the table component, DELETE deletes it, and both
// find their records again by identifier; or, for many rows at once, both
// change stored records by position and bring the list up to date once.
#include <string>

#include "components/sql_host.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
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

std::vector<std::int32_t> TKivoSqlTable::VisiblePositions() {
  Manager();
  table_->EnsureVisibleListCurrent();
  const TkrVisibleList& list = *table_->VisibleList();
  std::vector<std::int32_t> positions(static_cast<std::size_t>(list.Count()));
  for (std::int32_t i = 0; i < list.Count(); ++i)
    positions[static_cast<std::size_t>(i)] = list.RecordAt(i);
  return positions;
}

bool TKivoSqlTable::CanEditInPlace(const std::vector<int>& fields) {
  for (const int f : fields)
    if (IsBLOBType(FieldType(f)) || IsBlobType(static_cast<TFieldType>(FieldType(f)))) return false;
  return true;
}

std::int32_t TKivoSqlTable::BeginEditInPlace(std::int32_t pos) {
  TKivoDataManager& m = Manager();
  const std::uint8_t* stored = m.GetRecordPtr(pos);
  edit_image_.assign(stored, stored + m.RecordSize());
  table_->BeginInternalEdit(pos);
  fields_.image = edit_image_.data();
  return static_cast<std::int32_t>(GetRecordId(m.Layout(), edit_image_.data()));
}

void TKivoSqlTable::PostEditInPlace() {
  fields_.image = nullptr;
  table_->EndInternalEdit();
}

void TKivoSqlTable::CancelEditInPlace() {
  fields_.image = nullptr;
  table_->CancelInternalEdit();
}

void TKivoSqlTable::DeleteInPlace(std::int32_t pos) { table_->DeleteRecordAt(pos); }

void TKivoSqlTable::EndChangesInPlace() {
  fields_.image = nullptr;
  table_->RebuildVisibleList();
  table_->First();
}

void TKivoSqlTable::Edit() { table_->Edit(); }
void TKivoSqlTable::PostEdit() { table_->Post(); }
void TKivoSqlTable::CancelEdit() { table_->Cancel(); }
void TKivoSqlTable::Delete() { table_->Delete(); }

}  // namespace kivo
