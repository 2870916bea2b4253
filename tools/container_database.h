// kvbtool's view of a single-file container.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/opened_database.h"

namespace kivo {
class TPagybox;
class TPagyPlainFileSystem;
}  // namespace kivo

namespace kivo::tools {

class TContainerDatabase : public TInspectedDatabase {
 public:
  TContainerDatabase(const std::string& path, const std::string& password);
  ~TContainerDatabase() override;

  // The header, the geometry derived from it, the part files and the free
  // pages. Needs no password: the header and the free-space maps are never
  // encrypted.
  void WriteInfo(std::ostream& out) override;
  std::vector<TListedFile> ListFiles() override;
  void CopyFile(const std::string& name, std::ostream& out) override;
  std::vector<std::string> Check() override;
  TAbstractPlainFileSystem& PlainFiles() override;
  bool AnsiNames() const override { return true; }

 private:
  // The container opened read-only with the password, made on first use.
  // Raises the container's own errors (missing file, damaged header, wrong
  // password, unreadable directory).
  TPagybox& Box();
  TPagyPlainFileSystem& FileSystem();

  std::string path_;
  std::string password_;
  std::unique_ptr<TPagyPlainFileSystem> files_;
};

}  // namespace kivo::tools
