// Event: the auto- or manual-reset signalling object the engine's threads use
// to hand over work (data ready, thread finished). Windows semantics: Set
// signals, Reset clears, Pulse releases a waiting thread (one for auto-reset,
// all current waiters for manual-reset) and leaves the event non-signalled.
// Any thread may call any member; the event guards itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace dravik {

class Event {
 public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;
  enum class Reset { kAuto, kManual };

  explicit Event(Reset mode, bool initially_signalled = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void ResetEvent();
  void Pulse();
  // Returns true when the event was signalled or pulsed, false on time-out.
  bool Wait(uint32_t timeout_ms);

 private:
  const bool manual_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_;            // guarded by mutex_
  int waiters_ = 0;           // guarded by mutex_
  int pulse_tokens_ = 0;      // auto-reset pulse: waiters it may release; guarded by mutex_
  uint64_t generation_ = 0;   // manual-reset pulse releases every waiter of an older generation
};

}  // namespace dravik
