// The SQL side of the main window: the command and query buttons, the
// command-line export and the unattended batch run.
#include "console/main_controller.h"

#include <cstdio>
#include <exception>

#include "console/delimited_export.h"
#include "console/sql_processing.h"
#include "console/text_files.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kartova {

std::string TfmMain::SqlTextOfEditor() const { return EditorTextToAnsi(view_.EditorText()); }

void TfmMain::bnRunSQLClick() {
  bnCloseTableClick();
  view_.SetResultCaption(" Összes rekord: 0 ");
  const std::string sql = SqlTextOfEditor();
  try {
    const TSqlOutcome outcome = RunSqlText(sql, TSqlRunKind::kCommand);
    if (!batch_mode_) {
      ShowTableNames();
      if (outcome.rows_affected == -1) {
        view_.ShowInformation("A parancs sikeresen végrehajtva! ");
      } else {
        view_.ShowInformation("A lekérdezés befejeződött! Eredménye " +
                              std::to_string(outcome.rows_affected) + " sor");
      }
    }
  } catch (const std::exception& e) {
    if (batch_mode_) throw;
    const auto* ke = dynamic_cast<const kivo::Exception*>(&e);
    view_.ShowError("Hibás parancs - " + MessageToUtf8(ke ? ke->Message() : e.what()));
  }
}

void TfmMain::RzBitBtn2Click() {
  bnCloseTableClick();
  view_.SetResultCaption(" Összes rekord: 0 ");
  const TSqlOutcome outcome = RunSqlText(SqlTextOfEditor(), TSqlRunKind::kQuery);
  grid_mode_ = "Q";
  view_.SetResultCaption(" Összes rekord: " + std::to_string(outcome.rows.size()) + " ");
  ShowTableNames();
}

void TfmMain::btOpenSQLClick() { RunSqlText(SqlTextOfEditor(), TSqlRunKind::kQuery); }

void TfmMain::blaCSV1Click() {
  save_dialog_filter_index_ = 2;
  // The grid export addresses the grid's data set: the query after "Q", the
  // table after "T". Neither can be shown in the grid yet.
  if (grid_mode_ != "Q" && grid_mode_ != "T") return;
}

void TfmMain::reSQLSelectionChange(int line, int column) {
  char text[32];
  std::snprintf(text, sizeof text, " %6d: %6d", line + 1, column + 1);
  view_.SetStatusText(TStatusPanel::kCaret, text);
}

void TfmMain::ExportQueryToFile(const std::string& fileName, bool fieldNamesInFirstLine,
                                const std::string& delimiter) {
  const TSqlOutcome result = RunSqlText(SqlTextOfEditor(), TSqlRunKind::kQuery);
  // The file holds the engine's bytes; the delimiter comes from the command
  // line as UTF-8.
  const std::string ansi_delimiter =
      IsValidUtf8(delimiter) ? kivo::Utf8ToCp1250(delimiter) : delimiter;
  std::string bytes;
  if (fieldNamesInFirstLine) {
    for (std::size_t i = 0; i < result.field_names.size(); ++i) {
      if (i > 0) bytes += ansi_delimiter;
      bytes += result.field_names[i];
    }
    bytes += "\r\n";
  }
  for (const std::vector<std::string>& row : result.rows)
    bytes += DelimitedLine(row, ansi_delimiter);
  WriteWholeFile(fileName, bytes);
}

void TfmMain::RunBatchScript() {
  batch_mode_ = true;
  try {
    bnRunSQLClick();
  } catch (const kivo::Exception& e) {
    WriteOutputFile(std::string(e.ClassName()) + ": " + MessageToUtf8(e.Message()));
    RequestEnd(1);
  } catch (const std::exception& e) {
    WriteOutputFile(std::string("Exception: ") + MessageToUtf8(e.what()));
    RequestEnd(1);
  }
}

void TfmMain::WriteOutputFile(const std::string& text) {
  if (output_file_name_.empty()) return;
  try {
    WriteWholeFile(output_file_name_, EditorTextToAnsi(text) + "\r\n");
  } catch (const std::exception&) {
    // The batch run's outcome is its exit code; a lost report does not change it.
  }
}

}  // namespace kartova
