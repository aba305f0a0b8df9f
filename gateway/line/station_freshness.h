// StationFreshness: whether a station's values may be served as good now.
// The driver says nothing per value about its age: a value event comes only
// when a value changes. What the host can see is each station's counters in
// the samples, so a station's data is fresh while
//   - its state is ok (the five-in-a-row rule), and
//   - its last good read (reads_sent - reads_failed moved) is younger than
//     its limit.
// The limit is the port's stale_after_ms (draviknet.conf) when set, else
// learnt from the line itself: three times the longest gap between two good
// reads with no failure between them, and never below kMinLimitMs, so a
// healthy line's jitter never trips it while a silent station is stale
// within seconds, long before its fifth failure.
// Not thread-safe: the owner serialises the calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gateway/line/line_face.h"

namespace dravik::host {

class StationFreshness {
 public:
  static constexpr int64_t kMinLimitMs = 5000;

  // `fixed_limit_ms`: the configured limit, 0 to learn it.
  explicit StationFreshness(size_t stations, int64_t fixed_limit_ms = 0)
      : stations_(stations), fixed_limit_ms_(fixed_limit_ms) {}

  // A sample of every station, in project order, taken at `now_ms`.
  void Observe(const std::vector<StationReport>& reports, int64_t now_ms);
  bool Fresh(size_t station, int64_t now_ms) const;
  int64_t LimitMs(size_t station) const;
  // 0 before the first good read.
  int64_t LastGoodMs(size_t station) const;

 private:
  struct Station {
    bool counted = false;  // good/failed hold a reading
    int good = 0, failed = 0;
    int64_t last_good_ms = 0;
    int64_t longest_healthy_gap_ms = 0;
    bool failed_since_good = false;
    bool ok = false;
  };
  std::vector<Station> stations_;
  int64_t fixed_limit_ms_ = 0;
};

}  // namespace dravik::host
