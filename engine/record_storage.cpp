// The record storage of TKivoDataManager: the page cache's record source,
// the three record operations with their header effects, encryption of
// record images, the password check and the flush rules.
//
// Flush order. A flush writes, in this order: a flush mark into the header,
// the logged records, (in FlushBuffers) a flush of T.dat to the system, the
// table header (RecordCount, LastAutoInc, ChangeCount; it also clears the
// mark), the length of T.dat. A process killed at any point therefore leaves a
// header that counts only records already written: records beyond
// RecordCount are cut when the table is opened again, and no counted record
// can be a stretch of zeros, as it could if the header and the length went
// first.
//
// One state is still possible: a delete has moved the last record into the
// freed position but the header, not yet rewritten, still counts the last
// one, so one record is there twice; and a record moved that way may carry
// an identifier above the LastAutoInc of the old header. No order of
// in-place writes avoids that, so the mark shows it and the next writable
// open drops such trailing copies and raises LastAutoInc
// (RepairInterruptedFlush).
//
// In-place writes have a second hazard: a write cut by a killed process
// stops between two pages of the system, so a record written over an older
// one can be left half of each. A flush that writes below the RecordCount of
// the header on disk therefore first writes those images whole to T.jnl
// (engine/record_journal.h); the next writable open writes them again
// before it looks for copies, and read-only opens read them over T.dat.
// Appends-only flushes write no journal.
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

// ---------------------------------------------------------------------------
// Flushing

void TKivoDataManager::DisableAutoFlush() {
  Locked([&] { auto_flush_ = false; });
}

void TKivoDataManager::EnableAutoFlush(bool flushNow) {
  Locked([&] {
    auto_flush_ = true;
    if (flushNow) FlushIfDue();
  });
}

void TKivoDataManager::SetDataFileLength() {
  std::int64_t length =
      std::int64_t{data_offset_} + std::int64_t{header_.RecordCount} * layout_.RecordSize;
  if (length > kMaxFilePosition) length = kMaxFilePosition;
  if (dat_file_->GetSize() != length) dat_file_->SetSize(static_cast<std::int32_t>(length));
}

void TKivoDataManager::FlushIfDue() {
  Locked([&] {
    if (!auto_flush_ || read_only_ || file_read_only_ || !log_ || !dat_file_) return;
    if (!log_->FlushDue()) return;
    WriteLogAndHeaders(/*sync=*/false);
  });
}

namespace {

std::int32_t ChangeCountOffset(double version) {
  return static_cast<std::int32_t>(IsLegacyLayout(version) ? table_header::kLegacyChangeCount
                                                           : table_header::kChangeCount);
}

// Reads `count` bytes at `offset`; false when they are not all there.
bool ReadAt(TAbstractFile* file, std::int64_t offset, void* dest, std::int32_t count) {
  return offset >= 0 && offset + count <= kMaxFilePosition &&
         file->Seek(static_cast<std::int32_t>(offset), TAbstractFile::kFromBeginning) == offset &&
         file->Read(dest, count) == count;
}

std::optional<std::int32_t> StoredInt32(TAbstractFile* file, std::int64_t offset) {
  std::uint8_t b[4];
  if (!ReadAt(file, offset, b, 4)) return std::nullopt;
  return LoadLE<std::int32_t>(b);
}

// The ChangeCount of the header in the file, when it can be read.
std::optional<std::int32_t> StoredChangeCount(TAbstractFile* file, double version) {
  return StoredInt32(file, ChangeCountOffset(version));
}

// The RecordCount of the header in the file, when it can be read.
std::optional<std::int32_t> StoredRecordCount(TAbstractFile* file, double version) {
  return StoredInt32(
      file, static_cast<std::int64_t>(IsLegacyLayout(version) ? table_header::kLegacyRecordCount
                                                              : table_header::kRecordCount));
}

}  // namespace

void TKivoDataManager::WriteFlushJournal(bool sync, std::int32_t counted,
                                         const std::vector<std::uint8_t>& header,
                                         const std::vector<std::uint8_t>& directory) {
  const std::optional<std::int32_t> changeCount =
      StoredChangeCount(dat_file_.get(), header_.Version);
  if (!changeCount) {
    throw Exception("TKivoDataManager.FlushBuffers - can not read the header of \"" +
                    FileName(kDataFileExt) + "\"");
  }
  std::vector<std::pair<std::int32_t, const std::uint8_t*>> inPlace;
  log_->ForEachNewestRecord([&](std::int32_t recNo, const std::uint8_t* image) {
    if (recNo >= 0 && recNo < counted) inPlace.emplace_back(recNo, image);
  });
  std::sort(inPlace.begin(), inPlace.end());
  TkrJournalWriter writer({layout_.RecordSize, data_offset_, *changeCount, counted});
  for (const auto& [recNo, image] : inPlace) writer.Add(recNo, image);
  const std::vector<std::uint8_t> bytes = writer.Finish(header, directory);
  const std::string name = FileName(kJournalFileExt);
  if (bytes.size() > static_cast<std::size_t>(kMaxFilePosition)) {
    throw Exception("TKivoDataManager.FlushBuffers - can not write file \"" + name + "\"");
  }
  // An existing journal is written over, not recreated: only its first
  // bytes count (the lengths are in them).
  const bool exists = store_->FileExists(name, store_mode_);
  const TOpenFile file = store_->OpenScoped(name, store_mode_, !exists, false, false);
  if (!file) {
    throw Exception("TKivoDataManager.FlushBuffers - can not open file \"" + name + "\"");
  }
  const auto size = static_cast<std::int32_t>(bytes.size());
  if (file->Seek(0, TAbstractFile::kFromBeginning) != 0) {
    throw Exception("TKivoDataManager.FlushBuffers - can not write file \"" + name + "\"");
  }
  journal_kept_ = true;
  file->WriteBuffer(bytes.data(), size);
  if (sync) file->Flush();
}

std::vector<std::uint8_t> TKivoDataManager::TableHeadersImage() const {
  std::vector<std::uint8_t> image = EncodeTableHeaders(header_, field_headers_);
  if (!field_headers_.empty()) image.resize(image.size() - kFieldHeaderUnwrittenTail);
  return image;
}

void TKivoDataManager::RemoveJournal() {
  try {
    const std::string name = FileName(kJournalFileExt);
    if (store_->FileExists(name, store_mode_)) store_->DeleteFile(name, store_mode_);
  } catch (const std::exception&) {
    // A journal left behind is never applied: it names a ChangeCount the
    // header on disk no longer has.
  }
}

std::unique_ptr<TkrJournalImages> TKivoDataManager::ReadFlushJournal() {
  if (!UsesJournal()) return nullptr;
  const std::string name = FileName(kJournalFileExt);
  const TkrJournalIdentity identity{layout_.RecordSize, data_offset_, header_.ChangeCount,
                                    header_.RecordCount};
  try {
    if (!store_->FileExists(name, store_mode_)) return nullptr;
    const TOpenFile opened = store_->OpenScoped(name, store_mode_, false, false, true);
    TAbstractFile* file = opened.get();
    if (file == nullptr) return nullptr;
    // The file may be longer than the journal in it (it is reused): the
    // lengths inside say how much belongs to it.
    std::unique_ptr<TkrJournalImages> result;
    const std::int64_t size = file->GetSize();
    if (size >= static_cast<std::int64_t>(kJournalHeaderSize) && size <= kMaxFilePosition) {
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
      if (ReadAt(file, 0, bytes.data(), static_cast<std::int32_t>(size))) {
        if (auto images = ParseJournal(bytes, identity)) {
          result = std::make_unique<TkrJournalImages>(std::move(*images));
        }
      }
    }
    return result;
  } catch (const EInOutError&) {
    throw;  // a journal that cannot be read now may be whole: it stays
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool TKivoDataManager::WriteJournalImages(const TkrJournalImages& journal) {
  // The journal was whole before the flush wrote in place: its images are
  // exactly what the flush was writing, torn or not.
  const std::int32_t size = layout_.RecordSize;
  if (std::int64_t{data_offset_} + std::int64_t{header_.RecordCount} * size >
      dat_file_->GetSize()) {
    return false;  // records are missing: writing would leave gaps of zeros
  }
  for (std::size_t i = 0; i < journal.RecNos.size(); ++i) {
    const std::int64_t at = std::int64_t{data_offset_} + std::int64_t{journal.RecNos[i]} * size;
    if (at + size > kMaxFilePosition ||
        dat_file_->Seek(static_cast<std::int32_t>(at), TAbstractFile::kFromBeginning) != at) {
      return false;  // left for a later open
    }
    dat_file_->WriteBuffer(journal.Image(i, size), size);
  }
  return true;
}

void TKivoDataManager::RollForwardJournal(bool markSet) {
  if (!UsesJournal() || !store_->FileExists(FileName(kJournalFileExt), store_mode_)) return;
  if (markSet) {
    if (const std::unique_ptr<TkrJournalImages> journal = ReadFlushJournal()) {
      // A journal with its header is CompleteJournalledFlush's; one left
      // here was not for this header.
      if (journal->HasHeader) return;
      if (!WriteJournalImages(*journal)) return;
      dat_file_->Flush();
      DropReadAheadOf(record_source_);
      if (records_) CreateRecordCache();
    }
  }
  RemoveJournal();
  journal_kept_ = false;
}

void TKivoDataManager::CompleteJournalledFlush() {
  journal_overlay_.reset();
  last_repair_error_.clear();
  journal_pending_ = false;
  if (!UsesJournal() || !dat_file_) return;
  const std::int32_t at = ChangeCountOffset(header_.Version);
  std::uint8_t pair[2];
  if (!ReadAt(dat_file_.get(), at - 1, pair, 2) || pair[0] == pair[1]) return;
  std::unique_ptr<TkrJournalImages> journal = ReadFlushJournal();
  // The older form holds no header: RepairInterruptedFlush takes it.
  if (!journal || !journal->HasHeader) return;
  const std::size_t headerSize = TableHeaderSizeOf(header_.Version);
  if (journal->Header.size() < headerSize) return;
  const TTableHeader next = DecodeTableHeader(journal->Header.data(), headerSize, header_.Version);
  if (next.Version != header_.Version || next.FieldCount != header_.FieldCount) return;
  if (read_only_ || file_read_only_) {
    // Nothing may be written: read the table as the flush left it.
    header_ = next;
    journal_overlay_ = std::move(journal);
    return;
  }
  try {
    CompleteFlushFrom(*journal);
  } catch (const std::exception& e) {
    // The open goes on with the table as it is, and the journal stays for
    // the next open: nothing else may repair the table meanwhile.
    last_repair_error_ = e.what();
    journal_pending_ = true;
  }
}

void TKivoDataManager::CompleteFlushFrom(const TkrJournalImages& journal) {
  if (!WriteJournalImages(journal))
    throw Exception("TKivoDataManager.OpenTable - records of \"" + FileName(kDataFileExt) +
                    "\" are missing");
  if (!journal.Directory.empty() && bif_file_) {
    const auto size = static_cast<std::int32_t>(journal.Directory.size());
    bif_file_->SetSize(size);
    bif_file_->Seek(0, TAbstractFile::kFromBeginning);
    bif_file_->WriteBuffer(journal.Directory.data(), size);
    bif_file_->Flush();
  }
  dat_file_->Flush();
  dat_file_->Seek(0, TAbstractFile::kFromBeginning);
  dat_file_->WriteBuffer(journal.Header.data(), static_cast<std::int32_t>(journal.Header.size()));
  dat_file_->Flush();
  RemoveJournal();
  journal_kept_ = false;
  ReadTableHeaders(/*mayCut=*/true);
}

void TKivoDataManager::WriteLogAndHeaders(bool sync) {
  DropReadAheadOf(record_source_);  // T.dat is about to change
  const bool logged = log_ && log_->EntryCount() > 0;
  const bool directoryDue = BLOBDirectoryDue();
  if (logged || directoryDue) {
    // The new T.bif is written whole, in place.
    std::vector<std::uint8_t> directory;
    if (directoryDue) directory = BLOBDirectoryFileImage();
    // Records the header on disk counts are written in place too.
    std::int32_t counted = 0;
    bool inPlace = false;
    if (UsesJournal()) {
      const std::optional<std::int32_t> stored =
          StoredRecordCount(dat_file_.get(), header_.Version);
      if (!stored) {
        throw Exception("TKivoDataManager.FlushBuffers - can not read the header of \"" +
                        FileName(kDataFileExt) + "\"");
      }
      counted = std::max(*stored, 0);
      if (logged) {
        log_->ForEachNewestRecord([&](std::int32_t recNo, const std::uint8_t*) {
          if (recNo < counted) inPlace = true;
        });
      }
    }
    const bool journalled = UsesJournal() && (inPlace || directoryDue);
    if (journalled) {
      // First what nothing on disk points at: BLOB blocks (free in the
      // directory on disk) and appended records. Then the journal of
      // everything written in place.
      const bool appended = logged && log_->WriteAppendedPart(counted);
      if (sync && appended) {
        if (HasBLOBs() && bdf_file_) bdf_file_->Flush();
        dat_file_->Flush();
      }
      WriteFlushJournal(sync, counted, TableHeadersImage(), directory);
    }
    // Mark the header while writing in place: the byte before ChangeCount
    // gets the complement of ChangeCount's low byte on disk.
    const std::int32_t at = ChangeCountOffset(header_.Version);
    std::uint8_t low = 0;
    ReadAt(dat_file_.get(), at, &low, 1);
    const auto mark = static_cast<std::uint8_t>(~low);
    dat_file_->Seek(at - 1, TAbstractFile::kFromBeginning);
    dat_file_->WriteBuffer(&mark, 1);
    if (logged) {
      if (journalled) {
        log_->WriteInPlacePart(counted);
      } else {
        log_->FlushBuffers();
      }
    }
    if (directoryDue) WriteBLOBDirectoryFile(directory);
    if (sync) unsynced_appends_ = true;  // synced below, with any blocks
  }
  // Records, logged or appended in blocks past the log, and the BLOB
  // directory reach the disk before the header that counts them.
  if (sync && unsynced_appends_) {
    dat_file_->Flush();
    if (HasBLOBs() && bif_file_) bif_file_->Flush();
    unsynced_appends_ = false;
  }
  SaveTableHeaders();  // also clears the mark
  SetDataFileLength();
}

void TKivoDataManager::RepairInterruptedFlush() {
  Locked([&] {
    if (!dat_file_) return;
    DropReadAheadOf(record_source_);
    try {
      const std::int32_t at = ChangeCountOffset(header_.Version);
      std::uint8_t pair[2];
      const bool markSet = ReadAt(dat_file_.get(), at - 1, pair, 2) && pair[0] != pair[1];
      if (journal_pending_) return;  // the open's completion failed
      if (read_only_ || file_read_only_) {
        // Nothing may be written: read what the next writable open repairs.
        if (markSet && !journal_overlay_) journal_overlay_ = ReadFlushJournal();
        return;
      }
      // First the records the flush was writing in place, whole; then the
      // copies its deletes may have left.
      RollForwardJournal(markSet);
      if (!markSet) return;
      const std::int32_t size = layout_.RecordSize;
      std::int32_t count = header_.RecordCount;
      const std::int64_t fileSize = dat_file_->GetSize();
      if (count < 0 || size <= 0 ||
          std::int64_t{data_offset_} + std::int64_t{count} * size > fileSize) {
        return;  // records are missing: nothing here can tell copies apart
      }
      // Identifiers of every record, sorted with their positions.
      std::vector<std::pair<std::uint32_t, std::int32_t>> ids;
      ids.reserve(static_cast<std::size_t>(count));
      std::vector<std::uint8_t> image(static_cast<std::size_t>(size));
      for (std::int32_t i = 0; i < count; ++i) {
        std::uint8_t b[4];
        if (!ReadAt(dat_file_.get(),
                    std::int64_t{data_offset_} + std::int64_t{i} * size + layout_.IdOffset, b, 4)) {
          return;
        }
        ids.emplace_back(LoadLE<std::uint32_t>(b), i);
      }
      // A delete moves the last record down into the freed position; a
      // flush cut short can leave the moved record at both places, and, when
      // several deletes were logged, the stale copy need not be the last
      // record. Of records sharing an identifier the lowest position holds
      // the moved (newest) image; every higher one is a stale copy and is
      // removed as a delete would: the last record moves into it. Nothing
      // is lost: the last record is never a stale copy when it moves.
      std::vector<std::pair<std::uint32_t, std::int32_t>> sorted = ids;
      std::sort(sorted.begin(), sorted.end());
      std::vector<std::int32_t> stale;
      for (std::size_t k = 1; k < sorted.size(); ++k)
        if (sorted[k].first == sorted[k - 1].first) stale.push_back(sorted[k].second);
      std::sort(stale.rbegin(), stale.rend());
      for (const std::int32_t h : stale) {
        const std::int32_t last = count - 1;
        if (h < last) {
          if (!ReadAt(dat_file_.get(), std::int64_t{data_offset_} + std::int64_t{last} * size,
                      image.data(), size))
            return;
          dat_file_->Seek(
              static_cast<std::int32_t>(std::int64_t{data_offset_} + std::int64_t{h} * size),
              TAbstractFile::kFromBeginning);
          dat_file_->WriteBuffer(image.data(), size);
        }
        --count;
      }
      // Records moved by deletes may carry identifiers newer than the
      // LastAutoInc of the header the flush did not get to write: raise it,
      // or the next inserts would hand those identifiers out again. (Every
      // stale copy shares its identifier with a record kept.)
      std::int32_t lastId = header_.LastAutoInc;
      for (const auto& held : ids) lastId = std::max(lastId, static_cast<std::int32_t>(held.first));
      header_.LastAutoInc = lastId;
      // Records may have changed in place although the counter did not: the
      // counter moves on, so that nothing saved under it (the index arrays
      // of T.idx) passes as current.
      BumpChangeCount(header_.ChangeCount);
      if (count != header_.RecordCount) {
        header_.RecordCount = count;
        CreateRecordCache();  // drop anything read under the old count
      }
      SaveTableHeaders();
      SetDataFileLength();
      dat_file_->Flush();
    } catch (const std::exception& e) {
      // The open goes on: the record operations report what is still wrong.
      last_repair_error_ = e.what();
    }
  });
}

void TKivoDataManager::FlushBuffers() {
  Locked([&] {
    if (read_only_ || file_read_only_ || !dat_file_) return;
    const bool logEmpty = !log_ || log_->EntryCount() == 0;
    // The log is checked too: entries waiting there must never be dropped
    // just because the counter on disk happens to match.
    if (logEmpty && !BLOBDirectoryChanged() &&
        StoredChangeCount(dat_file_.get(), header_.Version) == header_.ChangeCount) {
      return;
    }
    WriteLogAndHeaders(/*sync=*/true);
    dat_file_->Flush();
  });
}

}  // namespace kivo
