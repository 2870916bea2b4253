// Growable arrays of signed 32-bit integers: TkrIntArray (index arrays,
// visible lists, field maps) and TkrSortedIntArray (sorted keys with values,
// e.g. the page cache's page-number-to-slot map).
//
// Growth is explicit so that big arrays do not reallocate on every append:
// when the count passes the capacity, AllocBy doubles (capped at MaxAllocBy)
// and the capacity becomes max(count, capacity + AllocBy); when the count
// falls with more than DeallocBy spare slots, DeallocBy doubles (capped) and
// the capacity shrinks to the count; count 0 frees the storage.
//
// Invariants (CheckInvariants()):
//   1. 0 <= Count <= Capacity; Capacity == 0 exactly when no storage is held.
//   2. 1 <= AllocBy, DeallocBy <= max(1, MaxAllocBy).
//   3. TkrSortedIntArray: keys are in non-decreasing order and every key has
//      one value.
#pragma once

#include <cstdint>
#include <memory>

namespace kivo {

class TkrIntArray {
 public:
  // `allocBy` is also the initial DeallocBy.
  explicit TkrIntArray(std::int32_t initialCount = 0, std::int32_t maxAllocBy = 10000,
                       std::int32_t allocBy = 1000);
  TkrIntArray(const TkrIntArray& other);
  TkrIntArray& operator=(const TkrIntArray& other);
  ~TkrIntArray() = default;

  std::int32_t Count() const { return count_; }
  // New items (when growing) are zero. Raises "TkrIntArray.SetCount - invalid
  // count = " + n for a negative count or one the memory cannot hold.
  void SetCount(std::int32_t n);
  std::int32_t Capacity() const { return capacity_; }
  std::int32_t AllocBy() const { return alloc_by_; }
  std::int32_t DeallocBy() const { return dealloc_by_; }
  std::int32_t MaxAllocBy() const { return max_alloc_by_; }
  // Restores the growth steps (used after a clear).
  void SetGrowth(std::int32_t allocBy, std::int32_t deallocBy);

  // Item access; an index outside 0 .. Count-1 raises
  // "TkrIntArray - index out of bounds, index = " + i + ", count = " + Count.
  std::int32_t Get(std::int32_t i) const;
  void Set(std::int32_t i, std::int32_t value);
  std::int32_t operator[](std::int32_t i) const { return Get(i); }
  // The storage, Count items (nullptr while Capacity is 0).
  std::int32_t* Data() { return items_.get(); }
  const std::int32_t* Data() const { return items_.get(); }

  void Append(std::int32_t value);
  // Inserts before position `index` (0 .. Count), shifting the tail right.
  void Insert(std::int32_t index, std::int32_t value);
  // Removes the item at `index`, shifting the tail left.
  void Delete(std::int32_t index);
  // Moves the item at `from` so that it lands before the item that was at
  // `to` (`to` counted with the item still in place, 0 .. Count). A move to
  // `from` or `from` + 1 changes nothing; a move to `from` - 1 swaps the two.
  void Move(std::int32_t from, std::int32_t to);
  // The first position holding `value`, or -1.
  std::int32_t IndexOf(std::int32_t value) const;
  bool Contains(std::int32_t value) const { return IndexOf(value) >= 0; }
  // Makes this array a copy of the first `count` items of `source` (all when -1).
  void CopyFrom(const TkrIntArray& source, std::int32_t count = -1);
  // 0, 1, ..., n-1.
  void FillIdentity(std::int32_t n);

  void CheckInvariants() const;

 private:
  void CheckIndex(std::int32_t i, std::int32_t limit) const;
  void Reallocate(std::int32_t newCapacity);

  std::unique_ptr<std::int32_t[]> items_;
  std::int32_t count_ = 0;
  std::int32_t alloc_by_;
  std::int32_t dealloc_by_;
  std::int32_t max_alloc_by_;
  std::int32_t capacity_ = 0;
};

// Sorted keys with a parallel array of values.
class TkrSortedIntArray {
 public:
  TkrSortedIntArray();

  std::int32_t Count() const { return keys_.Count(); }
  std::int32_t KeyAt(std::int32_t i) const { return keys_.Get(i); }
  std::int32_t ValueAt(std::int32_t i) const { return values_.Get(i); }

  // The position of the first key not below `key` (Count when none).
  std::int32_t InsertionPosition(std::int32_t key) const;
  // The position of `key`, or -1.
  std::int32_t Find(std::int32_t key) const;
  // The value stored with `key`, or -1.
  std::int32_t ValueOf(std::int32_t key) const;
  // Inserts at the sorted position (after equal keys).
  void Add(std::int32_t key, std::int32_t value);
  // Raises "TkrSortedIntArray.Delete - no elements in array!" when empty and
  // "TkrSortedIntArray.Delete - element not found, key = " + key +
  // ", itemCount = " + Count + "!" when the key is absent.
  void Delete(std::int32_t key);
  void Clear();

  void CheckInvariants() const;

 private:
  TkrIntArray keys_;
  TkrIntArray values_;
};

}  // namespace kivo
