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

// Whether the window has somewhere to open: a display named in the
// environment (DISPLAY, WAYLAND_DISPLAY) for the platform QT_QPA_PLATFORM
// chooses, or a platform that needs none (offscreen).
bool DisplayAvailable();
// The one line printed when the window is asked for without a display.
inline constexpr const char* kNoDisplayMessage =
    "kartova: the console window needs a display (set DISPLAY or WAYLAND_DISPLAY, or "
    "QT_QPA_PLATFORM=offscreen); -B (batch run) and -E (export) run without one";
// Reports that the window cannot open: the message on standard error and,
// as "Exception: " and the message, in the -O file when one is named.
// Returns the exit code, 1.
int FailWithoutDisplay(const std::vector<std::string>& params);

}  // namespace kartova
