// The recent-database list's rules, apart from where the list is stored:
// at most five full paths, most recent first, compared ignoring letter case.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kartova {

inline constexpr std::size_t kMaxRecentDatabases = 5;

// Whether two paths are equal ignoring letter case (Unicode case folding for
// UTF-8 paths; for other bytes only ASCII letters fold).
bool SamePathIgnoringCase(std::string_view a, std::string_view b);

// The list after using `path`: an entry equal to it ignoring case moves to
// the front and keeps its own spelling; otherwise `path` goes to the front
// and the oldest entry drops out when the list is full.
std::vector<std::string> AddToRecentList(std::vector<std::string> list, const std::string& path);

// The caption of Reopen item `index`: the number, a blank and the path.
std::string ReopenCaption(std::size_t index, const std::string& path);

// A menu caption as the window toolkit shows it, back to plain text: every
// accelerator mark "&" is removed, and "&&" (a literal ampersand) becomes "&".
std::string RemoveAccelerators(std::string_view caption);

}  // namespace kartova
