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

namespace {
// On the heap rather than static: module unload, which deletes the
// documents, may run after this module's static destructors (at exit).
InstanceRegistry* g_registry = new InstanceRegistry;
}  // namespace

InstanceRegistry& Registry() { return *g_registry; }

void DestroyRegistry() {
  delete g_registry;
  g_registry = nullptr;
}

}  // namespace dravik
