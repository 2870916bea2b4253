// Streams of BLOB values: the byte stream interface the table manager reads
// and writes values through, the memory stream a data set keeps per BLOB
// field of its current record, and TKivoBlobStream, the stream applications
// open on a BLOB field.
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

// What TKivoBlobStream needs from the data set that owns the field's stream.
class TBlobStreamDataset {
 public:
  virtual ~TBlobStreamDataset() = default;
  virtual bool BlobDatasetReadOnly() const = 0;
  // The memory stream of BLOB field `field` of the current record, or
  // nullptr without a current record buffer. The data set loads it from the
  // table unless `writing` or the record is being edited or inserted.
  virtual TMemoryStream* BlobFieldStream(int field, bool writing) = 0;
  // Sets the field's Modified flag and sends the field-change notification.
  virtual void BlobFieldChanged(int field) = 0;
  virtual void BlobStreamClosed(int field) = 0;
};

// A stream over one BLOB field of a data set's current record. Mode 0 reads,
// 1 writes (truncating), 2 reads and writes. The value reaches the table
// when the record is posted.
class TKivoBlobStream : public TStream {
 public:
  static constexpr int kModeRead = 0;
  static constexpr int kModeWrite = 1;
  static constexpr int kModeReadWrite = 2;

  // Raises "Error in TKivoBlobStream.Create - Dataset is read only!" for a
  // writing mode on a read-only data set.
  TKivoBlobStream(TBlobStreamDataset& dataset, int field, int mode);
  // Publishes a change (Modified flag and notification) and tells the data
  // set that the stream was closed.
  ~TKivoBlobStream() override;
  TKivoBlobStream(const TKivoBlobStream&) = delete;
  TKivoBlobStream& operator=(const TKivoBlobStream&) = delete;

  std::int32_t Read(void* buffer, std::int32_t count) override;
  // Raises "Error in TKivoBlobStream.Write - blob stream is read only!" in mode 0.
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  std::int64_t Seek(std::int64_t offset, int origin) override;
  std::int64_t Size() override { return stream_ ? stream_->Size() : 0; }
  bool Attached() const { return stream_ != nullptr; }
  bool Modified() const { return modified_; }

 private:
  TBlobStreamDataset& dataset_;
  int field_;
  int mode_;
  TMemoryStream* stream_ = nullptr;
  bool modified_ = false;
};

}  // namespace kivo
