#include "testing/fault_store.h"

namespace kivo::testing {

TAbstractFile* TFaultFileSet::Wrap(const std::string& name, TAbstractFile* real) {
  if (real == nullptr) return nullptr;
  opened_.push_back(name);
  auto wrapper = std::make_unique<TFaultFile>(real, &plan);
  TFaultFile* file = wrapper.get();
  wrappers_.emplace(file, std::move(wrapper));
  return file;
}

TAbstractFile* TFaultFileSet::Unwrap(TAbstractFile* file) {
  const auto it = wrappers_.find(file);
  if (it == wrappers_.end()) return file;
  TAbstractFile* real = it->second->Real();
  wrappers_.erase(it);
  return real;
}

}  // namespace kivo::testing
