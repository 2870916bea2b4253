// Settings stores of the console: a read-only ini file reader, the list of
// recently used databases kept in an ini file of the user's configuration
// folder, and where the console's own ini file lives.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kivo {

// A read-only ini file: "[section]" lines and "key=value" lines. Section and
// key names are matched ignoring ASCII case and surrounding blanks; a value
// is the text after the first "=", as written (callers trim it when they
// want). The first occurrence of a key wins. Lines starting with ';' or '#'
// are comments; a UTF-8 byte order mark and CR LF line ends are accepted;
// other lines are ignored. A missing, unreadable or malformed file reads as
// empty, so every lookup gives its default; it never raises.
class TIniFile {
 public:
  explicit TIniFile(const std::string& fileName);

  const std::string& FileName() const { return file_name_; }
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;

 private:
  struct Entry {
    std::string section;  // lower-cased
    std::string key;      // lower-cased
    std::string value;
  };
  const Entry* Find(std::string_view section, std::string_view key) const;

  std::string file_name_;
  std::vector<Entry> entries_;
  std::vector<std::string> sections_;  // lower-cased
};

// The console's configuration folder: $XDG_CONFIG_HOME/krtcon, else
// $HOME/.config/krtcon; "" when neither variable is set.
std::string KrtconConfigDirectory();
// "recent.ini" in that folder ("" when there is none).
std::string RecentIniPath();
// "krtcon.ini" next to the program when it exists there, else the same name
// in the configuration folder.
std::string KrtconIniPath();

// The most recent databases: values File0, File1, ... of section [KRTCON]
// in recent.ini, stopping at the first missing or empty value or after
// File4. A missing or unreadable file gives an empty list.
std::vector<std::string> LoadRecent();
// Writes entry i of `list` (at most 5) as value "File" + i, keeping every
// other line of the file, values beyond the list's length included. Creates
// the folder when missing. Returns false, writing nothing, when the folder
// or file cannot be created or written, or an entry holds a line break.
bool SaveRecent(const std::vector<std::string>& list);

}  // namespace kivo
