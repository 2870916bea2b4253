// Locale services for the engine's ANSI (Windows-1250) text: code-page
// conversion, case mapping, locale-aware comparison, and the number and date
// formats used when values are turned into text.
#pragma once

#include <string>
#include <string_view>

namespace kivo {

// Windows-1250 bytes <-> Unicode. Bytes with no character in the code page
// map to U+FFFD; characters the code page lacks map to '?'.
std::string Cp1250ToUtf8(std::string_view ansi);
std::string Utf8ToCp1250(std::string_view utf8);
std::u16string Cp1250ToUtf16(std::string_view ansi);
std::string Utf16ToCp1250(std::u16string_view wide);

// Upper and lower case of Windows-1250 text (accented letters included).
std::string AnsiUpperCase(std::string_view ansi);
std::string AnsiLowerCase(std::string_view ansi);

// Locale-aware comparison of Windows-1250 text in the user's locale:
// negative, zero or positive. The Text variants ignore case.
int AnsiCompareStr(std::string_view a, std::string_view b);
int AnsiCompareText(std::string_view a, std::string_view b);
// AnsiCompareText(a, b) == 0.
bool AnsiSameText(std::string_view a, std::string_view b);

}  // namespace kivo
