// TMainWindow: the console's main window "Kartova 3.5 DBMC" in Qt Widgets.
// It shows what the controller TfmMain tells it through TMainView and hands
// every command of its menus, toolbar and buttons to the controller.
//
// The construction is split by area: menus and toolbar in
// main_window_menus.cpp, the table list, grid, editor and status bar in
// main_window_layout.cpp.
#pragma once

#include <QMainWindow>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/main_controller.h"
#include "console/main_view.h"

class QAction;
class QGroupBox;
class QLabel;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace kartova {

class TBuildIndexDisplay;
class TDBNavigator;
class TGridModel;
class TSQLConsoleAbout;

class TMainWindow : public QMainWindow, public TMainView {
  Q_OBJECT

 public:
  // `params` are the command-line parameters without the program name.
  explicit TMainWindow(std::vector<std::string> params,
                       TConsoleEnvironment environment = TConsoleEnvironment::Default(),
                       QWidget* parent = nullptr);
  ~TMainWindow() override;

  // Runs the controller's start-up; errors go to the default error report.
  void Start();
  TfmMain& Controller() { return *controller_; }
  QTableView* Grid() const { return grid_; }
  // Selects table `name` (UTF-8) in the table list and opens it into the
  // grid; false when the list has no such table.
  bool OpenTableNamed(const std::string& name);
  TGridModel* GridModel() const { return grid_model_; }
  // The About box, made with the window and shown from Help > About.
  TSQLConsoleAbout* AboutBox() const { return about_box_; }
  // The index-build progress window's owner, the build-progress hook while
  // this window lives.
  TBuildIndexDisplay& BuildIndexDisplay() { return *build_display_; }

  // TMainView
  void SetCaption(const std::string& title) override;
  void ShowError(const std::string& message) override;
  void ShowInformation(const std::string& message) override;
  void ShowDefaultError(const std::string& message) override;
  bool InputQuery(const std::string& title, const std::string& prompt, std::string& value,
                  bool masked) override;
  std::optional<TFileDialogResult> OpenFileDialog(const TFileDialogRequest& request) override;
  std::optional<TFileDialogResult> SaveFileDialog(const TFileDialogRequest& request) override;
  void SetTableList(const std::vector<std::string>& names) override;
  int SelectedTableIndex() const override;
  void SetTablesCaption(const std::string& caption) override;
  void SetResultCaption(const std::string& caption) override;
  void SetStatusText(TStatusPanel panel, const std::string& text) override;
  void SetCloseDatabaseEnabled(bool enabled) override;
  void SetOpenTableEnabled(bool enabled) override;
  void SetCloseTableEnabled(bool enabled) override;
  void SetReopenItems(const std::vector<TReopenItem>& items) override;
  void SetReopenEnabled(bool enabled) override;
  void SetNavigatorEditing(bool allButtons) override;
  std::string EditorText() const override;
  void SetEditorText(const std::string& text) override;
  void CloseWindow() override;

 protected:
  // Hints of controls and menu items go to status panel 0.
  bool event(QEvent* e) override;

 private:
  void BuildActions();
  void BuildMenus();
  void BuildToolBar();
  void BuildCentralArea();
  void BuildStatusBar();
  void BuildPopupMenus();

  // A new action named `name` that runs `operation` through the controller.
  QAction* MakeAction(const char* name, const QString& text,
                      const std::function<void()>& operation);
  // Runs a controller operation with the default error report.
  void Run(const std::function<void()>& operation);

  std::unique_ptr<TfmMain> controller_;
  std::unique_ptr<TBuildIndexDisplay> build_display_;
  TSQLConsoleAbout* about_box_ = nullptr;

  QAction* load_script_ = nullptr;
  QAction* save_script_ = nullptr;
  QAction* exit_ = nullptr;
  QAction* new_db_ = nullptr;
  QAction* open_db_ = nullptr;
  QAction* close_db_ = nullptr;
  QAction* open_table_ = nullptr;
  QAction* close_table_ = nullptr;
  QAction* run_sql_ = nullptr;
  QAction* open_sql_ = nullptr;
  QAction* about_ = nullptr;
  QAction* tb_new_ = nullptr;
  QAction* tb_open_ = nullptr;
  QAction* tb_close_ = nullptr;
  QAction* tb_exit_ = nullptr;
  QAction* sql_open_ = nullptr;
  QAction* sql_save_ = nullptr;
  QAction* csv_export_ = nullptr;
  QMenu* reopen_menu_ = nullptr;
  QMenu* editor_popup_ = nullptr;
  QMenu* grid_popup_ = nullptr;

  QGroupBox* gb_tables_ = nullptr;
  QListWidget* lb_tables_ = nullptr;
  QGroupBox* gb_res_ = nullptr;
  QTableView* grid_ = nullptr;
  TGridModel* grid_model_ = nullptr;
  TDBNavigator* navigator_ = nullptr;
  QPushButton* bn_open_table_ = nullptr;
  QPushButton* bn_close_table_ = nullptr;
  QPushButton* bn_open_sql_ = nullptr;
  QPushButton* bn_run_sql_ = nullptr;
  QPlainTextEdit* re_sql_ = nullptr;
  std::array<QLabel*, 4> panels_{};
};

}  // namespace kartova
