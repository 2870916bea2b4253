// The built-in scalar functions of the SQL dialect: string, date and
// numeric functions and ISNULL, computed from arguments already evaluated.
//
// Expression nodes evaluate their argument nodes in order and hand the
// values here; the checks of argument types happen here, row by row, with
// the engine's numbered errors.
#pragma once

#include <cstdint>
#include <span>

#include "platform/locale.h"
#include "sql/date_formater.h"
#include "sql/values.h"

namespace kivo {

struct TZorFunctionCall {
  // The operator code (TZorOperator): 27-34 string functions, 41-57 date
  // functions, 58-66 and 73 numeric functions, 16 ISNULL.
  std::uint8_t Operator = 0;
  // The pattern of TODATE and TOSTRING.
  const TDateFormater* Formater = nullptr;
  // ISNULL with two arguments: the planned result types of both arguments.
  std::uint8_t ArgumentTypes[2] = {0, 0};
  // Number and date texts; null means DefaultFormatSettings().
  const FormatSettings* Settings = nullptr;
};

// Computes `call` from `args` (one entry per argument node, in order; an
// empty span for a function written without arguments) into `result`.
// Raises the function's ZorException or the value primitives' errors;
// `result` is replaced only on success and may be one of the arguments.
// Fewer arguments than the function takes, or a null pointer among them,
// raise native error 70 naming the function; a code this library does not
// handle raises the general exception "Unknown Operator".
void EvaluateFunction(const TZorFunctionCall& call, std::span<const TZorValue* const> args,
                      TZorValue& result);

}  // namespace kivo
