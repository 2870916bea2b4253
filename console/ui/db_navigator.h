// DBNavigator1: the row of ten record buttons under the grid (first, prior,
// next, last, insert, delete, edit, post, cancel, refresh). The settings
// decide whether all ten or only the four moving buttons are shown.
#pragma once

#include <QWidget>
#include <array>
#include <functional>

#include "console/navigator.h"

class QToolButton;

namespace kartova {

class TDBNavigator : public QWidget {
  Q_OBJECT

 public:
  enum Button { First, Prior, Next, Last, Insert, Delete, Edit, Post, Cancel, Refresh, Count };

  explicit TDBNavigator(QWidget* parent = nullptr);
  ~TDBNavigator() override;

  // All ten buttons, or only First, Prior, Next and Last.
  void SetEditingButtonsVisible(bool visible);
  QToolButton* button(Button b) const { return buttons_[b]; }

  // Follows `source`: the buttons enable by its data set's state and a click
  // acts on it through `run`, which reports errors.
  void Bind(kivo::TDataSource& source, std::function<void(const std::function<void()>&)> run);
  void Unbind() { link_.SetDataSource(nullptr); }

 private:
  void UpdateButtons();

  TNavigatorLink link_;
  std::function<void(const std::function<void()>&)> run_;
  std::array<QToolButton*, Count> buttons_{};
};

}  // namespace kartova
