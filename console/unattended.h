// The program's entry points that need no window: unattended runs (the
// batch run and the command-line export) and the display check made before
// the window is started.
#pragma once

#include <string>
#include <vector>

namespace kartova {

// Runs the console's start-up without a window for `params` (the command
// line without the program name) and returns the exit code. Nothing asks:
// an encrypted database needs its password from the environment or a file.
int RunUnattended(const std::vector<std::string>& params);

// Whether a display to open the window on is named in the environment
// (DISPLAY, WAYLAND_DISPLAY, or a chosen QT_QPA_PLATFORM).
bool DisplayAvailable();
// The one line printed when the window is asked for without a display.
inline constexpr const char* kNoDisplayMessage =
    "kartova: the console window needs a display (none of DISPLAY, WAYLAND_DISPLAY, "
    "QT_QPA_PLATFORM is set); -B (batch run) and -E (export) run without one";

}  // namespace kartova
