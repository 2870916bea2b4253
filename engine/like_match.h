// The LIKE pattern match of filter conditions.
//
// "%" matches any run of characters, none included; "_" matches any one
// character; every other pattern character matches a value character that
// the caller's comparison calls equal (a collation with or without case).
// There is no escape character. Once the value is used up, what is left of
// the pattern must be nothing or exactly "%": "a" matches "a%" but not
// "a%%", and "" matches "%" but not "%%".
//
// The match walks the value once, keeping the set of pattern positions it
// can be at (a bitmap of pattern length + 1), so it costs O(value x pattern)
// time and O(pattern) memory whatever the pattern: no backtracking, no
// recursion, so a pattern such as '%a%a%a%b' over a long memo stays linear
// in the memo.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

namespace kivo {

// REQUIRES: `equal(valueChar, patternChar)` is a pure comparison.
template <typename CharT, typename Equal>
bool LikeMatches(std::basic_string_view<CharT> value, std::basic_string_view<CharT> pattern,
                 Equal&& equal) {
  constexpr CharT kAny = static_cast<CharT>('%');
  constexpr CharT kOne = static_cast<CharT>('_');
  const std::size_t m = pattern.size();
  // at[j]: the value read so far can leave the pattern at position j.
  std::vector<unsigned char> at(m + 1, 0), next(m + 1, 0);
  at[0] = 1;
  for (const CharT c : value) {
    // A "%" may match nothing while value characters remain.
    for (std::size_t j = 0; j < m; ++j)
      if (at[j] && pattern[j] == kAny) at[j + 1] = 1;
    bool any = false;
    std::fill(next.begin(), next.end(), 0);
    for (std::size_t j = 0; j < m; ++j) {
      if (!at[j]) continue;
      const CharT p = pattern[j];
      if (p == kAny) {
        next[j] = 1;
        any = true;
      } else if (p == kOne || equal(c, p)) {
        next[j + 1] = 1;
        any = true;
      }
    }
    if (!any) return false;
    at.swap(next);
  }
  return at[m] || (m > 0 && at[m - 1] && pattern[m - 1] == kAny);
}

}  // namespace kivo
