#include "tools/host/mqtt_bridge.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/file_io.h"
#include "tools/host/mqtt_scheme.h"

namespace dravik::host {
namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 10;
// Back-off between connection attempts: 1, 2, 4, ... seconds, at most 30.
constexpr unsigned kReconnectFirstSeconds = 1;
constexpr unsigned kReconnectMaxSeconds = 30;
// Log records waiting for the publisher; beyond this the newest are dropped
// and counted (a record of the count follows once there is room).
constexpr size_t kMaxPendingLogs = 1000;
// Writes from the broker waiting for the main thread; beyond this a write is
// refused with an error record, never queued late.
constexpr size_t kMaxPendingWrites = 64;
constexpr size_t kMaxPasswordBytes = 4096;
constexpr auto kStopWait = std::chrono::seconds(2);
constexpr auto kUnreachableWarning = std::chrono::seconds(5);
// Flags of the bridge's own records on the log topic: a per-tag problem, with
// bit 8 clear so they are not taken for the driver's messages.
constexpr int kBridgeErrorFlags = 1;

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 65535) return false;
  *port = v;
  return true;
}

std::string TrimLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool ParseBrokerUrl(const std::string& url, BrokerAddress* address, std::string* error) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    address->tls = false;
    address->port = 1883;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    address->tls = true;
    address->port = 8883;
    rest = url.substr(8);
  } else {
    *error = "broker URL \"" + url + "\" must start with mqtt:// or mqtts://";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string host = rest;
  if (!rest.empty() && rest.front() == '[') {  // [IPv6]:port
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      *error = "broker URL \"" + url + "\": unclosed [ in the host";
      return false;
    }
    host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && (after[0] != ':' || !ParsePort(after.substr(1), &address->port))) {
      *error = "broker URL \"" + url + "\": bad port \"" + after + "\"";
      return false;
    }
  } else if (const size_t colon = rest.rfind(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    if (!ParsePort(rest.substr(colon + 1), &address->port)) {
      *error = "broker URL \"" + url + "\": port \"" + rest.substr(colon + 1) +
               "\" is not a number 1..65535";
      return false;
    }
  }
  if (host.empty() || host.find_first_of("/@?# ") != std::string::npos) {
    *error = "broker URL \"" + url + "\" needs a host name (mqtt://host[:port])";
    return false;
  }
  address->host = host;
  return true;
}

std::string DefaultPrefix(const std::string& project_path) {
  std::string name = project_path;
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
  return "draviknet/" + name;
}

std::string TopicLevelProblem(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name.find('\0') != std::string::npos) return "it holds a NUL byte";
  if (name.find('/') != std::string::npos) return "it holds '/'";
  if (name.find('+') != std::string::npos) return "it holds '+'";
  if (name.find('#') != std::string::npos) return "it holds '#'";
  if (mosquitto_validate_utf8(name.data(), static_cast<int>(name.size())) != MOSQ_ERR_SUCCESS) {
    return "it is not valid UTF-8";
  }
  return "";
}

std::vector<std::string> CheckTopicNames(const std::string& prefix,
                                         const std::vector<std::string>& tags,
                                         const std::vector<std::string>& stations) {
  std::vector<std::string> problems;
  if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
      prefix.find("//") != std::string::npos ||
      prefix.find_first_of(std::string("+#\0", 3)) != std::string::npos ||
      mosquitto_pub_topic_check(prefix.c_str()) != MOSQ_ERR_SUCCESS) {
    problems.push_back("the topic prefix \"" + prefix +
                       "\" is not a topic (levels joined by '/', none empty, no '+' or '#'); "
                       "give another with --mqtt-prefix");
  }
  for (const auto& tag : tags) {
    const std::string why = TopicLevelProblem(tag);
    if (!why.empty()) {
      problems.push_back("tag \"" + tag + "\" cannot be an MQTT topic level: " + why);
    }
  }
  for (const auto& station : stations) {
    const std::string why = TopicLevelProblem(station);
    if (!why.empty()) {
      problems.push_back("station \"" + station + "\" cannot be an MQTT topic level: " + why);
    }
  }
  return problems;
}

std::string ValuePayload(const TagValue& value, int64_t ts_ms, bool plain) {
  if (plain) {
    switch (value.kind) {
      case TagValue::Kind::kNone:
        return "null";
      case TagValue::Kind::kNumber:
        return FormatNumber(value.number);
      case TagValue::Kind::kText:
        return value.text;
    }
  }
  Json record;
  switch (value.kind) {
    case TagValue::Kind::kNone:
      record["value"] = nullptr;
      break;
    case TagValue::Kind::kNumber:
      record["value"] = NumberJson(value.number);
      break;
    case TagValue::Kind::kText:
      record["value"] = value.text;
      break;
  }
  record["ts"] = ts_ms;
  return Dump(record);
}

std::string StatePayload(const StationReport& report) {
  return Dump(Json{{"state", report.state},
                   {"reads_sent", report.reads_sent},
                   {"reads_failed", report.reads_failed},
                   {"writes_sent", report.writes_sent},
                   {"writes_failed", report.writes_failed}});
}

std::string LogPayload(int flags, const std::string& text, int64_t ts_ms, const std::string& tag) {
  Json record{{"flags", flags}, {"text", text}, {"ts", ts_ms}};
  if (!tag.empty()) record["tag"] = tag;
  return Dump(record);
}

bool ParseSetPayload(const std::string& payload, std::string* value_text, std::string* error) {
  if (payload.empty()) {
    *error = "the payload is empty";
    return false;
  }
  if (payload.find('\0') != std::string::npos) {
    *error = "the payload holds a NUL byte";
    return false;
  }
  const Json json = Json::parse(payload, nullptr, false);
  if (json.is_discarded()) {  // not JSON: bare text, taken as it is
    *value_text = payload;
    return true;
  }
  const Json* value = &json;
  if (json.is_object()) {
    if (json.size() != 1 || !json.contains("value")) {
      *error = "a JSON payload must be {\"value\": ...} and nothing else";
      return false;
    }
    value = &json["value"];
  }
  if (value->is_number()) {
    *value_text = value->dump();
  } else if (value->is_string()) {
    *value_text = value->get<std::string>();
  } else {
    *error = "the value must be a number or a string";
    return false;
  }
  if (value_text->empty()) {
    *error = "the value is empty";
    return false;
  }
  return true;
}

MqttBridge::MqttBridge(MqttOptions options, std::vector<std::string> tags,
                       std::vector<bool> writable, std::vector<std::string> stations, Output* out,
                       std::function<void()> wake_main)
    : options_(std::move(options)),
      tags_(std::move(tags)),
      writable_(std::move(writable)),
      stations_(std::move(stations)),
      out_(out),
      wake_main_(std::move(wake_main)),
      pending_values_(tags_.size()),
      pending_stations_(stations_.size()),
      last_values_(tags_.size()),
      last_stations_(stations_.size()) {}

MqttBridge::~MqttBridge() {
  Stop();
  if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

const char* MqttBridge::StateText(State state) {
  switch (state) {
    case State::kConnecting:
      return "connecting";
    case State::kConnected:
      return "connected";
    case State::kDown:
      return "down";
  }
  return "down";
}

bool MqttBridge::Start(std::string* error) {
  BrokerAddress address;
  if (!ParseBrokerUrl(options_.url, &address, error)) return false;
  display_url_ = options_.url;
  if (!address.tls && (!options_.cafile.empty() || !options_.certfile.empty())) {
    *error = "--mqtt-cafile and --mqtt-cert need an mqtts:// broker URL";
    return false;
  }
  if (options_.certfile.empty() != options_.keyfile.empty()) {
    *error = "--mqtt-cert and --mqtt-key go together";
    return false;
  }
  std::string password;
  bool have_password = false;
  if (!options_.password_file.empty()) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(options_.password_file, kMaxPasswordBytes, &bytes, error)) {
      *error = "cannot read the MQTT password file: " + *error;
      return false;
    }
    password = TrimLineEnd(std::string(bytes.begin(), bytes.end()));
    if (password.empty()) {
      *error = "the MQTT password file " + options_.password_file + " is empty";
      return false;
    }
    have_password = true;
  } else if (const char* env = std::getenv("DRAVIKNET_MQTT_PASSWORD"); env != nullptr) {
    password = env;
    have_password = true;
  }
  if (have_password && options_.user.empty()) {
    *error = "an MQTT password needs a user name (--mqtt-user)";
    return false;
  }

  static std::once_flag init_once;
  std::call_once(init_once, [] { mosquitto_lib_init(); });
  mosq_ = mosquitto_new(nullptr, true, this);
  if (mosq_ == nullptr) {
    *error = "cannot create an MQTT client";
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (scheme_ != nullptr) {
    SetSchemeWill();
  } else {
    const std::string status_topic = options_.prefix + "/status";
    mosquitto_will_set(mosq_, status_topic.c_str(), 7, "offline", kQos, true);
  }
  if (!options_.user.empty()) {
    mosquitto_username_pw_set(mosq_, options_.user.c_str(),
                              have_password ? password.c_str() : nullptr);
  }
  if (address.tls) {
    const char* cafile = options_.cafile.empty() ? nullptr : options_.cafile.c_str();
    if (cafile == nullptr) mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    const int rc = mosquitto_tls_set(
        mosq_, cafile, nullptr, options_.certfile.empty() ? nullptr : options_.certfile.c_str(),
        options_.keyfile.empty() ? nullptr : options_.keyfile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS && cafile != nullptr) {
      *error = std::string("TLS settings refused: ") + mosquitto_strerror(rc) +
               " (check --mqtt-cafile, --mqtt-cert, --mqtt-key)";
      return false;
    }
  }
  mosquitto_connect_callback_set(mosq_, &MqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttBridge::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttBridge::OnPublish);
  mosquitto_message_callback_set(mosq_, &MqttBridge::OnMessage);
  mosquitto_reconnect_delay_set(mosq_, kReconnectFirstSeconds, kReconnectMaxSeconds, true);

  publisher_ = std::thread(&MqttBridge::PublisherLoop, this);
  int rc = mosquitto_loop_start(mosq_);
  if (rc == MOSQ_ERR_SUCCESS) {
    rc = mosquitto_connect_async(mosq_, address.host.c_str(), address.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
      // The network thread keeps trying with the back-off.
      state_ = State::kDown;
      out_->Emit("mqtt: cannot connect to " + display_url_ + ": " +
                     (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
                     "; retrying",
                 Json{{"kind", "mqtt"}, {"state", "down"}, {"text", mosquitto_strerror(rc)}});
    }
  } else {
    *error = std::string("cannot start the MQTT client: ") + mosquitto_strerror(rc);
    return false;
  }
  return true;
}

void MqttBridge::Stop() {
  if (mosq_ == nullptr) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  wake_.notify_all();
  if (publisher_.joinable()) publisher_.join();
  if (connected_) {
    int mid = 0;
    const MqttMessage last = scheme_ != nullptr
                                 ? scheme_->Final()
                                 : MqttMessage{options_.prefix + "/status", "offline", kQos, true};
    if (mosquitto_publish(mosq_, &mid, last.topic.c_str(), static_cast<int>(last.payload.size()),
                          last.payload.data(), last.qos, last.retain) == MOSQ_ERR_SUCCESS) {
      offline_mid_ = mid;
      const auto deadline = std::chrono::steady_clock::now() + kStopWait;
      while (!offline_acked_ && connected_ && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  connected_ = false;
  state_ = State::kDown;
}

void MqttBridge::OfferValue(size_t tag_index, TagValue value, int64_t ts_ms) {
  if (tag_index >= tags_.size()) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    auto& slot = pending_values_[tag_index];
    if (slot.has_value()) {
      ++coalesced_;  // the newer value replaces one not yet published
    } else {
      dirty_tags_.push_back(tag_index);
    }
    slot = PendingValue{std::move(value), ts_ms};
  }
  wake_.notify_one();
}

void MqttBridge::OfferLog(int flags, const std::string& text, int64_t ts_ms,
                          const std::string& tag) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (pending_logs_.size() >= kMaxPendingLogs) {
      ++dropped_logs_;
      return;
    }
    pending_logs_.push_back(LogRecord{flags, text, ts_ms, tag});
  }
  wake_.notify_one();
}

void MqttBridge::OfferStation(size_t station_index, const StationReport& report) {
  if (station_index >= stations_.size()) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    auto& slot = pending_stations_[station_index];
    if (!slot.has_value()) dirty_stations_.push_back(station_index);
    slot = report;
  }
  wake_.notify_one();
}

void MqttBridge::ReportWriteError(const std::string& tag, const std::string& reason) {
  const std::string text = "write to tag " + tag + " refused: " + reason;
  out_->Emit("mqtt: " + text, Json{{"kind", "mqtt_error"}, {"tag", tag}, {"text", text}});
  OfferLog(kBridgeErrorFlags, text, NowMs(), tag);
}

std::vector<MqttWrite> MqttBridge::TakeWrites() {
  std::lock_guard lock(mutex_);
  std::vector<MqttWrite> out(std::make_move_iterator(writes_.begin()),
                             std::make_move_iterator(writes_.end()));
  writes_.clear();
  return out;
}

long MqttBridge::coalesced_values() const {
  std::lock_guard lock(mutex_);
  return coalesced_;
}

long MqttBridge::dropped_logs() const {
  std::lock_guard lock(mutex_);
  return dropped_logs_;
}

void MqttBridge::OnConnect(mosquitto* mosq, void* self, int rc) {
  auto* bridge = static_cast<MqttBridge*>(self);
  if (rc != 0) {
    bridge->state_ = State::kDown;
    // Said once until a connection succeeds; the retries go on quietly.
    if (!bridge->refusal_reported_.exchange(true)) {
      std::string why = mosquitto_connack_string(rc);
      if (!why.empty() && why.back() == '.') why.pop_back();
      bridge->out_->Emit("mqtt: the broker at " + bridge->display_url_ +
                             " refused the connection: " + why + "; retrying",
                         Json{{"kind", "mqtt"}, {"state", "down"}, {"text", why}});
    }
    return;
  }
  bridge->refusal_reported_ = false;
  if (bridge->scheme_ != nullptr) {
    for (const auto& sub : bridge->scheme_->OnConnected()) {
      mosquitto_subscribe(mosq, nullptr, sub.c_str(), kQos);
    }
  } else if (bridge->options_.writes) {
    const std::string sub = bridge->options_.prefix + "/tag/+/set";
    mosquitto_subscribe(mosq, nullptr, sub.c_str(), kQos);
  }
  bridge->connected_ = true;
  bridge->state_ = State::kConnected;
  bridge->out_->Emit(
      "mqtt: connected to " + bridge->display_url_ + ", prefix " + bridge->options_.prefix,
      Json{{"kind", "mqtt"}, {"state", "connected"}});
  {
    std::lock_guard lock(bridge->mutex_);
    bridge->republish_ = true;
  }
  bridge->wake_.notify_one();
}

void MqttBridge::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* bridge = static_cast<MqttBridge*>(self);
  const bool was_connected = bridge->connected_.exchange(false);
  bridge->state_ = State::kDown;
  if (bridge->scheme_ != nullptr) {
    bridge->scheme_->OnDisconnected();
    bridge->SetSchemeWill();  // the will of the next CONNECT
  }
  bool stopping = false;
  {
    std::lock_guard lock(bridge->mutex_);
    stopping = bridge->stopping_;
  }
  if (was_connected && !stopping && rc != 0) {
    bridge->out_->Emit("mqtt: connection to " + bridge->display_url_ + " lost; reconnecting",
                       Json{{"kind", "mqtt"}, {"state", "down"}, {"text", mosquitto_strerror(rc)}});
  }
}

void MqttBridge::OnPublish(mosquitto*, void* self, int mid) {
  auto* bridge = static_cast<MqttBridge*>(self);
  if (mid == bridge->offline_mid_) bridge->offline_acked_ = true;
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* bridge = static_cast<MqttBridge*>(self);
  if (message == nullptr || message->topic == nullptr) return;
  const std::string payload(
      static_cast<const char*>(message->payload),
      message->payload != nullptr ? static_cast<size_t>(message->payloadlen) : 0u);
  if (bridge->scheme_ != nullptr) {
    bridge->HandleScheme(message->topic, payload, message->retain);
    return;
  }
  bridge->HandleSet(message->topic, payload);
}

void MqttBridge::HandleSet(const std::string& topic, const std::string& payload) {
  const std::string head = options_.prefix + "/tag/";
  const std::string tail = "/set";
  if (!options_.writes || topic.size() <= head.size() + tail.size() || topic.rfind(head, 0) != 0 ||
      topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
    return;
  }
  const std::string tag = topic.substr(head.size(), topic.size() - head.size() - tail.size());
  size_t index = tags_.size();
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (tags_[i] == tag) index = i;
  }
  if (index == tags_.size()) {
    ReportWriteError(tag, "no tag of that name in the tag list");
    return;
  }
  if (!writable_[index]) {
    ReportWriteError(tag, "the tag is read-only (access r in the tag list)");
    return;
  }
  std::string value_text, why;
  if (!ParseSetPayload(payload, &value_text, &why)) {
    ReportWriteError(tag, why);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (writes_.size() >= kMaxPendingWrites) {
      why = "too many writes waiting (" + std::to_string(kMaxPendingWrites) + ")";
    } else {
      writes_.push_back(MqttWrite{tag, value_text});
    }
  }
  if (!why.empty()) {
    ReportWriteError(tag, why);
    return;
  }
  if (wake_main_) wake_main_();
}

void MqttBridge::PublisherLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, kUnreachableWarning, [this] {
      return stopping_ || republish_ || !dirty_tags_.empty() || !dirty_stations_.empty() ||
             !pending_logs_.empty();
    });
    const bool republish = std::exchange(republish_, false);
    std::vector<std::pair<size_t, PendingValue>> values;
    values.reserve(dirty_tags_.size());
    for (size_t i : dirty_tags_) {
      values.emplace_back(i, std::move(*pending_values_[i]));
      pending_values_[i].reset();
    }
    dirty_tags_.clear();
    std::vector<std::pair<size_t, StationReport>> stations;
    for (size_t i : dirty_stations_) {
      stations.emplace_back(i, std::move(*pending_stations_[i]));
      pending_stations_[i].reset();
    }
    dirty_stations_.clear();
    std::deque<LogRecord> logs;
    logs.swap(pending_logs_);
    const long dropped = std::exchange(dropped_logs_, 0);
    const bool stop = stopping_;
    lock.unlock();
    WarnIfUnreachable();
    if (scheme_ != nullptr) {
      MqttBatch batch;
      batch.republish = republish;
      for (auto& [i, v] : values) batch.values.push_back({i, std::move(v.value), v.ts_ms});
      batch.stations = std::move(stations);
      for (auto& r : logs) batch.logs.push_back({r.flags, std::move(r.text), r.ts_ms, r.tag});
      PublishScheme(std::move(batch));
      lock.lock();
      if (stop) break;
      continue;
    }

    for (auto& [i, v] : values) {
      if (!republish) PublishValue(i, v);
      last_values_[i] = std::move(v);
    }
    for (auto& [i, s] : stations) {
      if (!republish) PublishStation(i, s);
      last_stations_[i] = std::move(s);
    }
    if (republish) RepublishAll();
    for (auto& r : logs) {
      if (connected_) {
        Publish(options_.prefix + "/log", LogPayload(r.flags, r.text, r.ts_ms, r.tag), false);
      } else {
        // Kept for the next connection, the oldest giving way.
        if (log_backlog_.size() >= kMaxPendingLogs) {
          log_backlog_.pop_front();
          ++backlog_dropped_;
        }
        log_backlog_.push_back(std::move(r));
      }
    }
    if (dropped > 0) {
      Publish(options_.prefix + "/log",
              LogPayload(kBridgeErrorFlags,
                         std::to_string(dropped) + " log records dropped: the broker was too slow",
                         NowMs(), ""),
              false);
    }

    lock.lock();
    if (stop) break;
  }
}

void MqttBridge::WarnIfUnreachable() {
  // libmosquitto retries in silence; say once per outage that the broker
  // can't be reached, so a wrong address or a stopped broker is seen.
  const auto now = std::chrono::steady_clock::now();
  if (connected_) {
    down_since_.reset();
    warned_ = false;
    return;
  }
  if (!down_since_) down_since_ = now;
  if (warned_ || refusal_reported_ || now - *down_since_ < kUnreachableWarning) return;
  warned_ = true;
  out_->Emit("mqtt: cannot reach the broker at " + display_url_ +
                 "; retrying (every 1 to 30 s), values are kept",
             Json{{"kind", "mqtt"}, {"state", StateText(state_)}, {"text", "unreachable"}});
}

void MqttBridge::RepublishAll() {
  Publish(options_.prefix + "/status", "online", true);
  for (size_t i = 0; i < last_values_.size(); ++i) {
    if (last_values_[i].has_value()) PublishValue(i, *last_values_[i]);
  }
  for (size_t i = 0; i < last_stations_.size(); ++i) {
    if (last_stations_[i].has_value()) PublishStation(i, *last_stations_[i]);
  }
  if (backlog_dropped_ > 0) {
    Publish(options_.prefix + "/log",
            LogPayload(kBridgeErrorFlags,
                       std::to_string(backlog_dropped_) +
                           " older log records dropped while the broker was away",
                       NowMs(), ""),
            false);
    backlog_dropped_ = 0;
  }
  for (const auto& r : log_backlog_) {
    Publish(options_.prefix + "/log", LogPayload(r.flags, r.text, r.ts_ms, r.tag), false);
  }
  log_backlog_.clear();
}

void MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain) {
  // While the connection is down nothing is handed to libmosquitto, which
  // would otherwise queue every message; the last values wait in
  // last_values_ and go out with the republish after the reconnect.
  if (!connected_) return;
  mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                    kQos, retain);
}

void MqttBridge::PublishValue(size_t tag_index, const PendingValue& value) {
  Publish(options_.prefix + "/tag/" + tags_[tag_index],
          ValuePayload(value.value, value.ts_ms, options_.plain_payload), true);
}

void MqttBridge::PublishStation(size_t station_index, const StationReport& report) {
  Publish(options_.prefix + "/station/" + stations_[station_index] + "/state", StatePayload(report),
          true);
}

void MqttBridge::Republish() {
  {
    std::lock_guard lock(mutex_);
    republish_ = true;
  }
  wake_.notify_one();
}

void MqttBridge::SetSchemeWill() {
  const MqttMessage will = scheme_->Will();
  mosquitto_will_set(mosq_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                     will.payload.data(), will.qos, will.retain);
}

void MqttBridge::PublishScheme(MqttBatch batch) {
  for (const MqttMessage& m : scheme_->Publish(std::move(batch))) {
    if (!connected_) break;  // the scheme publishes its view again after the reconnect
    mosquitto_publish(mosq_, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                      m.payload.data(), m.qos, m.retain);
  }
}

void MqttBridge::HandleScheme(const std::string& topic, const std::string& payload, bool retained) {
  MqttInbound in = scheme_->OnMessage(topic, payload, retained);
  for (const auto& r : in.refusals) ReportWriteError(r.tag, r.reason);
  bool queued = false;
  for (auto& w : in.writes) {
    bool full = false;
    {
      std::lock_guard lock(mutex_);
      full = writes_.size() >= kMaxPendingWrites;
      if (!full) writes_.push_back(std::move(w));
    }
    if (full) {
      ReportWriteError(w.tag,
                       "too many writes waiting (" + std::to_string(kMaxPendingWrites) + ")");
    } else {
      queued = true;
    }
  }
  if (queued && wake_main_) wake_main_();
  if (in.republish) Republish();
}

}  // namespace dravik::host
