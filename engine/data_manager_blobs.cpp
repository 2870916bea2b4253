// BLOB storage of TKivoDataManager: the BLOB directory in T.bif, the values
// in blocks of T.bdf, and the value operations.
//
// Write order. A value's blocks go to T.bdf through the write-behind log;
// the directory that points at them is written to T.bif by the same flush,
// after them, through the flush's journal. Blocks freed while the directory
// on disk may still give them to a value are held back until it no longer
// does (TkrBLOBDirectory::HeldParts), so a new value never lands on blocks
// the directory on disk still gives to a kept one.
#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/blob_value.h"
#include "engine/data_manager.h"
#include "engine/field_types.h"
#include "platform/errors.h"
#include "platform/little_endian.h"

namespace kivo {

namespace {
// The largest block size a table may be created with; see TkrBLOBDirectory.
constexpr std::int32_t kMaxBLOBBlockSize = 1 << 24;
}  // namespace

// ---------------------------------------------------------------------------
// The directory

void TKivoDataManager::LoadBLOBDirectory() {
  blob_dir_.reset();
  if (!bif_file_ || !bdf_file_)
    throw Exception("TKivoDataManager.LoadBLOBDirectory - BLOB files are not opened.");
  // A read-only open of a table whose flush was cut short reads the
  // directory that flush was writing, as the next writable open will.
  const bool journalled = journal_overlay_ && !journal_overlay_->Directory.empty();
  std::vector<std::uint8_t> content;
  if (journalled) {
    content = journal_overlay_->Directory;
  } else {
    const std::int32_t size = bif_file_->GetSize();
    if (size < 0)
      throw Exception("TKivoDataManager.LoadBLOBDirectory - cannot read the size of " +
                      FileName(kBLOBIndexFileExt));
    content.resize(static_cast<std::size_t>(size));
    bif_file_->Seek(0, TAbstractFile::kFromBeginning);
    bif_file_->ReadBuffer(content.data(), size);
  }
  const std::vector<std::uint8_t> image =
      UnpackBLOBDirectoryImage(content, header_.Version, table_name_);

  std::int32_t blockSize = 0;
  if (image.size() >= blob_layout::kFileHeaderSize) blockSize = LoadLE<std::int32_t>(image.data());
  const std::int32_t dataSize = bdf_file_->GetSize();
  const std::int32_t blockCount = blockSize > 0 && dataSize > 0 ? dataSize / blockSize : 0;
  try {
    blob_dir_ = std::make_unique<TkrBLOBDirectory>(
        TkrBLOBDirectory::DecodeImage(image.data(), image.size(), blob_field_count_, blockCount));
  } catch (const EBLOBDirectoryError& e) {
    throw Exception("Table is corrupted - blob headers are damaged (" + std::string(e.what()) +
                    "). TableName = " + table_name_);
  }
  blob_block_size_ = blob_dir_->BlockSize();
}

void TKivoDataManager::CheckBLOBBlockSize() const {
  if (blob_block_size_ <= 0 || blob_block_size_ > kMaxBLOBBlockSize)
    throw Exception("Error in TKivoDataManager.CreateTable - BLOB block size must be 1 .. " +
                    std::to_string(kMaxBLOBBlockSize) + ", not " +
                    std::to_string(blob_block_size_));
}

void TKivoDataManager::WriteEmptyBLOBDirectory() {
  CheckBLOBBlockSize();
  blob_dir_ =
      std::make_unique<TkrBLOBDirectory>(blob_block_size_, blob_field_count_, header_.Version);
  SaveBLOBDirectory(true);
}

void TKivoDataManager::SaveBLOBDirectory(bool force) {
  Locked([&] {
    if (!blob_dir_ || !bif_file_ || !bdf_file_) return;
    if (!force && (read_only_ || file_read_only_ || !HasBLOBs() || !blob_dir_->Changed)) return;
    WriteBLOBDirectoryFile(BLOBDirectoryFileImage());
  });
}

std::vector<std::uint8_t> TKivoDataManager::BLOBDirectoryFileImage() {
  TkrBLOBDirectory& dir = *blob_dir_;
  dir.FileHeader.BlockSize = blob_block_size_;
  dir.FileHeader.Version = header_.Version;
  return PackBLOBDirectoryImage(dir.EncodeImage());
}

void TKivoDataManager::WriteBLOBDirectoryFile(const std::vector<std::uint8_t>& content) {
  // No value is left: the data file starts again from block 0.
  if (blob_dir_->RecordCount() == 0) bdf_file_->SetSize(0);
  bif_file_->SetSize(static_cast<std::int32_t>(content.size()));
  bif_file_->Seek(0, TAbstractFile::kFromBeginning);
  bif_file_->WriteBuffer(content.data(), static_cast<std::int32_t>(content.size()));
  blob_dir_->ImageWritten();
}

bool TKivoDataManager::BLOBDirectoryDue() const {
  return HasBLOBs() && blob_dir_ && bif_file_ && bdf_file_ && blob_dir_->Changed && !read_only_ &&
         !file_read_only_;
}

std::int32_t TKivoDataManager::BLOBRecordCount() const {
  return blob_dir_ ? blob_dir_->RecordCount() : header_.RecordCount;
}

bool TKivoDataManager::BLOBDirectoryChanged() const { return blob_dir_ && blob_dir_->Changed; }

void TKivoDataManager::AdjustBLOBRecordCount() {
  if (!blob_dir_) return;
  while (blob_dir_->RecordCount() > header_.RecordCount)
    blob_dir_->DeleteRecord(blob_dir_->RecordCount() - 1);
  while (blob_dir_->RecordCount() < header_.RecordCount) blob_dir_->AddRecord();
}

void TKivoDataManager::FreeBLOBs() { blob_dir_.reset(); }

void TKivoDataManager::ConvertBLOBs() {
  if (!blob_dir_) return;
  for (std::int32_t recPos = 0; recPos < blob_dir_->RecordCount(); ++recPos) {
    for (int fieldNo = 0; fieldNo < header_.FieldCount; ++fieldNo) {
      if (!IsBLOBType(field_headers_[static_cast<std::size_t>(fieldNo)].FieldType)) continue;
      TMemoryStream value;
      ReadBLOBValue(&value, fieldNo, recPos);
      WriteBLOBValue(&value, fieldNo, recPos);
    }
  }
}

// ---------------------------------------------------------------------------
// Records

void TKivoDataManager::krAddBLOBRecord() {
  Locked([&] {
    if (!blob_dir_) throw Exception("TKivoDataManager.krAddBLOBRecord - table is not opened.");
    blob_dir_->AddRecord();
  });
}

void TKivoDataManager::DeleteBLOBRecord(std::int32_t recPos) {
  Locked([&] {
    if (!blob_dir_ || blob_dir_->RecordCount() <= 0) return;
    if (recPos < 0 || recPos >= blob_dir_->RecordCount())
      throw Exception("TKivoDataManager.DeleteBLOBRecord - invalid record number, recPos = " +
                      std::to_string(recPos));
    blob_dir_->DeleteRecord(recPos);
  });
}

TkrBLOBHeader& TKivoDataManager::BLOBHeaderOf(const char* operation, int fieldNo,
                                              std::int32_t recPos) {
  const std::string prefix = std::string("Error in TKivoDataManager.") + operation + " - ";
  if (fieldNo < 0 || fieldNo >= static_cast<int>(field_headers_.size()) ||
      !IsBLOBType(field_headers_[static_cast<std::size_t>(fieldNo)].FieldType))
    throw Exception(prefix + "field " + std::to_string(fieldNo) + " is not a BLOB field.");
  if (recPos < 0 || recPos >= blob_dir_->RecordCount())
    throw Exception(prefix + "invalid record number, recPos = " + std::to_string(recPos));
  std::int32_t k = 0;
  for (int j = 0; j < fieldNo; ++j)
    if (IsBLOBType(field_headers_[static_cast<std::size_t>(j)].FieldType)) ++k;
  return blob_dir_->HeaderOf(recPos, k);
}

// ---------------------------------------------------------------------------
// Values

void TKivoDataManager::ReadBLOBValue(TMemoryStream* stream, int fieldNo, std::int32_t recPos) {
  Locked([&] {
    if (!blob_dir_ || blob_dir_->RecordCount() == 0) return;
    if (!stream)
      throw Exception("Error in TKivoDataManager.krReadBLOBValue - stream is not opened.");
    stream->Clear();
    const TkrBLOBHeader* h = &BLOBHeaderOf("krReadBLOBValue", fieldNo, recPos);
    if (h->PartCount() <= 0) return;
    if (log_ && log_->EntryCount() > 0 && !read_only_ && !file_read_only_) {
      WriteLogAndHeaders(/*sync=*/false);
      h = &BLOBHeaderOf("krReadBLOBValue", fieldNo, recPos);  // the save compacts the headers
    }
    const std::int32_t blockSize = blob_dir_->BlockSize();
    if (h->StoredSize <= 0 || std::int64_t{h->StoredSize} > h->BlockTotal() * blockSize)
      throw Exception("Error in TKivoDataManager.krReadBLOBValue - invalid stored size " +
                      std::to_string(h->StoredSize));
    std::vector<std::uint8_t> stored(static_cast<std::size_t>(h->StoredSize));
    std::int64_t at = 0;
    for (const TkrBLOBPart& part : h->Parts) {
      if (at >= h->StoredSize) break;
      const std::int64_t offset = std::int64_t{part.FirstBlock} * blockSize;
      const std::int64_t count =
          std::min(std::int64_t{part.BlockCount} * blockSize, std::int64_t{h->StoredSize} - at);
      if (part.FirstBlock < 0 || offset + count > kMaxFilePosition ||
          bdf_file_->Seek(static_cast<std::int32_t>(offset), TAbstractFile::kFromBeginning) !=
              offset ||
          bdf_file_->Read(stored.data() + at, static_cast<std::int32_t>(count)) != count)
        throw Exception("Error in TKivoDataManager.krReadBLOBValue - cannot read block " +
                        std::to_string(part.FirstBlock) + " of " + FileName(kBLOBDataFileExt));
      at += count;
    }
    std::vector<std::uint8_t> value = DecodeBLOBValue(
        std::move(stored), h->StoredSize, h->ValueSize, h->CheckString, header_.BLOBCompression,
        header_.Encrypted != 0, password_, header_.Version);
    stream->Write(value.data(), static_cast<std::int32_t>(value.size()));
    stream->Seek(0, TStream::kFromBeginning);
  });
}

void TKivoDataManager::WriteBLOBValue(TStream* stream, int fieldNo, std::int32_t recPos) {
  Locked([&] {
    if (!blob_dir_ || blob_dir_->RecordCount() == 0) return;
    if (!stream)
      throw Exception("Error in TKivoDataManager.krWriteBLOBValue - stream is not opened.");
    CheckRecordStorage("krWriteBLOBValue", true);
    BLOBHeaderOf("krWriteBLOBValue", fieldNo, recPos);  // checks before anything changes
    const std::int64_t size = stream->Size();
    if (size <= 0) {
      DeleteBLOBValue(fieldNo, recPos);
      return;
    }
    if (size > std::numeric_limits<std::int32_t>::max())
      throw Exception("Error in TKivoDataManager.krWriteBLOBValue - value too large, size = " +
                      std::to_string(size));
    const std::int32_t blockSize = blob_dir_->BlockSize();
    // A memory stream's bytes are encoded where they are.
    std::vector<std::uint8_t> copy;
    const std::uint8_t* bytes;
    if (auto* memory = dynamic_cast<TMemoryStream*>(stream)) {
      bytes = memory->Bytes().data();
    } else {
      copy.resize(static_cast<std::size_t>(size));
      stream->Seek(0, TStream::kFromBeginning);
      if (stream->Read(copy.data(), static_cast<std::int32_t>(size)) != size)
        throw Exception("Error in TKivoDataManager.krWriteBLOBValue - stream read error");
      bytes = copy.data();
    }
    TkrEncodedBLOB encoded =
        EncodeBLOBValue(bytes, static_cast<std::size_t>(size), header_.BLOBCompression,
                        header_.Encrypted != 0, password_, blockSize);
    copy.clear();
    copy.shrink_to_fit();

    const auto storedSize = static_cast<std::int64_t>(encoded.Stored.size());
    const std::int64_t blocks = (storedSize + blockSize - 1) / blockSize;
    if (blocks * blockSize > kMaxFilePosition)
      throw Exception("Error in TKivoDataManager.krWriteBLOBValue - the BLOB data file is full.");
    std::vector<TkrBLOBPart> parts = blob_dir_->Allocate(static_cast<std::int32_t>(blocks));
    TkrBLOBHeader& h = BLOBHeaderOf("krWriteBLOBValue", fieldNo, recPos);
    std::vector<TkrBLOBPart> old = std::move(h.Parts);
    h.Parts = parts;
    h.StoredSize = static_cast<std::int32_t>(storedSize);
    h.ValueSize = encoded.ValueSize;
    h.CheckString = encoded.CheckString;
    // The old value's blocks are free again (after the new ones were taken).
    blob_dir_->Free(old);

    encoded.Stored.resize(static_cast<std::size_t>(blocks * blockSize), 0);
    log_->AddBLOB(recPos, encoded.Stored.data(), static_cast<std::int32_t>(encoded.Stored.size()),
                  std::move(parts));
    FlushIfDue();
  });
}

void TKivoDataManager::DeleteBLOBValue(int fieldNo, std::int32_t recPos) {
  Locked([&] {
    if (!blob_dir_ || blob_dir_->RecordCount() <= 0) return;
    if (fieldNo < 0 || fieldNo >= static_cast<int>(field_headers_.size()))
      throw Exception(
          "Error in TKivoDataManager.DeleteBLOBValue - 0 pointer to pFieldHeader, fieldNum = ." +
          std::to_string(fieldNo));
    TkrBLOBHeader& h = BLOBHeaderOf("DeleteBLOBValue", fieldNo, recPos);
    if (h.PartCount() <= 0) return;
    CheckRecordStorage("DeleteBLOBValue", true);
    blob_dir_->Release(h);
  });
}

}  // namespace kivo
