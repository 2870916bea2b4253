#include "platform/memory_status.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace kivo {

std::optional<std::uint64_t> ParseMemAvailable(std::string_view meminfo) {
  constexpr std::string_view kKey = "MemAvailable:";
  std::size_t pos = 0;
  while (pos < meminfo.size()) {
    const std::size_t end = std::min(meminfo.find('\n', pos), meminfo.size());
    std::string_view line = meminfo.substr(pos, end - pos);
    pos = end + 1;
    if (line.substr(0, kKey.size()) != kKey) continue;
    line.remove_prefix(kKey.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    std::uint64_t value = 0;
    std::size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
      const std::uint64_t digit = static_cast<std::uint64_t>(line[digits] - '0');
      if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
      value = value * 10 + digit;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    std::string_view unit = line.substr(digits);
    while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
    while (!unit.empty() && (unit.back() == ' ' || unit.back() == '\r')) unit.remove_suffix(1);
    if (unit.empty()) return value;
    if (unit == "kB") {
      if (value > UINT64_MAX / 1024) return std::nullopt;
      return value * 1024;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::uint64_t AvailablePhysicalMemory() {
  std::ifstream in("/proc/meminfo");
  if (in) {
    std::ostringstream text;
    text << in.rdbuf();
    if (const auto value = ParseMemAvailable(text.str())) return *value;
  }
  const long pages = ::sysconf(_SC_AVPHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::uint64_t TotalPhysicalMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

}  // namespace kivo
