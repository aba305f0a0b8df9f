#include "tools/host/mqtt_bridge.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/file_io.h"
#include "tools/host/mqtt_scheme.h"

namespace dravik::host {
namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 10;
// Back-off between connection attempts: from 1 s, growing to
// --mqtt-reconnect-max-seconds (4 by default), so a broker that comes back is
// found again within that time.
constexpr unsigned kReconnectFirstSeconds = 1;
// The check subscribes at QoS 0, so the broker sends the retained messages
// right behind its SUBACK, in order and without an in-flight window; a second
// SUBSCRIBE's SUBACK then comes after all of them. A short margin beyond it
// covers a broker that queues differently.
constexpr auto kRetainedSettle = std::chrono::milliseconds(50);
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

std::string DefaultClientId() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') std::strncpy(host, "host", 5);
  std::string name = host;
  for (char& c : name) {
    if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20) c = '_';
  }
  return "draviknet-" + name + "-" + std::to_string(::getpid());
}

std::string UrlSecretProblem(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", start);
  const std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  if (authority.find('@') == std::string::npos) return "";
  return "the broker URL holds a user name or password before '@'; it is not shown, and a "
         "password is never taken from the command line (other users can read it there): give "
         "mqtt://host[:port] with --mqtt-user NAME and --mqtt-password-file FILE or "
         "DRAVIKNET_MQTT_PASSWORD";
}

std::string TopicLevelProblem(const std::string& name) {
  if (name.empty()) return "it is empty";
  if (name.find('\0') != std::string::npos) return "it holds a NUL byte";
  if (name.find('/') != std::string::npos) return "it holds '/'";
  if (name.find('+') != std::string::npos) return "it holds '+'";
  if (name.find('#') != std::string::npos) return "it holds '#'";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char text[64];
      std::snprintf(text, sizeof text, "it holds a control character (0x%02X%s)", u,
                    u == '\t' ? ", a tab" : "");
      return text;
    }
  }
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

std::string ValuePayload(const TagValue& value, int64_t ts_ms, bool plain,
                         const std::string& station, bool good) {
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
  record["ts"] = ts_ms == 0 ? Json(nullptr) : Json(ts_ms);
  record["station"] = station;
  record["quality"] = good ? "good" : "stale";
  return Dump(record);
}

std::string StatePayload(const StationReport& report) {
  return Dump(Json{{"state", report.state},
                   {"port", report.port},
                   {"reads_sent", report.reads_sent},
                   {"reads_failed", report.reads_failed},
                   {"writes_sent", report.writes_sent},
                   {"writes_failed", report.writes_failed},
                   {"writes_refused", report.writes_refused}});
}

std::string ResultPayload(bool ok, const Json& value, const std::string& reason, int64_t ts_ms,
                          const Json& id) {
  Json record{{"ok", ok}, {"value", value}, {"reason", reason}, {"ts", ts_ms}};
  if (!id.is_null()) record["id"] = id;
  return Dump(record);
}

std::string LogPayload(int flags, const std::string& text, int64_t ts_ms, const std::string& tag) {
  Json record{{"flags", flags}, {"text", text}, {"ts", ts_ms}};
  if (!tag.empty()) record["tag"] = tag;
  return Dump(record);
}

bool ParseSetPayload(const std::string& payload, std::string* value_text, std::string* error,
                     Json* id, Json* value_out) {
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
    if (value_out != nullptr) *value_out = payload;
    return true;
  }
  const Json* value = &json;
  if (json.is_object()) {
    const bool has_id = json.contains("id");
    if (json.size() != (has_id ? 2u : 1u) || !json.contains("value")) {
      *error = "a JSON payload must be {\"value\": ...} with at most an \"id\" beside it";
      return false;
    }
    if (has_id) {
      const Json& given = json["id"];
      if (!given.is_string() && !given.is_number()) {
        *error = "the \"id\" must be a string or a number";
        return false;
      }
      if (id != nullptr) *id = given;
    }
    value = &json["value"];
  }
  if (value_out != nullptr) *value_out = *value;
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
                       std::vector<bool> writable, std::vector<int> tag_stations,
                       std::vector<std::string> stations, Output* out,
                       std::function<void()> wake_main)
    : options_(std::move(options)),
      tags_(std::move(tags)),
      writable_(std::move(writable)),
      tag_stations_(std::move(tag_stations)),
      stations_(std::move(stations)),
      out_(out),
      wake_main_(std::move(wake_main)),
      pending_values_(tags_.size()),
      pending_stations_(stations_.size()),
      last_values_(tags_.size()),
      last_stations_(stations_.size()),
      published_good_(tags_.size()) {}

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
  if (const std::string secret = UrlSecretProblem(options_.url); !secret.empty()) {
    *error = secret;
    return false;
  }
  if (!ParseBrokerUrl(options_.url, &address, error)) return false;
  client_id_ = options_.client_id.empty() ? DefaultClientId() : options_.client_id;
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
  mosq_ = mosquitto_new(client_id_.c_str(), true, this);
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
    // Without --mqtt-cafile the broker is checked against the system's
    // certificates, with the client certificate too; a setting libmosquitto
    // refuses stops the start rather than connecting with less.
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = std::string("TLS settings refused: ") + mosquitto_strerror(rc) +
               (cafile == nullptr ? " (no --mqtt-cafile: the system's certificates were used; "
                                    "check --mqtt-cert, --mqtt-key)"
                                  : " (check --mqtt-cafile, --mqtt-cert, --mqtt-key)");
      return false;
    }
  }
  mosquitto_connect_callback_set(mosq_, &MqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttBridge::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttBridge::OnPublish);
  mosquitto_message_callback_set(mosq_, &MqttBridge::OnMessage);
  mosquitto_subscribe_callback_set(mosq_, &MqttBridge::OnSubscribe);
  mosquitto_reconnect_delay_set(mosq_, kReconnectFirstSeconds,
                                static_cast<unsigned>(options_.reconnect_max_seconds), true);

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

bool MqttBridge::WaitUntilChecked(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  while (phase_ != Phase::kOnline && phase_ != Phase::kRefused &&
         std::chrono::steady_clock::now() < deadline) {
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lock.lock();
  }
  return phase_ != Phase::kRefused;
}

std::string MqttBridge::Refusal() const {
  std::lock_guard lock(mutex_);
  return refusal_;
}

void MqttBridge::Stop() {
  if (mosq_ == nullptr) return;
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    refused = phase_ == Phase::kRefused;
  }
  wake_.notify_all();
  if (publisher_.joinable()) publisher_.join();
  // A refused gateway leaves the other gateway's status as it is; its clean
  // disconnect sends no will either.
  if (connected_ && !refused) {
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
  OfferEvent(Event{"log", LogPayload(flags, text, ts_ms, tag)});
}

void MqttBridge::OfferEvent(Event event) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (pending_logs_.size() >= kMaxPendingLogs) {
      ++dropped_logs_;
      return;
    }
    pending_logs_.push_back(std::move(event));
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

void MqttBridge::ReportWriteError(const std::string& tag, const std::string& reason,
                                  const Json& value, const Json& id) {
  const std::string text = "write to tag " + tag + " refused: " + reason;
  out_->Emit("mqtt: " + text, Json{{"kind", "mqtt_error"}, {"tag", tag}, {"text", text}});
  OfferLog(kBridgeErrorFlags, text, NowMs(), tag);
  OfferWriteResult(tag, false, value, reason, id);
}

void MqttBridge::OfferWriteResult(const std::string& tag, bool ok, const Json& value,
                                  const std::string& reason, const Json& id) {
  OfferEvent(Event{"tag/" + tag + "/set/result", ResultPayload(ok, value, reason, NowMs(), id)});
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
    // A scheme's state is not retained, so there is no prefix to check: its
    // own topics, and the session is online.
    for (const auto& sub : bridge->scheme_->OnConnected()) {
      mosquitto_subscribe(mosq, nullptr, sub.c_str(), kQos);
    }
    {
      std::lock_guard lock(bridge->mutex_);
      bridge->phase_ = Phase::kOnline;
      bridge->republish_ = true;
    }
    bridge->connected_ = true;
    bridge->state_ = State::kConnected;
    bridge->out_->Emit(
        "mqtt: connected to " + bridge->display_url_ + " as a Sparkplug B edge node",
        Json{{"kind", "mqtt"}, {"state", "connected"}, {"client", bridge->client_id_}});
    bridge->wake_.notify_one();
    return;
  }
  const std::string& prefix = bridge->options_.prefix;
  const std::string status = prefix + "/status";
  const std::string client = prefix + "/status/client";
  const std::string tag_values = prefix + "/tag/+";
  const std::string tag_qualities = prefix + "/tag/+/quality";
  std::vector<const char*> topics = {status.c_str(), client.c_str()};
  std::lock_guard lock(bridge->mutex_);
  if (bridge->phase_ == Phase::kRefused) return;
  // What is retained is read before anything is published: another
  // gateway's status, and at the first connection, leftover tag topics.
  if (bridge->first_connection_) {
    topics.push_back(tag_values.c_str());
    topics.push_back(tag_qualities.c_str());
  }
  bridge->retained_status_.clear();
  bridge->retained_client_.clear();
  bridge->check_acked_.reset();
  bridge->phase_ = Phase::kChecking;
  bridge->connected_ = true;
  mosquitto_subscribe_multiple(mosq, nullptr, static_cast<int>(topics.size()),
                               const_cast<char* const*>(topics.data()), 0, 0, nullptr);
  int mid = -1;
  mosquitto_subscribe(mosq, &mid, client.c_str(), 0);  // its SUBACK follows the retained ones
  bridge->check_mid_ = mid;
}

void MqttBridge::OnSubscribe(mosquitto*, void* self, int mid, int, const int*) {
  auto* bridge = static_cast<MqttBridge*>(self);
  {
    std::lock_guard lock(bridge->mutex_);
    if (mid != bridge->check_mid_ || bridge->phase_ != Phase::kChecking) return;
    bridge->check_acked_ = std::chrono::steady_clock::now();
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
    if (bridge->phase_ != Phase::kRefused) bridge->phase_ = Phase::kDown;
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
  const std::string topic = message->topic;
  const std::string set_tail = "/set";
  if (topic.size() > set_tail.size() &&
      topic.compare(topic.size() - set_tail.size(), set_tail.size(), set_tail) == 0) {
    bridge->HandleSet(topic, payload, message->retain);
  } else {
    bridge->HandleStatus(topic, payload, message->retain);
  }
}

void MqttBridge::HandleStatus(const std::string& topic, const std::string& payload, bool retained) {
  const std::string& prefix = options_.prefix;
  bool taken_over = false;
  {
    std::lock_guard lock(mutex_);
    if (topic == prefix + "/status") {
      if (retained && phase_ == Phase::kChecking) retained_status_ = payload;
    } else if (topic == prefix + "/status/client") {
      if (retained && phase_ == Phase::kChecking) {
        retained_client_ = payload;
      } else if (!retained && phase_ == Phase::kOnline && payload != client_id_) {
        taken_over = true;  // another gateway started with --mqtt-takeover
        retained_client_ = payload;
      }
    } else if (retained && phase_ == Phase::kChecking && first_connection_ &&
               topic.rfind(prefix + "/tag/", 0) == 0 && !payload.empty()) {
      std::string tag = topic.substr(prefix.size() + 5);
      const std::string quality = "/quality";
      if (tag.size() > quality.size() &&
          tag.compare(tag.size() - quality.size(), quality.size(), quality) == 0) {
        tag.resize(tag.size() - quality.size());
      }
      bool known = false;
      for (const auto& t : tags_) known = known || t == tag;
      if (!known) leftover_topics_.push_back(topic);
    }
  }
  if (taken_over) {
    Refuse("another gateway (MQTT client " + payload + ") took over the topic prefix " + prefix +
           " (--mqtt-takeover); this one stops");
  }
}

void MqttBridge::Refuse(const std::string& why) {
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::kRefused) return;
    phase_ = Phase::kRefused;
    refusal_ = why;
  }
  wake_.notify_one();
  if (wake_main_) wake_main_();
}

void MqttBridge::HandleSet(const std::string& topic, const std::string& payload, bool retained) {
  const std::string head = options_.prefix + "/tag/";
  const std::string tail = "/set";
  if (!options_.writes || topic.size() <= head.size() + tail.size() || topic.rfind(head, 0) != 0 ||
      topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
    return;
  }
  const std::string tag = topic.substr(head.size(), topic.size() - head.size() - tail.size());
  std::string value_text, why;
  Json id, value;
  const bool parsed = ParseSetPayload(payload, &value_text, &why, &id, &value);
  // A retained set is the broker replaying an old request at every
  // (re)connect: writing it would switch a PLC output nobody asked for now.
  if (retained) {
    ReportWriteError(tag,
                     "the set message was retained by the broker, and a retained set is never "
                     "written (publish set without the retain flag)",
                     value, id);
    return;
  }
  size_t index = tags_.size();
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (tags_[i] == tag) index = i;
  }
  if (index == tags_.size()) {
    ReportWriteError(tag, "no tag of that name in the tag list", value, id);
    return;
  }
  if (!writable_[index]) {
    ReportWriteError(tag, "the tag is read-only (access r in the tag list)", value, id);
    return;
  }
  if (!parsed) {
    ReportWriteError(tag, why, value, id);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    if (writes_.size() >= kMaxPendingWrites) {
      why = "too many writes waiting (" + std::to_string(kMaxPendingWrites) + ")";
    } else {
      writes_.push_back(MqttWrite{tag, value_text, id, value});
    }
  }
  if (!why.empty()) {
    ReportWriteError(tag, why, value, id);
    return;
  }
  if (wake_main_) wake_main_();
}

void MqttBridge::FinishCheck() {
  // Publisher thread, mutex_ not held. Decides from what the broker had
  // retained when the check subscription was acknowledged.
  std::string status, client;
  bool first = false;
  std::vector<std::string> leftovers;
  {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::kChecking || !check_acked_ ||
        std::chrono::steady_clock::now() - *check_acked_ < kRetainedSettle) {
      return;
    }
    status = retained_status_;
    client = retained_client_;
    first = first_connection_;
    leftovers.swap(leftover_topics_);
  }
  const std::string& prefix = options_.prefix;
  if (status == "online" && client != client_id_ && !(first && options_.takeover)) {
    const std::string who = client.empty() ? "a gateway" : "the MQTT client " + client;
    Refuse(first ? "another gateway is online on the topic prefix " + prefix + " (" + who +
                       "); give each line its own prefix (--mqtt-prefix), or --mqtt-takeover to "
                       "replace it"
                 : "another gateway took over the topic prefix " + prefix + " (" + who +
                       ") while the broker was away; this one stops");
    return;
  }
  if (first) {
    mosquitto_unsubscribe(mosq_, nullptr, (prefix + "/tag/+").c_str());
    mosquitto_unsubscribe(mosq_, nullptr, (prefix + "/tag/+/quality").c_str());
    // Tags no longer in the list would otherwise show their last value for
    // ever; an empty retained message removes them.
    for (const auto& topic : leftovers) {
      mosquitto_publish(mosq_, nullptr, topic.c_str(), 0, nullptr, kQos, true);
    }
    if (!leftovers.empty()) {
      out_->Emit("mqtt: cleared " + std::to_string(leftovers.size()) +
                     " retained tag topics of tags no longer in the tag list",
                 Json{{"kind", "mqtt"}, {"cleared", leftovers.size()}});
    }
  }
  if (options_.writes) {
    mosquitto_subscribe(mosq_, nullptr, (prefix + "/tag/+/set").c_str(), kQos);
  }
  Publish(prefix + "/status/client", client_id_, true);
  {
    std::lock_guard lock(mutex_);
    if (phase_ != Phase::kChecking) return;  // lost meanwhile
    phase_ = Phase::kOnline;
    first_connection_ = false;
    republish_ = true;
  }
  state_ = State::kConnected;
  out_->Emit("mqtt: connected to " + display_url_ + ", prefix " + prefix,
             Json{{"kind", "mqtt"}, {"state", "connected"}, {"client", client_id_}});
}

void MqttBridge::PublisherLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto wait =
        phase_ == Phase::kChecking ? std::chrono::milliseconds(50) : kUnreachableWarning;
    wake_.wait_for(lock, wait, [this] {
      return stopping_ || republish_ || !dirty_tags_.empty() || !dirty_stations_.empty() ||
             !pending_logs_.empty() || (phase_ == Phase::kChecking && check_acked_);
    });
    if (phase_ == Phase::kChecking) {
      lock.unlock();
      FinishCheck();
      lock.lock();
    }
    const bool online = phase_ == Phase::kOnline;
    const bool republish = online && std::exchange(republish_, false);
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
    std::deque<Event> logs;
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
      // The log records, as the scheme takes them; the results of writes
      // have no place there (a refusal is also a log record).
      for (const auto& e : logs) {
        if (e.topic != "log") continue;
        const Json r = Json::parse(e.payload, nullptr, false);
        if (!r.is_object()) continue;
        batch.logs.push_back({r.value("flags", 0), r.value("text", ""), r.value("ts", int64_t{0}),
                              r.value("tag", "")});
      }
      PublishScheme(std::move(batch));
      lock.lock();
      if (stop) break;
      continue;
    }

    // Values first, so a station's change of quality below republishes the
    // newest value with it.
    for (auto& [i, v] : values) last_values_[i] = std::move(v);
    std::vector<bool> quality_changed(stations_.size(), false);
    for (auto& [i, s] : stations) {
      const bool was_good = !last_stations_[i].has_value() || last_stations_[i]->good();
      quality_changed[i] = was_good != s.good();
      last_stations_[i] = std::move(s);
      if (online && !republish) PublishStation(i, *last_stations_[i]);
    }
    if (online && !republish) {
      for (auto& [i, v] : values) PublishValue(i);
      for (size_t t = 0; t < tags_.size(); ++t) {
        const int st = tag_stations_[t];
        if (st >= 0 && quality_changed[static_cast<size_t>(st)]) PublishValue(t);
      }
    }
    if (republish) RepublishAll();
    for (auto& r : logs) {
      if (online) {
        Publish(options_.prefix + "/" + r.topic, r.payload, false);
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
  out_->Emit("mqtt: cannot reach the broker at " + display_url_ + "; retrying (every 1 to " +
                 std::to_string(options_.reconnect_max_seconds) + " s), values are kept",
             Json{{"kind", "mqtt"}, {"state", StateText(state_)}, {"text", "unreachable"}});
}

void MqttBridge::RepublishAll() {
  Publish(options_.prefix + "/status", "online", true);
  for (size_t i = 0; i < last_stations_.size(); ++i) {
    if (last_stations_[i].has_value()) PublishStation(i, *last_stations_[i]);
  }
  for (size_t i = 0; i < tags_.size(); ++i) {
    published_good_[i].reset();  // the broker may have lost them: all again
    PublishValue(i);
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
  for (const auto& r : log_backlog_) Publish(options_.prefix + "/" + r.topic, r.payload, false);
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

void MqttBridge::PublishValue(size_t tag_index) {
  const int st = tag_stations_[tag_index];
  const StationReport* station = st >= 0 && last_stations_[static_cast<size_t>(st)].has_value()
                                     ? &*last_stations_[static_cast<size_t>(st)]
                                     : nullptr;
  // Before the first report of its station a value is as the driver just
  // delivered it, so good; a tag without a station never has a value.
  const bool good = station == nullptr || station->good();
  const std::optional<PendingValue>& value = last_values_[tag_index];
  const std::optional<bool> published = published_good_[tag_index];
  // A tag without a value yet is shown only as stale, so a subscriber sees
  // that its station is not delivering; it waits for its first value to be good.
  if (!value.has_value() && (good || published == false)) return;
  const std::string topic = options_.prefix + "/tag/" + tags_[tag_index];
  const std::string station_name = st >= 0 ? stations_[static_cast<size_t>(st)] : "";
  const TagValue none;
  if (options_.plain_payload) {
    if (value.has_value()) Publish(topic, ValuePayload(value->value, value->ts_ms, true), true);
    if (published != good) Publish(topic + "/quality", good ? "good" : "stale", true);
  } else {
    Publish(topic,
            ValuePayload(value ? value->value : none, value ? value->ts_ms : 0, false, station_name,
                         good),
            true);
  }
  published_good_[tag_index] = good;
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
