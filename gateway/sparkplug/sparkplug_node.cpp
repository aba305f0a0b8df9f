#include "gateway/sparkplug/sparkplug_node.h"

#include <cmath>
#include <utility>

#include "gateway/line/tag_list.h"
#include "model/tag_binding.h"

namespace dravik::host {
namespace {

using sparkplug::Metric;
using sparkplug::Payload;

constexpr const char* kNamespace = "spBv1.0";
constexpr int kBirthQos = 0;  // births, deaths of devices and data go at QoS 0, never retained
constexpr int kDeathQos = 1;
// Commands larger than this are refused before decoding.
constexpr size_t kMaxCommandBytes = 64 * 1024;

// The node's own metrics and their aliases; the tags follow from kFirstTagAlias.
constexpr const char* kBdSeq = "bdSeq";
constexpr const char* kRebirth = "Node Control/Rebirth";  // no alias: commands name it
constexpr const char* kReadsSent = "Line/Reads Sent";
constexpr const char* kReadsFailed = "Line/Reads Failed";
constexpr const char* kWritesSent = "Line/Writes Sent";
constexpr const char* kWritesFailed = "Line/Writes Failed";
constexpr const char* kLog = "Line/Log";
constexpr uint64_t kFirstCounterAlias = 2;  // the four counters: 2..5
constexpr uint64_t kLogAlias = 6;
// Each device's Command/Result: alias kFirstResultAlias + station index.
constexpr const char* kCommandResult = "Command/Result";
constexpr uint64_t kFirstResultAlias = 100;
constexpr uint64_t kFirstTagAlias = 1000;  // host tag id 1 is alias 1000

Metric LongMetric(const char* name, uint64_t alias, uint32_t type, int64_t value, bool with_name) {
  Metric m;
  if (with_name) m.name = name;
  m.alias = alias;
  m.datatype = type;
  m.kind = Metric::Kind::kLong;
  m.integer = static_cast<uint64_t>(value);
  return m;
}

bool TopicLevel(const std::string& text, std::string* level) {
  if (text.empty() || text.find('/') != std::string::npos) return false;
  *level = text;
  return true;
}

}  // namespace

uint32_t SparkplugDataType(int host_type) {
  switch (host_type) {
    case 0:  // int8
    case 6:  // bcd2s, -79..79
      return sparkplug::kInt8;
    case 1:  // int16
    case 7:  // bcd4s
      return sparkplug::kInt16;
    case 2:   // int32
    case 8:   // bcd8s
    case 12:  // int-write
      return sparkplug::kInt32;
    case 9:  // bcd2, 0..99
      return sparkplug::kUInt8;
    case 3:   // uint (a word)
    case 4:   // uint16
    case 10:  // bcd4
      return sparkplug::kUInt16;
    case 5:   // uint32
    case 11:  // bcd8
      return sparkplug::kUInt32;
    case kTypeBit:
      return sparkplug::kBoolean;
    case kTypeString:
      return sparkplug::kString;
    default:
      return sparkplug::kDouble;
  }
}

std::vector<std::string> CheckSparkplugNames(const SparkplugOptions& options,
                                             const std::vector<std::string>& tags,
                                             const std::vector<std::string>& stations) {
  std::vector<std::string> problems;
  const struct {
    const char* what;
    const std::string& id;
  } ids[] = {{"--sparkplug group id", options.group},
             {"--sparkplug-node edge node id", options.node},
             {"--sparkplug-host host id", options.host}};
  for (const auto& id : ids) {
    if (id.id.empty()) continue;  // no primary host
    const std::string why = TopicLevelProblem(id.id);
    if (!why.empty())
      problems.push_back(std::string("the ") + id.what + " \"" + id.id +
                         "\" cannot be a Sparkplug topic level: " + why);
  }
  for (const auto& station : stations) {
    const std::string why = TopicLevelProblem(station);
    if (!why.empty()) {
      problems.push_back("station \"" + station + "\" cannot be a Sparkplug device id: " + why);
    }
  }
  for (const auto& tag : tags) {
    if (!IsValidUtf8(tag)) {
      problems.push_back("tag \"" + tag + "\" cannot be a Sparkplug metric name: not valid UTF-8");
    }
  }
  return problems;
}

SparkplugNode::SparkplugNode(SparkplugOptions options, std::vector<SparkplugTag> tags,
                             std::vector<std::string> stations, bool writes, Output* out)
    : options_(std::move(options)),
      tags_(std::move(tags)),
      stations_(std::move(stations)),
      writes_(writes),
      out_(out),
      state_topic_(options_.host.empty() ? ""
                                         : std::string(kNamespace) + "/STATE/" + options_.host),
      bdseq_file_(options_.state_dir),
      values_(tags_.size()),
      reports_(stations_.size()),
      alive_(stations_.size(), false),
      sent_quality_(tags_.size(), sparkplug::kQualityGood),
      results_(stations_.size()) {
  std::string problem;
  next_bdseq_ = bdseq_file_.FirstNumber(&problem);
  if (!problem.empty()) Note(problem);
}

void SparkplugNode::Activate(std::vector<bool> bound) {
  std::lock_guard lock(mutex_);
  bound_ = std::move(bound);
  bound_.resize(tags_.size(), false);
  active_ = true;
}

std::string SparkplugNode::Topic(const char* type, const std::string& station) const {
  std::string topic =
      std::string(kNamespace) + "/" + options_.group + "/" + type + "/" + options_.node;
  if (!station.empty()) topic += "/" + station;
  return topic;
}

MqttMessage SparkplugNode::Death(uint64_t bdseq, bool with_timestamp) const {
  Payload p;
  if (with_timestamp) p.timestamp = static_cast<uint64_t>(NowMs());
  Metric m = LongMetric(kBdSeq, 0, sparkplug::kInt64, static_cast<int64_t>(bdseq), true);
  m.alias.reset();
  p.metrics.push_back(std::move(m));
  return MqttMessage{Topic("NDEATH"), sparkplug::Encode(p), kDeathQos, false};
}

MqttMessage SparkplugNode::Will() {
  std::string problem;
  MqttMessage will;
  {
    std::lock_guard lock(mutex_);
    will_bdseq_ = next_bdseq_;
    // Kept before the CONNECT that carries it: the next process starts after it.
    bdseq_file_.Keep(will_bdseq_, &problem);
    will = Death(static_cast<uint64_t>(will_bdseq_), false);
  }
  if (!problem.empty()) Note(problem);
  return will;
}

std::vector<std::string> SparkplugNode::OnConnected() {
  {
    std::lock_guard lock(mutex_);
    connected_ = true;
    session_bdseq_ = will_bdseq_;
    host_online_ = false;  // learnt again from the retained STATE
    host_ts_.reset();      // each session judges STATEs afresh
  }
  std::vector<std::string> subs = {Topic("NCMD"), Topic("DCMD") + "/+", Topic("NBIRTH")};
  if (!state_topic_.empty()) subs.push_back(state_topic_);
  return subs;
}

std::vector<MqttMessage> SparkplugNode::AfterSubscribe() {
  std::lock_guard lock(mutex_);
  if (born_once_ || probe_ts_ || options_.takeover) return {};
  // A rebirth request to our own id: a node already online under it answers
  // at once with an NBIRTH, which no other message of a node is sure to do.
  Payload p;
  probe_ts_ = static_cast<uint64_t>(NowMs());
  p.timestamp = *probe_ts_;
  Metric rebirth;
  rebirth.name = kRebirth;
  rebirth.datatype = sparkplug::kBoolean;
  rebirth.kind = Metric::Kind::kBool;
  rebirth.boolean = true;
  p.metrics.push_back(std::move(rebirth));
  return {MqttMessage{Topic("NCMD"), sparkplug::Encode(p), 0, false}};
}

std::string SparkplugNode::WaitForTwin(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  twin_seen_.wait_for(lock, wait, [this] { return !twin_.empty(); });
  return twin_;
}

void SparkplugNode::HandleBirth(const std::string& payload, MqttInbound* in) {
  Payload birth;
  std::string why;
  if (!sparkplug::Decode(payload, &birth, &why)) return;
  const uint64_t ts = birth.timestamp.value_or(0);
  std::lock_guard lock(mutex_);
  if (own_births_.count(ts) != 0) return;
  const std::string id = options_.group + "/" + options_.node;
  if (!born_once_) {
    twin_ = "another gateway is online as Sparkplug node " + id +
            " (it answered a rebirth request); stop it, or start this one with "
            "--sparkplug-takeover to replace it";
    twin_seen_.notify_all();
  } else {
    // The other one took over: it is the node now. Going without a death
    // certificate, so the host keeps it alive.
    in->stop = "another gateway took over Sparkplug node " + id + "; this one stops";
  }
}

void SparkplugNode::OnDisconnected() {
  std::lock_guard lock(mutex_);
  connected_ = false;
  next_bdseq_ = (will_bdseq_ + 1) % 256;
}

MqttMessage SparkplugNode::Final() {
  std::lock_guard lock(mutex_);
  return Death(static_cast<uint64_t>(session_bdseq_), true);
}

void SparkplugNode::Note(const std::string& text) {
  out_->Emit("sparkplug: " + text, Json{{"kind", "sparkplug"}, {"text", text}});
}

MqttInbound SparkplugNode::OnMessage(const std::string& topic, const std::string& payload,
                                     bool retained) {
  MqttInbound in;
  if (!state_topic_.empty() && topic == state_topic_) {
    HandleState(payload, &in);
    return in;
  }
  if (topic == Topic("NBIRTH")) {
    HandleBirth(payload, &in);
    return in;
  }
  const std::string ncmd = Topic("NCMD");
  const std::string dcmd = Topic("DCMD") + "/";
  const bool is_node = topic == ncmd;
  std::string station_name;
  if (!is_node &&
      (topic.rfind(dcmd, 0) != 0 || !TopicLevel(topic.substr(dcmd.size()), &station_name))) {
    return in;
  }
  const std::string target = is_node ? "node " + options_.node : "device " + station_name;
  size_t station = stations_.size();
  for (size_t i = 0; i < stations_.size(); ++i) {
    if (stations_[i] == station_name) station = i;
  }
  if (!is_node && station == stations_.size()) {
    in.refusals.push_back({"(" + target + ")", "no station of that name in the project"});
    return in;
  }
  if (retained) {
    // A retained command would act again on every reconnect: never taken.
    in.refusals.push_back({"(" + target + ")",
                           "the command is retained; a retained command is never "
                           "written"});
    return in;
  }
  Payload command;
  std::string why;
  if (payload.size() > kMaxCommandBytes) {
    in.refusals.push_back({"(" + target + ")", "the command is larger than " +
                                                   std::to_string(kMaxCommandBytes) + " bytes"});
    return in;
  }
  if (!sparkplug::Decode(payload, &command, &why)) {
    in.refusals.push_back({"(" + target + ")", why});
    return in;
  }
  if (is_node) {
    {
      std::lock_guard lock(mutex_);
      if (probe_ts_ && command.timestamp == probe_ts_) return in;  // our own question
    }
    HandleNodeCommand(command, &in);
  } else {
    HandleDeviceCommand(station, command, &in);
  }
  return in;
}

void SparkplugNode::HandleState(const std::string& payload, MqttInbound* in) {
  const Json json = Json::parse(payload, nullptr, false);
  if (!json.is_object() || !json.contains("online") || !json["online"].is_boolean() ||
      !json.contains("timestamp") || !json["timestamp"].is_number_integer()) {
    Note("STATE of host " + options_.host +
         " not understood (expected {\"online\": true|false, \"timestamp\": ms}); ignored");
    return;
  }
  const bool online = json["online"].get<bool>();
  const int64_t ts = json["timestamp"].get<int64_t>();
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    // Older than the last STATE that said online: out of date (a host's
    // retained offline from before its newest start, say).
    if (host_ts_ && ts < *host_ts_) return;
    if (online) host_ts_ = ts;
    changed = online != host_online_;
    host_online_ = online;
  }
  if (!changed) return;
  if (online) {
    Note("primary host " + options_.host + " is online; publishing the births");
    in->republish = true;
  } else {
    // The host cannot have seen what the node sent meanwhile: a new session
    // (next bdSeq) and births when it is back.
    Note("primary host " + options_.host +
         " is offline; the node sends its death, connects again and holds its births and data "
         "until the host is back online");
    in->end_session = true;
  }
}

void SparkplugNode::HandleNodeCommand(const Payload& payload, MqttInbound* in) {
  for (const Metric& m : payload.metrics) {
    const bool rebirth = m.name == kRebirth;
    const std::string label =
        m.name.empty() ? "alias " + std::to_string(m.alias.value_or(0)) : m.name;
    if (!rebirth) {
      in->refusals.push_back({label, "the node takes only " + std::string(kRebirth) +
                                         " in NCMD, by name (it has no alias)"});
    } else if (m.kind == Metric::Kind::kBool && m.boolean) {
      Note("rebirth asked by NCMD");
      in->republish = true;
    } else {
      in->refusals.push_back({label, std::string(kRebirth) + " needs the boolean true"});
    }
  }
}

void SparkplugNode::HandleDeviceCommand(size_t station, const Payload& payload, MqttInbound* in) {
  std::vector<bool> bound;
  {
    std::lock_guard lock(mutex_);
    bound = bound_;
  }
  for (const Metric& m : payload.metrics) {
    size_t tag = tags_.size();
    for (size_t i = 0; i < tags_.size(); ++i) {
      const bool by_name = !m.name.empty() && tags_[i].name == m.name;
      const bool by_alias = m.name.empty() && m.alias == kFirstTagAlias + i;
      if ((by_name || by_alias) && tags_[i].station == station && i < bound.size() && bound[i]) {
        tag = i;
      }
    }
    const std::string label = tag < tags_.size() ? tags_[tag].name
                              : m.name.empty()   ? "alias " + std::to_string(m.alias.value_or(0))
                                                 : m.name;
    if (tag == tags_.size()) {
      in->refusals.push_back(
          {label, "no metric of that name or alias on device " + stations_[station]});
    } else if (!writes_) {
      in->refusals.push_back({label, "writes are off (start the gateway with --mqtt-writes)"});
    } else if (!tags_[tag].writable) {
      in->refusals.push_back({label, "the tag is read-only (access r in the tag list)"});
    } else if (m.datatype != 0 && m.datatype != SparkplugDataType(tags_[tag].type)) {
      in->refusals.push_back(
          {label, "the command's datatype " + std::to_string(m.datatype) +
                      " is not the metric's birth datatype " +
                      std::to_string(SparkplugDataType(tags_[tag].type))});
    } else if (m.is_null || sparkplug::ValueText(m).empty()) {
      in->refusals.push_back({label, "the command carries no value the tag can take"});
    } else {
      const std::string text = sparkplug::ValueText(m);
      in->writes.push_back(MqttWrite{tags_[tag].name, text, nullptr, Json(text)});
    }
  }
}

Metric SparkplugNode::TagMetric(size_t tag, bool with_name) const {
  return ValueMetric(tag, values_[tag], with_name);
}

Metric SparkplugNode::ResultMetric(size_t station, bool with_name, int64_t now) const {
  Metric m;
  if (with_name) m.name = kCommandResult;
  m.alias = kFirstResultAlias + station;
  m.datatype = sparkplug::kString;
  const std::optional<Result>& r = results_[station];
  if (!r) {
    m.is_null = true;
    m.timestamp = static_cast<uint64_t>(now);
  } else {
    m.kind = Metric::Kind::kString;
    m.text = r->text;
    m.timestamp = static_cast<uint64_t>(r->ts_ms);
  }
  return m;
}

// A DCMD gets no answer of its own in Sparkplug: the end of each write, or
// why it was refused, goes to its device's Command/Result, where the host
// sees it beside the metric it asked to change.
void SparkplugNode::PublishResults(const std::vector<MqttBatch::WriteResult>& results,
                                   int64_t now, std::vector<Payload>* data) {
  for (const auto& r : results) {
    size_t station = stations_.size();
    for (size_t i = 0; i < tags_.size() && station == stations_.size(); ++i) {
      if (tags_[i].name == r.tag) station = tags_[i].station;
    }
    for (size_t s = 0; s < stations_.size() && station == stations_.size(); ++s) {
      if (r.tag == "(device " + stations_[s] + ")") station = s;
    }
    if (station >= stations_.size()) continue;  // the node's own: Line/Log has it
    std::string text = r.tag;
    if (!r.value.is_null()) {
      text += " = " + (r.value.is_string() ? r.value.get<std::string>() : r.value.dump());
    }
    text += r.ok ? ": ok" : ": " + r.reason;
    results_[station] = Result{text, r.ts_ms != 0 ? r.ts_ms : now};
    if (alive_[station]) (*data)[station].metrics.push_back(ResultMetric(station, false, now));
  }
}

int32_t SparkplugNode::QualityOf(size_t tag) const {
  const SparkplugTag& t = tags_[tag];
  if (t.type == dravik::kTypeWriteOnly) return sparkplug::kQualityGood;
  const Held& held = values_[tag];
  if (!held.known || held.value.kind == TagValue::Kind::kNone) return sparkplug::kQualityStale;
  const bool good = t.station < reports_.size() && reports_[t.station] &&
                    reports_[t.station]->TagGood(tag);
  return good ? sparkplug::kQualityGood : sparkplug::kQualityStale;
}

void SparkplugNode::AddQualities(int64_t now, std::vector<Payload>* data) {
  std::vector<bool> bound;
  {
    std::lock_guard lock(mutex_);
    bound = bound_;
  }
  for (size_t s = 0; s < stations_.size(); ++s) {
    if (!alive_[s]) continue;
    std::vector<Metric>& metrics = (*data)[s].metrics;
    std::vector<bool> has_metric(tags_.size(), false);
    for (Metric& m : metrics) {
      const size_t tag = static_cast<size_t>(m.alias.value_or(0) - kFirstTagAlias);
      if (tag >= tags_.size()) continue;
      has_metric[tag] = true;
      const int32_t q = QualityOf(tag);
      if (q != sparkplug::kQualityGood || q != sent_quality_[tag]) m.quality = q;
      sent_quality_[tag] = q;
    }
    for (size_t t = 0; t < tags_.size(); ++t) {
      if (tags_[t].station != s || has_metric[t] || t >= bound.size() || !bound[t]) continue;
      const int32_t q = QualityOf(t);
      if (q == sent_quality_[t]) continue;
      // Only the quality changed: the value as held, stamped with the change.
      Metric m = TagMetric(t, false);
      m.timestamp = static_cast<uint64_t>(now);
      m.quality = q;
      metrics.push_back(std::move(m));
      sent_quality_[t] = q;
    }
  }
}

void SparkplugNode::KeepPast(size_t tag, const TagValue& value, int64_t ts_ms) {
  if (tags_[tag].station >= stations_.size()) return;  // no device: never a metric
  if (past_.size() >= kMaxPast) {
    past_.pop_front();
    dropped_total_.fetch_add(1);
    if (past_dropped_++ == 0) {
      Note("more than " + std::to_string(kMaxPast) +
           " changes wait for the host to see them; the oldest give way");
    }
  }
  past_.push_back(Past{tag, Held{value, ts_ms, true}});
}

void SparkplugNode::PublishPast(int64_t now, std::vector<MqttMessage>* out) {
  std::vector<Payload> data(stations_.size());
  auto flush = [&](size_t s) {
    if (data[s].metrics.empty()) return;
    data[s].timestamp = static_cast<uint64_t>(now);
    out->push_back(Message("DDATA", stations_[s], std::move(data[s])));
    data[s] = Payload{};
  };
  std::deque<Past> waiting;  // for a device not alive now: after its birth
  for (Past& p : past_) {
    const size_t s = tags_[p.tag].station;
    if (!alive_[s]) {
      waiting.push_back(std::move(p));
      continue;
    }
    Metric m = ValueMetric(p.tag, p.held, false);
    m.is_historical = true;
    data[s].metrics.push_back(std::move(m));
    if (data[s].metrics.size() >= kMaxMetricsPerMessage) flush(s);
  }
  for (size_t s = 0; s < stations_.size(); ++s) flush(s);
  past_.swap(waiting);
  if (past_.empty() && past_dropped_ > 0) {
    Note(std::to_string(past_dropped_) + " changes were dropped while the host could not see them");
    past_dropped_ = 0;
  }
}

Metric SparkplugNode::ValueMetric(size_t tag, const Held& held, bool with_name) const {
  const SparkplugTag& t = tags_[tag];
  Metric m;
  if (with_name) m.name = t.name;
  m.alias = kFirstTagAlias + tag;
  m.datatype = SparkplugDataType(t.type);
  if (held.known) m.timestamp = static_cast<uint64_t>(held.ts_ms);
  const TagValue& v = held.value;
  if (!held.known || v.kind == TagValue::Kind::kNone) {
    if (with_name) m.timestamp = static_cast<uint64_t>(NowMs());  // a birth's, of no value yet
    m.is_null = true;
    if (with_name) m.quality = QualityOf(tag);
    return m;
  }
  if (with_name) m.quality = QualityOf(tag);
  switch (m.datatype) {
    case sparkplug::kString:
      m.kind = Metric::Kind::kString;
      m.text = v.kind == TagValue::Kind::kText ? v.text : FormatNumber(v.number);
      break;
    case sparkplug::kBoolean:
      m.kind = Metric::Kind::kBool;
      m.boolean = v.number != 0.0;
      break;
    case sparkplug::kDouble:
      m.kind = Metric::Kind::kDouble;
      m.real = v.number;
      break;
    default:
      // Whole numbers within the type's range: the driver converted them.
      m.kind = Metric::Kind::kInt;
      m.integer = static_cast<uint32_t>(static_cast<int64_t>(std::llround(v.number)));
      break;
  }
  return m;
}

SparkplugNode::Counters SparkplugNode::SumCounters() const {
  Counters c;
  for (const auto& r : reports_) {
    if (!r) continue;
    c.reads_sent += r->reads_sent;
    c.reads_failed += r->reads_failed;
    c.writes_sent += r->writes_sent;
    c.writes_failed += r->writes_failed;
  }
  return c;
}

void SparkplugNode::NodeMetrics(bool birth, const std::vector<MqttLogLine>& logs, int64_t now,
                                std::vector<Metric>* metrics) const {
  const Counters c = SumCounters();
  const struct {
    const char* name;
    int64_t value;
  } counters[] = {{kReadsSent, c.reads_sent},
                  {kReadsFailed, c.reads_failed},
                  {kWritesSent, c.writes_sent},
                  {kWritesFailed, c.writes_failed}};
  if (birth || !(c == counters_)) {
    for (size_t i = 0; i < 4; ++i) {
      Metric m = LongMetric(counters[i].name, kFirstCounterAlias + i, sparkplug::kInt64,
                            counters[i].value, birth);
      m.timestamp = static_cast<uint64_t>(now);
      metrics->push_back(std::move(m));
    }
  }
  auto log_metric = [&](const MqttLogLine* line) {
    Metric m;
    if (birth) m.name = kLog;
    m.alias = kLogAlias;
    m.datatype = sparkplug::kString;
    if (line == nullptr) {
      m.is_null = true;
      m.timestamp = static_cast<uint64_t>(now);  // the birth's: no line yet
    } else {
      m.kind = Metric::Kind::kString;
      m.text = line->text;
      m.timestamp = static_cast<uint64_t>(line->ts_ms);
    }
    metrics->push_back(std::move(m));
  };
  if (birth) {
    log_metric(last_log_ ? &*last_log_ : nullptr);
  } else {
    for (const auto& line : logs) log_metric(&line);
  }
}

MqttMessage SparkplugNode::Message(const char* type, const std::string& station, Payload payload) {
  payload.seq = static_cast<uint64_t>(seq_);
  seq_ = (seq_ + 1) % 256;
  return MqttMessage{Topic(type, station), sparkplug::Encode(payload), kBirthQos, false};
}

MqttMessage SparkplugNode::DeviceBirth(size_t station, int64_t now) {
  std::vector<bool> bound;
  {
    std::lock_guard lock(mutex_);
    bound = bound_;
  }
  Payload p;
  p.timestamp = static_cast<uint64_t>(now);
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (tags_[i].station != station || !bound[i]) continue;
    p.metrics.push_back(TagMetric(i, true));
    sent_quality_[i] = *p.metrics.back().quality;
  }
  p.metrics.push_back(ResultMetric(station, true, now));
  alive_[station] = true;
  return Message("DBIRTH", stations_[station], std::move(p));
}

void SparkplugNode::Births(int64_t now, std::vector<MqttMessage>* out) {
  uint64_t bdseq = 0;
  {
    std::lock_guard lock(mutex_);
    bdseq = static_cast<uint64_t>(session_bdseq_);
  }
  Payload p;
  p.timestamp = static_cast<uint64_t>(now);
  Metric bd = LongMetric(kBdSeq, 0, sparkplug::kInt64, static_cast<int64_t>(bdseq), true);
  bd.alias.reset();
  bd.timestamp = static_cast<uint64_t>(now);
  p.metrics.push_back(std::move(bd));
  Metric rebirth;
  rebirth.name = kRebirth;
  rebirth.datatype = sparkplug::kBoolean;
  rebirth.kind = Metric::Kind::kBool;
  rebirth.timestamp = static_cast<uint64_t>(now);
  p.metrics.push_back(std::move(rebirth));
  NodeMetrics(true, {}, now, &p.metrics);
  counters_ = SumCounters();
  seq_ = 0;  // every NBIRTH starts the sequence again
  {
    std::lock_guard lock(mutex_);
    own_births_.insert(*p.timestamp);  // before it can come back to us
    born_once_ = true;
  }
  out->push_back(Message("NBIRTH", "", std::move(p)));
  born_ = true;
  for (size_t s = 0; s < stations_.size(); ++s) {
    alive_[s] = false;
    if (reports_[s] && reports_[s]->good()) out->push_back(DeviceBirth(s, now));
  }
}

std::vector<MqttMessage> SparkplugNode::Publish(MqttBatch batch) {
  const int64_t now = NowMs();
  std::vector<size_t> reported;
  for (auto& [i, report] : batch.stations) {
    if (i >= stations_.size()) continue;
    reports_[i] = report;
    reported.push_back(i);
  }
  for (const auto& line : batch.logs) last_log_ = line;

  // The births wait for the bound tags, the session (with the primary
  // host's STATE online when one is awaited) and every station's state.
  bool ready = true;
  for (const auto& r : reports_) ready = ready && r.has_value();
  {
    std::lock_guard lock(mutex_);
    ready = ready && active_ && connected_ && (state_topic_.empty() || host_online_);
  }
  std::vector<MqttMessage> out;
  if (!ready || batch.republish || !born_) {
    // The births carry each metric's newest value; every change before it
    // follows them as history, so the host's historian misses none.
    for (auto& v : batch.values) {
      if (v.tag_index >= tags_.size()) continue;
      KeepPast(v.tag_index, v.value, v.ts_ms);
      values_[v.tag_index] = Held{std::move(v.value), v.ts_ms, true};
    }
    // Kept for the births, which carry each device's last result.
    std::vector<Payload> unborn(stations_.size());
    PublishResults(batch.results, now, &unborn);
    if (!ready) {
      born_ = false;  // the births go out once ready (the bridge is asked to republish)
    } else {
      Births(now, &out);
      PublishPast(now, &out);
    }
    return out;
  }

  // Stations that stopped answering die first; the others get their new
  // values; those that answer again are born with every value they hold.
  std::vector<size_t> reborn;
  for (size_t s : reported) {
    const bool ok = reports_[s]->good();
    if (alive_[s] && !ok) {
      Payload p;
      p.timestamp = static_cast<uint64_t>(now);
      out.push_back(Message("DDEATH", stations_[s], std::move(p)));
      alive_[s] = false;
    } else if (!alive_[s] && ok) {
      reborn.push_back(s);
    }
  }
  // Changes kept while the broker was away (replayed from the disk, or
  // behind them) are history; they go before the live ones.
  bool any_past = false;
  for (const auto& v : batch.values) {
    if (v.tag_index < tags_.size() && v.buffered) {
      KeepPast(v.tag_index, v.value, v.ts_ms);
      any_past = true;
    }
  }
  if (any_past) PublishPast(now, &out);
  // Every change a metric of its own, in order, with its own time stamp.
  std::vector<Payload> data(stations_.size());
  for (auto& v : batch.values) {
    if (v.tag_index >= tags_.size()) continue;
    if (v.buffered) {
      values_[v.tag_index] = Held{std::move(v.value), v.ts_ms, true};
      continue;
    }
    values_[v.tag_index] = Held{std::move(v.value), v.ts_ms, true};
    const size_t s = tags_[v.tag_index].station;
    if (s < stations_.size() && alive_[s]) data[s].metrics.push_back(TagMetric(v.tag_index, false));
  }
  AddQualities(now, &data);
  PublishResults(batch.results, now, &data);
  for (size_t s = 0; s < stations_.size(); ++s) {
    if (data[s].metrics.empty()) continue;
    data[s].timestamp = static_cast<uint64_t>(now);
    out.push_back(Message("DDATA", stations_[s], std::move(data[s])));
  }
  for (size_t s : reborn) out.push_back(DeviceBirth(s, now));
  if (!reborn.empty() && !past_.empty()) PublishPast(now, &out);  // their history, after the birth

  Payload node;
  NodeMetrics(false, batch.logs, now, &node.metrics);
  if (!node.metrics.empty()) {
    counters_ = SumCounters();
    node.timestamp = static_cast<uint64_t>(now);
    out.push_back(Message("NDATA", "", std::move(node)));
  }
  return out;
}

}  // namespace dravik::host
