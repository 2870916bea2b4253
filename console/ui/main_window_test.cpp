// The Qt main window under the offscreen platform: its elements, captions,
// hints and shortcuts, the status bar, the navigator setting, and the table
// list of a directory database.
#include "console/ui/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTableView>
#include <QTextBlock>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include "console/ui/db_navigator.h"
#include "console/ui/file_dialogs.h"
#include "console/ui/window_test_util.h"

namespace kartova::testing {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

class MainWindow : public WindowTest {
 protected:
  TMainWindow& Open(std::vector<std::string> params) {
    window_ = std::make_unique<TMainWindow>(std::move(params), Environment());
    window_->Start();
    return *window_;
  }

  template <typename T>
  T* Find(const char* name) {
    T* found = window_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  int VisibleNavigatorButtons() {
    int count = 0;
    auto* nav = Find<TDBNavigator>("DBNavigator1");
    for (QToolButton* b : nav->findChildren<QToolButton*>()) count += b->isVisibleTo(nav) ? 1 : 0;
    return count;
  }

  std::unique_ptr<TMainWindow> window_;
};

TEST_F(MainWindow, MenusHoldTheirEntriesWithCaptionsAndShortcuts) {
  Open({""});
  EXPECT_EQ(window_->windowTitle(), U("Kartova 3.5 DBMC - Adatbázis: ''"));

  QList<QAction*> top = window_->menuBar()->actions();
  QStringList titles;
  for (QAction* a : top) titles << a->text();
  EXPECT_EQ(titles, (QStringList{"&File", "&Database", "&Table", "&Query", "&Help"}));

  struct Entry {
    const char* name;
    const char* caption;
    QKeySequence keys;
  };
  const Entry entries[] = {
      {"LoadSQLscript1", "&Open", QKeySequence(Qt::CTRL | Qt::Key_O)},
      {"Save1", "&Save", QKeySequence(Qt::CTRL | Qt::Key_S)},
      {"Exit1", "E&xit", QKeySequence(Qt::CTRL | Qt::Key_Q)},
      {"New1", "&New", QKeySequence(Qt::CTRL | Qt::Key_N)},
      {"Open1", "&Open", QKeySequence(Qt::CTRL | Qt::Key_D)},
      {"Close1", "&Close", QKeySequence(Qt::CTRL | Qt::Key_W)},
      {"OpenTable1", "&Open table", QKeySequence()},
      {"CloseTable1", "&Close table", QKeySequence()},
      {"Run1", "&Run", QKeySequence()},
      {"OpenSQL1", "&Open", QKeySequence()},
      {"About1", "&About...", QKeySequence()},
  };
  for (const Entry& e : entries) {
    QAction* a = Find<QAction>(e.name);
    if (a == nullptr) continue;
    EXPECT_EQ(a->text(), U(e.caption)) << e.name;
    EXPECT_EQ(a->shortcut(), e.keys) << e.name;
  }

  // Database: New, Reopen, Open, then Close.
  QMenu* database = Find<QMenu>("Database1");
  QStringList order;
  for (QAction* a : database->actions()) {
    if (!a->isSeparator()) order << a->text();
  }
  EXPECT_EQ(order, (QStringList{"&New", "&Reopen", "&Open", "&Close"}));
  EXPECT_EQ(Find<QMenu>("ReopenDatabaseItem")->title(), "&Reopen");
}

TEST_F(MainWindow, ToolbarButtonsCarryTheirHints) {
  Open({""});
  struct Entry {
    const char* name;
    const char* caption;
    const char* hint;
  };
  const Entry entries[] = {
      {"DB_new", "Új", "Új adatbázis létrehozása"},
      {"DB_open", "Nyit", "Adatbázis beolvasása"},
      {"DB_close", "Zár", "Adatbázis bezárása"},
      {"VEGE", "", "Kilépés"},
  };
  auto* bar = Find<QToolBar>("ToolBar1");
  for (const Entry& e : entries) {
    QAction* a = Find<QAction>(e.name);
    if (a == nullptr) continue;
    EXPECT_EQ(a->text(), U(e.caption)) << e.name;
    EXPECT_EQ(a->toolTip(), U(e.hint)) << e.name;
    EXPECT_EQ(a->statusTip(), U(e.hint)) << e.name;
    EXPECT_TRUE(bar->actions().contains(a)) << e.name;
  }
}

TEST_F(MainWindow, ControlsCarryTheirCaptionsAndHints) {
  Open({""});
  struct Entry {
    const char* name;
    const char* caption;
    const char* hint;
  };
  const Entry buttons[] = {
      {"bnOpenSQL", "SQL lekérdezés", "SQL lekérdezés"},
      {"bnRunSQL", "SQL", "SQL parancs futtatása"},
      {"bnOpenTable", "Tábla megnyitása", "Tábla megnyitása"},
      {"bnCloseTable", "Tábla bezárása", "Tábla bezárása"},
  };
  for (const Entry& e : buttons) {
    auto* b = Find<QPushButton>(e.name);
    if (b == nullptr) continue;
    EXPECT_EQ(b->text(), U(e.caption)) << e.name;
    EXPECT_EQ(b->toolTip(), U(e.hint)) << e.name;
  }
  EXPECT_EQ(Find<QListWidget>("lbTables")->toolTip(), U("Elérhető táblák"));

  auto* editor = Find<QPlainTextEdit>("reSQL");
  EXPECT_EQ(editor->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_FALSE(editor->tabChangesFocus());

  auto* grid = Find<QTableView>("DBGrid1");
  // No table is open yet: the grid's model shows nothing.
  ASSERT_NE(grid->model(), nullptr);
  EXPECT_EQ(grid->model()->rowCount(), 0);
  EXPECT_EQ(grid->model()->columnCount(), 0);
  EXPECT_EQ(Find<QGroupBox>("gbRes")->title(), U(" Összes rekord: 0 "));

  EXPECT_EQ(Find<QAction>("SQL_open")->text(), U("SQL parancs beolvasása"));
  EXPECT_EQ(Find<QAction>("SQL_save")->text(), U("SQL parancs mentése"));
  EXPECT_EQ(Find<QAction>("blaCSV1")->text(), U("CSV Export"));
  EXPECT_EQ(Find<QMenu>("pmSQL")->actions().size(), 2);
  EXPECT_EQ(Find<QMenu>("pmGrid")->actions().size(), 1);
}

TEST_F(MainWindow, NavigatorButtonsCarryTheirHints) {
  Open({""});
  auto* nav = Find<TDBNavigator>("DBNavigator1");
  const char* hints[] = {"Első rekord", "Előző rekord", "Következő rekord", "Utolsó rekord",
                         "Új adat",     "Törlés",       "Javítás",          "OK",
                         "Elvet",       "Frissítés"};
  for (int i = 0; i < TDBNavigator::Count; ++i) {
    EXPECT_EQ(nav->button(static_cast<TDBNavigator::Button>(i))->toolTip(), U(hints[i])) << i;
  }
}

TEST_F(MainWindow, StatusBarHasFourPanelsAndShowsHintsInTheFirst) {
  Open({""});
  const int widths[] = {205, 100, 150, 250};
  for (int i = 0; i < 4; ++i) {
    auto* panel = Find<QLabel>(QString("StatusPanel%1").arg(i).toLatin1().constData());
    if (panel == nullptr) continue;
    EXPECT_EQ(panel->width(), widths[i]) << i;
  }
  QStatusTipEvent tip(U("Adatbázis beolvasása"));
  QApplication::sendEvent(window_.get(), &tip);
  EXPECT_EQ(Find<QLabel>("StatusPanel0")->text(), U("Adatbázis beolvasása"));
}

TEST_F(MainWindow, CaretPositionGoesToTheSecondPanel) {
  Open({""});
  auto* editor = Find<QPlainTextEdit>("reSQL");
  editor->setPlainText("SELECT *\nFROM tabla");
  QTextCursor cursor(editor->document()->findBlockByNumber(1));
  cursor.movePosition(QTextCursor::EndOfBlock);
  editor->setTextCursor(cursor);
  EXPECT_EQ(Find<QLabel>("StatusPanel1")->text(), QString("      2:     11"));
}

TEST_F(MainWindow, NavigatorShowsFourButtonsByDefault) {
  Open({""});
  EXPECT_EQ(VisibleNavigatorButtons(), 4);
}

TEST_F(MainWindow, NavigatorShowsTenButtonsWhenTheSettingsAllowEditing) {
  kivo::testing::WriteFileBytes(dir_.file("program/krtcon.ini"), "[navigator]\r\njavit=1\r\n");
  Open({""});
  EXPECT_EQ(VisibleNavigatorButtons(), 10);
}

TEST_F(MainWindow, TableListFillsFromADirectoryDatabase) {
  MakeTables(dir_.path(), {"vevok", "Arak", "cikk"});
  Open({""});
  auto* list = Find<QListWidget>("lbTables");
  QStringList names;
  for (int i = 0; i < list->count(); ++i) names << list->item(i)->text();
  EXPECT_EQ(names, (QStringList{"Arak", "cikk", "vevok"}));
  EXPECT_EQ(Find<QGroupBox>("gbTables")->title(), U(" Elérhető táblák: 3 "));
  EXPECT_TRUE(Find<QAction>("Close1")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("bnOpenTable")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("bnCloseTable")->isEnabled());

  Find<QAction>("Close1")->trigger();
  EXPECT_EQ(list->count(), 0);
  EXPECT_EQ(Find<QGroupBox>("gbTables")->title(), U(" Elérhető táblák: 0 "));
  EXPECT_EQ(window_->windowTitle(), U("Kartova 3.5 DBMC"));
  EXPECT_FALSE(Find<QAction>("Close1")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("bnOpenTable")->isEnabled());
}

TEST_F(MainWindow, ReopenMenuShowsAmpersandsLiterallyAndReopensThatPath) {
  const std::string odd = dir_.file("R&D.kvb");
  Open({odd});
  QMenu* reopen = Find<QMenu>("ReopenDatabaseItem");
  EXPECT_TRUE(reopen->menuAction()->isEnabled());
  ASSERT_EQ(reopen->actions().size(), 1);
  QAction* item = reopen->actions().first();
  EXPECT_EQ(item->text(), QString::fromStdString("0 " + dir_.file("R&&D.kvb")));
  EXPECT_TRUE(item->isChecked());

  window_->Controller().SelectDatabaseFile(dir_.file("other.kvb"));
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_EQ(reopen->actions().size(), 2);
  reopen->actions().at(1)->trigger();
  EXPECT_EQ(window_->Controller().CurrentDB().DatabaseFileName(), odd);
}

// The password box shows dots, never the password; other input shows text.
TEST_F(MainWindow, ThePasswordBoxIsMasked) {
  Open({""});
  for (const bool masked : {true, false}) {
    QLineEdit::EchoMode seen = QLineEdit::NoEcho;
    QString shown;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
      auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      seen = box->textEchoMode();
      shown = box->textValue();
      box->setTextValue(QString::fromUtf8("jelszó"));
      box->accept();
    });
    answerer.start(10);
    std::string value = "elozo";
    const bool answered = window_->InputQuery("titkos.kvb", "Kérem a jelszót: ", value, masked);
    answerer.stop();
    ASSERT_TRUE(answered);
    EXPECT_EQ(seen, masked ? QLineEdit::Password : QLineEdit::Normal);
    EXPECT_EQ(shown, U("elozo"));  // pre-filled as asked
    EXPECT_EQ(value, "jelszó");
  }
}

TEST(FileDialogFilters, PipeFiltersBecomeNameFilters) {
  EXPECT_EQ(NameFiltersFromPipeFilter("Kartova DB(*.kvb)|*.kvb|(*.*)|*.*"),
            (QStringList{"Kartova DB(*.kvb) (*.kvb)", "(*.*) (*.*)"}));
  EXPECT_EQ(NameFiltersFromPipeFilter(U("SQL parancs (*.sql)|*.sql|Szöveges (*.txt)|*.txt|"
                                        "KA koordináta állomány|*.pyx|(*.*)|*.*"))
                .size(),
            4);
  EXPECT_EQ(NameFiltersFromPipeFilter("Both|*.a;*.b|Dangling"), (QStringList{"Both (*.a *.b)"}));
  EXPECT_TRUE(NameFiltersFromPipeFilter("").isEmpty());
}

}  // namespace
}  // namespace kartova::testing
