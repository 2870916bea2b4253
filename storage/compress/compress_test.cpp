#include "storage/compress/compress.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "storage/compress/test_data.h"

namespace kivo {
namespace {

using testdata::Bytes;
using testdata::RandomBytes;
using testdata::TextBytes;

Bytes Compress(const Bytes& in, TCompressionLevel level) {
  Bytes out;
  std::uint32_t outSize = 0;
  const std::uint8_t dummy = 0;
  EXPECT_TRUE(krCompressBuffer(in.empty() ? &dummy : in.data(),
                               static_cast<std::uint32_t>(in.size()), out, level, outSize));
  EXPECT_EQ(outSize, out.size());
  return out;
}

// Decompresses with the given expected size; false result gives nullopt-like empty + flag.
bool Decompress(const Bytes& in, TCompressionLevel level, std::uint32_t expected, Bytes& out) {
  std::uint32_t size = expected;
  const std::uint8_t dummy = 0;
  const bool ok = krDecompressBuffer(in.empty() ? &dummy : in.data(),
                                     static_cast<std::uint32_t>(in.size()), out, level, size);
  if (ok) {
    EXPECT_EQ(size, out.size());
  }
  return ok;
}

void ExpectRoundTrip(const Bytes& data, TCompressionLevel level) {
  const Bytes packed = Compress(data, level);
  Bytes back;
  ASSERT_TRUE(Decompress(packed, level, static_cast<std::uint32_t>(data.size()), back))
      << "level " << int(level) << " size " << data.size();
  ASSERT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "level " << int(level) << " size " << data.size();
}

TEST(CompressBuffer, NilInputRaisesAndOtherMisuseIsFalse) {
  Bytes out;
  std::uint32_t size = 0;
  try {
    krCompressBuffer(nullptr, 10, out, clFastest, size);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "krCompressBuffer - inBuf = nil");
  }
  const Bytes data = TextBytes(100);
  EXPECT_FALSE(krCompressBuffer(data.data(), 100, out, clNone, size));
  EXPECT_FALSE(krCompressBuffer(data.data(), 100, out, static_cast<TCompressionLevel>(4), size));
  size = 100;
  EXPECT_FALSE(krDecompressBuffer(nullptr, 100, out, clFastest, size));
  const Bytes packed = Compress(data, clFastest);
  size = 0;  // an expected size of zero is refused at once
  EXPECT_FALSE(krDecompressBuffer(packed.data(), static_cast<std::uint32_t>(packed.size()), out,
                                  clFastest, size));
  size = 100;
  EXPECT_FALSE(krDecompressBuffer(packed.data(), static_cast<std::uint32_t>(packed.size()), out,
                                  clNone, size));
}

TEST(ZlibLevel, RoundTripsTextAndRandomOfManySizes) {
  for (std::size_t size : {1u, 2u, 255u, 256u, 257u, 4096u, 100000u, 1u << 20}) {
    ExpectRoundTrip(TextBytes(size, static_cast<std::uint32_t>(size)), clFastest);
    ExpectRoundTrip(RandomBytes(size, static_cast<std::uint32_t>(size)), clFastest);
  }
}

TEST(ZlibLevel, OutputIsTheLevelOneZlibStream) {
  const Bytes data = TextBytes(300000);
  const Bytes packed = Compress(data, clFastest);
  // Reference: the same parameters through zlib directly.
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes ref(deflateBound(&z, static_cast<uLong>(data.size())));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = ref.data();
  z.avail_out = static_cast<uInt>(ref.size());
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  ref.resize(z.total_out);
  deflateEnd(&z);
  EXPECT_TRUE(packed == ref);
  // RFC 1950 header of a level-1 stream with a 32 KiB window, Adler-32 at the end.
  ASSERT_GT(packed.size(), 6u);
  EXPECT_EQ(packed[0], 0x78);
  EXPECT_EQ(packed[1], 0x01);
  const uLong adler = adler32(adler32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size()));
  const std::size_t n = packed.size();
  EXPECT_EQ(
      (uLong{packed[n - 4]} << 24) | (packed[n - 3] << 16) | (packed[n - 2] << 8) | packed[n - 1],
      adler);
}

TEST(ZlibLevel, EmptyInputCompressesToAValidStream) {
  const Bytes packed = Compress({}, clFastest);
  EXPECT_EQ(packed.size(), 8u);  // header, empty final block, Adler-32 of nothing
  Bytes back(16);
  uLongf backSize = back.size();
  EXPECT_EQ(uncompress(back.data(), &backSize, packed.data(), static_cast<uLong>(packed.size())),
            Z_OK);
  EXPECT_EQ(backSize, 0u);
}

TEST(ZlibLevel, ExpectedSizeIsOnlyAHint) {
  const Bytes data = TextBytes(500000);
  const Bytes packed = Compress(data, clFastest);
  for (std::uint32_t expected : {1u, 1000u, 499999u, 0xFFFFFFFFu}) {
    Bytes back;
    ASSERT_TRUE(Decompress(packed, clFastest, expected, back)) << expected;
    EXPECT_TRUE(back == data) << expected;
  }
}

TEST(ZlibLevel, CutOrDictionaryStreamsFailWithoutHanging) {
  const Bytes data = TextBytes(50000);
  const Bytes packed = Compress(data, clFastest);
  for (std::size_t cut : {std::size_t{1}, std::size_t{2}, std::size_t{3}, packed.size() / 2,
                          packed.size() - 4, packed.size() - 1}) {
    Bytes back;
    EXPECT_FALSE(Decompress(Bytes(packed.begin(), packed.begin() + cut), clFastest, 50000, back))
        << cut;
  }
  // A stream that asks for a preset dictionary.
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  const char dict[] = "table record";
  ASSERT_EQ(deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dict), sizeof dict), Z_OK);
  Bytes withDict(deflateBound(&z, 1000));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = 1000;
  z.next_out = withDict.data();
  z.avail_out = static_cast<uInt>(withDict.size());
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  withDict.resize(z.total_out);
  deflateEnd(&z);
  Bytes back;
  EXPECT_FALSE(Decompress(withDict, clFastest, 1000, back));
}

}  // namespace
}  // namespace kivo
