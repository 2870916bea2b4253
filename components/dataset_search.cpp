// Searching through the cursor: conditions built from binary values (Locate
// and the master link), Locate itself, and the find-first/next search over
// the filter text.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "components/kivo_dataset.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/little_endian.h"
#include "platform/locale.h"
#include "platform/value_text.h"

namespace kivo {

namespace {

// The text of a value for a field that takes text (or a value kind that
// has no binary form for the field).
std::string VariantText(const TZorVariant& v) {
  const FormatSettings settings = DefaultFormatSettings();
  return std::visit(
      [&](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::string();
        } else if constexpr (std::is_same_v<T, std::string>) {
          return x;
        } else if constexpr (std::is_same_v<T, std::u16string>) {
          return Utf16ToCp1250(x);
        } else if constexpr (std::is_same_v<T, bool>) {
          return x ? "True" : "False";
        } else if constexpr (std::is_same_v<T, double>) {
          return FloatToText(x, settings.DecimalSeparator);
        } else if constexpr (std::is_same_v<T, TZorDateTimeVariant>) {
          return DateTimeToText(x.Value, settings);
        } else {
          return std::to_string(x);
        }
      },
      v);
}

}  // namespace

// Writes `v` into the condition's value buffer in the type of its field.
// Numbers and date-times go binary, so no precision is lost to text and no
// value is cut to fit; a value the field cannot hold (70000 for a SMALLINT,
// 1.5 for an INTEGER) makes the condition match nothing (false). Text goes
// through the field's text reader, as in a filter.
bool TKivoDataset::WriteKeyValue(const TZorVariant& v, TSearchOperation& op) {
  const TkrRecordLayout& l = data_manager_->Layout();
  op.ValueBuffer.assign(static_cast<std::size_t>(l.RecordSize), 0);
  std::uint8_t type = ftAutoInc;
  std::uint8_t* slot = op.ValueBuffer.data() + l.IdOffset;
  if (op.FieldNo >= 0) {
    type = data_manager_->FieldHeader(op.FieldNo).FieldType;
    slot = op.ValueBuffer.data() + data_manager_->FieldOffset(op.FieldNo);
  }
  if (std::holds_alternative<std::monostate>(v)) {
    std::memset(op.ValueBuffer.data() + l.NullBitmapOffset, 0xFF,
                static_cast<std::size_t>(l.NullBitmapSize));
    return true;
  }
  const bool isText = std::holds_alternative<std::string>(v);
  const bool isWide = std::holds_alternative<std::u16string>(v);
  if (type == ftString || type == ftWideString || ((isText || isWide) && !IsBLOBType(type))) {
    if (type == ftWideString) {
      op.WideValueText = isWide ? std::get<std::u16string>(v) : Cp1250ToUtf16(VariantText(v));
      op.ValueText = Utf16ToCp1250(op.WideValueText);
      const std::size_t room =
          static_cast<std::size_t>(data_manager_->FieldHeader(op.FieldNo).FieldSize - 2);
      std::memcpy(slot, op.WideValueText.data(), std::min(op.WideValueText.size() * 2, room));
      return true;
    }
    std::uint8_t prepared = op.Operator;
    PrepareValueBuffer(*data_manager_, op.FieldNo, prepared, op.ValueBuffer, VariantText(v),
                       DefaultFormatSettings());
    op.ValueText = VariantText(v);
    return true;
  }
  if (IsBLOBType(type)) {
    op.ValueText = VariantText(v);
    return true;
  }
  // Numbers, booleans and date-times.
  double number = 0;
  bool integral = true;
  std::int64_t whole = 0;
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, double>) {
          number = x;
          integral = std::trunc(x) == x && std::fabs(x) < 9.2e18;
          whole = integral ? static_cast<std::int64_t>(x) : 0;
        } else if constexpr (std::is_same_v<T, TZorDateTimeVariant>) {
          number = x.Value;
          integral = false;
        } else if constexpr (std::is_same_v<T, bool>) {
          number = x ? 1 : 0;
          whole = x ? 1 : 0;
        } else if constexpr (std::is_integral_v<T>) {
          number = static_cast<double>(x);
          whole = static_cast<std::int64_t>(x);
        }
      },
      v);
  auto fits = [&](std::int64_t lo, std::int64_t hi) {
    return integral && whole >= lo && whole <= hi;
  };
  switch (type) {
    case ftSmallint:
      if (!fits(INT16_MIN, INT16_MAX)) return false;
      StoreLE<std::int16_t>(slot, static_cast<std::int16_t>(whole));
      return true;
    case ftWord:
      if (!fits(0, UINT16_MAX)) return false;
      StoreLE<std::uint16_t>(slot, static_cast<std::uint16_t>(whole));
      return true;
    case ftInteger:
    case ftAutoInc:
      if (!fits(INT32_MIN, INT32_MAX)) return false;
      StoreLE<std::int32_t>(slot, static_cast<std::int32_t>(whole));
      return true;
    case ftLargeint:
      if (!integral) return false;
      StoreLE<std::int64_t>(slot, whole);
      return true;
    case ftFloat:
    case ftCurrency:
      StoreLE<double>(slot, number);
      return true;
    case ftBoolean:
      StoreLE<std::uint16_t>(slot, number != 0 ? 1 : 0);
      return true;
    case ftDate:
    case ftTime:
    case ftDateTime: {
      // A date-time outside years 1 to 9999 matches no stored value.
      TDayAndTime dt{};
      if (!TryDateTimeToDayAndTime(number, &dt)) return false;
      if (type == ftDateTime)
        StoreLE<double>(slot, StoredDateTimeOf(dt));
      else
        StoreLE<std::int32_t>(slot, type == ftDate ? dt.Day : dt.Ms);
      return true;
    }
    default:
      return false;
  }
}

// The master field's value as a variant of its own kind.
TZorVariant TKivoDataset::FieldVariant(const TField& field) {
  if (field.IsNull()) return std::monostate{};
  switch (field.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return field.AsLargeInt();
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      return field.AsFloat();
    case ftBoolean:
      return field.AsBoolean();
    case ftDate:
    case ftTime:
    case ftDateTime:
      return TZorDateTimeVariant{field.AsDateTime()};
    case ftWideString:
      return field.AsWideString();
    default:
      return field.AsString();
  }
}

void TKivoDataset::SetFieldVariant(TField& field, const TZorVariant& value) {
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>)
          field.Clear();
        else if constexpr (std::is_same_v<T, bool>)
          field.SetAsBoolean(x);
        else if constexpr (std::is_same_v<T, double>)
          field.SetAsFloat(x);
        else if constexpr (std::is_same_v<T, TZorDateTimeVariant>)
          field.SetAsDateTime(x.Value);
        else if constexpr (std::is_same_v<T, std::u16string>)
          field.SetAsWideString(x);
        else if constexpr (std::is_same_v<T, std::string>)
          field.SetAsString(x);
        else
          field.SetAsLargeInt(static_cast<std::int64_t>(x));
      },
      value);
}

std::int32_t TKivoDataset::PrepareAndLocate(const std::string& keyFields,
                                            const std::vector<TZorVariant>& keyValues,
                                            TFilterOptions options, std::uint8_t op) {
  TCriticalSectionGuard guard(Lock());
  CheckTableOpened("Error in TKivoDataSet.PrepareAndLocate");
  const std::vector<std::string> names = SplitNameList(keyFields);
  if (names.empty() || keyValues.empty()) return -1;
  std::vector<TSearchOperation> ops;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const TZorVariant& value = keyValues.size() == 1 ? keyValues[0] : keyValues.at(i);
    if (std::holds_alternative<std::monostate>(value)) return -1;
    TSearchOperation c;
    c.FieldNo = search_->SearchFieldNo(names[i]);
    c.Operator = op;
    c.PartialCompare = (options & foNoPartialCompare) == 0;
    if (!WriteKeyValue(value, c)) return -1;
    ops.push_back(std::move(c));
  }
  EnsureVisibleListCurrent();
  return list_->LocateRecord(ops, options);
}

// ---------------------------------------------------------------------------
// FindFirst, FindNext, FindPrior, FindLast over the filter text.

void TKivoDataset::DeriveFindMatches() {
  const TBitsArray& marks = find_parser_->Parse();
  find_matches_.clear();
  for (std::int32_t i = 0; i < list_->Count(); ++i)
    if (marks.Get(list_->RecordAt(i))) find_matches_.push_back(list_->RecordAt(i));
  list_->ClearListChanged();
}

bool TKivoDataset::FindRecord(bool restart, bool goForward) {
  TCriticalSectionGuard guard(Lock());
  CheckBrowseMode();
  if (Filter().empty() || (bde_like_filter_ && !Filtered())) {
    if (restart) {
      if (goForward) {
        First();
        return !Eof();
      }
      Last();
      return !Bof();
    }
    if (goForward) {
      Next();
      return !Eof();
    }
    Prior();
    return !Bof();
  }
  CheckTableOpened("Error in TKivoDataSet.FindRecord");
  EnsureVisibleListCurrent();
  if (restart || (find_matches_.empty() && find_position_ < 0)) {
    TFilterOptions options = FilterOptions();
    const std::string& text = Filter();
    if ((options & foNoPartialCompare) == 0 && !(text.size() >= 2 && text[text.size() - 2] == '*'))
      options |= foNoPartialCompare;
    find_parser_->SetOptions(options);
    find_parser_->SetText(text);
    DeriveFindMatches();
    find_position_ = goForward ? -1 : static_cast<std::int32_t>(find_matches_.size());
  } else if (list_->ListChanged()) {
    DeriveFindMatches();
    find_position_ = std::min(find_position_, static_cast<std::int32_t>(find_matches_.size()));
  }
  const auto count = static_cast<std::int32_t>(find_matches_.size());
  std::int32_t p = find_position_;
  for (;;) {
    p += goForward ? 1 : -1;
    if (p < 0 || p >= count) return false;
    const std::int32_t place = list_->VisiblePositionOf(find_matches_[static_cast<std::size_t>(p)]);
    if (place < 0) continue;  // no longer visible
    find_position_ = p;
    DoBeforeScroll();
    list_->SetCurrent(place);
    cursor_pos_changed_ = true;
    Resync();
    DoAfterScroll();
    return true;
  }
}

}  // namespace kivo
