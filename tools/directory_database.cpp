// A database kept as a directory of plain files on disk: every regular file
// of the folder belongs to it (tables are groups of .dat, .idx, .bif, .bdf
// and, after a flush cut short, .jnl files), read through the engine's disk
// file system.
#include "tools/directory_database.h"

#include <algorithm>

#include "platform/errors.h"
#include "platform/file_util.h"
#include "storage/file_layer.h"

namespace kivo::tools {

namespace {

constexpr std::int32_t kCopyChunk = 64 * 1024;

}  // namespace

TDirectoryDatabase::TDirectoryDatabase(const std::string& path)
    : path_(path), folder_(IncludeTrailingPathDelimiter(path)) {}

TAbstractPlainFileSystem& TDirectoryDatabase::PlainFiles() {
  if (!files_) files_ = std::make_unique<TDiskPlainFileSystem>(folder_);
  return *files_;
}

std::vector<std::string> TDirectoryDatabase::FileNames() const {
  return kivo::ListFiles(folder_, "");
}

void TDirectoryDatabase::RequireFile(const std::string& name) const {
  const std::vector<std::string> names = FileNames();
  if (std::find(names.begin(), names.end(), name) == names.end())
    throw Exception("No file \"" + name + "\" in the database " + path_);
}

void TDirectoryDatabase::WriteInfo(std::ostream& out) {
  const std::vector<std::string> names = FileNames();
  std::int64_t total = 0;
  TDiskPlainFileSystem fs(folder_);
  for (const std::string& name : names) {
    const TOpenFile file = fs.OpenScoped(name, false, false, true);
    total += file->GetSize();
  }
  out << "database:            " << path_ << "\n"
      << "kind:                directory database\n"
      << "files:               " << names.size() << "\n"
      << "bytes in files:      " << total << "\n";
}

std::vector<TListedFile> TDirectoryDatabase::ListFiles() {
  std::vector<TListedFile> listed;
  TDiskPlainFileSystem fs(folder_);
  for (const std::string& name : FileNames()) {
    const TOpenFile file = fs.OpenScoped(name, false, false, true);
    listed.push_back({name, file->GetSize(), false});
  }
  return listed;
}

void TDirectoryDatabase::CopyFile(const std::string& name, std::ostream& out) {
  RequireFile(name);
  TDiskPlainFileSystem fs(folder_);
  const TOpenFile file = fs.OpenScoped(name, false, false, true);
  const std::int32_t size = file->GetSize();
  std::vector<char> buffer(kCopyChunk);
  std::int32_t done = 0;
  file->SetPosition(0);
  while (done < size) {
    const std::int32_t want = std::min(kCopyChunk, size - done);
    const std::int32_t got = file->Read(buffer.data(), want);
    if (got <= 0)
      throw Exception("Cannot read file \"" + name + "\" at byte " + std::to_string(done));
    out.write(buffer.data(), got);
    done += got;
  }
}

std::vector<std::string> TDirectoryDatabase::Check() {
  // A directory database has no structure of its own to verify beyond its
  // files being there and readable to their ends.
  std::vector<std::string> problems;
  TDiskPlainFileSystem fs(folder_);
  std::vector<char> buffer(kCopyChunk);
  for (const std::string& name : FileNames()) {
    try {
      const TOpenFile file = fs.OpenScoped(name, false, false, true);
      const std::int32_t size = file->GetSize();
      std::int32_t done = 0;
      file->SetPosition(0);
      while (done < size) {
        const std::int32_t got = file->Read(buffer.data(), std::min(kCopyChunk, size - done));
        if (got <= 0) break;
        done += got;
      }
      if (done < size)
        problems.push_back("file \"" + name + "\": only " + std::to_string(done) + " of " +
                           std::to_string(size) + " bytes could be read");
    } catch (const std::exception& e) {
      problems.push_back("file \"" + name + "\": " + e.what());
    }
  }
  return problems;
}

}  // namespace kivo::tools
