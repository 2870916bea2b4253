#include "engine/table_header.h"

#include <charconv>
#include <cstring>

#include "platform/errors.h"
#include "platform/little_endian.h"

namespace kivo {

namespace {

// A length-prefixed name in a field of `fieldSize` bytes.
std::string GetName(const std::uint8_t* p, std::size_t fieldSize) {
  std::size_t length = p[0];
  if (length > fieldSize - 1)
    throw Exception("Error in TKivoDataManager.OpenTable - invalid name length " +
                    std::to_string(length) + " in table header");
  return std::string(reinterpret_cast<const char*>(p + 1), length);
}

void PutName(std::uint8_t* p, std::size_t fieldSize, const std::string& name) {
  std::size_t length = std::min(name.size(), fieldSize - 1);
  p[0] = static_cast<std::uint8_t>(length);
  std::memcpy(p + 1, name.data(), length);
}

struct Layout {
  std::size_t IdNameSize, FieldCount, RecordCount, Version, Visibility, ChangeCount, HeaderSize;
  std::size_t FieldNameSize, FieldHeaderSize;
};

Layout LayoutOf(double version) {
  using namespace table_header;
  if (IsLegacyLayout(version))
    return {kLegacyIdNameSize,      kLegacyFieldCount,        kLegacyRecordCount,
            kLegacyVersion,         kLegacyIdFieldVisibility, kLegacyChangeCount,
            kLegacyTableHeaderSize, kLegacyFieldNameSize,     kLegacyFieldHeaderSize};
  return {kNameFieldSize, kFieldCount,      kRecordCount,   kVersion,        kIdFieldVisibility,
          kChangeCount,   kTableHeaderSize, kNameFieldSize, kFieldHeaderSize};
}

[[noreturn]] void HeaderCutShort() {
  throw Exception("Error in TKivoDataManager.OpenTable - table header is cut short");
}

}  // namespace

std::size_t TableHeaderSizeOf(double version) { return LayoutOf(version).HeaderSize; }
std::size_t FieldHeaderSizeOf(double version) { return LayoutOf(version).FieldHeaderSize; }

double DetectTableVersion(const std::uint8_t* prefix, std::size_t prefixSize,
                          std::int64_t fileSize) {
  using namespace table_header;
  if (prefixSize < kLegacyVersion + 8) HeaderCutShort();
  double version = LoadLE<double>(prefix + kLegacyVersion);
  if (version > 1.11 && version < 4.501) return version;
  version = 2.1;
  if (fileSize > 272) {
    if (prefixSize < kVersion + 8) HeaderCutShort();
    double current = LoadLE<double>(prefix + kVersion);
    if (current > 4.499 && current < 4.501) version = current;
  }
  return version;
}

TTableHeader DecodeTableHeader(const std::uint8_t* data, std::size_t size, double layoutVersion) {
  Layout l = LayoutOf(layoutVersion);
  if (size < l.HeaderSize) HeaderCutShort();
  TTableHeader h;
  h.LastAutoInc = LoadLE<std::int32_t>(data + table_header::kLastAutoInc);
  h.IdFieldName = GetName(data + table_header::kIdFieldName, l.IdNameSize);
  h.FieldCount = LoadLE<std::int32_t>(data + l.FieldCount);
  h.RecordCount = LoadLE<std::int32_t>(data + l.RecordCount);
  h.Version = LoadLE<double>(data + l.Version);
  h.IdFieldVisibility = data[l.Visibility];
  h.BLOBCompression = data[l.Visibility + 1];
  h.Encrypted = data[l.Visibility + 2];
  h.ChangeCount = LoadLE<std::int32_t>(data + l.ChangeCount);
  return h;
}

TFieldHeader DecodeFieldHeader(const std::uint8_t* data, std::size_t size, double layoutVersion) {
  Layout l = LayoutOf(layoutVersion);
  std::size_t shift = kNameFieldSize - l.FieldNameSize;
  // Everything up to and including Required must be there.
  if (size < field_header::kRequired - shift + 1) HeaderCutShort();
  TFieldHeader f;
  f.FieldName = GetName(data, l.FieldNameSize);
  f.FieldType = data[field_header::kFieldType - shift];
  f.FieldSize = LoadLE<std::int32_t>(data + field_header::kFieldSize - shift);
  f.Required = data[field_header::kRequired - shift];
  return f;
}

std::vector<std::uint8_t> EncodeTableHeaders(const TTableHeader& header,
                                             const std::vector<TFieldHeader>& fields) {
  Layout l = LayoutOf(header.Version);
  std::vector<std::uint8_t> image(l.HeaderSize + fields.size() * l.FieldHeaderSize, 0);
  std::uint8_t* p = image.data();
  StoreLE<std::int32_t>(p + table_header::kLastAutoInc, header.LastAutoInc);
  PutName(p + table_header::kIdFieldName, l.IdNameSize, header.IdFieldName);
  StoreLE<std::int32_t>(p + l.FieldCount, header.FieldCount);
  StoreLE<std::int32_t>(p + l.RecordCount, header.RecordCount);
  StoreLE<double>(p + l.Version, header.Version);
  p[l.Visibility] = header.IdFieldVisibility;
  p[l.Visibility + 1] = header.BLOBCompression;
  p[l.Visibility + 2] = header.Encrypted;
  p[l.Visibility + 3] = static_cast<std::uint8_t>(header.ChangeCount);
  StoreLE<std::int32_t>(p + l.ChangeCount, header.ChangeCount);
  std::size_t shift = kNameFieldSize - l.FieldNameSize;
  std::uint8_t* f = p + l.HeaderSize;
  for (const TFieldHeader& field : fields) {
    PutName(f, l.FieldNameSize, field.FieldName);
    f[field_header::kFieldType - shift] = field.FieldType;
    StoreLE<std::int32_t>(f + field_header::kFieldSize - shift, field.FieldSize);
    f[field_header::kRequired - shift] = field.Required;
    f += l.FieldHeaderSize;
  }
  return image;
}

std::string VersionText(double version) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, version);
  return std::string(buffer, result.ptr);
}

std::string VersionText2(double version) {
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, version, std::chars_format::fixed, 2);
  return std::string(buffer, result.ptr);
}

std::string CurrentVersionText() { return VersionText2(kEngineVersion) + " "; }

}  // namespace kivo
