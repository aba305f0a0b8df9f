// Creation of the persisted classes by their run-time class name, as the
// project file names them. Every class here has schema number 1.
#pragma once

#include <memory>
#include <string>

namespace dravik {

class CPersistentObject {
 public:
  virtual ~CPersistentObject() = default;
  virtual const char* GetRuntimeClassName() const = 0;
};

constexpr unsigned short kSchema = 1;

// A new object of the named class, or null for a name that is not ours.
std::unique_ptr<CPersistentObject> CreateObjectByName(const std::string& name);

}  // namespace dravik
