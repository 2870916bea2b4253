// The data-definition statements: their grammar and how they run.
#include "sql/stmt/ddl.h"

#include <exception>
#include <random>
#include <string_view>
#include <utility>

#include "platform/errors.h"
#include "platform/locale.h"
#include "platform/value_text.h"
#include "sql/stmt/keywords.h"

namespace kivo {

using stmt_detail::W;

namespace {

// The reserved words of these statements beyond those of SELECT.
struct DdlWords {
  static std::uint16_t N(std::string_view w) { return ReservedWordNumber(w); }
  std::uint16_t CREATE = N("CREATE"), ALTER = N("ALTER"), DROP = N("DROP"), TABLE = N("TABLE");
  std::uint16_t INDEX = N("INDEX"), UNIQUE = N("UNIQUE"), ADD = N("ADD"), MODIFY = N("MODIFY");
  std::uint16_t PRIMARY = N("PRIMARY"), KEY = N("KEY"), NULL_ = N("NULL"), NOT = N("NOT");
  std::uint16_t NEW = N("NEW"), CASE = N("CASE"), NOCASE = N("NOCASE");
  std::uint16_t BLOBCOMPRESSIONLEVEL = N("BLOBCOMPRESSIONLEVEL");
  std::uint16_t BLOBBLOCKSIZE = N("BLOBBLOCKSIZE"), LASTAUTOINC = N("LASTAUTOINC");
  std::uint16_t AUTOINDEXES = N("AUTOINDEXES"), NOAUTOINDEXES = N("NOAUTOINDEXES");
};

const DdlWords& D() {
  static const DdlWords words;
  return words;
}

// Native error numbers of the five statements.
namespace err {
// The statement's leading words (checked again here, so that a statement
// read from its first token never starts elsewhere).
constexpr int kNotStatement = 1003;  // "SQL token expected ..."
constexpr int kNoCreateNoun = 2001;  // "Unexpected end ..."
constexpr int kCreateNoun = 2002;    // "'TABLE' or 'INDEX' keyword expected ..."
constexpr int kOtherNoun = 2035;
constexpr int kNoOtherNoun = 2036;
// CREATE, DROP and ALTER TABLE.
constexpr int kCreateNoName = 1004;    // "Blank SQL command"
constexpr int kCreateNotName = 2003;   // "Table name expected ..."
constexpr int kDropNoName = 2037;      // "Blank SQL command"
constexpr int kDropNotName = 2034;     // "Unexpected token ..."
constexpr int kAlterNoName = 2039;     // "Blank SQL command"
constexpr int kAlterNotName = 2043;    // "Unexpected token ..."
constexpr int kMemoryName = 2152;      // "Table name expected ..." (after MEMORY)
constexpr int kOpen = 2004;            // "'(' symbol expected ..."
constexpr int kElement = 2005;         // "Field name expected ..."
constexpr int kType = 2006;            // "Field type expected ..."
constexpr int kUnknownType = 2007;     // "Unknown field type ..."
constexpr int kSizeOpen = 2008;        // "'(' symbol expected ..."
constexpr int kSize = 2009;            // "Decimal constant expected ..."
constexpr int kSizeClose = 2010;       // "')' symbol expected ..."
constexpr int kNullAfterNot = 2011;    // "'NULL' expected (for NOT NULL) ..."
constexpr int kWordAfterNot = 2012;    // "Unexpected end ..."
constexpr int kAfterStatement = 2015;  // "Unexpected token ..."
constexpr int kPassword = 2016;        // "Quoted password expected ..."
constexpr int kAfterPassword = 2017;   // "')' or ',' symbol expected ..."
constexpr int kLevel = 2019;           // "Blob Compression Level value expected ..."
constexpr int kUnknownLevel = 2020;    // "Unknown compress level ..."
constexpr int kAfterLevel = 2021;
constexpr int kBlockSize = 2023;  // "Decimal constant expected ..."
constexpr int kAfterBlockSize = 2024;
constexpr int kLastAutoInc = 2026;
constexpr int kAfterLastAutoInc = 2027;
constexpr int kColumnPart = 2044;  // "')' or ',' symbol expected ..."
constexpr int kKeyName = 2119;     // "Field name expected ..."
constexpr int kAfterKeyName = 2120;
constexpr int kModeReserved = 2040;  // "ADD, DROP or MODIFY keyword expected ..."
constexpr int kModeOther = 2041;
constexpr int kNoMode = 2042;         // "Unexpected end ..."
constexpr int kAlterPart = 2045;      // "New data type or NULL or NOT NULL ..."
constexpr int kNewPassword = 2046;    // "'PASSWORD' keyword expected ..."
constexpr int kCreateFailed = 2014;   // "Error creating table: '%s'"
constexpr int kDropFailed = 2033;     // "Error dropping table: '%s'"
constexpr int kAlterFailed = 2047;    // "Error dropping column(s): '%s'"
constexpr int kFieldNotFound = 2048;  // "Field '%s' not found"
constexpr int kTableExists = 2117;    // "Cannot create table. Table '%s' already exists"
// CREATE INDEX.
constexpr int kNoIndexNoun = 2051;  // "Blank SQL command"
constexpr int kIndexWord = 2052;    // "'INDEX' keyword expected ..."
constexpr int kIndexName = 2053;    // "index name expected ..."
constexpr int kOn = 2054;           // "'ON' keyword expected ..."
constexpr int kIndexTable = 2055;   // "Table name expected ..."
constexpr int kIndexMemoryTable = 2160;
constexpr int kIndexOpen = 2056;         // "'(' symbol expected ..."
constexpr int kIndexColumn = 2057;       // "Field name expected ..."
constexpr int kIndexColumnEnd = 2058;    // "Unexpected end ..."
constexpr int kIndexPassword = 2059;     // "Quoted password expected ..."
constexpr int kAfterCreateIndex = 2050;  // "Unexpected token ..."
// DROP INDEX.
constexpr int kDropIndexNoTable = 2060;  // "Unexpected end ..."
constexpr int kDropIndexMemory = 2161;
constexpr int kDropIndexTable = 1012;     // "Table name expected ..."
constexpr int kDot = 2064;                // "Token '%s' expected ..."
constexpr int kDropIndexNoName = 2065;    // "Unexpected end ..."
constexpr int kDropIndexPassword = 2066;  // "Quoted password expected ..."
constexpr int kAfterDropIndex = 2061;     // "Unexpected token ..."
}  // namespace err

// Message numbers whose templates take no token text.
constexpr int kBlankMessage = 52;          // "Blank SQL command"
constexpr int kUnexpectedEndMessage = 55;  // "... found at line %d"

// Raises `code` at `token`; past the end of the statement (`atEnd`) the
// found text is empty. "Blank SQL command" takes no argument and the
// "Unexpected end" message only the line.
[[noreturn]] void FailAt(const TToken& token, bool atEnd, int code,
                         std::vector<FormatArg> leading = {}) {
  const int message = ZorException::MessageNumberFor(code);
  if (message == kBlankMessage) throw ZorException::Create(code);
  if (message == kUnexpectedEndMessage)
    throw ZorException::CreateFmt(code, {}, {std::int64_t{token.Line}});
  leading.emplace_back(atEnd ? std::string() : std::string(token.Text));
  leading.emplace_back(std::int64_t{token.Line});
  leading.emplace_back(std::int64_t{token.Column});
  throw ZorException::CreateFmt(code, {}, leading);
}

// Where a statement's table is: the host's database, in memory when the
// statement or the host says so.
TZorTableAddress TableAddress(const TZorHost& host, const std::string& name,
                              const std::string& password, bool inMemory) {
  TZorTableAddress address;
  address.TableName = name;
  address.Password = password;
  address.DatabaseName = host.DatabaseName();
  address.DatabaseFileName = host.DatabaseFileName();
  address.InMemory = inMemory || host.InMemory();
  return address;
}

// A pseudo-random number in 0 .. 2147483646 for primary index names.
std::int32_t RandomNameNumber() {
  static thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<std::int32_t>(0, 2147483646)(generator);
}

bool HasSize(std::uint8_t type) {
  return type == ftString || type == ftBytes || type == ftWideString;
}

// The BLOB compression level of a level name, -1 for an unknown one.
int CompressionLevel(std::string_view name) {
  static constexpr std::string_view kLevels[] = {"NONE", "FASTEST", "DEFAULT", "MAX"};
  for (int i = 0; i < 4; ++i)
    if (AnsiSameText(name, kLevels[i])) return i;
  return -1;
}

std::string Join(const std::vector<std::string>& names, const char* separator) {
  std::string out;
  for (const std::string& name : names) {
    if (!out.empty()) out += separator;
    out += name;
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// What CREATE, DROP and ALTER TABLE share.

void TKivoDDLTableManipulation::ParseHead(std::uint16_t verb, int noName, int notName) {
  table_name_.clear();
  password_.clear();
  blob_block_size_ = 0;
  blob_compression_.reset();
  last_auto_inc_ = 0;
  fields_.clear();
  primary_key_.clear();
  auto_indexes_.reset();
  new_password_.clear();
  new_password_given_ = false;
  SetInMemory(false);

  RestorePosition(0);
  if (!IsReserved(verb)) FailAt(token_, AtEnd(), err::kNotStatement);
  NextToken();
  if (!IsReserved(D().TABLE)) {
    const bool create = verb == D().CREATE;
    if (AtEnd()) FailAt(token_, true, create ? err::kNoCreateNoun : err::kNoOtherNoun);
    FailAt(token_, false, create ? err::kCreateNoun : err::kOtherNoun);
  }
  NextToken();
  if (AtEnd()) FailAt(token_, true, noName);
  if (IsReserved(W().MEMORY)) {
    SetInMemory(true);
    NextToken();
    if (AtEnd()) FailAt(token_, true, err::kMemoryName);
    table_name_ = ReadTableName(err::kMemoryName);
    return;
  }
  // A quoted text does not name the table here (it does after MEMORY).
  if (!IsWordToken() && token_.TokenType != tktReservedWord) FailAt(token_, false, notName);
  table_name_ = ReadTableName(notName);
}

void TKivoDDLTableManipulation::ParseElements(bool alter) {
  if (!IsLeftParenthesis()) FailAt(token_, AtEnd(), err::kOpen);
  NextToken();
  for (;;) {
    ParseElement(alter);
    if (!IsComma()) break;
    NextToken();
  }
  // The elements end on "," or ")" and the lexer pairs the parentheses.
  NextToken();
}

void TKivoDDLTableManipulation::EndElement(int code) {
  NextToken();
  if (!IsComma() && !IsRightParenthesis()) FailAt(token_, AtEnd(), code);
}

std::int32_t TKivoDDLTableManipulation::ReadInteger(int code) {
  std::int64_t v = 0;
  if (token_.TokenType != tktInt || !TryTextToInt(token_.Text, 32, false, &v))
    FailAt(token_, AtEnd(), code);
  return static_cast<std::int32_t>(v);
}

void TKivoDDLTableManipulation::ParseElement(bool alter) {
  if (AtEnd() || !IsTableNameToken()) FailAt(token_, AtEnd(), err::kElement);
  if (IsReserved(W().PASSWORD)) {
    NextToken();
    if (token_.TokenType != tktQuotedString) FailAt(token_, AtEnd(), err::kPassword);
    password_ = std::string(token_.Text);
    EndElement(err::kAfterPassword);
  } else if (alter && IsReserved(D().NEW)) {
    NextToken();
    if (token_.TokenType != tktReservedWord) FailAt(token_, AtEnd(), err::kPassword);
    if (!IsReserved(W().PASSWORD)) FailAt(token_, false, err::kNewPassword);
    NextToken();
    if (token_.TokenType != tktQuotedString) FailAt(token_, AtEnd(), err::kPassword);
    new_password_ = std::string(token_.Text);
    new_password_given_ = true;
    EndElement(err::kAfterPassword);
  } else if (IsReserved(D().BLOBCOMPRESSIONLEVEL)) {
    NextToken();
    if (!(token_.TokenType == tktString && IsWordText(token_.Text)) &&
        token_.TokenType != tktReservedWord)
      FailAt(token_, AtEnd(), err::kLevel);
    const int level = CompressionLevel(token_.Text);
    if (level < 0) FailAt(token_, false, err::kUnknownLevel);
    blob_compression_ = static_cast<std::uint8_t>(level);
    EndElement(err::kAfterLevel);
  } else if (IsReserved(D().BLOBBLOCKSIZE)) {
    NextToken();
    blob_block_size_ = ReadInteger(err::kBlockSize);
    EndElement(err::kAfterBlockSize);
  } else if (IsReserved(D().LASTAUTOINC)) {
    NextToken();
    last_auto_inc_ = ReadInteger(err::kLastAutoInc);
    EndElement(err::kAfterLastAutoInc);
  } else if (IsReserved(D().AUTOINDEXES) || IsReserved(D().NOAUTOINDEXES)) {
    auto_indexes_ = IsReserved(D().AUTOINDEXES);
    EndElement(err::kColumnPart);
  } else if (IsReserved(D().PRIMARY)) {
    TToken next;
    lexer_->LookAheadToken(next);
    if (TKivoLexer::IsReservedWord(next, D().KEY)) {
      ParsePrimaryKey();
    } else {
      ParseColumn(alter);
    }
  } else {
    ParseColumn(alter);
  }
}

void TKivoDDLTableManipulation::ParsePrimaryKey() {
  NextToken();  // KEY
  NextToken();
  if (!IsLeftParenthesis()) {
    // Without a list the key has an empty entry and a column follows.
    primary_key_.emplace_back();
    if (AtEnd() || !IsTableNameToken()) FailAt(token_, AtEnd(), err::kElement);
    ParseColumn(false);
    return;
  }
  for (;;) {
    NextToken();
    if (!IsWordToken() && token_.TokenType != tktReservedWord)
      FailAt(token_, AtEnd(), err::kKeyName);
    primary_key_.emplace_back(token_.Text);
    NextToken();
    if (IsRightParenthesis()) break;
    if (!IsComma()) FailAt(token_, AtEnd(), err::kAfterKeyName);
  }
  EndElement(err::kAfterKeyName);
}

void TKivoDDLTableManipulation::ParseType(TKivoFieldDef& field) {
  if (!IsWordToken() && token_.TokenType != tktReservedWord) FailAt(token_, AtEnd(), err::kType);
  field.DataType = TZorValue::TypeFromSQLName(token_.Text);
  if (field.DataType == 0) FailAt(token_, false, err::kUnknownType);
  field.Size = 0;
  NextToken();
  if (!HasSize(field.DataType)) return;
  if (!IsLeftParenthesis()) FailAt(token_, AtEnd(), err::kSizeOpen);
  NextToken();
  field.Size = ReadInteger(err::kSize);
  NextToken();
  if (!IsRightParenthesis()) FailAt(token_, AtEnd(), err::kSizeClose);
  NextToken();
}

void TKivoDDLTableManipulation::ParseColumn(bool alter) {
  TKivoFieldDef field;
  field.Name = std::string(token_.Text);
  field.Nullable = alter ? TKivoFieldDef::kUnchanged : TKivoFieldDef::kNull;
  NextToken();
  if (!alter) ParseType(field);
  while (!IsComma() && !IsRightParenthesis()) {
    if (IsReserved(D().NULL_)) {
      field.Nullable = TKivoFieldDef::kNull;
      NextToken();
    } else if (IsReserved(D().NOT)) {
      NextToken();
      if (token_.TokenType != tktReservedWord) FailAt(token_, AtEnd(), err::kWordAfterNot);
      if (!IsReserved(D().NULL_)) FailAt(token_, false, err::kNullAfterNot);
      field.Nullable = TKivoFieldDef::kNotNull;
      NextToken();
    } else if (alter) {
      if (AtEnd() || (!IsWordToken() && token_.TokenType != tktReservedWord))
        FailAt(token_, AtEnd(), err::kAlterPart);
      ParseType(field);
    } else {
      // Other words (DEFAULT, a comment word) are passed over.
      if (AtEnd() || !IsTableNameToken()) FailAt(token_, AtEnd(), err::kColumnPart);
      NextToken();
    }
  }
  fields_.push_back(std::move(field));
}

TZorTableAddress TKivoDDLTableManipulation::Address(const TZorHost& host,
                                                    const std::string& password) const {
  return TableAddress(host, table_name_, password, InMemory());
}

void TKivoDDLTableManipulation::AddPrimaryIndex(TIndexDefs& indexes) const {
  std::string name;
  do {
    name = "PK_" + primary_key_.front() + std::to_string(RandomNameNumber());
  } while (indexes.IndexOf(name) >= 0);
  indexes.Add(name, Join(primary_key_, ","), ixPrimary);
}

// ---------------------------------------------------------------------------
// CREATE TABLE.

TKivoDDLCreateTable::TKivoDDLCreateTable(TKivoLexer& lexer) : TKivoDDLTableManipulation(lexer) {
  Parse();
}

void TKivoDDLCreateTable::Parse() {
  ParseHead(D().CREATE, err::kCreateNoName, err::kCreateNotName);
  ParseElements(false);
  if (!AtEnd()) FailAt(token_, false, err::kAfterStatement);
}

void TKivoDDLCreateTable::Execute(TZorHost& host, bool /*live*/) {
  const TZorTableAddress address = Address(host, password_);
  if (host.TableExists(address))
    throw ZorException::CreateFmt(err::kTableExists, {}, {table_name_});
  try {
    TZorTableDefinition definition;
    for (const TKivoFieldDef& field : fields_)
      definition.Fields.Add(field.Name, static_cast<TFieldType>(field.DataType), field.Size,
                            field.Nullable == TKivoFieldDef::kNotNull);
    if (!primary_key_.empty()) AddPrimaryIndex(definition.Indexes);
    definition.Password = password_;
    definition.AutoIndexes = auto_indexes_.value_or(false);
    definition.BLOBCompression = blob_compression_.value_or(0);
    definition.BLOBBlockSize = blob_block_size_;
    definition.LastAutoInc = last_auto_inc_;
    host.CreateTable(address, definition);
  } catch (const std::exception& e) {
    std::throw_with_nested(ZorException::CreateFmt(err::kCreateFailed, {}, {e.what()}));
  }
}

// ---------------------------------------------------------------------------
// DROP TABLE.

TKivoDDLDropTable::TKivoDDLDropTable(TKivoLexer& lexer) : TKivoDDLTableManipulation(lexer) {
  Parse();
}

void TKivoDDLDropTable::Parse() {
  ParseHead(D().DROP, err::kDropNoName, err::kDropNotName);
  if (!AtEnd()) FailAt(token_, false, err::kAfterStatement);
}

void TKivoDDLDropTable::Execute(TZorHost& host, bool /*live*/) {
  try {
    host.DeleteTable(Address(host, password_));
  } catch (const std::exception& e) {
    std::throw_with_nested(ZorException::CreateFmt(err::kDropFailed, {}, {e.what()}));
  }
}

// ---------------------------------------------------------------------------
// ALTER TABLE.

TKivoDDLAlterTable::TKivoDDLAlterTable(TKivoLexer& lexer) : TKivoDDLTableManipulation(lexer) {
  Parse();
}

void TKivoDDLAlterTable::Parse() {
  ParseHead(D().ALTER, err::kAlterNoName, err::kAlterNotName);
  if (AtEnd()) FailAt(token_, true, err::kNoMode);
  if (IsReserved(D().ADD)) {
    mode_ = TMode::kAdd;
  } else if (IsReserved(D().DROP)) {
    mode_ = TMode::kDrop;
  } else if (IsReserved(D().MODIFY)) {
    mode_ = TMode::kModify;
  } else {
    FailAt(token_, false,
           token_.TokenType == tktReservedWord ? err::kModeReserved : err::kModeOther);
  }
  NextToken();
  ParseElements(true);
}

void TKivoDDLAlterTable::Change(TZorTableDefinition& definition) const {
  TFieldDefs& defs = definition.Fields;
  switch (mode_) {
    case TMode::kAdd:
      for (const TKivoFieldDef& field : fields_)
        defs.Add(field.Name, static_cast<TFieldType>(field.DataType), field.Size,
                 field.Nullable == TKivoFieldDef::kNotNull);
      break;
    case TMode::kDrop: {
      TFieldDefs dropped;
      for (const TKivoFieldDef& field : fields_) dropped.Add(field.Name, ftUnknown);
      TFieldDefs kept;
      for (const TFieldDef& def : defs)
        if (dropped.IndexOf(def.Name()) < 0) kept.Add(def);
      defs = std::move(kept);
      break;
    }
    case TMode::kModify:
      for (const TKivoFieldDef& field : fields_) {
        const int n = defs.IndexOf(field.Name);
        if (n < 0) throw ZorException::CreateFmt(err::kFieldNotFound, {}, {field.Name});
        if (field.DataType != 0) {
          defs[n].SetDataType(static_cast<TFieldType>(field.DataType));
          defs[n].SetSize(field.Size);
        }
        if (field.Nullable != TKivoFieldDef::kUnchanged)
          defs[n].SetRequired(field.Nullable == TKivoFieldDef::kNotNull);
      }
      break;
  }
}

void TKivoDDLAlterTable::Execute(TZorHost& host, bool /*live*/) {
  try {
    const TZorTableAddress address = Address(host, password_);
    TZorTableDefinition definition = host.ReadTableDefinition(address);
    // The primary index goes; the statement's key list makes a new one.
    TIndexDefs indexes;
    bool primaryDropped = false;
    for (const TIndexDef& index : definition.Indexes) {
      if (!primaryDropped && (index.Options() & ixPrimary) != 0) {
        primaryDropped = true;
        continue;
      }
      indexes.Add(index);
    }
    definition.Indexes = std::move(indexes);
    Change(definition);
    if (mode_ != TMode::kDrop && !primary_key_.empty()) AddPrimaryIndex(definition.Indexes);
    if (last_auto_inc_ != 0) definition.LastAutoInc = last_auto_inc_;
    if (blob_block_size_ != 0) definition.BLOBBlockSize = blob_block_size_;
    if (blob_compression_) definition.BLOBCompression = *blob_compression_;
    // Automatic indexes stay as they are unless the statement says.
    if (auto_indexes_) definition.AutoIndexes = *auto_indexes_;
    definition.Password = new_password_given_ ? new_password_ : password_;
    host.RestructureTable(address, definition);
  } catch (const std::exception& e) {
    std::throw_with_nested(ZorException::CreateFmt(err::kAlterFailed, {}, {e.what()}));
  }
}

// ---------------------------------------------------------------------------
// CREATE INDEX.

TKivoDDLCreateIndex::TKivoDDLCreateIndex(TKivoLexer& lexer) : TKivoSQLCommand(lexer) { Parse(); }

void TKivoDDLCreateIndex::Parse() {
  unique_ = false;
  index_name_.clear();
  table_name_.clear();
  password_.clear();
  fields_.clear();
  SetInMemory(false);

  RestorePosition(0);
  if (!IsReserved(D().CREATE)) FailAt(token_, AtEnd(), err::kNotStatement);
  NextToken();
  if (AtEnd()) FailAt(token_, true, err::kNoIndexNoun);
  if (IsReserved(D().UNIQUE)) {
    unique_ = true;
    NextToken();
  }
  if (!IsReserved(D().INDEX)) FailAt(token_, AtEnd(), err::kIndexWord);
  NextToken();
  // The name ends up in the table's files: text that cannot be part of a
  // file name is refused.
  if (AtEnd() || !IsNameToken() || !IsSafeTableName(token_.Text))
    FailAt(token_, AtEnd(), err::kIndexName);
  index_name_ = std::string(token_.Text);
  NextToken();
  if (!IsReserved(W().ON)) FailAt(token_, AtEnd(), err::kOn);
  NextToken();
  int tableCode = err::kIndexTable;
  if (IsReserved(W().MEMORY)) {
    SetInMemory(true);
    tableCode = err::kIndexMemoryTable;
    NextToken();
  }
  if (AtEnd()) FailAt(token_, true, tableCode);
  table_name_ = ReadTableName(tableCode);
  if (!IsLeftParenthesis()) FailAt(token_, AtEnd(), err::kIndexOpen);
  NextToken();
  for (;;) {
    ParseColumn();
    if (!IsComma()) break;
    NextToken();
  }
  NextToken();  // ")"
  if (!AtEnd()) FailAt(token_, false, err::kAfterCreateIndex);
}

void TKivoDDLCreateIndex::ParseColumn() {
  if (AtEnd()) FailAt(token_, true, err::kIndexColumnEnd);
  TKivoIndexField* field = nullptr;
  if (IsReserved(W().PASSWORD)) {
    NextToken();
    if (token_.TokenType != tktQuotedString) FailAt(token_, AtEnd(), err::kIndexPassword);
    password_ = std::string(token_.Text);
  } else {
    if (!IsNameToken()) FailAt(token_, false, err::kIndexColumn);
    field = &fields_.emplace_back();
    field->Name = std::string(token_.Text);
  }
  NextToken();
  while (!IsComma() && !IsRightParenthesis()) {
    if (AtEnd()) FailAt(token_, true, err::kIndexColumnEnd);
    if (field != nullptr) {
      if (IsReserved(W().ASC)) field->Descending = false;
      if (IsReserved(W().DESC)) field->Descending = true;
      if (IsReserved(D().CASE)) field->CaseInsensitive = false;
      if (IsReserved(D().NOCASE)) field->CaseInsensitive = true;
    }
    NextToken();
  }
}

void TKivoDDLCreateIndex::Execute(TZorHost& host, bool /*live*/) {
  std::vector<std::string> names;
  std::vector<std::string> descending;
  std::vector<std::string> caseInsensitive;
  for (const TKivoIndexField& field : fields_) {
    names.push_back(field.Name);
    if (field.Descending) descending.push_back(field.Name);
    if (field.CaseInsensitive) caseInsensitive.push_back(field.Name);
  }
  TIndexDef index(index_name_, Join(names, ";"), unique_ ? ixUnique : 0);
  index.SetDescFields(Join(descending, ";"));
  index.SetCaseInsFields(Join(caseInsensitive, ";"));
  host.AddIndex(TableAddress(host, table_name_, password_, InMemory()), index);
}

// ---------------------------------------------------------------------------
// DROP INDEX.

TKivoDDLDropIndex::TKivoDDLDropIndex(TKivoLexer& lexer) : TKivoSQLCommand(lexer) { Parse(); }

void TKivoDDLDropIndex::Parse() {
  table_name_.clear();
  index_name_.clear();
  password_.clear();
  SetInMemory(false);

  RestorePosition(0);
  if (!IsReserved(D().DROP)) FailAt(token_, AtEnd(), err::kNotStatement);
  NextToken();
  if (!IsReserved(D().INDEX))
    FailAt(token_, AtEnd(), AtEnd() ? err::kNoOtherNoun : err::kOtherNoun);
  NextToken();
  if (AtEnd()) FailAt(token_, true, err::kDropIndexNoTable);
  if (IsReserved(W().MEMORY)) {
    SetInMemory(true);
    NextToken();
    if (AtEnd()) FailAt(token_, true, err::kDropIndexMemory);
  }
  table_name_ = ReadTableName(err::kDropIndexTable);
  if (token_.TokenType != tktDot) FailAt(token_, AtEnd(), err::kDot, {std::string(".")});
  NextToken();
  if (AtEnd()) FailAt(token_, true, err::kDropIndexNoName);
  if (!IsTableNameToken()) FailAt(token_, false, err::kIndexName);
  index_name_ = std::string(token_.Text);
  NextToken();
  if (IsReserved(W().PASSWORD)) {
    NextToken();
    if (token_.TokenType != tktQuotedString) FailAt(token_, AtEnd(), err::kDropIndexPassword);
    password_ = std::string(token_.Text);
    NextToken();
  }
  if (!AtEnd()) FailAt(token_, false, err::kAfterDropIndex);
}

void TKivoDDLDropIndex::Execute(TZorHost& host, bool /*live*/) {
  host.DeleteIndex(TableAddress(host, table_name_, password_, InMemory()), index_name_);
}

}  // namespace kivo
