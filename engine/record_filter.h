// A filter over record images that the visible records list consults but
// does not define: the SQL processor implements it over an expression, so
// the engine can restrict a result table by a WHERE condition without
// knowing SQL.
#pragma once

#include <cstdint>

namespace kivo {

class TkrRecordFilter {
 public:
  struct Outcome {
    std::uint8_t Type;  // the expression's result type; a filter must give ftBoolean
    bool Passes;        // true only for a boolean true (false and null do not pass)
  };

  // The filter's value for one record image of the table.
  virtual Outcome EvaluateRecord(const std::uint8_t* record) = 0;

 protected:
  ~TkrRecordFilter() = default;
};

}  // namespace kivo
