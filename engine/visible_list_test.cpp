// The visible records list on a real table: after seeded random inserts,
// updates and deletes made through two lists on one table, each list equals
// a fresh rebuild and a brute-force evaluation of its restrictions, in
// (key, identifier) order; and the list's edge cases one by one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/index_test_support.h"
#include "engine/table_indexes.h"
#include "engine/visible_list.h"
#include "platform/error_codes.h"
#include "platform/locale.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::TempDir;

constexpr std::int32_t kS = 0, kN = 1, kM = 2;

struct Row {
  std::optional<std::string> s;  // Windows-1250, at most 6 characters
  std::optional<std::int32_t> n;
  std::optional<std::int32_t> m;
};

Row RandomRow(std::mt19937& rng) {
  Row r;
  if (rng() % 7 != 0) r.s = testing::kAccentedWords[rng() % testing::kAccentedWords.size()];
  if (rng() % 7 != 0) r.n = static_cast<std::int32_t>(rng() % 15);
  if (rng() % 9 != 0) r.m = static_cast<std::int32_t>(rng() % 100);
  return r;
}

// A table (s STRING(6), n INTEGER, m INTEGER) with indexes on s (case
// sensitive and not) and on n; m has no index.
class ListTable {
 public:
  explicit ListTable(const TempDir& dir) : store_(dir.path()) {
    {
      TDataManagerHold m0(krGetDataManager("v", &store_));
      TFieldDefs fields;
      fields.Add("s", ftString, 6);
      fields.Add("n", ftInteger);
      fields.Add("m", ftInteger);
      m0->CreateTable(fields, TIndexDefs(), false, 1000);
    }
    m_ = krGetDataManager("v", &store_);
    EXPECT_EQ(m_->OpenTable(), kOpenOk);
    m_->AddIndex("s", "s", 0, "", "", false);
    m_->AddIndex("sNoCase", "s", 0, "", "s", false);
    m_->AddIndex("n", "n", 0, "", "", false);
    search_ = std::make_unique<TkrTableSearch>(*m_);
  }
  ~ListTable() {
    search_.reset();
    m_->CloseTable();
    krReleaseDataManager(m_);
  }
  TKivoDataManager& m() { return *m_; }
  TkrTableSearch& search() { return *search_; }

  std::vector<std::uint8_t> Image(const Row& row, std::int32_t id) const {
    const TkrRecordLayout& l = m_->Layout();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize), 0);
    if (row.s) std::memcpy(buf.data() + m_->FieldOffset(kS), row.s->data(), row.s->size());
    if (row.n) std::memcpy(buf.data() + m_->FieldOffset(kN), &*row.n, 4);
    if (row.m) std::memcpy(buf.data() + m_->FieldOffset(kM), &*row.m, 4);
    SetFieldNull(l, buf.data(), kS, !row.s);
    SetFieldNull(l, buf.data(), kN, !row.n);
    SetFieldNull(l, buf.data(), kM, !row.m);
    SetRecordId(l, buf.data(), static_cast<std::uint32_t>(id));
    return buf;
  }
  // The image of a new record as a data set prepares it: the next identifier.
  std::vector<std::uint8_t> NewImage(const Row& row) const {
    return Image(row, m_->LastAutoInc() + 1);
  }
  Row RowAt(std::int32_t pos) const {
    const std::uint8_t* image = m_->GetRecordPtr(pos);
    const TkrRecordLayout& l = m_->Layout();
    Row r;
    if (!IsFieldNull(l, image, kS))
      r.s = std::string(reinterpret_cast<const char*>(image + m_->FieldOffset(kS)));
    std::int32_t v;
    if (!IsFieldNull(l, image, kN)) {
      std::memcpy(&v, image + m_->FieldOffset(kN), 4);
      r.n = v;
    }
    if (!IsFieldNull(l, image, kM)) {
      std::memcpy(&v, image + m_->FieldOffset(kM), 4);
      r.m = v;
    }
    return r;
  }
  std::int32_t IdAt(std::int32_t pos) const {
    return static_cast<std::int32_t>(GetRecordId(m_->Layout(), m_->GetRecordPtr(pos)));
  }
  // An equality (or "is null") condition on an integer field, value passed
  // binary as a master link passes it.
  TSearchOperation IntEquals(std::int32_t field, std::optional<std::int32_t> value) const {
    TSearchOperation op;
    op.FieldNo = field;
    op.Operator = soEqual;
    op.ValueBuffer = Image(Row{std::nullopt, std::nullopt, std::nullopt}, 0);
    const TkrRecordLayout& l = m_->Layout();
    std::memset(op.ValueBuffer.data() + l.NullBitmapOffset, value ? 0 : 0xFF,
                static_cast<std::size_t>(l.NullBitmapSize));
    if (value) std::memcpy(op.ValueBuffer.data() + m_->FieldOffset(field), &*value, 4);
    return op;
  }

 private:
  testing::DirStore store_;
  TKivoDataManager* m_ = nullptr;
  std::unique_ptr<TkrTableSearch> search_;
};

// The settings of one list, applied the same way to the list under test
// and to a fresh list rebuilt for comparison, with the brute-force meaning
// of its restrictions.
struct ListConfig {
  std::string name;
  std::string index;  // "" = the identifier order
  std::function<void(ListTable&, TkrVisibleList&)> apply;
  std::function<bool(const Row&)> passes;  // nullptr: every record
  std::int32_t firstRow = -1;
  std::int32_t rowLimit = -1;
};

void Configure(ListTable& t, TkrVisibleList& list, const ListConfig& c) {
  list.SetCurrentIndex(c.index.empty() ? 0 : t.m().IndexNumber(c.index));
  if (c.apply) c.apply(t, list);
  list.SetFirstRow(c.firstRow);
  list.SetRowLimit(c.rowLimit);
}

std::vector<std::int32_t> Entries(const TkrVisibleList& list) {
  std::vector<std::int32_t> out;
  for (std::int32_t i = 0; i < list.Count(); ++i) out.push_back(list.RecordAt(i));
  return out;
}

// Every record that passes, in (key, identifier) order, cut to the window.
std::vector<std::int32_t> BruteForce(ListTable& t, const ListConfig& c) {
  std::vector<std::int32_t> all;
  for (std::int32_t p = 0; p < t.m().RecordCount(); ++p)
    if (!c.passes || c.passes(t.RowAt(p))) all.push_back(p);
  const std::int32_t indexNo = c.index.empty() ? 0 : t.m().IndexNumber(c.index);
  t.m().BuildIndex(indexNo);
  const TkrIndexKey& key = t.m().Indexes()->Key(indexNo);
  std::vector<std::vector<std::uint8_t>> images;
  std::sort(all.begin(), all.end(), [&](std::int32_t a, std::int32_t b) {
    const std::vector<std::uint8_t> ia(t.m().GetRecordPtr(a),
                                       t.m().GetRecordPtr(a) + t.m().RecordSize());
    return key.CompareRecords(ia.data(), t.m().GetRecordPtr(b)) < 0;
  });
  const std::size_t first = c.firstRow > 1 ? static_cast<std::size_t>(c.firstRow - 1) : 0;
  std::vector<std::int32_t> out(
      all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end());
  if (c.rowLimit >= 0 && out.size() > static_cast<std::size_t>(c.rowLimit))
    out.resize(static_cast<std::size_t>(c.rowLimit));
  return out;
}

// The key range n = from .. to, both ends included, over the index on n.
TkrKeyRange RangeOfN(ListTable& t, std::int32_t from, std::int32_t to) {
  TkrKeyRange range;
  range.Start = t.Image(Row{std::nullopt, from, std::nullopt}, 0);
  range.End = t.Image(Row{std::nullopt, to, std::nullopt}, 0);
  range.StartFieldCount = range.EndFieldCount = 1;
  return range;
}

std::vector<ListConfig> Configs() {
  std::vector<ListConfig> configs;
  configs.push_back({"filter on an unindexed range", "s",
                     [](ListTable&, TkrVisibleList& l) {
                       l.SetFilterText("m >= 20 and m < 60");
                       l.SetFiltered(true, 0);
                     },
                     [](const Row& r) { return r.m && *r.m >= 20 && *r.m < 60; }});
  configs.push_back({"filter on an indexed field", "n",
                     [](ListTable&, TkrVisibleList& l) {
                       l.SetFilterText("(n = 3) or (n >= 11) or (n is null)");
                       l.SetFiltered(true, 0);
                     },
                     [](const Row& r) { return !r.n || *r.n == 3 || *r.n >= 11; }});
  configs.push_back({"key range", "n",
                     [](ListTable& t, TkrVisibleList& l) { l.SetRange(RangeOfN(t, 4, 8)); },
                     [](const Row& r) { return r.n && *r.n >= 4 && *r.n <= 8; }});
  configs.push_back(
      {"master link", "n",
       [](ListTable& t, TkrVisibleList& l) { l.SetMaster(true, true, {t.IntEquals(kN, 7)}); },
       [](const Row& r) { return r.n && *r.n == 7; }});
  configs.push_back({"master link on null", "n",
                     [](ListTable& t, TkrVisibleList& l) {
                       l.SetMaster(true, true, {t.IntEquals(kN, std::nullopt)});
                     },
                     [](const Row& r) { return !r.n; }});
  configs.push_back({"row window", "n", nullptr, nullptr, 3, 10});
  configs.push_back({"filtered row window", "s",
                     [](ListTable&, TkrVisibleList& l) {
                       l.SetFilterText("m < 50");
                       l.SetFiltered(true, 0);
                     },
                     [](const Row& r) { return !r.m || *r.m < 50; }, 2, 25});
  configs.push_back({"accented prefix ignoring case", "sNoCase",
                     [](ListTable&, TkrVisibleList& l) {
                       l.SetFilterText("s = '\xE1'");
                       l.SetFiltered(true, foCaseInsensitive);
                     },
                     nullptr});
  // Few qualifying records: sorted into the index's order, not walked.
  configs.push_back({"rare filter sorted by name", "s",
                     [](ListTable&, TkrVisibleList& l) {
                       l.SetFilterText("m = 42");
                       l.SetFiltered(true, 0);
                     },
                     [](const Row& r) { return r.m && *r.m == 42; }});
  configs.push_back(
      {"rare filter in a range", "n",
       [](ListTable& t, TkrVisibleList& l) {
         l.SetRange(RangeOfN(t, 4, 8));
         l.SetFilterText("m = 5");
         l.SetFiltered(true, 0);
       },
       [](const Row& r) { return r.n && *r.n >= 4 && *r.n <= 8 && r.m && *r.m == 5; }});
  configs.push_back({"rare filter with a row window", "n",
                     [](ListTable&, TkrVisibleList& l) {
                       l.SetFilterText("m >= 97");
                       l.SetFiltered(true, 0);
                     },
                     [](const Row& r) { return r.m && *r.m >= 97; }, 2, 2});
  // The master's run is taken from the current index as it stands.
  configs.push_back({"master link in a key range", "n",
                     [](ListTable& t, TkrVisibleList& l) {
                       l.SetRange(RangeOfN(t, 5, 9));
                       l.SetMaster(true, true, {t.IntEquals(kN, 7)});
                     },
                     [](const Row& r) { return r.n && *r.n == 7; }});
  configs.push_back({"master key outside the key range", "n",
                     [](ListTable& t, TkrVisibleList& l) {
                       l.SetRange(RangeOfN(t, 2, 6));
                       l.SetMaster(true, true, {t.IntEquals(kN, 7)});
                     },
                     [](const Row&) { return false; }});
  configs.push_back({"one indexed condition in another order", "s",
                     [](ListTable&, TkrVisibleList& l) {
                       l.SetFilterText("n = 9");
                       l.SetFiltered(true, 0);
                     },
                     [](const Row& r) { return r.n && *r.n == 9; }});
  return configs;
}

class VisibleListModel : public ::testing::TestWithParam<int> {};

TEST_P(VisibleListModel, TwoListsStayEqualToARebuildThroughRandomChanges) {
  const ListConfig config = Configs()[static_cast<std::size_t>(GetParam())];
  SCOPED_TRACE(config.name);
  TempDir dir;
  ListTable t(dir);
  std::mt19937 rng(1500u + static_cast<unsigned>(GetParam()));
  for (int i = 0; i < 60; ++i) t.m().InsertRecord(t.NewImage(RandomRow(rng)).data(), 0);

  const ListConfig plain{"plain", GetParam() % 2 == 0 ? "" : "s", nullptr, nullptr};
  TkrVisibleList a(t.m(), t.search());
  TkrVisibleList b(t.m(), t.search());
  Configure(t, a, plain);
  Configure(t, b, config);
  a.Rebuild();
  b.Rebuild();

  auto check = [&](TkrVisibleList& list, const ListConfig& c, int step) {
    list.EnsureCurrent();
    ASSERT_NO_THROW(list.CheckInvariants()) << "step " << step;
    TkrVisibleList fresh(t.m(), t.search());
    Configure(t, fresh, c);
    fresh.Rebuild();
    ASSERT_EQ(Entries(list), Entries(fresh)) << c.name << " step " << step;
    if (c.passes || c.index.empty() || !c.apply) {
      ASSERT_EQ(Entries(list), BruteForce(t, c)) << c.name << " step " << step;
    }
    if (c.firstRow < 0 && c.rowLimit < 0) {
      // The per-record test agrees with the set-wise build.
      for (std::int32_t p = 0; p < t.m().RecordCount(); ++p) {
        const std::vector<std::uint8_t> image(t.m().GetRecordPtr(p),
                                              t.m().GetRecordPtr(p) + t.m().RecordSize());
        ASSERT_EQ(list.RecordMatchesView(image.data(), false), list.VisiblePositionOf(p) >= 0)
            << c.name << " step " << step << " record " << p;
      }
    }
  };

  for (int step = 0; step < 160; ++step) {
    TkrVisibleList& list = rng() % 2 == 0 ? a : b;
    list.EnsureCurrent();
    if (list.Count() > 0) list.SetCurrent(static_cast<std::int32_t>(rng() % list.Count()));
    const unsigned what = rng() % 10;
    if (what < 4 || list.Count() == 0) {
      list.AfterInsert(t.NewImage(RandomRow(rng)).data());
      // A listed new record becomes current.
      const std::int32_t place = list.VisiblePositionOf(t.m().RecordCount() - 1);
      if (place >= 0) {
        ASSERT_EQ(list.Current(), place) << "step " << step;
      }
    } else if (what < 7) {
      const std::int32_t pos = list.RecordAt(list.Current());
      const std::int32_t id = t.IdAt(pos);
      // Now and then the record is written back unchanged: it must land
      // exactly where it was, which the place it had is tried for first.
      const std::vector<std::uint8_t> image =
          what == 6 ? std::vector<std::uint8_t>(t.m().GetRecordPtr(pos),
                                                t.m().GetRecordPtr(pos) + t.m().RecordSize())
                    : t.Image(RandomRow(rng), id);
      const std::int32_t placeBefore = list.Current();
      const bool stays = list.RecordMatchesView(image.data(), false);
      list.AfterUpdate(image.data());
      // A record that still passes stays current; one that left is gone.
      const ListConfig& lc = &list == &a ? plain : config;
      if (stays && lc.rowLimit < 0 && lc.firstRow < 0) {
        ASSERT_TRUE(list.CurrentValid()) << "step " << step;
        ASSERT_EQ(list.RecordAt(list.Current()), pos) << "step " << step;
      }
      if (!stays) {
        ASSERT_EQ(list.VisiblePositionOf(pos), -1) << "step " << step;
      }
      if (what == 6 && stays && lc.rowLimit < 0 && lc.firstRow < 0) {
        ASSERT_EQ(list.Current(), placeBefore) << "step " << step;
      }
    } else {
      list.AfterDelete();
    }
    check(a, plain, step);
    check(b, config, step);
  }
}

INSTANTIATE_TEST_SUITE_P(Restrictions, VisibleListModel, ::testing::Range(0, 14));

// ---------------------------------------------------------------------------

class VisibleListTest : public ::testing::Test {
 protected:
  VisibleListTest() : t_(dir_) {}
  void InsertN(std::initializer_list<std::optional<std::int32_t>> values) {
    for (const auto& v : values)
      t_.m().InsertRecord(t_.NewImage(Row{std::nullopt, v, std::nullopt}).data(), 0);
  }
  TempDir dir_;
  ListTable t_;
};

TEST_F(VisibleListTest, UnrestrictedDeleteMovesTheLastRecordAndKeepsTheOrder) {
  InsertN({50, 10, 40, 20, 30});
  TkrVisibleList list(t_.m(), t_.search());
  list.SetCurrentIndex(t_.m().IndexNumber("n"));
  list.Rebuild();
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{1, 3, 4, 2, 0}));
  list.SetCurrent(0);  // record 1 (n = 10)
  list.AfterDelete();
  // Record 4 (n = 30) now lives at position 1.
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{3, 1, 2, 0}));
  EXPECT_EQ(list.Current(), 0);
  EXPECT_EQ(t_.RowAt(1).n, 30);
}

TEST_F(VisibleListTest, RangesIncludeBothEndsAndAnEmptyTableGivesAnEmptyList) {
  TkrVisibleList list(t_.m(), t_.search());
  list.SetCurrentIndex(t_.m().IndexNumber("n"));
  TkrKeyRange range;
  range.Start = range.End = t_.Image(Row{std::nullopt, 5, std::nullopt}, 0);
  range.StartFieldCount = range.EndFieldCount = 1;
  list.SetRange(range);
  EXPECT_NO_THROW(list.Rebuild());
  EXPECT_EQ(list.Count(), 0);
  InsertN({5, 4, 5, 6, 5, std::nullopt});
  list.Rebuild();
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{0, 2, 4}));
}

TEST_F(VisibleListTest, RowWindowHoldsTheThirdToTheTwelfthQualifyingRecords) {
  for (int i = 0; i < 30; ++i)
    InsertN({i % 2 == 0 ? std::optional<std::int32_t>(i) : std::nullopt});
  TkrVisibleList list(t_.m(), t_.search());
  list.SetFilterText("n is not null");
  list.SetFiltered(true, 0);
  list.SetFirstRow(3);
  list.SetRowLimit(10);
  list.Rebuild();
  std::vector<std::int32_t> expected;
  for (int i = 4; i < 24; i += 2) expected.push_back(i);
  EXPECT_EQ(Entries(list), expected);
}

TEST_F(VisibleListTest, AnotherListsChangesShowAtTheNextCheck) {
  InsertN({1, 2, 3});
  TkrVisibleList mine(t_.m(), t_.search());
  TkrVisibleList theirs(t_.m(), t_.search());
  mine.Rebuild();
  theirs.Rebuild();
  theirs.AfterInsert(t_.NewImage(Row{std::nullopt, 4, std::nullopt}).data());
  EXPECT_EQ(mine.Count(), 3);
  mine.EnsureCurrent();
  EXPECT_EQ(mine.Count(), 4);
}

TEST_F(VisibleListTest, TheCurrentRecordIsFollowedByIdentifierNotByPosition) {
  InsertN({1, 2, 3, 4, 5});
  TkrVisibleList mine(t_.m(), t_.search());
  TkrVisibleList theirs(t_.m(), t_.search());
  mine.Rebuild();
  theirs.Rebuild();
  mine.SetCurrent(1);  // record 1, identifier 2
  theirs.SetCurrent(1);
  theirs.AfterDelete();  // record 4 moves into position 1
  mine.EnsureCurrent();
  // The current record is gone; the list does not point at the moved one.
  EXPECT_EQ(mine.Current(), -1);
  EXPECT_EQ(mine.FindRecordById(2), -1);
  EXPECT_EQ(mine.FindRecordById(5), 3);
}

TEST_F(VisibleListTest, AnEditedRecordThatFailsTheFilterDisappearsAtOnce) {
  InsertN({1, 2, 3});
  TkrVisibleList list(t_.m(), t_.search());
  list.SetFilterText("n <= 2");
  list.SetFiltered(true, 0);
  list.Rebuild();
  ASSERT_EQ(list.Count(), 2);
  list.SetCurrent(1);
  list.AfterUpdate(t_.Image(Row{std::nullopt, 9, std::nullopt}, t_.IdAt(1)).data());
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{0}));
  EXPECT_EQ(list.Current(), 0);
}

TEST_F(VisibleListTest, TheIndexIsHeldByNameWhenALowerIndexIsDropped) {
  InsertN({3, 1, 2});
  TkrVisibleList list(t_.m(), t_.search());
  list.SetCurrentIndex(t_.m().IndexNumber("n"));
  list.Rebuild();
  t_.m().DeleteIndex("sNoCase", true);
  t_.m().InsertRecord(t_.NewImage(Row{std::nullopt, 0, std::nullopt}).data(), 0);
  list.EnsureCurrent();
  EXPECT_EQ(list.CurrentIndex(), t_.m().IndexNumber("n"));
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{3, 1, 2, 0}));
  t_.m().DeleteIndex("n", true);
  list.Rebuild();  // the index itself went: the identifier order
  EXPECT_EQ(list.CurrentIndex(), 0);
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{0, 1, 2, 3}));
}

TEST_F(VisibleListTest, FindRecordByIdRefusesWhileRebuildsAreLocked) {
  InsertN({1});
  TkrVisibleList list(t_.m(), t_.search());
  list.Rebuild();
  list.LockRefresh();
  try {
    list.FindRecordById(1);
    ADD_FAILURE() << "no error";
  } catch (const ZorException& e) {
    EXPECT_EQ(e.NativeError(), 1089);
    EXPECT_NE(std::string(e.what()).find("Cannot create visible records list"), std::string::npos);
  }
  list.UnlockRefresh();
  EXPECT_EQ(list.FindRecordById(1), 0);
}

class ConstantFilter : public TkrRecordFilter {
 public:
  explicit ConstantFilter(std::uint8_t type) : type_(type) {}
  Outcome EvaluateRecord(const std::uint8_t*) override { return {type_, true}; }

 private:
  std::uint8_t type_;
};

TEST_F(VisibleListTest, AFilterExpressionMustBeBoolean) {
  InsertN({1, 2});
  TkrVisibleList list(t_.m(), t_.search());
  ConstantFilter integer(ftInteger);
  list.SetFilterExpression(&integer);
  try {
    list.Rebuild();
    ADD_FAILURE() << "no error";
  } catch (const ZorException& e) {
    EXPECT_EQ(e.NativeError(), 54);
    EXPECT_NE(std::string(e.what()).find("Filter type = 3"), std::string::npos);
  }
  EXPECT_EQ(list.Count(), 0);
  const std::vector<std::uint8_t> image = t_.Image(Row{}, 1);
  try {
    list.RecordMatchesView(image.data(), false);
    ADD_FAILURE() << "no error";
  } catch (const ZorException& e) {
    EXPECT_EQ(e.NativeError(), 1071);
  }
  ConstantFilter boolean(ftBoolean);
  list.SetFilterExpression(&boolean);
  list.Rebuild();
  EXPECT_EQ(list.Count(), 2);
}

TEST_F(VisibleListTest, DistinctKeepsTheFirstOfEachKeyInTheListsOrder) {
  InsertN({2, 1, 2, std::nullopt, 1, 3, std::nullopt});
  TkrVisibleList list(t_.m(), t_.search());
  list.SetDistinctFields("n");
  list.Rebuild();
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{0, 1, 3, 5}));
}

// Keys that are not one whole number (a string, a string and a number)
// are compared as compact key images: each distinct key keeps its first
// record (in identifier order) among those the filter lets through, NULL
// equal to NULL, and the list keeps the current index's order.
TEST_F(VisibleListTest, DistinctOverStringAndCompositeKeysKeepsTheFirstPassingRecordOfEachKey) {
  std::mt19937 rng(2024);
  for (int i = 0; i < 300; ++i) t_.m().InsertRecord(t_.NewImage(RandomRow(rng)).data(), 0);
  const auto passes = [](const Row& r) { return !r.m || *r.m < 70; };
  for (const char* fields : {"s", "s;n"}) {
    SCOPED_TRACE(fields);
    const bool withN = std::strchr(fields, ';') != nullptr;
    std::vector<std::int32_t> expected;
    std::vector<std::pair<std::optional<std::string>, std::optional<std::int32_t>>> seen;
    for (std::int32_t p = 0; p < t_.m().RecordCount(); ++p) {
      const Row r = t_.RowAt(p);
      if (!passes(r)) continue;
      const auto key = std::make_pair(r.s, withN ? r.n : std::nullopt);
      if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
      seen.push_back(key);
      expected.push_back(p);
    }
    TkrVisibleList list(t_.m(), t_.search());
    list.SetCurrentIndex(t_.m().IndexNumber("n"));
    list.SetFilterText("(m < 70) or (m is null)");
    list.SetFiltered(true, 0);
    list.SetDistinctFields(fields);
    list.Rebuild();
    list.CheckInvariants();
    std::vector<std::int32_t> got = Entries(list);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    EXPECT_LT(got.size(), 300u);
  }
}

TEST_F(VisibleListTest, DistinctFieldsWithoutAnIndexGetATemporaryOneOrRaise32) {
  for (int v : {3, 1, 3, 2, 1})
    t_.m().InsertRecord(t_.NewImage(Row{std::nullopt, 10 - v, v}).data(), 0);
  TkrVisibleList list(t_.m(), t_.search());
  list.SetCurrentIndex(t_.m().IndexNumber("n"));
  const std::int32_t indexes = t_.m().IndexCount();
  // m has no index: one is made while the list is built; the list keeps
  // the current index's order (n).
  list.SetDistinctFields("m");
  list.Rebuild();
  EXPECT_EQ(t_.m().IndexCount(), indexes + 1);
  EXPECT_EQ(Entries(list), (std::vector<std::int32_t>{0, 3, 1}));

  list.SetDistinctFields("nosuch");
  try {
    list.Rebuild();
    FAIL() << "a distinct list over a missing field was built";
  } catch (const ZorException& e) {
    EXPECT_EQ(e.NativeError(), 32);
    EXPECT_EQ(e.Message(),
              "Distinct index not created. FTableName = 'v', FDistinctFields = 'nosuch'. - "
              "Native error: 00032");
  }
}

TEST_F(VisibleListTest, LocateFindsTheFirstVisibleMatchInIndexOrder) {
  std::mt19937 rng(77);
  for (int i = 0; i < 400; ++i) t_.m().InsertRecord(t_.NewImage(RandomRow(rng)).data(), 0);
  TkrVisibleList list(t_.m(), t_.search());
  list.SetCurrentIndex(t_.m().IndexNumber("s"));
  list.SetFilterText("m < 70");
  list.SetFiltered(true, 0);
  list.Rebuild();
  for (int trial = 0; trial < 40; ++trial) {
    const std::int32_t n = static_cast<std::int32_t>(rng() % 15);
    const std::int32_t mMax = static_cast<std::int32_t>(rng() % 100);
    std::vector<TSearchOperation> ops(2);
    ops[0].FieldNo = kN;
    ops[0].Operator = soEqual;
    ops[0].ValueText = std::to_string(n);
    ops[1].FieldNo = kM;
    ops[1].Operator = trial % 2 == 0 ? soAtMost : soGreater;
    ops[1].ValueText = std::to_string(mMax);
    for (TSearchOperation& op : ops) t_.search().PrepareOperation(op, foNoPartialCompare);
    std::int32_t expected = -1;
    for (std::int32_t i = 0; i < list.Count() && expected < 0; ++i) {
      const Row r = t_.RowAt(list.RecordAt(i));
      const bool second = r.m && (trial % 2 == 0 ? *r.m <= mMax : *r.m > mMax);
      if (r.n && *r.n == n && (trial % 2 == 0 ? (!r.m || second) : second))
        expected = list.RecordAt(i);
    }
    ASSERT_EQ(list.LocateRecord(ops, foNoPartialCompare), expected) << "trial " << trial;
  }
}

}  // namespace
}  // namespace kivo
