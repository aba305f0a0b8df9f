#include "gateway/line/driver_library.h"

#include <dlfcn.h>
#include <unistd.h>

namespace dravik::host {

std::string DefaultDriverPath() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "libdraviknet.so";
  std::string path(exe, static_cast<size_t>(n));
  const auto slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) +
         "/libdraviknet.so";
}

bool Driver::Load(const std::string& path, std::string* error) {
  path_ = path;
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    *error = "cannot load driver " + path + ": " + (why ? why : "unknown error");
    return false;
  }
  table_ = static_cast<void**>(::dlsym(handle_, "DrvFuncTable"));
  if (table_ == nullptr) {
    *error = "driver " + path + " has no DrvFuncTable";
    return false;
  }
  for (int slot = 0; slot <= DRV_SLOT_STATION_TEXTS; ++slot) {
    if (table_[slot] == nullptr) {
      *error = "driver " + path + ": DrvFuncTable slot " + std::to_string(slot) + " is empty";
      return false;
    }
  }
  return true;
}

void Driver::Unload() {
  handle_ = nullptr;
  table_ = nullptr;
}

}  // namespace dravik::host
