// The page journal of a container on disk: a side file that makes each page
// write whole or absent after the writing process dies.
//
// A container page rarely lines up with the operating system's pages (the
// part header shifts the stream by 280 bytes), and a write cut short by a
// fatal signal stops between two of them: the page on disk is then half new,
// half old, fails its checksum and takes the records it already held with it.
// So every page write is first copied, with its stream offset and a CRC, into
// the journal beside the container, and only then made in place. When the
// process dies during the in-place write, the next writable open finds the
// journal's copy intact and writes it again; when it dies while the journal
// is written, the CRC does not match and the untouched page stays as it was.
// Either way the container holds a prefix of the writes that were made.
//
// The journal only ever holds the newest page write: every page write goes
// through it, so writing its copy again never undoes a later write. A clean
// close removes the file. Memory containers have none; a read-only open
// leaves the file alone and reads the container as if the copy were written.
//
// Journal file "<container file>-journal", little-endian:
//
//   OFFSET  SIZE  CONTENT
//        0     8  Signature "KRPGJRNL"
//        8     8  st_dev of the container file when the copy was made
//       16     8  st_ino of the container file
//       24     8  Birth time of the container file in nanoseconds (0 where
//                 the file system keeps none)
//       32     8  Offset of the write in the container's stream (signed)
//       40     4  Length of the write in bytes (signed, 1 .. kMaxLength)
//       44     4  CRC-32 of bytes 0..43 followed by the written bytes
//       48     n  The bytes written
//
// A copy is trusted only when the signature, the identity of the container
// file (device, inode and birth time) and the CRC all match, so a journal left beside a container
// that was replaced by another file is ignored.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivo {

class TPageJournal {
 public:
  static constexpr int kHeaderSize = 48;
  static constexpr std::int32_t kMaxLength = 64 * 1024 * 1024;
  static constexpr char kSignature[9] = "KRPGJRNL";

  // The journal's file name for a container file.
  static std::string PathFor(const std::string& containerPath);

  // Opens or creates the journal of `containerPath` (which must exist);
  // nullptr when the file cannot be made (a folder that is not writable):
  // the container then runs without one.
  static std::unique_ptr<TPageJournal> Open(const std::string& containerPath);
  // The journal of a container opened read-only, to read its copy: nullptr
  // when there is none. It is never written.
  static std::unique_ptr<TPageJournal> OpenForReading(const std::string& containerPath);
  ~TPageJournal();
  TPageJournal(const TPageJournal&) = delete;
  TPageJournal& operator=(const TPageJournal&) = delete;

  // Copies the write of `pieces` at stream offset `offset` into the journal.
  // kNoCopy when the copy could not be made whole: the journal then holds
  // no copy at all (an older copy would undo this write if it were
  // replayed) and the write goes ahead unprotected. kUnsafe when even that
  // cannot be ensured: the caller must not write.
  enum class TRecordResult { kRecorded, kNoCopy, kUnsafe };
  TRecordResult Record(std::int64_t offset, const iovec* pieces, int count);

  // Opened for writing, the journal file was there already and no other
  // writer had it open: the writer that made it died with the container
  // open (a clean close removes the file).
  bool LeftByDeadWriter() const { return left_by_dead_writer_; }

  struct TCopy {
    std::int64_t Offset = 0;
    std::vector<std::uint8_t> Bytes;
  };
  // The journal's copy when it is whole and belongs to this container file.
  std::optional<TCopy> PendingCopy();

  // Drops the copy (the file stays, empty).
  void Clear();
  // Removes the journal file; the object is unusable afterwards.
  void Remove();

 private:
  TPageJournal(std::string path, int handle, std::uint64_t device, std::uint64_t inode,
               std::uint64_t birth);
  static std::unique_ptr<TPageJournal> OpenWith(const std::string& containerPath, int flags);

  std::string path_;
  int handle_ = -1;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  std::uint64_t birth_ = 0;
  bool unsafe_ = false;
  bool left_by_dead_writer_ = false;
  std::vector<iovec> pieces_;
};

}  // namespace kivo
