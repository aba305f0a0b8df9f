#include "host/tarsel_dbm.h"

#include <mutex>

namespace {

std::mutex g_mutex;  // guards g_handler and serialises calls into it
TarselDbmHandler g_handler;

void PostValue(int tag_id, CTagVal* value) {
  std::lock_guard lock(g_mutex);
  if (g_handler.on_value && value) g_handler.on_value(g_handler.context, tag_id, *value);
}

void TagName(int tag_id, CString* name) {
  if (!name) return;
  std::lock_guard lock(g_mutex);
  if (g_handler.tag_name) g_handler.tag_name(g_handler.context, tag_id, name);
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) void* FuncTable[32] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    reinterpret_cast<void*>(&PostValue),  // 23
    nullptr, nullptr, nullptr, nullptr, nullptr,
    reinterpret_cast<void*>(&TagName),  // 29
    nullptr, nullptr};
}  // extern "C"

extern "C" void TarselDbmInstallHandler(const TarselDbmHandler* handler) {
  std::lock_guard lock(g_mutex);
  g_handler = handler ? *handler : TarselDbmHandler{};
}
