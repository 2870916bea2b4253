#include "engine/index_file.h"

#include <cstring>
#include <limits>

#include "platform/errors.h"
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

std::int32_t I32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                   std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
}
void PutI32(std::vector<std::uint8_t>& out, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
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
    if (size < kIndexFileHeaderSize || !ReadAt(file, 0, head, kIndexFileHeaderSize, size))
      return content;
    content.IndexChangeCount = I32(head);
    content.IndexCount = I32(head + 4);
    std::memcpy(&content.Version, head + 8, 8);
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
      if (!ReadAt(file, at, buf.data(), static_cast<std::int64_t>(buf.size()), size))
        return content;
      const std::size_t nameLength = buf[0];
      if (nameLength == 0 || nameLength > nameSize - 1) return content;
      h.IndexName.assign(reinterpret_cast<const char*>(buf.data() + 1), nameLength);
      const std::int32_t fieldCount = I32(buf.data() + nameSize);
      if (fieldCount <= 0 || fieldCount > maxFields) return content;
      at += static_cast<std::int64_t>(nameSize) + 4;
      const std::int64_t bitBytes = (std::int64_t{fieldCount} + 7) / 8;
      const std::int64_t rest =
          4 * std::int64_t{fieldCount} + 2 * bitBytes + 2 + (hasOptions ? 1 : 0);
      if (at + rest > size) return content;
      buf.resize(static_cast<std::size_t>(rest));
      if (!ReadAt(file, at, buf.data(), rest, size)) return content;
      at += rest;
      const std::uint8_t* p = buf.data();
      for (std::int32_t i = 0; i < fieldCount; ++i, p += 4) {
        const std::int32_t f = I32(p);
        if (f < -1 || f > tableFieldCount) return content;
        h.KeyFields.push_back(f == tableFieldCount ? -1 : f);
      }
      h.AscendingBits.assign(p, p + bitBytes);
      p += bitBytes;
      h.CaseInsensitiveBits.assign(p, p + bitBytes);
      p += bitBytes;
      h.AllCaseInsensitive = *p++ != 0;
      h.AllDescending = *p++ != 0;
      h.Options = hasOptions ? *p : 0;
      content.Headers.push_back(std::move(h));
    }
    content.ArraysOffset = at;
    content.Valid = true;
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
    for (std::int32_t i = 0; i < recordCount; ++i) {
      const std::int32_t p = I32(raw.data() + 4 * static_cast<std::size_t>(i));
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
    PutI32(out, h->FieldCount());
    for (std::int32_t f : h->KeyFields) PutI32(out, f);
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
  PutI32(image, notCurrent);
  PutI32(image, static_cast<std::int32_t>(headers.size()));
  std::uint8_t v[8];
  std::memcpy(v, &version, 8);
  image.insert(image.end(), v, v + 8);
  const std::vector<std::uint8_t> encoded = EncodeIndexHeaders(headers, version);
  image.insert(image.end(), encoded.begin(), encoded.end());
  std::size_t arrayBytes = 0;
  for (const auto& a : arrays) arrayBytes += a.size() * 4;
  if (image.size() + arrayBytes >
      static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw Exception("TKivoDataManager.SaveIndexes - index file is too large.");
  image.reserve(image.size() + arrayBytes);
  for (const auto& a : arrays)
    for (std::int32_t p : a) PutI32(image, p);

  // The old counter goes first, on its own, before anything it vouches for
  // changes; the rest follows in pieces of a bounded size.
  constexpr std::size_t kPiece = 64 * 1024;
  file.Seek(0, TAbstractFile::kFromBeginning);
  file.WriteBuffer(image.data(), 4);
  file.Seek(4, TAbstractFile::kFromBeginning);
  for (std::size_t at = 4; at < image.size(); at += kPiece) {
    const std::size_t piece = std::min(kPiece, image.size() - at);
    file.WriteBuffer(image.data() + at, static_cast<std::int32_t>(piece));
  }
  if (file.GetSize() != static_cast<std::int32_t>(image.size()))
    file.SetSize(static_cast<std::int32_t>(image.size()));
  file.Flush();
  std::vector<std::uint8_t> counter;
  PutI32(counter, changeCount);
  file.Seek(0, TAbstractFile::kFromBeginning);
  file.WriteBuffer(counter.data(), 4);
  file.Flush();
}

std::optional<std::int32_t> StoredIndexChangeCount(TAbstractFile& file) {
  try {
    std::uint8_t b[4];
    if (!ReadAt(file, 0, b, 4, file.GetSize())) return std::nullopt;
    return I32(b);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace kivo
