// The data-definition statements: CREATE TABLE, DROP TABLE, ALTER TABLE,
// CREATE INDEX and DROP INDEX.
//
//   CREATE TABLE [MEMORY] name ( element {, element} )
//   DROP TABLE [MEMORY] name
//   ALTER TABLE [MEMORY] name ADD | DROP | MODIFY ( element {, element} )
//   CREATE [UNIQUE] INDEX index ON [MEMORY] table ( column {, column} )
//   DROP INDEX [MEMORY] table . index [PASSWORD 'password']
//
// An element is a column (name, type and size, NULL / NOT NULL), PRIMARY
// KEY (names), PASSWORD 'password', BLOBCOMPRESSIONLEVEL level,
// BLOBBLOCKSIZE n, LASTAUTOINC n, AUTOINDEXES or NOAUTOINDEXES; ALTER TABLE
// adds NEW PASSWORD 'password'. An index column is a name with any of ASC,
// DESC, CASE, NOCASE, or PASSWORD 'password'.
//
// Each constructor parses at once. It reads the statement from its first
// token (CREATE, ALTER or DROP), whatever the lexer's read position on
// entry, so parsing is repeatable and the lexer's tokens are never changed;
// it leaves the read position on the first token after the statement (past
// the end for a whole statement). Grammar errors are ZorExceptions with
// the statement's native codes. Execute runs the statement against a host
// (sql/host.h); the table is in memory when MEMORY was written or the host
// is in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sql/stmt/command.h"

namespace kivo {

// One column of CREATE or ALTER TABLE.
struct TKivoFieldDef {
  static constexpr std::uint8_t kNotNull = 0;
  static constexpr std::uint8_t kNull = 1;
  static constexpr std::uint8_t kUnchanged = 2;

  std::string Name;
  std::uint8_t DataType = 0;  // 0: not given (ALTER TABLE)
  std::int32_t Size = 0;      // string, bytes and wide-string types only
  std::uint8_t Nullable = kUnchanged;
};

// One column of CREATE INDEX.
struct TKivoIndexField {
  std::string Name;
  bool Descending = false;
  bool CaseInsensitive = false;
};

// What CREATE, DROP and ALTER TABLE share: the table and the elements
// between the parentheses.
class TKivoDDLTableManipulation : public TKivoSQLCommand {
 public:
  using TKivoSQLCommand::TKivoSQLCommand;

  const std::string& TableName() const { return table_name_; }
  const std::string& Password() const { return password_; }
  // 0 when not given.
  std::int32_t BLOBBlockSize() const { return blob_block_size_; }
  // The level (0 none .. 3 max) when given.
  std::optional<std::uint8_t> BLOBCompression() const { return blob_compression_; }
  // 0 when not given.
  std::int32_t LastAutoInc() const { return last_auto_inc_; }
  const std::vector<TKivoFieldDef>& Fields() const { return fields_; }
  // The PRIMARY KEY names; an entry is empty for PRIMARY KEY without "(".
  const std::vector<std::string>& PrimaryKey() const { return primary_key_; }
  // Set by AUTOINDEXES, cleared by NOAUTOINDEXES, empty when neither.
  std::optional<bool> AutoIndexes() const { return auto_indexes_; }

 protected:
  // Moves to the statement's first token, which must be `verb`, and on to
  // the next, which must be TABLE (else `wrongNoun`, or `noNoun` at the
  // end); then reads [MEMORY] name, raising `noName` when the statement
  // ends after TABLE and `notName` at a token that cannot name the table.
  void ParseHead(std::uint16_t verb, int noName, int notName);
  // "(" then the elements up to and past ")". `alter`: column elements take
  // their parts in any order, and NEW PASSWORD is read.
  void ParseElements(bool alter);
  // Where the statement's table is, for `host`.
  TZorTableAddress Address(const TZorHost& host, const std::string& password) const;
  // A new primary index on the key names, under "PK_" + the first name +
  // a random number that no index of `indexes` has.
  void AddPrimaryIndex(TIndexDefs& indexes) const;

  std::string table_name_;
  std::string password_;
  std::int32_t blob_block_size_ = 0;
  std::optional<std::uint8_t> blob_compression_;
  std::int32_t last_auto_inc_ = 0;
  std::vector<TKivoFieldDef> fields_;
  std::vector<std::string> primary_key_;
  std::optional<bool> auto_indexes_;
  // ALTER TABLE only.
  std::string new_password_;
  bool new_password_given_ = false;

 private:
  // One element, ending on the "," or ")" after it.
  void ParseElement(bool alter);
  // A column from its name on (CREATE: name, type, then NULL, NOT NULL and
  // other words; ALTER: name, then NULL, NOT NULL and a type in any order).
  void ParseColumn(bool alter);
  // A type name and its size into `field`.
  void ParseType(TKivoFieldDef& field);
  void ParsePrimaryKey();
  // The current token as a 32-bit integer literal (not moving), raising
  // `code` for anything else.
  std::int32_t ReadInteger(int code);
  // Past the current token; "," or ")" must come next (else `code`).
  void EndElement(int code);
};

class TKivoDDLCreateTable : public TKivoDDLTableManipulation {
 public:
  explicit TKivoDDLCreateTable(TKivoLexer& lexer);
  // ZorException 2117 when the table exists; any failure to create it is
  // ZorException 2014 with the cause's message (the cause kept nested).
  void Execute(TZorHost& host, bool live) override;

 protected:
  void Parse() override;
};

class TKivoDDLDropTable : public TKivoDDLTableManipulation {
 public:
  explicit TKivoDDLDropTable(TKivoLexer& lexer);
  // Any failure is ZorException 2033 with the cause's message.
  void Execute(TZorHost& host, bool live) override;

 protected:
  void Parse() override;
};

class TKivoDDLAlterTable : public TKivoDDLTableManipulation {
 public:
  enum class TMode : std::uint8_t { kAdd = 0, kDrop = 1, kModify = 2 };

  explicit TKivoDDLAlterTable(TKivoLexer& lexer);
  TMode Mode() const { return mode_; }
  const std::string& NewPassword() const { return new_password_; }
  bool NewPasswordGiven() const { return new_password_given_; }
  // Any failure is ZorException 2047 with the cause's message.
  void Execute(TZorHost& host, bool live) override;

 protected:
  void Parse() override;

 private:
  // The mode's change of the table's current fields and indexes.
  void Change(TZorTableDefinition& definition) const;

  TMode mode_ = TMode::kAdd;
};

class TKivoDDLCreateIndex : public TKivoSQLCommand {
 public:
  explicit TKivoDDLCreateIndex(TKivoLexer& lexer);
  bool Unique() const { return unique_; }
  const std::string& IndexName() const { return index_name_; }
  const std::string& TableName() const { return table_name_; }
  const std::string& Password() const { return password_; }
  const std::vector<TKivoIndexField>& Fields() const { return fields_; }
  // The engine's errors pass through.
  void Execute(TZorHost& host, bool live) override;

 protected:
  void Parse() override;

 private:
  void ParseColumn();

  bool unique_ = false;
  std::string index_name_;
  std::string table_name_;
  std::string password_;
  std::vector<TKivoIndexField> fields_;
};

class TKivoDDLDropIndex : public TKivoSQLCommand {
 public:
  explicit TKivoDDLDropIndex(TKivoLexer& lexer);
  const std::string& TableName() const { return table_name_; }
  const std::string& IndexName() const { return index_name_; }
  const std::string& Password() const { return password_; }
  // The engine's errors pass through.
  void Execute(TZorHost& host, bool live) override;

 protected:
  void Parse() override;

 private:
  std::string table_name_;
  std::string index_name_;
  std::string password_;
};

}  // namespace kivo
