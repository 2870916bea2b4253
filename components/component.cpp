#include "components/component.h"

#include <algorithm>

namespace kivo {

namespace {

void Erase(std::vector<TComponent*>& v, TComponent* c) {
  auto it = std::find(v.begin(), v.end(), c);
  if (it != v.end()) v.erase(it);
}

}  // namespace

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  BeginDestroy();
  DestroyComponents();
  if (owner_) Erase(owner_->components_, this);
}

void TComponent::BeginLoading() {
  loading_ = true;
  for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::EndLoading() {
  // Work on a copy: Loaded() may create or destroy components.
  std::vector<TComponent*> owned = components_;
  for (TComponent* c : owned) {
    if (std::find(components_.begin(), components_.end(), c) != components_.end()) c->EndLoading();
  }
  if (loading_) {
    loading_ = false;
    Loaded();
  }
}

void TComponent::FreeNotification(TComponent* component) {
  if (!component || component == this) return;
  if (std::find(free_notifies_.begin(), free_notifies_.end(), component) == free_notifies_.end())
    free_notifies_.push_back(component);
  auto& theirs = component->free_notifies_;
  if (std::find(theirs.begin(), theirs.end(), this) == theirs.end()) theirs.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (!component) return;
  Erase(free_notifies_, component);
  Erase(component->free_notifies_, this);
}

void TComponent::NotifyInserted() { SendToOwnerAndSiblings(TOperation::opInsert); }

void TComponent::SendToOwnerAndSiblings(TOperation operation) {
  if (!owner_) return;
  owner_->Notification(this, operation);
  std::vector<TComponent*> siblings = owner_->components_;
  for (TComponent* s : siblings) {
    if (s == this) continue;
    // A sibling may have gone while others were told.
    if (std::find(owner_->components_.begin(), owner_->components_.end(), s) ==
        owner_->components_.end())
      continue;
    s->Notification(this, operation);
  }
}

void TComponent::BeginDestroy() {
  destroying_ = true;
  if (removed_) return;
  removed_ = true;
  while (!free_notifies_.empty()) {
    TComponent* c = free_notifies_.back();
    free_notifies_.pop_back();
    Erase(c->free_notifies_, this);
    c->Notification(this, TOperation::opRemove);
  }
  SendToOwnerAndSiblings(TOperation::opRemove);
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) {
    TComponent* c = components_.back();
    delete c;  // unlists itself
    Erase(components_, c);
  }
}

}  // namespace kivo
