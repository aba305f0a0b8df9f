#include "gateway/line/exchange_freshness.h"

#include <algorithm>

#include "gateway/line/station_freshness.h"

namespace dravik::host {

ExchangeFreshness::ExchangeFreshness(std::vector<int64_t> floors_ms, int64_t fixed_limit_ms)
    : pollers_(floors_ms.size()), fixed_limit_ms_(fixed_limit_ms) {
  for (size_t p = 0; p < floors_ms.size(); ++p) pollers_[p].floor_ms = floors_ms[p];
}

void ExchangeFreshness::Record(size_t poller, int result, int64_t now_ms) {
  if (poller >= pollers_.size()) return;
  Poller& p = pollers_[poller];
  if (result != 0) {
    p.failed_since_good = true;
    return;
  }
  if (p.last_good_ms != 0 && !p.failed_since_good) {
    p.longest_healthy_gap_ms = std::max(p.longest_healthy_gap_ms, now_ms - p.last_good_ms);
    line_gap_ms_ = std::max(line_gap_ms_, p.longest_healthy_gap_ms);
  }
  p.last_good_ms = now_ms;
  p.failed_since_good = false;
}

int64_t ExchangeFreshness::LimitMs(size_t poller) const {
  if (fixed_limit_ms_ > 0) return fixed_limit_ms_;
  if (poller >= pollers_.size()) return StationFreshness::kMinLimitMs;
  const Poller& p = pollers_[poller];
  const int64_t gap = p.longest_healthy_gap_ms > 0 ? p.longest_healthy_gap_ms : line_gap_ms_;
  return std::max({StationFreshness::kMinLimitMs, 3 * p.floor_ms, 3 * gap});
}

bool ExchangeFreshness::Fresh(size_t poller, int64_t now_ms) const {
  if (poller >= pollers_.size()) return false;
  const Poller& p = pollers_[poller];
  return !p.failed_since_good && p.last_good_ms != 0 && now_ms - p.last_good_ms <= LimitMs(poller);
}

}  // namespace dravik::host
