#include "tools/opened_database.h"

#include "platform/file_util.h"
#include "tools/container_database.h"
#include "tools/directory_database.h"

namespace kivo::tools {

std::unique_ptr<TInspectedDatabase> OpenInspectedDatabase(const std::string& path,
                                                          const std::string& password) {
  if (DirectoryExists(path)) return std::make_unique<TDirectoryDatabase>(path);
  return std::make_unique<TContainerDatabase>(path, password);
}

}  // namespace kivo::tools
