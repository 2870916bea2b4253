// Fuzz target: any bytes as SQL text through TKivoLexer, once without and
// once with a parameter list, reading every statement and every token.
//
// A lexical error (ZorException 1, 2, 3 or 44) and a parameter missing from
// the list (EDatabaseError) are normal outcomes. Anything else is a finding:
// a crash, a leak, undefined behaviour, another exception (it escapes and
// aborts), or a token that breaks the lexer's promises (checked below).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "sql/lexer.h"
#include "sql/params.h"

namespace kivo {
namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "lexer fuzz finding: %s\n", what);
  std::abort();
}

// One parameter of each way the lexer writes a value: quoted text, numbers,
// dates, a wide string, a BLOB marker, a boolean and a NULL.
const TParams& Params() {
  static const TParams params = [] {
    TParams p;
    p.Add("p").SetAsString("O'Brien; -- not a comment");
    p.Add("n").SetAsInteger(-42);
    p.Add("big").SetAsLargeInt(INT64_MIN);
    p.Add("f").SetAsFloat(2.5e-300);
    p.Add("cur").SetAsFloat(1234.5678, ftCurrency);
    p.Add("d").SetAsDateTime(45000.0, ftDate);
    p.Add("t").SetAsDateTime(0.75, ftTime);
    p.Add("ts").SetAsDateTime(-693593.5, ftDateTime);
    p.Add("w").SetAsWideString(u"\u00c1rv\u00edzt\u0171r\u0151 \u20ac\U0001F600");
    p.Add("b").SetAsBlob(std::string("\0\xff[]'", 5));
    p.Add("ok").SetAsBoolean(true);
    p.Add("nul", ftString);
    return p;
  }();
  return params;
}

// Reads the token's fields (every byte of its text, so that a text pointing
// at freed or foreign memory is caught) and checks what the lexer promises
// about a token it returned.
std::uint32_t Touch(const TToken& token) {
  if (token.TokenType == tktNone || token.TokenType > tktDot) Fail("token of no valid kind");
  if (token.Line < 1 || token.Column < 1) Fail("token without a position");
  std::uint32_t sum =
      static_cast<std::uint32_t>(token.Line) * 31u + static_cast<std::uint32_t>(token.Column);
  const char* text = token.Text.data();
  for (std::size_t i = 0; i < token.Text.size(); ++i) {
    sum = sum * 131u + static_cast<unsigned char>(text[i]);
  }
  return sum;
}

std::uint32_t Walk(TKivoLexer& lexer) {
  std::uint32_t sum = 0;
  int statements = 0;
  while (lexer.NextCommand()) {
    ++statements;
    TToken token;
    // Statements are never empty.
    if (!lexer.GetCurrentToken(token)) Fail("empty statement");
    sum += Touch(token);
    const std::int32_t firstLine = token.Line;
    const std::int32_t firstColumn = token.Column;
    std::int32_t line = token.Line;
    while (lexer.GetNextToken(token)) {
      sum += Touch(token);
      if (token.Line < line) Fail("tokens out of line order");
      line = token.Line;
    }
    if (token.TokenType != tktNone) Fail("reading past the end gave a token");
    // Back to the start, as the parsers do when they retry another reading.
    if (!lexer.SetPosition(0, token)) Fail("the first token is gone");
    if (token.Line != firstLine || token.Column != firstColumn) Fail("first token moved");
  }
  if (statements != lexer.CommandCount()) Fail("NextCommand missed statements");
  TToken token;
  if (lexer.GetNextToken(token) || lexer.GetCurrentToken(token)) Fail("token after the end");
  return sum;
}

void Run(const std::string& text, const TParams* params) {
  try {
    TKivoLexer lexer(text, params);
    volatile std::uint32_t sink = Walk(lexer);
    (void)sink;
  } catch (const ZorException& e) {
    const int code = e.NativeError();
    if (code != 1 && code != 2 && code != 3 && code != 44) Fail("unexpected ZorException code");
  } catch (const EDatabaseError&) {
    // Only a missing parameter raises this, and only with a parameter list.
    if (params == nullptr) Fail("EDatabaseError without a parameter list");
  }
}

}  // namespace
}  // namespace kivo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kivo::Run(text, nullptr);
  kivo::Run(text, &kivo::Params());
  return 0;
}
