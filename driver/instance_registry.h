// The instance registry: the module-wide list of driver documents, indexed by
// the instance handle the host holds. Appended only by slot 1, emptied only at
// module unload, read by the forwarding slots, all on the host's calling
// thread (slot 1 never runs beside another slot), so it takes no lock.
#pragma once

#include <memory>
#include <vector>

#include "model/dravik_doc.h"

namespace dravik {

class InstanceRegistry {
 public:
  // The new instance's handle: the count before it.
  int Add(std::unique_ptr<CDravikNetDoc> doc);
  // The document for `handle`, or null when the handle is refused.
  CDravikNetDoc* Find(int handle) const;
  int Count() const { return static_cast<int>(docs_.size()); }
  // Deletes every document from index 0 upwards (each stops its engine first).
  void DeleteAll();

 private:
  std::vector<std::unique_ptr<CDravikNetDoc>> docs_;
};

InstanceRegistry& Registry();
// Module unload, last step: frees the (emptied) registry itself.
void DestroyRegistry();

}  // namespace dravik
