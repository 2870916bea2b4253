// Field and index definitions: the description of a table's structure that
// a data set hands to the table engine when it creates a table, and that it
// rebuilds from an open table's headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dataset/field_type.h"

namespace kivo {

// One field of a table: name, type, declared size and the Required flag.
// The declared size counts characters for ftString, bytes for ftWideString
// and ftBytes, and is ignored for the fixed-size types.
class TFieldDef {
 public:
  TFieldDef() = default;
  TFieldDef(std::string name, TFieldType dataType, std::int32_t size = 0, bool required = false)
      : name_(std::move(name)), data_type_(dataType), size_(size), required_(required) {}

  const std::string& Name() const { return name_; }
  void SetName(const std::string& value) { name_ = value; }
  TFieldType DataType() const { return data_type_; }
  void SetDataType(TFieldType value) { data_type_ = value; }
  std::int32_t Size() const { return size_; }
  void SetSize(std::int32_t value) { size_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }

  bool operator==(const TFieldDef&) const = default;

 private:
  std::string name_;
  TFieldType data_type_ = ftUnknown;
  std::int32_t size_ = 0;
  bool required_ = false;
};

// An ordered collection of field definitions.
class TFieldDefs {
 public:
  TFieldDef& Add(const std::string& name, TFieldType dataType, std::int32_t size = 0,
                 bool required = false);
  TFieldDef& Add(const TFieldDef& def);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  // REQUIRES: 0 <= index < Count().
  TFieldDef& Items(int index) { return items_.at(static_cast<std::size_t>(index)); }
  const TFieldDef& Items(int index) const { return items_.at(static_cast<std::size_t>(index)); }
  TFieldDef& operator[](int index) { return Items(index); }
  const TFieldDef& operator[](int index) const { return Items(index); }
  // The position of the first definition named `name` (case ignored), or -1.
  int IndexOf(const std::string& name) const;
  // The first definition named `name` (case ignored), or nullptr.
  const TFieldDef* Find(const std::string& name) const;

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

  bool operator==(const TFieldDefs&) const = default;

 private:
  std::vector<TFieldDef> items_;
};

// Index options, a bit set stored as one byte in index headers.
using TIndexOptions = std::uint8_t;
constexpr TIndexOptions ixPrimary = 1;
constexpr TIndexOptions ixUnique = 2;
constexpr TIndexOptions ixDescending = 4;
constexpr TIndexOptions ixCaseInsensitive = 8;

// One index: its name, its key fields as a ";"-separated list of field
// names, the key fields sorted descending and those compared ignoring case
// (both ";"-separated lists too), and its options.
class TIndexDef {
 public:
  TIndexDef() = default;
  TIndexDef(std::string name, std::string fields, TIndexOptions options = 0)
      : name_(std::move(name)), fields_(std::move(fields)), options_(options) {}

  const std::string& Name() const { return name_; }
  void SetName(const std::string& value) { name_ = value; }
  const std::string& Fields() const { return fields_; }
  void SetFields(const std::string& value) { fields_ = value; }
  const std::string& CaseInsFields() const { return case_ins_fields_; }
  void SetCaseInsFields(const std::string& value) { case_ins_fields_ = value; }
  const std::string& DescFields() const { return desc_fields_; }
  void SetDescFields(const std::string& value) { desc_fields_ = value; }
  TIndexOptions Options() const { return options_; }
  void SetOptions(TIndexOptions value) { options_ = value; }

  bool operator==(const TIndexDef&) const = default;

 private:
  std::string name_;
  std::string fields_;
  std::string case_ins_fields_;
  std::string desc_fields_;
  TIndexOptions options_ = 0;
};

// An ordered collection of index definitions.
class TIndexDefs {
 public:
  TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options = 0);
  TIndexDef& Add(const TIndexDef& def);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  // REQUIRES: 0 <= index < Count().
  TIndexDef& Items(int index) { return items_.at(static_cast<std::size_t>(index)); }
  const TIndexDef& Items(int index) const { return items_.at(static_cast<std::size_t>(index)); }
  TIndexDef& operator[](int index) { return Items(index); }
  const TIndexDef& operator[](int index) const { return Items(index); }
  // The position of the first definition named `name` (case ignored), or -1.
  int IndexOf(const std::string& name) const;
  // The first definition named `name` (case ignored), or nullptr.
  const TIndexDef* Find(const std::string& name) const;

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

  bool operator==(const TIndexDefs&) const = default;

 private:
  std::vector<TIndexDef> items_;
};

// Splits a ";"-separated list of names into its items; surrounding blanks of
// each item are dropped, and so are empty items.
std::vector<std::string> SplitFieldNames(const std::string& list);
// Splits a list of names separated by runs of "," or ";"; each name is
// trimmed of blanks and empty names are dropped.
std::vector<std::string> SplitNameList(const std::string& list);

}  // namespace kivo
