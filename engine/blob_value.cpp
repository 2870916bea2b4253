#include "engine/blob_value.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/errors.h"
#include "platform/little_endian.h"
#include "storage/compress/compress.h"
#include "storage/crypto/cipher.h"
#include "storage/crypto/hash.h"

namespace kivo {

namespace {

const char kWrite[] = "Error in TKivoDataManager.krWriteBLOBValue - ";
const char kRead[] = "Error in TKivoDataManager.krReadBLOBValue - ";

// Deflate never expands data by more than this factor.
constexpr std::int64_t kMaxDeflateRatio = 1032;
// Every PPMd block takes at least its length and its info word.
constexpr std::int64_t kMinPPMdBlockBytes = 8;
constexpr std::int64_t kPPMdBlockSizeDefault = 819200;
constexpr std::int64_t kPPMdBlockSizeMax = 1638400;

}  // namespace

std::string BLOBCheckString(const void* data, std::size_t size) {
  return THash_CRC32::CalcBuffer(data, size);
}

bool HasGraphicHeader(const std::uint8_t* data, std::size_t size) {
  return size >= 10 && data[0] == 1 && data[1] == 0 && data[2] == 0 && data[3] == 1 &&
         data[8] == 'B' && data[9] == 'M';
}

TkrEncodedBLOB EncodeBLOBValue(const std::uint8_t* data, std::size_t size, std::uint8_t level,
                               bool encrypted, const std::string& password,
                               std::int32_t blockSize) {
  const auto block = static_cast<std::size_t>(std::max(blockSize, 1));
  if (HasGraphicHeader(data, size)) {
    data += 8;
    size -= 8;
  }
  if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw Exception(std::string(kWrite) + "value too large, size = " + std::to_string(size));
  TkrEncodedBLOB out;
  out.ValueSize = static_cast<std::int32_t>(size);
  try {
    out.CheckString = BLOBCheckString(data, size);
  } catch (const std::exception&) {
    throw Exception(std::string(kWrite) + "crc calc error");
  }
  if (level != clNone) {
    std::uint32_t outSize = 0;
    bool ok = false;
    try {
      ok = krCompressBuffer(data, static_cast<std::uint32_t>(size), out.Stored,
                            static_cast<TCompressionLevel>(level), outSize);
    } catch (const std::exception&) {
      ok = false;
    }
    if (!ok || outSize == 0 ||
        outSize > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
      throw Exception(
          std::string(kWrite) + "krCompress compressing error! mode = " + std::to_string(level) +
          ", tSize = " + std::to_string(size) + ", hSize = " + std::to_string(ok ? outSize : 0));
    }
    out.Stored.resize(outSize);
  } else {
    out.Stored.reserve((size + block - 1) / block * block);
    out.Stored.assign(data, data + size);
  }
  if (encrypted) {
    if (password.empty()) throw Exception(std::string(kWrite) + "no password specified.");
    try {
      TCipher_Rijndael(password).EncodeBuffer(out.Stored.data(), out.Stored.data(),
                                              out.Stored.size());
    } catch (const std::exception&) {
      throw Exception(std::string(kWrite) + "decoding error.");
    }
  }
  return out;
}

std::int64_t MaxPlainSize(std::uint8_t level, std::int64_t storedSize) {
  switch (level) {
    case clFastest:
      return storedSize * kMaxDeflateRatio + 1024;
    case clDefault:
      return (storedSize / kMinPPMdBlockBytes + 1) * kPPMdBlockSizeDefault;
    case clMax:
      return (storedSize / kMinPPMdBlockBytes + 1) * kPPMdBlockSizeMax;
    default:
      return storedSize;
  }
}

std::vector<std::uint8_t> DecodeBLOBValue(std::vector<std::uint8_t> stored, std::int32_t storedSize,
                                          std::int32_t valueSize, const std::string& checkString,
                                          std::uint8_t level, bool encrypted,
                                          const std::string& password, double version) {
  if (encrypted) {
    if (password.empty()) throw Exception(std::string(kRead) + "no password specified.");
    try {
      TCipher_Rijndael(password).DecodeBuffer(stored.data(), stored.data(),
                                              static_cast<std::size_t>(storedSize));
    } catch (const std::exception&) {
      throw Exception(std::string(kRead) + "decoding error.");
    }
  }
  std::vector<std::uint8_t> value;
  const std::string decompressError =
      std::string(kRead) + "decompressing error, mode=" + std::to_string(level) + ".";
  if (level != clNone) {
    if (version < 2.199 && level == clFastest)
      throw Exception(std::string(kRead) +
                      "table version too old. Try to open it by KivoTable version 2.20");
    // A damaged ValueSize must not become a huge allocation.
    if (valueSize <= 0 || valueSize > MaxPlainSize(level, storedSize))
      throw Exception(decompressError);
    std::uint32_t outSize = static_cast<std::uint32_t>(valueSize);
    bool ok = false;
    try {
      ok = krDecompressBuffer(stored.data(), static_cast<std::uint32_t>(storedSize), value,
                              static_cast<TCompressionLevel>(level), outSize);
    } catch (const std::exception&) {
      ok = false;
    }
    if (!ok || outSize != static_cast<std::uint32_t>(valueSize) || value.size() < outSize)
      throw Exception(decompressError);
    value.resize(outSize);
  } else {
    if (valueSize < 0 || valueSize > storedSize) throw Exception(decompressError);
    stored.resize(static_cast<std::size_t>(valueSize));
    value = std::move(stored);
  }
  std::string computed;
  try {
    computed = BLOBCheckString(value.data(), value.size());
  } catch (const std::exception&) {
    throw Exception(std::string(kRead) + "crc error");
  }
  for (std::size_t i = 0; i < computed.size(); ++i) {
    if (i >= checkString.size() || checkString[i] != computed[i])
      throw Exception(std::string(kRead) + "crc error");
  }
  return value;
}

std::vector<std::uint8_t> PackBLOBDirectoryImage(const std::vector<std::uint8_t>& image) {
  std::vector<std::uint8_t> packed;
  std::uint32_t outSize = 0;
  if (!krCompressBuffer(image.data(), static_cast<std::uint32_t>(image.size()), packed, clFastest,
                        outSize) ||
      outSize == 0)
    throw Exception("Error in TKivoDataManager.SaveBLOBDirectory - compressing error.");
  std::vector<std::uint8_t> content(4 + static_cast<std::size_t>(outSize));
  StoreLE<std::uint32_t>(content.data(), static_cast<std::uint32_t>(image.size()));
  std::memcpy(content.data() + 4, packed.data(), outSize);
  return content;
}

std::vector<std::uint8_t> UnpackBLOBDirectoryImage(const std::vector<std::uint8_t>& content,
                                                   double version, const std::string& table) {
  if (version < 1.249) return content;
  if (version < 2.199)
    throw Exception(
        "Unsupported table format. Please ask the maintainers of the engine for a conversion of "
        "this table.");
  const std::string corrupted =
      "Table is corrupted - blob headers cannot be decompressed. TableName = " + table;
  if (content.size() < 5) throw Exception(corrupted);
  const auto length = LoadLE<std::int32_t>(content.data());
  const auto packedSize = static_cast<std::int64_t>(content.size() - 4);
  // No image shorter than its header, and none longer than deflate can give.
  if (length < 24 || length > MaxPlainSize(clFastest, packedSize)) throw Exception(corrupted);
  std::vector<std::uint8_t> image;
  std::uint32_t outSize = static_cast<std::uint32_t>(length);
  bool ok = false;
  try {
    ok = krDecompressBuffer(content.data() + 4, static_cast<std::uint32_t>(packedSize), image,
                            clFastest, outSize);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok || outSize != static_cast<std::uint32_t>(length) || image.size() < outSize)
    throw Exception(corrupted);
  image.resize(outSize);
  return image;
}

}  // namespace kivo
