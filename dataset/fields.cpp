#include "dataset/fields.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "dataset/dataset.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "platform/locale.h"
#include "platform/value_text.h"

namespace kivo {

namespace {

bool IsStringType(TFieldType type) { return type == ftString || type == ftFixedChar; }

bool IsIntegerType(TFieldType type) {
  return type == ftSmallint || type == ftInteger || type == ftWord || type == ftAutoInc ||
         type == ftLargeint;
}

bool IsFloatType(TFieldType type) { return type == ftFloat || type == ftCurrency || type == ftBCD; }

bool IsDateType(TFieldType type) { return type == ftDate || type == ftTime || type == ftDateTime; }

// Reads "True"/"False", "T"/"F", "Y"/"N" and "1"/"0", ignoring case.
bool TryTextToBoolean(const std::string& text, bool* result) {
  const std::string upper = AnsiUpperCase(text);
  if (upper == "TRUE" || upper == "T" || upper == "Y" || upper == "1") {
    *result = true;
    return true;
  }
  if (upper == "FALSE" || upper == "F" || upper == "N" || upper == "0") {
    *result = false;
    return true;
  }
  return false;
}

std::int64_t ParseInteger(const std::string& text) {
  std::int64_t value = 0;
  if (!TryTextToInt(text, 64, false, &value))
    throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

double ParseFloat(const std::string& text) {
  double value = 0;
  if (!TryTextToFloat(text, DefaultDecimalSeparator(), &value))
    throw EConvertError("'" + text + "' is not a valid floating point value");
  return value;
}

bool ParseBoolean(const std::string& text) {
  bool value = false;
  if (!TryTextToBoolean(text, &value))
    throw EConvertError("'" + text + "' is not a valid boolean value");
  return value;
}

double ParseDateTime(const std::string& text, TFieldType type) {
  const FormatSettings fs = DefaultFormatSettings();
  double value = 0;
  switch (type) {
    case ftDate:
      if (!TryTextToDate(text, fs, &value))
        throw EConvertError("'" + text + "' is not a valid date");
      break;
    case ftTime:
      if (!TryTextToTime(text, fs, &value))
        throw EConvertError("'" + text + "' is not a valid time");
      break;
    default:
      if (!TryTextToDateTime(text, fs, &value))
        throw EConvertError("'" + text + "' is not a valid date and time");
      break;
  }
  return value;
}

TDayAndTime SplitDateTime(double value) {
  TDayAndTime parts{};
  if (!TryDateTimeToDayAndTime(value, &parts))
    throw EConvertError("'" + FloatToText(value, '.') + "' is not a valid date and time");
  return parts;
}

}  // namespace

bool IsBlobType(TFieldType type) {
  switch (type) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
      return true;
    default:
      return false;
  }
}

TField::TField(std::string fieldName, TFieldType dataType, std::int32_t size, TFieldKind kind)
    : field_name_(std::move(fieldName)), data_type_(dataType), size_(size), field_kind_(kind) {}

std::int32_t TField::DataSize() const {
  switch (data_type_) {
    case ftString:
    case ftFixedChar:
      return size_ + 1;
    case ftWideString:
      return size_ + 2;
    case ftBytes:
      return size_;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftAutoInc:
      return 4;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftLargeint:
      return 8;
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------
// Raw access

bool TField::GetData(void* buffer) const {
  if (validating_) {
    if (!validate_buffer_) return false;
    if (buffer) std::memcpy(buffer, validate_buffer_, static_cast<std::size_t>(DataSize()));
    return true;
  }
  if (!data_set_) return false;
  return data_set_->GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) {
  if (!data_set_) throw EDatabaseError("Field '" + DisplayName() + "' has no dataset");
  const TDataSetState state = data_set_->State();
  if (read_only_ && field_kind_ != fkLookup && state != dsSetKey && state != dsFilter &&
      state != dsCalcFields && state != dsInternalCalc && state != dsNewValue)
    throw EDatabaseError("Field '" + DisplayName() + "' cannot be modified");
  data_set_->SetFieldData(this, buffer);
}

void TField::Validate(const void* buffer) {
  if (!OnValidate) return;
  validating_ = true;
  validate_buffer_ = buffer;
  try {
    OnValidate(*this);
  } catch (...) {
    validating_ = false;
    validate_buffer_ = nullptr;
    throw;
  }
  validating_ = false;
  validate_buffer_ = nullptr;
}

void TField::Change() {
  if (OnChange) OnChange(*this);
}

TField::TNativeValue::TNativeValue(const TField& field) {
  // Two spare bytes keep a string read terminated even if the data set
  // wrote the whole slot.
  size_ = static_cast<std::size_t>(field.DataSize()) + 2;
  if (size_ <= sizeof small_) {
    // The whole inline buffer: a clear of known size costs a few stores.
    std::memset(small_, 0, sizeof small_);
    data_ = small_;
  } else {
    big_.assign(size_, 0);
    data_ = big_.data();
  }
  has_value_ = field.GetData(data_);
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::RaiseAccessError(const char* typeName) const {
  throw EDatabaseError("Cannot access field '" + DisplayName() + "' as type " + typeName);
}

void TField::CheckRange(std::int64_t value, std::int64_t min, std::int64_t max) const {
  if (value < min || value > max)
    throw ERangeError(std::to_string(value) + " is not a valid value for field '" + DisplayName() +
                      "'. The allowed range is " + std::to_string(min) + " to " +
                      std::to_string(max));
}

std::string TField::BlobBytes() const {
  if (IsNull()) return {};
  std::unique_ptr<TStream> stream =
      data_set_->CreateBlobStream(const_cast<TField*>(this), kBlobRead);
  const std::int64_t size = stream->Size();
  std::string bytes(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)), '\0');
  stream->Seek(0, TStream::kFromBeginning);
  const std::int32_t read = stream->Read(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(std::max(read, 0)));
  return bytes;
}

void TField::SetBlobBytes(const std::string& bytes) {
  if (!data_set_) throw EDatabaseError("Field '" + DisplayName() + "' has no dataset");
  std::unique_ptr<TStream> stream = data_set_->CreateBlobStream(this, kBlobWrite);
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

// ---------------------------------------------------------------------------
// Reading

std::string TField::AsString() const {
  if (IsBlob()) return BlobBytes();
  const TNativeValue v(*this);
  if (v.empty()) return {};
  const std::uint8_t* p = v.data();
  switch (data_type_) {
    case ftString:
    case ftFixedChar: {
      const auto* text = reinterpret_cast<const char*>(p);
      return std::string(text, strnlen(text, static_cast<std::size_t>(size_) + 1));
    }
    case ftWideString:
      return Utf16ToCp1250(AsWideString());
    case ftBytes:
      return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(size_));
    case ftBoolean:
      return p[0] != 0 ? "True" : "False";
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      return FloatToText(LoadLE<double>(p), DefaultDecimalSeparator());
    case ftTime:
      return TimeToText(AsDateTime(), DefaultFormatSettings());
    case ftDate:
    case ftDateTime:
      return DateTimeToText(AsDateTime(), DefaultFormatSettings());
    default:
      if (IsIntegerType(data_type_)) return std::to_string(AsLargeInt());
      return {};
  }
}

std::u16string TField::AsWideString() const {
  if (data_type_ != ftWideString) return Cp1250ToUtf16(AsString());
  const TNativeValue v(*this);
  std::u16string text;
  for (std::size_t i = 0; i + 1 < v.size(); i += 2) {
    const char16_t unit = LoadLE<std::uint16_t>(v.data() + i);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

std::int64_t TField::AsLargeInt() const {
  if (IsStringType(data_type_) || data_type_ == ftWideString || IsBlob()) {
    const std::string text = AsString();
    return text.empty() ? 0 : ParseInteger(text);
  }
  const TNativeValue v(*this);
  if (v.empty()) return 0;
  const std::uint8_t* p = v.data();
  switch (data_type_) {
    case ftSmallint:
      return LoadLE<std::int16_t>(p);
    case ftWord:
      return LoadLE<std::uint16_t>(p);
    case ftInteger:
    case ftAutoInc:
      return LoadLE<std::int32_t>(p);
    case ftLargeint:
      return LoadLE<std::int64_t>(p);
    case ftBoolean:
      return p[0] != 0 ? 1 : 0;
    case ftFloat:
    case ftCurrency:
    case ftBCD: {
      const double d = std::round(LoadLE<double>(p));
      if (!(d >= -9.2233720368547758e18 && d < 9.2233720368547758e18))
        throw EConvertError("'" + AsString() + "' is not a valid integer value");
      return static_cast<std::int64_t>(d);
    }
    default:
      RaiseAccessError("Integer");
  }
}

std::int32_t TField::AsInteger() const {
  const std::int64_t value = AsLargeInt();
  CheckRange(value, std::numeric_limits<std::int32_t>::min(),
             std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(value);
}

double TField::AsFloat() const {
  if (IsDateType(data_type_)) return AsDateTime();
  if (IsStringType(data_type_) || data_type_ == ftWideString || IsBlob()) {
    const std::string text = AsString();
    return text.empty() ? 0 : ParseFloat(text);
  }
  if (IsFloatType(data_type_)) {
    const TNativeValue v(*this);
    return v.empty() ? 0 : LoadLE<double>(v.data());
  }
  return static_cast<double>(AsLargeInt());
}

bool TField::AsBoolean() const {
  if (IsStringType(data_type_) || data_type_ == ftWideString) {
    const std::string text = AsString();
    return text.empty() ? false : ParseBoolean(text);
  }
  if (data_type_ == ftBoolean) {
    const TNativeValue v(*this);
    return !v.empty() && v[0] != 0;
  }
  if (IsFloatType(data_type_)) return AsFloat() != 0;
  if (IsIntegerType(data_type_)) return AsLargeInt() != 0;
  RaiseAccessError("Boolean");
}

double TField::AsDateTime() const {
  if (IsStringType(data_type_) || data_type_ == ftWideString) {
    const std::string text = AsString();
    return text.empty() ? 0 : ParseDateTime(text, ftDateTime);
  }
  if (IsFloatType(data_type_)) return AsFloat();
  const TNativeValue v(*this);
  if (v.empty()) return 0;
  switch (data_type_) {
    case ftDate:
      return LoadLE<std::int32_t>(v.data()) - kDateDelta;
    case ftTime:
      return static_cast<double>(LoadLE<std::int32_t>(v.data())) / kMsPerDay;
    case ftDateTime:
      return StoredDateTimeToNumber(LoadLE<double>(v.data()));
    default:
      RaiseAccessError("DateTime");
  }
}

// ---------------------------------------------------------------------------
// Writing

void TField::SetAsString(const std::string& value) {
  if (IsBlob()) {
    SetBlobBytes(value);
    return;
  }
  if (IsStringType(data_type_)) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(DataSize()), 0);
    std::memcpy(buffer.data(), value.data(),
                std::min(value.size(), static_cast<std::size_t>(std::max(size_, 0))));
    SetData(buffer.data());
    return;
  }
  if (data_type_ == ftWideString) {
    SetAsWideString(Cp1250ToUtf16(value));
    return;
  }
  if (data_type_ == ftBytes) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::max(size_, 0)), 0);
    std::memcpy(buffer.data(), value.data(), std::min(value.size(), buffer.size()));
    SetData(buffer.data());
    return;
  }
  if (value.empty()) {
    Clear();
    return;
  }
  if (IsIntegerType(data_type_))
    SetAsLargeInt(ParseInteger(value));
  else if (IsFloatType(data_type_))
    SetAsFloat(ParseFloat(value));
  else if (data_type_ == ftBoolean)
    SetAsBoolean(ParseBoolean(value));
  else if (IsDateType(data_type_))
    SetAsDateTime(ParseDateTime(value, data_type_));
  else
    RaiseAccessError("String");
}

void TField::SetAsWideString(const std::u16string& value) {
  if (data_type_ != ftWideString) {
    SetAsString(Utf16ToCp1250(value));
    return;
  }
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(DataSize()), 0);
  const std::size_t units =
      std::min(value.size(), static_cast<std::size_t>(std::max(size_, 0)) / 2);
  for (std::size_t i = 0; i < units; ++i)
    StoreLE<std::uint16_t>(buffer.data() + 2 * i, static_cast<std::uint16_t>(value[i]));
  SetData(buffer.data());
}

void TField::SetAsLargeInt(std::int64_t value) {
  std::uint8_t buffer[8] = {};
  switch (data_type_) {
    case ftSmallint:
      CheckRange(value, -32768, 32767);
      StoreLE<std::int16_t>(buffer, static_cast<std::int16_t>(value));
      break;
    case ftWord:
      CheckRange(value, 0, 65535);
      StoreLE<std::uint16_t>(buffer, static_cast<std::uint16_t>(value));
      break;
    case ftInteger:
    case ftAutoInc:
      CheckRange(value, std::numeric_limits<std::int32_t>::min(),
                 std::numeric_limits<std::int32_t>::max());
      StoreLE<std::int32_t>(buffer, static_cast<std::int32_t>(value));
      break;
    case ftLargeint:
      StoreLE<std::int64_t>(buffer, value);
      break;
    case ftBoolean:
      SetAsBoolean(value != 0);
      return;
    default:
      if (IsFloatType(data_type_)) {
        SetAsFloat(static_cast<double>(value));
        return;
      }
      if (IsStringType(data_type_) || data_type_ == ftWideString || IsBlob()) {
        SetAsString(std::to_string(value));
        return;
      }
      RaiseAccessError("Integer");
  }
  SetData(buffer);
}

void TField::SetAsFloat(double value) {
  if (IsFloatType(data_type_)) {
    std::uint8_t buffer[8] = {};
    StoreLE<double>(buffer, value);
    SetData(buffer);
  } else if (IsDateType(data_type_)) {
    SetAsDateTime(value);
  } else if (IsIntegerType(data_type_)) {
    const double rounded = std::round(value);
    if (!(rounded >= -9.2233720368547758e18 && rounded < 9.2233720368547758e18))
      throw EConvertError("'" + FloatToText(value, DefaultDecimalSeparator()) +
                          "' is not a valid integer value");
    SetAsLargeInt(static_cast<std::int64_t>(rounded));
  } else if (IsStringType(data_type_) || data_type_ == ftWideString || IsBlob()) {
    SetAsString(FloatToText(value, DefaultDecimalSeparator()));
  } else {
    RaiseAccessError("Float");
  }
}

void TField::SetAsBoolean(bool value) {
  if (data_type_ == ftBoolean) {
    const std::uint8_t buffer[2] = {static_cast<std::uint8_t>(value ? 1 : 0), 0};
    SetData(buffer);
  } else if (IsIntegerType(data_type_) || IsFloatType(data_type_)) {
    SetAsLargeInt(value ? 1 : 0);
  } else if (IsStringType(data_type_) || data_type_ == ftWideString || IsBlob()) {
    SetAsString(value ? "True" : "False");
  } else {
    RaiseAccessError("Boolean");
  }
}

void TField::SetAsDateTime(double value) {
  std::uint8_t buffer[8] = {};
  switch (data_type_) {
    case ftDate:
      StoreLE<std::int32_t>(buffer, SplitDateTime(value).Day);
      break;
    case ftTime:
      StoreLE<std::int32_t>(buffer, SplitDateTime(value).Ms);
      break;
    case ftDateTime: {
      StoreLE<double>(buffer, StoredDateTimeOf(SplitDateTime(value)));
      break;
    }
    default:
      if (IsFloatType(data_type_)) {
        SetAsFloat(value);
        return;
      }
      if (IsStringType(data_type_) || data_type_ == ftWideString) {
        SplitDateTime(value);  // raises for a number outside years 1 to 9999
        SetAsString(DateTimeToText(value, DefaultFormatSettings()));
        return;
      }
      RaiseAccessError("DateTime");
  }
  SetData(buffer);
}

// ---------------------------------------------------------------------------
// TFields

TField* TFields::FieldByNumber(int fieldNo) const {
  for (const auto& field : items_)
    if (field->FieldNo() == fieldNo && field->FieldKind() == fkData) return field.get();
  return nullptr;
}

TField* TFields::FindField(const std::string& name) const {
  for (const auto& field : items_)
    if (AnsiSameText(field->FieldName(), name)) return field.get();
  return nullptr;
}

TField& TFields::Add(std::unique_ptr<TField> field) {
  field->data_set_ = owner_;
  items_.push_back(std::move(field));
  return *items_.back();
}

void TFields::Remove(TField* field) {
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [field](const auto& item) { return item.get() == field; }),
               items_.end());
}

}  // namespace kivo
