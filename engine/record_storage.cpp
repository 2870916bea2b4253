// The record storage of TKivoDataManager: the page cache's record source,
// the three record operations with their header effects, encryption of
// record images and the password check. Flushing is in
// engine/table_flush.cpp.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/data_manager.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/little_endian.h"

namespace kivo {

// Feeds the page cache: a record's newest logged image when the log has one,
// else its bytes in T.dat; deciphered for encrypted tables.
//
// Records the log does not hold are read from T.dat in runs, one read per
// run. When the cache asks for single records one after another (a scan
// while the cache keeps one record per page), the next kReadAheadBytes of
// records are read at once and kept as stored; the log still goes first, and
// every write to T.dat drops them (DropReadAhead). Two such streams are
// followed at once, each with its own window: a delete reads the record it
// removes going forwards and the table's last records, which move into the
// holes, going backwards.
//
// Single records asked for out of order (a walk in index order, a join
// revisiting its runs) are read with their neighbours in blocks of about
// kBlockBytes, and a bounded set of such blocks is kept: the next record of
// the same walk is usually in a block already read, and a read from memory
// costs a small fraction of a system call. The blocks hold stored images
// like the windows do, come after the log, and are dropped with them.
class TkrTableRecordSource : public TkrRecordSource {
 public:
  static constexpr std::int32_t kReadAheadBytes = 64 * 1024;
  static constexpr std::int32_t kBlockBytes = 4096;
  static constexpr std::int32_t kBlockCacheBytes = 8 << 20;

  explicit TkrTableRecordSource(TKivoDataManager& manager) : m_(manager) {}

  std::int32_t TableRecordCount() const override { return m_.header_.RecordCount; }

  void ReadRecordImages(std::int32_t first, std::int32_t count, std::uint8_t* dest) override {
    const std::int32_t size = m_.layout_.RecordSize;
    const TkrBufferLogArray* log = m_.log_.get();
    if (log != nullptr && log->EntryCount() == 0) log = nullptr;  // nothing to look up
    std::int32_t i = 0;
    while (i < count) {
      const std::int32_t recNo = first + i;
      std::uint8_t* d = dest + static_cast<std::size_t>(i) * size;
      const std::uint8_t* held = log ? log->FindRecord(recNo) : nullptr;
      if (held == nullptr) held = OverlayImage(recNo);
      if (held == nullptr) held = ReadAheadImage(recNo);
      if (held == nullptr && count == 1) held = BlockImage(recNo);
      if (held != nullptr) {
        std::memcpy(d, held, static_cast<std::size_t>(size));
        Decode(d);
        StreamOf(recNo).next = recNo + 1;
        ++i;
        continue;
      }
      std::int32_t run = 1;
      if (log == nullptr && !m_.journal_overlay_) {
        run = count - i;
      } else {
        while (i + run < count && (log == nullptr || log->FindRecord(recNo + run) == nullptr) &&
               OverlayImage(recNo + run) == nullptr) {
          ++run;
        }
      }
      // One record after the last one a stream read fills its window
      // forwards, one before it backwards.
      Stream& stream = StreamOf(recNo);
      if (run == 1 && (recNo == stream.next || recNo == stream.next - 2) &&
          FillReadAhead(stream, recNo, /*backwards=*/recNo != stream.next)) {
        std::memcpy(d, ReadAheadImage(recNo), static_cast<std::size_t>(size));
        Decode(d);
      } else if (count == 1 && FillBlock(recNo)) {
        std::memcpy(d, BlockImage(recNo), static_cast<std::size_t>(size));
        Decode(d);
      } else if (!ReadRun(recNo, run, d)) {
        // Record by record, so that a short or damaged table fails at the
        // record and with the error it always did.
        for (std::int32_t k = 0; k < run; ++k) {
          std::uint8_t* one = d + static_cast<std::size_t>(k) * size;
          ReadOne(recNo + k, one);
          Decode(one);
        }
      }
      stream.next = recNo + run;
      i += run;
    }
  }

  void DropReadAhead() {
    for (Stream& stream : streams_) {
      stream.count = 0;
      stream.next = -1;
    }
    ++block_generation_;  // every block read so far is stale
  }

 private:
  std::int64_t OffsetOf(std::int32_t recNo) const {
    return std::int64_t{m_.data_offset_} + std::int64_t{recNo} * m_.layout_.RecordSize;
  }
  const std::uint8_t* OverlayImage(std::int32_t recNo) const {
    return m_.journal_overlay_ ? m_.journal_overlay_->Find(recNo, m_.layout_.RecordSize) : nullptr;
  }
  void Decode(std::uint8_t* image) {
    if (m_.header_.Encrypted != 0) ChangeRecordEncryption(m_.layout_, m_.password_, image, false);
  }
  bool SeekTo(std::int64_t offset, std::int64_t bytes) {
    TAbstractFile* file = m_.dat_file_.get();
    return file != nullptr && offset + bytes <= kMaxFilePosition &&
           file->Seek(static_cast<std::int32_t>(offset), TAbstractFile::kFromBeginning) == offset;
  }
  void ReadOne(std::int32_t recNo, std::uint8_t* d) {
    const std::int32_t size = m_.layout_.RecordSize;
    if (!SeekTo(OffsetOf(recNo), size))
      throw Exception("TAbstractFile.ReadBuffer - Stream read error");
    m_.dat_file_->ReadBuffer(d, size);
  }
  // Reads and deciphers `count` records in one read; false when they are
  // not all there or one of them does not decipher.
  bool ReadRun(std::int32_t recNo, std::int32_t count, std::uint8_t* d) {
    const std::int64_t bytes = std::int64_t{count} * m_.layout_.RecordSize;
    if (bytes > std::numeric_limits<std::int32_t>::max() || !SeekTo(OffsetOf(recNo), bytes) ||
        m_.dat_file_->Read(d, static_cast<std::int32_t>(bytes)) != bytes) {
      return false;
    }
    if (m_.header_.Encrypted == 0) return true;
    try {
      for (std::int32_t k = 0; k < count; ++k)
        Decode(d + static_cast<std::size_t>(k) * m_.layout_.RecordSize);
    } catch (const std::exception&) {
      return false;
    }
    return true;
  }
  // One followed run of reads and its window of stored images.
  struct Stream {
    std::vector<std::uint8_t> ahead;  // stored images of first .. first + count - 1
    std::int32_t first = 0;
    std::int32_t count = 0;
    const TAbstractFile* file = nullptr;
    std::int32_t next = -1;  // the record after the last one handed out
    std::uint64_t used = 0;  // when it last handed out a record
  };

  const std::uint8_t* ReadAheadImage(std::int32_t recNo) const {
    for (const Stream& s : streams_) {
      if (recNo < s.first || recNo - s.first >= s.count || s.file != m_.dat_file_.get()) continue;
      return s.ahead.data() + static_cast<std::size_t>(recNo - s.first) * m_.layout_.RecordSize;
    }
    return nullptr;
  }
  // The stream that record `recNo` continues (the one after or before its
  // last record, or whose window holds it); else the one used least lately.
  Stream& StreamOf(std::int32_t recNo) {
    Stream* pick = nullptr;
    for (Stream& s : streams_) {
      const bool continues =
          recNo == s.next || recNo == s.next - 2 || (recNo >= s.first && recNo - s.first < s.count);
      if (continues) {
        pick = &s;
        break;
      }
    }
    if (pick == nullptr) {
      pick = &streams_[0];
      for (Stream& s : streams_)
        if (s.used < pick->used) pick = &s;
    }
    pick->used = ++clock_;
    return *pick;
  }
  // Reads the stored images from `recNo` on (`backwards`: up to `recNo`)
  // into the stream's window, up to kReadAheadBytes and the table's ends;
  // false when not even two whole records, `recNo` among them, could be read.
  bool FillReadAhead(Stream& stream, std::int32_t recNo, bool backwards) {
    stream.count = 0;
    const std::int32_t size = m_.layout_.RecordSize;
    const std::int32_t window = std::max(1, kReadAheadBytes / size);
    const std::int32_t first = backwards ? std::max(0, recNo - window + 1) : recNo;
    const std::int32_t count =
        backwards ? recNo - first + 1 : std::min(window, m_.header_.RecordCount - recNo);
    if (count < 2 || !SeekTo(OffsetOf(first), std::int64_t{count} * size)) return false;
    stream.ahead.resize(static_cast<std::size_t>(count) * size);
    const std::int32_t got = m_.dat_file_->Read(stream.ahead.data(), count * size);
    if (got < 2 * size || first + got / size <= recNo) return false;
    stream.first = first;
    stream.count = got / size;
    stream.file = m_.dat_file_.get();
    return true;
  }

  // One block of stored images: records no * per .. no * per + count - 1,
  // valid while `generation` is the source's.
  struct Block {
    std::vector<std::uint8_t> images;
    std::int32_t no = -1;
    std::int32_t count = 0;
    std::uint64_t generation = 0;
    std::uint64_t used = 0;
    const TAbstractFile* file = nullptr;
  };

  std::int32_t RecordsPerBlock() const {
    return std::max(1, kBlockBytes / std::max(1, m_.layout_.RecordSize));
  }
  // Blocks are kept in sets of kWays by block number, the one used least
  // lately giving way: a walk that comes back to a block finds it among the
  // few slots it can be in.
  static constexpr std::size_t kWays = 8;
  Block* FindBlock(std::int32_t blockNo) {
    if (blocks_.empty()) return nullptr;
    const std::size_t set = static_cast<std::size_t>(blockNo) % (blocks_.size() / kWays) * kWays;
    for (std::size_t w = set; w < set + kWays; ++w) {
      Block& b = blocks_[w];
      if (b.no == blockNo && b.generation == block_generation_ && b.file == m_.dat_file_.get()) {
        b.used = ++clock_;
        return &b;
      }
    }
    return nullptr;
  }
  Block& SlotFor(std::int32_t blockNo) {
    if (blocks_.empty()) {
      const std::int64_t blockBytes = std::int64_t{RecordsPerBlock()} * m_.layout_.RecordSize;
      const std::int64_t sets = std::max<std::int64_t>(2, kBlockCacheBytes / blockBytes / kWays);
      blocks_.resize(static_cast<std::size_t>(sets) * kWays);
    }
    const std::size_t set = static_cast<std::size_t>(blockNo) % (blocks_.size() / kWays) * kWays;
    Block* pick = &blocks_[set];
    for (std::size_t w = set; w < set + kWays; ++w) {
      Block& b = blocks_[w];
      if (b.no == blockNo || b.generation != block_generation_) return b;
      if (b.used < pick->used) pick = &b;
    }
    return *pick;
  }
  const std::uint8_t* BlockImage(std::int32_t recNo) {
    const std::int32_t per = RecordsPerBlock();
    const Block* b = FindBlock(recNo / per);
    if (b == nullptr || recNo % per >= b->count) return nullptr;
    return b->images.data() + static_cast<std::size_t>(recNo % per) * m_.layout_.RecordSize;
  }
  // Reads the block holding `recNo`; false when `recNo` itself could not be
  // read whole (the caller then reads it alone and fails as it always did).
  bool FillBlock(std::int32_t recNo) {
    const std::int32_t size = m_.layout_.RecordSize;
    const std::int32_t per = RecordsPerBlock();
    const std::int32_t no = recNo / per;
    const std::int32_t first = no * per;
    const std::int32_t count = std::min(per, m_.header_.RecordCount - first);
    if (count <= 0 || !SeekTo(OffsetOf(first), std::int64_t{count} * size)) return false;
    Block& b = SlotFor(no);
    b.no = -1;
    b.used = ++clock_;
    b.images.resize(static_cast<std::size_t>(count) * size);
    const std::int32_t got = m_.dat_file_->Read(b.images.data(), count * size);
    if (got < 0 || first + got / size <= recNo) return false;
    b.no = no;
    b.count = got / size;
    b.generation = block_generation_;
    b.file = m_.dat_file_.get();
    return true;
  }

  TKivoDataManager& m_;
  std::array<Stream, 2> streams_;
  std::uint64_t clock_ = 0;
  std::vector<Block> blocks_;
  std::uint64_t block_generation_ = 0;
};

namespace {
void DropReadAheadOf(const std::unique_ptr<TkrRecordSource>& source) {
  if (source) static_cast<TkrTableRecordSource*>(source.get())->DropReadAhead();
}
}  // namespace

void TKivoDataManager::DropRecordReadAhead() { DropReadAheadOf(record_source_); }

namespace {

// The stored image of a plain record (enciphered for encrypted tables), in a
// buffer on the stack for the usual record sizes.
class TStoredImage {
 public:
  TStoredImage(const TkrRecordLayout& layout, const std::string& password, bool encrypted,
               const std::uint8_t* plain) {
    const auto size = static_cast<std::size_t>(layout.RecordSize);
    if (size > sizeof small_) big_.resize(size);
    data_ = size > sizeof small_ ? big_.data() : small_;
    std::memcpy(data_, plain, size);
    if (encrypted) ChangeRecordEncryption(layout, password, data_, true);
  }
  const std::uint8_t* Data() const { return data_; }

 private:
  std::uint8_t small_[512];
  std::vector<std::uint8_t> big_;
  std::uint8_t* data_;
};

// ChangeCount only has to differ from what T.idx saw: it wraps.
void BumpChangeCount(std::int32_t& count) {
  count = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + 1u);
}
}  // namespace

// ---------------------------------------------------------------------------
// Creation and release

void TKivoDataManager::CreateRecordCache() {
  Locked([&] {
    if (!ticks_) ticks_ = GetTickCount;
    if (!record_source_) record_source_ = std::make_unique<TkrTableRecordSource>(*this);
    DropReadAheadOf(record_source_);
    records_.reset();
    records_ = std::make_unique<TkrRecordsArray>(*record_source_, layout_.RecordSize,
                                                 records_per_page_hint_, cache_disabled_);
    records_->SetTickSource(ticks_);
    if (!indexer_) IndexList();
    indexer_->TableOpened(header_.RecordCount);
  });
}

void TKivoDataManager::CreateWriteBehindLog() {
  Locked([&] {
    log_ = std::make_unique<TkrBufferLogArray>(dat_file_.get(), data_offset_, layout_.RecordSize,
                                               HasBLOBs() ? bdf_file_.get() : nullptr,
                                               HasBLOBs() ? blob_block_size_ : 0);
    if (ticks_) log_->SetTickSource(ticks_);
    RepairInterruptedFlush();
  });
}

void TKivoDataManager::UpdateRecordCacheMode() {
  Locked([&] {
    if (records_ && records_->CacheDisabled() != cache_disabled_) CreateRecordCache();
  });
}

void TKivoDataManager::FreeRecordStorage() {
  Locked([&] {
    log_.reset();
    records_.reset();
    DropReadAheadOf(record_source_);
    journal_overlay_.reset();
    if (indexer_) indexer_->TableOpened(0);
  });
}

void TKivoDataManager::SetRecordIndexer(std::unique_ptr<TkrRecordIndexer> indexer) {
  Locked([&] {
    indexer_ = std::move(indexer);
    indexes_ = nullptr;
    if (indexer_) indexer_->TableOpened(header_.RecordCount);
  });
}

void TKivoDataManager::SetTickSource(std::function<std::uint32_t()> ticks) {
  Locked([&] {
    ticks_ = std::move(ticks);
    if (records_) records_->SetTickSource(ticks_);
    if (log_) log_->SetTickSource(ticks_);
  });
}

// ---------------------------------------------------------------------------
// Encryption and the password

void TKivoDataManager::ChangeBufferEncryption(std::uint8_t* buffer, bool encode) {
  Locked([&] { ChangeRecordEncryption(layout_, password_, buffer, encode); });
}

void TKivoDataManager::CountBufferCrc(const std::uint8_t* buffer, std::int32_t size,
                                      std::string& checkString) {
  checkString = kivo::CountBufferCrc(buffer, size);
}

bool TKivoDataManager::CheckPassword() {
  return Locked([&] {
    if (password_.empty()) return false;
    if (header_.RecordCount <= 0) return true;
    try {
      std::vector<std::uint8_t> image(static_cast<std::size_t>(layout_.RecordSize));
      if (!dat_file_ ||
          dat_file_->Seek(data_offset_, TAbstractFile::kFromBeginning) != data_offset_) {
        return false;
      }
      dat_file_->ReadBuffer(image.data(), layout_.RecordSize);
      ChangeRecordEncryption(layout_, password_, image.data(), false);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  });
}

// ---------------------------------------------------------------------------
// Record operations

void TKivoDataManager::CheckRecordStorage(const char* operation, bool write) const {
  if (!records_ || !log_ || !dat_file_) {
    throw Exception(std::string("Error in TKivoDataManager.") + operation +
                    " - table is not opened.");
  }
  // A write the log could never flush would be lost without a word.
  if (write && (read_only_ || file_read_only_)) {
    throw Exception(std::string("Error in TKivoDataManager.") + operation +
                    " - table is in ReadOnly mode!");
  }
}

std::vector<std::uint8_t> TKivoDataManager::StoredImageOf(const std::uint8_t* plain) {
  std::vector<std::uint8_t> image(plain, plain + layout_.RecordSize);
  if (header_.Encrypted != 0) ChangeRecordEncryption(layout_, password_, image.data(), true);
  return image;
}

bool TKivoDataManager::ShouldMaintainAllIndexes() {
  return Locked([&] {
    // Only small tables look at the pace of changes: larger ones do not
    // read the clock.
    if (header_.RecordCount > 10) return true;
    const std::uint32_t now = ticks_ ? ticks_() : GetTickCount();
    bool result;
    if (now - last_change_tick_ < 1000) {
      if (change_burst_ <= 100) ++change_burst_;
      result = change_burst_ <= 100;
    } else {
      change_burst_ = 0;
      result = true;
    }
    last_change_tick_ = now;
    return result;
  });
}

void TKivoDataManager::ReserveCachedRecords(std::int32_t count) {
  Locked([&] {
    if (records_) records_->ReserveWholeTable(count);
  });
}

std::int32_t TKivoDataManager::InsertRecord(const std::uint8_t* buffer, std::int32_t currentIndex) {
  return Locked([&] {
    CheckRecordStorage("InsertRecord", true);
    if (std::int64_t{data_offset_} + (std::int64_t{header_.RecordCount} + 1) * layout_.RecordSize >
        kMaxFilePosition) {
      throw Exception("Error in TKivoDataManager.InsertRecord - table file is full.");
    }
    // Encode first: a failure must leave the table as it was.
    const TStoredImage stored(layout_, password_, header_.Encrypted != 0, buffer);
    indexer_->BeforeRecordChange(header_.RecordCount);
    const bool maintainAll = ShouldMaintainAllIndexes();
    const auto id = static_cast<std::int32_t>(GetRecordId(layout_, buffer));
    if (id >= header_.LastAutoInc) header_.LastAutoInc = id;
    BumpChangeCount(header_.ChangeCount);
    const std::int32_t pos = header_.RecordCount;
    records_->AppendRecord(buffer);
    ++header_.RecordCount;
    if (HasBLOBs()) krAddBLOBRecord();
    appending_ = pos;
    std::int32_t result;
    try {
      result = indexer_->RecordInserted(pos, currentIndex, maintainAll);
    } catch (...) {
      appending_ = -1;
      throw;
    }
    appending_ = -1;
    log_->AddRecord(pos, stored.Data());
    FlushIfDue();
    return result;
  });
}

bool TKivoDataManager::AppendRecords(const std::uint8_t* images, std::int32_t count) {
  return Locked([&] {
    CheckRecordStorage("InsertRecord", true);
    if (count <= 0) return true;
    if (HasBLOBs() || !log_ || !dat_file_ || !auto_flush_) return false;
    const std::int32_t size = layout_.RecordSize;
    const std::int64_t at = std::int64_t{data_offset_} + std::int64_t{header_.RecordCount} * size;
    const std::int64_t bytes = std::int64_t{count} * size;
    if (at + bytes > kMaxFilePosition) return false;
    // Encode first: a failure must leave the table as it was.
    std::vector<std::uint8_t> encrypted;
    const std::uint8_t* stored = images;
    if (header_.Encrypted != 0) {
      encrypted.assign(images, images + bytes);
      for (std::int32_t k = 0; k < count; ++k)
        ChangeRecordEncryption(layout_, password_,
                               encrypted.data() + static_cast<std::size_t>(k) * size, true);
      stored = encrypted.data();
    }
    indexer_->BeforeRecordChange(header_.RecordCount);
    const bool maintainAll = ShouldMaintainAllIndexes();
    // Entries waiting in the log go first: a stale one past the end (a
    // record appended and deleted again) must not later overwrite these.
    if (log_->EntryCount() > 0) WriteLogAndHeaders(/*sync=*/false);
    DropReadAheadOf(record_source_);  // T.dat is about to change
    // Past the counted records: until the header counts them, a failure
    // half-way leaves nothing the table shows.
    if (dat_file_->Seek(static_cast<std::int32_t>(at), TAbstractFile::kFromBeginning) != at)
      throw Exception("Error in TKivoDataManager.InsertRecord - table file cannot be written.");
    dat_file_->WriteBuffer(stored, static_cast<std::int32_t>(bytes));
    // Many blocks follow: the disk starts on this one while the next is made.
    dat_file_->StartWriteBack(at, bytes);
    unsynced_appends_ = true;
    std::int32_t lastId = header_.LastAutoInc;
    for (std::int32_t k = 0; k < count; ++k) {
      const auto id = static_cast<std::int32_t>(
          GetRecordId(layout_, images + static_cast<std::size_t>(k) * size));
      lastId = std::max(lastId, id);
    }
    records_->RecordsAppended(images, count);
    const std::int32_t first = header_.RecordCount;
    header_.RecordCount += count;
    header_.LastAutoInc = lastId;
    BumpChangeCount(header_.ChangeCount);
    try {
      indexer_->RecordsAppended(first, count, images, maintainAll);
    } catch (const std::exception&) {
      // The records are stored and counted: the arrays are rebuilt when next
      // used rather than left without them.
      indexer_->TableOpened(header_.RecordCount);
    }
    return true;
  });
}

std::int32_t TKivoDataManager::UpdateRecord(const std::uint8_t* buffer, std::int32_t currentIndex,
                                            std::int32_t recPos, std::int32_t currentOrdinal) {
  return Locked([&] {
    CheckRecordStorage("UpdateRecord", true);
    const TStoredImage stored(layout_, password_, header_.Encrypted != 0, buffer);
    records_->GetRecordPtr(recPos);  // raises for a position outside the table
    indexer_->BeforeRecordChange(header_.RecordCount);
    const bool maintainAll = ShouldMaintainAllIndexes();
    const auto id = static_cast<std::int32_t>(GetRecordId(layout_, buffer));
    if (id >= header_.LastAutoInc) header_.LastAutoInc = id;
    BumpChangeCount(header_.ChangeCount);
    std::uint8_t* old = records_->GetRecordPtr(recPos);
    records_->LockRecordPage(recPos);
    std::int32_t result;
    try {
      result =
          indexer_->RecordUpdating(old, buffer, recPos, currentIndex, maintainAll, currentOrdinal);
      // The data set may hand in the cached image itself.
      std::memmove(old, buffer, static_cast<std::size_t>(layout_.RecordSize));
      log_->AddRecord(recPos, stored.Data());
    } catch (...) {
      records_->UnlockRecordPage(recPos);
      throw;
    }
    records_->UnlockRecordPage(recPos);
    FlushIfDue();
    return result;
  });
}

std::int32_t TKivoDataManager::krDeleteRecord(std::int32_t currentIndex, std::int32_t recPos,
                                              std::int32_t currentOrdinal) {
  return Locked([&] {
    CheckRecordStorage("krDeleteRecord", true);
    const std::int32_t n = header_.RecordCount;
    if (recPos < 0 || recPos >= n) {
      throw Exception("TKivoDataManager.krDeleteRecord - invalid record Number, recPos = " +
                      std::to_string(recPos));
    }
    const bool moves = recPos < n - 1;
    std::vector<std::uint8_t> last;
    std::vector<std::uint8_t> storedLast;
    if (moves) {
      const std::uint8_t* p = records_->GetRecordPtr(n - 1);
      last.assign(p, p + layout_.RecordSize);
      storedLast = StoredImageOf(last.data());
    }
    indexer_->BeforeRecordChange(n);
    const bool maintainAll = ShouldMaintainAllIndexes();
    BumpChangeCount(header_.ChangeCount);
    std::int32_t result =
        indexer_->RecordDeleting(recPos, n, currentIndex, maintainAll, currentOrdinal);
    --header_.RecordCount;
    if (HasBLOBs()) DeleteBLOBRecord(recPos);
    if (moves) log_->AddRecord(recPos, storedLast.data());
    records_->DeleteRecord(recPos, moves ? last.data() : nullptr);
    FlushIfDue();
    return result;
  });
}

std::uint8_t* TKivoDataManager::GetRecordPtr(std::int32_t recPos) {
  return Locked([&] {
    CheckRecordStorage("GetRecordPtr", false);
    return records_->GetRecordPtr(recPos);
  });
}

void TKivoDataManager::ReadRecordImages(std::int32_t first, std::int32_t count,
                                        std::uint8_t* dest) {
  Locked([&] {
    CheckRecordStorage("ScanRecords", false);
    if (count <= 0) return;
    if (first < 0 || count > header_.RecordCount - first)
      throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
    // The record being appended lives only in the page cache until the
    // insert has logged it (the indexes follow an insert before that).
    const bool appendingHere = appending_ >= first && appending_ - first < count;
    const std::int32_t fromSource = appendingHere ? appending_ - first : count;
    if (fromSource > 0) record_source_->ReadRecordImages(first, fromSource, dest);
    const auto size = static_cast<std::size_t>(layout_.RecordSize);
    for (std::int32_t k = fromSource; k < count; ++k)
      std::memcpy(dest + static_cast<std::size_t>(k) * size, records_->GetRecordPtr(first + k),
                  size);
  });
}

void TKivoDataManager::ScanRecords(
    std::int32_t from, std::int32_t to,
    const std::function<void(std::int32_t pos, const std::uint8_t* image)>& f) {
  Locked([&] {
    CheckRecordStorage("ScanRecords", false);
    to = std::min(to, header_.RecordCount);
    if (from < 0 || from >= to) return;
    const std::int32_t size = layout_.RecordSize;
    // About the read-ahead of a sequential read: a few dozen kilobytes.
    const std::int32_t block = std::clamp<std::int32_t>(64 * 1024 / std::max(size, 1), 1, 4096);
    std::vector<std::uint8_t> images(static_cast<std::size_t>(block) *
                                     static_cast<std::size_t>(size));
    for (std::int32_t first = from; first < to; first += block) {
      const std::int32_t count = std::min(block, to - first);
      ReadRecordImages(first, count, images.data());
      for (std::int32_t k = 0; k < count; ++k)
        f(first + k, images.data() + static_cast<std::size_t>(k) * static_cast<std::size_t>(size));
    }
  });
}

void TKivoDataManager::LockRecordPage(std::int32_t recPos) {
  Locked([&] {
    CheckRecordStorage("LockRecordPage", false);
    records_->LockRecordPage(recPos);
  });
}

void TKivoDataManager::UnlockRecordPage(std::int32_t recPos) {
  Locked([&] {
    CheckRecordStorage("UnlockRecordPage", false);
    records_->UnlockRecordPage(recPos);
  });
}

}  // namespace kivo
