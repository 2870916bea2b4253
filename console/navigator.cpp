#include "console/navigator.h"

namespace kartova {

using kivo::TDataSet;

TNavigatorEnabled NavigatorEnabled(TDataSet* dataSet) {
  TNavigatorEnabled on{};
  if (!dataSet || !dataSet->Active()) return on;
  const bool editing = dataSet->State() == kivo::dsEdit || dataSet->State() == kivo::dsInsert;
  const bool canModify = dataSet->CanModify();
  const bool empty = dataSet->IsEmpty();
  const auto set = [&](TNavigatorButton b, bool value) { on[static_cast<int>(b)] = value; };
  set(TNavigatorButton::kFirst, !dataSet->Bof());
  set(TNavigatorButton::kPrior, !dataSet->Bof());
  set(TNavigatorButton::kNext, !dataSet->Eof());
  set(TNavigatorButton::kLast, !dataSet->Eof());
  set(TNavigatorButton::kInsert, canModify);
  set(TNavigatorButton::kDelete, canModify && !empty);
  set(TNavigatorButton::kEdit, canModify && !editing);
  set(TNavigatorButton::kPost, canModify && editing);
  set(TNavigatorButton::kCancel, canModify && editing);
  set(TNavigatorButton::kRefresh, true);
  return on;
}

void ClickNavigatorButton(TDataSet& dataSet, TNavigatorButton button) {
  switch (button) {
    case TNavigatorButton::kFirst:
      dataSet.First();
      break;
    case TNavigatorButton::kPrior:
      dataSet.Prior();
      break;
    case TNavigatorButton::kNext:
      dataSet.Next();
      break;
    case TNavigatorButton::kLast:
      dataSet.Last();
      break;
    case TNavigatorButton::kInsert:
      dataSet.Insert();
      break;
    case TNavigatorButton::kDelete:
      dataSet.Delete();
      break;
    case TNavigatorButton::kEdit:
      dataSet.Edit();
      break;
    case TNavigatorButton::kPost:
      dataSet.Post();
      break;
    case TNavigatorButton::kCancel:
      dataSet.Cancel();
      break;
    case TNavigatorButton::kRefresh:
      dataSet.Refresh();
      break;
  }
}

}  // namespace kartova
