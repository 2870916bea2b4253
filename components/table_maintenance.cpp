// The operations that change a table as a whole rather than its records:
// create, delete, rename, save an in-memory table, import the rows of another
// data set, restructure, add and delete indexes, temporary tables and
// indexes, and the questions whether a table exists and is encrypted.
#include <climits>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "components/kivo_table.h"
#include "components/row_copy.h"
#include "components/session.h"
#include "dataset/data_link.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "storage/container/directory.h"
#include "storage/file_layer.h"

namespace kivo {

namespace {

std::string BusyText(const char* operation, const std::string& table) {
  return std::string("TKivoDataSet.") + operation + " - Table is busy, table " + table;
}

// A pseudo-random number in 0 .. 2147483646 for generated names.
std::int32_t RandomNameNumber() {
  static TCriticalSection lock;
  static std::mt19937 generator{std::random_device{}()};
  TCriticalSectionGuard guard(lock);
  return std::uniform_int_distribution<std::int32_t>(0, 2147483646)(generator);
}

// The longest table name whose files keep their whole names in a container
// (the longest extension is four characters).
constexpr std::size_t kMaxTableNameLength = kMaxDirItemName - 4;

}  // namespace

std::uint8_t TKivoDataset::MaintenanceStoreMode() const {
  return InMemory() ? static_cast<std::uint8_t>(fsmMemory) : 0;
}

void TKivoDataset::RefreshIndexDefs() {
  index_defs_.Clear();
  if (data_manager_) data_manager_->GetIndexDefs(index_defs_, nullptr);
}

// ---------------------------------------------------------------------------
// Questions.

bool TKivoDataset::IsTableEncrypted() {
  TCriticalSectionGuard guard(Lock());
  if (table_opened_) return data_manager_->Encrypted();
  try {
    TDBFlagScope flag(*this, kFlagMaintenance);
    TDataManagerHold manager(krGetDataManager(table_name_, DatabaseManager()));
    // A manager that data sets use already knows its store; a fresh one is
    // told which store this data set names.
    if (manager->DatasetCount() == 0) manager->SetStoreMode(MaintenanceStoreMode());
    return manager->IsEncrypted();
  } catch (...) {
    return true;
  }
}

bool TKivoDataset::Exists() {
  if (TDataSet::Active()) return true;
  TCriticalSectionGuard guard(Lock());
  const int store = !InMemory() || !DatabaseFileName().empty() ? 0 : static_cast<int>(fsmMemory);
  auto test = [&](TKivoDatabaseManager* dbm) {
    return dbm != nullptr && dbm->FileExists(table_name_ + kDataFileExt, store);
  };
  if (DatabaseManager()) return test(DatabaseManager());
  if (TKivoDatabase* db = DBSession().FindDatabase(DatabaseName(), DatabaseFileName())) {
    if (db->Connected()) return test(db->Handle());
    if (!db->Exists()) return false;
    db->Open();
    bool result = false;
    try {
      result = test(db->Handle());
    } catch (...) {
      db->Close();
      throw;
    }
    db->Close();
    return result;
  }
  // A database file that is not there has no tables; asking must not create it.
  if (!DatabaseFileName().empty()) {
    std::error_code ec;
    const bool there =
        InMemory() ? TPFSManager::Instance().FindPFS(DatabaseFileName(), fsmSingleFile) != nullptr
                   : std::filesystem::is_regular_file(DatabaseFileName(), ec);
    if (!there) return false;
  }
  try {
    TDBFlagScope flag(*this, kFlagMaintenance);
    return test(DatabaseManager());
  } catch (const std::exception&) {
    // A database that cannot be opened (a directory that does not exist).
    return false;
  }
}

// ---------------------------------------------------------------------------
// Create, delete, rename, save.

void TKivoDataset::InternalCreateTable() {
  TCriticalSectionGuard guard(Lock());
  const std::string where = "TKivoDataSet.InternalCreateTable - ";
  if (TDataSet::Active())
    throw Exception(where + "Cannot perform this operation on an open DataSet.");
  if (InMemory() && DatabaseName().empty() && DatabaseFileName().empty()) SetDatabaseName("MEMORY");
  TDBFlagScope flag(*this, kFlagMaintenance);
  TKivoDatabaseManager* dbm = DatabaseManager();
  if (!DatabaseFileName().empty() && !dbm->DatabaseExists() && !(InMemory() && !dbm->InMemory()))
    dbm->CreateDatabase();
  TDataManagerHold manager(krGetDataManager(table_name_, dbm));
  if (manager->DatasetCount() > 0) throw Exception(BusyText("InternalCreateTable", table_name_));

  // The persistent data fields join the definitions.
  TFieldDefs& defs = FieldDefs();
  for (const auto& field : Fields()) {
    if (field->Calculated() || field->FieldKind() != fkData) continue;
    if (defs.IndexOf(field->FieldName()) < 0)
      defs.Add(field->FieldName(), field->DataType(), field->Size(), field->Required());
  }
  // Everything is checked before an existing table of the name is replaced:
  // a definition that cannot be made must not cost the old table.
  if (blob_block_size_ < 1) throw Exception(where + "BlobBlockSize must be > 0");
  for (int i = 0; i < defs.Count(); ++i)
    if (defs.IndexOf(defs[i].Name()) != i)
      throw Exception(where + "Duplicate field name \"" + defs[i].Name() + "\"");
  manager->SetBLOBBlockSize(blob_block_size_);
  manager->CheckTableDefinition(defs, index_defs_);

  // Creating replaces a table of the same name.
  manager->SetStoreMode(MaintenanceStoreMode());
  if (dbm->FileExists(table_name_ + kDataFileExt, MaintenanceStoreMode())) manager->DeleteTable();
  manager->SetBLOBCompression(blob_compression_);
  manager->SetEncrypted(encrypted_);
  manager->SetPassword(password_);
  manager->CreateTable(defs, index_defs_, auto_indexes_, records_per_page_hint_);
}

void TKivoDataset::InternalDeleteTable() {
  TCriticalSectionGuard guard(Lock());
  if (TDataSet::Active())
    throw Exception("Error in TKivoDataset.InternalDeleteTable - table is opened.");
  TDBFlagScope flag(*this, kFlagDeletingTable);
  TDataManagerHold manager(krGetDataManager(table_name_, DatabaseManager()));
  // Other data sets keep using the manager: deleting under them is refused.
  if (manager->DatasetCount() > 0) throw Exception(BusyText("InternalDeleteTable", table_name_));
  manager->SetStoreMode(MaintenanceStoreMode());
  manager->DeleteTable();
}

void TKivoDataset::InternalRenameTable(const std::string& newName, bool /*force*/) {
  TCriticalSectionGuard guard(Lock());
  if (TDataSet::Active())
    throw Exception("Error in TKivoDataset.InternalRenameTable - table is opened.");
  {
    TDBFlagScope flag(*this, kFlagMaintenance);
    TDataManagerHold manager(krGetDataManager(table_name_, DatabaseManager()));
    // Renaming files under data sets that have them open would leave those
    // data sets on a table that no longer exists, forced or not.
    if (manager->DatasetCount() > 0) throw Exception(BusyText("InternalRenameTable", table_name_));
    manager->SetStoreMode(MaintenanceStoreMode());
    manager->RenameTable(newName);
  }
  table_name_ = newName;
}

void TKivoDataset::InternalSaveTable() {
  TCriticalSectionGuard guard(Lock());
  if (!table_opened_) throw Exception("TKivoDataset.InternalSaveTable - table is not opened.");
  if (!InMemory())
    throw Exception("TKivoDataset.InternalSaveTable - table is not in in-memory mode.");
  data_manager_->SaveInMemoryTable();
}

void TKivoDataset::SetInMemory(bool value) {
  if (value == InMemory()) return;
  if (Loading() || !TDataSet::Active()) {
    TKivoDatasetBase::SetInMemory(value);
    return;
  }
  TCriticalSectionGuard guard(Lock());
  if (value) {
    TDataSet::Close();
    TKivoDatasetBase::SetInMemory(true);
    TDataSet::Open();
    return;
  }
  InternalSaveTable();
  TDataSet::Close();
  // The in-memory copy goes unless other data sets still use it.
  bool busy = false;
  {
    TDBFlagScope flag(*this, kFlagMaintenance);
    TDataManagerHold manager(krGetDataManager(table_name_, DatabaseManager()));
    busy = manager->DatasetCount() > 0;
  }
  if (!busy) InternalDeleteTable();
  TKivoDatasetBase::SetInMemory(false);
  TDataSet::Open();
}

// ---------------------------------------------------------------------------
// Import.

bool TKivoDataset::InternalImportTable(TDataSource* source, const TIndexDefs* indexDefs,
                                       std::string& log) {
  TCriticalSectionGuard guard(Lock());
  if (TDataSet::Active())
    throw Exception("Error in TKivoDataset.InternalImportTable - table is opened.");
  TDBFlagScope flag(*this, kFlagMaintenance);
  {
    TDataManagerHold manager(krGetDataManager(table_name_, DatabaseManager()));
    if (manager->DatasetCount() > 0) throw Exception(BusyText("InternalImportTable", table_name_));
  }
  log.clear();
  bool success = true;
  if (!source) throw Exception("Error in TKivoDataset.ImportTable - dataSource 0 pointer.");
  TDataSet* from = source->DataSet();
  if (!from) throw Exception("Error in TKivoDataset.ImportTable - dataSet 0 pointer.");
  if (from->FieldDefs().Count() == 0 && from->Fields().Count() == 0)
    throw Exception("Error in TKivoDataset.ImportTable - dataSet.FieldDefs 0 pointer.");

  Close();
  FieldDefs().Clear();
  index_defs_.Clear();
  std::vector<std::string> skipped;
  const std::string limit = std::to_string(kMaxDefinitionNameLength);
  for (const TFieldDef& def : from->FieldDefs()) {
    std::string name = def.Name();
    if (name.size() > kMaxDefinitionNameLength) {
      success = false;
      name.resize(kMaxDefinitionNameLength);
      log += "Field name longer than " + limit + " chars is not supported! FieldName = " + name +
             " is truncated.\r\n";
    }
    TFieldType type = def.DataType();
    std::int32_t size = 0;
    switch (type) {
      case ftString:
      case ftFixedChar:
        type = ftString;
        size = def.Size();
        break;
      case ftSmallint:
      case ftInteger:
      case ftWord:
      case ftBoolean:
      case ftLargeint:
      case ftDate:
      case ftTime:
      case ftDateTime:
      case ftBlob:
      case ftMemo:
      case ftGraphic:
      case ftFmtMemo:
        break;
      case ftBCD:
        type = ftFloat;
        break;
      case ftAutoInc:
        break;
      case ftParadoxOle:
      case ftDBaseOle:
      case ftTypedBinary:
        type = ftBlob;
        break;
      default: {
        bool sqlType = false;
        for (const TTypeNameEntry& entry : kTypeNameTable) sqlType = sqlType || entry.Type == type;
        if (sqlType) {
          size = def.Size();
          break;
        }
        success = false;
        skipped.push_back(name);
        log += "Field type not supported! FieldName = " + name + ". Field skipped.\r\n";
        continue;
      }
    }
    FieldDefs().Add(name, type, size, def.Required());
  }
  if (FieldDefs().Count() == 0) {
    log += "All fields in table were skipped, so table is also skipped.\r\n";
    throw Exception("Cannot create table without fields");
  }
  if (indexDefs) {
    for (const TIndexDef& def : *indexDefs) {
      if (def.Name().empty()) continue;
      const std::string fields = AnsiLowerCase(def.Fields());
      bool usesSkipped = false;
      for (const std::string& name : skipped)
        usesSkipped = usesSkipped || fields.find(AnsiLowerCase(name)) != std::string::npos;
      if (usesSkipped) {
        log += "Index contains skipped field! IndexName = " + def.Name() + ". Index skipped.\r\n";
        continue;
      }
      TIndexDef& added = index_defs_.Add(
          def.Name(), def.Fields(),
          def.Options() & (ixPrimary | ixUnique | ixDescending | ixCaseInsensitive));
      added.SetDescFields(def.DescFields());
      added.SetCaseInsFields(def.CaseInsFields());
    }
  }

  // A BLOB whose first value is a bitmap behind a picture header makes the
  // new field a picture.
  if (!from->Active()) from->Open();
  from->First();
  if (!from->Eof()) {
    for (const auto& owned : from->Fields()) {
      TField* field = owned.get();
      const TFieldType type = field->DataType();
      if (!IsSourceBlob(type) && type != ftParadoxOle && type != ftDBaseOle &&
          type != ftTypedBinary)
        continue;
      const std::string value = field->AsString();
      if (value.size() < 10 || value[0] != 1 || value[1] != 0 || value[2] != 0 || value[3] != 1 ||
          value[8] != 'B' || value[9] != 'M')
        continue;
      const int n = FieldDefs().IndexOf(field->FieldName().substr(0, kMaxDefinitionNameLength));
      if (n >= 0) FieldDefs()[n].SetDataType(ftGraphic);
    }
  }

  try {
    InternalCreateTable();
  } catch (const std::exception&) {
    log += "\r\nTable cannot be created!";
    return false;
  }
  try {
    OpenForRows(from->RecordCount());
  } catch (const std::exception&) {
    log += "\r\nTable cannot be opened!";
    return false;
  }

  TRowCopy copy;
  copy.process = krppImport;
  const std::int32_t count = from->RecordCount();
  copy.divisor = count > 0 ? count : 0.000001;
  copy.log = &log;
  for (const auto& owned : from->Fields()) {
    TField* field = owned.get();
    TField* to = FindField(field->FieldName().substr(0, kMaxDefinitionNameLength));
    if (!to) continue;
    TCopyKind kind = CopyKindOf(to->DataType());
    if (kind == TCopyKind::kBlob && !IsSourceBlob(field->DataType())) continue;
    copy.pairs.push_back({field, to, kind});
  }
  CopyRows(*from, copy);
  return success && copy.success;
}

// ---------------------------------------------------------------------------
// Restructure.

void TKivoDataset::InternalRestructureTable(bool encrypted, const std::string& password,
                                            std::int32_t blobBlockSize,
                                            std::uint8_t blobCompression) {
  TCriticalSectionGuard guard(Lock());
  if (TDataSet::Active())
    throw Exception("Error in TKivoDataset.InternalRestructureTable - table is opened.");
  TDBFlagScope flag(*this, kFlagMaintenance);
  {
    TDataManagerHold manager(krGetDataManager(table_name_, DatabaseManager()));
    if (manager->DatasetCount() > 0)
      throw Exception(BusyText("InternalRestructureTable", table_name_));
  }
  const std::string oldName = table_name_;
  auto backup = std::make_unique<TKivoDataset>();
  backup->SetDatabaseFileName(DatabaseFileName());
  if (!DatabaseName().empty()) backup->SetDatabaseName(DatabaseName());
  backup->SetSessionName(SessionName());
  backup->TKivoDatasetBase::SetInMemory(InMemory());
  backup->SetCacheEnabled(CacheEnabled());
  std::string backupName = oldName + "_backup";
  for (int i = 0;; ++i) {
    backup->SetTableName(backupName);
    if (!backup->Exists()) break;
    backupName = oldName + "_backup" + std::to_string(i);
  }
  // A name cut short by the container could meet another table's files.
  if (backupName.size() > kMaxTableNameLength)
    throw Exception("Error in TKivoDataset.RestructureTable - backup table name \"" + backupName +
                    "\" is longer than " + std::to_string(kMaxTableNameLength) + " characters.");

  FieldDefs().Clear();
  index_defs_.Clear();
  InternalRenameTable(backupName, false);
  // Puts the old table back under its name; the backup is closed first.
  auto restore = [&] {
    backup->Close();
    table_name_ = backupName;
    InternalRenameTable(oldName, false);
  };
  backup->SetPassword(password_);
  try {
    backup->Open();
  } catch (...) {
    restore();
    throw;
  }

  FieldDefs().Clear();
  for (const TFieldDef& def : structure_field_defs_)
    FieldDefs().Add(def.Name(), def.DataType(), def.Size(), def.Required());
  for (const TIndexDef& def : structure_index_defs_) {
    if (!def.Name().empty() && def.Name().front() == '@') continue;
    TIndexDef& added = index_defs_.Add(def.Name(), def.Fields(), def.Options());
    added.SetDescFields(def.DescFields());
    added.SetCaseInsFields(def.CaseInsFields());
  }
  table_name_ = oldName;
  blob_block_size_ = blobBlockSize;
  encrypted_ = encrypted;
  password_ = password;
  blob_compression_ = blobCompression;

  try {
    InternalCreateTable();
    OpenForRows(backup->RecordCount());
  } catch (const std::exception& e) {
    try {
      Close();
    } catch (...) {
    }
    restore();
    throw Exception("Error in TKivoDataset.RestructureTable - " + std::string(e.what()));
  }

  TRowCopy copy;
  copy.process = krppRestructure;
  copy.divisor = std::max(backup->RecordCount(), 1);
  const TFieldDefs& backupDefs = backup->FieldDefs();
  for (int i = 0; i < backup->Fields().Count(); ++i) {
    TField* from = &backup->Fields()[i];
    TField* to = FindField(from->FieldName());
    if (!to && i < Fields().Count()) {
      // A field renamed in place: same position, same type, a name the old
      // table did not have.
      TField* candidate = &Fields()[i];
      if (backupDefs.IndexOf(candidate->FieldName()) < 0 &&
          candidate->DataType() == from->DataType())
        to = candidate;
    }
    if (!to) continue;
    TCopyKind kind = CopyKindOf(from->DataType());
    if (kind == TCopyKind::kBlob && !IsBLOBType(to->DataType())) kind = TCopyKind::kString;
    if (kind == TCopyKind::kIdentifier && to->DataType() != ftAutoInc) kind = TCopyKind::kInteger;
    copy.pairs.push_back({from, to, kind});
  }
  try {
    CopyRows(*backup, copy);
  } catch (const std::exception& e) {
    try {
      Close();
    } catch (...) {
    }
    restore();
    throw Exception(
        "Error in TKivoDataset.RestructureTable - error while saving data. Restructure aborted. " +
        std::string(e.what()));
  }
  Close();
  backup->Close();
  backup->InternalDeleteTable();
}

// ---------------------------------------------------------------------------
// Indexes.

void TKivoDataset::InternalAddIndex(const std::string& name, const std::string& fields,
                                    TIndexOptions options, const std::string& descFields,
                                    const std::string& caseInsFields) {
  TCriticalSectionGuard guard(Lock());
  if (!table_opened_)
    throw Exception("Error in TKivoDataset.InternalAddIndex - table is not opened.");
  data_manager_->AddIndex(name, fields, options, descFields, caseInsFields, false);
  RefreshIndexDefs();
}

void TKivoDataset::InternalDeleteIndex(const std::string& name) {
  TCriticalSectionGuard guard(Lock());
  if (!table_opened_)
    throw Exception("Error in TKivoDataset.InternalDeleteIndex - table is not opened.");
  if (data_manager_->DatasetCount() > 1)
    throw Exception(BusyText("InternalDeleteTable", table_name_));
  const std::int32_t current = CurrentIndex();
  const std::int32_t deleted = data_manager_->DeleteIndex(name, false);
  std::int32_t next = current;
  if (deleted <= 0 || deleted == current)
    next = 0;
  else if (deleted < current)
    next = current - 1;
  SelectIndex(next);
  RefreshIndexDefs();
  RebuildVisibleList();
  if (State() == dsBrowse) Resync();
}

void TKivoDataset::CreateTemporaryIndex(const std::string& fields, const std::string& descFields,
                                        const std::string& caseInsFields, std::string& name) {
  TCriticalSectionGuard guard(Lock());
  if (!table_opened_)
    throw Exception("Error in TKivoDataset.CreateTemporaryIndex - table is not opened.");
  name = data_manager_->CreateTemporaryIndex(fields, descFields, caseInsFields);
}

// ---------------------------------------------------------------------------
// Temporary tables.

void TKivoDataset::CreateTemporaryTable(std::int32_t recordsPerPageHint) {
  TCriticalSectionGuard guard(Lock());
  if (TDataSet::Active()) Close();
  records_per_page_hint_ = recordsPerPageHint;
  TKivoDatasetBase::SetInMemory(true);
  auto_indexes_ = false;
  SetDatabaseName("");
  do {
    table_name_ = "@TABLE" + std::to_string(RandomNameNumber());
  } while (Exists());
  InternalCreateTable();
  delete_on_close_ = true;
  suppress_progress_window_ = true;
}

void TKivoDataset::DeleteTemporaryTable() {
  TCriticalSectionGuard guard(Lock());
  if (!delete_on_close_) return;
  if (TDataSet::Active()) Close();
  InternalDeleteTable();
}

// ---------------------------------------------------------------------------
// The table component's operations.

void TKivoTable::CreateTable() { InternalCreateTable(); }

void TKivoTable::DeleteTable() { InternalDeleteTable(); }

bool TKivoTable::ImportTable(TDataSource* source, const TIndexDefs* indexDefs, std::string& log) {
  return InternalImportTable(source, indexDefs, log);
}

void TKivoTable::RestructureTable(bool encrypted, const std::string& password,
                                  std::int32_t blobBlockSize, std::uint8_t blobCompression) {
  InternalRestructureTable(encrypted, password, blobBlockSize, blobCompression);
}

void TKivoTable::AddIndex(const std::string& name, const std::string& fields, TIndexOptions options,
                          const std::string& descFields, const std::string& caseInsFields) {
  TCriticalSectionGuard guard(Lock());
  const bool wasActive = TDataSet::Active();
  if (!wasActive) Open();
  try {
    if (DataManager()) DataManager()->SetIndexBuildProgress(true);
    InternalAddIndex(name, fields, options, descFields, caseInsFields);
  } catch (...) {
    if (!wasActive) Close();
    throw;
  }
  if (!wasActive) Close();
}

void TKivoTable::DeleteIndex(const std::string& name) {
  TCriticalSectionGuard guard(Lock());
  const bool wasActive = TDataSet::Active();
  if (!wasActive) Open();
  try {
    InternalDeleteIndex(name);
  } catch (...) {
    if (!wasActive) Close();
    throw;
  }
  if (!wasActive) Close();
}

}  // namespace kivo
