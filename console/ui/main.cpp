// The kartova-window program: the console window, and "--screenshot", which
// saves a picture of the main window drawn off screen. The kartova program
// starts it for every run that needs the window; run directly, it takes the
// same command line (unattended runs and "--help" included).
#include <QPixmap>
#include <QtGlobal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "console/command_line.h"
#include "console/main_controller.h"
#include "console/text_files.h"
#include "console/ui/console_application.h"
#include "console/ui/main_window.h"
#include "console/unattended.h"

namespace {

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// kartova --screenshot FILE.png [--table NAME [--row N] | --query] [DATABASE [SCRIPT]]
// With --table the table of that name is opened into the grid first, and
// with --row the cursor moves to that record; with --query the editor's
// text (SCRIPT) runs as a query into the grid.
int TakeScreenshot(int argc, char** argv, const std::vector<std::string>& params) {
  if (params.size() < 2 || params[1].empty()) {
    std::cerr << "kartova: --screenshot needs the name of the picture file\n";
    return 1;
  }
  if (!EnvSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const std::string picture = params[1];
  std::size_t next = 2;
  std::string table;
  int row = 0;
  bool query = false;
  while (next < params.size() && params[next] == "--query") {
    query = true;
    ++next;
  }
  while (next + 1 < params.size() && (params[next] == "--table" || params[next] == "--row")) {
    if (params[next] == "--table") {
      table = params[next + 1];
    } else {
      row = std::atoi(params[next + 1].c_str());
    }
    next += 2;
  }
  std::vector<std::string> console_params(params.begin() + static_cast<std::ptrdiff_t>(next),
                                          params.end());
  kartova::TConsoleApplication app(argc, argv);
  kartova::TMainWindow window(console_params);
  window.Start();
  window.show();
  if (!table.empty() && !window.OpenTableNamed(table)) {
    std::cerr << "kartova: the database has no table " << table << '\n';
    return 1;
  }
  if (row > 0) window.Controller().CurrentTable().SetRecNo(row);
  if (query) {
    // Straight to standard error: a message box would wait for a click.
    try {
      window.Controller().RzBitBtn2Click();
    } catch (const std::exception& e) {
      std::cerr << "kartova: the query failed: " << kartova::ErrorReportLine(e) << '\n';
      return 1;
    }
  }
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(picture.c_str()))) {
    std::cerr << "kartova: cannot save the picture " << picture << '\n';
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> params(argv + 1, argv + argc);
  if (!params.empty() && params[0] == "--help") {
    std::cout << kartova::CommandLineHelp("kartova");
    return 0;
  }
  if (!params.empty() && params[0] == "--screenshot") return TakeScreenshot(argc, argv, params);

  const kartova::TCommandLine command_line = kartova::ParseCommandLine(params);
  if (command_line.RunsUnattended()) return kartova::RunUnattended(params);
  if (!command_line.error.empty()) {
    std::cerr << "kartova: " << command_line.error << '\n';
    return 1;
  }
  if (!kartova::DisplayAvailable()) return kartova::FailWithoutDisplay(params);

  kartova::TConsoleApplication app(argc, argv);
  kartova::TMainWindow window(params);
  window.Start();
  window.show();
  return app.exec();
}
