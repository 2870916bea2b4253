#include "storage/compress/ppmd.h"
#include "platform/little_endian.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <thread>

#include "storage/compress/compress.h"
#include "storage/compress/test_data.h"

namespace kivo {
namespace {

using testdata::Bytes;
using testdata::RandomBytes;
using testdata::TextBytes;

std::uint32_t Crc(const Bytes& b) {
  return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return TByteReader(b, at).Read<std::uint32_t>();
}

Bytes EncodeBlock(const Bytes& in, int order, int memoryMB) {
  Bytes out;
  EXPECT_TRUE(
      ppmd::EncodeBlock(in.data(), static_cast<std::uint32_t>(in.size()), order, memoryMB, out));
  return out;
}

Bytes Compress(const Bytes& in, TCompressionLevel level) {
  Bytes out;
  std::uint32_t size = 0;
  EXPECT_TRUE(krCompressBuffer(in.data(), static_cast<std::uint32_t>(in.size()), out, level, size));
  EXPECT_EQ(size, out.size());
  return out;
}

bool Decompress(const Bytes& in, TCompressionLevel level, std::uint32_t expected, Bytes& out) {
  std::uint32_t size = expected;
  const bool ok =
      krDecompressBuffer(in.data(), static_cast<std::uint32_t>(in.size()), out, level, size);
  if (ok) {
    EXPECT_EQ(size, out.size());
  }
  return ok;
}

// Coded blocks of the standard variant G coder for the same inputs, orders
// and memory sizes (the info word in front is ours). Memory of 1 MB makes
// the order-16 model run out and restart six times on this input.
TEST(PpmdBlock, MatchesTheStandardCoderBitForBit) {
  struct Known {
    int order, memoryMB;
    Bytes data;
    std::size_t codedSize;
    std::uint32_t codedCrc;
  };
  const Known known[] = {
      {5, 20, TextBytes(200000, 7), 33285, 0x2a1f14d2},
      {16, 50, TextBytes(200000, 7), 34746, 0x15a11015},
      {16, 1, TextBytes(200000, 7), 36622, 0x53f6dea3},
      {2, 1, TextBytes(200000, 7), 35294, 0x46116cc7},
      {5, 20, RandomBytes(100000, 3), 102669, 0x9d0ea493},
  };
  for (const Known& k : known) {
    const Bytes block = EncodeBlock(k.data, k.order, k.memoryMB);
    ASSERT_GE(block.size(), 4u);
    EXPECT_EQ(Le32(block, 0), ppmd::InfoWord(k.order, k.memoryMB));
    const Bytes coded(block.begin() + 4, block.end());
    EXPECT_EQ(coded.size(), k.codedSize) << "order " << k.order << " memory " << k.memoryMB;
    EXPECT_EQ(Crc(coded), k.codedCrc) << "order " << k.order << " memory " << k.memoryMB;
    Bytes back;
    EXPECT_EQ(ppmd::DecodeBlock(block.data(), static_cast<std::uint32_t>(block.size()), back,
                                k.data.size()),
              static_cast<std::int64_t>(k.data.size()));
    EXPECT_TRUE(back == k.data) << "order " << k.order << " memory " << k.memoryMB;
  }
  // Short cases in full: the end mark alone, and one word.
  const Bytes abra = {'a', 'b', 'r', 'a', 'c', 'a', 'd', 'a', 'b', 'r', 'a'};
  const Bytes abraBlock = {0x34, 0x61, 0,    0,    0xb4, 0x1c, 0x9a, 0xfb,
                           0x0e, 0x53, 0x81, 0x47, 0x59, 0xae, 0x31, 0x00};
  const Bytes emptyBlock = {0x1f, 0x63, 0, 0, 0xff, 0x86, 0x07, 0x8d, 0x00};
  EXPECT_EQ(EncodeBlock(abra, 5, 20), abraBlock);
  EXPECT_EQ(EncodeBlock({}, 16, 50), emptyBlock);
  Bytes back;
  EXPECT_EQ(
      ppmd::DecodeBlock(abraBlock.data(), static_cast<std::uint32_t>(abraBlock.size()), back, 100),
      11);
  EXPECT_EQ(back, abra);
  back.clear();
  EXPECT_EQ(ppmd::DecodeBlock(emptyBlock.data(), static_cast<std::uint32_t>(emptyBlock.size()),
                              back, 100),
            0);
}

TEST(PpmdBlock, InfoWordsOfTheTwoLevels) {
  EXPECT_EQ(ppmd::InfoWord(ppmd::kDefault.order, ppmd::kDefault.memoryMB), 0x6134u);
  EXPECT_EQ(ppmd::InfoWord(ppmd::kMax.order, ppmd::kMax.memoryMB), 0x631Fu);
}

// Text that soon repeats: cheap to model, so large inputs stay quick.
Bytes RepeatedText(std::size_t size, std::uint32_t seed) {
  const Bytes stretch = TextBytes(3000, seed);
  Bytes out;
  out.reserve(size);
  while (out.size() < size) out.insert(out.end(), stretch.begin(), stretch.end());
  out.resize(size);
  return out;
}

// Exactly one block size gives one block; one byte more gives a second
// block that codes that byte alone.
TEST(PpmdFraming, BlockBoundariesAndInfoWordsInTheBytes) {
  struct Level {
    TCompressionLevel level;
    std::uint32_t blockSize, info;
  };
  for (const Level& lv : {Level{clDefault, 819200, 0x6134}, Level{clMax, 1638400, 0x631F}}) {
    Bytes data = RepeatedText(lv.blockSize + 1, lv.blockSize);
    data.back() = 'Q';
    const Bytes two = Compress(data, lv.level);
    ASSERT_GE(two.size(), 8u);
    const std::uint32_t first = Le32(two, 0);
    ASSERT_LT(std::size_t{first} + 8, two.size());
    EXPECT_EQ(Le32(two, 4), lv.info);
    const std::uint32_t second = Le32(two, 4 + first);
    EXPECT_EQ(std::size_t{first} + second + 8, two.size());
    EXPECT_EQ(Le32(two, 8 + first), lv.info);
    // The first block holds exactly one block size of input ...
    Bytes head;
    EXPECT_EQ(ppmd::DecodeBlock(two.data() + 4, first, head, lv.blockSize + 1),
              static_cast<std::int64_t>(lv.blockSize));
    EXPECT_TRUE(std::equal(head.begin(), head.end(), data.begin()));
    // ... the second the last byte alone ...
    Bytes tail;
    EXPECT_EQ(ppmd::DecodeBlock(two.data() + 8 + first, second, tail, 10), 1);
    EXPECT_EQ(tail, Bytes{'Q'});
    // ... and an input of exactly the block size is that first block alone.
    const Bytes one = Compress(Bytes(data.begin(), data.end() - 1), lv.level);
    EXPECT_TRUE(one.size() == std::size_t{first} + 4 &&
                std::equal(one.begin(), one.end(), two.begin()));

    Bytes back;
    ASSERT_TRUE(Decompress(two, lv.level, lv.blockSize + 1, back));
    EXPECT_TRUE(back == data);
  }
}

TEST(PpmdLevels, RoundTripsFromOneByteToEightMiB) {
  for (TCompressionLevel level : {clDefault, clMax}) {
    for (std::size_t size : {1u, 2u, 3u, 100u, 4096u, 65537u}) {
      for (const Bytes& data : {TextBytes(size, 11), RandomBytes(size, 12), Bytes(size, 0)}) {
        Bytes back;
        ASSERT_TRUE(
            Decompress(Compress(data, level), level, static_cast<std::uint32_t>(size), back))
            << int(level) << " " << size;
        EXPECT_TRUE(back == data) << int(level) << " " << size;
      }
    }
  }
  // 8 MiB (eleven blocks at level 2, six at level 3): text, random bytes,
  // then text that repeats.
  Bytes big = TextBytes(256u << 10, 13);
  const Bytes noise = RandomBytes(64u << 10, 14);
  big.insert(big.end(), noise.begin(), noise.end());
  const Bytes rest = RepeatedText((8u << 20) - big.size(), 13);
  big.insert(big.end(), rest.begin(), rest.end());
  for (TCompressionLevel level : {clDefault, clMax}) {
    const Bytes packed = Compress(big, level);
    EXPECT_LT(packed.size(), big.size() / 2);
    Bytes back;
    ASSERT_TRUE(Decompress(packed, level, 8u << 20, back)) << int(level);
    EXPECT_TRUE(back == big) << int(level);
  }
}

TEST(PpmdLevels, EmptyInputGivesFalse) {
  Bytes out;
  std::uint32_t size = 0;
  const std::uint8_t dummy = 0;
  EXPECT_FALSE(krCompressBuffer(&dummy, 0, out, clDefault, size));
  EXPECT_FALSE(krCompressBuffer(&dummy, 0, out, clMax, size));
}

TEST(PpmdLevels, WrongLevelFails) {
  const Bytes data = TextBytes(20000, 15);
  Bytes back;
  EXPECT_FALSE(Decompress(Compress(data, clFastest), clDefault, 20000, back));
  EXPECT_FALSE(Decompress(Compress(data, clFastest), clMax, 20000, back));
  EXPECT_FALSE(Decompress(Compress(data, clDefault), clFastest, 20000, back));
  EXPECT_FALSE(Decompress(Compress(data, clMax), clFastest, 20000, back));
}

// The output buffer has exactly the expected size: a block that would go
// past it fails instead of writing beyond it.
TEST(PpmdLevels, DecodingPastTheExpectedSizeFails) {
  const Bytes data = TextBytes(900000, 16);  // two blocks at level 2
  const Bytes packed = Compress(data, clDefault);
  Bytes back;
  EXPECT_FALSE(Decompress(packed, clDefault, 900000 - 1, back));
  EXPECT_FALSE(Decompress(packed, clDefault, 819200, back));
  EXPECT_FALSE(Decompress(packed, clDefault, 1, back));
  // A larger expected size is a bound, not a demand.
  ASSERT_TRUE(Decompress(packed, clDefault, 1000000, back));
  EXPECT_TRUE(back == data);
}

TEST(PpmdLevels, OtherVariantLetterDecodesToNothing) {
  const Bytes a = TextBytes(1000, 17), b = TextBytes(500, 18);
  Bytes one = Compress(a, clDefault);
  one[5] = static_cast<std::uint8_t>((one[5] & 0x0F) | (('H' - 'A') << 4));  // variant H
  Bytes back;
  EXPECT_FALSE(Decompress(one, clDefault, 1000, back));
  // Next to a sound block the call still succeeds, with that block's bytes.
  Bytes both = one;
  const Bytes good = Compress(b, clDefault);
  both.insert(both.end(), good.begin(), good.end());
  ASSERT_TRUE(Decompress(both, clDefault, 1500, back));
  EXPECT_TRUE(back == b);
}

TEST(PpmdLevels, BadBlockLengthsFail) {
  const Bytes data = TextBytes(3000, 19);
  const Bytes packed = Compress(data, clDefault);
  Bytes back;
  Bytes bad = packed;
  bad[3] = 0x80;  // negative length
  EXPECT_FALSE(Decompress(bad, clDefault, 3000, back));
  bad = packed;
  bad[0] = static_cast<std::uint8_t>(bad[0] + 1);  // one byte longer than what follows
  EXPECT_FALSE(Decompress(bad, clDefault, 3000, back));
  for (std::size_t extra = 1; extra <= 4; ++extra) {  // a stub of a next block
    bad = packed;
    bad.resize(packed.size() + extra, 0);
    EXPECT_FALSE(Decompress(bad, clDefault, 3000, back)) << extra;
  }
  bad = packed;
  bad[0] = static_cast<std::uint8_t>(bad[0] - 1);  // a block cut short by one byte
  bad.pop_back();
  EXPECT_FALSE(Decompress(bad, clDefault, 3000, back));
  // An info word with an order below 2 or high bits set.
  bad = packed;
  bad[4] = static_cast<std::uint8_t>(bad[4] & 0xF0);
  EXPECT_FALSE(Decompress(bad, clDefault, 3000, back));
  bad = packed;
  bad[7] = 1;
  EXPECT_FALSE(Decompress(bad, clDefault, 3000, back));
}

// Every call owns its model: calls on several threads give the same bytes
// as calls one after another.
TEST(PpmdLevels, ConcurrentCallsAreIndependent) {
  const Bytes a = TextBytes(300000, 20), b = RandomBytes(100000, 21);
  const Bytes packedA = Compress(a, clMax), packedB = Compress(b, clDefault);
  Bytes outA[2], outB[2];
  bool okA[2] = {}, okB[2] = {};
  std::thread t0([&] {
    outA[0] = Compress(a, clMax);
    okA[1] = Decompress(packedA, clMax, 300000, outA[1]);
  });
  std::thread t1([&] {
    outB[0] = Compress(b, clDefault);
    okB[1] = Decompress(packedB, clDefault, 100000, outB[1]);
  });
  t0.join();
  t1.join();
  EXPECT_TRUE(outA[0] == packedA);
  EXPECT_TRUE(outB[0] == packedB);
  EXPECT_TRUE(okA[1] && outA[1] == a);
  EXPECT_TRUE(okB[1] && outB[1] == b);
}

}  // namespace
}  // namespace kivo
