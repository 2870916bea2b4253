#include "engine/table_header_check.h"

#include <algorithm>
#include <utility>

#include "engine/field_types.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

namespace {

[[noreturn]] void RaiseBadHeader(const std::string& what) {
  throw Exception("Error in TKivoDataManager.OpenTable - " + what);
}

// The table header, its version checked against the layout it was read with.
TTableHeader ReadTableHeader(const std::uint8_t* prefix, std::size_t prefixSize,
                             std::int64_t fileSize, const std::string& datName) {
  const double layoutVersion = DetectTableVersion(prefix, prefixSize, fileSize);
  TTableHeader header = DecodeTableHeader(prefix, prefixSize, layoutVersion);
  if (!(header.Version >= 1.0))  // also catches a Version that is not a number
    throw Exception("Error opening table - invalid version = " + VersionText(header.Version));
  if (header.IdFieldName.empty()) header.IdFieldName = "id";
  if (header.Version > kTableFormatVersion)
    throw Exception("Error in TKivoDataManager.OpenTable - Invalid db engine version in file " +
                    datName + " (version = " + VersionText2(header.Version) +
                    ", internalCurrentVersion = " + VersionText2(kTableFormatVersion) + ") !");
  // The layout the header was read with must be the one its Version implies,
  // or rewriting the header would move every field.
  if (IsLegacyLayout(header.Version) != IsLegacyLayout(layoutVersion))
    throw Exception("Error opening table - invalid version = " + VersionText(header.Version));
  return header;
}

}  // namespace

std::int64_t TTableHeaders::RecordsEnd() const {
  return DataOffset + std::int64_t{Header.RecordCount} * Layout.RecordSize;
}

bool TTableHeaders::RecordsFit() const {
  const std::int64_t end = RecordsEnd();
  return end <= kMaxFilePosition && (Header.RecordCount <= 0 || FileSize >= end);
}

std::size_t FlushMarkOffset(double version) {
  return (IsLegacyLayout(version) ? table_header::kLegacyChangeCount : table_header::kChangeCount) -
         1;
}

TTableHeaders ReadCheckedTableHeaders(TAbstractFile& dat, const std::string& datName,
                                      THeaderNames names) {
  TTableHeaders t;
  t.FileSize = dat.GetSize();
  if (t.FileSize < 0) RaiseBadHeader("cannot read the size of " + datName);

  std::uint8_t prefix[kTableHeaderSize] = {};
  const auto prefixSize = static_cast<std::size_t>(
      std::min<std::int64_t>(t.FileSize, static_cast<std::int64_t>(kTableHeaderSize)));
  dat.Seek(0, TAbstractFile::kFromBeginning);
  dat.ReadBuffer(prefix, static_cast<std::int32_t>(prefixSize));
  TTableHeader header = ReadTableHeader(prefix, prefixSize, t.FileSize, datName);

  const auto headerSize = static_cast<std::int64_t>(TableHeaderSizeOf(header.Version));
  const auto fieldHeaderSize = static_cast<std::int64_t>(FieldHeaderSizeOf(header.Version));
  if (header.FieldCount < 0 ||
      headerSize + std::int64_t{header.FieldCount} * fieldHeaderSize > kMaxFilePosition)
    RaiseBadHeader("invalid field count = " + std::to_string(header.FieldCount));
  t.DataOffset = headerSize + std::int64_t{header.FieldCount} * fieldHeaderSize;
  // The uninterpreted tail of the last field header may be missing.
  if (header.FieldCount > 0 && t.FileSize < t.DataOffset - 3)
    RaiseBadHeader("invalid field count = " + std::to_string(header.FieldCount) +
                   ", the file holds only " + std::to_string(t.FileSize) + " bytes");
  if (header.RecordCount < 0)
    RaiseBadHeader("invalid record count = " + std::to_string(header.RecordCount));

  auto shown = [&](const std::string& name) {
    return names == THeaderNames::kUtf8 ? Cp1250ToUtf8(name) : name;
  };
  std::int64_t dataSize = 0;
  if (header.FieldCount > 0) {
    const std::int64_t available = std::min(t.FileSize, t.DataOffset) - headerSize;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(available));
    dat.Seek(static_cast<std::int32_t>(headerSize), TAbstractFile::kFromBeginning);
    dat.ReadBuffer(bytes.data(), static_cast<std::int32_t>(available));
    t.Fields.reserve(static_cast<std::size_t>(header.FieldCount));
    for (std::int64_t i = 0; i < header.FieldCount; ++i) {
      const std::int64_t at = i * fieldHeaderSize;
      TFieldHeader field = DecodeFieldHeader(
          bytes.data() + at, static_cast<std::size_t>(available - at), header.Version);
      if (!StoredFieldType(field.FieldType))
        RaiseBadHeader("unsupported type " + std::to_string(field.FieldType) + " of field \"" +
                       shown(field.FieldName) + "\"");
      if (!IsValidSlot(field.FieldType, field.FieldSize))
        RaiseBadHeader("invalid size " + std::to_string(field.FieldSize) + " of field \"" +
                       shown(field.FieldName) + "\"");
      dataSize += field.FieldSize;
      t.Fields.push_back(std::move(field));
    }
  }
  if (dataSize > kMaxRecordDataSize) RaiseBadHeader("record size is too large");
  t.Layout = TkrRecordLayout::Compute(static_cast<std::int32_t>(dataSize), header.FieldCount,
                                      header.Version);

  const std::size_t mark = FlushMarkOffset(header.Version);
  if (mark + 2 <= prefixSize) t.FlushMarked = FlushMarkSet(prefix[mark], prefix[mark + 1]);
  t.Header = std::move(header);
  return t;
}

}  // namespace kivo
