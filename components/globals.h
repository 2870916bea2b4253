// The component layer's process-wide objects: the session list with the
// default session, the session handles, and the database-manager registry
// with its lock. Made on first use, torn down in order at process end.
// Also the hook that shows the progress of index builds to the user.
#pragma once

#include <functional>

#include "platform/locks.h"
#include "platform/owning_registry.h"

namespace kivo {

class TKivoDatabaseManager;
class TKivoSession;
class TKivoSessionList;
class TKivoSessionManager;
class TKivoDataset;

// Receives the index-build progress of every data set that has no
// OnBuildIndexesProgress event and does not suppress the progress window.
// A program with windows sets it to show a progress window; a run without
// windows leaves it empty. Set and called on the thread that runs the data
// sets.
using TBuildIndexProgressHook =
    std::function<void(TKivoDataset& table, bool start, bool finish, double percentDone)>;

// Replaces the hook; an empty function removes it.
void SetBuildIndexProgressHook(TBuildIndexProgressHook hook);
const TBuildIndexProgressHook& BuildIndexProgressHook();

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
