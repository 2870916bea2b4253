// The table search host on real tables: value buffers of every field type,
// memo conditions read from stored BLOBs, and filters run through the parser
// against a brute-force evaluation of the same conditions.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/data_manager.h"
#include "engine/like_match.h"
#include "engine/record_match.h"
#include "engine/table_search.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "platform/streams.h"
#include "platform/value_text.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;
using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;

// One table "t" in a temporary directory, open for the test's duration.
class Table {
 public:
  Table(const TempDir& dir, const TFieldDefs& fields) : store_(dir.path()) {
    {
      TDataManagerHold c(krGetDataManager("t", &store_));
      c->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    m_ = krGetDataManager("t", &store_);
    EXPECT_EQ(m_->OpenTable(), kOpenOk);
  }
  ~Table() {
    m_->CloseTable();
    krReleaseDataManager(m_);
  }
  TKivoDataManager& m() { return *m_; }

  // Inserts a record whose fields are null but those `fill` sets; returns
  // its position.
  std::int32_t Insert(const std::function<void(Bytes&)>& fill) {
    const TkrRecordLayout& l = m_->Layout();
    Bytes image(static_cast<std::size_t>(l.RecordSize), 0);
    std::memset(image.data() + l.NullBitmapOffset, 0xFF,
                static_cast<std::size_t>(l.NullBitmapSize));
    SetRecordId(l, image.data(), static_cast<std::uint32_t>(m_->LastAutoInc()) + 1);
    fill(image);
    m_->InsertRecord(image.data(), 0);
    return m_->RecordCount() - 1;
  }
  void SetString(Bytes& image, int field, const std::string& text) {
    std::memcpy(image.data() + m_->FieldOffset(field), text.data(), text.size());
    SetFieldNull(m_->Layout(), image.data(), field, false);
  }
  void SetInt(Bytes& image, int field, std::int32_t v) {
    StoreLE<std::int32_t>(image.data() + m_->FieldOffset(field), v);
    SetFieldNull(m_->Layout(), image.data(), field, false);
  }
  void WriteMemo(int field, std::int32_t pos, const std::string& text) {
    TMemoryStream s;
    s.Write(text.data(), static_cast<std::int32_t>(text.size()));
    m_->WriteBLOBValue(&s, field, pos);
  }
  Bytes Image(std::int32_t pos) {
    const std::uint8_t* p = m_->GetRecordPtr(pos);
    return Bytes(p, p + m_->RecordSize());
  }

 private:
  TDirectoryTableFileStore store_;
  TKivoDataManager* m_ = nullptr;
};

class TableSearch : public ::testing::Test {
 protected:
  void SetUp() override { SetUserLocale("hu_HU"); }
  void TearDown() override { SetUserLocale(""); }
  TempDir dir;
};

// ---- Value buffers ----

enum {
  kS,
  kSmall,
  kWord,
  kInt,
  kLarge,
  kBool,
  kFloat,
  kCur,
  kDate,
  kTime,
  kStamp,
  kWide,
  kMemo,
  kPic
};

TFieldDefs EveryType() {
  TFieldDefs f;
  f.Add("s", ftString, 5);
  f.Add("sm", ftSmallint);
  f.Add("wd", ftWord);
  f.Add("i", ftInteger);
  f.Add("l", ftLargeint);
  f.Add("b", ftBoolean);
  f.Add("f", ftFloat);
  f.Add("c", ftCurrency);
  f.Add("d", ftDate);
  f.Add("t", ftTime);
  f.Add("dt", ftDateTime);
  f.Add("w", ftWideString, 6);
  f.Add("m", ftMemo);
  f.Add("pic", ftBlob);
  return f;
}

TEST_F(TableSearch, ValueBuffersHoldEachTypeInItsStoredForm) {
  Table t(dir, EveryType());
  TKivoDataManager& m = t.m();
  t.Insert([](Bytes&) {});
  FormatSettings fs;
  fs.DecimalSeparator = ',';
  Bytes buf;
  auto prepare = [&](int field, const std::string& text) {
    std::uint8_t op = soEqual;
    PrepareValueBuffer(m, field, op, buf, text, fs);
    EXPECT_EQ(op, soEqual);
    EXPECT_EQ(buf.size(), static_cast<std::size_t>(m.RecordSize()));
    if (field >= 0) {  // initialised as the next new record
      EXPECT_EQ(GetRecordId(m.Layout(), buf.data()), 2u);
    }
    for (std::int32_t i = 0; i < m.Layout().NullBitmapSize; ++i)
      EXPECT_EQ(buf[static_cast<std::size_t>(m.Layout().NullBitmapOffset + i)], 0);
    return buf.data() + (field < 0 ? m.Layout().IdOffset : m.FieldOffset(field));
  };
  const std::uint8_t* s = prepare(kS, "abcdefgh");
  ASSERT_EQ(m.FieldHeader(kS).FieldSize, 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s), 6), std::string("abcde\0", 6));
  EXPECT_EQ(LoadLE<std::int16_t>(prepare(kSmall, "-12")), -12);
  EXPECT_EQ(LoadLE<std::uint16_t>(prepare(kWord, "65535")), 65535);
  EXPECT_EQ(LoadLE<std::int32_t>(prepare(kInt, "-2147483648")), INT32_MIN);
  EXPECT_EQ(LoadLE<std::int64_t>(prepare(kLarge, "9000000000")), 9000000000LL);
  EXPECT_EQ(LoadLE<std::uint16_t>(prepare(kBool, "TrUe")), 1);
  EXPECT_EQ(LoadLE<std::uint16_t>(prepare(kBool, "yes")), 0);
  EXPECT_EQ(LoadLE<double>(prepare(kFloat, "2,5")), 2.5);
  EXPECT_EQ(LoadLE<double>(prepare(kCur, "-1,25")), -1.25);
  const std::int32_t day =
      static_cast<std::int32_t>(DaysFromCivil(2024, 3, 15) - DaysFromCivil(1, 1, 1) + 1);
  EXPECT_EQ(LoadLE<std::int32_t>(prepare(kDate, "3/15/2024")), day);
  EXPECT_EQ(LoadLE<std::int32_t>(prepare(kDate, "3/15/2024 11:59:59 PM")), day);
  EXPECT_EQ(LoadLE<std::int32_t>(prepare(kTime, "13:45:30")), 49530000);
  EXPECT_EQ(LoadLE<double>(prepare(kStamp, "3/15/2024 1:45:30 PM")), day * 86400000.0 + 49530000.0);
  const std::uint8_t* w = prepare(kWide, "\xF5r\xFCz");  // cut to the slot's three units
  const std::int32_t units = (m.FieldHeader(kWide).FieldSize - 2) / 2;
  ASSERT_EQ(units, 3);
  EXPECT_EQ(LoadLE<std::uint16_t>(w), 0x0151);
  EXPECT_EQ(LoadLE<std::uint16_t>(w + 2), u'r');
  EXPECT_EQ(LoadLE<std::uint16_t>(w + 4), 0x00FC);
  EXPECT_EQ(LoadLE<std::uint16_t>(w + 6), 0);
  // A memo pattern has no slot: no field's bytes are written.
  prepare(kMemo, std::string(4 * m.RecordSize(), '%'));
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + m.DataSize()), Bytes(m.DataSize(), 0));
  prepare(-1, "42");
  EXPECT_EQ(GetRecordId(m.Layout(), buf.data()), 42u);
}

TEST_F(TableSearch, NullValuesRewriteTheirOperators) {
  Table t(dir, EveryType());
  TKivoDataManager& m = t.m();
  const TkrRecordLayout& l = m.Layout();
  Bytes buf;
  auto run = [&](std::uint8_t op, const std::string& text, std::uint8_t rewritten, int bitmap) {
    PrepareValueBuffer(m, kInt, op, buf, text, FormatSettings());
    EXPECT_EQ(op, rewritten) << text;
    EXPECT_EQ(buf[static_cast<std::size_t>(l.NullBitmapOffset)], bitmap) << text;
    EXPECT_EQ(buf[static_cast<std::size_t>(l.NullBitmapOffset + l.NullBitmapSize - 1)], bitmap);
  };
  run(soLess, "7", soLess, 0);
  EXPECT_EQ(LoadLE<std::int32_t>(buf.data() + m.FieldOffset(kInt)), 7);
  run(soIsNull, "", soEqual, 0xFF);
  EXPECT_EQ(LoadLE<std::int32_t>(buf.data() + m.FieldOffset(kInt)), 0);  // nothing left of 7
  run(soEqual, "", soEqual, 0xFF);
  run(soIsNotNull, "", soNotEqual, 0xFF);
  run(soNotEqual, "", soNotEqual, 0xFF);
  run(soLess, "", soLess, 0);
  run(soGreater, "3", soGreater, 0);
}

TEST_F(TableSearch, MalformedAndOutOfRangeTextsRaise) {
  Table t(dir, EveryType());
  struct Case {
    int field;
    std::uint8_t op;
    const char* text;
    const char* message;
  } cases[] = {
      {kSmall, soEqual, "70000", "'70000' is not a valid integer value"},
      {kSmall, soEqual, "-32769", "'-32769' is not a valid integer value"},
      {kWord, soEqual, "-1", "'-1' is not a valid integer value"},
      {kInt, soEqual, "abc", "'abc' is not a valid integer value"},
      {kInt, soEqual, "2147483648", "'2147483648' is not a valid integer value"},
      {-1, soEqual, "4294967296", "'4294967296' is not a valid integer value"},
      {kLarge, soEqual, "9223372036854775808",
       "'9223372036854775808' is not a valid integer value"},
      {kFloat, soEqual, "1.5",
       "'1.5' is not a valid floating point value"},  // the separator is ','
      {kDate, soEqual, "2/30/2024", "'2/30/2024' is not a valid date"},
      {kTime, soEqual, "25:00", "'25:00' is not a valid time"},
      {kStamp, soEqual, "x", "'x' is not a valid date and time"},
      {kInt, soLike, "1%",
       "Error in TKivoDataSet.PrepareValueBuffer - 'like / not like' operation call with not "
       "string field!"},
      {kPic, soEqual, "x", "Error in TKivoDataSet.PrepareValueBuffer - unsupported field type!"},
  };
  FormatSettings fs;
  fs.DecimalSeparator = ',';
  for (const Case& c : cases) {
    std::uint8_t op = c.op;
    Bytes buf;
    EXPECT_EQ(MessageOf([&] { PrepareValueBuffer(t.m(), c.field, op, buf, c.text, fs); }),
              c.message);
  }
  std::uint8_t op = soEqual;
  Bytes buf;
  EXPECT_THROW(PrepareValueBuffer(t.m(), kSmall, op, buf, "70000", fs), EConvertError);
}

// ---- Conditions through the parser ----

std::vector<std::int32_t> Filter(TkrTableSearch& host, const std::string& text,
                                 TFilterOptions options, TKivoDataManager& m) {
  TSearchParser p(host);
  p.SetOptions(options);
  p.SetText(text);
  const std::vector<std::int32_t> set = p.Parse().Positions();
  std::vector<std::int32_t> each;
  for (std::int32_t pos = 0; pos < m.RecordCount(); ++pos) {
    const std::uint8_t* r = m.GetRecordPtr(pos);
    const Bytes image(r, r + m.RecordSize());
    if (p.Matches(image.data())) each.push_back(pos);
  }
  EXPECT_EQ(set, each) << text;
  return set;
}

bool Like(std::string_view v, std::string_view p) {
  return LikeMatches(v, p, [](char a, char b) { return a == b; });
}

TEST_F(TableSearch, StringPatternsAndValuesLongerThanTheSlotAreTakenWhole) {
  TFieldDefs f;
  f.Add("code", ftString, 5);
  Table t(dir, f);
  std::mt19937 rng(77);
  std::vector<std::string> codes;
  for (int i = 0; i < 400; ++i) {
    std::string c(1 + rng() % 5, ' ');
    for (char& ch : c) ch = static_cast<char>('1' + rng() % 5);
    if (i % 10 == 0) c = i % 20 ? "12345" : "51234";
    codes.push_back(c);
    t.Insert([&](Bytes& image) { t.SetString(image, 0, c); });
  }
  TkrTableSearch host(t.m());
  for (const std::string pattern : {"%12345%", "%2345_", "1234%5", "_12345", "%5123%4"}) {
    std::vector<std::int32_t> brute;
    for (std::size_t i = 0; i < codes.size(); ++i)
      if (Like(codes[i], pattern)) brute.push_back(static_cast<std::int32_t>(i));
    EXPECT_EQ(Filter(host, "Code like '" + pattern + "'", 0, t.m()), brute) << pattern;
  }
  EXPECT_TRUE(Filter(host, "code = '123456'", foNoPartialCompare, t.m()).empty());
  EXPECT_EQ(Filter(host, "code >= '123456'", foNoPartialCompare, t.m()).size() +
                Filter(host, "code < '123456'", foNoPartialCompare, t.m()).size(),
            codes.size());
}

// Windows-1250: "Árvíztűrő tükörfúrógép".
const std::string kFlood = "\xC1rv\xEDzt\xFBr\xF5 t\xFCk\xF6rf\xFAr\xF3g\xE9p";

TEST_F(TableSearch, MemoConditionsReadTheStoredText) {
  TFieldDefs f;
  f.Add("n", ftInteger);
  f.Add("memo", ftMemo);
  f.Add("pic", ftBlob);
  Table t(dir, f);
  const std::string big = std::string(1 << 20, 'a') + "needle";
  for (const std::string& text :
       {kFlood, std::string(), std::string("alma"), big, std::string("ALMA fa")}) {
    const std::int32_t pos = t.Insert([](Bytes&) {});
    t.WriteMemo(1, pos, text);
  }
  TkrTableSearch host(t.m());
  using P = std::vector<std::int32_t>;
  EXPECT_EQ(Filter(host, "memo like '%T\xDCK\xD6R%'", 0, t.m()), P{});
  EXPECT_EQ(Filter(host, "memo like '%T\xDCK\xD6R%'", foCaseInsensitive, t.m()), P{0});
  EXPECT_EQ(Filter(host, "memo like '%needle'", 0, t.m()), P{3});
  EXPECT_EQ(Filter(host, "memo like '%'", 0, t.m()), (P{0, 2, 3, 4}));  // never the empty memo
  EXPECT_EQ(Filter(host, "memo not like '%alma%'", 0, t.m()), (P{0, 3, 4}));
  EXPECT_EQ(Filter(host, "memo not like '%alma%'", foCaseInsensitive, t.m()), (P{0, 3}));
  EXPECT_EQ(Filter(host, "memo = 'alma'", 0, t.m()), P{2});  // by prefix
  EXPECT_EQ(Filter(host, "memo = 'alma'", foCaseInsensitive, t.m()), (P{2, 4}));
  EXPECT_EQ(Filter(host, "memo = 'alma'", foNoPartialCompare | foCaseInsensitive, t.m()), P{2});
  EXPECT_EQ(Filter(host, "memo > 'alma'", foNoPartialCompare, t.m()), (P{0, 4}));
  EXPECT_EQ(Filter(host, "memo is null", 0, t.m()), P{1});
  EXPECT_EQ(Filter(host, "memo < 'b' and not (memo is null)", 0, t.m()), (P{0, 2, 3, 4}));
  // A long pattern and the 1 MB memo cost neither recursion nor stack.
  EXPECT_EQ(Filter(host, "memo like '\xC1%" + std::string(5000, '%') + "p'", 0, t.m()), P{0});

  TSearchOperation op;
  op.FieldNo = 1;
  op.Operator = soLike;
  op.ValueText = "al%";
  host.PrepareOperation(op, 0);
  EXPECT_EQ(MessageOf([&] { host.GetMatchedRecordsArray(op, 0, false); }),
            "TKivoDataSet.GetMatchedRecordsArray - Like operator is not supported in "
            "GetMatchedRecordsArray procedure.");
  EXPECT_FALSE(host.HasFittingIndex(op, 0));
  // A record being inserted has no stored memo; the owner's reader has it.
  Bytes fresh = t.Image(2);
  SetRecordId(t.m().Layout(), fresh.data(), static_cast<std::uint32_t>(t.m().LastAutoInc()) + 1);
  EXPECT_FALSE(host.IsRecordMatches(op, 0, fresh.data()));
  std::vector<std::int32_t> asked;
  host.SetMemoReader([&](std::int32_t, std::int32_t recPos, const std::uint8_t*) {
    asked.push_back(recPos);
    return std::string("almafa");
  });
  EXPECT_TRUE(host.IsRecordMatches(op, 0, fresh.data()));
  EXPECT_TRUE(host.IsRecordMatches(op, 0, t.Image(4).data()));
  EXPECT_EQ(asked, (P{-1, 4}));

  TSearchOperation eq = op;
  eq.Operator = soIsNotNull;
  eq.ValueText.clear();
  host.SetMemoReader(nullptr);
  host.PrepareOperation(eq, 0);
  EXPECT_EQ(host.GetMatchedRecordsArray(eq, 0, true), P{0});
  // Other BLOBs take no condition.
  TSearchParser p(host);
  p.SetText("pic is null");
  EXPECT_THROW(p.Parse(), Exception);
  EXPECT_THROW(p.SetText("pic like 'a%'"), Exception);
}

// ---- Random filters against brute force ----

struct Row {
  std::optional<std::string> s;
  std::optional<std::int32_t> n;
  std::string memo;  // empty: none
};

struct Cond {
  int field;  // 0 s, 1 n, 2 memo
  std::uint8_t op;
  std::string value;
};

const std::vector<std::string> kWords = {
    "alma",     "Alma", "\xE1rv\xEDz", "\xC1rv\xEDz", "k\xF6rte", "K\xD6RTE", "\xFCr\xFCl",
    "cs\xE9sz", "cz",   "abc",         "ab",          "\xE1r",    "k\xF6"};

bool RefHolds(const Cond& c, const Row& row, TFilterOptions options) {
  const auto coll = UserCollation();
  const bool ci = (options & foCaseInsensitive) != 0;
  const std::optional<std::string> text =
      c.field == 0 ? row.s
                   : (c.field == 2 && !row.memo.empty() ? std::optional(row.memo) : std::nullopt);
  if (c.op == soLike || c.op == soNotLike) {
    if (!text) return false;
    const bool like = LikeMatches(std::string_view(*text), std::string_view(c.value),
                                  [&](char a, char b) { return coll->CompareChar(a, b, ci) == 0; });
    return like == (c.op == soLike);
  }
  const bool valueNull = c.op == soIsNull || c.op == soIsNotNull;
  const bool null = c.field == 1 ? !row.n : !text;
  int r;
  if (null || valueNull) {
    r = null == valueNull ? 0 : (null ? -1 : 1);
  } else if (c.field == 1) {
    const int v = std::stoi(c.value);
    r = *row.n < v ? -1 : (*row.n > v ? 1 : 0);
  } else {
    const int length = (options & foNoPartialCompare) ? -1 : static_cast<int>(c.value.size());
    r = coll->Compare(*text, c.value, ci, length);
  }
  return SearchComparisonHolds(c.op, r);
}

Cond RandomCond(std::mt19937& rng) {
  Cond c;
  c.field = static_cast<int>(rng() % 3);
  c.op = static_cast<std::uint8_t>(rng() % kSearchOperatorCount);
  if (c.field == 1 && (c.op == soLike || c.op == soNotLike)) c.op = soAtMost;
  std::string w = kWords[rng() % kWords.size()];
  if (c.op == soLike || c.op == soNotLike) {
    switch (rng() % 3) {
      case 0:
        w += "%";
        break;
      case 1:
        w = "%" + w.substr(1);
        break;
      default:
        w[rng() % w.size()] = '_';
    }
  }
  c.value = c.field == 1 ? std::to_string(static_cast<int>(rng() % 13) - 6) : w;
  return c;
}

std::string CondText(const Cond& c) {
  const char* names[] = {"s", "n", "[memo]"};
  std::string text = std::string(names[c.field]) + " " + SearchOperatorText(c.op);
  if (c.op == soIsNull || c.op == soIsNotNull) return text;
  return text + " " + (c.field == 1 ? c.value : "'" + c.value + "'");
}

TEST_F(TableSearch, FiltersAgreeWithBruteForceWithAndWithoutIndexes) {
  TFieldDefs f;
  f.Add("s", ftString, 8);
  f.Add("n", ftInteger);
  f.Add("memo", ftMemo);
  Table t(dir, f);
  std::mt19937 rng(35);
  std::vector<Row> rows(300);
  for (Row& row : rows) {
    if (rng() % 6) row.s = kWords[rng() % kWords.size()];
    if (rng() % 6) row.n = static_cast<std::int32_t>(rng() % 11) - 5;
    if (rng() % 4) row.memo = kWords[rng() % kWords.size()] + " " + kWords[rng() % kWords.size()];
    const std::int32_t pos = t.Insert([&](Bytes& image) {
      if (row.s) t.SetString(image, 0, *row.s);
      if (row.n) t.SetInt(image, 1, *row.n);
    });
    t.WriteMemo(2, pos, row.memo);
  }
  TkrTableSearch host(t.m());
  for (const bool indexed : {false, true}) {
    if (indexed) {
      t.m().AddIndex("sCase", "s", 0, "", "", false);
      t.m().AddIndex("sNoCase", "s", 0, "", "s", false);
      t.m().AddIndex("n", "n", 0, "", "", false);
    }
    int fitting = 0, selected = 0;
    for (int i = 0; i < 200; ++i) {
      const TFilterOptions options = static_cast<TFilterOptions>(rng() % 4);
      const Cond a = RandomCond(rng), b = RandomCond(rng), c = RandomCond(rng);
      const int shape = static_cast<int>(rng() % 4);
      const std::string texts[] = {
          CondText(a), "not " + CondText(a) + " or " + CondText(b),
          "(" + CondText(a) + " or " + CondText(b) + ") and " + CondText(c),
          "not (" + CondText(a) + " and " + CondText(b) + ")"};
      std::vector<std::int32_t> brute;
      for (std::size_t r = 0; r < rows.size(); ++r) {
        const bool x = RefHolds(a, rows[r], options), y = RefHolds(b, rows[r], options),
                   z = RefHolds(c, rows[r], options);
        const bool hit[] = {x, !x || y, (x || y) && z, !(x && y)};
        if (hit[shape]) brute.push_back(static_cast<std::int32_t>(r));
      }
      const std::string& text = texts[shape];
      ASSERT_EQ(Filter(host, text, options, t.m()), brute) << text << " options " << int(options);
      selected += brute.empty() || brute.size() == rows.size() ? 0 : 1;
      TSearchParser p(host);
      p.SetOptions(options);
      p.SetText(CondText(a));
      fitting += host.HasFittingIndex(p.Items()[0], options) ? 1 : 0;
    }
    EXPECT_GT(selected, 100);
    if (indexed) {
      EXPECT_GT(fitting, 40);
    } else {
      EXPECT_EQ(fitting, 0);
    }
  }
}

}  // namespace
}  // namespace kivo
