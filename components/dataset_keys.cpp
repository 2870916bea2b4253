// Key searches and ranges over the current index, Locate and Lookup, and
// the SQL processor's access to field values by number and to inserts
// through a private record buffer.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "components/kivo_dataset.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/streams.h"

namespace kivo {

// ---------------------------------------------------------------------------
// Key buffers: a 6-byte header (modified flag, exclusive flag, key field
// count) and a record buffer holding the key values.

void TKivoDataset::EnterKeyEditing(int slot, bool keep) {
  CheckBrowseMode();
  CheckTableOpened("Error in TKivoDataSet.SetKey");
  std::vector<std::uint8_t>& key = key_buffers_[static_cast<std::size_t>(slot)];
  if (!keep || key.empty()) {
    key.assign(static_cast<std::size_t>(record_buffer_size_ + kKeyHeaderSize), 0);
    StoreLE<std::int32_t>(key.data() + 2, IndexFieldCount());
    InternalInitRecord(key.data() + kKeyHeaderSize);
  }
  key_buffer_ = slot;
  SetState(dsSetKey);
  DataEvent(deDataSetChange, 0);
}

void TKivoDataset::SetKey() { EnterKeyEditing(kKeySearch, false); }
void TKivoDataset::EditKey() { EnterKeyEditing(kKeySearch, true); }
void TKivoDataset::SetRangeStart() { EnterKeyEditing(kKeyRangeStart, false); }
void TKivoDataset::SetRangeEnd() { EnterKeyEditing(kKeyRangeEnd, false); }
void TKivoDataset::EditRangeStart() { EnterKeyEditing(kKeyRangeStart, true); }
void TKivoDataset::EditRangeEnd() { EnterKeyEditing(kKeyRangeEnd, true); }

std::int32_t TKivoDataset::KeyFieldCount() const {
  const std::vector<std::uint8_t>& key =
      key_buffers_[static_cast<std::size_t>(State() == dsSetKey ? key_buffer_ : kKeySearch)];
  return key.empty() ? 0 : LoadLE<std::int32_t>(key.data() + 2);
}

void TKivoDataset::SetKeyFieldCount(std::int32_t value) {
  std::vector<std::uint8_t>& key =
      key_buffers_[static_cast<std::size_t>(State() == dsSetKey ? key_buffer_ : kKeySearch)];
  if (!key.empty()) StoreLE<std::int32_t>(key.data() + 2, value);
}

void TKivoDataset::Post() {
  if (State() == dsSetKey) {
    UpdateRecord();
    key_buffers_[static_cast<std::size_t>(key_buffer_)][0] = Modified() ? 1 : 0;
  }
  TDataSet::Post();
}

void TKivoDataset::WriteKeyValues(const std::vector<TZorVariant>& values) {
  const auto n =
      std::min<std::int32_t>(static_cast<std::int32_t>(values.size()), IndexFieldCount());
  for (std::int32_t i = 0; i < n; ++i) {
    TField* field = GetIndexField(i);
    if (field) SetFieldVariant(*field, values[static_cast<std::size_t>(i)]);
  }
  SetKeyFieldCount(std::max<std::int32_t>(n, 1));
}

std::int32_t TKivoDataset::FindKeyPlace(bool exact) {
  EnsureVisibleListCurrent();
  const std::vector<std::uint8_t>& key = key_buffers_[kKeySearch];
  if (key.empty() || list_->Count() == 0) return -1;
  const std::int32_t index = CurrentIndex();
  const std::int32_t fields =
      std::clamp<std::int32_t>(LoadLE<std::int32_t>(key.data() + 2), 1, IndexFieldCount());
  const std::uint8_t* values = key.data() + kKeyHeaderSize;
  const std::int32_t count = data_manager_->RecordCount();
  // The run of equal keys in the index, or where the key would go.
  const std::int32_t first = data_manager_->FindKey(values, index, exact, false, fields);
  if (first < 0) return -1;
  const std::int32_t last =
      exact ? data_manager_->FindKey(values, index, true, true, fields) : count - 1;
  // The first of them the data set shows (a filter, a range or the filter
  // event may hide some).
  const bool event = Filtered() && OnFilterRecord;
  for (std::int32_t ordinal = first; ordinal <= last && ordinal < count; ++ordinal) {
    const std::int32_t pos = data_manager_->IndexEntry(index, ordinal);
    const std::int32_t place = list_->VisiblePositionOf(pos);
    if (place >= 0 && (!event || FilterRecordAccepts(data_manager_->GetRecordPtr(pos))))
      return place;
  }
  return exact ? -1 : list_->Count() - 1;
}

void TKivoDataset::MoveToPlace(std::int32_t place) {
  DoBeforeScroll();
  list_->SetCurrent(place);
  cursor_pos_changed_ = true;
  Resync();
  DoAfterScroll();
}

void TKivoDataset::LeaveKeyEditing(const char* where) {
  if (State() == dsSetKey) Post();
  CheckBrowseMode();
  CheckTableOpened(where);
}

bool TKivoDataset::GotoKey() {
  TCriticalSectionGuard guard(Lock());
  LeaveKeyEditing("Error in TKivoDataSet.GotoKey");
  const std::int32_t place = FindKeyPlace(true);
  if (place < 0) return false;
  MoveToPlace(place);
  return true;
}

void TKivoDataset::GotoNearest() {
  TCriticalSectionGuard guard(Lock());
  LeaveKeyEditing("Error in TKivoDataSet.GotoNearest");
  const std::int32_t place = FindKeyPlace(false);
  if (place >= 0) MoveToPlace(place);
}

bool TKivoDataset::FindKey(const std::vector<TZorVariant>& values) {
  TCriticalSectionGuard guard(Lock());
  SetKey();
  WriteKeyValues(values);
  return GotoKey();
}

void TKivoDataset::FindNearest(const std::vector<TZorVariant>& values) {
  TCriticalSectionGuard guard(Lock());
  SetKey();
  WriteKeyValues(values);
  GotoNearest();
}

void TKivoDataset::ApplyRange() {
  TCriticalSectionGuard guard(Lock());
  LeaveKeyEditing("Error in TKivoDataSet.ApplyRange");
  TkrKeyRange range;
  const auto size = static_cast<std::size_t>(RecordSize());
  auto end = [&](int slot, std::vector<std::uint8_t>& image, std::int32_t& fields) {
    std::vector<std::uint8_t>& key = key_buffers_[static_cast<std::size_t>(slot)];
    if (key.empty()) {
      EnterKeyEditing(slot, false);
      Post();
    }
    image.assign(key.data() + kKeyHeaderSize, key.data() + kKeyHeaderSize + size);
    fields = std::clamp<std::int32_t>(LoadLE<std::int32_t>(key.data() + 2), 1, IndexFieldCount());
  };
  end(kKeyRangeStart, range.Start, range.StartFieldCount);
  end(kKeyRangeEnd, range.End, range.EndFieldCount);
  list_->SetRange(std::move(range));
  RebuildVisibleList();
  First();
}

void TKivoDataset::CancelRange() {
  TCriticalSectionGuard guard(Lock());
  CheckBrowseMode();
  if (!table_opened_ || !list_->RangeActive()) return;
  list_->CancelRange();
  RebuildVisibleList();
  First();
}

void TKivoDataset::SetRange(const std::vector<TZorVariant>& start,
                            const std::vector<TZorVariant>& end) {
  TCriticalSectionGuard guard(Lock());
  SetRangeStart();
  WriteKeyValues(start);
  Post();
  SetRangeEnd();
  WriteKeyValues(end);
  Post();
  ApplyRange();
}

// ---------------------------------------------------------------------------
// Locate and Lookup.

bool TKivoDataset::Locate(const std::string& keyFields, const std::vector<TZorVariant>& keyValues,
                          TLocateOptions options) {
  TCriticalSectionGuard guard(Lock());
  CheckBrowseMode();
  if (GetRecordCount() <= 0) return false;
  TFilterOptions search = 0;
  if (options & loCaseInsensitive) search |= foCaseInsensitive;
  if ((options & loPartialKey) == 0) search |= foNoPartialCompare;
  const std::int32_t pos = PrepareAndLocate(keyFields, keyValues, search);
  const std::int32_t place = pos < 0 ? -1 : list_->VisiblePositionOf(pos);
  if (place < 0) return false;
  MoveToPlace(place);
  return true;
}

std::vector<TZorVariant> TKivoDataset::Lookup(const std::string& keyFields,
                                              const std::vector<TZorVariant>& keyValues,
                                              const std::string& resultFields) {
  TCriticalSectionGuard guard(Lock());
  std::vector<TField*> fields;
  for (const std::string& name : SplitNameList(resultFields)) fields.push_back(&FieldByName(name));
  if (fields.empty() || GetRecordCount() <= 0) return {};
  const std::int32_t pos = PrepareAndLocate(keyFields, keyValues, foNoPartialCompare);
  const std::int32_t place = pos < 0 ? -1 : list_->VisiblePositionOf(pos);
  if (place < 0) return {};
  // The record found is read aside: the cursor and its buffers stay.
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(RowBufferSize()));
  if (!ReadRecordAt(place + 1, buffer.data())) return {};
  std::vector<TZorVariant> values;
  TMemoryStream stream;
  WithRecordBuffer(buffer.data(), [&] {
    for (TField* field : fields) {
      const std::int32_t f = field->Calculated() ? -2 : TableFieldNo(field);
      if (f >= 0 && IsBLOBType(data_manager_->FieldHeader(f).FieldType)) {
        if (field->IsNull()) {
          values.emplace_back(std::monostate{});
          continue;
        }
        data_manager_->ReadBLOBValue(&stream, f, pos);
        values.emplace_back(std::string(stream.Bytes().begin(), stream.Bytes().end()));
        continue;
      }
      values.push_back(FieldVariant(*field));
    }
  });
  return values;
}

// ---------------------------------------------------------------------------
// Field values by number.

bool ReadImageFieldValue(const TKivoDataManager& m, const std::uint8_t* record,
                         std::int32_t fieldNo, TZorValue& value) {
  const TkrRecordLayout& l = m.Layout();
  if (fieldNo == -1) {
    value.SetBorrowed(ftAutoInc, record + l.IdOffset, 4);
    return true;
  }
  const TFieldHeader& h = m.FieldHeader(fieldNo);
  const std::uint8_t* slot = record + m.FieldOffset(fieldNo);
  if (IsFieldNull(l, record, fieldNo) || StoredValueIsNull(h.FieldType, slot, false)) {
    value.SetNull(h.FieldType);
    return true;
  }
  if (IsBLOBType(h.FieldType)) return false;
  value.SetBorrowed(h.FieldType, slot, h.FieldSize);
  return true;
}

void SetBlobValue(TZorValue& value, std::uint8_t type, const TMemoryStream& stream) {
  const std::string_view bytes(reinterpret_cast<const char*>(stream.Bytes().data()),
                               stream.Bytes().size());
  if (type == ftMemo || type == ftFmtMemo)
    value.SetMemo(bytes, type);
  else
    value.SetPayload(type, bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

void ReadBlobFieldValue(TKivoDataManager& m, std::int32_t fieldNo, std::int32_t recPos,
                        TZorValue& value) {
  TMemoryStream stored;
  m.ReadBLOBValue(&stored, fieldNo, recPos);
  SetBlobValue(value, m.FieldHeader(fieldNo).FieldType, stored);
}

std::unique_lock<TCriticalSection> TKivoDataset::FieldAccessLock() const {
  // A temporary table belongs to the statement that made it, which alone
  // reads and writes its record buffers.
  if (delete_on_close_) return {};
  return std::unique_lock<TCriticalSection>(Lock());
}

void TKivoDataset::GetFieldValue(TZorValue& value, std::int32_t fieldNo, bool copy) {
  // The record buffer is this data set's own copy and the layout is fixed
  // while the table is open: only a BLOB value, read from the shared table,
  // needs the session lock (taken below).
  if (!data_manager_) throw Exception("TKivoDataSet.GetFieldValue - DMHandle = nil");
  if (!table_opened_)
    throw ZorException::CreateFmt(native_error::kTableNotOpened, {}, {FormatArg(table_name_)});
  const std::uint8_t* record = GetActiveRecordBuffer();
  if (!record)
    throw ZorException::CreateFmt(native_error::kNoRecordBuffer, {}, {FormatArg(table_name_)});
  if (fieldNo < -1 || fieldNo >= data_manager_->FieldCount())
    throw ZorException::CreateFmt(native_error::kInvalidFieldNumber, {},
                                  {FormatArg(table_name_), FormatArg(fieldNo)});
  const TkrRecordLayout& l = data_manager_->Layout();
  if (copy && fieldNo == -1) {
    value.SetAutoInc(static_cast<std::int32_t>(GetRecordId(l, record)));
    return;
  }
  if (ReadImageFieldValue(*data_manager_, record, fieldNo, value)) {
    if (copy && !value.IsNull()) {
      // An owned copy, ended by one more zero byte (two for wide strings).
      const std::uint8_t type = value.DataType();
      const std::size_t extra = type == ftString ? 1 : (type == ftWideString ? 2 : 0);
      const auto* slot = reinterpret_cast<const std::uint8_t*>(value.Data());
      std::vector<std::uint8_t> bytes(slot, slot + value.Size());
      bytes.resize(bytes.size() + extra, 0);
      value.SetPayload(type, bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }
    return;
  }
  // A BLOB: the value being edited when its stream is open, else the stored one.
  const std::unique_lock<TCriticalSection> guard = FieldAccessLock();
  const std::uint8_t type = data_manager_->FieldHeader(fieldNo).FieldType;
  const bool isNew = internal_insert_active_ || inserting_ || State() == dsInsert;
  if (static_cast<std::size_t>(fieldNo) < blob_slots_.size()) {
    const BlobSlot& slot = blob_slots_[static_cast<std::size_t>(fieldNo)];
    if (slot.stream && (slot.changed || isNew || State() == dsEdit)) {
      SetBlobValue(value, type, *slot.stream);
      return;
    }
  }
  const std::int32_t pos =
      isNew ? -1 : list_->RecordPositionOfId(static_cast<std::int32_t>(GetRecordId(l, record)));
  if (pos < 0) {
    value.SetNull(type);
    return;
  }
  ReadBlobFieldValue(*data_manager_, fieldNo, pos, value);
}

void TKivoDataset::GetMappedFieldValue(TZorValue& value, std::int32_t fieldNo, bool copy) {
  std::int32_t f = fieldNo;
  if (fieldNo >= 0 && fieldNo < Fields().Count()) f = TableFieldNo(&Fields()[fieldNo]);
  GetFieldValue(value, f, copy);
}

TField* TKivoDataset::FieldOfTableField(std::int32_t fieldNo) {
  // Fields are usually numbered as the table's: the field at that place is
  // tried before all of them are searched.
  const std::int32_t count = Fields().Count();
  if (fieldNo >= 0 && fieldNo < count) {
    TField* guess = &Fields()[fieldNo];
    if (!guess->Calculated() && TableFieldNo(guess) == fieldNo) {
      bool unique = true;
      for (std::int32_t i = fieldNo + 1; i < count && unique; ++i)
        unique = Fields()[i].Calculated() || TableFieldNo(&Fields()[i]) != fieldNo;
      if (unique) return guess;
    }
  }
  TField* field = nullptr;
  for (const auto& owned : Fields())
    if (!owned->Calculated() && TableFieldNo(owned.get()) == fieldNo) field = owned.get();
  return field;
}

void TKivoDataset::SetFieldValue(const TZorValue& value, std::int32_t fieldNo) {
  const std::unique_lock<TCriticalSection> guard = FieldAccessLock();
  if (fieldNo < -1) return;
  CheckTableOpened("Error in TKivoDataSet.SetFieldValue");
  std::uint8_t* record = GetActiveRecordBuffer();
  if (!record)
    throw ZorException::CreateFmt(native_error::kNoRecordBuffer, {}, {FormatArg(table_name_)});
  if (fieldNo >= data_manager_->FieldCount())
    throw ZorException::CreateFmt(native_error::kInvalidFieldNumber, {},
                                  {FormatArg(table_name_), FormatArg(fieldNo)});
  TField* field = FieldOfTableField(fieldNo);
  const TkrRecordLayout& l = data_manager_->Layout();
  if (fieldNo == -1) {
    TZorValue id(value);
    id.ConvertTo(ftInteger);
    const std::int32_t v = id.IsNull() ? 0 : id.AsInteger();
    SetRecordId(l, record, static_cast<std::uint32_t>(v));
    if (v >= 0 && v > data_manager_->LastAutoInc()) data_manager_->SetNextAutoInc(v);
    if (data_manager_->IdFieldVisibility() == 0xFC || !field) return;
  } else {
    const TFieldHeader& h = data_manager_->FieldHeader(fieldNo);
    const std::uint8_t type = h.FieldType;
    // Values reach the slot in the field's own type; a value of that type
    // is used as it is.
    TZorValue converted;
    const bool convert = !value.IsNull() && value.DataType() != type && !IsBLOBType(type);
    if (convert) {
      converted = value;
      converted.ConvertTo(type);
    }
    const TZorValue& typed = convert ? converted : value;
    if (IsBLOBType(type)) {
      TMemoryStream* stream = BlobFieldStream(fieldNo, true);
      if (stream) {
        stream->Clear();
        // Binary values are their bytes; other values are stored as text.
        const bool binary = typed.DataType() == ftBlob || typed.DataType() == ftGraphic;
        const std::string bytes = typed.IsNull() ? std::string()
                                  : binary
                                      ? std::string(reinterpret_cast<const char*>(typed.Data()),
                                                    static_cast<std::size_t>(typed.Size()))
                                      : typed.AsString();
        if (!bytes.empty()) stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
        stream->Seek(0, TStream::kFromBeginning);
        SetFieldNull(l, record, fieldNo, bytes.empty());
      }
    } else {
      std::uint8_t* slot = record + data_manager_->FieldOffset(fieldNo);
      const std::size_t capacity = static_cast<std::size_t>(
          h.FieldSize - (type == ftString ? 1 : (type == ftWideString ? 2 : 0)));
      const bool empty =
          typed.IsNull() || typed.Size() <= 0 ||
          StoredValueIsNull(type, reinterpret_cast<const std::uint8_t*>(typed.Data()), true);
      SetFieldNull(l, record, fieldNo, empty);
      if (!empty) {
        if (field) field->Validate(typed.Data());
        std::memset(slot, 0, static_cast<std::size_t>(h.FieldSize));
        std::memcpy(slot, typed.Data(), std::min(static_cast<std::size_t>(typed.Size()), capacity));
      }
    }
    if (!field) return;
  }
  const TDataSetState state = State();
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(field));
}

// ---------------------------------------------------------------------------
// Inserts through a private buffer.

void TKivoDataset::BeginInternalInsert() {
  TCriticalSectionGuard guard(Lock());
  CheckTableOpened("Error in TKivoDataSet.BeginInternalInsert");
  internal_insert_buffer_.assign(static_cast<std::size_t>(record_buffer_size_), 0);
  InternalInitRecord(internal_insert_buffer_.data());
  FreeBlobSlots();
  inserting_ = true;
  internal_insert_active_ = true;
  SetState(dsInsert);
}

void TKivoDataset::EndInternalInsert() {
  TCriticalSectionGuard guard(Lock());
  if (!internal_insert_active_) return;
  // Whatever the post does, the private buffer and its state end here.
  struct Finish {
    TKivoDataset& d;
    ~Finish() { d.FinishInternalInsert(); }
  } finish{*this};
  if (!append_run_) {
    InternalPost();
    return;
  }
  if (!Loading()) TDataSet::InternalPost();
  StoreRunRecord(internal_insert_buffer_.data());
}

void TKivoDataset::BeginInternalEdit(std::int32_t recPos) {
  TCriticalSectionGuard guard(Lock());
  CheckTableOpened("Error in TKivoDataSet.BeginInternalEdit");
  // What an edit through the cursor would say.
  if (!CanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
  internal_insert_buffer_.assign(static_cast<std::size_t>(record_buffer_size_), 0);
  const std::uint8_t* stored = data_manager_->GetRecordPtr(recPos);
  std::memcpy(internal_insert_buffer_.data(), stored,
              static_cast<std::size_t>(data_manager_->RecordSize()));
  FreeBlobSlots();
  inserting_ = false;
  internal_insert_active_ = true;
  internal_edit_pos_ = recPos;
  SetState(dsEdit);
}

void TKivoDataset::CancelInternalInsert() {
  TCriticalSectionGuard guard(Lock());
  if (internal_insert_active_) FinishInternalInsert();
}

void TKivoDataset::FinishInternalInsert() {
  SetState(dsBrowse);
  internal_insert_buffer_.clear();
  internal_insert_active_ = false;
  internal_edit_pos_ = -1;
  inserting_ = false;
  FreeBlobSlots();
  cursor_pos_changed_ = true;
}

}  // namespace kivo
