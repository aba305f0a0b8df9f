// Slot 2: opens the configuration editor. Loads the host's design-time
// library (Wendro, "WdrFuncTable"), then the editor library from the driver's
// own folder, runs its entry on the project path and frees both. Host's
// user-interface thread only.
#pragma once

namespace dravik {

// 1 when the user saved in the editor, else 0 (also when a library is missing).
int RunEditor(const char* path);

}  // namespace dravik
