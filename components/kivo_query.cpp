#include "components/kivo_query.h"

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

constexpr int kNoResult = 1088;     // "Error creating cursor handle. Try to use ExecSQL ..."
constexpr int kFieldNotFound = 13;  // "Field not found. Table name = '%s', Field name = '%s'"

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
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

}  // namespace

TKivoQuery::TKivoQuery(TComponent* owner) : TKivoDataset(owner) {}

TKivoQuery::~TKivoQuery() {
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor reports nothing; the result table goes with the processor.
  }
}

void TKivoQuery::SetSQL(const std::vector<std::string>& lines) {
  if (lines == sql_) return;
  Close();
  sql_ = lines;
  QueryChanged();
}

void TKivoQuery::SetSQLText(const std::string& text) {
  std::vector<std::string> lines;
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
  SetSQL(lines);
}

void TKivoQuery::QueryChanged() {
  Close();
  statement_text_ = JoinLines(sql_);
  if (!param_check_) return;
  TParams fresh;
  for (const std::string& name : ParameterNames(statement_text_)) {
    TParam& param = fresh.Add(name);
    if (const TParam* old = params_.FindParam(name)) param = *old;
  }
  params_ = std::move(fresh);
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
