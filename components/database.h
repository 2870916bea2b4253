// Database connection: the TKivoDatabase component that names a database
// (container file, directory or memory) within a session, and the shared
// TKivoDatabaseManager handle of one physical database, kept in a
// process-wide registry guarded by the registry lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "components/component.h"
#include "engine/table_file_store.h"
#include "platform/locks.h"
#include "storage/file_layer.h"

namespace kivo {

class TKivoDatasetBase;
class TKivoDatabaseManager;
class TKivoSession;
class TKivoSessionManager;

// What a progress event reports on: the long operations on tables and databases.
enum TkrProgressProcess : std::uint8_t {
  krppImport,
  krppExport,
  krppRestructure,
  krppRepair,
  krppChangeCompression,
  krppCompactDB,
  krppRepairDB,
  krppChangeEncryption,
  krppChangeEncryptionDB,
  krppAddingRecords,
};
using TProgressEvent = std::function<void(TComponent* sender, double percentDone,
                                          TkrProgressProcess process, bool& cancel)>;

class TKivoDatabase : public TComponent {
 public:
  // The session is `owner` when that is a TKivoSession, else the default session.
  explicit TKivoDatabase(TComponent* owner = nullptr);
  ~TKivoDatabase() override;

  // Published properties.
  bool Connected() const { return handle_ != nullptr; }
  void SetConnected(bool value);
  TDatabaseFileMode DatabaseFileMode() const { return database_file_mode_; }
  void SetDatabaseFileMode(TDatabaseFileMode value) { database_file_mode_ = value; }
  const std::string& DatabaseFileName() const { return database_file_name_; }
  void SetDatabaseFileName(const std::string& value);
  const std::string& DatabaseName() const { return database_name_; }
  void SetDatabaseName(const std::string& value);
  // Whether the container is encrypted; usable while disconnected.
  bool Encrypted();
  bool InMemory() const { return in_memory_; }
  void SetInMemory(bool value);
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool HandleShared() const { return handle_shared_; }
  void SetHandleShared(bool value) { handle_shared_ = value; }
  bool KeepConnection() const { return keep_connection_; }
  void SetKeepConnection(bool value);
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& value);
  TProgressEvent OnProgress;  // no operation raises it

  void Open();
  void Close();
  // Creates the container file named by DatabaseFileName; ends disconnected.
  void CreateDatabase();
  // Stores `fileName` as DatabaseFileName (without the setter's effects), then CreateDatabase().
  void CreateDatabase(const std::string& fileName);
  // Connects when needed, then lists the tables.
  void GetTableNames(std::vector<std::string>& list);
  bool Exists();
  // Attaches an existing manager (not owned); nullptr just closes.
  void SetHandle(TKivoDatabaseManager* manager);

  TKivoDatabaseManager* Handle() const { return handle_; }
  TKivoSession* Session() const { return session_; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool value) { temporary_ = value; }
  int RefCount() const { return ref_count_; }
  const std::string& Directory() const { return directory_; }
  bool AcquiredHandle() const { return acquired_handle_; }

  // The data sets working through this database.
  int DataSetCount() const { return static_cast<int>(datasets_.size()); }
  TKivoDatasetBase* DataSets(int index) const { return datasets_[static_cast<std::size_t>(index)]; }
  void AddDataSet(TKivoDatasetBase* dataset);
  void RemoveDataSet(TKivoDatasetBase* dataset);

  // Raises 1080 while connected.
  void CheckInactive() const;
  // Raises 1081 for an empty name on a component that is not temporary.
  void CheckDatabaseName() const;
  // Raises 1080 when another component of the session already uses `name`;
  // an unused temporary one is destroyed instead.
  void ValidateName(const std::string& name);
  // Attaches to the session named SessionName; with `activate` a missing
  // session raises 1072 and the session is started.
  void SetSession(bool activate);

 protected:
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TKivoSession;
  friend class TKivoDatabaseManager;
  void ConnectManager();
  void DisconnectManager();
  void SessionRemoved();
  void ForgetDataSets();

  std::vector<TKivoDatasetBase*> datasets_;
  bool keep_connection_ = true;
  bool temporary_ = false;
  bool streamed_connected_ = false;
  bool acquired_handle_ = false;
  bool handle_shared_ = false;
  bool read_only_ = false;
  bool closing_ = false;  // Close() is running: users leaving must not destroy it
  int ref_count_ = 0;     // guarded by the session lock
  TKivoDatabaseManager* handle_ = nullptr;
  TKivoSession* session_ = nullptr;
  std::string session_name_;
  std::string database_name_;
  std::string directory_;
  std::string database_file_name_;
  bool in_memory_ = false;
  std::string password_;
  TDatabaseFileMode database_file_mode_ = dfmNormal;
};

// The shared handle of one physical database. The process-wide registry owns
// every manager: it makes one on the first connection for a key, shares it
// with later ones, and destroys it as soon as its last database and last
// data set have left (its users). Table managers reach the database's files
// through its TTableFileStore side.
class TKivoDatabaseManager : public TTableFileStore {
 public:
  // A manager for `database`'s key; FindOrCreateManager registers it.
  explicit TKivoDatabaseManager(TKivoDatabase* database);
  ~TKivoDatabaseManager() override;
  TKivoDatabaseManager(const TKivoDatabaseManager&) = delete;
  TKivoDatabaseManager& operator=(const TKivoDatabaseManager&) = delete;

  // The process-wide registry lock (taken after the session lock), and the
  // manager registry.
  static TCriticalSection& RegistryLock();
  static int RegisteredCount();
  static bool IsRegistered(const TKivoDatabaseManager* manager);
  // The registered manager for `database`'s key, or a new registered one.
  static TKivoDatabaseManager* FindOrCreateManager(TKivoDatabase* database);
  // The registry destroys `manager` when no database and no data set use it;
  // true when it did.
  static bool ReleaseIfUnused(TKivoDatabaseManager* manager);

  // Raises "TKivoDatabaseManager.ConnectDatabase - database is already open
  // with other in-memory mode value." on an in-memory mismatch.
  void ConnectDatabase(TKivoDatabase* database);
  // Unlists the database; the registry destroys the manager when that was
  // its last user, so the pointer may dangle afterwards.
  void DisconnectDatabase(TKivoDatabase* database);
  void RegisterDataset(TKivoDatasetBase* dataset);
  // Closes the data set and unlists it; as DisconnectDatabase, may leave the
  // manager destroyed.
  void UnregisterDataset(TKivoDatasetBase* dataset);

  // The plain file system of a store mode (0: StoreMode); nullptr when the
  // store cannot be opened.
  TAbstractPlainFileSystem* GetPFS(int mode = 0);
  std::string GetPassword() const;
  void GetTableNames(std::vector<std::string>& list);
  // Opens a file in the store of `mode`; a memory-store file that is not open
  // yet is loaded from the main store. nullptr when the store is unavailable.
  TAbstractFile* OpenFile(const std::string& name, int mode, bool create, bool exclusive,
                          bool readOnly) override;
  void CloseFile(TAbstractFile* file) override;
  bool FileExists(const std::string& name, int mode) override;
  bool DeleteFile(const std::string& name, int mode) override;
  bool RenameFile(const std::string& oldName, const std::string& newName, int mode) override;
  // Copies a memory-store file into the main store. Never raises; false when
  // the copy could not be made.
  bool SaveMemoryFile(const std::string& name) override;
  void CreateDatabase();
  bool DatabaseExists();

  int DatabaseCount() const { return static_cast<int>(databases_.size()); }
  TKivoDatabase* Databases(int index) const { return databases_[static_cast<std::size_t>(index)]; }
  int DatasetCount() const { return static_cast<int>(datasets_.size()); }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool InMemory() const { return in_memory_; }
  TDatabaseFileMode FileMode() const { return file_mode_; }
  TKivoSessionManager* SessionHandle() const { return session_handle_; }
  bool IsFileDatabase() const { return is_file_database_; }
  const std::string& Path() const override { return path_; }
  TFileStoreMode StoreMode() const { return store_mode_; }

 private:
  friend class TKivoDatabase;
  // Lists a component that uses this manager through a shared or acquired
  // handle, so that the manager lives as long as that component holds it.
  void AttachHolder(TKivoDatabase* database);

  std::vector<TKivoDatabase*> databases_;    // guarded by the registry lock
  std::vector<TKivoDatasetBase*> datasets_;  // guarded by the registry lock
  bool read_only_ = false;
  bool in_memory_ = false;
  TDatabaseFileMode file_mode_ = dfmNormal;
  TKivoSessionManager* session_handle_ = nullptr;
  bool is_file_database_ = false;
  std::string path_;
  TFileStoreMode store_mode_ = fsmDisk;
};

}  // namespace kivo
