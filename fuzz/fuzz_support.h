// What the fuzz programs share: a scratch directory for inputs that must be
// files, the sectioned input format of the programs that take several
// files at once, and the way a broken promise is reported.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kivo::fuzz {

// Reports a broken promise and aborts, so the fuzzer keeps the input.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

// A directory of this process for the files of one input, in memory
// (/dev/shm) where the machine has it. Emptied by Clear before each input.
class TScratchDir {
 public:
  TScratchDir() {
    std::error_code ec;
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base, ec)) base = std::filesystem::temp_directory_path();
    path_ = (base / ("kartova-fuzz-" + std::to_string(::getpid()))).string();
    std::filesystem::remove_all(path_, ec);
    std::filesystem::create_directories(path_);
  }
  ~TScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  // The directory, without a trailing separator.
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

  // Removes everything the last input left.
  void Clear() const {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ec))
      std::filesystem::remove_all(entry.path(), ec);
  }

  void Write(const std::string& name, std::string_view bytes) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("cannot write the scratch file " + File(name));
  }

 private:
  std::string path_;
};

// Inputs that hold several files are sections: a 4-byte little-endian
// length, then that many bytes, one after the other. A length that reaches
// past the end takes what is left; missing sections are empty.
inline std::vector<std::string_view> SplitSections(std::string_view bytes, std::size_t count) {
  std::vector<std::string_view> sections(count);
  std::size_t at = 0;
  for (std::size_t i = 0; i < count && at + 4 <= bytes.size(); ++i) {
    std::uint32_t length = 0;
    for (int b = 3; b >= 0; --b)
      length = (length << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(b)]);
    at += 4;
    const std::size_t take = std::min<std::size_t>(length, bytes.size() - at);
    sections[i] = bytes.substr(at, take);
    at += take;
  }
  return sections;
}

// The inverse of SplitSections, for the seed maker.
inline void AppendSection(std::string& out, std::string_view section) {
  const auto length = static_cast<std::uint32_t>(section.size());
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>((length >> (8 * b)) & 0xFF));
  out.append(section);
}

}  // namespace kivo::fuzz
