#include "console/ui/console_application.h"

#include <QMessageBox>
#include <exception>

#include "console/main_controller.h"
#include "console/text_files.h"
#include "platform/errors.h"

namespace kartova {

TConsoleApplication::TConsoleApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TConsoleApplication::notify(QObject* receiver, QEvent* event) {
  QString message;
  try {
    return QApplication::notify(receiver, event);
  } catch (const kivo::Exception& e) {
    message = QString::fromStdString(MessageToUtf8(e.Message()));
  } catch (const std::exception& e) {
    message = QString::fromStdString(MessageToUtf8(e.what()));
  }
  QMessageBox::critical(activeWindow(), QString::fromUtf8(kMainTitle), message);
  return false;
}

}  // namespace kartova
