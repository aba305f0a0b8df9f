// The one interface between the line session and the gateway's faces (the
// terminal, MQTT, Sparkplug B, the status page). The session is the only code
// that calls the driver's slots; it tells every face what happens on the line
// through the LineFace methods below and takes writes back through its one
// write path (LineSession::SubmitWrite).
//
//                  +--> FaceQueue --> terminal face --+
//   LineSession ---+--> FaceQueue --> MQTT face ------+--> Output (stdout,
//   (slot calls)   +--> FaceQueue --> status page ----+    its own writer)
//        ^                               |
//        +----- SubmitWrite / Post ------+
//
// A face never sees the driver's or the session's threads: each sits behind a
// FaceQueue (face_queue.h), a bounded queue drained by a thread of its own,
// so a slow face delays nobody but itself. The calls reach a face in the
// order the session made them:
//   OnBound    once, after slot 4, before the line runs: which tags are bound;
//   OnStarted  once, when the line runs;
//   OnValue    every value the driver delivers, as it comes;
//   OnLog      every driver log line;
//   OnSample   every 200 ms: each station's counters and state, the port;
//   OnWrite    a write taken, refused, or ended (its result);
//   OnStopped  once, after the line stopped: the totals. Nothing follows.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gateway/line/station_states.h"

namespace dravik::host {

using Json = nlohmann::ordered_json;

// Milliseconds since the epoch, the time stamp of every event.
int64_t NowMs();

// A value as the driver delivered it.
struct TagValue {
  enum class Kind { kNone, kNumber, kText };
  Kind kind = Kind::kNone;
  double number = 0.0;
  std::string text;
};

// Upper bounds of the exchange duration histogram's buckets, in seconds: a
// reply in 10 ms at 115200 baud up to a 3 s time-out and past it.
inline constexpr std::array<double, 9> kReplyBucketSeconds = {0.01, 0.025, 0.05, 0.1, 0.25,
                                                              0.5,  1,     2.5,  5};

// How long a station's exchanges took since the start, as Prometheus keeps a
// histogram: the count of each bucket holds every exchange no longer than
// its bound (so the counts only grow along the buckets).
struct ReplyHistogram {
  std::vector<long> buckets;  // per kReplyBucketSeconds
  double sum_seconds = 0.0;
  long count = 0;
  bool operator==(const ReplyHistogram&) const = default;
};

// One station's counters and its state name as the status line shows it.
struct StationReport {
  std::string state;  // ok, failing, demoted, disabled, no_port (station_states.h)
  int reads_sent = 0, reads_failed = 0, writes_sent = 0, writes_failed = 0;
  std::string name;              // as in the project
  std::string port = "unknown";  // open, not_open, lost (PortStateText)
  int writes_refused = 0;        // refused by the host before slot 7
  int status = 0;                // slot 15's status
  int demotions = 0;             // times the line has set it aside as silent
  ReplyHistogram replies;        // its exchanges' durations
  // Its data is fresh: its last good read is younger than the freshness
  // limit (station_freshness.h). Set by the session in every sample.
  bool fresh = true;
  int64_t last_good_ms = 0;    // ms since the epoch; 0 before the first good read
  int64_t stale_after_ms = 0;  // the limit in force
  // Its values are current only when it is ok and its data is fresh.
  bool good() const { return state == "ok" && fresh; }
  // The station's tags (host tag id - 1, ascending) whose own data is not
  // fresh: the last exchange of the block or single-tag poll that reads them
  // failed, or their last good one is older than its limit
  // (exchange_freshness.h). Set by the session in every sample.
  std::vector<size_t> stale_tags;
  // A tag's value is current only while its station's is and its own data
  // is fresh.
  bool TagGood(size_t tag_index) const {
    return good() && !std::binary_search(stale_tags.begin(), stale_tags.end(), tag_index);
  }
  bool operator==(const StationReport&) const = default;
};

// The quality of a tag as every face names it:
//   "write_only"  a tag that is only written (type 12): no value is ever
//                 decoded, so none can age;
//   "good"        its station's data and its own are fresh (TagGood);
//   "stale"       otherwise, and for a tag of no station.
inline const char* TagQualityName(const StationReport* station, size_t tag_index, bool write_only) {
  if (write_only) return "write_only";
  return station != nullptr && station->TagGood(tag_index) ? "good" : "stale";
}

struct LineValue {
  int tag_id = 0;  // the host tag id (tag index + 1); may name no tag of the list
  TagValue value;
  int64_t ts_ms = 0;
};

struct LineLog {
  int flags = 0;
  std::string text;
  int64_t ts_ms = 0;
};

struct LineSample {
  std::vector<StationReport> stations;  // project order
  PortState port = PortState::kUnknown;
  long values_delivered = 0;
  double cycle_seconds = 0.0;  // ExchangeTimes::CycleSeconds; 0 before it is known
  // What faces said of themselves (LineSession::SetFaceState), by face name:
  // "mqtt" -> "connected", ...
  std::map<std::string, std::string> faces;
  // Counts that faces keep of themselves (LineSession::SetFaceCount), by
  // name: "values_coalesced" -> 12, ...
  std::map<std::string, long> face_counts;
  int64_t ts_ms = 0;
};

struct LineStarted {
  int instance = 0;
  int prepared = 0;  // slot 3's result
  size_t tags = 0;
  int bound = 0;
};

struct LineStopped {
  int reads_sent = 0, reads_failed = 0, writes_sent = 0, writes_failed = 0;
  long values_delivered = 0;
  double seconds = 0.0;
  bool interrupted = false;  // by a signal or a closed stdout
};

// Who asked for a write; its refusal and its result go back there.
enum class WriteOrigin { kTerminal, kMqtt, kModbus };

// A write asked of the line by a face (the terminal's write command, an MQTT
// set, a Sparkplug DCMD).
struct WriteRequest {
  std::string tag;
  std::string value_text;  // as the write command takes it
  Json id;                 // the request's id, null when it had none
  Json value;              // the value as the request gave it, for its result
  WriteOrigin origin = WriteOrigin::kMqtt;
  // A binding of LineSession::AddImageTags to write instead of `tag`; -1 for
  // none. Such writes skip the tag list's access column: the face that asks
  // for them applies its own.
  int image_tag = -1;
};

// Requests from faces waiting for the session; beyond this a write is
// refused, never queued late.
constexpr size_t kMaxPendingWrites = 64;

struct LineWrite {
  enum class Kind {
    kQueued,   // slot 7 took it; `shown` is the value as written
    kRefused,  // never sent; `reason` says why
    kEnded,    // its end as far as the host can know it: `ok` and `reason`
  };
  Kind kind = Kind::kQueued;
  WriteOrigin origin = WriteOrigin::kMqtt;
  std::string tag;
  std::string value_text;  // as requested
  std::string shown;
  Json value;  // the request's value (kRefused) or the value written (kEnded)
  Json id;
  bool ok = false;
  std::string reason;
};

class LineFace {
 public:
  virtual ~LineFace() = default;
  virtual void OnBound(const std::vector<bool>& /*bound*/) {}
  virtual void OnStarted(const LineStarted& /*started*/) {}
  virtual void OnValue(const LineValue& /*value*/) {}
  virtual void OnLog(const LineLog& /*log*/) {}
  virtual void OnSample(const LineSample& /*sample*/) {}
  virtual void OnWrite(const LineWrite& /*write*/) {}
  virtual void OnStopped(const LineStopped& /*stopped*/) {}
};

}  // namespace dravik::host
