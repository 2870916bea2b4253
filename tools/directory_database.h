// kvbtool's view of a directory database: the regular files of one folder.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "storage/file_layer.h"
#include "tools/opened_database.h"

namespace kivo::tools {

class TDirectoryDatabase : public TInspectedDatabase {
 public:
  // REQUIRES: `path` names a directory.
  explicit TDirectoryDatabase(const std::string& path);

  void WriteInfo(std::ostream& out) override;
  std::vector<TListedFile> ListFiles() override;
  // Only names the folder lists are accepted, so a name cannot reach outside it.
  void CopyFile(const std::string& name, std::ostream& out) override;
  // Reads every file to its end.
  std::vector<std::string> Check() override;
  TAbstractPlainFileSystem& PlainFiles() override;
  bool AnsiNames() const override { return false; }

 private:
  std::vector<std::string> FileNames() const;
  void RequireFile(const std::string& name) const;

  std::string path_;    // as given
  std::string folder_;  // with a trailing "/"
  std::unique_ptr<TDiskPlainFileSystem> files_;
};

}  // namespace kivo::tools
