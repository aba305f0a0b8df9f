// Names the calling thread as tools such as top and gdb show it (at most 15
// characters on Linux). Any thread, for itself only.
#pragma once

namespace dravik {

void SetCurrentThreadName(const char* name);

}  // namespace dravik
