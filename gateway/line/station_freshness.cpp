#include "gateway/line/station_freshness.h"

#include <algorithm>

namespace dravik::host {

void StationFreshness::Observe(const std::vector<StationReport>& reports, int64_t now_ms) {
  for (size_t s = 0; s < reports.size() && s < stations_.size(); ++s) {
    const StationReport& r = reports[s];
    Station& st = stations_[s];
    const int good = r.reads_sent - r.reads_failed;
    st.ok = r.state == "ok";
    // A reset of the counters starts the count again; it proves no read,
    // and what happened across it is unknown, so that gap is not learnt.
    if (!st.counted || good < st.good || r.reads_failed < st.failed) {
      // The first sample comes within 200 ms of the start, and the counters
      // start with the run: the reads it counts are that recent.
      if (!st.counted && good > 0) st.last_good_ms = now_ms;
      st.failed_since_good = st.counted;
      st.counted = true;
      st.good = good;
      st.failed = r.reads_failed;
      continue;
    }
    if (r.reads_failed > st.failed) st.failed_since_good = true;
    if (good > st.good) {
      if (st.last_good_ms != 0 && !st.failed_since_good) {
        st.longest_healthy_gap_ms = std::max(st.longest_healthy_gap_ms, now_ms - st.last_good_ms);
      }
      st.last_good_ms = now_ms;
      st.failed_since_good = false;
    }
    st.good = good;
    st.failed = r.reads_failed;
  }
}

int64_t StationFreshness::LimitMs(size_t station) const {
  if (fixed_limit_ms_ > 0) return fixed_limit_ms_;
  if (station >= stations_.size()) return kMinLimitMs;
  return std::max(kMinLimitMs, 3 * stations_[station].longest_healthy_gap_ms);
}

int64_t StationFreshness::LastGoodMs(size_t station) const {
  return station < stations_.size() ? stations_[station].last_good_ms : 0;
}

bool StationFreshness::Fresh(size_t station, int64_t now_ms) const {
  if (station >= stations_.size()) return false;
  const Station& st = stations_[station];
  return st.ok && st.last_good_ms != 0 && now_ms - st.last_good_ms <= LimitMs(station);
}

}  // namespace dravik::host
