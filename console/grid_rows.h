// TGridRows: what the grid shows of a data source, kept apart from the Qt
// model that wraps it so that it runs and is tested without a display.
//
// Rows are read by position (TDataSet::ReadRecordAt) without moving the
// cursor, so drawing rows never scrolls the data set nor fires its events.
// The texts of a window of consecutive rows are kept; any change of the data
// (post, delete, refresh, open, close, a new edit or insert) drops them. Only
// the rows asked for are read: opening a table of any size reads no more than
// one window.
//
// While the cursor edits or inserts, its row shows the record being edited.
// A new record is shown as an extra last row, where the cursor counts it.
// Memo and BLOB cells show a short placeholder and are never read here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataset/data_link.h"

namespace kartova {

inline constexpr const char* kMemoPlaceholder = "(memo)";
inline constexpr const char* kBlobPlaceholder = "(blob)";

// A field's text as the grid shows it (Windows-1250): its display text, or
// for memo and BLOB fields their placeholder (empty when null), never the
// contents. The grid export writes the same.
std::string GridCellText(const kivo::TField& field);

class TGridRows : public kivo::TDataLink {
 public:
  explicit TGridRows(int windowRows = 256);
  ~TGridRows() override;

  // Rows and columns as the grid shows them; 0 while the link is inactive.
  int RowCount() const { return row_count_; }
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  // The field shown in `column`, nullptr outside the columns.
  kivo::TField* ColumnField(int column) const {
    return column >= 0 && column < ColumnCount() ? columns_[static_cast<std::size_t>(column)].field
                                                 : nullptr;
  }
  // The column's title (the field's display name), UTF-8.
  std::string ColumnTitle(int column) const;
  // The cell's display text, UTF-8; "" outside the rows and columns or when
  // the row cannot be read.
  std::string CellText(int row, int column);
  // The row the cursor is on (0-based), -1 when there is none.
  int CurrentRow() const { return current_row_; }

  // Editing from the grid. Cells are editable when editing is switched on,
  // the data set can be changed and the column is neither a BLOB nor read
  // only. Writing a cell moves the cursor to its row first and leaves the
  // record in edit (or insert) state: moving to another row posts it.
  // Errors propagate to the caller.
  bool Editable() const { return editable_; }
  void SetEditable(bool value) { editable_ = value; }
  bool CellEditable(int column) const;
  void SetCellText(int row, int column, const std::string& utf8);
  // Moves the cursor to `row` (0-based), posting a pending edit on the way.
  void MoveToRow(int row);

  // Records read since the link was made, for checks on how much the grid
  // reads.
  std::int64_t RowsRead() const { return rows_read_; }

  // The toolkit's hooks. A reset brackets a change of rows and columns; a
  // row change repaints one row; a current-row change follows the cursor.
  std::function<void()> OnBeginReset;
  std::function<void()> OnEndReset;
  std::function<void(int row)> OnRowChanged;
  std::function<void(int row)> OnCurrentRowChanged;

 protected:
  void ActiveChanged() override { Reset(); }
  void DataSetChanged() override { Reset(); }
  void DataSetScrolled(int distance) override;
  void RecordChanged(kivo::TField* field) override;
  void EditingChanged() override;
  void LayoutChanged() override { Reset(); }

 private:
  struct Column {
    kivo::TField* field;
    bool blob;
  };
  void Reset();
  void ReadColumns();
  void FollowCursor();
  bool CursorRowIsLive() const;
  // Loads the window that holds `row`; false when the row cannot be read.
  bool LoadWindow(int row);
  std::string FieldText(const Column& column) const;

  int window_rows_;
  bool editable_ = false;
  int row_count_ = 0;
  int current_row_ = -1;
  std::vector<Column> columns_;
  // Texts of rows window_first_ .. window_first_ + window_.size() - 1, one
  // vector of column texts per row.
  int window_first_ = 0;
  std::vector<std::vector<std::string>> window_;
  std::vector<std::uint8_t> buffer_;
  std::int64_t rows_read_ = 0;
};

}  // namespace kartova
