// Field objects: the typed view of one column of a data set's current
// record. A field holds no value of its own; it reads and writes through its
// data set (GetFieldData / SetFieldData) in the native buffer form of its
// type, and converts between that form and text, numbers, booleans and
// date-time numbers.
//
// Native buffer forms (little-endian, the table engine's stored slots):
//   ftString, ftFixedChar  Size + 1 bytes of Windows-1250, zero-terminated
//   ftSmallint             int16          ftWord       uint16
//   ftInteger, ftAutoInc   int32          ftLargeint   int64
//   ftBoolean              2 bytes, true when the first byte is non-zero
//   ftFloat, ftCurrency, ftBCD  double
//   ftDate                 int32 day number (1 January 0001 = 1), 8-byte slot
//   ftTime                 int32 milliseconds of the day, 8-byte slot
//   ftDateTime             double: day number x 86400000 + milliseconds
//   ftBytes                Size raw bytes
//   ftWideString           UTF-16 code units, zero-terminated; Size + 2
//                          bytes, Size counting bytes
//   BLOB types             no buffer data; values go through CreateBlobStream
//
// Text forms follow DefaultFormatSettings(): the decimal separator for
// floats, the short date and long time for dates and times.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/field_type.h"
#include "platform/errors.h"

namespace kivo {

class TDataSet;

enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };

// A value outside the range of a field's type.
class ERangeError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "ERangeError"; }
};

// True for the types whose values live in BLOB streams.
bool IsBlobType(TFieldType type);

class TField {
 public:
  using TFieldNotify = std::function<void(TField&)>;

  TField(std::string fieldName, TFieldType dataType, std::int32_t size = 0,
         TFieldKind kind = fkData);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  const std::string& FieldName() const { return field_name_; }
  const std::string& DisplayLabel() const { return display_label_; }
  void SetDisplayLabel(const std::string& value) { display_label_ = value; }
  // The display label, or the field name when no label is set.
  const std::string& DisplayName() const {
    return display_label_.empty() ? field_name_ : display_label_;
  }
  TFieldType DataType() const { return data_type_; }
  std::int32_t Size() const { return size_; }
  // 1-based number of the field definition; 0 for calculated and lookup
  // fields and for unbound fields.
  int FieldNo() const { return field_no_; }
  TFieldKind FieldKind() const { return field_kind_; }
  bool Calculated() const { return field_kind_ == fkCalculated || field_kind_ == fkLookup; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool Visible() const { return visible_; }
  void SetVisible(bool value) { visible_ = value; }
  // Offset in the calculated-fields area (calculated and lookup fields).
  std::int32_t Offset() const { return offset_; }
  // The size of the native buffer form; 0 for BLOB types.
  std::int32_t DataSize() const;
  bool IsBlob() const { return IsBlobType(data_type_); }
  TDataSet* DataSet() const { return data_set_; }
  bool IsDefault() const { return default_; }

  // ---- Reading. A null value reads as "", 0, false or 0.0.
  bool IsNull() const;
  std::string AsString() const;
  std::u16string AsWideString() const;
  std::int32_t AsInteger() const;
  std::int64_t AsLargeInt() const;
  double AsFloat() const;
  bool AsBoolean() const;
  // A date-time number (days since 30 December 1899, time as the fraction).
  double AsDateTime() const;
  std::string DisplayText() const { return AsString(); }
  std::string Text() const { return AsString(); }

  // ---- Writing. Bad text raises EConvertError with the usual texts; an
  // empty text makes a non-string field null. Integers out of the type's
  // range raise ERangeError.
  void SetAsString(const std::string& value);
  void SetAsWideString(const std::u16string& value);
  void SetAsInteger(std::int32_t value) { SetAsLargeInt(value); }
  void SetAsLargeInt(std::int64_t value);
  void SetAsFloat(double value);
  void SetAsBoolean(bool value);
  void SetAsDateTime(double value);
  void Clear() { SetData(nullptr); }

  // Raw access to the native form through the data set. GetData returns
  // false for null; while OnValidate runs it reads the value being checked.
  bool GetData(void* buffer) const;
  void SetData(const void* buffer);
  // Runs OnValidate with `buffer` (nullptr = null) as the field's value.
  void Validate(const void* buffer);
  // Runs OnChange; the data set calls it after a field change.
  void Change();

  TFieldNotify OnValidate;
  TFieldNotify OnChange;

 private:
  friend class TFields;
  friend class TDataSet;

  // The native value read through the data set, held inline for the fixed
  // types so that reading a field allocates nothing; empty() when null.
  class TNativeValue {
   public:
    explicit TNativeValue(const TField& field);
    TNativeValue(const TNativeValue&) = delete;
    TNativeValue& operator=(const TNativeValue&) = delete;
    bool empty() const { return !has_value_; }
    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::uint8_t operator[](std::size_t i) const { return data_[i]; }

   private:
    std::uint8_t small_[40];
    std::vector<std::uint8_t> big_;
    std::uint8_t* data_;
    std::size_t size_;
    bool has_value_;
  };
  [[noreturn]] void RaiseAccessError(const char* typeName) const;
  void CheckRange(std::int64_t value, std::int64_t min, std::int64_t max) const;
  void SetBlobBytes(const std::string& bytes);
  std::string BlobBytes() const;

  std::string field_name_;
  std::string display_label_;
  TFieldType data_type_;
  std::int32_t size_;
  TFieldKind field_kind_;
  int field_no_ = 0;
  bool required_ = false;
  bool read_only_ = false;
  bool visible_ = true;
  bool default_ = false;
  std::int32_t offset_ = 0;
  TDataSet* data_set_ = nullptr;
  // Set while OnValidate runs: the value being validated.
  bool validating_ = false;
  const void* validate_buffer_ = nullptr;
};

// The fields of one data set, in order; owns them.
class TFields {
 public:
  explicit TFields(TDataSet* owner) : owner_(owner) {}
  int Count() const { return static_cast<int>(items_.size()); }
  // REQUIRES: 0 <= index < Count().
  TField& operator[](int index) const { return *items_.at(static_cast<std::size_t>(index)); }
  // The data field bound to field definition `fieldNo` (1-based), or nullptr.
  TField* FieldByNumber(int fieldNo) const;
  // The first field named `name` (case ignored), or nullptr.
  TField* FindField(const std::string& name) const;
  // Takes the field and attaches it to the data set; returns it.
  TField& Add(std::unique_ptr<TField> field);
  // Destroys the field when it belongs here.
  void Remove(TField* field);
  void Clear() { items_.clear(); }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  friend class TDataSet;
  TDataSet* owner_;
  std::vector<std::unique_ptr<TField>> items_;
};

}  // namespace kivo
