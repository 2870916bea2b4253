// Little-endian fields of on-disk formats: loading and storing fixed-width
// integers, floats and doubles at any (unaligned) address, and a bounds-checked reader
// over a span of bytes read from disk.
//
// Every on-disk format stores its numbers least significant byte first. A
// load or store copies the bytes with memcpy (no alignment needed) and swaps
// them on a big-endian host, so the same code reads the same file everywhere.
//
// TByteReader is the way a format parses a byte image it did not write
// itself: every read is checked against the span's end first, and a read that
// would overrun raises Exception naming the offset and the size wanted, so a
// damaged length or offset never reaches memory outside the image.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/errors.h"

namespace kivo {

namespace little_endian_detail {

template <typename T>
concept Field = (std::is_integral_v<T> && !std::is_same_v<T, bool>) || std::is_same_v<T, double> ||
                std::is_same_v<T, float>;

// The unsigned integer with T's bytes: a float travels as 32 bits, a double as 64.
template <typename T>
struct BitsOf {
  using type = std::make_unsigned_t<T>;
};
template <>
struct BitsOf<double> {
  using type = std::uint64_t;
};
template <>
struct BitsOf<float> {
  using type = std::uint32_t;
};
template <typename T>
using Bits = typename BitsOf<T>::type;

template <typename U>
constexpr U SwapBytes(U v) {
  U out = 0;
  for (std::size_t i = 0; i < sizeof(U); ++i) {
    out = static_cast<U>((out << 8) | (v & 0xFF));
    v = static_cast<U>(v >> 8);
  }
  return out;
}

}  // namespace little_endian_detail

// The value of type T stored least significant byte first at p.
template <little_endian_detail::Field T>
T LoadLE(const void* p) {
  using U = little_endian_detail::Bits<T>;
  U bits;
  std::memcpy(&bits, p, sizeof bits);
  if constexpr (std::endian::native == std::endian::big)
    bits = little_endian_detail::SwapBytes(bits);
  return std::bit_cast<T>(bits);
}

// Stores v at p least significant byte first (sizeof(T) bytes).
template <little_endian_detail::Field T>
void StoreLE(void* p, T v) {
  using U = little_endian_detail::Bits<T>;
  U bits = std::bit_cast<U>(v);
  if constexpr (std::endian::native == std::endian::big)
    bits = little_endian_detail::SwapBytes(bits);
  std::memcpy(p, &bits, sizeof bits);
}

// Appends v to `out` least significant byte first.
template <little_endian_detail::Field T>
void AppendLE(std::vector<std::uint8_t>& out, T v) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  StoreLE<T>(out.data() + at, v);
}

// Reads fields in order from a span of bytes, checking each read against the
// span's end. The reader does not own the bytes: the span must outlive it.
class TByteReader {
 public:
  explicit TByteReader(std::span<const std::uint8_t> bytes, std::size_t offset = 0)
      : bytes_(bytes), offset_(0) {
    Seek(offset);
  }
  TByteReader(const void* data, std::size_t size, std::size_t offset = 0)
      : TByteReader(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), size),
                    offset) {}

  // A reader over the same bytes positioned at `offset` (checked).
  TByteReader At(std::size_t offset) const { return TByteReader(bytes_, offset); }

  std::size_t Offset() const { return offset_; }
  std::size_t Size() const { return bytes_.size(); }
  std::size_t Remaining() const { return bytes_.size() - offset_; }

  // Moves the position to `offset`, which may be the end but not past it.
  void Seek(std::size_t offset) {
    if (offset > bytes_.size()) Overrun(offset, 0);
    offset_ = offset;
  }
  void Skip(std::size_t n) { Bytes(n); }

  template <little_endian_detail::Field T>
  T Read() {
    return LoadLE<T>(Bytes(sizeof(T)).data());
  }

  // The next n bytes (a view into the span) and moves past them.
  std::span<const std::uint8_t> Bytes(std::size_t n) {
    if (n > bytes_.size() - offset_) Overrun(offset_, n);
    const auto out = bytes_.subspan(offset_, n);
    offset_ += n;
    return out;
  }

 private:
  [[noreturn]] void Overrun(std::size_t offset, std::size_t wanted) const {
    throw Exception("Read of " + std::to_string(wanted) + " bytes at offset " +
                    std::to_string(offset) + " runs past the end of " +
                    std::to_string(bytes_.size()) + " bytes");
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t offset_;  // <= bytes_.size() at all times
};

}  // namespace kivo
