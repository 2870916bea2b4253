// A database for tests of the components whose table files fail as one
// plan says. Tables and queries reach it by its name (DatabaseName), like
// any database component of their session; underneath is the real
// directory or container, and every table file opened in it is a TFaultFile
// on the one plan.
//
// The container's own file (its pages, header and free-space maps) is read
// and written by the container itself, below the files it holds, and is not
// wrapped: faults land in the table files inside the container.
#pragma once

#include <memory>
#include <string>

#include "components/database.h"
#include "testing/fault_store.h"

namespace kivo::testing {

class TFaultDatabaseManager;

class TFaultDatabase {
 public:
  // The directory database at `directory` (which must exist), or with
  // `container` the container file there (created when missing). Data sets
  // and queries reach it by DatabaseName `name`, which no other database of
  // the default session may have.
  static std::unique_ptr<TFaultDatabase> Directory(const std::string& name,
                                                   const std::string& directory);
  static std::unique_ptr<TFaultDatabase> Container(const std::string& name,
                                                   const std::string& container);
  // Closes the database. REQUIRES: no data set uses it any more.
  ~TFaultDatabase();
  TFaultDatabase(const TFaultDatabase&) = delete;
  TFaultDatabase& operator=(const TFaultDatabase&) = delete;

  const std::string& Name() const { return name_; }
  TFaultPlan& Plan() { return files_.plan; }
  TFaultFileSet& Files() { return files_; }
  // The database manager the tables of this database get as their store.
  TKivoDatabaseManager* Manager() const;

 private:
  TFaultDatabase(const std::string& name, TKivoDatabase& opened);

  std::string name_;
  TFaultFileSet files_;
  std::unique_ptr<TFaultDatabaseManager> manager_;
  std::unique_ptr<TKivoDatabase> database_;
};

}  // namespace kivo::testing
