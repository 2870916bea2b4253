// Opening and closing the cursor, its properties, the current index, the
// filters and the master-detail link.
#include "components/kivo_dataset.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "components/database.h"
#include "components/globals.h"
#include "components/session.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "engine/table_indexes.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"

namespace kivo {

namespace {

// The comparison classes of field types: values of one class compare.
int ComparisonClass(std::uint8_t type) {
  if (IsNumericType(type)) return 1;
  if (IsStringType(type)) return 2;
  if (IsDateType(type)) return 3;
  if (type == ftBoolean) return 4;
  return 0;
}

}  // namespace

TKivoDataset::TKivoDataset(TComponent* owner) : TKivoDatasetBase(owner) {}

TKivoDataset::~TKivoDataset() {
  try {
    TDataSet::Close();
  } catch (...) {
    // A destructor cannot report; closing the table flushed what it could.
  }
  master_link_.reset();
}

TCriticalSection& TKivoDataset::Lock() const { return Sessions().SessionLock(); }

void TKivoDataset::CheckTableOpened(const char* where) const {
  if (!table_opened_) throw Exception(std::string(where) + " - no table was opened.");
}

// ---------------------------------------------------------------------------
// Properties.

void TKivoDataset::SetTableName(const std::string& value) {
  if (!Loading()) TDataSet::CheckInactive();
  table_name_ = value;
}

void TKivoDataset::SetReadOnly(bool value) {
  if (value != ReadOnly() && TDataSet::Active()) TDataSet::Close();
  TKivoDatasetBase::SetReadOnly(value);
}

void TKivoDataset::SetExclusive(bool value) {
  TDataSet::CheckInactive();
  exclusive_ = value;
}

std::int32_t TKivoDataset::BLOBBlockSize() const {
  return table_opened_ ? data_manager_->BLOBBlockSize() : blob_block_size_;
}

void TKivoDataset::SetBLOBBlockSize(std::int32_t value) {
  if (!table_opened_) blob_block_size_ = value > 0 ? value : kDefaultBLOBBlockSize;
}

std::uint8_t TKivoDataset::BLOBCompression() const {
  return table_opened_ ? data_manager_->BLOBCompression() : blob_compression_;
}

void TKivoDataset::SetBLOBCompression(std::uint8_t value) {
  if (!table_opened_) blob_compression_ = value;
}

bool TKivoDataset::Encrypted() const {
  return table_opened_ ? data_manager_->Encrypted() : encrypted_;
}

bool TKivoDataset::AutoIndexes() const {
  if (!table_opened_) return auto_indexes_;
  int automatic = 0;
  for (std::int32_t i = 0; i < data_manager_->IndexCount(); ++i) {
    const std::string& name = data_manager_->IndexHeader(i).IndexName;
    if (!name.empty() && name[0] == '@') ++automatic;
  }
  return automatic > 1;
}

std::int32_t TKivoDataset::GetLastAutoInc() const {
  return table_opened_ ? data_manager_->LastAutoInc() : 0;
}

void TKivoDataset::DoBuildIndexesProgress(bool start, bool finish, double percentDone) {
  if (OnBuildIndexesProgress) {
    OnBuildIndexesProgress(*this, percentDone, start, finish);
    return;
  }
  if (SuppressProgressWindow()) return;
  if (const TBuildIndexProgressHook& hook = BuildIndexProgressHook())
    hook(*this, start, finish, percentDone);
}

// ---------------------------------------------------------------------------
// Opening and closing.

void TKivoDataset::InternalOpen() {
  TCriticalSectionGuard guard(Lock());
  SetDBFlag(kFlagCursorOpen, true);
  try {
    last_posted_record_id_ = -1;
    OpenTable();
    list_->LockRefresh();
    InternalInitFieldDefs();
    // Persistent fields stay; without any, one field per definition.
    if (DefaultFields()) CreateFields();
    BindFields(true);
    record_buffer_size_ = data_manager_->RecordSize() + 8 + CalcFieldsSize();
    SetBookmarkSize(8);
    // The current index: by name, else by fields, else the identifier order.
    if (!index_name_.empty()) {
      const std::int32_t number = data_manager_->IndexNumber(index_name_);
      if (number < 0)
        throw Exception("TKivoDataSet.InternalOpen - Invalid index name '" + index_name_ + "'");
      list_->SetCurrentIndex(number);
    } else if (!index_field_names_.empty()) {
      const std::int32_t number = data_manager_->FindIndexForFields(index_field_names_, "*", true);
      if (number < 0)
        throw Exception("TKivoDataSet.InternalOpen - Invalid index field names '" +
                        index_field_names_ + "'");
      list_->SetCurrentIndex(number);
    }
    const std::size_t keySize = static_cast<std::size_t>(record_buffer_size_ + kKeyHeaderSize);
    for (auto& key : key_buffers_) {
      key.assign(keySize, 0);
      StoreLE<std::int32_t>(key.data() + 2, IndexFieldCount());
      InternalInitRecord(key.data() + kKeyHeaderSize);
    }
    list_->SetFilterText(Filter());
    if (Filtered()) list_->SetFiltered(true, FilterOptions());
    UpdateMasterConditions();
    BeforeListBuilt(*list_);
    list_->UnlockRefresh();
  } catch (...) {
    if (table_opened_) CloseTable();
    SetDBFlag(kFlagCursorOpen, false);
    throw;
  }
}

void TKivoDataset::OpenTable() {
  const bool ownFlag = DatabaseManager() == nullptr;
  if (ownFlag) SetDBFlag(kFlagCursorOpen, true);
  TKivoDatabaseManager* dbm = DatabaseManager();
  dbm->RegisterDataset(this);
  TKivoDataManager* m = nullptr;
  std::int8_t result = kOpenFailed;
  std::string cause;
  try {
    m = krGetDataManager(table_name_, dbm);
    result = m->ConnectDataset(this);
    if (result != kOpenOk) cause = m->LastOpenError();
  } catch (...) {
    if (m) krReleaseDataManager(m);
    dbm->UnregisterDataset(this);
    throw;
  }
  if (result != kOpenOk) {
    krReleaseDataManager(m);
    dbm->UnregisterDataset(this);
    if (ownFlag) SetDBFlag(kFlagCursorOpen, false);
    const std::string where = "TKivoDataset.OpenTable - ";
    std::string text;
    switch (result) {
      case kOpenMissing:
        text = where + "table \"" + table_name_ + "\" does not exist.";
        break;
      case kOpenInvalidPassword:
        text = where + "invalid password.";
        break;
      case -2:
        text = where + "no password specified.";
        break;
      case kOpenFailed:
        text = where + "table \"" + table_name_ +
               "\" does not exist or some files of table are missed or locked.";
        break;
      case kOpenBadBLOBHeaders:
        text = where + "table \"" + table_name_ + "\" has a corrupted blob headers.";
        break;
      default:
        text = where + "error.";
    }
    ThrowWithCause(Exception(text), cause);
  }
  data_manager_ = m;
  table_opened_ = true;
  inserting_ = false;
  search_ = std::make_unique<TkrTableSearch>(*m);
  search_->SetFormatSettings(DefaultFormatSettings());
  search_->SetMemoReader([this](std::int32_t fieldNo, std::int32_t recPos,
                                const std::uint8_t* record) -> std::string {
    // The record being edited or inserted answers from its own streams.
    const std::uint8_t* active = TDataSet::ActiveBuffer();
    const BlobSlot* slot = fieldNo >= 0 && static_cast<std::size_t>(fieldNo) < blob_slots_.size()
                               ? &blob_slots_[static_cast<std::size_t>(fieldNo)]
                               : nullptr;
    if (slot && slot->stream && active == record && (State() == dsEdit || State() == dsInsert)) {
      const auto& bytes = slot->stream->Bytes();
      return std::string(bytes.begin(), bytes.end());
    }
    if (recPos < 0) return std::string();
    TMemoryStream stream;
    data_manager_->ReadBLOBValue(&stream, fieldNo, recPos);
    return std::string(stream.Bytes().begin(), stream.Bytes().end());
  });
  list_ = std::make_unique<TkrVisibleList>(*m, *search_);
  list_->SetFilterRecordEvent(
      [this](const std::uint8_t* record) { return FilterRecordAccepts(record); });
  find_parser_ = std::make_unique<TSearchParser>(*search_);
  if (m->HasBLOBs()) blob_slots_.resize(static_cast<std::size_t>(m->FieldCount()));
  if (ownFlag) SetDBFlag(kFlagCursorOpen, false);
}

void TKivoDataset::CloseTable() {
  window_.clear();
  window_count_ = 0;
  last_image_pos_ = -2;
  FreeBlobSlots();
  blob_slots_.clear();
  find_parser_.reset();
  list_.reset();
  search_.reset();
  find_matches_.clear();
  find_position_ = -1;
  TKivoDataManager* m = data_manager_;
  data_manager_ = nullptr;
  table_opened_ = false;
  if (TKivoDatabaseManager* dbm = DatabaseManager()) dbm->UnregisterDataset(this);
  if (m) krDisconnectDataset(m, this);
}

void TKivoDataset::InternalClose() {
  TCriticalSectionGuard guard(Lock());
  LeaveAppendRun();
  for (auto& key : key_buffers_) key.clear();
  BindFields(false);
  DestroyFields();
  try {
    if (table_opened_) CloseTable();
  } catch (...) {
    SetDBFlag(kFlagCursorOpen, false);
    throw;
  }
  SetDBFlag(kFlagCursorOpen, false);
}

void TKivoDataset::SetFieldMap(std::vector<std::int32_t> tableFields,
                               std::vector<std::string> names) {
  TDataSet::CheckInactive();
  if (tableFields.size() != names.size())
    throw Exception("TKivoDataSet.SetFieldMap - " + std::to_string(tableFields.size()) +
                    " fields but " + std::to_string(names.size()) + " names.");
  field_map_ = std::move(tableFields);
  field_map_names_ = std::move(names);
}

void TKivoDataset::ClearFieldMap() {
  TDataSet::CheckInactive();
  field_map_.clear();
  field_map_names_.clear();
}

void TKivoDataset::InternalInitFieldDefs() {
  if (!data_manager_) return;
  TFieldDefs& defs = FieldDefs();
  defs.Clear();
  if (!field_map_.empty()) {
    const std::vector<TFieldHeader>& headers = data_manager_->FieldHeaders();
    for (std::size_t i = 0; i < field_map_.size(); ++i) {
      const std::int32_t f = field_map_[i];
      if (f < 0 || static_cast<std::size_t>(f) >= headers.size()) {
        defs.Add(field_map_names_[i], ftAutoInc, 0, false);
        continue;
      }
      const TFieldHeader& h = headers[static_cast<std::size_t>(f)];
      defs.Add(field_map_names_[i], static_cast<TFieldType>(h.FieldType),
               DeclaredSizeOf(h.FieldType, h.FieldSize), h.Required != 0);
    }
    return;
  }
  for (const TFieldHeader& h : data_manager_->FieldHeaders())
    defs.Add(h.FieldName, static_cast<TFieldType>(h.FieldType),
             DeclaredSizeOf(h.FieldType, h.FieldSize), h.Required != 0);
  if (data_manager_->IdFieldVisibility() == 0xF0)
    defs.Add(data_manager_->IdFieldName(), ftAutoInc, 0, false);
}

std::int32_t TKivoDataset::TableFieldNo(const TField* field) const {
  const std::int32_t n = field->FieldNo() - 1;
  if (!field_map_.empty()) {
    return n >= 0 && static_cast<std::size_t>(n) < field_map_.size()
               ? field_map_[static_cast<std::size_t>(n)]
               : -1;
  }
  if (!data_manager_) return n;
  return n >= data_manager_->FieldCount() ? -1 : n;
}

// ---------------------------------------------------------------------------
// The current index.

std::int32_t TKivoDataset::CurrentIndex() const { return list_ ? list_->CurrentIndex() : 0; }

std::int32_t TKivoDataset::IndexFieldCount() const {
  if (!data_manager_) return 0;
  return data_manager_->IndexHeader(CurrentIndex()).FieldCount();
}

TField* TKivoDataset::GetIndexField(std::int32_t i) {
  if (i < 0 || i >= IndexFieldCount())
    throw Exception(
        "Error in TKivoDataSet.GetIndexField - invalid index, index = " + std::to_string(i) + ".");
  const std::int32_t f =
      data_manager_->IndexHeader(CurrentIndex()).KeyFields[static_cast<std::size_t>(i)];
  if (f < 0) return FindField(data_manager_->IdFieldName());
  TField* field = Fields().FieldByNumber(f + 1);
  if (!field)
    throw Exception("Error in TKivoDataSet.GetIndexField - no such field, FieldNo = " +
                    std::to_string(f + 1) + ".");
  return field;
}

void TKivoDataset::SelectIndex(std::int32_t number, bool reversed) {
  list_->SetCurrentIndex(number, reversed);
  for (auto& key : key_buffers_)
    if (!key.empty()) StoreLE<std::int32_t>(key.data() + 2, IndexFieldCount());
}

void TKivoDataset::AfterIndexChange() {
  if (State() != dsBrowse) return;
  UpdateMasterConditions();
  RebuildVisibleList();
  Resync();
}

void TKivoDataset::OpenIndex(const std::string& name, std::int32_t number, bool reversed) {
  TCriticalSectionGuard guard(Lock());
  const std::string where = "Error in TKivoDataSet.OpenIndex - ";
  if (!table_opened_) throw Exception(where + "table is not opened.");
  const std::int32_t count = data_manager_->IndexCount();
  if (count == 0) throw Exception(where + "empty index header list.");
  if (number < 0) {
    number = data_manager_->IndexNumber(name);
    if (number < 0) throw Exception(where + "index \"" + name + "\" not found!");
  } else if (number >= count) {
    throw Exception(where + "index number \"" + std::to_string(number) + "\" not found!");
  }
  SelectIndex(number, reversed);
  AfterIndexChange();
}

void TKivoDataset::SetIndexName(const std::string& value) {
  const std::string previousName = index_name_;
  const std::string previousFields = index_field_names_;
  index_name_ = value;
  index_field_names_.clear();
  if (!table_opened_) return;
  TCriticalSectionGuard guard(Lock());
  if (!value.empty() && AnsiSameText(data_manager_->IndexHeader(CurrentIndex()).IndexName, value))
    return;
  list_->CancelRange();
  SelectIndex(0);
  try {
    if (value.empty())
      AfterIndexChange();
    else
      OpenIndex(value);
  } catch (...) {
    index_name_ = previousName;
    if (previousName.empty()) index_field_names_ = previousFields;
    AfterIndexChange();
    throw;
  }
}

void TKivoDataset::SetIndexFieldNames(const std::string& value) {
  index_field_names_ = value;
  index_name_.clear();
  if (!table_opened_) return;
  TCriticalSectionGuard guard(Lock());
  list_->CancelRange();
  SelectIndex(0);
  if (!value.empty()) {
    const std::int32_t number = data_manager_->FindIndexForFields(value, "*", true);
    if (number < 0) {
      AfterIndexChange();
      throw Exception("Index for fields \"" + value + "\" does not exist.");
    }
    SelectIndex(number);
  }
  AfterIndexChange();
}

// ---------------------------------------------------------------------------
// Filters.

void TKivoDataset::SetFilter(const std::string& value) {
  TDataSet::SetFilter(value);
  if (list_) list_->SetFilterText(value);
}

void TKivoDataset::SetFiltered(bool value) {
  TDataSet::SetFiltered(value);
  if (!table_opened_) return;
  TCriticalSectionGuard guard(Lock());
  CheckBrowseMode();
  list_->SetFilterText(Filter());
  list_->SetFiltered(value, FilterOptions());
  RebuildVisibleList();
  First();
}

bool TKivoDataset::FilterRecordAccepts(const std::uint8_t* record) {
  if (!OnFilterRecord) return true;
  // The handler reads the record through the fields, in the filter state.
  filter_copy_.assign(static_cast<std::size_t>(record_buffer_size_), 0);
  std::memcpy(filter_copy_.data(), record, static_cast<std::size_t>(RecordSize()));
  filter_buffer_ = filter_copy_.data();
  const TDataSetState saved = SetTempState(dsFilter);
  bool accept = true;
  try {
    OnFilterRecord(*this, accept);
  } catch (...) {
    RestoreState(saved);
    filter_buffer_ = nullptr;
    throw;
  }
  RestoreState(saved);
  filter_buffer_ = nullptr;
  return accept;
}

// ---------------------------------------------------------------------------
// The visible list.

void TKivoDataset::RebuildVisibleList() {
  if (!list_) return;
  UpdateMasterConditions();
  list_->Rebuild();
}

void TKivoDataset::EnsureVisibleListCurrent() {
  if (list_ && data_manager_->ChangeCount() != list_->ChangeCountSeen()) RebuildVisibleList();
}

void TKivoDataset::InternalRefresh() {
  TCriticalSectionGuard guard(Lock());
  RebuildVisibleList();
}

// ---------------------------------------------------------------------------
// Master-detail link.

TDataSource* TKivoDataset::MasterSource() const {
  return master_link_ ? master_link_->DataSource() : nullptr;
}

bool TKivoDataset::SourceLeadsHere(TDataSource* source) const {
  // The chain is short in practice; a cycle elsewhere in it (which the
  // setters refuse) would still end after as many steps as links exist.
  int steps = 0;
  for (TDataSource* s = source; s != nullptr && steps < 10000; ++steps) {
    TDataSet* ds = s->DataSet();
    if (ds == static_cast<const TDataSet*>(this)) return true;
    auto* kivo = dynamic_cast<TKivoDataset*>(ds);
    s = kivo ? kivo->UpstreamSource() : nullptr;
  }
  return false;
}

void TKivoDataset::SetMasterSource(TDataSource* source) {
  // A source whose data set is this one, or whose chain of masters leads
  // back here, would make the link a cycle.
  if (SourceLeadsHere(source)) throw Exception("TKivoDataSet.SetDataSource - Invalid DataSource");
  if (!master_link_) master_link_ = std::make_unique<TKivoMasterDataLink>(*this);
  master_link_->SetDataSource(source);
  if (TDataSet::Active() && table_opened_) MasterChanged();
}

void TKivoDataset::SetMasterFields(const std::string& value) {
  master_fields_ = value;
  if (TDataSet::Active() && table_opened_) MasterChanged();
}

bool TKivoDataset::MasterRestricts() const {
  return master_link_ && master_link_->Active() && !SplitNameList(master_fields_).empty();
}

bool TKivoDataset::MasterConditionActive() {
  if (!MasterRestricts()) return false;
  const std::vector<std::string> names = SplitNameList(master_fields_);
  if (IndexFieldCount() < static_cast<std::int32_t>(names.size())) return false;
  TDataSet* master = master_link_->DataSet();
  const TkrIndexHeader& header = data_manager_->IndexHeader(CurrentIndex());
  for (std::size_t i = 0; i < names.size(); ++i) {
    TField* mf = master->FindField(names[i]);
    if (!mf) return false;
    const std::int32_t f = header.KeyFields[i];
    const std::uint8_t type =
        f < 0 ? std::uint8_t{ftAutoInc} : data_manager_->FieldHeader(f).FieldType;
    const std::uint8_t masterType = mf->DataType();
    if (type != masterType &&
        (ComparisonClass(type) == 0 || ComparisonClass(type) != ComparisonClass(masterType)))
      return false;
  }
  return true;
}

// One condition per master field: the detail's key field equals the master
// field's value, passed binary (converted into the key field's type, range
// checked), or is null when the master's is. A value the key field cannot
// hold matches no record.
void TKivoDataset::UpdateMasterConditions() {
  if (!list_) return;
  const bool restricts = MasterRestricts();
  std::vector<TSearchOperation> ops;
  bool impossible = false;
  if (restricts && MasterConditionActive()) {
    const std::vector<std::string> names = SplitNameList(master_fields_);
    TDataSet* master = master_link_->DataSet();
    const TkrIndexHeader& header = data_manager_->IndexHeader(CurrentIndex());
    for (std::size_t i = 0; i < names.size(); ++i) {
      TSearchOperation op;
      op.FieldNo = header.KeyFields[i];
      op.Operator = soEqual;
      if (!WriteKeyValue(FieldVariant(master->FieldByName(names[i])), op)) impossible = true;
      ops.push_back(std::move(op));
    }
  }
  const bool conditionActive = restricts && !ops.empty();
  list_->SetMaster(restricts, conditionActive, std::move(ops), impossible);
}

void TKivoDataset::DoOnNewRecord() {
  if (MasterRestricts()) {
    const std::vector<std::string> names = SplitNameList(master_fields_);
    TDataSet* master = master_link_->DataSet();
    // Only as many fields as both the link and the index have.
    const std::size_t n =
        std::min(names.size(), static_cast<std::size_t>(std::max(IndexFieldCount(), 0)));
    for (std::size_t i = 0; i < n; ++i) {
      TField* target = GetIndexField(static_cast<std::int32_t>(i));
      TField* source = master->FindField(names[i]);
      if (!target || !source) continue;
      SetFieldVariant(*target, FieldVariant(*source));
    }
  }
  TDataSet::DoOnNewRecord();
}

void TKivoDataset::MasterChanged() {
  if (!TDataSet::Active() || !table_opened_) return;
  TCriticalSectionGuard guard(Lock());
  if (State() != dsBrowse) return;
  DoBeforeScroll();
  RebuildVisibleList();
  cursor_pos_changed_ = true;
  Resync();  // which tells the links
  DoAfterScroll();
}

void TKivoMasterDataLink::ActiveChanged() { detail_.MasterChanged(); }
void TKivoMasterDataLink::RecordChanged(TField* field) {
  if (field == nullptr) detail_.MasterChanged();
}
void TKivoMasterDataLink::DataSetScrolled(int) { detail_.MasterChanged(); }
void TKivoMasterDataLink::DataSetChanged() { detail_.MasterChanged(); }

}  // namespace kivo
