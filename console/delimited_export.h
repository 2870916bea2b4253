// Lines of the command-line delimited export: values joined by a delimiter,
// a value that contains the delimiter enclosed in double quotes with its
// inner double quotes doubled.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kartova {

// One line, ending in CR LF. Values are not cut and nothing else is replaced.
std::string DelimitedLine(const std::vector<std::string>& values, std::string_view delimiter);

}  // namespace kartova
