#include "driver/instance_registry.h"

namespace dravik {

int InstanceRegistry::Add(std::unique_ptr<CDravikNetDoc> doc) {
  docs_.push_back(std::move(doc));
  return static_cast<int>(docs_.size()) - 1;
}

CDravikNetDoc* InstanceRegistry::Find(int handle) const {
  if (handle < 0 || handle >= Count()) return nullptr;
  return docs_[static_cast<size_t>(handle)].get();
}

void InstanceRegistry::DeleteAll() {
  for (auto& doc : docs_) doc.reset();
  docs_.clear();
}

InstanceRegistry& Registry() {
  // Never destroyed: module unload empties it explicitly, and the library
  // destructor may run after this module's static destructors.
  static InstanceRegistry* registry = new InstanceRegistry;
  return *registry;
}

}  // namespace dravik
