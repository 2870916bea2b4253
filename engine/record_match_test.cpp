// Matching records against one condition on a real table: the index path
// returns exactly what a scan returns, for every operator, case rule and
// comparison kind, with Hungarian accented strings, nulls and duplicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/index_test_support.h"
#include "engine/record_match.h"
#include "platform/locale.h"

namespace kivo {
namespace {

using testing::TempDir;

struct MatchRow {
  std::optional<std::string> s;  // Windows-1250
  std::optional<std::int32_t> n;
  std::optional<double> t;  // stored date-time
};

constexpr std::int32_t kS = 0, kN = 1, kW = 2, kT = 3;

// A table (s STRING(6), n INTEGER, w WIDESTRING(8) holding s, t DATETIME)
// with indexes on each field, one of them ignoring case and one descending.
class MatchTable {
 public:
  explicit MatchTable(const TempDir& dir) : store_(dir.path()) {
    {
      TDataManagerHold m0(krGetDataManager("m", &store_));
      TFieldDefs fields;
      fields.Add("s", ftString, 6);
      fields.Add("n", ftInteger);
      fields.Add("w", ftWideString, 16);
      fields.Add("t", ftDateTime);
      m0->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    m_ = krGetDataManager("m", &store_);
    EXPECT_EQ(m_->OpenTable(), kOpenOk);
    m_->AddIndex("nDown", "n", ixDescending, "", "", false);
    m_->AddIndex("sCase", "s", 0, "", "", false);
    m_->AddIndex("sNoCase", "s", 0, "", "s", false);
    m_->AddIndex("n", "n", 0, "", "", false);
    m_->AddIndex("wCase", "w", 0, "", "", false);
    m_->AddIndex("t", "t", 0, "", "", false);
  }
  ~MatchTable() {
    m_->CloseTable();
    krReleaseDataManager(m_);
  }
  TKivoDataManager& m() { return *m_; }

  std::vector<std::uint8_t> Image(const MatchRow& row, std::uint32_t id) const {
    const TkrRecordLayout& l = m_->Layout();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize), 0);
    if (row.s) {
      std::memcpy(buf.data() + m_->FieldOffset(kS), row.s->data(),
                  std::min<std::size_t>(row.s->size(), 5));
      const std::u16string w = Cp1250ToUtf16(*row.s);
      std::memcpy(buf.data() + m_->FieldOffset(kW), w.data(),
                  std::min<std::size_t>(w.size(), 7) * 2);
    }
    if (row.n) std::memcpy(buf.data() + m_->FieldOffset(kN), &*row.n, 4);
    if (row.t) std::memcpy(buf.data() + m_->FieldOffset(kT), &*row.t, 8);
    SetFieldNull(l, buf.data(), kS, !row.s);
    SetFieldNull(l, buf.data(), kW, !row.s);
    SetFieldNull(l, buf.data(), kN, !row.n);
    SetFieldNull(l, buf.data(), kT, !row.t);
    SetRecordId(l, buf.data(), id);
    return buf;
  }
  void Insert(const MatchRow& row) {
    ++count_;
    m_->InsertRecord(Image(row, count_).data(), 0);
  }

  // A condition on `field` with its value buffer as a data set prepares it:
  // the value in the field's slot, the null bitmap all ones for a null value.
  TSearchOperation Condition(std::int32_t field, std::uint8_t op, const MatchRow& value,
                             bool partial) const {
    TSearchOperation c;
    c.FieldNo = field;
    c.Operator = op;
    c.PartialCompare = partial && (field == kS || field == kW);
    c.ValueText = value.s.value_or("");
    c.ValueBuffer = Image(value, 0);
    if (field == -1)
      SetRecordId(m_->Layout(), c.ValueBuffer.data(),
                  static_cast<std::uint32_t>(value.n.value_or(0)));
    const bool nullValue = op == soIsNull || op == soIsNotNull;
    const TkrRecordLayout& l = m_->Layout();
    std::memset(c.ValueBuffer.data() + l.NullBitmapOffset, nullValue ? 0xFF : 0,
                static_cast<std::size_t>(l.NullBitmapSize));
    return c;
  }

 private:
  testing::DirStore store_;
  TKivoDataManager* m_ = nullptr;
  std::uint32_t count_ = 0;
};

MatchRow RandomRow(std::mt19937& rng) {
  MatchRow r;
  if (rng() % 8 != 0) {
    r.s = testing::kAccentedWords[rng() % testing::kAccentedWords.size()];
    if (r.s->empty()) r.s.reset();  // an empty string is stored as null
  }
  if (rng() % 8 != 0) r.n = static_cast<std::int32_t>(rng() % 11) - 5;
  if (rng() % 8 != 0) r.t = static_cast<double>((693000 + rng() % 2000) * 86400000.0 + rng() % 4);
  return r;
}

class RecordMatch : public ::testing::Test {
 protected:
  void SetUp() override { SetUserLocale("hu_HU"); }
  void TearDown() override { SetUserLocale(""); }
  TempDir dir;
};

TEST_F(RecordMatch, TheIndexPathReturnsExactlyWhatAScanReturns) {
  MatchTable t(dir);
  std::mt19937 rng(2091);
  for (int i = 0; i < 300; ++i) t.Insert(RandomRow(rng));
  int indexed = 0, scanned = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::int32_t field = static_cast<std::int32_t>(rng() % 5) - 1;  // -1: the identifier
    const std::uint8_t ops[] = {soEqual, soNotEqual, soAtMost, soAtLeast,
                                soLess,  soGreater,  soIsNull, soIsNotNull};
    const std::uint8_t op = ops[rng() % 8];
    const TFilterOptions options = static_cast<TFilterOptions>(rng() % 4);
    MatchRow value = RandomRow(rng);
    if (!value.s) value.s = "a";
    if (!value.n) value.n = 3;
    if (!value.t) value.t = 693500 * 86400000.0;
    const TSearchOperation c = t.Condition(field, op, value, (options & foNoPartialCompare) == 0);
    SCOPED_TRACE("field " + std::to_string(field) + " op " + SearchOperatorText(op) + " value '" +
                 *value.s + "' n " + std::to_string(*value.n) + " options " +
                 std::to_string(options));
    TkrRecordMatcher matcher(t.m(), c, options);
    std::vector<std::int32_t> scan;
    for (std::int32_t pos = 0; pos < t.m().RecordCount(); ++pos)
      if (matcher.Matches(t.m().GetRecordPtr(pos))) scan.push_back(pos);
    std::vector<std::int32_t> found = matcher.MatchedPositions(false);
    (matcher.FittingIndex() >= 0 ? indexed : scanned) += 1;
    std::sort(found.begin(), found.end());
    ASSERT_EQ(found, scan);
    TBitsArray bits;
    matcher.MatchOverTable(bits);
    ASSERT_EQ(bits.Positions(), scan);
    const std::vector<std::int32_t> first = matcher.MatchedPositions(true);
    ASSERT_EQ(first.size(), std::min<std::size_t>(1, scan.size()));
  }
  EXPECT_GT(indexed, 300);
  EXPECT_GT(scanned, 300);
}

TEST_F(RecordMatch, IndexesAreChosenOnlyWhereTheirOrderIsTheComparisons) {
  MatchTable t(dir);
  t.Insert(MatchRow{"ab", 1, {}});
  const MatchRow v{"a", 1, {}};
  auto fitting = [&](std::int32_t field, bool partial, TFilterOptions options) {
    const TSearchOperation c = t.Condition(field, soEqual, v, partial);
    const std::int32_t i = TkrRecordMatcher(t.m(), c, options).FittingIndex();
    return i < 0 ? std::string("scan") : t.m().IndexHeader(i).IndexName;
  };
  EXPECT_EQ(fitting(kN, false, 0), "n");  // never the descending one
  EXPECT_EQ(fitting(kS, false, 0), "sCase");
  EXPECT_EQ(fitting(kS, false, foCaseInsensitive), "sNoCase");
  EXPECT_EQ(fitting(kS, true, 0), "scan");  // prefixes do not follow the collation order
  EXPECT_EQ(fitting(kW, false, foCaseInsensitive), "scan");  // no such index
  EXPECT_EQ(fitting(-1, false, 0), "@" + t.m().IdFieldName());
}

TEST_F(RecordMatch, PrefixesUnderTheCollationAndValuesLongerThanTheSlot) {
  MatchTable t(dir);
  for (const char* w : {"\xE1"
                        "a",
                        "ab",
                        "\xE1"
                        "b",
                        "abcde", "12345"})
    t.Insert(MatchRow{w, 0, {}});
  auto positions = [&](std::int32_t field, std::uint8_t op, const std::string& value, bool partial,
                       TFilterOptions options = 0) {
    const TSearchOperation c = t.Condition(field, op, MatchRow{value, 0, {}}, partial);
    return TkrRecordMatcher(t.m(), c, options).MatchedPositions(false);
  };
  // "\xE1" "a" < "ab" < "\xE1" "b": the records beginning with a-acute are not
  // one run of the index, and both are found.
  EXPECT_EQ(positions(kS, soEqual, "\xE1", true), (std::vector<std::int32_t>{0, 2}));
  EXPECT_EQ(positions(kW, soEqual, "\xC1", true, foCaseInsensitive),
            (std::vector<std::int32_t>{0, 2}));
  // A value longer than the five-character slot is compared whole: cutting
  // it to the slot would find "abcde".
  EXPECT_TRUE(positions(kS, soEqual, "abcdeX", false).empty());
  EXPECT_TRUE(positions(kS, soEqual, "abcdeX", true).empty());
  const std::vector<std::int32_t> less = positions(kS, soLess, "abcdeX", false);
  EXPECT_NE(std::find(less.begin(), less.end(), 3), less.end());  // "abcde" lies below it
  // Patterns are whole too.
  auto like = [&](std::int32_t field, std::uint8_t op, const std::string& pattern) {
    const TSearchOperation c = t.Condition(field, op, MatchRow{pattern, 0, {}}, false);
    TBitsArray bits;
    TkrRecordMatcher(t.m(), c, foCaseInsensitive).MatchOverTable(bits);
    return bits.Positions();
  };
  EXPECT_EQ(like(kS, soLike, "%12345%"), (std::vector<std::int32_t>{4}));
  EXPECT_EQ(like(kW, soLike, "%bcde%"), (std::vector<std::int32_t>{3}));
  EXPECT_EQ(like(kS, soLike, "\xC1_"), (std::vector<std::int32_t>{0, 2}));
  EXPECT_EQ(like(kS, soNotLike, "\xC1_"), (std::vector<std::int32_t>{1, 3, 4}));
  const TSearchOperation onInteger = t.Condition(kN, soLike, MatchRow{"1%", 0, {}}, false);
  TBitsArray bits;
  EXPECT_THROW(TkrRecordMatcher(t.m(), onInteger, 0).MatchOverTable(bits), Exception);
  EXPECT_THROW(TkrRecordMatcher(t.m(), onInteger, 0).MatchedPositions(false), Exception);
}

}  // namespace
}  // namespace kivo
