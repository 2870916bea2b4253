#include "platform/little_endian.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kivo {
namespace {

TEST(LittleEndianTest, KnownByteLayout) {
  std::array<std::uint8_t, 8> b{};
  StoreLE<std::uint32_t>(b.data(), 0x11223344u);
  EXPECT_EQ((std::array<std::uint8_t, 4>{b[0], b[1], b[2], b[3]}),
            (std::array<std::uint8_t, 4>{0x44, 0x33, 0x22, 0x11}));
  StoreLE<std::int16_t>(b.data(), -2);
  EXPECT_EQ(b[0], 0xFE);
  EXPECT_EQ(b[1], 0xFF);
  StoreLE<double>(b.data(), 1.0);  // 0x3FF0000000000000
  EXPECT_EQ((std::array<std::uint8_t, 8>{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}), b);

  const std::uint8_t raw[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  EXPECT_EQ(LoadLE<std::uint64_t>(raw), 0x8807060504030201ull);
  EXPECT_EQ(LoadLE<std::int64_t>(raw), static_cast<std::int64_t>(0x8807060504030201ull));
  EXPECT_EQ(LoadLE<std::uint16_t>(raw + 1), 0x0302);  // unaligned
  EXPECT_EQ(LoadLE<std::int32_t>(raw + 4), static_cast<std::int32_t>(0x88070605u));
}

TEST(LittleEndianTest, RoundTrips) {
  std::uint8_t b[9] = {};
  for (const std::int64_t v : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1},
                               std::int64_t{0}, std::int64_t{0x0102030405060708}}) {
    StoreLE(b + 1, v);
    EXPECT_EQ(LoadLE<std::int64_t>(b + 1), v);
    StoreLE(b + 1, static_cast<std::int32_t>(v));
    EXPECT_EQ(LoadLE<std::int32_t>(b + 1), static_cast<std::int32_t>(v));
  }
  for (const double d : {-0.5, 3.141592653589793, std::numeric_limits<double>::max()}) {
    StoreLE(b, d);
    EXPECT_EQ(LoadLE<double>(b), d);
  }
}

TEST(LittleEndianTest, ReaderReadsInOrder) {
  std::vector<std::uint8_t> bytes(14);
  StoreLE<std::int32_t>(bytes.data(), -7);
  StoreLE<std::uint16_t>(bytes.data() + 4, 0xBEEF);
  StoreLE<double>(bytes.data() + 6, 2.5);
  TByteReader r(bytes);
  EXPECT_EQ(r.Read<std::int32_t>(), -7);
  EXPECT_EQ(r.Read<std::uint16_t>(), 0xBEEF);
  EXPECT_EQ(r.Offset(), 6u);
  EXPECT_EQ(r.Read<double>(), 2.5);
  EXPECT_EQ(r.Remaining(), 0u);
  EXPECT_EQ(r.At(4).Read<std::uint16_t>(), 0xBEEF);
  EXPECT_EQ(r.At(14).Bytes(0).size(), 0u);
  TByteReader s(bytes);
  s.Skip(4);
  const auto view = s.Bytes(2);
  EXPECT_EQ(view.data(), bytes.data() + 4);
  EXPECT_EQ(s.Offset(), 6u);
}

// What a reader over `size` bytes, moved to `offset`, raises when asked for
// `wanted` more bytes (via Read when `wanted` is 4, else via Bytes).
std::string Overrun(std::size_t size, std::size_t offset, std::size_t wanted) {
  const std::vector<std::uint8_t> bytes(size);
  TByteReader r(bytes);
  std::string message = "no exception";
  try {
    r.Seek(offset);
    if (wanted == 4)
      r.Read<std::uint32_t>();
    else
      r.Bytes(wanted);
  } catch (const Exception& e) {
    message = e.Message();
    // A failed seek or read leaves the reader where it was.
    EXPECT_EQ(r.Offset(), offset <= size ? offset : 0u);
  }
  return message;
}

TEST(LittleEndianTest, OverrunRaisesNamingOffsetAndSize) {
  EXPECT_EQ(Overrun(10, 8, 4), "Read of 4 bytes at offset 8 runs past the end of 10 bytes");
  EXPECT_EQ(Overrun(10, 8, 3), "Read of 3 bytes at offset 8 runs past the end of 10 bytes");
  EXPECT_EQ(Overrun(10, 11, 0), "Read of 0 bytes at offset 11 runs past the end of 10 bytes");
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(Overrun(10, 1, huge),
            "Read of " + std::to_string(huge) + " bytes at offset 1 runs past the end of 10 bytes");
  EXPECT_EQ(Overrun(10, 6, 4), "no exception");  // the last four bytes
  EXPECT_EQ(Overrun(0, 0, 0), "no exception");
  const std::vector<std::uint8_t> ten(10);
  EXPECT_THROW(TByteReader(ten).At(11), Exception);
  EXPECT_THROW(TByteReader(ten, 9).Skip(2), Exception);
}

}  // namespace
}  // namespace kivo
