// TParam, TParams: the named parameters of a query (":name" in its text).
//
// Each parameter has a name, a declared data type, and a typed value that
// may be NULL. The lexer reads the list when it tokenizes a statement and
// puts each parameter's value (as text and typed) into the token stream in
// place of its name;
// the query component owns the list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/field_type.h"
#include "sql/values.h"

namespace kivo {

class TParam {
 public:
  TParam() = default;
  explicit TParam(std::string name, TFieldType dataType = ftUnknown)
      : name_(std::move(name)), data_type_(dataType) {}

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // The declared type; it decides how the lexer writes the value. Setting a
  // value below also sets the type.
  TFieldType DataType() const { return data_type_; }
  void SetDataType(TFieldType type) { data_type_ = type; }

  bool IsNull() const { return value_.IsNull(); }
  // The value, with the storage type of the declared type (a BCD parameter
  // holds a Float, a BLOB parameter its bytes).
  const TZorValue& Value() const { return value_; }

  // Makes the value NULL; the declared type stays.
  void Clear() { value_.Clear(); }

  // Whether a value was given to the parameter (by any setter below). A
  // query linked to a master fills only the parameters that are not bound,
  // and leaves them unbound so that the next master record fills them again.
  bool Bound() const { return bound_; }
  void SetBound(bool value) { bound_ = value; }

  void SetAsString(std::string_view text, TFieldType type = ftString);
  void SetAsWideString(std::u16string_view text);
  void SetAsSmallInt(std::int16_t v);
  void SetAsInteger(std::int32_t v, TFieldType type = ftInteger);  // or ftAutoInc
  void SetAsWord(std::uint16_t v);
  void SetAsLargeInt(std::int64_t v);
  void SetAsBoolean(bool v);
  void SetAsFloat(double v, TFieldType type = ftFloat);  // or ftCurrency, ftBCD
  // A date-time number; `type` is ftDate, ftTime or ftDateTime.
  void SetAsDateTime(double dateTime, TFieldType type = ftDateTime);
  // Raw bytes of a BLOB, memo, graphic or formatted-memo parameter.
  void SetAsBlob(std::string_view bytes, TFieldType type = ftBlob);

  // The value in the storage type of the declared type: NULL of that type
  // when NULL, a date-time held by a date or time parameter cut to it.
  TZorValue TypedValue() const;

  // The value as text ("" when NULL): numbers with "." for decimals whatever
  // the process's settings, dates and times in `settings`.
  std::string AsText(const FormatSettings& settings) const;

 private:
  std::string name_;
  TFieldType data_type_ = ftUnknown;
  TZorValue value_;
  bool bound_ = false;
};

class TParams {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TParam& operator[](int index) { return items_.at(static_cast<std::size_t>(index)); }
  const TParam& operator[](int index) const { return items_.at(static_cast<std::size_t>(index)); }

  // Appends a parameter and returns it.
  TParam& Add(std::string name, TFieldType dataType = ftUnknown);
  void Clear() { items_.clear(); }

  // The first parameter of that name, case ignored; null when there is none.
  TParam* FindParam(std::string_view name);
  const TParam* FindParam(std::string_view name) const;
  // The same, raising EDatabaseError "Parameter '<name>' not found".
  TParam& ParamByName(std::string_view name);
  const TParam& ParamByName(std::string_view name) const;

 private:
  std::vector<TParam> items_;
};

}  // namespace kivo
