// Text files of the console: reading SQL scripts into the editor, writing
// the one-line output file of a failed batch run, and the text conversions
// between the editor (UTF-8) and the engine (Windows-1250).
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace kartova {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// Decodes a script file's bytes to UTF-8 editor text: UTF-8 when the bytes
// start with a UTF-8 byte order mark (which is dropped) or are valid UTF-8
// with non-ASCII bytes, otherwise Windows-1250. Line breaks (CR LF, CR, LF)
// become "\n".
std::string DecodeScriptText(std::string_view bytes);

// Reads a whole script file and decodes it. Raises kivo::EInOutError when the
// file cannot be read.
std::string LoadScriptFile(const std::string& path);

// Editor text (UTF-8, "\n" lines) as the engine's ANSI text: Windows-1250
// with CR LF line breaks.
std::string EditorTextToAnsi(std::string_view utf8);

// The characters of UTF-8 `text` that Windows-1250 cannot hold, each once,
// in order of first appearance.
std::vector<std::string> CharactersNotInCp1250(std::string_view utf8);
// Such characters for a message: "X" (U+XXXX), joined by ", ".
std::string DescribeCharacters(const std::vector<std::string>& characters);

// A message of an error for display: kept when it is valid UTF-8, otherwise
// read as Windows-1250 (engine texts carry ANSI names).
std::string MessageToUtf8(std::string_view message);

// An error's message for display (UTF-8): an engine error's own message,
// else what() of any other.
std::string ErrorMessageText(const std::exception& error);

// The one line an unattended run reports for an error: its class name, ": "
// and its message (UTF-8); "Exception" for errors of no engine class.
std::string ErrorReportLine(const std::exception& error);

// Writes `bytes` to `path`, replacing the file. Raises kivo::EInOutError.
void WriteWholeFile(const std::string& path, std::string_view bytes);

}  // namespace kartova
