#include "engine/record_match.h"

#include <cstring>
#include <string_view>

#include "dataset/field_type.h"
#include "engine/data_manager.h"
#include "engine/like_match.h"
#include "engine/record_image.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"

namespace kivo {

namespace {

bool IsBlobType(std::uint8_t type) {
  return type == ftBlob || type == ftMemo || type == ftGraphic || type == ftFmtMemo ||
         type == ftParadoxOle || type == ftDBaseOle || type == ftTypedBinary;
}

std::string_view AnsiSlot(const std::uint8_t* slot, std::int32_t size) {
  const auto* chars = reinterpret_cast<const char*>(slot);
  return std::string_view(chars, strnlen(chars, static_cast<std::size_t>(size)));
}

std::u16string WideSlot(const std::uint8_t* slot, std::int32_t size) {
  std::u16string text(static_cast<std::size_t>(size) / 2, u'\0');
  std::memcpy(text.data(), slot, text.size() * 2);
  const std::size_t end = text.find(u'\0');
  if (end != std::u16string::npos) text.resize(end);
  return text;
}

[[noreturn]] void UnsupportedOperator() {
  throw Exception(
      "TKivoDataSet.IsRecordMatches - Unsupported search operation in "
      "TKivoDataSet.IsRecordMatches");
}

}  // namespace

TkrRecordMatcher::TkrRecordMatcher(TKivoDataManager& m, const TSearchOperation& op,
                                   TFilterOptions options)
    : m_(m),
      op_(op),
      ignore_case_((options & foCaseInsensitive) != 0),
      collation_(UserCollation()) {
  if (op.FieldNo >= static_cast<std::int32_t>(m.FieldHeaders().size()) || op.FieldNo < -1)
    throw Exception("TkrRecordMatcher - field number " + std::to_string(op.FieldNo) +
                    " is not a field of the table");
  if (op.FieldNo >= 0) {
    type_ = m.FieldHeader(op.FieldNo).FieldType;
    offset_ = m.FieldOffset(op.FieldNo);
    size_ = m.FieldHeader(op.FieldNo).FieldSize;
  } else {
    offset_ = m.Layout().IdOffset;
    size_ = 4;
  }
  if (IsBlobType(type_))
    throw Exception("TkrRecordMatcher - memo and BLOB fields are matched through their data set");
  if (op.ValueBuffer.size() < static_cast<std::size_t>(m.RecordSize()))
    throw Exception("TkrRecordMatcher - the value buffer is smaller than a record");
  TkrIndexHeader header;
  header.KeyFields = {op.FieldNo};
  header.ResetBits(1);
  header.SetCaseInsensitiveBit(0, ignore_case_ && IsString());
  key_ = std::make_unique<TkrIndexKey>(header, m.FieldHeaders(), m.FieldOffsets(), m.Layout(),
                                       collation_);
  integer_ = op.FieldNo < 0 || type_ == ftSmallint || type_ == ftWord || type_ == ftInteger ||
             type_ == ftLargeint;
  if (integer_) {
    const TkrRecordLayout& l = m.Layout();
    if (op.FieldNo >= 0 && op.FieldNo / 8 < l.NullBitmapSize) {
      null_at_ = l.NullBitmapOffset + op.FieldNo / 8;
      null_mask_ = static_cast<std::uint8_t>(1u << (op.FieldNo % 8));
    }
  }
  ValueChanged();
}

void TkrRecordMatcher::ValueChanged() {
  if (op_.ValueBuffer.size() < static_cast<std::size_t>(m_.RecordSize()))
    throw Exception("TkrRecordMatcher - the value buffer is smaller than a record");
  if (type_ == ftWideString)
    wide_value_ = op_.WideValueText.empty() ? Cp1250ToUtf16(op_.ValueText) : op_.WideValueText;
  if (integer_) {
    value_null_ = ValueIsNull();
    value_ = IntegerAt(op_.ValueBuffer.data());
  }
}

std::int64_t TkrRecordMatcher::IntegerAt(const std::uint8_t* image) const {
  const std::uint8_t* v = image + offset_;
  switch (type_) {
    case ftSmallint:
      return LoadLE<std::int16_t>(v);
    case ftWord:
      return LoadLE<std::uint16_t>(v);
    case ftInteger:
      return LoadLE<std::int32_t>(v);
    case ftLargeint:
      return LoadLE<std::int64_t>(v);
    default:  // the identifier, unsigned
      return LoadLE<std::uint32_t>(v);
  }
}

bool TkrRecordMatcher::IsString() const { return type_ == ftString || type_ == ftWideString; }

bool TkrRecordMatcher::ValueIsNull() const {
  return op_.FieldNo >= 0 && IsFieldNull(m_.Layout(), op_.ValueBuffer.data(), op_.FieldNo);
}

int TkrRecordMatcher::Compare(const std::uint8_t* record) const {
  if (integer_) {
    const bool recordNull = (record[null_at_] & null_mask_) != 0;
    if (recordNull || value_null_) return recordNull == value_null_ ? 0 : (recordNull ? -1 : 1);
    const std::int64_t x = IntegerAt(record);
    return x < value_ ? -1 : (x > value_ ? 1 : 0);
  }
  if (op_.FieldNo >= 0) {
    const bool recordNull = IsFieldNull(m_.Layout(), record, op_.FieldNo);
    const bool valueNull = ValueIsNull();
    if (recordNull || valueNull) return recordNull == valueNull ? 0 : (recordNull ? -1 : 1);
  }
  if (type_ == ftString) {
    const std::string_view value = op_.ValueText;
    const int length = op_.PartialCompare ? static_cast<int>(value.size()) : -1;
    return collation_->Compare(AnsiSlot(record + offset_, size_), value, ignore_case_, length);
  }
  if (type_ == ftWideString) {
    std::u16string text = WideSlot(record + offset_, size_);
    if (op_.PartialCompare && text.size() > wide_value_.size()) text.resize(wide_value_.size());
    if (text == wide_value_) return 0;
    return collation_->CompareWide(text, wide_value_, ignore_case_);
  }
  return key_->CompareKeys(record, op_.ValueBuffer.data(), 1, true);
}

bool TkrRecordMatcher::Like(const std::uint8_t* record) const {
  if (type_ == ftString) {
    return LikeMatches(
        AnsiSlot(record + offset_, size_), std::string_view(op_.ValueText),
        [&](char a, char b) { return collation_->CompareChar(a, b, ignore_case_) == 0; });
  }
  if (type_ == ftWideString) {
    const std::u16string text = WideSlot(record + offset_, size_);
    return LikeMatches(
        std::u16string_view(text), std::u16string_view(wide_value_), [&](char16_t a, char16_t b) {
          return a == b || collation_->CompareWide(std::u16string_view(&a, 1),
                                                   std::u16string_view(&b, 1), ignore_case_) == 0;
        });
  }
  throw Exception(
      "Error in TKivoDataSet.PrepareValueBuffer - 'like / not like' operation call with not "
      "string field!");
}

bool SearchComparisonHolds(std::uint8_t op, int r) {
  switch (op) {
    case soEqual:
    case soIsNull:
      return r == 0;
    case soNotEqual:
    case soIsNotNull:
      return r != 0;
    case soAtMost:
      return r <= 0;
    case soAtLeast:
      return r >= 0;
    case soLess:
      return r < 0;
    case soGreater:
      return r > 0;
    default:
      UnsupportedOperator();
  }
}

bool TkrRecordMatcher::Matches(const std::uint8_t* record) const {
  if (op_.Operator == soLike || op_.Operator == soNotLike) {
    // A null field satisfies neither.
    if (op_.FieldNo >= 0 && IsFieldNull(m_.Layout(), record, op_.FieldNo)) return false;
    return Like(record) == (op_.Operator == soLike);
  }
  return SearchComparisonHolds(op_.Operator, Compare(record));
}

std::int32_t TkrRecordMatcher::FittingIndex() const {
  // Strings cut to the value's length do not follow the collation's order
  // of whole strings ("\xE1" "a" < "ab" < "\xE1" "b"), so a partial string
  // comparison always scans.
  if (IsString() && op_.PartialCompare) return -1;
  for (std::int32_t i = 0; i < m_.IndexCount(); ++i) {
    const TkrIndexHeader& h = m_.IndexHeader(i);
    if (h.KeyFields.empty() || h.KeyFields[0] != op_.FieldNo) continue;
    bool descending = false;
    for (std::int32_t k = 0; k < h.FieldCount(); ++k) descending |= h.Descending(k);
    if (descending) continue;
    if (IsString() && h.CaseInsensitive(0) != ignore_case_) continue;
    return i;
  }
  return -1;
}

std::int32_t TkrRecordMatcher::Bound(std::int32_t indexNo, bool strict) {
  // Numbers, booleans and identifiers compare exactly as the index orders
  // them: the index's own key search places the bound, comparing key
  // prefixes before it reads records.
  const bool keySearch = !IsString() && type_ != ftDate && type_ != ftDateTime;
  if (keySearch) return m_.KeyBound(op_.ValueBuffer.data(), indexNo, strict, 1);
  std::int32_t lo = 0, hi = m_.RecordCount();
  while (lo < hi) {
    const std::int32_t mid = lo + (hi - lo) / 2;
    const int r = Compare(m_.GetRecordPtr(m_.IndexEntry(indexNo, mid)));
    if (strict ? r <= 0 : r < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

std::vector<std::int32_t> TkrRecordMatcher::ScanPositions(bool firstOnly) {
  std::vector<std::int32_t> out;
  const std::int32_t n = m_.RecordCount();
  if (firstOnly) {
    for (std::int32_t pos = 0; pos < n; ++pos) {
      if (!Matches(m_.GetRecordPtr(pos))) continue;
      out.push_back(pos);
      break;
    }
    return out;
  }
  m_.ScanRecords(0, n, [&](std::int32_t pos, const std::uint8_t* image) {
    if (Matches(image)) out.push_back(pos);
  });
  return out;
}

std::vector<std::int32_t> TkrRecordMatcher::MatchedPositions(bool firstOnly) {
  if (op_.Operator == soLike || op_.Operator == soNotLike)
    throw Exception(
        "TKivoDataSet.GetMatchedRecordsArray - Like operator is not supported in "
        "GetMatchedRecordsArray procedure.");
  const std::int32_t n = m_.RecordCount();
  if (n == 0) return {};
  const std::int32_t indexNo = FittingIndex();
  if (indexNo < 0) return ScanPositions(firstOnly);
  m_.BuildIndex(indexNo);
  // The index lists the records in ascending order of the comparison:
  // [0, lo) below the value, [lo, hi) equal, [hi, n) above.
  const std::int32_t lo = Bound(indexNo, false);
  const std::int32_t hi = Bound(indexNo, true);
  std::vector<std::pair<std::int32_t, std::int32_t>> runs;
  switch (op_.Operator) {
    case soEqual:
    case soIsNull:
      runs = {{lo, hi}};
      break;
    case soNotEqual:
    case soIsNotNull:
      runs = {{0, lo}, {hi, n}};
      break;
    case soAtMost:
      runs = {{0, hi}};
      break;
    case soAtLeast:
      runs = {{lo, n}};
      break;
    case soLess:
      runs = {{0, lo}};
      break;
    case soGreater:
      runs = {{hi, n}};
      break;
    default:
      UnsupportedOperator();
  }
  std::vector<std::int32_t> out;
  for (const auto& [from, to] : runs) {
    for (std::int32_t ordinal = from; ordinal < to; ++ordinal) {
      out.push_back(m_.IndexEntry(indexNo, ordinal));
      if (firstOnly) return out;
    }
  }
  return out;
}

void TkrRecordMatcher::MatchOverTable(TBitsArray& bits) {
  const std::int32_t n = m_.RecordCount();
  if (bits.Length() != n) bits.SetLength(n);
  if (op_.Operator == soLike || op_.Operator == soNotLike) {
    m_.ScanRecords(0, n, [&](std::int32_t pos, const std::uint8_t* image) {
      if (Matches(image)) bits.Set(pos);
    });
    return;
  }
  for (const std::int32_t pos : MatchedPositions(false)) bits.Set(pos);
}

}  // namespace kivo
