#include "components/kivo_table.h"

#include <charconv>

#include "engine/table_header.h"

namespace kivo {

std::string TKivoTable::CurrentVersion() const {
  // Fixed notation with "." whatever the process locale.
  char text[32];
  const auto result =
      std::to_chars(text, text + sizeof text, kEngineVersion, std::chars_format::fixed, 2);
  return std::string(text, result.ptr) + " ";
}

}  // namespace kivo
