// Helpers shared by the files that implement TZorValue: values.cpp
// (storage, conversion, comparison) and value_arithmetic.cpp (arithmetic
// and bit primitives). Not for use elsewhere.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/value_text.h"
#include "sql/values.h"

namespace kivo {

template <class T>
inline void TZorValue::SetFixed(std::uint8_t type, T v) {
  std::byte* p = Allocate(type, static_cast<std::int32_t>(sizeof(T)));
  std::memcpy(p, &v, sizeof(T));
}

template <class T>
inline T TZorValue::Read() const {
  T v{};
  std::memcpy(&v, data_, sizeof(T));
  return v;
}

namespace value_detail {

inline bool IsTextLike(std::uint8_t type) {
  return type == ftString || type == ftWideString || type == ftMemo || type == ftFmtMemo;
}

// A floating result from finite operands must itself be finite.
inline double CheckedFloat(double result) {
  if (std::isnan(result)) throw EInvalidOp();
  if (std::isinf(result)) throw EOverflow();
  return result;
}

inline bool FitsIn(std::uint8_t type, __int128 v) {
  switch (type) {
    case ftSmallint:
      return v >= INT16_MIN && v <= INT16_MAX;
    case ftWord:
      return v >= 0 && v <= UINT16_MAX;
    case ftInteger:
    case ftAutoInc:
      return v >= INT32_MIN && v <= INT32_MAX;
    case ftLargeint:
      return v >= INT64_MIN && v <= INT64_MAX;
    default:
      return false;
  }
}

inline std::string Utf16Bytes(const std::u16string& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t u : text) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

inline std::string HexDigits(std::uint64_t v, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = kHex[v & 15];
  return s;
}

}  // namespace value_detail

}  // namespace kivo
