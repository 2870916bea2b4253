// Hashes and checksums: RIPEMD-256 (key derivation), CRC-32 with its Base64
// text form (record check strings), CRC-16/ARC and the XOR-32 word checksum
// (page checksums).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo {

// RIPEMD-256: the hash behind every key derivation.
class THash_RipeMD256 {
 public:
  static constexpr std::size_t kDigestSize = 32;
  static std::array<std::uint8_t, kDigestSize> Digest(const void* buffer, std::size_t size);
};

// The standard CRC-32 (reflected polynomial 0xEDB88320, initial 0xFFFFFFFF,
// final complement).
class THash_CRC32 {
 public:
  static constexpr std::size_t kDigestSize = 4;
  // The 32-bit CRC value.
  static std::uint32_t Value(const void* buffer, std::size_t size);
  // The digest bytes: the value in little-endian order.
  static std::array<std::uint8_t, kDigestSize> Digest(const void* buffer, std::size_t size);
  // The digest's text form: Base64 of the 4 digest bytes, always 8
  // characters ending in "==".
  static std::string CalcBuffer(const void* buffer, std::size_t size);
};

// Standard Base64 (A-Z a-z 0-9 + /, "=" padding, no line breaks).
class TStringFormat_MIME64 {
 public:
  static std::string Encode(const void* buffer, std::size_t size);
};

// CRC-16/ARC: reflected polynomial 0xA001, no final XOR; continues from
// `initial` (the engine starts from 0).
std::uint16_t CRC16ARC(std::uint16_t initial, const void* buffer, std::size_t size);

// XOR of the buffer read as little-endian 32-bit words, from 0; a trailing
// remainder of 1-3 bytes is ignored.
std::uint32_t XOR32Checksum(const void* buffer, std::size_t size);

}  // namespace kivo
