#include "platform/streams.h"

#include <algorithm>
#include <cstring>

namespace kivo {

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count) {
  if (count <= 0 || position_ >= data_.size()) return 0;
  const std::size_t n = std::min(static_cast<std::size_t>(count), data_.size() - position_);
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return static_cast<std::int32_t>(n);
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  const std::size_t n = static_cast<std::size_t>(count);
  if (position_ + n > data_.size()) data_.resize(position_ + n);
  std::memcpy(data_.data() + position_, buffer, n);
  position_ += n;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, int origin) {
  std::int64_t base = 0;
  if (origin == kFromCurrent)
    base = static_cast<std::int64_t>(position_);
  else if (origin == kFromEnd)
    base = static_cast<std::int64_t>(data_.size());
  const std::int64_t target = base + offset;
  if (target < 0) return -1;
  position_ = static_cast<std::size_t>(target);
  return target;
}

void TMemoryStream::SetSize(std::int64_t size) {
  data_.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
  position_ = std::min(position_, data_.size());
}

void TMemoryStream::Clear() {
  data_.clear();  // keeps the capacity for the next value
  position_ = 0;
}

}  // namespace kivo
