// Sessions: the process-wide session list and its default session
// "Default", the session components that group databases and data sets, and
// the one process-wide re-entrant session lock that serialises engine work.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "components/component.h"
#include "platform/locks.h"

namespace kivo {

class TKivoDatabase;
class TKivoDatabaseManager;
class TKivoSessionList;

// The engine handle of an active session. It carries no data; it identifies
// the session's engine context.
class TKivoSessionManager {};

using TNotifyEvent = std::function<void(TComponent* sender)>;
using TZorPasswordEvent = std::function<void(TComponent* sender, bool& Continue)>;

class TKivoSession : public TComponent {
 public:
  // Raises 1079 when a session with AutoSessionName already sits on `owner`.
  explicit TKivoSession(TComponent* owner = nullptr);
  ~TKivoSession() override;

  // Published properties.
  bool Active() const { return handle_ != nullptr; }
  void SetActive(bool value);
  bool AutoSessionName() const { return auto_session_name_; }
  void SetAutoSessionName(bool value);
  bool KeepConnections() const { return keep_connections_; }
  void SetKeepConnections(bool value) { keep_connections_ = value; }
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& value);
  TZorPasswordEvent OnPassword;  // no operation raises it
  TNotifyEvent OnStartup;        // raised at the start of every session start

  void SetName(const std::string& name) override;
  bool IsDefault() const { return is_default_; }
  int AutoNameNumber() const { return auto_name_number_; }

  // Enters the process-wide session lock; the first level makes the session
  // current (starting it when needed). UnlockSession leaves it.
  void LockSession();
  void UnlockSession();
  int LockCount() const { return lock_count_; }
  // Records the handle as the current one, starting the session if inactive.
  void MakeCurrent();
  // MakeCurrent, then the handle.
  TKivoSessionManager* GetHandle();
  TKivoSessionManager* Handle() const { return handle_; }

  // Databases of the session.
  int DatabaseCount() const { return static_cast<int>(databases_.size()); }
  TKivoDatabase* Databases(int index) const { return databases_[static_cast<std::size_t>(index)]; }
  void AddDatabase(TKivoDatabase* database);
  void RemoveDatabase(TKivoDatabase* database);
  // A named lookup matches by name (case ignored); an unnamed one only the
  // session's unnamed temporary databases, by exact file name.
  TKivoDatabase* FindDatabase(const std::string& name, const std::string& fileName) const;
  // First the shared-handle database of that name belonging to `owner`, then FindDatabase.
  TKivoDatabase* FindDatabaseForOwner(const std::string& name, const std::string& fileName,
                                      const TComponent* owner) const;
  // The manager of the first connected shared-handle database of that name.
  TKivoDatabaseManager* FindSharedHandle(const std::string& name) const;
  // Finds or makes (temporary) the database, opens it and counts the user.
  TKivoDatabase* OpenDatabase(const std::string& name, const std::string& fileName,
                              const TComponent* owner);
  // Drops one user; the last user closes (or destroys, when temporary) a
  // database without KeepConnection.
  void CloseDatabase(TKivoDatabase* database);

 protected:
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TKivoSessionList;
  struct DefaultTag {};
  TKivoSession(TKivoSessionList* list, DefaultTag);

  void StartSession(bool value);
  void UpdateAutoSessionName();
  void CheckInactive() const;

  TKivoSessionManager* handle_ = nullptr;  // guarded by the session lock
  std::vector<TKivoDatabase*> databases_;  // touched only by the session's owning thread
  bool streamed_active_ = false;
  bool keep_connections_ = true;
  bool is_default_ = false;
  bool auto_session_name_ = false;
  bool updating_auto_name_ = false;
  std::string session_name_;
  int auto_name_number_ = -1;
  int lock_count_ = 0;  // guarded by the session lock
};

// Holds a session's lock for a scope.
class TSessionLockGuard {
 public:
  explicit TSessionLockGuard(TKivoSession& session) : session_(session) { session_.LockSession(); }
  ~TSessionLockGuard() { session_.UnlockSession(); }
  TSessionLockGuard(const TSessionLockGuard&) = delete;
  TSessionLockGuard& operator=(const TSessionLockGuard&) = delete;

 private:
  TKivoSession& session_;
};

// The list of all sessions; the first one added is the default session.
class TKivoSessionList {
 public:
  TKivoSessionList();
  // Destroys the sessions, last first.
  ~TKivoSessionList();
  TKivoSessionList(const TKivoSessionList&) = delete;
  TKivoSessionList& operator=(const TKivoSessionList&) = delete;

  // Empty name: the default session; otherwise the first session of that
  // name, case ignored; nullptr when none.
  TKivoSession* FindSession(const std::string& name);
  // FindSession, raising 1072 when there is none.
  TKivoSession* OpenSession(const std::string& name);
  void Add(TKivoSession* session);
  void Remove(TKivoSession* session);
  int Count();
  TKivoSession* Sessions(int index);

  // The process-wide re-entrant session lock shared by all sessions.
  TCriticalSection& SessionLock() { return session_lock_; }
  // Takes the lowest free automatic-name number; FreeAutoNameNumber returns it.
  int TakeAutoNameNumber();
  void FreeAutoNameNumber(int number);

 private:
  // Guards the session list and the automatic-name numbers; taken alone,
  // never while waiting for another lock.
  TCriticalSection list_lock_;
  std::vector<TKivoSession*> sessions_;  // guarded by list_lock_
  std::vector<bool> auto_numbers_;       // guarded by list_lock_
  // Serialises engine work across sessions: each session's lock count and
  // handle, and the current session handle; first in the lock order.
  TCriticalSection session_lock_;
};

// The process-wide session list and default session, made on first use.
TKivoSessionList& Sessions();
TKivoSession& DefaultSession();
// The handle most recently made current (nullptr when none).
TKivoSessionManager* CurrentSessionHandle();

}  // namespace kivo
