// WriteResults: when a write that slot 7 took has ended, and how, as far as
// the host can know it. The driver says nothing per write; what it gives is
// each station's counters in slot 15: writes_sent and writes_failed move
// only once a write's exchange has ended (sent and answered, failed, or
// dropped as failed during a demotion or a port loss), and the writes to one
// station are sent in the order they were made. So the oldest waiting write
// of a station is the one that ended when writes_sent moves by one, and it
// failed when writes_failed moved with it. A result is only claimed from such
// evidence:
// - all writes that ended between two readings succeeded or all failed: each
//   gets that result;
// - some failed and some did not, more ended than were waiting (a write the
//   host did not track), the counters went back (a reset), the station was
//   disabled while a write waited (its write is then dropped without a
//   count), or no end was seen in time: "unconfirmed", never ok;
// - after a disable an exchange may still end late and be taken for a newer
//   write's, so for a while after it no write of that station is called ok.
// The session keeps one write per station in flight (Busy): the next is given
// to slot 7 only once the one before has ended, so each move of the counters
// belongs to exactly one write. A write given up after kResultTimeout is
// still in the driver's queue and may yet be sent: its result says so, and
// the station stays busy until its end is seen in the counters, which is
// then credited to no one.
// Main thread only; no locks.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/line/output.h"

namespace dravik::host {

struct TrackedWrite {
  std::string tag;
  Json value;         // the value as written
  Json id;            // the request's "id", or null
  WriteOrigin origin = WriteOrigin::kTerminal;
  std::chrono::steady_clock::time_point issued{};
};

struct WriteResult {
  TrackedWrite write;
  bool ok = false;
  std::string reason;
};

class WriteResults {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kResultTimeout = std::chrono::seconds(10);
  // How long after a disable or a time-out an exchange may still end late.
  static constexpr auto kDoubtAfterDisable = std::chrono::seconds(5);
  static constexpr auto kDoubtAfterTimeout = std::chrono::seconds(30);

  explicit WriteResults(size_t stations) : stations_(stations) {}

  // A write slot 7 took for station `s`; `writes_sent`/`writes_failed` are
  // the station's counters read just before the call when nothing waits.
  void Issued(size_t s, TrackedWrite write, int writes_sent, int writes_failed);
  // Slot 15's counters of station `s`. `failure` is the station's last
  // failure line when one came since the last reading, else "".
  void Observe(size_t s, int writes_sent, int writes_failed, const std::string& failure,
               Clock::time_point now);
  // The runner disabled station `s`, or reset its counters.
  void Disabled(size_t s, Clock::time_point now);
  void CountersReset(size_t s, Clock::time_point now);
  // Writes waiting longer than kResultTimeout get "unconfirmed".
  void Expire(Clock::time_point now);

  bool Waiting(size_t s) const { return !stations_[s].waiting.empty(); }
  // A write of station `s` waits for its end, or one given up has not ended.
  bool Busy(size_t s) const { return Waiting(s) || stations_[s].given_up > 0; }
  bool AnyWaiting() const;  // or given up and not yet ended
  std::vector<WriteResult> Take();

 private:
  struct Station {
    std::deque<TrackedWrite> waiting;
    bool based = false;  // sent/failed hold a reading
    int sent = 0, failed = 0;
    Clock::time_point doubt_until{};
    int given_up = 0;  // writes given up whose end has not been seen
  };
  void Resolve(Station& st, size_t n, bool ok, const std::string& reason);
  void ResolveAll(Station& st, const std::string& reason);

  std::vector<Station> stations_;
  std::vector<WriteResult> done_;
};

}  // namespace dravik::host
