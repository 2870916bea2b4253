// The engine's file abstraction and its plain file systems.
//
// Every table file the engine reads or writes is a TAbstractFile: a small
// stream with 32-bit positions, obtained by name from a plain file system
// (a flat name space of files). Plain file systems live in a directory on
// disk, in process memory, in a directory of self-deleting temporary files,
// or in a single-file container; TPFSManager is the one process-wide
// registry that hands them out by (name, store mode).
//
// The container store plugs in through TPFSManager::SetContainerStore: until a
// container module registers itself, container requests answer nil / false.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/locks.h"
#include "platform/owning_registry.h"
#include "storage/file_handle.h"

namespace kivo {

// Where a plain file system keeps its files.
enum TFileStoreMode : std::uint8_t {
  fsmDisk = 1,        // a directory on disk
  fsmSingleFile = 2,  // a single-file container (.kvb)
  fsmMemory = 3,      // process memory
  fsmTemporary = 4,   // a directory of temporary disk files
};

// Page geometry of a newly created container.
enum TDatabaseFileMode : std::uint8_t {
  dfmCompact = 0,
  dfmNormal = 1,
  dfmLarge = 2,
};

// The smallest page size the page manager accepts.
extern int MinPageSize;  // initially 544
// Extent page count the container directory uses when it grows; every
// construction of a container store overwrites it with its file mode's value.
extern int DefaultExtentPageCount;  // initially 8

// Extent page count and page size of a file mode; 0 and 0 for an unknown mode.
int ExtentPageCountOf(TDatabaseFileMode mode);
int PageSizeOf(TDatabaseFileMode mode);

// The largest size and position a file has through this interface: 2 GB - 1.
constexpr std::int32_t kMaxFilePosition = 0x7FFFFFFF;

class TAbstractPlainFileSystem;

// A stream with 32-bit positions. A file is listed in its owner's open-file
// list from construction until destruction.
class TAbstractFile {
 public:
  // Seek origins.
  static constexpr int kFromBeginning = 0;
  static constexpr int kFromCurrent = 1;
  static constexpr int kFromEnd = 2;

  TAbstractFile(TAbstractPlainFileSystem* owner, std::string fileName);
  virtual ~TAbstractFile();
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  const std::string& FileName() const { return file_name_; }
  void SetFileName(const std::string& name) { file_name_ = name; }
  TAbstractPlainFileSystem* Owner() const { return owner_; }

  bool Exclusive() const { return exclusive_; }
  virtual void SetExclusive(bool value) { exclusive_ = value; }
  virtual void SetPosition(std::int32_t pos) { Seek(pos, kFromBeginning); }
  virtual std::int32_t GetPosition() { return Seek(0, kFromCurrent); }
  bool ReadOnly() const { return read_only_; }
  virtual void SetReadOnly(bool value) { read_only_ = value; }
  virtual void SetSize(std::int32_t newSize) = 0;
  // The size, leaving the position where it was.
  virtual std::int32_t GetSize();
  bool Temporary() const { return temporary_; }
  virtual void SetTemporary(bool value) { temporary_ = value; }
  virtual void Close() = 0;
  virtual void Flush() = 0;
  // Asks for `count` bytes written from `offset` on to start going to the
  // disk now, without waiting: a later Flush then waits for less. A hint;
  // files that cannot do it ignore it.
  virtual void StartWriteBack(std::int64_t /*offset*/, std::int64_t /*count*/) {}
  virtual void Open(bool create) = 0;
  // Returns the number of bytes read (0 on failure or for count <= 0).
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  // Returns the new position, or -1 when the target is negative, beyond
  // kMaxFilePosition, or the file is closed (the position is then unchanged).
  virtual std::int32_t Seek(std::int32_t offset, int origin) = 0;
  // Returns the number of bytes written (0 on failure).
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;

  // Reads exactly `count` bytes or raises "TAbstractFile.ReadBuffer - Stream read error".
  void ReadBuffer(void* buffer, std::int32_t count);
  // Writes exactly `count` bytes or raises "TAbstractFile.WriteBuffer - Stream write error".
  void WriteBuffer(const void* buffer, std::int32_t count);
  // Copies `count` bytes from the current position of `source` to the current
  // position of this file; count 0 copies the whole of `source` from its start.
  // Returns the number of bytes copied.
  std::int32_t CopyFrom(TAbstractFile& source, std::int32_t count);
  // Closes and opens the file again at the same position.
  void Reopen();

 protected:
  std::string file_name_;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool temporary_ = false;
  TAbstractPlainFileSystem* owner_;
};

// A file of a disk directory (or a temporary file), through a POSIX descriptor.
// Sharing maps to advisory locks: an exclusive file holds LOCK_EX, a shared
// one LOCK_SH, so an exclusive open fails while another open exists and the
// reverse. A temporary file is unlinked when it is closed.
class TDiskFile : public TAbstractFile {
 public:
  // `directory` is empty or ends with "/"; the full path is directory + fileName.
  TDiskFile(TAbstractPlainFileSystem* owner, std::string directory, std::string fileName);
  ~TDiskFile() override;

  const std::string& Directory() const { return directory_; }
  std::string FullPath() const { return directory_ + file_name_; }
  bool IsOpen() const { return handle_ >= 0; }

  // Changing either flag on an open file reopens it at the same position.
  void SetExclusive(bool value) override;
  void SetReadOnly(bool value) override;
  // Raises EInOutError when the operating system refuses.
  void SetSize(std::int32_t newSize) override;
  // Syncs a file written since its last sync first; the file is closed
  // also when that sync fails, which is then raised (EInOutError).
  void Close() override;
  // Raises EInOutError when the system cannot make the file durable; the
  // file stays unsynced.
  void Flush() override;
  void StartWriteBack(std::int64_t offset, std::int64_t count) override;
  // Opens (create = create or truncate); an existing file that cannot be
  // opened for writing is opened read-only and ReadOnly becomes true. Raises
  // "Cannot create file \"path\"" or "Cannot open file \"path\"".
  void Open(bool create) override;
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Seek(std::int32_t offset, int origin) override;
  // Count 0 truncates the file at the current position and returns 0.
  std::int32_t Write(const void* buffer, std::int32_t count) override;

 private:
  bool TryOpen(bool create);

  std::string directory_;
  int handle_ = -1;
  // Written, created or resized since the last flush.
  bool dirty_ = false;
  // The file position, kept here so that each read or write is one
  // positional system call rather than a seek and a transfer.
  std::int64_t position_ = 0;
};

// A file in process memory; the content lives while the file is open.
class TMemoryFile : public TAbstractFile {
 public:
  TMemoryFile(TAbstractPlainFileSystem* owner, std::string fileName);

  bool IsOpen() const { return stream_ != nullptr; }

  void SetSize(std::int32_t newSize) override;
  // Destroys the content.
  void Close() override;
  void Flush() override {}
  // Only creation is possible: create false raises
  // "TMemoryFile.Open - File cannot be open, only creation is available."
  void Open(bool create) override;
  std::int32_t Read(void* buffer, std::int32_t count) override;
  // Positions past the end are allowed; writing there grows the file.
  std::int32_t Seek(std::int32_t offset, int origin) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;

 private:
  std::unique_ptr<std::vector<std::uint8_t>> stream_;
  std::int32_t position_ = 0;
};

// A flat name space of files. The file system owns the files in its open-file
// list and destroys those still listed when it is destroyed.
class TAbstractPlainFileSystem : public TFileCloser {
 public:
  TAbstractPlainFileSystem(std::string name, TFileStoreMode storeMode);
  virtual ~TAbstractPlainFileSystem();
  TAbstractPlainFileSystem(const TAbstractPlainFileSystem&) = delete;
  TAbstractPlainFileSystem& operator=(const TAbstractPlainFileSystem&) = delete;

  const std::string& Name() const { return name_; }
  TFileStoreMode StoreMode() const { return store_mode_; }
  // Whether the store can only be read (a write-protected container).
  virtual bool ReadOnly() const { return false; }
  // Whether the store is encrypted (only a container can be).
  virtual bool Encrypted() const { return false; }

  virtual TAbstractFile* OpenFile(const std::string& fileName, bool create, bool exclusive,
                                  bool readOnly) = 0;
  void CloseFile(TAbstractFile* file) override = 0;
  // OpenFile, owned by a handle that closes the file here.
  TOpenFile OpenScoped(const std::string& fileName, bool create, bool exclusive, bool readOnly) {
    return TOpenFile(*this, OpenFile(fileName, create, exclusive, readOnly));
  }
  virtual bool DeleteFile(const std::string& fileName) = 0;
  virtual bool RenameFile(const std::string& oldName, const std::string& newName) = 0;
  virtual bool FileExists(const std::string& fileName) = 0;
  // Replaces the content of `list` with the names of the files with that extension.
  virtual void GetFileNames(const std::string& extension, std::vector<std::string>& list) = 0;

  // The first listed file whose name equals `fileName` ignoring case, or nullptr.
  TAbstractFile* FindFile(const std::string& fileName) const;
  int OpenFileCount() const { return static_cast<int>(files_.size()); }

 protected:
  const std::vector<TAbstractFile*>& OpenFiles() const { return files_; }

 private:
  friend class TAbstractFile;
  std::vector<TAbstractFile*> files_;  // the open-file list; files list and unlist themselves
  std::string name_;
  TFileStoreMode store_mode_;
};

// The files of one disk directory.
class TDiskPlainFileSystem : public TAbstractPlainFileSystem {
 public:
  // `directory` may be empty (the current directory).
  explicit TDiskPlainFileSystem(const std::string& directory, TFileStoreMode mode = fsmDisk);

  // The directory, empty or ending with "/".
  const std::string& Directory() const { return directory_; }
  std::string FullPath(const std::string& fileName) const { return directory_ + fileName; }

  // Raises "TDiskPlainFileSystem.OpenFile - File \"path\" is already open." for an open name.
  TAbstractFile* OpenFile(const std::string& fileName, bool create, bool exclusive,
                          bool readOnly) override;
  void CloseFile(TAbstractFile* file) override;
  bool DeleteFile(const std::string& fileName) override;
  // Fails (false) when the new name already exists.
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
  bool FileExists(const std::string& fileName) override;
  // Regular files ending with `extension`, listed without their extension.
  void GetFileNames(const std::string& extension, std::vector<std::string>& list) override;

 protected:
  std::string directory_;
};

// A directory of temporary files: files stay open (and on disk) after
// CloseFile, and vanish when deleted, renamed or when the file system goes.
class TTemporaryPlainFileSystem : public TDiskPlainFileSystem {
 public:
  explicit TTemporaryPlainFileSystem(const std::string& directory);

  // An open name is reused: truncated when `create`, then rewound.
  TAbstractFile* OpenFile(const std::string& fileName, bool create, bool exclusive,
                          bool readOnly) override;
  void CloseFile(TAbstractFile* file) override;
  bool DeleteFile(const std::string& fileName) override;
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
};

// Files in process memory; the open-file list is the store itself.
class TMemoryPlainFileSystem : public TAbstractPlainFileSystem {
 public:
  explicit TMemoryPlainFileSystem(const std::string& name, TFileStoreMode mode = fsmMemory);

  // A listed name is reused: truncated when `create`, rewound, ReadOnly set.
  TAbstractFile* OpenFile(const std::string& fileName, bool create, bool exclusive,
                          bool readOnly) override;
  void CloseFile(TAbstractFile* file) override;
  bool DeleteFile(const std::string& fileName) override;
  bool RenameFile(const std::string& oldName, const std::string& newName) override;
  bool FileExists(const std::string& fileName) override;
  // Files whose extension equals `extension` ignoring case, listed with it.
  void GetFileNames(const std::string& extension, std::vector<std::string>& list) override;
};

// Makes a container store: (name, password, file mode, read-only, in-memory,
// create-new). Raises on any failure (missing file, wrong password, damage).
using TContainerStoreFactory = std::function<std::unique_ptr<TAbstractPlainFileSystem>(
    const std::string& name, const std::string& password, TDatabaseFileMode fileMode, bool readOnly,
    bool inMemory, bool createNew)>;
// Reads the encrypted flag of a container file without opening the container.
using TContainerEncryptedProbe = std::function<bool(const std::string& path)>;

// Whether the container file at `path` is encrypted; false while no container
// store is registered or when the file cannot be read.
bool IsFileEncrypted(const std::string& path);

// The process-wide registry of plain file systems. Every public operation
// holds the registry's recursive lock for its whole duration.
class TPFSManager {
 public:
  // The one instance, created on first use.
  static TPFSManager& Instance();

  // Registers the container store; empty functions unregister it.
  static void SetContainerStore(TContainerStoreFactory factory, TContainerEncryptedProbe probe);
  static bool HasContainerStore();

  void Lock();
  void Unlock();
  int LockDepth() const { return lock_depth_; }

  // The most recently registered file system with that name (ASCII case
  // ignored) and store mode, or nullptr.
  TAbstractPlainFileSystem* FindPFS(const std::string& name, TFileStoreMode storeMode);
  // Finds or creates the file system; nullptr on every failure (never raises).
  // For a container, `readOnly` is decided (when false on entry) and returned.
  TAbstractPlainFileSystem* GetPFSHandle(const std::string& name, const std::string& password,
                                         int storeMode, bool& readOnly, bool inMemory,
                                         TDatabaseFileMode fileMode);
  // Unregisters and destroys the container store of that name, if registered.
  void DropPFS(const std::string& name);
  // Writes a new, empty container; false on any failure.
  bool CreatePFS(const std::string& name, const std::string& password, bool inMemory,
                 TDatabaseFileMode fileMode);
  int RegisteredCount();

  ~TPFSManager();

 private:
  TPFSManager() = default;
  // REQUIRES: lock_.
  TAbstractPlainFileSystem* Register(std::unique_ptr<TAbstractPlainFileSystem> pfs);

  // Guards the registered file systems and the lock depth; last in the lock order.
  TCriticalSection lock_;
  int lock_depth_ = 0;                              // guarded by lock_
  TOwningRegistry<TAbstractPlainFileSystem> list_;  // guarded by lock_
};

}  // namespace kivo
