// The SQL side of the main window: the query and command buttons, script
// files, the grid export, the command-line export and the unattended batch
// run.
#include <algorithm>
#include <cstdio>
#include <exception>

#include "console/delimited_export.h"
#include "console/grid_rows.h"
#include "console/main_controller.h"
#include "console/text_files.h"
#include "platform/errors.h"
#include "platform/locale.h"

namespace kartova {

namespace {

// Field types the command-line export leaves out: their display text is no
// value a delimited file can hold.
bool LeftOutOfExport(kivo::TFieldType type) {
  switch (type) {
    case kivo::ftBCD:
    case kivo::ftBytes:
    case kivo::ftBlob:
    case kivo::ftMemo:
    case kivo::ftGraphic:
    case kivo::ftFmtMemo:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string TfmMain::SqlTextOfEditor() const { return EditorTextToAnsi(view_.EditorText()); }

// ---- the command and the query ---------------------------------------------

void TfmMain::bnRunSQLClick() {
  bnCloseTableClick();
  view_.SetResultCaption(" Összes rekord: 0 ");
  current_query_.Close();
  current_query_.SetSQLText(SqlTextOfEditor());
  try {
    current_query_.ExecSQL();
    if (!batch_mode_) {
      ShowTableNames();
      const std::int32_t rows = current_query_.RowsAffected();
      if (rows == -1) {
        view_.ShowInformation("A parancs sikeresen végrehajtva! ");
      } else {
        view_.ShowInformation("A lekérdezés befejeződött! Eredménye " + std::to_string(rows) +
                              " sor");
      }
    }
  } catch (const std::exception& e) {
    current_query_.Close();
    if (batch_mode_) throw;
    view_.ShowError("Hibás parancs - " + ErrorMessageText(e));
  }
}

void TfmMain::RzBitBtn2Click() {
  bnCloseTableClick();
  view_.SetResultCaption(" Összes rekord: 0 ");
  current_query_.Close();
  current_query_.SetSQLText(SqlTextOfEditor());
  try {
    current_query_.Open();
    ds1_.SetEnabled(false);
    ds1_.SetDataSet(&current_query_);
    ds1_.SetEnabled(true);
    grid_mode_ = "Q";
    view_.SetResultCaption(" Összes rekord: " + std::to_string(current_query_.RecordCount()) + " ");
    // The statements may have made or dropped tables.
    ShowTableNames();
  } catch (...) {
    current_query_.Close();
    throw;
  }
}

void TfmMain::btOpenSQLClick() {
  current_query_.Close();
  current_query_.SetSQLText(SqlTextOfEditor());
  current_query_.Open();
}

void TfmMain::reSQLSelectionChange(int line, int column) {
  char text[32];
  std::snprintf(text, sizeof text, " %6d: %6d", line + 1, column + 1);
  view_.SetStatusText(TStatusPanel::kCaret, text);
}

// ---- script files ------------------------------------------------------------

std::optional<TFileDialogResult> TfmMain::RunScriptDialog(TScriptDialog& dialog) {
  TFileDialogRequest request;
  request.filter = dialog.filter;
  request.default_extension = kScriptExtension;
  request.initial_directory = script_dialog_directory_;
  request.file_name = dialog.file_name;
  request.filter_index = dialog.filter_index;
  std::optional<TFileDialogResult> chosen =
      dialog.save ? view_.SaveFileDialog(request) : view_.OpenFileDialog(request);
  if (chosen) {
    dialog.file_name = chosen->path;
    dialog.filter_index = chosen->filter_index;
  }
  return chosen;
}

void TfmMain::LoadScriptWithDialog(bool clearFirst) {
  const std::optional<TFileDialogResult> chosen = RunScriptDialog(open_dialog1_);
  if (!chosen) return;
  // The file is read before the editor changes, so that a file that cannot
  // be read leaves the editor's text as it was.
  std::string text = LoadScriptFile(chosen->path);
  if (clearFirst) view_.SetEditorText("");
  view_.SetEditorText(text);
}

void TfmMain::LoadSQLscript1Click() { LoadScriptWithDialog(false); }

void TfmMain::SQL_openExecute() { LoadScriptWithDialog(true); }

void TfmMain::Save1Click() {
  const std::optional<TFileDialogResult> chosen = RunScriptDialog(save_dialog1_);
  if (!chosen) return;
  const std::string text = view_.EditorText();
  // Script files are Windows-1250: a character it lacks would be written as
  // "?" and lost, so nothing is saved and the user is told which ones.
  const std::vector<std::string> lost = CharactersNotInCp1250(text);
  if (!lost.empty()) {
    view_.ShowError(
        "A szöveg nem menthető, mert ezek a karakterek nem írhatók Windows-1250 "
        "kódolású fájlba: " +
        DescribeCharacters(lost));
    return;
  }
  WriteWholeFile(chosen->path, EditorTextToAnsi(text));
}

void TfmMain::SQL_saveExecute() {
  save_dialog1_.filter_index = 1;
  Save1Click();
}

// ---- the grid export -----------------------------------------------------------

kivo::TKivoDataset* TfmMain::GridDataSet() {
  if (grid_mode_ == "Q") return &current_query_;
  if (grid_mode_ == "T") return &current_table_;
  return nullptr;
}

void TfmMain::blaCSV1Click() {
  save_dialog1_.filter_index = 2;
  kivo::TKivoDataset* data_set = GridDataSet();
  if (data_set == nullptr) return;
  // A closed table raises its own error here, which the window reports.
  if (data_set->RecordCount() <= 0) return;
  const std::optional<TFileDialogResult> chosen = RunScriptDialog(save_dialog1_);
  if (!chosen) return;
  WriteGridExport(*data_set, chosen->path, chosen->filter_index == 3);
}

void TfmMain::WriteGridExport(kivo::TKivoDataset& dataSet, const std::string& path,
                              bool coordinates) {
  TExportFile file(path);
  kivo::TFields& fields = dataSet.Fields();
  const int count = fields.Count();
  std::string line;
  if (!coordinates) {
    for (int i = 0; i < count; ++i) {
      line += fields[i].FieldName();
      line += ',';
    }
    line += "\r\n";
    file.Write(line);
  }
  // A coordinate file leaves out the first field (the point's number).
  const int first = coordinates ? 1 : 0;
  // The grid follows the cursor; it needs to hear only where it ends.
  dataSet.DisableControls();
  try {
    dataSet.First();
    while (!dataSet.Eof()) {
      line.clear();
      for (int i = first; i < count; ++i) {
        line += GridExportValue(GridCellText(fields[i]));
        line += ',';
      }
      line += "\r\n";
      file.Write(line);
      dataSet.Next();
    }
  } catch (...) {
    dataSet.EnableControls();
    throw;
  }
  dataSet.EnableControls();
  file.Close();
}

// ---- unattended runs -----------------------------------------------------------

void TfmMain::ExportQueryToFile(const std::string& fileName, bool fieldNamesInFirstLine,
                                const std::string& delimiter) {
  // With no delimiter every value would run into the next one.
  if (delimiter.empty()) {
    throw kivo::Exception(
        "The delimiter given with -D is empty: the values would run together. Give one or "
        "more characters, for example -D \";\".");
  }
  btOpenSQLClick();
  // The file holds the engine's bytes; the delimiter comes from the command
  // line as UTF-8.
  const std::string ansi_delimiter =
      IsValidUtf8(delimiter) ? kivo::Utf8ToCp1250(delimiter) : delimiter;
  TExportFile file(fileName);
  std::vector<kivo::TField*> exported;
  kivo::TFields& fields = current_query_.Fields();
  for (int i = 0; i < fields.Count(); ++i) {
    if (!LeftOutOfExport(fields[i].DataType())) exported.push_back(&fields[i]);
  }
  std::string line;
  if (fieldNamesInFirstLine) {
    for (std::size_t i = 0; i < exported.size(); ++i) {
      if (i > 0) line += ansi_delimiter;
      line += exported[i]->FieldName();
    }
    line += "\r\n";
    file.Write(line);
  }
  const auto write_record = [&] {
    line.clear();
    for (std::size_t i = 0; i < exported.size(); ++i) {
      if (i > 0) line += ansi_delimiter;
      AppendDelimitedValue(line, exported[i]->DisplayText(), ansi_delimiter);
    }
    line += "\r\n";
    file.Write(line);
  };
  // From the current record to the end. Records are read by position,
  // which leaves the cursor, its events and the window's panels alone;
  // a cursor that cannot read so is walked instead.
  const int count = current_query_.RecordCount();
  int rec_no = current_query_.Eof() ? count + 1 : std::max(current_query_.RecNo(), 1);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(current_query_.RowBufferSize()));
  if (rec_no <= count && current_query_.ReadRecordAt(rec_no, buffer.data())) {
    for (;;) {
      current_query_.WithRecordBuffer(buffer.data(), write_record);
      if (++rec_no > count) break;
      if (!current_query_.ReadRecordAt(rec_no, buffer.data())) {
        throw kivo::EDatabaseError("Cannot read record " + std::to_string(rec_no) + " of " +
                                   std::to_string(count) + " of the query.");
      }
    }
  } else {
    for (; !current_query_.Eof(); current_query_.Next()) write_record();
  }
  file.Close();
}

void TfmMain::RunBatchScript() {
  batch_mode_ = true;
  try {
    bnRunSQLClick();
  } catch (const std::exception& e) {
    FailUnattended(ErrorReportLine(e));
  }
}

void TfmMain::WriteOutputFile(const std::string& text) {
  if (output_file_name_.empty()) return;
  try {
    WriteWholeFile(output_file_name_, EditorTextToAnsi(text) + "\r\n");
  } catch (const std::exception&) {
    // The run's outcome is its exit code; a lost report does not change it.
  }
}

}  // namespace kartova
