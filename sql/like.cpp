#include "sql/like.h"

#include <optional>
#include <vector>

namespace kivo {

namespace {

// match[i] after the step for pattern position j tells whether the text
// from position i matches the pattern from position j. Positions run from
// the end of the pattern backwards, each step reading only the table of the
// position after it.
template <class Char, class Equal>
bool Match(std::basic_string_view<Char> text, std::basic_string_view<Char> pattern,
           const Equal& equal) {
  const std::size_t n = text.size();
  const std::size_t m = pattern.size();
  // The pattern's end: only the exhausted text matches it.
  std::vector<char> next(n + 1, 0);
  next[n] = 1;
  std::vector<char> cur(n + 1, 0);
  for (std::size_t j = m; j-- > 0;) {
    const Char p = pattern[j];
    if (p == Char('%') && j + 1 == m) {
      // Rule 1: a last "%" matches any rest, the empty one too.
      cur.assign(n + 1, 1);
    } else {
      // Rule 2: the exhausted text does not match a pattern that remains.
      cur[n] = 0;
      if (p == Char('%')) {
        // Rule 3: some position from i to the last character onwards.
        char any = 0;
        for (std::size_t i = n; i-- > 0;) {
          any = static_cast<char>(any | next[i]);
          cur[i] = any;
        }
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          cur[i] = static_cast<char>(next[i + 1] && (p == Char('_') || equal(text[i], p)));
        }
      }
    }
    next.swap(cur);
  }
  return next[0] != 0;
}

// Patterns of one literal with "%" at either end or none, whose characters
// each compare equal only to themselves: a plain search gives what the
// rules give (a last "%" matches any rest; a first one any start up to the
// last character, which a non-empty literal needs anyway). Nothing
// otherwise.
std::optional<bool> LiteralMatch(std::string_view text, std::string_view pattern,
                                 const TCollation& collation) {
  const bool leading = !pattern.empty() && pattern.front() == '%';
  std::string_view literal = pattern.substr(leading ? 1 : 0);
  const bool trailing = !literal.empty() && literal.back() == '%';
  if (trailing) literal.remove_suffix(1);
  if (literal.empty() || literal.find_first_of("%_") != std::string_view::npos) {
    return std::nullopt;
  }
  for (char c : literal) {
    if (!collation.HasOwnRank(c)) return std::nullopt;
  }
  if (leading && trailing) return text.find(literal) != std::string_view::npos;
  if (leading) return text.size() >= literal.size() && text.ends_with(literal);
  if (trailing) return text.starts_with(literal);
  return text == literal;
}

}  // namespace

bool LikeMatch(std::string_view text, std::string_view pattern, const TCollation& collation) {
  if (const std::optional<bool> quick = LiteralMatch(text, pattern, collation)) return *quick;
  return Match(text, pattern,
               [&](char a, char b) { return a == b || collation.CompareChar(a, b) == 0; });
}

bool LikeMatch(std::u16string_view text, std::u16string_view pattern, const TCollation& collation) {
  return Match(text, pattern, [&](char16_t a, char16_t b) {
    return a == b ||
           collation.CompareWide(std::u16string_view(&a, 1), std::u16string_view(&b, 1)) == 0;
  });
}

}  // namespace kivo
