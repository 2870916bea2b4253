// The record image: the fixed-size bytes of one record as stored in T.dat,
// in the page cache and in the write-behind log; its layout values, access to
// the identifier, null bitmap and check string, and the per-record
// encryption of encrypted tables.
//
// Record image (RecordSize bytes), with DataSize = the sum of the field slots
// and B = (FieldCount + 7) div 8 (8 for tables below version 1.24):
//
//   OFFSET            SIZE      CONTENT
//   0                 DataSize  field slots in field-header order
//   DataSize          4         record identifier, 32-bit LE (compared unsigned)
//   DataSize+4        B         null bitmap: bit (j mod 8) of byte (j div 8),
//                               least significant first, 1 = field j is null
//   DataSize+4+B      13        check string: 1 length byte + up to 12 chars,
//                               Base64 of the CRC-32 of bytes 0..DataSize-1
//                               of the plain record (encrypted tables only)
//   DataSize+17+B     rest      filler up to the tail size
//
// The tail (everything after the slots) is B + 17 bytes, but at least 32.
// Only the DataSize bytes of field data are enciphered; the identifier, null
// bitmap and check string stay plain.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/little_endian.h"

namespace kivo {

// The layout values a table's field headers imply.
struct TkrRecordLayout {
  static constexpr std::int32_t kIdSize = 4;
  static constexpr std::int32_t kCheckStringSize = 13;  // length byte + 12 characters
  static constexpr std::int32_t kMaxCheckStringLength = 12;
  static constexpr std::int32_t kMinTailSize = 32;
  // Tables below this version have an 8-byte null bitmap.
  static constexpr double kWideBitmapVersion = 1.24;
  // The largest record image the engine accepts (and so the largest page of
  // one record); headers asking for more are damaged.
  static constexpr std::int32_t kMaxRecordSize = 0x3FFFFFFF;

  std::int32_t FieldCount = 0;
  std::int32_t DataSize = 0;
  std::int32_t NullBitmapSize = 0;  // B
  std::int32_t TailSize = 0;
  std::int32_t RecordSize = 0;
  std::int32_t IdOffset = 0;
  std::int32_t NullBitmapOffset = 0;
  std::int32_t CheckStringOffset = 0;

  // Derives the layout. Raises "Error in TKivoDataManager.OpenTable - invalid
  // record size" when DataSize or FieldCount is negative or the record would
  // exceed kMaxRecordSize.
  static TkrRecordLayout Compute(std::int32_t dataSize, std::int32_t fieldCount, double version);
};

// Reads and writes the fixed parts of a record image. REQUIRES: `image` holds
// at least layout.RecordSize bytes.
// (The two readers are inline: every field read of a cursor asks them.)
inline std::uint32_t GetRecordId(const TkrRecordLayout& layout, const void* image) {
  return LoadLE<std::uint32_t>(static_cast<const std::uint8_t*>(image) + layout.IdOffset);
}
void SetRecordId(const TkrRecordLayout& layout, void* image, std::uint32_t id);
// REQUIRES: 0 <= field < layout.FieldCount (fields past the bitmap read as not null).
inline bool IsFieldNull(const TkrRecordLayout& layout, const void* image, std::int32_t field) {
  if (field < 0 || field / 8 >= layout.NullBitmapSize) return false;
  return (static_cast<const std::uint8_t*>(image)[layout.NullBitmapOffset + field / 8] >>
          (field % 8)) &
         1;
}
void SetFieldNull(const TkrRecordLayout& layout, void* image, std::int32_t field, bool isNull);
// The stored check string (its length byte clamped to 12).
std::string GetCheckString(const TkrRecordLayout& layout, const void* image);
// Stores at most 12 characters.
void SetCheckString(const TkrRecordLayout& layout, void* image, std::string_view text);

// The check string of `size` bytes: the text form of their CRC-32, cut to at
// most 12 characters.
std::string CountBufferCrc(const void* buffer, std::int32_t size);

// Enciphers (encode) or deciphers (decode) one record image in place with a
// freshly keyed cipher from `password`. Encoding first stores the check
// string of the plain field data; decoding verifies it afterwards.
// Raises, exactly:
//   "Error in TKivoDataManager.ChangeBufferEncryption - buffer 0 pointer."
//   "Error in TKivoDataManager.CountBufferCrc - crc calc error, encoding"
//   "Error in TKivoDataManager.ChangeBufferEncryption - encoding error."
//   "Error in TKivoDataManager.ChangeBufferEncryption - decoding error."
//   "Error in TKivoDataManager.ChangeBufferEncryption - crc error, decoding"
//     (an empty stored check string, or any difference from the computed one)
//   "Error in TKivoDataManager.ChangeBufferEncryption - crc calc error, decoding 2"
void ChangeRecordEncryption(const TkrRecordLayout& layout, const std::string& password, void* image,
                            bool encode);

}  // namespace kivo
