// The statements that change rows: INSERT, UPDATE and DELETE.
//
//   INSERT INTO [MEMORY] table [PASSWORD 'p'] [(column {, column})]
//     VALUES (value {, value}) | SELECT ...
//   UPDATE [MEMORY] table [PASSWORD 'p'] SET column = value {, column = value}
//     [WHERE condition ...]
//   DELETE FROM table-references [WHERE condition ...]
//
// UPDATE and DELETE find their rows with a single-table SELECT built from
// the statement (the SET columns, or "*", over the named table), read from
// the lexer without changing its tokens, so a statement can be parsed any
// number of times. They take the identifiers of every row that SELECT gives
// before they change anything, then change each of those rows once; a
// SELECT that would copy its rows into a temporary result (several tables,
// grouping, computed columns) is refused, since changing it would change
// nothing stored.
//
// Each row is written whole or not at all: every value of a row is worked
// out (and converted to its field's type) from the row as it was before
// the row is touched, and a failing write or post cancels that row only.
// There is no rollback: the rows finished before a failure stay.
//
// A value that is exactly a BLOB parameter's marker ("$Blob$Marker$" and
// the name of a parameter of the host's list) stands for that parameter's
// bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql/stmt/command.h"
#include "sql/stmt/select_parse.h"

namespace kivo {

// Where a statement's target table is, as written.
struct TZorTargetTable {
  std::string TableName;
  std::string Password;
  bool InMemory = false;  // MEMORY was written before the name
};

class TKivoSQLInsert : public TKivoSQLCommand {
 public:
  // Parses from the statement's first token (INSERT) and leaves the read
  // position on the first token after the statement.
  explicit TKivoSQLInsert(TKivoLexer& lexer);
  ~TKivoSQLInsert() override;

  // Inserts the row of VALUES, or the rows the SELECT gives, into the
  // target. Rows posted before an error stay; the row being written when
  // it happens is not stored. Leaves the host's rows-affected count alone.
  void Execute(TZorHost& host, bool live) override;

  const TZorTargetTable& Target() const { return target_; }
  const std::vector<std::string>& Columns() const { return columns_; }

 protected:
  void Parse() override;

 private:
  void ParseValues();
  void InsertValues(TZorHost& host, TZorTable& target);
  void InsertSelected(TZorHost& host, TZorTable& target, bool live);

  TZorTargetTable target_;
  std::vector<std::string> columns_;
  std::vector<std::unique_ptr<TZorExpression>> values_;
  std::unique_ptr<TKivoSQLSelect> select_;
  // The SELECT names the target table somewhere (a source, a sub-query):
  // its rows are fixed in a copy before the target changes.
  bool select_names_target_ = true;
};

class TKivoSQLUpdate : public TKivoSQLCommand {
 public:
  // Parses from UPDATE; see TKivoSQLInsert.
  explicit TKivoSQLUpdate(TKivoLexer& lexer);
  ~TKivoSQLUpdate() override;

  // Changes every row the statement's SELECT gives, each once. The host's
  // rows-affected count gets the number of rows changed, also when an
  // error stops the statement (-1 when an automatic number clashed).
  void Execute(TZorHost& host, bool live) override;

  const TZorTargetTable& Target() const { return target_; }
  const std::vector<std::string>& Columns() const { return columns_; }

 protected:
  void Parse() override;

 private:
  // The SET values for row `id` (the row the table's fields read now),
  // converted for their fields; an automatic number in use raises, with
  // `count` set to -1.
  void NewValues(TZorHost& host, TZorEvalContext& context, TZorTable& table,
                 const std::vector<int>& fields, std::int32_t id, std::vector<TZorValue>& row,
                 std::int32_t& count);
  // Changes each row by stored position through in-place edits; `count`
  // follows the rows done.
  void UpdateInPlace(TZorHost& host, TZorTable& table, const std::vector<int>& fields,
                     std::int32_t& count);
  TZorTargetTable target_;
  std::vector<std::string> columns_;
  std::vector<std::unique_ptr<TZorExpression>> values_;
  std::unique_ptr<TKivoSQLSelect> select_;
};

class TKivoSQLDelete : public TKivoSQLCommand {
 public:
  // Parses from DELETE; see TKivoSQLInsert.
  explicit TKivoSQLDelete(TKivoLexer& lexer);
  ~TKivoSQLDelete() override;

  // Deletes every row the statement's SELECT gives. The host's
  // rows-affected count gets the number of rows deleted, also when an
  // error stops the statement.
  void Execute(TZorHost& host, bool live) override;

 protected:
  void Parse() override;

 private:
  std::unique_ptr<TKivoSQLSelect> select_;
};

}  // namespace kivo
