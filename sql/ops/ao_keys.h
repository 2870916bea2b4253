// Comparing the key values of rows that operators merge or group: the
// values come from index-ordered inputs, so they are compared the way the
// index orders them.
#pragma once

#include <string_view>

#include "sql/values.h"

namespace kivo {

// Orders two key values as a result table's index does: NULL equals NULL
// and sorts before every other value. Returns -1, 0 or 1. When the two
// types cannot be compared (TZorValue::Compare's kInvalidTypeCast or
// kCompareNotSupported), raises native `castError` or `compareError` with
// the two field names instead.
int CompareKeyValues(const TZorValue& a, const TZorValue& b, int castError, int compareError,
                     std::string_view field1, std::string_view field2);

}  // namespace kivo
