#include "engine/int_array.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/errors.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;

std::vector<std::int32_t> Items(const TkrIntArray& a) {
  return std::vector<std::int32_t>(a.Data(), a.Data() + a.Count());
}

TkrIntArray Of(std::initializer_list<std::int32_t> values) {
  TkrIntArray a(0, 100, 10);
  for (std::int32_t v : values) a.Append(v);
  return a;
}

TEST(IntArray, GrowthDoublesStepsUpToTheCapAndShrinksOnlyPastTheSpare) {
  TkrIntArray a(0, 10000, 1000);
  EXPECT_EQ(a.Capacity(), 0);
  a.SetCount(1);
  EXPECT_EQ(a.AllocBy(), 2000);
  EXPECT_EQ(a.Capacity(), 2000);
  a.SetCount(2001);
  EXPECT_EQ(a.AllocBy(), 4000);
  EXPECT_EQ(a.Capacity(), 6000);
  a.SetCount(50000);  // beyond capacity + step: the count itself
  EXPECT_EQ(a.AllocBy(), 8000);
  EXPECT_EQ(a.Capacity(), 50000);
  a.SetCount(50001);
  EXPECT_EQ(a.AllocBy(), 10000);  // capped
  EXPECT_EQ(a.Capacity(), 60000);

  a.SetCount(59500);  // 500 spare: kept
  EXPECT_EQ(a.Capacity(), 60000);
  a.SetCount(40000);  // 20000 spare > DeallocBy
  EXPECT_EQ(a.DeallocBy(), 2000);
  EXPECT_EQ(a.Capacity(), 40000);
  a.SetCount(0);
  EXPECT_EQ(a.Capacity(), 0);
  EXPECT_EQ(a.Data(), nullptr);
  a.CheckInvariants();
}

TEST(IntArray, InsertDeleteAndMoveShiftTheRightItems) {
  TkrIntArray a = Of({1, 2, 3});
  a.Insert(0, 10);
  a.Insert(4, 40);
  a.Insert(2, 20);
  a.Delete(1);
  EXPECT_EQ(Items(a), (std::vector<std::int32_t>{10, 20, 2, 3, 40}));
  EXPECT_EQ(a.IndexOf(3), 3);
  EXPECT_EQ(a.IndexOf(99), -1);

  // Move counts the target with the item still in place.
  a = Of({0, 1, 2, 3, 4});
  a.Move(1, 4);  // lands before the item that was at 4
  EXPECT_EQ(Items(a), (std::vector<std::int32_t>{0, 2, 3, 1, 4}));
  a = Of({0, 1, 2, 3, 4});
  a.Move(1, 5);  // to the end
  EXPECT_EQ(Items(a), (std::vector<std::int32_t>{0, 2, 3, 4, 1}));
  a = Of({0, 1, 2, 3, 4});
  a.Move(3, 0);
  EXPECT_EQ(Items(a), (std::vector<std::int32_t>{3, 0, 1, 2, 4}));
  a = Of({0, 1, 2, 3, 4});
  a.Move(3, 2);  // one position down: a swap with the neighbour
  EXPECT_EQ(Items(a), (std::vector<std::int32_t>{0, 1, 3, 2, 4}));
  a.Move(2, 2);
  a.Move(2, 3);
  EXPECT_EQ(Items(a), (std::vector<std::int32_t>{0, 1, 3, 2, 4}));
}

TEST(IntArray, BadIndexesAndCountsRaiseInsteadOfTouchingMemory) {
  TkrIntArray a = Of({5, 6});
  EXPECT_EQ(MessageOf([&] { a.Get(2); }),
            "TkrIntArray - index out of bounds, index = 2, count = 2");
  EXPECT_THROW(a.Set(-1, 0), Exception);
  EXPECT_THROW(a.Insert(3, 0), Exception);
  EXPECT_THROW(a.Delete(2), Exception);
  EXPECT_THROW(a.Move(0, 3), Exception);
  EXPECT_EQ(MessageOf([&] { a.SetCount(-1); }), "TkrIntArray.SetCount - invalid count = -1");
  EXPECT_THROW(a.SetCount(0x7FFFFFFF), Exception);
  EXPECT_EQ(Items(a), (std::vector<std::int32_t>{5, 6}));
}

TEST(SortedIntArray, KeepsKeysSortedWithTheirValues) {
  TkrSortedIntArray s;
  s.Add(30, 3);
  s.Add(10, 1);
  s.Add(20, 2);
  s.Add(-5, 0);
  ASSERT_EQ(s.Count(), 4);
  EXPECT_EQ(s.KeyAt(0), -5);
  EXPECT_EQ(s.KeyAt(3), 30);
  EXPECT_EQ(s.Find(20), 2);
  EXPECT_EQ(s.Find(25), -1);
  EXPECT_EQ(s.ValueOf(30), 3);
  EXPECT_EQ(s.ValueOf(11), -1);
  s.Delete(10);
  EXPECT_EQ(s.Find(10), -1);
  EXPECT_EQ(s.ValueOf(20), 2);
  EXPECT_EQ(MessageOf([&] { s.Delete(5); }),
            "TkrSortedIntArray.Delete - element not found, key = 5, itemCount = 3!");
  s.Clear();
  EXPECT_EQ(MessageOf([&] { s.Delete(1); }), "TkrSortedIntArray.Delete - no elements in array!");
}

}  // namespace
}  // namespace kivo
