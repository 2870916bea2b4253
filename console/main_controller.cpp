// Start-up, the database commands, the recent-database list and the table
// list of the main window.
#include "console/main_controller.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <utility>

#include "console/console_settings.h"
#include "console/password_file.h"
#include "console/recent_list.h"
#include "console/text_files.h"
#include "platform/errors.h"
#include "platform/file_util.h"
#include "platform/locale.h"
#include "platform/settings.h"

namespace kartova {

namespace {

std::string TablesCaption(std::size_t count) {
  return " Elérhető táblák: " + std::to_string(count) + " ";
}

}  // namespace

TConsoleEnvironment TConsoleEnvironment::Default() {
  TConsoleEnvironment env;
  env.program_directory = kivo::ProgramDirectory();
  env.settings_file = kivo::KrtconIniPath();
  if (const char* password = std::getenv("KARTOVA_PASSWORD")) env.password = password;
  env.error_stream = &std::cerr;
  return env;
}

TfmMain::TfmMain(TMainView& view, std::vector<std::string> params, TConsoleEnvironment environment)
    : view_(view),
      params_(std::move(params)),
      environment_(std::move(environment)),
      current_db_(nullptr) {
  current_db_.SetDatabaseName("SQLdb");
  current_db_.SetSessionName("Default");
  current_db_.SetInMemory(false);

  current_table_.SetDatabaseName("SQLdb");
  current_table_.SetInMemory(false);
  current_table_.SetAutoIndexes(true);
  current_table_.SetCacheEnabled(false);
  current_table_.SetBDELikeFilter(false);
  current_table_.AfterPost = [this](kivo::TDataSet& ds) { CurrentTableAfterPost(ds); };
  current_table_.AfterDelete = [this](kivo::TDataSet& ds) { CurrentTableAfterDelete(ds); };
  current_table_.AfterScroll = [this](kivo::TDataSet& ds) { CurrentTableAfterScroll(ds); };
  current_query_.SetRequestLive(true);
  current_query_.SetDatabaseName("SQLdb");
  current_query_.SetInMemory(false);
  current_query_.SetBDELikeFilter(false);
  current_query_.AfterScroll = [this](kivo::TDataSet& ds) { CurrentTableAfterScroll(ds); };
  ds1_.SetDataSet(&current_table_);
}

TfmMain::~TfmMain() {
  try {
    current_db_.Close();
  } catch (...) {
    // Closing on the way out has nobody left to report to.
  }
}

bool TfmMain::ReportErrors(const std::function<void()>& operation) {
  try {
    operation();
    return true;
  } catch (const std::exception& e) {
    view_.ShowDefaultError(ErrorMessageText(e));
  }
  return false;
}

void TfmMain::FormCreate() {
  try {
    StartUp();
  } catch (const std::exception& e) {
    // An unattended run reports every failure the same way: one line in the
    // -O file (or on standard error) and exit code 1.
    if (!command_line_.RunsUnattended() || outcome_.end_requested) throw;
    FailUnattended(ErrorReportLine(e));
  }
}

void TfmMain::StartUp() {
  // 1. Title and the script dialogs' folder.
  view_.SetCaption(kMainTitle);
  script_dialog_directory_ = environment_.program_directory;

  // 2.-4. The command line.
  command_line_ = ParseCommandLine(params_);
  std::string startup_file =
      command_line_.has_database_parameter ? command_line_.database_file : GetLastDatabaseFile();
  if (!startup_file.empty()) startup_file = kivo::ExpandFileName(startup_file);
  batch_mode_ = command_line_.batch_mode;
  output_file_name_ = command_line_.output_file;
  // Errors raised from here on end an unattended run (FormCreate).
  const bool unattended = command_line_.RunsUnattended();
  if (unattended && !command_line_.error.empty()) throw kivo::Exception(command_line_.error);
  TakeSuppliedPassword();

  // 5. The database; the outcome of this connect is not reported, except
  // that an unattended run cannot go on without the password of an
  // encrypted database.
  SelectDatabaseFile(startup_file);
  Close1Click();
  if (!ConnectCurrentDatabase() && unattended && !connect_failure_.empty()) {
    FailUnattended(connect_failure_);
    return;
  }

  // 6. The script file into the editor.
  if (!command_line_.script_file.empty()) {
    view_.SetEditorText(LoadScriptFile(command_line_.script_file));
  }

  // 7. Unattended runs. A failed export is reported like a failed batch
  // run and ends the program with 1: nobody is there to close a window.
  if (!command_line_.export_file.empty()) {
    ExportQueryToFile(command_line_.export_file, command_line_.field_names_in_first_line,
                      command_line_.delimiter);
    RequestEnd(0);
  } else if (batch_mode_ && !command_line_.script_file.empty()) {
    RunBatchScript();
    if (outcome_.end_requested) return;  // failed: the program stops at once
    RequestEnd(0);
  }

  // 8. The Reopen menu and the navigator.
  RefreshReopenMenu();
  view_.SetNavigatorEditing(NavigatorShowsAllButtons(environment_.settings_file));
}

void TfmMain::TakeSuppliedPassword() {
  supplied_password_ = environment_.password;
  if (!command_line_.password_file.empty()) {
    supplied_password_ = ReadPasswordFile(command_line_.password_file);
  }
}

void TfmMain::FailUnattended(const std::string& line) {
  if (!output_file_name_.empty()) {
    WriteOutputFile(line);
  } else if (environment_.error_stream != nullptr) {
    *environment_.error_stream << line << '\n';
    environment_.error_stream->flush();
  }
  RequestEnd(1);
}

void TfmMain::RequestEnd(int exitCode) {
  outcome_.end_requested = true;
  outcome_.exit_code = exitCode;
}

// ---- database commands -----------------------------------------------------

bool TfmMain::ConnectCurrentDatabase() {
  bool connected = false;
  view_.SetCloseDatabaseEnabled(false);
  try {
    current_db_.SetConnected(false);

    // A header that cannot be read is no encrypted container; the connect
    // below then fails on its own.
    bool encrypted = false;
    try {
      encrypted = current_db_.Encrypted();
    } catch (const std::exception&) {
      encrypted = false;
    }

    // One try of a password (UTF-8); a failed try leaves the database
    // disconnected and says why.
    const auto try_password = [this](const std::string& password, std::string* failure) {
      try {
        current_db_.SetPassword(kivo::Utf8ToCp1250(password));
        current_db_.SetConnected(true);
        return true;
      } catch (const std::exception& e) {
        if (failure != nullptr) *failure = ErrorReportLine(e);
      }
      try {
        current_db_.SetConnected(false);
      } catch (const std::exception&) {
      }
      return false;
    };

    connect_failure_.clear();
    if (encrypted && supplied_password_) {
      // A password given to the process is tried first, without a box.
      connected = try_password(*supplied_password_, &connect_failure_);
    } else if (encrypted && !environment_.prompts_allowed) {
      connect_failure_ = "EDatabaseError: The database \"" + current_db_.DatabaseFileName() +
                         "\" is encrypted and no password was given: set KARTOVA_PASSWORD or "
                         "use --password-file FILE.";
    }
    if (encrypted && !connected && environment_.prompts_allowed) {
      const std::string title = "A(z) \"" + current_db_.DatabaseFileName() + "\" adatbázis elérése";
      while (!connected) {
        std::string typed = last_password_;
        if (!view_.InputQuery(title, "Kérem a jelszót: ", typed, /*masked=*/true)) break;
        last_password_ = typed;
        connected = try_password(typed, nullptr);
      }
    } else if (!encrypted) {
      try {
        current_db_.SetConnected(true);
        connected = true;
      } catch (const std::exception&) {
        connected = false;
      }
    }

    if (connected) {
      view_.SetOpenTableEnabled(true);
      ShowTableNames();
      const std::string file_part = kivo::ExtractFileName(current_db_.DatabaseFileName());
      view_.SetCaption(std::string(kMainTitle) + " - Adatbázis: '" + file_part + "'");
      view_.SetCloseDatabaseEnabled(true);
    }
  } catch (...) {
    view_.SetCloseTableEnabled(false);
    throw;
  }
  view_.SetCloseTableEnabled(false);
  return connected;
}

void TfmMain::ShowTableNames() {
  std::vector<std::string> names;
  current_db_.GetTableNames(names);
  // lbTables is a sorted list box: locale order, ignoring case.
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return kivo::AnsiCompareText(a, b) < 0;
  });
  std::vector<std::string> shown;
  shown.reserve(names.size());
  for (const std::string& name : names) shown.push_back(kivo::Cp1250ToUtf8(name));
  table_names_ = std::move(names);
  view_.SetTableList(shown);
  view_.SetTablesCaption(TablesCaption(table_names_.size()));
}

void TfmMain::SelectDatabaseFile(const std::string& path) {
  if (path == current_db_.DatabaseFileName()) return;
  Close1Click();
  current_db_.SetDatabaseFileName(path);
  AddRecentDatabase(path);
}

void TfmMain::Open1Click() {
  current_db_.SetConnected(false);
  view_.SetCloseDatabaseEnabled(false);
  TFileDialogRequest request;
  request.filter = kDatabaseFilter;
  request.default_extension = kDatabaseExtension;
  request.file_name = current_db_.DatabaseFileName();
  std::optional<TFileDialogResult> chosen = view_.OpenFileDialog(request);
  if (!chosen) return;
  SelectDatabaseFile(chosen->path);
  if (ConnectCurrentDatabase()) {
    view_.SetCloseDatabaseEnabled(true);
  } else {
    current_db_.SetConnected(false);
    view_.ShowError("Nem tudom a(z) \"" + current_db_.DatabaseFileName() +
                    "\" adatbázist megnyitni!");
  }
}

void TfmMain::New1Click() {
  current_db_.SetConnected(false);
  TFileDialogRequest request;
  request.filter = kDatabaseFilter;
  request.default_extension = kDatabaseExtension;
  request.file_name = current_db_.DatabaseFileName();
  std::optional<TFileDialogResult> chosen = view_.SaveFileDialog(request);
  if (chosen) {
    SelectDatabaseFile(chosen->path);
    current_db_.CreateDatabase();
  }
  view_.SetCloseDatabaseEnabled(false);
  if (ConnectCurrentDatabase()) {
    view_.SetCloseDatabaseEnabled(true);
  } else {
    current_db_.SetConnected(false);
    view_.ShowError("A(z) \"" + current_db_.DatabaseFileName() +
                    "\" adatbázist nem lehet megnyitni.");
  }
}

void TfmMain::ReopenDatabaseItemClick(const std::string& caption) {
  const std::string plain = RemoveAccelerators(caption);
  // Captions are a one-digit number, a blank and the path.
  if (plain.size() <= 2) return;
  SelectDatabaseFile(plain.substr(2));
  ConnectCurrentDatabase();
}

void TfmMain::Close1Click() {
  current_db_.SetConnected(false);
  view_.SetCaption(kMainTitle);
  table_names_.clear();
  view_.SetTableList({});
  view_.SetTablesCaption(TablesCaption(table_names_.size()));
  view_.SetOpenTableEnabled(false);
  view_.SetCloseDatabaseEnabled(false);
}

void TfmMain::VEGEExecute() {
  current_db_.Close();
  current_db_.SetConnected(false);
  view_.CloseWindow();
}

void TfmMain::Exit1Click() { view_.CloseWindow(); }

// ---- recent databases ------------------------------------------------------

std::vector<std::string> TfmMain::LoadRecentDatabases() {
  try {
    std::vector<std::string> list = kivo::LoadRecent();
    // The store never holds more, but a hand-edited one must not grow the menu.
    if (list.size() > kMaxRecentDatabases) list.resize(kMaxRecentDatabases);
    return list;
  } catch (const std::exception&) {
    return {};
  }
}

void TfmMain::SaveRecentDatabases(const std::vector<std::string>& list) {
  try {
    kivo::SaveRecent(list);
  } catch (const std::exception&) {
    // A store that cannot be written keeps its old list.
  }
}

void TfmMain::AddRecentDatabase(const std::string& path) {
  const std::vector<std::string> before = LoadRecentDatabases();
  std::vector<std::string> list = AddToRecentList(before, path);
  // Reopening the most recent database changes nothing: a scripted run
  // then leaves the settings file alone.
  if (list != before) SaveRecentDatabases(list);
  BuildReopenMenu(list);
}

void TfmMain::BuildReopenMenu(const std::vector<std::string>& list) {
  std::vector<TReopenItem> items;
  items.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    items.push_back({ReopenCaption(i, list[i]), list[i] == current_db_.DatabaseFileName()});
  }
  view_.SetReopenItems(items);
  view_.SetReopenEnabled(!list.empty());
}

void TfmMain::RefreshReopenMenu() { BuildReopenMenu(LoadRecentDatabases()); }

std::string TfmMain::GetLastDatabaseFile() {
  std::vector<std::string> list = LoadRecentDatabases();
  return list.empty() ? std::string() : list.front();
}

// ---- tables ------------------------------------------------------------------

void TfmMain::OpenSelectedTable() {
  const int index = view_.SelectedTableIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= table_names_.size()) {
    view_.ShowError("Válasszon ki egy táblát a listából.");
    return;
  }
  const std::string& name = table_names_[static_cast<std::size_t>(index)];
  view_.SetResultCaption(" Rekordok száma: 0 ");
  view_.SetCloseTableEnabled(false);
  current_table_.Close();
  current_table_.SetTableName(name);

  // A table whose header marks it encrypted is not opened; the record count
  // below then refuses the closed table.
  if (!current_table_.IsTableEncrypted()) {
    try {
      current_table_.Open();
    } catch (const std::exception&) {
      current_table_.Close();
      view_.ShowError("A(z) '" + kivo::Cp1250ToUtf8(name) + "' táblát nem lehet megnyitni.");
      return;
    }
  }

  ds1_.SetEnabled(false);
  ds1_.SetDataSet(&current_table_);
  ds1_.SetEnabled(true);
  ShowTableRecordCount();
  view_.SetCloseTableEnabled(true);
  grid_mode_ = "T";
}

void TfmMain::ShowTableRecordCount() {
  view_.SetResultCaption(
      " A(z) '" + kivo::Cp1250ToUtf8(current_table_.TableName()) +
      "' tábla rekordjainak száma: " + std::to_string(current_table_.RecordCount()) + " ");
}

void TfmMain::bnCloseTableClick() {
  current_table_.Close();
  view_.SetResultCaption(" Összes rekord: 0 ");
  view_.SetStatusText(TStatusPanel::kRecord, "");
}

void TfmMain::CurrentTableAfterScroll(kivo::TDataSet& dataSet) {
  if (!dataSet.Active()) {
    view_.SetStatusText(TStatusPanel::kRecord, "");
    return;
  }
  char panel[64];
  std::snprintf(panel, sizeof panel, "Rekord # %6d / %6d", dataSet.RecNo(), dataSet.RecordCount());
  view_.SetStatusText(TStatusPanel::kRecord, panel);
  if (&dataSet == &current_table_) ShowTableRecordCount();
}

void TfmMain::DBGrid1TitleClick(const std::string& fieldName) {
  if (grid_mode_ != "T" || ds1_.DataSet() != &current_table_ || !current_table_.Active()) return;
  const std::string fields = current_table_.IndexFieldNames();
  const std::string index = current_table_.IndexName();
  try {
    current_table_.SetIndexFieldNames(fieldName);
  } catch (const std::exception&) {
    if (!fields.empty()) {
      current_table_.SetIndexFieldNames(fields);
    } else {
      current_table_.SetIndexName(index);
    }
  }
}

void TfmMain::CurrentTableAfterPost(kivo::TDataSet& dataSet) {
  if (&dataSet == &current_table_ && current_table_.Active()) ShowTableRecordCount();
}

void TfmMain::CurrentTableAfterDelete(kivo::TDataSet& dataSet) {
  if (&dataSet == &current_table_ && current_table_.Active()) ShowTableRecordCount();
}

}  // namespace kartova
