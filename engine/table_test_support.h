// Test helpers for table files: little-endian numbers and length-prefixed
// names written into and read from byte images, for building table files by
// hand, and a data set's settings as a table manager sees them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/data_manager.h"
#include "platform/little_endian.h"

namespace kivo::testing {

using Bytes = std::vector<std::uint8_t>;

inline void PutI32(Bytes& b, std::size_t at, std::int32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);  // a write past the end grows the bytes
  StoreLE<std::int32_t>(b.data() + at, v);
}
inline std::int32_t GetI32(const Bytes& b, std::size_t at) {
  return TByteReader(b, at).Read<std::int32_t>();
}
inline void PutF64(Bytes& b, std::size_t at, double v) { StoreLE<double>(b.data() + at, v); }
inline double GetF64(const Bytes& b, std::size_t at) { return TByteReader(b, at).Read<double>(); }
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
