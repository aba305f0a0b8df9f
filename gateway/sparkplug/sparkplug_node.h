// The Sparkplug B edge node of dravik-host (--sparkplug GROUP): the topic
// scheme the MQTT bridge speaks instead of its plain topics. The gateway is
// the edge node, each station a device, each bound tag a metric named by its
// tag name. The bridge owns the connection, the back-off and the pending
// tables and calls the MqttScheme methods (gateway/mqtt/mqtt_scheme.h);
// writes taken from DCMD go to the line session's one write path.
//
// clang-format off
// | Topic                               | Payload                                       | When                               |
// |-------------------------------------|-----------------------------------------------|------------------------------------|
// | spBv1.0/GROUP/NBIRTH/NODE           | seq 0, bdSeq, Node Control/Rebirth, Line/...  | every session, rebirth, host online|
// | spBv1.0/GROUP/NDEATH/NODE           | bdSeq of the NBIRTH (the will, QoS 1)         | connection lost, stop, host offline|
// | spBv1.0/GROUP/DBIRTH/NODE/STATION   | every metric of the station, value, Quality   | after NBIRTH, when it answers again|
// | spBv1.0/GROUP/DDEATH/NODE/STATION   | seq only                                      | failing, demoted or disabled       |
// | spBv1.0/GROUP/DDATA/NODE/STATION    | changed metrics by alias                      | every value from the driver        |
// | spBv1.0/GROUP/NDATA/NODE            | Line/... counters, Line/Log                   | counters, every driver log line    |
// | spBv1.0/GROUP/NCMD/NODE (in)        | Node Control/Rebirth = true                   | republishes every birth            |
// | spBv1.0/GROUP/DCMD/NODE/STATION (in)| metrics by name or alias: tag writes          | only with --mqtt-writes, rw tags   |
// | spBv1.0/STATE/HOST (in)             | {"online": bool, "timestamp": ms}             | with --sparkplug-host HOST         |
// clang-format on
//
// seq runs 0..255 over every NBIRTH, DBIRTH, DDEATH, NDATA and DDATA of a
// session (NBIRTH is 0); bdSeq (an Int64 metric) counts the CONNECTs 0..255,
// on from the last process's under --state-dir (bdseq_file.h), and the NBIRTH
// carries the one of its session's will. When the primary host goes offline
// the node sends its NDEATH, disconnects and connects again under the next
// bdSeq, born once the host is back online. Node Control/Rebirth has no alias:
// an NCMD names it. Every birth metric carries a timestamp, the birth's own
// where the metric has no value of its own yet. A DCMD metric whose datatype
// is not its birth datatype is refused, with the reason.
//
// Threads: Publish runs on the bridge's publisher thread, which alone owns
// the publishing state below (seq, values, station liveness); Will,
// OnConnected, OnDisconnected and OnMessage run on libmosquitto's thread;
// Activate on the MQTT face's thread; Final on the stopping thread after the
// publisher has ended. mutex_ guards what they share: the bound tags, the
// session's bdSeq and the primary host's state.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gateway/line/output.h"
#include "gateway/mqtt/mqtt_scheme.h"
#include "gateway/sparkplug/bdseq_file.h"
#include "gateway/sparkplug/sparkplug_payload.h"

namespace dravik::host {

struct SparkplugOptions {
  std::string group;  // empty: no Sparkplug, the plain topics
  std::string node;   // empty: the project file's name without folder and extension
  std::string host;   // the primary host application's id; empty: none awaited
  std::string state_dir;  // where bdSeq is kept between processes; empty: nowhere
  bool takeover = false;  // --sparkplug-takeover: replace a node of the same id on purpose
};

// One host tag as the node maps it; `station` indexes the project's stations
// (npos: the tag's device names no station, it is no metric).
struct SparkplugTag {
  std::string name;
  int type = 0;
  size_t station = static_cast<size_t>(-1);
  bool writable = true;
};

// The Sparkplug datatype of a host type code (BCD as its decoded integer).
uint32_t SparkplugDataType(int host_type);

// Why the ids and names can't be used, one line per problem.
std::vector<std::string> CheckSparkplugNames(const SparkplugOptions& options,
                                             const std::vector<std::string>& tags,
                                             const std::vector<std::string>& stations);

class SparkplugNode : public MqttScheme {
 public:
  // `options.node` filled in; `tags` in host tag id order.
  SparkplugNode(SparkplugOptions options, std::vector<SparkplugTag> tags,
                std::vector<std::string> stations, bool writes, Output* out);

  // Once slot 4 has bound the tags: which are metrics. No birth goes out
  // before; the bridge then publishes the whole view again.
  void Activate(std::vector<bool> bound) override;

  MqttMessage Will() override;
  std::vector<std::string> OnConnected() override;
  // The first session asks its own node id for a rebirth before its own
  // births: a live twin answers with an NBIRTH.
  std::vector<MqttMessage> AfterSubscribe() override;
  // The main thread, before the line starts: waits up to `wait` for a twin's
  // answer; "" when none came, else what was seen.
  std::string WaitForTwin(std::chrono::milliseconds wait);
  void OnDisconnected() override;
  MqttInbound OnMessage(const std::string& topic, const std::string& payload,
                        bool retained) override;
  std::vector<MqttMessage> Publish(MqttBatch batch) override;
  MqttMessage Final() override;
  long DroppedValues() const override { return dropped_total_.load(); }

 private:
  struct Counters {
    int64_t reads_sent = 0, reads_failed = 0, writes_sent = 0, writes_failed = 0;
    bool operator==(const Counters&) const = default;
  };

  std::string Topic(const char* type, const std::string& station = "") const;
  MqttMessage Death(uint64_t bdseq, bool with_timestamp) const;
  void Births(int64_t now, std::vector<MqttMessage>* out);
  MqttMessage DeviceBirth(size_t station, int64_t now);
  MqttMessage Message(const char* type, const std::string& station, sparkplug::Payload payload);
  struct Held;
  sparkplug::Metric TagMetric(size_t tag, bool with_name) const;
  // The Quality a metric has now: stale while its data is not fresh (or it
  // has no value yet), good otherwise. A write-only tag never has a value to
  // age, so it is always good.
  int32_t QualityOf(size_t tag) const;
  // Gives each metric of `data` (one per station) the quality it has now when
  // that is not good or not what the host holds, and adds a metric for every
  // tag of an alive device whose quality changed without a new value.
  void AddQualities(int64_t now, std::vector<sparkplug::Payload>* data);
  sparkplug::Metric ValueMetric(size_t tag, const Held& held, bool with_name) const;
  // Each device's Command/Result metric: the end of its last DCMD write.
  sparkplug::Metric ResultMetric(size_t station, bool with_name, int64_t now) const;
  void PublishResults(const std::vector<MqttBatch::WriteResult>& results, int64_t now,
                      std::vector<sparkplug::Payload>* data);
  void KeepPast(size_t tag, const TagValue& value, int64_t ts_ms);
  void PublishPast(int64_t now, std::vector<MqttMessage>* out);
  void NodeMetrics(bool birth, const std::vector<MqttLogLine>& logs, int64_t now,
                   std::vector<sparkplug::Metric>* metrics) const;
  Counters SumCounters() const;
  void HandleState(const std::string& payload, MqttInbound* in);
  // An NBIRTH of our own node id: a twin's unless we sent it.
  void HandleBirth(const std::string& payload, MqttInbound* in);
  void HandleNodeCommand(const sparkplug::Payload& payload, MqttInbound* in);
  void HandleDeviceCommand(size_t station, const sparkplug::Payload& payload, MqttInbound* in);
  void Note(const std::string& text);

  const SparkplugOptions options_;
  const std::vector<SparkplugTag> tags_;
  const std::vector<std::string> stations_;
  const bool writes_;
  Output* const out_;
  const std::string state_topic_;  // empty without a primary host
  const BdSeqFile bdseq_file_;

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  std::vector<bool> bound_;
  bool active_ = false;
  int next_bdseq_ = 0;     // the will of the next CONNECT
  int will_bdseq_ = 0;     // the will last set
  int session_bdseq_ = 0;  // the will of the current session
  bool connected_ = false;
  bool host_online_ = false;
  std::optional<int64_t> host_ts_;  // the last STATE that said online, this session
  std::condition_variable twin_seen_;
  std::string twin_;                  // what a twin's NBIRTH said, before our first birth
  std::optional<uint64_t> probe_ts_;  // our rebirth request's time stamp
  std::set<uint64_t> own_births_;     // time stamps of the NBIRTHs we sent
  bool born_once_ = false;            // an NBIRTH of ours went out

  // The publisher thread only.
  int seq_ = 0;
  bool born_ = false;  // NBIRTH sent in this session
  struct Held {
    TagValue value;
    int64_t ts_ms = 0;
    bool known = false;
  };
  std::vector<Held> values_;
  // Changes the host has not seen live (the broker was away, or the node not
  // yet born), in order; after the births they go out as DDATA metrics with
  // is_historical and their own time stamps, once their device is alive.
  struct Past {
    size_t tag = 0;
    Held held;
  };
  static constexpr size_t kMaxPast = 200000;
  static constexpr size_t kMaxMetricsPerMessage = 500;
  std::deque<Past> past_;
  long past_dropped_ = 0;  // the oldest given way to kMaxPast, this episode
  std::atomic<long> dropped_total_{0};  // all of them, for any thread
  std::vector<std::optional<StationReport>> reports_;
  std::vector<bool> alive_;  // DBIRTH sent and no DDEATH since
  std::vector<int32_t> sent_quality_;  // per tag: the Quality the host holds
  struct Result {
    std::string text;
    int64_t ts_ms = 0;
  };
  std::vector<std::optional<Result>> results_;  // per station: its last command's end
  Counters counters_;        // as last published
  std::optional<MqttLogLine> last_log_;
};

}  // namespace dravik::host
