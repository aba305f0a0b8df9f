// The status page of dravik-host (--http): one HTML page that shows the line
// live (port, stations, tags, the last log lines), Prometheus metrics and a
// small JSON API, served read-only with cpp-httplib.
//
// cpp-httplib rather than civetweb: Debian ships it as a small shared library
// with a C++ interface (handlers are lambdas, the thread pool is replaceable,
// which is where the connection limit lives), it needs no configuration file
// or option strings, and a chunked content provider is all Server-Sent Events
// need. civetweb would bring a C API of string options, its own file serving
// (never wanted here) and a second way of doing threads.
//
// A face of the line session (gateway/line/line_face.h), fed on its
// FaceQueue's thread:
//   OnLog     every driver log line, also the port state;
//   OnValue   every value the driver delivered;
//   OnSample  every 200 ms: slot 15 of every station as the session names
//             it, values delivered, the MQTT face's state.
// No state is derived here: a station's state is the session's word for it.
//
// Threads: the face's queue thread, the server's listen thread (started in
// Start, joined in Stop; it alone binds again after a failed accept loop)
// and a fixed pool of kWorkers request threads. Every field below the
// server's is guarded by mutex_; `changed_` wakes the event streams. Requests only read.
//
// Paths: /  the page  |  /events  text/event-stream, one "state" event (the
// whole view as JSON) on every change, at most two a second  |  /metrics
// Prometheus text format  |  /api/v1/stations, /api/v1/tags  JSON. Anything
// else is 404, any method but GET/HEAD 405, a bad request 400.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/line/output.h"
#include "gateway/line/station_states.h"
#include "gateway/line/tag_list.h"

namespace httplib {
class Server;
}

namespace dravik::host {

struct HttpOptions {
  std::string address;  // "" = no status page; otherwise HOST:PORT
};

// The address `--http` was given with; without one the page listens on
// loopback only.
constexpr const char* kDefaultHttpAddress = "127.0.0.1:8080";

// HOST:PORT, [IPv6]:PORT; port 0..65535 (0: any free port). False with the
// reason otherwise.
bool ParseHttpAddress(const std::string& text, std::string* host, int* port, std::string* error);

// The quality of a tag's last value as the page shows it: TagQualityName,
// and "stale" for any tag that has a value to age while the port is not open.
const char* TagQuality(const StationReport* station, size_t tag_index, bool write_only,
                       bool port_open);

struct StatusPageSetup {
  std::string line;  // the `line` label: the project file name without extension
  std::string port;  // COMn
  std::vector<std::string> stations;
  std::vector<std::string> tags;          // host tag id order
  std::vector<std::string> tag_stations;  // the station of each tag, as the tag list names it
  std::vector<bool> write_only;           // type 12: written, never read
  bool mqtt = false;                      // the gateway also runs --mqtt
};

// The setup for a run: the line label from the project file's name, each
// tag's station from the part of its device after the first '.'.
StatusPageSetup MakeStatusPageSetup(const std::string& project, const std::string& port,
                                    const std::vector<std::string>& stations,
                                    const std::vector<TagRow>& tags, bool mqtt);

class HttpStatus;
// Starts the page on `address` and says where on `out`; null, with the
// reason on stderr, when it cannot listen.
std::unique_ptr<HttpStatus> StartStatusPage(const std::string& address, StatusPageSetup setup,
                                            Output* out);

class HttpStatus : public LineFace {
 public:
  explicit HttpStatus(StatusPageSetup setup);
  ~HttpStatus();
  HttpStatus(const HttpStatus&) = delete;
  HttpStatus& operator=(const HttpStatus&) = delete;

  // Binds and starts serving; false with the reason (address in use, ...).
  // `url` receives the address it listens on (the real port for port 0).
  // Should the server stop accepting later, that is said on `out` (stderr
  // without one) and the page listens on the same port again.
  bool Start(const std::string& address, std::string* url, std::string* error,
             Output* out = nullptr);
  // Ends every event stream and the server; joins its threads.
  void Stop();

  // The face: each only takes the lock.
  void OnLog(const LineLog& log) override;
  void OnValue(const LineValue& value) override;
  void OnSample(const LineSample& sample) override;

  // Any thread; they only take the lock. `mqtt` is the MQTT face's state
  // ("connected", "connecting", "down").
  void OfferLog(int flags, const std::string& text, int64_t ts_ms);
  void OfferValue(size_t tag_index, const TagValue& value, int64_t ts_ms);
  void OfferLine(const std::vector<StationReport>& reports, long values_delivered,
                 const std::string& mqtt, int64_t now_ms);

  // The bodies the server sends, built under the lock.
  std::string MetricsText() const;
  std::string ModbusMetrics(const std::string& line) const;
  std::string FreshnessMetrics(const std::string& line) const;
  std::string ReplyDurationMetrics(const std::string& line) const;
  Json StationsJson() const;
  Json TagsJson() const;
  Json ViewJson() const;  // what /events sends: everything the page shows

 private:
  // Whether the station's last exchange had failed, as a sample found it.
  struct Sample {
    int64_t ms = 0;
    bool failed = false;
  };
  struct Station {
    StationReport report;
    std::deque<Sample> minute;  // every sample of the last 60 s, and the one before
    std::optional<int64_t> last_good_ms;
  };
  struct Tag {
    std::optional<TagValue> value;
    int64_t changed_ms = 0;
  };
  struct LogLine {
    int64_t ms = 0;
    int flags = 0;
    std::string text;
  };

  void Routes();
  // The listen thread: serves until Stop, listening again after a failure.
  void Listen(const std::string& host, int port, const std::string& url, Output* out);
  bool Stopping() const;
  static void Say(Output* out, const std::string& text, Json record);
  Json StationsJsonLocked() const;
  Json TagsJsonLocked() const;
  bool WriteOnly(size_t tag) const {
    return tag < setup_.write_only.size() && setup_.write_only[tag];
  }
  Json ViewJsonLocked() const;
  // The share of the last minute (of the run, before a minute has passed)
  // during which the station's last exchange had failed; null before two
  // samples.
  std::optional<double> FailureRateLocked(const Station& s) const;
  void ChangedLocked();
  // An event stream's next message after `seen`, "" when stopping.
  std::string NextEvent(uint64_t* seen);

  const StatusPageSetup setup_;
  std::vector<int> tag_station_;  // index into setup_.stations, -1 for none

  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  std::atomic<bool> listener_ended_{true};  // set by the listen thread as it ends

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t version_ = 1;
  bool stopping_ = false;
  int event_clients_ = 0;
  PortState port_ = PortState::kUnknown;  // the station tracker's, as of the last log line
  std::vector<Station> stations_;
  std::vector<Tag> tags_;
  std::deque<LogLine> log_;
  long values_delivered_ = 0;
  long values_coalesced_ = 0;  // by the MQTT face
  long changes_waiting_ = 0;   // for the MQTT broker
  long values_dropped_ = 0;    // by the MQTT face's disk buffer
  long mqtt_reconnects_ = 0;   // by the MQTT face
  double cycle_seconds_ = 0.0;
  std::map<std::string, long> modbus_counts_;  // the Modbus TCP face's, without "modbus."
  std::string mqtt_ = "down";
  int64_t updated_ms_ = 0;
  uint64_t event_version_ = 0;  // the view in event_ is of this version
  std::string event_;
};

}  // namespace dravik::host
