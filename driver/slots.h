// The driver function table's slot functions (C linkage) and the module's
// load and unload steps. Every slot runs on the host's calling thread.
#pragma once

#include "draviknet/driver_table.h"

namespace dravik {

constexpr int kInterfaceVersion = 0x00010000;

// Fills `table`: slots 0..16 with the slot functions, 17..31 null.
void FillFunctionTable(void** table);
// Module unload: delete every instance (stopping running engines first),
// free the host libraries.
void UnloadModule();

}  // namespace dravik
