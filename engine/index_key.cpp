#include "engine/index_key.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "engine/index_positions.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"

namespace kivo {

// ---- Header bits ----

void TkrIndexHeader::ResetBits(std::int32_t fieldCount) {
  const auto bytes = static_cast<std::size_t>((fieldCount + 7) / 8);
  AscendingBits.assign(bytes, 0xFF);
  CaseInsensitiveBits.assign(bytes, 0);
}

namespace {
bool GetBit(const std::vector<std::uint8_t>& bits, std::int32_t i) {
  const auto byte = static_cast<std::size_t>(i / 8);
  return byte < bits.size() && (bits[byte] >> (i % 8) & 1) != 0;
}
void PutBit(std::vector<std::uint8_t>& bits, std::int32_t i, bool value) {
  const auto byte = static_cast<std::size_t>(i / 8);
  if (byte >= bits.size()) bits.resize(byte + 1, 0);
  const auto mask = static_cast<std::uint8_t>(1u << (i % 8));
  if (value)
    bits[byte] = static_cast<std::uint8_t>(bits[byte] | mask);
  else
    bits[byte] = static_cast<std::uint8_t>(bits[byte] & ~mask);
}

template <typename T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// The UTF-16 text of a wide string slot: its units up to the first zero.
std::u16string WideOf(const std::uint8_t* slot, std::int32_t size) {
  const std::size_t units = static_cast<std::size_t>(size) / 2;
  std::u16string text(units, u'\0');
  std::memcpy(text.data(), slot, units * 2);
  const std::size_t end = text.find(u'\0');
  if (end != std::u16string::npos) text.resize(end);
  return text;
}

// Date-time numbers as keys: a difference below 1e-8 (under a millisecond)
// is equality; values in different days (by truncation) compare
// numerically; within one day the absolute values are compared. Before 1899
// a number is its day minus the time's fraction, so truncation gives the day
// and the absolute value grows with the time: the order is chronological
// over the whole range. Two numbers of different days before 1899 can lie
// within 1e-8 of each other (the midnight of one day and the last instant of
// the next) without being close in time, so there the tolerance applies
// only within a day; it would otherwise join values days apart and break
// the order's transitivity.
int CompareDateTimeNumbers(double x, double y) {
  const double dx = std::trunc(x);
  const double dy = std::trunc(y);
  const bool sameDay = dx == dy;
  if (std::fabs(x - y) < 1e-8 && (sameDay || (x >= 0 && y >= 0))) return 0;
  if (!sameDay) return Order(x, y);
  return Order(std::fabs(x), std::fabs(y));
}
}  // namespace

bool TkrIndexHeader::AscendingBit(std::int32_t i) const { return GetBit(AscendingBits, i); }
bool TkrIndexHeader::CaseInsensitiveBit(std::int32_t i) const {
  return GetBit(CaseInsensitiveBits, i);
}
void TkrIndexHeader::SetAscendingBit(std::int32_t i, bool value) {
  PutBit(AscendingBits, i, value);
}
void TkrIndexHeader::SetCaseInsensitiveBit(std::int32_t i, bool value) {
  PutBit(CaseInsensitiveBits, i, value);
}

// ---- The comparison ----

TkrIndexKey::TkrIndexKey(const TkrIndexHeader& header, const std::vector<TFieldHeader>& fields,
                         const std::vector<std::int32_t>& offsets, const TkrRecordLayout& layout,
                         std::shared_ptr<const TCollation> collation)
    : id_offset_(layout.IdOffset), collation_(std::move(collation)) {
  auto compact = std::shared_ptr<TkrIndexKey>(new TkrIndexKey());
  compact->collation_ = collation_;
  std::int32_t packed = 0;
  for (std::int32_t i = 0; i < header.FieldCount(); ++i) {
    const std::int32_t f = header.KeyFields[static_cast<std::size_t>(i)];
    Part p;
    if (f == -1 || f == static_cast<std::int32_t>(fields.size())) {
      p.IsId = true;
      p.Offset = layout.IdOffset;
      p.Size = 4;
    } else if (f >= 0 && f < static_cast<std::int32_t>(fields.size()) &&
               static_cast<std::size_t>(f) < offsets.size()) {
      const TFieldHeader& field = fields[static_cast<std::size_t>(f)];
      p.Type = field.FieldType;
      p.Offset = offsets[static_cast<std::size_t>(f)];
      p.Size = field.FieldSize;
      p.NullByte = layout.NullBitmapOffset + f / 8;
      p.NullMask = static_cast<std::uint8_t>(1u << (f % 8));
      if (f / 8 >= layout.NullBitmapSize) p.NullMask = 0;  // never null
      p.Descending = header.Descending(i);
      p.CaseInsensitive = header.CaseInsensitive(i);
    } else {
      throw Exception("TkrIndexKey - invalid key field number " + std::to_string(f) +
                      " in index \"" + header.IndexName + "\"");
    }
    parts_.push_back(p);
    Part c = p;
    c.Offset = packed;
    packed += p.IsId ? 0 : p.Size;
    compact->parts_.push_back(c);
  }
  // Null flags, one byte per part, then the identifier.
  for (std::size_t i = 0; i < compact->parts_.size(); ++i) {
    Part& c = compact->parts_[i];
    if (c.IsId) continue;
    c.NullByte = packed + static_cast<std::int32_t>(i);
    c.NullMask = 1;
  }
  packed += static_cast<std::int32_t>(parts_.size());
  compact->id_offset_ = packed;
  for (Part& c : compact->parts_)
    if (c.IsId) c.Offset = packed;
  key_image_size_ = packed + 4;
  compact->key_image_size_ = key_image_size_;
  compact_ = std::move(compact);
}

void TkrIndexKey::ExtractKey(const std::uint8_t* record, std::uint8_t* keyImage) const {
  const std::vector<Part>& cparts = compact_->parts_;
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    const Part& p = parts_[i];
    const Part& c = cparts[i];
    if (p.IsId) continue;
    std::memcpy(keyImage + c.Offset, record + p.Offset, static_cast<std::size_t>(p.Size));
    keyImage[c.NullByte] = (record[p.NullByte] & p.NullMask) != 0 ? 1 : 0;
  }
  std::memcpy(keyImage + compact_->id_offset_, record + id_offset_, 4);
}

std::uint32_t TkrIndexKey::IdOf(const std::uint8_t* image) const {
  return LoadLE<std::uint32_t>(image + id_offset_);
}

bool TkrIndexKey::HasPrefix() const {
  if (parts_.empty()) return false;
  const Part& p = parts_[0];
  // The identifier too: once deletes have moved records about, its order is
  // no longer the records' own, and every look-up of a record by its
  // identifier searches it.
  if (p.IsId) return true;
  if (p.Type == ftString) return collation_ && collation_->RanksPrimaryWeights();
  return p.Type == ftSmallint || p.Type == ftInteger || p.Type == ftWord;
}

bool TkrIndexKey::PrefixDecides(std::int32_t fieldCount) const {
  if (parts_.empty() || fieldCount == 0) return false;
  if (fieldCount < 0 ? parts_.size() != 1 : fieldCount != 1) return false;
  const Part& p = parts_[0];
  return p.IsId || p.Type == ftSmallint || p.Type == ftInteger || p.Type == ftWord;
}

std::uint64_t TkrIndexKey::Prefix(const std::uint8_t* image) const {
  // Null is 2 and a value at least 3, so that no prefix and no complement
  // of one (descending) is kNoPrefix or kUnknownPrefix. Numbers hold the
  // value's offset from the type's least value; strings a 3 in the top byte
  // over the ranks of their first primary weights.
  const Part& p = parts_[0];
  // Identifiers compare unsigned and are never null.
  if (p.IsId) return 3 + std::uint64_t{LoadLE<std::uint32_t>(image + p.Offset)};
  std::uint64_t x = 2;
  if ((image[p.NullByte] & p.NullMask) == 0) {
    const std::uint8_t* v = image + p.Offset;
    switch (p.Type) {
      case ftString: {
        const auto* chars = reinterpret_cast<const char*>(v);
        const std::string_view value(chars, strnlen(chars, static_cast<std::size_t>(p.Size)));
        std::uint64_t ranks;
        if (!collation_->PrimaryRanks(value, &ranks)) return TkrIndexPositions::kNoPrefix;
        x = (std::uint64_t{3} << 56) | ranks;
        break;
      }
      case ftSmallint:
        x = 3 + static_cast<std::uint64_t>(std::int64_t{LoadLE<std::int16_t>(v)} + 32768);
        break;
      case ftWord:
        x = 3 + std::uint64_t{LoadLE<std::uint16_t>(v)};
        break;
      default:  // ftInteger
        x = 3 + static_cast<std::uint64_t>(std::int64_t{LoadLE<std::int32_t>(v)} + 2147483648LL);
        break;
    }
  }
  return p.Descending ? ~x : x;
}

int TkrIndexKey::ComparePart(const Part& p, const std::uint8_t* a, const std::uint8_t* b,
                             bool exactDates) const {
  const std::uint8_t* x = a + p.Offset;
  const std::uint8_t* y = b + p.Offset;
  switch (p.Type) {
    case ftString: {
      const auto* cx = reinterpret_cast<const char*>(x);
      const auto* cy = reinterpret_cast<const char*>(y);
      const std::string_view sx(cx, strnlen(cx, static_cast<std::size_t>(p.Size)));
      const std::string_view sy(cy, strnlen(cy, static_cast<std::size_t>(p.Size)));
      return collation_->Compare(sx, sy, p.CaseInsensitive);
    }
    case ftWideString: {
      const std::u16string wx = WideOf(x, p.Size);
      const std::u16string wy = WideOf(y, p.Size);
      if (wx == wy) return 0;
      return collation_->CompareWide(wx, wy, p.CaseInsensitive);
    }
    case ftSmallint:
      return Order(LoadLE<std::int16_t>(x), LoadLE<std::int16_t>(y));
    case ftInteger:
      return Order(LoadLE<std::int32_t>(x), LoadLE<std::int32_t>(y));
    case ftWord:
      return Order(LoadLE<std::uint16_t>(x), LoadLE<std::uint16_t>(y));
    case ftLargeint:
      return Order(LoadLE<std::int64_t>(x), LoadLE<std::int64_t>(y));
    case ftBoolean:
      if (x[0] == y[0]) return 0;
      return x[0] != 0 ? 1 : -1;
    case ftFloat:
    case ftCurrency:
      return Order(LoadLE<double>(x), LoadLE<double>(y));
    case ftDate: {
      std::int32_t dx = LoadLE<std::int32_t>(x);
      std::int32_t dy = LoadLE<std::int32_t>(y);
      if (!exactDates) {
        dx = std::max(dx, 1);
        dy = std::max(dy, 1);
      }
      return Order(dx, dy);
    }
    case ftTime:
      return Order(LoadLE<std::int32_t>(x), LoadLE<std::int32_t>(y));
    case ftDateTime: {
      const double mx = LoadLE<double>(x);
      const double my = LoadLE<double>(y);
      if (exactDates) return Order(mx, my);
      return CompareDateTimeNumbers(StoredDateTimeToNumber(mx), StoredDateTimeToNumber(my));
    }
    default:  // ftBCD and anything else: no order
      return 0;
  }
}

int TkrIndexKey::CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::int32_t fieldCount,
                             bool exactDates) const {
  const std::size_t n = fieldCount < 0
                            ? parts_.size()
                            : std::min(parts_.size(), static_cast<std::size_t>(fieldCount));
  for (std::size_t i = 0; i < n; ++i) {
    const Part& p = parts_[i];
    int r;
    if (p.IsId) {
      const std::uint32_t x = LoadLE<std::uint32_t>(a + p.Offset);
      const std::uint32_t y = LoadLE<std::uint32_t>(b + p.Offset);
      r = x < y ? -1 : (x > y ? 1 : 0);
      if (r != 0) return r;
      continue;
    }
    const bool nx = (a[p.NullByte] & p.NullMask) != 0;
    const bool ny = (b[p.NullByte] & p.NullMask) != 0;
    if (nx || ny)
      r = nx == ny ? 0 : (nx ? -1 : 1);
    else
      r = ComparePart(p, a, b, exactDates);
    if (r != 0) return p.Descending ? -r : r;
  }
  return 0;
}

}  // namespace kivo
