// The main window's client area (table list, grid with navigator and
// buttons, SQL editor) and its status bar.
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTextBlock>
#include <QVBoxLayout>

#include "console/ui/db_navigator.h"
#include "console/ui/main_window.h"

namespace kartova {

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, const char* hint) {
  auto* b = new QPushButton(U(caption), parent);
  b->setObjectName(name);
  b->setToolTip(U(hint));
  b->setStatusTip(U(hint));
  return b;
}

}  // namespace

void TMainWindow::BuildCentralArea() {
  auto* split = new QSplitter(Qt::Horizontal, this);
  split->setObjectName("Splitter1");

  // Left: the tables of the database.
  gb_tables_ = new QGroupBox(U(" Elérhető táblák: 0 "), split);
  gb_tables_->setObjectName("gbTables");
  auto* tables_layout = new QVBoxLayout(gb_tables_);
  lb_tables_ = new QListWidget(gb_tables_);
  lb_tables_->setObjectName("lbTables");
  lb_tables_->setToolTip(U("Elérhető táblák"));
  lb_tables_->setStatusTip(U("Elérhető táblák"));
  // The controller hands the names over in the list's sort order.
  lb_tables_->setSortingEnabled(false);
  tables_layout->addWidget(lb_tables_);
  connect(lb_tables_, &QListWidget::itemDoubleClicked, this,
          [this] { Run([this] { controller_->OpenSelectedTable(); }); });

  // Right: the result area above the SQL editor.
  auto* right = new QSplitter(Qt::Vertical, split);
  right->setObjectName("Splitter2");

  gb_res_ = new QGroupBox(U(" Összes rekord: 0 "), right);
  gb_res_->setObjectName("gbRes");
  auto* res_layout = new QVBoxLayout(gb_res_);
  grid_ = new QTableView(gb_res_);
  grid_->setObjectName("DBGrid1");
  res_layout->addWidget(grid_, 1);

  auto* row = new QHBoxLayout();
  navigator_ = new TDBNavigator(gb_res_);
  row->addWidget(navigator_);
  row->addStretch(1);
  bn_open_table_ = MakeButton(gb_res_, "bnOpenTable", "Tábla megnyitása", "Tábla megnyitása");
  bn_open_table_->setEnabled(false);
  bn_close_table_ = MakeButton(gb_res_, "bnCloseTable", "Tábla bezárása", "Tábla bezárása");
  bn_close_table_->setEnabled(false);
  bn_open_sql_ = MakeButton(gb_res_, "bnOpenSQL", "SQL lekérdezés", "SQL lekérdezés");
  bn_run_sql_ = MakeButton(gb_res_, "bnRunSQL", "SQL", "SQL parancs futtatása");
  for (QPushButton* b : {bn_open_table_, bn_close_table_, bn_open_sql_, bn_run_sql_})
    row->addWidget(b);
  res_layout->addLayout(row);

  connect(bn_open_table_, &QPushButton::clicked, this,
          [this] { Run([this] { controller_->OpenSelectedTable(); }); });
  connect(bn_close_table_, &QPushButton::clicked, this,
          [this] { Run([this] { controller_->bnCloseTableClick(); }); });
  connect(bn_open_sql_, &QPushButton::clicked, this,
          [this] { Run([this] { controller_->RzBitBtn2Click(); }); });
  connect(bn_run_sql_, &QPushButton::clicked, this,
          [this] { Run([this] { controller_->bnRunSQLClick(); }); });

  re_sql_ = new QPlainTextEdit(right);
  re_sql_->setObjectName("reSQL");
  re_sql_->setLineWrapMode(QPlainTextEdit::NoWrap);
  re_sql_->setTabChangesFocus(false);
  QFont mono(U("DejaVu Sans Mono"));
  mono.setStyleHint(QFont::Monospace);
  re_sql_->setFont(mono);
  connect(re_sql_, &QPlainTextEdit::cursorPositionChanged, this, [this] {
    const QTextCursor cursor = re_sql_->textCursor();
    const int line = cursor.blockNumber();
    const int column = cursor.positionInBlock();
    Run([this, line, column] { controller_->reSQLSelectionChange(line, column); });
  });

  right->addWidget(gb_res_);
  right->addWidget(re_sql_);
  right->setStretchFactor(0, 3);
  right->setStretchFactor(1, 2);
  split->addWidget(gb_tables_);
  split->addWidget(right);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 4);
  split->setSizes({200, 700});
  setCentralWidget(split);
}

void TMainWindow::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName("StatusBar1");
  bar->setSizeGripEnabled(false);
  static constexpr int kWidths[4] = {205, 100, 150, 250};
  for (int i = 0; i < 4; ++i) {
    auto* panel = new QLabel(bar);
    panel->setObjectName(QString("StatusPanel%1").arg(i));
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setFixedWidth(kWidths[i]);
    bar->addWidget(panel);
    panels_[static_cast<std::size_t>(i)] = panel;
  }
}

}  // namespace kartova
