// Helpers for tests: a private temporary directory per test.
#pragma once

#include <string>

namespace kivo::testing {

// Creates a fresh directory under $TMPDIR (or /tmp) and removes it, with
// everything in it, when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's path, without a trailing slash.
  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Writes `content` to `path`, replacing the file; throws std::runtime_error on failure.
void WriteFileBytes(const std::string& path, const std::string& content);
// Reads a whole file; throws std::runtime_error when it cannot be read.
std::string ReadFileBytes(const std::string& path);

}  // namespace kivo::testing
