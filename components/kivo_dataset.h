// TKivoDataset: the cursor over one table of the engine, seen through the
// record-buffer protocol of the data-set framework. It connects to the
// table's shared manager, keeps its own visible records list (the records
// it may show, in the current index's order) and its place in it, and
// moves records between the table and the framework's buffers.
//
// Framework record buffer (RecordBufferSize() bytes):
//   OFFSET           SIZE             CONTENT
//   0                RecordSize       the record image as stored (slots,
//                                     identifier, null bitmap, check string)
//   RecordSize       4                bookmark: the record identifier
//   RecordSize + 4   1                bookmark flag
//   RecordSize + 5   3                zero
//   RecordSize + 8   CalcFieldsSize   calculated fields: a has-value byte and
//                                     the data of each, at the field's offset
//
// Every operation that reads or changes the table, the list or the current
// position holds the session's lock for its duration; the lock is
// re-entrant. Other data sets on the same table change it behind this one's
// back: the table's ChangeCount tells, and the list is rebuilt before it is
// read (EnsureVisibleListCurrent).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "components/database.h"
#include "components/dataset_base.h"
#include "dataset/data_link.h"
#include "dataset/dataset.h"
#include "engine/blob_stream.h"
#include "engine/data_manager.h"
#include "engine/table_search.h"
#include "engine/visible_list.h"
#include "sql/values.h"

namespace kivo {

class TKivoMasterDataLink;
class TParams;

// Field `fieldNo` (-1 = the identifier) of the stored record image `record`
// of `m`'s table, borrowing the image's memory (TZorValue::SetBorrowed); a
// null field gives NULL of the field's type. False, leaving `value` as it
// was, for a BLOB field that holds a value: its bytes are not in the image
// (ReadBlobFieldValue reads them).
// REQUIRES: -1 <= fieldNo < m.FieldCount().
bool ReadImageFieldValue(const TKivoDataManager& m, const std::uint8_t* record,
                         std::int32_t fieldNo, TZorValue& value);
// The stored BLOB value of field `fieldNo` of the record at `recPos`, owned.
void ReadBlobFieldValue(TKivoDataManager& m, std::int32_t fieldNo, std::int32_t recPos,
                        TZorValue& value);
// A BLOB field's bytes as a value of its type (memo text or binary), owned.
void SetBlobValue(TZorValue& value, std::uint8_t type, const TMemoryStream& stream);

class TKivoDataset : public TKivoDatasetBase,
                     public TDataSet,
                     public TDataManagerClient,
                     public TBlobStreamDataset {
 public:
  using TkrProgressEvent =
      std::function<void(TKivoDataset& sender, double percentDone, TkrProgressProcess process)>;
  using TBuildIndexesProgressEvent =
      std::function<void(TKivoDataset& sender, double percentDone, bool start, bool finish)>;

  // Key buffer slots: a search key, the range start and end.
  static constexpr int kKeySearch = 0;
  static constexpr int kKeyRangeStart = 1;
  static constexpr int kKeyRangeEnd = 2;
  static constexpr int kKeyBufferCount = 4;
  static constexpr std::int32_t kKeyHeaderSize = 6;

  explicit TKivoDataset(TComponent* owner = nullptr);
  ~TKivoDataset() override;

  // The framework's and the component's view of being open agree.
  bool Active() const override { return TDataSet::Active(); }
  void Close() override { TDataSet::Close(); }

  // ---- Properties.
  const std::string& TableName() const { return table_name_; }
  // REQUIRES: closed (raises otherwise), except while loading.
  void SetTableName(const std::string& value);
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  void SetReadOnly(bool value) override;
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  std::int32_t BLOBBlockSize() const;
  void SetBLOBBlockSize(std::int32_t value);
  std::uint8_t BLOBCompression() const;
  void SetBLOBCompression(std::uint8_t value);
  bool Encrypted() const;
  void SetEncrypted(bool value) { encrypted_ = value; }
  bool AutoIndexes() const;
  void SetAutoIndexes(bool value) { auto_indexes_ = value; }
  bool CacheEnabled() const { return !cache_disabled_; }
  void SetCacheEnabled(bool value) { cache_disabled_ = !value; }
  bool BDELikeFilter() const { return bde_like_filter_; }
  void SetBDELikeFilter(bool value) { bde_like_filter_ = value; }
  // The table's last identifier while open, otherwise 0.
  std::int32_t GetLastAutoInc() const;
  // Lets the identifier field be written outside key editing (import and
  // restructure copy records with their identifiers).
  bool AllowIdAssign() const { return allow_id_assign_; }
  void SetAllowIdAssign(bool value) { allow_id_assign_ = value; }

  // ---- The current index.
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(const std::string& value);
  const std::string& IndexFieldNames() const { return index_field_names_; }
  void SetIndexFieldNames(const std::string& value);
  // Selects the current index by name (number -1) or by number; with
  // `reversed` the records are shown in that index's order with every key
  // field's direction turned round (see TkrVisibleList::SetCurrentIndex).
  void OpenIndex(const std::string& name, std::int32_t number = -1, bool reversed = false);
  // Whether the current index is walked in reverse.
  bool IndexReversed() const { return list_ && list_->Reversed(); }
  // The number of the current index (0 = the identifier order).
  std::int32_t CurrentIndex() const;
  std::int32_t IndexFieldCount() const;
  // The data set's field for key field `i` of the current index, nullptr for
  // an identifier that is not one of the data set's fields.
  TField* GetIndexField(std::int32_t i);

  // ---- Filters.
  void SetFilter(const std::string& value) override;
  void SetFiltered(bool value) override;

  // ---- Master-detail link.
  TDataSource* MasterSource() const;
  // Raises "TKivoDataSet.SetDataSource - Invalid DataSource" for a source
  // whose data set is this one or is linked back to it.
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return master_fields_; }
  void SetMasterFields(const std::string& value);
  // The source this data set follows: the master source of a table, the
  // parameter source of a query. A chain of them must not come back.
  virtual TDataSource* UpstreamSource() const { return MasterSource(); }
  // True when `source`, or a source up its chain, belongs to this data set.
  bool SourceLeadsHere(TDataSource* source) const;

  // ---- Answers to data-transfer components. Statements are SQL, outside
  // any transaction; names are quoted with "'".
  bool PSIsSQLBased() const { return true; }
  bool PSIsSQLSupported() const { return true; }
  bool PSInTransaction() const { return false; }
  std::string PSGetQuoteChar() const { return "'"; }
  void PSEndTransaction(bool /*commit*/) {}
  // Runs `sql` on a new query at this data set's database and returns the
  // rows it changed (its RowsAffected).
  std::int32_t PSExecuteStatement(const std::string& sql, const TParams* params);

  // ---- Searching.
  // The table position of the first visible record whose fields equal the
  // values (one per field named in `keyFields`, separated by "," or ";"),
  // or -1. A null value finds nothing.
  std::int32_t PrepareAndLocate(const std::string& keyFields,
                                const std::vector<TZorVariant>& keyValues, TFilterOptions options,
                                std::uint8_t op = soEqual);

  // ---- Key searches and ranges (components/dataset_keys.cpp). SetKey,
  // SetRangeStart and SetRangeEnd clear key buffer 0, 1 or 2 and enter key
  // editing; the Edit forms enter it keeping the buffer's values. Field
  // writes then go to that buffer until Post leaves key editing.
  void SetKey();
  void EditKey();
  void SetRangeStart();
  void SetRangeEnd();
  void EditRangeStart();
  void EditRangeEnd();
  // How many key fields of the current index the buffer being edited uses
  // (the search key's outside key editing).
  std::int32_t KeyFieldCount() const;
  void SetKeyFieldCount(std::int32_t value);
  // Leaves key editing and moves to the first visible record whose key
  // equals the search key; false, not moving, when there is none.
  bool GotoKey();
  // The same to the first visible record whose key is not below the search
  // key, or the last one when every key is below it.
  void GotoNearest();
  // SetKey, the values into the first key fields (one per value), then
  // GotoKey or GotoNearest.
  bool FindKey(const std::vector<TZorVariant>& values);
  void FindNearest(const std::vector<TZorVariant>& values);
  // Shows only the records whose key lies between the range start and end
  // (both included), or all again.
  void ApplyRange();
  void CancelRange();
  // SetRangeStart and SetRangeEnd with the values, then ApplyRange.
  void SetRange(const std::vector<TZorVariant>& start, const std::vector<TZorVariant>& end);
  void Post() override;

  // ---- Locate and Lookup over the visible records. Key fields are
  // separated by "," or ";", with one value per field (a single value for
  // a single field).
  // Moves to the first match; false on an empty data set or without one.
  bool Locate(const std::string& keyFields, const std::vector<TZorVariant>& keyValues,
              TLocateOptions options);
  // The values of `resultFields` (split at "," and ";") of the first record
  // whose key fields equal the values exactly, one per name in order;
  // empty (the null value) when none does. The cursor does not move.
  std::vector<TZorVariant> Lookup(const std::string& keyFields,
                                  const std::vector<TZorVariant>& keyValues,
                                  const std::string& resultFields);

  // ---- Field values by table field number (-1 = the identifier), for the
  // SQL processor.
  // From the record field access works on; BLOB values are read whole, and
  // other values point into the buffer unless `copy`.
  void GetFieldValue(TZorValue& value, std::int32_t fieldNo, bool copy);
  // The same with `fieldNo` counted among the data set's fields, through
  // the field map when one is in force.
  void GetMappedFieldValue(TZorValue& value, std::int32_t fieldNo, bool copy);
  // Writes `value` into the record field access works on.
  void SetFieldValue(const TZorValue& value, std::int32_t fieldNo);
  // Inserts through a private record buffer, which field access works on
  // until EndInternalInsert stores it.
  void BeginInternalInsert();
  void EndInternalInsert();
  // Drops the record BeginInternalInsert started, storing nothing.
  void CancelInternalInsert();
  bool InternalInsertActive() const { return internal_insert_active_; }
  // Changes stored record `recPos` through the same private buffer, past
  // the cursor and the visible list: field access works on a copy of the
  // record until EndInternalEdit stores it with the checks of a post
  // (required fields, unique keys). BLOB fields are not written this way.
  // The visible list is rebuilt when next used, so a run of such edits
  // costs one rebuild, not a search per record.
  void BeginInternalEdit(std::int32_t recPos);
  void EndInternalEdit();
  void CancelInternalEdit() { CancelInternalInsert(); }
  // Deletes stored record `recPos` past the cursor and the visible list
  // (rebuilt when next used); the last record moves into its place.
  void DeleteRecordAt(std::int32_t recPos);
  // A run of inserts: until EndAppendRun, EndInternalInsert stores each
  // record straight into the table with the table manager in bulk-insert
  // mode, leaving the visible list behind (indexes no key check needs are
  // sorted once when next used). The checks of a post stay: required
  // fields, unique keys, and a record whose BLOB values cannot be written
  // is taken out again. REQUIRES: the table is open.
  void BeginAppendRun();
  // Drops a record started and not stored, leaves bulk-insert mode, then
  // rebuilds the visible list once and moves to the first record. The run
  // has ended even when the rebuild raises; without a run it does nothing.
  void EndAppendRun();
  bool AppendRunActive() const { return append_run_; }

  // ---- The field map: the data set shows these table fields (-1 = the
  // identifier), in this order, under these names, instead of the table's
  // own fields. REQUIRES: closed (raises otherwise).
  void SetFieldMap(std::vector<std::int32_t> tableFields, std::vector<std::string> names);
  void ClearFieldMap();
  bool FieldMapActive() const { return !field_map_.empty(); }
  const std::vector<std::int32_t>& FieldMap() const { return field_map_; }

  // ---- The visible list, for the other parts of the engine.
  void EnsureVisibleListCurrent();
  void RebuildVisibleList();
  std::int32_t VisibleCount() const { return list_ ? list_->Count() : 0; }
  TkrVisibleList* VisibleList() const { return list_.get(); }
  TKivoDataManager* DataManager() const { return data_manager_; }
  bool TableOpened() const { return table_opened_; }
  // Inserts a complete record buffer (the framework's insert-and-post).
  void AddRecord(std::uint8_t* buffer) { InternalAddRecord(buffer, true); }

  // ---- Events.
  TkrProgressEvent OnProgress;
  TBuildIndexesProgressEvent OnBuildIndexesProgress;

  // ---- Table maintenance (components/table_maintenance.cpp).
  // Whether the table's stored header marks it encrypted: while open the
  // open table's flag, otherwise the header read without opening the table.
  // A header that cannot be read counts as encrypted.
  bool IsTableEncrypted();
  // Whether the table's records file exists (true while open).
  bool Exists();
  // The definitions CreateTable makes a table from; open tables list theirs
  // after AddIndex and DeleteIndex.
  TIndexDefs& IndexDefs() { return index_defs_; }
  // The new structure RestructureTable gives the table.
  TFieldDefs& StructureFieldDefs() { return structure_field_defs_; }
  TIndexDefs& StructureIndexDefs() { return structure_index_defs_; }
  std::int32_t RecordsPerPageHint() const { return records_per_page_hint_; }
  void SetRecordsPerPageHint(std::int32_t value) { records_per_page_hint_ = value; }
  // Set on tables CreateTemporaryTable makes: DeleteTemporaryTable deletes them.
  bool DeleteOnClose() const { return delete_on_close_; }
  void SetDeleteOnClose(bool value) { delete_on_close_ = value; }
  bool SuppressProgressWindow() const { return suppress_progress_window_; }
  void SetSuppressProgressWindow(bool value) { suppress_progress_window_ = value; }
  // Switching an open table out of memory saves it to the database's disk
  // store and reopens it from there; switching in reopens it in memory.
  void SetInMemory(bool value) override;

  // Each runs on a closed data set and leaves it closed.
  void InternalCreateTable();
  void InternalDeleteTable();
  // Renames the table's files; TableName follows. A table other data sets
  // use is refused, `force` or not.
  void InternalRenameTable(const std::string& newName, bool force);
  // Copies an open in-memory table's files to the database's disk store.
  void InternalSaveTable();
  // Makes a new table from the rows of `source`'s data set; problems with
  // fields, indexes and rows go to `log` (one line each) and give false.
  // The new table stays open when its rows were copied.
  bool InternalImportTable(TDataSource* source, const TIndexDefs* indexDefs, std::string& log);
  // Gives the table StructureFieldDefs and StructureIndexDefs, keeping its
  // rows; a failure leaves the old table as it was.
  void InternalRestructureTable(bool encrypted, const std::string& password,
                                std::int32_t blobBlockSize, std::uint8_t blobCompression);
  // REQUIRES: open (raises otherwise).
  void InternalAddIndex(const std::string& name, const std::string& fields, TIndexOptions options,
                        const std::string& descFields, const std::string& caseInsFields);
  void InternalDeleteIndex(const std::string& name);
  void CreateTemporaryIndex(const std::string& fields, const std::string& descFields,
                            const std::string& caseInsFields, std::string& name);
  // A new in-memory table with a generated name "@TABLE" + digits.
  void CreateTemporaryTable(std::int32_t recordsPerPageHint);
  void DeleteTemporaryTable();

  // TDataManagerClient.
  bool ClientInMemory() const override { return InMemory(); }
  bool ClientReadOnly() const override { return ReadOnly(); }
  void SetClientReadOnly(bool value) override { TKivoDatasetBase::SetReadOnly(value); }
  bool ClientEncrypted() const override { return encrypted_; }
  std::string ClientPassword() const override { return password_; }
  std::int32_t ClientRecordsPerPageHint() const override { return records_per_page_hint_; }
  bool ClientCacheEnabled() const override { return !cache_disabled_; }
  std::uint8_t ClientBLOBCompression() const override { return blob_compression_; }
  std::int32_t ClientBLOBBlockSize() const override { return blob_block_size_; }
  void DoBuildIndexesProgress(bool start, bool finish, double percentDone) override;

  // TBlobStreamDataset.
  bool BlobDatasetReadOnly() const override { return ReadOnly(); }
  TMemoryStream* BlobFieldStream(int field, bool writing) override;
  void BlobFieldChanged(int field) override;
  void BlobStreamClosed(int field) override;

  std::unique_ptr<TStream> CreateBlobStream(TField* field, int mode) override;
  void CloseBlob(TField* field) override;
  bool GetFieldData(TField* field, void* buffer) override;
  void SetFieldData(TField* field, const void* buffer) override;
  bool GetIsIndexField(TField* field) override;
  bool BookmarkValid(const std::uint8_t* bookmark) override;
  int CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) override;
  void SetRecNo(int value) override;

 protected:
  // ---- Opening and closing.
  std::int32_t RecordBufferSize() const override { return record_buffer_size_; }
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return table_opened_; }
  void InternalInitFieldDefs() override;
  void OpenTable();
  void CloseTable();

  // Called while the data set opens, after the table is open and before its
  // visible list is first built: a derived data set sets the list's
  // restrictions here so that the list is built once, with them.
  virtual void BeforeListBuilt(TkrVisibleList& /*list*/) {}

  // ---- Records and navigation.
  TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool doCheck) override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalInitRecord(std::uint8_t* buffer) override;
  void ClearCalcFields(std::uint8_t* buffer) override;
  std::int32_t GetRecordCount() override;
  std::int32_t GetRecNo() override;

  // ---- Editing.
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalCancel() override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalAddRecord(std::uint8_t* buffer, bool append) override;
  void InternalRefresh() override;
  // A detail's new record takes the master's values in its index fields.
  void DoOnNewRecord() override;
  bool GetCanModify() const override { return !ReadOnly(); }

  // ---- Bookmarks.
  void GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) override;
  void SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) override;
  TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) override;
  void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) override;
  void InternalGotoBookmark(const std::uint8_t* bookmark) override;
  bool InternalReadRecordAt(int recNo, std::uint8_t* buffer) override;

  std::uint8_t* GetActiveRecordBuffer() override;
  bool FindRecord(bool restart, bool goForward) override;

  // The table field number a framework field stands for (-1 = the
  // identifier, FieldCount() likewise), through the field map when in force.
  std::int32_t TableFieldNo(const TField* field) const;
  std::int32_t RecordSize() const { return data_manager_ ? data_manager_->RecordSize() : 0; }
  // Raises `where` + " - no table was opened." when closed.
  void CheckTableOpened(const char* where) const;
  // The lock of the data set's session, held by every table operation.
  TCriticalSection& Lock() const;

  // The master link's state: active with master fields, and fitting the index.
  bool MasterRestricts() const;
  bool MasterConditionActive();
  // Called by the master link when the master record changed.
  void MasterChanged();
  void UpdateMasterConditions();
  // Writes a value into the condition's value buffer in the type of the
  // condition's field; false when the field cannot hold it.
  bool WriteKeyValue(const TZorVariant& value, TSearchOperation& op);
  static TZorVariant FieldVariant(const TField& field);
  // Gives `field` the value (null clears it; integers go in as 64 bits).
  static void SetFieldVariant(TField& field, const TZorVariant& value);

 private:
  friend class TKivoMasterDataLink;
  struct BlobSlot {
    std::unique_ptr<TMemoryStream> stream;
    // The stream holds a value not posted yet: it is never reloaded.
    bool changed = false;
  };
  void FreeBlobSlots();
  // The session lock for GetFieldValue and SetFieldValue; none for a
  // temporary table.
  std::unique_lock<TCriticalSection> FieldAccessLock() const;
  // The data field that stands for table field `fieldNo`, or null.
  TField* FieldOfTableField(std::int32_t fieldNo);
  // Leaves an internal insert: browsing, the private buffer dropped.
  void FinishInternalInsert();
  // Stores every open slot as the value of record `recPos`; the slots stay.
  void WriteBlobSlots(std::int32_t recPos);
  // Sets the null bits of `buffer` from the open slots: empty is null.
  void SetBlobNullBits(std::uint8_t* buffer);
  // Takes back the insert of the last record `recPos` (listed or not) and
  // the identifier it used.
  void RemoveFailedInsert(std::int32_t recPos, std::int32_t lastAutoInc);
  void CheckRequiredTableFields(const std::uint8_t* buffer) const;
  // The identifier of a record buffer.
  std::int32_t BufferId(const std::uint8_t* buffer) const;
  // The list position of the record with identifier `id`, or -1.
  std::int32_t ListPositionOfId(std::int32_t id);
  // The stored image of record `pos`, valid until the next read. Records
  // read one after another in position order come from a window read in
  // one go past the page cache; any change to the table drops it.
  const std::uint8_t* RecordImage(std::int32_t pos);
  void SelectIndex(std::int32_t number, bool reversed = false);
  // Key editing on buffer `slot`, cleared first unless `keep`.
  void EnterKeyEditing(int slot, bool keep);
  void WriteKeyValues(const std::vector<TZorVariant>& values);
  // Posts key editing and any edit; `where` + " - no table was opened."
  // when closed.
  void LeaveKeyEditing(const char* where);
  // The visible place of the first record of the run whose key equals (or,
  // not `exact`, is the nearest to) the search key; -1 when none.
  std::int32_t FindKeyPlace(bool exact);
  void MoveToPlace(std::int32_t place);
  void AfterIndexChange();
  // The record search of FindFirst/FindNext over the filter text.
  void DeriveFindMatches();
  // Runs OnFilterRecord for a record image in the filter state.
  bool FilterRecordAccepts(const std::uint8_t* record);
  // The insert of a checked buffer: store (through the visible list when
  // `listed`), BLOBs; a failure leaves the table without the record.
  void StoreNewRecord(std::uint8_t* buffer, const char* where, bool listed = true);
  // The insert of a run: `buffer` with the values of the open BLOB slots
  // stored as a new record outside the visible list, after the checks of
  // the table (required fields, unique keys); a failure leaves the table
  // without it.
  void StoreRunRecord(std::uint8_t* buffer);
  // Leaves bulk-insert mode and ends the run; never raises.
  void LeaveAppendRun() noexcept;

  std::string table_name_;
  std::string password_;
  std::vector<std::int32_t> field_map_;
  std::vector<std::string> field_map_names_;
  std::string index_name_;
  std::string index_field_names_;
  bool exclusive_ = false;
  std::int32_t blob_block_size_ = kDefaultBLOBBlockSize;
  std::uint8_t blob_compression_ = 0;
  bool encrypted_ = false;
  bool auto_indexes_ = false;
  bool cache_disabled_ = false;
  bool bde_like_filter_ = false;
  std::int32_t records_per_page_hint_ = 1000;

  std::int32_t record_buffer_size_ = 0;
  bool table_opened_ = false;
  bool inserting_ = false;
  bool allow_id_assign_ = false;
  // The cursor was placed explicitly (first, last, a bookmark, a search):
  // the next read takes the list's current entry instead of finding the
  // active record again.
  bool cursor_pos_changed_ = false;
  std::int32_t last_posted_record_id_ = -1;
  // The identifier the record being edited had when the edit began; Post
  // finds the record by it, also when the edit gives the record another.
  std::int32_t edited_id_ = -1;
  TKivoDataManager* data_manager_ = nullptr;
  std::unique_ptr<TkrTableSearch> search_;
  std::unique_ptr<TkrVisibleList> list_;
  std::array<std::vector<std::uint8_t>, kKeyBufferCount> key_buffers_;
  int key_buffer_ = kKeySearch;  // the buffer key editing works on
  // The stored position of the record an internal edit changes, else -1.
  std::int32_t internal_edit_pos_ = -1;
  std::vector<std::uint8_t> internal_insert_buffer_;
  bool internal_insert_active_ = false;
  // Between BeginAppendRun and EndAppendRun; `run_key_checks_`: the table
  // has a unique index besides the identifier's, which every record of the
  // run is checked against (the identifier only when it may repeat).
  bool append_run_ = false;
  bool run_key_checks_ = false;
  std::vector<BlobSlot> blob_slots_;
  // The read-ahead window of RecordImage: images of records
  // window_first_ .. window_first_ + window_count_ - 1 as of the table's
  // ChangeCount window_change_count_.
  std::vector<std::uint8_t> window_;
  std::int32_t window_first_ = 0;
  std::int32_t window_count_ = 0;
  std::int32_t window_change_count_ = 0;
  std::int32_t last_image_pos_ = -2;
  std::int32_t last_image_change_count_ = 0;
  // The record OnFilterRecord judges, in the filter state.
  const std::uint8_t* filter_buffer_ = nullptr;
  std::vector<std::uint8_t> filter_copy_;

  std::string master_fields_;
  std::unique_ptr<TKivoMasterDataLink> master_link_;

  // Table maintenance (components/table_maintenance.cpp).
  struct TRowCopy;
  // The store mode handed to the table manager.
  std::uint8_t MaintenanceStoreMode() const;
  // Opens the new table of an import or restructure that will hold `rows` rows.
  void OpenForRows(std::int32_t rows);
  // Copies the rows of `source` into this open table (see TRowCopy).
  void CopyRows(TDataSet& source, TRowCopy& copy);
  // CopyRows between two tables whose paired fields are stored alike: the
  // record images are copied slot by slot. False (nothing copied) when a
  // pair needs a conversion.
  bool CopyRowImages(TKivoDataset& source, TRowCopy& copy);
  void RefreshIndexDefs();
  TIndexDefs index_defs_;
  TFieldDefs structure_field_defs_;
  TIndexDefs structure_index_defs_;
  bool delete_on_close_ = false;
  bool suppress_progress_window_ = false;

  // FindFirst/FindNext: the list entries the filter text marks, in list
  // order, and the search's own place among them.
  std::unique_ptr<TSearchParser> find_parser_;
  std::vector<std::int32_t> find_matches_;
  std::int32_t find_position_ = -1;
};

// The link from a detail data set to its master's data source: every move or
// change of the master record rebuilds the detail's list.
class TKivoMasterDataLink : public TDataLink {
 public:
  explicit TKivoMasterDataLink(TKivoDataset& detail) : detail_(detail) {}

 protected:
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void DataSetScrolled(int distance) override;
  void DataSetChanged() override;

 private:
  TKivoDataset& detail_;
};

}  // namespace kivo
