// The file operations a table manager needs from its database: open, close,
// test, delete and rename files by name and store mode, and copy an
// in-memory file to the database's main store. The database manager of the
// component layer implements it; the table engine sees nothing else of it.
#pragma once

#include <string>

#include "storage/file_layer.h"

namespace kivo {

class TTableFileStore {
 public:
  virtual ~TTableFileStore() = default;

  // The database's path; two stores with the same Path are one database.
  virtual const std::string& Path() const = 0;
  // Mode 0 is the database's own store mode. Returns nullptr or raises when
  // the file cannot be opened.
  virtual TAbstractFile* OpenFile(const std::string& name, int mode, bool create,
                                  bool exclusive, bool readOnly) = 0;
  virtual void CloseFile(TAbstractFile* file) = 0;
  virtual bool FileExists(const std::string& name, int mode) = 0;
  virtual bool DeleteFile(const std::string& name, int mode) = 0;
  virtual bool RenameFile(const std::string& oldName, const std::string& newName, int mode) = 0;
  // Copies a file of the memory store into the main store; false on failure.
  virtual bool SaveMemoryFile(const std::string& name) = 0;
};

}  // namespace kivo
