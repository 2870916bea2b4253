// The one setting the console reads from krtcon.ini: whether the navigator
// offers its editing buttons.
#pragma once

#include <string>

namespace kartova {

// True when key "javit" of section "navigator", trimmed of blanks and control
// characters, is "1". A missing or unreadable file or key gives false.
bool NavigatorShowsAllButtons(const std::string& settingsFile);

}  // namespace kartova
