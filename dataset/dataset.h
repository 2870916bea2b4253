// The data set: a cursor over records seen through one record buffer.
//
// TDataSet owns the state machine (inactive, browse, edit, insert and the
// temporary states), navigation with its beginning and end flags, the
// record buffers, bookmarks, field objects and the notification of data
// sources. A concrete cursor derives from it and supplies the storage side
// through the protected virtual protocol: it opens and closes, fills a
// buffer with the current, next or prior record, moves to the ends or to a
// bookmark, reads and writes field values inside a buffer, and stores,
// changes and deletes records.
//
// Buffers. The framework keeps ONE active record buffer (the current record,
// or the record being edited or inserted), a copy of it taken when editing
// starts (restored by Cancel), and a scratch buffer that moves read into so
// that a move that falls off an end leaves the active buffer on the last
// valid record. All three are RecordBufferSize() bytes, zero-filled when
// allocated right after InternalOpen. Rows that a grid shows are read by
// position through the cursor, not through these buffers.
//
// Invariants (checked by CheckInvariants):
//   1. While inactive no buffers are allocated; while active the three
//      buffers are RecordBufferSize() bytes long.
//   2. When the active buffer holds no current record in browse state, Bof()
//      and Eof() are both true (the data set is empty).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/field_defs.h"
#include "dataset/fields.h"
#include "dataset/filter_options.h"
#include "platform/streams.h"

namespace kivo {

class TDataSource;

enum TDataSetState {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsInternalCalc
};
enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };
enum TDataEvent {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  deFocusControl,
  deParentScroll
};
// Where a buffer's record stands: a stored record, before the first or after
// the last one, or a new record not stored yet.
enum TBookmarkFlag : std::uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };

// A bookmark's bytes as the cursor defines them; empty means none.
using TBookmark = std::vector<std::uint8_t>;

// BLOB stream open modes for CreateBlobStream.
constexpr int kBlobRead = 0;
constexpr int kBlobWrite = 1;
constexpr int kBlobReadWrite = 2;

class TDataSet {
 public:
  using TDataSetNotify = std::function<void(TDataSet&)>;
  using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;

  TDataSet();
  // A derived cursor must close itself in its own destructor: by the time
  // this one runs the storage side is gone. Data sources still attached are
  // detached (their links become inactive).
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  // ---- Opening and state.
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const { return state_ != dsInactive; }
  void SetActive(bool value);
  TDataSetState State() const { return state_; }
  bool Modified() const { return modified_; }

  // ---- Navigation. Moves post or cancel a pending edit first
  // (CheckBrowseMode) and fire BeforeScroll/AfterScroll.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves up to `distance` records forwards (negative: backwards) and
  // returns how far it got; stopping at an end sets Eof or Bof.
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  // True when active and there is no current record (an insert in progress
  // is a record). Also true for a moment while First or Last rereads from an
  // end: the active buffer then holds no current record.
  bool IsEmpty() const { return Active() && !has_record_ && state_ != dsInsert; }
  int RecordCount();
  int RecNo() { return GetRecNo(); }
  // Moves to the record with this 1-based number; the cursor implements it.
  virtual void SetRecNo(int value) { (void)value; }

  // ---- Editing.
  void Insert() { BeginInsertAppend(false); }
  void Append() { BeginInsertAppend(true); }
  // On an empty data set Edit inserts.
  void Edit();
  // Stores the record being edited or inserted; nothing in browse state.
  virtual void Post();
  // Drops the edit or the insert and shows the previous record again.
  virtual void Cancel();
  // Deletes the current record; an insert in progress is cancelled.
  void Delete();
  // Rereads the data (InternalRefresh) and the current record.
  void Refresh();
  // Rereads the current record; when it is gone, the next, else the prior.
  void Resync();
  // Posts a modified edit or insert and cancels an unmodified one.
  void CheckBrowseMode();
  // Asks the links to write their pending edits into the record.
  void UpdateRecord();
  bool CanModify() const { return GetCanModify(); }

  // ---- Bookmarks.
  // The current record's bookmark; empty when there is none.
  TBookmark GetBookmark();
  // Moves to a bookmarked record; "Record not found" when it is gone (the
  // current record then stays). An empty bookmark does nothing.
  void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const std::uint8_t* bookmark);
  // Negative, zero or positive as `a` lies before, at or after `b`; nullptr
  // stands for an absent bookmark, which sorts first.
  virtual int CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b);
  std::int32_t BookmarkSize() const { return bookmark_size_; }

  // ---- Notifications.
  // While controls are disabled no link is notified; the last EnableControls
  // sends the state change and one deDataSetChange when anything happened.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disable_count_ > 0; }
  // Sends an event to every data source and its links (unless controls are
  // disabled). A field change also marks the record modified and
  // recalculates calculated fields.
  void DataEvent(TDataEvent event, std::intptr_t info);

  // ---- Fields.
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  TFieldDefs& FieldDefs() { return field_defs_; }
  const TFieldDefs& FieldDefs() const { return field_defs_; }
  // The field of that name (case ignored); "Field '<name>' not found" when absent.
  TField& FieldByName(const std::string& name) const;
  TField* FindField(const std::string& name) const { return fields_.FindField(name); }
  // True when the fields were made from the field definitions at open.
  bool DefaultFields() const { return default_fields_; }
  // The buffer field access works on; see GetActiveRecordBuffer.
  std::uint8_t* ActiveBuffer() { return active_.empty() ? nullptr : active_.data(); }
  // The size of the calculated-fields area: per calculated or lookup field
  // one has-value byte and the field's data, at the field's Offset().
  std::int32_t CalcFieldsSize() const { return calc_fields_size_; }
  bool AutoCalcFields() const { return auto_calc_fields_; }
  void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }

  // Reads a field's value from the record buffer field access works on into
  // `buffer` in the field's native form (TField describes the forms); with
  // a null `buffer` it only says whether the field has a value. False for
  // null.
  virtual bool GetFieldData(TField* field, void* buffer);
  // Writes a field's native value; a null `buffer` makes the field null.
  // The base raises "Dataset not in edit or insert mode" outside the
  // writable states and refuses the write otherwise.
  virtual void SetFieldData(TField* field, const void* buffer);
  // A stream over a BLOB field's value (mode kBlobRead, kBlobWrite or
  // kBlobReadWrite); the base has no BLOBs and raises.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, int mode);
  // Brings the field's null flag in line with its BLOB stream, as closing the
  // stream does; the base has no BLOBs and does nothing.
  virtual void CloseBlob(TField* field) { (void)field; }
  virtual bool GetIsIndexField(TField* field) { return (void)field, false; }

  // ---- Reading rows by position (grids). Neither call moves the cursor,
  // changes its state or fires an event.
  // Reads the record shown at `recNo` (1 .. RecordCount()) into `buffer`
  // (RecordBufferSize() bytes) with its calculated fields; false when there
  // is no such record or the cursor cannot read by position.
  bool ReadRecordAt(int recNo, std::uint8_t* buffer);
  // Runs `read` while field access (AsString, IsNull, ...) sees `buffer`
  // instead of the current record. `read` must not write fields or move.
  void WithRecordBuffer(std::uint8_t* buffer, const std::function<void()>& read);
  std::int32_t RowBufferSize() const { return RecordBufferSize(); }

  // ---- Searching and filtering.
  bool FindFirst() { return found_ = FindRecord(true, true); }
  bool FindLast() { return found_ = FindRecord(true, false); }
  bool FindNext() { return found_ = FindRecord(false, true); }
  bool FindPrior() { return found_ = FindRecord(false, false); }
  bool Found() const { return found_; }
  const std::string& Filter() const { return filter_; }
  virtual void SetFilter(const std::string& value) { filter_ = value; }
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value) { filtered_ = value; }
  TFilterOptions FilterOptions() const { return filter_options_; }
  virtual void SetFilterOptions(TFilterOptions value) { filter_options_ = value; }

  // Debug check of the numbered invariants above; asserts.
  void CheckInvariants() const;

  // ---- Events.
  TDataSetNotify BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotify BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotify BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotify BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotify BeforeRefresh, AfterRefresh, OnNewRecord, OnCalcFields;
  TFilterRecordEvent OnFilterRecord;

 protected:
  // ---- Protocol: opening.
  virtual std::int32_t RecordBufferSize() const = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalInitFieldDefs() = 0;
  // Called with an exception in flight when opening fails while IsLoading();
  // the default raises it again.
  virtual void InternalHandleException() { throw; }
  virtual bool IsLoading() const { return false; }

  // ---- Protocol: records and navigation.
  virtual TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool doCheck) = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalInitRecord(std::uint8_t* buffer) = 0;
  virtual void ClearCalcFields(std::uint8_t* buffer) { (void)buffer; }
  virtual std::int32_t GetRecordCount() { return -1; }
  virtual std::int32_t GetRecNo() { return -1; }

  // ---- Protocol: editing.
  virtual void InternalInsert() {}
  virtual void InternalEdit() {}
  virtual void InternalCancel() {}
  // Stores the active buffer; the base only checks required fields.
  virtual void InternalPost() { CheckRequiredFields(); }
  virtual void InternalDelete() = 0;
  virtual void InternalAddRecord(std::uint8_t* buffer, bool append) = 0;
  virtual void InternalRefresh() {}
  virtual bool GetCanModify() const { return true; }

  // ---- Protocol: bookmarks.
  void SetBookmarkSize(std::int32_t size) { bookmark_size_ = size; }
  virtual void GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) = 0;
  virtual void SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) = 0;
  virtual void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) = 0;
  virtual void InternalGotoBookmark(const std::uint8_t* bookmark) = 0;
  // Copies the record at list position `recNo` (1-based) into `buffer`
  // without moving; the base cannot and returns false.
  virtual bool InternalReadRecordAt(int recNo, std::uint8_t* buffer) {
    (void)recNo, (void)buffer;
    return false;
  }
  // Makes the buffer's record the storage side's current one.
  virtual void InternalSetToRecord(std::uint8_t* buffer);

  // ---- Protocol: fields and searching.
  // The buffer field access works on: the active buffer in browse (when not
  // empty), edit and insert; the buffer being calculated in dsCalcFields;
  // nullptr otherwise.
  virtual std::uint8_t* GetActiveRecordBuffer();
  virtual bool FindRecord(bool restart, bool goForward) {
    (void)restart, (void)goForward;
    return false;
  }

  // ---- Helpers for the cursor.
  // Raises "Field '<display name>' must have a value" for the first
  // required data field that is null.
  void CheckRequiredFields();
  // Builds one field object per field definition (marked as a default
  // field), or binds existing fields to the definitions by name.
  void CreateFields();
  void DestroyFields();
  // Binding gives data fields their field numbers from the definitions
  // ("Field '<name>' not found" when absent) and calculated fields their
  // offsets in the calculated-fields area; unbinding clears both.
  void BindFields(bool binding);
  // Runs OnCalcFields on `buffer` in state dsCalcFields.
  void CalculateFields(std::uint8_t* buffer);
  std::uint8_t* CalcBuffer() const { return calc_buffer_; }
  // Switches to a temporary state without notifications; returns the old
  // state, which RestoreState puts back.
  TDataSetState SetTempState(TDataSetState state);
  void RestoreState(TDataSetState state) { state_ = state; }
  void DoBeforeScroll();
  void DoAfterScroll();
  // Runs when a new record has been initialised, before the insert or
  // append is visible; the default fires OnNewRecord.
  virtual void DoOnNewRecord() {
    if (OnNewRecord) OnNewRecord(*this);
  }
  void SetModified(bool value) { modified_ = value; }
  // "Cannot perform this operation on a closed dataset" when inactive.
  void CheckActive() const;
  // "Cannot perform this operation on an open dataset" when active.
  void CheckInactive() const;
  // "Dataset not in edit or insert mode" outside the writable states.
  void CheckWritableState() const;
  static bool IsWritableState(TDataSetState state);
  // Changes the state with its notification (key editing and inserts
  // through a cursor's own buffer enter theirs here); clears Modified.
  void SetState(TDataSetState state);

 private:
  friend class TDataSource;

  void OpenCursor();
  void CloseCursor();
  void BeginInsertAppend(bool append);
  void UpdateCursorPos();
  // Reads a record into the scratch buffer and takes it as the active one
  // on success.
  TGetResult ReadRecord(TGetMode mode, bool doCheck);
  // Reads the current record (else the next, else the prior) into the
  // active buffer; false when there is none.
  bool ReadCurrentRecord();
  void AfterRead(std::uint8_t* buffer);
  void RestoreSavedRecord();
  void Notify(TDataEvent event, std::intptr_t info);
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);

  TDataSetState state_ = dsInactive;
  bool modified_ = false;
  bool bof_ = true;
  bool eof_ = true;
  // The active buffer holds the current record (false when empty and while
  // inserting).
  bool has_record_ = false;
  bool saved_has_record_ = false;
  bool saved_bof_ = true;
  bool saved_eof_ = true;
  bool default_fields_ = false;
  bool auto_calc_fields_ = true;
  bool found_ = false;
  bool filtered_ = false;
  TFilterOptions filter_options_ = 0;
  std::string filter_;
  std::int32_t bookmark_size_ = 0;
  std::int32_t calc_fields_size_ = 0;
  int disable_count_ = 0;
  bool pending_change_ = false;
  TDataSetState state_at_disable_ = dsInactive;
  std::vector<std::uint8_t> active_;
  std::vector<std::uint8_t> saved_;
  std::vector<std::uint8_t> scratch_;
  std::uint8_t* calc_buffer_ = nullptr;
  TFieldDefs field_defs_;
  TFields fields_;
  // Not owned: sources register and unregister themselves.
  std::vector<TDataSource*> sources_;
};

}  // namespace kivo
