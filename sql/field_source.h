// TZorFieldSource: what an expression needs to know about the rows it reads.
//
// A field reference in an expression names a field and, optionally, the
// table or alias it belongs to; binding asks the source which of its fields
// match. The relational operators implement this for their result rows;
// tests implement it over a fixed list of fields.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kivo {

class TZorValue;

class TZorFieldSource {
 public:
  virtual ~TZorFieldSource() = default;

  // The numbers of the fields that `name` (and `qualifier`, a table name or
  // alias, when it is not empty) may mean; case is ignored. A reference is
  // valid only when exactly one field matches.
  virtual std::vector<int> MatchingFields(std::string_view qualifier,
                                          std::string_view name) const = 0;
  // The value type (a field type tag) and the byte size of a string field.
  virtual std::uint8_t FieldType(int fieldNo) const = 0;
  virtual std::int32_t FieldSize(int fieldNo) const = 0;
  // The value of a field in the current row. `out` may borrow the row's
  // memory (TZorValue::SetBorrowed); it stays valid until the row moves.
  virtual void ReadField(int fieldNo, TZorValue& out) const = 0;
};

}  // namespace kivo
