// The progress window of index builds, without its window: which data sets
// are building, when the window comes and goes, and what it shows. The Qt
// binding implements TBuildIndexWindow and installs a TBuildIndexProgress as
// the components' build-progress hook (kivo::SetBuildIndexProgressHook).
//
// One window serves every build in progress: data sets on one table all hear
// the same build, and a build may start while another shows. The window
// comes with the first start and goes with the last finish; its label names
// the table of the latest start.
//
// The engine reports a finish after every start, also when the build fails,
// so an error mid-build takes the window down and gives the data sets their
// controls back. A finish without a start (the engine reports one after
// rebuilding all indexes silently) is ignored.
//
// While the window is up the build runs inside whatever the user did last;
// the window must paint, but user input must wait: a click on "close" would
// free the table being sorted. ProcessPendingPaints is that promise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo {
class TKivoDataset;
}

namespace kartova {

class TBuildIndexWindow {
 public:
  virtual ~TBuildIndexWindow() = default;
  // Makes and shows the window (not modal). REQUIRES: it is not shown.
  virtual void Show() = 0;
  // Destroys the window. REQUIRES: it is shown.
  virtual void Close() = 0;
  // lbTable's text, UTF-8.
  virtual void SetTableName(const std::string& name) = 0;
  // The gauge's Progress.
  virtual void SetProgress(std::int32_t percent) = 0;
  // Lets the window system deliver what is pending except user input (mouse,
  // keyboard, close requests), so the windows repaint while a build runs.
  virtual void ProcessPendingPaints() = 0;
};

class TBuildIndexProgress {
 public:
  explicit TBuildIndexProgress(TBuildIndexWindow& window);
  // Closes a window left up and re-enables the controls it disabled.
  ~TBuildIndexProgress();
  TBuildIndexProgress(const TBuildIndexProgress&) = delete;
  TBuildIndexProgress& operator=(const TBuildIndexProgress&) = delete;

  // One report of a data set's index build, as the hook receives it.
  void Report(kivo::TKivoDataset& table, bool start, bool finish, double percentDone);

  bool WindowShown() const { return !building_.empty(); }
  // How many data sets are between start and finish.
  std::size_t Builds() const { return building_.size(); }

 private:
  void Start(kivo::TKivoDataset& table, std::int32_t percent);
  void Finish(kivo::TKivoDataset& table, std::int32_t percent);
  // Passes the percentage on only when it changed since the last one shown.
  void ShowPercent(std::int32_t percent);

  TBuildIndexWindow& window_;
  // The data sets whose build started and has not finished; their controls
  // are disabled meanwhile. Non-empty exactly while the window is shown.
  std::vector<kivo::TKivoDataset*> building_;
  // The percentage last given to the window; -1 before the first.
  std::int32_t shown_percent_ = -1;
};

}  // namespace kartova
