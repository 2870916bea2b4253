// TGridModel: the one adapter between the grid (a QTableView) and a data
// source. It shows the rows of TGridRows, which reads them by position
// without moving the cursor, and keeps the view's current row and the
// cursor together both ways.
#pragma once

#include <QAbstractTableModel>
#include <functional>

#include "console/grid_rows.h"

class QTableView;

namespace kartova {

class TGridModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // `run` runs an operation that may raise and reports its error.
  using TRunner = std::function<void(const std::function<void()>&)>;

  TGridModel(kivo::TDataSource& source, TRunner run, QObject* parent = nullptr);
  ~TGridModel() override;

  // Shows the model in `view` and ties the view's current row to the cursor.
  void Attach(QTableView* view);
  // Leaves the data source (before it goes away).
  void Detach() { rows_.SetDataSource(nullptr); }
  TGridRows& Rows() { return rows_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

 private:
  // Selects the cursor's row in the view without moving the cursor again.
  void ShowCurrentRow(int row);
  void ViewRowChanged(int row);

  // mutable: painting reads rows into the window cache.
  mutable TGridRows rows_;
  TRunner run_;
  QTableView* view_ = nullptr;
  // True while the model itself moves the view's current row.
  bool following_cursor_ = false;
};

}  // namespace kartova
