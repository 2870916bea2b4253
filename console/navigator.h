// The record navigator's logic: its ten buttons, which of them a data set's
// state enables, and what a click does. The toolkit's navigator draws the
// buttons and follows TNavigatorLink.
#pragma once

#include <array>
#include <functional>

#include "dataset/data_link.h"

namespace kartova {

enum class TNavigatorButton {
  kFirst,
  kPrior,
  kNext,
  kLast,
  kInsert,
  kDelete,
  kEdit,
  kPost,
  kCancel,
  kRefresh
};
inline constexpr int kNavigatorButtonCount = 10;

using TNavigatorEnabled = std::array<bool, kNavigatorButtonCount>;

// Moving backwards needs a record before this one, forwards one after it;
// the editing buttons need a data set that can be changed: delete a record
// to delete, edit only while browsing, post and cancel only while editing.
TNavigatorEnabled NavigatorEnabled(kivo::TDataSet* dataSet);

// What a click on `button` does to the data set. Delete asks nobody.
void ClickNavigatorButton(kivo::TDataSet& dataSet, TNavigatorButton button);

// Calls OnChange whenever the buttons' enabled state may have changed.
class TNavigatorLink : public kivo::TDataLink {
 public:
  std::function<void()> OnChange;

 protected:
  void ActiveChanged() override { Notify(); }
  void DataSetChanged() override { Notify(); }
  void DataSetScrolled(int) override { Notify(); }
  void EditingChanged() override { Notify(); }
  void RecordChanged(kivo::TField*) override {}

 private:
  void Notify() {
    if (OnChange) OnChange();
  }
};

}  // namespace kartova
