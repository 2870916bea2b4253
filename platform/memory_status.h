// Memory status: how much physical memory is free for new allocations.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kivo {

// Bytes of physical memory available to new allocations: MemAvailable of
// /proc/meminfo, else the free pages the system reports.
std::uint64_t AvailablePhysicalMemory();
// Bytes of physical memory in the machine.
std::uint64_t TotalPhysicalMemory();

// The MemAvailable figure of a /proc/meminfo text, in bytes; nothing when
// the line is missing or malformed.
std::optional<std::uint64_t> ParseMemAvailable(std::string_view meminfo);

}  // namespace kivo
