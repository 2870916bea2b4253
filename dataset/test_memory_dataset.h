// A small in-memory data set for the framework's tests: rows of field slots
// in the table engine's stored forms with a null bitmap, identified by a
// 32-bit record identifier that is also the bookmark. It implements the
// cursor protocol the way a real cursor does, so the tests drive the
// framework through its public operations only.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "platform/little_endian.h"

namespace kivo::testing {

class TMemoryDataSet : public TDataSet {
 public:
  explicit TMemoryDataSet(const TFieldDefs& defs) : defs_(defs) {}
  ~TMemoryDataSet() override { Close(); }

  // Protocol calls in order ("GetRecord", "InternalPost", ...).
  std::vector<std::string> calls;
  bool read_only = false;
  bool fail_post = false;
  bool fail_open = false;

  int RowCount() const { return static_cast<int>(rows_.size()); }
  std::int32_t RowId(int index) const { return rows_.at(static_cast<std::size_t>(index)).id; }

 protected:
  std::int32_t RecordBufferSize() const override { return record_size_ + 8 + CalcFieldsSize(); }
  bool IsCursorOpen() const override { return open_; }

  void InternalInitFieldDefs() override {
    FieldDefs() = defs_;
    offsets_.clear();
    std::int32_t offset = 0;
    for (const TFieldDef& def : defs_) {
      offsets_.push_back(offset);
      offset += TField(def.Name(), def.DataType(), def.Size()).DataSize();
    }
    null_offset_ = offset;
    record_size_ = offset + (defs_.Count() + 7) / 8;
  }

  void InternalOpen() override {
    calls.push_back("InternalOpen");
    if (fail_open) throw EDatabaseError("cannot open");
    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    SetBookmarkSize(4);
    position_ = -1;
    open_ = true;
  }

  void InternalClose() override {
    calls.push_back("InternalClose");
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    open_ = false;
  }

  TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool doCheck) override {
    calls.push_back("GetRecord");
    const int count = RowCount();
    for (;;) {
      if (mode == gmNext) {
        if (position_ >= count - 1) {
          position_ = count;
          return grEOF;
        }
        ++position_;
      } else if (mode == gmPrior) {
        if (position_ <= 0) {
          position_ = -1;
          return grBOF;
        }
        --position_;
      } else if (position_ < 0 || position_ >= count) {
        if (doCheck) throw EDatabaseError("no current record");
        return grError;
      }
      const Row& row = rows_[static_cast<std::size_t>(position_)];
      std::memcpy(buffer, row.image.data(), row.image.size());
      StoreLE<std::int32_t>(buffer + record_size_, row.id);
      buffer[record_size_ + 4] = bfCurrent;
      if (Accepted(buffer)) return grOK;
      if (mode == gmCurrent) return grError;
    }
  }

  void InternalFirst() override { position_ = -1; }
  void InternalLast() override { position_ = RowCount(); }

  void InternalInitRecord(std::uint8_t* buffer) override {
    std::fill(buffer, buffer + record_size_, 0);
    std::fill(buffer + null_offset_, buffer + record_size_, 0xFF);
    StoreLE<std::int32_t>(buffer + record_size_, next_id_);
  }

  void ClearCalcFields(std::uint8_t* buffer) override {
    std::fill(buffer + record_size_ + 8, buffer + RecordBufferSize(), 0);
  }

  std::int32_t GetRecordCount() override { return RowCount(); }
  std::int32_t GetRecNo() override {
    const std::uint8_t* buffer = GetActiveRecordBuffer();
    if (!buffer) return 0;
    return IndexOf(LoadLE<std::int32_t>(buffer + record_size_)) + 1;
  }

 public:
  void SetRecNo(int value) override {
    if (!Active() || value < 1 || value > RowCount()) return;
    CheckBrowseMode();
    DoBeforeScroll();
    position_ = value - 1;
    Resync();
    DoAfterScroll();
  }

  bool BookmarkValid(const std::uint8_t* bookmark) override {
    return bookmark && IndexOf(LoadLE<std::int32_t>(bookmark)) >= 0;
  }

  int CompareBookmarks(const std::uint8_t* a, const std::uint8_t* b) override {
    if (!a || !b) return a ? 1 : (b ? -1 : 0);
    const int x = IndexOf(LoadLE<std::int32_t>(a));
    const int y = IndexOf(LoadLE<std::int32_t>(b));
    return x < y ? -1 : (x > y ? 1 : 0);
  }

  bool GetFieldData(TField* field, void* buffer) override {
    const std::uint8_t* record = GetActiveRecordBuffer();
    if (!record) return false;
    if (field->Calculated()) {
      const std::uint8_t* slot = record + record_size_ + 8 + field->Offset();
      if (slot[0] == 0) return false;
      if (buffer) std::memcpy(buffer, slot + 1, static_cast<std::size_t>(field->DataSize()));
      return true;
    }
    const int index = field->FieldNo() - 1;
    if (record[null_offset_ + index / 8] & (1 << (index % 8))) return false;
    if (buffer)
      std::memcpy(buffer, record + offsets_[static_cast<std::size_t>(index)],
                  static_cast<std::size_t>(field->DataSize()));
    return true;
  }

  void SetFieldData(TField* field, const void* buffer) override {
    CheckWritableState();
    std::uint8_t* record = GetActiveRecordBuffer();
    if (!record) throw EDatabaseError("no record buffer");
    const auto size = static_cast<std::size_t>(field->DataSize());
    if (field->Calculated()) {
      std::uint8_t* slot = record + record_size_ + 8 + field->Offset();
      slot[0] = buffer ? 1 : 0;
      if (buffer) std::memcpy(slot + 1, buffer, size);
    } else {
      field->Validate(buffer);
      const int index = field->FieldNo() - 1;
      const bool null = !buffer || (field->DataType() == ftString &&
                                    static_cast<const std::uint8_t*>(buffer)[0] == 0);
      SetNull(record, index, null);
      if (!null) std::memcpy(record + offsets_[static_cast<std::size_t>(index)], buffer, size);
    }
    const TDataSetState state = State();
    if (state != dsCalcFields && state != dsFilter && state != dsNewValue)
      DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(field));
  }

  std::unique_ptr<TStream> CreateBlobStream(TField* field, int mode) override;

 protected:
  void InternalInsert() override {
    calls.push_back("InternalInsert");
    pending_blobs_.clear();
  }
  void InternalEdit() override {
    calls.push_back("InternalEdit");
    pending_blobs_.clear();
  }
  void InternalCancel() override {
    calls.push_back("InternalCancel");
    pending_blobs_.clear();
  }

  void InternalPost() override {
    calls.push_back("InternalPost");
    TDataSet::InternalPost();
    if (fail_post) throw EDatabaseError("post failed");
    const std::uint8_t* record = ActiveBuffer();
    const std::int32_t id = LoadLE<std::int32_t>(record + record_size_);
    if (State() == dsInsert) {
      rows_.push_back(Row{id, {}, {}});
      rows_.back().blobs.resize(static_cast<std::size_t>(defs_.Count()));
      ++next_id_;
      position_ = RowCount() - 1;
    } else {
      position_ = IndexOf(id);
    }
    Row& row = rows_.at(static_cast<std::size_t>(position_));
    row.image.assign(record, record + record_size_);
    for (const auto& [index, bytes] : pending_blobs_)
      row.blobs[static_cast<std::size_t>(index)] = bytes;
    pending_blobs_.clear();
  }

  void InternalDelete() override {
    calls.push_back("InternalDelete");
    rows_.erase(rows_.begin() + position_);
  }

  void InternalAddRecord(std::uint8_t* buffer, bool append) override {
    (void)append;
    rows_.push_back(Row{next_id_++, std::vector<std::uint8_t>(buffer, buffer + record_size_), {}});
    rows_.back().blobs.resize(static_cast<std::size_t>(defs_.Count()));
  }

  bool GetCanModify() const override { return !read_only; }

  void GetBookmarkData(const std::uint8_t* buffer, std::uint8_t* data) override {
    std::memcpy(data, buffer + record_size_, 4);
  }
  void SetBookmarkData(std::uint8_t* buffer, const std::uint8_t* data) override {
    std::memcpy(buffer + record_size_, data, 4);
  }
  TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) override {
    return static_cast<TBookmarkFlag>(buffer[record_size_ + 4]);
  }
  void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) override {
    buffer[record_size_ + 4] = flag;
  }
  void InternalGotoBookmark(const std::uint8_t* bookmark) override {
    position_ = IndexOf(LoadLE<std::int32_t>(bookmark));
  }

  std::uint8_t* GetActiveRecordBuffer() override {
    if (State() == dsFilter) return filter_buffer_;
    return TDataSet::GetActiveRecordBuffer();
  }

 private:
  struct Row {
    std::int32_t id;
    std::vector<std::uint8_t> image;
    std::vector<std::string> blobs;
  };

  // Writes the stream's bytes back into the record being edited when it goes.
  class BlobStream : public TMemoryStream {
   public:
    BlobStream(TMemoryDataSet& owner, int index, bool write)
        : owner_(owner), index_(index), write_(write) {}
    ~BlobStream() override {
      if (!write_) return;
      const std::vector<std::uint8_t>& bytes = Bytes();
      owner_.pending_blobs_[index_] = std::string(bytes.begin(), bytes.end());
      if (std::uint8_t* record = owner_.ActiveBuffer())
        owner_.SetNull(record, index_, bytes.empty());
    }

   private:
    TMemoryDataSet& owner_;
    int index_;
    bool write_;
  };

  bool Accepted(std::uint8_t* buffer) {
    if (!Filtered() || !OnFilterRecord) return true;
    bool accept = true;
    filter_buffer_ = buffer;
    const TDataSetState old = SetTempState(dsFilter);
    try {
      OnFilterRecord(*this, accept);
    } catch (...) {
      RestoreState(old);
      throw;
    }
    RestoreState(old);
    return accept;
  }

  void SetNull(std::uint8_t* record, int index, bool null) {
    std::uint8_t& byte = record[null_offset_ + index / 8];
    const auto bit = static_cast<std::uint8_t>(1 << (index % 8));
    byte = null ? (byte | bit) : (byte & ~bit);
  }

  int IndexOf(std::int32_t id) const {
    for (int i = 0; i < RowCount(); ++i)
      if (rows_[static_cast<std::size_t>(i)].id == id) return i;
    return -1;
  }

  TFieldDefs defs_;
  std::vector<std::int32_t> offsets_;
  std::int32_t null_offset_ = 0;
  std::int32_t record_size_ = 0;
  std::vector<Row> rows_;
  std::map<int, std::string> pending_blobs_;
  int position_ = -1;
  std::int32_t next_id_ = 1;
  bool open_ = false;
  std::uint8_t* filter_buffer_ = nullptr;
};

inline std::unique_ptr<TStream> TMemoryDataSet::CreateBlobStream(TField* field, int mode) {
  const int index = field->FieldNo() - 1;
  auto stream = std::make_unique<BlobStream>(*this, index, mode != kBlobRead);
  if (mode != kBlobWrite) {
    std::string bytes;
    if (auto it = pending_blobs_.find(index); it != pending_blobs_.end())
      bytes = it->second;
    else if (State() != dsInsert && position_ >= 0 && position_ < RowCount())
      bytes = rows_[static_cast<std::size_t>(position_)].blobs[static_cast<std::size_t>(index)];
    stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    stream->Seek(0, TStream::kFromBeginning);
  }
  return stream;
}

}  // namespace kivo::testing
