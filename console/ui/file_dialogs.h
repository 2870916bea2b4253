// The console's file dialogs and its filter strings in the
// "Description|pattern|Description|pattern" form.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "console/main_view.h"

class QWidget;

namespace kartova {

// "Name|*.ext|All|*.*" as Qt name filters: "Name (*.ext)", "All (*.*)".
// Several patterns in one entry may be separated by ";". A trailing
// description without a pattern is dropped.
QStringList NameFiltersFromPipeFilter(const QString& filter);

// Paths cross into Qt and back as the operating system's bytes.
QString PathToQt(const std::string& path);
std::string PathFromQt(const QString& path);

// Runs a modal file dialog. A save dialog asks before replacing a file.
std::optional<TFileDialogResult> RunFileDialog(QWidget* parent, bool save,
                                               const TFileDialogRequest& request);

}  // namespace kartova
