// The part of a data set (table, query) that sessions and databases rely
// on: its session and database names, its in-memory and read-only flags,
// closing it, and the database-use flags through which it takes and releases
// its database. The dataset cursor derives from it.
#pragma once

#include <cstdint>
#include <string>

#include "components/component.h"

namespace kivo {

class TKivoDatabase;
class TKivoDatabaseManager;
class TKivoSession;

class TKivoDatasetBase : public TComponent {
 public:
  // Database-use flags.
  static constexpr int kFlagCursorOpen = 0;
  static constexpr int kFlagCommand = 2;
  static constexpr int kFlagMaintenance = 3;
  static constexpr int kFlagProvider = 10;
  static constexpr int kFlagDeletingTable = 12;

  explicit TKivoDatasetBase(TComponent* owner = nullptr);
  ~TKivoDatasetBase() override;

  const std::string& SessionName() const { return session_name_; }
  // REQUIRES: the data set is closed.
  virtual void SetSessionName(const std::string& value);
  const std::string& DatabaseName() const { return database_name_; }
  // Closes the data set; a non-empty name clears DatabaseFileName.
  virtual void SetDatabaseName(const std::string& value);
  const std::string& DatabaseFileName() const { return database_file_name_; }
  // Closes the data set; a named data set forgets its DatabaseName.
  virtual void SetDatabaseFileName(const std::string& value);
  bool InMemory() const { return in_memory_; }
  virtual void SetInMemory(bool value) { in_memory_ = value; }
  bool ReadOnly() const { return read_only_; }
  virtual void SetReadOnly(bool value) { read_only_ = value; }

  virtual bool Active() const = 0;
  virtual void Close() = 0;
  // Called by the database component when it closes: closes an open data
  // set, otherwise leaves the database's list.
  virtual void CloseForDatabase();
  // Makes the data set's table read-only (the database is read-only).
  virtual void MakeTableReadOnly() { read_only_ = true; }
  // Called by a database that drops the data set from its list: the data set
  // no longer refers to the database or its manager and holds no use flags.
  void ForgetDatabase();

  // Setting the first flag takes the database through the session; clearing
  // the last releases it.
  virtual void SetDBFlag(int flag, bool value);
  std::uint16_t DBFlags() const { return db_flags_; }

  // The session named by SessionName (default session when empty); raises 1072 when missing.
  TKivoSession& DBSession() const;
  TKivoDatabase* Database() const { return database_; }
  TKivoDatabaseManager* DatabaseManager() const { return database_manager_; }

 protected:
  // Raises "Cannot perform this operation on an open dataset" while active.
  void CheckInactive() const;
  // Sets the database name, file name and memory flag as they are given,
  // without the rules of the setters (a query moving its cursor to the
  // database of its result and back).
  void SetLocation(const std::string& databaseName, const std::string& databaseFileName,
                   bool inMemory) {
    database_name_ = databaseName;
    database_file_name_ = databaseFileName;
    in_memory_ = inMemory;
  }

 private:
  friend class TKivoSession;
  void AcquireDatabase();
  void ReleaseDatabase();

  std::string session_name_;
  std::string database_name_;
  std::string database_file_name_;
  bool in_memory_ = false;
  bool read_only_ = false;
  std::uint16_t db_flags_ = 0;
  TKivoDatabase* database_ = nullptr;
  TKivoDatabaseManager* database_manager_ = nullptr;
};

// Clears a database-use flag when the operation ends, also on an error.
class TDBFlagScope {
 public:
  TDBFlagScope(TKivoDatasetBase& dataset, int flag) : dataset_(dataset), flag_(flag) {
    dataset_.SetDBFlag(flag_, true);
  }
  ~TDBFlagScope() {
    try {
      dataset_.SetDBFlag(flag_, false);
    } catch (...) {
      // Releasing the database cannot fail the operation it ends.
    }
  }
  TDBFlagScope(const TDBFlagScope&) = delete;
  TDBFlagScope& operator=(const TDBFlagScope&) = delete;

 private:
  TKivoDatasetBase& dataset_;
  int flag_;
};

}  // namespace kivo
