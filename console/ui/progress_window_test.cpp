// The index-build progress window under the offscreen platform: shown and
// removed around a real build, painted at most once per percent, deaf to
// clicks meant for the main window, and shared by the data sets of a table;
// and the gauge's drawing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include "components/globals.h"
#include "console/table_fixture_test_util.h"
#include "console/ui/build_index_form.h"
#include "console/ui/main_window.h"
#include "console/ui/window_test_util.h"
#include "console/ui/zor_gauge.h"

namespace kartova::testing {
namespace {

// Counts the paints of the widget it watches.
class PaintCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
  int paints = 0;
};

std::vector<TFormBuildIndex*> ProgressForms() {
  std::vector<TFormBuildIndex*> forms;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* form = qobject_cast<TFormBuildIndex*>(w)) forms.push_back(form);
  return forms;
}

void PostClick(QWidget* target) {
  const QPointF at(target->width() / 2.0, target->height() / 2.0);
  const QPointF global = target->mapToGlobal(at);
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QCoreApplication::postEvent(
        target, new QMouseEvent(type, at, global, Qt::LeftButton,
                                type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                Qt::NoModifier));
  }
}

class ProgressWindow : public WindowTest {
 protected:
  void StartWindow(const std::string& table) {
    window_ = std::make_unique<TMainWindow>(std::vector<std::string>{""}, Environment());
    window_->Start();
    window_->show();
    ASSERT_TRUE(window_->OpenTableNamed(table));
    QApplication::processEvents();
    // Observe every report after the window's own handling of it.
    const kivo::TBuildIndexProgressHook installed = kivo::BuildIndexProgressHook();
    ASSERT_TRUE(installed);
    kivo::SetBuildIndexProgressHook(
        [this, installed](kivo::TKivoDataset& t, bool start, bool finish, double percent) {
          installed(t, start, finish, percent);
          ++reports_;
          const std::vector<TFormBuildIndex*> forms = ProgressForms();
          max_forms_ = std::max(max_forms_, forms.size());
          if (start && forms.size() == 1) OnShown(*forms.front());
          if (!start && !finish && !forms.empty()) OnProgress();
        });
  }
  virtual void OnShown(TFormBuildIndex&) {}
  virtual void OnProgress() {}
  kivo::TKivoTable& Table() { return window_->Controller().CurrentTable(); }

  std::unique_ptr<TMainWindow> window_;
  int reports_ = 0;
  std::size_t max_forms_ = 0;
};

class MillionRowBuild : public ProgressWindow {
 protected:
  void OnShown(TFormBuildIndex& form) override {
    if (form_ != nullptr) return;
    form_ = &form;
    visible_ = form.isVisible();
    title_ = form.windowTitle();
    size_ = form.size();
    label_ = form.lbTable()->text();
    gauge_geometry_ = form.Gauge()->geometry();
    gauge_colors_ = {form.Gauge()->State().Color1(), form.Gauge()->State().Color2()};
    form.Gauge()->installEventFilter(&gauge_paints_);
  }
  void OnProgress() override {
    if (clicked_) return;
    clicked_ = true;
    // What the user does while the sort runs: close the table, and close
    // the main window.
    PostClick(window_->findChild<QPushButton*>("bnCloseTable"));
    QCoreApplication::postEvent(window_.get(), new QCloseEvent());
  }

  TFormBuildIndex* form_ = nullptr;
  bool visible_ = false;
  QString title_;
  QSize size_;
  QString label_;
  QRect gauge_geometry_;
  std::pair<TRgb, TRgb> gauge_colors_;
  PaintCounter gauge_paints_;
  bool clicked_ = false;
};

TEST_F(MillionRowBuild, TheWindowComesAndGoesWithTheBuildPaintsOncePerPercentAndIgnoresClicks) {
  MakeNumberedTable(dir_.path(), "big", 1000000);
  StartWindow("big");
  ASSERT_TRUE(Table().Active());
  Table().AddIndex("byN", "n", kivo::ixDescending);

  ASSERT_NE(form_, nullptr);
  EXPECT_TRUE(visible_);
  EXPECT_EQ(title_, "Building indexes...");
  EXPECT_EQ(size_, QSize(242, 76));
  EXPECT_EQ(label_, "big");
  EXPECT_EQ(gauge_geometry_, QRect(46, 49, 162, 27));
  EXPECT_EQ(gauge_colors_.first, kWhite);
  EXPECT_EQ(gauge_colors_.second, kBlue);
  EXPECT_EQ(max_forms_, 1u);
  EXPECT_TRUE(ProgressForms().empty());
  EXPECT_GT(reports_, 200);
  EXPECT_GE(gauge_paints_.paints, 20);
  EXPECT_LE(gauge_paints_.paints, 110);

  // The click and the close request reached nothing, during the build or after.
  EXPECT_TRUE(clicked_);
  QApplication::processEvents();
  EXPECT_TRUE(Table().Active());
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(Table().ControlsDisabled());
  // The same click with no build running does close the table.
  PostClick(window_->findChild<QPushButton*>("bnCloseTable"));
  QApplication::processEvents();
  EXPECT_FALSE(Table().Active());
}

TEST_F(ProgressWindow, TwoDataSetsOnATableShareOneWindow) {
  MakeNumberedTable(dir_.path(), "t", 30000);
  StartWindow("t");
  // A second cursor on the console's table, through the console's database.
  kivo::TKivoTable second;
  second.SetDatabaseName(Table().DatabaseName());
  second.SetTableName("t");
  second.Open();
  bool both_disabled = false;
  const kivo::TBuildIndexProgressHook observed = kivo::BuildIndexProgressHook();
  kivo::SetBuildIndexProgressHook([&](kivo::TKivoDataset& t, bool start, bool finish,
                                      double percent) {
    observed(t, start, finish, percent);
    if (!start && !finish)
      both_disabled = both_disabled || (Table().ControlsDisabled() && second.ControlsDisabled());
  });
  second.AddIndex("byName", "name", kivo::TIndexOptions{});
  EXPECT_EQ(max_forms_, 1u);
  EXPECT_TRUE(both_disabled);
  EXPECT_TRUE(ProgressForms().empty());
  EXPECT_FALSE(Table().ControlsDisabled());
  EXPECT_FALSE(second.ControlsDisabled());
  EXPECT_FALSE(window_->BuildIndexDisplay().Form());
}

TEST_F(ProgressWindow, TheGaugeFillsWithTheGradientAndLeavesTheRestInItsBackground) {
  TZorGauge gauge;
  gauge.State().SetColor2(kBlue);
  gauge.State().SetBackcolor(kYellow);
  gauge.State().SetProgress(50);
  gauge.State().SetCaption("");
  gauge.resize(203, 40);
  QImage picture = gauge.grab().toImage();
  // 200 * 49 / 100 = 98 pixels of gradient from x = 2: white above, blue below.
  EXPECT_EQ(picture.pixelColor(50, 3).blue(), 255);
  EXPECT_GT(picture.pixelColor(50, 3).red(), 200);
  EXPECT_LT(picture.pixelColor(50, 36).red(), 40);
  EXPECT_EQ(picture.pixelColor(98, 20).blue(), 255);
  EXPECT_EQ(picture.pixelColor(101, 20), QColor(255, 255, 0));
  EXPECT_EQ(picture.pixelColor(199, 20), QColor(255, 255, 0));
  EXPECT_EQ(picture.pixelColor(1, 20), QColor(0, 0, 0));

  gauge.State().SetProgress(100);
  picture = gauge.grab().toImage();
  EXPECT_NE(picture.pixelColor(199, 20), QColor(255, 255, 0));
  gauge.State().SetProgress(1);
  picture = gauge.grab().toImage();
  EXPECT_EQ(picture.pixelColor(3, 20), QColor(255, 255, 0));
}

}  // namespace
}  // namespace kartova::testing
