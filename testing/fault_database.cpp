#include "testing/fault_database.h"

namespace kivo::testing {

// The database's manager, outside the process-wide manager registry (so
// that it is not shared with or destroyed like the registered ones), with
// every file it opens wrapped.
class TFaultDatabaseManager : public TKivoDatabaseManager {
 public:
  TFaultDatabaseManager(TKivoDatabase* database, TFaultFileSet& files)
      : TKivoDatabaseManager(database), files_(files) {}

  TAbstractFile* OpenFile(const std::string& name, int mode, bool create, bool exclusive,
                          bool readOnly) override {
    return files_.Wrap(name,
                       TKivoDatabaseManager::OpenFile(name, mode, create, exclusive, readOnly));
  }
  void CloseFile(TAbstractFile* file) override {
    TKivoDatabaseManager::CloseFile(files_.Unwrap(file));
  }

 private:
  TFaultFileSet& files_;
};

std::unique_ptr<TFaultDatabase> TFaultDatabase::Directory(const std::string& name,
                                                          const std::string& directory) {
  // A database component knows its directory once it is open; the manager
  // takes its settings from it.
  TKivoDatabase opened;
  opened.SetDatabaseName(directory);
  opened.Open();
  return std::unique_ptr<TFaultDatabase>(new TFaultDatabase(name, opened));
}

std::unique_ptr<TFaultDatabase> TFaultDatabase::Container(const std::string& name,
                                                          const std::string& container) {
  TKivoDatabase opened;
  opened.SetDatabaseName(name + "#setup");
  opened.SetDatabaseFileName(container);
  opened.Open();
  return std::unique_ptr<TFaultDatabase>(new TFaultDatabase(name, opened));
}

TFaultDatabase::TFaultDatabase(const std::string& name, TKivoDatabase& opened)
    : name_(name), manager_(std::make_unique<TFaultDatabaseManager>(&opened, files_)) {
  // The registered manager of `opened` goes with its last user, before this
  // one is used: the container is opened again by this manager.
  opened.Close();
  database_ = std::make_unique<TKivoDatabase>();
  database_->SetDatabaseName(name);
  database_->SetHandle(manager_.get());
}

TFaultDatabase::~TFaultDatabase() {
  database_.reset();
  manager_.reset();
}

TKivoDatabaseManager* TFaultDatabase::Manager() const { return manager_.get(); }

}  // namespace kivo::testing
