#include "platform/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/file_util.h"

namespace kivo {

namespace {

// Larger files are not settings files; reading them would only waste memory.
constexpr std::streamoff kMaxIniSize = 4 * 1024 * 1024;
constexpr const char* kRecentSection = "KRTCON";
constexpr int kRecentCount = 5;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Reads a whole file; false when it is missing, unreadable or too large.
bool ReadSmallFile(const std::string& path, std::string* content) {
  if (path.empty() || DirectoryExists(path)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || size > kMaxIniSize) return false;
  in.seekg(0, std::ios::beg);
  std::string text(static_cast<std::size_t>(size), '\0');
  if (size > 0 && !in.read(text.data(), size)) return false;
  *content = std::move(text);
  return true;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

// A "[name]" line gives the section name.
bool IsSectionLine(std::string_view line, std::string_view* name) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return false;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  *name = Trim(line.substr(1, close - 1));
  return true;
}

// A "key=value" line gives the key and value.
bool IsKeyLine(std::string_view line, std::string_view* key, std::string_view* value) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return false;
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  *key = Trim(line.substr(0, eq));
  if (key->empty()) return false;
  *value = line.substr(eq + 1);
  return true;
}

std::string EnvValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

TIniFile::TIniFile(const std::string& fileName) : file_name_(fileName) {
  std::string text;
  if (!ReadSmallFile(fileName, &text)) return;
  std::string section;
  bool in_section = false;
  for (const std::string_view line : SplitLines(text)) {
    std::string_view name, key, value;
    if (IsSectionLine(line, &name)) {
      section = Lower(name);
      in_section = true;
      sections_.push_back(section);
    } else if (in_section && IsKeyLine(line, &key, &value)) {
      if (value.size() && value.back() == '\r') value.remove_suffix(1);
      entries_.push_back(Entry{section, Lower(key), std::string(value)});
    }
  }
}

const TIniFile::Entry* TIniFile::Find(std::string_view section, std::string_view key) const {
  const std::string s = Lower(Trim(section));
  const std::string k = Lower(Trim(key));
  for (const Entry& e : entries_) {
    if (e.section == s && e.key == k) return &e;
  }
  return nullptr;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
  const Entry* e = Find(section, key);
  return e ? e->value : std::string(defaultValue);
}

bool TIniFile::SectionExists(std::string_view section) const {
  const std::string s = Lower(Trim(section));
  return std::find(sections_.begin(), sections_.end(), s) != sections_.end();
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return Find(section, key) != nullptr;
}

std::string KrtconConfigDirectory() {
  const std::string xdg = EnvValue("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is invalid and ignored, as the convention says.
  if (!xdg.empty() && xdg.front() == '/') return IncludeTrailingPathDelimiter(xdg) + "krtcon";
  const std::string home = EnvValue("HOME");
  if (!home.empty()) return IncludeTrailingPathDelimiter(home) + ".config/krtcon";
  return std::string();
}

std::string RecentIniPath() {
  const std::string dir = KrtconConfigDirectory();
  return dir.empty() ? std::string() : dir + "/recent.ini";
}

std::string KrtconIniPath() {
  const std::string beside = ProgramDirectory();
  if (!beside.empty() && FileExists(beside + "krtcon.ini")) return beside + "krtcon.ini";
  const std::string dir = KrtconConfigDirectory();
  return dir.empty() ? std::string() : dir + "/krtcon.ini";
}

std::vector<std::string> LoadRecent() {
  std::vector<std::string> list;
  const TIniFile ini(RecentIniPath());
  for (int i = 0; i < kRecentCount; ++i) {
    std::string value = ini.ReadString(kRecentSection, "File" + std::to_string(i), "");
    if (value.empty()) break;
    list.push_back(std::move(value));
  }
  return list;
}

namespace {

// Creates every missing directory along `dir`.
bool ForceDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  if (DirectoryExists(dir)) return true;
  const std::string parent =
      ExtractFilePath(dir.back() == '/' ? dir.substr(0, dir.size() - 1) : dir);
  if (!parent.empty() && parent != "/" && !ForceDirectories(parent.substr(0, parent.size() - 1))) {
    return false;
  }
  return ::mkdir(dir.c_str(), 0700) == 0 || (errno == EEXIST && DirectoryExists(dir));
}

}  // namespace

bool SaveRecent(const std::vector<std::string>& list) {
  const std::string path = RecentIniPath();
  if (path.empty()) return false;
  const std::size_t count = std::min<std::size_t>(list.size(), kRecentCount);
  for (std::size_t i = 0; i < count; ++i) {
    if (list[i].find_first_of("\r\n") != std::string::npos) return false;
  }
  if (!ForceDirectories(KrtconConfigDirectory())) return false;

  std::string text;
  if (FileExists(path) && !ReadSmallFile(path, &text)) return false;
  std::vector<std::string> lines;
  for (const std::string_view line : SplitLines(text)) lines.emplace_back(line);

  // Replace the values in the first [KRTCON] section; add the missing ones
  // after its last line, or a new section at the end.
  std::vector<bool> written(count, false);
  std::size_t section_end = lines.size();
  bool found_section = false;
  bool inside = false;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::string_view name, key, value;
    if (IsSectionLine(lines[n], &name)) {
      if (inside) {
        section_end = n;
        inside = false;
        break;
      }
      if (!found_section && Lower(name) == Lower(kRecentSection)) {
        found_section = inside = true;
      }
      continue;
    }
    if (!inside || !IsKeyLine(lines[n], &key, &value)) continue;
    for (std::size_t i = 0; i < count; ++i) {
      if (!written[i] && Lower(key) == Lower("File" + std::to_string(i))) {
        // `key` points into lines[n], so stop looking before replacing it.
        lines[n] = "File" + std::to_string(i) + "=" + list[i];
        written[i] = true;
        break;
      }
    }
  }
  std::vector<std::string> added;
  for (std::size_t i = 0; i < count; ++i) {
    if (!written[i]) added.push_back("File" + std::to_string(i) + "=" + list[i]);
  }
  if (!found_section) {
    lines.push_back(std::string("[") + kRecentSection + "]");
    section_end = lines.size();
  } else if (section_end == lines.size()) {
    // The section runs to the end of the file: add after its last non-blank line.
    while (section_end > 0 && Trim(lines[section_end - 1]).empty()) --section_end;
  }
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(section_end), added.begin(),
               added.end());

  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  // Write a sibling file and rename it over the old one, so that a failed
  // write never leaves a half-written list behind.
  const std::string temp = path + ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    file.flush();
    if (!file) {
      file.close();
      DeleteFile(temp);
      return false;
    }
  }
  if (!RenameFile(temp, path)) {
    DeleteFile(temp);
    return false;
  }
  return true;
}

}  // namespace kivo
