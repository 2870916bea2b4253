// TBitsArray: one flag per record position, the working sets of a filter's
// set-wise evaluation (a condition marks its records; "and", "or" and "not"
// combine whole arrays).
#pragma once

#include <cstdint>
#include <vector>

namespace kivo {

class TBitsArray {
 public:
  TBitsArray() = default;
  explicit TBitsArray(std::int32_t length) { SetLength(length); }

  std::int32_t Length() const { return static_cast<std::int32_t>(flags_.size()); }
  // Resizes; new positions are clear. REQUIRES: length >= 0.
  void SetLength(std::int32_t length);

  // REQUIRES: 0 <= i < Length().
  bool Get(std::int32_t i) const { return flags_[static_cast<std::size_t>(i)] != 0; }
  void Set(std::int32_t i, bool value = true) {
    flags_[static_cast<std::size_t>(i)] = value ? 1 : 0;
  }
  void Fill(bool value);

  // Position-wise AND / OR with an array of the same length (raises
  // Exception otherwise: the two sets would be of different tables).
  void And(const TBitsArray& other);
  void Or(const TBitsArray& other);
  void Not();

  // The number of set positions, and the set positions in ascending order.
  std::int32_t Count() const;
  std::vector<std::int32_t> Positions() const;

 private:
  void RequireSameLength(const TBitsArray& other, const char* operation) const;

  std::vector<std::uint8_t> flags_;  // 0 or 1 per position
};

}  // namespace kivo
