// TKivoDataManager: everything one open table needs at run time, shared by
// every data set that opens the same table of the same database.
//
// A table named T is up to four files of its database's plain file system:
//   T.dat  table header, field headers, then the fixed-size records
//   T.idx  index headers and sorted record-position arrays (always present;
//          recreated empty when missing)
//   T.bif  BLOB directory  } only when the table has a BLOB field
//   T.bdf  BLOB data       }
//   T.jnl  records a flush writes in place (see engine/record_journal.h);
//          only after such a flush, until the table is closed
// The manager reaches them only through its TTableFileStore (the database
// manager), by name and store mode.
//
// Managers live in one process-wide registry that owns them, keyed by table
// name (case ignored) and database path; krGetDataManager finds or creates
// them. A manager's users are its connected data sets and its holds: when
// the last of them leaves, the registry closes the table and destroys the
// manager. Code that works on a manager without connecting a data set
// (creating, renaming or deleting a table) holds it in a TDataManagerHold,
// or gives it back with krReleaseDataManager. A manager built directly, outside the
// registry, belongs to whoever built it.
//
// Locks: every operation holds the manager's own re-entrant lock for its
// whole duration. The registry lock is taken by krGetDataManager,
// krDisconnectDataset and krReleaseDataManager; they hold it while closing
// and destroying a manager, so the registry lock is always taken before a
// manager's lock, never while one is held.
//
// Field numbers: 0 .. FieldCount-1 are the field headers in header order;
// -1 (and FieldCount) denote the record identifier.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dataset/field_defs.h"
#include "engine/blob_directory.h"
#include "engine/blob_stream.h"
#include "engine/index_file.h"
#include "engine/record_cache.h"
#include "engine/record_image.h"
#include "engine/record_indexer.h"
#include "engine/record_journal.h"
#include "engine/table_file_store.h"
#include "engine/table_header.h"
#include "engine/table_indexes.h"
#include "engine/write_log.h"
#include "platform/locks.h"
#include "storage/file_layer.h"

namespace kivo {

// What a table manager needs to know about a data set connected to it. The
// component layer's table cursor implements it.
class TDataManagerClient {
 public:
  virtual ~TDataManagerClient() = default;

  virtual bool ClientInMemory() const = 0;
  virtual bool ClientReadOnly() const = 0;
  // The manager switches a data set to read-only when a table file could
  // only be opened for reading.
  virtual void SetClientReadOnly(bool value) = 0;
  virtual bool ClientEncrypted() const = 0;
  virtual std::string ClientPassword() const = 0;
  virtual std::int32_t ClientRecordsPerPageHint() const = 0;
  virtual bool ClientCacheEnabled() const = 0;
  virtual std::uint8_t ClientBLOBCompression() const = 0;
  virtual std::int32_t ClientBLOBBlockSize() const = 0;
  // Index-building progress (see TKivoDataManager::IndexBuildProgress).
  virtual void DoBuildIndexesProgress(bool /*start*/, bool /*finish*/, double /*percentDone*/) {}
};

// OpenTable result codes.
constexpr std::int8_t kOpenOk = 0;
constexpr std::int8_t kOpenMissing = -1;  // T.dat does not exist
constexpr std::int8_t kOpenInvalidPassword = -3;
constexpr std::int8_t kOpenFailed = -4;  // files missing, locked or headers damaged
constexpr std::int8_t kOpenBadBLOBHeaders = -5;

// The table file extensions.
inline constexpr const char* kDataFileExt = ".dat";
inline constexpr const char* kIndexFileExt = ".idx";
inline constexpr const char* kBLOBIndexFileExt = ".bif";
inline constexpr const char* kBLOBDataFileExt = ".bdf";
// The roll-forward journal of a flush that writes records in place (see
// engine/record_journal.h); there only while such a flush runs.
inline constexpr const char* kJournalFileExt = ".jnl";

// The longest field or index name CreateTable accepts.
constexpr std::size_t kMaxDefinitionNameLength = 253;
// The BLOB block size used when the data set gives none.
constexpr std::int32_t kDefaultBLOBBlockSize = 512;

class TKivoDataManager;

// The registered manager of (tableName, store) — table name compared
// ignoring case, database by its exact Path — or a new registered one.
// Raises "krGetDataManager - nil pointer to DatabaseManager." for a nil store.
TKivoDataManager* krGetDataManager(const std::string& tableName, TTableFileStore* store);
// Detaches `dataset` from `manager`. When it was the last data set and no
// TDataManagerHold holds the manager, the table is closed and the registry
// destroys the manager (the pointer is then dangling) and true is returned; a failure to close is
// raised after the manager is gone. A manager outside the registry is only closed.
bool krDisconnectDataset(TKivoDataManager* manager, TDataManagerClient* dataset);
// Gives back a manager that no data set was connected to through this
// caller: the registry destroys it (closing an open table) unless data sets
// are connected to it or holds hold it, which keep it alive. A nullptr is
// ignored. An uncounted pointer: prefer a TDataManagerHold, which counts.
void krReleaseDataManager(TKivoDataManager* manager);

// A manager held, without a connected data set, for the holder's scope.
// Every hold counts as a user beside the connected data sets: the registry
// destroys the manager only when the last hold and the last data set are
// gone, so two holders of one table (a rename while a check runs) never
// leave one of them with a dangling manager. Move-only.
class TDataManagerHold {
 public:
  TDataManagerHold() = default;
  explicit TDataManagerHold(TKivoDataManager* manager) { reset(manager); }
  ~TDataManagerHold() { reset(); }
  TDataManagerHold(TDataManagerHold&& other) noexcept
      : manager_(std::exchange(other.manager_, nullptr)) {}
  TDataManagerHold& operator=(TDataManagerHold&& other) noexcept {
    if (this != &other) {
      reset();
      manager_ = std::exchange(other.manager_, nullptr);
    }
    return *this;
  }
  TDataManagerHold(const TDataManagerHold&) = delete;
  TDataManagerHold& operator=(const TDataManagerHold&) = delete;

  // Gives back the manager held (see krReleaseDataManager) and holds
  // `manager` instead (nullptr: none).
  void reset(TKivoDataManager* manager = nullptr) noexcept;
  TKivoDataManager* get() const { return manager_; }
  TKivoDataManager* operator->() const { return manager_; }
  TKivoDataManager& operator*() const { return *manager_; }
  explicit operator bool() const { return manager_ != nullptr; }

 private:
  TKivoDataManager* manager_ = nullptr;
};

class TKivoDataManager {
 public:
  // A manager outside the registry; krGetDataManager makes registered ones.
  TKivoDataManager(const std::string& tableName, TTableFileStore* store);
  // Closes the table when open.
  ~TKivoDataManager();
  TKivoDataManager(const TKivoDataManager&) = delete;
  TKivoDataManager& operator=(const TKivoDataManager&) = delete;

  // ---- Registry ----
  // The registry's lock; taken before any manager's own lock.
  static TCriticalSection& RegistryLock();
  static int RegisteredCount();
  static bool IsRegistered(const TKivoDataManager* manager);

  // ---- The manager's lock ----
  void Lock();
  void Unlock();
  int LockDepth() const { return lock_depth_; }

  // ---- Data sets ----
  // Attaches a data set; the first one opens the table. Returns 0, or the
  // failed OpenTable's code (the data set is then detached again). Raises
  // "TKivoDataManager.ConnectDataset - Cannot open dataset in both InMemory
  // and other modes." and "TKivoDataManager.ConnectDataset - Inavlid password
  // for table \"T\"".
  std::int8_t ConnectDataset(TDataManagerClient* dataset);
  // krDisconnectDataset(this, dataset): the registry may destroy the
  // manager before this returns true.
  bool DisconnectDataset(TDataManagerClient* dataset) { return krDisconnectDataset(this, dataset); }
  int DatasetCount() const { return static_cast<int>(datasets_.size()); }
  // 0 (the database's store mode) or fsmMemory, from the connected data sets.
  std::uint8_t DetectFileStoreMode() const;

  // ---- Table operations ----
  // Creates the table's files (T.dat and T.idx, plus T.bif and T.bdf when a
  // field is a BLOB) and closes them again. The caller sets the password,
  // encryption, BLOB block size and compression and the store mode first.
  void CreateTable(const TFieldDefs& fieldDefs, const TIndexDefs& indexDefs, bool autoIndexes,
                   std::int32_t recordsPerPageHint);
  // Raises what CreateTable would raise for this definition (names, types,
  // sizes, record size, the BLOB block size of a table with BLOB fields,
  // key fields of the indexes) without touching any file.
  void CheckTableDefinition(const TFieldDefs& fieldDefs, const TIndexDefs& indexDefs) const;
  // Returns kOpenOk or one of the negative codes above; the table stays
  // closed with its files closed on failure.
  std::int8_t OpenTable();
  // Why the last OpenTable failed with kOpenFailed or kOpenBadBLOBHeaders:
  // the message of the error behind the code. Empty after a success and for
  // the codes that carry no error (a missing table, a wrong password).
  const std::string& LastOpenError() const { return last_open_error_; }
  // Why the last open could not repair a flush cut short (the open itself
  // goes on, and the record operations report what is still wrong); empty
  // when the repair succeeded or had nothing to do.
  const std::string& LastRepairError() const { return last_repair_error_; }
  // Flushes an open writable table and releases everything.
  void CloseTable();
  void DeleteTable();
  void RenameTable(const std::string& newName);
  // Copies the files of an in-memory table to the database's main store.
  void SaveInMemoryTable();
  // Writes the table header and all field headers at offset 0 of T.dat.
  void SaveTableHeaders();
  // The header's Encrypted flag; a closed table's files are opened, its
  // headers read and the files closed again. Raises when they cannot be read.
  bool IsEncrypted();
  // The next generated identifier will be `value`.
  void SetNextAutoInc(std::int32_t value);
  // Counts 0, Version 4.5, hidden identifier, Encrypted and BLOBCompression
  // from the manager's settings, BLOB block size 512 when not positive.
  void ResetTableHeader();

  // -1 for the identifier's name, else the first field header of that name
  // (case ignored); -2 when none, or with `raiseIfMissing` the error
  // "Error in TKivoDataManager.InternalGetFieldNo - field \"N\" not found!".
  int InternalGetFieldNo(const std::string& name, bool raiseIfMissing) const;
  // The field's type ordinal; ftAutoInc for -1 and FieldCount. Raises for
  // other numbers outside the field headers.
  std::uint8_t GetFieldType(int fieldNo) const;

  // ---- Settings a data set hands over before create and open ----
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value);  // at most 255 characters kept
  void SetEncrypted(bool value) { encrypted_setting_ = value; }
  void SetBLOBCompression(std::uint8_t value) { blob_compression_setting_ = value; }
  std::int32_t BLOBBlockSize() const { return blob_block_size_; }
  void SetBLOBBlockSize(std::int32_t value) { blob_block_size_ = value; }
  std::uint8_t StoreMode() const { return store_mode_; }
  void SetStoreMode(std::uint8_t value) { store_mode_ = value; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  // Whether some table file could only be opened for reading.
  bool FileOpenedReadOnly() const { return file_read_only_; }
  std::int32_t RecordsPerPageHint() const { return records_per_page_hint_; }
  void SetRecordsPerPageHint(std::int32_t value) { records_per_page_hint_ = value; }
  bool CacheDisabled() const { return cache_disabled_; }
  void SetCacheDisabled(bool value) { cache_disabled_ = value; }
  bool IndexBuildProgress() const { return index_build_progress_; }
  void SetIndexBuildProgress(bool value);

  // ---- State ----
  const std::string& TableName() const { return table_name_; }
  TTableFileStore* FileStore() const { return store_; }
  bool IsOpen() const { return open_; }
  bool OpenCompleted() const { return open_completed_; }

  // ---- Table header and field headers ----
  TTableHeader& Header() { return header_; }
  const TTableHeader& Header() const { return header_; }
  std::int32_t FieldCount() const { return header_.FieldCount; }
  std::int32_t RecordCount() const { return header_.RecordCount; }
  std::int32_t LastAutoInc() const { return header_.LastAutoInc; }
  const std::string& IdFieldName() const { return header_.IdFieldName; }
  std::uint8_t IdFieldVisibility() const { return header_.IdFieldVisibility; }
  bool Encrypted() const { return header_.Encrypted != 0; }
  std::uint8_t BLOBCompression() const { return header_.BLOBCompression; }
  std::int32_t ChangeCount() const { return header_.ChangeCount; }
  double Version() const { return header_.Version; }
  const std::vector<TFieldHeader>& FieldHeaders() const { return field_headers_; }
  // REQUIRES: 0 <= fieldNo < FieldCount.
  const TFieldHeader& FieldHeader(int fieldNo) const {
    return field_headers_[static_cast<std::size_t>(fieldNo)];
  }
  std::int32_t FieldOffset(int fieldNo) const {
    return field_offsets_[static_cast<std::size_t>(fieldNo)];
  }
  const std::vector<std::int32_t>& FieldOffsets() const { return field_offsets_; }
  bool HasBLOBs() const { return blob_field_count_ > 0; }
  std::int32_t BLOBFieldCount() const { return blob_field_count_; }

  // The record layout derived from the field headers.
  const TkrRecordLayout& Layout() const { return layout_; }
  std::int32_t DataSize() const { return layout_.DataSize; }
  std::int32_t RecordSize() const { return layout_.RecordSize; }
  std::int32_t DataOffset() const { return data_offset_; }

  // ---- Files (nullptr while closed) ----
  TAbstractFile* DatFile() const { return dat_file_.get(); }
  TAbstractFile* IdxFile() const { return idx_file_.get(); }
  TAbstractFile* BifFile() const { return bif_file_.get(); }
  TAbstractFile* BdfFile() const { return bdf_file_.get(); }
  // Table name + extension.
  std::string FileName(const char* extension) const { return table_name_ + extension; }

  // Reports a flush failure while closing; CloseTable carries on closing
  // after it. The console shows it in a message box; without a handler
  // CloseTable raises it once the table is closed.
  using TCloseErrorHandler = std::function<void(const std::string& message)>;
  static void SetCloseErrorHandler(TCloseErrorHandler handler);

  // =====================================================================
  // ---- Record storage: page cache, write-behind log, record operations.
  // Implemented in engine/record_storage.cpp.
  //
  // Reads go through the page cache (plain images); every write goes to the
  // cache and, as the stored image (enciphered for encrypted tables), to the
  // write-behind log. RecordCount, LastAutoInc, ChangeCount and the logged
  // records reach T.dat at the next flush, records always before the header
  // that counts them.
  // =====================================================================
 public:
  // Stores the first RecordSize bytes of `buffer` (identifier, null bitmap
  // and field slots filled by the data set) as the new last record; returns
  // its position within index `currentIndex`.
  std::int32_t InsertRecord(const std::uint8_t* buffer, std::int32_t currentIndex);
  // Stores `count` plain images (RecordSize bytes each, one after another)
  // as new last records in one step, written straight to T.dat past the
  // write-behind log: what a bulk copy of rows wants. The indexes take them
  // as InsertRecord would. False, with nothing done, when the table cannot
  // take records this way (BLOB fields, no table file, automatic flushing
  // off, no room left in the file): the caller inserts them one by one.
  // The images are not checked (required fields, unique keys): the caller
  // has done that.
  bool AppendRecords(const std::uint8_t* images, std::int32_t count);
  // Replaces record `recPos`; returns its new position within `currentIndex`.
  // `currentOrdinal`: the caller's guess of the record's place in
  // `currentIndex`, or -1.
  std::int32_t UpdateRecord(const std::uint8_t* buffer, std::int32_t currentIndex,
                            std::int32_t recPos, std::int32_t currentOrdinal = -1);
  // Deletes record `recPos`; the last record moves into `recPos`. Returns the
  // moved record's position within `currentIndex` before the delete, else 0.
  // `currentOrdinal`: recPos's ordinal within `currentIndex` when known,
  // else -1 (see TkrRecordIndexer::RecordDeleting).
  std::int32_t krDeleteRecord(std::int32_t currentIndex, std::int32_t recPos,
                              std::int32_t currentOrdinal = -1);
  // The cached plain image of record `recPos`, valid until the next cache
  // operation unless its page is locked.
  std::uint8_t* GetRecordPtr(std::int32_t recPos);
  // Fills `dest` with the plain images of records first .. first+count-1,
  // read past the page cache as ScanRecords reads them. Raises "TRecordsPage.
  // GetRecordPtr - Cannot find record" for positions outside the table.
  void ReadRecordImages(std::int32_t first, std::int32_t count, std::uint8_t* dest);
  // Calls f(pos, image) for records from .. to - 1 in position order. The
  // images are read in blocks past the page cache (from the write-behind
  // log and the file, as the cache itself loads them) and are valid only
  // during the call; f must not change the table.
  void ScanRecords(std::int32_t from, std::int32_t to,
                   const std::function<void(std::int32_t pos, const std::uint8_t* image)>& f);
  void LockRecordPage(std::int32_t recPos);
  void UnlockRecordPage(std::int32_t recPos);
  // Writes the log and the headers when the table has changed.
  void FlushBuffers();
  void DisableAutoFlush();
  // Switches auto-flush on; with `flushNow` runs the flush check at once.
  void EnableAutoFlush(bool flushNow);
  bool AutoFlush() const { return auto_flush_; }
  // Enciphers (with a fresh check string) or deciphers one record image.
  void ChangeBufferEncryption(std::uint8_t* buffer, bool encode);
  // The check string of `size` bytes: the CRC-32 text form, at most 12 characters.
  void CountBufferCrc(const std::uint8_t* buffer, std::int32_t size, std::string& checkString);
  // True for tables of more than 10 records; for smaller ones true unless
  // more than 100 changes came without a pause of a second.
  bool ShouldMaintainAllIndexes();

  // Lets the page cache keep a table of `count` records whole when it
  // keeps the whole table now (TkrRecordsArray::ReserveWholeTable), for a
  // table about to grow by many records.
  void ReserveCachedRecords(std::int32_t count);

  // The open table's page cache, write-behind log and indexer (nullptr while closed).
  TkrRecordsArray* RecordCache() const { return records_.get(); }
  TkrBufferLogArray* WriteLog() const { return log_.get(); }
  TkrRecordIndexer* RecordIndexer() const { return indexer_.get(); }
  // The table's indexes while they are the indexer in use, else nullptr.
  TkrTableIndexes* Indexes() const { return indexes_; }
  // Replaces the indexer the record operations keep in step.
  void SetRecordIndexer(std::unique_ptr<TkrRecordIndexer> indexer);
  // The millisecond tick source of the cache, the log and the index
  // heuristic (GetTickCount by default).
  void SetTickSource(std::function<std::uint32_t()> ticks);

 private:
  // Called by OpenTable after the headers are read (page cache), after the
  // password check (write-behind log), and to recreate the cache when its
  // cache-disabled setting differs from the manager's.
  void CreateRecordCache();
  void CreateWriteBehindLog();
  void UpdateRecordCacheMode();
  // Called by CloseTable and on every failed open: frees the log and the cache.
  void FreeRecordStorage();
  // False for an empty password; with records, record 0 must decipher with
  // the password and match its check string.
  bool CheckPassword();
  // After every record write: flushes when the log is due (auto-flush on,
  // table writable), then writes the headers and sets T.dat's length.
  void FlushIfDue();
  void SetDataFileLength();
  // Writes the logged records, then the headers and T.dat's length. While
  // the records are written the header carries a flush mark (the byte before
  // ChangeCount, which otherwise repeats ChangeCount's low byte, holds its
  // complement), so that a flush cut short by a killed process shows.
  void WriteLogAndHeaders(bool sync);
  // At open, after a flush that was cut short: a delete moves the last
  // record into the freed position before the header stops counting the
  // last one, so trailing records that equal an earlier record byte for
  // byte (identifier included) are copies left by that delete and are
  // dropped. Clears the mark. Never raises; a table it cannot read is left
  // as it is, and the error is kept in LastRepairError().
  void RepairInterruptedFlush();
  // Before a flush that writes over records the header on disk counts:
  // writes those images to T.jnl (engine/record_journal.h).
  // `inPlace`: the logged images below `counted` (sorted here).
  void WriteFlushJournal(bool sync, std::int32_t counted,
                         std::vector<std::pair<std::int32_t, const std::uint8_t*>>& inPlace,
                         const std::vector<std::uint8_t>& header,
                         const std::vector<std::uint8_t>& directory);
  // The table and field headers as SaveTableHeaders writes them.
  std::vector<std::uint8_t> TableHeadersImage() const;
  // At open, before anything is read: a flush whose whole journal holds its
  // header is completed (records, T.bif, header written as the journal
  // holds them), or, for a read-only open, read through.
  void CompleteJournalledFlush();
  void CompleteFlushFrom(const TkrJournalImages& journal);
  // The open could not complete a journalled flush: the table is read as
  // it is, and nothing repairs it before the next open.
  bool journal_pending_ = false;
  // The whole journal of the interrupted flush of the header on disk
  // (identity taken from header_ as read), or nullptr.
  std::unique_ptr<TkrJournalImages> ReadFlushJournal();
  // Writes a whole journal's images again (at a writable open with the mark
  // set), then removes T.jnl; removes a stale T.jnl at any writable open.
  void RollForwardJournal(bool markSet);
  // Writes a whole journal's record images; false when the file cannot
  // take them (records missing).
  bool WriteJournalImages(const TkrJournalImages& journal);
  void RemoveJournal();
  bool UsesJournal() const { return store_mode_ != fsmMemory && store_ != nullptr; }
  // REQUIRES-style checks of the record operations.
  void CheckRecordStorage(const char* operation, bool write) const;
  // A copy of the plain image as T.dat stores it.
  std::vector<std::uint8_t> StoredImageOf(const std::uint8_t* plain);

  friend class TkrTableRecordSource;
  // A read-only open of a table whose flush was cut short reads the images
  // of its whole journal over T.dat: what the next writable open rolls forward.
  std::unique_ptr<TkrJournalImages> journal_overlay_;
  // T.jnl was written since the open: it stays (reused, never shrunk, so a
  // container allocates its pages once) and goes at a clean close. Between
  // flushes it is stale, and a stale journal never applies: it names the
  // ChangeCount of a header that the finished flush has replaced.
  bool journal_kept_ = false;
  friend class TkrManagerIndexedTable;
  std::unique_ptr<TkrRecordSource> record_source_;
  // Forgets what the record source read ahead of T.dat (about to change).
  void DropRecordReadAhead();
  std::unique_ptr<TkrRecordsArray> records_;
  std::unique_ptr<TkrBufferLogArray> log_;
  std::unique_ptr<TkrRecordIndexer> indexer_;
  TkrTableIndexes* indexes_ = nullptr;
  bool auto_flush_ = true;
  // Records appended in blocks since T.dat was last synced (also set by a
  // synced log flush on its way to the one sync before the header).
  bool unsynced_appends_ = false;
  // The position of the record an insert has stored in the page cache but
  // not yet in the write-behind log, while the indexes follow it; else -1.
  std::int32_t appending_ = -1;
  std::uint32_t last_change_tick_ = 0;
  std::int32_t change_burst_ = 0;
  std::function<std::uint32_t()> ticks_;

  // =====================================================================
  // ---- Indexes (T.idx). Implemented in engine/data_manager_indexes.cpp;
  // the index structures are TkrTableIndexes (engine/table_indexes.h).
  //
  // Index 0 is the identifier index "@" + IdFieldName. Field lists are
  // names separated by runs of "," or ";".
  // =====================================================================
 public:
  std::int32_t IndexCount() const;
  // REQUIRES: 0 <= indexNo < IndexCount(). Valid until the next index is
  // added or deleted.
  const TkrIndexHeader& IndexHeader(std::int32_t indexNo) const;
  // The record position at `ordinal` of index `indexNo` (built when needed).
  std::int32_t IndexEntry(std::int32_t indexNo, std::int32_t ordinal);
  // The number of the index named `name` (case ignored), or -1.
  std::int32_t IndexNumber(const std::string& name) const;
  bool IndexExists(const std::string& name) const { return IndexNumber(name) >= 0; }
  void AddIndex(const std::string& name, const std::string& fieldNames, TIndexOptions options,
                const std::string& descFields, const std::string& caseInsFields, bool noSave);
  // Adds one header and builds its array; raises (list unchanged) on bad input.
  void InternalAddIndex(const std::string& name, const std::vector<std::string>& fieldNames,
                        bool allDescending, bool allCaseInsensitive, TIndexOptions options,
                        const std::vector<bool>& caseInsensitive,
                        const std::vector<bool>& descending);
  // Adds a temporary index ("$_IDX_" + digits, never saved); returns its name.
  std::string CreateTemporaryIndex(const std::string& fieldNames, const std::string& descFields,
                                   const std::string& caseInsFields);
  // Returns the former number of the deleted index. The identifier's index
  // (number 0) cannot be deleted: records are found by it.
  std::int32_t DeleteIndex(const std::string& name, bool noSave);
  // While set, inserts keep only the unique and primary indexes and the
  // indexes a new record sorts last in; the others are sorted once when next
  // needed. Bulk copies of rows set it around the copy.
  void SetBulkInsert(bool value);
  void BuildIndex(std::int32_t indexNo);
  void BuildAllIndexes();
  void RebuildAllIndexes();
  // The ordinal of record `recPos` within index `indexNo`, or -1.
  std::int32_t FindRecordInIndex(std::int32_t indexNo, std::int32_t recPos,
                                 std::int32_t count = -1);
  // The key search of a record buffer (see TkrTableIndexes::FindKey).
  std::int32_t FindKey(const std::uint8_t* keyBuffer, std::int32_t indexNo, bool exactOnly,
                       bool forward, std::int32_t keyFieldCount);
  // The bound of a key in an index (see TkrTableIndexes::KeyBound).
  std::int32_t KeyBound(const std::uint8_t* keyBuffer, std::int32_t indexNo, bool strict,
                        std::int32_t keyFieldCount);
  // Before a record buffer is posted: for every unique or primary index, a
  // record with the same key and another identifier raises the key
  // violation (EDatabaseError). An index on the identifier alone instead
  // gives an inserted record the identifier LastAutoInc + 1, written into
  // `buffer`. Returns whether the identifier was replaced.
  // `operation` names the caller in the message ("TKivoDataSet.InternalPost").
  // `editedPos`, when not -1, is the stored position of the record an edit
  // changes; indexes whose key the edit leaves as it was are not searched.
  bool CheckUniqueKeys(std::uint8_t* buffer, bool inserting,
                       const std::string& operation = "TKivoDataSet.InternalPost",
                       std::int32_t editedPos = -1);
  // The first index whose first key fields are `fieldNames`, or -1.
  std::int32_t FindIndexForFields(const std::string& fieldNames, const std::string& descFields,
                                  bool caseSensitive);
  // The index definitions of every index (`all`) and of the user indexes.
  void GetIndexDefs(TIndexDefs& all, TIndexDefs* user) const;
  void CreateAutoIndexes(bool autoIndexes);
  // Reads T.idx, or rebuilds and rewrites it when it is damaged or stale.
  void LoadIndexes();
  // Writes every index but the temporary ones to T.idx.
  void SaveIndexes();
  // Whether T.idx does not hold the current arrays.
  bool IndexesStale();

 private:
  // Array `array` of T.idx as the open found it, while it is still current.
  std::optional<std::vector<std::int32_t>> SavedIndexArray(std::int32_t array);
  void AddIndexDef(const TIndexDef& def);
  void FreeIndexes();
  // The index part of converting a table older than version 2.199: the
  // case-insensitive "@@" indexes of string fields, date-keyed rebuilds.
  void ConvertIndexes(double oldVersion);
  TkrTableIndexes& IndexList();
  void ReportIndexProgress(bool start, bool finish, double percentDone);
  std::unique_ptr<TkrIndexedTable> indexed_table_;
  // T.idx no longer matches the arrays although its counter may.
  bool indexes_dirty_ = false;
  // The T.idx headers read at the open, while index arrays wait there to be
  // read when first needed, and the ChangeCount they were saved under.
  std::optional<TkrIndexFileContent> saved_indexes_;
  std::int32_t saved_change_count_ = 0;

  // =====================================================================
  // ---- BLOBs (T.bif, T.bdf). Implemented in engine/data_manager_blobs.cpp.
  //
  // Each record has one BLOB header per BLOB field; a header lists the parts
  // (runs of blocks in T.bdf) of its value. Values are compressed at the
  // table's BLOBCompression level, enciphered for encrypted tables, carry
  // the CRC-32 text form of the plain value, and are written through the
  // write-behind log. The record operations keep one BLOB record per
  // record: InsertRecord appends one (krAddBLOBRecord), krDeleteRecord
  // removes it (DeleteBLOBRecord).
  // =====================================================================
 public:
  // Replaces the content of `stream` with the value of BLOB field `fieldNo`
  // of record `recPos` and positions it at 0.
  void ReadBLOBValue(TMemoryStream* stream, int fieldNo, std::int32_t recPos);
  // Stores the whole content of `stream` as the value; an empty stream
  // deletes the value.
  void WriteBLOBValue(TStream* stream, int fieldNo, std::int32_t recPos);
  void DeleteBLOBValue(int fieldNo, std::int32_t recPos);
  // Appends empty BLOB headers for one new record.
  void krAddBLOBRecord();
  // Releases the values of record `recPos` and moves the last record's
  // headers into its place.
  void DeleteBLOBRecord(std::int32_t recPos);
  // Writes the directory image to T.bif when it changed (always with
  // `force`); nothing for read-only tables and tables without BLOBs unless
  // forced.
  void SaveBLOBDirectory(bool force = false);
  // The directory as T.bif stores it (packed).
  std::vector<std::uint8_t> BLOBDirectoryFileImage();
  // Writes `content` (from BLOBDirectoryFileImage) to T.bif, emptying T.bdf
  // when no record is left.
  void WriteBLOBDirectoryFile(const std::vector<std::uint8_t>& content);
  // Whether a flush has a changed directory to write.
  bool BLOBDirectoryDue() const;
  // The in-memory directory (nullptr while closed or without BLOB fields).
  const TkrBLOBDirectory* BLOBDirectory() const { return blob_dir_.get(); }

 private:
  void LoadBLOBDirectory();
  void WriteEmptyBLOBDirectory();
  // The record count of the BLOB directory.
  std::int32_t BLOBRecordCount() const;
  // Drops BLOB records beyond RecordCount or adds empty ones up to it.
  void AdjustBLOBRecordCount();
  bool BLOBDirectoryChanged() const;
  void FreeBLOBs();
  // Re-reads and re-writes every BLOB value (conversion of old tables).
  void ConvertBLOBs();
  // The header of BLOB field `fieldNo` of record `recPos`; raises with
  // `operation` in the text when either is out of range.
  TkrBLOBHeader& BLOBHeaderOf(const char* operation, int fieldNo, std::int32_t recPos);

  std::unique_ptr<TkrBLOBDirectory> blob_dir_;

  // ---- Table files and headers (engine/data_manager.cpp) ----
  // REQUIRES (every private helper below): the manager's lock.
 private:
  friend TKivoDataManager* krGetDataManager(const std::string&, TTableFileStore*);
  friend bool krDisconnectDataset(TKivoDataManager*, TDataManagerClient*);
  friend void krReleaseDataManager(TKivoDataManager*);
  friend class TDataManagerHold;

  // Unlists a data set; true when none is left. REQUIRES: the registry lock.
  bool DetachDataset(TDataManagerClient* dataset);

  // The field headers a definition makes, or CreateTable's error for it.
  // `identifier` is the definition that becomes the record identifier (-1: none).
  std::vector<TFieldHeader> CheckTableDefinition(const TFieldDefs& fieldDefs,
                                                 const TIndexDefs& indexDefs, int identifier) const;
  // The first ftAutoInc definition, or -1.
  static int IdentifierDefinition(const TFieldDefs& fieldDefs);
  void CheckBLOBBlockSize() const;
  bool OpenFiles(bool create);
  TOpenFile OpenOneFile(const char* extension, bool create);
  void CloseFiles();
  // Reads and checks the headers of the open T.dat; with `mayCut` a file
  // longer than its records is cut back.
  void ReadTableHeaders(bool mayCut);
  void DeriveLayout();
  void ConvertToCurrentTable();
  // Rewrites T.dat in the current layout, records included.
  void RewriteInCurrentLayout();
  void ReleaseTable();
  // Runs `op` under the manager's lock.
  template <typename F>
  auto Locked(F&& op) const {
    TCriticalSectionGuard guard(lock_);
    ++lock_depth_;
    struct Depth {
      int& d;
      ~Depth() { --d; }
    } depth{lock_depth_};
    return op();
  }

  std::string table_name_;
  TTableFileStore* store_;
  std::vector<TDataManagerClient*> datasets_;
  // The TDataManagerHold handles on this manager. Guarded by the registry
  // lock; with datasets_ it decides when the registry destroys the manager.
  int holds_ = 0;
  std::uint8_t store_mode_ = 0;
  bool read_only_ = false;
  bool file_read_only_ = false;
  bool open_ = false;
  bool open_completed_ = false;
  std::string last_open_error_;
  std::string last_repair_error_;

  TTableHeader header_;
  std::vector<TFieldHeader> field_headers_;
  bool headers_loaded_ = false;
  std::vector<std::int32_t> field_offsets_;
  std::int32_t blob_field_count_ = 0;
  TkrRecordLayout layout_;
  std::int32_t data_offset_ = static_cast<std::int32_t>(kTableHeaderSize);

  std::string password_;
  bool encrypted_setting_ = false;
  std::uint8_t blob_compression_setting_ = 0;
  std::int32_t blob_block_size_ = kDefaultBLOBBlockSize;
  std::int32_t records_per_page_hint_ = 1000;
  bool cache_disabled_ = false;
  bool index_build_progress_ = false;

  // The open table files, each closed through store_.
  TOpenFile dat_file_;
  TOpenFile idx_file_;
  TOpenFile bif_file_;
  TOpenFile bdf_file_;

  // Guards every member above: each public operation holds it (Locked) for
  // its whole duration, and the private helpers run inside one.
  mutable TCriticalSection lock_;
  mutable int lock_depth_ = 0;  // guarded by lock_
};

}  // namespace kivo
