// What evaluating an expression needs from its surroundings: the current
// row (through the field sources the references are bound to, or a
// context row), sub-queries run by the query component, and the last
// automatic number of a table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/locale.h"
#include "sql/field_source.h"
#include "sql/values.h"

namespace kivo {

class TZorExprNodeSystem;

// The rows of an open sub-query.
class TZorSubQueryRows {
 public:
  virtual ~TZorSubQueryRows() = default;
  // Moves to the next row (the first one on the first call); false past
  // the last.
  virtual bool Next() = 0;
  // The value of the first field of the current row.
  virtual const TZorValue& FirstField() = 0;
};

class TZorEvalContext {
 public:
  virtual ~TZorEvalContext() = default;

  // The row that field references read instead of their bound sources (a
  // data set's current record, by the same field numbers); null: each
  // reference reads the current row of the source it is bound to.
  virtual const TZorFieldSource* Row() const { return nullptr; }
  // Opens a sub-query on the context's database.
  virtual std::unique_ptr<TZorSubQueryRows> OpenSubQuery(const std::string& sql) = 0;
  // The last automatic number of the table `node` names.
  virtual std::int32_t LastAutoInc(const TZorExprNodeSystem& node) = 0;
  // Number and date texts for conversions; null means the process-wide
  // DefaultFormatSettings().
  virtual const FormatSettings* Settings() const { return nullptr; }
};

}  // namespace kivo
