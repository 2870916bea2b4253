// A database as kvbtool sees it: a single-file container (.kvb) or a
// directory of plain files, opened read-only. Each kind can describe itself,
// list its files, copy one file's bytes out and check itself.
//
// Nothing here ever writes to the database: containers are opened with the
// read-only open mode, directory files with read-only access.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace kivo {
class TAbstractPlainFileSystem;
}

namespace kivo::tools {

// One line of a file listing.
struct TListedFile {
  std::string name;  // as shown to the user: UTF-8 for container names
  std::int64_t size = 0;
  bool directory = false;
};

class TInspectedDatabase {
 public:
  virtual ~TInspectedDatabase() = default;

  // Writes "label: value" lines describing the database.
  virtual void WriteInfo(std::ostream& out) = 0;
  // The files in name order; directories of a container are listed too,
  // their files under "dir\name".
  virtual std::vector<TListedFile> ListFiles() = 0;
  // Writes the whole content of file `name` to `out`. Raises when there is no
  // such file or it cannot be read to its end.
  virtual void CopyFile(const std::string& name, std::ostream& out) = 0;
  // The problems found, one line each; empty when the database is sound.
  // Raises when the database cannot be opened at all.
  virtual std::vector<std::string> Check() = 0;

  // The database's files as the table engine reads them, opened read-only
  // on first use. Raises when the database cannot be opened.
  virtual TAbstractPlainFileSystem& PlainFiles() = 0;
  // Whether names inside the database are spelled in the engine's code page
  // (so that typed names are converted to it and shown names back).
  virtual bool AnsiNames() const = 0;
};

// Command-line text in the engine's code page: valid UTF-8 is converted to
// Windows-1250, anything else is taken byte for byte.
std::string ToEngineText(const std::string& typed);

// Opens `path`: a directory is a directory database, anything else is taken
// for a container (whose own errors then say what is wrong with it). The
// password opens an encrypted container and files with a password of their own.
//
// Names and passwords come from the command line. A container spells its
// names and passwords in the engine's ANSI code page (Windows-1250), so
// valid UTF-8 is converted to it and listed names are converted back;
// a directory database uses the folder's names as they are.
std::unique_ptr<TInspectedDatabase> OpenInspectedDatabase(const std::string& path,
                                                          const std::string& password);

}  // namespace kivo::tools
