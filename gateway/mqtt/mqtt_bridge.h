// The MQTT session of dravik-host: the connection to a broker through
// libmosquitto (connect, back-off, will, TLS, the check that no other gateway
// holds the prefix) with the plain topic scheme, or another scheme set on it
// (Sparkplug B). The MQTT face (mqtt_face.h) feeds it the line's values,
// station states and log; writes go back to the line session's one write
// path through MqttHooks. Offer* may be called from any thread and never wait
// on the network: they put the item into bounded pending tables under mutex_
// and wake the bridge's publisher thread. libmosquitto's own network thread
// runs the connection and calls the On* callbacks. This folder is the only
// one that includes libmosquitto's header.
//
// The topics and payloads of the plain scheme are in mqtt_topics.h.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/line/output.h"
#include "gateway/mqtt/change_store.h"
#include "gateway/mqtt/mqtt_topics.h"

struct mosquitto;
struct mosquitto_message;

namespace dravik::host {

class MqttScheme;  // mqtt_scheme.h
struct MqttBatch;
struct MqttMessage;

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
  bool mqtt5 = true;              // MQTT 5 (3.1.1 when the broker refuses it); false: 3.1.1
  std::string client_id;          // empty: DefaultClientId()
  int buffer_memory_mb = 16;      // changes waiting for the broker, in memory
  std::string state_dir;          // empty: no disk tier (change_store.h)
  int buffer_disk_mb = 256;       // changes waiting for the broker, on disk
};

// A write taken from tag/<TAG>/set (or a scheme's command) for the line.
struct MqttWrite {
  std::string tag;
  std::string value_text;
  Json id;     // null when the request had none
  Json value;  // the value as the request gave it, for its result
};

// How the bridge reaches the line, both called on libmosquitto's thread.
struct MqttHooks {
  // Hands a write to the line's one write path; false when too many wait.
  std::function<bool(MqttWrite)> submit_write;
  // The gateway must stop: another gateway took the prefix (Refusal()).
  std::function<void()> refused;
};

class MqttBridge {
 public:
  enum class State { kConnecting, kConnected, kDown };

  // `tags`, `writable`, `write_only` (type 12: never has a value) and
  // `tag_stations` (the index of each tag's station in `stations`, -1 for
  // none) are in host tag id order (id = index + 1).
  MqttBridge(MqttOptions options, std::vector<std::string> tags, std::vector<bool> writable,
             std::vector<bool> write_only, std::vector<int> tag_stations,
             std::vector<std::string> stations, Output* out);
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  // Another topic scheme instead of the plain topics (Sparkplug B); set
  // before Start, owned by the caller and outliving the bridge's Stop.
  void SetScheme(MqttScheme* scheme) { scheme_ = scheme; }
  // Before Start: how writes and a refusal reach the line.
  void SetHooks(MqttHooks hooks) { hooks_ = std::move(hooks); }
  // Any thread: the publisher publishes the whole view again (a scheme that
  // became ready).
  void Republish();
  // Once slot 4 has bound the tags: tells the scheme which are bound, then
  // publishes the whole view again.
  void TagsBound(std::vector<bool> bound);

  // Creates the client and starts connecting in the background; false with
  // the reason for a setting that can never work (bad URL, unreadable file).
  bool Start(std::string* error);
  // Main thread, after Start: waits up to `timeout` for the first connection
  // to be checked. False when another gateway holds the prefix (Refusal()).
  bool WaitUntilChecked(std::chrono::milliseconds timeout);
  // Why the gateway must stop (another gateway holds the prefix), or "".
  std::string Refusal() const;
  // The start is refused for `why` (another node online under the same
  // ids): Stop then leaves the other's state alone, as for a held prefix.
  void RefuseStart(const std::string& why) { Refuse(why); }
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

  State state() const { return state_.load(); }
  static const char* StateText(State state);

  long coalesced_values() const;
  // Changes waiting for the broker now (the buffer while it is away), in
  // memory and on disk.
  long waiting_changes() const;
  // Changes the disk buffer dropped, the oldest first, when it was full (or
  // whose tag is no longer in the tag list when they were replayed), and
  // those the scheme gave up (Sparkplug's history past its bound).
  long dropped_values() const;
  // Connections the broker accepted after the first one.
  long reconnects() const { return reconnects_.load(); }
  long dropped_logs() const;

 private:
  struct PendingValue {
    TagValue value;
    int64_t ts_ms = 0;
    bool buffered = false;  // offered while the broker was away
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

  // Start: the TLS settings of an mqtts:// broker; false with the reason.
  bool ConfigureTls(std::string* error);
  void HandleSet(const std::string& topic, const std::string& payload, bool retained);
  // Subscribes to a topic whose messages may write: with MQTT 5 the broker
  // keeps their retain flag, so a retained one published now is told apart.
  void SubscribeCommands(const std::string& topic);
  // libmosquitto's thread: a CONNACK that refused MQTT 5; true when the next
  // attempt speaks 3.1.1.
  bool FallBackToMqtt311(int rc);
  // With --mqtt-writes on MQTT 3.1.1: the line saying what the retained rule misses.
  void SayWhatMqtt311CannotSee();
  void HandleStatus(const std::string& topic, const std::string& payload, bool retained);
  void OfferEvent(Event event);
  // Publisher thread: ends the check of a new connection.
  void FinishCheck();
  void Refuse(const std::string& why);
  void PublisherLoop();
  // Publisher thread: the session a scheme ended. Its Final(), a clean
  // disconnect, then a new connection with the next will.
  void CycleSession();
  // A session's last message before its clean disconnect, waited for up to
  // about two seconds.
  void PublishFinal(const MqttMessage& last);
  // The publisher thread, with what it took from the pending tables.
  void PublishToScheme(std::vector<std::pair<size_t, PendingValue>> values,
                       std::vector<std::pair<size_t, StationReport>> stations,
                       const std::deque<Event>& logs, bool republish);
  void PublishPlain(std::vector<std::pair<size_t, PendingValue>> values,
                    std::vector<std::pair<size_t, StationReport>> stations, std::deque<Event> logs,
                    long dropped, bool online, bool republish);
  void RepublishAll();
  // The disk tier (mqtt_buffer.cpp), publisher thread. Start: opens it.
  bool OpenStore(std::string* error);
  // Offline: the changes go to the disk; online: the live changes follow
  // the stored ones there, and the oldest stored batch comes back to be
  // published, marked buffered. Without a store the changes pass through.
  std::vector<std::pair<size_t, PendingValue>> ThroughStore(
      std::vector<std::pair<size_t, PendingValue>> changes, bool online);
  bool AppendToStore(const std::vector<std::pair<size_t, PendingValue>>& changes);
  // Removes what was replayed from the store; false when the file takes no
  // writes (the records stay, skipped, until a later try succeeds).
  bool RemoveReplayed(int64_t through);
  void SayStoreFailed(const std::string& error, const std::string& consequence);
  void CountDropped(long dropped, const std::string& why);
  // Stop: what still waits is kept on the disk for the next start.
  void KeepForNextStart();
  bool SpillDue() const;
  void WarnIfUnreachable();
  void Publish(const std::string& topic, const std::string& payload, bool retain);
  void PublishValue(size_t tag_index);
  // A change kept while the broker was away: published in its turn, not
  // retained, with its own time stamp.
  void PublishBuffered(size_t tag_index, const PendingValue& change);
  void PublishStation(size_t station_index, const StationReport& report);
  void SetSchemeWill();
  void PublishScheme(MqttBatch batch);
  void HandleScheme(const std::string& topic, const std::string& payload, bool retained);
  // libmosquitto's thread: hands a write to the line, or refuses it.
  void SubmitWrite(MqttWrite write);

  const MqttOptions options_;
  const std::vector<std::string> tags_;
  const std::vector<bool> writable_;
  const std::vector<bool> write_only_;
  const std::vector<int> tag_stations_;
  const std::vector<std::string> stations_;
  Output* const out_;
  MqttHooks hooks_;  // set before Start
  std::string display_url_;
  std::string client_id_;         // set in Start
  MqttScheme* scheme_ = nullptr;  // set before Start; null: the plain topics

  mosquitto* mosq_ = nullptr;  // created in Start, destroyed in the destructor
  std::thread publisher_;
  std::atomic<State> state_{State::kConnecting};
  std::atomic<bool> connected_{false};
  std::atomic<int> offline_mid_{-1};  // mid of a session's final message (Stop, CycleSession)
  std::atomic<bool> offline_acked_{false};
  std::atomic<bool> refusal_reported_{false};  // a CONNACK refusal already shown
  std::atomic<long> connections_{0};           // accepted by the broker
  std::atomic<long> reconnects_{0};            // the connections after the first
  // The protocol of the next CONNECT: MQTT 5 until a broker refuses it.
  // Written on Start's thread before the network thread runs, then on it.
  std::atomic<bool> mqtt5_{true};

  // Guarded by mutex_: the pending tables between the offering threads and
  // the publisher thread.
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // Every change not yet taken by the publisher, oldest first. While the
  // broker is away nothing is taken, so this is also the offline buffer.
  // Past max_changes_ a tag's newest waiting change takes the newer value
  // (counted in coalesced_), so the queue stays within max_changes_ plus one
  // entry per tag and no tag's newest value is ever lost.
  std::deque<std::pair<size_t, PendingValue>> changes_;
  std::vector<uint64_t> newest_change_;  // per tag: 1 + the sequence number of its newest entry
  uint64_t changes_taken_ = 0;           // the sequence number of changes_.front()
  size_t max_changes_ = 0;               // set in the constructor
  bool coalescing_ = false;              // an episode said, until the queue is taken
  std::vector<std::optional<StationReport>> pending_stations_;
  std::vector<size_t> dirty_stations_;
  std::deque<Event> pending_logs_;
  bool republish_ = false;
  bool end_session_ = false;  // the scheme asked for a new session
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

  // The disk tier: opened in Start before the publisher runs, then the
  // publisher thread's alone, and Stop's after that thread has ended.
  std::unique_ptr<ChangeStore> store_;
  std::chrono::steady_clock::time_point next_spill_{};
  bool dropping_said_ = false;  // a dropping episode said, until the store empties
  bool store_failed_said_ = false;
  // Records already replayed that the store could not remove (a full disk):
  // skipped by the replay, so that none goes out twice, and removed once the
  // file takes writes again.
  int64_t replayed_through_ = 0;
  int64_t replayed_unremoved_ = 0;
  // Online changes the store could not take wait in memory behind the stored
  // ones: the publisher then comes back at the replay's pace, not at once.
  bool changes_held_ = false;
  std::atomic<long> dropped_values_{0};
  std::atomic<long> stored_changes_{0};  // store_->count(), for any thread

  // Publisher thread only: what the broker should hold.
  std::vector<std::optional<PendingValue>> last_values_;
  std::vector<std::optional<StationReport>> last_stations_;
  std::vector<std::optional<std::string>> published_quality_;  // per tag: as on the broker
  std::deque<Event> log_backlog_;                              // records made while disconnected
  long backlog_dropped_ = 0;
  std::optional<std::chrono::steady_clock::time_point> down_since_;
  bool warned_ = false;
};

}  // namespace dravik::host
