// A TMainView for controller tests: it records every call in order, keeps
// the state a window would show, and answers the input box and the file
// dialogs from queues the test fills (an empty queue answers "cancelled").
#pragma once

#include <array>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "console/main_view.h"

namespace kartova::testing {

class TRecordingView : public TMainView {
 public:
  void SetCaption(const std::string& title) override {
    caption = title;
    Log("SetCaption " + title);
  }
  void ShowError(const std::string& message) override {
    errors.push_back(message);
    Log("ShowError " + message);
  }
  void ShowInformation(const std::string& message) override {
    informations.push_back(message);
    Log("ShowInformation " + message);
  }
  void ShowDefaultError(const std::string& message) override {
    default_errors.push_back(message);
    Log("ShowDefaultError " + message);
  }
  bool InputQuery(const std::string& title, const std::string& prompt, std::string& value,
                  bool masked) override {
    input_requests.push_back({title, prompt, value, masked});
    Log("InputQuery " + title);
    if (input_answers.empty()) return false;
    std::optional<std::string> answer = input_answers.front();
    input_answers.pop_front();
    if (!answer) return false;
    value = *answer;
    return true;
  }
  std::optional<TFileDialogResult> OpenFileDialog(const TFileDialogRequest& request) override {
    open_requests.push_back(request);
    Log("OpenFileDialog");
    return Answer(open_answers);
  }
  std::optional<TFileDialogResult> SaveFileDialog(const TFileDialogRequest& request) override {
    save_requests.push_back(request);
    Log("SaveFileDialog");
    return Answer(save_answers);
  }
  void SetTableList(const std::vector<std::string>& names) override {
    tables = names;
    selected = -1;
    Log("SetTableList " + std::to_string(names.size()));
  }
  int SelectedTableIndex() const override { return selected; }
  void SetTablesCaption(const std::string& text) override {
    tables_caption = text;
    Log("SetTablesCaption " + text);
  }
  void SetResultCaption(const std::string& text) override {
    result_caption = text;
    Log("SetResultCaption " + text);
  }
  void SetStatusText(TStatusPanel panel, const std::string& text) override {
    status[static_cast<std::size_t>(panel)] = text;
    Log("SetStatusText " + std::to_string(static_cast<int>(panel)) + " " + text);
  }
  void SetCloseDatabaseEnabled(bool enabled) override {
    close_enabled = enabled;
    Log(std::string("SetCloseDatabaseEnabled ") + (enabled ? "1" : "0"));
  }
  void SetOpenTableEnabled(bool enabled) override {
    open_table_enabled = enabled;
    Log(std::string("SetOpenTableEnabled ") + (enabled ? "1" : "0"));
  }
  void SetCloseTableEnabled(bool enabled) override {
    close_table_enabled = enabled;
    Log(std::string("SetCloseTableEnabled ") + (enabled ? "1" : "0"));
  }
  void SetReopenItems(const std::vector<TReopenItem>& items) override {
    reopen_items = items;
    Log("SetReopenItems " + std::to_string(items.size()));
  }
  void SetReopenEnabled(bool enabled) override {
    reopen_enabled = enabled;
    Log(std::string("SetReopenEnabled ") + (enabled ? "1" : "0"));
  }
  void SetNavigatorEditing(bool allButtons) override {
    navigator_all = allButtons;
    Log(std::string("SetNavigatorEditing ") + (allButtons ? "1" : "0"));
  }
  std::string EditorText() const override { return editor; }
  void SetEditorText(const std::string& text) override {
    editor = text;
    Log("SetEditorText");
  }
  void CloseWindow() override {
    closed = true;
    Log("CloseWindow");
  }

  // Index in `log` of the first entry starting with `prefix`; -1 if none.
  int FirstIndexOf(const std::string& prefix) const {
    for (std::size_t i = 0; i < log.size(); ++i) {
      if (log[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    }
    return -1;
  }
  int LastIndexOf(const std::string& prefix) const {
    for (std::size_t i = log.size(); i-- > 0;) {
      if (log[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    }
    return -1;
  }

  struct InputRequest {
    std::string title, prompt, prefilled;
    bool masked = false;
  };

  std::vector<std::string> log;
  std::string caption;
  std::vector<std::string> errors, informations, default_errors;
  std::vector<InputRequest> input_requests;
  std::deque<std::optional<std::string>> input_answers;
  std::vector<TFileDialogRequest> open_requests, save_requests;
  std::deque<std::optional<TFileDialogResult>> open_answers, save_answers;
  std::vector<std::string> tables;
  int selected = -1;
  std::string tables_caption, result_caption;
  std::array<std::string, 4> status;
  bool close_enabled = false, open_table_enabled = false, close_table_enabled = false;
  std::vector<TReopenItem> reopen_items;
  bool reopen_enabled = false;
  std::optional<bool> navigator_all;
  std::string editor;
  bool closed = false;

 private:
  void Log(const std::string& entry) { log.push_back(entry); }
  static std::optional<TFileDialogResult> Answer(std::deque<std::optional<TFileDialogResult>>& q) {
    if (q.empty()) return std::nullopt;
    std::optional<TFileDialogResult> a = q.front();
    q.pop_front();
    return a;
  }
};

}  // namespace kartova::testing
