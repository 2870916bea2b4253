#include "components/database.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "components/dataset_base.h"
#include "components/globals.h"
#include "components/session.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

using detail::Globals;

namespace {

using RegistryGuard = TCriticalSectionGuard;

bool IsMemoryName(const std::string& name) { return AnsiSameText(name, "MEMORY"); }

// A database name that contains a drive or path separator (or is empty) is a directory.
bool NamesDirectory(const std::string& name) {
  return name.empty() || name.find_first_of(":\\/") != std::string::npos;
}

// An empty directory path is the current directory.
bool DirectoryExists(const std::string& path) {
  if (path.empty()) return true;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExistsOnDisk(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Paths compare ignoring case and trailing separators, so "d" and "d/" are
// one database.
std::string PathKey(const std::string& path) {
  std::string key = AnsiLowerCase(path);
  while (key.size() > 1 && (key.back() == '/' || key.back() == '\\')) key.pop_back();
  return key;
}

template <typename T>
bool Contains(const std::vector<T*>& v, const T* item) {
  return std::find(v.begin(), v.end(), item) != v.end();
}

template <typename T>
bool EraseItem(std::vector<T*>& v, const T* item) {
  auto it = std::find(v.begin(), v.end(), item);
  if (it == v.end()) return false;
  v.erase(it);
  return true;
}

}  // namespace

// ---------------------------------------------------------------- TKivoDatabase

TKivoDatabase::TKivoDatabase(TComponent* owner) : TComponent(owner) {
  auto* session = dynamic_cast<TKivoSession*>(owner);
  session_ = session ? session : &DefaultSession();
  session_name_ = session_->SessionName();
  session_->AddDatabase(this);
  FreeNotification(session_);
  NotifyInserted();
}

TKivoDatabase::~TKivoDatabase() {
  BeginDestroy();
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the handle is released below in any case.
  }
  // A manager that goes first clears the handle of every database it lists,
  // so a handle still set here is alive.
  DisconnectManager();
  ForgetDataSets();
  if (session_) {
    session_->RemoveDatabase(this);
    RemoveFreeNotification(session_);
    session_ = nullptr;
  }
}

void TKivoDatabase::ForgetDataSets() {
  for (TKivoDatasetBase* ds : datasets_) ds->ForgetDatabase();
  datasets_.clear();
}

void TKivoDatabase::SetConnected(bool value) {
  if (Loading()) {
    streamed_connected_ = value;
    return;
  }
  if (value)
    Open();
  else
    Close();
}

void TKivoDatabase::Loaded() {
  TComponent::Loaded();
  if (streamed_connected_) Open();
}

void TKivoDatabase::SetDatabaseFileName(const std::string& value) {
  if (Loading()) {
    database_file_name_ = value;
    return;
  }
  if (value == database_file_name_) return;
  SetConnected(false);
  database_file_name_ = value;
  if (!value.empty()) directory_.clear();
}

void TKivoDatabase::SetDatabaseName(const std::string& value) {
  if (Loading()) {
    database_name_ = value;
    return;
  }
  if (value == database_name_) return;
  CheckInactive();
  ValidateName(value);
  database_name_ = value;
}

void TKivoDatabase::SetInMemory(bool value) {
  if (Loading()) {
    in_memory_ = value;
    return;
  }
  if (value == in_memory_) return;
  CheckInactive();
  in_memory_ = value;
}

void TKivoDatabase::SetSessionName(const std::string& value) {
  if (Loading()) {
    session_name_ = value;
    return;
  }
  CheckInactive();
  if (value == session_name_) return;
  session_name_ = value;
  if (!Destroying()) SetSession(false);
}

void TKivoDatabase::SetKeepConnection(bool value) {
  keep_connection_ = value;
  if (!value && ref_count_ == 0) Close();
}

void TKivoDatabase::CheckInactive() const {
  if (Connected()) throw ZorException::Create(native_error::kOpenDatabase, Name());
}

void TKivoDatabase::CheckDatabaseName() const {
  if (database_name_.empty() && !temporary_)
    throw ZorException::Create(native_error::kDatabaseNameMissing, Name());
}

void TKivoDatabase::ValidateName(const std::string& name) {
  if (name.empty() || !session_) return;
  TKivoDatabase* found = session_->FindDatabase(name, database_file_name_);
  if (!found || found == this || (found->handle_shared_ && handle_shared_)) return;
  if (!found->temporary_ || found->ref_count_ != 0)
    throw ZorException::CreateFmt(native_error::kOpenDatabase, Name(), {name});
  delete found;
}

void TKivoDatabase::SetSession(bool activate) {
  TKivoSession* s =
      activate ? Sessions().OpenSession(session_name_) : Sessions().FindSession(session_name_);
  if (s && s != session_) {
    if (session_) {
      session_->RemoveDatabase(this);
      RemoveFreeNotification(session_);
    }
    session_ = s;
    s->AddDatabase(this);
    FreeNotification(s);
    try {
      ValidateName(database_name_);
    } catch (...) {
      database_name_.clear();
      throw;
    }
  }
  if (activate && session_ && !session_->Active()) session_->SetActive(true);
}

void TKivoDatabase::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (component == session_) {
    SessionRemoved();
    return;
  }
  for (TKivoDatasetBase* ds : datasets_) {
    if (ds == component) {
      EraseItem(datasets_, ds);
      break;
    }
  }
}

void TKivoDatabase::SessionRemoved() {
  TKivoSession* gone = session_;
  if (!gone->IsDefault()) {
    try {
      Close();
    } catch (...) {
      // The session is going away; the database is left disconnected.
    }
    session_name_.clear();
  }
  session_ = nullptr;
}

void TKivoDatabase::ConnectManager() {
  RegistryGuard guard(TKivoDatabaseManager::RegistryLock());
  TKivoDatabaseManager* manager = TKivoDatabaseManager::FindOrCreateManager(this);
  handle_ = manager;
  try {
    manager->ConnectDatabase(this);
  } catch (...) {
    handle_ = nullptr;
    TKivoDatabaseManager::ReleaseIfUnused(manager);
    throw;
  }
}

void TKivoDatabase::DisconnectManager() {
  RegistryGuard guard(TKivoDatabaseManager::RegistryLock());
  TKivoDatabaseManager* manager = handle_;
  handle_ = nullptr;
  if (manager) manager->DisconnectDatabase(this);
}

void TKivoDatabase::Open() {
  if (handle_) return;
  CheckDatabaseName();
  SetSession(true);
  if (handle_shared_) {
    if (TKivoDatabaseManager* shared = session_->FindSharedHandle(database_name_)) {
      shared->AttachHolder(this);
      handle_ = shared;
      acquired_handle_ = false;
      return;
    }
  }
  {
    TSessionLockGuard lock(*session_);
    if (NamesDirectory(database_name_)) directory_ = database_name_;
    if (!directory_.empty()) {
      if (!DirectoryExists(directory_))
        throw Exception("TKivoDatabase.Open - Directory \"" + directory_ + "\" doesn't exist.");
      ConnectManager();
    } else if (!database_file_name_.empty()) {
      bool exists = in_memory_ ? Exists() : FileExistsOnDisk(database_file_name_);
      if (!exists) CreateDatabase(database_file_name_);
      ConnectManager();
      if (!Encrypted()) password_.clear();
      if (!handle_->GetPFS(fsmSingleFile)) {
        DisconnectManager();
        throw Exception("TKivoDatabase.Open - Invalid password or corrupted database file.");
      }
      // A container that failed to open while connecting left the database
      // unlisted; open now, it is a user the manager must outlive.
      handle_->AttachHolder(this);
    } else {
      ConnectManager();
    }
  }
  acquired_handle_ = false;
}

void TKivoDatabase::Close() {
  if (!handle_ || closing_) return;
  closing_ = true;
  try {
    for (int i = DataSetCount() - 1; i >= 0; --i) {
      if (i >= DataSetCount()) continue;
      TKivoDatasetBase* ds = datasets_[static_cast<std::size_t>(i)];
      ds->CloseForDatabase();
      // A data set that did not leave by itself is dropped here.
      if (EraseItem(datasets_, ds)) ds->ForgetDatabase();
    }
  } catch (...) {
    closing_ = false;
    throw;
  }
  // Shared and acquired handles are listed too (AttachHolder), so leaving the
  // manager is the same for every kind of handle.
  DisconnectManager();
  acquired_handle_ = false;
  ref_count_ = 0;
  closing_ = false;
}

void TKivoDatabase::CreateDatabase() {
  if (database_file_name_.empty()) throw Exception("DatabaseFileName property is blank.");
  if (Connected()) throw Exception("CreateDatabase error. Database is connected.");
  // The session must be active before the registry lock is taken.
  if (session_ && !session_->Active()) session_->SetActive(true);
  ConnectManager();
  try {
    handle_->CreateDatabase();
  } catch (...) {
    DisconnectManager();
    throw;
  }
  DisconnectManager();
}

void TKivoDatabase::CreateDatabase(const std::string& fileName) {
  database_file_name_ = fileName;
  CreateDatabase();
}

void TKivoDatabase::GetTableNames(std::vector<std::string>& list) {
  if (!Connected()) Open();
  handle_->GetTableNames(list);
}

bool TKivoDatabase::Exists() {
  if (Connected()) return handle_->DatabaseExists();
  if (database_file_name_.empty()) return DirectoryExists(directory_);
  if (in_memory_)
    return TPFSManager::Instance().FindPFS(database_file_name_, fsmSingleFile) != nullptr;
  return FileExistsOnDisk(database_file_name_);
}

bool TKivoDatabase::Encrypted() {
  if (Connected()) {
    if (database_file_name_.empty()) return false;
    if (TAbstractPlainFileSystem* pfs =
            TPFSManager::Instance().FindPFS(database_file_name_, fsmSingleFile))
      return pfs->Encrypted();
  }
  if (FileExistsOnDisk(database_file_name_)) return IsFileEncrypted(database_file_name_);
  return false;
}

void TKivoDatabase::SetHandle(TKivoDatabaseManager* manager) {
  if (Connected()) Close();
  if (!manager) return;
  CheckDatabaseName();
  SetSession(true);
  if (session_->GetHandle() != manager->SessionHandle())
    throw ZorException::Create(native_error::kHandleOfOtherSession, Name());
  manager->AttachHolder(this);
  handle_ = manager;
  acquired_handle_ = true;
}

void TKivoDatabase::AddDataSet(TKivoDatasetBase* dataset) {
  if (dataset && !Contains(datasets_, dataset)) datasets_.push_back(dataset);
}

void TKivoDatabase::RemoveDataSet(TKivoDatasetBase* dataset) { EraseItem(datasets_, dataset); }

// ---------------------------------------------------------------- TKivoDatabaseManager

TCriticalSection& TKivoDatabaseManager::RegistryLock() { return Globals().registry_lock; }

int TKivoDatabaseManager::RegisteredCount() {
  RegistryGuard guard(RegistryLock());
  return Globals().managers.Count();
}

bool TKivoDatabaseManager::IsRegistered(const TKivoDatabaseManager* manager) {
  RegistryGuard guard(RegistryLock());
  return Globals().managers.Contains(manager);
}

TKivoDatabaseManager::TKivoDatabaseManager(TKivoDatabase* database) {
  if (!database->DatabaseFileName().empty()) {
    path_ = database->DatabaseFileName();
    is_file_database_ = true;
    store_mode_ = fsmSingleFile;
    file_mode_ = database->DatabaseFileMode();
  } else if (IsMemoryName(database->DatabaseName())) {
    path_ = database->DatabaseName();
    store_mode_ = fsmMemory;
    file_mode_ = database->DatabaseFileMode();
  } else {
    path_ = database->Directory();
    store_mode_ = fsmDisk;
  }
  read_only_ = database->ReadOnly();
  in_memory_ = database->InMemory();
  // The session is active by now; its handle is read without starting it,
  // since the registry lock may already be held.
  if (database->Session()) session_handle_ = database->Session()->Handle();
}

TKivoDatabaseManager::~TKivoDatabaseManager() {
  RegistryGuard guard(RegistryLock());
  if (is_file_database_ && !in_memory_) TPFSManager::Instance().DropPFS(path_);
  for (TKivoDatabase* db : databases_)
    if (db->handle_ == this) db->handle_ = nullptr;
}

TKivoDatabaseManager* TKivoDatabaseManager::FindOrCreateManager(TKivoDatabase* database) {
  RegistryGuard guard(RegistryLock());
  std::string key;
  if (!database->Directory().empty())
    key = database->Directory();
  else if (IsMemoryName(database->DatabaseName()))
    key = database->DatabaseName();
  else
    key = database->DatabaseFileName();
  if (!key.empty()) {
    const std::string wanted = PathKey(key);
    const auto& managers = Globals().managers.Items();
    for (auto it = managers.rbegin(); it != managers.rend(); ++it) {
      TKivoDatabaseManager* m = it->get();
      if (PathKey(m->path_) == wanted) return m;
      for (TKivoDatabase* db : m->databases_)
        if (AnsiSameText(db->DatabaseName(), key)) return m;
    }
  }
  return Globals().managers.Add(std::make_unique<TKivoDatabaseManager>(database));
}

void TKivoDatabaseManager::ConnectDatabase(TKivoDatabase* database) {
  RegistryGuard guard(RegistryLock());
  if (databases_.empty()) {
    read_only_ = database->ReadOnly();
    in_memory_ = database->InMemory();
    file_mode_ = database->DatabaseFileMode();
    databases_.push_back(database);
    if (is_file_database_ && !in_memory_) {
      try {
        GetPFS(fsmSingleFile);
      } catch (...) {
        // Open() checks the container itself and reports the failure.
        EraseItem(databases_, database);
      }
    }
    if (read_only_) database->read_only_ = true;
    if (database->ReadOnly()) read_only_ = true;
    return;
  }
  if (Contains(databases_, database)) return;
  if (read_only_ && !database->ReadOnly()) database->read_only_ = true;
  if (in_memory_ != database->InMemory())
    throw Exception(
        "TKivoDatabaseManager.ConnectDatabase - database is already open with other in-memory "
        "mode value.");
  databases_.push_back(database);
}

void TKivoDatabaseManager::AttachHolder(TKivoDatabase* database) {
  RegistryGuard guard(RegistryLock());
  if (!Contains(databases_, database)) databases_.push_back(database);
}

void TKivoDatabaseManager::DisconnectDatabase(TKivoDatabase* database) {
  RegistryGuard guard(RegistryLock());
  EraseItem(databases_, database);
  ReleaseIfUnused(this);
}

void TKivoDatabaseManager::RegisterDataset(TKivoDatasetBase* dataset) {
  RegistryGuard guard(RegistryLock());
  if (read_only_) dataset->MakeTableReadOnly();
  if (datasets_.empty() && !is_file_database_) {
    in_memory_ = dataset->InMemory();
    store_mode_ = in_memory_ ? fsmMemory : fsmDisk;
  }
  if (!Contains(datasets_, dataset)) datasets_.push_back(dataset);
}

void TKivoDatabaseManager::UnregisterDataset(TKivoDatasetBase* dataset) {
  // Closing the data set may take the session lock, which comes before the
  // registry lock: take it first.
  TCriticalSectionGuard session(Sessions().SessionLock());
  RegistryGuard guard(RegistryLock());
  if (!EraseItem(datasets_, dataset)) return;
  dataset->Close();
  ReleaseIfUnused(this);
}

bool TKivoDatabaseManager::ReleaseIfUnused(TKivoDatabaseManager* manager) {
  RegistryGuard guard(RegistryLock());
  if (!manager->databases_.empty() || !manager->datasets_.empty()) return false;
  // Taken out, then destroyed as `gone` leaves the scope.
  const std::unique_ptr<TKivoDatabaseManager> gone = Globals().managers.Take(manager);
  return gone != nullptr;
}

TAbstractPlainFileSystem* TKivoDatabaseManager::GetPFS(int mode) {
  if (mode == 0) mode = store_mode_;
  if (mode == fsmMemory && is_file_database_ && in_memory_) mode = fsmSingleFile;
  return TPFSManager::Instance().GetPFSHandle(path_, GetPassword(), mode, read_only_, in_memory_,
                                              dfmNormal);
}

std::string TKivoDatabaseManager::GetPassword() const {
  RegistryGuard guard(RegistryLock());
  for (TKivoDatabase* db : databases_) {
    if (!db->Connected() || db->Temporary()) continue;
    if (AnsiSameText(db->DatabaseName(), path_) || AnsiSameText(db->DatabaseFileName(), path_))
      return db->Password();
  }
  return {};
}

void TKivoDatabaseManager::GetTableNames(std::vector<std::string>& list) {
  list.clear();
  if (TAbstractPlainFileSystem* pfs = GetPFS(store_mode_)) pfs->GetFileNames(".dat", list);
}

TAbstractFile* TKivoDatabaseManager::OpenFile(const std::string& name, int mode, bool create,
                                              bool exclusive, bool readOnly) {
  if (mode == 0) mode = store_mode_;
  TAbstractPlainFileSystem* pfs = GetPFS(mode);
  if (!pfs) return nullptr;
  if (mode == fsmMemory && !create && !pfs->FindFile(name)) {
    // First use of a table in memory: load it from the main store. When the
    // main store is this same memory store there is nothing to load from.
    TAbstractPlainFileSystem* main = GetPFS(store_mode_);
    if (main && main != pfs) {
      TAbstractFile* memory = pfs->OpenFile(name, true, exclusive, readOnly);
      try {
        const TOpenFile source = main->OpenScoped(name, false, false, true);
        memory->CopyFrom(*source, 0);
        memory->SetPosition(0);
      } catch (...) {
        // An empty memory copy left behind would hide the table's content.
        pfs->DeleteFile(name);
        throw;
      }
      return memory;
    }
  }
  return pfs->OpenFile(name, create, exclusive, readOnly);
}

void TKivoDatabaseManager::CloseFile(TAbstractFile* file) {
  if (file && file->Owner()) file->Owner()->CloseFile(file);
}

bool TKivoDatabaseManager::FileExists(const std::string& name, int mode) {
  TAbstractPlainFileSystem* pfs = GetPFS(mode);
  return pfs && pfs->FileExists(name);
}

bool TKivoDatabaseManager::DeleteFile(const std::string& name, int mode) {
  TAbstractPlainFileSystem* pfs = GetPFS(mode);
  return pfs && pfs->DeleteFile(name);
}

bool TKivoDatabaseManager::RenameFile(const std::string& oldName, const std::string& newName,
                                      int mode) {
  TAbstractPlainFileSystem* pfs = GetPFS(mode);
  return pfs && pfs->RenameFile(oldName, newName);
}

bool TKivoDatabaseManager::SaveMemoryFile(const std::string& name) {
  TAbstractPlainFileSystem* memory = GetPFS(fsmMemory);
  TAbstractPlainFileSystem* main = GetPFS(store_mode_);
  if (!memory || !main) return false;
  if (memory == main) return true;  // the memory store is the main store
  TAbstractFile* source = memory->FindFile(name);
  if (!source) return false;
  std::int32_t position = source->GetPosition();
  bool saved = false;
  try {
    const TOpenFile target = main->OpenScoped(name, true, false, false);
    target->CopyFrom(*source, 0);
    target->Flush();
    saved = true;
  } catch (...) {
    saved = false;
  }
  if (position >= 0) source->SetPosition(position);
  return saved;
}

void TKivoDatabaseManager::CreateDatabase() {
  RegistryGuard guard(RegistryLock());
  if (!datasets_.empty())
    throw Exception("TKivoDatabaseManager.CreateDatabase - Some datasets are connected.");
  if (!is_file_database_) return;
  std::error_code ec;
  std::filesystem::path expanded = std::filesystem::absolute(path_, ec);
  std::string directory = expanded.parent_path().string();
  if (!DirectoryExists(directory))
    throw Exception("TKivoDatabaseManager.CreateDatabase - Cannot create database file \"" + path_ +
                    "\" as the directory \"" + directory + "\" does not exist");
  if (!TPFSManager::Instance().CreatePFS(path_, GetPassword(), in_memory_, file_mode_))
    throw Exception("TKivoDatabaseManager.CreateDatabase - Cannot create database file \"" + path_ +
                    "\"");
}

bool TKivoDatabaseManager::DatabaseExists() {
  if (is_file_database_)
    return in_memory_ ? GetPFS(fsmSingleFile) != nullptr : FileExistsOnDisk(path_);
  return in_memory_ || DirectoryExists(path_);
}

}  // namespace kivo
