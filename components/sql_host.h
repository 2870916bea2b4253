// The SQL processor's view of tables (sql/host.h) implemented over the table
// component: TKivoSqlTable wraps one open TKivoTable, TKivoSqlHost opens
// and creates them for a session and database.
//
// A record filter is an expression evaluated once per record while the
// table's visible list is built or patched. The list hands the filter a
// stored record image, not a cursor position, so the expression is bound to
// TKivoSqlTable::RecordFields(), a field source that reads each field
// straight from the image being judged (null bits, borrowed slots) and
// fetches BLOB values by the record's identifier.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/kivo_table.h"
#include "engine/record_filter.h"
#include "sql/host.h"

namespace kivo {

class TKivoSqlTable final : public TZorTable {
 public:
  // Takes over `table`. REQUIRES: `table` is open.
  explicit TKivoSqlTable(std::unique_ptr<TKivoTable> table);
  // Closes the table (deleting a temporary one); errors are not raised.
  ~TKivoSqlTable() override;
  TKivoSqlTable(const TKivoSqlTable&) = delete;
  TKivoSqlTable& operator=(const TKivoSqlTable&) = delete;

  // The component underneath, for the query component that shows it.
  TKivoTable& Table() { return *table_; }

  const std::string& TableName() const override { return table_->TableName(); }
  int FieldCount() const override;
  std::string FieldName(int fieldNo) const override;
  std::uint8_t FieldType(int fieldNo) const override;
  std::int32_t FieldSize(int fieldNo) const override;

  void First() override;
  void Next() override;
  bool Eof() override;
  std::int32_t RecordCount() override;
  std::int32_t RecNo() override;
  void MoveToRecNo(std::int32_t recNo) override;
  void ReadField(int fieldNo, TZorValue& out) override;

  void Append() override;
  void WriteField(int fieldNo, const TZorValue& value) override;
  void Post() override;
  void Cancel() override;
  void BeginAppends() override;
  void EndAppends() override;

  // Changing records (sql_host_dml.cpp).
  int FieldNoByName(const std::string& name) override;
  std::int32_t RecordId() override;
  bool MoveToRecordId(std::int32_t id) override;
  bool RecordIdExists(std::int32_t id) override;
  void Edit() override;
  void PostEdit() override;
  void CancelEdit() override;
  void Delete() override;

  std::vector<std::int32_t> VisiblePositions() override;
  bool CanEditInPlace(const std::vector<int>& fields) override;
  std::int32_t BeginEditInPlace(std::int32_t pos) override;
  void PostEditInPlace() override;
  void CancelEditInPlace() override;
  void DeleteInPlace(std::int32_t pos) override;
  void EndChangesInPlace() override;

  void SelectIndex(const std::string& name) override;
  bool OrderSelected() const override;
  std::string SelectOrCreateIndex(const std::string& fields, const std::string& descFields,
                                  const std::string& caseInsFields) override;

  const TZorFieldSource& RecordFields() const override { return fields_; }
  void SetAlias(const std::string& alias) override { fields_.alias = alias; }
  void SetRecordFilter(TZorExpression* condition, TZorEvalContext* context) override;
  void SetLimits(std::int32_t firstRow, std::int32_t rowLimit) override;
  void SetDistinctFields(const std::string& fields) override;
  const std::string& DistinctFields() const override { return distinct_fields_; }
  void SetVisibleFields(const std::vector<std::string>& fields,
                        const std::vector<std::string>& labels, bool storeOnly) override;
  const std::vector<std::string>& VisibleFields() const override { return visible_fields_; }
  const std::vector<std::string>& VisibleLabels() const override { return visible_labels_; }

  bool Locate(int fieldNo, const TZorValue& value) override;
  std::int32_t LastAutoInc() const override { return table_->GetLastAutoInc(); }
  void Close() override;

 private:
  // The fields of the record image a filter is asked about.
  class ImageFields final : public TZorFieldSource {
   public:
    explicit ImageFields(TKivoSqlTable& owner) : owner_(owner) {}
    std::vector<int> MatchingFields(std::string_view qualifier,
                                    std::string_view name) const override;
    std::uint8_t FieldType(int fieldNo) const override { return owner_.FieldType(fieldNo); }
    std::int32_t FieldSize(int fieldNo) const override { return owner_.FieldSize(fieldNo); }
    void ReadField(int fieldNo, TZorValue& out) const override;

    const std::uint8_t* image = nullptr;  // the record being judged; set per evaluation
    std::string alias;

   private:
    TKivoSqlTable& owner_;
  };

  // The visible list's filter: the condition over the image.
  class ConditionFilter final : public TkrRecordFilter {
   public:
    explicit ConditionFilter(ImageFields& fields) : fields_(fields) {}
    Outcome EvaluateRecord(const std::uint8_t* record) override;

    TZorExpression* condition = nullptr;
    TZorEvalContext* context = nullptr;

   private:
    ImageFields& fields_;
  };

  TKivoDataManager& Manager() const;
  // The table field number (-1 = the identifier) of field `fieldNo`; raises
  // ZorException 9 out of range.
  std::int32_t TableFieldNo(int fieldNo) const;
  // Rebuilds the visible list after a restriction changed and moves to the
  // first record; a failure leaves `undo` done and the list rebuilt.
  void Refresh(const std::function<void()>& undo);

  std::unique_ptr<TKivoTable> table_;
  ImageFields fields_{*this};
  ConditionFilter filter_{fields_};
  // The record an in-place edit changes, as it was: what RecordFields()
  // reads until the edit ends.
  std::vector<std::uint8_t> edit_image_;
  std::string distinct_fields_;
  std::vector<std::string> visible_fields_;
  std::vector<std::string> visible_labels_;
};

class TKivoSqlHost : public TZorHost {
 public:
  // A statement run in session `sessionName` ("" for the default session) on
  // database `databaseName`, or, without one, the container file
  // `databaseFileName`; `inMemory`: its tables are in-memory tables.
  TKivoSqlHost(std::string sessionName, std::string databaseName, std::string databaseFileName,
               bool inMemory);

  const std::string& SessionName() const override { return session_name_; }
  const std::string& DatabaseName() const override { return database_name_; }
  const std::string& DatabaseFileName() const override { return database_file_name_; }
  bool InMemory() const override { return in_memory_; }

  std::unique_ptr<TZorTable> OpenTable(const TZorTableAddress& address,
                                       bool readOnly = false) override;
  std::unique_ptr<TZorTable> CreateResultTable(const std::vector<TZorFieldDef>& fields) override;
  std::unique_ptr<TZorTable> CreateNamedTable(const TZorTableAddress& address,
                                              const std::vector<TZorFieldDef>& fields) override;
  bool TableExists(const TZorTableAddress& address) override;
  void DeleteTable(const TZorTableAddress& address) override;
  // Runs the query on this host; the rows give its first shown field.
  std::unique_ptr<TZorSubQueryRows> OpenSubQuery(const std::string& sql) override;
  std::int32_t LastAutoInc(const TZorTableAddress& address) override;

  // The same as OpenTable with the concrete type.
  std::unique_ptr<TKivoSqlTable> OpenKivoTable(const TZorTableAddress& address,
                                               bool readOnly = false);

  // Table definitions (components/sql_host_ddl.cpp).
  TZorTableDefinition ReadTableDefinition(const TZorTableAddress& address) override;
  void CreateTable(const TZorTableAddress& address, const TZorTableDefinition& definition) override;
  void RestructureTable(const TZorTableAddress& address,
                        const TZorTableDefinition& definition) override;
  void AddIndex(const TZorTableAddress& address, const TIndexDef& index) override;
  void DeleteIndex(const TZorTableAddress& address, const std::string& name) override;

 private:
  // A closed table component set up for `address` in this host's session.
  std::unique_ptr<TKivoTable> MakeTable(const TZorTableAddress& address) const;

  std::string session_name_;
  std::string database_name_;
  std::string database_file_name_;
  bool in_memory_;
};

}  // namespace kivo
