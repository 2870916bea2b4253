#include "engine/table_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "dataset/field_type.h"
#include "engine/data_manager.h"
#include "engine/like_match.h"
#include "engine/record_image.h"
#include "engine/record_match.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/streams.h"
#include "platform/value_text.h"

namespace kivo {

namespace {

bool IsMemo(std::uint8_t type) { return type == ftMemo || type == ftFmtMemo; }

bool IsTextType(std::uint8_t type) {
  return type == ftString || type == ftWideString || IsMemo(type);
}

[[noreturn]] void NotValid(const std::string& text, const char* what) {
  throw EConvertError("'" + text + "' is not a valid " + what);
}

// A text out of the field's range is refused like malformed text: storing it
// would wrap it to another value (70000 in 16 bits is 4464).
std::int64_t ReadInteger(const std::string& text, int bits, bool isUnsigned) {
  std::int64_t value = 0;
  if (!TryTextToInt(text, bits, isUnsigned, &value)) NotValid(text, "integer value");
  return value;
}

double ReadFloat(const std::string& text, const FormatSettings& settings) {
  double value = 0;
  if (!TryTextToFloat(text, settings.DecimalSeparator, &value))
    NotValid(text, "floating point value");
  return value;
}

TDayAndTime ReadDayAndTime(const std::string& text, const FormatSettings& settings,
                           bool (*reader)(std::string_view, const FormatSettings&, double*),
                           const char* what) {
  double dateTime = 0;
  TDayAndTime result{};
  if (!reader(text, settings, &dateTime) || !TryDateTimeToDayAndTime(dateTime, &result))
    NotValid(text, what);
  return result;
}

// A date text, or a date-time text of which the day is kept; the day is the
// date-time number's whole part, whatever its time.
std::int32_t ReadDay(const std::string& text, const FormatSettings& settings) {
  double dateTime = 0;
  TDayAndTime range{};
  if (!TryTextToDate(text, settings, &dateTime) && !TryTextToDateTime(text, settings, &dateTime))
    NotValid(text, "date");
  if (!TryDateTimeToDayAndTime(dateTime, &range)) NotValid(text, "date");
  return static_cast<std::int32_t>(std::trunc(dateTime)) + kDateDelta;
}

bool IsTrueText(const std::string& text) {
  static constexpr char kTrue[] = "true";
  if (text.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i)
    if ((text[i] | 0x20) != kTrue[i]) return false;
  return true;
}

// Writes the value of `text` into the slot of a field of type `type`.
// REQUIRES: `slot` has `size` bytes, zeroed.
void WriteSlot(std::uint8_t type, std::uint8_t* slot, std::int32_t size, const std::string& text,
               const FormatSettings& settings) {
  auto fixed = [&](std::int32_t bytes) {
    if (size < bytes)
      throw Exception("Error in TKivoDataSet.PrepareValueBuffer - field slot of " +
                      std::to_string(size) + " bytes is too small for its type");
  };
  switch (type) {
    case ftString: {
      // Cut in the buffer only: the comparison takes the whole ValueText.
      const std::size_t n = std::min(text.size(), static_cast<std::size_t>(std::max(size - 1, 0)));
      std::memcpy(slot, text.data(), n);
      return;
    }
    case ftWideString: {
      const std::u16string wide = Cp1250ToUtf16(text);
      const std::size_t n =
          std::min(wide.size(), static_cast<std::size_t>(std::max(size - 2, 0)) / 2);
      for (std::size_t i = 0; i < n; ++i) StoreLE<std::uint16_t>(slot + 2 * i, wide[i]);
      return;
    }
    case ftMemo:
    case ftFmtMemo:
      return;  // no slot: the pattern stays in the operation's ValueText
    case ftSmallint:
      fixed(2);
      StoreLE<std::int16_t>(slot, static_cast<std::int16_t>(ReadInteger(text, 16, false)));
      return;
    case ftWord:
      fixed(2);
      StoreLE<std::uint16_t>(slot, static_cast<std::uint16_t>(ReadInteger(text, 16, true)));
      return;
    case ftInteger:
      fixed(4);
      StoreLE<std::int32_t>(slot, static_cast<std::int32_t>(ReadInteger(text, 32, false)));
      return;
    case ftLargeint:
      fixed(8);
      StoreLE<std::int64_t>(slot, ReadInteger(text, 64, false));
      return;
    case ftBoolean:
      fixed(2);
      StoreLE<std::uint16_t>(slot, IsTrueText(text) ? 1 : 0);
      return;
    case ftFloat:
    case ftCurrency:
      fixed(8);
      StoreLE<double>(slot, ReadFloat(text, settings));
      return;
    case ftDate:
      fixed(4);
      StoreLE<std::int32_t>(slot, ReadDay(text, settings));
      return;
    case ftTime:
      fixed(4);
      StoreLE<std::int32_t>(slot, ReadDayAndTime(text, settings, TryTextToTime, "time").Ms);
      return;
    case ftDateTime: {
      fixed(8);
      const TDayAndTime dt = ReadDayAndTime(text, settings, TryTextToDateTime, "date and time");
      StoreLE<double>(slot, StoredDateTimeOf(dt));
      return;
    }
    default:
      throw Exception("Error in TKivoDataSet.PrepareValueBuffer - unsupported field type!");
  }
}

}  // namespace

void PrepareValueBuffer(TKivoDataManager& m, std::int32_t fieldNo, std::uint8_t& op,
                        std::vector<std::uint8_t>& valueBuffer, const std::string& valueText,
                        const FormatSettings& settings) {
  const TkrRecordLayout& layout = m.Layout();
  if (fieldNo < -1 || fieldNo >= static_cast<std::int32_t>(m.FieldHeaders().size()))
    throw Exception("Error in TKivoDataSet.PrepareValueBuffer - invalid field number " +
                    std::to_string(fieldNo));
  const std::uint8_t type =
      fieldNo >= 0 ? m.FieldHeader(fieldNo).FieldType : static_cast<std::uint8_t>(ftAutoInc);
  if (fieldNo >= 0 && (op == soLike || op == soNotLike) && !IsTextType(type))
    throw Exception(
        "Error in TKivoDataSet.PrepareValueBuffer - 'like / not like' operation call with not "
        "string field!");

  // A fresh buffer each time, so nothing of an earlier value survives; a
  // value initialises it as a new record (its future identifier).
  valueBuffer.assign(static_cast<std::size_t>(layout.RecordSize), 0);
  if (!valueText.empty())
    SetRecordId(layout, valueBuffer.data(), static_cast<std::uint32_t>(m.LastAutoInc()) + 1u);

  bool nullValue = false;
  if (op == soIsNull || (op == soEqual && valueText.empty())) {
    op = soEqual;
    nullValue = true;
  } else if (op == soIsNotNull || (op == soNotEqual && valueText.empty())) {
    op = soNotEqual;
    nullValue = true;
  }
  std::memset(valueBuffer.data() + layout.NullBitmapOffset, nullValue ? 0xFF : 0,
              static_cast<std::size_t>(layout.NullBitmapSize));
  if (valueText.empty()) return;

  if (fieldNo < 0) {
    SetRecordId(layout, valueBuffer.data(),
                static_cast<std::uint32_t>(ReadInteger(valueText, 32, false)));
    return;
  }
  const std::int32_t offset = m.FieldOffset(fieldNo);
  const std::int32_t size = m.FieldHeader(fieldNo).FieldSize;
  if (offset < 0 || size < 0 || offset > layout.DataSize || size > layout.DataSize - offset)
    throw Exception("Error in TKivoDataSet.PrepareValueBuffer - field slot outside the record");
  WriteSlot(type, valueBuffer.data() + offset, size, valueText, settings);
}

// ---- TkrTableSearch ----

TkrTableSearch::TkrTableSearch(TKivoDataManager& m) : m_(m), settings_(DefaultFormatSettings()) {}

std::int32_t TkrTableSearch::SearchFieldNo(const std::string& name) {
  if (AnsiSameText(name, m_.IdFieldName())) return -1;
  return m_.InternalGetFieldNo(name, true);
}

void TkrTableSearch::PrepareOperation(TSearchOperation& op, TFilterOptions /*options*/) {
  PrepareValueBuffer(m_, op.FieldNo, op.Operator, op.ValueBuffer, op.ValueText, settings_);
}

std::int32_t TkrTableSearch::SearchRecordCount() { return m_.RecordCount(); }

bool TkrTableSearch::IsMemoCondition(const TSearchOperation& op) const {
  return op.FieldNo >= 0 && IsMemo(m_.GetFieldType(op.FieldNo));
}

std::string TkrTableSearch::MemoText(std::int32_t fieldNo, std::int32_t recPos,
                                     const std::uint8_t* record) {
  if (memo_reader_) return memo_reader_(fieldNo, recPos, record);
  if (recPos < 0) return std::string();
  TMemoryStream stream;
  m_.ReadBLOBValue(&stream, fieldNo, recPos);
  const std::vector<std::uint8_t>& bytes = stream.Bytes();
  return std::string(bytes.begin(), bytes.end());
}

// Memo conditions. An empty memo counts as null: it matches neither like
// nor not like, and compares below every value and equal to a null value.
// A memo has no key, so every operator other than like is answered by
// comparing the memo's text with ValueText through the collation, as a
// string field would be (by the value's length when PartialCompare); no
// index ever answers it.
bool TkrTableSearch::MemoMatches(const TSearchOperation& op, TFilterOptions options,
                                 const std::string& text) const {
  const bool ignoreCase = (options & foCaseInsensitive) != 0;
  const auto collation = UserCollation();
  if (op.Operator == soLike || op.Operator == soNotLike) {
    if (text.empty()) return false;
    const bool like =
        LikeMatches(std::string_view(text), std::string_view(op.ValueText),
                    [&](char a, char b) { return collation->CompareChar(a, b, ignoreCase) == 0; });
    return like == (op.Operator == soLike);
  }
  if (op.ValueBuffer.size() < static_cast<std::size_t>(m_.RecordSize()))
    throw Exception("TkrTableSearch - the value buffer is smaller than a record");
  const bool valueNull = IsFieldNull(m_.Layout(), op.ValueBuffer.data(), op.FieldNo);
  const bool recordNull = text.empty();
  int r;
  if (recordNull || valueNull) {
    r = recordNull == valueNull ? 0 : (recordNull ? -1 : 1);
  } else {
    const int length = op.PartialCompare ? static_cast<int>(op.ValueText.size()) : -1;
    r = collation->Compare(text, op.ValueText, ignoreCase, length);
  }
  return SearchComparisonHolds(op.Operator, r);
}

std::int32_t TkrTableSearch::StoredPosition(const std::uint8_t* record) {
  const std::uint32_t id = GetRecordId(m_.Layout(), record);
  if (id == 0 || id > static_cast<std::uint32_t>(std::max(m_.LastAutoInc(), 0))) return -1;
  if (m_.IndexCount() == 0) return -1;
  const std::int32_t ordinal = m_.FindKey(record, 0, true, false, 1);
  return ordinal < 0 ? -1 : m_.IndexEntry(0, ordinal);
}

void TkrTableSearch::MatchOperationOverTable(const TSearchOperation& op, TFilterOptions options,
                                             TBitsArray& bits) {
  if (!IsMemoCondition(op)) {
    MatcherFor(op, options).MatchOverTable(bits);
    return;
  }
  const std::int32_t n = m_.RecordCount();
  if (bits.Length() != n) bits.SetLength(n);
  if (op.Operator == soLike || op.Operator == soNotLike) {
    for (std::int32_t pos = 0; pos < n; ++pos)
      if (MemoMatches(op, options, MemoText(op.FieldNo, pos, m_.GetRecordPtr(pos)))) bits.Set(pos);
    return;
  }
  for (const std::int32_t pos : GetMatchedRecordsArray(op, options, false)) bits.Set(pos);
}

bool TkrTableSearch::IsRecordMatches(const TSearchOperation& op, TFilterOptions options,
                                     const std::uint8_t* record) {
  if (!IsMemoCondition(op)) return MatcherFor(op, options).Matches(record);
  // The image may be a cached record that the identifier search evicts.
  const std::vector<std::uint8_t> image(record, record + m_.RecordSize());
  const std::int32_t recPos = StoredPosition(image.data());
  return MemoMatches(op, options, MemoText(op.FieldNo, recPos, image.data()));
}

std::vector<std::int32_t> TkrTableSearch::GetMatchedRecordsArray(const TSearchOperation& op,
                                                                 TFilterOptions options,
                                                                 bool firstOnly) {
  if (!IsMemoCondition(op)) return MatcherFor(op, options).MatchedPositions(firstOnly);
  if (op.Operator == soLike || op.Operator == soNotLike)
    throw Exception(
        "TKivoDataSet.GetMatchedRecordsArray - Like operator is not supported in "
        "GetMatchedRecordsArray procedure.");
  std::vector<std::int32_t> out;
  const std::int32_t n = m_.RecordCount();
  for (std::int32_t pos = 0; pos < n; ++pos) {
    if (!MemoMatches(op, options, MemoText(op.FieldNo, pos, m_.GetRecordPtr(pos)))) continue;
    out.push_back(pos);
    if (firstOnly) break;
  }
  return out;
}

bool TkrTableSearch::HasFittingIndex(const TSearchOperation& op, TFilterOptions options) {
  return FittingIndex(op, options) >= 0;
}

std::int32_t TkrTableSearch::FittingIndex(const TSearchOperation& op, TFilterOptions options) {
  if (IsMemoCondition(op)) return -1;
  return MatcherFor(op, options).FittingIndex();
}

TkrRecordMatcher& TkrTableSearch::MatcherFor(const TSearchOperation& op, TFilterOptions options) {
  auto sameCondition = [&](const CachedMatcher& c) {
    return c.options == options && c.op.FieldNo == op.FieldNo && c.op.Operator == op.Operator &&
           c.op.PartialCompare == op.PartialCompare && c.op.ValueKind == op.ValueKind;
  };
  auto sameValue = [&](const CachedMatcher& c) {
    return c.op.ValueText == op.ValueText && c.op.WideValueText == op.WideValueText &&
           c.op.ValueBuffer == op.ValueBuffer;
  };
  // The same condition again, or failing that the same condition with
  // another value (a filter typed value after value), which only takes
  // the new value.
  std::size_t hit = matchers_.size();
  for (std::size_t i = matchers_.size(); i-- > 0;) {
    if (!sameCondition(*matchers_[i])) continue;
    if (sameValue(*matchers_[i])) {
      hit = i;
      break;
    }
    if (hit == matchers_.size()) hit = i;
  }
  if (hit < matchers_.size()) {
    std::unique_ptr<CachedMatcher> entry = std::move(matchers_[hit]);
    matchers_.erase(matchers_.begin() + static_cast<std::ptrdiff_t>(hit));
    if (!sameValue(*entry)) {
      entry->op.ValueText = op.ValueText;
      entry->op.WideValueText = op.WideValueText;
      entry->op.ValueBuffer = op.ValueBuffer;
      entry->matcher->ValueChanged();
    }
    matchers_.push_back(std::move(entry));
    return *matchers_.back()->matcher;
  }
  auto entry = std::make_unique<CachedMatcher>();
  entry->op = op;
  entry->options = options;
  entry->matcher = std::make_unique<TkrRecordMatcher>(m_, entry->op, options);
  if (matchers_.size() >= kCachedMatchers) matchers_.erase(matchers_.begin());
  matchers_.push_back(std::move(entry));
  return *matchers_.back()->matcher;
}

}  // namespace kivo
