// The container's logical byte stream: TPagyHugeFile, a stream with 64-bit
// positions spread over one or more part files, and the raw part files it is
// made of (TPagyAbstractFile: on disk or in memory).
//
// Every part file starts with a 280-byte part header; the headers chain the
// parts by file name, so a container can outgrow the largest file its volume
// allows. The first part is the container file itself and may be preceded by
// unrelated bytes (a container appended to another file): its header starts
// at the base offset found when opening.
//
// Invariants (TPagyHugeFile, while open):
//   1. PartDataSize() = PartSize() - 280 >= 100.
//   2. 0 <= BaseOffset() < PartDataSize(); the first part holds
//      PartDataSize() - BaseOffset() stream bytes, every other part
//      PartDataSize() bytes.
//   3. Stream byte p lies in part k = (p + base) div PartDataSize(), at file
//      offset base + 280 + p for k = 0 and 280 + (p + base) mod PartDataSize()
//      otherwise; every part's data area therefore ends at file offset PartSize().
//   4. Parts after the first are named by a bare file name (no directory) and
//      live in the first part's folder; no name occurs twice in the chain.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kivo {

// Part header, at the start of every part file (at the base offset in the
// first part). All numbers little-endian.
//
//   OFFSET  SIZE  CONTENT
//        0     8  PartSignature: the ASCII bytes "KRMVHFSS"
//        8     8  PartSize: signed 64-bit, the full size a part file reaches
//                 before the next part is started (header included); every
//                 part repeats it, only the first part's value is read
//       16   261  NextPartName: file name (without directory) of the next
//                 part, zero-terminated; empty in the last part
//      277     3  reserved, zero
struct TPartHeader {
  char PartSignature[8];
  std::int64_t PartSize;
  char NextPartName[261];
  std::uint8_t Reserved[3];
};
static_assert(sizeof(TPartHeader) == 280, "part header is 280 bytes");
static_assert(offsetof(TPartHeader, PartSize) == 8, "PartSize at offset 8");
static_assert(offsetof(TPartHeader, NextPartName) == 16, "NextPartName at offset 16");
static_assert(offsetof(TPartHeader, Reserved) == 277, "reserved bytes at offset 277");

inline constexpr int kPartHeaderSize = 280;
inline constexpr int kPartNameSize = 261;  // NextPartName, terminator included
inline constexpr char kPartSignature[9] = "KRMVHFSS";
inline constexpr std::int64_t kMinPartDataSize = 100;
inline constexpr std::int64_t kMinPartSize = kPartHeaderSize + kMinPartDataSize;  // 380
// Part size used when the volume's limit cannot be determined.
inline constexpr std::int64_t kDefaultPartSize = 2147483647;
// The most parts one stream may have; a chain or a size needing more is refused.
inline constexpr int kMaxPartCount = 65536;
// The largest logical stream position; keeps position + base offset + part
// arithmetic far from 64-bit overflow.
inline constexpr std::int64_t kMaxStreamPosition = std::int64_t{1} << 62;
// The largest memory part (a memory stream is at most 2 GB - 1).
inline constexpr std::int64_t kMaxMemoryPartSize = 0x7FFFFFFF;

// Byte image of a part header; PartSize is written little-endian.
// `nextPartName` longer than 260 bytes is cut.
void EncodePartHeader(std::int64_t partSize, const std::string& nextPartName,
                      std::uint8_t (&out)[kPartHeaderSize]);
// The fields of a part header image; false when the signature is wrong.
// `nextPartName` is the bytes before the first zero, all 261 bytes when the
// field has no terminator (which IsValidPartName then refuses).
bool DecodePartHeader(const std::uint8_t (&in)[kPartHeaderSize], std::int64_t& partSize,
                      std::string& nextPartName);
// Whether `name` may name a part in the first part's folder: non-empty, at
// most 260 bytes, no "/" and no zero byte, not "." or "..".
bool IsValidPartName(const std::string& name);

enum class TSeekOrigin : int { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// A raw file with 64-bit positions: one part of a TPagyHugeFile.
class TPagyAbstractFile {
 public:
  TPagyAbstractFile(std::string fileName, bool readOnly, bool exclusive);
  virtual ~TPagyAbstractFile() = default;
  TPagyAbstractFile(const TPagyAbstractFile&) = delete;
  TPagyAbstractFile& operator=(const TPagyAbstractFile&) = delete;

  const std::string& FileName() const { return file_name_; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return read_only_; }

  virtual void SetExclusive(bool value) { exclusive_ = value; }
  virtual void SetPosition(std::int64_t pos) { Seek(TSeekOrigin::soFromBeginning, pos); }
  virtual std::int64_t GetPosition() { return Seek(TSeekOrigin::soFromCurrent, 0); }
  virtual void SetReadOnly(bool value) { read_only_ = value; }
  // Cuts or extends the file (zeros) to `newSize`; raises on failure.
  virtual void SetSize(std::int64_t newSize) = 0;
  // The size, leaving the position where it was; -1 when closed.
  virtual std::int64_t GetSize();
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;
  virtual void Flush() = 0;
  // Opens the file (`create`: create or empty it). False on failure.
  virtual bool Open(bool create) = 0;
  // Bytes read at the position (0 when closed or count <= 0).
  virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
  // The new position; -1 (position unchanged) when the target is negative
  // or the file is closed.
  virtual std::int64_t Seek(TSeekOrigin origin, std::int64_t offset) = 0;
  // Bytes written at the position (0 on failure).
  virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
  // Scatter / gather: the pieces in order, as one Read / Write of their
  // total size at the position would move them. Returns the bytes moved and
  // advances the position by them; a short transfer stops where it stopped.
  // This base form moves piece by piece through Read / Write.
  virtual std::int64_t ReadV(const iovec* pieces, int count);
  virtual std::int64_t WriteV(const iovec* pieces, int count);

  // Closes and opens again (without create) at the same position; false when
  // the open fails.
  bool Reopen();
  // Exactly `count` bytes, else "TPagyAbstractFile.ReadBuffer - Stream read error".
  void ReadBuffer(void* buffer, std::int32_t count);
  // Exactly `count` bytes, else "TPagyAbstractFile.WriteBuffer - Stream write error".
  void WriteBuffer(const void* buffer, std::int32_t count);
  // Copies `count` bytes from the position of `source` through a buffer of at
  // most 61440 bytes; count 0 copies the whole source from its start.
  // Returns the bytes copied.
  std::int64_t CopyFrom(TPagyAbstractFile& source, std::int64_t count);

 protected:
  std::string file_name_;
  bool exclusive_;
  bool read_only_;
};

// A disk file named by its full path, through pread/pwrite. Read-only opens
// read-only; sharing maps to advisory flock (exclusive: LOCK_EX, else
// LOCK_SH). No read-only retry: Open just answers false.
class TPagyDiskFile : public TPagyAbstractFile {
 public:
  TPagyDiskFile(std::string fileName, bool readOnly, bool exclusive);
  ~TPagyDiskFile() override;

  // When false, Open refuses a symbolic link (parts named by a chain).
  void SetFollowLinks(bool value) { follow_links_ = value; }

  void SetExclusive(bool value) override;
  void SetReadOnly(bool value) override;
  // Raises EInOutError (with errno) when the system refuses.
  void SetSize(std::int64_t newSize) override;
  std::int64_t GetSize() override;
  bool IsOpen() const override { return handle_ >= 0; }
  void Close() override;
  void Flush() override;
  bool Open(bool create) override;
  std::int32_t Read(void* buffer, std::int32_t count) override;
  std::int64_t Seek(TSeekOrigin origin, std::int64_t offset) override;
  // Count 0 truncates the file at the position.
  std::int32_t Write(const void* buffer, std::int32_t count) override;
  // One preadv / pwritev per IOV_MAX pieces.
  std::int64_t ReadV(const iovec* pieces, int count) override;
  std::int64_t WriteV(const iovec* pieces, int count) override;

 private:
  std::int64_t TransferV(bool write, const iovec* pieces, int count);

  int handle_ = -1;
  std::int64_t position_ = 0;
  bool follow_links_ = true;
};

// A memory stream, at most kMaxMemoryPartSize bytes.
class TPagyMemoryFile : public TPagyAbstractFile {
 public:
  TPagyMemoryFile(std::string fileName, bool readOnly, bool exclusive);

  // Raises when `newSize` is negative or above kMaxMemoryPartSize.
  void SetSize(std::int64_t newSize) override;
  std::int64_t GetSize() override;
  bool IsOpen() const override { return opened_; }
  void Close() override;
  void Flush() override {}
  // Open(false) raises "TPagyMemoryFile.Open - File cannot be open, only
  // creation is available."; Open(true) makes an empty stream.
  bool Open(bool create) override;
  std::int32_t Read(void* buffer, std::int32_t count) override;
  // Positions past the end are allowed; writing there fills the gap with zeros.
  std::int64_t Seek(TSeekOrigin origin, std::int64_t offset) override;
  std::int32_t Write(const void* buffer, std::int32_t count) override;

 private:
  std::vector<std::uint8_t> data_;
  std::int64_t position_ = 0;
  bool opened_ = false;
};

// The container's logical stream over a chain of part files.
class TPagyHugeFile {
 public:
  // `partSize` -1 takes the volume's largest file size (2147483647 when that
  // is unknown). Raises "File part size is too small. Minimal part size is 380"
  // when partSize - 280 < 100, "Can't Identify OS version" when the system
  // cannot be identified for the volume rule. Nothing is opened.
  TPagyHugeFile(std::string fileName, bool readOnly, bool exclusive, bool inMemory,
                std::int64_t partSize);
  // Forgets InMemory first, so memory parts are freed with the object.
  ~TPagyHugeFile();
  TPagyHugeFile(const TPagyHugeFile&) = delete;
  TPagyHugeFile& operator=(const TPagyHugeFile&) = delete;

  // `create`: deletes the part files of an existing container of that name
  // (following its chain only through signed part files in its folder) and
  // starts a new one. Otherwise opens the chain; true when it opened whole,
  // or with `ignoreErrors` when at least its first part opened. A disk
  // container whose first part cannot be opened for writing is opened
  // read-only and ReadOnly() becomes true. Raises
  // "TPagyHugeFile.InternalOpen - File is already open." when open and
  // "TPagyHugeFile.InternalOpen - File was not closed." when parts remain.
  // A failed open keeps no part open.
  bool Open(bool create, bool ignoreErrors);
  // Disk mode frees the parts; memory mode keeps them for a later Open(false).
  void Close();
  // Flushes every part.
  void Flush();

  // Raises "TPagyHugeFile.Read - Stream read error." when the position is
  // beyond the size; 0 at the end or when closed.
  std::int32_t Read(void* buffer, std::int32_t count);
  // "TPagyHugeFile.ReadBuffer - Stream read error" unless exactly `count` bytes.
  void ReadBuffer(void* buffer, std::int32_t count);
  // Grows the stream (parts appended as needed); a position beyond the size
  // first extends the stream with zeros. Returns the bytes written.
  std::int32_t Write(const void* buffer, std::int32_t count);
  // "TPagyHugeFile.WriteBuffer - Stream write error" unless exactly `count` bytes.
  void WriteBuffer(const void* buffer, std::int32_t count);
  // Scatter / gather forms of Read and Write: the same result as one Read
  // (Write) of the pieces' total size through a buffer holding them in
  // order, without that buffer. Pieces are split where a part ends.
  std::int64_t ReadV(const iovec* pieces, int count);
  std::int64_t WriteV(const iovec* pieces, int count);
  // Returns the new position. A negative target raises
  // "TPagyHugeFile.Seek - Offset < 0 from file beginning."; one beyond
  // kMaxStreamPosition raises "TPagyHugeFile.Seek - Position out of range."
  std::int64_t Seek(TSeekOrigin origin, std::int64_t offset);
  void SetPosition(std::int64_t pos) { Seek(TSeekOrigin::soFromBeginning, pos); }
  std::int64_t GetPosition() const { return position_; }
  // Grows (appending parts) or shrinks (deleting last parts) the stream;
  // Position becomes `newSize`. Raises "TPagyHugeFile.SetSize - File is not
  // open.", "... - Size out of range." (negative or beyond
  // kMaxStreamPosition), "... - Too many part files." (more than
  // kMaxPartCount), "... - Cannot create a part file.", or the part's error.
  void SetSize(std::int64_t newSize);
  std::int64_t GetSize() const { return size_; }

  // Deletes the last part file and ends the chain at the part before it.
  // Raises "TPagyHugeFile.DeleteLastPartFile - No parts to delete." when
  // fewer than two parts exist.
  void DeleteLastPartFile();

  const std::string& FileName() const { return file_name_; }
  bool ReadOnly() const { return read_only_; }
  bool Exclusive() const { return exclusive_; }
  bool InMemory() const { return in_memory_; }
  bool Opened() const { return opened_; }
  std::int64_t PartSize() const { return part_size_; }
  std::int64_t PartDataSize() const { return part_data_size_; }
  std::int64_t BaseOffset() const { return base_; }
  int PartCount() const { return static_cast<int>(parts_.size()); }
  // Full path of part `index` (0 = the container file).
  const std::string& PartFileName(int index) const { return parts_.at(index)->FileName(); }

 private:
  std::unique_ptr<TPagyAbstractFile> MakePart(const std::string& path, bool chained) const;
  bool InternalOpen(const std::string& name, bool create, bool ignoreErrors);
  // `firstPartUnopenable`: the first part file itself could not be opened.
  bool OpenChain(const std::string& name, bool& firstPartUnopenable);
  bool FindBaseOffset(TPagyAbstractFile& part, std::int64_t& base);
  void DeleteAllParts(const std::string& name);
  bool AppendPart();
  bool WritePartHeader(TPagyAbstractFile& part, std::int64_t at, const std::string& next);
  bool NameInUse(const std::string& path) const;
  // Part index and file offset of stream position `p`.
  std::int64_t PartIndexOf(std::int64_t p) const;
  std::int64_t FileOffsetOf(std::int64_t p) const;
  // Moves `want` bytes of the pieces at the position, part by part.
  std::int64_t TransferV(bool write, const iovec* pieces, int count, std::int64_t want);

  std::string file_name_;
  bool exclusive_;
  bool read_only_;
  bool in_memory_;
  std::int64_t position_ = 0;
  std::int64_t size_ = 0;
  std::int64_t part_size_ = 0;
  std::int64_t part_data_size_ = 0;
  std::vector<std::unique_ptr<TPagyAbstractFile>> parts_;
  bool opened_ = false;
  std::int64_t base_ = 0;
  std::vector<iovec> batch_;  // the pieces of one part transfer
};

}  // namespace kivo
