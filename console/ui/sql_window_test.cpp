// The window's SQL under the offscreen platform: a query result in the
// grid, commands with their message boxes, and the grid's CSV export.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <functional>

#include "console/ui/main_window.h"
#include "console/ui/window_test_util.h"

namespace kartova::testing {
namespace {

using kivo::testing::ReadFileBytes;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// The real window, with its save dialog answered by the test: the file
// dialog's own widgets are no part of what is tested here.
class TAnsweredWindow : public TMainWindow {
 public:
  using TMainWindow::TMainWindow;
  std::optional<TFileDialogResult> SaveFileDialog(const TFileDialogRequest& request) override {
    save_requests.push_back(request);
    return save_answer;
  }
  std::optional<TFileDialogResult> save_answer;
  std::vector<TFileDialogRequest> save_requests;
};

class SqlWindow : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    window_ = std::make_unique<TAnsweredWindow>(std::vector<std::string>{""}, Environment());
    window_->Start();
    window_->resize(900, 620);
    window_->show();
  }
  // Types `sql` into the editor and clicks button `name`; every modal box
  // that opens meanwhile is answered by `answer` (by default: its text is
  // recorded and it is closed).
  void Click(const char* name, const std::string& sql,
             std::function<void(QWidget*)> answer = nullptr) {
    window_->findChild<QPlainTextEdit*>("reSQL")->setPlainText(QString::fromStdString(sql));
    WithModalAnswer(answer, [&] { window_->findChild<QPushButton*>(name)->click(); });
  }
  void WithModalAnswer(std::function<void(QWidget*)> answer, const std::function<void()>& act) {
    if (!answer) {
      answer = [this](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
          boxes_.push_back(box->icon() == QMessageBox::Critical ? "error: " + box->text()
                                                                : box->text());
          box->accept();
        } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
          // Anything else that asks would stop the test: it is refused.
          boxes_.push_back("unexpected dialog");
          dialog->reject();
        }
      };
    }
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      if (QWidget* w = QApplication::activeModalWidget()) answer(w);
    });
    closer.start(10);
    act();
    closer.stop();
  }
  QString ResultCaption() { return window_->findChild<QGroupBox*>("gbRes")->title(); }

  std::unique_ptr<TAnsweredWindow> window_;
  QStringList boxes_;
};

TEST_F(SqlWindow, QueryResultIsShownInTheGrid) {
  Click("bnRunSQL",
        "CREATE TABLE t (n INTEGER, s VARCHAR(20));\nINSERT INTO t VALUES (1, 'egy');\n"
        "INSERT INTO t VALUES (2, 'kettő');\nINSERT INTO t VALUES (3, 'három')");
  boxes_.clear();
  Click("bnOpenSQL", "SELECT s, n * 2 AS d FROM t WHERE n > 1 ORDER BY n DESC");
  EXPECT_TRUE(boxes_.isEmpty()) << boxes_.join("|").toStdString();
  QAbstractItemModel* model = window_->Grid()->model();
  ASSERT_EQ(model->rowCount(), 2);
  ASSERT_EQ(model->columnCount(), 2);
  EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "d");
  EXPECT_EQ(model->data(model->index(0, 0)).toString(), U("három"));
  EXPECT_EQ(model->data(model->index(1, 1)).toString(), "4");
  EXPECT_EQ(ResultCaption(), U(" Összes rekord: 2 "));
  EXPECT_EQ(window_->Controller().GridMode(), "Q");
}

TEST_F(SqlWindow, CommandsReportTheirOutcomeInMessageBoxes) {
  Click("bnRunSQL", "CREATE TABLE t (n INTEGER)");
  for (int i = 0; i < 4; ++i) Click("bnRunSQL", "INSERT INTO t VALUES (" + std::to_string(i) + ")");
  Click("bnRunSQL", "DELETE FROM t WHERE n < 3");
  Click("bnRunSQL", "CREATE TABLE u (x INTEGER)");
  Click("bnRunSQL", "DELETE FROM nowhere");
  ASSERT_EQ(boxes_.size(), 8);
  EXPECT_EQ(boxes_[0], U("A parancs sikeresen végrehajtva! "));
  EXPECT_EQ(boxes_[5], U("A lekérdezés befejeződött! Eredménye 3 sor"));
  EXPECT_EQ(boxes_[6], U("A lekérdezés befejeződött! Eredménye 3 sor"));
  EXPECT_TRUE(boxes_[7].startsWith(U("error: Hibás parancs - "))) << boxes_[7].toStdString();
  // A failing query is reported by the window with the error's own message.
  Click("bnOpenSQL", "SELECT * FROM nowhere");
  ASSERT_EQ(boxes_.size(), 9);
  EXPECT_TRUE(boxes_[8].startsWith("error: ")) << boxes_[8].toStdString();
  EXPECT_FALSE(boxes_[8].contains(U("Hibás parancs"))) << boxes_[8].toStdString();
}

TEST_F(SqlWindow, GridExportWritesTheFileChosenForIt) {
  Click("bnRunSQL",
        "CREATE TABLE pts (ID INTEGER, X FLOAT, Y FLOAT, name VARCHAR(20));\n"
        "INSERT INTO pts VALUES (1, 10.5, 20, 'Kiss, Anna')");
  Click("bnOpenSQL", "SELECT * FROM pts");
  boxes_.clear();
  for (int filter : {2, 3}) {
    window_->save_answer =
        TFileDialogResult{dir_.file("export" + std::to_string(filter) + ".txt"), filter};
    WithModalAnswer(nullptr, [&] { window_->findChild<QAction*>("blaCSV1")->trigger(); });
  }
  EXPECT_TRUE(boxes_.isEmpty()) << boxes_.join("|").toStdString();
  ASSERT_EQ(window_->save_requests.size(), 2u);
  EXPECT_EQ(window_->save_requests[0].filter_index, 2);
  EXPECT_EQ(ReadFileBytes(dir_.file("export2.txt")), "ID,X,Y,name,\r\n1,10.5,20,Kiss. Anna,\r\n");
  EXPECT_EQ(ReadFileBytes(dir_.file("export3.txt")), "10.5,20,Kiss. Anna,\r\n");
}

}  // namespace
}  // namespace kartova::testing
