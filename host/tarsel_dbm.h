// Stand-in for the host's tag database TarselDbm. Its exported "FuncTable"
// holds the two entries the driver calls: slot 23 takes a value-change event
// (called on the driver's event thread) and slot 29 fills a tag's name
// (called on the host's thread). A host program installs a handler to see
// them; without one, values are dropped and names stay empty.
#pragma once

#include "host/tarsel_sub.h"

extern "C" {
typedef void (*TarselDbmPostValueFn)(int tag_id, CTagVal* value);  // FuncTable slot 23
typedef void (*TarselDbmTagNameFn)(int tag_id, CString* name);     // FuncTable slot 29
}

enum : int { kTarselDbmSlotPostValue = 23, kTarselDbmSlotTagName = 29 };

struct TarselDbmHandler {
  void (*on_value)(void* context, int tag_id, const CTagVal& value) = nullptr;
  void (*tag_name)(void* context, int tag_id, CString* name) = nullptr;
  void* context = nullptr;
};

// Installs (or with null removes) the handler. Removal waits for a call in
// progress, so the context may be destroyed right after.
extern "C" void TarselDbmInstallHandler(const TarselDbmHandler* handler);
