// ExchangeFreshness: whether the data of one poller (a communication block,
// or a tag polled on its own) may be served as good now. A station's
// counters cannot tell this: a station whose other blocks answer stays ok
// while one block's reads fail or stop. The driver tells the result of each
// poller's every exchange through an exchange status tag (kTypeExchangeStatus),
// and a poller's data is fresh while
//   - its last exchange succeeded, and
//   - its last good exchange is younger than its limit.
// The limit is the port's stale_after_ms when set, else learnt as the
// station's is (station_freshness.h): three times the longest gap between
// two good exchanges with no failure between, never below
// StationFreshness::kMinLimitMs nor below three of the block's periods, so a
// slow block is not stale between two of its own polls. A poller yet to learn
// its gap (two good exchanges in a row) takes the longest any poller of the
// line has learnt: the pollers share the line's round, so on a slow line
// (a round longer than 5 s) a block is not stale between its first polls.
// Not thread-safe: the owner serialises the calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dravik::host {

class ExchangeFreshness {
 public:
  ExchangeFreshness() = default;
  // One entry per poller: the least limit it may learn (0 for none).
  ExchangeFreshness(std::vector<int64_t> floors_ms, int64_t fixed_limit_ms);

  // The result of an exchange: 0 when it succeeded, else the failure's
  // message number.
  void Record(size_t poller, int result, int64_t now_ms);
  bool Fresh(size_t poller, int64_t now_ms) const;
  int64_t LimitMs(size_t poller) const;
  size_t size() const { return pollers_.size(); }

 private:
  struct Poller {
    int64_t floor_ms = 0;
    int64_t last_good_ms = 0;  // 0 before the first good exchange
    int64_t longest_healthy_gap_ms = 0;
    bool failed_since_good = false;
  };
  std::vector<Poller> pollers_;
  int64_t fixed_limit_ms_ = 0;
  int64_t line_gap_ms_ = 0;  // the longest healthy gap any poller learnt
};

}  // namespace dravik::host
