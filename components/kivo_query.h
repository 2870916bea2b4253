// TKivoQuery: runs SQL text. Open runs the text and shows the result of its
// last statement as the query's own cursor; ExecSQL runs the text as a
// script of commands and only counts what they changed.
//
// The statements themselves belong to the SQL processor
// (TSQLScriptProcessor). The query hands it the text and the parameters,
// runs it against a host made from its own session, database and memory
// settings, and then opens its cursor on the table the last statement
// produced: the base table itself for a query that reads one table directly
// (with the query's condition, limits, distinct fields and order applied to
// its visible list), else the temporary result table, which goes when the
// query closes. A field list of the result (the columns shown and their
// names) becomes the query's field map.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/kivo_dataset.h"
#include "sql/params.h"

namespace kivo {

class TKivoSqlHost;
class TSQLScriptProcessor;
class TKivoQuery;

// The link from a query to the data source whose fields fill its unbound
// parameters: a new master record, or the master opening or closing, runs
// the open query again with the new values.
class TKivoQueryDataLink : public TDataLink {
 public:
  explicit TKivoQueryDataLink(TKivoQuery& query) : query_(query) {}
  TKivoQuery& DetailDataSet() const { return query_; }

 protected:
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void CheckBrowseMode() override;

 private:
  TKivoQuery& query_;
};

class TKivoQuery : public TKivoDataset {
 public:
  explicit TKivoQuery(TComponent* owner = nullptr);
  ~TKivoQuery() override;

  // ---- The text. Lines are joined with line breaks to make the statement
  // text. Setting the same text again does nothing; another text closes
  // the query first.
  const std::vector<std::string>& SQL() const { return sql_; }
  void SetSQL(std::vector<std::string> lines);
  // The same from one text, split at its line breaks.
  void SetSQLText(const std::string& text);
  // The text the processor is given.
  const std::string& StatementText() const { return *statement_text_; }

  // ---- Parameters: one per distinct ":name" of the text when ParamCheck is
  // set (values of same-named parameters kept across text changes).
  TParams& Params() { return params_; }
  const TParams& Params() const { return params_; }
  // Copies the values of same-named parameters of `params`.
  void SetParams(const TParams& params);
  // Raises EDatabaseError "Parameter '<name>' not found" when there is none.
  TParam& ParamByName(const std::string& name) { return params_.ParamByName(name); }
  bool ParamCheck() const { return param_check_; }
  void SetParamCheck(bool value) { param_check_ = value; }

  // ---- The master: a data source whose fields of the same names fill the
  // parameters that have no value of their own, before every run.
  TDataSource* DataSource() const { return data_link_.DataSource(); }
  // Raises native error 1056 "Circular datalinks are not allowed" when the
  // source's data set is this query or follows it through a chain of links.
  void SetDataSource(TDataSource* source);
  TDataSource* UpstreamSource() const override { return DataSource(); }
  // For every parameter named like a field of the master: that master field,
  // and this query's field of the same name when it has one.
  void GetDetailLinkFields(std::vector<TField*>& masterFields, std::vector<TField*>& detailFields);
  // Runs the open query again (the link calls it on a new master record).
  void RefreshParams();

  // ---- Running.
  // Ask for an editable result: a query that reads one table directly then
  // shows the table itself; any other result is read-only.
  bool RequestLive() const { return request_live_; }
  void SetRequestLive(bool value) { request_live_ = value; }
  // Runs every statement of the text in order, dropping query results.
  // Errors propagate with the statements before the failing one done.
  void ExecSQL();
  // The rows changed by the last UPDATE or DELETE run through this query;
  // -1 until one ran. Nothing else resets it.
  std::int32_t RowsAffected() const { return rows_affected_; }

  // ---- Answers to data-transfer components.
  // The table a simple SELECT of the text reads; "" when there is none.
  std::string PSGetTableName() const;
  // A non-empty command text replaces the text.
  void PSSetCommandText(const std::string& text);
  // Copies the values of `params` (when there are any) and closes the query.
  void PSSetParams(const TParams& params);
  void PSExecute() { ExecSQL(); }
  TParams& PSGetParams() { return params_; }

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  void BeforeListBuilt(TkrVisibleList& list) override;

 private:
  // The text changed: closes the query and, with ParamCheck, makes the
  // parameter list from the text.
  void QueryChanged();
  // Gives every unbound parameter the value of the master's field of the
  // same name (raising when the master has none); they stay unbound.
  void FillParamsFromMaster();
  // A host for this query's settings, its parameters and count.
  std::unique_ptr<TKivoSqlHost> MakeHost() const;
  // Takes the rows-affected count the statements left on `host`.
  void TakeCount(const TKivoSqlHost& host);
  // Builds the field map from the result's shown fields and labels.
  void ApplyFieldList(const std::vector<std::string>& names,
                      const std::vector<std::string>& labels);

  std::vector<std::string> sql_;
  // Shared with the processor that runs it: a long script is held once.
  std::shared_ptr<const std::string> statement_text_ = std::make_shared<const std::string>();
  TParams params_;
  bool param_check_ = true;
  bool request_live_ = false;
  std::int32_t rows_affected_ = -1;
  TKivoQueryDataLink data_link_{*this};
  // While open: the processor whose last statement produced the rows, the
  // host it ran on (the result's filter evaluates sub-queries through it).
  std::unique_ptr<TKivoSqlHost> host_;
  std::unique_ptr<TSQLScriptProcessor> processor_;
};

}  // namespace kivo
