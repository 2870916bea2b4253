// TSQLConsoleAbout: the About box, made once when the program starts and
// shown modally from Help > About for as long as the program runs.
#pragma once

#include <QDialog>

namespace kartova {

inline constexpr const char* kAboutTitle = "KivoTable SQL Console";
inline constexpr const char* kConsoleVersion = "1.5";

class TSQLConsoleAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TSQLConsoleAbout(QWidget* parent = nullptr);

 protected:
  // The box comes up in the middle of the screen, wherever its owner is.
  void showEvent(QShowEvent* event) override;
};

}  // namespace kartova
