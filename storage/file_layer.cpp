#include "storage/file_layer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

int MinPageSize = 544;
int DefaultExtentPageCount = 8;

int ExtentPageCountOf(TDatabaseFileMode mode) {
  switch (mode) {
    case dfmCompact:
      return 2;
    case dfmNormal:
      return 8;
    case dfmLarge:
      return 16;
  }
  return 0;
}

int PageSizeOf(TDatabaseFileMode mode) {
  switch (mode) {
    case dfmCompact:
      return MinPageSize;
    case dfmNormal:
      return 4096;
    case dfmLarge:
      return 8192;
  }
  return 0;
}

namespace {

// Size of the one buffer CopyFrom copies through.
constexpr std::int32_t kCopyBufferSize = 61440;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string AsciiLower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// The extension of a file name: from the last "." after the last "/", or empty.
std::string ExtractFileExt(const std::string& name) {
  std::size_t dot = name.find_last_of("./");
  if (dot == std::string::npos || name[dot] != '.') return {};
  return name.substr(dot);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsExistingFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Where a seek from `origin` by `offset` lands, or -1 when it leaves 0..kMaxFilePosition.
std::int32_t SeekTarget(std::int64_t current, std::int64_t size, std::int32_t offset, int origin) {
  std::int64_t base;
  switch (origin) {
    case TAbstractFile::kFromBeginning:
      base = 0;
      break;
    case TAbstractFile::kFromCurrent:
      base = current;
      break;
    case TAbstractFile::kFromEnd:
      base = size;
      break;
    default:
      return -1;
  }
  std::int64_t target = base + offset;
  if (target < 0 || target > kMaxFilePosition) return -1;
  return static_cast<std::int32_t>(target);
}

// How many of `count` bytes fit between `position` and kMaxFilePosition.
std::int32_t ClampCount(std::int64_t position, std::int32_t count) {
  if (count <= 0 || position < 0 || position >= kMaxFilePosition) return 0;
  return static_cast<std::int32_t>(std::min<std::int64_t>(count, kMaxFilePosition - position));
}

struct ContainerStore {
  TContainerStoreFactory factory;
  TContainerEncryptedProbe probe;
};

ContainerStore& Container() {
  static ContainerStore store;
  return store;
}

// Serialises access to the registered container functions.
TCriticalSection& ContainerMutex() {
  static TCriticalSection m;
  return m;
}

ContainerStore ContainerSnapshot() {
  TCriticalSectionGuard guard(ContainerMutex());
  return Container();
}

}  // namespace

// ---------------------------------------------------------------- TAbstractFile

TAbstractFile::TAbstractFile(TAbstractPlainFileSystem* owner, std::string fileName)
    : file_name_(std::move(fileName)), owner_(owner) {
  if (owner_) owner_->files_.push_back(this);
}

TAbstractFile::~TAbstractFile() {
  if (owner_) {
    auto& files = owner_->files_;
    auto it = std::find(files.begin(), files.end(), this);
    if (it != files.end()) files.erase(it);
  }
}

std::int32_t TAbstractFile::GetSize() {
  std::int32_t pos = Seek(0, kFromCurrent);
  std::int32_t size = Seek(0, kFromEnd);
  if (pos >= 0) Seek(pos, kFromBeginning);
  return size;
}

void TAbstractFile::ReadBuffer(void* buffer, std::int32_t count) {
  if (count != 0 && Read(buffer, count) != count)
    throw Exception("TAbstractFile.ReadBuffer - Stream read error");
}

void TAbstractFile::WriteBuffer(const void* buffer, std::int32_t count) {
  if (count != 0 && Write(buffer, count) != count)
    throw Exception("TAbstractFile.WriteBuffer - Stream write error");
}

std::int32_t TAbstractFile::CopyFrom(TAbstractFile& source, std::int32_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.GetSize();
  }
  if (count <= 0) return 0;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count, kCopyBufferSize)));
  std::int32_t left = count;
  while (left > 0) {
    std::int32_t n = std::min(static_cast<std::int32_t>(buffer.size()), left);
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return count;
}

void TAbstractFile::Reopen() {
  std::int32_t pos = GetPosition();
  Close();
  Open(false);
  SetPosition(pos);
}

// ---------------------------------------------------------------- TDiskFile

TDiskFile::TDiskFile(TAbstractPlainFileSystem* owner, std::string directory, std::string fileName)
    : TAbstractFile(owner, std::move(fileName)), directory_(std::move(directory)) {}

TDiskFile::~TDiskFile() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot report; the descriptor is closed in any case.
  }
}

void TDiskFile::SetExclusive(bool value) {
  if (value == exclusive_) return;
  exclusive_ = value;
  if (IsOpen()) Reopen();
}

void TDiskFile::SetReadOnly(bool value) {
  if (value == read_only_) return;
  read_only_ = value;
  if (IsOpen()) Reopen();
}

void TDiskFile::SetSize(std::int32_t newSize) {
  int err = EBADF;
  if (IsOpen()) {
    if (newSize < 0) {
      err = EINVAL;
    } else if (Seek(newSize, kFromBeginning) < 0) {
      err = EINVAL;
    } else if (::ftruncate(handle_, newSize) == 0) {
      dirty_ = true;
      return;
    } else {
      err = errno;
    }
  }
  throw EInOutError(std::strerror(err), err);
}

void TDiskFile::Close() {
  if (handle_ < 0) return;
  // A file that nothing was written to since its last flush has nothing
  // to make durable: closing it costs no sync.
  std::exception_ptr failure;
  if (dirty_) {
    try {
      Flush();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  ::close(handle_);
  if (temporary_) ::unlink(FullPath().c_str());
  handle_ = -1;
  if (failure) std::rethrow_exception(failure);
}

void TDiskFile::Flush() {
  // A sync the system refuses (a write-back that failed, say) leaves the
  // data not durable: that is reported, never taken for done.
  if (handle_ >= 0 && ::fsync(handle_) != 0) {
    const int err = errno;
    throw EInOutError(std::strerror(err), err);
  }
  dirty_ = false;
}

void TDiskFile::StartWriteBack(std::int64_t offset, std::int64_t count) {
  if (handle_ >= 0 && offset >= 0 && count > 0)
    ::sync_file_range(handle_, offset, count, SYNC_FILE_RANGE_WRITE);
}

bool TDiskFile::TryOpen(bool create) {
  int flags = (read_only_ ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  if (create) flags |= O_CREAT;
  int fd = ::open(FullPath().c_str(), flags, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
      ::flock(fd, (exclusive_ ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  // Truncate only once the lock is held, so that a file another holder keeps
  // exclusively is never emptied by a failed create.
  if (create && (read_only_ ? ::truncate(FullPath().c_str(), 0) : ::ftruncate(fd, 0)) != 0) {
    ::close(fd);
    return false;
  }
  handle_ = fd;
  position_ = 0;
  dirty_ = create;
  return true;
}

void TDiskFile::Open(bool create) {
  Close();
  if (TryOpen(create)) return;
  if (create) throw Exception("Cannot create file " + Quoted(FullPath()));
  if (read_only_) throw Exception("Cannot open file " + Quoted(FullPath()));
  read_only_ = true;
  if (TryOpen(false)) return;
  read_only_ = false;
  throw Exception("Cannot open file " + Quoted(FullPath()));
}

std::int32_t TDiskFile::Read(void* buffer, std::int32_t count) {
  if (!IsOpen()) return 0;
  count = ClampCount(position_, count);
  std::int32_t done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n =
        ::pread(handle_, p + done, static_cast<std::size_t>(count - done), position_ + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::int32_t>(n);
  }
  position_ += done;
  return done;
}

std::int32_t TDiskFile::Seek(std::int32_t offset, int origin) {
  if (!IsOpen()) return -1;
  off_t size = 0;
  if (origin == kFromEnd) {
    struct stat st;
    if (::fstat(handle_, &st) != 0) return -1;
    size = st.st_size;
  }
  std::int32_t target = SeekTarget(position_, size, offset, origin);
  if (target < 0) return -1;
  position_ = target;
  return target;
}

std::int32_t TDiskFile::Write(const void* buffer, std::int32_t count) {
  if (!IsOpen()) return 0;
  dirty_ = true;
  if (count == 0) {
    if (::ftruncate(handle_, position_) != 0) return 0;
    return 0;
  }
  count = ClampCount(position_, count);
  std::int32_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < count) {
    ssize_t n =
        ::pwrite(handle_, p + done, static_cast<std::size_t>(count - done), position_ + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::int32_t>(n);
  }
  position_ += done;
  return done;
}

// ---------------------------------------------------------------- TMemoryFile

TMemoryFile::TMemoryFile(TAbstractPlainFileSystem* owner, std::string fileName)
    : TAbstractFile(owner, std::move(fileName)) {}

void TMemoryFile::SetSize(std::int32_t newSize) {
  if (!stream_ || newSize < 0) return;
  stream_->resize(static_cast<std::size_t>(newSize));
  if (position_ > newSize) position_ = newSize;
}

void TMemoryFile::Close() {
  stream_.reset();
  position_ = 0;
}

void TMemoryFile::Open(bool create) {
  if (!create)
    throw Exception("TMemoryFile.Open - File cannot be open, only creation is available.");
  stream_ = std::make_unique<std::vector<std::uint8_t>>();
  position_ = 0;
}

std::int32_t TMemoryFile::Read(void* buffer, std::int32_t count) {
  if (!stream_ || count <= 0) return 0;
  std::int64_t size = static_cast<std::int64_t>(stream_->size());
  if (position_ >= size) return 0;
  auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, size - position_));
  std::memcpy(buffer, stream_->data() + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int32_t TMemoryFile::Seek(std::int32_t offset, int origin) {
  if (!stream_) return -1;
  std::int32_t target =
      SeekTarget(position_, static_cast<std::int64_t>(stream_->size()), offset, origin);
  if (target < 0) return -1;
  position_ = target;
  return target;
}

std::int32_t TMemoryFile::Write(const void* buffer, std::int32_t count) {
  if (!stream_) return 0;
  count = ClampCount(position_, count);
  if (count == 0) return 0;
  std::size_t end = static_cast<std::size_t>(position_) + static_cast<std::size_t>(count);
  if (end > stream_->size()) stream_->resize(end);
  std::memcpy(stream_->data() + position_, buffer, static_cast<std::size_t>(count));
  position_ += count;
  return count;
}

// ---------------------------------------------------------------- plain file systems

TAbstractPlainFileSystem::TAbstractPlainFileSystem(std::string name, TFileStoreMode storeMode)
    : name_(std::move(name)), store_mode_(storeMode) {}

TAbstractPlainFileSystem::~TAbstractPlainFileSystem() {
  // Each file unlists itself when destroyed.
  while (!files_.empty()) delete files_.back();
}

TAbstractFile* TAbstractPlainFileSystem::FindFile(const std::string& fileName) const {
  std::string wanted = AnsiLowerCase(fileName);
  for (TAbstractFile* f : files_)
    if (AnsiLowerCase(f->FileName()) == wanted) return f;
  return nullptr;
}

TDiskPlainFileSystem::TDiskPlainFileSystem(const std::string& directory, TFileStoreMode mode)
    : TAbstractPlainFileSystem(directory, mode), directory_(directory) {
  if (!directory_.empty() && directory_.back() != '/') directory_ += '/';
}

TAbstractFile* TDiskPlainFileSystem::OpenFile(const std::string& fileName, bool create,
                                              bool exclusive, bool readOnly) {
  if (FindFile(fileName))
    throw Exception("TDiskPlainFileSystem.OpenFile - File " + Quoted(FullPath(fileName)) +
                    " is already open.");
  auto file = std::make_unique<TDiskFile>(this, directory_, fileName);
  file->SetExclusive(exclusive);
  file->SetReadOnly(readOnly);
  file->Open(create);
  return file.release();
}

void TDiskPlainFileSystem::CloseFile(TAbstractFile* file) { delete file; }

bool TDiskPlainFileSystem::DeleteFile(const std::string& fileName) {
  return ::unlink(FullPath(fileName).c_str()) == 0;
}

bool TDiskPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  std::string from = FullPath(oldName), to = FullPath(newName);
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // The file system cannot refuse replacement itself: check first.
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return false;
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool TDiskPlainFileSystem::FileExists(const std::string& fileName) {
  return IsExistingFile(FullPath(fileName));
}

void TDiskPlainFileSystem::GetFileNames(const std::string& extension,
                                        std::vector<std::string>& list) {
  list.clear();
  DIR* dir = ::opendir(directory_.empty() ? "." : directory_.c_str());
  if (!dir) return;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() <= extension.size() ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
      continue;
    if (IsDirectory(FullPath(name))) continue;
    std::string ext = ExtractFileExt(name);
    std::string bare = name.substr(0, name.size() - ext.size());
    if (!bare.empty()) list.push_back(bare);
  }
  ::closedir(dir);
}

TTemporaryPlainFileSystem::TTemporaryPlainFileSystem(const std::string& directory)
    : TDiskPlainFileSystem(directory, fsmTemporary) {}

TAbstractFile* TTemporaryPlainFileSystem::OpenFile(const std::string& fileName, bool create,
                                                   bool exclusive, bool readOnly) {
  if (TAbstractFile* open = FindFile(fileName)) {
    if (create) open->SetSize(0);
    open->SetPosition(0);
    return open;
  }
  auto file = std::make_unique<TDiskFile>(this, directory_, fileName);
  file->SetTemporary(true);
  file->SetExclusive(exclusive);
  file->SetReadOnly(readOnly);
  file->Open(create);
  return file.release();
}

void TTemporaryPlainFileSystem::CloseFile(TAbstractFile*) {}

bool TTemporaryPlainFileSystem::DeleteFile(const std::string& fileName) {
  TAbstractFile* open = FindFile(fileName);
  if (!open) return TDiskPlainFileSystem::DeleteFile(fileName);
  // Destroying an open temporary file removes it from disk already; report
  // success when it is gone rather than the failure of a second delete.
  delete open;
  TDiskPlainFileSystem::DeleteFile(fileName);
  return !FileExists(fileName);
}

bool TTemporaryPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  TAbstractFile* open = FindFile(oldName);
  if (!open) return TDiskPlainFileSystem::RenameFile(oldName, newName);
  // Destroying the open file would delete its content; rename it in place
  // instead, so it keeps its content and stays a temporary file.
  if (!TDiskPlainFileSystem::RenameFile(open->FileName(), newName)) return false;
  open->SetFileName(newName);
  return true;
}

TMemoryPlainFileSystem::TMemoryPlainFileSystem(const std::string& name, TFileStoreMode mode)
    : TAbstractPlainFileSystem(name, mode) {}

TAbstractFile* TMemoryPlainFileSystem::OpenFile(const std::string& fileName, bool create,
                                                bool exclusive, bool readOnly) {
  if (TAbstractFile* open = FindFile(fileName)) {
    if (create) open->SetSize(0);
    open->SetPosition(0);
    open->SetReadOnly(readOnly);
    return open;
  }
  auto file = std::make_unique<TMemoryFile>(this, fileName);
  file->SetExclusive(exclusive);
  file->SetReadOnly(readOnly);
  file->Open(create);
  return file.release();
}

void TMemoryPlainFileSystem::CloseFile(TAbstractFile*) {}

bool TMemoryPlainFileSystem::DeleteFile(const std::string& fileName) {
  TAbstractFile* file = FindFile(fileName);
  if (!file) return false;
  delete file;
  return true;
}

bool TMemoryPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  TAbstractFile* file = FindFile(oldName);
  if (!file) return false;
  file->SetFileName(newName);
  return true;
}

bool TMemoryPlainFileSystem::FileExists(const std::string& fileName) {
  return FindFile(fileName) != nullptr;
}

void TMemoryPlainFileSystem::GetFileNames(const std::string& extension,
                                          std::vector<std::string>& list) {
  list.clear();
  std::string wanted = AnsiLowerCase(extension);
  for (TAbstractFile* f : OpenFiles()) {
    const std::string& name = f->FileName();
    std::size_t slash = name.find_last_of('/');
    std::string bare = slash == std::string::npos ? name : name.substr(slash + 1);
    if (AnsiLowerCase(ExtractFileExt(bare)) == wanted) list.push_back(bare);
  }
}

// ---------------------------------------------------------------- container hooks

bool IsFileEncrypted(const std::string& path) {
  ContainerStore store = ContainerSnapshot();
  if (!store.probe) return false;
  try {
    return store.probe(path);
  } catch (...) {
    return false;
  }
}

// ---------------------------------------------------------------- TPFSManager

namespace {

class RegistryGuard {
 public:
  explicit RegistryGuard(TPFSManager& m) : m_(m) { m_.Lock(); }
  ~RegistryGuard() { m_.Unlock(); }
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;

 private:
  TPFSManager& m_;
};

// Whether the container file can be written: it opens for writing with other
// writers shut out, and its permissions can be written back unchanged.
bool ContainerFileIsWritable(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  if (!locked) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  return ::chmod(path.c_str(), st.st_mode & 07777) == 0;
}

}  // namespace

TPFSManager& TPFSManager::Instance() {
  static TPFSManager instance;
  return instance;
}

TPFSManager::~TPFSManager() {
  TCriticalSectionGuard guard(lock_);
  list_.DestroyAll();
}

void TPFSManager::SetContainerStore(TContainerStoreFactory factory,
                                    TContainerEncryptedProbe probe) {
  TCriticalSectionGuard guard(ContainerMutex());
  Container().factory = std::move(factory);
  Container().probe = std::move(probe);
}

bool TPFSManager::HasContainerStore() {
  TCriticalSectionGuard guard(ContainerMutex());
  return static_cast<bool>(Container().factory);
}

void TPFSManager::Lock() {
  lock_.Enter();
  ++lock_depth_;
}

void TPFSManager::Unlock() {
  --lock_depth_;
  lock_.Leave();
}

TAbstractPlainFileSystem* TPFSManager::Register(std::unique_ptr<TAbstractPlainFileSystem> pfs) {
  return list_.Add(std::move(pfs));
}

int TPFSManager::RegisteredCount() {
  RegistryGuard guard(*this);
  return list_.Count();
}

TAbstractPlainFileSystem* TPFSManager::FindPFS(const std::string& name, TFileStoreMode storeMode) {
  RegistryGuard guard(*this);
  std::string wanted = AsciiLower(name);
  const auto& list = list_.Items();
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if ((*it)->StoreMode() == storeMode && AsciiLower((*it)->Name()) == wanted) return it->get();
  return nullptr;
}

TAbstractPlainFileSystem* TPFSManager::GetPFSHandle(const std::string& name,
                                                    const std::string& password, int storeMode,
                                                    bool& readOnly, bool inMemory,
                                                    TDatabaseFileMode fileMode) {
  RegistryGuard guard(*this);
  if (storeMode >= fsmDisk && storeMode <= fsmTemporary) {
    if (TAbstractPlainFileSystem* found = FindPFS(name, static_cast<TFileStoreMode>(storeMode))) {
      if (storeMode == fsmSingleFile) readOnly = found->ReadOnly();
      return found;
    }
  }
  try {
    std::unique_ptr<TAbstractPlainFileSystem> made;
    switch (storeMode) {
      case fsmDisk:
        made = std::make_unique<TDiskPlainFileSystem>(name);
        break;
      case fsmSingleFile: {
        if (!IsExistingFile(name)) return nullptr;
        if (!readOnly) readOnly = !ContainerFileIsWritable(name);
        ContainerStore store = ContainerSnapshot();
        if (!store.factory) return nullptr;
        made = store.factory(name, password, fileMode, readOnly, inMemory, false);
        if (made) readOnly = readOnly || made->ReadOnly();
        break;
      }
      case fsmMemory:
        made = std::make_unique<TMemoryPlainFileSystem>(name);
        break;
      case fsmTemporary:
        made = std::make_unique<TTemporaryPlainFileSystem>(name);
        break;
      default:
        throw Exception("TPFSManager.GetPFSHandle - Unsuuported file store mode.");
    }
    if (!made) return nullptr;
    return Register(std::move(made));
  } catch (...) {
    return nullptr;
  }
}

void TPFSManager::DropPFS(const std::string& name) {
  RegistryGuard guard(*this);
  TAbstractPlainFileSystem* found = FindPFS(name, fsmSingleFile);
  if (!found) return;
  std::unique_ptr<TAbstractPlainFileSystem> dropped = list_.Take(found);
  // Destroyed here, still under the lock: closing a container may write.
  dropped.reset();
}

bool TPFSManager::CreatePFS(const std::string& name, const std::string& password, bool inMemory,
                            TDatabaseFileMode fileMode) {
  RegistryGuard guard(*this);
  DropPFS(name);
  try {
    ContainerStore store = ContainerSnapshot();
    if (!store.factory) return false;
    std::unique_ptr<TAbstractPlainFileSystem> made =
        store.factory(name, password, fileMode, false, inMemory, true);
    if (!made) return false;
    Register(std::move(made));
  } catch (...) {
    return false;
  }
  if (!inMemory) DropPFS(name);
  return true;
}

}  // namespace kivo
