// TZorValue: the typed, nullable value that the SQL processor computes,
// compares, converts and stores, and that the dataset layer reads and
// writes record fields through.
//
// Invariants:
//  1. A NULL value has no payload (Size 0, Data null); it keeps a type tag.
//  2. A fresh or cleared value is NULL with tag 0.
//  3. An empty String or WideString is NULL (with the tag kept).
//  4. A non-NULL value's payload is at least the natural size of its type
//     (String: a zero byte ends the text at the latest at Size; WideString:
//     likewise with a zero code unit), so reading it never passes Size.
//  5. A borrowed payload belongs to someone else (a record buffer) and is
//     never written or freed by the value; every setter and every copy
//     gives the value an owned payload.
//
// Payloads by tag: String: Windows-1250 text and a zero byte. SmallInt,
// Word: 16 bits. Integer, AutoInc: 32 bits. Boolean: one byte (non-zero is
// true). Float, Currency: IEEE double. Date: 32-bit day number, 1 January
// 0001 = 1. Time: 32-bit milliseconds since midnight. DateTime: IEEE double,
// day number x 86,400,000 + milliseconds of the day. Memo, FmtMemo: the
// bytes without a terminator. WideString: UTF-16 units and a zero unit.
// LargeInt: 64 bits. All little-endian, possibly unaligned.
//
// Integer arithmetic never wraps: a SmallInt, Word, Integer or AutoInc
// result that does not fit its type moves to the next wider type that holds
// it (Integer, then LargeInt); a LargeInt result that does not fit raises
// EIntOverflow. Conversions to a narrower type and dates outside years
// 1..9999 raise the conversion errors instead of keeping low bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "dataset/field_type.h"
#include "platform/locale.h"
#include "platform/value_text.h"

namespace kivo {

// Outcomes of TZorValue::Compare.
enum TZorCompareResult : int {
  zcrEqual = 0,
  zcrGreater = 1,    // A > B
  zcrLess = 2,       // A < B
  zcrLeftNull = 3,   // A is NULL, B not
  zcrRightNull = 4,  // B is NULL, A not
  zcrBothNull = 5,
};

// A value as a variant of the platform kinds.
struct TZorDateTimeVariant {
  double Value;  // a date-time number
  bool operator==(const TZorDateTimeVariant&) const = default;
};
using TZorVariant = std::variant<std::monostate,  // Null
                                 std::string, std::int16_t, std::int32_t, std::uint16_t, bool,
                                 double, TZorDateTimeVariant, std::u16string, std::int64_t>;

// Type classes.
bool IsNumericType(std::uint8_t type);  // SmallInt Integer Word Float Currency AutoInc LargeInt
bool IsIntegerType(std::uint8_t type);  // SmallInt Integer Word AutoInc LargeInt
bool IsStringType(std::uint8_t type);   // String WideString
bool IsDateType(std::uint8_t type);     // Date Time DateTime

// The day number and milliseconds of a date-time number; EConvertError
// "Date-time value out of range: ..." outside years 1 to 9999.
TDayAndTime CheckedDayAndTime(double dateTime);

class TZorValue {
 public:
  TZorValue() noexcept = default;
  // Copies are deep and always own their payload.
  TZorValue(const TZorValue& other);
  TZorValue& operator=(const TZorValue& other);
  TZorValue(TZorValue&& other) noexcept;
  TZorValue& operator=(TZorValue&& other) noexcept;
  ~TZorValue() = default;

  std::uint8_t DataType() const { return type_; }
  std::int32_t Size() const { return size_; }
  bool IsNull() const { return null_; }
  bool Borrowed() const { return borrowed_; }
  const std::byte* Data() const { return data_; }

  // NULL, tag 0, no payload.
  void Init() { Clear(); }
  void Clear() noexcept;
  // NULL with the given tag.
  void SetNull(std::uint8_t type);
  // The target becomes a deep copy (owned payload).
  void CopyTo(TZorValue& target) const;

  // A non-NULL value whose payload is `size` bytes at `data`, owned by the
  // caller and required to outlive this use (a field slot of a record
  // buffer, which may be larger than the natural size). REQUIRES: `data`
  // does not lie in this value's own payload. Raises
  // EConvertError when the size cannot hold the type's payload.
  void SetBorrowed(std::uint8_t type, const void* data, std::int32_t size);
  // The same with an owned copy of the bytes. An empty String or WideString
  // payload gives NULL.
  void SetPayload(std::uint8_t type, const void* data, std::int32_t size);

  // Setters: each gives a non-NULL value of one tag with an owned payload.
  void SetSmallInt(std::int16_t v);
  void SetInteger(std::int32_t v);
  void SetAutoInc(std::int32_t v);
  void SetWord(std::uint16_t v);
  void SetLargeInt(std::int64_t v);
  void SetBoolean(bool v);
  void SetFloat(double v);
  void SetCurrency(double v);
  // Take a date-time number; store its day number, its milliseconds of the
  // day, or its full millisecond count. Raise EConvertError for a number
  // outside years 1..9999 (or not finite).
  void SetDate(double dateTime);
  void SetTime(double dateTime);
  void SetDateTime(double dateTime);
  // Text up to its first zero byte; empty text gives a NULL String.
  void SetString(std::string_view text);
  // Text up to its first zero unit; empty text gives a NULL WideString.
  void SetWideString(std::u16string_view text);
  // Memo or FmtMemo bytes (zero bytes included).
  void SetMemo(std::string_view bytes, std::uint8_t type = ftMemo);

  // Strict getters: NULL or a tag other than the ones named raises the
  // ZorException shown (native_error:: in platform/error_codes.h).
  std::int32_t AsInteger() const;   // Integer, AutoInc; kNotInteger (2107)
  std::int16_t AsSmallInt() const;  // SmallInt; kNotSmallInt (61)
  std::uint16_t AsWord() const;     // Word; kNotWord (63)
  std::int64_t AsLargeInt() const;  // LargeInt; kNotLargeInt (62)
  bool AsBoolean() const;           // Boolean; kNotBoolean (2113)
  double AsFloat() const;           // Float, Currency; kNotFloat (60)
  double AsDateTime() const;  // Date, Time, DateTime as a date-time number; kNotDateTime (2140)

  // The value as text: the text of String, Memo and FmtMemo, and for the
  // other types the text that ConvertTo(String) gives; "" for NULL.
  // Settings default to DefaultFormatSettings().
  std::string AsString(const FormatSettings* settings = nullptr) const;
  // WideString's units, or AsString widened.
  std::u16string AsWideString(const FormatSettings* settings = nullptr) const;
  // The platform kind of each type (Memo and FmtMemo give their text,
  // Currency a double, the date types a date-time); NULL gives Null.
  TZorVariant AsVariant() const;

  // The common type of two tags (0 when none).
  static std::uint8_t CommonType(std::uint8_t a, std::uint8_t b);
  // The type Compare compares two non-NULL values of these tags in: their
  // common type, except that a String meets a date type as that date type.
  static std::uint8_t ComparisonType(std::uint8_t a, std::uint8_t b);

  // Converts in place. A NULL value only takes the new tag. Raises
  // ZorException kConversionFailed (2093) for text that does not read and for
  // a value out of the target's range, kNoConversion (2092) for a pair of
  // types that cannot convert, kUnsupported (-1) for Boolean or Currency to
  // Currency or a date type.
  void ConvertTo(std::uint8_t type, const FormatSettings* settings = nullptr);

  // Three-way comparison with NULL outcomes (TZorCompareResult). Raises
  // ZorException kInvalidTypeCast (25) when the types have no comparison type
  // and kCompareNotSupported (28) when that type cannot be compared;
  // conversions may raise as ConvertTo.
  static int Compare(const TZorValue& a, const TZorValue& b, bool caseInsensitive = false,
                     bool partial = false, const FormatSettings* settings = nullptr);

  // Arithmetic and bit primitives: this value is the left operand and
  // receives the result. A primitive that raises leaves it unchanged.
  // Division and remainder by zero raise EDivByZero; a floating result that
  // overflows or is not a number raises EOverflow or EInvalidOp.
  //
  // Power: two integer types give an exact LargeInt; otherwise a Float.
  // Add: with `accumulate`, a NULL left takes a copy of B and a NULL B makes
  // the left NULL. Without it, NULL counts as empty text in a concatenation
  // (the common type is String or WideString, or there is none and the other
  // operand is a Memo or FmtMemo), and otherwise gives NULL.
  void Add(const TZorValue& b, bool accumulate = false, const FormatSettings* settings = nullptr);
  void Negate();
  void Multiply(const TZorValue& b);
  void Divide(const TZorValue& b);
  void Modulo(const TZorValue& b);
  void Power(const TZorValue& b);
  void Abs();
  void Ceiling();
  void Floor();
  void Sign();
  void Random(bool limited);
  // Float and Currency only; `digits` may be null (no digit count: a
  // LargeInt), else a Float at that many decimals. Halves round away from
  // zero, for negative numbers too (-2.5 gives -3).
  void Round(const TZorValue* digits);
  void Truncate(const TZorValue* digits);
  void BitAnd(const TZorValue& b);
  void BitOr(const TZorValue& b);
  void BitXor(const TZorValue& b);
  void BitNot();
  void ShiftLeft(const TZorValue& b);
  void ShiftRight(const TZorValue& b);
  // `style` may be null (no prefix).
  void ToHex(const TZorValue* style);

  // "String", "SmallInt", ... ; "unknown" for tags without a name.
  static const char* TypeName(std::uint8_t type);
  // The tag of an SQL type name (case ignored; BOOLEAN means LOGICAL, CHAR,
  // VARCHAR and VARCHAR2 mean STRING); 0 for an unknown name.
  static std::uint8_t TypeFromSQLName(std::string_view name);

 private:
  std::byte* Allocate(std::uint8_t type, std::int32_t size);
  template <class T>
  void SetFixed(std::uint8_t type, T v);
  template <class T>
  T Read() const;

  // The text of String, Memo, FmtMemo; the narrowed text of WideString.
  std::string Text() const;
  // The text of a String in place (empty for other types).
  std::string_view StringView() const;
  std::u16string WideText() const;
  // The integer of an integer type or Boolean.
  std::int64_t IntValue() const;
  // The date-time number of Date, Time or DateTime.
  double DateTimeNumber() const;
  // Stores an integer in `type` or, when it does not fit, the next wider type.
  void SetIntWidened(std::uint8_t type, __int128 v);
  // Stores in exactly `type`; false when out of its range.
  bool TrySetIntOfType(std::uint8_t type, std::int64_t v);
  void ConvertFromText(std::uint8_t source, std::string_view text, std::uint8_t target,
                       const FormatSettings& fs);
  [[noreturn]] void ThrowConvert(int code, std::uint8_t source, std::uint8_t target) const;

  std::uint8_t type_ = 0;
  bool null_ = true;
  bool borrowed_ = false;
  std::int32_t size_ = 0;
  // The payload: inline_, heap_ or borrowed memory; null when NULL.
  const std::byte* data_ = nullptr;
  std::unique_ptr<std::byte[]> heap_;
  alignas(8) std::byte inline_[8] = {};
};

}  // namespace kivo
