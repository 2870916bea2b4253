#include "console/text_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/errors.h"
#include "platform/locale.h"

namespace kartova {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string NormalizeLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool HasNonAscii(std::string_view bytes) {
  for (unsigned char c : bytes) {
    if (c >= 0x80) return true;
  }
  return false;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    unsigned min;
    unsigned cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= static_cast<std::size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      const unsigned char d = static_cast<unsigned char>(bytes[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string DecodeScriptText(std::string_view bytes) {
  static constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (bytes.substr(0, kBom.size()) == kBom) {
    // A byte order mark promises UTF-8; bytes that break it still must not
    // reach the editor as invalid text.
    std::string_view body = bytes.substr(kBom.size());
    if (IsValidUtf8(body)) return NormalizeLineBreaks(body);
    return NormalizeLineBreaks(kivo::Cp1250ToUtf8(body));
  }
  if (HasNonAscii(bytes) && IsValidUtf8(bytes)) return NormalizeLineBreaks(bytes);
  return NormalizeLineBreaks(kivo::Cp1250ToUtf8(bytes));
}

std::string LoadScriptFile(const std::string& path) {
  errno = 0;
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    const int err = errno;
    throw kivo::EInOutError("Cannot open file \"" + path + "\". " + std::strerror(err), err);
  }
  std::string bytes;
  char buf[65536];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) bytes.append(buf, got);
  if (std::ferror(f.get())) {
    const int err = errno;
    throw kivo::EInOutError("Cannot read file \"" + path + "\". " + std::strerror(err), err);
  }
  return DecodeScriptText(bytes);
}

std::string EditorTextToAnsi(std::string_view utf8) {
  std::string crlf;
  crlf.reserve(utf8.size() + utf8.size() / 16);
  for (char c : NormalizeLineBreaks(utf8)) {
    if (c == '\n') crlf.push_back('\r');
    crlf.push_back(c);
  }
  return kivo::Utf8ToCp1250(crlf);
}

std::vector<std::string> CharactersNotInCp1250(std::string_view utf8) {
  std::vector<std::string> found;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = (c & 0xE0) == 0xC0   ? 2
                         : (c & 0xF0) == 0xE0 ? 3
                         : (c & 0xF8) == 0xF0 ? 4
                                              : 1;
    length = std::min(length, utf8.size() - i);
    const std::string_view character = utf8.substr(i, length);
    i += length;
    if (kivo::Utf8ToCp1250(character) != "?") continue;
    if (std::find(found.begin(), found.end(), character) == found.end()) {
      found.emplace_back(character);
    }
  }
  return found;
}

std::string DescribeCharacters(const std::vector<std::string>& characters) {
  std::string text;
  for (const std::string& character : characters) {
    if (!text.empty()) text += ", ";
    // The editor's text is valid UTF-8: the lead byte gives the length.
    const auto* b = reinterpret_cast<const unsigned char*>(character.data());
    char32_t cp = b[0];
    if (character.size() == 2) cp = b[0] & 0x1F;
    if (character.size() == 3) cp = b[0] & 0x0F;
    if (character.size() == 4) cp = b[0] & 0x07;
    for (std::size_t k = 1; k < character.size(); ++k) cp = (cp << 6) | (b[k] & 0x3F);
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
    text += "\"" + character + "\" (" + code + ")";
  }
  return text;
}

std::string MessageToUtf8(std::string_view message) {
  if (IsValidUtf8(message)) return std::string(message);
  return kivo::Cp1250ToUtf8(message);
}

std::string ErrorMessageText(const std::exception& error) {
  const auto* engine_error = dynamic_cast<const kivo::Exception*>(&error);
  return MessageToUtf8(engine_error != nullptr ? engine_error->Message() : error.what());
}

std::string ErrorReportLine(const std::exception& error) {
  const auto* engine_error = dynamic_cast<const kivo::Exception*>(&error);
  return std::string(engine_error != nullptr ? engine_error->ClassName() : "Exception") + ": " +
         ErrorMessageText(error);
}

void WriteWholeFile(const std::string& path, std::string_view bytes) {
  errno = 0;
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    const int err = errno;
    throw kivo::EInOutError("Cannot create file \"" + path + "\". " + std::strerror(err), err);
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size() ||
      std::fflush(f.get()) != 0) {
    const int err = errno;
    throw kivo::EInOutError("Cannot write file \"" + path + "\". " + std::strerror(err), err);
  }
  std::FILE* raw = f.release();
  if (std::fclose(raw) != 0) {
    const int err = errno;
    throw kivo::EInOutError("Cannot write file \"" + path + "\". " + std::strerror(err), err);
  }
}

}  // namespace kartova
