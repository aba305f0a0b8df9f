#include "driver/slots.h"

#include <exception>
#include <string>

#include "driver/editor_launcher.h"
#include "driver/instance_registry.h"
#include "model/string_table.h"
#include "runtime/host_services.h"

namespace dravik {

namespace {

// No exception crosses the function table: a slot that throws (out of memory,
// most likely) logs one line and returns its failure result.
void NoteSlotFailure(const char* slot, const char* what) {
  try {
    ReportDriverNote(0, std::string(slot) + " 처리 중 오류: " + what);
  } catch (...) {
  }
}

template <typename Result, typename Fn>
Result Guarded(const char* slot, Result failure, Fn fn) {
  try {
    return fn();
  } catch (const std::exception& e) {
    NoteSlotFailure(slot, e.what());
  } catch (...) {
    NoteSlotFailure(slot, "unknown exception");
  }
  return failure;
}

template <typename Fn>
void GuardedVoid(const char* slot, Fn fn) {
  Guarded(slot, 0, [&] {
    fn();
    return 0;
  });
}

// Slot 3's failure: the port is not ready, as when it does not open.
int PrepareFailed() {
  try {
    return ReportDriverMessage(4, 0, "");
  } catch (...) {
    return 4;
  }
}

extern "C" {

int SlotVersion() { return kInterfaceVersion; }

int SlotCreateInstance(const char* path) {
  bool loaded = false;
  const int handle = Guarded("함수 1", -1, [&] {
    BindRuntimeLibraries();
    auto doc = std::make_unique<CDravikNetDoc>();
    // Out of memory while loading is a failed load, reported as one.
    if (doc->LoadFile(path) != 1) return -1;
    loaded = true;
    return Registry().Add(std::move(doc));
  });
  if (handle >= 0) return handle;
  if (!loaded) {
    Guarded("함수 1", 0, [&] { return ReportDriverMessage(5, 0, path ? path : ""); });
  }
  return -1;
}

int SlotEditConfig(const char* path) {
  return Guarded("함수 2", 0, [&] { return RunEditor(path); });
}

int SlotPrepareComm(int instance) {
  try {
    CDravikNetDoc* doc = Registry().Find(instance);
    return doc ? doc->PrepareComm() : 0;
  } catch (const std::exception& e) {
    NoteSlotFailure("함수 3", e.what());
  } catch (...) {
    NoteSlotFailure("함수 3", "unknown exception");
  }
  return PrepareFailed();
}

int SlotBuildTagRequests(int instance) {
  return Guarded("함수 4", 0, [&] {
    CDravikNetDoc* doc = Registry().Find(instance);
    return doc ? doc->BuildTagRequests() : 0;
  });
}

int SlotStop(int instance) {
  return Guarded("함수 5", 0, [&] {
    CDravikNetDoc* doc = Registry().Find(instance);
    return doc ? doc->Stop() : 0;
  });
}

int SlotBindTag(int instance, const char* device, const char* address, int type, int bit_or_length,
                int tag_id) {
  return Guarded("함수 6", -1, [&] {
    CDravikNetDoc* doc = Registry().Find(instance);
    return doc ? doc->BindTag(device, address, type, bit_or_length, tag_id) : -1;
  });
}

int SlotWriteTag(int instance, int handle, CTagVal* value) {
  return Guarded("함수 7", 0, [&] {
    CDravikNetDoc* doc = Registry().Find(instance);
    return doc ? doc->WriteTag(handle, value) : 0;
  });
}

// Slots 8 to 11 have no known purpose in the host; their results are fixed.
int SlotReserved8() { return 0; }
int SlotReserved9() { return 1; }
void SlotReserved10() {}
void SlotReserved11() {}

const char* SlotDriverName() { return kDriverName; }

void SlotSetRunState(int instance, const char* station, int state) {
  GuardedVoid("함수 13", [&] {
    if (CDravikNetDoc* doc = Registry().Find(instance)) doc->SetRunState(station, state);
  });
}

void SlotResetCounters(int instance, const char* station) {
  GuardedVoid("함수 14", [&] {
    if (CDravikNetDoc* doc = Registry().Find(instance)) doc->ResetCounters(station);
  });
}

int SlotGetStatistics(int instance, const char* station, int* ws, int* wf, int* rs, int* rf) {
  return Guarded("함수 15", -1, [&] {
    CDravikNetDoc* doc = Registry().Find(instance);
    return doc ? doc->GetStatistics(station, ws, wf, rs, rf) : -1;
  });
}

void SlotGetStationTexts(int instance, const char* station, CString* number, CString* description) {
  GuardedVoid("함수 16", [&] {
    if (CDravikNetDoc* doc = Registry().Find(instance)) {
      doc->GetStationTexts(station, number, description);
    }
  });
}

}  // extern "C"

template <typename Fn>
void* Slot(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace

void FillFunctionTable(void** table) {
  table[DRV_SLOT_VERSION] = Slot(&SlotVersion);
  table[DRV_SLOT_CREATE] = Slot(&SlotCreateInstance);
  table[DRV_SLOT_EDIT] = Slot(&SlotEditConfig);
  table[DRV_SLOT_PREPARE] = Slot(&SlotPrepareComm);
  table[DRV_SLOT_BUILD_REQUESTS] = Slot(&SlotBuildTagRequests);
  table[DRV_SLOT_STOP] = Slot(&SlotStop);
  table[DRV_SLOT_BIND_TAG] = Slot(&SlotBindTag);
  table[DRV_SLOT_WRITE_TAG] = Slot(&SlotWriteTag);
  table[DRV_SLOT_RESERVED_8] = Slot(&SlotReserved8);
  table[DRV_SLOT_RESERVED_9] = Slot(&SlotReserved9);
  table[DRV_SLOT_RESERVED_10] = Slot(&SlotReserved10);
  table[DRV_SLOT_RESERVED_11] = Slot(&SlotReserved11);
  table[DRV_SLOT_NAME] = Slot(&SlotDriverName);
  table[DRV_SLOT_SET_RUN_STATE] = Slot(&SlotSetRunState);
  table[DRV_SLOT_RESET_COUNTERS] = Slot(&SlotResetCounters);
  table[DRV_SLOT_GET_STATISTICS] = Slot(&SlotGetStatistics);
  table[DRV_SLOT_STATION_TEXTS] = Slot(&SlotGetStationTexts);
  for (int i = DRV_SLOT_STATION_TEXTS + 1; i < DRV_SLOT_COUNT; ++i) table[i] = nullptr;
}

void UnloadModule() {
  Registry().DeleteAll();
  DestroyRegistry();
  DestroyHostBindings();
  UnregisterEditorStrings();
}

}  // namespace dravik
