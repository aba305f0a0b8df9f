// The disk tier of the MQTT session's buffer (--state-dir): while the broker
// is away the waiting changes go to the ChangeStore every second; once it is
// back the stored changes go out first, oldest first, a batch at a time, and
// the live changes follow them through the store, so every tag's changes
// keep their order. At a stop what still waits is stored for the next start.
#include <algorithm>
#include <utility>

#include "gateway/mqtt/mqtt_bridge.h"
#include "gateway/mqtt/mqtt_limits.h"

namespace dravik::host {
namespace {

// How often waiting changes go to the disk while the broker is away: a crash
// loses at most this much.
constexpr auto kSpillInterval = std::chrono::seconds(1);
// Stored changes replayed per turn of the publisher; with kReplayPause
// between turns that bounds the replay at about 5000 changes a second.
constexpr size_t kReplayBatch = 500;

}  // namespace

bool MqttBridge::OpenStore(std::string* error) {
  if (options_.state_dir.empty()) return true;
  store_ = std::make_unique<ChangeStore>();
  std::string note;
  if (!store_->Open(options_.state_dir, static_cast<int64_t>(options_.buffer_disk_mb) * 1024 * 1024,
                    error, &note)) {
    store_.reset();
    return false;
  }
  if (!note.empty()) out_->Emit("mqtt: " + note, Json{{"kind", "mqtt"}, {"text", note}});
  stored_changes_ = store_->count();
  if (store_->count() > 0) {
    const std::string text = std::to_string(store_->count()) +
                             " changes of an earlier run wait in " + store_->path() +
                             "; they go out once the broker is reached";
    out_->Emit("mqtt: " + text,
               Json{{"kind", "mqtt"}, {"stored", store_->count()}, {"text", text}});
  }
  return true;
}

bool MqttBridge::SpillDue() const {
  return store_ != nullptr && std::chrono::steady_clock::now() >= next_spill_;
}

bool MqttBridge::AppendToStore(const std::vector<std::pair<size_t, PendingValue>>& changes) {
  std::vector<StoredChange> records;
  records.reserve(changes.size());
  for (const auto& [i, v] : changes) records.push_back({0, tags_[i], v.value, v.ts_ms});
  std::string error;
  const long dropped = store_->Append(records, &error);
  stored_changes_ = store_->count();
  if (dropped < 0) {
    if (!std::exchange(store_failed_said_, true)) {
      const std::string text =
          "cannot write the disk buffer (" + error + "); the changes wait in memory meanwhile";
      out_->Emit("mqtt: " + text, Json{{"kind", "mqtt"}, {"text", text}});
    }
    return false;
  }
  store_failed_said_ = false;
  if (dropped > 0) {
    CountDropped(dropped, "the disk buffer is full (--buffer-disk-mb " +
                              std::to_string(options_.buffer_disk_mb) +
                              "): its oldest changes give way, counted as dropped");
  }
  return true;
}

void MqttBridge::CountDropped(long dropped, const std::string& why) {
  dropped_values_ += dropped;
  if (std::exchange(dropping_said_, true)) return;
  out_->Emit("mqtt: " + why, Json{{"kind", "mqtt"}, {"text", why}});
  OfferLog(mqtt::kBridgeErrorFlags, why, NowMs());
}

std::vector<std::pair<size_t, MqttBridge::PendingValue>> MqttBridge::ThroughStore(
    std::vector<std::pair<size_t, PendingValue>> changes, bool online) {
  if (store_ == nullptr || (online && store_->count() == 0)) return changes;
  if (!changes.empty()) {
    next_spill_ = std::chrono::steady_clock::now() + kSpillInterval;
    if (!AppendToStore(changes)) {
      // Online they go out now, ahead of the stored ones; offline they go
      // back to the front of the memory queue, in order, for the next try.
      if (online) return changes;
      std::lock_guard lock(mutex_);
      for (auto it = changes.rbegin(); it != changes.rend(); ++it) changes_.push_front(*it);
      changes_taken_ -= changes.size();
      return {};
    }
  }
  if (!online) return {};
  std::string error;
  const std::vector<StoredChange> stored = store_->Oldest(kReplayBatch, &error);
  std::vector<std::pair<size_t, PendingValue>> replay;
  long unknown = 0;
  for (const StoredChange& c : stored) {
    const auto it = std::find(tags_.begin(), tags_.end(), c.tag);
    if (c.tag.empty() || it == tags_.end()) {
      ++unknown;  // a damaged record, or a tag no longer in the list
      continue;
    }
    replay.emplace_back(static_cast<size_t>(it - tags_.begin()),
                        PendingValue{c.value, c.ts_ms, true});
  }
  if (!stored.empty()) store_->RemoveThrough(stored.back().seq, &error);
  stored_changes_ = store_->count();
  if (unknown > 0) {
    CountDropped(unknown,
                 "stored changes of tags no longer in the tag list, or damaged, are "
                 "dropped, counted");
  }
  if (store_->count() == 0) dropping_said_ = false;
  return replay;
}

void MqttBridge::KeepForNextStart() {
  std::vector<std::pair<size_t, PendingValue>> left;
  {
    std::lock_guard lock(mutex_);
    left.assign(changes_.begin(), changes_.end());
    changes_.clear();
  }
  if (!left.empty() && !AppendToStore(left)) {
    std::lock_guard lock(mutex_);
    changes_.assign(left.begin(), left.end());  // reported below as never published
    return;
  }
  if (store_->count() == 0) return;
  const std::string text = std::to_string(store_->count()) + " changes wait in " + store_->path() +
                           " for the next start";
  out_->Emit("mqtt: " + text, Json{{"kind", "mqtt"}, {"stored", store_->count()}, {"text", text}});
}

}  // namespace dravik::host
