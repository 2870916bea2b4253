#include "engine/blob_stream.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"

namespace kivo {

// ---------------------------------------------------------------------------

TKivoBlobStream::TKivoBlobStream(TBlobStreamDataset& dataset, int field, int mode)
    : dataset_(dataset), field_(field), mode_(mode) {
  if (mode != kModeRead && dataset.BlobDatasetReadOnly())
    throw Exception("Error in TKivoBlobStream.Create - Dataset is read only!");
  stream_ = dataset.BlobFieldStream(field, mode == kModeWrite);
  if (stream_ && mode == kModeWrite) {
    stream_->SetSize(stream_->Position());
    modified_ = true;
  }
}

TKivoBlobStream::~TKivoBlobStream() {
  if (!stream_) return;
  try {
    if (modified_) dataset_.BlobFieldChanged(field_);
    dataset_.BlobStreamClosed(field_);
  } catch (...) {
    // A destructor cannot report; the data set keeps the stream's content.
  }
}

std::int32_t TKivoBlobStream::Read(void* buffer, std::int32_t count) {
  return stream_ ? stream_->Read(buffer, count) : 0;
}

std::int32_t TKivoBlobStream::Write(const void* buffer, std::int32_t count) {
  if (mode_ == kModeRead)
    throw Exception("Error in TKivoBlobStream.Write - blob stream is read only!");
  if (!stream_) return 0;
  modified_ = true;
  return stream_->Write(buffer, count);
}

std::int64_t TKivoBlobStream::Seek(std::int64_t offset, int origin) {
  return stream_ ? stream_->Seek(offset, origin) : 0;
}

}  // namespace kivo
