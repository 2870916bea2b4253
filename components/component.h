// The component base: a name, an owner that destroys the components it owns,
// the loading state (BeginLoading/EndLoading -> Loaded) and notifications
// about components being inserted or removed.
#pragma once

#include <string>
#include <vector>

namespace kivo {

enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  // The component joins `owner`'s list (owner may be nullptr) and is
  // destroyed with it.
  explicit TComponent(TComponent* owner = nullptr);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  virtual void SetName(const std::string& name) { name_ = name; }
  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  // REQUIRES: 0 <= index < ComponentCount().
  TComponent* Components(int index) const { return components_[static_cast<std::size_t>(index)]; }

  // While loading, property setters only store their values; EndLoading
  // clears the state of this component and the components it owns and calls
  // their Loaded() (owned components first, in order of creation).
  void BeginLoading();
  void EndLoading();
  bool Loading() const { return loading_; }
  bool Destroying() const { return destroying_; }

  // `component` is told (Notification with opRemove) when this one is
  // destroyed, and the other way round.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

 protected:
  virtual void Loaded() {}
  // Told about a component inserted into or removed from this one's owner,
  // and about the destruction of components registered with FreeNotification.
  virtual void Notification(TComponent* /*component*/, TOperation /*operation*/) {}

  // Tells the owner and the owner's other components that this one was
  // inserted. Called at the end of the constructors of classes whose
  // siblings react to them, once the object is complete.
  void NotifyInserted();
  // Marks the component as being destroyed and sends the remove
  // notifications. Destructors that need the object whole while others are
  // told call it first; it runs once.
  void BeginDestroy();
  // Destroys the owned components, last first.
  void DestroyComponents();

 private:
  void SendToOwnerAndSiblings(TOperation operation);

  std::string name_;
  TComponent* owner_;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> free_notifies_;
  bool loading_ = false;
  bool destroying_ = false;
  bool removed_ = false;  // remove notifications already sent
};

}  // namespace kivo
