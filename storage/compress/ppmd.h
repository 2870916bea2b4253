// PPMd variant G: a context-mixing byte model (order-N context tree with
// secondary escape estimation, its own sub-allocator that restarts the
// model when memory runs out) driving a carry-less range coder.
//
// Each call owns its whole state (model, memory arena, coder), so calls are
// independent and may run concurrently.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo::ppmd {

// Parameters of one framed level.
struct Params {
  std::uint32_t blockSize;  // input bytes per block
  int order;                // model order, 2..16
  int memoryMB;             // model memory in MB, 1..256
};
inline constexpr Params kDefault{819200, 5, 20};
inline constexpr Params kMax{1638400, 16, 50};

// The info word that starts every coded block: bits 0-3 order-1, bits 4-11
// memory MB-1, bits 12-15 variant letter-'A'.
constexpr std::uint32_t InfoWord(int order, int memoryMB) {
  return static_cast<std::uint32_t>((order - 1) | ((memoryMB - 1) << 4) | (('G' - 'A') << 12));
}

// Codes `size` bytes as one block: appends the info word and the coded
// bytes to `out`. False when the model memory cannot be had.
bool EncodeBlock(const std::uint8_t* in, std::uint32_t size, int order, int memoryMB,
                 std::vector<std::uint8_t>& out);

// Decodes one block of `size` bytes (info word included) and appends its
// bytes to `out`, which never grows past `limit` bytes. Returns the number
// of bytes appended, 0 when the info word names another variant letter or
// the model memory cannot be had, and -1 when the block is damaged: it is
// cut short or has bytes left after the end mark, its info word is
// malformed (order below 2, high bits set), or it would make `out` longer
// than `limit`.
std::int64_t DecodeBlock(const std::uint8_t* in, std::uint32_t size, std::vector<std::uint8_t>& out,
                         std::size_t limit);

// The framed format: per block a 4-byte little-endian signed length, then
// the coded block.
bool CompressFramed(const std::uint8_t* in, std::uint32_t inSize, std::vector<std::uint8_t>& out,
                    const Params& params, std::uint32_t& outSize);
bool DecompressFramed(const std::uint8_t* in, std::uint32_t inSize, std::vector<std::uint8_t>& out,
                      const Params& params, std::uint32_t& outSize);

}  // namespace kivo::ppmd
