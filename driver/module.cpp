// The module's one export and its load and unload steps. The table is filled
// by a static initialiser before the host can read it, and the library
// destructor tears every instance down when the host unloads the module.
#include "driver/slots.h"
#include "model/string_table.h"

extern "C" {
__attribute__((visibility("default"))) void* DrvFuncTable[DRV_SLOT_COUNT];
}  // extern "C"

namespace {

__attribute__((constructor)) void OnModuleLoad() {
  dravik::FillFunctionTable(DrvFuncTable);
  dravik::RegisterEditorStrings();
}

__attribute__((destructor)) void OnModuleUnload() { dravik::UnloadModule(); }

}  // namespace
