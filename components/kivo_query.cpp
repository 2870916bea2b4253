#include "components/kivo_query.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "components/sql_host.h"
#include "platform/errors.h"
#include "platform/locale.h"
#include "sql/lexer.h"
#include "sql/ops/ao.h"
#include "sql/stmt/script.h"

namespace kivo {

namespace {

constexpr int kNoResult = 1088;       // "Error creating cursor handle. Try to use ExecSQL ..."
constexpr int kFieldNotFound = 13;    // "Field not found. Table name = '%s', Field name = '%s'"
constexpr int kCircularLinks = 1056;  // "Circular datalinks are not allowed"

std::string JoinLines(const std::vector<std::string>& lines) {
  std::size_t size = lines.size();
  for (const std::string& line : lines) size += line.size();
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i];
  }
  return text;
}

// The names of the ":name" parameters of `text`, each once, in order of
// first use. A text the lexer refuses has none: running it reports why.
std::vector<std::string> ParameterNames(const std::string& text) {
  std::vector<std::string> names;
  // Most texts have no parameter at all: a long script is not read twice.
  if (text.find(':') == std::string::npos) return names;
  try {
    TKivoLexer lexer(text);
    for (int c = 0; c < lexer.CommandCount(); ++c) {
      for (int i = 0; i < lexer.TokenCount(c); ++i) {
        const TToken token = lexer.TokenAt(c, i);
        if (token.TokenType != tktParam) continue;
        bool seen = false;
        for (const std::string& name : names) seen = seen || AnsiSameText(name, token.Text);
        if (!seen) names.emplace_back(token.Text);
      }
    }
  } catch (const std::exception&) {
    names.clear();
  }
  return names;
}

// Undoes the move of a query's cursor to its result's database when the
// open step ends, also by an error.
class TLocationRestore {
 public:
  TLocationRestore(std::function<void()> restore) : restore_(std::move(restore)) {}
  ~TLocationRestore() { restore_(); }
  TLocationRestore(const TLocationRestore&) = delete;
  TLocationRestore& operator=(const TLocationRestore&) = delete;

 private:
  std::function<void()> restore_;
};

// Gives `param` the value of `field`, in the field's type.
void AssignFromField(TParam& param, const TField& field) {
  const TFieldType type = field.DataType();
  if (field.IsNull()) {
    param.SetDataType(type);
    param.Clear();
    return;
  }
  switch (type) {
    case ftWideString:
      param.SetAsWideString(field.AsWideString());
      break;
    case ftSmallint:
      param.SetAsSmallInt(static_cast<std::int16_t>(field.AsInteger()));
      break;
    case ftInteger:
    case ftAutoInc:
      param.SetAsInteger(field.AsInteger(), type);
      break;
    case ftWord:
      param.SetAsWord(static_cast<std::uint16_t>(field.AsInteger()));
      break;
    case ftLargeint:
      param.SetAsLargeInt(field.AsLargeInt());
      break;
    case ftBoolean:
      param.SetAsBoolean(field.AsBoolean());
      break;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
      param.SetAsFloat(field.AsFloat(), type);
      break;
    case ftDate:
    case ftTime:
    case ftDateTime:
      param.SetAsDateTime(field.AsDateTime(), type);
      break;
    default:
      if (IsBlobType(type) || type == ftBytes) {
        param.SetAsBlob(field.AsString(), type == ftBytes ? ftBlob : type);
      } else {
        param.SetAsString(field.AsString(), type == ftFixedChar ? ftFixedChar : ftString);
      }
      break;
  }
}

// The table a SELECT reads when it reads exactly one: the name after its
// first FROM, unless a join or another table follows. "" otherwise, and
// for text the lexer refuses.
std::string TableNameOfSelect(const std::string& text) {
  try {
    TKivoLexer lexer(text);
    if (lexer.CommandCount() < 1) return "";
    const int n = lexer.TokenCount(0);
    if (n == 0) return "";
    const TToken first = lexer.TokenAt(0, 0);
    if (first.TokenType != tktReservedWord || !AnsiSameText(first.Text, "SELECT")) return "";
    int depth = 0;
    for (int i = 1; i < n; ++i) {
      const TToken token = lexer.TokenAt(0, i);
      if (token.TokenType == tktLeftParenthesis) ++depth;
      if (token.TokenType == tktRightParenthesis) --depth;
      if (depth != 0 || token.TokenType != tktReservedWord || !AnsiSameText(token.Text, "FROM"))
        continue;
      if (i + 1 >= n) return "";
      const TToken name = lexer.TokenAt(0, i + 1);
      if (name.TokenType != tktString && name.TokenType != tktQuotedString &&
          name.TokenType != tktBracketedString)
        return "";
      // The name, an alias perhaps, then the end or a clause of one table.
      for (int k = i + 2; k < n && k <= i + 3; ++k) {
        const TToken next = lexer.TokenAt(0, k);
        if (next.TokenType == tktComma) return "";
        if (next.TokenType == tktReservedWord &&
            (AnsiSameText(next.Text, "JOIN") || AnsiSameText(next.Text, "INNER") ||
             AnsiSameText(next.Text, "LEFT") || AnsiSameText(next.Text, "RIGHT") ||
             AnsiSameText(next.Text, "FULL") || AnsiSameText(next.Text, "CROSS") ||
             AnsiSameText(next.Text, "NATURAL")))
          return "";
      }
      return std::string(name.Text);
    }
  } catch (const std::exception&) {
  }
  return "";
}

}  // namespace

// ---------------------------------------------------------------------------
// The master link.

void TKivoQueryDataLink::ActiveChanged() {
  if (query_.Active()) query_.RefreshParams();
}

void TKivoQueryDataLink::RecordChanged(TField* field) {
  if (field == nullptr && query_.Active()) query_.RefreshParams();
}

void TKivoQueryDataLink::CheckBrowseMode() {
  if (query_.Active()) query_.CheckBrowseMode();
}

TKivoQuery::TKivoQuery(TComponent* owner) : TKivoDataset(owner) {}

TKivoQuery::~TKivoQuery() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor reports nothing; the result table goes with the processor.
  }
}

void TKivoQuery::SetSQL(std::vector<std::string> lines) {
  if (lines == sql_) return;
  Close();
  sql_ = std::move(lines);
  QueryChanged();
}

void TKivoQuery::SetSQLText(const std::string& text) {
  std::vector<std::string> lines;
  lines.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  if (!text.empty() && text.back() == '\n') lines.pop_back();
  if (text.empty()) lines.clear();
  SetSQL(std::move(lines));
}

void TKivoQuery::QueryChanged() {
  Close();
  statement_text_ = std::make_shared<const std::string>(JoinLines(sql_));
  if (!param_check_) return;
  TParams fresh;
  for (const std::string& name : ParameterNames(*statement_text_)) {
    TParam& param = fresh.Add(name);
    if (const TParam* old = params_.FindParam(name)) param = *old;
  }
  params_ = std::move(fresh);
}

void TKivoQuery::SetDataSource(TDataSource* source) {
  if (SourceLeadsHere(source)) throw ZorException::Create(kCircularLinks);
  data_link_.SetDataSource(source);
}

void TKivoQuery::FillParamsFromMaster() {
  TDataSet* master = data_link_.DataSet();
  if (master == nullptr) return;
  for (int i = 0; i < params_.Count(); ++i) {
    TParam& param = params_[i];
    if (param.Bound()) continue;
    AssignFromField(param, master->FieldByName(param.Name()));
    param.SetBound(false);
  }
}

void TKivoQuery::GetDetailLinkFields(std::vector<TField*>& masterFields,
                                     std::vector<TField*>& detailFields) {
  masterFields.clear();
  detailFields.clear();
  TDataSet* master = data_link_.DataSet();
  if (master == nullptr) return;
  for (int i = 0; i < params_.Count(); ++i) {
    TField* mf = master->FindField(params_[i].Name());
    if (mf == nullptr) continue;
    masterFields.push_back(mf);
    if (TField* df = FindField(params_[i].Name())) detailFields.push_back(df);
  }
}

void TKivoQuery::RefreshParams() {
  DisableControls();
  try {
    TDataSet* master = data_link_.DataSet();
    if (master != nullptr && master->Active() && master->State() != dsSetKey) {
      Close();
      Open();
    }
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

std::string TKivoQuery::PSGetTableName() const { return TableNameOfSelect(*statement_text_); }

void TKivoQuery::PSSetCommandText(const std::string& text) {
  if (!text.empty()) SetSQLText(text);
}

void TKivoQuery::PSSetParams(const TParams& params) {
  if (params.Count() > 0) SetParams(params);
  Close();
}

void TKivoQuery::SetParams(const TParams& params) {
  for (int i = 0; i < params.Count(); ++i) {
    if (TParam* mine = params_.FindParam(params[i].Name())) *mine = params[i];
  }
}

std::unique_ptr<TKivoSqlHost> TKivoQuery::MakeHost() const {
  auto host =
      std::make_unique<TKivoSqlHost>(SessionName(), DatabaseName(), DatabaseFileName(), InMemory());
  host->SetParams(&params_);
  host->SetRowsAffected(rows_affected_);
  return host;
}

void TKivoQuery::TakeCount(const TKivoSqlHost& host) { rows_affected_ = host.RowsAffected(); }

void TKivoQuery::ExecSQL() {
  TDBFlagScope flag(*this, kFlagCommand);
  FillParamsFromMaster();
  std::unique_ptr<TKivoSqlHost> host = MakeHost();
  TSQLScriptProcessor processor(statement_text_, &params_);
  try {
    processor.Execute(*host);
  } catch (...) {
    TakeCount(*host);
    throw;
  }
  TakeCount(*host);
}

void TKivoQuery::ApplyFieldList(const std::vector<std::string>& names,
                                const std::vector<std::string>& labels) {
  TKivoDataManager* m = nullptr;
  {
    // The result table is open: its manager answers for the fields.
    auto* table = dynamic_cast<TKivoSqlTable*>(processor_->GetResult());
    m = table != nullptr ? table->Table().DataManager() : nullptr;
  }
  if (m == nullptr) return;
  std::vector<std::int32_t> map;
  std::vector<std::string> shown;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::int32_t f = -2;
    if (AnsiSameText(names[i], m->IdFieldName())) {
      f = -1;
    } else {
      for (std::int32_t k = 0; k < m->FieldCount(); ++k) {
        if (AnsiSameText(m->FieldHeaders()[static_cast<std::size_t>(k)].FieldName, names[i])) {
          f = k;
          break;
        }
      }
    }
    if (f == -2) {
      throw ZorException::CreateFmt(kFieldNotFound, {},
                                    {FormatArg(TableName()), FormatArg(names[i])});
    }
    const std::string& alias = i < labels.size() && !labels[i].empty() ? labels[i] : names[i];
    std::string name = alias;
    for (int counter = 1;; ++counter) {
      bool taken = false;
      for (const std::string& other : shown) taken = taken || AnsiSameText(other, name);
      if (!taken) break;
      name = alias + "_" + std::to_string(counter);
    }
    map.push_back(f);
    shown.push_back(std::move(name));
  }
  SetFieldMap(std::move(map), std::move(shown));
}

void TKivoQuery::InternalOpen() {
  if (processor_) return;
  FillParamsFromMaster();
  std::unique_ptr<TKivoSqlHost> host = MakeHost();
  try {
    processor_ = std::make_unique<TSQLScriptProcessor>(statement_text_, &params_);
    try {
      processor_->Execute(*host);
    } catch (...) {
      TakeCount(*host);
      throw;
    }
    TakeCount(*host);
    host_ = std::move(host);
    auto* result = dynamic_cast<TKivoSqlTable*>(processor_->GetResult());
    if (result == nullptr) throw ZorException::Create(kNoResult);
    TKivoTable& table = result->Table();

    // The cursor opens on the result's table, in the result's database;
    // the query keeps its own database settings for its next run.
    const std::string ownDatabase = DatabaseName();
    const std::string ownFile = DatabaseFileName();
    const bool ownMemory = InMemory();
    TLocationRestore restore([&] { SetLocation(ownDatabase, ownFile, ownMemory); });
    SetLocation(table.DatabaseName(), table.DatabaseFileName(), table.InMemory());
    SetTableName(table.TableName());
    SetPassword(table.Password());

    const TKivoAO* root = processor_->GetRootOperator();
    const bool direct = root->IsTableOperator;
    SetReadOnly(!(request_live_ && direct));
    ClearFieldMap();
    if (!result->VisibleFields().empty())
      ApplyFieldList(result->VisibleFields(), result->VisibleLabels());

    SetDBFlag(kFlagCursorOpen, false);
    TKivoDataset::InternalOpen();
  } catch (...) {
    // A temporary result table goes with the statement that made it.
    processor_.reset();
    host_.reset();
    throw;
  }
}

void TKivoQuery::BeforeListBuilt(TkrVisibleList& list) {
  auto* result = processor_ ? dynamic_cast<TKivoSqlTable*>(processor_->GetResult()) : nullptr;
  if (result == nullptr) return;
  TKivoTable& table = result->Table();
  const TkrVisibleList* source = table.VisibleList();
  if (source == nullptr) return;
  // The result's restrictions, as the statement left them: its condition
  // (for a query that reads one table directly), limits, distinct fields
  // and order.
  list.SetFilterExpression(source->FilterExpression());
  list.SetFirstRow(source->FirstRow());
  list.SetRowLimit(source->RowLimit());
  list.SetDistinctFields(result->DistinctFields());
  list.SetCurrentIndex(table.CurrentIndex(), table.IndexReversed());
}

void TKivoQuery::InternalClose() {
  // The cursor lets go of the result first: the filter belongs to the
  // statement, and a temporary result table is deleted with it.
  if (VisibleList() != nullptr) VisibleList()->SetFilterExpression(nullptr);
  try {
    TKivoDataset::InternalClose();
  } catch (...) {
    processor_.reset();
    host_.reset();
    throw;
  }
  processor_.reset();
  host_.reset();
}

}  // namespace kivo

namespace kivo {

// ---------------------------------------------------------------------------
// Answers of every data set to data-transfer components: a statement runs
// on a query of its own at this data set's place.

std::int32_t TKivoDataset::PSExecuteStatement(const std::string& sql, const TParams* params) {
  TDBFlagScope flag(*this, kFlagProvider);
  TKivoQuery query;
  query.SetInMemory(InMemory());
  query.SetDatabaseName(DatabaseName());
  query.SetDatabaseFileName(DatabaseFileName());
  query.SetSessionName(SessionName());
  query.SetSQLText(sql);
  if (params != nullptr) query.SetParams(*params);
  query.ExecSQL();
  return query.RowsAffected();
}

}  // namespace kivo
