#include "sql/params.h"

#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

void TParam::SetAsString(std::string_view text, TFieldType type) {
  data_type_ = type;
  bound_ = true;
  value_.SetString(text);
}

void TParam::SetAsWideString(std::u16string_view text) {
  data_type_ = ftWideString;
  bound_ = true;
  value_.SetWideString(text);
}

void TParam::SetAsSmallInt(std::int16_t v) {
  data_type_ = ftSmallint;
  bound_ = true;
  value_.SetSmallInt(v);
}

void TParam::SetAsInteger(std::int32_t v, TFieldType type) {
  data_type_ = type;
  bound_ = true;
  if (type == ftAutoInc) {
    value_.SetAutoInc(v);
  } else {
    value_.SetInteger(v);
  }
}

void TParam::SetAsWord(std::uint16_t v) {
  data_type_ = ftWord;
  bound_ = true;
  value_.SetWord(v);
}

void TParam::SetAsLargeInt(std::int64_t v) {
  data_type_ = ftLargeint;
  bound_ = true;
  value_.SetLargeInt(v);
}

void TParam::SetAsBoolean(bool v) {
  data_type_ = ftBoolean;
  bound_ = true;
  value_.SetBoolean(v);
}

void TParam::SetAsFloat(double v, TFieldType type) {
  data_type_ = type;
  bound_ = true;
  if (type == ftCurrency) {
    value_.SetCurrency(v);
  } else {
    value_.SetFloat(v);
  }
}

void TParam::SetAsDateTime(double dateTime, TFieldType type) {
  // Stored first: a number out of range raises and leaves the parameter as it was.
  TZorValue v;
  if (type == ftDate) {
    v.SetDate(dateTime);
  } else if (type == ftTime) {
    v.SetTime(dateTime);
  } else {
    v.SetDateTime(dateTime);
  }
  data_type_ = type;
  bound_ = true;
  value_ = std::move(v);
}

void TParam::SetAsBlob(std::string_view bytes, TFieldType type) {
  data_type_ = type;
  bound_ = true;
  value_.SetMemo(bytes, type == ftFmtMemo ? ftFmtMemo : ftMemo);
}

namespace {

// The value tag that holds a value of a declared type; 0 when none does.
std::uint8_t StorageTypeOf(TFieldType type) {
  switch (type) {
    case ftUnknown:
      return 0;
    case ftFixedChar:
      return ftString;
    case ftBCD:
      return ftFloat;
    case ftBlob:
    case ftGraphic:
    case ftBytes:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return ftMemo;
    default:
      return type;
  }
}

}  // namespace

TZorValue TParam::TypedValue() const {
  TZorValue v;
  if (value_.IsNull()) {
    v.SetNull(StorageTypeOf(data_type_));
    return v;
  }
  v = value_;
  const bool dateDeclared =
      data_type_ == ftDate || data_type_ == ftTime || data_type_ == ftDateTime;
  if (dateDeclared && IsDateType(v.DataType()) && v.DataType() != data_type_) {
    // A date-time held by a date (or time) parameter counts as a date (a time).
    v.ConvertTo(data_type_);
  }
  return v;
}

std::string TParam::AsText(const FormatSettings& settings) const {
  FormatSettings fs = settings;
  fs.DecimalSeparator = '.';
  return TypedValue().AsString(&fs);
}

TParam& TParams::Add(std::string name, TFieldType dataType) {
  items_.emplace_back(std::move(name), dataType);
  return items_.back();
}

TParam* TParams::FindParam(std::string_view name) {
  for (TParam& p : items_) {
    if (AnsiSameText(p.Name(), name)) return &p;
  }
  return nullptr;
}

const TParam* TParams::FindParam(std::string_view name) const {
  return const_cast<TParams*>(this)->FindParam(name);
}

TParam& TParams::ParamByName(std::string_view name) {
  TParam* p = FindParam(name);
  if (p == nullptr) throw EDatabaseError("Parameter '" + std::string(name) + "' not found");
  return *p;
}

const TParam& TParams::ParamByName(std::string_view name) const {
  return const_cast<TParams*>(this)->ParamByName(name);
}

}  // namespace kivo
