#include "platform/tick_count.h"

#include <chrono>
#include <thread>

namespace dravik {

uint32_t TickCount() {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

void SleepMs(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

}  // namespace dravik
