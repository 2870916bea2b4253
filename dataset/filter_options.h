// Filter options of a data set: a bit set that says how filter texts and
// record searches compare strings. The table engine's filter parser reads
// the same set.
#pragma once

#include <cstdint>

namespace kivo {

// Compare strings ignoring case; compare them whole rather than by the
// length of the value searched for.
using TFilterOptions = std::uint8_t;
constexpr TFilterOptions foCaseInsensitive = 1;
constexpr TFilterOptions foNoPartialCompare = 2;

// Options of Locate: ignore case; let a value match the start of a field.
using TLocateOptions = std::uint8_t;
constexpr TLocateOptions loCaseInsensitive = 1;
constexpr TLocateOptions loPartialKey = 2;

}  // namespace kivo
