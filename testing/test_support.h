// Helpers for tests: a private temporary directory per test, whole-file
// reads and writes, and the outcome of a call that is expected to raise.
#pragma once

#include <functional>
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

// What MessageOf and WhatOf return when the call raises nothing.
inline constexpr char kNoException[] = "(no exception)";

// Runs `fn` and returns the message of the engine exception (kivo::Exception
// or a class derived from it) it raises, or kNoException. Any other
// exception passes through, so that the test reports it as unexpected.
std::string MessageOf(const std::function<void()>& fn);
// As MessageOf, but for any std::exception: its what().
std::string WhatOf(const std::function<void()>& fn);
// Runs `fn` and returns the NativeError of the ZorException it raises, or 0
// when it raises nothing. Other exceptions pass through.
int NativeErrorOf(const std::function<void()>& fn);

}  // namespace kivo::testing
