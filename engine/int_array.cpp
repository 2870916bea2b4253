#include "engine/int_array.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <string>

#include "platform/errors.h"

namespace kivo {

namespace {
// More items than this cannot be addressed by 32-bit byte offsets; asking for
// them is a damaged count, not a request to honour.
constexpr std::int32_t kMaxItems = 0x7FFFFFFF / 4;
}  // namespace

TkrIntArray::TkrIntArray(std::int32_t initialCount, std::int32_t maxAllocBy, std::int32_t allocBy)
    : alloc_by_(std::max<std::int32_t>(1, allocBy)),
      dealloc_by_(std::max<std::int32_t>(1, allocBy)),
      max_alloc_by_(std::max<std::int32_t>(1, maxAllocBy)) {
  alloc_by_ = std::min(alloc_by_, max_alloc_by_);
  dealloc_by_ = std::min(dealloc_by_, max_alloc_by_);
  SetCount(initialCount);
}

TkrIntArray::TkrIntArray(const TkrIntArray& other)
    : alloc_by_(other.alloc_by_),
      dealloc_by_(other.dealloc_by_),
      max_alloc_by_(other.max_alloc_by_) {
  CopyFrom(other);
}

TkrIntArray& TkrIntArray::operator=(const TkrIntArray& other) {
  if (this != &other) {
    alloc_by_ = other.alloc_by_;
    dealloc_by_ = other.dealloc_by_;
    max_alloc_by_ = other.max_alloc_by_;
    CopyFrom(other);
  }
  return *this;
}

void TkrIntArray::SetGrowth(std::int32_t allocBy, std::int32_t deallocBy) {
  alloc_by_ = std::clamp<std::int32_t>(allocBy, 1, max_alloc_by_);
  dealloc_by_ = std::clamp<std::int32_t>(deallocBy, 1, max_alloc_by_);
}

void TkrIntArray::Reallocate(std::int32_t newCapacity) {
  if (newCapacity == 0) {
    items_.reset();
    capacity_ = 0;
    return;
  }
  std::unique_ptr<std::int32_t[]> fresh(new (std::nothrow) std::int32_t[newCapacity]);
  if (!fresh) {
    throw Exception("TkrIntArray.SetCount - invalid count = " + std::to_string(newCapacity));
  }
  std::int32_t keep = std::min(count_, newCapacity);
  if (keep > 0) std::memcpy(fresh.get(), items_.get(), sizeof(std::int32_t) * keep);
  items_ = std::move(fresh);
  capacity_ = newCapacity;
}

void TkrIntArray::SetCount(std::int32_t n) {
  if (n < 0 || n > kMaxItems) {
    throw Exception("TkrIntArray.SetCount - invalid count = " + std::to_string(n));
  }
  if (n == 0) {
    Reallocate(0);
    count_ = 0;
    return;
  }
  if (n > capacity_) {
    alloc_by_ = std::min(max_alloc_by_, alloc_by_ * 2);
    std::int64_t grown = std::max<std::int64_t>(n, std::int64_t{capacity_} + alloc_by_);
    Reallocate(static_cast<std::int32_t>(std::min<std::int64_t>(grown, kMaxItems)));
  } else if (n < count_ && capacity_ - n > dealloc_by_) {
    dealloc_by_ = std::min(max_alloc_by_, dealloc_by_ * 2);
    Reallocate(n);
  }
  if (n > count_) std::memset(items_.get() + count_, 0, sizeof(std::int32_t) * (n - count_));
  count_ = n;
}

void TkrIntArray::CheckIndex(std::int32_t i, std::int32_t limit) const {
  if (i < 0 || i >= limit) {
    throw Exception("TkrIntArray - index out of bounds, index = " + std::to_string(i) +
                    ", count = " + std::to_string(count_));
  }
}

std::int32_t TkrIntArray::Get(std::int32_t i) const {
  CheckIndex(i, count_);
  return items_[i];
}

void TkrIntArray::Set(std::int32_t i, std::int32_t value) {
  CheckIndex(i, count_);
  items_[i] = value;
}

void TkrIntArray::Append(std::int32_t value) {
  SetCount(count_ + 1);
  items_[count_ - 1] = value;
}

void TkrIntArray::Insert(std::int32_t index, std::int32_t value) {
  CheckIndex(index, count_ + 1);
  SetCount(count_ + 1);
  std::memmove(items_.get() + index + 1, items_.get() + index,
               sizeof(std::int32_t) * (count_ - 1 - index));
  items_[index] = value;
}

void TkrIntArray::Delete(std::int32_t index) {
  CheckIndex(index, count_);
  std::memmove(items_.get() + index, items_.get() + index + 1,
               sizeof(std::int32_t) * (count_ - 1 - index));
  SetCount(count_ - 1);
}

void TkrIntArray::Move(std::int32_t from, std::int32_t to) {
  CheckIndex(from, count_);
  CheckIndex(to, count_ + 1);
  if (to == from || to == from + 1) return;
  std::int32_t value = items_[from];
  if (to > from) {
    std::memmove(items_.get() + from, items_.get() + from + 1,
                 sizeof(std::int32_t) * (to - 1 - from));
    items_[to - 1] = value;
  } else {
    std::memmove(items_.get() + to + 1, items_.get() + to, sizeof(std::int32_t) * (from - to));
    items_[to] = value;
  }
}

std::int32_t TkrIntArray::IndexOf(std::int32_t value) const {
  for (std::int32_t i = 0; i < count_; ++i) {
    if (items_[i] == value) return i;
  }
  return -1;
}

void TkrIntArray::CopyFrom(const TkrIntArray& source, std::int32_t count) {
  if (count < 0 || count > source.count_) count = source.count_;
  if (&source == this) {
    SetCount(count);
    return;
  }
  SetCount(count);
  if (count > 0) std::memcpy(items_.get(), source.items_.get(), sizeof(std::int32_t) * count);
}

void TkrIntArray::FillIdentity(std::int32_t n) {
  SetCount(n);
  for (std::int32_t i = 0; i < n; ++i) items_[i] = i;
}

void TkrIntArray::CheckInvariants() const {
#ifndef NDEBUG
  assert(0 <= count_ && count_ <= capacity_);
  assert((capacity_ == 0) == (items_ == nullptr));
  assert(1 <= alloc_by_ && alloc_by_ <= max_alloc_by_);
  assert(1 <= dealloc_by_ && dealloc_by_ <= max_alloc_by_);
#endif
}

// ---------------------------------------------------------------------------

TkrSortedIntArray::TkrSortedIntArray() : keys_(0, 10000, 1000), values_(0, 10000, 1000) {}

std::int32_t TkrSortedIntArray::InsertionPosition(std::int32_t key) const {
  const std::int32_t* k = keys_.Data();
  return static_cast<std::int32_t>(std::lower_bound(k, k + keys_.Count(), key) - k);
}

std::int32_t TkrSortedIntArray::Find(std::int32_t key) const {
  std::int32_t i = InsertionPosition(key);
  return i < keys_.Count() && keys_.Get(i) == key ? i : -1;
}

std::int32_t TkrSortedIntArray::ValueOf(std::int32_t key) const {
  std::int32_t i = Find(key);
  return i < 0 ? -1 : values_.Get(i);
}

void TkrSortedIntArray::Add(std::int32_t key, std::int32_t value) {
  const std::int32_t* k = keys_.Data();
  auto i = static_cast<std::int32_t>(std::upper_bound(k, k + keys_.Count(), key) - k);
  keys_.Insert(i, key);
  values_.Insert(i, value);
}

void TkrSortedIntArray::Delete(std::int32_t key) {
  if (keys_.Count() == 0) throw Exception("TkrSortedIntArray.Delete - no elements in array!");
  std::int32_t i = Find(key);
  if (i < 0) {
    throw Exception("TkrSortedIntArray.Delete - element not found, key = " + std::to_string(key) +
                    ", itemCount = " + std::to_string(keys_.Count()) + "!");
  }
  keys_.Delete(i);
  values_.Delete(i);
}

void TkrSortedIntArray::Clear() {
  keys_.SetCount(0);
  values_.SetCount(0);
}

void TkrSortedIntArray::CheckInvariants() const {
#ifndef NDEBUG
  keys_.CheckInvariants();
  values_.CheckInvariants();
  assert(keys_.Count() == values_.Count());
  for (std::int32_t i = 1; i < keys_.Count(); ++i) assert(keys_.Get(i - 1) <= keys_.Get(i));
#endif
}

}  // namespace kivo
