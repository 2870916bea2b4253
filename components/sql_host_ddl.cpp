// The table definitions the data-definition statements read and give:
// each call sets up a table component for the address and runs one of the
// table maintenance operations (components/table_maintenance.cpp).
#include <cstdint>
#include <memory>
#include <string>

#include "components/sql_host.h"

namespace kivo {

namespace {

std::int32_t BlockSizeOf(const TZorTableDefinition& definition) {
  return definition.BLOBBlockSize > 0 ? definition.BLOBBlockSize : kDefaultBLOBBlockSize;
}

}  // namespace

TZorTableDefinition TKivoSqlHost::ReadTableDefinition(const TZorTableAddress& address) {
  std::unique_ptr<TKivoTable> t = MakeTable(address);
  t->Open();
  TZorTableDefinition definition;
  definition.Fields = t->FieldDefs();
  TIndexDefs all;
  t->DataManager()->GetIndexDefs(all, &definition.Indexes);
  definition.Password = address.Password;
  definition.AutoIndexes = t->AutoIndexes();
  definition.BLOBCompression = t->BLOBCompression();
  definition.BLOBBlockSize = t->BLOBBlockSize();
  definition.LastAutoInc = t->GetLastAutoInc();
  t->Close();
  return definition;
}

namespace {

// Sets the table's last identifier to `last` when it differs, so that the
// next record gets last + 1.
void GiveLastAutoInc(TKivoTable& t, std::int32_t last) {
  t.Open();
  if (t.GetLastAutoInc() != last) {
    // last + 1 wraps as the identifier counter does.
    t.DataManager()->SetNextAutoInc(static_cast<std::int32_t>(std::int64_t{last} + 1));
  }
  t.Close();
}

}  // namespace

void TKivoSqlHost::CreateTable(const TZorTableAddress& address,
                               const TZorTableDefinition& definition) {
  std::unique_ptr<TKivoTable> t = MakeTable(address);
  t->SetPassword(definition.Password);
  t->SetEncrypted(!definition.Password.empty());
  t->SetAutoIndexes(definition.AutoIndexes);
  t->SetBLOBCompression(definition.BLOBCompression);
  t->SetBLOBBlockSize(BlockSizeOf(definition));
  t->FieldDefs() = definition.Fields;
  t->IndexDefs() = definition.Indexes;
  t->CreateTable();
  GiveLastAutoInc(*t, definition.LastAutoInc);
}

void TKivoSqlHost::RestructureTable(const TZorTableAddress& address,
                                    const TZorTableDefinition& definition) {
  std::unique_ptr<TKivoTable> t = MakeTable(address);
  t->SetAutoIndexes(definition.AutoIndexes);
  t->StructureFieldDefs() = definition.Fields;
  t->StructureIndexDefs() = definition.Indexes;
  t->RestructureTable(!definition.Password.empty(), definition.Password, BlockSizeOf(definition),
                      definition.BLOBCompression);
  // The restructured table carries the new password.
  t->SetPassword(definition.Password);
  GiveLastAutoInc(*t, definition.LastAutoInc);
}

void TKivoSqlHost::AddIndex(const TZorTableAddress& address, const TIndexDef& index) {
  MakeTable(address)->AddIndex(index.Name(), index.Fields(), index.Options(), index.DescFields(),
                               index.CaseInsFields());
}

void TKivoSqlHost::DeleteIndex(const TZorTableAddress& address, const std::string& name) {
  MakeTable(address)->DeleteIndex(name);
}

}  // namespace kivo
