// The console's two delimited-text exports, written record by record:
// the file they go to, the command-line export's quoting, and the grid
// export's cut values.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kartova {

// Where an export writes: a named file, created or replaced, or standard
// output for "-". Writes are buffered; every failure raises kivo::EInOutError
// with the file's name and the system's reason. What was written before a
// failure stays written.
class TExportFile {
 public:
  explicit TExportFile(const std::string& path);
  ~TExportFile();
  TExportFile(const TExportFile&) = delete;
  TExportFile& operator=(const TExportFile&) = delete;

  void Write(std::string_view bytes);
  // Writes what is buffered and closes the file (standard output is only
  // flushed).
  void Close();

 private:
  void Flush();
  [[noreturn]] void Fail(int err) const;

  std::string path_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string buffer_;
};

// Appends `value` to `line` as the command-line export writes it: unchanged,
// or, when it contains `delimiter`, enclosed in double quotes with each
// double quote inside doubled.
void AppendDelimitedValue(std::string& line, std::string_view value, std::string_view delimiter);

// A value as the grid export writes it: its first 50 characters, with every
// "," replaced by ".".
std::string GridExportValue(std::string_view displayText);

}  // namespace kartova
