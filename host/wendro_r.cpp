#include "host/wendro_r.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex g_mutex;  // guards g_handler and serialises log calls
WendroRHandler g_handler;

void Log(int kind, int flags, const char* text) {
  std::lock_guard lock(g_mutex);
  if (g_handler.on_log) {
    g_handler.on_log(g_handler.context, kind, flags, text ? text : "");
  } else {
    std::fprintf(stderr, "log(%d, 0x%03x): %s\n", kind, flags, text ? text : "");
  }
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) void* FuncTable[32] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr,
    reinterpret_cast<void*>(&Log),  // 19
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr};
}  // extern "C"

extern "C" void WendroRInstallHandler(const WendroRHandler* handler) {
  std::lock_guard lock(g_mutex);
  g_handler = handler ? *handler : WendroRHandler{};
}
