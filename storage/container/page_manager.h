// The container's header and pages: TPageFileManager reads, writes and grows
// the fixed-size pages of a single-file container, keeps the 256-byte
// container header in memory, and encrypts and checksums page data.
//
// Every offset here is an offset in the container's logical stream
// (TPagyHugeFile); on disk the stream follows the 280-byte part header.
//
// Invariants of an open TPageFileManager (checked by CheckInvariants()):
//   1. MinPageSize <= PageSize <= kMaxPageSize, so PageDataSize >= 512.
//   2. 1 <= ExtentPageCount and the free-space geometry derived from
//      (PageSize, ExtentPageCount) covers at least one extent per bitmap page
//      (ContainerGeometryIsValid).
//   3. FirstExtentPageNo == 1 and 1 <= PageCount.
//   4. Page operations only address pages 1 .. PageCount - 1; page 0 is the
//      header page and is never read or written as a page.
//   5. ReadOnly implies that nothing is ever written to the stream.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/container/huge_file.h"
#include "storage/container/page_journal.h"

namespace kivo {

// ---------------------------------------------------------------------------
// Container header, 256 bytes at logical offset 0 (little-endian):
//
//   OFFSET  SIZE  CONTENT
//        0     8  Signature "KRPGYSGN"
//        8     4  HeaderChecksum: XOR of the 61 LE 32-bit words at 12..255
//       12     4  Version: IEEE-754 single 2.6 (66 66 26 40), not compared
//       16     4  PageSize (signed)
//       20     4  ExtentPageCount (signed)
//       24     4  FirstExtentPageNo, always 1
//       28     4  GAMPageCount: GAM/SGAM page pairs
//       32     4  PFSPageCount: PFS pages
//       36     4  DirPageCount: directory pages
//       40     4  FirstDirPageNo: first directory page, 0 while there is none
//       44     4  DirItemCount: directory items, deleted ones included
//       48     4  PageCount: pages including the header page
//       52   172  PasswordRecord (all zero when not encrypted)
//      224     1  Encrypted: 1 when created with a password
//      225    31  reserved, zero
// ---------------------------------------------------------------------------
namespace container_header {
constexpr int kSize = 256;
constexpr int kSignature = 0;
constexpr int kHeaderChecksum = 8;
constexpr int kVersion = 12;
constexpr int kPageSize = 16;
constexpr int kExtentPageCount = 20;
constexpr int kFirstExtentPageNo = 24;
constexpr int kGAMPageCount = 28;
constexpr int kPFSPageCount = 32;
constexpr int kDirPageCount = 36;
constexpr int kFirstDirPageNo = 40;
constexpr int kDirItemCount = 44;
constexpr int kPageCount = 48;
constexpr int kPasswordRecord = 52;
constexpr int kEncrypted = 224;
constexpr int kReserved = 225;
constexpr int kChecksumFrom = 12;  // the checksum covers bytes 12 .. 255
static_assert(kPasswordRecord + 172 == kEncrypted);
static_assert(kReserved + 31 == kSize);
static_assert((kSize - kChecksumFrom) / 4 == 61);
}  // namespace container_header

inline constexpr char kContainerSignature[] = "KRPGYSGN";  // 8 bytes, no terminator on disk
inline constexpr std::uint32_t kContainerVersionBits = 0x40266666;  // 2.6f

// The container header as it lies on disk, with typed access to its fields.
class TContainerHeader {
 public:
  TContainerHeader() { bytes_.fill(0); }

  std::uint8_t* Bytes() { return bytes_.data(); }
  const std::uint8_t* Bytes() const { return bytes_.data(); }
  void Clear() { bytes_.fill(0); }

  bool SignatureIsValid() const;
  void SetSignature();
  std::uint32_t HeaderChecksum() const { return U32(container_header::kHeaderChecksum); }
  // XOR of the words at 12..255, as it should be stored.
  std::uint32_t ComputeChecksum() const;
  void UpdateChecksum() { SetU32(container_header::kHeaderChecksum, ComputeChecksum()); }

  float Version() const;
  void SetVersion(float v);
  std::int32_t PageSize() const { return I32(container_header::kPageSize); }
  void SetPageSize(std::int32_t v) { SetI32(container_header::kPageSize, v); }
  std::int32_t ExtentPageCount() const { return I32(container_header::kExtentPageCount); }
  void SetExtentPageCount(std::int32_t v) { SetI32(container_header::kExtentPageCount, v); }
  std::int32_t FirstExtentPageNo() const { return I32(container_header::kFirstExtentPageNo); }
  void SetFirstExtentPageNo(std::int32_t v) { SetI32(container_header::kFirstExtentPageNo, v); }
  std::int32_t GAMPageCount() const { return I32(container_header::kGAMPageCount); }
  void SetGAMPageCount(std::int32_t v) { SetI32(container_header::kGAMPageCount, v); }
  std::int32_t PFSPageCount() const { return I32(container_header::kPFSPageCount); }
  void SetPFSPageCount(std::int32_t v) { SetI32(container_header::kPFSPageCount, v); }
  std::int32_t DirPageCount() const { return I32(container_header::kDirPageCount); }
  void SetDirPageCount(std::int32_t v) { SetI32(container_header::kDirPageCount, v); }
  std::int32_t FirstDirPageNo() const { return I32(container_header::kFirstDirPageNo); }
  void SetFirstDirPageNo(std::int32_t v) { SetI32(container_header::kFirstDirPageNo, v); }
  std::int32_t DirItemCount() const { return I32(container_header::kDirItemCount); }
  void SetDirItemCount(std::int32_t v) { SetI32(container_header::kDirItemCount, v); }
  std::int32_t PageCount() const { return I32(container_header::kPageCount); }
  void SetPageCount(std::int32_t v) { SetI32(container_header::kPageCount, v); }
  std::uint8_t* PasswordRecord() { return bytes_.data() + container_header::kPasswordRecord; }
  const std::uint8_t* PasswordRecord() const {
    return bytes_.data() + container_header::kPasswordRecord;
  }
  std::uint8_t Encrypted() const { return bytes_[container_header::kEncrypted]; }
  void SetEncrypted(std::uint8_t v) { bytes_[container_header::kEncrypted] = v; }

 private:
  std::uint32_t U32(int offset) const;
  void SetU32(int offset, std::uint32_t v);
  std::int32_t I32(int offset) const { return static_cast<std::int32_t>(U32(offset)); }
  void SetI32(int offset, std::int32_t v) { SetU32(offset, static_cast<std::uint32_t>(v)); }

  std::array<std::uint8_t, container_header::kSize> bytes_;
};
static_assert(sizeof(TContainerHeader) == container_header::kSize);

// ---------------------------------------------------------------------------
// Page header, 32 bytes at the start of every page except page 0:
//
//   OFFSET  SIZE  CONTENT
//        0     4  NextPageNo (signed): chain link, -1 = end of chain
//        4     4  DataChecksum of the data bytes as stored (after encryption)
//        8     1  PageType (TPageType); written, never tested on reading
//        9     1  EncryptionType: 0 none, 1 Rijndael
//       10     1  ChecksumType: 0 XOR-32, 1 CRC-16/ARC, other = none
//       11    21  reserved, zero
// The data bytes (PageSize - 32 of them) follow the header.
// ---------------------------------------------------------------------------
namespace page_header {
constexpr int kSize = 32;
constexpr int kNextPageNo = 0;
constexpr int kDataChecksum = 4;
constexpr int kPageType = 8;
constexpr int kEncryptionType = 9;
constexpr int kChecksumType = 10;
constexpr int kReserved = 11;
static_assert(kReserved + 21 == kSize);
}  // namespace page_header

enum TPageType : std::uint8_t {
  ptDirectory = 1,
  ptGAM = 2,
  ptSGAM = 3,
  ptPFS = 4,
  ptFileMap = 5,
  ptFileData = 6,
};

// Values of a page's EncryptionType byte.
constexpr std::uint8_t kEncryptionNone = 0;
constexpr std::uint8_t kEncryptionRijndael = 1;
// Values of a page's ChecksumType byte; any other value means "no checksum".
constexpr std::uint8_t kChecksumXOR32 = 0;
constexpr std::uint8_t kChecksumCRC16 = 1;

// The checksum of `size` data bytes for a page's ChecksumType.
std::uint32_t PageChecksum(std::uint8_t checksumType, const std::uint8_t* data, std::size_t size);

// A page in memory: the header fields, then a data buffer owned by the caller.
struct TPageRec {
  std::int32_t NextPageNo = -1;
  std::uint32_t DataChecksum = 0;
  std::uint8_t PageType = 0;
  std::uint8_t EncryptionType = 0;
  std::uint8_t ChecksumType = 0;
  std::array<std::uint8_t, 21> Reserved{};
  std::uint8_t* Data = nullptr;

  // The 32 header bytes as they are stored.
  void EncodeHeader(std::uint8_t* out) const;
  void DecodeHeader(const std::uint8_t* in);
};

// A TPageRec with a zero-filled data buffer of its own: NextPageNo -1, type
// and flags 0. The buffer is released with the object.
class TPageRecBuffer {
 public:
  explicit TPageRecBuffer(std::int32_t dataSize);
  TPageRecBuffer(const TPageRecBuffer&) = delete;
  TPageRecBuffer& operator=(const TPageRecBuffer&) = delete;

  TPageRec rec;
  std::uint8_t* data() { return buffer_.data(); }
  std::int32_t size() const { return static_cast<std::int32_t>(buffer_.size()); }

 private:
  std::vector<std::uint8_t> buffer_;
};

// Results of page operations (TPageFileManager::LastError).
constexpr std::int32_t kPageErrShortHeaderRead = -7;
constexpr std::int32_t kPageErrShortHeaderWrite = -8;
constexpr std::int32_t kPageErrShortDataRead = -9;
constexpr std::int32_t kPageErrShortDataWrite = -10;
constexpr std::int32_t kPageErrChecksum = -11;
constexpr std::int32_t kPageErrDecrypt = -12;
constexpr std::int32_t kPageErrEncrypt = -13;

// The largest page size a container may have: keeps every page buffer and
// bitmap slice of a damaged or hostile header to a sane size.
constexpr std::int32_t kMaxPageSize = 16 * 1024 * 1024;
// The largest extent page count a container may have.
constexpr std::int32_t kMaxExtentPageCount = 65536;

// Whether (pageSize, extentPageCount) give a usable free-space geometry: both
// within their limits, and every PFS page covering at least one extent.
bool ContainerGeometryIsValid(std::int32_t pageSize, std::int32_t extentPageCount);

// Open modes of a container (the file-open flags of the file layer).
constexpr std::uint16_t kContainerCreate = 0xFFFF;
constexpr std::uint16_t kOpenReadOnly = 0x0000;
constexpr std::uint16_t kOpenWriteOnly = 0x0001;
constexpr std::uint16_t kOpenReadWrite = 0x0002;
constexpr std::uint16_t kShareExclusive = 0x0010;
constexpr std::uint16_t kShareDenyWrite = 0x0020;
constexpr std::uint16_t kShareDenyRead = 0x0030;
constexpr std::uint16_t kShareDenyNone = 0x0040;
// ReadOnly: access bits 0-1 are 0. Exclusive: the 0x10 bit is set (so the
// create mode 0xFFFF is read-write and exclusive).
inline bool OpenModeIsReadOnly(std::uint16_t mode) { return (mode & 0x3) == 0; }
inline bool OpenModeIsExclusive(std::uint16_t mode) { return (mode & kShareExclusive) != 0; }

class TCipher_Rijndael;

class TPageFileManager {
 public:
  // Creates a new container (openMode 0xFFFF) or opens an existing one; an
  // open takes the geometry from the file and ignores pageSize and
  // extentPageCount. partSize -1 lets the stream choose the part size.
  // Raises the page manager's messages (bad geometry, missing file, damaged
  // header) and the stream's and password record's errors.
  TPageFileManager(const std::string& fileName, std::uint16_t openMode, const std::string& password,
                   const std::string& question, const std::string& answer, bool inMemory,
                   std::int32_t pageSize, std::int32_t extentPageCount, std::int64_t partSize);
  ~TPageFileManager();
  TPageFileManager(const TPageFileManager&) = delete;
  TPageFileManager& operator=(const TPageFileManager&) = delete;

  std::int32_t PageSize() const { return header_.PageSize(); }
  std::int32_t PageDataSize() const { return header_.PageSize() - page_header::kSize; }
  std::int32_t ExtentPageCount() const { return header_.ExtentPageCount(); }
  std::int32_t PageCount() const { return header_.PageCount(); }
  std::int64_t PageOffset(std::int32_t pageNo) const {
    return static_cast<std::int64_t>(pageNo) * header_.PageSize();
  }

  // Reads page `pageNo`: its header, then `dataSize` data bytes into
  // page.Data (-1 = PageDataSize, 0 = the header only), verifies the data
  // checksum and decrypts unless `noDecrypt`. An empty `key` means the
  // container's page key. False with LastError -7, -9, -11 or -12 on failure.
  // Raises "TPageFileManager.ReadPage - pData is nil." when data is asked
  // for without a buffer.
  bool ReadPage(TPageRec& page, std::int32_t pageNo, bool noDecrypt = false,
                std::string_view key = {}, std::int32_t dataSize = -1);
  // Writes page `pageNo`. The data is encrypted in place in page.Data with
  // page.EncryptionType and checksummed into page.DataChecksum first; with
  // dataSize 0 only the header is rewritten and DataChecksum is kept as the
  // record holds it. False with LastError -8, -10 or -13 on failure.
  bool WritePage(TPageRec& page, std::int32_t pageNo, std::string_view key = {},
                 std::int32_t dataSize = -1);
  // A run of `count` pages numbered from `firstPageNo`, pages[i] going to
  // page firstPageNo + i: the same result as WritePage / ReadPage page by
  // page, but with one stream transfer per run of up to kRunPages pages.
  // Stops at the first failing page (LastError as for one page); the pages
  // before it are done.
  bool WritePages(TPageRec* pages, std::int32_t count, std::int32_t firstPageNo,
                  std::string_view key = {}, std::int32_t dataSize = -1);
  bool ReadPages(TPageRec* pages, std::int32_t count, std::int32_t firstPageNo,
                 bool noDecrypt = false, std::string_view key = {}, std::int32_t dataSize = -1);
  static constexpr std::int32_t kRunPages = 64;

  // Grows the container by `count` pages (their content is whatever the
  // stream gives) and saves the header unless `saveHeader` is false (the
  // caller then saves it once the pages the new count names are written).
  // False, header unchanged, on failure.
  bool ExtendFile(std::int32_t count, bool saveHeader = true);

  // Reads and checks the header; raises
  // "TPagybox.LoadHeader - Invalid Pagy file, header is corrupted." when the
  // signature, the checksum or the geometry is wrong.
  void LoadHeader();
  // Writes the header with a fresh checksum; nothing when read-only.
  void SaveHeader();
  // Reads 256 bytes at `offset` into the header; true when the signature and
  // the checksum are right.
  bool CheckHeader(std::int64_t offset);
  void Flush();

  // The page cipher selected by encryptionType (0 none, 1 Rijndael), in
  // place. EncodeBuffer raises "TPageFileManager.EncodeBuffer - Unknown
  // encryption type" for other types; both return false when the cipher
  // fails (no key).
  bool EncodeBuffer(void* buffer, std::int32_t size, std::string_view key,
                    std::uint8_t encryptionType);
  bool DecodeBuffer(void* buffer, std::int32_t size, std::string_view key,
                    std::uint8_t encryptionType);

  TContainerHeader& Header() { return header_; }
  const TContainerHeader& Header() const { return header_; }
  TPagyHugeFile& Stream() { return *stream_; }
  const std::string& FileName() const { return file_name_; }
  const std::string& Password() const { return password_; }
  // The page key string (33 bytes) when encrypted, else empty.
  const std::string& Key() const { return key_; }
  bool InMemory() const { return in_memory_; }
  bool ReadOnly() const { return read_only_; }
  bool Exclusive() const { return exclusive_; }
  // A writable open of a disk container found the journal of an earlier
  // writer that did not close, and no writer is there now: that writer died
  // while the container was open.
  bool WriterDied() const { return writer_died_; }
  std::int32_t LastError() const { return last_error_; }
  // The message of the stream error behind the last failure, when a stream
  // call raised one (a page read or write reported as short, a failed
  // ExtendFile); empty otherwise. Page operations reset it with LastError,
  // ExtendFile on its own.
  const std::string& LastErrorMessage() const { return last_error_message_; }

  // Verifies the numbered invariants above; raises on a violation.
  void CheckInvariants() const;

  // Called after every change made to the container's stream: each page
  // write, header save and resize. A process that dies leaves the stream as
  // it was at one of these points, so tests copy the file here to look at
  // every state a kill can leave.
  void SetWriteObserver(std::function<void()> observer) { write_observer_ = std::move(observer); }
  // Calls the write observer; for changes made to the stream from outside.
  void StreamChanged() {
    if (write_observer_) write_observer_();
  }

 private:
  // Checks the geometry and counts of a header that passed CheckHeader.
  bool HeaderValuesAreSane() const;
  // Turns the stored data read into page.Data into the page's data, in
  // place: checks the checksum, then decrypts unless `noDecrypt`. False with
  // LastError -11 or -12 (page.Data then holds stored or partly decrypted bytes).
  bool CheckData(TPageRec& page, std::int32_t dataSize, bool noDecrypt, std::string_view key);
  // Encrypts page.Data in place, checksums it into page.DataChecksum and
  // encodes the 32 header bytes at `header`. False with LastError -13 when
  // the cipher fails.
  bool SealData(TPageRec& page, std::uint8_t* header, std::int32_t dataSize, std::string_view key);
  // Scattered read / gathered write of `pieces` at stream offset `offset`:
  // the bytes moved, 0 when the stream refuses (a read at or beyond its end).
  std::int64_t ReadAt(std::int64_t offset, const iovec* pieces, int count);
  std::int64_t WriteAt(std::int64_t offset, const iovec* pieces, int count);
  // The cipher for a key string, kept while the same key is used again.
  const TCipher_Rijndael* CipherFor(std::string_view key);
  void ResetLastError() {
    last_error_ = 0;
    last_error_message_.clear();
  }
  bool ValidPageNo(std::int32_t pageNo) const {
    return pageNo >= 1 && pageNo < header_.PageCount();
  }

  // Writes the page journal's copy again when it differs from the container
  // (the write it protects was cut short), then empties the journal.
  void ReplayJournal();

  std::unique_ptr<TPagyHugeFile> stream_;
  // Disk containers opened for writing: every page write is copied here first.
  std::unique_ptr<TPageJournal> journal_;
  // Disk containers opened read-only: a journal copy that was not written
  // back, laid over what is read from the stream.
  std::optional<TPageJournal::TCopy> overlay_;
  // Stream offset from which nothing has been written since the open and
  // nothing was there before it: the end of the stream at the open, raised
  // to the end of every write. A write that starts there lays new pages
  // where no data was, so a cut in it cannot damage what earlier writes
  // made; it skips the journal. Every later write to those pages starts
  // below the mark and is journaled. A journaled copy always ends at or
  // below the mark, so replaying it never undoes a skipped write.
  std::int64_t fresh_from_ = 0;
  bool writer_died_ = false;
  // Whether a copy read from a journal can be one this container wrote.
  bool CopyFits(const TPageJournal::TCopy& copy);
  std::string file_name_;
  bool in_memory_ = false;
  TContainerHeader header_;
  bool read_only_ = false;
  bool exclusive_ = false;
  std::string key_;
  std::int32_t last_error_ = 0;
  std::string last_error_message_;
  std::string password_;

  // Page data moves straight between the stream and the callers' buffers;
  // only the 32-byte headers of up to kRunPages pages pass through here.
  std::vector<std::uint8_t> headers_;
  std::vector<iovec> pieces_;  // header and data of each page of one run
  std::string cipher_key_;     // the key string cipher_ was made from
  std::unique_ptr<TCipher_Rijndael> cipher_;
  std::function<void()> write_observer_;
};

}  // namespace kivo
