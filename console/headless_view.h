// A view without a window, for unattended command-line runs: messages go to
// standard error, the input box and the file dialogs are cancelled, and the
// other elements only keep their state.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "console/main_view.h"

namespace kartova {

class THeadlessView : public TMainView {
 public:
  explicit THeadlessView(std::ostream& messages) : messages_(messages) {}

  void SetCaption(const std::string& title) override { caption_ = title; }
  void ShowError(const std::string& message) override { messages_ << message << '\n'; }
  void ShowInformation(const std::string& message) override { messages_ << message << '\n'; }
  void ShowDefaultError(const std::string& message) override { messages_ << message << '\n'; }
  bool InputQuery(const std::string&, const std::string&, std::string&, bool) override {
    return false;
  }
  std::optional<TFileDialogResult> OpenFileDialog(const TFileDialogRequest&) override { return {}; }
  std::optional<TFileDialogResult> SaveFileDialog(const TFileDialogRequest&) override { return {}; }
  void SetTableList(const std::vector<std::string>& names) override { tables_ = names; }
  int SelectedTableIndex() const override { return -1; }
  void SetTablesCaption(const std::string&) override {}
  void SetResultCaption(const std::string&) override {}
  void SetStatusText(TStatusPanel, const std::string&) override {}
  void SetCloseDatabaseEnabled(bool) override {}
  void SetOpenTableEnabled(bool) override {}
  void SetCloseTableEnabled(bool) override {}
  void SetReopenItems(const std::vector<TReopenItem>&) override {}
  void SetReopenEnabled(bool) override {}
  void SetNavigatorEditing(bool) override {}
  std::string EditorText() const override { return editor_; }
  void SetEditorText(const std::string& text) override { editor_ = text; }
  void CloseWindow() override {}

  const std::string& Caption() const { return caption_; }
  const std::vector<std::string>& Tables() const { return tables_; }

 private:
  std::ostream& messages_;
  std::string caption_;
  std::vector<std::string> tables_;
  std::string editor_;
};

}  // namespace kartova
