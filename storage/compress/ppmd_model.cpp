#include "storage/compress/ppmd.h"

namespace kivo::ppmd {

bool EncodeBlock(const std::uint8_t*, std::uint32_t, int, int, std::vector<std::uint8_t>&) {
  return false;
}

std::int64_t DecodeBlock(const std::uint8_t*, std::uint32_t, std::vector<std::uint8_t>&,
                         std::size_t) {
  return -1;
}

}  // namespace kivo::ppmd
