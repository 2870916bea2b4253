// The list behind a process-wide registry that owns what it registers.
//
// A registry hands out plain pointers to its items and decides itself when
// one goes: its owner takes an item out (Take) once the item's last user has
// left, and destroys it by letting the returned pointer go. No item ends its
// own lifetime, and no user has to ask whether its pointer still lives.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

namespace kivo {

// REQUIRES (every member): the lock its owner guards the registry with.
template <typename T>
class TOwningRegistry {
 public:
  T* Add(std::unique_ptr<T> item) {
    items_.push_back(std::move(item));
    return items_.back().get();
  }
  bool Contains(const T* item) const {
    return std::any_of(items_.begin(), items_.end(),
                       [&](const std::unique_ptr<T>& owned) { return owned.get() == item; });
  }
  int Count() const { return static_cast<int>(items_.size()); }
  // The items, first registered first.
  const std::vector<std::unique_ptr<T>>& Items() const { return items_; }
  // Takes `item` out of the registry; nullptr when it is not registered.
  std::unique_ptr<T> Take(const T* item) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->get() != item) continue;
      std::unique_ptr<T> taken = std::move(*it);
      items_.erase(it);
      return taken;
    }
    return nullptr;
  }
  // Destroys every item, last registered first; each is out of the list
  // before it is destroyed, so its destructor sees the registry without it.
  void DestroyAll() {
    while (!items_.empty()) {
      const std::unique_ptr<T> gone = std::move(items_.back());
      items_.pop_back();
    }
  }

 private:
  std::vector<std::unique_ptr<T>> items_;
};

}  // namespace kivo
