#include "console/unattended.h"

#include <cstdlib>
#include <iostream>

#include "console/headless_view.h"
#include "console/main_controller.h"
#include "console/text_files.h"

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

int FailWithoutDisplay(const std::vector<std::string>& params) {
  std::cerr << kNoDisplayMessage << '\n';
  const TCommandLine command_line = ParseCommandLine(params);
  if (!command_line.output_file.empty()) {
    try {
      WriteWholeFile(command_line.output_file,
                     EditorTextToAnsi(std::string("Exception: ") + kNoDisplayMessage) + "\r\n");
    } catch (const std::exception&) {
      // The exit code still tells.
    }
  }
  return 1;
}

bool DisplayAvailable() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  const std::string chosen = platform != nullptr ? platform : "";
  if (chosen.empty()) return EnvSet("DISPLAY") || EnvSet("WAYLAND_DISPLAY");
  // The X11 and Wayland platforms still need their display; the others
  // (offscreen, VNC, ...) draw without one.
  if (chosen.rfind("xcb", 0) == 0) return EnvSet("DISPLAY");
  if (chosen.rfind("wayland", 0) == 0) return EnvSet("WAYLAND_DISPLAY");
  return true;
}

}  // namespace kartova
