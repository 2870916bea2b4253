#include "console/console_settings.h"

#include <exception>
#include <string_view>

#include "platform/settings.h"

namespace kartova {

namespace {

// Blanks and control characters count as blanks when trimming.
std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

}  // namespace

bool NavigatorShowsAllButtons(const std::string& settingsFile) {
  if (settingsFile.empty()) return false;
  try {
    const kivo::TIniFile ini(settingsFile);
    return Trim(ini.ReadString("navigator", "javit", "")) == "1";
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace kartova
