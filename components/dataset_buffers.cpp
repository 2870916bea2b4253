// The cursor's record buffers: filling them from the visible list, the
// record numbers and bookmarks, and field values inside a buffer.
#include <algorithm>
#include <cstring>

#include "components/kivo_dataset.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "platform/clock.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/little_endian.h"

namespace kivo {

namespace {

constexpr int kNotInEditMode = 1085;
constexpr int kFieldNotIndexed = 1086;

}  // namespace

std::int32_t TKivoDataset::BufferId(const std::uint8_t* buffer) const {
  return static_cast<std::int32_t>(GetRecordId(data_manager_->Layout(), buffer));
}

// Moving through the list asks for the record the cursor is on far more
// often than for any other: that one is answered without a search.
const std::uint8_t* TKivoDataset::RecordImage(std::int32_t pos) {
  const std::int32_t changeCount = data_manager_->ChangeCount();
  // A walk reads the next record of an unchanged table; reads between
  // changes (a delete after a delete) are not worth a block.
  const bool sequential = pos == last_image_pos_ + 1 && changeCount == last_image_change_count_;
  last_image_pos_ = pos;
  last_image_change_count_ = changeCount;
  const auto size = static_cast<std::size_t>(RecordSize());
  if (window_count_ > 0 && window_change_count_ == changeCount && pos >= window_first_ &&
      pos < window_first_ + window_count_)
    return window_.data() + static_cast<std::size_t>(pos - window_first_) * size;
  if (!sequential) return data_manager_->GetRecordPtr(pos);
  // About 64 KB of records from here on.
  const std::int32_t want = std::max<std::int32_t>(16, static_cast<std::int32_t>(65536 / size));
  const std::int32_t to = std::min(pos + want, data_manager_->RecordCount());
  window_.resize(static_cast<std::size_t>(to - pos) * size);
  window_count_ = 0;
  data_manager_->ReadRecordImages(pos, to - pos, window_.data());
  window_first_ = pos;
  window_count_ = to - pos;
  window_change_count_ = changeCount;
  return window_.data();
}

bool TKivoDataset::InternalReadRecordAt(int recNo, std::uint8_t* buffer) {
  TCriticalSectionGuard guard(Lock());
  if (!table_opened_) return false;
  EnsureVisibleListCurrent();
  if (recNo < 1 || recNo > list_->Count()) return false;
  std::memcpy(buffer, RecordImage(list_->RecordAt(recNo - 1)),
              static_cast<std::size_t>(RecordSize()));
  ClearCalcFields(buffer);
  StoreLE<std::int32_t>(buffer + RecordSize(), BufferId(buffer));
  buffer[RecordSize() + 4] = bfCurrent;
  return true;
}

std::int32_t TKivoDataset::ListPositionOfId(std::int32_t id) {
  // The list is current (its callers made sure), so the identifier it
  // remembered for its current entry is that record's.
  if (list_->CurrentValid() && list_->CurrentId() == id) return list_->Current();
  return list_->FindRecordById(id);
}

void TKivoDataset::InternalInitRecord(std::uint8_t* buffer) {
  if (!data_manager_) return;
  const TkrRecordLayout& l = data_manager_->Layout();
  std::memset(buffer, 0, static_cast<std::size_t>(l.RecordSize));
  std::memset(buffer + l.NullBitmapOffset, 0xFF, static_cast<std::size_t>(l.NullBitmapSize));
  // The future identifier; at the last identifier there is none (a post
  // then refuses the record) and 0 stands in.
  const std::int32_t last = data_manager_->LastAutoInc();
  SetRecordId(l, buffer, last == INT32_MAX ? 0u : static_cast<std::uint32_t>(last) + 1u);
}

void TKivoDataset::ClearCalcFields(std::uint8_t* buffer) {
  if (CalcFieldsSize() > 0)
    std::memset(buffer + RecordSize() + 8, 0, static_cast<std::size_t>(CalcFieldsSize()));
}

std::uint8_t* TKivoDataset::GetActiveRecordBuffer() {
  if (internal_insert_active_) return internal_insert_buffer_.data();
  switch (State()) {
    case dsBrowse:
      return IsEmpty() ? nullptr : TDataSet::ActiveBuffer();
    case dsEdit:
    case dsInsert:
      return TDataSet::ActiveBuffer();
    case dsSetKey: {
      std::vector<std::uint8_t>& key = key_buffers_[static_cast<std::size_t>(key_buffer_)];
      return key.empty() ? nullptr : key.data() + kKeyHeaderSize;
    }
    case dsCalcFields:
      return CalcBuffer();
    case dsFilter:
      return const_cast<std::uint8_t*>(filter_buffer_);
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Navigation.

TGetResult TKivoDataset::GetRecord(std::uint8_t* buffer, TGetMode mode, bool doCheck) {
  TCriticalSectionGuard guard(Lock());
  if (!table_opened_) throw Exception("Error in TKivoDataSet.GetRecord - no table was opened.");
  EnsureVisibleListCurrent();
  TkrVisibleList& list = *list_;
  const std::int32_t count = list.Count();
  TGetResult result = grOK;
  if (count == 0) {
    result = grEOF;
  } else {
    // Find the active record again by its identifier: the list may have
    // been rebuilt, or the record posted, since it was read.
    if (cursor_pos_changed_) {
      cursor_pos_changed_ = false;
      last_posted_record_id_ = -1;
    } else if (State() == dsBrowse && !IsEmpty()) {
      std::int32_t id = BufferId(TDataSet::ActiveBuffer());
      if (last_posted_record_id_ >= 0) {
        id = last_posted_record_id_;
        last_posted_record_id_ = -1;
      }
      if (id < data_manager_->LastAutoInc() + 1 && id > 0) {
        const std::int32_t at = ListPositionOfId(id);
        if (at >= 0 && at != list.Current()) list.SetCurrent(at);
      } else {
        list.SetCurrent(count);
      }
    }
    FreeBlobSlots();
    for (;;) {
      std::int32_t cur = list.Current();
      if (mode == gmNext) {
        if (cur >= count - 1) {
          list.SetCurrent(count);
          result = grEOF;
          break;
        }
        ++cur;
      } else if (mode == gmPrior) {
        if (cur <= 0) {
          list.SetCurrent(-1);
          result = grBOF;
          break;
        }
        cur = std::min(cur, count) - 1;
      } else if (cur < 0 || cur >= count) {
        result = grError;
        break;
      }
      std::memcpy(buffer, RecordImage(list.RecordAt(cur)), static_cast<std::size_t>(RecordSize()));
      list.SetCurrent(cur, BufferId(buffer));
      ClearCalcFields(buffer);
      StoreLE<std::int32_t>(buffer + RecordSize(), BufferId(buffer));
      buffer[RecordSize() + 4] = bfCurrent;
      if (!Filtered() || FilterRecordAccepts(buffer)) break;
      if (mode == gmCurrent) {
        result = grError;
        break;
      }
    }
  }
  if (result == grError && doCheck) throw Exception("TKivoDataSet.GetRecord - No records");
  return result;
}

void TKivoDataset::InternalFirst() {
  if (list_) list_->SetCurrent(-1);
  cursor_pos_changed_ = true;
}

void TKivoDataset::InternalLast() {
  TCriticalSectionGuard guard(Lock());
  EnsureVisibleListCurrent();
  list_->SetCurrent(list_->Count());
  cursor_pos_changed_ = true;
}

std::int32_t TKivoDataset::GetRecordCount() {
  TCriticalSectionGuard guard(Lock());
  CheckTableOpened("Error in TKivoDataSet.GetRecordCount");
  EnsureVisibleListCurrent();
  return list_->Count();
}

std::int32_t TKivoDataset::GetRecNo() {
  TCriticalSectionGuard guard(Lock());
  CheckTableOpened("Error in TKivoDataSet.GetRecNo");
  CheckActive();
  EnsureVisibleListCurrent();
  if (list_->Count() == 0) return 0;
  const std::uint8_t* buffer = TDataSet::ActiveBuffer();
  if (!buffer || (State() == dsBrowse && IsEmpty())) return 1;
  FreeBlobSlots();
  const std::int32_t at = ListPositionOfId(BufferId(buffer));
  if (at >= 0) {
    if (at != list_->Current()) list_->SetCurrent(at);
    return at + 1;
  }
  return State() == dsInsert ? data_manager_->RecordCount() + 1 : 0;
}

void TKivoDataset::SetRecNo(int value) {
  TCriticalSectionGuard guard(Lock());
  CheckTableOpened("Error in TKivoDataSet.SetRecNo");
  EnsureVisibleListCurrent();
  if (!TDataSet::Active() || list_->Count() == 0 || value <= 0 || value > list_->Count()) return;
  if (value == GetRecNo()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  list_->SetCurrent(value - 1);
  cursor_pos_changed_ = true;
  if (Filtered() && OnFilterRecord &&
      !FilterRecordAccepts(data_manager_->GetRecordPtr(list_->RecordAt(value - 1)))) {
    DisableControls();
    try {
      First();
      MoveBy(value - 1);
    } catch (...) {
      EnableControls();
      throw;
    }
    EnableControls();
  } else {
    Resync();
  }
  DoAfterScroll();
}

// ---------------------------------------------------------------------------
// Bookmarks: the identifier, 4 bytes of the 8.

void TKivoDataset::GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) {
  if (!buffer) throw Exception("Error in TKivoDataSet.GetBookmarkData - 0 pointer Buffer");
  if (!data) throw Exception("Error in TKivoDataSet.GetBookmarkData - 0 pointer Data");
  std::memcpy(data, buffer + RecordSize(), 4);
  std::memset(data + 4, 0, 4);
}

void TKivoDataset::SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) {
  if (!buffer) throw Exception("Error in TKivoDataSet.SetBookmarkData - 0 pointer to Buffer.");
  if (data) std::memcpy(buffer + RecordSize(), data, 4);
}

TBookmarkFlag TKivoDataset::GetBookmarkFlag(const std::uint8_t* buffer) {
  if (!buffer) throw Exception("Error in TKivoDataSet.GetBookmarkFlag - 0 pointer Buffer");
  return static_cast<TBookmarkFlag>(buffer[RecordSize() + 4]);
}

void TKivoDataset::SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) {
  if (!buffer) throw Exception("Error in TKivoDataSet.SetBookmarkFlag - 0 pointer Buffer");
  buffer[RecordSize() + 4] = flag;
}

void TKivoDataset::InternalGotoBookmark(const std::uint8_t* bookmark) {
  TCriticalSectionGuard guard(Lock());
  EnsureVisibleListCurrent();
  if (!bookmark) throw Exception("Error in TKivoDataSet.InternalGotoBookmark - 0 pointer Bookmark");
  if (list_->Count() == 0) return;
  const std::int32_t id = LoadLE<std::int32_t>(bookmark);
  last_posted_record_id_ = id;
  const std::int32_t before = list_->Current();
  const std::int32_t found = ListPositionOfId(id);
  const std::int32_t at = std::min(found, list_->Count() - 1);
  // The record found is the bookmark's: its identifier is known without
  // reading the record again.
  if (at != before) {
    if (found >= 0 && at == found)
      list_->SetCurrent(at, id);
    else
      list_->SetCurrent(at);
  }
  cursor_pos_changed_ = true;
  if (at != before && State() != dsInsert) FreeBlobSlots();
}

bool TKivoDataset::BookmarkValid(const std::uint8_t* bookmark) {
  if (!bookmark || !table_opened_) return false;
  TCriticalSectionGuard guard(Lock());
  EnsureVisibleListCurrent();
  return list_->FindRecordById(LoadLE<std::int32_t>(bookmark)) >= 0;
}

int TKivoDataset::CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) {
  if (!a && !b) return 0;
  if (!b) return -1;
  if (!a) return 1;
  const std::int32_t ia = LoadLE<std::int32_t>(a);
  const std::int32_t ib = LoadLE<std::int32_t>(b);
  if (ia == ib || !table_opened_) return 0;
  TCriticalSectionGuard guard(Lock());
  EnsureVisibleListCurrent();
  const std::int32_t pa = list_->FindRecordById(ia);
  const std::int32_t pb = list_->FindRecordById(ib);
  return pa == pb ? 0 : (pa > pb ? 1 : -1);
}

// ---------------------------------------------------------------------------
// Field values.

bool TKivoDataset::GetFieldData(TField* field, void* buffer) {
  const std::uint8_t* record = GetActiveRecordBuffer();
  if (!table_opened_ || !record) return false;
  if (field->Calculated()) {
    const std::uint8_t* at = record + RecordSize() + 8 + field->Offset();
    if (at[0] == 0) return false;
    if (buffer) std::memcpy(buffer, at + 1, static_cast<std::size_t>(field->DataSize()));
    return true;
  }
  const std::int32_t f = TableFieldNo(field);
  const TkrRecordLayout& l = data_manager_->Layout();
  if (f < 0) {
    if (buffer) std::memcpy(buffer, record + l.IdOffset, 4);
    return true;
  }
  if (IsFieldNull(l, record, f)) return false;
  if (!buffer) return true;
  const TFieldHeader& h = data_manager_->FieldHeader(f);
  if (IsBLOBType(h.FieldType)) return true;
  const std::uint8_t* slot = record + data_manager_->FieldOffset(f);
  std::memcpy(buffer, slot, static_cast<std::size_t>(h.FieldSize));
  if (h.FieldType == ftDate) return LoadLE<std::int32_t>(slot) > 0;
  if (h.FieldType == ftDateTime) {
    // A whole day or more either way; compared as a double, since a damaged
    // slot may hold any bit pattern (a NaN counts as no value).
    const double days = LoadLE<double>(slot) / static_cast<double>(kMsPerDay);
    return days >= 1 || days <= -1;
  }
  return true;
}

void TKivoDataset::SetFieldData(TField* field, const void* buffer) {
  const TDataSetState state = State();
  if (!IsWritableState(state)) throw ZorException::Create(kNotInEditMode);
  const std::int32_t f = TableFieldNo(field);
  if (state == dsSetKey) {
    const bool indexed = field->FieldNo() > 0 && (IndexFieldCount() == 0 || GetIsIndexField(field));
    if (!indexed)
      throw ZorException::CreateFmt(kFieldNotIndexed, {}, {FormatArg(field->DisplayName())});
  }
  std::uint8_t* record = GetActiveRecordBuffer();
  if (!record) return;
  if (field->Calculated()) {
    std::uint8_t* at = record + RecordSize() + 8 + field->Offset();
    at[0] = buffer ? 1 : 0;
    if (buffer) std::memcpy(at + 1, buffer, static_cast<std::size_t>(field->DataSize()));
  } else if (f >= 0) {
    field->Validate(buffer);
    const TFieldHeader& h = data_manager_->FieldHeader(f);
    const TkrRecordLayout& l = data_manager_->Layout();
    const auto* src = static_cast<const std::uint8_t*>(buffer);
    const bool isNull = src == nullptr || StoredValueIsNull(h.FieldType, src, true);
    SetFieldNull(l, record, f, isNull);
    if (!isNull && !IsBLOBType(h.FieldType)) {
      std::uint8_t* slot = record + data_manager_->FieldOffset(f);
      const std::size_t size = static_cast<std::size_t>(h.FieldSize);
      if (h.FieldType == ftString) {
        const std::size_t n = strnlen(reinterpret_cast<const char*>(src), size - 1);
        std::memset(slot, 0, size);
        std::memcpy(slot, src, n);
      } else if (h.FieldType == ftWideString) {
        std::size_t units = 0;
        while (units * 2 + 2 <= size - 2 && (src[units * 2] != 0 || src[units * 2 + 1] != 0))
          ++units;
        std::memset(slot, 0, size);
        std::memcpy(slot, src, units * 2);
      } else {
        std::memcpy(slot, src, size);
      }
    }
  } else {
    // The identifier: written only while editing a key or when allowed.
    if (state != dsSetKey && !allow_id_assign_) return;
    if (buffer) std::memcpy(record + data_manager_->Layout().IdOffset, buffer, 4);
    if (data_manager_->IdFieldVisibility() == 0xFC) return;
  }
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue)
    DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(field));
}

bool TKivoDataset::GetIsIndexField(TField* field) {
  if (!table_opened_ || field->Calculated()) return false;
  const std::int32_t f = TableFieldNo(field);
  const TkrIndexHeader& h = data_manager_->IndexHeader(CurrentIndex());
  return std::find(h.KeyFields.begin(), h.KeyFields.end(), f) != h.KeyFields.end();
}

}  // namespace kivo
