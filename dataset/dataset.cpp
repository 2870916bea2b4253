#include "dataset/dataset.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "dataset/data_link.h"

namespace kivo {

namespace {

void Fire(const TDataSet::TDataSetNotify& event, TDataSet& dataSet) {
  if (event) event(dataSet);
}

}  // namespace

TDataSet::TDataSet() : fields_(this) {}

TDataSet::~TDataSet() {
  const std::vector<TDataSource*> sources = sources_;
  sources_.clear();
  for (TDataSource* source : sources) source->DataSetDestroyed();
}

// ---------------------------------------------------------------------------
// Opening and closing

void TDataSet::SetActive(bool value) {
  if (value == Active()) return;
  if (!value) {
    CloseCursor();
    return;
  }
  try {
    OpenCursor();
  } catch (...) {
    if (!IsLoading()) throw;
    InternalHandleException();
  }
}

void TDataSet::OpenCursor() {
  Fire(BeforeOpen, *this);
  default_fields_ = fields_.Count() == 0;
  try {
    InternalOpen();
    const std::size_t size = static_cast<std::size_t>(std::max(RecordBufferSize(), 0));
    active_.assign(size, 0);
    saved_.assign(size, 0);
    scratch_.assign(size, 0);
    has_record_ = false;
    InternalFirst();
    // The state is still inactive here, so the read never resynchronises
    // from a stale buffer.
    has_record_ = ReadRecord(gmNext, true) == grOK;
    bof_ = true;
    eof_ = !has_record_;
  } catch (...) {
    active_.clear();
    saved_.clear();
    scratch_.clear();
    has_record_ = false;
    if (IsCursorOpen()) InternalClose();
    throw;
  }
  SetState(dsBrowse);
  Fire(AfterOpen, *this);
  if (!IsEmpty()) DoAfterScroll();
}

void TDataSet::CloseCursor() {
  Fire(BeforeClose, *this);
  // A pending edit is dropped, as closing always has; the storage side still
  // gets to release what the edit held.
  if (state_ == dsEdit || state_ == dsInsert) InternalCancel();
  SetState(dsInactive);
  auto release = [this] {
    active_.clear();
    saved_.clear();
    scratch_.clear();
    has_record_ = false;
    bof_ = eof_ = true;
    calc_buffer_ = nullptr;
  };
  try {
    InternalClose();
  } catch (...) {
    release();
    throw;
  }
  release();
  Fire(AfterClose, *this);
}

void TDataSet::SetState(TDataSetState state) {
  if (state == state_) return;
  state_ = state;
  modified_ = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState state) {
  const TDataSetState old = state_;
  state_ = state;
  return old;
}

void TDataSet::CheckActive() const {
  if (!Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
  if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

bool TDataSet::IsWritableState(TDataSetState state) {
  return state == dsEdit || state == dsInsert || state == dsSetKey || state == dsCalcFields ||
         state == dsFilter || state == dsNewValue || state == dsInternalCalc;
}

void TDataSet::CheckWritableState() const {
  if (!IsWritableState(state_)) throw EDatabaseError("Dataset not in edit or insert mode");
}

int TDataSet::RecordCount() {
  // A closed cursor may refuse in its own words; others get the general text.
  if (!Active()) GetRecordCount();
  CheckActive();
  return GetRecordCount();
}

void TDataSet::CheckInvariants() const {
  const std::size_t size = Active() ? static_cast<std::size_t>(RecordBufferSize()) : 0;
  assert(active_.size() == size && saved_.size() == size && scratch_.size() == size);
  assert(state_ != dsBrowse || has_record_ || (bof_ && eof_));
  (void)size;
}

// ---------------------------------------------------------------------------
// Reading records

void TDataSet::AfterRead(std::uint8_t* buffer) {
  if (auto_calc_fields_ && calc_fields_size_ > 0) CalculateFields(buffer);
}

TGetResult TDataSet::ReadRecord(TGetMode mode, bool doCheck) {
  const TGetResult result = GetRecord(scratch_.data(), mode, doCheck);
  if (result == grOK) {
    AfterRead(scratch_.data());
    active_.swap(scratch_);
  }
  return result;
}

bool TDataSet::ReadCurrentRecord() {
  if (ReadRecord(gmCurrent, false) == grOK || ReadRecord(gmNext, false) == grOK ||
      ReadRecord(gmPrior, false) == grOK)
    return true;
  return false;
}

void TDataSet::UpdateCursorPos() {
  if (has_record_) InternalSetToRecord(active_.data());
}

void TDataSet::InternalSetToRecord(std::uint8_t* buffer) {
  if (bookmark_size_ <= 0) return;
  // Every move starts here: a usual bookmark stays on the stack.
  std::uint8_t small[32];
  std::vector<std::uint8_t> big;
  std::uint8_t* bookmark = small;
  if (static_cast<std::size_t>(bookmark_size_) > sizeof small) {
    big.resize(static_cast<std::size_t>(bookmark_size_));
    bookmark = big.data();
  }
  GetBookmarkData(buffer, bookmark);
  InternalGotoBookmark(bookmark);
}

void TDataSet::Resync() {
  CheckActive();
  has_record_ = ReadCurrentRecord();
  bof_ = eof_ = !has_record_;
  DataEvent(deDataSetChange, 0);
}

void TDataSet::CalculateFields(std::uint8_t* buffer) {
  ClearCalcFields(buffer);
  WithRecordBuffer(buffer, [this] { Fire(OnCalcFields, *this); });
}

// The calculated-fields state is the one in which field access reads a
// buffer other than the current record's; a row read by position borrows it.
void TDataSet::WithRecordBuffer(std::uint8_t* buffer, const std::function<void()>& read) {
  std::uint8_t* const previous = calc_buffer_;
  calc_buffer_ = buffer;
  const TDataSetState old = SetTempState(dsCalcFields);
  try {
    read();
  } catch (...) {
    RestoreState(old);
    calc_buffer_ = previous;
    throw;
  }
  RestoreState(old);
  calc_buffer_ = previous;
}

bool TDataSet::ReadRecordAt(int recNo, std::uint8_t* buffer) {
  if (!Active() || !InternalReadRecordAt(recNo, buffer)) return false;
  AfterRead(buffer);
  return true;
}

std::uint8_t* TDataSet::GetActiveRecordBuffer() {
  switch (state_) {
    case dsBrowse:
      return IsEmpty() ? nullptr : active_.data();
    case dsEdit:
    case dsInsert:
      return active_.data();
    case dsCalcFields:
      return calc_buffer_;
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Navigation

void TDataSet::DoBeforeScroll() { Fire(BeforeScroll, *this); }
void TDataSet::DoAfterScroll() { Fire(AfterScroll, *this); }

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  has_record_ = false;
  InternalFirst();
  has_record_ = ReadRecord(gmNext, true) == grOK;
  bof_ = true;
  eof_ = !has_record_;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  has_record_ = false;
  InternalLast();
  has_record_ = ReadRecord(gmPrior, true) == grOK;
  eof_ = true;
  bof_ = !has_record_;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  if (distance == 0 || (distance > 0 && eof_) || (distance < 0 && bof_)) return 0;
  DoBeforeScroll();
  bof_ = eof_ = false;
  UpdateCursorPos();
  int moved = 0;
  while (moved != distance) {
    const bool forward = distance > 0;
    if (ReadRecord(forward ? gmNext : gmPrior, true) != grOK) {
      (forward ? eof_ : bof_) = true;
      break;
    }
    moved += forward ? 1 : -1;
  }
  DataEvent(deDataSetScroll, moved);
  DoAfterScroll();
  return moved;
}

// ---------------------------------------------------------------------------
// Editing

void TDataSet::Edit() {
  CheckActive();
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (IsEmpty()) {
    Insert();
    return;
  }
  CheckBrowseMode();
  if (!GetCanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
  Fire(BeforeEdit, *this);
  UpdateCursorPos();
  InternalEdit();
  saved_ = active_;
  saved_has_record_ = has_record_;
  saved_bof_ = bof_;
  saved_eof_ = eof_;
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  Fire(AfterEdit, *this);
}

void TDataSet::BeginInsertAppend(bool append) {
  CheckActive();
  CheckBrowseMode();
  if (!GetCanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
  Fire(BeforeInsert, *this);
  DoBeforeScroll();
  saved_has_record_ = has_record_;
  if (append)
    InternalLast();
  else
    UpdateCursorPos();
  InternalInsert();
  saved_ = active_;
  saved_bof_ = bof_;
  saved_eof_ = eof_;
  std::fill(active_.begin(), active_.end(), 0);
  InternalInitRecord(active_.data());
  ClearCalcFields(active_.data());
  SetBookmarkFlag(active_.data(), append ? bfEOF : bfInserted);
  has_record_ = false;
  if (append) {
    bof_ = false;
    eof_ = true;
  }
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    Cancel();
    throw;
  }
  modified_ = false;
  DataEvent(deDataSetChange, 0);
  Fire(AfterInsert, *this);
  DoAfterScroll();
}

void TDataSet::Post() {
  UpdateRecord();
  switch (state_) {
    case dsEdit:
    case dsInsert:
      DataEvent(deCheckBrowseMode, 0);
      Fire(BeforePost, *this);
      if (state_ == dsEdit) UpdateCursorPos();
      InternalPost();
      SetState(dsBrowse);
      Resync();
      Fire(AfterPost, *this);
      break;
    case dsSetKey:
      SetState(dsBrowse);
      break;
    default:
      break;
  }
}

void TDataSet::RestoreSavedRecord() {
  active_ = saved_;
  has_record_ = saved_has_record_;
  bof_ = saved_bof_;
  eof_ = saved_eof_;
}

void TDataSet::Cancel() {
  switch (state_) {
    case dsEdit:
    case dsInsert: {
      DataEvent(deCheckBrowseMode, 0);
      Fire(BeforeCancel, *this);
      InternalCancel();
      RestoreSavedRecord();
      // Inserting or appending may have moved the storage side; every move
      // puts it back on the shown record first (UpdateCursorPos).
      SetState(dsBrowse);
      DataEvent(deDataSetChange, 0);
      Fire(AfterCancel, *this);
      break;
    }
    case dsSetKey:
      SetState(dsBrowse);
      break;
    default:
      break;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (IsEmpty()) throw EDatabaseError("Cannot perform this operation on an empty dataset");
  if (!GetCanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
  DataEvent(deCheckBrowseMode, 0);
  Fire(BeforeDelete, *this);
  DoBeforeScroll();
  UpdateCursorPos();
  InternalDelete();
  SetState(dsBrowse);
  Resync();
  Fire(AfterDelete, *this);
  DoAfterScroll();
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  Fire(BeforeRefresh, *this);
  UpdateCursorPos();
  InternalRefresh();
  Resync();
  Fire(AfterRefresh, *this);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (state_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (modified_)
        Post();
      else
        Cancel();
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::UpdateRecord() {
  if (state_ == dsEdit || state_ == dsInsert || state_ == dsSetKey) DataEvent(deUpdateRecord, 0);
}

// ---------------------------------------------------------------------------
// Bookmarks

TBookmark TDataSet::GetBookmark() {
  if (!Active() || !has_record_ || bookmark_size_ <= 0) return {};
  if (state_ != dsBrowse && state_ != dsEdit) return {};
  if (GetBookmarkFlag(active_.data()) != bfCurrent) return {};
  TBookmark bookmark(static_cast<std::size_t>(bookmark_size_));
  GetBookmarkData(active_.data(), bookmark.data());
  return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  if (bookmark.size() != static_cast<std::size_t>(bookmark_size_))
    throw EDatabaseError("Record not found");
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  if (ReadRecord(gmCurrent, false) != grOK) {
    UpdateCursorPos();
    throw EDatabaseError("Record not found");
  }
  has_record_ = true;
  bof_ = eof_ = false;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const std::uint8_t* bookmark) {
  (void)bookmark;
  return false;
}

int TDataSet::CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) {
  if (!a || !b) return a ? 1 : (b ? -1 : 0);
  const int r = std::memcmp(a, b, static_cast<std::size_t>(std::max(bookmark_size_, 0)));
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Notifications

void TDataSet::DisableControls() {
  if (disable_count_++ == 0) {
    state_at_disable_ = state_;
    pending_change_ = false;
  }
}

void TDataSet::EnableControls() {
  if (disable_count_ == 0 || --disable_count_ > 0) return;
  if (state_ != state_at_disable_) Notify(deUpdateState, 0);
  if (pending_change_) Notify(deDataSetChange, 0);
  pending_change_ = false;
}

void TDataSet::DataEvent(TDataEvent event, std::intptr_t info) {
  if (event == deFieldChange) {
    auto* field = reinterpret_cast<TField*>(info);
    if ((state_ == dsEdit || state_ == dsInsert) && field &&
        (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc)) {
      modified_ = true;
      if (auto_calc_fields_ && calc_fields_size_ > 0) CalculateFields(active_.data());
    }
    if (field) field->Change();
  }
  if (disable_count_ > 0) {
    if (event != deUpdateState && event != deCheckBrowseMode && event != deUpdateRecord)
      pending_change_ = true;
    // Pending edits must still reach the record while controls are disabled.
    if (event != deUpdateRecord) return;
  }
  Notify(event, info);
}

void TDataSet::Notify(TDataEvent event, std::intptr_t info) {
  // Sources may unregister while being told; only those still registered are called.
  const std::vector<TDataSource*> sources = sources_;
  for (TDataSource* source : sources)
    if (std::find(sources_.begin(), sources_.end(), source) != sources_.end())
      source->DataEvent(event, info);
}

void TDataSet::AddDataSource(TDataSource* source) {
  if (std::find(sources_.begin(), sources_.end(), source) == sources_.end())
    sources_.push_back(source);
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  sources_.erase(std::remove(sources_.begin(), sources_.end(), source), sources_.end());
}

// ---------------------------------------------------------------------------
// Fields

TField& TDataSet::FieldByName(const std::string& name) const {
  TField* field = fields_.FindField(name);
  if (!field) throw EDatabaseError("Field '" + name + "' not found");
  return *field;
}

bool TDataSet::GetFieldData(TField* field, void* buffer) {
  (void)field, (void)buffer;
  return false;
}

void TDataSet::SetFieldData(TField* field, const void* buffer) {
  (void)buffer;
  CheckWritableState();
  throw EDatabaseError("Field '" + field->DisplayName() + "' cannot be modified");
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField* field, int mode) {
  (void)mode;
  throw EDatabaseError("Field '" + field->DisplayName() + "' has no BLOB stream");
}

void TDataSet::CheckRequiredFields() {
  for (const auto& field : fields_)
    if (field->Required() && field->FieldKind() == fkData && field->IsNull())
      throw EDatabaseError("Field '" + field->DisplayName() + "' must have a value");
}

void TDataSet::CreateFields() {
  for (const TFieldDef& def : field_defs_) {
    auto field = std::make_unique<TField>(def.Name(), def.DataType(), def.Size());
    field->SetRequired(def.Required());
    field->default_ = true;
    fields_.Add(std::move(field));
  }
}

void TDataSet::DestroyFields() {
  auto& items = fields_.items_;
  items.erase(std::remove_if(items.begin(), items.end(), [](const auto& f) { return f->default_; }),
              items.end());
}

void TDataSet::BindFields(bool binding) {
  calc_fields_size_ = 0;
  for (const auto& field : fields_) {
    field->field_no_ = 0;
    field->offset_ = 0;
    if (!binding) continue;
    if (field->FieldKind() == fkData) {
      const int index = field_defs_.IndexOf(field->FieldName());
      if (index < 0) throw EDatabaseError("Field '" + field->FieldName() + "' not found");
      if (field_defs_[index].DataType() != field->DataType())
        throw EDatabaseError("Type mismatch for field '" + field->DisplayName() + "'");
      field->field_no_ = index + 1;
    } else if (field->Calculated()) {
      field->offset_ = calc_fields_size_;
      calc_fields_size_ += 1 + field->DataSize();
    }
  }
}

}  // namespace kivo
