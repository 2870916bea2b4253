// The write-behind log of a table: record images and BLOB data waiting to be
// written to T.dat and T.bdf in one batch.
//
// Every record write of a table goes to the page cache and, as its own copy of
// the stored (for encrypted tables: enciphered) image, to this log; the log is
// written out when it grows too big, too long or too old, and at close.
// A flush writes BLOB entries oldest first, then the newest entry of each
// record position in position order, so a later entry for the same position
// wins on disk as it does for readers (FindRecord).
//
// Invariants (CheckInvariants()):
//   1. Every entry's BufferIndex names one owned buffer, and TotalSize is the
//      sum of the buffer sizes.
//   2. A record entry's buffer holds exactly RecordSize bytes.
//   3. newest_record_ maps each position that has record entries to its newest
//      one, and holds no other position.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "storage/file_layer.h"

namespace kivo {

// One run of BLOB blocks: the first block and the number of blocks.
struct TkrBLOBPart {
  std::int32_t FirstBlock = 0;
  std::int32_t BlockCount = 0;
};

// Owned byte buffers and their sizes. Small buffers are packed into shared
// blocks, so that logging a record allocates nothing most of the time; a
// buffer stays where it is until Clear.
class TkrBuffersArray {
 public:
  // Buffers up to this size share blocks of kBlockBytes; bigger ones get
  // their own allocation.
  static constexpr std::size_t kBlockBytes = 256 * 1024;
  static constexpr std::size_t kMaxPackedBytes = kBlockBytes / 8;

  // Copies `size` bytes; returns the new buffer's index.
  std::int32_t Add(const void* data, std::int32_t size);
  const std::uint8_t* Buffer(std::int32_t index) const {
    return buffers_[static_cast<std::size_t>(index)];
  }
  std::int32_t Size(std::int32_t index) const { return sizes_[static_cast<std::size_t>(index)]; }
  std::int32_t Count() const { return static_cast<std::int32_t>(sizes_.size()); }
  std::uint64_t TotalSize() const { return total_size_; }
  void Clear();

 private:
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;  // packed blocks and big buffers
  std::uint8_t* block_ = nullptr;                        // the packed block being filled
  std::size_t block_used_ = kBlockBytes;
  std::vector<std::uint8_t*> buffers_;
  std::vector<std::int32_t> sizes_;
  std::uint64_t total_size_ = 0;
};

// Record position -> index of its newest log entry: an open-addressing hash
// table (linear probing, at most half full), cleared with the log.
class TkrNewestRecordMap {
 public:
  void Set(std::int32_t recNo, std::int32_t entry);
  // -1 when the position has no entry.
  std::int32_t Find(std::int32_t recNo) const;
  bool Empty() const { return count_ == 0; }
  std::size_t Count() const { return count_; }
  void Clear();
  template <typename F>
  void ForEach(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.Entry >= 0) f(s.RecNo, s.Entry);
    }
  }

 private:
  struct Slot {
    std::int32_t RecNo = 0;
    std::int32_t Entry = -1;  // -1: empty
  };
  std::size_t SlotOf(std::int32_t recNo) const {
    return static_cast<std::size_t>(static_cast<std::uint32_t>(recNo) * 0x9E3779B1u) & mask_;
  }
  void Grow();

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

class TkrBufferLogArray {
 public:
  static constexpr std::int32_t kMaxEntries = 10000;
  static constexpr std::uint32_t kMaxAgeMs = 1000;

  enum Kind : std::uint8_t { kRecord = 0, kBLOB = 1 };
  struct Entry {
    std::uint32_t Time = 0;
    std::int32_t RecNo = 0;
    Kind EntryKind = kRecord;
    std::int32_t BufferIndex = 0;
    std::vector<TkrBLOBPart> Parts;  // BLOB entries only
  };

  // `datFile` receives record entries at dataOffset + RecNo * recordSize;
  // `bdfFile` (nullptr for tables without BLOBs) receives BLOB entries in
  // blocks of `blobBlockSize` bytes. MaxBytes is a twentieth of the available
  // physical memory, plus 1. The files are not owned.
  TkrBufferLogArray(TAbstractFile* datFile, std::int32_t dataOffset, std::int32_t recordSize,
                    TAbstractFile* bdfFile = nullptr, std::int32_t blobBlockSize = 0);

  // Logs a copy of the RecordSize bytes at `image` as the new content of `recNo`.
  void AddRecord(std::int32_t recNo, const void* image);
  // Logs a copy of `size` bytes to be written over the BLOB block runs `parts`
  // (block count x block size bytes each, consecutively from the data).
  // Raises "TkrBufferLogArray.AddBLOB - data too short for its parts" when the
  // parts ask for more bytes than given.
  void AddBLOB(std::int32_t recNo, const void* data, std::int32_t size,
               std::vector<TkrBLOBPart> parts);

  // The newest logged image of `recNo` (RecordSize bytes), or nullptr.
  const std::uint8_t* FindRecord(std::int32_t recNo) const;
  // Calls f(recNo, image) for the newest logged image of every position (the
  // images a flush writes), in no particular order.
  template <typename F>
  void ForEachNewestRecord(F&& f) const {
    newest_record_.ForEach([&](std::int32_t recNo, std::int32_t entry) {
      f(recNo, buffers_.Buffer(entries_[static_cast<std::size_t>(entry)].BufferIndex));
    });
  }

  // Writes every entry (see the top of this file), then drops them all. A failing write
  // raises and leaves every entry in the log, so the next flush writes them
  // again (entries hold absolute positions, so writing twice is harmless):
  //   "TkrBufferLogArray.FlushBuffers - error writing data to blob file, xx = "
  //     + written + ", bc = " + requested
  //   "TkrBufferLogArray.FlushBuffers - error writing data to data file, xx = "
  //     + written + ", bc = " + requested
  void FlushBuffers();
  // FlushBuffers in two steps, for a flush that journals what it writes in
  // place: first every BLOB entry and the records at positions `counted`
  // and above (the header on disk does not count them yet), then the
  // records below, after which the log is empty. A failure in either step
  // leaves every entry in the log. WriteAppendedPart returns whether it had
  // anything to write.
  bool WriteAppendedPart(std::int32_t counted);
  void WriteInPlacePart(std::int32_t counted);
  // Flushes and returns true when there is an entry and the log holds at
  // least MaxBytes bytes, or MaxEntries entries, or its oldest entry is more
  // than MaxAgeMs old.
  bool FlushIfNeeded();
  // Whether FlushIfNeeded would flush now.
  bool FlushDue() const;

  std::int32_t EntryCount() const { return static_cast<std::int32_t>(entries_.size()); }
  const Entry& EntryAt(std::int32_t i) const { return entries_[static_cast<std::size_t>(i)]; }
  std::uint64_t TotalSize() const { return buffers_.TotalSize(); }
  std::uint64_t MaxBytes() const { return max_bytes_; }
  void SetMaxBytes(std::uint64_t value) { max_bytes_ = value; }
  std::int32_t MaxEntries() const { return max_entries_; }
  void SetMaxEntries(std::int32_t value) { max_entries_ = value; }
  std::uint32_t MaxAgeMs() const { return max_age_ms_; }
  std::int32_t DataOffset() const { return data_offset_; }
  std::int32_t RecordSize() const { return record_size_; }
  // The millisecond tick source of entry times (GetTickCount by default).
  void SetTickSource(std::function<std::uint32_t()> ticks) { ticks_ = std::move(ticks); }

  void CheckInvariants() const;

 private:
  void Clear();
  // Bytes joined into one write of neighbouring records or BLOB parts at most.
  static constexpr std::size_t kMaxRunBytes = 1024 * 1024;
  // Records changed a few apart (an UPDATE of every other row) go out in one
  // run too: the unchanged records between them, read from the file, are
  // written back as they are. A gap of more bytes than this is not worth it.
  static constexpr std::size_t kMaxGapBytes = 2048;
  // The newest images of positions from .. to-1.
  void WriteRecordEntries(std::int32_t from, std::int32_t to);
  // Reads `count` records from position `firstRecNo` of the file into `dest`;
  // false when they are not all there.
  bool ReadRecordRun(std::int32_t firstRecNo, std::uint8_t* dest, std::int32_t count);
  void WriteRecordRun(std::int32_t firstRecNo, const std::uint8_t* data, std::int32_t count);
  void WriteBLOBEntries();
  void WriteBLOBBytes(std::int64_t target, const std::uint8_t* data, std::int64_t count);

  std::vector<Entry> entries_;
  TkrBuffersArray buffers_;
  std::int32_t max_entries_ = kMaxEntries;
  std::uint64_t max_bytes_;
  std::uint32_t max_age_ms_ = kMaxAgeMs;
  TAbstractFile* dat_file_;
  TAbstractFile* bdf_file_;
  std::int32_t blob_block_size_;
  std::int32_t data_offset_;
  std::int32_t record_size_;
  TkrNewestRecordMap newest_record_;  // RecNo -> entry index
  std::function<std::uint32_t()> ticks_;
  // The time stamp of a new entry.
  std::uint32_t EntryTime() const;
};

}  // namespace kivo
