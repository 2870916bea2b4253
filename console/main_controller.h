// TfmMain: the logic of the console's main window as operations on its
// state. It drives the window only through TMainView, so it runs the same
// behind the Qt window, behind the headless runner of unattended command-line
// runs, and behind a recording view in tests.
//
// Operations may raise; the caller reports such errors with ReportErrors
// (the window's default error report).
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "components/database.h"
#include "components/kivo_query.h"
#include "components/kivo_table.h"
#include "console/command_line.h"
#include "console/main_view.h"
#include "dataset/data_link.h"

namespace kartova {

inline constexpr const char* kMainTitle = "Kartova 3.5 DBMC";
inline constexpr const char* kDatabaseFilter = "Kartova DB(*.kvb)|*.kvb|(*.*)|*.*";
inline constexpr const char* kDatabaseExtension = ".kvb";
inline constexpr const char* kScriptOpenFilter =
    "SQL parancs (*.sql)|*.sql|Szöveges (*.txt)|*.txt|(*.*)|*.*";
inline constexpr const char* kScriptSaveFilter =
    "SQL parancs (*.sql)|*.sql|Szöveges (*.txt)|*.txt|KA koordináta állomány|*.pyx|(*.*)|*.*";
inline constexpr const char* kScriptExtension = ".sql";

// Where the process goes after an operation: on with the window, or to its
// end with an exit code.
struct TRunOutcome {
  bool end_requested = false;
  int exit_code = 0;
};

// Where the console finds its files; the defaults are the real places.
struct TConsoleEnvironment {
  // The program's own folder: the script dialogs start there.
  std::string program_directory;
  // The settings file krtcon.ini.
  std::string settings_file;
  // A password given to the process for an encrypted database (the
  // environment variable KARTOVA_PASSWORD), UTF-8; a --password-file on the
  // command line takes its place.
  std::optional<std::string> password;
  // False where nobody can answer the password box: an unattended run then
  // fails at once instead of asking.
  bool prompts_allowed = true;
  // Where an unattended run reports its failure when no -O file is named.
  std::ostream* error_stream = nullptr;

  static TConsoleEnvironment Default();
};

class TfmMain {
 public:
  // `params` are the command-line parameters without the program name.
  TfmMain(TMainView& view, std::vector<std::string> params,
          TConsoleEnvironment environment = TConsoleEnvironment::Default());
  ~TfmMain();
  TfmMain(const TfmMain&) = delete;
  TfmMain& operator=(const TfmMain&) = delete;

  // Runs `operation`; an error it raises goes to the view's default error
  // report. Returns false when it raised.
  bool ReportErrors(const std::function<void()>& operation);

  // Start-up: title, command line, database, script, unattended runs, the
  // Reopen menu and the navigator setting, in that order.
  void FormCreate();
  // Whether an unattended run asked the program to end, and with what code.
  const TRunOutcome& Outcome() const { return outcome_; }

  // Database commands.
  bool ConnectCurrentDatabase();
  void SelectDatabaseFile(const std::string& path);
  void Open1Click();
  void DB_openExecute() { Open1Click(); }
  void New1Click();
  void DB_newExecute() { New1Click(); }
  // `caption` as the toolkit shows it; accelerator marks are removed.
  void ReopenDatabaseItemClick(const std::string& caption);
  void Close1Click();
  void DB_closeExecute() { Close1Click(); }
  void VEGEExecute();
  void Exit1Click();

  // Recent databases.
  std::vector<std::string> LoadRecentDatabases();
  void SaveRecentDatabases(const std::vector<std::string>& list);
  void AddRecentDatabase(const std::string& path);
  void BuildReopenMenu(const std::vector<std::string>& list);
  void RefreshReopenMenu();
  std::string GetLastDatabaseFile();

  // Tables: the selected table into the grid, closing it, and the record
  // count caption and position panel that follow the cursor.
  void OpenSelectedTable();
  void bnCloseTableClick();
  void CurrentTableAfterScroll(kivo::TDataSet& dataSet);
  void CurrentTableAfterPost(kivo::TDataSet& dataSet);
  void CurrentTableAfterDelete(kivo::TDataSet& dataSet);
  // A click on the grid's title of column `fieldName` (Windows-1250): while
  // the grid shows the table, it is ordered by the index over that field;
  // without one the order stays as it was.
  void DBGrid1TitleClick(const std::string& fieldName);

  // SQL commands, scripts and exports.
  void bnRunSQLClick();
  void RzBitBtn2Click();
  void btOpenSQLClick();
  void blaCSV1Click();
  void reSQLSelectionChange(int line, int column);
  void ExportQueryToFile(const std::string& fileName, bool fieldNamesInFirstLine,
                         const std::string& delimiter);
  void RunBatchScript();
  void WriteOutputFile(const std::string& text);

  // Script files: File › Open and Save, and the editor's pop-up entries.
  void LoadSQLscript1Click();
  void SQL_openExecute();
  void Save1Click();
  void SQL_saveExecute();

  // State.
  kivo::TKivoDatabase& CurrentDB() { return current_db_; }
  kivo::TKivoTable& CurrentTable() { return current_table_; }
  kivo::TKivoQuery& CurrentQuery() { return current_query_; }
  // The data source of the grid and the navigator.
  kivo::TDataSource& ds1() { return ds1_; }
  const std::string& GridMode() const { return grid_mode_; }
  bool BatchMode() const { return batch_mode_; }
  const std::string& OutputFileName() const { return output_file_name_; }
  const TCommandLine& CommandLine() const { return command_line_; }
  // The folder the script dialogs start in.
  const std::string& ScriptDialogDirectory() const { return script_dialog_directory_; }
  // Windows-1250 names shown in lbTables, in list order.
  const std::vector<std::string>& TableNames() const { return table_names_; }

 private:
  // The script dialogs OpenDialog1 and SaveDialog1, which keep the file and
  // the filter last chosen.
  struct TScriptDialog {
    const char* filter;
    bool save;
    std::string file_name;
    int filter_index = 1;
  };
  // The steps of FormCreate.
  void StartUp();
  void ShowTableNames();
  void ShowTableRecordCount();
  void RequestEnd(int exitCode);
  std::string SqlTextOfEditor() const;
  // The data set the grid shows for the grid export; nullptr without a mode.
  kivo::TKivoDataset* GridDataSet();
  // Shows `dialog`; the chosen file and filter are kept for next time.
  std::optional<TFileDialogResult> RunScriptDialog(TScriptDialog& dialog);
  // Shows the script open dialog and loads the chosen file into the editor;
  // `clearFirst` empties the editor before the file is read.
  void LoadScriptWithDialog(bool clearFirst);
  // Writes the grid's data set to `path` as the grid export does.
  void WriteGridExport(kivo::TKivoDataset& dataSet, const std::string& path, bool coordinates);
  // The password given to the process (--password-file or KARTOVA_PASSWORD);
  // raises when the file cannot be used.
  void TakeSuppliedPassword();
  // An unattended run failed: its one line "ClassName: message" goes to the
  // -O file when one is named, else to the error stream; the program ends
  // with exit code 1.
  void FailUnattended(const std::string& line);

  TMainView& view_;
  std::vector<std::string> params_;
  TConsoleEnvironment environment_;
  kivo::TKivoDatabase current_db_;
  // Declared after the database, so that they go first.
  kivo::TKivoTable current_table_;
  kivo::TKivoQuery current_query_;
  kivo::TDataSource ds1_;

  TCommandLine command_line_;
  std::string grid_mode_;
  bool batch_mode_ = false;
  std::string output_file_name_;
  std::string script_dialog_directory_;
  TScriptDialog open_dialog1_{kScriptOpenFilter, false, {}, 1};
  TScriptDialog save_dialog1_{kScriptSaveFilter, true, {}, 1};
  // The text typed into the password prompt last time.
  std::string last_password_;
  // The password given to the process, tried before any box is shown.
  std::optional<std::string> supplied_password_;
  // Why the last connect of an encrypted database failed without a box.
  std::string connect_failure_;
  std::vector<std::string> table_names_;
  TRunOutcome outcome_;
};

}  // namespace kartova
