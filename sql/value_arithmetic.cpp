// The arithmetic and bit primitives of TZorValue.
#include "sql/values.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "sql/value_internal.h"

namespace kivo {

using namespace value_detail;

namespace {

std::mt19937_64& RandomEngine() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return engine;
}

}  // namespace

// ---------------------------------------------------------------------------
// Arithmetic. Operands are converted on copies, so that a primitive that
// raises leaves its left operand as it was.

namespace {

TZorValue Converted(const TZorValue& v, std::uint8_t type,
                    const FormatSettings* settings = nullptr) {
  TZorValue copy(v);
  copy.ConvertTo(type, settings);
  return copy;
}

}  // namespace

void TZorValue::Add(const TZorValue& b, bool accumulate, const FormatSettings* settings) {
  if (accumulate) {
    if (null_) {
      b.CopyTo(*this);
      return;
    }
    if (b.null_) {
      SetNull(type_);
      return;
    }
  }
  const std::uint8_t type = CommonType(type_, b.type_);
  if (null_ || b.null_) {
    // Concatenation is when the result is text: a text common type, or a
    // text operand beside a NULL of no common type.
    const std::uint8_t present = null_ ? b.type_ : type_;
    const bool text = IsStringType(type) || (type == ftUnknown && IsTextLike(present));
    if (!text || (null_ && b.null_)) {
      SetNull(type != ftUnknown ? type : type_);
      return;
    }
    // Concatenation: a NULL operand counts as empty text.
    if (null_) b.CopyTo(*this);
    if (IsStringType(type)) ConvertTo(type, settings);
    return;
  }
  switch (type) {
    case ftString: {
      const std::string left = AsString(settings);
      const std::string right = b.AsString(settings);
      SetString(left + right);
      return;
    }
    case ftWideString: {
      const std::u16string left = AsWideString(settings);
      const std::u16string right = b.AsWideString(settings);
      SetWideString(left + right);
      return;
    }
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint:
      SetIntWidened(type, static_cast<__int128>(IntValue()) + b.IntValue());
      return;
    case ftFloat:
    case ftCurrency: {
      const double sum = CheckedFloat(Converted(*this, type, settings).AsFloat() +
                                      Converted(b, type, settings).AsFloat());
      type == ftFloat ? SetFloat(sum) : SetCurrency(sum);
      return;
    }
    case ftDate:
    case ftTime:
    case ftDateTime: {
      const double sum =
          Converted(*this, type, settings).AsDateTime() + Converted(b, type, settings).AsDateTime();
      type == ftDate ? SetDate(sum) : type == ftTime ? SetTime(sum) : SetDateTime(sum);
      return;
    }
    default:
      throw ZorException::CreateFmt(native_error::kNonNumericAdd, {}, {std::string("+")});
  }
}

void TZorValue::Negate() {
  if (null_) return;
  if (IsIntegerType(type_)) {
    SetIntWidened(type_, -static_cast<__int128>(IntValue()));
    return;
  }
  if (type_ == ftFloat || type_ == ftCurrency) {
    const double v = -Read<double>();
    type_ == ftFloat ? SetFloat(v) : SetCurrency(v);
    return;
  }
  throw ZorException::CreateFmt(native_error::kNonNumericNegate, {}, {std::string("-")});
}

void TZorValue::Multiply(const TZorValue& b) {
  if (null_ || b.null_ || !IsNumericType(type_) || !IsNumericType(b.type_)) {
    SetNull(type_);
    return;
  }
  const std::uint8_t type = CommonType(type_, b.type_);
  if (IsIntegerType(type)) {
    SetIntWidened(type, static_cast<__int128>(IntValue()) * b.IntValue());
    return;
  }
  const double product =
      CheckedFloat(Converted(*this, type).AsFloat() * Converted(b, type).AsFloat());
  type == ftFloat ? SetFloat(product) : SetCurrency(product);
}

void TZorValue::Divide(const TZorValue& b) {
  if (null_ || b.null_ || !IsNumericType(type_) || !IsNumericType(b.type_)) {
    SetNull(type_);
    return;
  }
  const bool whole =
      (type_ == ftInteger || type_ == ftAutoInc) && (b.type_ == ftInteger || b.type_ == ftAutoInc);
  if (whole) {
    const std::int64_t divisor = b.IntValue();
    if (divisor == 0) throw EDivByZero();
    // -2147483648 / -1 does not fit an Integer and moves to LargeInt.
    SetIntWidened(ftInteger, IntValue() / divisor);
    return;
  }
  const double divisor = Converted(b, ftFloat).AsFloat();
  if (divisor == 0) throw EDivByZero();
  SetFloat(CheckedFloat(Converted(*this, ftFloat).AsFloat() / divisor));
}

void TZorValue::Modulo(const TZorValue& b) {
  if (null_ || b.null_ || !IsNumericType(type_) || !IsNumericType(b.type_)) {
    SetNull(type_);
    return;
  }
  const std::int64_t divisor = Converted(b, ftLargeint).AsLargeInt();
  if (divisor == 0) throw EDivByZero();
  const std::int64_t dividend = Converted(*this, ftLargeint).AsLargeInt();
  // INT64_MIN % -1 would trap; every number is a multiple of -1.
  SetLargeInt(divisor == -1 ? 0 : dividend % divisor);
}

void TZorValue::Power(const TZorValue& b) {
  if (null_ || b.null_ || !IsNumericType(type_) || !IsNumericType(b.type_)) {
    SetNull(type_);
    return;
  }
  if (IsIntegerType(type_) && IsIntegerType(b.type_)) {
    const std::int64_t base = IntValue();
    std::int64_t exponent = b.IntValue();
    if (exponent < 0) {
      // |base^exponent| <= 1/2 unless |base| is 1, and rounds to 0.
      if (base == 0) throw EDivByZero();
      if (base == 1) {
        SetLargeInt(1);
      } else if (base == -1) {
        SetLargeInt(exponent % 2 == 0 ? 1 : -1);
      } else {
        SetLargeInt(0);
      }
      return;
    }
    __int128 result = 1, factor = base;
    while (exponent > 0) {
      if (exponent & 1) {
        result *= factor;
        if (!FitsIn(ftLargeint, result)) throw EIntOverflow();
      }
      exponent >>= 1;
      if (exponent > 0) {
        factor *= factor;
        // Once the factor is beyond 64 bits the next product can only
        // stay in range when it is not used; |base| >= 2 makes it used.
        if (!FitsIn(ftLargeint, factor)) throw EIntOverflow();
      }
    }
    SetLargeInt(static_cast<std::int64_t>(result));
    return;
  }
  const double x = Converted(*this, ftFloat).AsFloat(), y = Converted(b, ftFloat).AsFloat();
  if (x == 0 && y < 0) throw EDivByZero();
  SetFloat(CheckedFloat(std::pow(x, y)));
}

void TZorValue::Abs() {
  if (null_ || !IsNumericType(type_)) {
    SetNull(type_);
    return;
  }
  if (IsIntegerType(type_)) {
    const __int128 v = IntValue();
    SetIntWidened(type_, v < 0 ? -v : v);
    return;
  }
  const double v = std::fabs(Read<double>());
  type_ == ftFloat ? SetFloat(v) : SetCurrency(v);
}

namespace {

void StoreWholeDouble(TZorValue& value, double whole) {
  if (std::isnan(whole)) throw EInvalidOp();
  if (whole >= -2147483648.0 && whole <= 2147483647.0) {
    value.SetInteger(static_cast<std::int32_t>(whole));
  } else if (whole >= -9223372036854775808.0 && whole < 9223372036854775808.0) {
    value.SetLargeInt(static_cast<std::int64_t>(whole));
  } else {
    throw EIntOverflow();
  }
}

}  // namespace

void TZorValue::Ceiling() {
  if (null_ || !IsNumericType(type_)) {
    SetNull(type_);
    return;
  }
  if (IsIntegerType(type_)) return;
  StoreWholeDouble(*this, std::ceil(Read<double>()));
}

void TZorValue::Floor() {
  if (null_ || !IsNumericType(type_)) {
    SetNull(type_);
    return;
  }
  if (IsIntegerType(type_)) return;
  StoreWholeDouble(*this, std::floor(Read<double>()));
}

void TZorValue::Sign() {
  if (null_ || !IsNumericType(type_)) {
    SetNull(type_);
    return;
  }
  if (IsIntegerType(type_)) {
    const std::int64_t v = IntValue();
    SetInteger(v > 0 ? 1 : (v < 0 ? -1 : 0));
    return;
  }
  const double v = Read<double>();
  SetInteger(v > 0 ? 1 : (v < 0 ? -1 : 0));
}

void TZorValue::Random(bool limited) {
  if (!limited) {
    SetFloat(std::uniform_real_distribution<double>(0.0, 1.0)(RandomEngine()));
    return;
  }
  if (null_ || !IsNumericType(type_)) {
    SetNull(type_);
    return;
  }
  ConvertTo(ftLargeint);
  // The limit is the low 32 bits; a limit below 1 gives 0.
  const auto limit = static_cast<std::int32_t>(static_cast<std::uint32_t>(IntValue()));
  if (limit <= 0) {
    SetLargeInt(0);
    return;
  }
  SetLargeInt(std::uniform_int_distribution<std::int64_t>(0, limit - 1)(RandomEngine()));
}

namespace {

// The digit count of Round and Truncate; false when the operand is not a
// number. Counts below 0 are 0.
bool DigitCount(const TZorValue& digits, int* n) {
  if (digits.IsNull() || !IsNumericType(digits.DataType())) return false;
  TZorValue copy(digits);
  copy.ConvertTo(ftLargeint);
  const std::int64_t v = copy.AsLargeInt();
  *n = v <= 0 ? 0 : (v > 400 ? 400 : static_cast<int>(v));
  return true;
}

std::int64_t WholeToInt64(double whole) {
  if (std::isnan(whole)) throw EInvalidOp();
  if (whole < -9223372036854775808.0 || whole >= 9223372036854775808.0) throw EIntOverflow();
  return static_cast<std::int64_t>(whole);
}

// Rounds |x| at n decimals, halves away from zero, through the scaled sum.
// Numbers whose scaled form has no fraction left come back unchanged.
double RoundAtDigits(double x, int n, bool truncate) {
  const double scale = std::pow(10.0, n);
  const double scaled = x * scale;
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 4503599627370496.0) return x;  // 2^52
  if (truncate) return std::trunc(scaled) / scale;
  const double magnitude = std::fabs(x);
  const double rounded = std::trunc((magnitude + 0.5 / scale) * scale) / scale;
  return x < 0 ? -rounded : rounded;
}

}  // namespace

void TZorValue::Round(const TZorValue* digits) {
  int n = 0;
  if (null_ || (type_ != ftFloat && type_ != ftCurrency) || (digits && !DigitCount(*digits, &n))) {
    SetNull(type_);
    return;
  }
  const double x = Read<double>();
  if (digits) {
    SetFloat(RoundAtDigits(x, n, false));
    return;
  }
  SetLargeInt(WholeToInt64(std::round(x)));
}

void TZorValue::Truncate(const TZorValue* digits) {
  int n = 0;
  if (null_ || (type_ != ftFloat && type_ != ftCurrency) || (digits && !DigitCount(*digits, &n))) {
    SetNull(type_);
    return;
  }
  const double x = Read<double>();
  if (digits) {
    SetFloat(RoundAtDigits(x, n, true));
    return;
  }
  SetLargeInt(WholeToInt64(std::trunc(x)));
}

void TZorValue::BitAnd(const TZorValue& b) {
  if (null_ || b.null_ || !IsIntegerType(type_) || !IsIntegerType(b.type_)) {
    SetNull(type_);
    return;
  }
  TrySetIntOfType(CommonType(type_, b.type_), IntValue() & b.IntValue());
}

void TZorValue::BitOr(const TZorValue& b) {
  if (null_ || b.null_ || !IsIntegerType(type_) || !IsIntegerType(b.type_)) {
    SetNull(type_);
    return;
  }
  TrySetIntOfType(CommonType(type_, b.type_), IntValue() | b.IntValue());
}

void TZorValue::BitXor(const TZorValue& b) {
  if (null_ || b.null_ || !IsIntegerType(type_) || !IsIntegerType(b.type_)) {
    SetNull(type_);
    return;
  }
  TrySetIntOfType(CommonType(type_, b.type_), IntValue() ^ b.IntValue());
}

void TZorValue::BitNot() {
  if (null_ || !IsIntegerType(type_)) {
    SetNull(type_);
    return;
  }
  const std::int64_t v = IntValue();
  switch (type_) {
    case ftSmallint:
      SetSmallInt(static_cast<std::int16_t>(~v));
      break;
    case ftWord:
      SetWord(static_cast<std::uint16_t>(~v & 0xFFFF));
      break;
    case ftInteger:
      SetInteger(static_cast<std::int32_t>(~v));
      break;
    case ftAutoInc:
      SetAutoInc(static_cast<std::int32_t>(~v));
      break;
    default:
      SetLargeInt(~v);
      break;
  }
}

namespace {

// One shift in the width of `type`; the value fits that type.
std::int64_t Shifted(std::uint8_t type, std::int64_t v, std::int64_t count, bool left) {
  if (type == ftLargeint) {
    // Counts outside 0..63 shift every bit out.
    if (count < 0 || count > 63) return 0;
    const auto u = static_cast<std::uint64_t>(v);
    return static_cast<std::int64_t>(left ? u << count : u >> count);
  }
  const unsigned n = static_cast<unsigned>(count & 31);
  // SmallInt and Integer are sign-extended to 32 bits, Word zero-extended.
  const auto u = static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
  const std::uint32_t r = left ? u << n : u >> n;
  switch (type) {
    case ftSmallint:
      return static_cast<std::int16_t>(static_cast<std::uint16_t>(r));
    case ftWord:
      return static_cast<std::uint16_t>(r);
    default:
      return static_cast<std::int32_t>(r);
  }
}

}  // namespace

void TZorValue::ShiftLeft(const TZorValue& b) {
  if (null_ || b.null_ || !IsIntegerType(type_) || !IsIntegerType(b.type_)) {
    SetNull(type_);
    return;
  }
  const std::uint8_t type = CommonType(type_, b.type_);
  TrySetIntOfType(type, Shifted(type, IntValue(), b.IntValue(), true));
}

void TZorValue::ShiftRight(const TZorValue& b) {
  if (null_ || b.null_ || !IsIntegerType(type_) || !IsIntegerType(b.type_)) {
    SetNull(type_);
    return;
  }
  const std::uint8_t type = CommonType(type_, b.type_);
  TrySetIntOfType(type, Shifted(type, IntValue(), b.IntValue(), false));
}

void TZorValue::ToHex(const TZorValue* style) {
  if (null_ || !(IsStringType(type_) || IsIntegerType(type_))) {
    SetNull(type_);
    return;
  }
  int styleNumber = 0;
  if (style && !style->IsNull() && IsNumericType(style->DataType())) {
    TZorValue copy(*style);
    copy.ConvertTo(ftLargeint);
    const std::int64_t s = copy.AsLargeInt();
    styleNumber = s == 1 || s == 2 ? static_cast<int>(s) : 0;
  }
  std::string digits;
  if (type_ == ftString || type_ == ftWideString) {
    const std::string bytes = type_ == ftString ? Text() : Utf16Bytes(WideText());
    digits.reserve(bytes.size() * 2);
    for (char c : bytes) digits += HexDigits(static_cast<unsigned char>(c), 2);
  } else {
    const auto v = static_cast<std::uint64_t>(IntValue());
    const int width = type_ == ftLargeint ? 16 : (type_ == ftSmallint || type_ == ftWord) ? 4 : 8;
    digits = HexDigits(width == 16 ? v : v & ((std::uint64_t{1} << (width * 4)) - 1), width);
  }
  std::string result = (styleNumber == 1 ? "$" : styleNumber == 2 ? "0x" : "") + digits;
  if (styleNumber == 2) {
    for (char& c : result)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  SetString(result);
}

}  // namespace kivo
