// Reading and checking the headers of a table's records file (T.dat) as a
// whole: the table header, every field header and the layout they imply,
// checked against the file's length. The engine opens a table through this
// reader and kvbtool checks a table with it, so the two cannot disagree on
// which headers are sound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/record_image.h"
#include "engine/table_header.h"
#include "storage/file_layer.h"

namespace kivo {

// The headers of one T.dat as they are stored, and the layout they imply.
struct TTableHeaders {
  TTableHeader Header;  // IdFieldName "id" when stored empty
  std::vector<TFieldHeader> Fields;
  TkrRecordLayout Layout;
  std::int64_t DataOffset = 0;  // where the first record starts
  std::int64_t FileSize = 0;    // the length of T.dat when it was read
  // A flush was cut short: the byte before ChangeCount does not repeat its
  // low byte. The next writable open repairs the table.
  bool FlushMarked = false;

  // DataOffset + RecordCount x RecordSize: where the last counted record ends.
  std::int64_t RecordsEnd() const;
  // Whether the file holds every counted record. A longer file is what a
  // flush cut short leaves; a shorter one has lost records, and the engine
  // refuses to open it.
  bool RecordsFit() const;
};

// How field names appear in the messages of a damaged header: as stored (in
// the engine's code page), or converted to UTF-8 for a console.
enum class THeaderNames { kStored, kUtf8 };

// Reads T.dat's headers from `dat` and checks them with the engine's rules;
// `datName` names the file in messages. Raises the engine's error for an
// unknown version, counts or sizes that cannot be, a file too short for its
// field headers, or records larger than the engine allows. Does not check
// RecordsFit(): the caller decides how to report records the file lacks.
TTableHeaders ReadCheckedTableHeaders(TAbstractFile& dat, const std::string& datName,
                                      THeaderNames names = THeaderNames::kStored);

// Offset of the flush mark in a header of `version`: the byte before
// ChangeCount, which repeats ChangeCount's low byte except while a flush
// writes records.
std::size_t FlushMarkOffset(double version);
// Whether the mark and the byte after it (ChangeCount's low byte) say that a
// flush was cut short.
inline bool FlushMarkSet(std::uint8_t mark, std::uint8_t changeCountLowByte) {
  return mark != changeCountLowByte;
}

}  // namespace kivo
