// TickCount: milliseconds since an arbitrary start, as a wrapping uint32, like
// the Windows tick count. Differences are taken as unsigned 32-bit values, so
// the wrap after 49.7 days is harmless. Thread-safe.
#pragma once

#include <cstdint>

namespace dravik {

uint32_t TickCount();
void SleepMs(uint32_t ms);  // 0 yields the processor

}  // namespace dravik
