// Key comparison for the merging and grouping operators.
#include "sql/ops/ao_keys.h"

#include <string>

#include "platform/error_codes.h"
#include "platform/errors.h"

namespace kivo {

int CompareKeyValues(const TZorValue& a, const TZorValue& b, int castError, int compareError,
                     std::string_view field1, std::string_view field2) {
  int outcome;
  try {
    outcome = TZorValue::Compare(a, b);
  } catch (const ZorException& e) {
    const std::vector<FormatArg> args{std::string(field1), std::string(field2)};
    if (e.NativeError() == native_error::kInvalidTypeCast) {
      throw ZorException::CreateFmt(castError, {}, args);
    }
    if (e.NativeError() == native_error::kCompareNotSupported) {
      throw ZorException::CreateFmt(compareError, {}, args);
    }
    throw;
  }
  switch (outcome) {
    case zcrEqual:
    case zcrBothNull:
      return 0;
    case zcrLess:
    case zcrLeftNull:
      return -1;
    default:
      return 1;
  }
}

}  // namespace kivo
