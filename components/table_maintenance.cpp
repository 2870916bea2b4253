// The operations that change a table as a whole rather than its records.
#include "components/kivo_dataset.h"
#include "components/session.h"
#include "storage/file_layer.h"

namespace kivo {

namespace {

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

}  // namespace

bool TKivoDataset::IsTableEncrypted() {
  TCriticalSectionGuard guard(Lock());
  if (table_opened_) return data_manager_->Encrypted();
  try {
    TDBFlagScope flag(*this, kFlagMaintenance);
    TDataManagerHold manager(krGetDataManager(table_name_, DatabaseManager()));
    // A manager that data sets use already knows its store; a fresh one is
    // told which store this data set names.
    if (manager->DatasetCount() == 0)
      manager->SetStoreMode(InMemory() ? static_cast<std::uint8_t>(fsmMemory) : 0);
    return manager->IsEncrypted();
  } catch (...) {
    return true;
  }
}

}  // namespace kivo
