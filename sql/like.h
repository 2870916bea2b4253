// The pattern match of LIKE: "%" stands for any run of characters, "_" for
// any one character, and every other pattern character must equal the text
// character under the engine's collation. There is no escape character.
//
// The match follows these rules, from the start of both texts:
//  1. When the rest of the pattern is exactly "%", the match succeeds.
//  2. When the text is exhausted, it succeeds exactly when the pattern is too.
//  3. "%" succeeds when the rest of the pattern after it matches the rest of
//     the text from some position at or after the current one and before
//     its end (so when more pattern follows, the text left for it is never
//     empty: 'a' LIKE 'a%%' is false, 'abc' LIKE 'abc%' is true).
//  4. "_" takes one character; any other character must equal the text's;
//     a pattern exhausted while text remains fails.
//
// Rules 3 and 4 read as a recursion would backtrack exponentially; the
// matcher computes the same answers with a table over pattern positions
// instead: O(text x pattern) steps, O(text) memory, no recursion.
#pragma once

#include <string_view>

#include "platform/locale.h"

namespace kivo {

// Windows-1250 text; characters compare by `collation`'s ranks.
bool LikeMatch(std::string_view text, std::string_view pattern, const TCollation& collation);
// UTF-16 text; characters compare with `collation`'s wide comparison.
bool LikeMatch(std::u16string_view text, std::u16string_view pattern, const TCollation& collation);

}  // namespace kivo
