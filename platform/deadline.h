// Deadline: a point on the monotonic clock, for waits that must recompute the
// time left after every interrupted or partial wait. Plain value type.
#pragma once

#include <chrono>
#include <cstdint>

namespace dravik {

class Deadline {
 public:
  explicit Deadline(uint32_t ms_from_now)
      : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms_from_now)) {}

  bool Expired() const { return std::chrono::steady_clock::now() >= end_; }

  // Milliseconds left, rounded up so a poll() never wakes just short of the end.
  int RemainingMs() const {
    using namespace std::chrono;
    const auto left = end_ - steady_clock::now();
    if (left <= steady_clock::duration::zero()) return 0;
    return static_cast<int>(duration_cast<milliseconds>(left + milliseconds(1) -
                                                        steady_clock::duration(1)).count());
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

}  // namespace dravik
