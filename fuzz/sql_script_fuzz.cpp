// Fuzz target: any bytes as a script, checked by the script processor as
// before a run: every statement of every kind (queries, INSERT, UPDATE,
// DELETE, the definition statements) is read, and the leftover-token rules
// applied. Nothing runs; running scripts needs a database.
//
// Normal outcomes: a checked script, or one of the engine's errors (all
// derive from Exception: ZorException for lexical and syntax errors,
// EConvertError for numbers that do not read). Anything else is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "sql/stmt/script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kivo;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    TSQLScriptProcessor processor(text, nullptr);
    if (processor.StatementCount() < 1) std::abort();
  } catch (const Exception&) {
  }
  return 0;
}
