#include "dataset/data_link.h"

#include <algorithm>

namespace kivo {

namespace {

template <typename T>
bool Contains(const std::vector<T*>& items, T* item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

template <typename T>
void Erase(std::vector<T*>& items, T* item) {
  items.erase(std::remove(items.begin(), items.end(), item), items.end());
}

}  // namespace

// ---------------------------------------------------------------------------
// TDataSource

TDataSource::~TDataSource() {
  if (data_set_) data_set_->RemoveDataSource(this);
  for (TDataLink* link : links_) link->SourceDestroyed();
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == data_set_) return;
  if (data_set_) data_set_->RemoveDataSource(this);
  data_set_ = dataSet;
  if (data_set_) data_set_->AddDataSource(this);
  NotifyStateChange();
}

void TDataSource::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  NotifyStateChange();
}

TDataSetState TDataSource::State() const {
  return data_set_ && enabled_ ? data_set_->State() : dsInactive;
}

void TDataSource::DataSetDestroyed() {
  data_set_ = nullptr;
  NotifyStateChange();
}

void TDataSource::NotifyStateChange() {
  const TDataSetState state = State();
  const bool changed = state != last_state_;
  last_state_ = state;
  // Links may unregister while being told; only those still registered are called.
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links)
    if (Contains(links_, link)) link->UpdateState();
  if (changed && OnStateChange) OnStateChange(*this);
}

void TDataSource::DataEvent(TDataEvent event, std::intptr_t info) {
  if (event == deUpdateState) {
    NotifyStateChange();
    return;
  }
  if (!enabled_) return;
  const std::vector<TDataLink*> links = links_;
  for (TDataLink* link : links)
    if (Contains(links_, link)) link->DataEvent(event, info);
  switch (event) {
    case deFieldChange:
      if (OnDataChange) OnDataChange(*this, reinterpret_cast<TField*>(info));
      break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

void TDataSource::AddLink(TDataLink* link) {
  if (!Contains(links_, link)) links_.push_back(link);
}

void TDataSource::RemoveLink(TDataLink* link) { Erase(links_, link); }

// ---------------------------------------------------------------------------
// TDataLink

TDataLink::~TDataLink() {
  if (data_source_) data_source_->RemoveLink(this);
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == data_source_) return;
  if (data_source_) data_source_->RemoveLink(this);
  data_source_ = source;
  if (data_source_) data_source_->AddLink(this);
  UpdateState();
}

void TDataLink::SetReadOnly(bool value) {
  if (value == read_only_) return;
  read_only_ = value;
  UpdateState();
}

bool TDataLink::Edit() {
  if (!read_only_ && active_ && DataSet()->State() == dsBrowse) DataSet()->Edit();
  return editing_;
}

void TDataLink::UpdateState() {
  const TDataSetState state = data_source_ ? data_source_->State() : dsInactive;
  SetActiveFlag(state != dsInactive);
  SetEditingFlag(!read_only_ && (state == dsEdit || state == dsInsert || state == dsSetKey));
}

void TDataLink::SetActiveFlag(bool value) {
  if (value == active_) return;
  active_ = value;
  ActiveChanged();
}

void TDataLink::SetEditingFlag(bool value) {
  if (value == editing_) return;
  editing_ = value;
  EditingChanged();
}

void TDataLink::DataEvent(TDataEvent event, std::intptr_t info) {
  if (!active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!updating_) RecordChanged(reinterpret_cast<TField*>(info));
      break;
    case deDataSetChange:
      DataSetChanged();
      break;
    case deDataSetScroll:
      DataSetScrolled(static_cast<int>(info));
      break;
    case deLayoutChange:
      LayoutChanged();
      break;
    case deUpdateRecord:
      updating_ = true;
      try {
        UpdateData();
      } catch (...) {
        updating_ = false;
        throw;
      }
      updating_ = false;
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(reinterpret_cast<TField*>(info));
      break;
    default:
      break;
  }
}

}  // namespace kivo
