// Fuzz target: the console's readers of outside input. The bytes are split
// at NUL bytes into command-line parameters for ParseCommandLine, and read
// whole as a script file (DecodeScriptText), whose text then goes through
// the save check (CharactersNotInCp1250) and the export's quoting.
//
// None of these may raise or crash on any input; the checks below hold
// what each promises.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "console/command_line.h"
#include "console/delimited_export.h"
#include "console/text_files.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "console input fuzz finding: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> params;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= bytes.size(); ++i) {
    if (i == bytes.size() || bytes[i] == '\0') {
      params.emplace_back(bytes.substr(start, i - start));
      start = i + 1;
    }
  }
  const kartova::TCommandLine cl = kartova::ParseCommandLine(params);
  if (!cl.password_file.empty() && cl.password_file.find('\0') != std::string::npos)
    Fail("a password file name holds a NUL");
  if (cl.has_database_parameter && params.empty()) Fail("a database without parameters");

  const std::string text = kartova::DecodeScriptText(bytes);
  if (!kartova::IsValidUtf8(text)) Fail("decoded script text is not UTF-8");
  if (text.find('\r') != std::string::npos) Fail("a CR survived the line-break normalisation");
  for (const std::string& c : kartova::CharactersNotInCp1250(text)) {
    if (c.empty() || text.find(c) == std::string::npos)
      Fail("a reported character is not in the text");
  }

  const std::string_view delimiter = bytes.substr(0, std::min<std::size_t>(bytes.size(), 3));
  std::string line;
  kartova::AppendDelimitedValue(line, text, delimiter);
  if (line.size() < text.size()) Fail("quoting lost bytes");
  return 0;
}
