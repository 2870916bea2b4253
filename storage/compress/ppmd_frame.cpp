// The block framing of the PPMd levels: the input is cut into blocks of the
// level's size, each coded with a fresh model and preceded by its coded
// length.
#include <algorithm>
#include <cstdint>

#include "platform/little_endian.h"
#include "storage/compress/ppmd.h"

namespace kivo::ppmd {

bool CompressFramed(const std::uint8_t* in, std::uint32_t inSize, std::vector<std::uint8_t>& out,
                    const Params& params, std::uint32_t& outSize) {
  out.clear();
  // The usual size; the vector grows should an input expand more than this.
  out.reserve(std::size_t{inSize} / 20 + inSize + 50);
  for (std::uint32_t pos = 0; pos < inSize;) {
    const std::uint32_t n = std::min(params.blockSize, inSize - pos);
    const std::size_t at = out.size();
    out.resize(at + 4);
    if (!EncodeBlock(in + pos, n, params.order, params.memoryMB, out)) return false;
    const std::size_t coded = out.size() - at - 4;
    if (coded > INT32_MAX) return false;
    StoreLE<std::int32_t>(out.data() + at, static_cast<std::int32_t>(coded));
    pos += n;
  }
  if (out.empty() || out.size() > UINT32_MAX) return false;
  outSize = static_cast<std::uint32_t>(out.size());
  return true;
}

bool DecompressFramed(const std::uint8_t* in, std::uint32_t inSize, std::vector<std::uint8_t>& out,
                      const Params& params, std::uint32_t& outSize) {
  (void)params;  // the info word of each block carries the order and memory
  const std::size_t expected = outSize;
  out.clear();
  for (std::size_t pos = 0; pos < inSize;) {
    if (inSize - pos < 4) return false;
    const std::int32_t length = LoadLE<std::int32_t>(in + pos);
    pos += 4;
    if (length < 0 || static_cast<std::size_t>(length) > inSize - pos) return false;
    if (DecodeBlock(in + pos, static_cast<std::uint32_t>(length), out, expected) < 0) return false;
    pos += static_cast<std::size_t>(length);
  }
  if (out.empty()) return false;
  outSize = static_cast<std::uint32_t>(out.size());
  return true;
}

}  // namespace kivo::ppmd
