// The console's single gateway to the SQL processor: every SQL text the
// console runs (a command, a query, the batch run, the command-line export)
// passes through RunSqlText.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kartova {

enum class TSqlRunKind {
  kCommand,  // ExecSQL: data changes, DDL, scripts
  kQuery,    // open a result set
};

// What running SQL text produced.
struct TSqlOutcome {
  // Rows changed by the last UPDATE or DELETE; -1 when none.
  long rows_affected = -1;
  // For a query: the names and display texts (Windows-1250) of the fields a
  // delimited export writes, and the rows from the first record on.
  std::vector<std::string> field_names;
  std::vector<std::vector<std::string>> rows;
};

// Runs Windows-1250 SQL text on the console's database. The SQL processor
// and the query component are not part of the program yet, so this always
// raises kivo::Exception("SQL processing is not available yet.").
TSqlOutcome RunSqlText(std::string_view ansiSql, TSqlRunKind kind);

}  // namespace kartova
