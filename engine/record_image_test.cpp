#include "engine/record_image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "storage/crypto/cipher.h"
#include "testing/test_support.h"

namespace kivo {
namespace {

using testing::MessageOf;

// Base64 of four bytes, written out for the test.
std::string Base64Of4(const std::uint8_t b[4]) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::uint32_t first = std::uint32_t{b[0]} << 16 | std::uint32_t{b[1]} << 8 | b[2];
  std::string s;
  for (int shift = 18; shift >= 0; shift -= 6) s += kAlphabet[(first >> shift) & 63];
  s += kAlphabet[(b[3] >> 2) & 63];
  s += kAlphabet[(b[3] & 3) << 4];
  return s + "==";
}

TEST(RecordLayout, TailIsBitmapPlusSeventeenButAtLeastThirtyTwo) {
  TkrRecordLayout three = TkrRecordLayout::Compute(30, 3, 4.5);
  EXPECT_EQ(three.NullBitmapSize, 1);
  EXPECT_EQ(three.TailSize, 32);
  EXPECT_EQ(three.RecordSize, 62);
  EXPECT_EQ(three.IdOffset, 30);
  EXPECT_EQ(three.NullBitmapOffset, 34);
  EXPECT_EQ(three.CheckStringOffset, 35);

  TkrRecordLayout many = TkrRecordLayout::Compute(1000, 200, 4.5);
  EXPECT_EQ(many.NullBitmapSize, 25);
  EXPECT_EQ(many.TailSize, 42);
  EXPECT_EQ(many.RecordSize, 1042);
  EXPECT_EQ(many.CheckStringOffset, 1000 + 4 + 25);

  TkrRecordLayout none = TkrRecordLayout::Compute(0, 0, 4.5);
  EXPECT_EQ(none.NullBitmapSize, 0);
  EXPECT_EQ(none.RecordSize, 32);

  TkrRecordLayout old = TkrRecordLayout::Compute(10, 100, 1.2);  // 8-byte bitmap below 1.24
  EXPECT_EQ(old.NullBitmapSize, 8);
  EXPECT_EQ(old.TailSize, 32);

  EXPECT_THROW(TkrRecordLayout::Compute(-1, 1, 4.5), Exception);
  EXPECT_THROW(TkrRecordLayout::Compute(0x7FFFFFF0, 1, 4.5), Exception);
}

// A table INTEGER a, STRING(5) b, SMALLINT c: slots 4 + 6 + 2 = 12, B = 1.
TEST(RecordImage, FixedPartsSitWhereTheLayoutSays) {
  TkrRecordLayout l = TkrRecordLayout::Compute(12, 3, 4.5);
  std::vector<std::uint8_t> image(static_cast<std::size_t>(l.RecordSize), 0);
  SetRecordId(l, image.data(), 0x80000001u);
  SetFieldNull(l, image.data(), 1, true);
  SetFieldNull(l, image.data(), 2, true);
  SetFieldNull(l, image.data(), 2, false);
  SetCheckString(l, image.data(), "ABCDEFGHIJKLMNOP");

  std::vector<std::uint8_t> expected(44, 0);
  expected[12] = 0x01;
  expected[15] = 0x80;
  expected[16] = 0x02;  // field 1 null
  expected[17] = 12;    // check string cut to 12 characters
  std::memcpy(&expected[18], "ABCDEFGHIJKL", 12);
  EXPECT_EQ(image, expected);

  EXPECT_EQ(GetRecordId(l, image.data()), 0x80000001u);
  EXPECT_TRUE(IsFieldNull(l, image.data(), 1));
  EXPECT_FALSE(IsFieldNull(l, image.data(), 0));
  EXPECT_FALSE(IsFieldNull(l, image.data(), 8));  // past the bitmap
  EXPECT_EQ(GetCheckString(l, image.data()), "ABCDEFGHIJKL");
  image[17] = 200;  // a damaged length byte reads as at most 12 characters
  EXPECT_EQ(GetCheckString(l, image.data()).size(), 12u);
}

TEST(RecordImage, EncodingStoresTheCheckStringAndEnciphersOnlyTheFieldData) {
  TkrRecordLayout l = TkrRecordLayout::Compute(12, 3, 4.5);
  std::vector<std::uint8_t> plain(static_cast<std::size_t>(l.RecordSize), 0);
  const std::uint8_t data[12] = {7, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0, 0xFF, 0x7F};
  std::memcpy(plain.data(), data, 12);
  SetRecordId(l, plain.data(), 42);
  SetFieldNull(l, plain.data(), 2, true);

  std::vector<std::uint8_t> expected = plain;
  std::uint32_t crc = static_cast<std::uint32_t>(crc32(0L, data, 12));
  const std::uint8_t le[4] = {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
                              static_cast<std::uint8_t>(crc >> 16),
                              static_cast<std::uint8_t>(crc >> 24)};
  std::string check = Base64Of4(le);
  expected[17] = 8;
  std::memcpy(&expected[18], check.data(), 8);
  EncryptInPlace("secret", expected.data(), 12);

  std::vector<std::uint8_t> image = plain;
  ChangeRecordEncryption(l, "secret", image.data(), true);
  EXPECT_EQ(image, expected);
  EXPECT_EQ(GetCheckString(l, image.data()), CountBufferCrc(data, 12));

  ChangeRecordEncryption(l, "secret", image.data(), false);
  std::vector<std::uint8_t> decoded = plain;
  SetCheckString(l, decoded.data(), check);
  EXPECT_EQ(image, decoded);
}

TEST(RecordImage, DecodingRejectsWrongPasswordsAndAlteredCheckStrings) {
  TkrRecordLayout l = TkrRecordLayout::Compute(12, 3, 4.5);
  std::vector<std::uint8_t> stored(static_cast<std::size_t>(l.RecordSize), 0);
  std::memcpy(stored.data(), "abcdefghijk", 12);
  ChangeRecordEncryption(l, "pw", stored.data(), true);
  const std::string crcError =
      "Error in TKivoDataManager.ChangeBufferEncryption - crc error, decoding";

  std::vector<std::uint8_t> image = stored;
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "other", image.data(), false); }), crcError);

  image = stored;
  image[l.CheckStringOffset + 3] ^= 1;
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "pw", image.data(), false); }), crcError);

  image = stored;
  image[l.CheckStringOffset] = 0;  // empty stored check string
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "pw", image.data(), false); }), crcError);

  image = stored;
  image[l.CheckStringOffset] = 10;  // longer than the 8 computed characters
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "pw", image.data(), false); }), crcError);

  image = stored;
  image[5] ^= 0x40;  // damaged field data
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "pw", image.data(), false); }), crcError);

  image = stored;
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "", image.data(), true); }),
            "Error in TKivoDataManager.ChangeBufferEncryption - encoding error.");
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "", image.data(), false); }),
            "Error in TKivoDataManager.ChangeBufferEncryption - decoding error.");
  EXPECT_EQ(MessageOf([&] { ChangeRecordEncryption(l, "pw", nullptr, false); }),
            "Error in TKivoDataManager.ChangeBufferEncryption - buffer 0 pointer.");
}

}  // namespace
}  // namespace kivo
