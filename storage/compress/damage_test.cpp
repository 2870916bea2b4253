// Damaged compressed input: seeded random bit flips, cuts, overwritten runs,
// inserted and dropped bytes at every level. Every case must end in a false
// result or in a result that keeps to the contract (size reported = bytes
// held, never more than the expected size at the PPMd levels) - and never in
// a crash, a hang or a read outside the buffers, which the sanitizer build
// of this test checks.
#include <gtest/gtest.h>

#include <random>

#include "storage/compress/compress.h"
#include "storage/compress/test_data.h"

namespace kivo {
namespace {

using testdata::Bytes;

Bytes Damage(const Bytes& packed, std::mt19937& rng) {
  Bytes d = packed;
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  switch (rng() % 6) {
    case 0:  // a few flipped bits
    case 1:
      for (int i = 1 + static_cast<int>(rng() % 3); i > 0; --i)
        d[pick(d.size())] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      break;
    case 2:  // cut short
      d.resize(pick(d.size()));
      break;
    case 3: {  // a run overwritten
      const std::size_t at = pick(d.size());
      for (std::size_t i = at; i < d.size() && i < at + 1 + pick(8); ++i)
        d[i] = static_cast<std::uint8_t>(rng());
      break;
    }
    case 4:  // one byte inserted
      d.insert(d.begin() + static_cast<std::ptrdiff_t>(pick(d.size() + 1)),
               static_cast<std::uint8_t>(rng()));
      break;
    default:  // one byte dropped and a bit flipped
      d.erase(d.begin() + static_cast<std::ptrdiff_t>(pick(d.size())));
      if (!d.empty()) d[pick(d.size())] ^= 0x10;
      break;
  }
  return d;
}

TEST(CompressDamage, FlipsAndCutsFailCleanlyAtEveryLevel) {
  constexpr int kCasesPerLevel = 1200;
  const Bytes inputs[] = {testdata::TextBytes(3000, 41), testdata::RandomBytes(700, 42),
                          testdata::TextBytes(40, 43), Bytes(2000, 'x')};
  std::mt19937 rng(20261209);
  for (TCompressionLevel level : {clFastest, clDefault, clMax}) {
    Bytes packed[std::size(inputs)];
    for (std::size_t i = 0; i < std::size(inputs); ++i) {
      std::uint32_t size = 0;
      ASSERT_TRUE(krCompressBuffer(inputs[i].data(), static_cast<std::uint32_t>(inputs[i].size()),
                                   packed[i], level, size));
    }
    int rejected = 0;
    for (int c = 0; c < kCasesPerLevel; ++c) {
      const std::size_t which = rng() % std::size(inputs);
      const Bytes damaged = Damage(packed[which], rng);
      // Mostly the true size; sometimes a wrong or hostile one.
      std::uint32_t expected = static_cast<std::uint32_t>(inputs[which].size());
      const unsigned roll = rng() % 8;
      if (roll == 0) expected = 1 + rng() % (2 * expected);
      if (roll == 1) expected = 0xFFFFFFFFu;
      const std::uint8_t dummy = 0;
      Bytes out;
      std::uint32_t size = expected;
      const bool ok =
          krDecompressBuffer(damaged.empty() ? &dummy : damaged.data(),
                             static_cast<std::uint32_t>(damaged.size()), out, level, size);
      if (!ok) {
        ++rejected;
        continue;
      }
      ASSERT_EQ(size, out.size()) << "level " << int(level) << " case " << c;
      if (level != clFastest) {
        ASSERT_LE(size, expected) << "level " << int(level) << " case " << c;
      }
    }
    // zlib's check value catches nearly everything; the PPMd levels notice
    // most damage by running out of input or past the expected size.
    EXPECT_GT(rejected, kCasesPerLevel * (level == clFastest ? 90 : 85) / 100)
        << "level " << int(level);
  }
}

}  // namespace
}  // namespace kivo
