// Stand-in for the host's run-time library WendroR, which keeps the log. Its
// exported "FuncTable" slot 19 takes (3, flags, text) from the driver's
// message reporter, on any of the driver's threads. A host program installs
// a handler to receive the lines; without one they go to stderr.
#pragma once

extern "C" {
typedef void (*WendroRLogFn)(int kind, int flags, const char* text);  // FuncTable slot 19
}

enum : int { kWendroRSlotLog = 19 };

struct WendroRHandler {
  void (*on_log)(void* context, int kind, int flags, const char* text) = nullptr;
  void* context = nullptr;
};

// Installs (or with null removes) the handler; removal waits for a call in
// progress.
extern "C" void WendroRInstallHandler(const WendroRHandler* handler);
