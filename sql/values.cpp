#include "sql/values.h"

#include "sql/value_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>

#include "platform/error_codes.h"
#include "platform/errors.h"

namespace kivo {

using namespace value_detail;

namespace {

// The platform's settings, fetched only when a conversion needs them.
class TSettingsRef {
 public:
  explicit TSettingsRef(const FormatSettings* given) : given_(given) {}
  const FormatSettings& Get() {
    if (given_) return *given_;
    if (!fetched_) fetched_ = DefaultFormatSettings();
    return *fetched_;
  }

 private:
  const FormatSettings* given_;
  std::optional<FormatSettings> fetched_;
};

// Natural payload size of the fixed-size types; 0 for the variable ones.
std::int32_t FixedSize(std::uint8_t type) {
  switch (type) {
    case ftSmallint:
    case ftWord:
      return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime:
      return 4;
    case ftBoolean:
      return 1;
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
    case ftLargeint:
      return 8;
    default:
      return 0;
  }
}

// Position of a tag in the common-type table; -1 when it has none.
int CommonIndex(std::uint8_t type) {
  switch (type) {
    case ftString:
      return 0;
    case ftSmallint:
      return 1;
    case ftInteger:
      return 2;
    case ftWord:
      return 3;
    case ftBoolean:
      return 4;
    case ftFloat:
      return 5;
    case ftCurrency:
      return 6;
    case ftDate:
      return 7;
    case ftTime:
      return 8;
    case ftDateTime:
      return 9;
    case ftAutoInc:
      return 10;
    case ftMemo:
      return 11;
    case ftFmtMemo:
      return 12;
    case ftWideString:
      return 13;
    case ftLargeint:
      return 14;
    default:
      return -1;
  }
}

// Left operand down, right across, in CommonIndex order. S String, s
// SmallInt, I Integer, W Word, B Boolean, F Float, C Currency, D Date,
// T Time, X DateTime, U WideString, L LargeInt, - none.
constexpr const char* kCommonTable[15] = {
    "SSSSSSSSSSSSSUS",  // String
    "SsIIsFCXXXI--UL",  // SmallInt
    "SIIIIFCXXXI--UL",  // Integer
    "SIIWWFCXXXI--UL",  // Word
    "SsIWBF----I--UL",  // Boolean
    "SFFFFFCXXXF--UF",  // Float
    "SCCCCCC---C--UC",  // Currency
    "SXXXXX-DXXX--UX",  // Date
    "SXXXXX-XTXX--UX",  // Time
    "SXXXXX-XXXX--UX",  // DateTime
    "SIIIIFCXXXI--UL",  // AutoInc
    "S------------U-",  // Memo
    "S------------U-",  // FmtMemo
    "UUUUUUUUUUUUUUU",  // WideString
    "SLLLLFCXXXL--UL",  // LargeInt
};

std::uint8_t TagOfCode(char c) {
  switch (c) {
    case 'S':
      return ftString;
    case 's':
      return ftSmallint;
    case 'I':
      return ftInteger;
    case 'W':
      return ftWord;
    case 'B':
      return ftBoolean;
    case 'F':
      return ftFloat;
    case 'C':
      return ftCurrency;
    case 'D':
      return ftDate;
    case 'T':
      return ftTime;
    case 'X':
      return ftDateTime;
    case 'U':
      return ftWideString;
    case 'L':
      return ftLargeint;
    default:
      return ftUnknown;
  }
}

// A double rounded to the nearest integer, halves to even; false when the
// result is not a 64-bit integer.
bool TryRoundToInt64(double x, std::int64_t* result) {
  if (!std::isfinite(x)) return false;
  const double r = std::nearbyint(x);
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return false;
  *result = static_cast<std::int64_t>(r);
  return true;
}

}  // namespace

bool IsNumericType(std::uint8_t type) {
  return type == ftSmallint || type == ftInteger || type == ftWord || type == ftFloat ||
         type == ftCurrency || type == ftAutoInc || type == ftLargeint;
}
bool IsIntegerType(std::uint8_t type) {
  return type == ftSmallint || type == ftInteger || type == ftWord || type == ftAutoInc ||
         type == ftLargeint;
}
bool IsStringType(std::uint8_t type) { return type == ftString || type == ftWideString; }
bool IsDateType(std::uint8_t type) {
  return type == ftDate || type == ftTime || type == ftDateTime;
}

// ---------------------------------------------------------------------------
// Ownership.

TZorValue::TZorValue(const TZorValue& other) { other.CopyTo(*this); }

TZorValue& TZorValue::operator=(const TZorValue& other) {
  if (this != &other) other.CopyTo(*this);
  return *this;
}

TZorValue::TZorValue(TZorValue&& other) noexcept { *this = std::move(other); }

TZorValue& TZorValue::operator=(TZorValue&& other) noexcept {
  if (this == &other) return *this;
  Clear();
  type_ = other.type_;
  null_ = other.null_;
  borrowed_ = other.borrowed_;
  size_ = other.size_;
  if (other.data_ == other.inline_) {
    std::memcpy(inline_, other.inline_, sizeof inline_);
    data_ = inline_;
  } else {
    heap_ = std::move(other.heap_);
    data_ = other.data_;
  }
  other.heap_.reset();
  other.data_ = nullptr;
  other.Clear();
  return *this;
}

void TZorValue::Clear() noexcept {
  heap_.reset();
  data_ = nullptr;
  type_ = ftUnknown;
  null_ = true;
  borrowed_ = false;
  size_ = 0;
}

void TZorValue::SetNull(std::uint8_t type) {
  Clear();
  type_ = type;
}

void TZorValue::CopyTo(TZorValue& target) const {
  if (&target == this) {
    // Copying onto itself only has to make the payload owned.
    if (borrowed_) {
      TZorValue copy(*this);
      target = std::move(copy);
    }
    return;
  }
  if (null_) {
    target.SetNull(type_);
    return;
  }
  std::byte* p = target.Allocate(type_, size_);
  if (size_ > 0) std::memcpy(p, data_, static_cast<std::size_t>(size_));
}

std::byte* TZorValue::Allocate(std::uint8_t type, std::int32_t size) {
  Clear();
  if (size < 0) throw EConvertError("Invalid value size " + std::to_string(size));
  type_ = type;
  null_ = false;
  size_ = size;
  if (static_cast<std::size_t>(size) <= sizeof inline_) {
    std::memset(inline_, 0, sizeof inline_);
    data_ = inline_;
    return inline_;
  }
  heap_ = std::make_unique_for_overwrite<std::byte[]>(static_cast<std::size_t>(size));
  data_ = heap_.get();
  return heap_.get();
}

void TZorValue::SetBorrowed(std::uint8_t type, const void* data, std::int32_t size) {
  const std::int32_t fixed = FixedSize(type);
  const std::int32_t least = fixed ? fixed : (type == ftString ? 1 : type == ftWideString ? 2 : 0);
  if (size < least || (size > 0 && data == nullptr)) {
    throw EConvertError("Invalid payload of " + std::string(TypeName(type)) + " value, size " +
                        std::to_string(size));
  }
  Clear();
  type_ = type;
  null_ = false;
  borrowed_ = true;
  size_ = size;
  data_ = static_cast<const std::byte*>(data);
}

void TZorValue::SetPayload(std::uint8_t type, const void* data, std::int32_t size) {
  if (type == ftString) {
    const char* p = static_cast<const char*>(data);
    // Copied first: the bytes may lie in this value's own payload.
    SetString(std::string(p, p && size > 0 ? static_cast<std::size_t>(size) : 0));
    return;
  }
  if (type == ftWideString) {
    std::u16string units(static_cast<std::size_t>(size > 0 && data ? size / 2 : 0), u'\0');
    if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
    SetWideString(units);
    return;
  }
  const std::int32_t fixed = FixedSize(type);
  if (size < fixed || (size > 0 && data == nullptr)) {
    throw EConvertError("Invalid payload of " + std::string(TypeName(type)) + " value, size " +
                        std::to_string(size));
  }
  // The bytes may lie in this value's own payload, which Allocate frees.
  const std::string bytes(static_cast<const char*>(data), static_cast<std::size_t>(size));
  std::byte* p = Allocate(type, size);
  if (size > 0) std::memcpy(p, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// Setters.

void TZorValue::SetSmallInt(std::int16_t v) { SetFixed(ftSmallint, v); }
void TZorValue::SetInteger(std::int32_t v) { SetFixed(ftInteger, v); }
void TZorValue::SetAutoInc(std::int32_t v) { SetFixed(ftAutoInc, v); }
void TZorValue::SetWord(std::uint16_t v) { SetFixed(ftWord, v); }
void TZorValue::SetLargeInt(std::int64_t v) { SetFixed(ftLargeint, v); }
void TZorValue::SetBoolean(bool v) { SetFixed<std::uint8_t>(ftBoolean, v ? 1 : 0); }
void TZorValue::SetFloat(double v) { SetFixed(ftFloat, v); }
void TZorValue::SetCurrency(double v) { SetFixed(ftCurrency, v); }

TDayAndTime CheckedDayAndTime(double dateTime) {
  TDayAndTime dt{};
  if (!TryDateTimeToDayAndTime(dateTime, &dt)) {
    throw EConvertError("Date-time value out of range: " + FloatToText(dateTime, '.'));
  }
  return dt;
}

void TZorValue::SetDate(double dateTime) {
  SetFixed<std::int32_t>(ftDate, CheckedDayAndTime(dateTime).Day);
}

void TZorValue::SetTime(double dateTime) {
  SetFixed<std::int32_t>(ftTime, CheckedDayAndTime(dateTime).Ms);
}

void TZorValue::SetDateTime(double dateTime) {
  SetFixed<double>(ftDateTime, StoredDateTimeOf(CheckedDayAndTime(dateTime)));
}

void TZorValue::SetString(std::string_view text) {
  const std::size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  if (text.empty()) {
    SetNull(ftString);
    return;
  }
  if (text.size() >= static_cast<std::size_t>(INT32_MAX)) throw EConvertError("String too long");
  std::byte* p = Allocate(ftString, static_cast<std::int32_t>(text.size() + 1));
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = std::byte{0};
}

void TZorValue::SetWideString(std::u16string_view text) {
  const std::size_t zero = text.find(u'\0');
  if (zero != std::u16string_view::npos) text = text.substr(0, zero);
  if (text.empty()) {
    SetNull(ftWideString);
    return;
  }
  if (text.size() >= static_cast<std::size_t>(INT32_MAX / 2)) {
    throw EConvertError("String too long");
  }
  std::byte* p = Allocate(ftWideString, static_cast<std::int32_t>((text.size() + 1) * 2));
  std::memcpy(p, text.data(), text.size() * 2);
  p[text.size() * 2] = std::byte{0};
  p[text.size() * 2 + 1] = std::byte{0};
}

void TZorValue::SetMemo(std::string_view bytes, std::uint8_t type) {
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) throw EConvertError("Memo too long");
  std::byte* p = Allocate(type, static_cast<std::int32_t>(bytes.size()));
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------
// Getters.

std::int32_t TZorValue::AsInteger() const {
  if (null_ || (type_ != ftInteger && type_ != ftAutoInc))
    throw ZorException::Create(native_error::kNotInteger);
  return Read<std::int32_t>();
}

std::int16_t TZorValue::AsSmallInt() const {
  if (null_ || type_ != ftSmallint) throw ZorException::Create(native_error::kNotSmallInt);
  return Read<std::int16_t>();
}

std::uint16_t TZorValue::AsWord() const {
  if (null_ || type_ != ftWord) throw ZorException::Create(native_error::kNotWord);
  return Read<std::uint16_t>();
}

std::int64_t TZorValue::AsLargeInt() const {
  if (null_ || type_ != ftLargeint) throw ZorException::Create(native_error::kNotLargeInt);
  return Read<std::int64_t>();
}

bool TZorValue::AsBoolean() const {
  if (null_ || type_ != ftBoolean) throw ZorException::Create(native_error::kNotBoolean);
  return Read<std::uint8_t>() != 0;
}

double TZorValue::AsFloat() const {
  if (null_ || (type_ != ftFloat && type_ != ftCurrency))
    throw ZorException::Create(native_error::kNotFloat);
  return Read<double>();
}

double TZorValue::AsDateTime() const {
  if (null_ || !IsDateType(type_)) throw ZorException::Create(native_error::kNotDateTime);
  return DateTimeNumber();
}

std::string_view TZorValue::StringView() const {
  if (null_ || type_ != ftString) return {};
  const char* p = reinterpret_cast<const char*>(data_);
  return std::string_view(p, strnlen(p, static_cast<std::size_t>(size_)));
}

std::string TZorValue::Text() const {
  if (null_) return {};
  const char* p = reinterpret_cast<const char*>(data_);
  switch (type_) {
    case ftString:
      return std::string(p, strnlen(p, static_cast<std::size_t>(size_)));
    case ftMemo:
    case ftFmtMemo:
      return std::string(p, static_cast<std::size_t>(size_));
    case ftWideString:
      return Utf16ToCp1250(WideText());
    default:
      return {};
  }
}

std::u16string TZorValue::WideText() const {
  if (null_ || type_ != ftWideString) return {};
  const std::size_t units = static_cast<std::size_t>(size_) / 2;
  std::u16string text(units, u'\0');
  std::memcpy(text.data(), data_, units * 2);
  const std::size_t zero = text.find(u'\0');
  if (zero != std::u16string::npos) text.resize(zero);
  return text;
}

std::int64_t TZorValue::IntValue() const {
  switch (type_) {
    case ftSmallint:
      return Read<std::int16_t>();
    case ftWord:
      return Read<std::uint16_t>();
    case ftInteger:
    case ftAutoInc:
      return Read<std::int32_t>();
    case ftLargeint:
      return Read<std::int64_t>();
    case ftBoolean:
      return Read<std::uint8_t>() != 0 ? 1 : 0;
    default:
      return 0;
  }
}

double TZorValue::DateTimeNumber() const {
  switch (type_) {
    case ftDate:
      return static_cast<double>(std::int64_t{Read<std::int32_t>()} - kDateDelta);
    case ftTime:
      return static_cast<double>(Read<std::int32_t>()) / static_cast<double>(kMsPerDay);
    case ftDateTime:
      return StoredDateTimeToNumber(Read<double>());
    default:
      return 0;
  }
}

std::string TZorValue::AsString(const FormatSettings* settings) const {
  if (null_) return {};
  if (type_ == ftString || type_ == ftMemo || type_ == ftFmtMemo || type_ == ftWideString) {
    return Text();
  }
  TZorValue copy(*this);
  copy.ConvertTo(ftString, settings);
  return copy.Text();
}

std::u16string TZorValue::AsWideString(const FormatSettings* settings) const {
  if (null_) return {};
  if (type_ == ftWideString) return WideText();
  return Cp1250ToUtf16(AsString(settings));
}

TZorVariant TZorValue::AsVariant() const {
  if (null_) return std::monostate{};
  switch (type_) {
    case ftString:
    case ftMemo:
    case ftFmtMemo:
      return Text();
    case ftSmallint:
      return Read<std::int16_t>();
    case ftInteger:
    case ftAutoInc:
      return Read<std::int32_t>();
    case ftWord:
      return Read<std::uint16_t>();
    case ftBoolean:
      return Read<std::uint8_t>() != 0;
    case ftFloat:
    case ftCurrency:
      return Read<double>();
    case ftDate:
    case ftTime:
    case ftDateTime:
      return TZorDateTimeVariant{DateTimeNumber()};
    case ftWideString:
      return WideText();
    case ftLargeint:
      return Read<std::int64_t>();
    default:
      return std::monostate{};
  }
}

// ---------------------------------------------------------------------------
// Type names.

const char* TZorValue::TypeName(std::uint8_t type) {
  switch (type) {
    case ftString:
      return "String";
    case ftSmallint:
      return "SmallInt";
    case ftInteger:
      return "Integer";
    case ftWord:
      return "Word";
    case ftBoolean:
      return "Boolean";
    case ftFloat:
      return "Float";
    case ftCurrency:
      return "Currency";
    case ftDate:
      return "Date";
    case ftTime:
      return "Time";
    case ftDateTime:
      return "DateTime";
    case ftAutoInc:
      return "AutoInc";
    case ftWideString:
      return "WideString";
    case ftLargeint:
      return "LargeInt";
    default:
      return "unknown";
  }
}

std::uint8_t TZorValue::TypeFromSQLName(std::string_view name) {
  std::string upper;
  upper.reserve(name.size());
  for (char c : name) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  if (upper == "BOOLEAN") upper = "LOGICAL";
  if (upper == "CHAR" || upper == "VARCHAR" || upper == "VARCHAR2") upper = "STRING";
  for (const TTypeNameEntry& e : kTypeNameTable)
    if (upper == e.Name) return e.Type;
  return ftUnknown;
}

std::uint8_t TZorValue::CommonType(std::uint8_t a, std::uint8_t b) {
  const int i = CommonIndex(a), j = CommonIndex(b);
  if (i < 0 || j < 0) return ftUnknown;
  return TagOfCode(kCommonTable[i][j]);
}

// ---------------------------------------------------------------------------
// Conversion.

void TZorValue::ThrowConvert(int code, std::uint8_t source, std::uint8_t target) const {
  throw ZorException::CreateFmt(code, {},
                                {std::string(TypeName(source)), std::string(TypeName(target))});
}

bool TZorValue::TrySetIntOfType(std::uint8_t type, std::int64_t v) {
  if (!FitsIn(type, v)) return false;
  switch (type) {
    case ftSmallint:
      SetSmallInt(static_cast<std::int16_t>(v));
      break;
    case ftWord:
      SetWord(static_cast<std::uint16_t>(v));
      break;
    case ftInteger:
      SetInteger(static_cast<std::int32_t>(v));
      break;
    case ftAutoInc:
      SetAutoInc(static_cast<std::int32_t>(v));
      break;
    default:
      SetLargeInt(v);
      break;
  }
  return true;
}

void TZorValue::SetIntWidened(std::uint8_t type, __int128 v) {
  if (FitsIn(type, v)) {
    TrySetIntOfType(type, static_cast<std::int64_t>(v));
  } else if (type != ftLargeint && FitsIn(ftInteger, v)) {
    SetInteger(static_cast<std::int32_t>(v));
  } else if (FitsIn(ftLargeint, v)) {
    SetLargeInt(static_cast<std::int64_t>(v));
  } else {
    throw EIntOverflow();
  }
}

void TZorValue::ConvertFromText(std::uint8_t source, std::string_view text, std::uint8_t target,
                                const FormatSettings& fs) {
  switch (target) {
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
    case ftWord:
    case ftLargeint: {
      const int bits = target == ftLargeint                         ? 64
                       : (target == ftSmallint || target == ftWord) ? 16
                                                                    : 32;
      std::int64_t v = 0;
      if (!TryTextToInt(text, bits, target == ftWord, &v))
        ThrowConvert(native_error::kConversionFailed, source, target);
      TrySetIntOfType(target, v);
      return;
    }
    case ftBoolean: {
      bool isTrue = text.size() == 4;
      for (std::size_t i = 0; isTrue && i < 4; ++i) isTrue = (text[i] | 0x20) == "true"[i];
      SetBoolean(isTrue);
      return;
    }
    case ftFloat:
    case ftCurrency: {
      double v = 0;
      if (!TryTextToFloat(text, fs.DecimalSeparator, &v))
        ThrowConvert(native_error::kConversionFailed, source, target);
      target == ftFloat ? SetFloat(v) : SetCurrency(v);
      return;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      double v = 0;
      const bool ok = target == ftDate   ? TryTextToDate(text, fs, &v)
                      : target == ftTime ? TryTextToTime(text, fs, &v)
                                         : TryTextToDateTime(text, fs, &v);
      if (!ok) ThrowConvert(native_error::kConversionFailed, source, target);
      target == ftDate ? SetDate(v) : target == ftTime ? SetTime(v) : SetDateTime(v);
      return;
    }
    case ftString:
      SetString(text);
      return;
    case ftMemo:
    case ftFmtMemo:
      SetMemo(text, target);
      return;
    case ftWideString:
      SetWideString(Cp1250ToUtf16(text));
      return;
    default:
      ThrowConvert(native_error::kNoConversion, source, target);
  }
}

void TZorValue::ConvertTo(std::uint8_t target, const FormatSettings* settings) {
  if (null_) {
    type_ = target;
    return;
  }
  if (type_ == target) return;
  const std::uint8_t source = type_;
  TSettingsRef fs(settings);

  auto setDateOfType = [&](std::uint8_t t, double number) {
    TDayAndTime dt{};
    if (!TryDateTimeToDayAndTime(number, &dt))
      ThrowConvert(native_error::kConversionFailed, source, t);
    t == ftDate ? SetDate(number) : t == ftTime ? SetTime(number) : SetDateTime(number);
  };
  auto setRounded = [&](std::uint8_t t, double number) {
    std::int64_t v = 0;
    if (!TryRoundToInt64(number, &v) || !TrySetIntOfType(t, v))
      ThrowConvert(native_error::kConversionFailed, source, t);
  };
  // A number to Boolean, Float or Currency (REQUIRES: one of them).
  auto setFromNumber = [&](std::uint8_t t, double number) {
    if (t == ftBoolean)
      SetBoolean(number != 0);
    else if (t == ftFloat)
      SetFloat(number);
    else
      SetCurrency(number);
  };

  switch (source) {
    case ftString:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo: {
      if ((source == ftMemo || source == ftFmtMemo) && target != ftString && target != ftMemo &&
          target != ftFmtMemo && target != ftWideString) {
        ThrowConvert(native_error::kNoConversion, source, target);
      }
      if (source == ftMemo && target == ftFmtMemo) {
        type_ = target;
        if (borrowed_) CopyTo(*this);
        return;
      }
      if (source == ftFmtMemo && target == ftMemo) {
        type_ = target;
        if (borrowed_) CopyTo(*this);
        return;
      }
      const std::string text = Text();
      ConvertFromText(source, text, target, fs.Get());
      return;
    }
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
    case ftWord:
    case ftLargeint: {
      const std::int64_t v = IntValue();
      if (IsIntegerType(target)) {
        if (!TrySetIntOfType(target, v))
          ThrowConvert(native_error::kConversionFailed, source, target);
        return;
      }
      switch (target) {
        case ftString:
          SetString(std::to_string(v));
          return;
        case ftWideString:
          SetWideString(Cp1250ToUtf16(std::to_string(v)));
          return;
        case ftBoolean:
          SetBoolean(v != 0);
          return;
        case ftFloat:
          SetFloat(static_cast<double>(v));
          return;
        case ftCurrency:
          SetCurrency(static_cast<double>(v));
          return;
        case ftDate:
        case ftTime:
        case ftDateTime:
          setDateOfType(target, static_cast<double>(v));
          return;
        default:
          ThrowConvert(native_error::kNoConversion, source, target);
      }
    }
    case ftBoolean: {
      const bool v = IntValue() != 0;
      if (IsIntegerType(target)) {
        TrySetIntOfType(target, v ? 1 : 0);
        return;
      }
      switch (target) {
        case ftString:
          SetString(v ? "true" : "false");
          return;
        case ftWideString:
          SetWideString(v ? u"true" : u"false");
          return;
        case ftFloat:
          SetFloat(v ? 1 : 0);
          return;
        case ftCurrency:
        case ftDate:
        case ftTime:
        case ftDateTime:
          throw ZorException::Create(native_error::kUnsupported);
        default:
          ThrowConvert(native_error::kNoConversion, source, target);
      }
    }
    case ftFloat:
    case ftCurrency: {
      const double v = Read<double>();
      if (IsIntegerType(target)) {
        setRounded(target, v);
        return;
      }
      switch (target) {
        case ftString:
          SetString(FloatToText(v, fs.Get().DecimalSeparator));
          return;
        case ftWideString:
          SetWideString(Cp1250ToUtf16(FloatToText(v, fs.Get().DecimalSeparator)));
          return;
        case ftBoolean:
        case ftFloat:
        case ftCurrency:
          setFromNumber(target, v);
          return;
        case ftDate:
        case ftTime:
        case ftDateTime:
          if (source == ftCurrency) throw ZorException::Create(native_error::kUnsupported);
          setDateOfType(target, v);
          return;
        default:
          ThrowConvert(native_error::kNoConversion, source, target);
      }
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      const double v = DateTimeNumber();
      if (IsIntegerType(target)) {
        if (source == ftTime) {
          TrySetIntOfType(target, 0);
        } else {
          setRounded(target, v);
        }
        return;
      }
      switch (target) {
        case ftString:
        case ftWideString: {
          TDayAndTime dt{};
          if (!TryDateTimeToDayAndTime(v, &dt))
            ThrowConvert(native_error::kConversionFailed, source, target);
          const std::string text =
              source == ftTime ? TimeToText(v, fs.Get()) : DateTimeToText(v, fs.Get());
          target == ftString ? SetString(text) : SetWideString(Cp1250ToUtf16(text));
          return;
        }
        case ftBoolean:
        case ftFloat:
        case ftCurrency:
          setFromNumber(target, v);
          return;
        case ftDate:
        case ftTime:
        case ftDateTime:
          setDateOfType(target, v);
          return;
        default:
          ThrowConvert(native_error::kNoConversion, source, target);
      }
    }
    default:
      ThrowConvert(native_error::kNoConversion, source, target);
  }
}

// ---------------------------------------------------------------------------
// Comparison.

namespace {

template <class T>
int ThreeWay(T a, T b) {
  return a == b ? zcrEqual : (a > b ? zcrGreater : zcrLess);
}

// Doubles exactly; a NaN (only from a damaged payload) sorts below every
// number and equal to another NaN, so the order stays total.
int CompareDoubles(double a, double b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return na && nb ? zcrEqual : (na ? zcrLess : zcrGreater);
  return ThreeWay(a, b);
}

int FromSign(int c) { return c == 0 ? zcrEqual : (c > 0 ? zcrGreater : zcrLess); }

}  // namespace

std::uint8_t TZorValue::ComparisonType(std::uint8_t a, std::uint8_t b) {
  if (a == ftString && IsDateType(b)) return b;
  if (b == ftString && IsDateType(a)) return a;
  return CommonType(a, b);
}

int TZorValue::Compare(const TZorValue& a, const TZorValue& b, bool caseInsensitive, bool partial,
                       const FormatSettings* settings) {
  if (a.null_ || b.null_) {
    if (a.null_ && b.null_) return zcrBothNull;
    return a.null_ ? zcrLeftNull : zcrRightNull;
  }
  const std::uint8_t type = ComparisonType(a.type_, b.type_);
  if (type == ftUnknown) throw ZorException::Create(native_error::kInvalidTypeCast);

  // Convert copies only when a type differs.
  std::optional<TZorValue> ca, cb;
  const TZorValue* pa = &a;
  const TZorValue* pb = &b;
  if (a.type_ != type) {
    ca.emplace(a);
    ca->ConvertTo(type, settings);
    pa = &*ca;
  }
  if (b.type_ != type) {
    cb.emplace(b);
    cb->ConvertTo(type, settings);
    pb = &*cb;
  }
  // A conversion may give NULL (a number's text is never empty, but keep
  // the outcome defined).
  if (pa->null_ || pb->null_) {
    if (pa->null_ && pb->null_) return zcrBothNull;
    return pa->null_ ? zcrLeftNull : zcrRightNull;
  }

  switch (type) {
    case ftString: {
      const std::string_view sa = pa->StringView(), sb = pb->StringView();
      const int maxLength =
          partial ? static_cast<int>(std::min<std::size_t>(sb.size(), INT32_MAX)) : -1;
      return FromSign(UserCollation()->Compare(sa, sb, caseInsensitive, maxLength));
    }
    case ftWideString: {
      std::u16string wa = pa->WideText();
      const std::u16string wb = pb->WideText();
      if (partial && wa.size() > wb.size()) wa.resize(wb.size());
      return FromSign(caseInsensitive ? WideCompareText(wa, wb) : WideCompareStr(wa, wb));
    }
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
    case ftBoolean:
      return ThreeWay(pa->IntValue(), pb->IntValue());
    case ftFloat:
    case ftCurrency:
      return CompareDoubles(pa->Read<double>(), pb->Read<double>());
    case ftDate:
    case ftTime:
      return ThreeWay(pa->Read<std::int32_t>(), pb->Read<std::int32_t>());
    case ftDateTime:
      return CompareDoubles(pa->Read<double>(), pb->Read<double>());
    default:
      throw ZorException::Create(native_error::kCompareNotSupported);
  }
}

}  // namespace kivo
