// The file operations a table manager needs from its database: open, close,
// test, delete and rename files by name and store mode, and copy an
// in-memory file to the database's main store. The database manager of the
// component layer implements it; the table engine sees nothing else of it.
#pragma once

#include <string>
#include <utility>

#include "storage/file_layer.h"

namespace kivo {

class TTableFileStore : public TFileCloser {
 public:
  virtual ~TTableFileStore() = default;

  // The database's path; two stores with the same Path are one database.
  virtual const std::string& Path() const = 0;
  // Mode 0 is the database's own store mode. Returns nullptr or raises when
  // the file cannot be opened.
  virtual TAbstractFile* OpenFile(const std::string& name, int mode, bool create, bool exclusive,
                                  bool readOnly) = 0;
  void CloseFile(TAbstractFile* file) override = 0;
  // OpenFile, owned by a handle that closes the file through this store.
  TOpenFile OpenScoped(const std::string& name, int mode, bool create, bool exclusive,
                       bool readOnly) {
    return TOpenFile(*this, OpenFile(name, mode, create, exclusive, readOnly));
  }
  virtual bool FileExists(const std::string& name, int mode) = 0;
  virtual bool DeleteFile(const std::string& name, int mode) = 0;
  virtual bool RenameFile(const std::string& oldName, const std::string& newName, int mode) = 0;
  // Copies a file of the memory store into the main store; false on failure.
  virtual bool SaveMemoryFile(const std::string& name) = 0;
};

// A database that is one plain file system: every store mode reaches it, and
// there is no memory store to save from. Tools, tests and benchmarks use it
// to open tables without a session.
class TPlainTableFileStore : public TTableFileStore {
 public:
  TPlainTableFileStore(TAbstractPlainFileSystem& files, std::string path)
      : files_(files), path_(std::move(path)) {}

  const std::string& Path() const override { return path_; }
  TAbstractFile* OpenFile(const std::string& name, int, bool create, bool exclusive,
                          bool readOnly) override {
    return files_.OpenFile(name, create, exclusive, readOnly);
  }
  void CloseFile(TAbstractFile* file) override { files_.CloseFile(file); }
  bool FileExists(const std::string& name, int) override { return files_.FileExists(name); }
  bool DeleteFile(const std::string& name, int) override { return files_.DeleteFile(name); }
  bool RenameFile(const std::string& oldName, const std::string& newName, int) override {
    return files_.RenameFile(oldName, newName);
  }
  bool SaveMemoryFile(const std::string&) override { return false; }

  TAbstractPlainFileSystem& Files() const { return files_; }

 private:
  TAbstractPlainFileSystem& files_;
  std::string path_;
};

namespace detail {
// Built before the store that refers to it (a base class is built first).
struct TOwnedDiskFiles {
  explicit TOwnedDiskFiles(const std::string& path) : disk(path) {}
  TDiskPlainFileSystem disk;
};
}  // namespace detail

// A directory database with its own disk file system.
class TDirectoryTableFileStore : private detail::TOwnedDiskFiles, public TPlainTableFileStore {
 public:
  explicit TDirectoryTableFileStore(const std::string& path)
      : TOwnedDiskFiles(path), TPlainTableFileStore(disk, path) {}
};

}  // namespace kivo
