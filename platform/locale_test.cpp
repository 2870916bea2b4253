#include "platform/locale.h"

#include <gtest/gtest.h>

#include <unicode/ucnv.h>
#include <unicode/ucol.h>
#include <cstring>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace kivo {
namespace {

// Hungarian sample words, written as Windows-1250 bytes.
const std::string kAaAcute = "\xE1";    // á
const std::string kCapAAcute = "\xC1";  // Á
const std::string kOUml = "\xF6";       // ö
const std::string kODbl = "\xF5";       // ő
const std::string kCapODbl = "\xD5";    // Ő
const std::string kUDbl = "\xFB";       // ű
const std::string kCapUDbl = "\xDB";    // Ű

// Restores the process-wide locale after each test.
class LocaleTest : public ::testing::Test {
 protected:
  void TearDown() override { SetUserLocale(""); }
};

// A collator opened by the test itself: the reference the engine must match.
struct Reference {
  explicit Reference(const char* locale, bool ignoreCase = false) {
    UErrorCode st = U_ZERO_ERROR;
    coll = ucol_open(locale, &st);
    EXPECT_TRUE(U_SUCCESS(st)) << locale;
    if (ignoreCase) ucol_setStrength(coll, UCOL_SECONDARY);
  }
  ~Reference() { ucol_close(coll); }
  int Compare(const std::string& a, const std::string& b) const {
    const std::u16string x = Cp1250ToUtf16(a);
    const std::u16string y = Cp1250ToUtf16(b);
    const UCollationResult r =
        ucol_strcoll(coll, reinterpret_cast<const UChar*>(x.data()), int32_t(x.size()),
                     reinterpret_cast<const UChar*>(y.data()), int32_t(y.size()));
    return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
  }
  UCollator* coll = nullptr;
};

// ---------------------------------------------------------------------------
// Code page

TEST(CodePageTest, AllAssignedBytesRoundTrip) {
  int assigned = 0;
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    if (!Cp1250IsAssigned(static_cast<unsigned char>(b))) {
      EXPECT_EQ(Cp1250ToUtf16(one), std::u16string(1, u'\uFFFD')) << b;
      EXPECT_EQ(Cp1250ToUtf8(one), "\xEF\xBF\xBD") << b;
      continue;
    }
    ++assigned;
    EXPECT_EQ(Utf16ToCp1250(Cp1250ToUtf16(one)), one) << b;
    EXPECT_EQ(Utf8ToCp1250(Cp1250ToUtf8(one)), one) << b;
  }
  EXPECT_EQ(assigned, 251);
  std::string all;
  for (int b = 0; b < 256; ++b) {
    if (Cp1250IsAssigned(static_cast<unsigned char>(b))) all += static_cast<char>(b);
  }
  EXPECT_EQ(Utf8ToCp1250(Cp1250ToUtf8(all)), all);
  EXPECT_EQ(Utf16ToCp1250(Cp1250ToUtf16(all)), all);
}

// The own table must agree with ICU's converter for every assigned byte.
TEST(CodePageTest, AgreesWithIcuConverter) {
  UErrorCode st = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open("windows-1250", &st);
  ASSERT_TRUE(U_SUCCESS(st));
  for (int b = 0; b < 256; ++b) {
    if (!Cp1250IsAssigned(static_cast<unsigned char>(b))) continue;
    const char in = static_cast<char>(b);
    UChar out[4];
    st = U_ZERO_ERROR;
    const int32_t n = ucnv_toUChars(cnv, out, 4, &in, 1, &st);
    ASSERT_TRUE(U_SUCCESS(st));
    ASSERT_EQ(n, 1);
    EXPECT_EQ(Cp1250ToUtf16(std::string(1, in))[0], out[0]) << b;
  }
  ucnv_close(cnv);
}

TEST(CodePageTest, KnownCharactersAndMissingOnes) {
  EXPECT_EQ(Cp1250ToUtf8("\x80\xF5\xFB\x8A"), "\xE2\x82\xAC\xC5\x91\xC5\xB1\xC5\xA0");  // €őűŠ
  EXPECT_EQ(Utf8ToCp1250("\xC5\x91r\xC3\xBC"), "\xF5r\xFC");                            // őrü
  // Characters the code page lacks: one '?' each, also for a supplementary one.
  EXPECT_EQ(Utf8ToCp1250("x\xE6\x97\xA5y\xF0\x9F\x98\x80z"), "x?y?z");
  EXPECT_EQ(Utf16ToCp1250(u"a\U0001F600b\u65E5"), "a?b?");
  // Lone surrogates and ill-formed UTF-8 never crash and give '?'.
  EXPECT_EQ(Utf16ToCp1250(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
  EXPECT_EQ(Utf16ToCp1250(std::u16string(1, char16_t(0xDC00))), "?");
  EXPECT_EQ(Utf8ToCp1250("a\xC3"), "a?");
  EXPECT_EQ(Utf8ToCp1250("\xFF\xFE"), "??");
  // Embedded zero bytes are kept.
  EXPECT_EQ(Cp1250ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(Utf8ToCp1250(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(Cp1250ToUtf8(""), "");
}

TEST(CaseTest, AccentedLetters) {
  EXPECT_EQ(AnsiUpperCase("\xE1rv\xEDzt\xFBr\xF5 t\xFCk\xF6rf\xFAr\xF3g\xE9p"),
            "\xC1RV\xCDZT\xDBR\xD5 T\xDCK\xD6RF\xDAR\xD3G\xC9P");  // ÁRVÍZTŰRŐ TÜKÖRFÚRÓGÉP
  EXPECT_EQ(AnsiLowerCase("\xC1RV\xCDZT\xDBR\xD5"), "\xE1rv\xEDzt\xFBr\xF5");
  EXPECT_EQ(AnsiUpperCase(kAaAcute + kODbl + kUDbl), kCapAAcute + kCapODbl + kCapUDbl);
  // Letters outside the Latin-1 range: Š š, Ł ł, Ą ą, Ž ž, Ź ź, Ľ ľ.
  EXPECT_EQ(AnsiUpperCase("\x9A\xB3\xB9\x9E\x9F\xBE"), "\x8A\xA3\xA5\x8E\x8F\xBC");
  EXPECT_EQ(AnsiLowerCase("\x8A\xA3\xA5\x8E\x8F\xBC"), "\x9A\xB3\xB9\x9E\x9F\xBE");
  // No single-byte other case: sharp s, micro sign, multiplication and division signs.
  EXPECT_EQ(AnsiUpperCase("\xDF\xB5\xD7\xF7"), "\xDF\xB5\xD7\xF7");
  EXPECT_EQ(AnsiLowerCase("\xDF\xB5\xD7\xF7"), "\xDF\xB5\xD7\xF7");
  EXPECT_EQ(AnsiUpperCase("abc-XYZ 09"), "ABC-XYZ 09");
  EXPECT_EQ(AnsiUpperChar('\xFB'), '\xDB');
  EXPECT_EQ(AnsiLowerChar('\xDB'), '\xFB');
}

TEST(CaseTest, UpperAndLowerArePairedForEveryLetter) {
  int letters = 0;
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const char up = AnsiUpperChar(c);
    const char low = AnsiLowerChar(c);
    if (up != c) {
      ++letters;
      EXPECT_EQ(AnsiLowerChar(up), c) << b;
    }
    if (low != c) {
      EXPECT_EQ(AnsiUpperChar(low), c) << b;
    }
  }
  // 26 ASCII and 40 accented lower-case letters with a Windows-1250 capital.
  EXPECT_EQ(letters, 66);
}

// ---------------------------------------------------------------------------
// Locale names

TEST_F(LocaleTest, NamesFromEnvironmentAndOverride) {
  struct SavedEnv {
    const char* name;
    std::optional<std::string> value;
  };
  std::vector<SavedEnv> saved;
  for (const char* n : {"LC_ALL", "LC_COLLATE", "LC_NUMERIC", "LC_TIME", "LANG"}) {
    const char* v = std::getenv(n);
    saved.push_back({n, v ? std::optional<std::string>(v) : std::nullopt});
    unsetenv(n);
  }
  SetUserLocale("");
  EXPECT_EQ(UserLocaleName(), "en_US");
  setenv("LANG", "C", 1);
  EXPECT_EQ(UserLocaleName(), "en_US");
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(UserLocaleName(LocaleCategory::kTime), "de_DE");
  setenv("LC_COLLATE", "hu_HU.ISO-8859-2", 1);
  EXPECT_EQ(UserLocaleName(LocaleCategory::kCollate), "hu_HU");
  EXPECT_EQ(UserLocaleName(LocaleCategory::kNumeric), "de_DE");
  setenv("LC_ALL", "cs_CZ@euro", 1);
  EXPECT_EQ(UserLocaleName(LocaleCategory::kCollate), "cs_CZ");
  EXPECT_EQ(UserLocaleName(LocaleCategory::kNumeric), "cs_CZ");
  SetUserLocale("pl_PL.UTF-8");
  EXPECT_EQ(UserLocaleName(LocaleCategory::kCollate), "pl_PL");
  EXPECT_EQ(UserLocaleName(LocaleCategory::kTime), "pl_PL");
  SetUserLocale("");
  EXPECT_EQ(UserLocaleName(), "cs_CZ");
  for (const SavedEnv& s : saved) {
    if (s.value) {
      setenv(s.name, s.value->c_str(), 1);
    } else {
      unsetenv(s.name);
    }
  }
  EXPECT_EQ(IcuLocaleFromPosix("POSIX"), "en_US");
  EXPECT_EQ(IcuLocaleFromPosix("sk-SK"), "sk_SK");
}

// ---------------------------------------------------------------------------
// Collation

TEST_F(LocaleTest, HungarianOrderFollowsIcu) {
  SetUserLocale("hu_HU");
  const Reference ref("hu_HU");
  // Letters whose order the Hungarian alphabet decides: a á b, c cs d,
  // o ó ö ő p, u ú ü ű v, z zs.
  std::vector<std::string> words = {"a",
                                    kAaAcute,
                                    "b",
                                    "c",
                                    "cs",
                                    "cz",
                                    "d",
                                    "o",
                                    "\xF3",
                                    kOUml,
                                    kODbl,
                                    "p",
                                    "u",
                                    "\xFA",
                                    "\xFC",
                                    kUDbl,
                                    "v",
                                    "z",
                                    "zs",
                                    "zz",
                                    "ly",
                                    "lz",
                                    "gy",
                                    "gz",
                                    "kor",
                                    "k\xF3"
                                    "r",
                                    "k\xF6"
                                    "r",
                                    "k\xF5"
                                    "r",
                                    "korte",
                                    "k\xF6"
                                    "rte",
                                    "Kossuth",
                                    "kocsi",
                                    "kecske",
                                    "\xC1"
                                    "rp\xE1"
                                    "d",
                                    "Arp\xE1"
                                    "d",
                                    "\xE1"
                                    "rp\xE1"
                                    "d",
                                    "szeg",
                                    "Szeged",
                                    "sz\xE9"
                                    "p",
                                    "sor",
                                    "ssz",
                                    "ccs"};
  std::vector<std::string> by_engine = words;
  std::vector<std::string> by_icu = words;
  std::stable_sort(
      by_engine.begin(), by_engine.end(),
      [](const std::string& x, const std::string& y) { return AnsiCompareStr(x, y) < 0; });
  std::stable_sort(by_icu.begin(), by_icu.end(), [&](const std::string& x, const std::string& y) {
    return ref.Compare(x, y) < 0;
  });
  EXPECT_EQ(by_engine, by_icu);
  for (const std::string& x : words) {
    for (const std::string& y : words) {
      EXPECT_EQ(AnsiCompareStr(x, y), ref.Compare(x, y)) << x << " vs " << y;
    }
  }
  // The sequences the Hungarian alphabet is known for, as ICU orders them.
  EXPECT_LT(AnsiCompareStr("a", kAaAcute), 0);
  EXPECT_LT(AnsiCompareStr(kAaAcute, "b"), 0);
  EXPECT_LT(AnsiCompareStr("o", kOUml), 0);
  EXPECT_LT(AnsiCompareStr(kOUml, kODbl), 0);
  EXPECT_LT(AnsiCompareStr(kODbl, "p"), 0);
}

TEST_F(LocaleTest, IgnoreCaseKeepsAccents) {
  SetUserLocale("hu_HU");
  EXPECT_TRUE(AnsiSameText("\xC1RV\xCDZT\xDBR\xD5", "\xE1rv\xEDzt\xFBr\xF5"));
  EXPECT_NE(AnsiCompareStr("\xC1RV\xCDZT\xDBR\xD5", "\xE1rv\xEDzt\xFBr\xF5"), 0);
  EXPECT_FALSE(AnsiSameText("\xE1rv\xEDz", "arviz"));
  EXPECT_FALSE(AnsiSameText(kOUml, kODbl));
  EXPECT_TRUE(AnsiSameText("", ""));
  EXPECT_EQ(WideCompareText(u"\u00C1RV\u00CDZ", u"\u00E1rv\u00EDz"), 0);
  EXPECT_NE(WideCompareStr(u"\u00C1RV\u00CDZ", u"\u00E1rv\u00EDz"), 0);
  EXPECT_NE(WideCompareText(u"\u00F6", u"\u0151"), 0);
}

TEST_F(LocaleTest, RanksAreOneCharacterComparisons) {
  for (const char* locale : {"hu_HU", "en_US"}) {
    SCOPED_TRACE(locale);
    const TCollation coll(locale);
    const Reference ref(locale);
    for (int c = 0; c < 256; ++c) {
      int before = 0;
      const std::string cs(1, static_cast<char>(c));
      for (int d = 0; d < 256; ++d) {
        const std::string ds(1, static_cast<char>(d));
        if (ref.Compare(ds, cs) < 0) ++before;
        EXPECT_EQ(coll.CompareChar(static_cast<char>(d), static_cast<char>(c)), ref.Compare(ds, cs))
            << d << " vs " << c;
      }
      EXPECT_EQ(coll.Rank(static_cast<unsigned char>(c)), before) << c;
      EXPECT_EQ(coll.UpperRank(static_cast<unsigned char>(c)),
                coll.Rank(static_cast<unsigned char>(AnsiUpperChar(static_cast<char>(c)))));
    }
    EXPECT_EQ(coll.CompareChar('a', 'A', true), 0);
    EXPECT_NE(coll.CompareChar('a', '\xE1', true), 0);
  }
}

std::string RandomString(std::mt19937& rng, const std::string& alphabet, int maxLen) {
  std::uniform_int_distribution<int> len(0, maxLen);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string s;
  for (int n = len(rng); n > 0; --n) s += alphabet[pick(rng)];
  return s;
}

// The engine's comparisons, fast tables or not, against the collator on
// seeded random strings: over every assigned byte, and over letter-heavy
// alphabets with shared prefixes so that accent and case levels decide.
TEST_F(LocaleTest, RandomStringsAgreeWithCollator) {
  std::string bytes;
  for (int b = 0; b < 256; ++b) {
    if (Cp1250IsAssigned(static_cast<unsigned char>(b))) bytes += static_cast<char>(b);
  }
  const std::string letters =
      "aAbBcCdDgGlLnNoOsStTuUyYzZ -'\xE1\xC1\xE9\xC9\xF6\xD6\xF5\xD5\xFC\xDC\xFB\xDB\xF3\xD3"
      "\x9A\x8A\xE8\xC8\xB7\xDF\xAD\x01";
  std::mt19937 rng(20240611u);
  for (const char* locale : {"en_US", "hu_HU", "cs_CZ", "de_DE", "pl_PL", "tr_TR"}) {
    SCOPED_TRACE(locale);
    const TCollation coll(locale);
    const Reference ref(locale);
    const Reference ref_nocase(locale, true);
    int mismatches = 0;
    for (int i = 0; i < 6000 && mismatches < 5; ++i) {
      const std::string& alphabet = (i % 3 == 0) ? bytes : letters;
      std::string a = RandomString(rng, alphabet, 9);
      std::string b = RandomString(rng, alphabet, 9);
      if (i % 2 == 0) b = a.substr(0, a.size() / 2) + b;  // shared prefix
      const int expected = ref.Compare(a, b);
      const int expected_nocase = ref_nocase.Compare(a, b);
      if (coll.Compare(a, b) != expected || coll.Compare(a, b, true) != expected_nocase) {
        ++mismatches;
        ADD_FAILURE() << "'" << Cp1250ToUtf8(a) << "' vs '" << Cp1250ToUtf8(b) << "': engine "
                      << coll.Compare(a, b) << "/" << coll.Compare(a, b, true) << ", collator "
                      << expected << "/" << expected_nocase;
      }
      // Prefix comparison over a maximum length.
      const int max_len = static_cast<int>(rng() % 6);
      EXPECT_EQ(coll.Compare(a, b, false, max_len),
                ref.Compare(a.substr(0, std::size_t(max_len)), b.substr(0, std::size_t(max_len))));
    }
  }
}

// Primary-weight prefixes presort strings: where two prefixes differ, the
// full comparison (either case rule) must agree with their byte order.
TEST_F(LocaleTest, PrimaryPrefixesAgreeWithCompare) {
  const std::string letters =
      "aAbBcCdDgGlLnNoOsStTuUyYzZ -'\xE1\xC1\xE9\xC9\xF6\xD6\xF5\xD5\xFC\xDC\xFB\xDB\xF3\xD3"
      "\x9A\x8A\xE8\xC8\xB7\xDF\xAD\x01";
  std::mt19937 rng(77u);
  constexpr int kWeights = 4;
  for (const char* locale : {"en_US", "hu_HU", "cs_CZ", "de_DE"}) {
    SCOPED_TRACE(locale);
    const TCollation coll(locale);
    int decided = 0;
    int refused = 0;
    for (int i = 0; i < 6000; ++i) {
      std::string a = RandomString(rng, letters, 7);
      std::string b = RandomString(rng, letters, 7);
      if (i % 2 == 0) b = a.substr(0, a.size() / 2) + b;
      std::uint8_t pa[4 * kWeights];
      std::uint8_t pb[4 * kWeights];
      const bool okA = coll.PrimaryPrefix(a, pa, kWeights);
      const bool okB = coll.PrimaryPrefix(b, pb, kWeights);
      if (!okA || !okB) {
        ++refused;
        continue;
      }
      const int r = std::memcmp(pa, pb, sizeof pa);
      if (r == 0) continue;
      ++decided;
      ASSERT_EQ(coll.Compare(a, b), r < 0 ? -1 : 1)
          << "'" << Cp1250ToUtf8(a) << "' vs '" << Cp1250ToUtf8(b) << "'";
      ASSERT_EQ(coll.Compare(a, b, true), r < 0 ? -1 : 1)
          << "'" << Cp1250ToUtf8(a) << "' vs '" << Cp1250ToUtf8(b) << "'";
    }
    EXPECT_GT(decided, 1000);
    // Hungarian multi-letter units ("cs", "sz", ...) are left to the full comparison.
    if (std::string(locale) == "hu_HU") {
      EXPECT_GT(refused, 100);
    }
  }
}

// Packed primary ranks decide the same way: where two numbers differ, the
// full comparison (either case rule) agrees with their order.
TEST_F(LocaleTest, PrimaryRanksAgreeWithCompare) {
  const std::string letters =
      "aAbBcCdDgGlLnNoOsStTuUyYzZ -'\xE1\xC1\xE9\xC9\xF6\xD6\xF5\xD5\xFC\xDC\xFB\xDB\xF3\xD3"
      "\x9A\x8A\xE8\xC8\xB7\xDF\xAD\x01";
  std::mt19937 rng(78u);
  for (const char* locale : {"en_US", "hu_HU", "cs_CZ", "de_DE"}) {
    SCOPED_TRACE(locale);
    const TCollation coll(locale);
    int decided = 0;
    for (int i = 0; i < 6000; ++i) {
      std::string a = RandomString(rng, letters, 10);
      std::string b = RandomString(rng, letters, 10);
      if (i % 2 == 0) b = a.substr(0, a.size() / 2) + b;
      std::uint64_t ra = 0;
      std::uint64_t rb = 0;
      if (!coll.PrimaryRanks(a, &ra) || !coll.PrimaryRanks(b, &rb)) continue;
      if (a == b) {
        ASSERT_EQ(ra, rb);
      }
      if (ra == rb) continue;
      ++decided;
      ASSERT_EQ(coll.Compare(a, b), ra < rb ? -1 : 1)
          << "'" << Cp1250ToUtf8(a) << "' vs '" << Cp1250ToUtf8(b) << "'";
      ASSERT_EQ(coll.Compare(a, b, true), ra < rb ? -1 : 1)
          << "'" << Cp1250ToUtf8(a) << "' vs '" << Cp1250ToUtf8(b) << "'";
    }
    EXPECT_GT(decided, 1000);
  }
}

// The weight tables must really be in use where the collator allows them,
// and must not split a locale's multi-letter units.
TEST_F(LocaleTest, WeightTablesInUseAndContractionsRespected) {
  const TCollation en("en_US");
  EXPECT_TRUE(en.UsesWeightTables());
  // Base letters over the whole string before accents: a rank-by-rank
  // comparison would put "áa" after "ab".
  EXPECT_LT(en.Compare("\xE1"
                       "a",
                       "ab"),
            0);
  EXPECT_GT(en.Compare("\xE1"
                       "a",
                       "aa"),
            0);
  const TCollation hu("hu_HU");
  ASSERT_TRUE(hu.UsesWeightTables());
  const Reference ref("hu_HU");
  for (const char* pair : {"cz|csa", "gz|gya", "zz|zsa", "ccs|csd", "ly|lz", "ssz|szt"}) {
    const std::string s(pair);
    const std::string a = s.substr(0, s.find('|'));
    const std::string b = s.substr(s.find('|') + 1);
    EXPECT_EQ(hu.Compare(a, b), ref.Compare(a, b)) << pair;
    EXPECT_EQ(hu.Compare(a, b), hu.CompareWithCollator(a, b)) << pair;
  }
}

// The first comparisons of a new collation go to the collator, later ones
// through the tables; both must give the same answers.
TEST_F(LocaleTest, AnswersBeforeAndAfterTheTablesAgree) {
  const TCollation hu("hu_HU");
  std::mt19937 rng(7u);
  const std::string letters = "acCsSzZyY \xE1\xC1\xF6\xF5gG-";
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < 400; ++i) {
    std::string a, b;
    for (int k = static_cast<int>(rng() % 6); k > 0; --k) a += letters[rng() % letters.size()];
    for (int k = static_cast<int>(rng() % 6); k > 0; --k) b += letters[rng() % letters.size()];
    pairs.emplace_back(a, b);
  }
  std::vector<int> before;
  for (const auto& [a, b] : pairs) before.push_back(hu.Compare(a, b) * 2 + hu.Compare(a, b, true));
  ASSERT_TRUE(hu.UsesWeightTables());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const auto& [a, b] = pairs[i];
    EXPECT_EQ(hu.Compare(a, b) * 2 + hu.Compare(a, b, true), before[i]) << a << " | " << b;
  }
}

TEST_F(LocaleTest, UserCollationFollowsLocaleChanges) {
  SetUserLocale("hu_HU");
  const auto hu = UserCollation();
  EXPECT_EQ(hu->LocaleName(), "hu_HU");
  EXPECT_EQ(UserCollation().get(), hu.get());  // built once
  SetUserLocale("en_US");
  EXPECT_EQ(UserCollation()->LocaleName(), "en_US");
  // "cz" against "csa": Hungarian puts cs after every c-word, English does not.
  EXPECT_EQ(AnsiCompareStr("cz", "csa"), Reference("en_US").Compare("cz", "csa"));
  SetUserLocale("hu_HU");
  EXPECT_EQ(AnsiCompareStr("cz", "csa"), Reference("hu_HU").Compare("cz", "csa"));
  EXPECT_NE(Reference("hu_HU").Compare("cz", "csa"), Reference("en_US").Compare("cz", "csa"));
}

// ---------------------------------------------------------------------------
// Format settings

TEST_F(LocaleTest, FormatSettingsFromLocale) {
  const FormatSettings hu = FormatSettingsForLocale("hu_HU");
  EXPECT_EQ(hu.DecimalSeparator, ',');
  EXPECT_EQ(hu.DateSeparator, '.');
  EXPECT_EQ(hu.TimeSeparator, ':');
  EXPECT_NE(hu.ShortDateFormat.find("yyyy"), std::string::npos);
  EXPECT_EQ(hu.ShortDateFormat.find('y'), 0u);  // year first
  EXPECT_EQ(hu.LongMonthNames[0], "janu\xE1r");
  const FormatSettings en = FormatSettingsForLocale("en_US");
  EXPECT_EQ(en.DecimalSeparator, '.');
  EXPECT_EQ(en.ThousandSeparator, ',');
  EXPECT_EQ(en.DateSeparator, '/');
  EXPECT_EQ(en.ShortDateFormat, "m/d/yyyy");
  EXPECT_EQ(en.LongDayNames[4], "Thursday");
  EXPECT_EQ(en.ShortMonthNames[2], "Mar");
  EXPECT_NE(en.ShortTimeFormat.find("AMPM"), std::string::npos);
  // Every converted format holds only codes, separators and quoted literals.
  for (const std::string& f : {hu.ShortDateFormat, hu.LongDateFormat, hu.LongTimeFormat,
                               en.LongDateFormat, en.LongTimeFormat}) {
    EXPECT_FALSE(f.empty());
    std::string codes = f;
    const std::size_t ampm = codes.find("AMPM");
    if (ampm != std::string::npos) codes.erase(ampm, 4);
    EXPECT_EQ(codes.find_first_of("MHSEGaz"), std::string::npos) << f;
  }
}

TEST_F(LocaleTest, DefaultFormatSettingsCanBeFixed) {
  SetUserLocale("hu_HU");
  EXPECT_EQ(DefaultFormatSettings().DecimalSeparator, ',');
  FormatSettings fs;
  fs.DecimalSeparator = '.';
  fs.ShortDateFormat = "yyyy-mm-dd";
  SetDefaultFormatSettings(fs);
  EXPECT_EQ(DefaultFormatSettings().DecimalSeparator, '.');
  EXPECT_EQ(DefaultFormatSettings().ShortDateFormat, "yyyy-mm-dd");
  // A locale change brings back the locale's own settings.
  SetUserLocale("hu_HU");
  EXPECT_EQ(DefaultFormatSettings().DecimalSeparator, ',');
}

}  // namespace
}  // namespace kivo
