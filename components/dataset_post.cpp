// The cursor's record changes: insert, post, add and delete, each made
// through the visible list so that the list stays what a rebuild gives.
#include <climits>
#include <cstring>

#include "components/kivo_dataset.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "platform/errors.h"

namespace kivo {

namespace {

// Re-enables the table's automatic flushing on every way out.
class TAutoFlushPause {
 public:
  explicit TAutoFlushPause(TKivoDataManager& m) : m_(m) { m_.DisableAutoFlush(); }
  // Ends the pause now and runs the flush that is due, reporting its failure.
  void Resume() { m_.EnableAutoFlush(true); }
  // Pauses again (after a Resume that failed).
  void Pause() { m_.DisableAutoFlush(); }
  ~TAutoFlushPause() {
    try {
      m_.EnableAutoFlush(true);
    } catch (...) {
      // The flush is retried at the next change and at close, which report.
    }
  }
  TAutoFlushPause(const TAutoFlushPause&) = delete;
  TAutoFlushPause& operator=(const TAutoFlushPause&) = delete;

 private:
  TKivoDataManager& m_;
};

}  // namespace

void TKivoDataset::InternalInsert() { inserting_ = true; }

void TKivoDataset::InternalEdit() {
  const std::uint8_t* active = TDataSet::ActiveBuffer();
  edited_id_ = active ? BufferId(active) : -1;
}

void TKivoDataset::InternalCancel() {
  FreeBlobSlots();
  inserting_ = false;
  // The restored record is found again by its identifier at the next move.
  cursor_pos_changed_ = false;
}

void TKivoDataset::CheckRequiredTableFields(const std::uint8_t* buffer) const {
  const TkrRecordLayout& l = data_manager_->Layout();
  const auto& headers = data_manager_->FieldHeaders();
  for (std::size_t f = 0; f < headers.size(); ++f) {
    if (headers[f].Required == 0) continue;
    const auto field = static_cast<std::int32_t>(f);
    // A BLOB value lives in its stream, not in the record.
    if (IsBLOBType(headers[f].FieldType)) {
      const bool empty =
          f >= blob_slots_.size() || !blob_slots_[f].stream || blob_slots_[f].stream->Size() == 0;
      if (!empty || !IsFieldNull(l, buffer, field)) continue;
    } else if (!IsFieldNull(l, buffer, field)) {
      continue;
    }
    throw Exception("Field '" + headers[f].FieldName + "' must have a value");
  }
}

// The insert shared by posting a new record, adding a whole buffer and a
// run of inserts (`listed` false: the visible list is not told). The
// identifier comes from the table at the moment of storing; at the last
// possible identifier the record is refused rather than given a repeated one.
void TKivoDataset::StoreNewRecord(std::uint8_t* buffer, const char* where, bool listed) {
  if (data_manager_->LastAutoInc() == INT32_MAX)
    throw Exception(std::string(where) +
                    " - no record identifier is left: the table's last identifier is "
                    "2147483647.");
  const std::int32_t lastAutoInc = data_manager_->LastAutoInc();
  last_posted_record_id_ = BufferId(buffer);
  if (!listed && !data_manager_->HasBLOBs()) {
    data_manager_->InsertRecord(buffer, 0);
    return;
  }
  TAutoFlushPause pause(*data_manager_);
  // The engine adds the record's BLOB entry with the record; the values are
  // written once the record is stored, so a refused record leaves the BLOB
  // directory as it was.
  if (listed)
    list_->AfterInsert(buffer);
  else
    data_manager_->InsertRecord(buffer, 0);
  if (!data_manager_->HasBLOBs()) return;
  // The values, and the flush that is due after them (which puts them into
  // the BLOB files), belong to the insert: when either fails the record is
  // taken out again, the BLOB directory stays in step with the records, and
  // the slots stay for another try.
  const std::int32_t recPos = data_manager_->RecordCount() - 1;
  try {
    WriteBlobSlots(recPos);
    pause.Resume();
  } catch (...) {
    pause.Pause();
    last_posted_record_id_ = -1;
    RemoveFailedInsert(recPos, lastAutoInc);
    throw;
  }
  FreeBlobSlots();
}

// ---------------------------------------------------------------------------
// Runs of inserts.

void TKivoDataset::BeginAppendRun() {
  TCriticalSectionGuard guard(Lock());
  CheckTableOpened("Error in TKivoDataSet.BeginAppendRun");
  if (append_run_) return;
  // The identifier is given above every identifier of the table, so only
  // another unique index can refuse a record without the key search.
  bool keyChecks = false;
  for (std::int32_t i = 1; i < data_manager_->IndexCount(); ++i)
    keyChecks = keyChecks || (data_manager_->IndexHeader(i).Options & (ixUnique | ixPrimary)) != 0;
  data_manager_->SetBulkInsert(true);
  run_key_checks_ = keyChecks;
  append_run_ = true;
}

void TKivoDataset::LeaveAppendRun() noexcept {
  if (!append_run_) return;
  append_run_ = false;
  if (data_manager_) data_manager_->SetBulkInsert(false);
}

void TKivoDataset::EndAppendRun() {
  TCriticalSectionGuard guard(Lock());
  if (!append_run_) return;
  if (internal_insert_active_) FinishInternalInsert();
  LeaveAppendRun();
  RebuildVisibleList();
  First();
}

void TKivoDataset::StoreRunRecord(std::uint8_t* buffer) {
  SetBlobNullBits(buffer);
  CheckRequiredTableFields(buffer);
  if (run_key_checks_ || BufferId(buffer) <= data_manager_->LastAutoInc())
    data_manager_->CheckUniqueKeys(buffer, true, "TKivoDataSet.InternalPost");
  // A table that outgrew its page cache would cache, and read back, one
  // record at a time.
  data_manager_->ReserveCachedRecords(data_manager_->RecordCount() + 1);
  StoreNewRecord(buffer, "Error in TKivoDataSet.InternalPost", false);
}

void TKivoDataset::RemoveFailedInsert(std::int32_t recPos, std::int32_t lastAutoInc) {
  try {
    const std::int32_t place = list_->VisiblePositionOf(recPos);
    if (place >= 0) {
      list_->SetCurrent(place);
      list_->AfterDelete();
    } else {
      // Not listed: the list sees the table's change and rebuilds.
      data_manager_->krDeleteRecord(list_->CurrentIndex(), recPos, -1);
    }
    data_manager_->Header().LastAutoInc = lastAutoInc;
  } catch (const std::exception&) {
    // The insert's own failure is the one reported; the record stays.
  }
}

void TKivoDataset::InternalPost() {
  TCriticalSectionGuard guard(Lock());
  if (!Loading()) TDataSet::InternalPost();
  const std::string where = "Error in TKivoDataSet.InternalPost - ";
  if (ReadOnly()) throw Exception(where + "table is read only.");
  if (!table_opened_) throw Exception(where + "table is not open.");
  if (State() != dsEdit && State() != dsInsert) throw Exception(where + "invalid state.");
  std::uint8_t* buffer =
      internal_insert_active_ ? internal_insert_buffer_.data() : TDataSet::ActiveBuffer();
  if (!buffer) throw Exception(where + "0 pointer to buffer.");
  EnsureVisibleListCurrent();
  SetBlobNullBits(buffer);
  CheckRequiredTableFields(buffer);
  const bool inserting = State() == dsInsert;
  if (inserting) {
    data_manager_->CheckUniqueKeys(buffer, inserting, "TKivoDataSet.InternalPost");
    StoreNewRecord(buffer, "Error in TKivoDataSet.InternalPost");
  } else {
    // The record is found again by the identifier it had: another data set
    // may have deleted it, or moved the last record into its position.
    const std::int32_t id = edited_id_ >= 0 ? edited_id_ : BufferId(buffer);
    const std::int32_t at = ListPositionOfId(id);
    data_manager_->CheckUniqueKeys(buffer, inserting, "TKivoDataSet.InternalPost",
                                   at >= 0 ? list_->RecordAt(at) : -1);
    if (at < 0)
      throw Exception(where + "the record being edited (identifier " + std::to_string(id) +
                      ") no longer exists.");
    TAutoFlushPause pause(*data_manager_);
    last_posted_record_id_ = BufferId(buffer);
    list_->SetCurrent(at);
    WriteBlobSlots(list_->RecordAt(at));
    FreeBlobSlots();
    list_->AfterUpdate(buffer);
  }
  inserting_ = false;
}

void TKivoDataset::EndInternalEdit() {
  TCriticalSectionGuard guard(Lock());
  if (!internal_insert_active_ || internal_edit_pos_ < 0) return;
  struct Finish {
    TKivoDataset& d;
    ~Finish() { d.FinishInternalInsert(); }
  } finish{*this};
  if (!Loading()) TDataSet::InternalPost();
  std::uint8_t* buffer = internal_insert_buffer_.data();
  CheckRequiredTableFields(buffer);
  data_manager_->CheckUniqueKeys(buffer, false, "TKivoDataSet.InternalPost", internal_edit_pos_);
  TAutoFlushPause pause(*data_manager_);
  // No order is asked for: indexes whose key stays need no search.
  data_manager_->UpdateRecord(buffer, -1, internal_edit_pos_);
}

void TKivoDataset::DeleteRecordAt(std::int32_t recPos) {
  TCriticalSectionGuard guard(Lock());
  // What a delete through the cursor would say.
  if (!CanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
  CheckTableOpened("Error in TKivoDataSet.InternalDelete");
  FreeBlobSlots();
  TAutoFlushPause pause(*data_manager_);
  data_manager_->krDeleteRecord(-1, recPos, -1);
}

void TKivoDataset::InternalAddRecord(std::uint8_t* buffer, bool) {
  TCriticalSectionGuard guard(Lock());
  const std::string where = "Error in TKivoDataSet.InternalAddRecord - ";
  if (!buffer) throw Exception(where + "0 pointer to Buffer.");
  if (ReadOnly()) throw Exception(where + "table is read only.");
  if (!table_opened_) throw Exception(where + "table is not open.");
  EnsureVisibleListCurrent();
  CheckRequiredTableFields(buffer);
  data_manager_->CheckUniqueKeys(buffer, false, "TKivoDataSet.InternalAddRecord");
  StoreNewRecord(buffer, "Error in TKivoDataSet.InternalAddRecord");
}

void TKivoDataset::InternalDelete() {
  TCriticalSectionGuard guard(Lock());
  const std::string where = "Error in TKivoDataSet.InternalDelete - ";
  if (ReadOnly()) throw Exception(where + "table is read only.");
  if (!table_opened_) throw Exception(where + "table is not open.");
  EnsureVisibleListCurrent();
  if (list_->Count() == 0) throw Exception(where + "no records in table.");
  // The record the user sees is the one deleted: found by its identifier,
  // never by a position that another data set's change may have reused.
  const std::uint8_t* active = TDataSet::ActiveBuffer();
  const std::int32_t id = active ? BufferId(active) : -1;
  const std::int32_t at = ListPositionOfId(id);
  if (at < 0)
    throw Exception(where + "the record (identifier " + std::to_string(id) + ") no longer exists.");
  list_->SetCurrent(at);
  FreeBlobSlots();
  {
    TAutoFlushPause pause(*data_manager_);
    list_->AfterDelete();
  }
}

}  // namespace kivo
