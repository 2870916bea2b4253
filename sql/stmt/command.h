// The bases of the SQL statement classes.
//
// A statement object is built over a lexer positioned on the statement's
// first token; the concrete class's constructor calls Parse, which reads the
// statement into syntax objects and leaves the read position on the first
// token after it (the caller decides whether a token left over is an error).
// Every name a statement keeps is a copy, so a parsed statement does not
// depend on the lexer's storage.
//
// TKivoSQLCursorCommand is the base of statements that produce rows; it
// holds where SELECT ... INTO writes them.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/host.h"
#include "sql/ops/ao.h"
#include "sql/parser.h"

namespace kivo {

// The fields a result shows, by number: its visible fields in order, or
// every field when it names none (a SELECT's rows as INTO and INSERT copy
// them).
std::vector<int> ShownFieldNumbers(const TZorTable& table);
// Appends the visible rows of `from` to `to` in one run of appends: field
// k of `to` gets field fields[k] of `from`. A failing row is not stored;
// the rows before it stay.
void CopyRows(TZorTable& from, const std::vector<int>& fields, TZorTable& to);

class TKivoSQLCommand : public TKivoParser {
 public:
  explicit TKivoSQLCommand(TKivoLexer& lexer) : TKivoParser(&lexer) {}
  ~TKivoSQLCommand() override = default;
  TKivoSQLCommand(const TKivoSQLCommand&) = delete;
  TKivoSQLCommand& operator=(const TKivoSQLCommand&) = delete;

  // Runs the statement against `host`. `live`: a query's result may be the
  // base table itself, to edit.
  virtual void Execute(TZorHost& host, bool live) = 0;
  // The rows a query produced (see TKivoSQLCursorCommand); null for the
  // other statements.
  virtual TZorTable* GetResult() const { return nullptr; }

  // The statement's tables are in-memory ones.
  bool InMemory() const { return in_memory_; }
  void SetInMemory(bool inMemory) { in_memory_ = inMemory; }

  // False for text that cannot become part of a file name: empty, with "/",
  // "\", "..", NUL or another control character.
  static bool IsSafeTableName(std::string_view name);

 protected:
  // Reads the statement from the current read position.
  virtual void Parse() = 0;

  // A bare word or a bracketed name (an alias written without AS).
  bool IsWordToken() const;
  // A bare word, a quoted or a bracketed name (an alias after AS, a column
  // name of a list).
  bool IsNameToken() const;
  // What may name a table or a database: also a reserved word.
  bool IsTableNameToken() const;
  // Reads a table or database name and moves past it. Raises `missing` when
  // the current token cannot name a table, and ZorException 1012 "Table name
  // expected ..." at the token when its text cannot be a file name.
  std::string ReadTableName(int missing);
  // Moves past a keyword; the token after it must be a reserved word, else
  // ZorException `code` ("Unexpected token ...") at it.
  void NextReserved(int code);
  // Moves past ")" or raises `code` at the current token.
  void Close(int code);

  // One level of parentheses for as long as it lives; more than
  // TZorExpression::kMaxNesting levels raise ZorException 1094.
  class Nested {
   public:
    explicit Nested(TKivoSQLCommand& command) : command_(command) {
      if (++command_.nesting_ > TZorExpression::kMaxNesting) {
        command_.RaiseNesting(TZorExpression::kMaxNesting);
      }
    }
    ~Nested() { --command_.nesting_; }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

   private:
    TKivoSQLCommand& command_;
  };
  // ZorException 1094 "Expression nested too deeply (more than `limit`
  // levels) ..." at the current token.
  [[noreturn]] void RaiseNesting(int limit) const;
  // Raises the nesting error when a tree built by the statement (joins,
  // set operations) would be taller than TZorExpression::kMaxTreeHeight.
  void CheckHeight(int height) const;

 private:
  bool in_memory_ = false;
  int nesting_ = 0;
};

class TKivoSQLCursorCommand : public TKivoSQLCommand {
 public:
  using TKivoSQLCommand::TKivoSQLCommand;
  ~TKivoSQLCursorCommand() override;

  // Plans the statement into a tree of operators over the tables of `run`'s
  // host. Any failure frees what was built and raises.
  virtual std::unique_ptr<TKivoAO> BuildOperatorTree(const TZorRunContext& run) = 0;

  // Plans and runs the statement against `host`: the root operator is
  // prepared (materialized unless it reads one table) and ordered, the
  // INTO table written, and GetResult gives the rows. `live`: the result
  // may be the base table itself, to edit. A failure frees the tree (a
  // named INTO table keeps the rows written before it) and raises.
  void Execute(TZorHost& host, bool live) override;
  // The result's rows, in order, cut by TOP and DISTINCT: the root's
  // result table (for a single-table SELECT the base table, filtered).
  // Null before Execute.
  TZorTable* GetResult() const override;
  TKivoAO* GetRootOperator() const { return root_operator_.get(); }

  // SELECT ... INTO [MEMORY] [database.]table: the table to write the rows
  // to, the database file it is created in, and whether it is in memory.
  // Empty names when there is no INTO.
  const std::string& IntoTableName() const { return into_table_name_; }
  const std::string& IntoDatabaseFileName() const { return into_database_file_name_; }
  bool IntoMemory() const { return into_memory_; }

 protected:
  std::string into_table_name_;
  std::string into_database_file_name_;
  bool into_memory_ = false;

 private:
  // Copies the visible rows and fields of `from` into a new table at
  // `address` (SELECT ... INTO over a result that is cut, made distinct or
  // is a base table).
  void CopyInto(TZorHost& host, TZorTable& from, const TZorTableAddress& address);

  std::unique_ptr<TZorHostContext> context_;
  std::unique_ptr<TKivoAO> root_operator_;
};

}  // namespace kivo
