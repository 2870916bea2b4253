// Test helpers for table files: little-endian numbers and length-prefixed
// names written into and read from byte images, for building table files by
// hand, and a data set's settings as a table manager sees them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/data_manager.h"

namespace kivo::testing {

using Bytes = std::vector<std::uint8_t>;

inline void PutI32(Bytes& b, std::size_t at, std::int32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);  // a write past the end grows the bytes
  for (int i = 0; i < 4; ++i)
    b[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i));
}
inline std::int32_t GetI32(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
  return static_cast<std::int32_t>(v);
}
inline void PutF64(Bytes& b, std::size_t at, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  for (int i = 0; i < 8; ++i)
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
}
inline double GetF64(const Bytes& b, std::size_t at) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | b[at + static_cast<std::size_t>(i)];
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}
inline void PutStr(Bytes& b, std::size_t at, const std::string& s) {
  b[at] = static_cast<std::uint8_t>(s.size());
  std::memcpy(b.data() + at + 1, s.data(), s.size());
}

// Stands in for a table cursor: the settings a data set hands over.
struct TestClient : TDataManagerClient {
  bool in_memory = false;
  bool read_only = false;
  bool encrypted = false;
  std::string password;
  bool ClientInMemory() const override { return in_memory; }
  bool ClientReadOnly() const override { return read_only; }
  void SetClientReadOnly(bool value) override { read_only = value; }
  bool ClientEncrypted() const override { return encrypted; }
  std::string ClientPassword() const override { return password; }
  std::int32_t ClientRecordsPerPageHint() const override { return 1000; }
  bool ClientCacheEnabled() const override { return true; }
  std::uint8_t ClientBLOBCompression() const override { return 0; }
  std::int32_t ClientBLOBBlockSize() const override { return 512; }
};

}  // namespace kivo::testing
