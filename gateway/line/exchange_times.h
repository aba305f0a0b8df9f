// ExchangeTimes: how long the line's exchanges take, from the exchange time
// tags the session binds beside the status tags (one per poller): per station
// a histogram of exchange durations, and the line's poll cycle. An operator
// alerts on both: a PLC answering ever slower, a line whose cycle has grown.
// Not thread-safe: the owner serialises the calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gateway/line/line_face.h"

namespace dravik::host {

class ExchangeTimes {
 public:
  ExchangeTimes() = default;
  // `poller_stations`: the station index of each poller.
  ExchangeTimes(std::vector<size_t> poller_stations, size_t stations);

  void Record(size_t poller, uint32_t took_ms, int64_t now_ms);
  const ReplyHistogram& Histogram(size_t station) const;
  // The time between two exchanges of the block polled most often among
  // those still polled: one pass of the scheduler over the line (or that
  // block's period, when the line is faster). 0 before two exchanges.
  double CycleSeconds(int64_t now_ms) const;

 private:
  struct Poller {
    size_t station = 0;
    int64_t last_ms = 0;
    int64_t last_gap_ms = 0;
  };
  std::vector<Poller> pollers_;
  std::vector<ReplyHistogram> stations_;
};

}  // namespace dravik::host
