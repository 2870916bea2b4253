// RIPEMD-256 (Crypto++), CRC-32 (zlib), Base64, CRC-16/ARC and XOR-32.
#include "storage/crypto/hash.h"

#include <cryptopp/ripemd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include "platform/little_endian.h"

namespace kivo {

std::array<std::uint8_t, THash_RipeMD256::kDigestSize> THash_RipeMD256::Digest(const void* buffer,
                                                                               std::size_t size) {
  std::array<std::uint8_t, kDigestSize> digest{};
  CryptoPP::RIPEMD256 hash;
  static_assert(CryptoPP::RIPEMD256::DIGESTSIZE == kDigestSize);
  hash.CalculateDigest(digest.data(), static_cast<const CryptoPP::byte*>(buffer), size);
  return digest;
}

std::uint32_t THash_CRC32::Value(const void* buffer, std::size_t size) {
  const auto* p = static_cast<const Bytef*>(buffer);
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes 32-bit lengths; feed longer buffers in pieces.
  constexpr std::size_t kPiece = 1u << 30;
  while (size > 0) {
    const std::size_t n = std::min(size, kPiece);
    crc = crc32(crc, p, static_cast<uInt>(n));
    p += n;
    size -= n;
  }
  return static_cast<std::uint32_t>(crc);
}

std::array<std::uint8_t, THash_CRC32::kDigestSize> THash_CRC32::Digest(const void* buffer,
                                                                       std::size_t size) {
  std::array<std::uint8_t, kDigestSize> digest;
  StoreLE<std::uint32_t>(digest.data(), Value(buffer, size));
  return digest;
}

std::string THash_CRC32::CalcBuffer(const void* buffer, std::size_t size) {
  const auto digest = Digest(buffer, size);
  return TStringFormat_MIME64::Encode(digest.data(), digest.size());
}

std::string TStringFormat_MIME64::Encode(const void* buffer, std::size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::string text;
  text.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    text += kAlphabet[v >> 18];
    text += kAlphabet[(v >> 12) & 63];
    text += kAlphabet[(v >> 6) & 63];
    text += kAlphabet[v & 63];
  }
  if (const std::size_t rest = size - i; rest > 0) {
    const std::uint32_t v = (p[i] << 16) | (rest == 2 ? p[i + 1] << 8 : 0);
    text += kAlphabet[v >> 18];
    text += kAlphabet[(v >> 12) & 63];
    text += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16ArcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned n = 0; n < 256; ++n) {
    unsigned c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
    table[n] = static_cast<std::uint16_t>(c);
  }
  return table;
}

constexpr auto kCrc16ArcTable = MakeCrc16ArcTable();

}  // namespace

std::uint16_t CRC16ARC(std::uint16_t initial, const void* buffer, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::uint16_t crc = initial;
  for (std::size_t i = 0; i < size; ++i)
    crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrc16ArcTable[(crc ^ p[i]) & 0xFF]);
  return crc;
}

std::uint32_t XOR32Checksum(const void* buffer, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 4 <= size; i += 4) {
    sum ^= LoadLE<std::uint32_t>(p + i);
  }
  return sum;
}

}  // namespace kivo
