// The About box: made with the main window, shown modally from Help > About
// with its caption and version, closed by its OK button, and the same box
// every time.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "console/ui/about_box.h"
#include "console/ui/main_window.h"
#include "console/ui/window_test_util.h"

namespace kartova::testing {
namespace {

class AboutBox : public WindowTest {
 protected:
  // Triggers Help > About and, once the box is up, records what it shows
  // and presses its OK button.
  void ShowAbout() {
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<TSQLConsoleAbout*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      shown_ = box;
      title_ = box->windowTitle();
      size_ = box->size();
      centre_ = box->frameGeometry().center();
      texts_.clear();
      for (QLabel* label : box->findChildren<QLabel*>()) texts_ << label->text();
      auto* ok = box->findChild<QPushButton*>("OKButton");
      ASSERT_NE(ok, nullptr);
      ok_default_ = ok->isDefault();
      ok_text_ = ok->text();
      ok->click();
    });
    closer.start(10);
    window_->findChild<QAction*>("About1")->trigger();
    closer.stop();
  }

  std::unique_ptr<TMainWindow> window_;
  TSQLConsoleAbout* shown_ = nullptr;
  QString title_;
  QSize size_;
  QPoint centre_;
  QStringList texts_;
  bool ok_default_ = false;
  QString ok_text_;
};

TEST_F(AboutBox, HelpAboutShowsTheBoxModallyAndOkClosesIt) {
  window_ = std::make_unique<TMainWindow>(std::vector<std::string>{""}, Environment());
  window_->Start();
  window_->move(0, 0);
  window_->show();
  TSQLConsoleAbout* made = window_->AboutBox();
  ASSERT_NE(made, nullptr);
  EXPECT_FALSE(made->isVisible());

  ShowAbout();
  EXPECT_EQ(shown_, made);
  EXPECT_EQ(title_, "KivoTable SQL Console");
  EXPECT_EQ(size_, QSize(352, 203));
  EXPECT_TRUE(texts_.contains("KivoTable SQL Console"));
  EXPECT_TRUE(texts_.contains("Version"));
  EXPECT_TRUE(texts_.contains("1.5"));
  EXPECT_EQ(ok_text_, "OK");
  EXPECT_TRUE(ok_default_);
  EXPECT_FALSE(made->isVisible());
  const QPoint screen_centre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((centre_ - screen_centre).manhattanLength(), 4);

  // Shown again, it is the same box.
  shown_ = nullptr;
  ShowAbout();
  EXPECT_EQ(shown_, made);
  EXPECT_EQ(window_->AboutBox(), made);
}

}  // namespace
}  // namespace kartova::testing
