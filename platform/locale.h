// Locale services for the engine's ANSI (Windows-1250) text: code-page
// conversion, case mapping, locale-aware comparison, and the number and date
// formats used when values are turned into text.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

typedef struct UCollator UCollator;

namespace kivo {

// Windows-1250 bytes <-> Unicode. Bytes with no character in the code page
// map to U+FFFD; characters the code page lacks map to '?'.
std::string Cp1250ToUtf8(std::string_view ansi);
std::string Utf8ToCp1250(std::string_view utf8);
std::u16string Cp1250ToUtf16(std::string_view ansi);
std::string Utf16ToCp1250(std::u16string_view wide);

// True when the byte has a character in Windows-1250 (all but 0x81, 0x83,
// 0x88, 0x90 and 0x98).
bool Cp1250IsAssigned(unsigned char byte);

// Upper and lower case of Windows-1250 text (accented letters included).
std::string AnsiUpperCase(std::string_view ansi);
std::string AnsiLowerCase(std::string_view ansi);
// The same in place, without another copy of the text.
void AnsiUpperCaseInPlace(std::string& ansi);
void AnsiLowerCaseInPlace(std::string& ansi);
char AnsiUpperChar(char c);
char AnsiLowerChar(char c);

// `text` enclosed in `quote` characters, each `quote` inside doubled.
std::string AnsiQuotedStr(std::string_view text, char quote);

// Locale-aware comparison of Windows-1250 text in the user's locale:
// negative, zero or positive. The Text variants ignore case.
int AnsiCompareStr(std::string_view a, std::string_view b);
int AnsiCompareText(std::string_view a, std::string_view b);
// AnsiCompareText(a, b) == 0.
bool AnsiSameText(std::string_view a, std::string_view b);

// Locale-aware comparison of UTF-16 text in the user's locale (string sort:
// hyphen and apostrophe compare like other punctuation). The Text variant
// ignores case.
int WideCompareStr(std::u16string_view a, std::u16string_view b);
int WideCompareText(std::u16string_view a, std::u16string_view b);

// ---------------------------------------------------------------------------
// The user's locale.

enum class LocaleCategory { kCollate, kNumeric, kTime };

// The locale in effect for a category, as an ICU name ("hu_HU"). It is the
// locale set with SetUserLocale, else the one named by LC_ALL, else by
// LC_COLLATE / LC_NUMERIC / LC_TIME, else by LANG; "C", "POSIX" and an unset
// environment give "en_US".
std::string UserLocaleName(LocaleCategory category = LocaleCategory::kCollate);

// Fixes the locale of every category (a POSIX name such as "hu_HU.UTF-8" or
// an ICU name); an empty name goes back to the environment. Also resets the
// default format settings to those of the new locale.
void SetUserLocale(std::string_view name);

// "hu_HU.UTF-8@euro" -> "hu_HU"; "C", "POSIX" and "" -> "en_US".
std::string IcuLocaleFromPosix(std::string_view posixName);

// ---------------------------------------------------------------------------
// String collation of Windows-1250 text for one locale.
//
// Every byte value has a rank: the number of byte values the locale sorts
// before it as one-character strings. When all 256 ranks differ the locale
// has "fast collation" for single bytes. Single-byte comparisons (the pattern
// matcher's character test) use the ranks; string comparisons give exactly
// the order of the locale's collator. Ranks alone cannot do that for whole
// strings, because the collator compares base letters over the whole string
// before accents and case ("áa" < "ab" although "á" > "a"), so strings go
// through per-byte tables of collation weights compared level by level, or
// through the collator itself when a string holds a multi-letter unit of the
// locale (Hungarian "cs", "gy", "sz", ...).
//
// The ranks and tables take ICU several milliseconds to derive, more than a
// short-lived process spends on everything else, so they are built on first
// need: the first few hundred string comparisons go to the collator (with
// the same results), and any use of ranks or tables builds them at once.
class TCollation {
 public:
  // Opens the collator of an ICU locale name; throws kivo::Exception when
  // ICU has no collator at all.
  explicit TCollation(const std::string& localeName);
  ~TCollation();
  TCollation(const TCollation&) = delete;
  TCollation& operator=(const TCollation&) = delete;

  const std::string& LocaleName() const { return locale_name_; }

  // Rank of a byte, and the rank of its upper-case form.
  int Rank(unsigned char c) const { return EnsureTables().rank_[c]; }
  int UpperRank(unsigned char c) const { return EnsureTables().upper_rank_[c]; }
  // All 256 ranks are distinct.
  bool FastCollation() const { return EnsureTables().fast_; }
  // True when no other character compares equal to `c` (CompareChar gives
  // 0 only for `c` itself).
  bool HasOwnRank(char c) const {
    return EnsureTables().unique_rank_[static_cast<unsigned char>(c)];
  }
  // String comparisons may use the weight tables (the collator's settings
  // allow it); false means every string comparison calls the collator.
  bool UsesWeightTables() const { return EnsureTables().tables_ok_; }

  // Compares two strings; with maxLength >= 0 only their first maxLength
  // bytes take part (prefix comparison). Returns -1, 0 or 1.
  int Compare(std::string_view a, std::string_view b, bool ignoreCase = false,
              int maxLength = -1) const;
  // Compares one byte with another by rank (upper-case rank when ignoring case).
  int CompareChar(char a, char b, bool ignoreCase = false) const;
  // Compares UTF-16 strings with the collator. Returns -1, 0 or 1.
  int CompareWide(std::u16string_view a, std::u16string_view b, bool ignoreCase = false) const;
  // The first `count` primary weights of `s` for presorting: big-endian
  // 32-bit words, a zero word where the weights end, zero words after it.
  // Of two strings whose prefixes differ, Compare orders them as memcmp
  // orders their prefixes (in either case rule); equal prefixes tell
  // nothing. False, and nothing written, when Compare would not use the
  // weight tables for `s`.
  // With `skip`, the weights start after the first `skip` (non-zero)
  // primary weights: of strings that all share those, the prefixes taken
  // from there order them the same way.
  bool PrimaryPrefix(std::string_view s, std::uint8_t* out, int count, int skip = 0) const;
  // The first seven primary weights of `s` as one number: each weight's
  // rank among the locale's primary weights (1..255, 0 where the weights
  // end) in one byte, the first weight in bits 55..48 and so on down. Of two
  // strings whose numbers differ, Compare orders them as the numbers (in
  // either case rule); equal numbers tell nothing. False, and nothing
  // written, when Compare would not use the weight tables for `s` or the
  // locale has more than 255 primary weights.
  bool PrimaryRanks(std::string_view s, std::uint64_t* out) const;
  // Whether PrimaryRanks can answer for strings of this locale at all.
  bool RanksPrimaryWeights() const { return EnsureTables().ranks_ok_; }
  // The collator's own comparison of two Windows-1250 strings, without the
  // weight tables (the reference the tables must agree with).
  int CompareWithCollator(std::string_view a, std::string_view b, bool ignoreCase = false) const;

 private:
  struct Weight {
    std::uint32_t primary;
    std::uint16_t secondary;
    std::uint16_t tertiary;
    std::uint8_t primary_rank = 0;  // 0 for a zero primary weight
  };

  bool HasContraction(std::string_view s) const;
  int CompareByTables(std::string_view a, std::string_view b, bool ignoreCase) const;
  // The tables below, built once; returns this collation.
  const TCollation& EnsureTables() const {
    if (!tables_built_.load(std::memory_order_acquire)) BuildTablesOnce();
    return *this;
  }
  void BuildTablesOnce() const;
  void BuildTables() const;

  std::string locale_name_;
  UCollator* collator_ = nullptr;         // tertiary strength: case-sensitive
  UCollator* collator_nocase_ = nullptr;  // secondary strength: ignores case

  // Built on first need (EnsureTables); a collation is shared as const, so
  // they are mutable, written once under tables_once_ before tables_built_
  // is set.
  mutable std::once_flag tables_once_;
  mutable std::atomic<bool> tables_built_{false};
  // String comparisons made by the collator while the tables were not built.
  mutable std::atomic<int> direct_compares_{0};
  mutable std::array<int, 256> rank_{};
  mutable std::array<int, 256> upper_rank_{};
  mutable bool fast_ = false;
  mutable std::array<bool, 256> unique_rank_{};
  mutable bool tables_ok_ = false;
  mutable bool ranks_ok_ = false;  // every primary weight has a rank
  // Weights of byte c are weights_[offset_[c] .. offset_[c + 1]).
  mutable std::vector<Weight> weights_;
  mutable std::array<std::uint32_t, 257> offset_{};
  // Multi-byte units of the locale, grouped by their first byte.
  mutable std::array<std::vector<std::string>, 256> contractions_;
  // Whether a byte begins one of them: most bytes of most strings do not.
  mutable std::array<bool, 256> starts_contraction_{};
};

// The collation of the user's collation locale, built on first use and
// rebuilt on first use after SetUserLocale (like the default format
// settings, it does not follow later changes of the environment).
std::shared_ptr<const TCollation> UserCollation();

// ---------------------------------------------------------------------------
// Number and date formats.
//
// Format strings use the engine's codes: d dd ddd dddd (day, short and long
// day name), m mm mmm mmmm (month, short and long month name), yy yyyy,
// h hh (hour), n nn (minute), s ss (second), zzz (millisecond), AMPM (the
// AM/PM text), and literal text in double quotes.
struct FormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "m/d/yyyy";
  std::string LongDateFormat = "mmmm d, yyyy";
  std::string ShortTimeFormat = "h:nn AMPM";
  std::string LongTimeFormat = "h:nn:ss AMPM";
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  // Names in Windows-1250; months from January, days from Sunday.
  std::array<std::string, 12> ShortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 12> LongMonthNames{"January",   "February", "March",    "April",
                                             "May",       "June",     "July",     "August",
                                             "September", "October",  "November", "December"};
  std::array<std::string, 7> ShortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::array<std::string, 7> LongDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
};

// The settings of an ICU locale ("hu_HU"), from ICU's locale data; the
// defaults above when ICU has nothing better.
FormatSettings FormatSettingsForLocale(std::string_view localeName);

// The process-wide settings: those of the user's numeric and time locales
// until SetDefaultFormatSettings replaces them.
FormatSettings DefaultFormatSettings();
// Its decimal separator, without copying the rest.
char DefaultDecimalSeparator();
void SetDefaultFormatSettings(const FormatSettings& settings);

}  // namespace kivo
