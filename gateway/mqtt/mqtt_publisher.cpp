// The publisher thread of the MQTT session: takes what is pending, publishes
// it under the plain topics or hands it to the scheme, and keeps what the
// broker should hold for the next connection.
#include <mosquitto.h>

#include <algorithm>
#include <utility>

#include "gateway/mqtt/mqtt_bridge.h"
#include "gateway/mqtt/mqtt_limits.h"
#include "gateway/mqtt/mqtt_scheme.h"

namespace dravik::host {

using namespace mqtt;  // the shared limits (mqtt_limits.h)

void MqttBridge::PublisherLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kUnreachableWarning);
    if (phase_ == Phase::kChecking) wait = std::chrono::milliseconds(50);
    // The disk tier's turns: a stored batch to replay, waiting changes to store.
    if (store_ != nullptr && phase_ == Phase::kOnline && (stored_changes_ > 0 || changes_held_)) {
      wait = kReplayPause;
    }
    if (store_ != nullptr && phase_ != Phase::kOnline && !changes_.empty()) {
      wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(
                            next_spill_ - std::chrono::steady_clock::now()),
                        std::chrono::milliseconds(1), wait);
    }
    wake_.wait_for(lock, wait, [this] {
      return stopping_ || republish_ || end_session_ ||
             (phase_ == Phase::kOnline && !changes_.empty() && !changes_held_) || !dirty_stations_.empty() ||
             !pending_logs_.empty() || (phase_ == Phase::kChecking && check_acked_);
    });
    if (phase_ == Phase::kChecking) {
      lock.unlock();
      FinishCheck();
      lock.lock();
    }
    const bool online = phase_ == Phase::kOnline;
    const bool republish = online && std::exchange(republish_, false);
    // While the broker is away the changes stay where they are: the buffer.
    std::vector<std::pair<size_t, PendingValue>> values;
    if (online || (SpillDue() && !changes_.empty())) {
      values.assign(std::make_move_iterator(changes_.begin()),
                    std::make_move_iterator(changes_.end()));
      changes_taken_ += changes_.size();
      changes_.clear();
      coalescing_ = false;
    }
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
    const bool end_session = std::exchange(end_session_, false) && online && !stop;
    lock.unlock();
    values = ThroughStore(std::move(values), online);
    WarnIfUnreachable();
    if (scheme_ != nullptr) {
      PublishToScheme(std::move(values), std::move(stations), logs, republish);
    } else {
      PublishPlain(std::move(values), std::move(stations), std::move(logs), dropped, online,
                   republish);
    }
    if (end_session) CycleSession();
    lock.lock();
    if (stop) break;
  }
}

void MqttBridge::PublishToScheme(std::vector<std::pair<size_t, PendingValue>> values,
                                 std::vector<std::pair<size_t, StationReport>> stations,
                                 const std::deque<Event>& logs, bool republish) {
  MqttBatch batch;
  batch.republish = republish;
  for (auto& [i, v] : values) batch.values.push_back({i, std::move(v.value), v.ts_ms, v.buffered});
  batch.stations = std::move(stations);
  // The log records and the results of writes, as the scheme takes them.
  const std::string result_tail = "/set/result";
  for (const auto& e : logs) {
    const Json r = Json::parse(e.payload, nullptr, false);
    if (!r.is_object()) continue;
    if (e.topic.rfind("tag/", 0) == 0 && e.topic.size() > 4 + result_tail.size() &&
        e.topic.compare(e.topic.size() - result_tail.size(), result_tail.size(), result_tail) ==
            0) {
      batch.results.push_back({e.topic.substr(4, e.topic.size() - 4 - result_tail.size()),
                               r.value("ok", false), r.value("value", Json()),
                               r.value("reason", ""), r.value("ts", int64_t{0})});
      continue;
    }
    if (e.topic != "log") continue;
    batch.logs.push_back(
        {r.value("flags", 0), r.value("text", ""), r.value("ts", int64_t{0}), r.value("tag", "")});
  }
  PublishScheme(std::move(batch));
}

void MqttBridge::PublishPlain(std::vector<std::pair<size_t, PendingValue>> values,
                              std::vector<std::pair<size_t, StationReport>> stations,
                              std::deque<Event> logs, long dropped, bool online, bool republish) {
  // Each tag whose quality a new report of its station changes.
  std::vector<bool> quality_changed(tags_.size(), false);
  for (auto& [i, s] : stations) {
    for (size_t t = 0; t < tags_.size(); ++t) {
      if (tag_stations_[t] != static_cast<int>(i)) continue;
      if (write_only_[t]) continue;  // its quality never changes
      const bool was_good = !last_stations_[i].has_value() || last_stations_[i]->TagGood(t);
      quality_changed[t] = was_good != s.TagGood(t);
    }
    last_stations_[i] = std::move(s);
    if (online && !republish) PublishStation(i, *last_stations_[i]);
  }
  // Every change in its turn; those kept while the broker was away first
  // go out as they were, then the tag's retained value is its newest.
  std::vector<bool> replayed_last(tags_.size(), false);  // the tag's last change was buffered
  for (auto& [i, v] : values) {
    const bool buffered = online && v.buffered;
    if (buffered) PublishBuffered(i, v);
    last_values_[i] = std::move(v);
    if (online && !republish && !buffered) PublishValue(i);
    replayed_last[i] = buffered;
  }
  if (online && !republish) {
    for (size_t t = 0; t < tags_.size(); ++t) {
      if (replayed_last[t] || quality_changed[t]) PublishValue(t);
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
    published_quality_[i].reset();  // the broker may have lost them: all again
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
  const std::string quality = station == nullptr && !write_only_[tag_index]
                                  ? "good"
                                  : TagQualityName(station, tag_index, write_only_[tag_index]);
  const std::optional<PendingValue>& value = last_values_[tag_index];
  const std::optional<std::string>& published = published_quality_[tag_index];
  // A tag without a value yet is shown only as stale (or write-only), so a
  // subscriber sees that its station is not delivering; it waits for its
  // first value to be good.
  if (!value.has_value() && (quality == "good" || published == quality)) return;
  const std::string topic = options_.prefix + "/tag/" + tags_[tag_index];
  const std::string station_name = st >= 0 ? stations_[static_cast<size_t>(st)] : "";
  const TagValue none;
  if (options_.plain_payload) {
    if (value.has_value()) Publish(topic, ValuePayload(value->value, value->ts_ms, true), true);
    if (published != quality) Publish(topic + "/quality", quality, true);
  } else {
    Publish(topic,
            ValuePayload(value ? value->value : none, value ? value->ts_ms : 0, false, station_name,
                         quality.c_str()),
            true);
  }
  published_quality_[tag_index] = quality;
}

void MqttBridge::PublishBuffered(size_t tag_index, const PendingValue& change) {
  const int st = tag_stations_[tag_index];
  const std::string station = st >= 0 ? stations_[static_cast<size_t>(st)] : "";
  Publish(options_.prefix + "/tag/" + tags_[tag_index],
          ValuePayload(change.value, change.ts_ms, options_.plain_payload, station, "good", true),
          false);
}

void MqttBridge::PublishStation(size_t station_index, const StationReport& report) {
  Publish(options_.prefix + "/station/" + stations_[station_index] + "/state", StatePayload(report),
          true);
}

void MqttBridge::TagsBound(std::vector<bool> bound) {
  if (scheme_ == nullptr) return;  // the plain topics publish every tag as it comes
  scheme_->Activate(std::move(bound));
  Republish();
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

}  // namespace dravik::host
