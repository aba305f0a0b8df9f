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
// | Topic             | Payload                                            | Retained | When                          |
// |-------------------|----------------------------------------------------|----------|-------------------------------|
// | status            | online / offline (offline is also the will)        | yes      | connect, clean stop, loss     |
// | tag/<TAG>         | {"value": 42 | "text" | null, "ts": <ms epoch>};   | yes      | every value from the driver   |
// |                   | --mqtt-payload plain: the bare value text, null    |          |                               |
// | station/<S>/state | {"state": "ok"|"failing"|"demoted"|"disabled",     | yes      | a change of state, and every  |
// |                   |  "reads_sent", "reads_failed", "writes_sent",      |          | --mqtt-stats-seconds (10)     |
// |                   |  "writes_failed"}                                  |          |                               |
// | log               | {"flags": 258, "text": "...", "ts": <ms epoch>};   | no       | every driver log line, and    |
// |                   | the bridge's own errors have bit 8 (0x100) clear   |          | the bridge's own errors       |
// |                   | and name the tag in "tag"                          |          |                               |
// | tag/<TAG>/set (in)| 42, "text", text, or {"value": 42 | "text"}        |          | subscribed with --mqtt-writes |
// clang-format on
//
// After every (re)connect the bridge publishes status online, the last value
// of every tag that has one and every station's state, so that the broker's
// retained view is whole again.
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

// Why `name` cannot be one topic level (empty, '/', '+', '#', NUL, not
// UTF-8), or "" when it can.
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
  std::string state;
  int reads_sent = 0, reads_failed = 0, writes_sent = 0, writes_failed = 0;
  bool operator==(const StationReport&) const = default;
};

std::string ValuePayload(const TagValue& value, int64_t ts_ms, bool plain);
std::string StatePayload(const StationReport& report);
std::string LogPayload(int flags, const std::string& text, int64_t ts_ms, const std::string& tag);

// A set payload turned into the text the write command takes: a JSON number
// or string, bare or as {"value": ...}, or any other text taken as it is.
// False with the reason when the payload can't be a value.
bool ParseSetPayload(const std::string& payload, std::string* value_text, std::string* error);

int64_t NowMs();

// A write taken from tag/<TAG>/set, waiting for the main thread.
struct MqttWrite {
  std::string tag;
  std::string value_text;
};

class MqttBridge {
 public:
  enum class State { kConnecting, kConnected, kDown };

  // `tags` and `writable` are in host tag id order (id = index + 1);
  // `wake_main` is called, on libmosquitto's thread, when a write waits.
  MqttBridge(MqttOptions options, std::vector<std::string> tags, std::vector<bool> writable,
             std::vector<std::string> stations, Output* out, std::function<void()> wake_main);
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
  // Publishes what is pending and status offline, then disconnects. Waits at
  // most about two seconds for the broker.
  void Stop();

  // Any thread; never blocks on the network.
  void OfferValue(size_t tag_index, TagValue value, int64_t ts_ms);
  void OfferLog(int flags, const std::string& text, int64_t ts_ms, const std::string& tag = "");
  void OfferStation(size_t station_index, const StationReport& report);
  // A refused write: an error record on log, and a line on the terminal.
  void ReportWriteError(const std::string& tag, const std::string& reason);

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
  struct LogRecord {
    int flags = 0;
    std::string text;
    int64_t ts_ms = 0;
    std::string tag;
  };

  static void OnConnect(mosquitto* mosq, void* self, int rc);
  static void OnDisconnect(mosquitto* mosq, void* self, int rc);
  static void OnPublish(mosquitto* mosq, void* self, int mid);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);

  void HandleSet(const std::string& topic, const std::string& payload);
  void PublisherLoop();
  void RepublishAll();
  void WarnIfUnreachable();
  void Publish(const std::string& topic, const std::string& payload, bool retain);
  void PublishValue(size_t tag_index, const PendingValue& value);
  void PublishStation(size_t station_index, const StationReport& report);
  void SetSchemeWill();
  void PublishScheme(MqttBatch batch);
  void HandleScheme(const std::string& topic, const std::string& payload, bool retained);

  const MqttOptions options_;
  const std::vector<std::string> tags_;
  const std::vector<bool> writable_;
  const std::vector<std::string> stations_;
  Output* const out_;
  const std::function<void()> wake_main_;
  std::string display_url_;
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
  std::deque<LogRecord> pending_logs_;
  std::deque<MqttWrite> writes_;
  bool republish_ = false;
  bool stopping_ = false;
  long coalesced_ = 0;
  long dropped_logs_ = 0;

  // Publisher thread only: what the broker should hold.
  std::vector<std::optional<PendingValue>> last_values_;
  std::vector<std::optional<StationReport>> last_stations_;
  std::deque<LogRecord> log_backlog_;  // log records made while disconnected
  long backlog_dropped_ = 0;
  std::optional<std::chrono::steady_clock::time_point> down_since_;
  bool warned_ = false;
};

}  // namespace dravik::host
