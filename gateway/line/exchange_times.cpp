#include "gateway/line/exchange_times.h"

#include <algorithm>

namespace dravik::host {
namespace {
// A block whose last exchange is older than this (and than two of its own
// gaps) is no longer polled (its station disabled, say): its gap is old news.
constexpr int64_t kStillPolledMs = 5000;
}  // namespace

ExchangeTimes::ExchangeTimes(std::vector<size_t> poller_stations, size_t stations)
    : pollers_(poller_stations.size()), stations_(stations) {
  for (size_t p = 0; p < poller_stations.size(); ++p) pollers_[p].station = poller_stations[p];
  for (ReplyHistogram& h : stations_) h.buckets.assign(kReplyBucketSeconds.size(), 0);
}

void ExchangeTimes::Record(size_t poller, uint32_t took_ms, int64_t now_ms) {
  if (poller >= pollers_.size()) return;
  Poller& p = pollers_[poller];
  if (p.last_ms != 0) p.last_gap_ms = now_ms - p.last_ms;
  p.last_ms = now_ms;
  if (p.station >= stations_.size()) return;
  ReplyHistogram& h = stations_[p.station];
  const double seconds = took_ms / 1000.0;
  for (size_t b = 0; b < kReplyBucketSeconds.size(); ++b) {
    if (seconds <= kReplyBucketSeconds[b]) ++h.buckets[b];
  }
  h.sum_seconds += seconds;
  ++h.count;
}

const ReplyHistogram& ExchangeTimes::Histogram(size_t station) const {
  static const ReplyHistogram kNone;
  return station < stations_.size() ? stations_[station] : kNone;
}

double ExchangeTimes::CycleSeconds(int64_t now_ms) const {
  int64_t cycle = 0;
  for (const Poller& p : pollers_) {
    if (p.last_gap_ms <= 0) continue;
    if (now_ms - p.last_ms > std::max(kStillPolledMs, 2 * p.last_gap_ms)) continue;
    if (cycle == 0 || p.last_gap_ms < cycle) cycle = p.last_gap_ms;
  }
  return cycle / 1000.0;
}

}  // namespace dravik::host
