#include "storage/container/pagy_file_system.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/errors.h"
#include "platform/file_util.h"
#include "platform/locale.h"

namespace kivo {

namespace {

// Container open modes.
constexpr std::uint16_t kCreateMode = 0xFFFF;
constexpr std::uint16_t kReadAccess = 0x00;
constexpr std::uint16_t kReadWriteAccess = 0x02;
constexpr std::uint16_t kExclusiveShare = 0x10;
constexpr std::uint16_t kDenyWriteShare = 0x20;
constexpr std::uint16_t kShareAll = 0x40;

// Enumerate every attribute, so that directories come back too and can be
// told apart by their attribute.
constexpr std::int32_t kAllAttributes = 63;
constexpr std::int32_t kDirectoryAttribute = 0x10;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

// ---------------------------------------------------------------- TPagyFile

TPagyFile::TPagyFile(TPagyPlainFileSystem* owner, TPagybox& box, std::string fileName)
    : TAbstractFile(owner, std::move(fileName)), box_(box) {}

TPagyFile::~TPagyFile() {
  try {
    Close();
  } catch (const std::exception&) {
    // Nothing can be reported from a destructor; Close gave the handle back.
  }
}

void TPagyFile::SetExclusive(bool value) {
  if (value == exclusive_) return;
  exclusive_ = value;
  if (IsOpen()) Reopen();
}

void TPagyFile::SetReadOnly(bool value) {
  if (value == read_only_) return;
  read_only_ = value;
  if (IsOpen()) Reopen();
}

std::uint16_t TPagyFile::OpenMode(bool create) const {
  if (create) return kCreateMode;
  return static_cast<std::uint16_t>((read_only_ ? kReadAccess : kReadWriteAccess) |
                                    (exclusive_ ? kExclusiveShare : kShareAll));
}

bool TPagyFile::TryOpen(bool create) {
  if (handle_ >= 0) {
    box_.FileClose(handle_);
    handle_ = -1;
  }
  try {
    std::int32_t h = box_.FileOpen(file_name_, OpenMode(create));
    if (h < 0) return false;
    handle_ = h;
    return true;
  } catch (const std::exception&) {
    // A container that refuses the open (read-only, out of space, damaged
    // directory) is a failed open like any other.
    return false;
  }
}

void TPagyFile::Open(bool create) {
  if (TryOpen(create)) return;
  if (create) throw Exception("Cannot create file " + Quoted(file_name_));
  if (read_only_) throw Exception("Cannot open file " + Quoted(file_name_));
  read_only_ = true;
  if (TryOpen(false)) return;
  read_only_ = false;
  throw Exception("Cannot open file " + Quoted(file_name_));
}

void TPagyFile::Close() {
  if (handle_ < 0) return;
  std::int32_t h = handle_;
  try {
    Flush();
  } catch (...) {
    handle_ = -1;
    box_.FileClose(h);
    throw;
  }
  handle_ = -1;
  box_.FileClose(h);
}

void TPagyFile::Flush() { box_.FlushBuffers(); }

std::int64_t TPagyFile::Position() const { return box_.FileSeek(handle_, kFromCurrent, 0); }

void TPagyFile::SetSize(std::int32_t newSize) {
  if (handle_ < 0)
    throw Exception("TPagyFile.SetSize - File " + Quoted(file_name_) + " is not open.");
  if (newSize < 0)
    throw Exception("TPagyFile.SetSize - Invalid size " + std::to_string(newSize) + " for file " +
                    Quoted(file_name_) + ".");
  std::int64_t result = box_.FileSetSize(handle_, newSize);
  if (result != newSize)
    throw Exception("TPagyFile.SetSize - Cannot set the size of file " + Quoted(file_name_) +
                    " to " + std::to_string(newSize) + ", error code " + std::to_string(result) +
                    ".");
}

std::int32_t TPagyFile::Read(void* buffer, std::int32_t count) {
  if (handle_ < 0 || count <= 0) return 0;
  std::int32_t done = box_.FileRead(handle_, buffer, count);
  return done > 0 ? done : 0;
}

std::int32_t TPagyFile::Seek(std::int32_t offset, int origin) {
  if (handle_ < 0) return -1;
  const std::int64_t current = Position();
  std::int64_t base;
  switch (origin) {
    case kFromBeginning:
      base = 0;
      break;
    case kFromCurrent:
      base = current;
      break;
    case kFromEnd:
      base = box_.FileGetSize(handle_);
      break;
    default:
      return -1;
  }
  const std::int64_t target = base + offset;
  if (target < 0 || target > kMaxFilePosition) {
    box_.FileSeek(handle_, kFromBeginning, current);
    return -1;
  }
  return static_cast<std::int32_t>(box_.FileSeek(handle_, kFromBeginning, target));
}

std::int32_t TPagyFile::Write(const void* buffer, std::int32_t count) {
  if (handle_ < 0 || count <= 0) return 0;
  const std::int64_t position = Position();
  if (position < 0 || position >= kMaxFilePosition) return 0;
  const std::int32_t n =
      static_cast<std::int32_t>(std::min<std::int64_t>(count, kMaxFilePosition - position));
  std::int32_t done = box_.FileWrite(handle_, buffer, n);
  return done > 0 ? done : 0;
}

// ---------------------------------------------------------------- TPagyPlainFileSystem

TPagyPlainFileSystem::TPagyPlainFileSystem(const std::string& name, const std::string& password,
                                           TDatabaseFileMode fileMode, bool readOnly, bool inMemory,
                                           bool createNew)
    : TAbstractPlainFileSystem(name, fsmSingleFile), read_only_(readOnly), in_memory_(inMemory) {
  std::uint16_t mode;
  if (createNew) {
    mode = kCreateMode;
  } else if (readOnly) {
    mode = kReadAccess | kShareAll;
  } else {
    mode = kReadWriteAccess | kDenyWriteShare;
  }
  const int extentPageCount = ExtentPageCountOf(fileMode);
  DefaultExtentPageCount = extentPageCount;
  box_ = std::make_unique<TPagybox>(name, mode, inMemory, password, std::string(), std::string(),
                                    PageSizeOf(fileMode), extentPageCount, -1);
}

TPagyPlainFileSystem::~TPagyPlainFileSystem() {
  // The files hold container handles: they go before the container does.
  while (OpenFileCount() > 0) delete OpenFiles().back();
  box_.reset();
}

TAbstractFile* TPagyPlainFileSystem::OpenFile(const std::string& fileName, bool create,
                                              bool exclusive, bool readOnly) {
  if (FindFile(fileName))
    throw Exception("TPagyPlainFileSystem.OpenFile - File " + Quoted(fileName) +
                    " is already open.");
  auto file = std::make_unique<TPagyFile>(this, *box_, fileName);
  file->SetExclusive(exclusive);
  file->SetReadOnly(readOnly);
  file->Open(create);
  return file.release();
}

void TPagyPlainFileSystem::CloseFile(TAbstractFile* file) { delete file; }

bool TPagyPlainFileSystem::DeleteFile(const std::string& fileName) {
  return box_->FileDelete(fileName);
}

bool TPagyPlainFileSystem::RenameFile(const std::string& oldName, const std::string& newName) {
  return box_->FileRename(oldName, newName);
}

bool TPagyPlainFileSystem::FileExists(const std::string& fileName) {
  return box_->FileExists(fileName);
}

void TPagyPlainFileSystem::GetFileNames(const std::string& extension,
                                        std::vector<std::string>& list) {
  list.clear();
  TSearchRec rec;
  std::int32_t found = box_->FindFirst("\\*" + extension, kAllAttributes, rec);
  // The search slot is given back however the enumeration ends.
  struct Closer {
    TPagybox& box;
    TSearchRec& rec;
    ~Closer() { box.FindClose(rec); }
  } closer{*box_, rec};
  for (; found == 0; found = box_->FindNext(rec)) {
    if ((rec.Attr & kDirectoryAttribute) != 0) continue;
    std::string name = rec.Name;
    name.resize(name.size() - ExtractFileExt(name).size());
    const bool listed = std::any_of(list.begin(), list.end(), [&](const std::string& other) {
      return AnsiSameText(other, name);
    });
    if (!listed) list.push_back(name);
  }
}

bool TPagyPlainFileSystem::IsFileEncrypted(const std::string& fileName) {
  return pagy::IsFileEncrypted(fileName);
}

// ---------------------------------------------------------------- registration

void RegisterContainerStore() {
  TPFSManager::SetContainerStore(
      [](const std::string& name, const std::string& password, TDatabaseFileMode fileMode,
         bool readOnly, bool inMemory,
         bool createNew) -> std::unique_ptr<TAbstractPlainFileSystem> {
        return std::make_unique<TPagyPlainFileSystem>(name, password, fileMode, readOnly, inMemory,
                                                      createNew);
      },
      [](const std::string& path) { return TPagyPlainFileSystem::IsFileEncrypted(path); });
}

}  // namespace kivo
