#include "console/sql_processing.h"

#include "platform/errors.h"

namespace kartova {

TSqlOutcome RunSqlText(std::string_view /*ansiSql*/, TSqlRunKind /*kind*/) {
  throw kivo::Exception("SQL processing is not available yet.");
}

}  // namespace kartova
