#include "components/sql_host.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "components/session.h"
#include "engine/field_types.h"
#include "engine/record_image.h"
#include "engine/table_header.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/lexer.h"
#include "sql/parser.h"
#include "sql/stmt/union_parse.h"

namespace kivo {
namespace {

constexpr int kCannotOpenTable = 4;
constexpr std::int32_t kResultRecordsPerPage = 1000;

// Whether two ";"-separated name lists hold the same names in the same
// order, case ignored.
bool SameNameList(const std::string& a, const std::string& b) {
  const std::vector<std::string> x = SplitNameList(a);
  const std::vector<std::string> y = SplitNameList(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i)
    if (!AnsiSameText(x[i], y[i])) return false;
  return true;
}

// The descending (or case-insensitive) fields of an index: its own list, or
// every key field when the whole index has the option.
std::string OptionFields(const TIndexDef& def, const std::string& list, TIndexOptions option) {
  if (list.empty() && (def.Options() & option) != 0) return def.Fields();
  return list;
}

// Whether the ";"-separated list holds `name`, case ignored.
bool ListHoldsName(const std::vector<std::string>& list, const std::string& name) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& n) { return AnsiSameText(n, name); });
}

// Whether an index whose descending fields are `indexDesc` orders `fields`
// exactly against the wanted descending fields `desc`: every field's
// direction turned round.
bool DirectionsReversed(const std::string& fields, const std::string& indexDesc,
                        const std::string& desc) {
  const std::vector<std::string> x = SplitNameList(indexDesc);
  const std::vector<std::string> y = SplitNameList(desc);
  for (const std::string& f : SplitNameList(fields))
    if (ListHoldsName(x, f) == ListHoldsName(y, f)) return false;
  return true;
}

// Result tables store automatic numbers as plain integers: a row copied
// from elsewhere must not become the table's record identifier, which is
// unique.
void AddFieldDefs(TFieldDefs& defs, const std::vector<TZorFieldDef>& fields) {
  defs.Clear();
  for (const TZorFieldDef& f : fields) {
    const std::uint8_t type = f.DataType == ftAutoInc ? std::uint8_t{ftInteger} : f.DataType;
    defs.Add(f.Name, static_cast<TFieldType>(type), f.Size);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TKivoSqlTable: fields and the cursor.

TKivoSqlTable::TKivoSqlTable(std::unique_ptr<TKivoTable> table) : table_(std::move(table)) {}

TKivoSqlTable::~TKivoSqlTable() {
  try {
    Close();
  } catch (const std::exception&) {
    // Closing is best effort here; Close() reports failures to a caller.
  }
}

TKivoDataManager& TKivoSqlTable::Manager() const {
  TKivoDataManager* m = table_->DataManager();
  if (m == nullptr || !table_->TableOpened())
    throw ZorException::CreateFmt(native_error::kTableNotOpened, {},
                                  {FormatArg(table_->TableName())});
  return *m;
}

int TKivoSqlTable::FieldCount() const {
  const TKivoDataManager& m = Manager();
  return m.FieldCount() + (m.IdFieldVisibility() == kIdFieldVisible ? 1 : 0);
}

std::int32_t TKivoSqlTable::TableFieldNo(int fieldNo) const {
  const TKivoDataManager& m = Manager();
  const std::int32_t tableFields = m.FieldCount();
  const int count = tableFields + (m.IdFieldVisibility() == kIdFieldVisible ? 1 : 0);
  if (fieldNo < 0 || fieldNo >= count)
    throw ZorException::CreateFmt(native_error::kInvalidFieldNumber, {},
                                  {FormatArg(table_->TableName()), FormatArg(fieldNo)});
  return fieldNo == tableFields ? -1 : fieldNo;
}

std::string TKivoSqlTable::FieldName(int fieldNo) const {
  const std::int32_t f = TableFieldNo(fieldNo);
  return f < 0 ? Manager().IdFieldName() : Manager().FieldHeader(f).FieldName;
}

std::uint8_t TKivoSqlTable::FieldType(int fieldNo) const {
  const std::int32_t f = TableFieldNo(fieldNo);
  return f < 0 ? std::uint8_t{ftAutoInc} : Manager().FieldHeader(f).FieldType;
}

std::int32_t TKivoSqlTable::FieldSize(int fieldNo) const {
  const std::int32_t f = TableFieldNo(fieldNo);
  if (f < 0) return 0;
  const TFieldHeader& h = Manager().FieldHeader(f);
  return IsStringType(h.FieldType) ? DeclaredSizeOf(h.FieldType, h.FieldSize) : 0;
}

void TKivoSqlTable::First() { table_->First(); }
void TKivoSqlTable::Next() { table_->Next(); }
bool TKivoSqlTable::Eof() { return table_->Eof(); }
std::int32_t TKivoSqlTable::RecordCount() { return table_->RecordCount(); }
std::int32_t TKivoSqlTable::RecNo() { return table_->RecNo(); }

void TKivoSqlTable::MoveToRecNo(std::int32_t recNo) {
  if (recNo < 1 || recNo > table_->RecordCount())
    throw Exception("TKivoSqlTable.MoveToRecNo - record number " + std::to_string(recNo) +
                    " is out of range in table '" + table_->TableName() + "'.");
  table_->SetRecNo(recNo);
}

void TKivoSqlTable::ReadField(int fieldNo, TZorValue& out) {
  table_->GetFieldValue(out, TableFieldNo(fieldNo), false);
}

// ---------------------------------------------------------------------------
// Appending.

void TKivoSqlTable::Append() { table_->BeginInternalInsert(); }

void TKivoSqlTable::WriteField(int fieldNo, const TZorValue& value) {
  table_->SetFieldValue(value, TableFieldNo(fieldNo));
}

void TKivoSqlTable::Post() { table_->EndInternalInsert(); }
void TKivoSqlTable::Cancel() { table_->CancelInternalInsert(); }

void TKivoSqlTable::BeginAppends() { table_->BeginAppendRun(); }

void TKivoSqlTable::EndAppends() {
  try {
    table_->EndAppendRun();
  } catch (...) {
    // Unwinding from a failure in the run: the run has ended and the list
    // is rebuilt when next used, since the table changed after it was built.
    if (std::uncaught_exceptions() > 0) return;
    throw;
  }
}

// ---------------------------------------------------------------------------
// Order.

void TKivoSqlTable::SelectIndex(const std::string& name) { table_->OpenIndex(name); }

bool TKivoSqlTable::OrderSelected() const {
  return table_->CurrentIndex() != 0 || table_->IndexReversed();
}

std::string TKivoSqlTable::SelectOrCreateIndex(const std::string& fields,
                                               const std::string& descFields,
                                               const std::string& caseInsFields) {
  TIndexDefs defs;
  Manager().GetIndexDefs(defs, nullptr);
  auto fits = [&](const TIndexDef& def) {
    return SameNameList(def.Fields(), fields) &&
           SameNameList(OptionFields(def, def.CaseInsFields(), ixCaseInsensitive), caseInsFields);
  };
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    const TIndexDef& def = defs[i];
    if (fits(def) && SameNameList(OptionFields(def, def.DescFields(), ixDescending), descFields)) {
      table_->OpenIndex(def.Name());
      return def.Name();
    }
  }
  // An index in the opposite direction on every field is walked backwards,
  // which costs far less than building a temporary index.
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    const TIndexDef& def = defs[i];
    if (fits(def) &&
        DirectionsReversed(fields, OptionFields(def, def.DescFields(), ixDescending), descFields)) {
      table_->OpenIndex(def.Name(), -1, true);
      return def.Name();
    }
  }
  std::string name;
  table_->CreateTemporaryIndex(fields, descFields, caseInsFields, name);
  table_->OpenIndex(name);
  return name;
}

// ---------------------------------------------------------------------------
// Restrictions.

void TKivoSqlTable::Refresh(const std::function<void()>& undo) {
  try {
    table_->RebuildVisibleList();
    table_->First();
  } catch (...) {
    undo();
    table_->RebuildVisibleList();
    table_->First();
    throw;
  }
}

void TKivoSqlTable::SetRecordFilter(TZorExpression* condition, TZorEvalContext* context) {
  TkrVisibleList& list = *table_->VisibleList();
  // Removing a filter that is not there leaves the list as it is: a
  // rebuild would judge every record again for nothing.
  if (condition == nullptr && list.FilterExpression() == nullptr) {
    filter_.condition = nullptr;
    filter_.context = nullptr;
    table_->First();
    return;
  }
  filter_.condition = condition;
  filter_.context = context;
  list.SetFilterExpression(condition != nullptr ? &filter_ : nullptr);
  Refresh([&] {
    list.SetFilterExpression(nullptr);
    filter_.condition = nullptr;
    filter_.context = nullptr;
  });
}

void TKivoSqlTable::SetLimits(std::int32_t firstRow, std::int32_t rowLimit) {
  TkrVisibleList& list = *table_->VisibleList();
  // The same limits again (usually none): the list stands, and a rebuild
  // would evaluate the record filter over the whole table once more.
  const auto bound = [](std::int32_t v) { return v < 0 ? -1 : v; };
  if (bound(list.FirstRow()) == bound(firstRow) && bound(list.RowLimit()) == bound(rowLimit)) {
    table_->First();
    return;
  }
  list.SetFirstRow(firstRow);
  list.SetRowLimit(rowLimit);
  Refresh([&] {
    list.SetFirstRow(-1);
    list.SetRowLimit(-1);
  });
}

void TKivoSqlTable::SetDistinctFields(const std::string& fields) {
  TkrVisibleList& list = *table_->VisibleList();
  list.SetDistinctFields(fields);
  Refresh([&] { list.SetDistinctFields(distinct_fields_); });
  distinct_fields_ = fields;
}

void TKivoSqlTable::SetVisibleFields(const std::vector<std::string>& fields,
                                     const std::vector<std::string>& labels, bool storeOnly) {
  if (labels.size() != fields.size())
    throw Exception("TKivoSqlTable.SetVisibleFields - " + std::to_string(fields.size()) +
                    " fields but " + std::to_string(labels.size()) + " labels.");
  for (const std::string& name : fields) table_->FieldByName(name);  // raises for unknown names
  if (!storeOnly) {
    for (const auto& field : table_->Fields()) {
      field->SetVisible(false);
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!AnsiSameText(field->FieldName(), fields[i])) continue;
        field->SetVisible(true);
        field->SetDisplayLabel(labels[i]);
      }
    }
  }
  visible_fields_ = fields;
  visible_labels_ = labels;
}

bool TKivoSqlTable::Locate(int fieldNo, const TZorValue& value) {
  const std::string name = FieldName(fieldNo);
  if (value.IsNull()) return false;
  return table_->Locate(name, {value.AsVariant()}, 0);
}

void TKivoSqlTable::Close() {
  if (!table_->Active() && !table_->DeleteOnClose()) return;
  // The list must not call the filter once the table is going.
  if (table_->VisibleList() != nullptr) table_->VisibleList()->SetFilterExpression(nullptr);
  if (table_->DeleteOnClose()) {
    table_->DeleteTemporaryTable();
    table_->SetDeleteOnClose(false);
    return;
  }
  // Another table of the statements (a query's cursor, closed only when its
  // statement goes, where nothing reports) may keep the table open after
  // this one, and would flush what was written here. The rows go out now,
  // and a failure is raised once the table is closed.
  std::exception_ptr failure;
  TKivoDataManager* m = table_->DataManager();
  if (m != nullptr && table_->Active() && !table_->ReadOnly()) {
    try {
      m->FlushBuffers();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    table_->Close();
  } catch (...) {
    if (!failure) throw;
  }
  if (failure) std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------
// The record image a filter judges.

std::vector<int> TKivoSqlTable::ImageFields::MatchingFields(std::string_view qualifier,
                                                            std::string_view name) const {
  std::vector<int> matches;
  if (!qualifier.empty() && !AnsiSameText(qualifier, owner_.TableName()) &&
      (alias.empty() || !AnsiSameText(qualifier, alias)))
    return matches;
  const int count = owner_.FieldCount();
  for (int i = 0; i < count; ++i)
    if (AnsiSameText(owner_.FieldName(i), name)) matches.push_back(i);
  return matches;
}

void TKivoSqlTable::ImageFields::ReadField(int fieldNo, TZorValue& out) const {
  // Outside a filter's evaluation the references read the current record.
  if (image == nullptr) {
    owner_.ReadField(fieldNo, out);
    return;
  }
  const std::int32_t f = owner_.TableFieldNo(fieldNo);  // raises on a closed table
  TKivoDataManager& m = *owner_.table_->DataManager();
  if (ReadImageFieldValue(m, image, f, out)) return;
  const auto id = static_cast<std::int32_t>(GetRecordId(m.Layout(), image));
  // The record being inserted or edited is judged before its BLOB values
  // are stored: they are still in the data set's BLOB streams.
  TKivoTable& t = *owner_.table_;
  if (t.InternalInsertActive() || t.State() == dsInsert || t.State() == dsEdit) {
    TZorValue editedId;
    t.GetFieldValue(editedId, -1, true);
    if (editedId.AsInteger() == id) {
      t.GetFieldValue(out, f, true);
      return;
    }
  }
  const std::int32_t pos = t.VisibleList()->RecordPositionOfId(id);
  if (pos < 0)
    out.SetNull(m.FieldHeader(f).FieldType);
  else
    ReadBlobFieldValue(m, f, pos, out);
}

TkrRecordFilter::Outcome TKivoSqlTable::ConditionFilter::EvaluateRecord(
    const std::uint8_t* record) {
  struct Restore {
    ImageFields& fields;
    const std::uint8_t* saved;
    ~Restore() { fields.image = saved; }
  } restore{fields_, fields_.image};
  fields_.image = record;
  const TZorValue& v = condition->Evaluate(context);
  if (v.DataType() != ftBoolean) return {v.DataType(), false};
  return {ftBoolean, !v.IsNull() && v.AsBoolean()};
}

// ---------------------------------------------------------------------------
// TKivoSqlHost.

TKivoSqlHost::TKivoSqlHost(std::string sessionName, std::string databaseName,
                           std::string databaseFileName, bool inMemory)
    : session_name_(std::move(sessionName)),
      database_name_(std::move(databaseName)),
      database_file_name_(std::move(databaseFileName)),
      in_memory_(inMemory) {}

std::unique_ptr<TKivoTable> TKivoSqlHost::MakeTable(const TZorTableAddress& address) const {
  std::string database = address.DatabaseName;
  std::string file = address.DatabaseFileName;
  if (database.empty() && file.empty()) {
    database = database_name_;
    file = database_file_name_;
  }
  if (address.InMemory) {
    // In-memory tables of a database the session does not hold open live in
    // the process-wide in-memory database.
    TKivoSession* session = Sessions().FindSession(session_name_);
    TKivoDatabase* db = session != nullptr ? session->FindDatabase(database, file) : nullptr;
    if (db == nullptr || !db->Connected()) {
      database = "MEMORY";
      file.clear();
    }
  }
  auto t = std::make_unique<TKivoTable>();
  t->SetSessionName(session_name_);
  if (!database.empty())
    t->SetDatabaseName(database);
  else
    t->SetDatabaseFileName(file);
  t->SetInMemory(address.InMemory);
  t->SetTableName(address.TableName);
  t->SetPassword(address.Password);
  return t;
}

std::unique_ptr<TKivoSqlTable> TKivoSqlHost::OpenKivoTable(const TZorTableAddress& address,
                                                           bool readOnly) {
  std::unique_ptr<TKivoTable> t;
  try {
    t = MakeTable(address);
    t->SetReadOnly(readOnly);
    t->Open();
  } catch (const std::exception&) {
    std::throw_with_nested(ZorException::CreateFmt(
        kCannotOpenTable, {},
        {FormatArg(address.TableName), FormatArg(t ? t->DatabaseName() : address.DatabaseName),
         FormatArg(t ? t->DatabaseFileName() : address.DatabaseFileName),
         FormatArg(std::int64_t{address.InMemory ? 1 : 0})}));
  }
  return std::make_unique<TKivoSqlTable>(std::move(t));
}

std::unique_ptr<TZorTable> TKivoSqlHost::OpenTable(const TZorTableAddress& address, bool readOnly) {
  return OpenKivoTable(address, readOnly);
}

std::unique_ptr<TZorTable> TKivoSqlHost::CreateResultTable(
    const std::vector<TZorFieldDef>& fields) {
  auto t = std::make_unique<TKivoTable>();
  t->SetSessionName(session_name_);
  AddFieldDefs(t->FieldDefs(), fields);
  t->CreateTemporaryTable(kResultRecordsPerPage);
  try {
    t->Open();
  } catch (...) {
    t->DeleteTemporaryTable();
    throw;
  }
  return std::make_unique<TKivoSqlTable>(std::move(t));
}

std::unique_ptr<TZorTable> TKivoSqlHost::CreateNamedTable(const TZorTableAddress& address,
                                                          const std::vector<TZorFieldDef>& fields) {
  std::unique_ptr<TKivoTable> t = MakeTable(address);
  AddFieldDefs(t->FieldDefs(), fields);
  t->SetRecordsPerPageHint(kResultRecordsPerPage);
  t->CreateTable();
  t->Open();
  return std::make_unique<TKivoSqlTable>(std::move(t));
}

bool TKivoSqlHost::TableExists(const TZorTableAddress& address) {
  return MakeTable(address)->Exists();
}

void TKivoSqlHost::DeleteTable(const TZorTableAddress& address) {
  MakeTable(address)->DeleteTable();
}

namespace {

// The rows of a sub-query: the statement, run on the host, and the first
// field its result shows.
class SubQueryRows final : public TZorSubQueryRows {
 public:
  SubQueryRows(TZorHost& host, const std::string& sql) : lexer_(sql) {
    lexer_.NextCommand();
    statement_ = std::make_unique<TKivoSQLUnion>(lexer_);
    statement_->Execute(host, false);
    result_ = statement_->GetResult();
    field_ = 0;
    if (!result_->VisibleFields().empty()) {
      const std::string& first = result_->VisibleFields().front();
      for (int n = 0; n < result_->FieldCount(); ++n) {
        if (AnsiSameText(result_->FieldName(n), first)) {
          field_ = n;
          break;
        }
      }
    }
  }
  bool Next() override {
    if (started_) {
      result_->Next();
    } else {
      result_->First();
      started_ = true;
    }
    return !result_->Eof();
  }
  const TZorValue& FirstField() override {
    result_->ReadField(field_, value_);
    return value_;
  }

 private:
  TKivoLexer lexer_;
  std::unique_ptr<TKivoSQLUnion> statement_;
  TZorTable* result_ = nullptr;
  int field_ = 0;
  bool started_ = false;
  TZorValue value_;
};

}  // namespace

std::unique_ptr<TZorSubQueryRows> TKivoSqlHost::OpenSubQuery(const std::string& sql) {
  return std::make_unique<SubQueryRows>(*this, sql);
}

std::int32_t TKivoSqlHost::LastAutoInc(const TZorTableAddress& address) {
  return OpenKivoTable(address, true)->LastAutoInc();
}

}  // namespace kivo
