#include "console/recent_list.h"

#include <algorithm>

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "console/text_files.h"

namespace kartova {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SamePathIgnoringCase(std::string_view a, std::string_view b) {
  if (a == b) return true;
  if (IsValidUtf8(a) && IsValidUtf8(b)) {
    icu::UnicodeString ua =
        icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())));
    icu::UnicodeString ub =
        icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<int32_t>(b.size())));
    return ua.caseCompare(ub, U_FOLD_CASE_DEFAULT) == 0;
  }
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::vector<std::string> AddToRecentList(std::vector<std::string> list, const std::string& path) {
  auto found = std::find_if(list.begin(), list.end(), [&](const std::string& entry) {
    return SamePathIgnoringCase(entry, path);
  });
  if (found != list.end()) {
    std::rotate(list.begin(), found, found + 1);
    return list;
  }
  while (list.size() >= kMaxRecentDatabases) list.pop_back();
  list.insert(list.begin(), path);
  return list;
}

std::string ReopenCaption(std::size_t index, const std::string& path) {
  return std::to_string(index) + " " + path;
}

std::string RemoveAccelerators(std::string_view caption) {
  std::string out;
  out.reserve(caption.size());
  for (std::size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] != '&') {
      out.push_back(caption[i]);
    } else if (i + 1 < caption.size() && caption[i + 1] == '&') {
      out.push_back('&');
      ++i;
    }
  }
  return out;
}

}  // namespace kartova
