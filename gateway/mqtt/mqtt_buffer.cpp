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
  stored_changes_ = store_->count() - replayed_unremoved_;
  if (dropped < 0) {
    SayStoreFailed(error, "the changes wait in memory meanwhile");
    return false;
  }
  if (replayed_unremoved_ == 0) store_failed_said_ = false;
  if (dropped > 0) {
    CountDropped(dropped, "the disk buffer is full (--buffer-disk-mb " +
                              std::to_string(options_.buffer_disk_mb) +
                              "): its oldest changes give way, counted as dropped");
  }
  return true;
}

void MqttBridge::SayStoreFailed(const std::string& error, const std::string& consequence) {
  if (std::exchange(store_failed_said_, true)) return;
  const std::string text = "cannot write the disk buffer (" + error + "); " + consequence;
  out_->Emit("mqtt: " + text, Json{{"kind", "mqtt"}, {"text", text}});
  OfferLog(mqtt::kBridgeErrorFlags, text, NowMs());
}

bool MqttBridge::RemoveReplayed(int64_t through) {
  std::string error;
  if (store_->RemoveThrough(through, &error)) {
    replayed_through_ = 0;
    replayed_unremoved_ = 0;
    return true;
  }
  SayStoreFailed(error,
                 "the changes replayed from it stay in the file, skipped so that none goes out "
                 "twice, until it takes writes again");
  return false;
}

void MqttBridge::CountDropped(long dropped, const std::string& why) {
  dropped_values_ += dropped;
  if (std::exchange(dropping_said_, true)) return;
  out_->Emit("mqtt: " + why, Json{{"kind", "mqtt"}, {"text", why}});
  OfferLog(mqtt::kBridgeErrorFlags, why, NowMs());
}

std::vector<std::pair<size_t, MqttBridge::PendingValue>> MqttBridge::ThroughStore(
    std::vector<std::pair<size_t, PendingValue>> changes, bool online) {
  // Only records already replayed left (a file that takes no writes): the
  // live changes go out directly.
  if (store_ == nullptr || (online && store_->count() == replayed_unremoved_)) {
    changes_held_ = false;
    return changes;
  }
  if (!changes.empty()) {
    next_spill_ = std::chrono::steady_clock::now() + kSpillInterval;
    if (!AppendToStore(changes)) {
      // They go back to the front of the memory queue, in order, for the
      // next try; online the stored ones go out first meanwhile, so that no
      // tag's older change follows its newer one.
      {
        std::lock_guard lock(mutex_);
        for (auto it = changes.rbegin(); it != changes.rend(); ++it) changes_.push_front(*it);
        changes_taken_ -= changes.size();
      }
      changes_held_ = online;
      if (!online) return {};
    }
  }
  if (!online) return {};
  std::string error;
  if (replayed_through_ > 0) RemoveReplayed(replayed_through_);
  const std::vector<StoredChange> stored = store_->Oldest(kReplayBatch, &error, replayed_through_);
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
  if (!stored.empty() && !RemoveReplayed(stored.back().seq)) {
    replayed_through_ = stored.back().seq;
    replayed_unremoved_ += static_cast<int64_t>(stored.size());
  }
  stored_changes_ = store_->count() - replayed_unremoved_;
  if (unknown > 0) {
    CountDropped(unknown,
                 "stored changes of tags no longer in the tag list, or damaged, are "
                 "dropped, counted");
  }
  if (store_->count() == replayed_unremoved_) dropping_said_ = false;
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
  if (replayed_through_ > 0) RemoveReplayed(replayed_through_);
  if (store_->count() == 0) return;
  std::string text = std::to_string(store_->count()) + " changes wait in " + store_->path() +
                     " for the next start";
  if (replayed_unremoved_ > 0) {
    text += " (" + std::to_string(replayed_unremoved_) +
            " of them already sent, which the file could not forget: they go out again)";
  }
  out_->Emit("mqtt: " + text, Json{{"kind", "mqtt"}, {"stored", store_->count()}, {"text", text}});
}

}  // namespace dravik::host
