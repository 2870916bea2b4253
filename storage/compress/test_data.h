// Deterministic inputs for the compression tests: text-like bytes and
// random bytes from a fixed-seed generator (the same on every platform).
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace kivo::testdata {

using Bytes = std::vector<std::uint8_t>;

// Words from a small vocabulary with some numbers, so the models have
// something to learn.
inline Bytes TextBytes(std::size_t size, std::uint32_t seed = 1) {
  static const char* const kWords[] = {"table", "record", "index", "value",  "the", "of",  "and",
                                       "field", "page",   "block", "stored", "key", "row", "\n"};
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* w = kWords[rng() % std::size(kWords)];
    out.insert(out.end(), w, w + std::strlen(w));
    if (rng() % 7 == 0) {
      const std::string n = std::to_string(rng() % 100000);
      out.insert(out.end(), n.begin(), n.end());
    }
    out.push_back(' ');
  }
  out.resize(size);
  return out;
}

inline Bytes RandomBytes(std::size_t size, std::uint32_t seed = 2) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

}  // namespace kivo::testdata
