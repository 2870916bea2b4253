// The main window as the console controller sees it: an abstract view that
// the Qt window implements, and that tests replace with a recording view.
//
// Every text crossing this interface is UTF-8. File paths are passed as the
// operating system gives them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kartova {

// One request for a file dialog.
struct TFileDialogRequest {
  // Pairs of description and pattern joined by "|": "Name|*.ext|All|*.*".
  std::string filter;
  // Appended to a name typed without extension, e.g. ".kvb".
  std::string default_extension;
  // Folder the dialog starts in; empty means the folder of `file_name`.
  std::string initial_directory;
  // The name the dialog offers first (may be a full path or empty).
  std::string file_name;
  // The filter selected first, counted from 1.
  int filter_index = 1;
};

// What a confirmed file dialog gives back.
struct TFileDialogResult {
  std::string path;
  // The filter selected when the dialog was confirmed, counted from 1.
  int filter_index = 1;
};

// One sub-item of Database › Reopen.
struct TReopenItem {
  // The caption as the controller builds it: a digit, a blank and the path.
  // The view shows it literally (an "&" in it is no accelerator mark).
  std::string caption;
  bool checked = false;
};

// The status bar's panels.
enum class TStatusPanel { kHint = 0, kCaret = 1, kRecord = 2, kSpare = 3 };

class TMainView {
 public:
  virtual ~TMainView() = default;

  virtual void SetCaption(const std::string& title) = 0;

  // Modal message boxes with one OK button.
  virtual void ShowError(const std::string& message) = 0;
  virtual void ShowInformation(const std::string& message) = 0;
  // The window's report of an error that no operation handled itself.
  virtual void ShowDefaultError(const std::string& message) = 0;

  // The one-line input box. `value` comes in pre-filled and goes out with the
  // typed text; false when the user cancelled. `masked` (a password) shows
  // what is typed as dots.
  virtual bool InputQuery(const std::string& title, const std::string& prompt, std::string& value,
                          bool masked) = 0;

  virtual std::optional<TFileDialogResult> OpenFileDialog(const TFileDialogRequest& request) = 0;
  virtual std::optional<TFileDialogResult> SaveFileDialog(const TFileDialogRequest& request) = 0;

  // lbTables: the entries in the order given (already sorted); the selection
  // is cleared. SelectedTableIndex is -1 when nothing is selected.
  virtual void SetTableList(const std::vector<std::string>& names) = 0;
  virtual int SelectedTableIndex() const = 0;

  // Captions of the group boxes gbTables and gbRes.
  virtual void SetTablesCaption(const std::string& caption) = 0;
  virtual void SetResultCaption(const std::string& caption) = 0;

  virtual void SetStatusText(TStatusPanel panel, const std::string& text) = 0;

  // Enabled state of Database › Close, bnOpenTable and bnCloseTable.
  virtual void SetCloseDatabaseEnabled(bool enabled) = 0;
  virtual void SetOpenTableEnabled(bool enabled) = 0;
  virtual void SetCloseTableEnabled(bool enabled) = 0;

  // Database › Reopen: its sub-items (replacing the old ones) and its enabled state.
  virtual void SetReopenItems(const std::vector<TReopenItem>& items) = 0;
  virtual void SetReopenEnabled(bool enabled) = 0;

  // DBNavigator1: all ten buttons, or only first, prior, next and last.
  virtual void SetNavigatorEditing(bool allButtons) = 0;

  // reSQL's whole text, lines separated by "\n".
  virtual std::string EditorText() const = 0;
  virtual void SetEditorText(const std::string& text) = 0;

  virtual void CloseWindow() = 0;
};

}  // namespace kartova
