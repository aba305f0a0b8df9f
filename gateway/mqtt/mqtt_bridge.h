// The MQTT bridge of dravik-host: publishes the line's values, station states
// and log to a broker through libmosquitto and takes writes back. The run
// (line_runner.cpp) owns one bridge. Offer* may be called from any thread and
// never wait on the network: they put the item into bounded pending tables
// under mutex_ and wake the bridge's publisher thread. libmosquitto's own
// network thread runs the connection (connect, back-off, keep-alive) and calls
// the On* callbacks; only the main thread takes writes (TakeWrites) and makes
// the slot calls for them.
//
// Topics, all under the prefix (default draviknet/<project file stem>), QoS 1:
//
// clang-format off
// | Topic               | Payload                                           | Retained | When                           |
// |---------------------|---------------------------------------------------|----------|--------------------------------|
// | status              | online / offline (offline is also the will);     | yes      | connect, clean stop, loss      |
// |                     | it overrides every station state: offline means   |          |                                |
// |                     | nothing below is current                          |          |                                |
// | status/client       | the MQTT client id of the gateway that is online  | yes      | connect                        |
// | tag/<TAG>           | {"value": 42 | "text" | null, "ts": <ms epoch>,   | yes      | every value from the driver,   |
// |                     |  "station": "PLC1", "quality": "good"|"stale"};   |          | and every tag of a station     |
// |                     | stale while the station is not ok (failing,       |          | whose quality changed (within  |
// |                     | demoted, disabled, no port); value and ts stay    |          | 1 s of the change)             |
// |                     | those of the last delivery (null before any)      |          |                                |
// |                     | --mqtt-payload plain: the bare value text         |          |                                |
// | tag/<TAG>/quality   | plain payload only: good / stale                  | yes      | as the JSON quality            |
// | station/<S>/state   | {"state": "ok"|"failing"|"demoted"|"disabled"|    | yes      | a change of state, and every   |
// |                     |  "no_port", "port": "open"|"not_open"|"lost",     |          | --mqtt-stats-seconds (10)      |
// |                     |  "reads_sent", "reads_failed", "writes_sent",     |          |                                |
// |                     |  "writes_failed", "writes_refused"}               |          |                                |
// | log                 | {"flags": 258, "text": "...", "ts": <ms epoch>};  | no       | every driver log line, and     |
// |                     | the bridge's own errors have bit 8 (0x100) clear  |          | the bridge's own errors        |
// |                     | and name the tag in "tag"                         |          |                                |
// | tag/<TAG>/set (in)  | 42, "text", text, or {"value": 42, "id": "abc"};  |          | subscribed with --mqtt-writes  |
// |                     | a message delivered retained is never written     |          |                                |
// | tag/<TAG>/set/result| {"ok": true|false, "value": ..., "reason": "...", | no       | once per set message: when the |
// |                     |  "ts": <ms epoch>, "id": <as in the request>}     |          | PLC acknowledged it, or why not|
// clang-format on
//
// State words: "failing" is the driver's message 16 (five failures in a row)
// until message 17; an isolated failure leaves a station "ok" and shows only
// in the counters (station_states.h).
//
// Connecting: after every (re)connect the bridge reads the retained status
// and status/client first. Another client's "online" there means another
// gateway runs on this prefix: at the first connect the gateway refuses to
// start (unless --mqtt-takeover), later it has been taken over; either way it
// stops with exit status 2 and publishes nothing. Otherwise it clears, at the
// first connect, the retained tag topics of tags no longer in the list, then
// publishes status online, the last value of every tag that has one and every
// station's state, so that the broker's retained view is whole again.
#pragma once

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/output.h"

namespace dravik::host {

class MqttScheme;  // mqtt_scheme.h
struct MqttBatch;

struct MqttOptions {
  std::string url;  // empty: no bridge
  std::string prefix;
  bool writes = false;
  bool plain_payload = false;
  std::string cafile, certfile, keyfile;
  std::string user;
  std::string password_file;
  int stats_seconds = 10;
  int reconnect_max_seconds = 4;  // the back-off between attempts grows to this
  bool takeover = false;          // start even when another gateway is online
  std::string client_id;          // empty: DefaultClientId()
};

struct BrokerAddress {
  bool tls = false;
  std::string host;
  int port = 0;
};

// mqtt://host[:port] (1883) or mqtts://host[:port] (8883).
bool ParseBrokerUrl(const std::string& url, BrokerAddress* address, std::string* error);

// "draviknet/" + the project's file name without folder and extension.
std::string DefaultPrefix(const std::string& project_path);

// "draviknet-<host name>-<process id>": one per running gateway.
std::string DefaultClientId();

// Why a broker URL holds a secret ("user:password@" before the host), or "".
// The URL itself is never echoed, as it holds the password.
std::string UrlSecretProblem(const std::string& url);

// Why `name` cannot be one topic level (empty, '/', '+', '#', NUL, a tab or
// other control character, not UTF-8), or "" when it can.
std::string TopicLevelProblem(const std::string& name);

// Every name (tags, stations) and the prefix checked; one line per problem.
std::vector<std::string> CheckTopicNames(const std::string& prefix,
                                         const std::vector<std::string>& tags,
                                         const std::vector<std::string>& stations);

// A value as the driver delivered it.
struct TagValue {
  enum class Kind { kNone, kNumber, kText };
  Kind kind = Kind::kNone;
  double number = 0.0;
  std::string text;
};

// One station's counters and its state name as the status line shows it.
struct StationReport {
  std::string state;  // ok, failing, demoted, disabled, no_port (station_states.h)
  int reads_sent = 0, reads_failed = 0, writes_sent = 0, writes_failed = 0;
  std::string name;              // as in the project
  std::string port = "unknown";  // open, not_open, lost (PortStateText)
  int writes_refused = 0;        // refused by the host before slot 7
  int status = 0;                // slot 15's status
  // Its values are current only when it is ok.
  bool good() const { return state == "ok"; }
  bool operator==(const StationReport&) const = default;
};

// A tag's record; `ts_ms` 0 is a tag that has no value yet (ts null).
std::string ValuePayload(const TagValue& value, int64_t ts_ms, bool plain,
                         const std::string& station = "", bool good = true);
std::string StatePayload(const StationReport& report);
std::string LogPayload(int flags, const std::string& text, int64_t ts_ms, const std::string& tag);

// A set payload turned into the text the write command takes: a JSON number
// or string, bare or as {"value": ..., "id": ...}, or any other text taken as
// it is. `id` (may be null) gets the request's id, a string or a number.
// False with the reason when the payload can't be a value.
bool ParseSetPayload(const std::string& payload, std::string* value_text, std::string* error,
                     Json* id = nullptr, Json* value = nullptr);

std::string ResultPayload(bool ok, const Json& value, const std::string& reason, int64_t ts_ms,
                          const Json& id);

int64_t NowMs();

// A write taken from tag/<TAG>/set, waiting for the main thread.
struct MqttWrite {
  std::string tag;
  std::string value_text;
  Json id;     // null when the request had none
  Json value;  // the value as the request gave it, for its result
};

class MqttBridge {
 public:
  enum class State { kConnecting, kConnected, kDown };

  // `tags`, `writable` and `tag_stations` (the index of each tag's station
  // in `stations`, -1 for none) are in host tag id order (id = index + 1);
  // `wake_main` is called, on libmosquitto's thread, when a write waits or
  // the gateway must stop.
  MqttBridge(MqttOptions options, std::vector<std::string> tags, std::vector<bool> writable,
             std::vector<int> tag_stations, std::vector<std::string> stations, Output* out,
             std::function<void()> wake_main);
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Another topic scheme instead of the plain topics (Sparkplug B); set
  // before Start, owned by the caller and outliving the bridge's Stop.
  void SetScheme(MqttScheme* scheme) { scheme_ = scheme; }
  // Any thread: the publisher publishes the whole view again (a scheme that
  // became ready).
  void Republish();

  // Creates the client and starts connecting in the background; false with
  // the reason for a setting that can never work (bad URL, unreadable file).
  bool Start(std::string* error);
  // Main thread, after Start: waits up to `timeout` for the first connection
  // to be checked. False when another gateway holds the prefix (Refusal()).
  bool WaitUntilChecked(std::chrono::milliseconds timeout);
  // Why the gateway must stop (another gateway holds the prefix), or "".
  std::string Refusal() const;
  // Publishes what is pending and status offline (not when refused), then
  // disconnects. Waits at most about two seconds for the broker.
  void Stop();

  // Any thread; never blocks on the network.
  void OfferValue(size_t tag_index, TagValue value, int64_t ts_ms);
  void OfferLog(int flags, const std::string& text, int64_t ts_ms, const std::string& tag = "");
  void OfferStation(size_t station_index, const StationReport& report);
  // A refused write: an error record on log, a line on the terminal and the
  // write's result (ok false).
  void ReportWriteError(const std::string& tag, const std::string& reason, const Json& value = {},
                        const Json& id = {});
  // The end of a write taken from set: its one result.
  void OfferWriteResult(const std::string& tag, bool ok, const Json& value,
                        const std::string& reason, const Json& id);

  // Main thread: the writes that arrived since the last call.
  std::vector<MqttWrite> TakeWrites();

  State state() const { return state_.load(); }
  static const char* StateText(State state);

  long coalesced_values() const;
  long dropped_logs() const;

 private:
  struct PendingValue {
    TagValue value;
    int64_t ts_ms = 0;
  };
  // A non-retained message (log record, write result), made when offered.
  struct Event {
    std::string topic;  // under the prefix
    std::string payload;
  };
  // Where a connection is: reading the retained status, or online.
  enum class Phase { kDown, kChecking, kOnline, kRefused };

  static void OnConnect(mosquitto* mosq, void* self, int rc);
  static void OnDisconnect(mosquitto* mosq, void* self, int rc);
  static void OnPublish(mosquitto* mosq, void* self, int mid);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
  static void OnSubscribe(mosquitto* mosq, void* self, int mid, int count, const int* granted);

  void HandleSet(const std::string& topic, const std::string& payload, bool retained);
  void HandleStatus(const std::string& topic, const std::string& payload, bool retained);
  void OfferEvent(Event event);
  // Publisher thread: ends the check of a new connection.
  void FinishCheck();
  void Refuse(const std::string& why);
  void PublisherLoop();
  void RepublishAll();
  void WarnIfUnreachable();
  void Publish(const std::string& topic, const std::string& payload, bool retain);
  void PublishValue(size_t tag_index);
  void PublishStation(size_t station_index, const StationReport& report);
  void SetSchemeWill();
  void PublishScheme(MqttBatch batch);
  void HandleScheme(const std::string& topic, const std::string& payload, bool retained);

  const MqttOptions options_;
  const std::vector<std::string> tags_;
  const std::vector<bool> writable_;
  const std::vector<int> tag_stations_;
  const std::vector<std::string> stations_;
  Output* const out_;
  const std::function<void()> wake_main_;
  std::string display_url_;
  std::string client_id_;  // set in Start
  MqttScheme* scheme_ = nullptr;  // set before Start; null: the plain topics

  mosquitto* mosq_ = nullptr;  // created in Start, destroyed in the destructor
  std::thread publisher_;
  std::atomic<State> state_{State::kConnecting};
  std::atomic<bool> connected_{false};
  std::atomic<int> offline_mid_{-1};  // mid of the final offline message
  std::atomic<bool> offline_acked_{false};
  std::atomic<bool> refusal_reported_{false};  // a CONNACK refusal already shown

  // Guarded by mutex_: the pending tables between the offering threads and
  // the publisher thread, and the writes between libmosquitto's thread and
  // the main thread.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::optional<PendingValue>> pending_values_;  // one slot per tag
  std::vector<size_t> dirty_tags_;                           // each tag at most once
  std::vector<std::optional<StationReport>> pending_stations_;
  std::vector<size_t> dirty_stations_;
  std::deque<Event> pending_logs_;
  std::deque<MqttWrite> writes_;
  bool republish_ = false;
  bool stopping_ = false;
  // The check of a connection (also guarded by mutex_; set on libmosquitto's
  // thread, ended on the publisher thread).
  Phase phase_ = Phase::kDown;
  bool first_connection_ = true;  // takeover and clean-up apply to the first only
  int check_mid_ = -1;
  std::optional<std::chrono::steady_clock::time_point> check_acked_;
  std::string retained_status_, retained_client_;
  std::vector<std::string> leftover_topics_;  // retained tag topics of unknown tags
  std::string refusal_;
  long coalesced_ = 0;
  long dropped_logs_ = 0;

  // Publisher thread only: what the broker should hold.
  std::vector<std::optional<PendingValue>> last_values_;
  std::vector<std::optional<StationReport>> last_stations_;
  std::vector<std::optional<bool>> published_good_;  // per tag: the quality on the broker
  std::deque<Event> log_backlog_;                    // records made while disconnected
  long backlog_dropped_ = 0;
  std::optional<std::chrono::steady_clock::time_point> down_since_;
  bool warned_ = false;
};

}  // namespace dravik::host
