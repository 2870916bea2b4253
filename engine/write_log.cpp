#include "engine/write_log.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/memory_status.h"

namespace kivo {

std::int32_t TkrBuffersArray::Add(const void* data, std::int32_t size) {
  if (size < 0) size = 0;
  const auto bytes = static_cast<std::size_t>(size);
  std::uint8_t* copy;
  if (bytes > kMaxPackedBytes) {
    blocks_.emplace_back(new std::uint8_t[bytes]);
    copy = blocks_.back().get();
  } else {
    if (kBlockBytes - block_used_ < bytes || block_ == nullptr) {
      blocks_.emplace_back(new std::uint8_t[kBlockBytes]);
      block_ = blocks_.back().get();
      block_used_ = 0;
    }
    copy = block_ + block_used_;
    block_used_ += bytes;
  }
  if (bytes > 0) std::memcpy(copy, data, bytes);
  buffers_.push_back(copy);
  sizes_.push_back(size);
  total_size_ += static_cast<std::uint64_t>(size);
  return static_cast<std::int32_t>(sizes_.size() - 1);
}

void TkrBuffersArray::Clear() {
  blocks_.clear();
  buffers_.clear();
  sizes_.clear();
  blocks_.shrink_to_fit();
  buffers_.shrink_to_fit();
  sizes_.shrink_to_fit();
  block_ = nullptr;
  block_used_ = kBlockBytes;
  total_size_ = 0;
}

// ---------------------------------------------------------------------------

void TkrNewestRecordMap::Set(std::int32_t recNo, std::int32_t entry) {
  if ((count_ + 1) * 2 > slots_.size()) Grow();
  for (std::size_t i = SlotOf(recNo);; i = (i + 1) & mask_) {
    Slot& s = slots_[i];
    if (s.Entry < 0) {
      s.RecNo = recNo;
      s.Entry = entry;
      ++count_;
      return;
    }
    if (s.RecNo == recNo) {
      s.Entry = entry;
      return;
    }
  }
}

std::int32_t TkrNewestRecordMap::Find(std::int32_t recNo) const {
  if (count_ == 0) return -1;
  for (std::size_t i = SlotOf(recNo);; i = (i + 1) & mask_) {
    const Slot& s = slots_[i];
    if (s.Entry < 0) return -1;
    if (s.RecNo == recNo) return s.Entry;
  }
}

void TkrNewestRecordMap::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
  mask_ = slots_.size() - 1;
  count_ = 0;
  for (const Slot& s : old) {
    if (s.Entry >= 0) Set(s.RecNo, s.Entry);
  }
}

void TkrNewestRecordMap::Clear() {
  slots_.clear();
  slots_.shrink_to_fit();
  mask_ = 0;
  count_ = 0;
}

// ---------------------------------------------------------------------------

TkrBufferLogArray::TkrBufferLogArray(TAbstractFile* datFile, std::int32_t dataOffset,
                                     std::int32_t recordSize, TAbstractFile* bdfFile,
                                     std::int32_t blobBlockSize)
    : max_bytes_(AvailablePhysicalMemory() / 20 + 1),
      dat_file_(datFile),
      bdf_file_(bdfFile),
      blob_block_size_(blobBlockSize),
      data_offset_(dataOffset),
      record_size_(recordSize),
      ticks_(GetTickCount) {}

// Only the oldest entry's time decides when the log is due; later entries
// take the time of the one before them, which can only make a flush come
// sooner, and spares a clock read per record.
std::uint32_t TkrBufferLogArray::EntryTime() const {
  return entries_.empty() ? ticks_() : entries_.back().Time;
}

void TkrBufferLogArray::AddRecord(std::int32_t recNo, const void* image) {
  Entry e;
  e.Time = EntryTime();
  e.RecNo = recNo;
  e.EntryKind = kRecord;
  e.BufferIndex = buffers_.Add(image, record_size_);
  entries_.push_back(std::move(e));
  newest_record_.Set(recNo, static_cast<std::int32_t>(entries_.size() - 1));
}

void TkrBufferLogArray::AddBLOB(std::int32_t recNo, const void* data, std::int32_t size,
                                std::vector<TkrBLOBPart> parts) {
  std::int64_t needed = 0;
  for (const TkrBLOBPart& p : parts) {
    if (p.FirstBlock < 0 || p.BlockCount < 0)
      needed = std::int64_t{size} + 1;
    else
      needed += std::int64_t{p.BlockCount} * blob_block_size_;
  }
  if (needed > size) throw Exception("TkrBufferLogArray.AddBLOB - data too short for its parts");
  Entry e;
  e.Time = EntryTime();
  e.RecNo = recNo;
  e.EntryKind = kBLOB;
  e.BufferIndex = buffers_.Add(data, size);
  e.Parts = std::move(parts);
  entries_.push_back(std::move(e));
}

const std::uint8_t* TkrBufferLogArray::FindRecord(std::int32_t recNo) const {
  const std::int32_t entry = newest_record_.Find(recNo);
  if (entry < 0) return nullptr;
  return buffers_.Buffer(entries_[static_cast<std::size_t>(entry)].BufferIndex);
}

void TkrBufferLogArray::WriteBLOBBytes(std::int64_t target, const std::uint8_t* data,
                                       std::int64_t count) {
  std::int32_t written = 0;
  if (bdf_file_ != nullptr && target + count <= kMaxFilePosition &&
      bdf_file_->Seek(static_cast<std::int32_t>(target), TAbstractFile::kFromBeginning) == target) {
    written = count == 0 ? 0 : bdf_file_->Write(data, static_cast<std::int32_t>(count));
  }
  if (written != count) {
    throw Exception("TkrBufferLogArray.FlushBuffers - error writing data to blob file, xx = " +
                    std::to_string(written) + ", bc = " + std::to_string(count));
  }
}

void TkrBufferLogArray::WriteBLOBEntries() {
  // Every part of every value, oldest first (a value's blocks may reuse an
  // older value's freed ones, so later writes must land later). A part that
  // starts where the previous write ends is joined to it, up to a run of
  // kMaxRunBytes: values appended one after the other go out in a few large
  // writes instead of one each (each write to a container file also
  // rewrites the file's page map).
  std::vector<std::uint8_t> run;
  std::int64_t runStart = 0;
  auto flushRun = [&] {
    if (!run.empty()) WriteBLOBBytes(runStart, run.data(), static_cast<std::int64_t>(run.size()));
    run.clear();
  };
  for (const Entry& e : entries_) {
    if (e.EntryKind != kBLOB) continue;
    const std::uint8_t* data = buffers_.Buffer(e.BufferIndex);
    std::int64_t offset = 0;
    for (const TkrBLOBPart& p : e.Parts) {
      const std::int64_t count = std::int64_t{p.BlockCount} * blob_block_size_;
      const std::int64_t target = std::int64_t{p.FirstBlock} * blob_block_size_;
      const bool joins = !run.empty() &&
                         runStart + static_cast<std::int64_t>(run.size()) == target &&
                         run.size() + static_cast<std::size_t>(count) <= kMaxRunBytes;
      if (!joins) flushRun();
      if (count > 0 && static_cast<std::size_t>(count) <= kMaxRunBytes) {
        if (run.empty()) runStart = target;
        run.insert(run.end(), data + offset, data + offset + count);
      } else {
        WriteBLOBBytes(target, data + offset, count);
      }
      offset += count;
    }
  }
  flushRun();
}

void TkrBufferLogArray::WriteRecordRun(std::int32_t firstRecNo, const std::uint8_t* data,
                                       std::int32_t count) {
  const std::int64_t bytes = std::int64_t{count} * record_size_;
  const std::int64_t target = std::int64_t{data_offset_} + std::int64_t{firstRecNo} * record_size_;
  std::int32_t written = 0;
  if (firstRecNo >= 0 && target + bytes <= kMaxFilePosition) {
    auto pos = static_cast<std::int32_t>(target);
    if (dat_file_->GetPosition() == pos ||
        dat_file_->Seek(pos, TAbstractFile::kFromBeginning) == pos) {
      written = dat_file_->Write(data, static_cast<std::int32_t>(bytes));
    }
  }
  if (written != bytes) {
    throw Exception("TkrBufferLogArray.FlushBuffers - error writing data to data file, xx = " +
                    std::to_string(written) + ", bc = " + std::to_string(bytes));
  }
}

bool TkrBufferLogArray::ReadRecordRun(std::int32_t firstRecNo, std::uint8_t* dest,
                                      std::int32_t count) {
  const std::int64_t bytes = std::int64_t{count} * record_size_;
  const std::int64_t target = std::int64_t{data_offset_} + std::int64_t{firstRecNo} * record_size_;
  if (firstRecNo < 0 || target + bytes > kMaxFilePosition) return false;
  const auto pos = static_cast<std::int32_t>(target);
  return dat_file_->Seek(pos, TAbstractFile::kFromBeginning) == pos &&
         dat_file_->Read(dest, static_cast<std::int32_t>(bytes)) == bytes;
}

void TkrBufferLogArray::WriteRecordEntries(std::int32_t from, std::int32_t to) {
  // Only the newest image of each position reaches the file, and positions
  // go out in ascending order with neighbours joined into one write: the
  // file ends with the same bytes as writing every entry oldest first, in a
  // fraction of the calls (each call on a container file costs a page read
  // and a page write).
  std::vector<std::pair<std::int32_t, std::int32_t>> newest;  // RecNo, entry
  newest.reserve(newest_record_.Count());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    const auto index = static_cast<std::int32_t>(i);
    if (e.EntryKind == kRecord && e.RecNo >= from && e.RecNo < to &&
        newest_record_.Find(e.RecNo) == index) {
      newest.emplace_back(e.RecNo, index);
    }
  }
  // Appends come in order already.
  if (!std::is_sorted(newest.begin(), newest.end())) std::sort(newest.begin(), newest.end());
  const auto recordBytes = static_cast<std::size_t>(std::max(record_size_, 1));
  const std::size_t runLimit = std::max<std::size_t>(1, kMaxRunBytes / recordBytes);
  const std::size_t gapLimit = kMaxGapBytes / recordBytes;
  // Records the file holds now: only they can fill a gap.
  std::int64_t onFile = -1;
  std::vector<std::uint8_t> run;
  std::size_t i = 0;
  while (i < newest.size()) {
    const std::int32_t first = newest[i].first;
    std::size_t j = i + 1;
    bool gaps = false;
    while (j < newest.size()) {
      const std::int32_t next = newest[j].first;
      const std::int32_t previous = newest[j - 1].first;
      if (static_cast<std::size_t>(next - first) >= runLimit) break;
      if (next != previous + 1) {
        if (static_cast<std::size_t>(next - previous - 1) > gapLimit) break;
        if (onFile < 0) {
          const std::int64_t size = dat_file_->GetSize() - std::int64_t{data_offset_};
          onFile = size > 0 ? size / static_cast<std::int64_t>(recordBytes) : 0;
        }
        if (next > onFile) break;
        gaps = true;
      }
      ++j;
    }
    const std::int32_t count = newest[j - 1].first - first + 1;
    if (count == 1) {
      WriteRecordRun(first, buffers_.Buffer(entries_[newest[i].second].BufferIndex), 1);
      i = j;
      continue;
    }
    run.resize(static_cast<std::size_t>(count) * recordBytes);
    if (gaps && !ReadRecordRun(first, run.data(), count)) {
      // The file cannot give the records between: from here on, only
      // neighbours are joined (no gap passes a file of no records).
      onFile = 0;
      continue;
    }
    for (std::size_t k = i; k < j; ++k) {
      std::memcpy(run.data() + static_cast<std::size_t>(newest[k].first - first) * recordBytes,
                  buffers_.Buffer(entries_[newest[k].second].BufferIndex), recordBytes);
    }
    WriteRecordRun(first, run.data(), count);
    i = j;
  }
}

void TkrBufferLogArray::FlushBuffers() {
  // BLOB blocks first, oldest first (runs of one value may overlap an older
  // value's freed blocks), so that no record written by this flush points at
  // BLOB data that is not on disk yet.
  WriteBLOBEntries();
  WriteRecordEntries(0, std::numeric_limits<std::int32_t>::max());
  Clear();
}

bool TkrBufferLogArray::WriteAppendedPart(std::int32_t counted) {
  const bool any = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.EntryKind == kBLOB || e.RecNo >= counted;
  });
  if (!any) return false;
  WriteBLOBEntries();
  WriteRecordEntries(counted, std::numeric_limits<std::int32_t>::max());
  return true;
}

void TkrBufferLogArray::WriteInPlacePart(std::int32_t counted) {
  WriteRecordEntries(0, counted);
  Clear();
}

bool TkrBufferLogArray::FlushDue() const {
  if (entries_.empty()) return false;
  return buffers_.TotalSize() >= max_bytes_ ||
         static_cast<std::int32_t>(entries_.size()) >= max_entries_ ||
         static_cast<std::uint32_t>(ticks_() - entries_.front().Time) > max_age_ms_;
}

bool TkrBufferLogArray::FlushIfNeeded() {
  if (!FlushDue()) return false;
  FlushBuffers();
  return true;
}

void TkrBufferLogArray::Clear() {
  entries_.clear();
  entries_.shrink_to_fit();
  buffers_.Clear();
  newest_record_.Clear();
}

void TkrBufferLogArray::CheckInvariants() const {
#ifndef NDEBUG
  std::uint64_t total = 0;
  for (std::int32_t i = 0; i < buffers_.Count(); ++i) total += buffers_.Size(i);
  assert(total == buffers_.TotalSize());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    assert(e.BufferIndex >= 0 && e.BufferIndex < buffers_.Count());
    if (e.EntryKind == kRecord) {
      assert(buffers_.Size(e.BufferIndex) == record_size_);
      const std::int32_t newest = newest_record_.Find(e.RecNo);
      assert(newest >= static_cast<std::int32_t>(i));
    }
  }
  newest_record_.ForEach([&](std::int32_t recNo, std::int32_t index) {
    assert(index >= 0 && static_cast<std::size_t>(index) < entries_.size());
    assert(entries_[static_cast<std::size_t>(index)].RecNo == recNo);
    (void)recNo;
    (void)index;
  });
#endif
}

}  // namespace kivo
