// TSQLScriptProcessor: the SQL processor's one entry point. It takes the
// text of one statement or of a script of statements separated by ";",
// checks every statement before any of them runs, then runs them in order
// and keeps the last one, whose result (for a query) the caller reads.
//
// A script is read twice, each time in parts of a few thousand statements,
// so that a long script never holds every statement's tokens or tree at
// once. Construction tokenizes each part (lexical errors and parameter
// substitution happen there) and parses each statement, dropping its
// objects at once, so that an error anywhere stops the script before its
// first statement runs; a lexical error anywhere is reported before a
// syntax error, as if the whole text had been tokenized first. Execute
// tokenizes and parses each statement again just before it runs and frees
// it right after, except the last.
#pragma once

#include <memory>
#include <string>

#include "sql/host.h"
#include "sql/lexer.h"
#include "sql/params.h"
#include "sql/stmt/command.h"

namespace kivo {

class TKivoAO;

class TSQLScriptProcessor {
 public:
  // Tokenizes `text` with the values of `params` (may be null; read only
  // here) and checks every statement. Raises ZorException 1001 "Blank SQL
  // command" for a text without a statement, and the lexical and syntax
  // errors of the statements, each with its line and column.
  TSQLScriptProcessor(std::string text, const TParams* params);
  // The same over a text shared with the caller, not copied.
  TSQLScriptProcessor(std::shared_ptr<const std::string> text, const TParams* params);
  ~TSQLScriptProcessor();
  TSQLScriptProcessor(const TSQLScriptProcessor&) = delete;
  TSQLScriptProcessor& operator=(const TSQLScriptProcessor&) = delete;

  int StatementCount() const { return statement_count_; }

  // Runs the statements in order against `host` (live: a query's result
  // may be its base table, to edit). An error stops the script: what the
  // statements before it did stays. Runs once; a second call raises.
  void Execute(TZorHost& host);

  // The last statement's result: the rows of a query, null for any other
  // statement and before Execute.
  TZorTable* GetResult() const;
  // The operator tree of the last statement when it is a query that ran;
  // otherwise ZorException 1068 "No cursor in query.".
  TKivoAO* GetRootOperator() const;

 private:
  // Parses the lexer's current statement into its statement object and
  // checks that no token of it is left.
  std::unique_ptr<TKivoSQLCommand> ParseCurrent(TKivoLexer& lexer);
  // The part of the text that starts at `from`.
  std::unique_ptr<TKivoLexer> LexPart(const TLexPlace& from) const;

  std::shared_ptr<const std::string> text_;
  const TParams* params_;
  int statement_count_ = 0;
  // The part that holds the last statement, which views its tokens.
  std::unique_ptr<TKivoLexer> lexer_;
  std::unique_ptr<TKivoSQLCommand> last_;
  bool executed_ = false;
};

}  // namespace kivo
