// The scope owner of an open file.
//
// A file opened by name comes from an owner that must also close it: a
// plain file system, or a table file store that routes files to one of
// several file systems. TOpenFile pairs the file with that owner and closes
// it through the owner when the handle is destroyed, on every exit path, so
// no caller writes a catch-and-rethrow chain to close a file.
#pragma once

#include <utility>

namespace kivo {

class TAbstractFile;

// What hands out files and takes them back. Closing is the owner's business:
// a disk store destroys the file, a memory or temporary store keeps it.
class TFileCloser {
 public:
  virtual void CloseFile(TAbstractFile* file) = 0;

 protected:
  ~TFileCloser() = default;
};

// A move-only open file. Empty when default-built, moved from or released,
// and when the owner's open answered nullptr.
class TOpenFile {
 public:
  TOpenFile() = default;
  // Takes ownership of `file` (may be nullptr), closed through `owner`.
  TOpenFile(TFileCloser& owner, TAbstractFile* file) : owner_(&owner), file_(file) {}
  // A close that fails here is dropped: every owner gives the file up
  // before anything in its close can fail, so nothing is left open.
  ~TOpenFile() {
    try {
      Close();
    } catch (...) {
    }
  }
  TOpenFile(TOpenFile&& other) noexcept
      : owner_(std::exchange(other.owner_, nullptr)), file_(std::exchange(other.file_, nullptr)) {}
  TOpenFile& operator=(TOpenFile&& other) noexcept {
    if (this != &other) {
      TOpenFile dropped(std::move(*this));
      owner_ = std::exchange(other.owner_, nullptr);
      file_ = std::exchange(other.file_, nullptr);
    }
    return *this;
  }
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;

  TAbstractFile* get() const { return file_; }
  TAbstractFile* operator->() const { return file_; }
  TAbstractFile& operator*() const { return *file_; }
  explicit operator bool() const { return file_ != nullptr; }

  // Closes the file now, reporting a failure; the handle is empty afterwards.
  void Close() {
    TAbstractFile* file = std::exchange(file_, nullptr);
    if (file != nullptr) owner_->CloseFile(file);
  }
  // Gives the file back to the caller, who must close it through its owner.
  TAbstractFile* Release() { return std::exchange(file_, nullptr); }

 private:
  TFileCloser* owner_ = nullptr;
  TAbstractFile* file_ = nullptr;
};

}  // namespace kivo
