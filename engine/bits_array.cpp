#include "engine/bits_array.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/errors.h"

namespace kivo {

void TBitsArray::SetLength(std::int32_t length) {
  flags_.resize(static_cast<std::size_t>(std::max(length, 0)), 0);
}

void TBitsArray::Fill(bool value) { std::fill(flags_.begin(), flags_.end(), value ? 1 : 0); }

void TBitsArray::RequireSameLength(const TBitsArray& other, const char* operation) const {
  if (other.flags_.size() != flags_.size())
    throw Exception(std::string("TBitsArray.") + operation + " - lengths differ (" +
                    std::to_string(flags_.size()) + " and " + std::to_string(other.flags_.size()) +
                    ")");
}

void TBitsArray::And(const TBitsArray& other) {
  RequireSameLength(other, "And");
  for (std::size_t i = 0; i < flags_.size(); ++i) flags_[i] &= other.flags_[i];
}

void TBitsArray::Or(const TBitsArray& other) {
  RequireSameLength(other, "Or");
  for (std::size_t i = 0; i < flags_.size(); ++i) flags_[i] |= other.flags_[i];
}

void TBitsArray::Not() {
  for (std::uint8_t& f : flags_) f ^= 1;
}

std::int32_t TBitsArray::Count() const {
  return static_cast<std::int32_t>(std::count(flags_.begin(), flags_.end(), 1));
}

std::vector<std::int32_t> TBitsArray::Positions() const {
  std::vector<std::int32_t> out;
  const std::size_t n = flags_.size();
  std::size_t i = 0;
  // Sparse sets are common: skip eight clear flags at a time.
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, flags_.data() + i, 8);
    if (word == 0) continue;
    for (std::size_t k = 0; k < 8; ++k)
      if (flags_[i + k] != 0) out.push_back(static_cast<std::int32_t>(i + k));
  }
  for (; i < n; ++i)
    if (flags_[i] != 0) out.push_back(static_cast<std::int32_t>(i));
  return out;
}

}  // namespace kivo
