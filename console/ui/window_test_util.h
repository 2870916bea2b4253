// Fixture base for tests of real Qt widgets: one application object for the
// test program, on the offscreen platform unless another is chosen.
#pragma once

#include <QApplication>

#include "console/console_test_util.h"

namespace kartova::testing {

class WindowTest : public ConsoleTest {
 protected:
  static void SetUpTestSuite() {
    if (QApplication::instance() != nullptr) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "kartova_window_tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
  }
};

}  // namespace kartova::testing
