// The rows the table benchmarks write and read on both sides: (INTEGER a,
// INTEGER b, STRING(20) s, FLOAT f), a = the row number, b a scrambled
// unique number, and what both halves add up for every row they read.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bench/bench_support.h"

namespace kivo::bench {

constexpr int kRowStringLength = 20;

// 1 000 000 rows at the default work size of 64 MiB (KARTOVA_BENCH_MIB scales it).
inline std::int32_t RowCount() { return ScaledRows(64, 1000000); }

struct Row {
  std::int32_t a;
  std::int32_t b;
  char s[kRowStringLength + 1];
  double f;
};

inline Row MakeRow(std::int32_t i) {
  Row r;
  r.a = i;
  r.b = static_cast<std::int32_t>(static_cast<std::uint32_t>(i) * 2654435761u >> 1);
  std::snprintf(r.s, sizeof r.s, "row-%016d", i);
  r.f = i * 0.25 + 0.5;
  return r;
}

// What both halves add up for every row they read: `last` is the last
// character of s.
inline std::uint64_t RowSum(std::int64_t a, std::int64_t b, char last, double f) {
  return static_cast<std::uint64_t>(a) * 3 + static_cast<std::uint64_t>(b) +
         static_cast<std::uint8_t>(last) + static_cast<std::uint64_t>(f * 4);
}

}  // namespace kivo::bench
