// Fuzz target: any bytes as SQL text, tokenized, then read as a search
// condition and as a value expression from the start of every statement and
// from each of its first tokens, as statement parsers call the expression
// parser at any point. A parsed tree is copied, dumped, bound to a small
// table description and freed.
//
// Normal outcomes: a tree, no tree (a value expression that does not
// match), or one of the engine's errors (ZorException, EConvertError for a
// number that does not read, EDatabaseError for a field that binds to
// nothing is a ZorException too). Anything else is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/value_text.h"
#include "sql/parser.h"

namespace kivo {
namespace {

// Fields a, b, c of table t and a, d of table u.
class SmallTables : public TZorFieldSource {
 public:
  std::vector<int> MatchingFields(std::string_view qualifier,
                                  std::string_view name) const override {
    static const char* const kTables[] = {"t", "t", "t", "u", "u"};
    static const char* const kNames[] = {"a", "b", "c", "a", "d"};
    std::vector<int> out;
    for (int i = 0; i < 5; ++i) {
      if ((qualifier.empty() || AnsiSameText(qualifier, kTables[i])) &&
          AnsiSameText(name, kNames[i])) {
        out.push_back(i);
      }
    }
    return out;
  }
  std::uint8_t FieldType(int fieldNo) const override {
    static const std::uint8_t kTypes[] = {ftInteger, ftString, ftFloat, ftLargeint, ftDate};
    return kTypes[fieldNo];
  }
  std::int32_t FieldSize(int fieldNo) const override { return fieldNo == 1 ? 20 : 0; }
  // Every row holds NULLs.
  void ReadField(int fieldNo, TZorValue& out) const override { out.SetNull(FieldType(fieldNo)); }
};

void Exercise(TZorExpression& e) {
  if (e.IsEmpty()) return;
  TZorNodePtr copy = e.Root()->Clone();
  std::string dump;
  copy->Dump(0, dump);
  if (dump != e.Dump()) std::abort();
  static const SmallTables tables;
  if (e.Root()->IsResolvableIn(tables)) e.Bind(tables);
  (void)e.Root()->GetResultType();
  (void)e.Root()->IsAggregated();
  (void)e.GetResultSize();
  // Without a context: sub-queries and unbound fields raise, the rest computes.
  try {
    e.ResetAggregates();
    e.Accumulate(nullptr);
    (void)e.Evaluate(nullptr);
  } catch (const Exception&) {
  }
}

void ParseAt(TKivoLexer& lexer, int position, bool condition) {
  TToken token;
  lexer.SetPosition(position, token);
  try {
    TZorExpression e(lexer);
    condition ? e.ParseSearchCondition() : e.ParseValueExpression();
    Exercise(e);
  } catch (const ZorException&) {
  } catch (const EConvertError&) {
  }
}

}  // namespace
}  // namespace kivo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kivo;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    TKivoLexer lexer(text);
    while (lexer.NextCommand()) {
      const int tokens = lexer.TokenCount(lexer.CurrentCommand());
      for (int position = 0; position < tokens && position < 24; ++position) {
        ParseAt(lexer, position, true);
        ParseAt(lexer, position, false);
      }
    }
  } catch (const ZorException&) {
    // A lexical error: the lexer's own target covers it.
  }
  return 0;
}
