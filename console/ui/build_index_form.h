// The window shown while a table's indexes are built: TFormBuildIndex, and
// TBuildIndexDisplay, which makes and destroys it as the progress controller
// asks and, while it lives, receives the progress of every index build.
#pragma once

#include <QDialog>
#include <memory>

#include "console/index_progress.h"

class QLabel;

namespace kartova {

class TZorGauge;

// "Building indexes...": the table's name above a gauge.
class TFormBuildIndex : public QDialog {
  Q_OBJECT

 public:
  explicit TFormBuildIndex(QWidget* parent = nullptr);

  QLabel* lbTable() const { return lb_table_; }
  TZorGauge* Gauge() const { return gauge_; }

 private:
  QLabel* lb_table_ = nullptr;
  TZorGauge* gauge_ = nullptr;
};

// Installs itself as the components' build-progress hook when made and
// removes the hook when destroyed. One per program, made by the main window.
class TBuildIndexDisplay : public TBuildIndexWindow {
 public:
  TBuildIndexDisplay();
  ~TBuildIndexDisplay() override;
  TBuildIndexDisplay(const TBuildIndexDisplay&) = delete;
  TBuildIndexDisplay& operator=(const TBuildIndexDisplay&) = delete;

  // The window while a build runs, otherwise null.
  TFormBuildIndex* Form() const { return form_.get(); }

  // TBuildIndexWindow
  void Show() override;
  void Close() override;
  void SetTableName(const std::string& name) override;
  void SetProgress(std::int32_t percent) override;
  void ProcessPendingPaints() override;

 private:
  class InputBlocker;

  std::unique_ptr<TFormBuildIndex> form_;
  // Drops user input aimed at any window while the form is up.
  std::unique_ptr<InputBlocker> blocker_;
  // Last, so that it is destroyed first and may still close the form.
  TBuildIndexProgress progress_{*this};
};

}  // namespace kartova
