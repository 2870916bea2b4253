#include "engine/data_manager.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <random>
#include <utility>

#include "engine/field_types.h"
#include "engine/record_cache.h"
#include "engine/table_header_check.h"
#include "engine/write_log.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/owning_registry.h"

namespace kivo {

namespace {

// The registered managers and their owner. Made on first use and never
// destroyed: a manager still registered at process end may refer to a table
// store that is already gone, so it must not close its table then.
struct TManagerRegistry {
  TCriticalSection lock;
  TOwningRegistry<TKivoDataManager> managers;  // guarded by lock
};

TManagerRegistry& Registry() {
  static TManagerRegistry* const registry = new TManagerRegistry;
  return *registry;
}

TCriticalSection& CloseErrorHandlerLock() {
  static TCriticalSection lock;
  return lock;
}

TKivoDataManager::TCloseErrorHandler& CloseErrorHandler() {
  static TKivoDataManager::TCloseErrorHandler handler;
  return handler;
}

// A pseudo-random number in 0 .. 2147483646 for generated identifier names.
std::int32_t RandomIdSuffix() {
  static TCriticalSection lock;
  static std::mt19937 generator{std::random_device{}()};
  TCriticalSectionGuard guard(lock);
  return std::uniform_int_distribution<std::int32_t>(0, 2147483646)(generator);
}

// Whether a field or index name may be used: no ".", "[" or "]", and no
// leading or trailing character at or below the space.
bool IsValidName(const std::string& name) {
  if (name.find_first_of(".[]") != std::string::npos) return false;
  if (name.empty()) return true;
  return static_cast<unsigned char>(name.front()) > ' ' &&
         static_cast<unsigned char>(name.back()) > ' ';
}

const char kNameRuleText[] =
    "Make sure that the name doen't contain a period (.),"
    "bracket ([]) leading or trailing space, or non-printable "
    "character such as a carriage return";

[[noreturn]] void RaiseBadHeader(const std::string& what) {
  throw Exception("Error in TKivoDataManager.OpenTable - " + what);
}

std::int32_t WrappingAdd(std::int32_t value, std::int32_t delta) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) +
                                   static_cast<std::uint32_t>(delta));
}

}  // namespace

// ---- Registry ----

TCriticalSection& TKivoDataManager::RegistryLock() { return Registry().lock; }

int TKivoDataManager::RegisteredCount() {
  TCriticalSectionGuard guard(RegistryLock());
  return Registry().managers.Count();
}

bool TKivoDataManager::IsRegistered(const TKivoDataManager* manager) {
  TCriticalSectionGuard guard(RegistryLock());
  return Registry().managers.Contains(manager);
}

TKivoDataManager* krGetDataManager(const std::string& tableName, TTableFileStore* store) {
  if (!store) throw Exception("krGetDataManager - nil pointer to DatabaseManager.");
  TCriticalSectionGuard guard(TKivoDataManager::RegistryLock());
  auto& managers = Registry().managers;
  for (const auto& manager : managers.Items()) {
    if (AnsiSameText(manager->table_name_, tableName) && manager->store_->Path() == store->Path())
      return manager.get();
  }
  return managers.Add(std::make_unique<TKivoDataManager>(tableName, store));
}

bool krDisconnectDataset(TKivoDataManager* manager, TDataManagerClient* dataset) {
  TCriticalSectionGuard guard(TKivoDataManager::RegistryLock());
  if (!manager->DetachDataset(dataset)) return false;
  // A holder still works on the manager (and on its open table).
  if (manager->holds_ > 0) return false;
  // Closed here, not in the destructor, so that a failure reaches the caller.
  std::exception_ptr failure;
  try {
    manager->CloseTable();
  } catch (...) {
    failure = std::current_exception();
  }
  Registry().managers.Take(manager).reset();
  if (failure) std::rethrow_exception(failure);
  return true;
}

void krReleaseDataManager(TKivoDataManager* manager) {
  if (!manager) return;
  TCriticalSectionGuard guard(TKivoDataManager::RegistryLock());
  if (manager->DatasetCount() == 0 && manager->holds_ == 0)
    Registry().managers.Take(manager).reset();
}

void TDataManagerHold::reset(TKivoDataManager* manager) noexcept {
  TCriticalSectionGuard guard(TKivoDataManager::RegistryLock());
  if (manager) ++manager->holds_;
  TKivoDataManager* old = std::exchange(manager_, manager);
  if (!old) return;
  --old->holds_;
  // The registry lock is re-entrant: the release takes it again.
  krReleaseDataManager(old);
}

TKivoDataManager::TKivoDataManager(const std::string& tableName, TTableFileStore* store)
    : table_name_(tableName), store_(store) {
  if (!store) throw Exception("krGetDataManager - nil pointer to DatabaseManager.");
}

TKivoDataManager::~TKivoDataManager() {
  try {
    CloseTable();
  } catch (...) {
    // A destructor cannot report; CloseTable has released everything anyway.
  }
}

void TKivoDataManager::SetCloseErrorHandler(TCloseErrorHandler handler) {
  TCriticalSectionGuard guard(CloseErrorHandlerLock());
  CloseErrorHandler() = std::move(handler);
}

// ---- Lock ----

void TKivoDataManager::Lock() {
  lock_.Enter();
  ++lock_depth_;
}

void TKivoDataManager::Unlock() {
  --lock_depth_;
  lock_.Leave();
}

// ---- Data sets ----

std::uint8_t TKivoDataManager::DetectFileStoreMode() const {
  return Locked([&]() -> std::uint8_t {
    if (datasets_.empty())
      throw Exception(
          "TKivoDataManager.DetectFileStoreMode - there is no datasets, datasetList.count = " +
          std::to_string(datasets_.size()));
    bool memory = false;
    bool other = false;
    for (const TDataManagerClient* dataset : datasets_)
      (dataset->ClientInMemory() ? memory : other) = true;
    if (memory && other)
      throw Exception(
          "TKivoDataManager.DetectFileStoreMode - Cannot open table in both InMemory and not "
          "InMemory modes.");
    return memory ? static_cast<std::uint8_t>(fsmMemory) : 0;
  });
}

std::int8_t TKivoDataManager::ConnectDataset(TDataManagerClient* dataset) {
  return Locked([&]() -> std::int8_t {
    if (!datasets_.empty() && dataset->ClientInMemory() != (store_mode_ == fsmMemory))
      throw Exception(
          "TKivoDataManager.ConnectDataset - Cannot open dataset in both InMemory and other "
          "modes.");
    if (std::find(datasets_.begin(), datasets_.end(), dataset) != datasets_.end()) return kOpenOk;
    datasets_.push_back(dataset);
    auto detach = [&] { datasets_.erase(std::find(datasets_.begin(), datasets_.end(), dataset)); };
    if (datasets_.size() > 1) {
      if (dataset->ClientEncrypted() && dataset->ClientPassword() != password_) {
        // A data set that fails to connect must not stay listed: it would be
        // left behind as a dangling pointer once it is destroyed.
        detach();
        throw Exception("TKivoDataManager.ConnectDataset - Inavlid password for table \"" +
                        table_name_ + "\"");
      }
      if (!dataset->ClientReadOnly() && !file_read_only_) read_only_ = false;
      if (file_read_only_) dataset->SetClientReadOnly(true);
      return kOpenOk;
    }
    std::int8_t result;
    try {
      records_per_page_hint_ = dataset->ClientRecordsPerPageHint();
      SetPassword(dataset->ClientPassword());
      cache_disabled_ = !dataset->ClientCacheEnabled();
      read_only_ = dataset->ClientReadOnly();
      encrypted_setting_ = dataset->ClientEncrypted();
      blob_compression_setting_ = dataset->ClientBLOBCompression();
      blob_block_size_ = dataset->ClientBLOBBlockSize();
      store_mode_ = DetectFileStoreMode();
      result = OpenTable();
    } catch (...) {
      detach();
      throw;
    }
    if (result != kOpenOk) {
      detach();
      return result;
    }
    if (file_read_only_) dataset->SetClientReadOnly(true);
    return kOpenOk;
  });
}

bool TKivoDataManager::DetachDataset(TDataManagerClient* dataset) {
  return Locked([&] {
    auto it = std::find(datasets_.begin(), datasets_.end(), dataset);
    if (it != datasets_.end()) datasets_.erase(it);
    if (datasets_.empty()) return true;
    store_mode_ = DetectFileStoreMode();
    return false;
  });
}

// ---- Settings ----

void TKivoDataManager::SetPassword(const std::string& value) {
  password_ = value.substr(0, std::min<std::size_t>(value.size(), 255));
}

void TKivoDataManager::ResetTableHeader() {
  Locked([&] {
    header_ = TTableHeader{};
    header_.Encrypted = encrypted_setting_ ? 1 : 0;
    header_.BLOBCompression = blob_compression_setting_;
    if (blob_block_size_ <= 0) blob_block_size_ = kDefaultBLOBBlockSize;
  });
}

void TKivoDataManager::SetNextAutoInc(std::int32_t value) {
  Locked([&] {
    header_.LastAutoInc = WrappingAdd(value, -1);
    header_.ChangeCount = WrappingAdd(header_.ChangeCount, 1);
  });
}

// ---- Field look-up ----

int TKivoDataManager::InternalGetFieldNo(const std::string& name, bool raiseIfMissing) const {
  return Locked([&] {
    if (AnsiSameText(name, header_.IdFieldName)) return -1;
    for (std::size_t i = 0; i < field_headers_.size(); ++i)
      if (AnsiSameText(name, field_headers_[i].FieldName)) return static_cast<int>(i);
    if (raiseIfMissing)
      throw Exception("Error in TKivoDataManager.InternalGetFieldNo - field \"" + name +
                      "\" not found!");
    return -2;
  });
}

std::uint8_t TKivoDataManager::GetFieldType(int fieldNo) const {
  return Locked([&]() -> std::uint8_t {
    if (fieldNo == -1 || fieldNo == header_.FieldCount) return ftAutoInc;
    if (fieldNo < 0 || fieldNo >= static_cast<int>(field_headers_.size()))
      throw Exception("Error in TKivoDataManager.GetFieldType - invalid field number " +
                      std::to_string(fieldNo));
    return field_headers_[static_cast<std::size_t>(fieldNo)].FieldType;
  });
}

// ---- Files ----

TOpenFile TKivoDataManager::OpenOneFile(const char* extension, bool create) {
  std::string name = FileName(extension);
  TOpenFile file;
  // The store's own reason (the system's error text, say) stays with the
  // failure as its cause.
  std::string cause;
  try {
    file = store_->OpenScoped(name, store_mode_, create, false, read_only_);
  } catch (...) {
    cause = CurrentErrorMessage();
    file = TOpenFile();
  }
  if (!file)
    ThrowWithCause(Exception("TKivoDataManager.OpenFiles - can not open file \"" + name +
                             "\", bCreated = " + (create ? "1" : "0") +
                             ", ReadOnly = " + (read_only_ ? "1" : "0")),
                   cause);
  if (file->ReadOnly()) file_read_only_ = true;
  return file;
}

bool TKivoDataManager::OpenFiles(bool create) {
  if (!create && store_mode_ != fsmMemory &&
      !store_->FileExists(FileName(kDataFileExt), store_mode_))
    return false;
  dat_file_ = OpenOneFile(kDataFileExt, create);
  try {
    idx_file_ = OpenOneFile(kIndexFileExt, create);
  } catch (const Exception&) {
    if (read_only_) throw;
    idx_file_ = OpenOneFile(kIndexFileExt, true);
  }
  if (!create && !headers_loaded_) ReadTableHeaders(!read_only_);
  if (create || HasBLOBs()) {
    bif_file_ = OpenOneFile(kBLOBIndexFileExt, create);
    bdf_file_ = OpenOneFile(kBLOBDataFileExt, create);
  }
  return true;
}

void TKivoDataManager::CloseFiles() {
  for (TOpenFile* file : {&bdf_file_, &bif_file_, &idx_file_, &dat_file_}) {
    try {
      file->Close();
    } catch (...) {
      // Closing releases; a failure here has nothing left to protect.
    }
  }
}

// ---- Headers ----

void TKivoDataManager::DeriveLayout() {
  field_offsets_.assign(field_headers_.size(), 0);
  blob_field_count_ = 0;
  std::int64_t offset = 0;
  for (std::size_t i = 0; i < field_headers_.size(); ++i) {
    field_offsets_[i] = static_cast<std::int32_t>(offset);
    offset += field_headers_[i].FieldSize;
    if (IsBLOBType(field_headers_[i].FieldType)) ++blob_field_count_;
  }
  if (offset > kMaxRecordDataSize) RaiseBadHeader("record size is too large");
  layout_ = TkrRecordLayout::Compute(static_cast<std::int32_t>(offset), header_.FieldCount,
                                     header_.Version);
  data_offset_ =
      static_cast<std::int32_t>(TableHeaderSizeOf(header_.Version) +
                                field_headers_.size() * FieldHeaderSizeOf(header_.Version));
}

void TKivoDataManager::ReadTableHeaders(bool mayCut) {
  TAbstractFile& dat = *dat_file_;
  TTableHeaders read = ReadCheckedTableHeaders(dat, FileName(kDataFileExt));
  const bool fit = read.RecordsFit();
  const std::int64_t end = read.RecordsEnd();
  header_ = std::move(read.Header);
  field_headers_ = std::move(read.Fields);
  DeriveLayout();
  headers_loaded_ = true;

  if (!fit)
    RaiseBadHeader("invalid record count = " + std::to_string(header_.RecordCount) +
                   ", the file holds only " + std::to_string(read.FileSize) + " bytes");
  // Cutting a longer file needs write access; a read-only table is read as it is.
  // After a flush cut short the records past the end may be the ones its
  // journal completes: the open's repair sets the length.
  if (read.FileSize > end && mayCut && !dat.ReadOnly() && !read.FlushMarked)
    dat.SetSize(static_cast<std::int32_t>(end));
}

void TKivoDataManager::SaveTableHeaders() {
  Locked([&] {
    if (field_headers_.size() != static_cast<std::size_t>(std::max(header_.FieldCount, 0)))
      throw Exception("Error in TKivoDataManager.SaveTableHeaders - pFieldHeader 0 pointer!");
    if (!dat_file_)
      throw Exception("Error in TKivoDataManager.SaveTableHeaders - table is not opened.");
    std::vector<std::uint8_t> image = EncodeTableHeaders(header_, field_headers_);
    std::size_t length = image.size();
    if (!field_headers_.empty()) length -= kFieldHeaderUnwrittenTail;
    dat_file_->Seek(0, TAbstractFile::kFromBeginning);
    dat_file_->WriteBuffer(image.data(), static_cast<std::int32_t>(length));
  });
}

// ---- Create ----

std::vector<TFieldHeader> TKivoDataManager::CheckTableDefinition(const TFieldDefs& fieldDefs,
                                                                 const TIndexDefs& indexDefs,
                                                                 int identifier) const {
  const std::string limit = std::to_string(kMaxDefinitionNameLength);
  for (const TFieldDef& def : fieldDefs)
    if (def.Name().size() > kMaxDefinitionNameLength)
      throw Exception("Field name must have <= " + limit + " chars. Please shorten field name \"" +
                      def.Name() + "\"");
  for (const TIndexDef& def : indexDefs) {
    if (def.Name().size() > kMaxDefinitionNameLength)
      throw Exception("Index name must have <= " + limit + " chars. Please shorten index name \"" +
                      def.Name() + "\"");
    if (def.Name().empty())
      throw Exception("Index name cannot be not blank. Please set non-blank index name.");
  }
  for (const TFieldDef& def : fieldDefs)
    if (!IsValidName(def.Name()))
      throw Exception("Invalid field name \"" + def.Name() + "\". " + kNameRuleText);
  for (const TIndexDef& def : indexDefs)
    if (!IsValidName(def.Name()))
      throw Exception("Invalid index name \"" + def.Name() + "\". " + kNameRuleText);

  std::vector<TFieldHeader> fields;
  std::int64_t dataSize = 0;
  bool blobs = false;
  for (int i = 0; i < fieldDefs.Count(); ++i) {
    if (i == identifier) continue;
    const TFieldDef& def = fieldDefs[i];
    if (def.Name().empty()) throw Exception("TKivoDataManager.CreateTable - field name is empty.");
    TFieldHeader field;
    field.FieldName = def.Name();
    field.FieldType = def.DataType() == ftAutoInc ? static_cast<std::uint8_t>(ftInteger)
                                                  : static_cast<std::uint8_t>(def.DataType());
    if (!StoredFieldType(field.FieldType))
      throw Exception("Error in TKivoDataManager.CreateTable - Unsupported DB type!");
    std::optional<std::int32_t> slot = SlotSizeFor(field.FieldType, def.Size());
    if (!slot) {
      switch (field.FieldType) {
        case ftString:
          throw Exception("Error in TKivoDataManager.CreateTable - illegal string size !");
        case ftBytes:
          throw Exception("Error in TKivoDataManager.CreateTable - illegal ftBytes size !");
        default:
          throw Exception("Error in TKivoDataManager.CreateTable - illegal wide string size !");
      }
    }
    field.FieldSize = *slot;
    field.Required = def.Required() ? 1 : 0;
    dataSize += field.FieldSize;
    if (dataSize > kMaxRecordDataSize)
      throw Exception("Error in TKivoDataManager.CreateTable - record size is too large !");
    blobs = blobs || IsBLOBType(field.FieldType);
    fields.push_back(std::move(field));
  }
  if (blobs) CheckBLOBBlockSize();
  // Every key field of a user index must be one of the new fields.
  for (const TIndexDef& def : indexDefs) {
    if (def.Name().front() == '@') continue;
    for (const std::string& name : SplitNameList(def.Fields()))
      if (fieldDefs.IndexOf(name) < 0)
        throw ZorException::CreateFmt(native_error::kIndexFieldNotFound, "", {FormatArg(name)});
  }
  return fields;
}

void TKivoDataManager::CheckTableDefinition(const TFieldDefs& fieldDefs,
                                            const TIndexDefs& indexDefs) const {
  Locked([&] { CheckTableDefinition(fieldDefs, indexDefs, IdentifierDefinition(fieldDefs)); });
}

int TKivoDataManager::IdentifierDefinition(const TFieldDefs& fieldDefs) {
  for (int i = 0; i < fieldDefs.Count(); ++i)
    if (fieldDefs[i].DataType() == ftAutoInc) return i;
  return -1;
}

void TKivoDataManager::CreateTable(const TFieldDefs& fieldDefs, const TIndexDefs& indexDefs,
                                   bool autoIndexes, std::int32_t recordsPerPageHint) {
  Locked([&] {
    if (open_) throw Exception("Error in TKivoDataManager.CreateTable - table is open.");
    const int identifier = IdentifierDefinition(fieldDefs);
    std::vector<TFieldHeader> fields = CheckTableDefinition(fieldDefs, indexDefs, identifier);

    records_per_page_hint_ = recordsPerPageHint;
    ResetTableHeader();

    if (identifier >= 0) {
      header_.IdFieldName = fieldDefs[identifier].Name();
      header_.IdFieldVisibility = kIdFieldVisible;
    } else {
      do {
        header_.IdFieldName = "id" + std::to_string(RandomIdSuffix());
      } while (fieldDefs.IndexOf(header_.IdFieldName) >= 0);
      header_.IdFieldVisibility = kIdFieldHidden;
    }

    header_.FieldCount = static_cast<std::int32_t>(fields.size());
    field_headers_ = std::move(fields);

    try {
      DeriveLayout();
      headers_loaded_ = true;
      OpenFiles(true);
      SaveTableHeaders();
      if (!HasBLOBs()) {
        bdf_file_.Close();
        bif_file_.Close();
        store_->DeleteFile(FileName(kBLOBDataFileExt), store_mode_);
        store_->DeleteFile(FileName(kBLOBIndexFileExt), store_mode_);
      } else {
        WriteEmptyBLOBDirectory();
      }
      CreateAutoIndexes(autoIndexes);
      for (const TIndexDef& def : indexDefs)
        if (def.Name().front() != '@') AddIndexDef(def);
      SaveIndexes();
      dat_file_->Flush();
    } catch (...) {
      // The files this call made (each created or emptied here) hold no
      // table that opens, a header cut short say: they go, so that a failed
      // create leaves no damaged table behind. A file it could not open is
      // someone else's and stays.
      std::vector<std::string> made;
      for (const auto& [file, extension] :
           {std::pair{&dat_file_, kDataFileExt}, std::pair{&idx_file_, kIndexFileExt},
            std::pair{&bif_file_, kBLOBIndexFileExt}, std::pair{&bdf_file_, kBLOBDataFileExt}})
        if (*file) made.push_back(FileName(extension));
      ReleaseTable();
      for (const std::string& name : made) {
        try {
          store_->DeleteFile(name, store_mode_);
        } catch (...) {
          // The create's own error is the one to report.
        }
      }
      throw;
    }
    ReleaseTable();
  });
}

// ---- Open and close ----

std::int8_t TKivoDataManager::OpenTable() {
  return Locked([&]() -> std::int8_t {
    if (open_) return kOpenOk;
    last_open_error_.clear();
    ResetTableHeader();
    field_headers_.clear();
    headers_loaded_ = false;
    file_read_only_ = false;
    try {
      if (!OpenFiles(false)) {
        ReleaseTable();
        return kOpenMissing;
      }
    } catch (...) {
      last_open_error_ = CurrentErrorMessage();
      ReleaseTable();
      return kOpenFailed;
    }
    try {
      CompleteJournalledFlush();
      CreateRecordCache();
      if (HasBLOBs()) {
        try {
          LoadBLOBDirectory();
        } catch (...) {
          last_open_error_ = CurrentErrorMessage();
          ReleaseTable();
          return kOpenBadBLOBHeaders;
        }
      }
      if (header_.Encrypted && !CheckPassword()) {
        ReleaseTable();
        return kOpenInvalidPassword;
      }
      CreateWriteBehindLog();
      LoadIndexes();
      UpdateRecordCacheMode();
      if (header_.IdFieldVisibility != kIdFieldVisible &&
          header_.IdFieldVisibility != kIdFieldHidden)
        header_.IdFieldVisibility = kIdFieldVisible;
      if (header_.Version < 2.199) ConvertToCurrentTable();
      if (HasBLOBs() && BLOBRecordCount() != header_.RecordCount) {
        AdjustBLOBRecordCount();
        header_.ChangeCount = WrappingAdd(header_.ChangeCount, 1);
        FlushBuffers();
      }
    } catch (...) {
      ReleaseTable();
      throw;
    }
    open_ = true;
    open_completed_ = true;
    return kOpenOk;
  });
}

void TKivoDataManager::ReleaseTable() {
  FreeRecordStorage();
  FreeIndexes();
  FreeBLOBs();
  field_headers_.clear();
  field_offsets_.clear();
  blob_field_count_ = 0;
  headers_loaded_ = false;
  CloseFiles();
  open_ = false;
  open_completed_ = false;
}

void TKivoDataManager::CloseTable() {
  Locked([&] {
    if (!open_ && !dat_file_) return;
    std::exception_ptr failure;
    if (open_completed_ && !read_only_ && !file_read_only_) {
      if (HasBLOBs() && BLOBRecordCount() != header_.RecordCount) {
        failure = std::make_exception_ptr(
            Exception("TKivoDataManager.CloseTable - tableHeader.RecordCount <> "
                      "blobFileHeader.RecordCount"));
      } else {
        try {
          FlushBuffers();
          if (IndexesStale()) SaveIndexes();
          const std::int64_t size =
              std::int64_t{data_offset_} + std::int64_t{header_.RecordCount} * layout_.RecordSize;
          if (dat_file_ && dat_file_->GetSize() != size)
            dat_file_->SetSize(static_cast<std::int32_t>(size));
          if (journal_kept_) {
            RemoveJournal();
            journal_kept_ = false;
          }
        } catch (const Exception&) {
          TCloseErrorHandler handler;
          {
            TCriticalSectionGuard guard(CloseErrorHandlerLock());
            handler = CloseErrorHandler();
          }
          const char* message =
              "TKivoDataManager.CloseTable - Cannot flush changes. Probably the table is "
              "opened by other application.";
          // Closing goes on either way; without anyone to tell, the lost
          // changes are raised once the table is closed rather than dropped.
          if (handler)
            handler(message);
          else
            failure = std::make_exception_ptr(Exception(message));
        } catch (...) {
          failure = std::current_exception();
        }
      }
    }
    ReleaseTable();
    if (failure) std::rethrow_exception(failure);
  });
}

// ---- Conversion of old tables ----

void TKivoDataManager::ConvertToCurrentTable() {
  if (read_only_ || file_read_only_)
    throw Exception("Error in TKivoDataManager.ConvertToCurrentTable - table is in ReadOnly mode!");
  const double oldVersion = header_.Version;
  if (oldVersion < 1.249 && HasBLOBs())
    throw Exception(
        "Error in TKivoDataManager.ConvertToCurrentTable - this table format is not supported, "
        "version = " +
        VersionText2(oldVersion) +
        "\r\nPlease ask the maintainers of the engine for a conversion of this table.");
  if (oldVersion < 2.099) ConvertIndexes(oldVersion);
  if (header_.BLOBCompression == 1) ConvertBLOBs();
  FlushBuffers();
  RewriteInCurrentLayout();
  SaveIndexes();
  if (HasBLOBs()) SaveBLOBDirectory();
}

// Old tables keep shorter names and, below version 1.24, an 8-byte null
// bitmap; the current version has longer headers and a null bitmap sized to
// the field count. Moving to it moves every record, so T.dat is rewritten:
// records from the last to the first (each one lands at or after its old
// place, so none is overwritten before it is read), then the headers.
void TKivoDataManager::RewriteInCurrentLayout() {
  TAbstractFile& dat = *dat_file_;
  const TkrRecordLayout oldLayout = layout_;
  const std::int32_t oldDataOffset = data_offset_;
  header_.Version = kTableFormatVersion;
  DeriveLayout();
  const TkrRecordLayout& newLayout = layout_;
  const std::int64_t end =
      std::int64_t{data_offset_} + std::int64_t{header_.RecordCount} * newLayout.RecordSize;
  if (end > kMaxFilePosition)
    throw Exception("Error in TKivoDataManager.ConvertToCurrentTable - table is too large.");

  std::vector<std::uint8_t> oldRecord(static_cast<std::size_t>(oldLayout.RecordSize));
  std::vector<std::uint8_t> newRecord(static_cast<std::size_t>(newLayout.RecordSize));
  const std::size_t bitmapBytes =
      static_cast<std::size_t>(std::min(oldLayout.NullBitmapSize, newLayout.NullBitmapSize));
  for (std::int32_t i = header_.RecordCount - 1; i >= 0; --i) {
    dat.Seek(oldDataOffset + i * oldLayout.RecordSize, TAbstractFile::kFromBeginning);
    dat.ReadBuffer(oldRecord.data(), oldLayout.RecordSize);
    std::fill(newRecord.begin(), newRecord.end(), 0);
    std::memcpy(newRecord.data(), oldRecord.data(),
                static_cast<std::size_t>(oldLayout.DataSize) + 4);
    std::memcpy(newRecord.data() + newLayout.NullBitmapOffset,
                oldRecord.data() + oldLayout.NullBitmapOffset, bitmapBytes);
    std::memcpy(newRecord.data() + newLayout.CheckStringOffset,
                oldRecord.data() + oldLayout.CheckStringOffset, TkrRecordLayout::kCheckStringSize);
    dat.Seek(data_offset_ + i * newLayout.RecordSize, TAbstractFile::kFromBeginning);
    dat.WriteBuffer(newRecord.data(), newLayout.RecordSize);
  }
  header_.ChangeCount = WrappingAdd(header_.ChangeCount, 1);
  SaveTableHeaders();
  if (dat.GetSize() != end) dat.SetSize(static_cast<std::int32_t>(end));
  dat.Flush();
  // The cache and the log were made for the old layout.
  FreeRecordStorage();
  CreateRecordCache();
  CreateWriteBehindLog();
  UpdateRecordCacheMode();
}

// ---- Delete, rename, save ----

void TKivoDataManager::DeleteTable() {
  Locked([&] {
    if (open_) throw Exception("Error in TKivoDataManager.DeleteTable - table is open.");
    for (const char* ext :
         {kJournalFileExt, kBLOBDataFileExt, kBLOBIndexFileExt, kIndexFileExt, kDataFileExt}) {
      std::string name = FileName(ext);
      if (store_->FileExists(name, store_mode_) && !store_->DeleteFile(name, store_mode_))
        throw Exception("Error in TKivoDataManager.DeleteTable - " + name +
                        " file cannot be deleted.");
    }
  });
}

void TKivoDataManager::RenameTable(const std::string& newName) {
  Locked([&] {
    if (open_) throw Exception("Error in TKivoDataManager.RenameTable - table is open.");
    // The files are renamed one by one: when one fails, those already
    // renamed go back, so that the table is never split across two names.
    std::vector<const char*> renamed;
    auto rollBack = [&] {
      for (auto it = renamed.rbegin(); it != renamed.rend(); ++it)
        store_->RenameFile(newName + *it, FileName(*it), store_mode_);
    };
    for (const char* ext :
         {kJournalFileExt, kBLOBDataFileExt, kBLOBIndexFileExt, kIndexFileExt, kDataFileExt}) {
      std::string oldFile = FileName(ext);
      if (!store_->FileExists(oldFile, store_mode_)) continue;
      std::string newFile = newName + ext;
      try {
        if (!AnsiSameText(oldFile, newFile) && store_->FileExists(newFile, store_mode_) &&
            !store_->DeleteFile(newFile, store_mode_))
          throw Exception("Error in TKivoDataManager.RenameTable - " + oldFile +
                          " file cannot be overwritten");
        if (!store_->RenameFile(oldFile, newFile, store_mode_))
          throw Exception("Error in TKivoDataManager.RenameTable - " + oldFile +
                          " file cannot be renamed.");
      } catch (...) {
        rollBack();
        throw;
      }
      renamed.push_back(ext);
    }
    table_name_ = newName;
  });
}

void TKivoDataManager::SaveInMemoryTable() {
  Locked([&] {
    if (!open_)
      throw Exception("Error in TKivoDataManager.SaveInMemoryTable - table is not opened.");
    FlushBuffers();
    if (IndexesStale()) SaveIndexes();
    std::vector<const char*> extensions;
    if (HasBLOBs()) extensions = {kBLOBDataFileExt, kBLOBIndexFileExt};
    extensions.push_back(kIndexFileExt);
    extensions.push_back(kDataFileExt);
    for (const char* ext : extensions) {
      std::string name = FileName(ext);
      // A copy that did not happen must not pass for a saved table.
      if (!store_->SaveMemoryFile(name))
        throw Exception("Error in TKivoDataManager.SaveInMemoryTable - " + name +
                        " file cannot be saved.");
    }
  });
}

bool TKivoDataManager::IsEncrypted() {
  return Locked([&] {
    if (open_) return header_.Encrypted != 0;
    // Only T.dat is needed, and only for reading: asking must not create,
    // cut or otherwise touch the table's files.
    const std::string name = FileName(kDataFileExt);
    if (store_mode_ != fsmMemory && !store_->FileExists(name, store_mode_))
      throw Exception("TKivoDataManager.IsEncrypted - table \"" + table_name_ +
                      "\" does not exist.");
    ResetTableHeader();
    const bool savedReadOnly = read_only_;
    const bool savedFileReadOnly = file_read_only_;
    read_only_ = true;
    try {
      dat_file_ = OpenOneFile(kDataFileExt, false);
      ReadTableHeaders(false);
    } catch (...) {
      ReleaseTable();
      read_only_ = savedReadOnly;
      file_read_only_ = savedFileReadOnly;
      throw;
    }
    const bool encrypted = header_.Encrypted != 0;
    ReleaseTable();
    read_only_ = savedReadOnly;
    file_read_only_ = savedFileReadOnly;
    return encrypted;
  });
}

}  // namespace kivo
