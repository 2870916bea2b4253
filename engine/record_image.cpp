#include "engine/record_image.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/little_endian.h"
#include "storage/crypto/cipher.h"
#include "storage/crypto/hash.h"

namespace kivo {

namespace {
std::uint8_t* Bytes(void* p) { return static_cast<std::uint8_t*>(p); }
const std::uint8_t* Bytes(const void* p) { return static_cast<const std::uint8_t*>(p); }
}  // namespace

TkrRecordLayout TkrRecordLayout::Compute(std::int32_t dataSize, std::int32_t fieldCount,
                                         double version) {
  if (dataSize < 0 || fieldCount < 0) {
    throw Exception("Error in TKivoDataManager.OpenTable - invalid record size");
  }
  TkrRecordLayout l;
  l.FieldCount = fieldCount;
  l.DataSize = dataSize;
  l.NullBitmapSize = version < kWideBitmapVersion ? 8 : (fieldCount + 7) / 8;
  l.TailSize = std::max(l.NullBitmapSize + kIdSize + kCheckStringSize, kMinTailSize);
  if (std::int64_t{dataSize} + l.TailSize > kMaxRecordSize) {
    throw Exception("Error in TKivoDataManager.OpenTable - invalid record size");
  }
  l.RecordSize = dataSize + l.TailSize;
  l.IdOffset = dataSize;
  l.NullBitmapOffset = dataSize + kIdSize;
  l.CheckStringOffset = l.NullBitmapOffset + l.NullBitmapSize;
  return l;
}

void SetRecordId(const TkrRecordLayout& layout, void* image, std::uint32_t id) {
  StoreLE<std::uint32_t>(Bytes(image) + layout.IdOffset, id);
}

void SetFieldNull(const TkrRecordLayout& layout, void* image, std::int32_t field, bool isNull) {
  if (field < 0 || field / 8 >= layout.NullBitmapSize) return;
  std::uint8_t& b = Bytes(image)[layout.NullBitmapOffset + field / 8];
  auto bit = static_cast<std::uint8_t>(1u << (field % 8));
  b = isNull ? static_cast<std::uint8_t>(b | bit) : static_cast<std::uint8_t>(b & ~bit);
}

std::string GetCheckString(const TkrRecordLayout& layout, const void* image) {
  const std::uint8_t* p = Bytes(image) + layout.CheckStringOffset;
  std::size_t n = std::min<std::size_t>(p[0], TkrRecordLayout::kMaxCheckStringLength);
  return std::string(reinterpret_cast<const char*>(p + 1), n);
}

void SetCheckString(const TkrRecordLayout& layout, void* image, std::string_view text) {
  std::uint8_t* p = Bytes(image) + layout.CheckStringOffset;
  std::size_t n = std::min<std::size_t>(text.size(), TkrRecordLayout::kMaxCheckStringLength);
  std::memset(p, 0, TkrRecordLayout::kCheckStringSize);
  p[0] = static_cast<std::uint8_t>(n);
  std::memcpy(p + 1, text.data(), n);
}

std::string CountBufferCrc(const void* buffer, std::int32_t size) {
  std::string text = THash_CRC32::CalcBuffer(buffer, static_cast<std::size_t>(std::max(0, size)));
  if (text.size() > static_cast<std::size_t>(TkrRecordLayout::kMaxCheckStringLength)) {
    text.resize(TkrRecordLayout::kMaxCheckStringLength);
  }
  return text;
}

void ChangeRecordEncryption(const TkrRecordLayout& layout, const std::string& password, void* image,
                            bool encode) {
  if (image == nullptr) {
    throw Exception("Error in TKivoDataManager.ChangeBufferEncryption - buffer 0 pointer.");
  }
  auto size = static_cast<std::size_t>(layout.DataSize);
  if (encode) {
    std::string check;
    try {
      check = CountBufferCrc(image, layout.DataSize);
    } catch (const std::exception&) {
      throw Exception("Error in TKivoDataManager.CountBufferCrc - crc calc error, encoding");
    }
    SetCheckString(layout, image, check);
    try {
      TCipher_Rijndael(password).EncodeBuffer(image, image, size);
    } catch (const std::exception&) {
      throw Exception("Error in TKivoDataManager.ChangeBufferEncryption - encoding error.");
    }
    return;
  }
  try {
    TCipher_Rijndael(password).DecodeBuffer(image, image, size);
  } catch (const std::exception&) {
    throw Exception("Error in TKivoDataManager.ChangeBufferEncryption - decoding error.");
  }
  std::string computed;
  try {
    computed = CountBufferCrc(image, layout.DataSize);
  } catch (const std::exception&) {
    throw Exception(
        "Error in TKivoDataManager.ChangeBufferEncryption - crc calc error, decoding 2");
  }
  std::string stored = GetCheckString(layout, image);
  bool same = !stored.empty();
  for (std::size_t i = 0; same && i < stored.size(); ++i) {
    same = i < computed.size() && computed[i] == stored[i];
  }
  if (!same) {
    throw Exception("Error in TKivoDataManager.ChangeBufferEncryption - crc error, decoding");
  }
}

}  // namespace kivo
