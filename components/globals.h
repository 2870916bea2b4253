// The component layer's process-wide objects: the session list with the
// default session, the session handles, and the database-manager registry
// with its lock. Made on first use, torn down in order at process end.
#pragma once

#include "platform/locks.h"
#include "platform/owning_registry.h"

namespace kivo {

class TKivoDatabaseManager;
class TKivoSession;
class TKivoSessionList;
class TKivoSessionManager;

namespace detail {

struct ComponentGlobals {
  ComponentGlobals();
  // Destroys the sessions (last first), then every manager still registered.
  ~ComponentGlobals();

  TKivoSessionList* sessions = nullptr;
  TKivoSession* default_session = nullptr;
  TKivoSessionManager* default_handle = nullptr;  // guarded by the session lock
  TKivoSessionManager* current_handle = nullptr;  // guarded by the session lock
  // Guards `managers` and the database and data-set lists of every manager.
  TCriticalSection registry_lock;
  TOwningRegistry<TKivoDatabaseManager> managers;  // guarded by registry_lock
};

ComponentGlobals& Globals();

}  // namespace detail
}  // namespace kivo
