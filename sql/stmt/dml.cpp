#include "sql/stmt/dml.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/stmt/keywords.h"

namespace kivo {

using stmt_detail::W;

namespace {

// Native error numbers of INSERT, UPDATE and DELETE.
namespace err {
constexpr int kExpression = 1090;         // "Expression expected ..."
constexpr int kInsertLeftOver = 2068;     // "Unexpected token ..."
constexpr int kInsertBlank = 2070;        // "Blank SQL command"
constexpr int kInsertInto = 2071;         // "INTO keyword expected ..."
constexpr int kInsertTable = 2072;        // "Table name expected ..."
constexpr int kInsertValueEnd = 2073;     // "Unexpected end of SQL command ..."
constexpr int kInsertColumnNext = 2074;   // "')' or ',' symbol expected ..."
constexpr int kInsertAfterTable = 2075;   // "Unexpected end of SQL command ..."
constexpr int kInsertAfterList = 2076;    // "Unexpected end of SQL command ..."
constexpr int kInsertValuesOpen = 2077;   // "'(' symbol expected ..."
constexpr int kInsertAfterPass = 2079;    // "Unexpected end of SQL command ..."
constexpr int kInsertPassword = 2080;     // "Quoted password expected ..."
constexpr int kDeleteBlank = 2081;        // "Unexpected token ..."
constexpr int kUpdateBlank = 2082;        // "Blank SQL command"
constexpr int kUpdateTable = 2083;        // "Table name expected ..."
constexpr int kUpdatePassword = 2084;     // "Quoted password expected ..."
constexpr int kUpdateSet = 2085;          // "'SET' keyword expected ..."
constexpr int kUpdateEquals = 2086;       // "Token '=' expected ..."
constexpr int kUpdateAfterComma = 2087;   // "Unexpected end of SQL command ..."
constexpr int kUpdateComma = 2088;        // "Token '%s' expected ..."
constexpr int kInsertMemoryTable = 2150;  // "Table name expected ..."
constexpr int kUpdateMemoryTable = 2151;  // "Table name expected ..."
constexpr int kInsertColumn = 2156;       // "Field name expected ..."
constexpr int kUpdateAutoInc = 2157;      // "AutoInc uniqueness violation ..."
constexpr int kInsertAutoInc = 2158;
constexpr int kInsertSelectAutoInc = 2159;
}  // namespace err

// ---------------------------------------------------------------------------
// Values as they are stored.

bool IsBlobType(std::uint8_t type) { return type >= ftBlob && type <= ftFmtMemo; }

// A value that is exactly the marker of a BLOB parameter of `params` (the
// marker followed by the parameter's name, as the lexer writes it) becomes
// that parameter's bytes with the Blob tag, or NULL when it has none. Any
// other value, one that merely contains the marker included, stays.
void ResolveBlobMarker(const TParams* params, TZorValue& value) {
  if (params == nullptr || value.IsNull() || value.DataType() != ftString) return;
  const std::string text = value.AsString();
  const std::string_view view(text);
  if (view.size() <= kBlobMarker.size() || view.substr(0, kBlobMarker.size()) != kBlobMarker)
    return;
  const TParam* param = params->FindParam(view.substr(kBlobMarker.size()));
  if (param == nullptr || !IsBlobType(param->DataType())) return;
  const TZorValue& bytes = param->Value();
  if (bytes.IsNull() || bytes.Size() <= 0) {
    value.SetNull(ftBlob);
    return;
  }
  value.SetPayload(ftBlob, bytes.Data(), bytes.Size());
}

// Converts a value to the type of the field it is written to, so that a
// value that cannot be stored fails before its row is touched. BLOB fields
// take the bytes as they are, and a BLOB parameter's bytes are not text.
void ConvertForType(std::uint8_t type, TZorValue& value) {
  if (value.DataType() == ftBlob || IsBlobType(type)) return;
  value.ConvertTo(type);
}

void ConvertForField(TZorTable& table, int fieldNo, TZorValue& value) {
  ConvertForType(table.FieldType(fieldNo), value);
}

// Raises `code` when a value for an automatic-number field names a record
// other than `ownId` (-1: none) that exists.
void CheckAutoIncValues(TZorTable& table, const std::vector<int>& fields,
                        const std::vector<TZorValue>& row, std::int32_t ownId, int code) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (row[i].IsNull() || table.FieldType(fields[i]) != ftAutoInc) continue;
    const std::int32_t id = row[i].AsInteger();
    if (id != ownId && table.RecordIdExists(id))
      throw ZorException::CreateFmt(code, {}, {std::int64_t{id}});
  }
}

bool WritesAutoInc(TZorTable& table, const std::vector<int>& fields) {
  return std::any_of(fields.begin(), fields.end(),
                     [&](int f) { return table.FieldType(f) == ftAutoInc; });
}

// The field each of `count` values is written to: the column named at its
// place when `columns` names one there, else the field at its place. More
// values than the table has fields raise before anything is written.
std::vector<int> TargetFields(TZorTable& table, const std::vector<std::string>& columns,
                              std::size_t count) {
  std::vector<int> fields;
  for (std::size_t i = 0; i < count; ++i) {
    if (i < columns.size() && !columns[i].empty()) {
      fields.push_back(table.FieldNoByName(columns[i]));
      continue;
    }
    if (i >= static_cast<std::size_t>(table.FieldCount()))
      throw Exception("Cannot insert " + std::to_string(count) + " values into table '" +
                      table.TableName() + "' of " + std::to_string(table.FieldCount()) +
                      " fields.");
    fields.push_back(static_cast<int>(i));
  }
  return fields;
}

// Appends one row of converted values; a failure stores nothing of it.
void InsertRow(TZorTable& table, const std::vector<int>& fields,
               const std::vector<TZorValue>& row) {
  table.Append();
  try {
    for (std::size_t i = 0; i < fields.size(); ++i) table.WriteField(fields[i], row[i]);
    table.Post();
  } catch (...) {
    table.Cancel();
    throw;
  }
}

// ---------------------------------------------------------------------------
// The rows UPDATE and DELETE change.

// Runs the statement's SELECT and gives the base table it reads, filtered.
// A SELECT whose rows would be copied into a temporary result is refused
// before it runs: changing that copy would change nothing stored.
TZorTable& RunChangeSelect(TKivoSQLSelect& select, TZorHost& host, bool live,
                           const char* statement) {
  const auto refuse = [&] {
    return ZorException::CreateFmt(native_error::kResultNotChangeable, {},
                                   {std::string(statement)});
  };
  if (!select.ReadsOneTable()) throw refuse();
  select.Execute(host, live);
  if (select.GetRootOperator() == nullptr || !select.GetRootOperator()->IsTableOperator ||
      select.GetResult() == nullptr)
    throw refuse();
  return *select.GetResult();
}

// Closes the table an UPDATE or DELETE changed, once it is done with it.
// The close writes the changed rows out, and its failure is the
// statement's; left to the statement's operators, the table would be closed
// when they go, where a failure is dropped and the statement has already
// been reported done.
void CloseChangedTable(TZorTable& table) { table.Close(); }

// The identifiers of the visible rows, taken before any of them changes,
// so that a row an earlier change moves (in the order or out of the view)
// is neither visited twice nor skipped.
//
// The walk then goes by identifier over the whole table: the statement's
// condition, limits and distinct fields are dropped from the table's list,
// which so becomes its index again and follows each change without judging
// the record against the condition or searching for its new place.
void DropRestrictions(TZorTable& table) {
  table.SetRecordFilter(nullptr, nullptr);
  table.SetLimits(-1, -1);
  if (!table.DistinctFields().empty()) table.SetDistinctFields("");
}

std::vector<std::int32_t> RowIds(TZorTable& table) {
  std::vector<std::int32_t> ids;
  for (table.First(); !table.Eof(); table.Next()) ids.push_back(table.RecordId());
  DropRestrictions(table);
  return ids;
}

// The same as stored positions, for changes in place.
std::vector<std::int32_t> RowPositions(TZorTable& table) {
  std::vector<std::int32_t> positions = table.VisiblePositions();
  DropRestrictions(table);
  return positions;
}

// Brings the table's list up to date when changes in place end, by return
// or by exception.
class ChangesInPlace {
 public:
  explicit ChangesInPlace(TZorTable& table) : table_(table) {}
  ~ChangesInPlace() {
    try {
      table_.EndChangesInPlace();
    } catch (...) {
      // The list is rebuilt again when next used.
    }
  }
  ChangesInPlace(const ChangesInPlace&) = delete;
  ChangesInPlace& operator=(const ChangesInPlace&) = delete;

 private:
  TZorTable& table_;
};

// Sets the host's rows-affected count when a statement ends, by return or
// by exception.
class RowsAffectedOnExit {
 public:
  explicit RowsAffectedOnExit(TZorHost& host) : host_(host) {}
  ~RowsAffectedOnExit() { host_.SetRowsAffected(count); }
  RowsAffectedOnExit(const RowsAffectedOnExit&) = delete;
  RowsAffectedOnExit& operator=(const RowsAffectedOnExit&) = delete;

  std::int32_t count = 0;

 private:
  TZorHost& host_;
};

TZorTableAddress AddressOf(const TZorTargetTable& target, const TZorHost& host) {
  TZorTableAddress address;
  address.TableName = target.TableName;
  address.Password = target.Password;
  address.InMemory = target.InMemory || host.InMemory();
  return address;
}

}  // namespace

// ---------------------------------------------------------------------------
// INSERT.

TKivoSQLInsert::TKivoSQLInsert(TKivoLexer& lexer) : TKivoSQLCommand(lexer) { Parse(); }
TKivoSQLInsert::~TKivoSQLInsert() = default;

void TKivoSQLInsert::Parse() {
  const auto endAt = [this](int code) {
    return ZorException::CreateFmt(code, {}, {std::int64_t{token_.Line}});
  };
  LoadToken();
  NextToken();
  if (AtEnd()) throw ZorException::Create(err::kInsertBlank);
  if (!IsReserved(W().INTO)) RaiseAtToken(err::kInsertInto);
  NextToken();
  if (IsReserved(W().MEMORY)) {
    target_.InMemory = true;
    NextToken();
    target_.TableName = ReadTableName(err::kInsertMemoryTable);
  } else {
    target_.TableName = ReadTableName(err::kInsertTable);
  }
  SetInMemory(target_.InMemory);
  if (AtEnd()) throw endAt(err::kInsertAfterTable);
  if (IsReserved(W().PASSWORD)) {
    NextToken();
    if (token_.TokenType != tktQuotedString) RaiseAtToken(err::kInsertPassword);
    target_.Password = std::string(token_.Text);
    NextToken();
    if (AtEnd()) throw endAt(err::kInsertAfterPass);
  }
  if (IsLeftParenthesis()) {
    NextToken();
    for (;;) {
      if (!IsTableNameToken()) RaiseAtToken(err::kInsertColumn);
      columns_.emplace_back(token_.Text);
      NextToken();
      if (IsRightParenthesis()) break;
      if (!IsComma()) RaiseAtToken(err::kInsertColumnNext);
      NextToken();
    }
    NextToken();
    if (AtEnd()) throw endAt(err::kInsertAfterList);
  }
  if (IsReserved(W().VALUES)) {
    ParseValues();
  } else if (IsReserved(W().SELECT)) {
    const int from = SavePosition();
    select_ = std::make_unique<TKivoSQLSelect>(*lexer_);
    // Any token of the SELECT that reads as the target's name counts, so
    // that no way of naming it (a join, a sub-query) is missed.
    select_names_target_ = false;
    const int to = SavePosition();
    TToken token;
    for (int i = from; i < to && !select_names_target_; ++i) {
      token = lexer_->TokenAt(lexer_->CurrentCommand(), i);
      select_names_target_ = AnsiSameText(token.Text, target_.TableName);
    }
  } else {
    // Neither VALUES nor SELECT: the token cannot belong to the statement.
    RaiseAtToken(err::kInsertLeftOver);
  }
}

// VALUES "(" value {, value} ")": after a value, "," continues the list,
// ")" ends it, and any other token starts the next value.
void TKivoSQLInsert::ParseValues() {
  NextToken();
  if (!IsLeftParenthesis()) RaiseAtToken(err::kInsertValuesOpen);
  NextToken();
  for (;;) {
    if (AtEnd())
      throw ZorException::CreateFmt(err::kInsertValueEnd, {}, {std::int64_t{token_.Line}});
    TZorExpression parsed(*lexer_);
    parsed.ParseValueExpression();
    LoadToken();
    if (parsed.IsEmpty()) RaiseAtToken(err::kExpression);
    values_.push_back(std::make_unique<TZorExpression>(parsed.TakeRoot()));
    if (IsRightParenthesis()) {
      NextToken();
      return;
    }
    if (IsComma()) NextToken();
  }
}

void TKivoSQLInsert::Execute(TZorHost& host, bool live) {
  // The host keeps the table open for the statements after this one.
  TZorTable& target = host.TableToWrite(AddressOf(target_, host));
  if (select_)
    InsertSelected(host, target, live);
  else
    InsertValues(host, target);
}

void TKivoSQLInsert::InsertValues(TZorHost& host, TZorTable& target) {
  TZorHostContext context(host);
  std::vector<TZorValue> row(values_.size());
  for (std::size_t i = 0; i < values_.size(); ++i) {
    row[i] = values_[i]->Evaluate(&context);
    ResolveBlobMarker(host.Params(), row[i]);
  }
  // A column list applies only when it names every value.
  const std::vector<int> fields = TargetFields(
      target, columns_.size() == values_.size() ? columns_ : std::vector<std::string>{},
      values_.size());
  for (std::size_t i = 0; i < fields.size(); ++i) ConvertForField(target, fields[i], row[i]);
  CheckAutoIncValues(target, fields, row, -1, err::kInsertAutoInc);
  InsertRow(target, fields, row);
}

void TKivoSQLInsert::InsertSelected(TZorHost& host, TZorTable& target, bool live) {
  select_->Execute(host, live);
  TZorTable& result = *select_->GetResult();
  const std::vector<int> shown = ShownFieldNumbers(result);
  // When the SELECT may read the target, its rows are fixed in a copy
  // before the target changes. The copy's fields are named by place: a
  // query may show two fields of one name.
  std::unique_ptr<TZorTable> copied;
  std::vector<int> read = shown;
  if (select_names_target_) {
    std::vector<TZorFieldDef> defs;
    for (std::size_t k = 0; k < shown.size(); ++k) {
      const int n = shown[k];
      defs.push_back({"F" + std::to_string(k), result.FieldType(n), result.FieldSize(n)});
    }
    copied = host.CreateResultTable(defs);
    CopyRows(result, shown, *copied);
    for (std::size_t k = 0; k < read.size(); ++k) read[k] = static_cast<int>(k);
  }
  TZorTable* copy = copied ? copied.get() : &result;

  const std::vector<int> fields = TargetFields(target, columns_, shown.size());
  // Automatic numbers are checked against the rows stored so far, which a
  // run of appends does not keep searchable: such rows go one by one.
  const bool autoInc = WritesAutoInc(target, fields);
  std::optional<TZorAppendRun> run;
  if (!autoInc) run.emplace(target);
  // The field types, looked up once rather than for every row.
  std::vector<std::uint8_t> types;
  for (const int f : fields) types.push_back(target.FieldType(f));
  std::vector<TZorValue> row(fields.size());
  TZorValue value;
  for (copy->First(); !copy->Eof(); copy->Next()) {
    for (std::size_t k = 0; k < fields.size(); ++k) {
      copy->ReadField(read[k], value);
      row[k] = value;  // an owned copy: the read may borrow the copy's record
      ConvertForType(types[k], row[k]);
    }
    if (autoInc) CheckAutoIncValues(target, fields, row, -1, err::kInsertSelectAutoInc);
    InsertRow(target, fields, row);
  }
  if (run) run->End();
}

// ---------------------------------------------------------------------------
// UPDATE.

TKivoSQLUpdate::TKivoSQLUpdate(TKivoLexer& lexer) : TKivoSQLCommand(lexer) { Parse(); }
TKivoSQLUpdate::~TKivoSQLUpdate() = default;

void TKivoSQLUpdate::Parse() {
  LoadToken();
  NextToken();
  if (AtEnd()) throw ZorException::Create(err::kUpdateBlank);
  if (IsReserved(W().MEMORY)) {
    target_.InMemory = true;
    NextToken();
    target_.TableName = ReadTableName(err::kUpdateMemoryTable);
  } else {
    target_.TableName = ReadTableName(err::kUpdateTable);
  }
  SetInMemory(target_.InMemory);
  if (IsReserved(W().PASSWORD)) {
    NextToken();
    if (token_.TokenType != tktQuotedString) RaiseAtToken(err::kUpdatePassword);
    target_.Password = std::string(token_.Text);
    NextToken();
  }
  if (!IsReserved(W().SET)) RaiseAtToken(err::kUpdateSet);
  NextToken();
  // column "=" value {, column "=" value}, up to WHERE or the end.
  std::vector<TZorSelectListItem> items;
  for (;;) {
    if (AtEnd())
      throw ZorException::CreateFmt(err::kUpdateAfterComma, {}, {std::int64_t{token_.Line}});
    columns_.emplace_back(token_.Text);
    TZorSelectListItem& item = items.emplace_back();
    item.FieldName = columns_.back();
    NextToken();
    if (!IsSign("=")) RaiseAtToken(err::kUpdateEquals);
    NextToken();
    if (AtEnd())
      throw ZorException::CreateFmt(err::kUpdateAfterComma, {}, {std::int64_t{token_.Line}});
    TZorExpression parsed(*lexer_);
    parsed.ParseValueExpression();
    LoadToken();
    if (parsed.IsEmpty()) RaiseAtToken(err::kExpression);
    values_.push_back(std::make_unique<TZorExpression>(parsed.TakeRoot()));
    if (AtEnd() || IsReserved(W().WHERE)) break;
    if (!IsComma()) RaiseAtToken(err::kUpdateComma, {std::string(",")});
    NextToken();
  }
  // SELECT columns FROM [MEMORY] table [PASSWORD 'p'] and what follows.
  auto from = std::make_unique<TZorTableReference>();
  from->TableName = target_.TableName;
  from->Password = target_.Password;
  from->InMemory = target_.InMemory;
  select_ = std::make_unique<TKivoSQLSelect>(*lexer_, std::move(items), std::move(from));
}

void TKivoSQLUpdate::Execute(TZorHost& host, bool live) {
  RowsAffectedOnExit affected(host);
  TZorTable& table = RunChangeSelect(*select_, host, live, "UPDATE");
  std::vector<int> fields;
  for (const std::string& column : columns_) fields.push_back(table.FieldNoByName(column));
  for (const auto& value : values_) select_->GetRootOperator()->BindExpression(*value);
  TZorHostContext context(host);
  std::vector<TZorValue> row(values_.size());
  if (table.CanEditInPlace(fields)) {
    UpdateInPlace(host, table, fields, affected.count);
  } else {
    for (const std::int32_t id : RowIds(table)) {
      if (!table.MoveToRecordId(id)) continue;
      NewValues(host, context, table, fields, id, row, affected.count);
      table.Edit();
      try {
        for (std::size_t i = 0; i < fields.size(); ++i) table.WriteField(fields[i], row[i]);
        table.PostEdit();
      } catch (...) {
        table.CancelEdit();
        throw;
      }
      ++affected.count;
    }
  }
  CloseChangedTable(table);
}

void TKivoSQLUpdate::NewValues(TZorHost& host, TZorEvalContext& context, TZorTable& table,
                               const std::vector<int>& fields, std::int32_t id,
                               std::vector<TZorValue>& row, std::int32_t& count) {
  // Every value from the row as it was; the caller writes them all at once.
  for (std::size_t i = 0; i < values_.size(); ++i) {
    row[i] = values_[i]->Evaluate(&context);
    ResolveBlobMarker(host.Params(), row[i]);
    ConvertForField(table, fields[i], row[i]);
  }
  try {
    CheckAutoIncValues(table, fields, row, id, err::kUpdateAutoInc);
  } catch (const ZorException&) {
    count = -1;
    throw;
  }
}

void TKivoSQLUpdate::UpdateInPlace(TZorHost& host, TZorTable& table, const std::vector<int>& fields,
                                   std::int32_t& count) {
  // An UPDATE moves no record: the positions taken first stay each row's.
  const std::vector<std::int32_t> positions = RowPositions(table);
  const ChangesInPlace end(table);
  TZorHostContext context(host);
  std::vector<TZorValue> row(values_.size());
  for (const std::int32_t pos : positions) {
    const std::int32_t id = table.BeginEditInPlace(pos);
    try {
      NewValues(host, context, table, fields, id, row, count);
      for (std::size_t i = 0; i < fields.size(); ++i) table.WriteField(fields[i], row[i]);
      table.PostEditInPlace();
    } catch (...) {
      table.CancelEditInPlace();
      throw;
    }
    ++count;
  }
}

// ---------------------------------------------------------------------------
// DELETE.

TKivoSQLDelete::TKivoSQLDelete(TKivoLexer& lexer) : TKivoSQLCommand(lexer) { Parse(); }
TKivoSQLDelete::~TKivoSQLDelete() = default;

void TKivoSQLDelete::Parse() {
  LoadToken();
  NextToken();
  if (AtEnd()) RaiseAtToken(err::kDeleteBlank);
  // DELETE reads as SELECT *: FROM and what follows it.
  select_ = std::make_unique<TKivoSQLSelect>(*lexer_, std::vector<TZorSelectListItem>{}, nullptr);
}

void TKivoSQLDelete::Execute(TZorHost& host, bool live) {
  RowsAffectedOnExit affected(host);
  TZorTable& table = RunChangeSelect(*select_, host, live, "DELETE");
  // From the highest position down: the last record, which moves into each
  // deleted one's place, is then never one still to be deleted.
  std::vector<std::int32_t> positions = RowPositions(table);
  std::sort(positions.begin(), positions.end(), std::greater<>());
  {
    const ChangesInPlace end(table);
    for (const std::int32_t pos : positions) {
      table.DeleteInPlace(pos);
      ++affected.count;
    }
  }
  CloseChangedTable(table);
}

}  // namespace kivo
