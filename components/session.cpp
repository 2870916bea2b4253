#include "components/session.h"

#include <algorithm>

#include "components/database.h"
#include "components/dataset_base.h"
#include "components/globals.h"
#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kivo {

using detail::Globals;

namespace {

// Clears a flag when the scope ends.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

// ---------------------------------------------------------------- TKivoSessionList

TKivoSessionList::TKivoSessionList() {
  // The first session in the list is the default one.
  new TKivoSession(this, TKivoSession::DefaultTag{});
}

TKivoSessionList::~TKivoSessionList() {
  for (;;) {
    TKivoSession* last;
    {
      TCriticalSectionGuard guard(list_lock_);
      if (sessions_.empty()) break;
      last = sessions_.back();
    }
    delete last;  // leaves the list
    TCriticalSectionGuard guard(list_lock_);
    auto it = std::find(sessions_.begin(), sessions_.end(), last);
    if (it != sessions_.end()) sessions_.erase(it);
  }
}

TKivoSession* TKivoSessionList::FindSession(const std::string& name) {
  TCriticalSectionGuard guard(list_lock_);
  if (name.empty()) return sessions_.empty() ? nullptr : sessions_.front();
  for (TKivoSession* s : sessions_)
    if (AnsiSameText(s->SessionName(), name)) return s;
  return nullptr;
}

TKivoSession* TKivoSessionList::OpenSession(const std::string& name) {
  TKivoSession* s = FindSession(name);
  if (!s) throw ZorException::CreateFmt(native_error::kInvalidSessionName, {}, {name});
  return s;
}

void TKivoSessionList::Add(TKivoSession* session) {
  TCriticalSectionGuard guard(list_lock_);
  sessions_.push_back(session);
}

void TKivoSessionList::Remove(TKivoSession* session) {
  TCriticalSectionGuard guard(list_lock_);
  auto it = std::find(sessions_.begin(), sessions_.end(), session);
  if (it != sessions_.end()) sessions_.erase(it);
}

int TKivoSessionList::Count() {
  TCriticalSectionGuard guard(list_lock_);
  return static_cast<int>(sessions_.size());
}

TKivoSession* TKivoSessionList::Sessions(int index) {
  TCriticalSectionGuard guard(list_lock_);
  return sessions_.at(static_cast<std::size_t>(index));
}

int TKivoSessionList::TakeAutoNameNumber() {
  TCriticalSectionGuard guard(list_lock_);
  auto it = std::find(auto_numbers_.begin(), auto_numbers_.end(), false);
  if (it != auto_numbers_.end()) {
    *it = true;
    return static_cast<int>(it - auto_numbers_.begin());
  }
  auto_numbers_.push_back(true);
  return static_cast<int>(auto_numbers_.size()) - 1;
}

void TKivoSessionList::FreeAutoNameNumber(int number) {
  TCriticalSectionGuard guard(list_lock_);
  if (number >= 0 && static_cast<std::size_t>(number) < auto_numbers_.size())
    auto_numbers_[static_cast<std::size_t>(number)] = false;
}

TKivoSessionList& Sessions() { return *Globals().sessions; }

TKivoSession& DefaultSession() { return *Globals().default_session; }

TKivoSessionManager* CurrentSessionHandle() {
  TCriticalSectionGuard guard(Sessions().SessionLock());
  return Globals().current_handle;
}

// ---------------------------------------------------------------- TKivoSession

TKivoSession::TKivoSession(TKivoSessionList* list, DefaultTag) : TComponent(nullptr) {
  is_default_ = true;
  session_name_ = "Default";
  list->Add(this);
}

TKivoSession::TKivoSession(TComponent* owner) : TComponent(owner) {
  if (owner) {
    for (int i = 0; i < owner->ComponentCount(); ++i) {
      auto* other = dynamic_cast<TKivoSession*>(owner->Components(i));
      if (other && other != this && other->AutoSessionName())
        throw ZorException::CreateFmt(native_error::kSessionNextToAutoSession, Name(),
                                      {other->Name()});
    }
  }
  Sessions().Add(this);
}

TKivoSession::~TKivoSession() {
  try {
    if (Active()) StartSession(false);
  } catch (...) {
    // A destructor cannot report; the databases were closed as far as possible.
  }
  // Databases still attached hear of the removal and detach themselves.
  BeginDestroy();
  if (Globals().sessions) Sessions().Remove(this);
  DestroyComponents();
  databases_.clear();
}

void TKivoSession::CheckInactive() const {
  if (Active()) throw ZorException::Create(native_error::kActiveSession, Name());
}

void TKivoSession::SetActive(bool value) {
  if (Loading()) {
    streamed_active_ = value;
    return;
  }
  if (value != Active()) StartSession(value);
}

void TKivoSession::StartSession(bool value) {
  TCriticalSectionGuard guard(Sessions().SessionLock());
  auto& g = Globals();
  if (value) {
    if (OnStartup) OnStartup(this);
    if (session_name_.empty())
      throw ZorException::Create(native_error::kSessionNameMissing, Name());
    if (!is_default_) DefaultSession().SetActive(true);
    if (is_default_) {
      if (!g.default_handle) g.default_handle = new TKivoSessionManager();
      handle_ = g.default_handle;
    } else {
      handle_ = new TKivoSessionManager();
    }
    g.current_handle = handle_;
    return;
  }
  g.current_handle = handle_;
  for (int i = DatabaseCount() - 1; i >= 0; --i) {
    if (i >= DatabaseCount()) continue;  // destroying one may take others along
    TKivoDatabase* db = databases_[static_cast<std::size_t>(i)];
    if (db->Temporary()) {
      if (!db->Destroying()) delete db;
    } else {
      db->Close();
    }
  }
  if (is_default_) {
    delete g.default_handle;
    g.default_handle = nullptr;
    g.current_handle = nullptr;
  } else {
    delete handle_;
    g.current_handle = g.default_handle;
  }
  handle_ = nullptr;
}

void TKivoSession::LockSession() {
  TCriticalSection& lock = Sessions().SessionLock();
  lock.Enter();
  if (lock_count_++ == 0) {
    try {
      MakeCurrent();
    } catch (...) {
      --lock_count_;
      lock.Leave();
      throw;
    }
  }
}

void TKivoSession::UnlockSession() {
  --lock_count_;
  Sessions().SessionLock().Leave();
}

void TKivoSession::MakeCurrent() {
  if (handle_) {
    TCriticalSectionGuard guard(Sessions().SessionLock());
    Globals().current_handle = handle_;
  } else {
    SetActive(true);
    // A session still loading only records Active; start it anyway.
    if (!handle_) StartSession(true);
  }
}

TKivoSessionManager* TKivoSession::GetHandle() {
  MakeCurrent();
  return handle_;
}

void TKivoSession::SetSessionName(const std::string& value) {
  if (auto_session_name_ && !updating_auto_name_)
    throw ZorException::Create(native_error::kAutoSessionNameEnabled, Name());
  CheckInactive();
  if (!value.empty()) {
    TKivoSession* other = Sessions().FindSession(value);
    if (other && other != this)
      throw ZorException::CreateFmt(native_error::kDuplicateSessionName, Name(), {value});
  }
  session_name_ = value;
}

void TKivoSession::SetAutoSessionName(bool value) {
  if (value == auto_session_name_) return;
  if (value) {
    CheckInactive();
    if (TComponent* owner = Owner()) {
      for (int i = 0; i < owner->ComponentCount(); ++i) {
        auto* other = dynamic_cast<TKivoSession*>(owner->Components(i));
        if (other && other != this)
          throw ZorException::Create(native_error::kMultipleAutoSessions, Name());
      }
    }
    {
      TCriticalSectionGuard guard(Sessions().SessionLock());
      auto_name_number_ = Sessions().TakeAutoNameNumber();
    }
    try {
      UpdateAutoSessionName();
    } catch (...) {
      Sessions().FreeAutoNameNumber(auto_name_number_);
      auto_name_number_ = -1;
      throw;
    }
  } else {
    Sessions().FreeAutoNameNumber(auto_name_number_);
    auto_name_number_ = -1;
  }
  auto_session_name_ = value;
}

void TKivoSession::UpdateAutoSessionName() {
  {
    FlagScope updating(updating_auto_name_);
    SetSessionName(FormatMessage("%s_%d", {Name(), std::int64_t{auto_name_number_ + 1}}));
  }
  TComponent* owner = Owner();
  if (!owner) return;
  std::vector<TComponent*> siblings;
  for (int i = 0; i < owner->ComponentCount(); ++i) siblings.push_back(owner->Components(i));
  for (TComponent* c : siblings) {
    if (auto* ds = dynamic_cast<TKivoDatasetBase*>(c)) {
      if (!AnsiSameText(ds->SessionName(), session_name_)) ds->SetSessionName(session_name_);
    } else if (auto* db = dynamic_cast<TKivoDatabase*>(c)) {
      if (db->SessionName() != session_name_) db->SetSessionName(session_name_);
    }
  }
}

void TKivoSession::SetName(const std::string& name) {
  TComponent::SetName(name);
  if (auto_session_name_) UpdateAutoSessionName();
}

void TKivoSession::Loaded() {
  TComponent::Loaded();
  if (auto_session_name_) UpdateAutoSessionName();
  if (streamed_active_) SetActive(true);
}

void TKivoSession::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (!auto_session_name_ || operation != TOperation::opInsert) return;
  if (auto* ds = dynamic_cast<TKivoDatasetBase*>(component)) {
    ds->session_name_ = session_name_;
  } else if (auto* db = dynamic_cast<TKivoDatabase*>(component)) {
    db->SetSessionName(session_name_);
  }
}

void TKivoSession::AddDatabase(TKivoDatabase* database) {
  TCriticalSectionGuard guard(Sessions().SessionLock());
  if (std::find(databases_.begin(), databases_.end(), database) == databases_.end())
    databases_.push_back(database);
}

void TKivoSession::RemoveDatabase(TKivoDatabase* database) {
  TCriticalSectionGuard guard(Sessions().SessionLock());
  auto it = std::find(databases_.begin(), databases_.end(), database);
  if (it != databases_.end()) databases_.erase(it);
}

TKivoDatabase* TKivoSession::FindDatabase(const std::string& name,
                                          const std::string& fileName) const {
  for (TKivoDatabase* db : databases_) {
    if (db->DatabaseName().empty() && !db->Temporary()) continue;
    if (!AnsiSameText(db->DatabaseName(), name)) continue;
    if (name.empty() && db->DatabaseFileName() != fileName) continue;
    return db;
  }
  return nullptr;
}

TKivoDatabase* TKivoSession::FindDatabaseForOwner(const std::string& name,
                                                  const std::string& fileName,
                                                  const TComponent* owner) const {
  if (owner) {
    for (TKivoDatabase* db : databases_)
      if (db->Owner() == owner && db->HandleShared() && AnsiSameText(db->DatabaseName(), name))
        return db;
  }
  return FindDatabase(name, fileName);
}

TKivoDatabaseManager* TKivoSession::FindSharedHandle(const std::string& name) const {
  for (TKivoDatabase* db : databases_)
    if (db->Connected() && db->HandleShared() && AnsiSameText(db->DatabaseName(), name))
      return db->Handle();
  return nullptr;
}

TKivoDatabase* TKivoSession::OpenDatabase(const std::string& name, const std::string& fileName,
                                          const TComponent* owner) {
  TSessionLockGuard lock(*this);
  TKivoDatabase* db = FindDatabaseForOwner(name, fileName, owner);
  bool made = false;
  if (!db) {
    db = new TKivoDatabase(this);
    made = true;
    db->temporary_ = true;
    db->database_name_ = name;
    db->database_file_name_ = fileName;
    db->keep_connection_ = keep_connections_;
    if (AnsiSameText(name, "MEMORY")) db->in_memory_ = true;
  }
  try {
    db->Open();
    ++db->ref_count_;
  } catch (...) {
    if (made) delete db;
    throw;
  }
  return db;
}

void TKivoSession::CloseDatabase(TKivoDatabase* database) {
  if (!database) return;
  TSessionLockGuard lock(*this);
  if (database->ref_count_ > 0) --database->ref_count_;
  if (database->ref_count_ != 0 || database->keep_connection_) return;
  if (!database->Temporary()) {
    database->Close();
  } else if (!database->Destroying() && !database->closing_) {
    delete database;
  }
}

}  // namespace kivo
