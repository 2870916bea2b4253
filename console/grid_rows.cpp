#include "console/grid_rows.h"

#include <algorithm>
#include <exception>

#include "platform/locale.h"

namespace kartova {

using kivo::TDataSet;
using kivo::TField;

TGridRows::TGridRows(int windowRows) : window_rows_(std::max(1, windowRows)) {}

TGridRows::~TGridRows() = default;

std::string TGridRows::ColumnTitle(int column) const {
  if (column < 0 || column >= ColumnCount()) return {};
  return kivo::Cp1250ToUtf8(columns_[static_cast<std::size_t>(column)].field->DisplayName());
}

bool TGridRows::CellEditable(int column) const {
  if (!editable_ || !Active() || column < 0 || column >= ColumnCount()) return false;
  const Column& c = columns_[static_cast<std::size_t>(column)];
  return !c.blob && !c.field->ReadOnly() && !c.field->Calculated() && DataSet()->CanModify();
}

bool TGridRows::CursorRowIsLive() const {
  const TDataSet* ds = DataSet();
  return ds && (ds->State() == kivo::dsEdit || ds->State() == kivo::dsInsert);
}

std::string GridCellText(const kivo::TField& field) {
  if (!field.IsBlob()) return field.DisplayText();
  if (field.IsNull()) return {};
  const bool memo = field.DataType() == kivo::ftMemo || field.DataType() == kivo::ftFmtMemo;
  return memo ? kMemoPlaceholder : kBlobPlaceholder;
}

std::string TGridRows::FieldText(const Column& column) const {
  return kivo::Cp1250ToUtf8(GridCellText(*column.field));
}

std::string TGridRows::CellText(int row, int column) {
  if (!Active() || row < 0 || row >= row_count_ || column < 0 || column >= ColumnCount()) return {};
  const Column& c = columns_[static_cast<std::size_t>(column)];
  if (row == current_row_ && CursorRowIsLive()) return FieldText(c);
  const int at = row - window_first_;
  if (at < 0 || at >= static_cast<int>(window_.size())) {
    if (!LoadWindow(row)) return {};
  }
  const std::vector<std::string>& texts = window_[static_cast<std::size_t>(row - window_first_)];
  return texts[static_cast<std::size_t>(column)];
}

bool TGridRows::LoadWindow(int row) {
  TDataSet* ds = DataSet();
  window_.clear();
  // The rows stored in the data set; a new record's row is not among them.
  const int stored = ds->State() == kivo::dsInsert ? row_count_ - 1 : row_count_;
  if (row >= stored) return false;
  // Most reads scroll downwards; a quarter of the window stays above.
  window_first_ = std::max(0, std::min(row - window_rows_ / 4, stored - window_rows_));
  const int last = std::min(stored, window_first_ + window_rows_);
  buffer_.assign(static_cast<std::size_t>(ds->RowBufferSize()), 0);
  try {
    for (int r = window_first_; r < last; ++r) {
      if (!ds->ReadRecordAt(r + 1, buffer_.data())) break;
      ++rows_read_;
      std::vector<std::string> texts;
      texts.reserve(columns_.size());
      ds->WithRecordBuffer(buffer_.data(), [&] {
        for (const Column& c : columns_) texts.push_back(FieldText(c));
      });
      window_.push_back(std::move(texts));
    }
  } catch (const std::exception&) {
    // A row that cannot be read (a damaged file) shows empty; the cursor
    // reports the damage when it gets there.
    window_.clear();
  }
  return row - window_first_ < static_cast<int>(window_.size());
}

void TGridRows::ReadColumns() {
  columns_.clear();
  if (!Active()) return;
  kivo::TFields& fields = DataSet()->Fields();
  for (int i = 0; i < fields.Count(); ++i) {
    TField& f = fields[i];
    if (!f.Visible()) continue;
    columns_.push_back({&f, f.IsBlob()});
  }
}

void TGridRows::FollowCursor() {
  current_row_ = -1;
  TDataSet* ds = DataSet();
  if (!Active() || row_count_ == 0) return;
  if (ds->State() == kivo::dsInsert) {
    current_row_ = row_count_ - 1;
    return;
  }
  if (ds->IsEmpty()) return;
  const int recNo = ds->RecNo();
  if (recNo >= 1 && recNo <= row_count_) current_row_ = recNo - 1;
}

void TGridRows::Reset() {
  if (OnBeginReset) OnBeginReset();
  window_.clear();
  row_count_ = 0;
  current_row_ = -1;
  try {
    ReadColumns();
    if (Active()) {
      TDataSet* ds = DataSet();
      row_count_ = ds->RecordCount() + (ds->State() == kivo::dsInsert ? 1 : 0);
      FollowCursor();
    }
  } catch (const std::exception&) {
    // A data set that cannot tell its size shows no rows.
    row_count_ = 0;
    current_row_ = -1;
  }
  if (OnEndReset) OnEndReset();
  if (OnCurrentRowChanged) OnCurrentRowChanged(current_row_);
}

void TGridRows::DataSetScrolled(int distance) {
  (void)distance;
  const int before = current_row_;
  try {
    FollowCursor();
  } catch (const std::exception&) {
    current_row_ = -1;
  }
  if (current_row_ != before && OnCurrentRowChanged) OnCurrentRowChanged(current_row_);
}

// Starting or ending an edit repaints the row; starting or ending an insert
// adds or removes the new record's row.
void TGridRows::EditingChanged() {
  const int rows = Active() ? DataSet()->RecordCount() + (DataSet()->State() == kivo::dsInsert) : 0;
  if (rows != row_count_) {
    Reset();
    return;
  }
  window_.clear();
  if (current_row_ >= 0 && OnRowChanged) OnRowChanged(current_row_);
}

void TGridRows::RecordChanged(TField* field) {
  (void)field;
  if (current_row_ >= 0 && OnRowChanged) OnRowChanged(current_row_);
}

void TGridRows::MoveToRow(int row) {
  if (!Active() || row < 0 || row >= row_count_ || row == current_row_) return;
  TDataSet* ds = DataSet();
  // The extra row of a new record is reached only by inserting.
  if (ds->State() == kivo::dsInsert && row == row_count_ - 1) return;
  ds->SetRecNo(row + 1);
}

void TGridRows::SetCellText(int row, int column, const std::string& utf8) {
  if (!CellEditable(column) || row < 0 || row >= row_count_) return;
  MoveToRow(row);
  if (row != current_row_) return;
  TDataSet* ds = DataSet();
  if (ds->State() == kivo::dsBrowse) ds->Edit();
  columns_[static_cast<std::size_t>(column)].field->SetAsString(kivo::Utf8ToCp1250(utf8));
}

}  // namespace kartova
