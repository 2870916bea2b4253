// The stored form of one BLOB value: the graphic-header rule, the check
// string, compression at the table's level and encryption with the table
// password; and the way back, with every size read from the directory
// checked before anything is allocated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo {

struct TkrEncodedBLOB {
  std::vector<std::uint8_t> Stored;  // StoredSize bytes
  std::int32_t ValueSize = 0;
  std::string CheckString;
};

// The CRC-32 text form of `size` bytes (8 characters).
std::string BLOBCheckString(const void* data, std::size_t size);

// Whether `size` bytes at `data` are a bitmap behind the 8-byte graphic
// header of the data set framework (1, 0, 0, 1, four bytes, "BM"), whose
// header is not stored.
bool HasGraphicHeader(const std::uint8_t* data, std::size_t size);

// Encodes a value of `size` > 0 bytes. Raises, exactly:
//   "Error in TKivoDataManager.krWriteBLOBValue - crc calc error"
//   "Error in TKivoDataManager.krWriteBLOBValue - krCompress compressing error! mode = "
//     + level + ", tSize = " + value size + ", hSize = " + stored size
//   "Error in TKivoDataManager.krWriteBLOBValue - no password specified."
//   "Error in TKivoDataManager.krWriteBLOBValue - decoding error."  (enciphering failed)
// The stored bytes get room for their filler up to whole blocks of
// `blockSize` bytes, so that padding them does not copy them again.
TkrEncodedBLOB EncodeBLOBValue(const std::uint8_t* data, std::size_t size, std::uint8_t level,
                               bool encrypted, const std::string& password,
                               std::int32_t blockSize = 1);

// Decodes `stored` (its first storedSize bytes; REQUIRES: stored.size() >=
// storedSize) in place into the plain value of valueSize bytes. Raises, exactly:
//   "Error in TKivoDataManager.krReadBLOBValue - no password specified."
//   "Error in TKivoDataManager.krReadBLOBValue - decoding error."
//   "Error in TKivoDataManager.krReadBLOBValue - table version too old. Try to open it by KivoTable
//   version 2.20" "Error in TKivoDataManager.krReadBLOBValue - decompressing error, mode=" + level
//   + "."
//     (also for sizes that no stored value of that level can have)
//   "Error in TKivoDataManager.krReadBLOBValue - crc error"
std::vector<std::uint8_t> DecodeBLOBValue(std::vector<std::uint8_t> stored, std::int32_t storedSize,
                                          std::int32_t valueSize, const std::string& checkString,
                                          std::uint8_t level, bool encrypted,
                                          const std::string& password, double version);

// The largest plain size that `storedSize` compressed bytes of `level` can
// give; levels other than 1, 2 and 3 give storedSize.
std::int64_t MaxPlainSize(std::uint8_t level, std::int64_t storedSize);

// The T.bif content for a directory image: its 4-byte length, then the
// image compressed at level 1. Raises when compression fails.
std::vector<std::uint8_t> PackBLOBDirectoryImage(const std::vector<std::uint8_t>& image);
// The image inside a T.bif content of a table of `version` (the bare image
// below 1.249). Raises, exactly:
//   "Unsupported table format. " + support sentence  (compressed, below 2.199)
//   "Table is corrupted - blob headers cannot be decompressed. TableName = " + table
std::vector<std::uint8_t> UnpackBLOBDirectoryImage(const std::vector<std::uint8_t>& content,
                                                   double version, const std::string& table);

}  // namespace kivo
