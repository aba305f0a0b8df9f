// The driver library as dravik-host loads it: dlopen by path, DrvFuncTable
// looked up and checked slot by slot. One object per command; the thread that
// loaded it (the line session's, for a run) makes every slot call through it.
#pragma once

#include <string>

#include "draviknet/driver_table.h"

namespace dravik::host {

// libdraviknet.so beside this program (found through /proc/self/exe).
std::string DefaultDriverPath();

// The loaded driver and its function table.
class Driver {
 public:
  bool Load(const std::string& path, std::string* error);

  // Forgets the table but leaves the library loaded: the driver's module
  // destructor then tears its instances down at process exit, as when the
  // host exits, after every handler has been removed.
  void Unload();

  template <typename Fn>
  Fn Slot(int n) const {
    return reinterpret_cast<Fn>(table_[n]);
  }
  const std::string& Path() const { return path_; }

  // The calls that need no instance: the driver's version (0x00MMmmmm), its
  // name, and its configuration editor on a project file (1: saved).
  int Version() const { return Slot<DrvGetVersionFn>(DRV_SLOT_VERSION)(); }
  const char* Name() const { return Slot<DrvGetNameFn>(DRV_SLOT_NAME)(); }
  int EditConfig(const std::string& project) const {
    return Slot<DrvEditConfigFn>(DRV_SLOT_EDIT)(project.c_str());
  }

 private:
  std::string path_;
  void* handle_ = nullptr;
  void** table_ = nullptr;
};

}  // namespace dravik::host
