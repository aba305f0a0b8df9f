// DynamicLibrary: load a shared library by name with the platform's search
// rules, look up an export, free it. The OS's error text is kept so that a
// caller can show why a load failed. Owned by one thread at a time.
#pragma once

#include <string>

namespace dravik {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;

  bool Load(const std::string& name);
  void* Symbol(const char* name) const;
  void Free();
  bool IsLoaded() const { return handle_ != nullptr; }
  const std::string& Error() const { return error_; }

  // The folder that holds the loaded module containing `address` (with a
  // trailing slash), or empty when it cannot be told.
  static std::string FolderOf(const void* address);

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace dravik
