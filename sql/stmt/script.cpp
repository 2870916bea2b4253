#include "sql/stmt/script.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/errors.h"
#include "sql/stmt/ddl.h"
#include "sql/stmt/dml.h"
#include "sql/stmt/union_parse.h"

namespace kivo {

namespace {

namespace err {
constexpr int kBlank = 1001;            // "Blank SQL command"
constexpr int kNoFirstToken = 1002;     // "Blank SQL command"
constexpr int kReservedFirst = 1003;    // "SQL token expected, but '%s' found ..."
constexpr int kUnreservedFirst = 1059;  // the same text
constexpr int kNoCursor = 1068;         // "No cursor in query."
// A token left after a statement, by statement kind.
constexpr int kLeftAfterQuery = 1006;
constexpr int kLeftAfterInsert = 2068;
constexpr int kLeftAfterUpdate = 2069;
constexpr int kLeftAfterDelete = 2067;
constexpr int kLeftAfterCreateTable = 2003;  // "Table name expected, but '%s' found ..."
constexpr int kLeftAfterCreateIndex = 2049;
constexpr int kLeftAfterAlterTable = 2043;
constexpr int kLeftAfterDropTable = 2034;
constexpr int kLeftAfterDropIndex = 2062;
}  // namespace err

struct Words {
  static std::uint16_t N(std::string_view w) { return ReservedWordNumber(w); }
  std::uint16_t SELECT = N("SELECT"), INSERT = N("INSERT"), UPDATE = N("UPDATE");
  std::uint16_t DELETE_ = N("DELETE"), CREATE = N("CREATE"), ALTER = N("ALTER");
  std::uint16_t DROP = N("DROP"), TABLE = N("TABLE"), INDEX = N("INDEX"), UNIQUE = N("UNIQUE");
};

const Words& W() {
  static const Words words;
  return words;
}

// ZorException `code` naming `token` with its line and column.
[[noreturn]] void RaiseAt(int code, const TToken& token) {
  throw ZorException::CreateFmt(
      code, {}, {std::string(token.Text), std::int64_t{token.Line}, std::int64_t{token.Column}});
}

// A statement object of type T over the lexer's current statement, built
// with the read position where it starts, then checked for a token left
// after it (raised as `leftover`).
template <class T>
std::unique_ptr<TKivoSQLCommand> Build(TKivoLexer& lexer, int leftover) {
  auto statement = std::make_unique<T>(lexer);
  TToken left;
  if (lexer.GetCurrentToken(left)) RaiseAt(leftover, left);
  return statement;
}

}  // namespace

// Statements tokenized and kept at once; a part ends at a statement's ";".
constexpr int kStatementsPerPart = 4096;

TSQLScriptProcessor::TSQLScriptProcessor(std::string text, const TParams* params)
    : TSQLScriptProcessor(std::make_shared<const std::string>(std::move(text)), params) {}

TSQLScriptProcessor::TSQLScriptProcessor(std::shared_ptr<const std::string> text,
                                         const TParams* params)
    : text_(std::move(text)), params_(params) {
  TLexPlace at;
  for (;;) {
    std::unique_ptr<TKivoLexer> part = LexPart(at);
    try {
      while (part->NextCommand()) ParseCurrent(*part);
    } catch (...) {
      // A lexical error further on is the one to report, as a lexer over
      // the whole text would have raised it before any statement was read.
      for (TLexPlace next = part->End(); next.Offset < text_->size();) next = LexPart(next)->End();
      throw;
    }
    statement_count_ += part->CommandCount();
    at = part->End();
    if (part->AtTextEnd()) break;
  }
  if (statement_count_ == 0) throw ZorException::Create(err::kBlank);
}

TSQLScriptProcessor::~TSQLScriptProcessor() = default;

std::unique_ptr<TKivoLexer> TSQLScriptProcessor::LexPart(const TLexPlace& from) const {
  return std::make_unique<TKivoLexer>(text_, params_, from, kStatementsPerPart);
}

std::unique_ptr<TKivoSQLCommand> TSQLScriptProcessor::ParseCurrent(TKivoLexer& lexer) {
  TToken first;
  if (!lexer.GetCurrentToken(first)) throw ZorException::Create(err::kNoFirstToken);
  if (first.TokenType == tktLeftParenthesis || TKivoLexer::IsReservedWord(first, W().SELECT))
    return Build<TKivoSQLUnion>(lexer, err::kLeftAfterQuery);
  if (first.TokenType != tktReservedWord) RaiseAt(err::kUnreservedFirst, first);
  const auto is = [&](std::uint16_t word) { return TKivoLexer::IsReservedWord(first, word); };
  if (is(W().INSERT)) return Build<TKivoSQLInsert>(lexer, err::kLeftAfterInsert);
  if (is(W().UPDATE)) return Build<TKivoSQLUpdate>(lexer, err::kLeftAfterUpdate);
  if (is(W().DELETE_)) return Build<TKivoSQLDelete>(lexer, err::kLeftAfterDelete);
  // The definition statements read their first two words themselves and
  // raise when the second is missing or not theirs; the word after CREATE
  // or DROP only tells which one to make.
  TToken second;
  lexer.LookAheadToken(second);
  const auto then = [&](std::uint16_t word) { return TKivoLexer::IsReservedWord(second, word); };
  if (is(W().CREATE)) {
    if (then(W().UNIQUE) || then(W().INDEX))
      return Build<TKivoDDLCreateIndex>(lexer, err::kLeftAfterCreateIndex);
    return Build<TKivoDDLCreateTable>(lexer, err::kLeftAfterCreateTable);
  }
  if (is(W().ALTER)) return Build<TKivoDDLAlterTable>(lexer, err::kLeftAfterAlterTable);
  if (is(W().DROP)) {
    if (then(W().INDEX)) return Build<TKivoDDLDropIndex>(lexer, err::kLeftAfterDropIndex);
    return Build<TKivoDDLDropTable>(lexer, err::kLeftAfterDropTable);
  }
  RaiseAt(err::kReservedFirst, first);
}

void TSQLScriptProcessor::Execute(TZorHost& host) {
  if (executed_) throw Exception("TSQLScriptProcessor.Execute - The script has already run.");
  executed_ = true;
  int done = 0;
  try {
    TLexPlace at;
    while (done < statement_count_) {
      std::unique_ptr<TKivoLexer> part = LexPart(at);
      while (part->NextCommand()) {
        std::unique_ptr<TKivoSQLCommand> statement = ParseCurrent(*part);
        // A definition statement needs the tables to itself.
        if (dynamic_cast<TKivoDDLTableManipulation*>(statement.get()) != nullptr ||
            dynamic_cast<TKivoDDLCreateIndex*>(statement.get()) != nullptr ||
            dynamic_cast<TKivoDDLDropIndex*>(statement.get()) != nullptr) {
          host.ReleaseTables();
        }
        statement->Execute(host, true);
        if (++done == statement_count_) {
          // The last statement views its part's tokens: both are kept.
          last_ = std::move(statement);
          lexer_ = std::move(part);
          break;
        }
      }
      if (lexer_ != nullptr) break;
      if (part->CommandCount() == 0) break;  // nothing more to read
      at = part->End();
    }
  } catch (...) {
    try {
      host.ReleaseTables();
    } catch (...) {
      // The statement's own error is the one to report.
    }
    throw;
  }
  // The rows the script wrote are flushed when it ends.
  host.ReleaseTables();
}

TZorTable* TSQLScriptProcessor::GetResult() const { return last_ ? last_->GetResult() : nullptr; }

TKivoAO* TSQLScriptProcessor::GetRootOperator() const {
  const auto* query = dynamic_cast<const TKivoSQLCursorCommand*>(last_.get());
  if (query == nullptr || query->GetRootOperator() == nullptr)
    throw ZorException::Create(err::kNoCursor);
  return query->GetRootOperator();
}

}  // namespace kivo
