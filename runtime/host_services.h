// The driver's binding to the host's libraries and its one path to the host
// log. Holds the module handles and exported tables of TarselDbm ("FuncTable"),
// WendroR ("FuncTable") and Wendro ("WdrFuncTable").
//
// Binding and release run on the host's calling thread (slots 1 and 2, module
// unload). The table pointers are atomics because the engine's threads read
// them (the log on the scheduler thread, value delivery on the event thread)
// while another instance may be created.
#pragma once

#include <string>

#include "host/tarsel_sub.h"

namespace dravik {

constexpr int kMessageCount = 19;  // catalogue entries 0..18
constexpr const char* kDriverName = "Dravik RS232/422";
constexpr const char* kMessagePrefix = "[Dravik RS232/422] ";

// The catalogue's format text for `number`, or null outside 0..18.
const char* MessageFormat(int number);

// Formats message `number` with up to two texts, prefixes it and logs it with
// flags | 0x100. Returns -number when logged; `number` itself when the log is
// not bound, the number is negative or (a programming error) above 18.
int ReportDriverMessage(int number, int flags, const char* first = nullptr,
                        const char* second = nullptr);

// A line of our own (not in the catalogue) for a configuration problem the
// catalogue has no number for; logged with the prefix and flags | 0x100.
// Returns false when the log is not bound.
bool ReportDriverNote(int flags, const std::string& text);

// The host tag's name through TarselDbm slot 29; empty when not bound.
std::string LookupTagName(int tag_id);
// Hands a value to TarselDbm slot 23. False (value not delivered) when the tag
// database is not bound.
bool PostValueToHost(int tag_id, CTagVal* value);

// Slot 1: for TarselDbm, then WendroR, load the library if its handle is null
// and take its "FuncTable". A library that loaded without the export is not
// asked again; one that failed to load is tried again next time.
void BindRuntimeLibraries();
// Slot 2: load Wendro and take "WdrFuncTable". False (and nothing held) when
// the library or its export is missing.
bool BindEditorLibrary();
void ReleaseEditorLibrary();
// Module unload: free Wendro, WendroR and TarselDbm, each if held, in that order.
void ReleaseHostLibraries();
// The last step of module unload: release, then free the bindings' memory.
// Nothing of this file may be called afterwards.
void DestroyHostBindings();

// Names the libraries are loaded by (the platform's file names).
extern const char* const kTarselDbmLibrary;
extern const char* const kWendroRLibrary;
extern const char* const kWendroLibrary;

}  // namespace dravik
