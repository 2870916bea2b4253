// The buffer functions: level 1 through zlib, levels 2 and 3 through the
// framed PPMd coder (ppmd.h).
#include "storage/compress/compress.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

#include "storage/compress/ppmd.h"

namespace kivo {
namespace {

constexpr std::size_t kGrain = 256;

// Deflate codes at most 258 bytes with two bits (a one-bit length code and a
// one-bit distance code), so 1032:1 is the format's ceiling. It bounds the
// first allocation of inflate against a hostile expected size.
constexpr std::uint64_t kInflateRatioCeiling = 1032;

std::size_t RoundUp(std::size_t n, std::size_t grain) { return (n + grain - 1) / grain * grain; }

// zlib counts in 32-bit units; hand it at most that much at a time.
uInt Chunk(std::size_t n) { return static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX)); }

void CheckDeflate(int rc) {
  if (rc < 0) throw ECompressionError("error");
}
void CheckInflate(int rc) {
  if (rc < 0) throw EDecompressionError("error");
}

// Frees the zlib stream on every way out.
struct DeflateStream {
  z_stream s{};
  bool open = false;
  ~DeflateStream() {
    if (open) deflateEnd(&s);
  }
};
struct InflateStream {
  z_stream s{};
  bool open = false;
  ~InflateStream() {
    if (open) inflateEnd(&s);
  }
};

bool ZlibCompress(const std::uint8_t* in, std::uint32_t inSize, std::vector<std::uint8_t>& out,
                  std::uint32_t& outSize) {
  std::size_t cap = (std::size_t{inSize} / 10 + inSize + 267) / kGrain * kGrain;
  out.resize(cap);
  DeflateStream z;
  CheckDeflate(deflateInit2(&z.s, 1, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY));
  z.open = true;
  std::size_t inPos = 0, outPos = 0;
  for (;;) {
    if (outPos == out.size()) out.resize(out.size() + kGrain);
    z.s.next_in = const_cast<Bytef*>(in + inPos);
    z.s.avail_in = Chunk(inSize - inPos);
    z.s.next_out = out.data() + outPos;
    z.s.avail_out = Chunk(out.size() - outPos);
    const uInt availIn = z.s.avail_in, availOut = z.s.avail_out;
    const bool lastIn = inPos + availIn == inSize;
    const int rc = deflate(&z.s, lastIn ? Z_FINISH : Z_NO_FLUSH);
    CheckDeflate(rc);
    inPos += availIn - z.s.avail_in;
    outPos += availOut - z.s.avail_out;
    if (rc == Z_STREAM_END) break;
  }
  if (outPos == 0 || outPos > UINT32_MAX) return false;
  out.resize(outPos);
  out.shrink_to_fit();
  outSize = static_cast<std::uint32_t>(outPos);
  return true;
}

bool ZlibDecompress(const std::uint8_t* in, std::uint32_t inSize, std::vector<std::uint8_t>& out,
                    std::uint32_t& outSize) {
  const std::size_t grow = std::max(RoundUp(inSize, kGrain), kGrain);
  const std::uint64_t ceiling = std::uint64_t{inSize} * kInflateRatioCeiling + kGrain;
  out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(outSize, ceiling)));
  InflateStream z;
  CheckInflate(inflateInit2(&z.s, 15));
  z.open = true;
  std::size_t inPos = 0, outPos = 0;
  for (;;) {
    if (outPos == out.size()) out.resize(out.size() + grow);
    z.s.next_in = const_cast<Bytef*>(in + inPos);
    z.s.avail_in = Chunk(inSize - inPos);
    z.s.next_out = out.data() + outPos;
    z.s.avail_out = Chunk(out.size() - outPos);
    const uInt availIn = z.s.avail_in, availOut = z.s.avail_out;
    const int rc = inflate(&z.s, Z_NO_FLUSH);
    CheckInflate(rc);
    // A preset dictionary is never used here; asking for one is damage.
    if (rc == Z_NEED_DICT) throw EDecompressionError("error");
    inPos += availIn - z.s.avail_in;
    outPos += availOut - z.s.avail_out;
    if (rc == Z_STREAM_END) break;
    // All input used and room left over: the stream is cut short. Without
    // this check the loop would wait for input that never comes.
    if (inPos == inSize && z.s.avail_out != 0) throw EDecompressionError("error");
  }
  if (outPos == 0 || outPos > UINT32_MAX) return false;
  out.resize(outPos);
  out.shrink_to_fit();
  outSize = static_cast<std::uint32_t>(outPos);
  return true;
}

}  // namespace

bool krCompressBuffer(const void* inBuf, std::uint32_t inSize, std::vector<std::uint8_t>& outBuf,
                      TCompressionLevel level, std::uint32_t& outSize) {
  if (inBuf == nullptr) throw Exception("krCompressBuffer - inBuf = nil");
  const auto* in = static_cast<const std::uint8_t*>(inBuf);
  try {
    switch (level) {
      case clFastest:
        return ZlibCompress(in, inSize, outBuf, outSize);
      case clDefault:
      case clMax:
        return ppmd::CompressFramed(in, inSize, outBuf,
                                    level == clMax ? ppmd::kMax : ppmd::kDefault, outSize);
      default:
        return false;
    }
  } catch (...) {
    return false;
  }
}

bool krDecompressBuffer(const void* inBuf, std::uint32_t inSize, std::vector<std::uint8_t>& outBuf,
                        TCompressionLevel level, std::uint32_t& outSize) {
  if (inBuf == nullptr || outSize == 0) return false;
  const auto* in = static_cast<const std::uint8_t*>(inBuf);
  try {
    switch (level) {
      case clFastest:
        return ZlibDecompress(in, inSize, outBuf, outSize);
      case clDefault:
      case clMax:
        return ppmd::DecompressFramed(in, inSize, outBuf,
                                      level == clMax ? ppmd::kMax : ppmd::kDefault, outSize);
      default:
        return false;
    }
  } catch (...) {
    return false;
  }
}

}  // namespace kivo
