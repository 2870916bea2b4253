#include "components/globals.h"

#include "components/database.h"
#include "components/session.h"
#include "storage/container/pagy_file_system.h"
#include "storage/file_layer.h"

namespace kivo {

namespace {

TBuildIndexProgressHook& HookSlot() {
  static TBuildIndexProgressHook hook;
  return hook;
}

}  // namespace

void SetBuildIndexProgressHook(TBuildIndexProgressHook hook) { HookSlot() = std::move(hook); }

const TBuildIndexProgressHook& BuildIndexProgressHook() { return HookSlot(); }

}  // namespace kivo

namespace kivo::detail {

ComponentGlobals::ComponentGlobals() {
  // The file-system registry must outlive the managers that drop their
  // containers into it, so it is made first and therefore destroyed last.
  TPFSManager::Instance();
  // Databases named by a .kvb file live in a single-file container.
  RegisterContainerStore();
  sessions = new TKivoSessionList();
  default_session = sessions->Sessions(0);
}

ComponentGlobals::~ComponentGlobals() {
  delete sessions;
  sessions = nullptr;
  default_session = nullptr;
  TCriticalSectionGuard guard(registry_lock);
  managers.DestroyAll();
  delete default_handle;
  default_handle = nullptr;
}

ComponentGlobals& Globals() {
  static ComponentGlobals globals;
  return globals;
}

}  // namespace kivo::detail
