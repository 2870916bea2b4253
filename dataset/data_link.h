// Data sources and data links: how controls, grids and detail data sets
// follow a data set. A data source registers with its data set and relays
// the data set's events to the links registered with it; a link turns the
// events into virtual calls (active changed, data set changed or scrolled,
// record changed, editing changed, update data, browse-mode check).
//
// Registration runs both ways and every destructor unregisters: a data set
// destroyed before its source leaves the source without a data set, a
// source destroyed before its links leaves them without a source, so no
// pointer dangles whichever goes first.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "dataset/dataset.h"

namespace kivo {

class TDataLink;

class TDataSource {
 public:
  TDataSource() = default;
  explicit TDataSource(TDataSet* dataSet) { SetDataSet(dataSet); }
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  TDataSet* DataSet() const { return data_set_; }
  void SetDataSet(TDataSet* dataSet);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // The data set's state; dsInactive without a data set or while disabled.
  TDataSetState State() const;
  int LinkCount() const { return static_cast<int>(links_.size()); }

  // Field change (the field) and record, data set or scroll changes (nullptr).
  std::function<void(TDataSource&, TField*)> OnDataChange;
  std::function<void(TDataSource&)> OnStateChange;
  std::function<void(TDataSource&)> OnUpdateData;

 private:
  friend class TDataSet;
  friend class TDataLink;

  void DataEvent(TDataEvent event, std::intptr_t info);
  // Brings every link's active and editing flags up to date.
  void NotifyStateChange();
  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);
  // Called by a data set being destroyed.
  void DataSetDestroyed();

  TDataSet* data_set_ = nullptr;
  bool enabled_ = true;
  TDataSetState last_state_ = dsInactive;
  // Not owned: links register and unregister themselves.
  std::vector<TDataLink*> links_;
};

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return data_source_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const { return data_source_ ? data_source_->DataSet() : nullptr; }
  // The source is enabled and its data set open.
  bool Active() const { return active_; }
  // Active and the data set is in edit, insert or set-key state.
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  // Puts the data set into edit state (unless the link is read-only);
  // returns Editing().
  bool Edit();

 protected:
  virtual void ActiveChanged() {}
  // The default treats a whole change as a change of the current record.
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int distance) {
    (void)distance;
    DataSetChanged();
  }
  // `field` is the changed field, nullptr for the whole record.
  virtual void RecordChanged(TField* field) { (void)field; }
  virtual void EditingChanged() {}
  // Writes the control's pending edit into the record.
  virtual void UpdateData() {}
  virtual void CheckBrowseMode() {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void FocusControl(TField* field) { (void)field; }

 private:
  friend class TDataSource;

  void DataEvent(TDataEvent event, std::intptr_t info);
  void UpdateState();
  void SetActiveFlag(bool value);
  void SetEditingFlag(bool value);
  // Called by a source being destroyed: forget it without notifications.
  void SourceDestroyed() {
    data_source_ = nullptr;
    active_ = editing_ = false;
  }

  TDataSource* data_source_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
  bool read_only_ = false;
  // True while the link itself asks the data set to update the record, so
  // that the resulting field changes do not echo back into the control.
  bool updating_ = false;
};

}  // namespace kivo
