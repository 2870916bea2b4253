#include "sql/functions.h"

#include "platform/errors.h"

namespace kivo {

void EvaluateFunction(const TZorFunctionCall& /*call*/, std::span<const TZorValue* const> /*args*/,
                      TZorValue& /*result*/) {
  throw Exception("Unknown Operator");
}

}  // namespace kivo
