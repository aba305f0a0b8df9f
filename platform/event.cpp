#include "platform/event.h"

#include <chrono>

namespace dravik {

Event::Event(Reset mode, bool initially_signalled)
    : manual_(mode == Reset::kManual), signalled_(initially_signalled) {}

void Event::Set() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = true;
  }
  if (manual_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::ResetEvent() {
  std::lock_guard lock(mutex_);
  signalled_ = false;
}

void Event::Pulse() {
  {
    std::lock_guard lock(mutex_);
    signalled_ = false;
    if (waiters_ == 0) return;
    if (manual_) {
      ++generation_;
    } else {
      pulse_tokens_ = 1;
    }
  }
  cv_.notify_all();
}

bool Event::Wait(uint32_t timeout_ms) {
  std::unique_lock lock(mutex_);
  auto ready = [&](uint64_t gen) {
    return signalled_ || pulse_tokens_ > 0 || generation_ != gen;
  };
  const uint64_t gen = generation_;
  ++waiters_;
  bool woke;
  if (timeout_ms == kInfinite) {
    cv_.wait(lock, [&] { return ready(gen); });
    woke = true;
  } else {
    woke = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return ready(gen); });
  }
  --waiters_;
  if (!woke) return false;
  if (signalled_) {
    if (!manual_) signalled_ = false;
  } else if (pulse_tokens_ > 0) {
    --pulse_tokens_;
  }
  return true;
}

}  // namespace dravik
