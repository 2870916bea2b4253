// The console's QApplication: an error that escapes an event handler is
// reported in a message box with its message, and the program goes on.
#pragma once

#include <QApplication>

namespace kartova {

class TConsoleApplication : public QApplication {
 public:
  TConsoleApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace kartova
