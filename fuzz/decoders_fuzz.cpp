// Fuzz target: the BLOB decompressors. The first byte picks the level (zlib,
// PPMd order 5 or order 16) and whether the rest is also compressed and
// read back; the next four give the expected size (little-endian), as the
// BLOB index records it beside the stored bytes; the rest is the stored
// bytes.
//
// A decoder must answer true or false for any bytes, never raise, crash,
// or produce more than the PPMd levels are asked for. Whatever compresses
// must decompress to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "storage/compress/compress.h"

namespace {

using kivo::TCompressionLevel;

TCompressionLevel LevelOf(std::uint8_t selector) {
  return static_cast<TCompressionLevel>(1 + (selector & 0x03) % 3);
}

// Empty values are stored without compression, so they are not tried.
void RoundTrip(const std::uint8_t* data, std::uint32_t size, TCompressionLevel level) {
  if (size == 0) return;
  std::vector<std::uint8_t> packed;
  std::uint32_t packedSize = 0;
  if (!kivo::krCompressBuffer(data, size, packed, level, packedSize)) {
    kivo::fuzz::Fail("compression failed on " + std::to_string(size) + " bytes");
  }
  std::vector<std::uint8_t> unpacked;
  std::uint32_t unpackedSize = size;
  if (!kivo::krDecompressBuffer(packed.data(), packedSize, unpacked, level, unpackedSize) ||
      unpackedSize != size || unpacked.size() != size ||
      (std::memcmp(unpacked.data(), data, size) != 0))
    kivo::fuzz::Fail("compressed bytes did not read back at level " + std::to_string(level));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  const std::uint8_t selector = data[0];
  const TCompressionLevel level = LevelOf(selector);
  std::uint32_t expected = 0;
  for (int b = 4; b >= 1; --b) expected = (expected << 8) | data[b];
  const std::uint8_t* stored = data + 5;
  const auto storedSize = static_cast<std::uint32_t>(size - 5);

  std::vector<std::uint8_t> out;
  std::uint32_t outSize = expected;
  bool ok = false;
  try {
    ok = kivo::krDecompressBuffer(stored, storedSize, out, level, outSize);
  } catch (...) {
    kivo::fuzz::Fail("the decompressor raised");
  }
  if (ok) {
    if (outSize != out.size()) kivo::fuzz::Fail("the reported size differs from the output");
    if (level != kivo::clFastest && outSize > expected)
      kivo::fuzz::Fail("PPMd produced more than the expected size");
  }
  // The PPMd models are tens of megabytes each: their round trip runs for
  // one input in eight, the zlib one for every input.
  if ((selector & 0x04) != 0 && (level == kivo::clFastest || (selector & 0x38) == 0))
    RoundTrip(stored, storedSize, level);
  return 0;
}
