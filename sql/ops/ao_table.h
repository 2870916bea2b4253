// The leaves and the projection of an operator tree.
//
// TKivoAOTable reads a base table: it is materialized from the start (its
// result table is the table itself), its links are the table's fields, all
// hidden until a reference shows them, and its condition becomes the
// table's record filter, so that only the rows that pass are ever visited.
//
// TKivoAOTableExpr wraps one input and passes its rows on; it exists so
// that a single-table SELECT with computed columns is copied into a result
// table rather than showing the base table.
#pragma once

#include <string>

#include "sql/ops/ao.h"

namespace kivo {

class TKivoAOTable : public TKivoAO {
 public:
  // Opens the table (native 4 when it cannot be opened): by database name
  // when one is given, else by database file name.
  TKivoAOTable(const TZorRunContext& run, const std::string& tableName, const std::string& password,
               bool inMemory, const std::string& databaseFileName, const std::string& databaseName,
               const std::string& alias);

  // Every item qualifier must name this table or its alias (native 14).
  // Without a star the table is told which fields to show, and how.
  void DefineFields(std::vector<TZorSelectListItem>& items, bool distinct) override;
  // Installs the limits as the table's window, selects the order, then
  // installs the condition as the table's record filter.
  void Prepare(bool live) override;

  // The table's address, for copying it (SELECT ... INTO).
  const TZorTableAddress& Address() const { return address_; }

 private:
  TZorTableAddress address_;
};

class TKivoAOTableExpr : public TKivoAO {
 public:
  TKivoAOTableExpr(const TZorRunContext& run, std::unique_ptr<TKivoAO> input);

  void DoFirst() override { Left->First(); }
  void DoNext() override { Left->Next(); }
  bool DoEof() override { return Left->Eof(); }
  std::int32_t DoRecordCount() override { return Left->RecordCount(); }
};

}  // namespace kivo
