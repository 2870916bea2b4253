// The roll-forward journal of a table (T.jnl): what a flush is about to
// write over data the files on disk already count.
//
// A write cut by a killed process stops between two pages of the system (or
// two page writes of a container), so a record written in place may be left
// half old, half new, and so may the BLOB directory (T.bif), which is
// rewritten whole. Appended records and BLOB blocks no record on disk points
// at cannot do harm that way, so a flush writes them first. Then it writes
// every image it is about to put in place to T.jnl, whole: the records the
// header on disk counts, the new BLOB directory when it changed, and the new
// header. Only then does it set the flush mark and write them in place, the
// header last. When the next open finds the mark set and a whole journal
// made for the header on disk, writing the journal's images again completes
// the flush; a journal that is not whole was cut before anything was
// touched and is ignored.
//
// Once the flush has written its header the journal is stale: it names a
// ChangeCount the header no longer has, and is never applied. So the file is
// not removed after each flush but written over by the next one (in a
// container that spares allocating and freeing its pages every flush); a
// clean close and the next writable open remove it. The file may therefore
// be longer than the journal at its start.
//
// Layout (little-endian):
//   0   4  "KJN2" ("KJNL": the older form, without the two parts after the
//          images; its header is not in it)
//   4   4  RecordSize
//   8   4  DataOffset
//   12  4  ChangeCount of the header on disk when the flush began
//   16  4  RecordCount of that header
//   20  4  image count N
//   24     N x (RecNo 4 bytes, stored image RecordSize bytes), RecNo ascending
//   ..  4  H, then H bytes: the new table and field headers, as written at
//          the start of T.dat
//   ..  4  D, then D bytes: the new T.bif, whole; D = 0 when it is unchanged
//   ..  4  CRC-32 of every byte before it
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/table_header.h"

namespace kivo {

inline constexpr const char kJournalMagic[4] = {'K', 'J', 'N', '2'};
inline constexpr const char kJournalMagicV1[4] = {'K', 'J', 'N', 'L'};
inline constexpr std::size_t kJournalHeaderSize = 24;
inline constexpr std::size_t kJournalCountOffset = 20;  // the image count N

// What a journal must match to belong to a table's interrupted flush.
struct TkrJournalIdentity {
  std::int32_t RecordSize = 0;
  std::int32_t DataOffset = 0;
  std::int32_t ChangeCount = 0;
  std::int32_t RecordCount = 0;
};

// Builds journals image by image.
class TkrJournalWriter {
 public:
  explicit TkrJournalWriter(const TkrJournalIdentity& identity);
  // Images must come with ascending positions.
  void Add(std::int32_t recNo, const std::uint8_t* image);
  std::int32_t Count() const { return count_; }
  // The whole journal, CRC included, with the new headers of T.dat and the
  // new T.bif (empty: unchanged).
  std::vector<std::uint8_t> Finish(const std::vector<std::uint8_t>& header,
                                   const std::vector<std::uint8_t>& directory);

 private:
  TkrJournalIdentity identity_;
  std::vector<std::uint8_t> bytes_;
  std::int32_t count_ = 0;
};

// The images of a whole journal: positions ascending, images in `Images`
// one after another.
struct TkrJournalImages {
  std::vector<std::int32_t> RecNos;
  std::vector<std::uint8_t> Images;
  bool HasHeader = false;               // false for the older form
  std::vector<std::uint8_t> Header;     // the new headers of T.dat
  std::vector<std::uint8_t> Directory;  // the new T.bif; empty when unchanged
  const std::uint8_t* Image(std::size_t i, std::int32_t recordSize) const {
    return Images.data() + i * static_cast<std::size_t>(recordSize);
  }
  // The image of `recNo`, or nullptr.
  const std::uint8_t* Find(std::int32_t recNo, std::int32_t recordSize) const;
};

// The journal's images when the bytes begin with a whole journal of
// `expected` (all four identity values equal, CRC right, every position
// below RecordCount, positions strictly ascending); nullopt otherwise. Bytes
// after the journal are not looked at (the file is reused).
std::optional<TkrJournalImages> ParseJournal(const std::vector<std::uint8_t>& bytes,
                                             const TkrJournalIdentity& expected);

// The table header the journal's flush was writing, when the journal holds
// one of the same layout (version and field count) as `onDisk`.
std::optional<TTableHeader> JournalledTableHeader(const TkrJournalImages& journal,
                                                  const TTableHeader& onDisk);

}  // namespace kivo
