#include "console/delimited_export.h"

#include <cerrno>
#include <cstring>

#include "platform/errors.h"

namespace kartova {

namespace {

constexpr std::size_t kBufferBytes = 1 << 20;
constexpr std::size_t kGridValueLimit = 50;

}  // namespace

TExportFile::TExportFile(const std::string& path) : path_(path) {
  if (path == "-") {
    file_ = stdout;
  } else {
    errno = 0;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
      const int err = errno;
      throw kivo::EInOutError("Cannot create file \"" + path + "\". " + std::strerror(err), err);
    }
    owned_ = true;
  }
  buffer_.reserve(kBufferBytes);
}

TExportFile::~TExportFile() {
  if (owned_ && file_ != nullptr) std::fclose(file_);
}

void TExportFile::Write(std::string_view bytes) {
  if (buffer_.size() + bytes.size() > kBufferBytes) Flush();
  if (bytes.size() >= kBufferBytes) {
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) Fail(errno);
    return;
  }
  buffer_.append(bytes);
}

void TExportFile::Flush() {
  if (buffer_.empty()) return;
  errno = 0;
  if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) Fail(errno);
  buffer_.clear();
}

void TExportFile::Close() {
  Flush();
  errno = 0;
  if (std::fflush(file_) != 0) Fail(errno);
  if (owned_) {
    std::FILE* f = file_;
    file_ = nullptr;
    if (std::fclose(f) != 0) Fail(errno);
  }
}

void TExportFile::Fail(int err) const {
  const std::string name = path_ == "-" ? std::string("standard output") : "file \"" + path_ + "\"";
  throw kivo::EInOutError("Cannot write " + name + ". " + std::strerror(err != 0 ? err : EIO), err);
}

void AppendDelimitedValue(std::string& line, std::string_view value, std::string_view delimiter) {
  if (delimiter.empty() || value.find(delimiter) == std::string_view::npos) {
    line.append(value);
    return;
  }
  line.push_back('"');
  for (char c : value) {
    if (c == '"') line.push_back('"');
    line.push_back(c);
  }
  line.push_back('"');
}

std::string GridExportValue(std::string_view displayText) {
  std::string value(displayText.substr(0, kGridValueLimit));
  for (char& c : value) {
    if (c == ',') c = '.';
  }
  return value;
}

}  // namespace kartova
