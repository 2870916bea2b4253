// The building blocks of record search: the LIKE matcher and the flag
// arrays of set-wise filter evaluation.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "engine/bits_array.h"
#include "engine/like_match.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {
namespace {

// The pattern rules read literally, one character at a time, by recursion
// and backtracking: the reference the linear matcher must agree with.
template <typename Equal>
bool LiteralLike(std::string_view v, std::string_view p, const Equal& equal) {
  if (p.empty()) return v.empty();
  if (v.empty()) return p == "%";
  if (p[0] == '%') return LiteralLike(v, p.substr(1), equal) || LiteralLike(v.substr(1), p, equal);
  if (p[0] == '_') return LiteralLike(v.substr(1), p.substr(1), equal);
  return equal(v[0], p[0]) && LiteralLike(v.substr(1), p.substr(1), equal);
}

bool Like(std::string_view v, std::string_view p) {
  return LikeMatches(v, p, [](char a, char b) { return a == b; });
}

TEST(LikeMatch, FollowsThePatternRulesWordForWord) {
  EXPECT_TRUE(Like("abc", "abc"));
  EXPECT_TRUE(Like("abc", "a%"));
  EXPECT_TRUE(Like("abc", "%c"));
  EXPECT_TRUE(Like("abc", "a_c"));
  EXPECT_TRUE(Like("abc", "%"));
  EXPECT_TRUE(Like("abc", "%%"));  // value left: the first "%" may match nothing
  EXPECT_TRUE(Like("a", "a%"));
  EXPECT_FALSE(Like("a", "a%%"));  // value used up: only a lone "%" may remain
  EXPECT_TRUE(Like("", "%"));
  EXPECT_TRUE(Like("", ""));
  EXPECT_FALSE(Like("", "%%"));
  EXPECT_FALSE(Like("", "_"));
  EXPECT_FALSE(Like("abc", "ab"));
  EXPECT_FALSE(Like("ab", "abc"));
  EXPECT_FALSE(Like("abc", "a_"));
  EXPECT_FALSE(Like("a%c", "a\\%c"));  // no escape character: "\\" is itself
  EXPECT_TRUE(Like("a\\xyc", "a\\%c"));
  EXPECT_TRUE(Like("x_y", "x_y"));
}

TEST(LikeMatch, AgreesWithTheLiteralRulesOnRandomCases) {
  std::mt19937 rng(3506);
  const std::string valueChars = "abA";
  const std::string patternChars = "abA%%_";
  auto word = [&](const std::string& from, int maxLength) {
    std::string s(rng() % static_cast<unsigned>(maxLength + 1), ' ');
    for (char& c : s) c = from[rng() % from.size()];
    return s;
  };
  const auto exact = [](char a, char b) { return a == b; };
  const auto anyCase = [](char a, char b) { return (a | 0x20) == (b | 0x20); };
  int matched = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string v = word(valueChars, 9);
    const std::string p = word(patternChars, 7);
    const bool expected = LiteralLike(v, p, exact);
    ASSERT_EQ(LikeMatches(std::string_view(v), std::string_view(p), exact), expected)
        << "'" << v << "' like '" << p << "'";
    ASSERT_EQ(LikeMatches(std::string_view(v), std::string_view(p), anyCase),
              LiteralLike(v, p, anyCase))
        << "'" << v << "' like '" << p << "' ignoring case";
    matched += expected ? 1 : 0;
  }
  // Both outcomes are well represented.
  EXPECT_GT(matched, 2000);
  EXPECT_LT(matched, 18000);
}

TEST(LikeMatch, ComparesThroughTheGivenCollationAndWideText) {
  SetUserLocale("hu_HU");
  const auto collation = UserCollation();
  const auto ignoringCase = [&](char a, char b) { return collation->CompareChar(a, b, true) == 0; };
  // Windows-1250: "\xE1" a-acute, "\xC1" A-acute.
  const std::string value = "\xC1rv\xEDzt\xFBr\xF5";
  EXPECT_TRUE(LikeMatches(std::string_view(value), std::string_view("\xE1rv%"), ignoringCase));
  EXPECT_FALSE(LikeMatches(std::string_view(value), std::string_view("arv%"), ignoringCase));
  const std::u16string wide =
      u"\u00C1rv\u00EDzt\u0171r\u0151 t\u00FCk\u00F6rf\u00FAr\u00F3g\u00E9p";
  const auto wideEqual = [&](char16_t a, char16_t b) {
    return collation->CompareWide(std::u16string_view(&a, 1), std::u16string_view(&b, 1), true) ==
           0;
  };
  EXPECT_TRUE(
      LikeMatches(std::u16string_view(wide), std::u16string_view(u"%T\u00DCK%"), wideEqual));
  EXPECT_FALSE(LikeMatches(std::u16string_view(wide), std::u16string_view(u"%tuk%"), wideEqual));
  SetUserLocale("");
}

TEST(LikeMatch, PathologicalPatternsAndLongValuesNeedNoBacktrackingOrStack) {
  // Exponential for a backtracking matcher, and deep for a recursive one.
  const std::string memo(1 << 18, 'a');
  EXPECT_FALSE(Like(memo, "%a%a%a%a%a%a%a%a%b"));
  EXPECT_TRUE(Like(memo + "b", "%a%a%a%a%a%a%a%a%b"));
  EXPECT_TRUE(Like(memo, std::string(40, '%') + "a"));
  EXPECT_FALSE(Like(memo, std::string(40, '_')));
}

TEST(BitsArray, CombinesWholeSetsAndRefusesSetsOfOtherLengths) {
  TBitsArray a(6), b(6);
  for (int i : {0, 2, 4}) a.Set(i);
  for (int i : {2, 3}) b.Set(i);
  TBitsArray both = a;
  both.And(b);
  EXPECT_EQ(both.Positions(), (std::vector<std::int32_t>{2}));
  TBitsArray either = a;
  either.Or(b);
  EXPECT_EQ(either.Positions(), (std::vector<std::int32_t>{0, 2, 3, 4}));
  either.Not();
  EXPECT_EQ(either.Positions(), (std::vector<std::int32_t>{1, 5}));
  EXPECT_EQ(either.Count(), 2);
  a.Fill(true);
  EXPECT_EQ(a.Count(), 6);
  a.SetLength(8);
  EXPECT_FALSE(a.Get(7));  // new positions are clear
  EXPECT_THROW(a.And(b), Exception);
  EXPECT_THROW(b.Or(a), Exception);
}

}  // namespace
}  // namespace kivo
