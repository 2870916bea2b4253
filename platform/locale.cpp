#include "platform/locale.h"

#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/ucoleitr.h>
#include <unicode/udat.h>
#include <unicode/unum.h>
#include <unicode/uset.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/errors.h"

namespace kivo {

// ---------------------------------------------------------------------------
// Code page

namespace {

constexpr char16_t kUnassigned = 0xFFFD;

// Windows-1250, bytes 0x80..0xFF; 0x00..0x7F are ASCII.
constexpr char16_t kHighHalf[128] = {
    0x20AC, 0xFFFD, 0x201A, 0xFFFD, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0xFFFD, 0x2030, 0x0160, 0x2039, 0x015A, 0x0164, 0x017D, 0x0179,  // 88
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0xFFFD, 0x2122, 0x0161, 0x203A, 0x015B, 0x0165, 0x017E, 0x017A,  // 98
    0x00A0, 0x02C7, 0x02D8, 0x0141, 0x00A4, 0x0104, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x015E, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x017B,  // A8
    0x00B0, 0x00B1, 0x02DB, 0x0142, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x0105, 0x015F, 0x00BB, 0x013D, 0x02DD, 0x013E, 0x017C,  // B8
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,  // C0
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,  // C8
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,  // D0
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,  // D8
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,  // E0
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,  // E8
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,  // F0
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,  // F8
};

char16_t ByteToUnit(unsigned char b) { return b < 0x80 ? char16_t(b) : kHighHalf[b - 0x80]; }

struct CodePageTables {
  // Unicode BMP code unit -> byte; 0 means "not in the code page" (except U+0000).
  std::vector<unsigned char> from_unicode = std::vector<unsigned char>(0x10000, 0);
  std::array<unsigned char, 256> upper{};
  std::array<unsigned char, 256> lower{};

  CodePageTables() {
    for (int b = 1; b < 256; ++b) {
      const char16_t u = ByteToUnit(static_cast<unsigned char>(b));
      if (u != kUnassigned) from_unicode[u] = static_cast<unsigned char>(b);
    }
    // Simple (one-to-one) case mapping; a letter whose other case the code
    // page lacks (sharp s, micro sign) stays as it is.
    for (int b = 0; b < 256; ++b) {
      upper[b] = lower[b] = static_cast<unsigned char>(b);
      const char16_t u = ByteToUnit(static_cast<unsigned char>(b));
      if (u == kUnassigned) continue;
      const UChar32 up = u_toupper(u);
      const UChar32 low = u_tolower(u);
      if (up < 0x10000 && from_unicode[up] != 0) upper[b] = from_unicode[up];
      if (low < 0x10000 && from_unicode[low] != 0) lower[b] = from_unicode[low];
    }
  }
};

const CodePageTables& Tables() {
  static const CodePageTables tables;
  return tables;
}

char UnitToByte(char32_t u) {
  if (u == 0) return '\0';
  if (u >= 0x10000) return '?';
  const unsigned char b = Tables().from_unicode[u];
  return b != 0 ? static_cast<char>(b) : '?';
}

}  // namespace

bool Cp1250IsAssigned(unsigned char byte) { return ByteToUnit(byte) != kUnassigned; }

std::u16string Cp1250ToUtf16(std::string_view ansi) {
  std::u16string out;
  out.reserve(ansi.size());
  for (char c : ansi) out += ByteToUnit(static_cast<unsigned char>(c));
  return out;
}

std::string Utf16ToCp1250(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const char16_t u = wide[i];
    if (U16_IS_LEAD(u) && i + 1 < wide.size() && U16_IS_TRAIL(wide[i + 1])) {
      ++i;  // a supplementary character: one '?'
      out += '?';
    } else if (U16_IS_SURROGATE(u)) {
      out += '?';
    } else {
      out += UnitToByte(u);
    }
  }
  return out;
}

std::string Cp1250ToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() + ansi.size() / 4);
  for (char c : ansi) {
    const char16_t u = ByteToUnit(static_cast<unsigned char>(c));
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

std::string Utf8ToCp1250(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto length = static_cast<std::int32_t>(utf8.size());
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    // Ill-formed sequences come back as a negative value: one '?' each.
    U8_NEXT(s, i, length, c);
    out += c < 0 ? '?' : UnitToByte(static_cast<char32_t>(c));
  }
  return out;
}

char AnsiUpperChar(char c) {
  return static_cast<char>(Tables().upper[static_cast<unsigned char>(c)]);
}

char AnsiLowerChar(char c) {
  return static_cast<char>(Tables().lower[static_cast<unsigned char>(c)]);
}

void AnsiUpperCaseInPlace(std::string& ansi) {
  const auto& upper = Tables().upper;
  for (char& c : ansi) c = static_cast<char>(upper[static_cast<unsigned char>(c)]);
}

void AnsiLowerCaseInPlace(std::string& ansi) {
  const auto& lower = Tables().lower;
  for (char& c : ansi) c = static_cast<char>(lower[static_cast<unsigned char>(c)]);
}

std::string AnsiUpperCase(std::string_view ansi) {
  std::string out(ansi);
  AnsiUpperCaseInPlace(out);
  return out;
}

std::string AnsiLowerCase(std::string_view ansi) {
  std::string out(ansi);
  AnsiLowerCaseInPlace(out);
  return out;
}

// ---------------------------------------------------------------------------
// The user's locale

namespace {

std::mutex& LocaleMutex() {
  static std::mutex m;
  return m;
}

// Guarded by LocaleMutex().
std::optional<std::string>& LocaleOverride() {
  static std::optional<std::string> name;
  return name;
}

std::string EnvValue(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

std::string IcuLocaleFromPosix(std::string_view posixName) {
  std::string name(posixName);
  const std::size_t cut = name.find_first_of(".@");
  if (cut != std::string::npos) name.resize(cut);
  std::replace(name.begin(), name.end(), '-', '_');
  if (name.empty() || name == "C" || name == "POSIX") return "en_US";
  return name;
}

std::string UserLocaleName(LocaleCategory category) {
  {
    std::lock_guard<std::mutex> lock(LocaleMutex());
    if (LocaleOverride()) return *LocaleOverride();
  }
  std::string name = EnvValue("LC_ALL");
  if (name.empty()) {
    const char* var = category == LocaleCategory::kCollate   ? "LC_COLLATE"
                      : category == LocaleCategory::kNumeric ? "LC_NUMERIC"
                                                             : "LC_TIME";
    name = EnvValue(var);
  }
  if (name.empty()) name = EnvValue("LANG");
  return IcuLocaleFromPosix(name);
}

namespace {

std::mutex& FormatMutex() {
  static std::mutex m;
  return m;
}

std::mutex& CollationMutex() {
  static std::mutex m;
  return m;
}

// Guarded by CollationMutex(); empty until first use or after a locale
// change. Kept rather than looked up per call: comparisons ask for it all
// the time, and reading the environment each time costs more than they do.
std::shared_ptr<const TCollation>& CollationSlot() {
  static std::shared_ptr<const TCollation> collation;
  return collation;
}

// Guarded by FormatMutex(); empty until first use or after a locale change.
std::optional<FormatSettings>& DefaultSettingsSlot() {
  static std::optional<FormatSettings> settings;
  return settings;
}

}  // namespace

void SetUserLocale(std::string_view name) {
  {
    std::lock_guard<std::mutex> lock(LocaleMutex());
    if (name.empty()) {
      LocaleOverride().reset();
    } else {
      LocaleOverride() = IcuLocaleFromPosix(name);
    }
  }
  {
    std::lock_guard<std::mutex> lock(FormatMutex());
    DefaultSettingsSlot().reset();
  }
  std::lock_guard<std::mutex> lock(CollationMutex());
  CollationSlot().reset();
}

// ---------------------------------------------------------------------------
// Collation

namespace {

// ICU's 64-bit collation element, rebuilt from the iterator's pair of 32-bit
// halves: primary 32 bits, secondary 16 bits, tertiary 16 bits (the top two
// tertiary bits are case bits, which a default-strength comparison ignores).
struct FullElement {
  std::uint32_t primary;
  std::uint16_t secondary;
  std::uint16_t tertiary;
};

bool IsContinuation(std::int32_t ce) { return (ce & 0xC0) == 0xC0; }

std::vector<FullElement> ElementsOf(const UCollator* coll, char16_t unit, bool* ok) {
  std::vector<FullElement> out;
  UErrorCode status = U_ZERO_ERROR;
  UCollationElements* it = ucol_openElements(coll, &unit, 1, &status);
  if (U_FAILURE(status)) {
    *ok = false;
    return out;
  }
  std::int32_t ce = ucol_next(it, &status);
  while (U_SUCCESS(status) && ce != UCOL_NULLORDER) {
    const auto first = static_cast<std::uint32_t>(ce);
    std::uint32_t second = 0;
    std::int32_t next = ucol_next(it, &status);
    if (U_SUCCESS(status) && next != UCOL_NULLORDER && IsContinuation(next)) {
      second = static_cast<std::uint32_t>(next);
      next = ucol_next(it, &status);
    }
    FullElement e;
    e.primary = (first & 0xFFFF0000u) | (second >> 16);
    e.secondary = static_cast<std::uint16_t>((first & 0xFF00u) | ((second >> 8) & 0xFFu));
    e.tertiary = static_cast<std::uint16_t>(((first & 0xFFu) << 8) | (second & 0x3Fu));
    out.push_back(e);
    ce = next;
  }
  if (U_FAILURE(status)) *ok = false;
  ucol_closeElements(it);
  return out;
}

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int IcuCompare(const UCollator* coll, std::u16string_view a, std::u16string_view b) {
  const UCollationResult r =
      ucol_strcoll(coll, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                   reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

}  // namespace

TCollation::TCollation(const std::string& localeName) : locale_name_(localeName) {
  UErrorCode status = U_ZERO_ERROR;
  collator_ = ucol_open(locale_name_.c_str(), &status);
  if (U_FAILURE(status) || collator_ == nullptr) {
    throw Exception("TCollation - cannot open the collator of locale " + locale_name_);
  }
  collator_nocase_ = ucol_clone(collator_, &status);
  if (U_FAILURE(status) || collator_nocase_ == nullptr) {
    ucol_close(collator_);
    throw Exception("TCollation - cannot open the collator of locale " + locale_name_);
  }
  ucol_setStrength(collator_nocase_, UCOL_SECONDARY);
}

void TCollation::BuildTablesOnce() const {
  std::call_once(tables_once_, [this] { BuildTables(); });
  tables_built_.store(true, std::memory_order_release);
}

void TCollation::BuildTables() const {
  // Ranks from one-character comparisons: a character's rank is the number
  // of characters that sort before it. The collator orders the characters
  // once (a sort, not every pair), and equal ones share the rank of the
  // first of their run.
  std::array<char16_t, 256> unit{};
  for (int c = 0; c < 256; ++c) unit[c] = ByteToUnit(static_cast<unsigned char>(c));
  const auto compare_units = [&](int a, int b) {
    return IcuCompare(collator_, std::u16string_view(&unit[a], 1),
                      std::u16string_view(&unit[b], 1));
  };
  std::array<int, 256> order{};
  for (int c = 0; c < 256; ++c) order[c] = c;
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return compare_units(a, b) < 0; });
  for (int i = 0; i < 256;) {
    int j = i + 1;
    while (j < 256 && compare_units(order[i], order[j]) == 0) ++j;
    for (int k = i; k < j; ++k) rank_[order[k]] = i;
    i = j;
  }
  std::array<bool, 256> seen{};
  std::array<int, 256> sharing{};
  fast_ = true;
  for (int c = 0; c < 256; ++c) {
    if (seen[rank_[c]]) fast_ = false;
    seen[rank_[c]] = true;
    ++sharing[rank_[c]];
    upper_rank_[c] = rank_[Tables().upper[c]];
  }
  for (int c = 0; c < 256; ++c) unique_rank_[c] = sharing[rank_[c]] == 1;

  // The weight tables reproduce the collator only under its default kind of
  // comparison: forward secondaries, non-ignorable punctuation, no case
  // level or case ordering, no script reordering, no numeric ordering.
  auto attr = [&](UColAttribute a) {
    UErrorCode st = U_ZERO_ERROR;
    const UColAttributeValue v = ucol_getAttribute(collator_, a, &st);
    return U_SUCCESS(st) ? v : UCOL_DEFAULT;
  };
  UErrorCode st = U_ZERO_ERROR;
  const int reorder_count = ucol_getReorderCodes(collator_, nullptr, 0, &st);
  tables_ok_ = attr(UCOL_FRENCH_COLLATION) == UCOL_OFF &&
               attr(UCOL_ALTERNATE_HANDLING) == UCOL_NON_IGNORABLE &&
               attr(UCOL_CASE_LEVEL) == UCOL_OFF && attr(UCOL_CASE_FIRST) == UCOL_OFF &&
               attr(UCOL_NUMERIC_COLLATION) == UCOL_OFF && attr(UCOL_STRENGTH) == UCOL_TERTIARY &&
               reorder_count == 0;

  offset_[0] = 0;
  for (int c = 0; c < 256 && tables_ok_; ++c) {
    bool ok = true;
    for (const FullElement& e : ElementsOf(collator_, unit[c], &ok)) {
      weights_.push_back(
          Weight{e.primary, e.secondary, static_cast<std::uint16_t>(e.tertiary & 0x3F3F)});
    }
    if (!ok) tables_ok_ = false;
    offset_[c + 1] = static_cast<std::uint32_t>(weights_.size());
  }

  // Multi-character units (contractions and context-dependent mappings) made
  // only of code-page characters: strings holding one are left to the collator.
  if (tables_ok_) {
    USet* contractions = uset_openEmpty();
    UErrorCode cst = U_ZERO_ERROR;
    ucol_getContractionsAndExpansions(collator_, contractions, nullptr, true, &cst);
    if (U_FAILURE(cst)) tables_ok_ = false;
    const int32_t items = uset_getItemCount(contractions);
    std::vector<UChar> buffer(64);
    for (int32_t i = 0; i < items && tables_ok_; ++i) {
      UChar32 start, end;
      UErrorCode ist = U_ZERO_ERROR;
      int32_t len = uset_getItem(contractions, i, &start, &end, buffer.data(),
                                 static_cast<int32_t>(buffer.size()), &ist);
      if (ist == U_BUFFER_OVERFLOW_ERROR) {
        buffer.resize(static_cast<std::size_t>(len) + 1);
        ist = U_ZERO_ERROR;
        len = uset_getItem(contractions, i, &start, &end, buffer.data(),
                           static_cast<int32_t>(buffer.size()), &ist);
      }
      if (U_FAILURE(ist) || len <= 0) continue;  // a code point range, not a string
      std::string bytes;
      bool representable = true;
      for (int32_t k = 0; k < len && representable; ++k) {
        const UChar u = buffer[static_cast<std::size_t>(k)];
        const unsigned char b = Tables().from_unicode[u];
        if (b == 0 && u != 0) representable = false;
        bytes += static_cast<char>(b);
      }
      if (representable) {
        contractions_[static_cast<unsigned char>(bytes[0])].push_back(bytes);
        starts_contraction_[static_cast<unsigned char>(bytes[0])] = true;
      }
    }
    uset_close(contractions);
  }

  // Ranks of the primary weights, for packing several into one number.
  if (tables_ok_) {
    std::vector<std::uint32_t> primaries;
    for (const Weight& w : weights_)
      if (w.primary != 0) primaries.push_back(w.primary);
    std::sort(primaries.begin(), primaries.end());
    primaries.erase(std::unique(primaries.begin(), primaries.end()), primaries.end());
    ranks_ok_ = primaries.size() <= 255;
    if (ranks_ok_) {
      for (Weight& w : weights_) {
        if (w.primary == 0) continue;
        const auto at = std::lower_bound(primaries.begin(), primaries.end(), w.primary);
        w.primary_rank = static_cast<std::uint8_t>(at - primaries.begin() + 1);
      }
    }
  }
}

TCollation::~TCollation() {
  ucol_close(collator_nocase_);
  ucol_close(collator_);
}

bool TCollation::HasContraction(std::string_view s) const {
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (!starts_contraction_[c]) continue;
    for (const std::string& unit : contractions_[c]) {
      if (s.compare(i, unit.size(), unit) == 0) return true;
    }
  }
  return false;
}

int TCollation::CompareByTables(std::string_view a, std::string_view b, bool ignoreCase) const {
  // Walks the weights of one level through a string, skipping zero weights;
  // 0 marks the end, which sorts before every real weight.
  struct Cursor {
    const TCollation* self;
    std::string_view s;
    std::size_t pos = 0;
    std::uint32_t index = 0;
    bool started = false;

    std::uint32_t Next(int level) {
      for (;;) {
        if (pos >= s.size()) return 0;
        const auto c = static_cast<unsigned char>(s[pos]);
        if (!started) {
          index = self->offset_[c];
          started = true;
        }
        if (index < self->offset_[c + 1]) {
          const Weight& w = self->weights_[index++];
          const std::uint32_t v = level == 0 ? w.primary : (level == 1 ? w.secondary : w.tertiary);
          if (v != 0) return v;
        } else {
          ++pos;
          started = false;
        }
      }
    }
  };
  const int levels = ignoreCase ? 2 : 3;
  for (int level = 0; level < levels; ++level) {
    Cursor left{this, a};
    Cursor right{this, b};
    for (;;) {
      const std::uint32_t l = left.Next(level);
      const std::uint32_t r = right.Next(level);
      if (l != r) return l < r ? -1 : 1;
      if (l == 0) break;
    }
  }
  return 0;
}

bool TCollation::PrimaryPrefix(std::string_view s, std::uint8_t* out, int count, int skip) const {
  EnsureTables();
  if (!tables_ok_ || HasContraction(s)) return false;
  int n = 0;
  for (std::size_t pos = 0; pos < s.size() && n < count; ++pos) {
    const auto c = static_cast<unsigned char>(s[pos]);
    for (std::uint32_t i = offset_[c]; i < offset_[c + 1] && n < count; ++i) {
      const std::uint32_t v = weights_[i].primary;
      if (v == 0) continue;
      if (skip > 0) {
        --skip;
        continue;
      }
      for (int k = 0; k < 4; ++k) out[4 * n + k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
      ++n;
    }
  }
  std::memset(out + 4 * n, 0, static_cast<std::size_t>(4 * (count - n)));
  return true;
}

bool TCollation::PrimaryRanks(std::string_view s, std::uint64_t* out) const {
  EnsureTables();
  if (!ranks_ok_ || HasContraction(s)) return false;
  std::uint64_t packed = 0;
  int n = 0;
  for (std::size_t pos = 0; pos < s.size() && n < 7; ++pos) {
    const auto c = static_cast<unsigned char>(s[pos]);
    for (std::uint32_t i = offset_[c]; i < offset_[c + 1] && n < 7; ++i) {
      const std::uint8_t rank = weights_[i].primary_rank;
      if (rank == 0) continue;
      packed |= std::uint64_t{rank} << (48 - 8 * n);
      ++n;
    }
  }
  *out = packed;
  return true;
}

int TCollation::CompareWithCollator(std::string_view a, std::string_view b, bool ignoreCase) const {
  return IcuCompare(ignoreCase ? collator_nocase_ : collator_, Cp1250ToUtf16(a), Cp1250ToUtf16(b));
}

int TCollation::Compare(std::string_view a, std::string_view b, bool ignoreCase,
                        int maxLength) const {
  if (maxLength >= 0) {
    a = a.substr(0, std::min<std::size_t>(a.size(), static_cast<std::size_t>(maxLength)));
    b = b.substr(0, std::min<std::size_t>(b.size(), static_cast<std::size_t>(maxLength)));
  }
  if (a == b) return 0;
  if (!tables_built_.load(std::memory_order_acquire)) {
    // A process that compares a few names never pays for the tables.
    constexpr int kDirectComparesBeforeTables = 512;
    if (direct_compares_.fetch_add(1, std::memory_order_relaxed) < kDirectComparesBeforeTables) {
      return CompareWithCollator(a, b, ignoreCase);
    }
    EnsureTables();
  }
  if (tables_ok_ && !HasContraction(a) && !HasContraction(b)) {
    // Without contractions every byte has weights of its own at every
    // level, so equal leading bytes cannot decide: start at the first
    // difference.
    const std::size_t common = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
        a.begin());
    return CompareByTables(a.substr(common), b.substr(common), ignoreCase);
  }
  return CompareWithCollator(a, b, ignoreCase);
}

int TCollation::CompareChar(char a, char b, bool ignoreCase) const {
  EnsureTables();
  const auto x = static_cast<unsigned char>(a);
  const auto y = static_cast<unsigned char>(b);
  return ignoreCase ? Sign(upper_rank_[x] - upper_rank_[y]) : Sign(rank_[x] - rank_[y]);
}

int TCollation::CompareWide(std::u16string_view a, std::u16string_view b, bool ignoreCase) const {
  return IcuCompare(ignoreCase ? collator_nocase_ : collator_, a, b);
}

std::shared_ptr<const TCollation> UserCollation() {
  std::lock_guard<std::mutex> lock(CollationMutex());
  std::shared_ptr<const TCollation>& slot = CollationSlot();
  if (!slot) slot = std::make_shared<const TCollation>(UserLocaleName(LocaleCategory::kCollate));
  return slot;
}

int AnsiCompareStr(std::string_view a, std::string_view b) {
  return UserCollation()->Compare(a, b, false);
}

int AnsiCompareText(std::string_view a, std::string_view b) {
  return UserCollation()->Compare(a, b, true);
}

bool AnsiSameText(std::string_view a, std::string_view b) { return AnsiCompareText(a, b) == 0; }

int WideCompareStr(std::u16string_view a, std::u16string_view b) {
  return UserCollation()->CompareWide(a, b, false);
}

int WideCompareText(std::u16string_view a, std::u16string_view b) {
  return UserCollation()->CompareWide(a, b, true);
}

// ---------------------------------------------------------------------------
// Number and date formats

namespace {

// A one-character ICU symbol as a code-page byte; `fallback` when it is not one.
char SymbolByte(const std::u16string& symbol, char fallback) {
  if (symbol.size() != 1) return fallback;
  if (u_isUWhiteSpace(symbol[0]) && symbol[0] != 0xA0) return ' ';
  const char b = UnitToByte(symbol[0]);
  return b == '?' ? fallback : b;
}

// Turns an ICU date pattern into the engine's format codes.
std::string ConvertPattern(const std::u16string& pattern) {
  std::string out;
  std::size_t i = 0;
  while (i < pattern.size()) {
    const char16_t c = pattern[i];
    if (c == u'\'') {
      // Quoted literal; '' is one apostrophe.
      std::u16string literal;
      std::size_t j = i + 1;
      if (j < pattern.size() && pattern[j] == u'\'') {
        out += '\'';
        i = j + 1;
        continue;
      }
      while (j < pattern.size()) {
        if (pattern[j] == u'\'') {
          if (j + 1 < pattern.size() && pattern[j + 1] == u'\'') {
            literal += u'\'';
            j += 2;
            continue;
          }
          break;
        }
        literal += pattern[j++];
      }
      if (!literal.empty()) out += "\"" + Utf16ToCp1250(literal) + "\"";
      i = j + 1;
      continue;
    }
    if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
      std::size_t n = 1;
      while (i + n < pattern.size() && pattern[i + n] == c) ++n;
      i += n;
      switch (c) {
        case u'y':
          // Always four digits: a two-digit year cannot be read back unambiguously.
          out += "yyyy";
          break;
        case u'M':
        case u'L':
          out += n == 1 ? "m" : n == 2 ? "mm" : n == 3 ? "mmm" : "mmmm";
          break;
        case u'd':
          out += n == 1 ? "d" : "dd";
          break;
        case u'E':
        case u'c':
        case u'e':
          out += n >= 4 ? "dddd" : "ddd";
          break;
        case u'H':
        case u'h':
        case u'k':
        case u'K':
          out += n == 1 ? "h" : "hh";
          break;
        case u'm':
          out += n == 1 ? "n" : "nn";
          break;
        case u's':
          out += n == 1 ? "s" : "ss";
          break;
        case u'S':
          out += "zzz";
          break;
        case u'a':
        case u'b':
        case u'B':
          out += "AMPM";
          break;
        default:
          break;  // era, zone and other fields have no code of their own
      }
      continue;
    }
    out += u_isUWhiteSpace(c) ? ' ' : UnitToByte(c);
    ++i;
  }
  // Dropped fields may leave blanks at the ends.
  const std::size_t first = out.find_first_not_of(' ');
  const std::size_t last = out.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : out.substr(first, last - first + 1);
}

std::u16string PatternOf(const char* locale, UDateFormatStyle time, UDateFormatStyle date) {
  UErrorCode st = U_ZERO_ERROR;
  UDateFormat* f = udat_open(time, date, locale, nullptr, 0, nullptr, 0, &st);
  if (U_FAILURE(st)) return {};
  std::u16string out(128, u'\0');
  const int32_t n = udat_toPattern(f, false, reinterpret_cast<UChar*>(out.data()),
                                   static_cast<int32_t>(out.size()), &st);
  udat_close(f);
  if (U_FAILURE(st) || n <= 0 || n > static_cast<int32_t>(out.size())) return {};
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string SymbolOf(const UDateFormat* f, UDateFormatSymbolType type, int32_t index) {
  UErrorCode st = U_ZERO_ERROR;
  std::u16string out(64, u'\0');
  const int32_t n = udat_getSymbols(f, type, index, reinterpret_cast<UChar*>(out.data()),
                                    static_cast<int32_t>(out.size()), &st);
  if (U_FAILURE(st) || n <= 0 || n > static_cast<int32_t>(out.size())) return {};
  out.resize(static_cast<std::size_t>(n));
  return Utf16ToCp1250(out);
}

// The first character of a format that is not a code letter, a blank or a quote.
char FirstSeparator(const std::string& format, char fallback) {
  for (char c : format) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && c != ' ' && c != '"') return c;
  }
  return fallback;
}

void FillNumberSymbols(const std::string& locale, FormatSettings& fs) {
  UErrorCode st = U_ZERO_ERROR;
  UNumberFormat* nf = unum_open(UNUM_DECIMAL, nullptr, 0, locale.c_str(), nullptr, &st);
  if (U_FAILURE(st)) return;
  auto symbol = [&](UNumberFormatSymbol which) {
    UErrorCode s = U_ZERO_ERROR;
    std::u16string out(16, u'\0');
    const int32_t n = unum_getSymbol(nf, which, reinterpret_cast<UChar*>(out.data()),
                                     static_cast<int32_t>(out.size()), &s);
    if (U_FAILURE(s) || n <= 0 || n > static_cast<int32_t>(out.size())) return std::u16string();
    out.resize(static_cast<std::size_t>(n));
    return out;
  };
  fs.DecimalSeparator = SymbolByte(symbol(UNUM_DECIMAL_SEPARATOR_SYMBOL), fs.DecimalSeparator);
  fs.ThousandSeparator = SymbolByte(symbol(UNUM_GROUPING_SEPARATOR_SYMBOL), fs.ThousandSeparator);
  if (fs.ThousandSeparator == fs.DecimalSeparator) {
    fs.ThousandSeparator = fs.DecimalSeparator == ',' ? '.' : ',';
  }
  unum_close(nf);
}

void FillDateSymbols(const std::string& locale, FormatSettings& fs) {
  const char* loc = locale.c_str();
  const std::string short_date = ConvertPattern(PatternOf(loc, UDAT_NONE, UDAT_SHORT));
  const std::string long_date = ConvertPattern(PatternOf(loc, UDAT_NONE, UDAT_LONG));
  const std::string short_time = ConvertPattern(PatternOf(loc, UDAT_SHORT, UDAT_NONE));
  const std::string long_time = ConvertPattern(PatternOf(loc, UDAT_MEDIUM, UDAT_NONE));
  if (!short_date.empty()) fs.ShortDateFormat = short_date;
  if (!long_date.empty()) fs.LongDateFormat = long_date;
  if (!short_time.empty()) fs.ShortTimeFormat = short_time;
  if (!long_time.empty()) fs.LongTimeFormat = long_time;
  fs.DateSeparator = FirstSeparator(fs.ShortDateFormat, fs.DateSeparator);
  fs.TimeSeparator = FirstSeparator(fs.LongTimeFormat, fs.TimeSeparator);

  UErrorCode st = U_ZERO_ERROR;
  UDateFormat* f = udat_open(UDAT_DEFAULT, UDAT_DEFAULT, loc, nullptr, 0, nullptr, 0, &st);
  if (U_FAILURE(st)) return;
  auto take = [](std::string value, std::string& slot) {
    if (!value.empty()) slot = std::move(value);
  };
  for (int i = 0; i < 12; ++i) {
    take(SymbolOf(f, UDAT_MONTHS, i), fs.LongMonthNames[static_cast<std::size_t>(i)]);
    take(SymbolOf(f, UDAT_SHORT_MONTHS, i), fs.ShortMonthNames[static_cast<std::size_t>(i)]);
  }
  // ICU numbers week days from 1 (Sunday).
  for (int i = 0; i < 7; ++i) {
    take(SymbolOf(f, UDAT_WEEKDAYS, i + 1), fs.LongDayNames[static_cast<std::size_t>(i)]);
    take(SymbolOf(f, UDAT_SHORT_WEEKDAYS, i + 1), fs.ShortDayNames[static_cast<std::size_t>(i)]);
  }
  take(SymbolOf(f, UDAT_AM_PMS, 0), fs.TimeAMString);
  take(SymbolOf(f, UDAT_AM_PMS, 1), fs.TimePMString);
  udat_close(f);
}

}  // namespace

FormatSettings FormatSettingsForLocale(std::string_view localeName) {
  FormatSettings fs;
  const std::string locale(localeName);
  FillNumberSymbols(locale, fs);
  FillDateSymbols(locale, fs);
  return fs;
}

FormatSettings DefaultFormatSettings() {
  {
    std::lock_guard<std::mutex> lock(FormatMutex());
    if (DefaultSettingsSlot()) return *DefaultSettingsSlot();
  }
  FormatSettings fs = FormatSettingsForLocale(UserLocaleName(LocaleCategory::kNumeric));
  const FormatSettings time = FormatSettingsForLocale(UserLocaleName(LocaleCategory::kTime));
  fs.DateSeparator = time.DateSeparator;
  fs.TimeSeparator = time.TimeSeparator;
  fs.ShortDateFormat = time.ShortDateFormat;
  fs.LongDateFormat = time.LongDateFormat;
  fs.ShortTimeFormat = time.ShortTimeFormat;
  fs.LongTimeFormat = time.LongTimeFormat;
  fs.TimeAMString = time.TimeAMString;
  fs.TimePMString = time.TimePMString;
  fs.ShortMonthNames = time.ShortMonthNames;
  fs.LongMonthNames = time.LongMonthNames;
  fs.ShortDayNames = time.ShortDayNames;
  fs.LongDayNames = time.LongDayNames;
  std::lock_guard<std::mutex> lock(FormatMutex());
  if (!DefaultSettingsSlot()) DefaultSettingsSlot() = fs;
  return *DefaultSettingsSlot();
}

char DefaultDecimalSeparator() {
  {
    std::lock_guard<std::mutex> lock(FormatMutex());
    if (DefaultSettingsSlot()) return DefaultSettingsSlot()->DecimalSeparator;
  }
  return DefaultFormatSettings().DecimalSeparator;
}

void SetDefaultFormatSettings(const FormatSettings& settings) {
  std::lock_guard<std::mutex> lock(FormatMutex());
  DefaultSettingsSlot() = settings;
}

std::string AnsiQuotedStr(std::string_view text, char quote) {
  std::string out(1, quote);
  for (char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  out += quote;
  return out;
}

}  // namespace kivo
