// The layout of T.idx: the saved index headers and position arrays of a
// table (little-endian).
//
//   OFFSET  SIZE           CONTENT
//   0       4              IndexChangeCount: the table's ChangeCount when written
//   4       4              IndexCount
//   8       8              Version (IEEE double, the table's version)
//   16      ...            IndexCount index headers:
//                            256 name (length byte + 255; 1 + 20 for tables
//                                of version 4.499 and below)
//                            4   FieldCount
//                            4 * FieldCount  KeyFields (-1 = identifier)
//                            (FieldCount + 7) / 8  AscendingBits
//                            (FieldCount + 7) / 8  CaseInsensitiveBits
//                            1   AllCaseInsensitive
//                            1   AllDescending
//                            1   Options (absent below version 2.2)
//   then, when RecordCount > 0, IndexCount arrays of RecordCount signed
//   32-bit record positions in key order; the file ends there.
//
// The arrays count as current only when IndexChangeCount equals the table's
// ChangeCount. Writers first store a counter that cannot be current, then
// everything else, and the real counter last, so that a writer stopped
// half-way never leaves arrays that pass as current. Of everything else,
// what lies past the file's old end goes first: a full disk refuses those
// bytes while the headers of the last save, which hold the index
// definitions, are still whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/index_key.h"

namespace kivo {

class TAbstractFile;

constexpr std::int32_t kIndexFileHeaderSize = 16;

struct TkrIndexFileContent {
  std::int32_t IndexChangeCount = 0;
  std::int32_t IndexCount = 0;
  double Version = 0;
  std::vector<TkrIndexHeader> Headers;
  // Every one of IndexCount headers was read and accepted.
  bool Valid = false;
  // Where the arrays start.
  std::int64_t ArraysOffset = 0;
};

// Whether names are stored in 21 bytes, and whether the Options byte exists,
// for a table of `version`.
bool IndexFileShortNames(double version);
bool IndexFileHasOptions(double version);
// The longest index name a table of `version` can keep.
std::int32_t MaxIndexNameLength(double version);

// Reads the header and the index headers of a T.idx. A header is rejected
// (and the whole set invalid) when its name is empty or too long, FieldCount
// is not positive or above 10 * (fieldCount + 1)^2, a key field is not a
// field of the table, or any part lies beyond the file. Never raises for
// damaged contents; Valid stays false. A file shorter than 16 bytes gives
// IndexCount 0 and Valid false. Bytes inside the file that cannot be read
// are no damage: EInOutError "ReadIndexFileHeaders - cannot read file
// \"<name>\"" is raised, so that the index definitions are never taken for
// lost and rewritten because of a failed read.
TkrIndexFileContent ReadIndexFileHeaders(TAbstractFile& file, double tableVersion,
                                         std::int32_t tableFieldCount);

// Reads array `which` (0-based) of `recordCount` positions after the headers.
// Nothing when the array is short or holds anything but every position
// 0 .. recordCount-1 exactly once.
std::optional<std::vector<std::int32_t>> ReadIndexArray(TAbstractFile& file,
                                                        const TkrIndexFileContent& content,
                                                        std::int32_t which,
                                                        std::int32_t recordCount);

// The bytes of the index headers as stored (without the 16-byte header).
std::vector<std::uint8_t> EncodeIndexHeaders(const std::vector<const TkrIndexHeader*>& headers,
                                             double version);

// Writes a whole T.idx: a non-current counter first, then the headers and
// `arrays` (one per header, or none), cuts the file, syncs it, and only then
// stores `changeCount`.
void WriteIndexFile(TAbstractFile& file, std::int32_t changeCount, double version,
                    const std::vector<const TkrIndexHeader*>& headers,
                    const std::vector<std::vector<std::int32_t>>& arrays);

// The counter stored in the first four bytes, when the file has them.
std::optional<std::int32_t> StoredIndexChangeCount(TAbstractFile& file);
// Writes the counter alone.
void StoreIndexChangeCount(TAbstractFile& file, std::int32_t changeCount);

}  // namespace kivo
