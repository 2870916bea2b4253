#include "console/ui/grid_model.h"

#include <QItemSelectionModel>
#include <QTableView>
#include <algorithm>

namespace kartova {

TGridModel::TGridModel(kivo::TDataSource& source, TRunner run, QObject* parent)
    : QAbstractTableModel(parent), run_(std::move(run)) {
  rows_.OnBeginReset = [this] { beginResetModel(); };
  rows_.OnEndReset = [this] { endResetModel(); };
  rows_.OnRowChanged = [this](int row) {
    if (columnCount() > 0) emit dataChanged(index(row, 0), index(row, columnCount() - 1));
  };
  rows_.OnCurrentRowChanged = [this](int row) { ShowCurrentRow(row); };
  rows_.SetDataSource(&source);
}

TGridModel::~TGridModel() { Detach(); }

void TGridModel::Attach(QTableView* view) {
  view_ = view;
  view->setModel(this);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current) {
            if (!following_cursor_ && current.isValid()) ViewRowChanged(current.row());
          });
  ShowCurrentRow(rows_.CurrentRow());
}

void TGridModel::ShowCurrentRow(int row) {
  if (!view_ || !view_->selectionModel()) return;
  following_cursor_ = true;
  if (row < 0 || row >= rows_.RowCount()) {
    view_->selectionModel()->clear();
  } else {
    const int column = std::max(0, view_->currentIndex().column());
    const QModelIndex at = index(row, std::min(column, std::max(0, columnCount() - 1)));
    view_->selectionModel()->setCurrentIndex(
        at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view_->scrollTo(at);
  }
  following_cursor_ = false;
}

void TGridModel::ViewRowChanged(int row) {
  run_([this, row] { rows_.MoveToRow(row); });
  // A move that failed (a pending edit that cannot be posted) leaves the
  // cursor where it was: the view goes back there.
  if (rows_.CurrentRow() != row) ShowCurrentRow(rows_.CurrentRow());
}

int TGridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_.RowCount();
}

int TGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rows_.ColumnCount();
}

QVariant TGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole)) return {};
  // Nothing may escape into the toolkit's painting.
  try {
    return QString::fromStdString(rows_.CellText(index.row(), index.column()));
  } catch (...) {
    return {};
  }
}

QVariant TGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return section + 1;
  return QString::fromStdString(rows_.ColumnTitle(section));
}

Qt::ItemFlags TGridModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && rows_.CellEditable(index.column())) f |= Qt::ItemIsEditable;
  return f;
}

bool TGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::EditRole) return false;
  bool done = false;
  run_([&] {
    rows_.SetCellText(index.row(), index.column(), value.toString().toStdString());
    done = true;
  });
  return done;
}

}  // namespace kartova
