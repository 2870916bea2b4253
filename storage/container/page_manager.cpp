#include "storage/container/page_manager.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "platform/errors.h"
#include "platform/file_util.h"
#include "platform/little_endian.h"
#include "storage/crypto/cipher.h"
#include "storage/crypto/hash.h"
#include "storage/crypto/password.h"
#include "storage/file_layer.h"

namespace kivo {

namespace {

// The XOR-32 checksum (XOR of the little-endian 32-bit words; a tail of
// fewer than 4 bytes does not count), eight bytes at a time: the XOR of the
// two halves of the XOR of 64-bit words is the XOR of their 32-bit words.
std::uint32_t FastXor32(const std::uint8_t* src, std::size_t size) {
  if constexpr (std::endian::native != std::endian::little) return XOR32Checksum(src, size);
  std::uint64_t acc[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    for (int k = 0; k < 4; ++k) {
      acc[k] ^= LoadLE<std::uint64_t>(src + i + 8 * k);
    }
  }
  for (; i + 8 <= size; i += 8) {
    acc[0] ^= LoadLE<std::uint64_t>(src + i);
  }
  const std::uint64_t all = acc[0] ^ acc[1] ^ acc[2] ^ acc[3];
  std::uint32_t sum = static_cast<std::uint32_t>(all) ^ static_cast<std::uint32_t>(all >> 32);
  if (i + 4 <= size) sum ^= LoadLE<std::uint32_t>(src + i);
  return sum;
}

const char kHeaderCorrupted[] = "TPagybox.LoadHeader - Invalid Pagy file, header is corrupted.";

}  // namespace

// --- TContainerHeader ------------------------------------------------------

std::uint32_t TContainerHeader::U32(int offset) const {
  return LoadLE<std::uint32_t>(bytes_.data() + offset);
}

void TContainerHeader::SetU32(int offset, std::uint32_t v) {
  StoreLE<std::uint32_t>(bytes_.data() + offset, v);
}

bool TContainerHeader::SignatureIsValid() const {
  return std::memcmp(bytes_.data() + container_header::kSignature, kContainerSignature, 8) == 0;
}

void TContainerHeader::SetSignature() {
  std::memcpy(bytes_.data() + container_header::kSignature, kContainerSignature, 8);
}

std::uint32_t TContainerHeader::ComputeChecksum() const {
  return XOR32Checksum(bytes_.data() + container_header::kChecksumFrom,
                       container_header::kSize - container_header::kChecksumFrom);
}

float TContainerHeader::Version() const {
  return LoadLE<float>(bytes_.data() + container_header::kVersion);
}

void TContainerHeader::SetVersion(float v) {
  StoreLE<float>(bytes_.data() + container_header::kVersion, v);
}

// --- pages -----------------------------------------------------------------

std::uint32_t PageChecksum(std::uint8_t checksumType, const std::uint8_t* data, std::size_t size) {
  switch (checksumType) {
    case kChecksumXOR32:
      return FastXor32(data, size);
    case kChecksumCRC16:
      return CRC16ARC(0, data, size);
    default:
      return 0;  // unknown types carry no checksum
  }
}

void TPageRec::EncodeHeader(std::uint8_t* out) const {
  StoreLE<std::int32_t>(out + page_header::kNextPageNo, NextPageNo);
  StoreLE<std::uint32_t>(out + page_header::kDataChecksum, DataChecksum);
  out[page_header::kPageType] = PageType;
  out[page_header::kEncryptionType] = EncryptionType;
  out[page_header::kChecksumType] = ChecksumType;
  std::memcpy(out + page_header::kReserved, Reserved.data(), Reserved.size());
}

void TPageRec::DecodeHeader(const std::uint8_t* in) {
  NextPageNo = LoadLE<std::int32_t>(in + page_header::kNextPageNo);
  DataChecksum = LoadLE<std::uint32_t>(in + page_header::kDataChecksum);
  PageType = in[page_header::kPageType];
  EncryptionType = in[page_header::kEncryptionType];
  ChecksumType = in[page_header::kChecksumType];
  std::memcpy(Reserved.data(), in + page_header::kReserved, Reserved.size());
}

TPageRecBuffer::TPageRecBuffer(std::int32_t dataSize)
    : buffer_(static_cast<std::size_t>(dataSize > 0 ? dataSize : 0), 0) {
  rec.Data = buffer_.empty() ? nullptr : buffer_.data();
}

bool ContainerGeometryIsValid(std::int32_t pageSize, std::int32_t extentPageCount) {
  if (pageSize < MinPageSize || pageSize > kMaxPageSize || pageSize <= page_header::kSize)
    return false;
  if (extentPageCount < 1 || extentPageCount > kMaxExtentPageCount) return false;
  const std::int64_t d = pageSize - page_header::kSize;
  const std::int64_t e = extentPageCount;
  // The free-space bitmaps keep page index n at bit n of one array sliced over
  // the PFS pages; that only matches the pages each PFS page covers when a
  // slice holds whole extents and a GAM page covers whole PFS pages.
  const std::int64_t pfsBits = 8 * d - (8 * d) % e;
  if (pfsBits % 8 != 0) return false;
  const std::int64_t extentsPerPFSPage = pfsBits / e;
  if (extentsPerPFSPage < 1) return false;
  const std::int64_t gamBits = 8 * d - (8 * d) % extentsPerPFSPage;
  if (gamBits % 8 != 0 || gamBits < extentsPerPFSPage) return false;
  return gamBits % extentsPerPFSPage == 0;
}

// --- TPageFileManager ------------------------------------------------------

TPageFileManager::TPageFileManager(const std::string& fileName, std::uint16_t openMode,
                                   const std::string& password, const std::string& question,
                                   const std::string& answer, bool inMemory, std::int32_t pageSize,
                                   std::int32_t extentPageCount, std::int64_t partSize) {
  if (pageSize < MinPageSize)
    throw Exception("TPageFileManager.Create - page size should be >= " +
                    std::to_string(MinPageSize) + "bytes .");
  if (extentPageCount <= 0)
    throw Exception("TPageFileManager.Create - extent page count should be >= 1 Page.");
  file_name_ = fileName;
  in_memory_ = inMemory;
  password_ = password;
  read_only_ = OpenModeIsReadOnly(openMode);
  exclusive_ = OpenModeIsExclusive(openMode);

  if (openMode == kContainerCreate) {
    // Sizes the header page cannot describe are refused before anything is written.
    if (pageSize > kMaxPageSize)
      throw Exception("TPageFileManager.Create - page size should be <= " +
                      std::to_string(kMaxPageSize) + "bytes .");
    if (!ContainerGeometryIsValid(pageSize, extentPageCount))
      throw Exception("TPageFileManager.Create - extent page count " +
                      std::to_string(extentPageCount) + " does not suit page size " +
                      std::to_string(pageSize) + ".");
    header_.Clear();
    header_.SetSignature();
    header_.SetVersion(2.6f);
    header_.SetPageSize(pageSize);
    header_.SetExtentPageCount(extentPageCount);
    header_.SetFirstExtentPageNo(1);
    header_.SetPageCount(1);
    header_.SetEncrypted(0);
    if (!password.empty()) {
      // Built before the stream exists, so an over-long password leaves the
      // old file alone.
      header_.SetEncrypted(1);
      CreatePasswordRecord(std::span<std::uint8_t, kPasswordRecordSize>(header_.PasswordRecord(),
                                                                        kPasswordRecordSize),
                           password, question, answer);
    }
    stream_ = std::make_unique<TPagyHugeFile>(fileName, read_only_, exclusive_, inMemory, partSize);
    if (!stream_->Open(true, false))
      throw Exception("File " + ExtractFileName(fileName) + " has corrupted header.");
    SaveHeader();
    if (!inMemory && !read_only_) {
      journal_ = TPageJournal::Open(fileName);
      if (journal_) journal_->Clear();  // left by a former file of this name
    }
  } else {
    if (!FileExists(fileName)) throw Exception("File '" + fileName + "' not found");
    bool opened = false;
    try {
      stream_ = std::make_unique<TPagyHugeFile>(fileName, read_only_, exclusive_, inMemory, -1);
      opened = stream_->Open(false, true);
    } catch (const Exception&) {
      opened = false;
    }
    if (!opened) {
      stream_.reset();
      throw Exception("File " + ExtractFileName(fileName) + " has corrupted header.");
    }
    LoadHeader();
    if (!inMemory && !read_only_) {
      journal_ = TPageJournal::Open(fileName);
      writer_died_ = journal_ && journal_->LeftByDeadWriter();
      if (journal_) ReplayJournal();
    } else if (!inMemory) {
      if (auto journal = TPageJournal::OpenForReading(fileName)) {
        overlay_ = journal->PendingCopy();
        if (overlay_ && !CopyFits(*overlay_)) overlay_.reset();
      }
    }
  }
  if (header_.Encrypted() == 1) {
    // A wrong password is not detected here; it only yields a wrong key.
    CheckPassword(std::span<const std::uint8_t, kPasswordRecordSize>(header_.PasswordRecord(),
                                                                     kPasswordRecordSize),
                  password_, key_);
  }
  headers_.resize(static_cast<std::size_t>(page_header::kSize) * kRunPages);
  pieces_.resize(2 * static_cast<std::size_t>(kRunPages));
  fresh_from_ = stream_->GetSize();
}

TPageFileManager::~TPageFileManager() {
  // No write is under way any more: the journal has nothing left to protect.
  if (journal_) journal_->Remove();
}

bool TPageFileManager::CopyFits(const TPageJournal::TCopy& copy) {
  // Only page bytes are ever journaled: a copy reaching into the header page
  // or past the end of the stream is not one of ours.
  return copy.Offset >= PageSize() &&
         copy.Offset + static_cast<std::int64_t>(copy.Bytes.size()) <= stream_->GetSize();
}

void TPageFileManager::ReplayJournal() {
  const std::optional<TPageJournal::TCopy> copy = journal_->PendingCopy();
  if (copy && CopyFits(*copy)) {
    std::vector<std::uint8_t> current(copy->Bytes.size());
    const iovec into{current.data(), current.size()};
    if (ReadAt(copy->Offset, &into, 1) != static_cast<std::int64_t>(current.size()) ||
        current != copy->Bytes) {
      stream_->Seek(TSeekOrigin::soFromBeginning, copy->Offset);
      stream_->WriteBuffer(copy->Bytes.data(), static_cast<std::int32_t>(copy->Bytes.size()));
      stream_->Flush();
    }
  }
  journal_->Clear();
}

bool TPageFileManager::CheckHeader(std::int64_t offset) {
  stream_->Seek(TSeekOrigin::soFromBeginning, offset);
  stream_->ReadBuffer(header_.Bytes(), container_header::kSize);
  return header_.SignatureIsValid() && header_.HeaderChecksum() == header_.ComputeChecksum();
}

bool TPageFileManager::HeaderValuesAreSane() const {
  const TContainerHeader& h = header_;
  if (!ContainerGeometryIsValid(h.PageSize(), h.ExtentPageCount())) return false;
  if (h.FirstExtentPageNo() != 1 || h.PageCount() < 1) return false;
  // Bitmap and directory pages are pages of the container.
  if (h.GAMPageCount() < 0 || h.GAMPageCount() > h.PageCount()) return false;
  if (h.PFSPageCount() < 0 || h.PFSPageCount() > h.PageCount()) return false;
  if (h.DirPageCount() < 0 || h.DirPageCount() > h.PageCount()) return false;
  if (h.FirstDirPageNo() < 0 || h.FirstDirPageNo() >= h.PageCount()) return false;
  if (h.DirItemCount() < 0) return false;
  if (h.Encrypted() > 1) return false;
  return true;
}

void TPageFileManager::LoadHeader() {
  if (!CheckHeader(0) || !HeaderValuesAreSane()) throw Exception(kHeaderCorrupted);
}

void TPageFileManager::SaveHeader() {
  if (read_only_) return;
  header_.UpdateChecksum();
  stream_->Seek(TSeekOrigin::soFromBeginning, 0);
  stream_->WriteBuffer(header_.Bytes(), container_header::kSize);
  StreamChanged();
}

void TPageFileManager::Flush() { stream_->Flush(); }

const TCipher_Rijndael* TPageFileManager::CipherFor(std::string_view key) {
  // A cipher object restarts its feedback register for every buffer, so one
  // object per key string serves every page like a freshly keyed one.
  if (!cipher_ || cipher_key_ != key) {
    cipher_.reset();
    cipher_key_.assign(key);
    cipher_ = std::make_unique<TCipher_Rijndael>(key);
  }
  return cipher_.get();
}

bool TPageFileManager::EncodeBuffer(void* buffer, std::int32_t size, std::string_view key,
                                    std::uint8_t encryptionType) {
  if (encryptionType == kEncryptionNone) return true;
  if (encryptionType != kEncryptionRijndael)
    throw Exception("TPageFileManager.EncodeBuffer - Unknown encryption type");
  if (size < 0) return false;
  try {
    CipherFor(key)->EncodeBuffer(buffer, buffer, static_cast<std::size_t>(size));
  } catch (const Exception&) {
    return false;
  }
  return true;
}

bool TPageFileManager::DecodeBuffer(void* buffer, std::int32_t size, std::string_view key,
                                    std::uint8_t encryptionType) {
  if (encryptionType == kEncryptionNone) return true;
  if (encryptionType != kEncryptionRijndael || size < 0) return false;
  try {
    CipherFor(key)->DecodeBuffer(buffer, buffer, static_cast<std::size_t>(size));
  } catch (const Exception&) {
    return false;
  }
  return true;
}

bool TPageFileManager::CheckData(TPageRec& page, std::int32_t dataSize, bool noDecrypt,
                                 std::string_view key) {
  const auto size = static_cast<std::size_t>(dataSize);
  if ((page.ChecksumType == kChecksumXOR32 || page.ChecksumType == kChecksumCRC16) &&
      PageChecksum(page.ChecksumType, page.Data, size) != page.DataChecksum) {
    last_error_ = kPageErrChecksum;
    return false;
  }
  if (noDecrypt || page.EncryptionType == kEncryptionNone) return true;
  bool ok = page.EncryptionType == kEncryptionRijndael;
  if (ok) {
    try {
      CipherFor(key.empty() ? std::string_view(key_) : key)
          ->DecodeBuffer(page.Data, page.Data, size);
    } catch (const Exception&) {
      ok = false;
    }
  }
  if (!ok) {
    last_error_ = kPageErrDecrypt;
    return false;
  }
  return true;
}

bool TPageFileManager::SealData(TPageRec& page, std::uint8_t* header, std::int32_t dataSize,
                                std::string_view key) {
  if (!EncodeBuffer(page.Data, dataSize, key.empty() ? std::string_view(key_) : key,
                    page.EncryptionType)) {
    last_error_ = kPageErrEncrypt;
    return false;
  }
  page.DataChecksum =
      PageChecksum(page.ChecksumType, page.Data, static_cast<std::size_t>(dataSize));
  page.EncodeHeader(header);
  return true;
}

std::int64_t TPageFileManager::ReadAt(std::int64_t offset, const iovec* pieces, int count) {
  std::int64_t got = 0;
  try {
    if (offset >= stream_->GetSize()) return 0;
    stream_->Seek(TSeekOrigin::soFromBeginning, offset);
    got = stream_->ReadV(pieces, count);
  } catch (const Exception& e) {
    last_error_message_ = e.Message();
    return 0;
  }
  if (overlay_) {
    // Lay the journal's copy over the part of [offset, offset + got) it covers.
    const std::int64_t from = std::max(offset, overlay_->Offset);
    const std::int64_t to = std::min(
        offset + got, overlay_->Offset + static_cast<std::int64_t>(overlay_->Bytes.size()));
    std::int64_t at = offset;  // stream offset of the current piece
    for (int i = 0; i < count && at < to; ++i) {
      const auto len = static_cast<std::int64_t>(pieces[i].iov_len);
      const std::int64_t a = std::max(at, from);
      const std::int64_t b = std::min(at + len, to);
      if (a < b) {
        std::memcpy(static_cast<std::uint8_t*>(pieces[i].iov_base) + (a - at),
                    overlay_->Bytes.data() + (a - overlay_->Offset),
                    static_cast<std::size_t>(b - a));
      }
      at += len;
    }
  }
  return got;
}

std::int64_t TPageFileManager::WriteAt(std::int64_t offset, const iovec* pieces, int count) {
  const bool fresh = offset >= fresh_from_;
  if (journal_ && !fresh &&
      journal_->Record(offset, pieces, count) == TPageJournal::TRecordResult::kUnsafe) {
    return 0;
  }
  std::int64_t want = 0;
  for (int i = 0; i < count; ++i) want += static_cast<std::int64_t>(pieces[i].iov_len);
  fresh_from_ = std::max(fresh_from_, offset + want);
  std::int64_t put = 0;
  try {
    stream_->Seek(TSeekOrigin::soFromBeginning, offset);
    put = stream_->WriteV(pieces, count);
  } catch (const Exception& e) {
    last_error_message_ = e.Message();
    put = 0;
  }
  // A write that failed is not to be made later by a replay.
  if (journal_ && put != want) journal_->Clear();
  StreamChanged();
  return put;
}

bool TPageFileManager::ReadPage(TPageRec& page, std::int32_t pageNo, bool noDecrypt,
                                std::string_view key, std::int32_t dataSize) {
  ResetLastError();
  if (dataSize < 0) dataSize = PageDataSize();
  if (!ValidPageNo(pageNo)) {
    last_error_ = kPageErrShortHeaderRead;
    return false;
  }
  // Header and data come in one transfer, the data straight into page.Data.
  // A size beyond the page, or no buffer, reads the header alone: either is
  // refused once the header is known.
  const bool withData = dataSize > 0 && dataSize <= PageDataSize() && page.Data != nullptr;
  std::uint8_t* header = headers_.data();
  const iovec pieces[2] = {{header, page_header::kSize},
                           {page.Data, withData ? static_cast<std::size_t>(dataSize) : 0}};
  const std::int64_t got = ReadAt(PageOffset(pageNo), pieces, withData ? 2 : 1);
  if (got < page_header::kSize) {
    last_error_ = kPageErrShortHeaderRead;
    return false;
  }
  page.DecodeHeader(header);
  if (dataSize == 0) return true;
  if (page.Data == nullptr) throw Exception("TPageFileManager.ReadPage - pData is nil.");
  if (!withData || got < page_header::kSize + dataSize) {
    last_error_ = kPageErrShortDataRead;
    return false;
  }
  return CheckData(page, dataSize, noDecrypt, key);
}

bool TPageFileManager::WritePage(TPageRec& page, std::int32_t pageNo, std::string_view key,
                                 std::int32_t dataSize) {
  ResetLastError();
  if (dataSize < 0) dataSize = PageDataSize();
  const bool hasData = page.Data != nullptr && dataSize > 0;
  if (!ValidPageNo(pageNo) || read_only_) {
    last_error_ = kPageErrShortHeaderWrite;
    return false;
  }
  std::uint8_t* header = headers_.data();
  std::int64_t total = page_header::kSize;
  if (hasData) {
    if (dataSize > PageDataSize()) {
      last_error_ = kPageErrShortDataWrite;
      return false;
    }
    if (!SealData(page, header, dataSize, key)) return false;
    total += dataSize;
  } else {
    page.EncodeHeader(header);
  }
  const iovec pieces[2] = {{header, page_header::kSize},
                           {page.Data, hasData ? static_cast<std::size_t>(dataSize) : 0}};
  const std::int64_t put = WriteAt(PageOffset(pageNo), pieces, hasData ? 2 : 1);
  if (put < page_header::kSize) {
    last_error_ = kPageErrShortHeaderWrite;
    return false;
  }
  if (put < total) {
    last_error_ = kPageErrShortDataWrite;
    return false;
  }
  return true;
}

bool TPageFileManager::WritePages(TPageRec* pages, std::int32_t count, std::int32_t firstPageNo,
                                  std::string_view key, std::int32_t dataSize) {
  ResetLastError();
  if (count <= 0) return true;
  if (dataSize < 0) dataSize = PageDataSize();
  bool whole = dataSize == PageDataSize() && ValidPageNo(firstPageNo) &&
               static_cast<std::int64_t>(firstPageNo) + count - 1 < header_.PageCount() &&
               !read_only_;
  for (std::int32_t i = 0; whole && i < count; ++i) whole = pages[i].Data != nullptr;
  if (!whole) {
    // Partial pages leave gaps between the pages: page by page.
    for (std::int32_t i = 0; i < count; ++i)
      if (!WritePage(pages[i], firstPageNo + i, key, dataSize)) return false;
    return true;
  }
  // Each page's header is laid out here and its data goes from page.Data
  // itself: one gathered transfer per run, no copy of the data.
  const auto pageSize = static_cast<std::int64_t>(PageSize());
  const auto dataBytes = static_cast<std::size_t>(dataSize);
  for (std::int32_t start = 0; start < count; start += kRunPages) {
    const std::int32_t n = std::min(kRunPages, count - start);
    std::int32_t ready = 0;
    bool failed = false;
    for (; ready < n; ++ready) {
      TPageRec& page = pages[start + ready];
      std::uint8_t* header = headers_.data() + page_header::kSize * ready;
      if (!SealData(page, header, dataSize, key)) {
        failed = true;
        break;
      }
      pieces_[2 * ready] = {header, page_header::kSize};
      pieces_[2 * ready + 1] = {page.Data, dataBytes};
    }
    const std::int64_t bytes = pageSize * ready;
    const std::int64_t put =
        bytes > 0 ? WriteAt(PageOffset(firstPageNo + start), pieces_.data(), 2 * ready) : 0;
    if (put < bytes) {
      last_error_ =
          put % pageSize < page_header::kSize ? kPageErrShortHeaderWrite : kPageErrShortDataWrite;
      return false;
    }
    if (failed) return false;  // LastError -13 from SealData
  }
  return true;
}

bool TPageFileManager::ReadPages(TPageRec* pages, std::int32_t count, std::int32_t firstPageNo,
                                 bool noDecrypt, std::string_view key, std::int32_t dataSize) {
  ResetLastError();
  if (count <= 0) return true;
  if (dataSize < 0) dataSize = PageDataSize();
  bool whole = dataSize == PageDataSize() && ValidPageNo(firstPageNo) &&
               static_cast<std::int64_t>(firstPageNo) + count - 1 < header_.PageCount();
  for (std::int32_t i = 0; whole && i < count; ++i) whole = pages[i].Data != nullptr;
  if (!whole) {
    for (std::int32_t i = 0; i < count; ++i)
      if (!ReadPage(pages[i], firstPageNo + i, noDecrypt, key, dataSize)) return false;
    return true;
  }
  // The headers land here and each page's data straight in page.Data, in
  // one scattered transfer per run; the checks then run over page.Data.
  const auto pageSize = static_cast<std::int64_t>(PageSize());
  const auto dataBytes = static_cast<std::size_t>(dataSize);
  for (std::int32_t start = 0; start < count; start += kRunPages) {
    const std::int32_t n = std::min(kRunPages, count - start);
    for (std::int32_t j = 0; j < n; ++j) {
      pieces_[2 * j] = {headers_.data() + page_header::kSize * j, page_header::kSize};
      pieces_[2 * j + 1] = {pages[start + j].Data, dataBytes};
    }
    const std::int64_t got = ReadAt(PageOffset(firstPageNo + start), pieces_.data(), 2 * n);
    for (std::int32_t j = 0; j < n; ++j) {
      const std::int64_t at = pageSize * j;
      if (got < at + page_header::kSize) {
        last_error_ = kPageErrShortHeaderRead;
        return false;
      }
      TPageRec& page = pages[start + j];
      page.DecodeHeader(headers_.data() + page_header::kSize * j);
      if (got < at + pageSize) {
        last_error_ = kPageErrShortDataRead;
        return false;
      }
      if (!CheckData(page, dataSize, noDecrypt, key)) return false;
    }
  }
  return true;
}

bool TPageFileManager::ExtendFile(std::int32_t count, bool saveHeader) {
  last_error_message_.clear();
  if (count < 0 || read_only_) return false;
  const std::int32_t oldCount = header_.PageCount();
  if (static_cast<std::int64_t>(oldCount) + count > std::numeric_limits<std::int32_t>::max())
    return false;
  const std::int64_t newSize = (static_cast<std::int64_t>(oldCount) + count) * PageSize();
  try {
    stream_->SetSize(newSize);
    StreamChanged();
    if (stream_->GetSize() != newSize) return false;
    header_.SetPageCount(oldCount + count);
    if (saveHeader) SaveHeader();
    return true;
  } catch (const std::exception& e) {
    last_error_message_ = e.what();
    header_.SetPageCount(oldCount);
    return false;
  }
}

void TPageFileManager::CheckInvariants() const {
  auto fail = [](const char* what) {
    throw Exception(std::string("TPageFileManager.CheckInvariants - ") + what);
  };
  if (header_.PageSize() < MinPageSize || header_.PageSize() > kMaxPageSize)
    fail("page size out of range");
  if (!ContainerGeometryIsValid(header_.PageSize(), header_.ExtentPageCount()))
    fail("unusable geometry");
  if (header_.FirstExtentPageNo() != 1 || header_.PageCount() < 1) fail("bad page numbering");
  if (!stream_) fail("no stream");
  if (read_only_ && !stream_->ReadOnly()) fail("read-only container over a writable stream");
}

}  // namespace kivo
