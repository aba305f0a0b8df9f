#include "gateway/mqtt/mqtt_bridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "gateway/mqtt/mqtt_limits.h"
#include "gateway/mqtt/mqtt_scheme.h"
#include "platform/file_io.h"

namespace dravik::host {

using namespace mqtt;  // the shared limits (mqtt_limits.h)
namespace {

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
constexpr size_t kMaxPasswordBytes = 4096;
// What a change waiting for the broker takes in memory, about: its entry in
// the queue and the deque's share, with a short text.
constexpr size_t kBytesPerChange = 128;
constexpr size_t kMinWaitingChanges = 1000;
constexpr auto kStopWait = std::chrono::seconds(2);

std::string TrimLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The password from --mqtt-password-file, else DRAVIKNET_MQTT_PASSWORD; never
// from the command line, where other users could read it.
bool ReadPassword(const std::string& file, std::string* password, bool* have, std::string* error) {
  if (!file.empty()) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(file, kMaxPasswordBytes, &bytes, error)) {
      *error = "cannot read the MQTT password file: " + *error;
      return false;
    }
    *password = TrimLineEnd(std::string(bytes.begin(), bytes.end()));
    if (password->empty()) {
      *error = "the MQTT password file " + file + " is empty";
      return false;
    }
    *have = true;
  } else if (const char* env = std::getenv("DRAVIKNET_MQTT_PASSWORD"); env != nullptr) {
    *password = env;
    *have = true;
  }
  return true;
}

}  // namespace

MqttBridge::MqttBridge(MqttOptions options, std::vector<std::string> tags,
                       std::vector<bool> writable, std::vector<bool> write_only,
                       std::vector<int> tag_stations, std::vector<std::string> stations,
                       Output* out)
    : options_(std::move(options)),
      tags_(std::move(tags)),
      writable_(std::move(writable)),
      write_only_(std::move(write_only)),
      tag_stations_(std::move(tag_stations)),
      stations_(std::move(stations)),
      out_(out),
      newest_change_(tags_.size(), 0),
      pending_stations_(stations_.size()),
      last_values_(tags_.size()),
      last_stations_(stations_.size()),
      published_quality_(tags_.size()) {
  max_changes_ = std::max<size_t>(
      kMinWaitingChanges,
      static_cast<size_t>(std::max(options_.buffer_memory_mb, 0)) * 1024 * 1024 / kBytesPerChange);
}

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
  if (!ReadPassword(options_.password_file, &password, &have_password, error)) return false;
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
  mqtt5_ = options_.mqtt5;
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                       options_.mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
  if (!options_.mqtt5) SayWhatMqtt311CannotSee();
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
  if (address.tls && !ConfigureTls(error)) return false;
  mosquitto_connect_callback_set(mosq_, &MqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttBridge::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttBridge::OnPublish);
  mosquitto_message_callback_set(mosq_, &MqttBridge::OnMessage);
  mosquitto_subscribe_callback_set(mosq_, &MqttBridge::OnSubscribe);
  mosquitto_reconnect_delay_set(mosq_, kReconnectFirstSeconds,
                                static_cast<unsigned>(options_.reconnect_max_seconds), true);

  if (!OpenStore(error)) return false;
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

bool MqttBridge::ConfigureTls(std::string* error) {
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
  if (store_ != nullptr) KeepForNextStart();
  size_t unsent = 0;
  {
    std::lock_guard lock(mutex_);
    unsent = changes_.size();
  }
  if (unsent > 0) {
    const std::string text = std::to_string(unsent) +
                             " changes were never published: the broker was away when the "
                             "gateway stopped";
    out_->Emit("mqtt: " + text, Json{{"kind", "mqtt"}, {"unsent", unsent}, {"text", text}});
  }
  // A refused gateway leaves the other gateway's status as it is; its clean
  // disconnect sends no will either.
  if (connected_ && !refused) {
    PublishFinal(scheme_ != nullptr
                     ? scheme_->Final()
                     : MqttMessage{options_.prefix + "/status", "offline", kQos, true});
  }
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  connected_ = false;
  state_ = State::kDown;
}

void MqttBridge::OfferValue(size_t tag_index, TagValue value, int64_t ts_ms) {
  if (tag_index >= tags_.size()) return;
  bool episode = false;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    PendingValue change{std::move(value), ts_ms, phase_ != Phase::kOnline};
    const uint64_t newest = newest_change_[tag_index];
    if (changes_.size() >= max_changes_ && newest > changes_taken_) {
      changes_[static_cast<size_t>(newest - 1 - changes_taken_)].second = std::move(change);
      ++coalesced_;
      episode = !std::exchange(coalescing_, true);
    } else {
      changes_.emplace_back(tag_index, std::move(change));
      newest_change_[tag_index] = changes_taken_ + changes_.size();
    }
  }
  if (episode) {
    const std::string text = std::to_string(max_changes_) +
                             " changes wait for the broker: from now on a tag's waiting change "
                             "takes its newer values, counted as coalesced";
    out_->Emit("mqtt: " + text, Json{{"kind", "mqtt"}, {"text", text}});
    OfferLog(kBridgeErrorFlags, text, NowMs());
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

long MqttBridge::coalesced_values() const {
  std::lock_guard lock(mutex_);
  return coalesced_;
}

long MqttBridge::waiting_changes() const {
  std::lock_guard lock(mutex_);
  return static_cast<long>(changes_.size()) + stored_changes_.load();
}

long MqttBridge::dropped_values() const {
  return dropped_values_.load() + (scheme_ != nullptr ? scheme_->DroppedValues() : 0);
}

long MqttBridge::dropped_logs() const {
  std::lock_guard lock(mutex_);
  return dropped_logs_;
}

void MqttBridge::OnConnect(mosquitto* mosq, void* self, int rc) {
  auto* bridge = static_cast<MqttBridge*>(self);
  if (rc != 0) {
    bridge->state_ = State::kDown;
    if (bridge->FallBackToMqtt311(rc)) return;
    // Said once until a connection succeeds; the retries go on quietly.
    if (!bridge->refusal_reported_.exchange(true)) {
      std::string why = bridge->mqtt5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
      if (!why.empty() && why.back() == '.') why.pop_back();
      bridge->out_->Emit("mqtt: the broker at " + bridge->display_url_ +
                             " refused the connection: " + why + "; retrying",
                         Json{{"kind", "mqtt"}, {"state", "down"}, {"text", why}});
    }
    return;
  }
  bridge->refusal_reported_ = false;
  if (bridge->connections_.fetch_add(1) > 0) bridge->reconnects_.fetch_add(1);
  if (bridge->scheme_ != nullptr) {
    // A scheme's state is not retained, so there is no prefix to check: its
    // own topics, and the session is online.
    for (const auto& sub : bridge->scheme_->OnConnected()) bridge->SubscribeCommands(sub);
    for (const MqttMessage& m : bridge->scheme_->AfterSubscribe()) {
      mosquitto_publish(mosq, nullptr, m.topic.c_str(), static_cast<int>(m.payload.size()),
                        m.payload.data(), m.qos, m.retain);
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
  if (hooks_.refused) hooks_.refused();
}

void MqttBridge::HandleSet(const std::string& topic, const std::string& payload, bool retained) {
  const std::string head = options_.prefix + "/tag/";
  const std::string tail = "/set";
  if (!options_.writes || topic.size() <= head.size() + tail.size() || topic.rfind(head, 0) != 0 ||
      topic.compare(topic.size() - tail.size(), tail.size(), tail) != 0) {
    return;
  }
  const std::string tag = topic.substr(head.size(), topic.size() - head.size() - tail.size());
  SetDecision d = DecideSet(tag, payload, retained, tags_, writable_);
  switch (d.kind) {
    case SetDecision::Kind::kIgnore:
      return;
    case SetDecision::Kind::kRefuse:
      ReportWriteError(tag, d.reason, d.value, d.id);
      return;
    case SetDecision::Kind::kWrite:
      SubmitWrite(MqttWrite{tag, std::move(d.value_text), std::move(d.id), std::move(d.value)});
      return;
  }
}

void MqttBridge::SubscribeCommands(const std::string& topic) {
  if (mqtt5_) {
    mosquitto_subscribe_v5(mosq_, nullptr, topic.c_str(), kQos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                           nullptr);
  } else {
    mosquitto_subscribe(mosq_, nullptr, topic.c_str(), kQos);
  }
}

bool MqttBridge::FallBackToMqtt311(int rc) {
  // A 3.1.1 broker answers an MQTT 5 CONNECT with "unacceptable protocol
  // version", which libmosquitto reports as the MQTT 5 reason code.
  if (!mqtt5_ ||
      (rc != MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && rc != CONNACK_REFUSED_PROTOCOL_VERSION)) {
    return false;
  }
  mqtt5_ = false;
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  out_->Emit("mqtt: the broker at " + display_url_ +
                 " does not speak MQTT 5; connecting again with MQTT 3.1.1",
             Json{{"kind", "mqtt"}, {"state", "down"}, {"text", "MQTT 5 refused"}});
  SayWhatMqtt311CannotSee();
  return true;
}

void MqttBridge::SayWhatMqtt311CannotSee() {
  if (!options_.writes) return;
  const std::string text =
      "MQTT 3.1.1: the broker clears the retain flag of what it forwards live, so a command "
      "published retained while the gateway is connected looks live and is written; one the "
      "broker replays at a (re)connect is still refused";
  out_->Emit("mqtt: " + text, Json{{"kind", "mqtt"}, {"text", text}});
}

void MqttBridge::SubmitWrite(MqttWrite write) {
  if (hooks_.submit_write && hooks_.submit_write(write)) return;
  ReportWriteError(write.tag, "too many writes waiting (" + std::to_string(kMaxPendingWrites) + ")",
                   write.value, write.id);
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
  if (options_.writes) SubscribeCommands(prefix + "/tag/+/set");
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

void MqttBridge::HandleScheme(const std::string& topic, const std::string& payload, bool retained) {
  MqttInbound in = scheme_->OnMessage(topic, payload, retained);
  if (!in.stop.empty()) {
    Refuse(in.stop);
    return;
  }
  for (const auto& r : in.refusals) ReportWriteError(r.tag, r.reason);
  for (auto& w : in.writes) SubmitWrite(std::move(w));
  if (in.republish) Republish();
  if (in.end_session) {
    {
      std::lock_guard lock(mutex_);
      if (phase_ == Phase::kOnline) end_session_ = true;
    }
    wake_.notify_one();
  }
}

void MqttBridge::PublishFinal(const MqttMessage& last) {
  // Awaited (QoS 1) so that it is on the broker before the clean DISCONNECT
  // that follows, which sends no will.
  offline_acked_ = false;
  int mid = 0;
  if (mosquitto_publish(mosq_, &mid, last.topic.c_str(), static_cast<int>(last.payload.size()),
                        last.payload.data(), last.qos, last.retain) == MOSQ_ERR_SUCCESS) {
    offline_mid_ = mid;
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (!offline_acked_ && connected_ && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  offline_mid_ = -1;
}

void MqttBridge::CycleSession() {
  PublishFinal(scheme_->Final());
  {
    std::lock_guard lock(mutex_);
    if (phase_ == Phase::kOnline) phase_ = Phase::kDown;  // changes wait in the buffer meanwhile
  }
  // libmosquitto's network thread ends with a session its client ended; the
  // new session gets a new one. OnDisconnect has set the next will by then.
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
  }
  const int rc = mosquitto_reconnect_async(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) {
    out_->Emit("mqtt: cannot connect to " + display_url_ + " again: " +
                   (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)) +
                   "; retrying",
               Json{{"kind", "mqtt"}, {"state", "down"}, {"text", mosquitto_strerror(rc)}});
  }
  mosquitto_loop_start(mosq_);  // retries with the back-off when the connect failed
}

}  // namespace dravik::host
