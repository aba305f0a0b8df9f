#include "host/wendro.h"

extern "C" {
__attribute__((visibility("default"))) void* WdrFuncTable[kWendroTableSlots] = {};
}  // extern "C"
