// The flush of a table: the write-behind log written out, the flush
// journal (T.jnl) and the repair of a flush that was cut short.
//
// Flush order. Every write that lands where nothing on disk points goes
// first: BLOB blocks (the directory on disk does not list them; see
// TkrBLOBDirectory::HeldParts) and records past the RecordCount of the header
// on disk. When the flush also writes in place (records the header on disk
// counts, or a changed BLOB directory), it then writes every such image
// whole to T.jnl (engine/record_journal.h) together with the new T.bif and
// the new header. Then a flush mark goes into the header, the in-place
// records and T.bif are written, T.dat (and T.bif) are flushed to the system
// when asked, and the header is written last (RecordCount, LastAutoInc,
// ChangeCount; it also clears the mark), then the length of T.dat.
//
// A writable open that finds the mark set and a whole journal of its header
// completes the flush from it (CompleteJournalledFlush); a read-only open
// reads the table through it. A mark without such a journal is left by a
// flush that wrote no journal (appends only) or by an older writer: the
// records past RecordCount are cut, and a delete that had moved the last
// record into the freed position may have left it there twice, with an
// identifier above the old LastAutoInc. RepairInterruptedFlush drops such
// copies and raises LastAutoInc.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/blob_directory.h"
#include "engine/data_manager.h"
#include "engine/index_file.h"
#include "engine/record_journal.h"
#include "engine/table_header.h"
#include "engine/table_header_check.h"
#include "platform/errors.h"
#include "platform/little_endian.h"

namespace kivo {

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

// Whether the header on disk carries the flush mark: the byte before
// ChangeCount differs from ChangeCount's low byte.
bool MarkSetOnDisk(TAbstractFile* dat, double version) {
  std::uint8_t pair[2];
  return ReadAt(dat, ChangeCountOffset(version) - 1, pair, 2) && FlushMarkSet(pair[0], pair[1]);
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

void TKivoDataManager::WriteFlushJournal(
    bool sync, std::int32_t counted,
    std::vector<std::pair<std::int32_t, const std::uint8_t*>>& inPlace,
    const std::vector<std::uint8_t>& header, const std::vector<std::uint8_t>& directory) {
  const std::optional<std::int32_t> changeCount =
      StoredChangeCount(dat_file_.get(), header_.Version);
  if (!changeCount) {
    throw Exception("TKivoDataManager.FlushBuffers - can not read the header of \"" +
                    FileName(kDataFileExt) + "\"");
  }
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
      DropRecordReadAhead();
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
  if (!MarkSetOnDisk(dat_file_.get(), header_.Version)) return;
  std::unique_ptr<TkrJournalImages> journal = ReadFlushJournal();
  // The older form holds no header: RepairInterruptedFlush takes it.
  if (!journal) return;
  const std::optional<TTableHeader> next = JournalledTableHeader(*journal, header_);
  if (!next) return;
  if (read_only_ || file_read_only_) {
    // Nothing may be written: read the table as the flush left it.
    header_ = *next;
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
  DropRecordReadAhead();  // T.dat is about to change
  const bool logged = log_ && log_->EntryCount() > 0;
  const bool directoryDue = BLOBDirectoryDue();
  if (logged || directoryDue) {
    // The new T.bif is written whole, in place.
    std::vector<std::uint8_t> directory;
    if (directoryDue) directory = BLOBDirectoryFileImage();
    // Records the header on disk counts are written in place too.
    std::int32_t counted = 0;
    std::vector<std::pair<std::int32_t, const std::uint8_t*>> inPlace;  // position, image
    if (UsesJournal()) {
      const std::optional<std::int32_t> stored =
          StoredRecordCount(dat_file_.get(), header_.Version);
      if (!stored) {
        throw Exception("TKivoDataManager.FlushBuffers - can not read the header of \"" +
                        FileName(kDataFileExt) + "\"");
      }
      counted = std::max(*stored, 0);
      if (logged) {
        log_->ForEachNewestRecord([&](std::int32_t recNo, const std::uint8_t* image) {
          if (recNo >= 0 && recNo < counted) inPlace.emplace_back(recNo, image);
        });
      }
    }
    const bool journalled = UsesJournal() && (!inPlace.empty() || directoryDue);
    if (journalled) {
      // First what nothing on disk points at: BLOB blocks (free in the
      // directory on disk) and appended records. Then the journal of
      // everything written in place.
      const bool appended = logged && log_->WriteAppendedPart(counted);
      if (sync && appended) {
        if (HasBLOBs() && bdf_file_) bdf_file_->Flush();
        dat_file_->Flush();
      }
      WriteFlushJournal(sync, counted, inPlace, TableHeadersImage(), directory);
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
    DropRecordReadAhead();
    try {
      const bool markSet = MarkSetOnDisk(dat_file_.get(), header_.Version);
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
      header_.ChangeCount =
          static_cast<std::int32_t>(static_cast<std::uint32_t>(header_.ChangeCount) + 1u);
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
