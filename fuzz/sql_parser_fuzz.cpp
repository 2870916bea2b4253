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
#include "sql/eval_context.h"
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
  // Row 0 holds values, row 1 NULLs.
  void ReadField(int fieldNo, TZorValue& out) const override {
    if (row == 1) {
      out.SetNull(FieldType(fieldNo));
      return;
    }
    switch (fieldNo) {
      case 0:
        out.SetInteger(-7);
        break;
      case 1:
        out.SetString("Abc 12");
        break;
      case 2:
        out.SetFloat(2.5);
        break;
      case 3:
        out.SetLargeInt(5000000000LL);
        break;
      default:
        out.SetDate(39156.0);
        break;
    }
  }
  int row = 0;
};

// Every sub-query gives the rows 1, NULL and 3.
class Rows : public TZorSubQueryRows {
 public:
  bool Next() override { return ++at_ < 3; }
  const TZorValue& FirstField() override {
    at_ == 1 ? value_.SetNull(ftInteger) : value_.SetInteger(at_ + 1);
    return value_;
  }

 private:
  int at_ = -1;
  TZorValue value_;
};

class Context : public TZorEvalContext {
 public:
  std::unique_ptr<TZorSubQueryRows> OpenSubQuery(const std::string&) override {
    return std::make_unique<Rows>();
  }
  std::int32_t LastAutoInc(const TZorExprNodeSystem&) override { return 12; }
};

void Exercise(TZorExpression& e) {
  if (e.IsEmpty()) return;
  TZorNodePtr copy = e.Root()->Clone();
  std::string dump;
  copy->Dump(0, dump);
  if (dump != e.Dump()) std::abort();
  static SmallTables tables;
  if (e.Root()->IsResolvableIn(tables)) e.Bind(tables);
  (void)e.Root()->GetResultType();
  (void)e.Root()->IsAggregated();
  (void)e.GetResultSize();
  // Without a context sub-queries raise; with one they read three rows.
  // Aggregates run over a group of a row of values and a row of NULLs.
  Context context;
  for (TZorEvalContext* c :
       {static_cast<TZorEvalContext*>(nullptr), static_cast<TZorEvalContext*>(&context)}) {
    try {
      e.ResetAggregates();
      for (int row : {0, 1}) {
        tables.row = row;
        e.Accumulate(c);
        (void)e.Evaluate(c);
      }
    } catch (const Exception&) {
    }
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
