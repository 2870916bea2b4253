#include "platform/owning_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kivo {
namespace {

class Item;
using Registry = TOwningRegistry<Item>;

// Records its destruction, and whether its registry still listed it then.
class Item {
 public:
  Item(std::string name, Registry& registry, std::vector<std::string>& gone)
      : name_(std::move(name)), registry_(registry), gone_(gone) {}
  ~Item() { gone_.push_back(name_ + (registry_.Contains(this) ? " listed" : "")); }

 private:
  std::string name_;
  Registry& registry_;
  std::vector<std::string>& gone_;
};

TEST(OwningRegistry, TakeHandsOutOneItemAndDestroyAllGoesLastFirst) {
  std::vector<std::string> gone;
  Registry registry;
  Item* a = registry.Add(std::make_unique<Item>("a", registry, gone));
  Item* b = registry.Add(std::make_unique<Item>("b", registry, gone));
  registry.Add(std::make_unique<Item>("c", registry, gone));
  EXPECT_EQ(registry.Count(), 3);
  EXPECT_TRUE(registry.Contains(b));

  std::unique_ptr<Item> taken = registry.Take(b);
  EXPECT_EQ(taken.get(), b);
  EXPECT_FALSE(registry.Contains(b));
  EXPECT_EQ(registry.Take(b), nullptr);  // not registered any more
  EXPECT_TRUE(gone.empty());             // the taker decides when it goes
  taken.reset();
  EXPECT_EQ(gone, std::vector<std::string>{"b"});

  EXPECT_EQ(registry.Items().front().get(), a);
  registry.DestroyAll();
  EXPECT_EQ(gone, (std::vector<std::string>{"b", "c", "a"}));
  EXPECT_EQ(registry.Count(), 0);
}

}  // namespace
}  // namespace kivo
