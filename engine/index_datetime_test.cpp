// DATETIME keys over the whole calendar: index order, key searches and the
// repair of a saved index whose order an earlier comparison got wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "engine/index_test_support.h"
#include "platform/clock.h"

namespace kivo {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// The stored form of a moment: day number x kMsPerDay + milliseconds.
double Stored(int year, int month, int day, std::int64_t msOfDay) {
  const std::int64_t dayNumber =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
      DaysFromCivil(1899, 12, 30) + kDateDelta;
  return static_cast<double>(dayNumber * kMsPerDay + msOfDay);
}

constexpr std::int64_t kHour = 3600000;

// A table of one DATETIME field "t" in a disk directory, with its rows
// mirrored in memory (nullopt = null).
class DateTimeTable {
 public:
  explicit DateTimeTable(const TempDir& dir) : store_(dir.path()) {
    TDataManagerHold m0(krGetDataManager("dt", &store_));
    TFieldDefs fields;
    fields.Add("t", ftDateTime);
    m0->CreateTable(fields, TIndexDefs(), false, 1000);
  }
  ~DateTimeTable() { Close(); }

  void Open() {
    Close();
    m_.reset(krGetDataManager("dt", &store_));
    ASSERT_EQ(m_->OpenTable(), kOpenOk);
  }
  void Close() {
    if (m_) m_->CloseTable();
    m_.reset();
  }
  TKivoDataManager& m() { return *m_; }

  std::vector<std::uint8_t> Buffer(std::optional<double> ms, std::uint32_t id) const {
    const TkrRecordLayout& l = m_->Layout();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(l.RecordSize), 0);
    if (ms) std::memcpy(buf.data() + m_->FieldOffset(0), &*ms, sizeof(double));
    SetFieldNull(l, buf.data(), 0, !ms);
    SetRecordId(l, buf.data(), id);
    return buf;
  }
  void Insert(std::optional<double> ms) {
    rows.push_back(ms);
    m_->InsertRecord(Buffer(ms, static_cast<std::uint32_t>(rows.size())).data(), 0);
  }

  // The stored values in the order of index `indexNo`.
  std::vector<std::optional<double>> InIndexOrder(std::int32_t indexNo) {
    m_->BuildIndex(indexNo);
    std::vector<std::optional<double>> values;
    for (std::int32_t i = 0; i < m_->RecordCount(); ++i)
      values.push_back(rows[static_cast<std::size_t>(m_->IndexEntry(indexNo, i))]);
    return values;
  }

  std::vector<std::optional<double>> rows;

 private:
  testing::DirStore store_;
  TDataManagerHold m_;
};

// Nulls first, then by stored milliseconds: the chronological order.
bool Chronological(const std::optional<double>& a, const std::optional<double>& b) {
  if (!a || !b) return !a && b;
  return *a < *b;
}

TEST(DateTimeKeys, IndexesOrderEveryYearChronologicallyAndSearchesFindEveryValue) {
  TempDir dir;
  DateTimeTable t(dir);
  t.Open();
  t.m().AddIndex("up", "t", 0, "", "", false);
  t.m().AddIndex("down", "t", ixDescending, "", "", false);

  std::mt19937 rng(1899);
  // Day ends and starts on both sides of 30 December 1899 first: they are
  // where a comparison that misplaces the day goes wrong.
  std::vector<double> special = {
      Stored(1800, 1, 1, 6 * kHour),     Stored(1800, 1, 1, 18 * kHour),
      Stored(1800, 1, 1, kMsPerDay - 1), Stored(1800, 1, 2, 0),
      Stored(1899, 12, 29, 0),           Stored(1899, 12, 29, kMsPerDay - 1),
      Stored(1899, 12, 30, 0),           Stored(1899, 12, 30, 1),
      Stored(1899, 12, 31, 12 * kHour),  Stored(1, 1, 1, 0),
      Stored(1, 1, 1, kMsPerDay - 1),    Stored(9999, 12, 31, kMsPerDay - 1)};
  for (double v : special) t.Insert(v);
  const std::int64_t first = static_cast<std::int64_t>(Stored(1, 1, 1, 0));
  const std::int64_t last = static_cast<std::int64_t>(Stored(9999, 12, 31, kMsPerDay - 1));
  std::uniform_int_distribution<std::int64_t> anyMoment(first, last);
  for (int i = 0; i < 3000; ++i) {
    const unsigned kind = rng() % 10;
    if (kind == 0)
      t.Insert(std::nullopt);
    else if (kind == 1)
      t.Insert(t.rows[rng() % t.rows.size()]);  // a duplicate
    else if (kind == 2)
      t.Insert(Stored(1899, 12, 30, 0) - static_cast<double>(rng() % (3 * kMsPerDay)));
    else
      t.Insert(static_cast<double>(anyMoment(rng)));
  }

  std::vector<std::optional<double>> expected = t.rows;
  std::stable_sort(expected.begin(), expected.end(), Chronological);
  EXPECT_EQ(t.InIndexOrder(1), expected);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(t.InIndexOrder(2), expected);

  // Every value is found, at the start or the end of its run of equals,
  // in both indexes.
  for (std::int32_t indexNo : {1, 2}) {
    const std::vector<std::optional<double>> order = t.InIndexOrder(indexNo);
    for (std::size_t r = 0; r < t.rows.size(); r += 7) {
      const std::optional<double>& v = t.rows[r];
      if (!v) continue;
      const std::vector<std::uint8_t> key = t.Buffer(v, 999999);
      const auto run =
          std::equal_range(order.begin(), order.end(), v, [&](const auto& a, const auto& b) {
            return indexNo == 1 ? Chronological(a, b) : Chronological(b, a);
          });
      EXPECT_EQ(t.m().FindKey(key.data(), indexNo, true, false, 1), run.first - order.begin())
          << "index " << indexNo << " value " << *v;
      EXPECT_EQ(t.m().FindKey(key.data(), indexNo, true, true, 1), run.second - order.begin() - 1)
          << "index " << indexNo << " value " << *v;
    }
  }
  // A moment between stored values is no exact match; the inexact search
  // lands beside it.
  const std::vector<std::uint8_t> between = t.Buffer(Stored(1800, 1, 1, 12 * kHour), 999999);
  EXPECT_EQ(t.m().FindKey(between.data(), 1, true, true, 1), -1);
  const std::int32_t near = t.m().FindKey(between.data(), 1, false, true, 1);
  ASSERT_GE(near, 0);
  const std::optional<double> landed = t.rows[static_cast<std::size_t>(t.m().IndexEntry(1, near))];
  ASSERT_TRUE(landed.has_value());
  EXPECT_TRUE(*landed == Stored(1800, 1, 1, 6 * kHour) || *landed == Stored(1800, 1, 1, 18 * kHour))
      << *landed;
}

TEST(DateTimeKeys, ASavedIndexInTheOldPre1899OrderIsRepairedOnOpen) {
  TempDir dir;
  DateTimeTable t(dir);
  t.Open();
  t.m().AddIndex("up", "t", 0, "", "", false);
  // Positions 0..3 in chronological order. The old comparison put the
  // first three in one day (by truncating a number on a straight line) and
  // ordered them backwards: the next midnight, the evening, the morning.
  t.Insert(Stored(1800, 1, 1, 6 * kHour));
  t.Insert(Stored(1800, 1, 1, 18 * kHour));
  t.Insert(Stored(1800, 1, 2, 0));
  t.Insert(Stored(1800, 1, 2, 1));
  t.Close();
  std::string bytes = ReadFileBytes(dir.file("dt.idx"));
  // The arrays close the file, the user index's last: four 32-bit positions.
  const std::size_t at = bytes.size() - 16;
  auto position = [&](std::size_t i) {
    std::int32_t v;
    std::memcpy(&v, bytes.data() + at + 4 * i, 4);
    return v;
  };
  ASSERT_EQ((std::vector<std::int32_t>{position(0), position(1), position(2), position(3)}),
            (std::vector<std::int32_t>{0, 1, 2, 3}));
  const std::int32_t oldOrder[4] = {2, 1, 0, 3};
  std::memcpy(bytes.data() + at, oldOrder, sizeof oldOrder);
  WriteFileBytes(dir.file("dt.idx"), bytes);

  t.Open();
  std::vector<std::int32_t> order;
  for (std::int32_t i = 0; i < 4; ++i) order.push_back(t.m().IndexEntry(1, i));
  EXPECT_EQ(order, (std::vector<std::int32_t>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace kivo
