// The header of a table's records file (T.dat): the table header and the
// field headers that precede the records, in the current layout and in the
// legacy layout of old tables, with the routines that turn them into bytes
// and back. Everything read here is checked before use, so a damaged header
// raises an Exception and never leads to a wild read or a huge allocation.
//
// Table header, current layout (tables of version 4.49 and above):
//
//   OFFSET  SIZE  CONTENT
//        0     4  LastAutoInc        int32: highest record identifier stored
//        4   256  IdFieldName        length byte + 255 characters, zero padded
//      260     4  FieldCount         int32: field headers that follow
//      264     4  RecordCount        int32
//      268     8  Version            double: table format version
//      276     1  IdFieldVisibility  0xF0 visible ftAutoInc field, 0xFC hidden
//      277     1  BLOBCompression    compression level ordinal
//      278     1  Encrypted          0 or 1
//      279     1  (low byte of ChangeCount; not interpreted)
//      280     4  ChangeCount        int32: bumped by every record change
//      284         field headers, 267 bytes each
//
// Field header, current layout:
//
//   OFFSET  SIZE  CONTENT
//        0   256  FieldName          length byte + 255 characters
//      256     1  FieldType          field type ordinal
//      257     2  (gap)
//      259     4  FieldSize          int32: slot size in the record image
//      263     1  Required           0 or 1
//      264     3  (not interpreted)
//
// Legacy layout (tables below version 4.49): IdFieldName is 24 bytes (length
// byte + 23 characters), a 4-byte gap follows RecordCount so that Version
// lies at offset 40 (header size 56); FieldName is 21 bytes (length byte +
// 20 characters), making a field header 32 bytes.
//
// The fixed-size record images start at
// DataOffset = header size + FieldCount * field header size. The writer
// leaves the last two uninterpreted bytes of the last field header unwritten,
// so a table without records ends two bytes before DataOffset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kivo {

// The format version of new tables, and the version of the engine.
constexpr double kTableFormatVersion = 4.5;
constexpr double kEngineVersion = 6.3;
// Tables below this version use the legacy (short) header layout.
constexpr double kLongLayoutVersion = 4.49;
// Tables below this version have an 8-byte null bitmap.
constexpr double kVariableNullBitmapVersion = 1.24;

// IdFieldVisibility values.
constexpr std::uint8_t kIdFieldVisible = 0xF0;
constexpr std::uint8_t kIdFieldHidden = 0xFC;

// Current layout.
constexpr std::size_t kTableHeaderSize = 284;
constexpr std::size_t kFieldHeaderSize = 267;
constexpr std::size_t kNameFieldSize = 256;  // length byte + 255 characters
// Legacy layout.
constexpr std::size_t kLegacyTableHeaderSize = 56;
constexpr std::size_t kLegacyFieldHeaderSize = 32;
constexpr std::size_t kLegacyIdNameSize = 24;     // length byte + 23 characters
constexpr std::size_t kLegacyFieldNameSize = 21;  // length byte + 20 characters
// Bytes of a field header after Required that the writer leaves unwritten on
// the last field header.
constexpr std::size_t kFieldHeaderUnwrittenTail = 2;

// Offsets in the current table header.
namespace table_header {
constexpr std::size_t kLastAutoInc = 0;
constexpr std::size_t kIdFieldName = 4;
constexpr std::size_t kFieldCount = 260;
constexpr std::size_t kRecordCount = 264;
constexpr std::size_t kVersion = 268;
constexpr std::size_t kIdFieldVisibility = 276;
constexpr std::size_t kBLOBCompression = 277;
constexpr std::size_t kEncrypted = 278;
constexpr std::size_t kChangeCountLowByte = 279;
constexpr std::size_t kChangeCount = 280;
static_assert(kChangeCount + 4 == kTableHeaderSize);
static_assert(kIdFieldName + kNameFieldSize == kFieldCount);
// Offsets in the legacy table header.
constexpr std::size_t kLegacyFieldCount = 28;
constexpr std::size_t kLegacyRecordCount = 32;
constexpr std::size_t kLegacyVersion = 40;
constexpr std::size_t kLegacyIdFieldVisibility = 48;
constexpr std::size_t kLegacyChangeCount = 52;
static_assert(kIdFieldName + kLegacyIdNameSize == kLegacyFieldCount);
static_assert(kLegacyChangeCount + 4 == kLegacyTableHeaderSize);
}  // namespace table_header

// Offsets in a field header; the legacy layout shifts everything after the
// name by kNameFieldSize - kLegacyFieldNameSize.
namespace field_header {
constexpr std::size_t kFieldName = 0;
constexpr std::size_t kFieldType = 256;
constexpr std::size_t kFieldSize = 259;
constexpr std::size_t kRequired = 263;
static_assert(kRequired + 1 + 3 == kFieldHeaderSize);
static_assert(kLegacyFieldHeaderSize == kFieldHeaderSize - (kNameFieldSize - kLegacyFieldNameSize));
}  // namespace field_header

// The table header in memory.
struct TTableHeader {
  std::int32_t LastAutoInc = 0;
  std::string IdFieldName;
  std::int32_t FieldCount = 0;
  std::int32_t RecordCount = 0;
  double Version = kTableFormatVersion;
  std::uint8_t IdFieldVisibility = kIdFieldHidden;
  std::uint8_t BLOBCompression = 0;
  std::uint8_t Encrypted = 0;
  std::int32_t ChangeCount = 0;
};

// A field header in memory.
struct TFieldHeader {
  std::string FieldName;
  std::uint8_t FieldType = 0;
  std::int32_t FieldSize = 0;
  std::uint8_t Required = 0;

  bool operator==(const TFieldHeader&) const = default;
};

// Whether a table of `version` uses the legacy (short) layout. Reading and
// writing use the same rule, so a table always reads back what was written.
inline bool IsLegacyLayout(double version) { return version < kLongLayoutVersion; }
std::size_t TableHeaderSizeOf(double version);
std::size_t FieldHeaderSizeOf(double version);

// The version that decides the layout of a header: the double at offset 40
// when it lies in (1.11, 4.501); otherwise 2.1, replaced by the double at
// offset 268 when the file is longer than 272 bytes and that value lies in
// (4.499, 4.501). `prefix` holds the first bytes of the file (as many as it
// has, up to kTableHeaderSize). Raises when a value it needs is missing.
double DetectTableVersion(const std::uint8_t* prefix, std::size_t prefixSize,
                          std::int64_t fileSize);

// Reads the fixed table header in the layout of `layoutVersion`. Raises when
// `size` is shorter than that header or a name's length byte exceeds its
// field. Does not validate the counts (see CheckTableHeader).
TTableHeader DecodeTableHeader(const std::uint8_t* data, std::size_t size, double layoutVersion);
// Reads one field header (`size` bytes available) in the layout of
// `layoutVersion`; the uninterpreted tail may be missing. Raises when the
// header is cut short or the name's length byte exceeds its field.
TFieldHeader DecodeFieldHeader(const std::uint8_t* data, std::size_t size, double layoutVersion);

// The whole header image (DataOffset bytes) in the layout of the header's
// Version: table header, then every field header; gaps are zero and byte 279
// holds the low byte of ChangeCount. Names longer than their field are cut.
std::vector<std::uint8_t> EncodeTableHeaders(const TTableHeader& header,
                                             const std::vector<TFieldHeader>& fields);

// The version in its shortest decimal form ("4.5", "2.1", "0"), and with two
// decimals ("4.50"); "." is the decimal separator in both.
std::string VersionText(double version);
std::string VersionText2(double version);
// The engine version as the table component reports it: "6.30 ".
std::string CurrentVersionText();

}  // namespace kivo
