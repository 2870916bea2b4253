#include "engine/index_file.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/errors.h"
#include "platform/little_endian.h"
#include "storage/file_layer.h"

namespace kivo {

namespace {

constexpr std::size_t kLongNameSize = 256;
constexpr std::size_t kShortNameSize = 21;

bool ReadAt(TAbstractFile& file, std::int64_t offset, void* dest, std::int64_t count,
            std::int64_t fileSize) {
  if (offset < 0 || count < 0 || offset + count > fileSize) return false;
  if (count == 0) return true;
  if (file.Seek(static_cast<std::int32_t>(offset), TAbstractFile::kFromBeginning) != offset)
    return false;
  return file.Read(dest, static_cast<std::int32_t>(count)) == count;
}

// ReadAt for bytes the file's size says are there: a read that still fails
// is the system's failure, not damage, and raises.
bool ReadHeaderAt(TAbstractFile& file, std::int64_t offset, void* dest, std::int64_t count,
                  std::int64_t fileSize) {
  if (offset < 0 || count < 0 || offset + count > fileSize) return false;
  if (!ReadAt(file, offset, dest, count, fileSize))
    throw EInOutError("ReadIndexFileHeaders - cannot read file \"" + file.FileName() + "\"");
  return true;
}

}  // namespace

bool IndexFileShortNames(double version) { return version <= 4.499; }
bool IndexFileHasOptions(double version) { return version >= 2.2 - 1e-9; }
std::int32_t MaxIndexNameLength(double version) { return IndexFileShortNames(version) ? 20 : 255; }

TkrIndexFileContent ReadIndexFileHeaders(TAbstractFile& file, double tableVersion,
                                         std::int32_t tableFieldCount) {
  TkrIndexFileContent content;
  std::int64_t size = 0;
  try {
    size = file.GetSize();
    std::uint8_t head[kIndexFileHeaderSize];
    if (size < kIndexFileHeaderSize || !ReadHeaderAt(file, 0, head, kIndexFileHeaderSize, size))
      return content;
    TByteReader header(head, sizeof head);
    content.IndexChangeCount = header.Read<std::int32_t>();
    content.IndexCount = header.Read<std::int32_t>();
    content.Version = header.Read<double>();
    if (content.IndexCount <= 0) return content;

    const std::size_t nameSize = IndexFileShortNames(tableVersion) ? kShortNameSize : kLongNameSize;
    const bool hasOptions = IndexFileHasOptions(tableVersion);
    const std::int64_t maxFields =
        10 * (std::int64_t{tableFieldCount} + 1) * (std::int64_t{tableFieldCount} + 1);
    std::int64_t at = kIndexFileHeaderSize;
    std::vector<std::uint8_t> buf;
    for (std::int32_t k = 0; k < content.IndexCount; ++k) {
      TkrIndexHeader h;
      buf.resize(nameSize + 4);
      if (!ReadHeaderAt(file, at, buf.data(), static_cast<std::int64_t>(buf.size()), size))
        return content;
      TByteReader named(buf);
      const std::size_t nameLength = named.Read<std::uint8_t>();
      if (nameLength == 0 || nameLength > nameSize - 1) return content;
      const auto name = named.Bytes(nameLength);
      h.IndexName.assign(name.begin(), name.end());
      const auto fieldCount = named.At(nameSize).Read<std::int32_t>();
      if (fieldCount <= 0 || fieldCount > maxFields) return content;
      at += static_cast<std::int64_t>(nameSize) + 4;
      const std::int64_t bitBytes = (std::int64_t{fieldCount} + 7) / 8;
      const std::int64_t rest =
          4 * std::int64_t{fieldCount} + 2 * bitBytes + 2 + (hasOptions ? 1 : 0);
      if (at + rest > size) return content;
      buf.resize(static_cast<std::size_t>(rest));
      if (!ReadHeaderAt(file, at, buf.data(), rest, size)) return content;
      at += rest;
      TByteReader r(buf);
      for (std::int32_t i = 0; i < fieldCount; ++i) {
        const auto f = r.Read<std::int32_t>();
        if (f < -1 || f > tableFieldCount) return content;
        h.KeyFields.push_back(f == tableFieldCount ? -1 : f);
      }
      const auto ascending = r.Bytes(static_cast<std::size_t>(bitBytes));
      h.AscendingBits.assign(ascending.begin(), ascending.end());
      const auto caseInsensitive = r.Bytes(static_cast<std::size_t>(bitBytes));
      h.CaseInsensitiveBits.assign(caseInsensitive.begin(), caseInsensitive.end());
      h.AllCaseInsensitive = r.Read<std::uint8_t>() != 0;
      h.AllDescending = r.Read<std::uint8_t>() != 0;
      h.Options = hasOptions ? r.Read<std::uint8_t>() : 0;
      content.Headers.push_back(std::move(h));
    }
    content.ArraysOffset = at;
    content.Valid = true;
  } catch (const EInOutError&) {
    throw;
  } catch (const std::exception&) {
    content.Valid = false;
  }
  return content;
}

std::optional<std::vector<std::int32_t>> ReadIndexArray(TAbstractFile& file,
                                                        const TkrIndexFileContent& content,
                                                        std::int32_t which,
                                                        std::int32_t recordCount) {
  if (!content.Valid || which < 0 || which >= content.IndexCount || recordCount < 0)
    return std::nullopt;
  try {
    const std::int64_t size = file.GetSize();
    const std::int64_t bytes = 4 * std::int64_t{recordCount};
    const std::int64_t at = content.ArraysOffset + bytes * which;
    if (at + bytes > size) return std::nullopt;
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(bytes));
    if (!ReadAt(file, at, raw.data(), bytes, size)) return std::nullopt;
    std::vector<std::int32_t> positions(static_cast<std::size_t>(recordCount));
    std::vector<bool> seen(static_cast<std::size_t>(recordCount), false);
    TByteReader r(raw);
    for (std::int32_t i = 0; i < recordCount; ++i) {
      const auto p = r.Read<std::int32_t>();
      // A position outside the table, or one listed twice, is damage.
      if (p < 0 || p >= recordCount || seen[static_cast<std::size_t>(p)]) return std::nullopt;
      seen[static_cast<std::size_t>(p)] = true;
      positions[static_cast<std::size_t>(i)] = p;
    }
    return positions;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<std::uint8_t> EncodeIndexHeaders(const std::vector<const TkrIndexHeader*>& headers,
                                             double version) {
  const std::size_t nameSize = IndexFileShortNames(version) ? kShortNameSize : kLongNameSize;
  const bool hasOptions = IndexFileHasOptions(version);
  std::vector<std::uint8_t> out;
  for (const TkrIndexHeader* h : headers) {
    const std::size_t length = std::min(h->IndexName.size(), nameSize - 1);
    std::vector<std::uint8_t> name(nameSize, 0);
    name[0] = static_cast<std::uint8_t>(length);
    std::memcpy(name.data() + 1, h->IndexName.data(), length);
    out.insert(out.end(), name.begin(), name.end());
    AppendLE<std::int32_t>(out, h->FieldCount());
    for (std::int32_t f : h->KeyFields) AppendLE<std::int32_t>(out, f);
    const auto bitBytes = static_cast<std::size_t>((h->FieldCount() + 7) / 8);
    for (const std::vector<std::uint8_t>* bits : {&h->AscendingBits, &h->CaseInsensitiveBits})
      for (std::size_t i = 0; i < bitBytes; ++i) out.push_back(i < bits->size() ? (*bits)[i] : 0);
    out.push_back(h->AllCaseInsensitive ? 1 : 0);
    out.push_back(h->AllDescending ? 1 : 0);
    if (hasOptions) out.push_back(h->Options);
  }
  return out;
}

void WriteIndexFile(TAbstractFile& file, std::int32_t changeCount, double version,
                    const std::vector<const TkrIndexHeader*>& headers,
                    const std::vector<std::vector<std::int32_t>>& arrays) {
  std::vector<std::uint8_t> image;
  // A counter that is never current: the table's counter only grows, and it
  // had this value before.
  const auto notCurrent = static_cast<std::int32_t>(static_cast<std::uint32_t>(changeCount) - 1u);
  AppendLE<std::int32_t>(image, notCurrent);
  AppendLE<std::int32_t>(image, static_cast<std::int32_t>(headers.size()));
  AppendLE<double>(image, version);
  const std::vector<std::uint8_t> encoded = EncodeIndexHeaders(headers, version);
  image.insert(image.end(), encoded.begin(), encoded.end());
  std::size_t arrayBytes = 0;
  for (const auto& a : arrays) arrayBytes += a.size() * 4;
  if (image.size() + arrayBytes >
      static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw Exception("TKivoDataManager.SaveIndexes - index file is too large.");
  image.reserve(image.size() + arrayBytes);
  for (const auto& a : arrays)
    for (std::int32_t p : a) AppendLE<std::int32_t>(image, p);

  // The old counter goes first, on its own, before anything it vouches for
  // changes; the rest follows in pieces of a bounded size. Of the rest, the
  // bytes past the file's end come first: they need new space on the disk,
  // and when a full disk refuses them the headers of the last save (the
  // index definitions) are still whole. (Written over in place first,
  // headers that grew would be left cut in the middle.)
  constexpr std::size_t kPiece = 64 * 1024;
  const auto writePieces = [&](std::size_t from, std::size_t to) {
    file.Seek(static_cast<std::int32_t>(from), TAbstractFile::kFromBeginning);
    for (std::size_t at = from; at < to; at += kPiece) {
      const std::size_t piece = std::min(kPiece, to - at);
      file.WriteBuffer(image.data() + at, static_cast<std::int32_t>(piece));
    }
  };
  const auto oldSize = static_cast<std::size_t>(std::max(4, file.GetSize()));
  file.Seek(0, TAbstractFile::kFromBeginning);
  file.WriteBuffer(image.data(), 4);
  if (image.size() > oldSize) writePieces(oldSize, image.size());
  writePieces(4, std::min(oldSize, image.size()));
  if (file.GetSize() != static_cast<std::int32_t>(image.size()))
    file.SetSize(static_cast<std::int32_t>(image.size()));
  file.Flush();
  std::vector<std::uint8_t> counter;
  AppendLE<std::int32_t>(counter, changeCount);
  file.Seek(0, TAbstractFile::kFromBeginning);
  file.WriteBuffer(counter.data(), 4);
  file.Flush();
}

void StoreIndexChangeCount(TAbstractFile& file, std::int32_t changeCount) {
  std::vector<std::uint8_t> counter;
  AppendLE<std::int32_t>(counter, changeCount);
  file.Seek(0, TAbstractFile::kFromBeginning);
  file.WriteBuffer(counter.data(), 4);
}

std::optional<std::int32_t> StoredIndexChangeCount(TAbstractFile& file) {
  try {
    std::uint8_t b[4];
    if (!ReadAt(file, 0, b, 4, file.GetSize())) return std::nullopt;
    return LoadLE<std::int32_t>(b);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace kivo
