#include "components/dataset_base.h"

#include "components/database.h"
#include "components/session.h"
#include "platform/errors.h"

namespace kivo {

TKivoDatasetBase::TKivoDatasetBase(TComponent* owner) : TComponent(owner) { NotifyInserted(); }

TKivoDatasetBase::~TKivoDatasetBase() {
  BeginDestroy();
  if (db_flags_ != 0) {
    db_flags_ = 0;
    try {
      ReleaseDatabase();
    } catch (...) {
      // A destructor cannot report; the database keeps its own state.
    }
  }
}

void TKivoDatasetBase::CheckInactive() const {
  if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

void TKivoDatasetBase::SetSessionName(const std::string& value) {
  CheckInactive();
  session_name_ = value;
}

void TKivoDatasetBase::SetDatabaseName(const std::string& value) {
  if (Active()) Close();
  database_name_ = value;
  if (!value.empty()) database_file_name_.clear();
}

void TKivoDatasetBase::SetDatabaseFileName(const std::string& value) {
  if (Active()) Close();
  database_file_name_ = value;
  // Data sets the engine makes for itself carry no name and keep both values.
  if (!Name().empty()) database_name_.clear();
}

void TKivoDatasetBase::CloseForDatabase() {
  if (Active()) {
    Close();
    return;
  }
  // Not open, but holding the database for another use: let go of it, since
  // the database is closing underneath.
  if (database_) {
    database_->RemoveDataSet(this);
    ForgetDatabase();
  }
}

void TKivoDatasetBase::ForgetDatabase() {
  database_ = nullptr;
  database_manager_ = nullptr;
  db_flags_ = 0;
}

TKivoSession& TKivoDatasetBase::DBSession() const { return *Sessions().OpenSession(session_name_); }

void TKivoDatasetBase::SetDBFlag(int flag, bool value) {
  if (flag < 0 || flag > 15) return;
  const auto bit = static_cast<std::uint16_t>(1u << flag);
  if (value) {
    if (db_flags_ & bit) return;
    if (db_flags_ == 0) AcquireDatabase();
    db_flags_ = static_cast<std::uint16_t>(db_flags_ | bit);
  } else {
    if (!(db_flags_ & bit)) return;
    db_flags_ = static_cast<std::uint16_t>(db_flags_ & ~bit);
    if (db_flags_ == 0) ReleaseDatabase();
  }
}

void TKivoDatasetBase::AcquireDatabase() {
  // A database placed in the default session but naming this data set's
  // session moves to that session first.
  if (!session_name_.empty() && !database_name_.empty()) {
    TKivoSession* named = Sessions().FindSession(session_name_);
    if (named && !named->FindDatabaseForOwner(database_name_, database_file_name_, Owner())) {
      TKivoDatabase* inDefault =
          DefaultSession().FindDatabaseForOwner(database_name_, database_file_name_, Owner());
      if (inDefault && named != &DefaultSession()) inDefault->SetSession(true);
    }
  }
  TKivoSession& session = DBSession();
  TKivoDatabase* db = session.OpenDatabase(database_name_, database_file_name_, Owner());
  db->AddDataSet(this);
  database_ = db;
  database_manager_ = db->Handle();
}

void TKivoDatasetBase::ReleaseDatabase() {
  TKivoDatabase* db = database_;
  database_ = nullptr;
  database_manager_ = nullptr;
  if (!db) return;
  db->RemoveDataSet(this);
  if (TKivoSession* session = db->Session()) session->CloseDatabase(db);
}

}  // namespace kivo
