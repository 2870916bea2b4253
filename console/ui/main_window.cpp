#include "console/ui/main_window.h"

#include <QAction>
#include <QEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusTipEvent>
#include <QTableView>

#include "console/ui/about_box.h"
#include "console/ui/build_index_form.h"
#include "console/ui/db_navigator.h"
#include "console/ui/file_dialogs.h"
#include "console/ui/grid_model.h"

namespace kartova {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

// A menu caption showing `text` literally: "&" would mark an accelerator.
QString LiteralMenuText(const std::string& text) {
  return Q(text).replace(QStringLiteral("&"), QStringLiteral("&&"));
}

}  // namespace

TMainWindow::TMainWindow(std::vector<std::string> params, TConsoleEnvironment environment,
                         QWidget* parent)
    : QMainWindow(parent) {
  setObjectName("fmMain");
  setWindowTitle(QString::fromUtf8(kMainTitle));
  resize(900, 620);
  BuildActions();
  BuildMenus();
  BuildToolBar();
  BuildCentralArea();
  BuildStatusBar();
  BuildPopupMenus();
  controller_ = std::make_unique<TfmMain>(*this, std::move(params), std::move(environment));
  const auto run = [this](const std::function<void()>& operation) { Run(operation); };
  grid_model_ = new TGridModel(controller_->ds1(), run, this);
  grid_model_->Attach(grid_);
  // Rows of one fixed height: the view then needs no per-row sizes, however
  // many rows the table has.
  grid_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  grid_->verticalHeader()->setDefaultSectionSize(grid_->fontMetrics().height() + 6);
  grid_->horizontalHeader()->setSectionsClickable(true);
  grid_->horizontalHeader()->setHighlightSections(false);
  connect(grid_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int column) {
    kivo::TField* field = grid_model_->Rows().ColumnField(column);
    if (field) Run([this, field] { controller_->DBGrid1TitleClick(field->FieldName()); });
  });
  navigator_->Bind(controller_->ds1(), run);
  build_display_ = std::make_unique<TBuildIndexDisplay>();
  about_box_ = new TSQLConsoleAbout(this);
}

TMainWindow::~TMainWindow() {
  build_display_.reset();
  // The grid and the navigator leave the data source before the controller
  // closes and frees what they show.
  grid_model_->Detach();
  navigator_->Unbind();
  controller_.reset();
}

void TMainWindow::Start() {
  Run([this] { controller_->FormCreate(); });
}

bool TMainWindow::OpenTableNamed(const std::string& name) {
  const QList<QListWidgetItem*> found = lb_tables_->findItems(Q(name), Qt::MatchExactly);
  if (found.isEmpty()) return false;
  lb_tables_->setCurrentItem(found.first());
  Run([this] { controller_->OpenSelectedTable(); });
  return true;
}

void TMainWindow::Run(const std::function<void()>& operation) {
  if (controller_) controller_->ReportErrors(operation);
}

bool TMainWindow::event(QEvent* e) {
  if (e->type() == QEvent::StatusTip) {
    panels_[0]->setText(static_cast<QStatusTipEvent*>(e)->tip());
    return true;
  }
  return QMainWindow::event(e);
}

void TMainWindow::SetCaption(const std::string& title) { setWindowTitle(Q(title)); }

void TMainWindow::ShowError(const std::string& message) {
  QMessageBox::critical(this, QString::fromUtf8(kMainTitle), Q(message));
}

void TMainWindow::ShowInformation(const std::string& message) {
  QMessageBox::information(this, QString::fromUtf8(kMainTitle), Q(message));
}

void TMainWindow::ShowDefaultError(const std::string& message) {
  QMessageBox::critical(this, QString::fromUtf8(kMainTitle), Q(message));
}

bool TMainWindow::InputQuery(const std::string& title, const std::string& prompt,
                             std::string& value, bool masked) {
  bool ok = false;
  const QString text = QInputDialog::getText(
      this, Q(title), Q(prompt), masked ? QLineEdit::Password : QLineEdit::Normal, Q(value), &ok);
  if (!ok) return false;
  value = text.toStdString();
  return true;
}

std::optional<TFileDialogResult> TMainWindow::OpenFileDialog(const TFileDialogRequest& request) {
  return RunFileDialog(this, false, request);
}

std::optional<TFileDialogResult> TMainWindow::SaveFileDialog(const TFileDialogRequest& request) {
  return RunFileDialog(this, true, request);
}

void TMainWindow::SetTableList(const std::vector<std::string>& names) {
  lb_tables_->clear();
  for (const std::string& name : names) lb_tables_->addItem(Q(name));
  lb_tables_->setCurrentRow(-1);
}

int TMainWindow::SelectedTableIndex() const {
  const QList<QListWidgetItem*> selected = lb_tables_->selectedItems();
  if (selected.isEmpty()) return -1;
  return lb_tables_->row(selected.first());
}

void TMainWindow::SetTablesCaption(const std::string& caption) { gb_tables_->setTitle(Q(caption)); }

void TMainWindow::SetResultCaption(const std::string& caption) { gb_res_->setTitle(Q(caption)); }

void TMainWindow::SetStatusText(TStatusPanel panel, const std::string& text) {
  panels_[static_cast<std::size_t>(panel)]->setText(Q(text));
}

void TMainWindow::SetCloseDatabaseEnabled(bool enabled) { close_db_->setEnabled(enabled); }

void TMainWindow::SetOpenTableEnabled(bool enabled) { bn_open_table_->setEnabled(enabled); }

void TMainWindow::SetCloseTableEnabled(bool enabled) { bn_close_table_->setEnabled(enabled); }

void TMainWindow::SetReopenItems(const std::vector<TReopenItem>& items) {
  // An item may be the one whose click led here, so the old items are
  // deleted only once control is back in the event loop.
  for (QAction* old : reopen_menu_->actions()) {
    reopen_menu_->removeAction(old);
    old->deleteLater();
  }
  for (const TReopenItem& item : items) {
    QAction* action = reopen_menu_->addAction(LiteralMenuText(item.caption));
    action->setCheckable(true);
    action->setChecked(item.checked);
    connect(action, &QAction::triggered, this, [this, action] {
      const std::string caption = action->text().toStdString();
      Run([this, caption] { controller_->ReopenDatabaseItemClick(caption); });
    });
  }
}

void TMainWindow::SetReopenEnabled(bool enabled) {
  reopen_menu_->menuAction()->setEnabled(enabled);
}

void TMainWindow::SetNavigatorEditing(bool allButtons) {
  navigator_->SetEditingButtonsVisible(allButtons);
  // Editing in the grid comes with the navigator's editing buttons.
  grid_model_->Rows().SetEditable(allButtons);
}

std::string TMainWindow::EditorText() const { return re_sql_->toPlainText().toStdString(); }

void TMainWindow::SetEditorText(const std::string& text) { re_sql_->setPlainText(Q(text)); }

void TMainWindow::CloseWindow() { close(); }

}  // namespace kartova
