// The BLOB directory of a table: the BLOB file header, one BLOB header per
// BLOB field of every record, each header's list of parts (runs of blocks in
// T.bdf), the free parts, and the BLOB map from record positions to headers.
// It lives in memory while the table is open; its image is written,
// compressed, to T.bif.
//
// BLOB file header (24 bytes, start of the image):
//   OFFSET  SIZE  CONTENT
//   0       4     BlockSize, signed 32-bit
//   4       4     FreePartCount: entries of the free-parts list
//   8       4     BlobFieldCount: BLOB fields per record
//   12      4     BlobRecordCount: records that have BLOB headers
//   16      8     Version, IEEE double (the table's version)
//
// BLOB header (32 bytes):
//   0       4     PartCount; 0 = the value is empty
//   4       4     PartsOffset: where the part list lies inside the image
//   8       4     StoredSize: bytes as stored (compressed, enciphered)
//   12      4     ValueSize: bytes of the plain value
//   16      16    CheckString: 1 length byte + up to 15 characters, the
//                 CRC-32 text form of the plain value; the rest is not read
//
// Part (8 bytes): FirstBlock, BlockCount (signed 32-bit each); free parts
// have the same shape.
//
// Image: the file header; BlobRecordCount x BlobFieldCount headers, record
// after record, BLOB fields in field order; the part lists of the headers
// with parts, in the same order; the FreePartCount free parts (the last
// bytes of the image).
//
// Invariants (CheckInvariants()):
//   1. Map.Count() == FileHeader.BlobRecordCount, and every map item m has
//      m + BlobFieldCount <= Headers.size().
//   2. FileHeader.FreePartCount == FreeParts.size() + HeldParts.size().
//   3. Every part of a header or of the free lists lies inside 0 .. BlockCount-1.
//
// Blocks freed while T.bif still gives them to a value (the directory on
// disk is older than the one in memory) are held back, not reused, until
// the directory is written: a flush that fails before writing T.bif then
// never leaves a value the file still lists overwritten by another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/int_array.h"
#include "engine/write_log.h"

namespace kivo {

namespace blob_layout {
constexpr std::size_t kFileHeaderSize = 24;
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kPartSize = 8;
constexpr std::size_t kCheckStringSize = 16;
constexpr std::size_t kMaxCheckStringLength = 15;
// Offsets inside the file header.
constexpr std::size_t kBlockSize = 0;
constexpr std::size_t kFreePartCount = 4;
constexpr std::size_t kBlobFieldCount = 8;
constexpr std::size_t kBlobRecordCount = 12;
constexpr std::size_t kVersion = 16;
// Offsets inside a BLOB header.
constexpr std::size_t kPartCount = 0;
constexpr std::size_t kPartsOffset = 4;
constexpr std::size_t kStoredSize = 8;
constexpr std::size_t kValueSize = 12;
constexpr std::size_t kCheckString = 16;
}  // namespace blob_layout

struct TBLOBFileHeader {
  std::int32_t BlockSize = 0;
  std::int32_t FreePartCount = 0;
  std::int32_t BlobFieldCount = 0;
  std::int32_t BlobRecordCount = 0;
  double Version = 0;
};

struct TkrBLOBHeader {
  std::int32_t PartsOffset = 0;
  std::int32_t StoredSize = 0;
  std::int32_t ValueSize = 0;
  std::string CheckString;  // at most 15 characters
  std::vector<TkrBLOBPart> Parts;

  std::int32_t PartCount() const { return static_cast<std::int32_t>(Parts.size()); }
  std::int64_t BlockTotal() const;
  void Clear();
};

// A damaged directory image; the message says what is wrong.
class EBLOBDirectoryError : public std::exception {
 public:
  explicit EBLOBDirectoryError(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

class TkrBLOBDirectory {
 public:
  // An empty directory (no records, no free parts).
  TkrBLOBDirectory(std::int32_t blockSize, std::int32_t blobFieldCount, double version);

  TBLOBFileHeader FileHeader;
  std::vector<TkrBLOBHeader> Headers;
  // Item p: index of record p's first header; its others follow.
  TkrIntArray Map{0, 10000, 1000};
  // Free blocks that Allocate may take.
  std::vector<TkrBLOBPart> FreeParts;
  // Freed blocks the directory on disk may still give to a value: written
  // to the image as free, taken only once that image is on disk.
  std::vector<TkrBLOBPart> HeldParts;
  // Blocks in T.bdf (its size divided by the block size at open, growing
  // as values are appended).
  std::int32_t BlockCount = 0;
  // BlockCount when the directory was last read or written: blocks from
  // here on are no value's in the directory on disk.
  std::int32_t WrittenBlockCount = 0;
  // Whether the directory differs from the image last written.
  bool Changed = false;

  std::int32_t RecordCount() const { return FileHeader.BlobRecordCount; }
  std::int32_t FieldCount() const { return FileHeader.BlobFieldCount; }
  std::int32_t BlockSize() const { return FileHeader.BlockSize; }

  // Header of BLOB field number `k` (0 .. FieldCount-1) of record `recPos`.
  // REQUIRES: both in range (callers check).
  TkrBLOBHeader& HeaderOf(std::int32_t recPos, std::int32_t k);

  // Appends empty headers for one new record. Raises
  // "TKivoDataManager.krAddBLOBRecord - blobMap.ItemCount <> blobFileHeader.RecordCount".
  void AddRecord();
  // Releases every value of record `recPos` and moves the last record's
  // headers into its place.
  void DeleteRecord(std::int32_t recPos);
  // Frees the header's parts (see Free) and empties the header.
  void Release(TkrBLOBHeader& header);
  // Appends parts to the free list, or to the held ones when they lie
  // below WrittenBlockCount.
  void Free(const std::vector<TkrBLOBPart>& parts);
  // The image returned by the last EncodeImage is on disk: held blocks are
  // free to take, and, when no record is left, T.bdf was emptied.
  void ImageWritten();
  // Takes `blocks` blocks: free parts from the end of the free list
  // backwards (splitting the last one taken when it is larger than needed),
  // then one new part at the end of T.bdf. Raises when T.bdf cannot grow by
  // that much.
  std::vector<TkrBLOBPart> Allocate(std::int32_t blocks);
  // Drops the headers of deleted records: headers in map order, map p =
  // p x FieldCount.
  void Compact();

  // The uncompressed image; compacts first and sets each header's
  // PartsOffset. Headers without a stored value are written as zeros.
  std::vector<std::uint8_t> EncodeImage();
  // Reads an image; `blobFieldCount` is what the table's field headers say.
  // Every count, offset and part is checked against the image, the block
  // count and the other parts; raises EBLOBDirectoryError for the first
  // fault.
  static TkrBLOBDirectory DecodeImage(const std::uint8_t* image, std::size_t size,
                                      std::int32_t blobFieldCount, std::int32_t blockCount);
  // Reads an image checking only what is needed to read it safely (counts
  // and offsets inside the image); Problems() then lists the rest.
  static TkrBLOBDirectory DecodeImageLoosely(const std::uint8_t* image, std::size_t size);
  // What makes a loosely read directory unusable for a table of
  // `blobFieldCount` BLOB fields before its parts are looked at: a block
  // size outside 1 .. 16 MiB, or another BLOB field count. Empty when neither.
  std::string HeaderProblem(std::int32_t blobFieldCount) const;
  // One line per fault: parts outside the block count, blocks owned twice,
  // free parts that overlap used ones, stored sizes that do not fit their
  // parts.
  std::vector<std::string> Problems() const;

  void CheckInvariants() const;
};

}  // namespace kivo
