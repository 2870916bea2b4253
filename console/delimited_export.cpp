#include "console/delimited_export.h"

namespace kartova {

namespace {

std::string Quoted(const std::string& value, std::string_view delimiter) {
  if (delimiter.empty() || value.find(delimiter) == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string DelimitedLine(const std::vector<std::string>& values, std::string_view delimiter) {
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line.append(delimiter);
    line.append(Quoted(values[i], delimiter));
  }
  line.append("\r\n");
  return line;
}

}  // namespace kartova
