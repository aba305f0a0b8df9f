// Stand-in for the host's design-time library Wendro. The driver only checks
// that its "WdrFuncTable" export exists before it opens the editor; it calls
// no entry of it.
#pragma once

enum : int { kWendroTableSlots = 32 };
