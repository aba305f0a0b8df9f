#include "gateway/line/write_results.h"

#include <algorithm>

namespace dravik::host {

namespace {
constexpr const char* kUnconfirmed = "unconfirmed: ";
}

void WriteResults::Issued(size_t s, TrackedWrite write, int writes_sent, int writes_failed) {
  Station& st = stations_[s];
  if (st.waiting.empty()) {
    st.based = true;
    st.sent = writes_sent;
    st.failed = writes_failed;
  }
  st.waiting.push_back(std::move(write));
}

void WriteResults::Observe(size_t s, int writes_sent, int writes_failed, const std::string& failure,
                           Clock::time_point now) {
  Station& st = stations_[s];
  if (!st.based || !Busy(s)) {
    st.based = true;
    st.sent = writes_sent;
    st.failed = writes_failed;
    return;
  }
  if (writes_sent < st.sent || writes_failed < st.failed) {
    CountersReset(s, now);
    st.sent = writes_sent;
    st.failed = writes_failed;
    return;
  }
  size_t ended = static_cast<size_t>(writes_sent - st.sent);
  size_t failed = static_cast<size_t>(writes_failed - st.failed);
  st.sent = writes_sent;
  st.failed = writes_failed;
  // The ends of given-up writes come first (the driver sends in order) and
  // prove nothing about a write made after them.
  if (st.given_up > 0 && ended > 0) {
    const size_t absorbed = std::min(ended, static_cast<size_t>(st.given_up));
    st.given_up -= static_cast<int>(absorbed);
    ended -= absorbed;
    if (ended == 0) return;
    if (failed > 0) {
      ResolveAll(st, std::string(kUnconfirmed) +
                         "a given-up write of the station ended with it, and which failed is "
                         "not known");
      return;
    }
  }
  if (ended == 0) return;
  if (ended > st.waiting.size() || failed > ended) {
    ResolveAll(st, std::string(kUnconfirmed) + std::to_string(ended) +
                       " write exchanges of the station ended while " +
                       std::to_string(st.waiting.size()) + " were waiting");
    st.doubt_until = now + kDoubtAfterTimeout;
  } else if (failed == 0) {
    Resolve(st, ended, true, "acknowledged by the PLC");
  } else if (failed == ended) {
    Resolve(st, ended, false,
            failure.empty() ? "the write's exchange failed"
                            : "the write's exchange failed: " + failure);
  } else {
    Resolve(st, ended, false,
            std::string(kUnconfirmed) + std::to_string(failed) + " of " + std::to_string(ended) +
                " writes that ended together failed, and which ones is not known");
  }
}

void WriteResults::Disabled(size_t s, Clock::time_point now) {
  Station& st = stations_[s];
  if (!st.waiting.empty()) {
    ResolveAll(st, std::string(kUnconfirmed) +
                       "the station was disabled before the end of the write was seen");
  }
  // The exchange in progress, if any, ends after this: its count is no
  // evidence for a later write. Queued writes are dropped without a count.
  st.doubt_until = now + kDoubtAfterDisable;
  st.given_up = 0;
}

void WriteResults::CountersReset(size_t s, Clock::time_point now) {
  Station& st = stations_[s];
  if (!st.waiting.empty()) {
    ResolveAll(st, std::string(kUnconfirmed) + "the counters were reset while the write waited");
  }
  st.based = false;
  st.doubt_until = now + kDoubtAfterDisable;
  st.given_up = 0;
}

void WriteResults::Expire(Clock::time_point now) {
  for (Station& st : stations_) {
    if (st.waiting.empty() || now - st.waiting.front().issued < kResultTimeout) continue;
    st.given_up += static_cast<int>(st.waiting.size());
    ResolveAll(st, std::string(kUnconfirmed) + "no end of the write's exchange was seen within " +
                       std::to_string(kResultTimeout.count()) +
                       " s; it is still queued in the driver and may be sent later");
  }
}

bool WriteResults::AnyWaiting() const {
  for (const Station& st : stations_) {
    if (!st.waiting.empty() || st.given_up > 0) return true;
  }
  return false;
}

std::vector<WriteResult> WriteResults::Take() {
  std::vector<WriteResult> out;
  out.swap(done_);
  return out;
}

void WriteResults::Resolve(Station& st, size_t n, bool ok, const std::string& reason) {
  for (size_t i = 0; i < n && !st.waiting.empty(); ++i) {
    WriteResult r{std::move(st.waiting.front()), ok, reason};
    st.waiting.pop_front();
    if (ok && r.write.issued < st.doubt_until) {
      r.ok = false;
      r.reason = std::string(kUnconfirmed) +
                 "an earlier exchange of the station may have ended late and been counted for "
                 "this write";
    }
    done_.push_back(std::move(r));
  }
}

void WriteResults::ResolveAll(Station& st, const std::string& reason) {
  while (!st.waiting.empty()) {
    done_.push_back(WriteResult{std::move(st.waiting.front()), false, reason});
    st.waiting.pop_front();
  }
}

}  // namespace dravik::host
