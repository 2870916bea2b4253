// Published check values for RIPEMD-256, CRC-32 and CRC-16/ARC, and the
// Base64 and XOR-32 conventions.
#include "storage/crypto/hash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace kivo {
namespace {

std::string Ripe(std::string_view s) {
  const auto d = THash_RipeMD256::Digest(s.data(), s.size());
  std::string hex;
  char buf[3];
  for (auto b : d) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    hex += buf;
  }
  return hex;
}

TEST(RipeMD256, DesignersVectors) {
  EXPECT_EQ(Ripe(""), "02ba4c4e5f8ecd1877fc52d64d30e37a2d9774fb1e5d026380ae0168e3c5522d");
  EXPECT_EQ(Ripe("a"), "f9333e45d857f5d90a91bab70a1eba0cfb1be4b0783c9acfcd883a9134692925");
  EXPECT_EQ(Ripe("abc"), "afbd6e228b9d8cbbcef5ca2d03e6dba10ac0bc7dcbe4680e1e42d2e975459b65");
  EXPECT_EQ(Ripe("message digest"),
            "87e971759a1ce47a514d5c914c392c9018c7c46bc14465554afcdf54a5070c0e");
}

TEST(Crc32, CheckValueDigestAndText) {
  const std::string s = "123456789";
  EXPECT_EQ(THash_CRC32::Value(s.data(), s.size()), 0xCBF43926u);
  EXPECT_EQ(THash_CRC32::Value("", 0), 0u);
  const auto d = THash_CRC32::Digest(s.data(), s.size());
  EXPECT_EQ(d, (std::array<std::uint8_t, 4>{0x26, 0x39, 0xF4, 0xCB}));
  // Base64 of 26 39 F4 CB.
  EXPECT_EQ(THash_CRC32::CalcBuffer(s.data(), s.size()), "Jjn0yw==");
  EXPECT_EQ(THash_CRC32::CalcBuffer("", 0), "AAAAAA==");

  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) {
    std::vector<std::uint8_t> buf(rng() % 300);
    for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
    const std::string text = THash_CRC32::CalcBuffer(buf.data(), buf.size());
    ASSERT_EQ(text.size(), 8u);
    ASSERT_EQ(text.substr(6), "==");
  }
}

TEST(Mime64, PaddingAndAlphabet) {
  EXPECT_EQ(TStringFormat_MIME64::Encode("", 0), "");
  EXPECT_EQ(TStringFormat_MIME64::Encode("f", 1), "Zg==");
  EXPECT_EQ(TStringFormat_MIME64::Encode("fo", 2), "Zm8=");
  EXPECT_EQ(TStringFormat_MIME64::Encode("foo", 3), "Zm9v");
  EXPECT_EQ(TStringFormat_MIME64::Encode("foobar", 6), "Zm9vYmFy");
  const std::uint8_t high[] = {0xFB, 0xFF, 0xBF};
  EXPECT_EQ(TStringFormat_MIME64::Encode(high, 3), "+/+/");
}

TEST(Crc16Arc, CheckValueAndContinuation) {
  const std::string s = "123456789";
  EXPECT_EQ(CRC16ARC(0, s.data(), s.size()), 0xBB3D);
  EXPECT_EQ(CRC16ARC(0, "", 0), 0);
  EXPECT_EQ(CRC16ARC(0x1234, "", 0), 0x1234);
  // Feeding in two pieces continues from the first result.
  EXPECT_EQ(CRC16ARC(CRC16ARC(0, s.data(), 4), s.data() + 4, 5), 0xBB3D);
}

TEST(Xor32, LittleEndianWordsAndIgnoredRemainder) {
  EXPECT_EQ(XOR32Checksum("", 0), 0u);
  const std::uint8_t words[] = {0x01, 0x02, 0x03, 0x04, 0x10, 0x20, 0x30, 0x40};
  EXPECT_EQ(XOR32Checksum(words, 4), 0x04030201u);
  EXPECT_EQ(XOR32Checksum(words, 8), 0x04030201u ^ 0x40302010u);
  const std::uint8_t tail[] = {0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC};
  for (std::size_t n = 4; n <= 7; ++n) EXPECT_EQ(XOR32Checksum(tail, n), 0x04030201u) << n;
  EXPECT_EQ(XOR32Checksum(tail, 3), 0u);
}

}  // namespace
}  // namespace kivo
