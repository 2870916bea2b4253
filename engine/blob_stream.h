// TKivoBlobStream, the stream applications open on a BLOB field of a data
// set's current record (the data set keeps one memory stream per BLOB field).
#pragma once

#include <cstdint>

#include "platform/streams.h"

namespace kivo {

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
