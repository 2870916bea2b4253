// Byte streams: the stream interface that BLOB values, field values and
// files are read and written through, and a growable in-memory stream.
#pragma once

#include <cstdint>
#include <vector>

namespace kivo {

class TStream {
 public:
  static constexpr int kFromBeginning = 0;
  static constexpr int kFromCurrent = 1;
  static constexpr int kFromEnd = 2;

  virtual ~TStream() = default;
  // Returns the number of bytes read or written.
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  // Returns the new position; a target before 0 leaves it unchanged and returns -1.
  virtual std::int64_t Seek(std::int64_t offset, int origin) = 0;
  virtual std::int64_t Size() = 0;
  std::int64_t Position() { return Seek(0, kFromCurrent); }
};

// A growable byte buffer with a position.
class TMemoryStream : public TStream {
 public:
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  // Cuts or extends (with zeros) the content; the position stays within it.
  void SetSize(std::int64_t size);
  // Empties the stream, keeping its capacity.
  void Clear();
  const std::vector<std::uint8_t>& Bytes() const { return data_; }

 private:
  std::vector<std::uint8_t> data_;
  std::size_t position_ = 0;
};

}  // namespace kivo
