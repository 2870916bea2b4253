#include "storage/container/pagybox.h"

#include <limits>

#include "platform/errors.h"
#include "platform/file_util.h"
#include "platform/locale.h"
#include "storage/container/integrity.h"
#include "storage/crypto/password.h"

namespace kivo {

namespace {

// Geometry used to open a container only for its header; the header's own
// values replace it.
constexpr std::int32_t kProbePageSize = 4096;
constexpr std::int32_t kProbeExtentPageCount = 8;

std::string DoubleQuoted(const std::string& text) { return AnsiQuotedStr(text, '"'); }

}  // namespace

namespace pagy {

bool CheckContainerPassword(const std::string& fileName, const std::string& password) {
  TPageFileManager probe(fileName, kOpenReadOnly, {}, {}, {}, false, kProbePageSize,
                         kProbeExtentPageCount, -1);
  if (probe.Header().Encrypted() != 1) return true;
  std::string key;
  return CheckPassword(std::span<const std::uint8_t, kPasswordRecordSize>(
                           probe.Header().PasswordRecord(), kPasswordRecordSize),
                       password, key);
}

bool IsFileEncrypted(const std::string& fileName) {
  TPageFileManager probe(fileName, kOpenReadOnly, {}, {}, {}, false, kProbePageSize,
                         kProbeExtentPageCount, -1);
  return probe.Header().Encrypted() == 1;
}

}  // namespace pagy

TPagybox::TPagybox(const std::string& fileName, std::uint16_t openMode, bool inMemory,
                   const std::string& password, const std::string& question,
                   const std::string& answer, std::int32_t pageSize, std::int32_t extentPageCount,
                   std::int64_t partSize) {
  in_memory_ = inMemory;
  file_name_ = fileName;
  open_mode_ = openMode;
  if (in_memory_ && open_mode_ == kContainerCreate && kivo::FileExists(file_name_))
    open_mode_ = kOpenReadWrite;
  if (open_mode_ != kContainerCreate && !pagy::CheckContainerPassword(file_name_, password))
    throw Exception("TPagybox.Create - invalid password specified, file name = " +
                    DoubleQuoted(file_name_));
  page_manager_ =
      std::make_unique<TPageFileManager>(file_name_, open_mode_, password, question, answer,
                                         in_memory_, pageSize, extentPageCount, partSize);
  password_ = password;
  free_space_ = std::make_unique<TFreeSpaceManager>(*page_manager_);
  directory_ = std::make_unique<TDIRManager>(*page_manager_, *free_space_);
  read_only_ = page_manager_->ReadOnly();
  exclusive_ = page_manager_->Exclusive();
  if (!IsEncrypted()) password_.clear();
  if (page_manager_->WriterDied() && !read_only_) ReclaimUnreferencedPages();
}

void TPagybox::ReclaimUnreferencedPages() {
  // Only when no other writer is there (WriterDied says so): a live
  // writer's pages are allocated before its page maps name them.
  std::vector<std::int32_t> pages = UnreferencedPages(*this);
  if (pages.empty()) return;
  try {
    free_space_->FreePages(pages);
  } catch (const Exception&) {
    // The pages stay allocated, as they were; the container is usable.
  }
}

TPagybox::~TPagybox() {
  try {
    page_manager_->Flush();
  } catch (const std::exception&) {
    // Nothing can be reported from a destructor; the data already went to the stream.
  }
  handles_.clear();
  directory_.reset();
  free_space_.reset();
  page_manager_.reset();
}

// ---------------------------------------------------------------------------
// Files by path

std::int32_t TPagybox::FileOpen(const std::string& path, std::uint16_t openMode,
                                const std::string& password, const std::string& question,
                                const std::string& answer) {
  last_error_ = 0;
  std::string filePassword = password;
  if (openMode == kContainerCreate) {
    if (read_only_) {
      last_error_ = -1;
      return -1;
    }
    const std::int32_t existing = directory_->FindPath(path);
    // A directory is never replaced by a file.
    if (existing >= 0 && directory_->ReadItem(existing).IsDir()) return -1;
    if (existing >= 0 && !FileDelete(path)) {
      // The file is open: it stays as it is and is opened below.
      last_error_ = kErrFileInUse;
    } else if (directory_->CreateFile(path, password, question, answer) < 0) {
      last_error_ = directory_->LastError();
    }
  } else if (FileExists(path) && !directory_->CheckFilePassword(path, filePassword)) {
    const std::string caption = "Password for \"" + path + "\"";
    for (;;) {
      std::string answerText;
      if (!OnPasswordPrompt || !OnPasswordPrompt(caption, "Enter password: ", answerText))
        return -1;
      if (directory_->CheckFilePassword(path, answerText)) {
        filePassword = answerText;
        break;
      }
    }
  }

  if (next_handle_ == std::numeric_limits<std::int32_t>::max()) return -1;  // handles exhausted
  std::string key;
  const std::int32_t itemNo = directory_->OpenFile(path, filePassword, key);
  if (itemNo < 0) return itemNo;
  const std::int32_t handle = next_handle_++;
  TUserFileHandle& h = handles_[handle];
  h.DirItemNo = itemNo;
  h.Position = 0;
  h.OpenMode = openMode;
  h.Key = std::move(key);
  return handle;
}

void TPagybox::FileClose(std::int32_t handle) {
  auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  directory_->CloseFile(it->second.DirItemNo);
  handles_.erase(it);
}

bool TPagybox::FileDelete(const std::string& path) {
  if (read_only_) return false;
  const std::int32_t n = directory_->FindPath(path);
  if (n < 0 || directory_->OpenCount(n) >= 1) return false;
  TDIRItem item = directory_->ReadItem(n);
  // A directory that still holds items would leave them unreachable.
  if (item.IsDir()) {
    const auto [lo, hi] = directory_->Items().ParentRange(n);
    if (lo != hi) return false;
  }
  // The item is marked deleted before its pages are given back: a process
  // that dies in between leaves pages that stay allocated, never a live
  // item whose map names freed pages.
  TDIRItem deleted = item;
  deleted.Deleted = 1;
  deleted.LastWriteTime = deleted.LastAccessTime = DirItemNow();
  deleted.Size = 0;
  deleted.FirstMapPageNo = -1;
  directory_->WriteItem(n, deleted);
  ReleaseFilePages(item);
  return true;
}

bool TPagybox::FileRename(const std::string& oldPath, const std::string& newPath) {
  if (read_only_) return false;
  return directory_->RenameFile(oldPath, newPath);
}

bool TPagybox::FileExists(const std::string& path) const { return directory_->FindPath(path) >= 0; }

std::int32_t TPagybox::FindFirst(const std::string& pattern, std::int32_t attributes,
                                 TSearchRec& rec) {
  return directory_->FindFirst(pattern, attributes, rec);
}

std::int32_t TPagybox::FindNext(TSearchRec& rec) { return directory_->FindNext(rec); }

void TPagybox::FindClose(TSearchRec& rec) { directory_->FindClose(rec); }

bool TPagybox::CreateDirectory(const std::string& path) {
  return directory_->CreateDirectory(path);
}

bool TPagybox::ForceDirectories(const std::string& path) {
  return directory_->ForceDirectories(path);
}

bool TPagybox::DirectoryExists(const std::string& path) {
  return directory_->DirectoryExists(path);
}

TUserFileHandle* TPagybox::FindHandle(std::int32_t handle) {
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

const TUserFileHandle* TPagybox::FindHandle(std::int32_t handle) const {
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

void TPagybox::ReleaseFilePages(TDIRItem& item) {
  if (item.FirstMapPageNo == -1) return;
  // Size 0 releases every data page and the map itself.
  if (!PageMaps().SetFileSize(item, true, 0) || item.FirstMapPageNo != -1)
    throw Exception("TPagybox.FileDelete - can not release the pages of file " +
                    DoubleQuoted(item.Name));
}

}  // namespace kivo
