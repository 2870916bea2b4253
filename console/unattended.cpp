#include "console/unattended.h"

#include <cstdlib>
#include <iostream>

#include "console/headless_view.h"
#include "console/main_controller.h"

namespace kartova {

namespace {

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

}  // namespace

int RunUnattended(const std::vector<std::string>& params) {
  THeadlessView view(std::cerr);
  TConsoleEnvironment environment = TConsoleEnvironment::Default();
  // Nobody is there to answer a password box.
  environment.prompts_allowed = false;
  TfmMain controller(view, params, environment);
  controller.ReportErrors([&] { controller.FormCreate(); });
  const TRunOutcome& outcome = controller.Outcome();
  // Without an end request start-up failed; with no window to stay open,
  // that is a failed run.
  return outcome.end_requested ? outcome.exit_code : 1;
}

bool DisplayAvailable() {
  return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY") || EnvSet("QT_QPA_PLATFORM");
}

}  // namespace kartova
