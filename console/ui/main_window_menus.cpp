// The main window's actions, menu bar, toolbar and pop-up menus.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStyle>
#include <QTableView>
#include <QToolBar>

#include "console/ui/about_box.h"
#include "console/ui/main_window.h"

namespace kartova {

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

void SetHint(QAction* action, const char* hint) {
  action->setToolTip(U(hint));
  action->setStatusTip(U(hint));
}

}  // namespace

QAction* TMainWindow::MakeAction(const char* name, const QString& text,
                                 const std::function<void()>& operation) {
  auto* action = new QAction(text, this);
  action->setObjectName(name);
  if (operation) {
    connect(action, &QAction::triggered, this, [this, operation] { Run(operation); });
  }
  return action;
}

void TMainWindow::BuildActions() {
  // The controller is made after the widgets, so operations look it up
  // when they run.
  auto op = [this](void (TfmMain::*member)()) -> std::function<void()> {
    return [this, member] { (controller_.get()->*member)(); };
  };

  // File: the editor's script files.
  load_script_ = MakeAction("LoadSQLscript1", U("&Open"), op(&TfmMain::LoadSQLscript1Click));
  load_script_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  save_script_ = MakeAction("Save1", U("&Save"), op(&TfmMain::Save1Click));
  save_script_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  exit_ = MakeAction("Exit1", U("E&xit"), op(&TfmMain::Exit1Click));
  exit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

  // Database.
  new_db_ = MakeAction("New1", U("&New"), op(&TfmMain::New1Click));
  new_db_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
  open_db_ = MakeAction("Open1", U("&Open"), op(&TfmMain::Open1Click));
  open_db_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  close_db_ = MakeAction("Close1", U("&Close"), op(&TfmMain::Close1Click));
  close_db_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
  close_db_->setEnabled(false);

  // Table.
  open_table_ = MakeAction("OpenTable1", U("&Open table"), op(&TfmMain::OpenSelectedTable));
  close_table_ = MakeAction("CloseTable1", U("&Close table"), op(&TfmMain::bnCloseTableClick));

  // Query.
  run_sql_ = MakeAction("Run1", U("&Run"), op(&TfmMain::bnRunSQLClick));
  open_sql_ = MakeAction("OpenSQL1", U("&Open"), op(&TfmMain::btOpenSQLClick));

  // Help.
  about_ = MakeAction("About1", U("&About..."), nullptr);
  connect(about_, &QAction::triggered, this, [this] { about_box_->exec(); });

  // Toolbar.
  QStyle* st = style();
  tb_new_ = MakeAction("DB_new", U("Új"), op(&TfmMain::DB_newExecute));
  tb_new_->setIcon(st->standardIcon(QStyle::SP_FileIcon));
  SetHint(tb_new_, "Új adatbázis létrehozása");
  tb_open_ = MakeAction("DB_open", U("Nyit"), op(&TfmMain::DB_openExecute));
  tb_open_->setIcon(st->standardIcon(QStyle::SP_DialogOpenButton));
  SetHint(tb_open_, "Adatbázis beolvasása");
  tb_close_ = MakeAction("DB_close", U("Zár"), op(&TfmMain::DB_closeExecute));
  tb_close_->setIcon(st->standardIcon(QStyle::SP_DialogCloseButton));
  SetHint(tb_close_, "Adatbázis bezárása");
  tb_exit_ = MakeAction("VEGE", QString(), op(&TfmMain::VEGEExecute));
  tb_exit_->setIcon(st->standardIcon(QStyle::SP_BrowserStop));
  SetHint(tb_exit_, "Kilépés");

  // Pop-up menus of the editor (script files, not in the controller yet)
  // and of the grid.
  sql_open_ = MakeAction("SQL_open", U("SQL parancs beolvasása"), op(&TfmMain::SQL_openExecute));
  sql_save_ = MakeAction("SQL_save", U("SQL parancs mentése"), op(&TfmMain::SQL_saveExecute));
  csv_export_ = MakeAction("blaCSV1", U("CSV Export"), op(&TfmMain::blaCSV1Click));
}

void TMainWindow::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu1");

  QMenu* file = bar->addMenu(U("&File"));
  file->setObjectName("File1");
  file->addAction(load_script_);
  file->addAction(save_script_);
  file->addSeparator();
  file->addAction(exit_);

  QMenu* database = bar->addMenu(U("&Database"));
  database->setObjectName("Database1");
  database->addAction(new_db_);
  reopen_menu_ = database->addMenu(U("&Reopen"));
  reopen_menu_->setObjectName("ReopenDatabaseItem");
  reopen_menu_->menuAction()->setObjectName("ReopenDatabaseItemAction");
  reopen_menu_->menuAction()->setEnabled(false);
  database->addAction(open_db_);
  database->addSeparator();
  database->addAction(close_db_);

  QMenu* table = bar->addMenu(U("&Table"));
  table->setObjectName("Table1");
  table->addAction(open_table_);
  table->addAction(close_table_);

  QMenu* query = bar->addMenu(U("&Query"));
  query->setObjectName("Query1");
  query->addAction(run_sql_);
  query->addAction(open_sql_);

  QMenu* help = bar->addMenu(U("&Help"));
  help->setObjectName("Help1");
  help->addAction(about_);
}

void TMainWindow::BuildToolBar() {
  QToolBar* bar = addToolBar(U("Eszköztár"));
  bar->setObjectName("ToolBar1");
  bar->setMovable(false);
  bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  bar->addAction(tb_new_);
  bar->addAction(tb_open_);
  bar->addAction(tb_close_);
  bar->addSeparator();
  bar->addAction(tb_exit_);
}

void TMainWindow::BuildPopupMenus() {
  editor_popup_ = new QMenu(this);
  editor_popup_->setObjectName("pmSQL");
  editor_popup_->addAction(sql_open_);
  editor_popup_->addAction(sql_save_);
  re_sql_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(re_sql_, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    editor_popup_->popup(re_sql_->viewport()->mapToGlobal(pos));
  });

  grid_popup_ = new QMenu(this);
  grid_popup_->setObjectName("pmGrid");
  grid_popup_->addAction(csv_export_);
  grid_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(grid_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { grid_popup_->popup(grid_->viewport()->mapToGlobal(pos)); });
}

}  // namespace kartova
