// What SQL statements and relational operators need from the tables they
// read and write, without knowing the table component: TZorTable (one open
// table or result table) and TZorHost (what a statement runs against: a
// session and a database). The components implement both
// (components/sql_host.h), so the SQL processor never links them.
//
// Ownership and lifetimes:
//  1. TZorHost::OpenTable and the Create*Table calls hand the caller a
//     unique_ptr: the caller owns the table. Destroying it closes the table;
//     a temporary result table is deleted with it, a named one stays.
//  2. A table does not own the expression installed as its record filter,
//     nor the evaluation context given with it: both must outlive the table
//     or be replaced (SetRecordFilter(nullptr, nullptr)) before they go.
//  3. A value read with ReadField may borrow the table's record buffer
//     (TZorValue::SetBorrowed); it stays valid until the cursor moves, a
//     record is appended or the table is closed.
//  4. The host must outlive every table it opened or created.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset/field_defs.h"
#include "sql/eval_context.h"
#include "sql/field_source.h"
#include "sql/params.h"
#include "sql/values.h"

namespace kivo {

class TZorExpression;

// One field of a table to be created. `Size` is the declared size of a
// string field (characters), 0 for the other types.
struct TZorFieldDef {
  std::string Name;
  std::uint8_t DataType = 0;
  std::int32_t Size = 0;
};

// Where a table lives: its name and password, and its database given by
// name (a registered database or a directory) or, without one, by the file
// name of a container (neither: the host's database); in memory when
// InMemory is set.
struct TZorTableAddress {
  std::string TableName;
  std::string Password;
  std::string DatabaseName;
  std::string DatabaseFileName;
  bool InMemory = false;
};

// What a table is made of and the options it is created or restructured
// with (CREATE and ALTER TABLE). `Fields` hold name, type, size (string,
// bytes and wide-string types) and the required flag; `Indexes` are the
// table's own indexes: the identifier index and the automatic ones ("@"
// names) are made by the table itself. The table is encrypted with
// `Password` when it is not empty. A BLOBBlockSize of 0 means the default.
struct TZorTableDefinition {
  TFieldDefs Fields;
  TIndexDefs Indexes;
  std::string Password;
  bool AutoIndexes = false;
  std::uint8_t BLOBCompression = 0;  // 0 none, 1 fastest, 2 default, 3 max
  std::int32_t BLOBBlockSize = 0;
  std::int32_t LastAutoInc = 0;
};

class TZorTable {
 public:
  virtual ~TZorTable() = default;

  virtual const std::string& TableName() const = 0;

  // ---- Fields, numbered 0 .. FieldCount()-1 in the table's order (a
  // visible identifier field counts as the table's last field).
  virtual int FieldCount() const = 0;
  // REQUIRES: 0 <= fieldNo < FieldCount() for the next three.
  virtual std::string FieldName(int fieldNo) const = 0;
  virtual std::uint8_t FieldType(int fieldNo) const = 0;
  // The declared size of a string field (characters), 0 for other types.
  virtual std::int32_t FieldSize(int fieldNo) const = 0;

  // ---- The cursor over the visible records (filter, limits and DISTINCT
  // applied), in the order of the selected index.
  virtual void First() = 0;
  virtual void Next() = 0;
  virtual bool Eof() = 0;
  virtual std::int32_t RecordCount() = 0;
  // 1-based; MoveToRecNo to a number outside 1 .. RecordCount() raises.
  virtual std::int32_t RecNo() = 0;
  virtual void MoveToRecNo(std::int32_t recNo) = 0;
  // The value of field `fieldNo` of the current record (of the record being
  // appended, between Append and Post); see invariant 3 on borrowing.
  // ZorException 9 for a field number out of range.
  virtual void ReadField(int fieldNo, TZorValue& out) = 0;

  // ---- Appending: Append starts an empty record, WriteField sets its
  // fields (converting to the field's type), Post stores it. Cancel drops
  // a record started by Append. After Post or Cancel (failing or not) the
  // table is browsing again.
  virtual void Append() = 0;
  virtual void WriteField(int fieldNo, const TZorValue& value) = 0;
  virtual void Post() = 0;
  virtual void Cancel() = 0;
  // A run of Append/WriteField/Post calls follows: the table may store the
  // rows without keeping its visible list in step, until EndAppends, which
  // makes every appended row visible (the cursor then stands on the first
  // record). Appends outside such a run work as before. A failing Post
  // stores nothing of its row and keeps the rows before it. EndAppends also
  // drops a row appended and not posted; after a failure in the run it may
  // be called while the exception unwinds (it then raises nothing).
  virtual void BeginAppends() = 0;
  virtual void EndAppends() = 0;

  // ---- Changing records. The current record is edited (Edit, WriteField
  // for each changed field, PostEdit) or deleted. A failing PostEdit leaves
  // the record as it was, still in edit mode: CancelEdit drops the edit and
  // the table is browsing again. Records are identified by their record
  // identifier (the value of the identifier field, shown or not), which
  // stays with a record while others are changed or deleted.
  // The number of the field named `name`, case ignored; the table
  // component's "Field not found" error when there is none.
  virtual int FieldNoByName(const std::string& name) = 0;
  // The identifier of the current record. REQUIRES: !Eof().
  virtual std::int32_t RecordId() = 0;
  // Makes the visible record with identifier `id` current; false, not
  // moving, when no visible record has it.
  virtual bool MoveToRecordId(std::int32_t id) = 0;
  // Whether any record of the table, visible or not, has identifier `id`
  // (an automatic number already in use).
  virtual bool RecordIdExists(std::int32_t id) = 0;
  virtual void Edit() = 0;
  virtual void PostEdit() = 0;
  virtual void CancelEdit() = 0;
  // Deletes the current record; the record after it becomes current.
  virtual void Delete() = 0;

  // ---- Changes in place: many rows changed or deleted by stored
  // position, past the cursor, with the visible list brought up to date
  // once at the end (EndChangesInPlace) instead of after every row.
  // The stored positions of the visible records, in list order. They stay
  // valid while only in-place edits change the table.
  virtual std::vector<std::int32_t> VisiblePositions() = 0;
  // Whether an in-place edit can write these fields (no BLOB field).
  virtual bool CanEditInPlace(const std::vector<int>& fields) = 0;
  // Starts an edit of stored record `pos` and returns its identifier. Until
  // the edit ends, RecordFields() reads the record as it was, and
  // WriteField writes the edited copy, which PostEditInPlace stores (with
  // the checks of a post) and CancelEditInPlace drops.
  virtual std::int32_t BeginEditInPlace(std::int32_t pos) = 0;
  virtual void PostEditInPlace() = 0;
  virtual void CancelEditInPlace() = 0;
  // Deletes stored record `pos`; the last record moves into its place, so
  // a set of positions is deleted from the highest down.
  virtual void DeleteInPlace(std::int32_t pos) = 0;
  // The visible list again, after changes in place; the first record is
  // current.
  virtual void EndChangesInPlace() = 0;

  // ---- Order.
  // Selects an existing index by name; raises when there is none.
  virtual void SelectIndex(const std::string& name) = 0;
  // Whether an index other than the identifier order is selected.
  virtual bool OrderSelected() const = 0;
  // Selects the index whose field, descending-field and case-insensitive-
  // field lists (";"-separated) equal these, names compared ignoring case;
  // without one, creates a temporary index (never written to the table's
  // files) for them and selects it. Returns the selected index's name.
  virtual std::string SelectOrCreateIndex(const std::string& fields, const std::string& descFields,
                                          const std::string& caseInsFields) = 0;

  // ---- Restrictions of the visible records.
  // The fields of the record a filter is asked about, by the numbers above:
  // bind a record filter's expression to this source. It lives as long as
  // the table.
  virtual const TZorFieldSource& RecordFields() const = 0;
  // A second name (an alias) that qualified references bound to
  // RecordFields() may use besides the table name.
  virtual void SetAlias(const std::string& alias) = 0;
  // Shows only the records for which `condition` (bound to RecordFields())
  // is true; nullptr shows all again. `context` (may be null) is handed to
  // every evaluation, for sub-queries; its Row() must be null, or the
  // references would read that row instead of the record judged. A result
  // that is not Boolean raises ZorException 54 when the list is built (the
  // filter is then removed). Not owned (invariant 2).
  virtual void SetRecordFilter(TZorExpression* condition, TZorEvalContext* context) = 0;
  // Shows at most `rowLimit` records starting at the 1-based `firstRow`;
  // -1 for either means no bound.
  virtual void SetLimits(std::int32_t firstRow, std::int32_t rowLimit) = 0;
  // Shows only the first record of each run of records with equal values
  // in `fields` (";"-separated; "" for all), ordered by an index on them
  // that is found or made; ZorException 32 "Distinct index not created.
  // ..." when none can be.
  virtual void SetDistinctFields(const std::string& fields) = 0;
  virtual const std::string& DistinctFields() const = 0;
  // The fields to show, by name, with their labels (same length; an empty
  // label shows the name). With `storeOnly` the lists are only kept for
  // whoever shows the table; otherwise the table's fields are shown or
  // hidden and labelled at once. Unknown names raise.
  virtual void SetVisibleFields(const std::vector<std::string>& fields,
                                const std::vector<std::string>& labels, bool storeOnly) = 0;
  virtual const std::vector<std::string>& VisibleFields() const = 0;
  virtual const std::vector<std::string>& VisibleLabels() const = 0;

  // ---- Searching.
  // Moves to the first visible record whose field `fieldNo` equals `value`
  // (exactly, case counted); false, not moving, when there is none or the
  // value is NULL.
  virtual bool Locate(int fieldNo, const TZorValue& value) = 0;

  // The table's last automatic number.
  virtual std::int32_t LastAutoInc() const = 0;
  // Closes the table (a temporary one is deleted); closing again does
  // nothing, other calls on a closed table raise.
  virtual void Close() = 0;
};

// A run of appends for as long as it lives: BeginAppends now, EndAppends
// by End() once the rows are in, or from the destructor when the run is
// left by an exception.
class TZorAppendRun {
 public:
  explicit TZorAppendRun(TZorTable& table) : table_(table) { table_.BeginAppends(); }
  ~TZorAppendRun() {
    if (!ended_) table_.EndAppends();
  }
  TZorAppendRun(const TZorAppendRun&) = delete;
  TZorAppendRun& operator=(const TZorAppendRun&) = delete;
  void End() {
    ended_ = true;
    table_.EndAppends();
  }

 private:
  TZorTable& table_;
  bool ended_ = false;
};

class TZorHost {
 public:
  virtual ~TZorHost() = default;

  // What the statement runs against.
  virtual const std::string& SessionName() const = 0;
  virtual const std::string& DatabaseName() const = 0;
  virtual const std::string& DatabaseFileName() const = 0;
  virtual bool InMemory() const = 0;

  // Opens an existing table. An in-memory table of a database that is not
  // open in the session is looked for in the database "MEMORY". Failure:
  // ZorException 4 "Cannot open table '%s'. DatabaseName = %s,
  // DatabaseFileName = %s, InMemory = %d.", the cause's text kept beside.
  virtual std::unique_ptr<TZorTable> OpenTable(const TZorTableAddress& address,
                                               bool readOnly = false) = 0;
  // A new, empty, open in-memory table with these fields, deleted when it
  // is closed or destroyed.
  virtual std::unique_ptr<TZorTable> CreateResultTable(const std::vector<TZorFieldDef>& fields) = 0;
  // A new, empty, open table of that name (replacing one of the same name),
  // kept after it is closed (SELECT ... INTO).
  virtual std::unique_ptr<TZorTable> CreateNamedTable(const TZorTableAddress& address,
                                                      const std::vector<TZorFieldDef>& fields) = 0;
  virtual bool TableExists(const TZorTableAddress& address) = 0;
  virtual void DeleteTable(const TZorTableAddress& address) = 0;

  // Runs a sub-query on the host's database; the rows give its first field.
  virtual std::unique_ptr<TZorSubQueryRows> OpenSubQuery(const std::string& sql) = 0;
  // The last automatic number of a table of the host's database.
  virtual std::int32_t LastAutoInc(const TZorTableAddress& address) = 0;

  // ---- Table definitions. The table at `address` is opened with
  // address.Password; each call leaves it closed.
  // The definition of an existing table; its Password is address.Password.
  virtual TZorTableDefinition ReadTableDefinition(const TZorTableAddress& address) = 0;
  // Creates the table (REQUIRES: none of that name exists; a table of the
  // name would be replaced), then gives it the definition's LastAutoInc
  // when that differs from the new table's.
  virtual void CreateTable(const TZorTableAddress& address,
                           const TZorTableDefinition& definition) = 0;
  // Gives an existing table the definition, keeping its rows (fields are
  // matched by name); then its LastAutoInc as CreateTable does. A failure
  // leaves the table as it was.
  virtual void RestructureTable(const TZorTableAddress& address,
                                const TZorTableDefinition& definition) = 0;
  virtual void AddIndex(const TZorTableAddress& address, const TIndexDef& index) = 0;
  // Raises when there is no such index, and for the identifier index.
  virtual void DeleteIndex(const TZorTableAddress& address, const std::string& name) = 0;

  // Called by the relational operators at every row they move to. A host
  // raises here to stop a statement that must not go on (a cancelled one,
  // or one past a work limit): the operators stop between rows, never in
  // the middle of a row written. The default never stops.
  virtual void CheckCancel() {}

  // ---- Tables kept open from one statement to the next.
  // The table at `address`, opened on first use and kept open by the host
  // until ReleaseTables (or the host goes), so that a script of many
  // INSERTs into one table opens it once. Owned by the host.
  TZorTable& TableToWrite(const TZorTableAddress& address);
  // Closes the kept tables; the first failure to close is raised after all
  // are closed (their rows are flushed here).
  void ReleaseTables();

  // ---- What the statement runs for (the query component).
  // The parameters of the statement text, null when there are none; a
  // BLOB marker names one of them. Not owned.
  const TParams* Params() const { return params_; }
  void SetParams(const TParams* params) { params_ = params; }
  // The rows changed by the last UPDATE or DELETE run through this host;
  // -1 until one ran (and after an UPDATE stopped by an AutoInc clash).
  std::int32_t RowsAffected() const { return rows_affected_; }
  void SetRowsAffected(std::int32_t count) { rows_affected_ = count; }

 private:
  const TParams* params_ = nullptr;
  std::int32_t rows_affected_ = -1;
  struct KeptTable {
    TZorTableAddress address;
    std::unique_ptr<TZorTable> table;
  };
  std::vector<KeptTable> kept_;
};

// The evaluation context of a statement run against a host: sub-queries and
// LASTAUTOINC go to the host. `row`, when given, is what field references
// read instead of their bound sources. Neither is owned.
class TZorHostContext : public TZorEvalContext {
 public:
  explicit TZorHostContext(TZorHost& host, const TZorFieldSource* row = nullptr)
      : host_(host), row_(row) {}
  const TZorFieldSource* Row() const override { return row_; }
  std::unique_ptr<TZorSubQueryRows> OpenSubQuery(const std::string& sql) override {
    return host_.OpenSubQuery(sql);
  }
  // The table named by the node, in the host's database (in memory when
  // the node or the host says so).
  std::int32_t LastAutoInc(const TZorExprNodeSystem& node) override;

 private:
  TZorHost& host_;
  const TZorFieldSource* row_;
};

}  // namespace kivo
