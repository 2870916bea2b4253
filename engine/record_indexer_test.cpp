#include "engine/record_indexer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kivo {
namespace {

// Records of identifiers only, held in a vector; counts the records read.
class IdTable {
 public:
  IdTable() : layout_(TkrRecordLayout::Compute(4, 1, 4.5)) {}

  TkrIdentifierIndex MakeIndex() {
    return TkrIdentifierIndex(
        layout_, [this] { return static_cast<std::int32_t>(images_.size()); },
        [this](std::int32_t pos) -> const std::uint8_t* {
          ++reads;
          return images_.at(static_cast<std::size_t>(pos)).data();
        });
  }
  void Append(std::uint32_t id) {
    images_.emplace_back(static_cast<std::size_t>(layout_.RecordSize), 0);
    SetRecordId(layout_, images_.back().data(), id);
  }
  std::uint32_t IdAt(std::int32_t pos) const {
    return GetRecordId(layout_, images_.at(static_cast<std::size_t>(pos)).data());
  }
  std::int32_t Count() const { return static_cast<std::int32_t>(images_.size()); }

  int reads = 0;

 private:
  TkrRecordLayout layout_;
  std::vector<std::vector<std::uint8_t>> images_;
};

void ExpectSorted(const IdTable& table, const TkrIdentifierIndex& index) {
  const TkrIntArray& positions = index.Positions();
  ASSERT_EQ(positions.Count(), table.Count());
  std::vector<bool> seen(static_cast<std::size_t>(table.Count()), false);
  for (std::int32_t i = 0; i < positions.Count(); ++i) {
    const std::int32_t p = positions[i];
    ASSERT_TRUE(p >= 0 && p < table.Count() && !seen[static_cast<std::size_t>(p)]) << i;
    seen[static_cast<std::size_t>(p)] = true;
    if (i > 0) {
      EXPECT_LE(table.IdAt(positions[i - 1]), table.IdAt(p)) << i;
    }
  }
}

// Inserts record `id` as the last record and returns its index position.
std::int32_t Insert(IdTable& table, TkrIdentifierIndex& index, std::uint32_t id) {
  table.Append(id);
  index.BeforeRecordChange(table.Count() - 1);
  return index.RecordInserted(table.Count() - 1, 0, true);
}

TEST(IdentifierIndex, InsertsKeepIdentifierOrderWhateverTheirOrder) {
  IdTable table;
  TkrIdentifierIndex index = table.MakeIndex();
  for (std::uint32_t id = 10; id <= 300; id += 10) Insert(table, index, id);
  ASSERT_TRUE(index.Built());
  EXPECT_EQ(Insert(table, index, 5), 0);     // below all
  EXPECT_EQ(Insert(table, index, 155), 16);  // in between
  const std::int32_t top = Insert(table, index, 0xFFFFFFF0u);  // above all, compared unsigned
  EXPECT_EQ(top, table.Count() - 1);
  const std::int32_t belowTop = Insert(table, index, 400);  // below the last one
  EXPECT_EQ(belowTop, table.Count() - 2);
  const std::int32_t at = Insert(table, index, 400);  // equal to an inner one
  EXPECT_EQ(table.IdAt(index.Positions()[at]), 400u);
  const std::int32_t atLast = Insert(table, index, 0xFFFFFFF0u);  // equal to the last one
  EXPECT_EQ(table.IdAt(index.Positions()[atLast]), 0xFFFFFFF0u);
  ExpectSorted(table, index);
  index.CheckInvariants();
}

TEST(IdentifierIndex, AnInsertAboveTheGreatestIdentifierReadsOnlyTwoRecords) {
  IdTable table;
  TkrIdentifierIndex index = table.MakeIndex();
  for (std::uint32_t id = 1; id <= 1000; ++id) Insert(table, index, id);
  ASSERT_TRUE(index.Built());
  table.reads = 0;
  EXPECT_EQ(Insert(table, index, 2000), 1000);
  EXPECT_EQ(table.reads, 2);  // the new record and the last one in the index
  ExpectSorted(table, index);
}

}  // namespace
}  // namespace kivo
