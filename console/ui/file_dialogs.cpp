#include "console/ui/file_dialogs.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

namespace kartova {

QStringList NameFiltersFromPipeFilter(const QString& filter) {
  const QStringList parts = filter.split(u'|');
  QStringList result;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString patterns = parts[i + 1];
    patterns.replace(u';', u' ');
    result << parts[i] + " (" + patterns.simplified() + ")";
  }
  return result;
}

QString PathToQt(const std::string& path) {
  return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

std::string PathFromQt(const QString& path) { return QFile::encodeName(path).toStdString(); }

std::optional<TFileDialogResult> RunFileDialog(QWidget* parent, bool save,
                                               const TFileDialogRequest& request) {
  QFileDialog dialog(parent);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  const QStringList filters = NameFiltersFromPipeFilter(QString::fromUtf8(request.filter));
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    const int index = request.filter_index >= 1 && request.filter_index <= filters.size()
                          ? request.filter_index
                          : 1;
    dialog.selectNameFilter(filters[index - 1]);
  }
  QString suffix = QString::fromUtf8(request.default_extension);
  if (suffix.startsWith(u'.')) suffix.remove(0, 1);
  dialog.setDefaultSuffix(suffix);

  const QString file_name = PathToQt(request.file_name);
  if (!request.initial_directory.empty()) {
    dialog.setDirectory(PathToQt(request.initial_directory));
  } else if (!file_name.isEmpty()) {
    dialog.setDirectory(QFileInfo(file_name).absolutePath());
  }
  if (!file_name.isEmpty()) dialog.selectFile(QFileInfo(file_name).fileName());

  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  TFileDialogResult result;
  result.path = PathFromQt(chosen.first());
  result.filter_index = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
  if (result.filter_index < 1) result.filter_index = 1;
  return result;
}

}  // namespace kartova
