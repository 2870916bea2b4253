// The grid under the offscreen platform: a table opened into it from the
// table list, its rows read by position, the view's current row and the
// cursor following each other, and the database closed under it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include "console/table_fixture_test_util.h"
#include "console/ui/db_navigator.h"
#include "console/ui/grid_model.h"
#include "console/ui/main_window.h"
#include "console/ui/window_test_util.h"

namespace kartova::testing {
namespace {

class GridView : public WindowTest {
 protected:
  // Starts the window on the test's folder, opens table `name` from the
  // list and counts the table's scroll events from then on.
  TMainWindow& OpenTable(const std::string& name) {
    window_ = std::make_unique<TMainWindow>(std::vector<std::string>{""}, Environment());
    window_->Start();
    window_->resize(900, 620);
    window_->show();
    EXPECT_TRUE(window_->OpenTableNamed(name));
    kivo::TKivoTable& table = window_->Controller().CurrentTable();
    auto shown = table.AfterScroll;
    table.AfterScroll = [this, shown](kivo::TDataSet& ds) {
      ++scrolls_;
      if (shown) shown(ds);
    };
    QApplication::processEvents();
    return *window_;
  }
  kivo::TKivoTable& Table() { return window_->Controller().CurrentTable(); }
  QTableView* Grid() { return window_->Grid(); }
  QString Panel(int i) { return window_->statusBar()->findChildren<QLabel*>().at(i)->text(); }
  QToolButton* NavigatorButton(TDBNavigator::Button b) {
    return window_->findChild<TDBNavigator*>("DBNavigator1")->button(b);
  }

  std::unique_ptr<TMainWindow> window_;
  int scrolls_ = 0;
};

TEST_F(GridView, AMillionRowTableOpensAndJumpsToItsLastRowReadingOnlyWhatIsShown) {
  MakeNumberedTable(dir_.path(), "big", 1000000);
  OpenTable("big");
  ASSERT_TRUE(Table().Active());
  EXPECT_EQ(Grid()->model()->rowCount(), 1000000);
  EXPECT_EQ(Grid()->model()->columnCount(), 2);
  EXPECT_EQ(Grid()->currentIndex().row(), 0);
  EXPECT_LE(window_->GridModel()->Rows().RowsRead(), 256);

  NavigatorButton(TDBNavigator::Last)->click();
  QApplication::processEvents();
  EXPECT_EQ(Table().RecNo(), 1000000);
  EXPECT_EQ(Grid()->currentIndex().row(), 999999);
  EXPECT_EQ(Grid()->model()->data(Grid()->model()->index(999999, 1)).toString(), "row 1000000");
  Grid()->grab();
  EXPECT_LE(window_->GridModel()->Rows().RowsRead(), 2 * 256);
  EXPECT_EQ(Panel(2), "Rekord # 1000000 / 1000000");
}

TEST_F(GridView, PaintingRowsNeverMovesTheCursor) {
  MakeNumberedTable(dir_.path(), "t", 5000);
  OpenTable("t");
  ASSERT_EQ(Table().RecNo(), 1);
  const int scrolls = scrolls_;
  for (int value : {2500, 4990, 0}) {
    Grid()->verticalScrollBar()->setValue(value);
    Grid()->grab();
    QApplication::processEvents();
  }
  EXPECT_EQ(Table().RecNo(), 1);
  EXPECT_EQ(scrolls_, scrolls);
  EXPECT_GT(window_->GridModel()->Rows().RowsRead(), 0);
  EXPECT_EQ(Grid()->currentIndex().row(), 0);
}

TEST_F(GridView, TheSelectedRowAndTheCursorFollowEachOther) {
  MakeNumberedTable(dir_.path(), "t", 300);
  OpenTable("t");
  QAbstractItemModel* model = Grid()->model();
  Grid()->selectionModel()->setCurrentIndex(model->index(120, 0),
                                            QItemSelectionModel::ClearAndSelect);
  EXPECT_EQ(Table().RecNo(), 121);
  EXPECT_EQ(Panel(2), "Rekord #    121 /    300");

  NavigatorButton(TDBNavigator::Next)->click();
  EXPECT_EQ(Table().RecNo(), 122);
  EXPECT_EQ(Grid()->currentIndex().row(), 121);
  NavigatorButton(TDBNavigator::First)->click();
  EXPECT_EQ(Grid()->currentIndex().row(), 0);
  EXPECT_FALSE(NavigatorButton(TDBNavigator::Prior)->isEnabled());
  EXPECT_TRUE(NavigatorButton(TDBNavigator::Last)->isEnabled());
}

TEST_F(GridView, DeletingThroughTheNavigatorResetsTheRowsAndTheCaption) {
  MakeNumberedTable(dir_.path(), "t", 3);
  OpenTable("t");
  window_->SetNavigatorEditing(true);
  NavigatorButton(TDBNavigator::Delete)->click();
  EXPECT_EQ(Grid()->model()->rowCount(), 2);
  EXPECT_EQ(Grid()->model()->data(Grid()->model()->index(0, 0)).toString(), "2");
  EXPECT_EQ(window_->findChild<QWidget*>("gbRes")->property("title").toString(),
            QString::fromUtf8(" A(z) 't' tábla rekordjainak száma: 2 "));
}

TEST_F(GridView, CellEditsPostWhenAnotherRowIsEdited) {
  MakeNumberedTable(dir_.path(), "t", 10);
  OpenTable("t");
  QAbstractItemModel* model = Grid()->model();
  EXPECT_FALSE(model->flags(model->index(2, 1)) & Qt::ItemIsEditable);
  window_->SetNavigatorEditing(true);
  ASSERT_TRUE(model->flags(model->index(2, 1)) & Qt::ItemIsEditable);

  EXPECT_TRUE(model->setData(model->index(2, 1), QString::fromUtf8("három")));
  EXPECT_EQ(Table().State(), kivo::dsEdit);
  EXPECT_EQ(Grid()->currentIndex().row(), 2);
  EXPECT_TRUE(NavigatorButton(TDBNavigator::Post)->isEnabled());
  // Editing another row posts the first edit on the way.
  EXPECT_TRUE(model->setData(model->index(5, 1), QString::fromUtf8("hat")));
  EXPECT_EQ(Table().RecNo(), 6);
  NavigatorButton(TDBNavigator::Post)->click();
  EXPECT_EQ(Table().State(), kivo::dsBrowse);
  EXPECT_EQ(model->data(model->index(2, 1)).toString(), QString::fromUtf8("három"));
  EXPECT_EQ(model->data(model->index(5, 1)).toString(), QString::fromUtf8("hat"));
  // A value the field refuses is reported and the row keeps its old text.
  QString reported;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      reported = box->text();
      box->accept();
    }
  });
  closer.start(10);
  EXPECT_FALSE(model->setData(model->index(7, 0), QString::fromUtf8("nyolc")));
  closer.stop();
  EXPECT_FALSE(reported.isEmpty());
  NavigatorButton(TDBNavigator::Cancel)->click();
  EXPECT_EQ(model->data(model->index(7, 0)).toString(), "8");
}

TEST_F(GridView, ClosingTheDatabaseUnderAnOpenGridLeavesItEmpty) {
  MakeNumberedTable(dir_.path(), "t", 1000);
  OpenTable("t");
  Grid()->verticalScrollBar()->setValue(500);
  Grid()->grab();
  window_->Controller().Close1Click();
  QApplication::processEvents();
  EXPECT_FALSE(Table().Active());
  EXPECT_EQ(Grid()->model()->rowCount(), 0);
  Grid()->grab();
  for (int i = 0; i < TDBNavigator::Count; ++i)
    EXPECT_FALSE(NavigatorButton(static_cast<TDBNavigator::Button>(i))->isEnabled());
  window_.reset();
}

}  // namespace
}  // namespace kartova::testing
